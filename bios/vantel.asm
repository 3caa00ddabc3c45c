; Vantel: the CP/M 2.2 BIOS of the Korvel Z80 machine.
;
; It sits at FA00h under a 64 KiB CP/M 2.2 (CCP at E400h, BDOS at EC00h) and
; reaches every device through the machine's I/O ports:
;   16/17 TTY, 18/19 CRT, 20/21 COM1, 22/23 COM2, 24/25 printer,
;   26/27 reader file, 28/29 punch file, 64/65 system manager,
;   72 cold-boot IOBYTE, 112-119 disk controller.
; A status port answers bit 1 (2) when a byte waits and bit 2 (4) when the
; device takes a byte.
;
; Disks: four drives A: to D: of 256 tracks x 32 sectors x 128 bytes; the
; first two tracks hold the boot image (CCP, BDOS and this BIOS), the rest
; 508 blocks of 2 KiB with a directory of 256 entries in the first four.
;
; Assemble with: pasmo --hex vantel.asm vantel.hex

CCP     equ     0E400h          ; console command processor
CCPCLR  equ     CCP+3           ; CCP entry that empties its command buffer
BDOSE   equ     0EC06h          ; BDOS entry
BIOS    equ     0FA00h
NSECTS  equ     (BIOS-CCP)/128  ; records of CCP and BDOS reloaded by a warm boot

IOBYTE  equ     0003h           ; device mapping
CDISK   equ     0004h           ; current disk (bits 0-3) and user (bits 4-7)
TBUFF   equ     0080h           ; default DMA buffer; also the boot stack

; Device ports.
TTYST   equ     16
TTYDAT  equ     17
CRTST   equ     18
CRTDAT  equ     19
COM1ST  equ     20
COM1DAT equ     21
COM2ST  equ     22
COM2DAT equ     23
LPTST   equ     24
LPTDAT  equ     25
RDRST   equ     26
RDRDAT  equ     27
PUNST   equ     28
PUNDAT  equ     29
SYSST   equ     64              ; system manager status/control
BOOTIOB equ     72              ; IOBYTE offered for the cold boot

; Disk controller.
DKCMD   equ     112             ; command / status
DKDRV   equ     113             ; drive 0-3
DKSECL  equ     114
DKSECH  equ     115
DKTRKL  equ     116
DKTRKH  equ     117
DKDMAL  equ     118
DKDMAH  equ     119
CMDHOME equ     1               ; also reports status 1 when the drive has no disk
CMDREAD equ     2
CMDWRIT equ     3

INREADY equ     2               ; status bit: a byte waits
OUTRDY  equ     4               ; status bit: the device takes a byte
EOFCHAR equ     1Ah             ; ^Z, what an empty reader delivers

NDISKS  equ     4

        org     BIOS

; The standard CP/M 2.2 jump table.
        jp      BOOT
WBOOTE: jp      WBOOT
        jp      CONST
        jp      CONIN
        jp      CONOUT
        jp      LIST
        jp      PUNCH
        jp      READER
        jp      HOME
        jp      SELDSK
        jp      SETTRK
        jp      SETSEC
        jp      SETDMA
        jp      READ
        jp      WRITE
        jp      LISTST
        jp      SECTRAN

; Disk parameter headers: no sector translation, one shared directory
; buffer and parameter block, a check vector and an allocation vector each.
DPBASE:
        dw      0, 0, 0, 0, DIRBUF, DPB, CSV0, ALV0
        dw      0, 0, 0, 0, DIRBUF, DPB, CSV1, ALV1
        dw      0, 0, 0, 0, DIRBUF, DPB, CSV2, ALV2
        dw      0, 0, 0, 0, DIRBUF, DPB, CSV3, ALV3

; 128-byte sectors, 32 per track, 2 KiB blocks, 508 blocks, 256 directory
; entries in blocks 0-3, two reserved tracks. The check vectors let the BDOS
; notice a directory that changed under it and protect that disk.
DPB:
        dw      32              ; SPT: records per track
        db      4               ; BSH: 2 KiB blocks
        db      15              ; BLM
        db      0               ; EXM: 16-bit block pointers, 16 KiB per entry
        dw      507             ; DSM: highest block number
        dw      255             ; DRM: highest directory entry
        db      0F0h            ; AL0: directory blocks 0-3
        db      00h             ; AL1
        dw      64              ; CKS: (DRM+1)/4 directory records checked
        dw      2               ; OFF: reserved tracks

