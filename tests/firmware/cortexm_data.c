/* Blinks the LED on PC13 of an STM32F103 in a pattern kept in initialised RAM, with a
   counter in zeroed RAM: the reset handler copies .data from its load address in
   flash to its run address in RAM and clears .bss, as every C start-up code does.
   Linked with cortexm_data.ld, whose .data lies AT > FLASH: its bytes are in the ELF
   file once, at the flash address a programmer writes them to. */
#include <stdint.h>

#define RCC_APB2ENR (*(volatile uint32_t *)0x40021018u)
#define GPIOC_CRH (*(volatile uint32_t *)0x40011004u)
#define GPIOC_ODR (*(volatile uint32_t *)0x4001100Cu)

extern uint32_t _stack_top;
extern uint32_t _data_load, _data_start, _data_end, _bss_start, _bss_end;
void reset_handler(void);
void default_handler(void);

__attribute__((section(".vectors"), used)) static void (*const vectors[])(void) = {
    (void (*)(void))&_stack_top, /* initial stack pointer */
    reset_handler,
    default_handler, /* NMI */
    default_handler, /* HardFault */
};

static volatile uint32_t pattern[4] = {0x0F0F0F0Fu, 0x00FF00FFu, 0x33333333u, 0x55555555u};
static volatile uint32_t steps; /* in .bss */

void reset_handler(void)
{
    /* Word by word through volatile pointers, which GCC does not turn into calls
       of memcpy and memset: there is no C library. */
    const uint32_t *from = &_data_load;
    for (volatile uint32_t *to = &_data_start; to < &_data_end;)
        *to++ = *from++;
    for (volatile uint32_t *to = &_bss_start; to < &_bss_end;)
        *to++ = 0;

    RCC_APB2ENR |= 1u << 4;                                 /* clock port C */
    GPIOC_CRH = (GPIOC_CRH & ~(0xFu << 20)) | (0x2u << 20); /* PC13 push-pull, 2 MHz */
    for (;;) {
        uint32_t word = pattern[(steps / 32u) % 4u];
        if (word & (1u << (steps % 32u)))
            GPIOC_ODR |= 1u << 13;
        else
            GPIOC_ODR &= ~(1u << 13);
        steps++;
        for (volatile uint32_t n = 0; n < 100000u; n++) {
        }
    }
}

void default_handler(void)
{
    for (;;) {
    }
}
