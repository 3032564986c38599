#!/usr/bin/env bash
# Rebuilds the Intel HEX and ELF files in this directory from their sources with
# Debian's toolchains, as a user's build would make them. The files are committed,
# so nothing else needs these toolchains; .ci/firmware-check converts the HEX files
# with romcast and compares the images with srec_cat's, and the unit tests list the
# ELF files' segments. The ELF files are stripped of symbols, so they stay small.
#
# The committed files were made on Debian 12 (bookworm), amd64, with these packages:
#
#   gputils                  1.4.0-0.2                    gpasm
#   sdcc, sdcc-libraries     4.2.0+dfsg-1                 sdcc -mmcs51, -mz80, -mstm8
#   gcc-arm-none-eabi        15:12.2.rel1-1               arm-none-eabi-gcc
#   binutils-arm-none-eabi   2.40-2+18+b1                 arm-none-eabi-objcopy
#   gcc-avr                  1:5.4.0+Atmel3.6.2-3         avr-gcc
#   binutils-avr             2.26.20160125+Atmel3.6.2-4   avr-objcopy
#   avr-libc                 1:2.0.0+Atmel3.6.2-3
#   srecord                  1.64-3                       srec_cat, to merge files
#   binutils-m68k-linux-gnu  2.40-2                       m68k-linux-gnu-as, -ld
#   binutils-x86-64-linux-gnu 2.40-2                      x86_64-linux-gnu-as, -ld
#
#   apt-get install --no-install-recommends gputils sdcc gcc-arm-none-eabi \
#       binutils-arm-none-eabi gcc-avr binutils-avr avr-libc srecord \
#       binutils-m68k-linux-gnu binutils-x86-64-linux-gnu
#
# Another version may emit other code; the script says so when one differs. None of
# the outputs holds a timestamp or a path: two runs give the same files.
#
# Debian's sdcc is built without its PIC ports (no -mpic16), so both PIC files come
# from gpasm.
#
#   tests/firmware/generate.sh           rebuild every HEX and ELF file in place
#   tests/firmware/generate.sh DIR       write them to DIR instead (to compare)
set -euo pipefail
export LC_ALL=C
here=$(cd "$(dirname "$0")" && pwd)
out=${1:-$here}
mkdir -p "$out"
out=$(cd "$out" && pwd)