ALVSIZE equ     507/8+1
CSVSIZE equ     64

; ---------------------------------------------------------------------------
; Cold and warm boot.

BOOT:
        ld      sp, TBUFF
        in      a, (BOOTIOB)
        ld      (IOBYTE), a
        xor     a
        ld      (CDISK), a
        out     (SYSST), a      ; no disk change is pending at a fresh start
        ld      hl, SIGNON
        call    PRMSG
        ld      hl, CCP         ; the CCP runs a command left in its buffer
        jr      GOCPM

WBOOT:
        ld      sp, TBUFF
        xor     a
        out     (SYSST), a      ; the CCP logs every disk in again below
WBRETRY:
        ld      a, 0            ; CCP and BDOS come from drive A,
        out     (DKDRV), a
        ld      hl, CCP         ; track 0 sector 0 onward
        ld      de, 0           ; D = track, E = sector
        ld      b, NSECTS
WBLOOP:
        ld      a, e
        out     (DKSECL), a
        xor     a
        out     (DKSECH), a
        out     (DKTRKH), a
        ld      a, d
        out     (DKTRKL), a
        ld      a, l
        out     (DKDMAL), a
        ld      a, h
        out     (DKDMAH), a
        ld      a, CMDREAD
        out     (DKCMD), a
        in      a, (DKCMD)
        or      a
        jr      nz, WBERROR
        push    bc
        ld      bc, 128
        add     hl, bc
        pop     bc
        inc     e
        ld      a, e
        cp      32
        jr      nz, WBNEXT
        ld      e, 0
        inc     d
WBNEXT:
        djnz    WBLOOP
        ; Return to the current disk only while it still holds a disk;
        ; otherwise fall back to A: in the same user area.
        ld      a, (CDISK)
        and     0Fh
        cp      NDISKS
        jr      nc, WBDISKA
        call    PROBE
        jr      z, WBDONE
WBDISKA:
        ld      a, (CDISK)
        and     0F0h
        ld      (CDISK), a
WBDONE:
        ld      hl, CCPCLR
        jr      GOCPM

WBERROR:
        ld      hl, BOOTERR
        call    PRMSG
        call    CONIN
        jr      WBRETRY

; Page zero, the default DMA buffer, then the CCP at HL with C = CDISK.
GOCPM:
        ld      a, 0C3h         ; JP
        ld      (0000h), a
        ld      (0005h), a
        ld      de, WBOOTE
        ld      (0001h), de
        ld      de, BDOSE
        ld      (0006h), de
        ld      bc, TBUFF
        call    SETDMA
        ld      a, (CDISK)
        ld      c, a
        jp      (hl)

; Prints the zero-terminated text at HL on the console.
PRMSG:
        ld      a, (hl)
        or      a
        ret     z
        push    hl
        ld      c, a
        call    CONOUT
        pop     hl
        inc     hl
        jr      PRMSG

; ---------------------------------------------------------------------------
; Character devices, routed through the IOBYTE:
;   CON  bits 0-1: TTY, CRT, BAT (reader in, list out), UC1 (COM1)
;   RDR  bits 2-3: TTY keyboard, PTR (COM2), UR1 (reader file), UR2 (null)
;   PUN  bits 4-5: TTY display, PTP (COM2), UP1 (punch file), UP2 (null)
;   LST  bits 6-7: TTY display, CRT display, LPT (printer), UL1 (COM2)

; Console status: A = FFh when a key waits, else 0.
CONST:
        push    bc
        ld      a, (IOBYTE)
        and     3
        ld      c, TTYST
        jr      z, CONST1
        ld      c, CRTST
        dec     a
        jr      z, CONST1
        ld      c, COM1ST
        dec     a
        jr      nz, CONST1
        call    RDRSTAT         ; batch mode: the reader is the keyboard
        pop     bc
        ret
CONST1:
        call    INSTAT
        pop     bc
        ret

