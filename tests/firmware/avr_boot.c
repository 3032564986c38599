/* Bootloader for an ATmega328P in the 4 KiB boot section at 0x7000 (BOOTSZ for 2048
   words, BOOTRST set, so a reset starts here). Linked with -nostartfiles and
   --section-start=.text=0x7000: main is the first code, in .init9, and clears the
   zero register itself. It blinks the LED on PB5 three times quickly, then jumps to
   the application at 0. */
#include <avr/io.h>
#include <avr/wdt.h>
#include <stdint.h>

#define F_CPU 16000000UL
#include <util/delay.h>

int main(void) __attribute__((OS_main, section(".init9")));

int main(void)
{
    __asm__ volatile("clr __zero_reg__");
    MCUSR = 0;
    wdt_disable();
    DDRB |= _BV(DDB5);
    for (uint8_t i = 0; i < 6; i++) {
        PINB = _BV(PINB5); /* writing 1 to PINx toggles the pin */
        _delay_ms(50);
    }
    DDRB = 0;
    __asm__ volatile("jmp 0");
    for (;;) {
    }
}
