; Blinks an LED on RB0 of a PIC16F84A with a 4 MHz crystal: about 2 Hz.
; Absolute-mode gpasm source, written as INHX8M: the configuration word lands at
; word 0x2007 (byte 0x400E) and the EEPROM data at word 0x2100 (byte 0x4200).

        list    p=16f84a
        #include <p16f84a.inc>
        errorlevel -302         ; TRISB is reached with RP0 set

        __config _HS_OSC & _WDT_OFF & _PWRTE_ON & _CP_OFF

count_lo equ    0x0C
count_hi equ    0x0D

        org     0x0000
        goto    start

        org     0x0005
start:
        clrf    PORTB
        bsf     STATUS, RP0
        clrf    TRISB           ; port B all outputs
        bcf     STATUS, RP0
loop:
        movlw   0x01
        xorwf   PORTB, F
        call    delay
        goto    loop

; About 200 ms at 1 MIPS: 256 x 256 passes of a 3-cycle inner loop.
delay:
        clrf    count_hi
outer:
        clrf    count_lo
inner:
        decfsz  count_lo, F
        goto    inner
        decfsz  count_hi, F
        goto    outer
        return

        org     0x2100          ; data EEPROM
        de      "romcast", 0

        end
