/* Application for an nRF52832 behind the SoftDevice of nrf52_softdevice.c: linked at
   0x26000 (nrf52_app.ld), vector table first. It blinks LED 1 of the nRF52 DK
   (P0.17). */
#include <stdint.h>

#define P0_OUT (*(volatile uint32_t *)0x50000504u)
#define P0_DIRSET (*(volatile uint32_t *)0x50000518u)
#define LED 17

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
    P0_DIRSET = 1u << LED;
    for (;;) {
        P0_OUT ^= 1u << LED;
        for (volatile uint32_t n = 0; n < 500000u; n++) {
        }
    }
}

void default_handler(void)
{
    for (;;) {
    }
}
