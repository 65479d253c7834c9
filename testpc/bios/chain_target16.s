# A partition boot sector for the boot program's tests. The boot program
# loads it to 0000:7C00 and jumps to it; it prints on the BIOS teletype
#   CHAINED <label> SI=<si> DL=<dl> ENTRY=<16 bytes at SI>
# in hexadecimal and then ends the emulator through its debug exit port
# (exit status 0x21). The label is a NUL-terminated text at offset 400
# that the test writes into each copy of the sector.

        .code16
        .text
        .globl  _start

        .set    LABEL, 0x7c00 + 400

_start:
        xor     %ax, %ax
        mov     %ax, %ds
        mov     %ax, %es
        mov     %si, %bp                 # the entry the boot program gave
        mov     %dl, %bh                 # and its drive number
        push    %bx
        mov     $text_chained, %si
        call    print
        mov     $LABEL, %si
        call    print
        mov     $text_si, %si
        call    print
        mov     %bp, %ax
        xchg    %al, %ah
        call    print_hex_byte
        xchg    %al, %ah
        call    print_hex_byte
        mov     $text_dl, %si
        call    print
        pop     %ax
        mov     %ah, %al
        call    print_hex_byte
        mov     $text_entry, %si
        call    print
        mov     $16, %cx
        mov     %bp, %di
entry_byte:
        mov     (%di), %al
        call    print_hex_byte
        inc     %di
        loop    entry_byte
        mov     $text_end, %si
        call    print
        mov     $0x01, %ah               # a keyboard check lets the BIOS
        int     $0x16                    # send what it holds for the serial line
        sti
        hlt                              # and one timer tick for good measure
        mov     $0x10, %al
        out     %al, $0xf4               # exit status (0x10 << 1) | 1
halt:
        hlt
        jmp     halt

print:                                   # SI = NUL-terminated text
        push    %ax
print_next:
        lodsb
        test    %al, %al
        jz      print_done
        call    put_char
        jmp     print_next
print_done:
        pop     %ax
        ret

print_hex_byte:                          # AL as two hex digits
        push    %ax
        push    %ax
        shr     $4, %al
        call    put_digit
        pop     %ax
        and     $0x0f, %al
        call    put_digit
        pop     %ax
        ret

put_digit:
        add     $'0', %al
        cmp     $'9', %al
        jbe     put_char
        add     $('a' - '9' - 1), %al
put_char:
        push    %ax
        push    %bx
        mov     $0x0e, %ah
        mov     $0x0007, %bx
        int     $0x10
        pop     %bx
        pop     %ax
        ret

text_chained:
        .asciz  "CHAINED "
text_si:
        .asciz  " SI="
text_dl:
        .asciz  " DL="
text_entry:
        .asciz  " ENTRY="
text_end:
        .asciz  "\r\n"

        .org    400
        .asciz  "?"
        .org    510
        .byte   0x55, 0xaa
