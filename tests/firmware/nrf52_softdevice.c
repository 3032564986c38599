/* Stand-in for a Nordic SoftDevice on the nRF52832, with the same layout as the real
   image (nrf52_softdevice.ld): an MBR with its vector table at 0, which starts the
   bootloader named in UICR NRFFW[0] or else the SoftDevice; the SoftDevice's vector
   table at 0x1000, whose reset handler starts the application at 0x26000; then 144 KiB
   that stand in for the radio stack's code, written by the preprocessor: word i is
   i times 2246822519 modulo 2^32. */
#include <stdint.h>

#define SOFTDEVICE_BASE 0x00001000u
#define APP_BASE 0x00026000u
#define UICR_NRFFW0 (*(const volatile uint32_t *)0x10001014u)

extern uint32_t _stack_top;
void mbr_reset(void);
void softdevice_reset(void);
void default_handler(void);

/* Starts the image whose vector table is at BASE: loads its stack pointer and
   branches to its reset vector. */
__attribute__((section(".mbr_text"), noreturn)) static void start(uint32_t base)
{
    const volatile uint32_t *vectors = (const volatile uint32_t *)base;
    __asm__ volatile("msr msp, %0\n\tbx %1" : : "r"(vectors[0]), "r"(vectors[1]));
    __builtin_unreachable();
}

__attribute__((section(".mbr_text"))) void mbr_reset(void)
{
    uint32_t bootloader = UICR_NRFFW0;
    start(bootloader != 0xFFFFFFFFu ? bootloader : SOFTDEVICE_BASE);
}

__attribute__((section(".mbr_vectors"), used))
static void (*const mbr_vectors[])(void) = {
    (void (*)(void))&_stack_top,
    mbr_reset,
};

void softdevice_reset(void)
{
    start(APP_BASE);
}

void default_handler(void)
{
    for (;;) {
    }
}

__attribute__((section(".vectors"), used)) static void (*const vectors[])(void) = {
    (void (*)(void))&_stack_top,
    softdevice_reset,
    default_handler, /* NMI */
    default_handler, /* HardFault */
    default_handler, /* MemManage */
    default_handler, /* BusFault */
    default_handler, /* UsageFault */
};

#define H(i) ((uint32_t)(i) * 2246822519u)
#define R4(i) H(i), H((i) + 1), H((i) + 2), H((i) + 3)
#define R16(i) R4(i), R4((i) + 4), R4((i) + 8), R4((i) + 12)
#define R64(i) R16(i), R16((i) + 16), R16((i) + 32), R16((i) + 48)
#define R256(i) R64(i), R64((i) + 64), R64((i) + 128), R64((i) + 192)
#define R1K(i) R256(i), R256((i) + 256), R256((i) + 512), R256((i) + 768)
#define R4K(i) R1K(i), R1K((i) + 1024), R1K((i) + 2048), R1K((i) + 3072)
#define R16K(i) R4K(i), R4K((i) + 4096), R4K((i) + 8192), R4K((i) + 12288)

__attribute__((section(".softdevice_body"), used)) static const uint32_t body[] = {
    R16K(0), R16K(16384), R4K(32768)};
