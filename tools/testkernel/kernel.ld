/* Loaded at 1 MiB; the multiboot header must lie in the first 8 KiB. */
ENTRY(_start)
SECTIONS
{
    . = 0x100000;
    .text : { *(.multiboot) *(.text) }
    .rodata : { *(.rodata) }
    .data : { *(.data) }
    .bss : { *(.bss) }
}
