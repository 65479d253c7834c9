# The boot program in the disk's master boot record: a real-mode chain
# loader. The BIOS loads sector 0 to 0000:7C00 and jumps there. The program
# moves itself to 0000:0600 (its link address) so that the partition's own
# boot sector can be loaded to 0000:7C00, finds the first partition entry
# whose boot flag is 0x80, loads that partition's first sector and jumps to
# it with SI pointing at the entry. Bytes 184 to 445 of the sector are zero
# and 446 to 511 hold the partition table, so the code must stay within
# 184 bytes (the build checks it).

        .code16
        .text
        .globl  _start

        .set    LOAD_ADDR, 0x7c00        # where the BIOS puts sector 0
        .set    COPY_ADDR, 0x0600        # where the program runs from
        .set    TABLE, COPY_ADDR + 446   # the four entries in the copy
        .set    READ_TRIES, 5

_start:
        cli
        xor     %ax, %ax
        mov     %ax, %ss
        mov     $LOAD_ADDR, %sp          # the stack grows down from 7C00
        mov     %ax, %ds
        mov     %ax, %es
        sti
        cld
        mov     $LOAD_ADDR, %si
        mov     $COPY_ADDR, %di
        mov     $256, %cx                # 512 bytes
        rep     movsw
        ljmp    $0, $relocated           # continue in the copy

relocated:
        mov     $TABLE, %si
        mov     $4, %cx
scan:
        mov     (%si), %al
        cmp     $0x80, %al
        je      found
        test    %al, %al
        jnz     missing                  # neither 0x80 nor 0: bad table
        add     $16, %si
        loop    scan
        int     $0x18                    # nothing active: back to the BIOS
        jmp     halt

found:
        mov     $READ_TRIES, %di
read:
        mov     (%si), %dx               # DL = drive (the flag 0x80), DH = head
        mov     2(%si), %cx              # CL = sector | cylinder bits 8-9, CH = cylinder
        mov     $LOAD_ADDR, %bx
        mov     $0x0201, %ax             # read one sector
        int     $0x13
        jnc     loaded
        mov     (%si), %dl
        xor     %ax, %ax                 # reset the disk before the next try
        int     $0x13
        dec     %di
        jnz     read
        mov     $msg_error, %si
        jmp     print

loaded:
        cmpw    $0xaa55, LOAD_ADDR + 510
        jne     missing
        mov     (%si), %dl               # the drive for the partition's loader
        ljmp    $0, $LOAD_ADDR

missing:
        mov     $msg_missing, %si
print:                                   # SI = NUL-terminated message
        lodsb
        test    %al, %al
        jz      halt
        mov     $0x0e, %ah               # teletype output
        mov     $0x0007, %bx
        int     $0x10
        jmp     print
halt:
        hlt
        jmp     halt

msg_missing:
        .asciz  "Missing operating system"
msg_error:
        .asciz  "Error loading operating system"