; Console input: waits for a key. The IOBYTE is read again on every poll, so
; a console switched while waiting (a batch reader that ran dry) takes over.
CONIN:
        call    CONST
        or      a
        jr      z, CONIN
        push    bc
        ld      a, (IOBYTE)
        and     3
        ld      c, TTYDAT
        jr      z, CONIN1
        ld      c, CRTDAT
        dec     a
        jr      z, CONIN1
        ld      c, COM1DAT
        dec     a
        jr      nz, CONIN1
        pop     bc
        jp      READER          ; batch mode
CONIN1:
        in      a, (c)
        pop     bc
        ret

; Console output of C.
CONOUT:
        ld      a, (IOBYTE)
        and     3
        jr      z, TTYOUT
        dec     a
        jr      z, CRTOUT
        dec     a
        jr      z, LIST         ; batch mode: output goes to the list device
        push    bc
        ld      b, COM1ST
        jp      COMOUT

TTYOUT:
        ld      a, c
        out     (TTYDAT), a     ; the consoles always take a byte
        ret
CRTOUT:
        ld      a, c
        out     (CRTDAT), a
        ret

; List output of C.
LIST:
        ld      a, (IOBYTE)
        rlca
        rlca
        and     3
        jr      z, TTYOUT
        dec     a
        jr      z, CRTOUT
        dec     a
        jr      nz, LIST3
        in      a, (LPTST)      ; no printer: the byte is dropped
        and     OUTRDY
        ret     z
        ld      a, c
        out     (LPTDAT), a
        ret
LIST3:
        push    bc
        ld      b, COM2ST
        jp      COMOUT

; List status: A = FFh when the list device takes a byte, else 0.
LISTST:
        ld      a, (IOBYTE)
        rlca
        rlca
        and     3
        jr      z, READY
        dec     a
        jr      z, READY
        push    bc
        ld      c, LPTST
        dec     a
        jr      z, LISTST1
        ld      c, COM2ST
LISTST1:
        in      a, (c)
        pop     bc
        and     OUTRDY
        ret     z
READY:
        ld      a, 0FFh
        ret

; Punch output of C.
PUNCH:
        ld      a, (IOBYTE)
        rrca
        rrca
        rrca
        rrca
        and     3
        jr      z, TTYOUT
        dec     a
        jr      nz, PUNCH2
        push    bc
        ld      b, COM2ST
        jp      COMOUT
PUNCH2:
        dec     a
        ret     nz              ; null device
        in      a, (PUNST)      ; no punch file: the byte is dropped
        and     OUTRDY
        ret     z
        ld      a, c
        out     (PUNDAT), a
        ret

; Reader input into A. A reader file that is closed or used up, and the null
; device, deliver ^Z, the end of a CP/M text; the keyboard and COM2 wait.
READER:
        push    bc
        ld      a, (IOBYTE)
        rrca
        rrca
        and     3
        ld      c, TTYST
        jr      z, READER1
        ld      c, COM2ST
        dec     a
        jr      z, READER1
        dec     a
        jr      nz, READEOF
        in      a, (RDRST)
        and     INREADY
        jr      z, READEOF
        in      a, (RDRDAT)
        pop     bc
        ret
READER1:
        in      a, (c)
        and     INREADY
        jr      z, READER1
        inc     c
        in      a, (c)
        pop     bc
        ret
READEOF:
        ld      a, EOFCHAR
        pop     bc
        ret

; Reader status for the batch console: A = FFh when a byte waits. A used-up
; reader file or the null device has nothing, so the console waits there.
RDRSTAT:
        ld      a, (IOBYTE)
        rrca
        rrca
        and     3
        ld      c, TTYST
        jr      z, INSTAT
        ld      c, COM2ST
        dec     a
        jr      z, INSTAT
        ld      c, RDRST
        dec     a
        jr      z, INSTAT
        xor     a
        ret

; Input status of the status port C: A = FFh when a byte waits, else 0.
INSTAT:
        in      a, (c)
        and     INREADY
        ret     z
        ld      a, 0FFh
        ret

; Serial output of C to the COM port whose status port is B (BC pushed by
; the caller). Waits for the port to take the byte for as long as its peer
; holds the line back, as on a serial line with handshake. A port that no
; peer can drain (off, or TCP with no client) takes every byte at once.
COMOUT:
        ld      a, c
        ld      c, b
        ld      b, a
COMOUT1:
        in      a, (c)
        and     OUTRDY
        jr      z, COMOUT1
        inc     c
        out     (c), b
        pop     bc
        ret

