/* Application for the ATmega328P behind the bootloader of avr_boot.c: an ordinary
   avr-gcc program at 0 that must stay below the boot section at 0x7000. It blinks
   the LED on PB5 with a 1 s period. */
#include <avr/io.h>

#define F_CPU 16000000UL
#include <util/delay.h>

int main(void)
{
    DDRB |= _BV(DDB5);
    for (;;) {
        PINB = _BV(PINB5); /* writing 1 to PINx toggles the pin */
        _delay_ms(500);
    }
}
