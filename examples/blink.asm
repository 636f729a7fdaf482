; KARVEX example firmware: blinks an LED on RB0 at about 1 Hz (20 MHz crystal, HS mode)
; and mirrors the button on RB4 onto RB1. Assemble with gputils:
;     gpasm -a inhx32 -o blink.hex blink.asm
; The jump at 0x0000 is what "Вставлять GOTO  0x7F40" replaces with the jump into the
; bootloader; main starts at 0x0020, clear of the interrupt vectors at 0x0008 and 0x0018.
        list    p=18f2550
        errorlevel -302         ; access-bank operands are intended
        include <p18f2550.inc>

        config  FOSC = HS, WDT = OFF, LVP = OFF, PBADEN = OFF, MCLRE = ON

delayOuter  equ 0x00            ; access-bank counters of the delay loop
delayMiddle equ 0x01
delayInner  equ 0x02

        org     0x0000
start   goto    main

        org     0x0008
        retfie  FAST            ; no interrupts are enabled
        org     0x0018
        retfie

        org     0x0020
main    clrf    LATB, ACCESS
        movlw   b'11110000'     ; RB0..RB3 outputs, RB4..RB7 inputs
        movwf   TRISB, ACCESS
        bcf     INTCON2, NOT_RBPU, ACCESS ; pull-ups for the button

loop    btg     LATB, 0, ACCESS ; LED
        bcf     LATB, 1, ACCESS
        btfss   PORTB, 4, ACCESS ; button pressed (low): second LED on
        bsf     LATB, 1, ACCESS
        rcall   halfSecond
        bra     loop

; About 0.5 s at 5 MIPS: 10 x 250 x 250 passes of a 4-cycle inner loop (plus overhead).
halfSecond
        movlw   d'10'
        movwf   delayOuter, ACCESS
outer   movlw   d'250'
        movwf   delayMiddle, ACCESS
middle  movlw   d'250'
        movwf   delayInner, ACCESS
inner   nop
        decfsz  delayInner, F, ACCESS
        bra     inner
        decfsz  delayMiddle, F, ACCESS
        bra     middle
        decfsz  delayOuter, F, ACCESS
        bra     outer
        return

        end
