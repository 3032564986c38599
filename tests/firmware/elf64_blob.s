# An x86-64 payload in the layout of a 64-bit kernel that a boot loader copies into
# place: code at its load address 0x100000, data that runs above 4 GiB (at
# 0x100000000, reached with 64-bit absolute moves) but is loaded right after the
# code. The code copies the data to its run address and counts its boots in .bss.
# Linked with elf64_blob.ld.
        .text
        .global _start
_start: movabs  $data_load, %rsi
        movabs  $data_start, %rdi
        mov     $data_end - data_start, %ecx
        rep movsb
        movabs  $boots, %rax
        incq    (%rax)
1:      hlt
        jmp     1b

        .data
data_start:
        .ascii  "romcast\n"
        .quad   0x0123456789ABCDEF
data_end:

        .bss
boots:  .quad   0
