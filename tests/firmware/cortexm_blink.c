/* Blinks the LED on PC13 of an STM32F103 ("blue pill") board. Built with
   arm-none-eabi-gcc without a C library and linked at the flash address 0x08000000
   (cortexm_blink.ld); the vector table comes first. */
#include <stdint.h>

#define RCC_APB2ENR (*(volatile uint32_t *)0x40021018u)
#define GPIOC_CRH (*(volatile uint32_t *)0x40011004u)
#define GPIOC_ODR (*(volatile uint32_t *)0x4001100Cu)

extern uint32_t _stack_top;
void reset_handler(void);
void default_handler(void);

__attribute__((section(".vectors"), used)) static void (*const vectors[])(void) = {
    (void (*)(void))&_stack_top, /* initial stack pointer */
    reset_handler,
    default_handler, /* NMI */
    default_handler, /* HardFault */
    default_handler, /* MemManage */
    default_handler, /* BusFault */
    default_handler, /* UsageFault */
};

static void delay(void)
{
    for (volatile uint32_t n = 0; n < 200000u; n++) {
    }
}

void reset_handler(void)
{
    RCC_APB2ENR |= 1u << 4;                               /* clock port C */
    GPIOC_CRH = (GPIOC_CRH & ~(0xFu << 20)) | (0x2u << 20); /* PC13 push-pull, 2 MHz */
    for (;;) {
        GPIOC_ODR ^= 1u << 13;
        delay();
    }
}

void default_handler(void)
{
    for (;;) {
    }
}
