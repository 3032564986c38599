/* Blinks the LED on PB5 of an ATmega328P (Arduino Uno) at a rate kept in EEPROM.
   Built with avr-gcc; the EEMEM data goes to the .eeprom section, which avr-objcopy
   places at 0x810000 when the whole ELF file is converted to Intel HEX. */
#include <avr/eeprom.h>
#include <avr/io.h>
#include <stdint.h>

#define F_CPU 16000000UL
#include <util/delay.h>

uint8_t EEMEM half_period_ms10 = 25; /* 250 ms on, 250 ms off */
char EEMEM owner[] = "romcast";

int main(void)
{
    uint8_t n = eeprom_read_byte(&half_period_ms10);
    DDRB |= _BV(DDB5);
    for (;;) {
        PINB = _BV(PINB5); /* writing 1 to PINx toggles the pin */
        for (uint8_t i = 0; i < n; i++)
            _delay_ms(10);
    }
}
