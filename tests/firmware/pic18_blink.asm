; Blinks an LED on RB0 of a PIC18F452 with a 4 MHz crystal: about 2 Hz.
; Absolute-mode gpasm source; the configuration bytes land at 0x300000 and the
; ID locations at 0x200000, where the HEX file reaches them with type 04 records.

        list    p=18f452
        #include <p18f452.inc>
        errorlevel -302         ; SFRs are reached through the access bank

        config  OSC = HS, OSCS = OFF, PWRT = ON, BOR = ON, BORV = 45
        config  WDT = OFF, CCP2MUX = ON, STVR = ON, LVP = OFF, DEBUG = OFF
        config  CP0 = OFF, CP1 = OFF, CP2 = OFF, CP3 = OFF, CPB = OFF, CPD = OFF
        config  WRT0 = OFF, WRT1 = OFF, WRT2 = OFF, WRT3 = OFF, WRTB = OFF
        config  WRTC = OFF, WRTD = OFF, EBTR0 = OFF, EBTR1 = OFF, EBTR2 = OFF
        config  EBTR3 = OFF, EBTRB = OFF

        __idlocs _IDLOC0, 0x1
        __idlocs _IDLOC1, 0x2
        __idlocs _IDLOC2, 0x3
        __idlocs _IDLOC3, 0x4

count_lo equ    0x00            ; access bank
count_hi equ    0x01

        org     0x0000
        goto    start

        org     0x0020
start:
        clrf    LATB, A
        clrf    TRISB, A        ; port B all outputs
loop:
        btg     LATB, 0, A
        rcall   delay
        bra     loop

; About 250 ms at 1 MIPS: 256 x 256 passes of a 4-cycle inner loop.
delay:
        clrf    count_hi, A
outer:
        clrf    count_lo, A
inner:
        nop
        decfsz  count_lo, F, A
        bra     inner
        decfsz  count_hi, F, A
        bra     outer
        return

        end