expected_versions=(
    gputils=1.4.0-0.2
    sdcc=4.2.0+dfsg-1
    sdcc-libraries=4.2.0+dfsg-1
    gcc-arm-none-eabi=15:12.2.rel1-1
    binutils-arm-none-eabi=2.40-2+18+b1
    gcc-avr=1:5.4.0+Atmel3.6.2-3
    binutils-avr=2.26.20160125+Atmel3.6.2-4
    avr-libc=1:2.0.0+Atmel3.6.2-3
    srecord=1.64-3
    binutils-m68k-linux-gnu=2.40-2
    binutils-x86-64-linux-gnu=2.40-2
)
for entry in "${expected_versions[@]}"; do
    package=${entry%%=*}
    want=${entry#*=}
    have=$(dpkg-query -W -f='${Version}' "$package" 2>/dev/null || true)
    if [ -z "$have" ]; then
        echo "generate.sh: package $package is not installed" >&2
        exit 1
    fi
    if [ "$have" != "$want" ]; then
        echo "generate.sh: warning: $package is $have, the committed files were made with $want" >&2
    fi
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$here"

run() {
    echo "+ $*"
    "$@"
}

# PIC18F452, absolute mode, INHX32 (gpasm's default): code at 0, ID locations at
# 0x200000, configuration bytes at 0x300000.
run gpasm -q -o "$work/pic18_blink.hex" pic18_blink.asm
cp "$work/pic18_blink.hex" "$out/"

# PIC16F84A, INHX8M: 16-bit addresses only; configuration word and EEPROM data
# at their byte addresses 0x400E and 0x4200.
run gpasm -q -a inhx8m -o "$work/pic16_blink.hex" pic16_blink.asm
cp "$work/pic16_blink.hex" "$out/"

# 8051, Z80 and STM8 with sdcc's own linker output, records in the linker's order.
for target in mcs51 z80 stm8; do
    run sdcc "-m$target" -o "$work/" "${target}_blink.c"
    cp "$work/${target}_blink.ihx" "$out/"
done

# Cortex-M3 (STM32F103), linked at 0x08000000; objcopy adds a type 05 start address.
run arm-none-eabi-gcc -mcpu=cortex-m3 -mthumb -Os -Wall -Wextra -ffunction-sections -nostdlib \
    -T cortexm_blink.ld -Wl,--gc-sections -o "$work/cortexm_blink.elf" cortexm_blink.c
run arm-none-eabi-objcopy -O ihex "$work/cortexm_blink.elf" "$out/cortexm_blink.hex"

# ATmega328P with EEMEM data. The whole ELF file gives flash at 0 and the EEPROM
# data at 0x810000 (no -R .eeprom); the usual EEPROM recipe gives that data alone at 0.
run avr-gcc -mmcu=atmega328p -Os -Wall -Wextra -o "$work/avr_blink.elf" avr_blink.c
run avr-objcopy -O ihex "$work/avr_blink.elf" "$out/avr_blink.hex"
run avr-objcopy -O ihex -j .eeprom --change-section-lma .eeprom=0 "$work/avr_blink.elf" \
    "$out/avr_blink_eeprom.hex"
run avr-objcopy --strip-all "$work/avr_blink.elf" "$out/avr_blink.elf"

# Cortex-M4 (STM32F407), a bootloader in the first 16 KiB sector and an application
# of about 128 KiB after it at 0x08004000, so that its type 04 records change twice.
for part in boot app; do
    run arm-none-eabi-gcc -mcpu=cortex-m4 -mthumb -Os -Wall -Wextra -ffunction-sections \
        -nostdlib -T "cortexm_$part.ld" -Wl,--gc-sections -o "$work/cortexm_$part.elf" \
        "cortexm_$part.c"
    run arm-none-eabi-objcopy -O ihex "$work/cortexm_$part.elf" "$out/cortexm_$part.hex"
done

# ATmega2560 with 128 KiB of data in flash, flash only (Arduino's -R .eeprom). Past
# 1 MiB avr-objcopy would write type 04 records; below it writes type 02 ones.
run avr-gcc -mmcu=atmega2560 -Os -Wall -Wextra -o "$work/atmega2560_big.elf" atmega2560_big.c
run avr-objcopy -O ihex -R .eeprom "$work/atmega2560_big.elf" "$out/atmega2560_big.hex"

# ATmega328P, a bootloader at 0x7000 and an application at 0. The bootloader is built
# as optiboot is (-nostartfiles, .text moved, only .text and .data copied); its ELF
# entry point is 0x7000, which avr-objcopy writes as a type 03 start address. An
# entry point of 0, as the application has, gives no start address record.
run avr-gcc -mmcu=atmega328p -Os -Wall -Wextra -nostartfiles -Wl,--section-start=.text=0x7000 \
    -o "$work/avr_boot.elf" avr_boot.c
run avr-objcopy -O ihex -j .text -j .data "$work/avr_boot.elf" "$out/avr_boot.hex"
run avr-gcc -mmcu=atmega328p -Os -Wall -Wextra -o "$work/avr_app.elf" avr_app.c
run avr-objcopy -O ihex -R .eeprom "$work/avr_app.elf" "$out/avr_app.hex"

# nRF52832 with the layout of Nordic's images: MBR and SoftDevice from 0 to 0x26000,
# the application at 0x26000, the bootloader at 0x78000 with its two UICR words at
# 0x10001014. objcopy writes type 02 records and a type 03 start address below 1 MiB
# (and a type 04 record for the UICR).
for part in softdevice boot app; do
    run arm-none-eabi-gcc -mcpu=cortex-m4 -mthumb -Os -Wall -Wextra -ffunction-sections \
        -nostdlib -T "nrf52_$part.ld" -Wl,--gc-sections -o "$work/nrf52_$part.elf" \
        "nrf52_$part.c"
    run arm-none-eabi-objcopy -O ihex "$work/nrf52_$part.elf" "$out/nrf52_$part.hex"
done

# The SoftDevice and the application merged into one file, as users program them:
# srec_cat writes 32-byte records, type 04 addresses, LF line ends, and the first
# file's start address as type 05.
run srec_cat "$out/nrf52_softdevice.hex" -intel "$out/nrf52_app.hex" -intel \
    -o "$out/nrf52_softdevice_app.hex" -intel -address-length=4 -Output_Block_Size 32

# ELF files as a programmer's tool takes them. Cortex-M3 (STM32F103) with .data that
# runs in RAM at 0x20000000 and is loaded from flash after .text (AT > FLASH), and a
# .bss behind it: the segment's load address is not its run address.
run arm-none-eabi-gcc -mcpu=cortex-m3 -mthumb -Os -Wall -Wextra -ffunction-sections -nostdlib \
    -T cortexm_data.ld -Wl,--gc-sections -o "$work/cortexm_data.elf" cortexm_data.c
run arm-none-eabi-objcopy --strip-all "$work/cortexm_data.elf" "$out/cortexm_data.elf"

# 68000 ROM, a big-endian ELF32: vector table at 0, code at 0x400, a segment each;
# -n leaves out the page alignment in the file, as a ROM needs none.
run m68k-linux-gnu-as -m68000 -o "$work/m68k_rom.o" m68k_rom.s
run m68k-linux-gnu-ld -n -T m68k_rom.ld -o "$work/m68k_rom.elf" "$work/m68k_rom.o"
run m68k-linux-gnu-objcopy --strip-all "$work/m68k_rom.elf" "$out/m68k_rom.elf"

# x86-64, an ELF64 whose data runs above 4 GiB and is loaded below it.
run x86_64-linux-gnu-as -o "$work/elf64_blob.o" elf64_blob.s
run x86_64-linux-gnu-ld -static -n -T elf64_blob.ld -o "$work/elf64_blob.elf" "$work/elf64_blob.o"
run x86_64-linux-gnu-objcopy --strip-all "$work/elf64_blob.elf" "$out/elf64_blob.elf"
