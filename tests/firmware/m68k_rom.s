| A 68000 ROM monitor stand-in: the vector table at 0 (initial supervisor stack
| pointer, reset program counter, then the first exception vectors) and the code at
| 0x400, past the room of all 256 vectors. It prints a banner on port A of a 68681
| DUART and echoes what it receives. Linked with m68k_rom.ld.

DUART   = 0x00F00000            | 68681 at the top of the I/O space
SRA     = DUART + 0x03          | status register A: bit 0 RxRDY, bit 2 TxRDY
RBA     = DUART + 0x07          | receive buffer A (read) and transmit buffer A (write)

        .section .vectors, "a"
        .long   0x00010000      | initial SSP: the top of 64 KiB of RAM
        .long   reset           | initial PC
        .rept   6
        .long   fault           | bus error, address error, illegal instruction,
        .endr                   | zero divide, CHK, TRAPV

        .text
        .global reset
reset:  lea     banner, %a0
1:      move.b  (%a0)+, %d0
        beq.s   echo
        bsr.s   put
        bra.s   1b
echo:   btst    #0, SRA
        beq.s   echo
        move.b  RBA, %d0
        bsr.s   put
        bra.s   echo
put:    btst    #2, SRA
        beq.s   put
        move.b  %d0, RBA
        rts
fault:  stop    #0x2700
        bra.s   fault

        .section .rodata
banner: .asciz  "romcast monitor\r\n"
