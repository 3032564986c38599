/* Blinks an LED on P1.0 of an 8051. Built with sdcc -mmcs51 into an .ihx file. */
#include <8051.h>

static void delay(void)
{
    unsigned int n;
    for (n = 0; n < 20000; n++)
        __asm nop __endasm;
}

void main(void)
{
    for (;;) {
        P1_0 = !P1_0;
        delay();
    }
}
