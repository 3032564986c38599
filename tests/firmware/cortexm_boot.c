/* Bootloader for an STM32F4 at 0x08000000 (cortexm_boot.ld, one 16 KiB sector).
   It checks that the application at 0x08004000 starts with a stack pointer in RAM,
   then moves the vector table there, loads that stack pointer and branches to the
   application's reset vector; without one it blinks the LED on PD12. */
#include <stdint.h>

#define APP_BASE 0x08004000u
#define RAM_BASE 0x20000000u
#define RAM_SIZE (128u * 1024u)
#define SCB_VTOR (*(volatile uint32_t *)0xE000ED08u)
#define RCC_AHB1ENR (*(volatile uint32_t *)0x40023830u)
#define GPIOD_MODER (*(volatile uint32_t *)0x40020C00u)
#define GPIOD_ODR (*(volatile uint32_t *)0x40020C14u)

extern uint32_t _stack_top;
void reset_handler(void);

__attribute__((section(".vectors"), used)) static void (*const vectors[])(void) = {
    (void (*)(void))&_stack_top,
    reset_handler,
};

static void start_application(void)
{
    const volatile uint32_t *app = (const volatile uint32_t *)APP_BASE;
    uint32_t stack = app[0];
    uint32_t entry = app[1];
    SCB_VTOR = APP_BASE;
    __asm__ volatile("msr msp, %0\n\tbx %1" : : "r"(stack), "r"(entry));
}

void reset_handler(void)
{
    uint32_t stack = *(const volatile uint32_t *)APP_BASE; /* 0xFFFFFFFF if erased */
    if (stack > RAM_BASE && stack <= RAM_BASE + RAM_SIZE)
        start_application();
    RCC_AHB1ENR |= 1u << 3;                                 /* clock port D */
    GPIOD_MODER = (GPIOD_MODER & ~(3u << 24)) | (1u << 24); /* PD12 output */
    for (;;) {
        GPIOD_ODR ^= 1u << 12;
        for (volatile uint32_t n = 0; n < 500000u; n++) {
        }
    }
}
