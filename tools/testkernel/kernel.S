# A tiny multiboot kernel for boot tests: it prints one line on the first
# serial port (COM1) and ends the virtual machine through QEMU's
# isa-debug-exit device (port 0xf4), so a test sees both what it printed and
# that it ran to the end.

        .set MULTIBOOT_MAGIC, 0x1BADB002
        .set MULTIBOOT_FLAGS, 0
        .set MULTIBOOT_CHECKSUM, -(MULTIBOOT_MAGIC + MULTIBOOT_FLAGS)

        .set COM1, 0x3F8
        .set DEBUG_EXIT_PORT, 0xF4
        .set DEBUG_EXIT_VALUE, 0x10      # QEMU exits with (0x10 << 1) | 1 = 33

        .section .multiboot, "a"
        .align 4
        .long MULTIBOOT_MAGIC, MULTIBOOT_FLAGS, MULTIBOOT_CHECKSUM

        .section .text
        .code32
        .global _start
_start:
        cli
        mov $stack_top, %esp
        call serial_init
        mov $message, %esi
        call serial_puts
        mov $DEBUG_EXIT_PORT, %dx
        mov $DEBUG_EXIT_VALUE, %al
        outb %al, %dx
halt:   hlt
        jmp halt

# 115200 baud, 8 data bits, no parity, one stop bit, FIFO on.
serial_init:
        mov $COM1 + 1, %dx
        xor %al, %al
        outb %al, %dx            # no interrupts
        mov $COM1 + 3, %dx
        mov $0x80, %al
        outb %al, %dx            # divisor latch on
        mov $COM1, %dx
        mov $1, %al
        outb %al, %dx            # divisor 1: 115200 baud
        mov $COM1 + 1, %dx
        xor %al, %al
        outb %al, %dx
        mov $COM1 + 3, %dx
        mov $0x03, %al
        outb %al, %dx            # 8N1, latch off
        mov $COM1 + 2, %dx
        mov $0xC7, %al
        outb %al, %dx            # FIFO on and cleared
        ret

# Writes the NUL-terminated text at %esi, waiting for an empty transmitter
# before each byte.
serial_puts:
        lodsb
        test %al, %al
        jz 2f
        mov %al, %ah
        mov $COM1 + 5, %dx
1:      inb %dx, %al
        test $0x20, %al
        jz 1b
        mov %ah, %al
        mov $COM1, %dx
        outb %al, %dx
        jmp serial_puts
2:      ret

        .section .rodata
message:
        .asciz "QOR-OS test kernel booted\r\n"

        .section .bss
        .align 16
        .space 4096
stack_top:
