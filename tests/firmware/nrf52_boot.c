/* Bootloader for an nRF52832 at 0x78000 (nrf52_boot.ld), started by the MBR through
   UICR NRFFW[0], which this image sets itself. With button 1 of the nRF52 DK (P0.13)
   held at reset it blinks LED 1 (P0.17) where a real one would wait for an update;
   otherwise it starts the SoftDevice at 0x1000, which starts the application. */
#include <stdint.h>

#define BOOTLOADER_START 0x00078000u
#define MBR_PARAMS_PAGE 0x0007E000u
#define SOFTDEVICE_BASE 0x00001000u

#define P0_OUT (*(volatile uint32_t *)0x50000504u)
#define P0_IN (*(volatile uint32_t *)0x50000510u)
#define P0_DIRSET (*(volatile uint32_t *)0x50000518u)
#define P0_PIN_CNF(n) (*(volatile uint32_t *)(0x50000700u + 4u * (n)))
#define BUTTON 13
#define LED 17

__attribute__((section(".uicr_bootloader_start_address"), used))
static const uint32_t uicr_bootloader_start_address = BOOTLOADER_START;
__attribute__((section(".uicr_mbr_params_page"), used))
static const uint32_t uicr_mbr_params_page = MBR_PARAMS_PAGE;

extern uint32_t _stack_top;
void reset_handler(void);
void default_handler(void);

__attribute__((section(".vectors"), used)) static void (*const vectors[])(void) = {
    (void (*)(void))&_stack_top,
    reset_handler,
    default_handler, /* NMI */
    default_handler, /* HardFault */
};

void reset_handler(void)
{
    P0_PIN_CNF(BUTTON) = 3u << 2; /* input with pull-up */
    for (volatile uint32_t n = 0; n < 1000u; n++) {
    }
    if (P0_IN & (1u << BUTTON)) {
        const volatile uint32_t *sd = (const volatile uint32_t *)SOFTDEVICE_BASE;
        __asm__ volatile("msr msp, %0\n\tbx %1" : : "r"(sd[0]), "r"(sd[1]));
    }
    P0_DIRSET = 1u << LED;
    for (;;) {
        P0_OUT ^= 1u << LED;
        for (volatile uint32_t n = 0; n < 200000u; n++) {
        }
    }
}

void default_handler(void)
{
    for (;;) {
    }
}
