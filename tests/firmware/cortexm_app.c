/* Application for an STM32F407 behind the bootloader of cortexm_boot.c: linked at
   0x08004000 (cortexm_app.ld), vector table first. It blinks the LED on PD12 in a
   pattern read from a 128 KiB table, which stands in for the fonts and pictures that
   make a real application this large. The preprocessor writes the table: entry i is
   i times 2654435761 (Knuth's multiplicative hash), modulo 2^32. */
#include <stdint.h>

#define RCC_AHB1ENR (*(volatile uint32_t *)0x40023830u)
#define GPIOD_MODER (*(volatile uint32_t *)0x40020C00u)
#define GPIOD_ODR (*(volatile uint32_t *)0x40020C14u)

#define H(i) ((uint32_t)(i) * 2654435761u)
#define R4(i) H(i), H((i) + 1), H((i) + 2), H((i) + 3)
#define R16(i) R4(i), R4((i) + 4), R4((i) + 8), R4((i) + 12)
#define R64(i) R16(i), R16((i) + 16), R16((i) + 32), R16((i) + 48)
#define R256(i) R64(i), R64((i) + 64), R64((i) + 128), R64((i) + 192)
#define R1K(i) R256(i), R256((i) + 256), R256((i) + 512), R256((i) + 768)
#define R4K(i) R1K(i), R1K((i) + 1024), R1K((i) + 2048), R1K((i) + 3072)
#define R16K(i) R4K(i), R4K((i) + 4096), R4K((i) + 8192), R4K((i) + 12288)

#define PATTERN_WORDS 32768u /* 128 KiB */
static const uint32_t pattern[PATTERN_WORDS] = {R16K(0), R16K(16384)};

extern uint32_t _stack_top;
void reset_handler(void);
void default_handler(void);

__attribute__((section(".vectors"), used)) static void (*const vectors[])(void) = {
    (void (*)(void))&_stack_top,
    reset_handler,
    default_handler, /* NMI */
    default_handler, /* HardFault */
    default_handler, /* MemManage */
    default_handler, /* BusFault */
    default_handler, /* UsageFault */
};

void reset_handler(void)
{
    RCC_AHB1ENR |= 1u << 3;                                 /* clock port D */
    GPIOD_MODER = (GPIOD_MODER & ~(3u << 24)) | (1u << 24); /* PD12 output */
    for (uint32_t i = 0;; i = (i + 1) % PATTERN_WORDS) {
        if (pattern[i] & 0x80000000u)
            GPIOD_ODR |= 1u << 12;
        else
            GPIOD_ODR &= ~(1u << 12);
        for (volatile uint32_t n = 0; n < 100000u; n++) {
        }
    }
}

void default_handler(void)
{
    for (;;) {
    }
}
