/* Toggles bit 0 of output port 0x10 on a Z80 board. Built with sdcc -mz80 into an
   .ihx file; sdcc's crt0 sits at address 0 and the code at 0x0200. */
__sfr __at(0x10) led_port;

static void delay(void)
{
    unsigned int n;
    for (n = 0; n < 20000; n++)
        __asm__("nop");
}

void main(void)
{
    unsigned char state = 0;
    for (;;) {
        state ^= 1;
        led_port = state;
        delay();
    }
}
