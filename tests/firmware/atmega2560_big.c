/* Plays eight 16 KiB sound clips (8-bit samples at 8 kHz) as PWM on OC0A (PB7, the
   LED pin of an Arduino Mega 2560). Built with avr-gcc for the ATmega2560; the clips
   are __memx data, which the linker keeps in flash after the vector table, so half of
   the 128 KiB lies above 0x10000, where only ELPM reads it. The preprocessor writes the
   samples: byte i of clip c is the top byte of (i + 16384 c) times 2654435761,
   modulo 2^32 (Knuth's multiplicative hash), noise in place of recorded sound. */
#include <avr/io.h>
#include <stdint.h>

#define F_CPU 16000000UL
#include <util/delay.h>

#define H(i) ((uint8_t)((uint32_t)(i) * 2654435761u >> 24))
#define R4(i) H(i), H((i) + 1), H((i) + 2), H((i) + 3)
#define R16(i) R4(i), R4((i) + 4), R4((i) + 8), R4((i) + 12)
#define R64(i) R16(i), R16((i) + 16), R16((i) + 32), R16((i) + 48)
#define R256(i) R64(i), R64((i) + 64), R64((i) + 128), R64((i) + 192)
#define R1K(i) R256(i), R256((i) + 256), R256((i) + 512), R256((i) + 768)
#define R4K(i) R1K(i), R1K((i) + 1024), R1K((i) + 2048), R1K((i) + 3072)
#define R16K(i) R4K(i), R4K((i) + 4096), R4K((i) + 8192), R4K((i) + 12288)

#define CLIP_BYTES 16384u
#define CLIP(c) static const __memx uint8_t clip##c[CLIP_BYTES] = {R16K(16384ul * (c))}
CLIP(0);
CLIP(1);
CLIP(2);
CLIP(3);
CLIP(4);
CLIP(5);
CLIP(6);
CLIP(7);

static const __memx uint8_t *const clips[] = {clip0, clip1, clip2, clip3,
                                              clip4, clip5, clip6, clip7};

int main(void)
{
    DDRB |= _BV(DDB7);
    TCCR0A = _BV(COM0A1) | _BV(WGM01) | _BV(WGM00); /* fast PWM on OC0A */
    TCCR0B = _BV(CS00);                             /* 62.5 kHz carrier */
    for (;;) {
        for (uint8_t c = 0; c < sizeof clips / sizeof clips[0]; c++) {
            const __memx uint8_t *clip = clips[c];
            for (uint16_t i = 0; i < CLIP_BYTES; i++) {
                OCR0A = clip[i];
                _delay_us(125);
            }
        }
    }
}
