/* Blinks the LED on PD0 of an STM8S discovery board. Built with sdcc -mstm8 into
   an .ihx file; flash starts at 0x8000, with the interrupt vectors first. */
#define PD_ODR (*(volatile unsigned char *)0x500F)
#define PD_DDR (*(volatile unsigned char *)0x5011)
#define PD_CR1 (*(volatile unsigned char *)0x5012)

static void delay(void)
{
    unsigned int n;
    for (n = 0; n < 20000; n++)
        __asm__("nop");
}

void main(void)
{
    PD_DDR |= 0x01;
    PD_CR1 |= 0x01;
    for (;;) {
        PD_ODR ^= 0x01;
        delay();
    }
}
