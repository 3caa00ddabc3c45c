; SYS: sends its command line to the Korvel machine's system manager and
; prints the reply.
;
;   SYS MOUNT B: WORK     SYS UNMOUNT B:     SYS DATE     SYS PRINT ...
;
; Protocol: OUT 64,0 starts a command (port 64 must then read 4: room for
; command bytes, no reply, no disk change); each command byte goes out on
; port 65; OUT 64,1 runs it. The reply is read from port 65 while port 64
; reports bit 1; the exhausted reply reads ^Z. Bit 7 of port 64 says the
; command changed a disk in a drive. SYS checks each of these steps and says
; so when the machine does not keep to them. It ends through the warm boot,
; which logs every disk in again.
;
; Assemble with: pasmo --hex sys.asm sys.hex  (a .COM program at 0100h)

BOOT    equ     0000h
BDOS    equ     0005h
TAIL    equ     0080h           ; command tail: count, then the text

CONOUT  equ     2               ; BDOS console output of E
PRINTS  equ     9               ; BDOS print of the "$"-ended text at DE

SYSST   equ     64
SYSDAT  equ     65

CMDROOM equ     4               ; status: the command queue has room
RPLWAIT equ     2               ; status: reply bytes wait
CHANGED equ     80h             ; status: a drive's disk changed
EOFCHAR equ     1Ah

        org     0100h

        ld      sp, STACK
        xor     a
        out     (SYSST), a     ; start a new command
        in      a, (SYSST)
        cp      CMDROOM
        ld      de, ERRSTART
        jp      nz, FAIL

        ; Send the command tail without its leading blanks.
        ld      hl, TAIL
        ld      b, (hl)
        inc     hl
SKIP:
        ld      a, b
        or      a
        jr      z, RUN
        ld      a, (hl)
        cp      ' '
        jr      nz, SEND
        inc     hl
        dec     b
        jr      SKIP
SEND:
        ld      a, (hl)
        out     (SYSDAT), a
        inc     hl
        djnz    SEND

RUN:
        ld      a, 1
        out     (SYSST), a     ; run it
        in      a, (SYSST)
        ld      (STATUS), a
        and     RPLWAIT
        ld      de, ERRNOREPLY
        jp      z, FAIL         ; every command answers at least CR LF

        ; Print the reply while port 64 says bytes wait.
REPLY:
        in      a, (SYSST)
        and     RPLWAIT
        jr      z, DONE
        in      a, (SYSDAT)
        cp      EOFCHAR
        ld      de, ERRSTEP
        jp      z, FAIL         ; ^Z only once the reply is used up
        ld      e, a
        ld      c, CONOUT
        call    BDOS
        jr      REPLY

DONE:
        in      a, (SYSDAT)
        cp      EOFCHAR
        ld      de, ERRSTEP
        jp      nz, FAIL
        ld      a, (STATUS)
        and     CHANGED
        jp      z, BOOT
        ld      de, MSGCHANGED
        ld      c, PRINTS
        call    BDOS
        jp      BOOT

FAIL:
        ld      c, PRINTS
        call    BDOS
        jp      BOOT

ERRSTART:
        db      13, 10, "SYS: port 64 does not read 4 after a new command", 13, 10, "$"
ERRNOREPLY:
        db      13, 10, "SYS: no reply", 13, 10, "$"
ERRSTEP:
        db      13, 10, "SYS: port 64 and the reply are out of step", 13, 10, "$"
MSGCHANGED:
        db      "(disk changed)", 13, 10, "$"

STATUS: db      0
        ds      32
STACK   equ     $

        end