; ---------------------------------------------------------------------------
; Disks.

; A disk changed in a drive since CP/M read the directories (the system
; manager's MOUNT and UNMOUNT raise bit 7 of port 64): the BDOS's allocation
; maps belong to the old disks. Nothing may be written with them, so CP/M is
; restarted through the warm boot, whose CCP resets the disk system and so
; logs every disk in again from its own directory.
CHKCHG:
        in      a, (SYSST)
        rla
        ret     nc
        ld      sp, TBUFF
        ld      hl, CHGMSG
        call    PRMSG
        jp      WBOOT

; Selects the controller's drive A (0-3) and asks it to home: Z set when the
; drive holds a disk.
PROBE:
        out     (DKDRV), a
        ld      a, CMDHOME
        out     (DKCMD), a
        in      a, (DKCMD)
        or      a
        ret

; Select disk C: HL = its disk parameter header, or 0 when there is no such
; drive or it holds no disk.
SELDSK:
        ld      hl, 0
        ld      a, c
        cp      NDISKS
        ret     nc
        call    CHKCHG
        ld      a, c
        call    PROBE
        ret     nz
        ld      a, c
        ld      (SEKDSK), a
        ld      l, c
        add     hl, hl
        add     hl, hl
        add     hl, hl
        add     hl, hl
        ld      de, DPBASE
        add     hl, de
        ret

HOME:
        call    CHKCHG
        ld      bc, 0
SETTRK:
        ld      (SEKTRK), bc
        ret

SETSEC:
        ld      (SEKSEC), bc
        ret

SETDMA:
        ld      (DMAADR), bc
        ret

; No sector skew: logical and physical sectors are the same.
SECTRAN:
        ld      h, b
        ld      l, c
        ret

; Read or write one 128-byte sector: A = 0 done, 1 failed.
READ:
        call    CHKCHG
        ld      a, CMDREAD
        jr      DISKIO
WRITE:
        call    CHKCHG
        ld      a, CMDWRIT
DISKIO:
        push    hl
        ld      h, a
        ld      a, (SEKDSK)
        out     (DKDRV), a
        ld      a, (SEKSEC)
        out     (DKSECL), a
        ld      a, (SEKSEC+1)
        out     (DKSECH), a
        ld      a, (SEKTRK)
        out     (DKTRKL), a
        ld      a, (SEKTRK+1)
        out     (DKTRKH), a
        ld      a, (DMAADR)
        out     (DKDMAL), a
        ld      a, (DMAADR+1)
        out     (DKDMAH), a
        ld      a, h
        out     (DKCMD), a
        pop     hl
        in      a, (DKCMD)
        or      a
        ret     z
        ld      a, 1
        ret

; ---------------------------------------------------------------------------
; Texts.

SIGNON:
        db      13, 10, "64K CP/M 2.2 - Vantel BIOS", 13, 10, 0
BOOTERR:
        db      13, 10, "Warm boot failed: drive A: cannot be read."
        db      13, 10, "Press a key to try again.", 13, 10, 0
CHGMSG:
        db      13, 10, "Disk changed - CP/M restarts", 13, 10, 0

; Variables of the disk driver.
SEKDSK: db      0
SEKTRK: dw      0
SEKSEC: dw      0
DMAADR: dw      TBUFF

BIOSEND equ     $

; Work areas above the image: not loaded, not on the boot tracks.
DIRBUF  equ     BIOSEND
ALV0    equ     DIRBUF+128
ALV1    equ     ALV0+ALVSIZE
ALV2    equ     ALV1+ALVSIZE
ALV3    equ     ALV2+ALVSIZE
CSV0    equ     ALV3+ALVSIZE
CSV1    equ     CSV0+CSVSIZE
CSV2    equ     CSV1+CSVSIZE
CSV3    equ     CSV2+CSVSIZE
WORKEND equ     CSV3+CSVSIZE

; Guards: an undefined symbol stops the assembly when the work areas would
; run past FFFFh or the image would not fit the 64 records of the boot tracks.
        if      WORKEND < BIOSEND
        dw      Work_areas_run_past_FFFFh
        endif
        if      BIOSEND-CCP > 64*128
        dw      Boot_image_does_not_fit_the_reserved_tracks
        endif

        end
