// Making the target drive bootable: the boot loader's configuration file in
// the partition, then raw sectors: the master boot record (the boot image's
// code and the drive's own partition table), the core image from sector 1,
// and a raw copy of the kernel from sector 1024.
#pragma once

#include <cstdint>

#include "installer_state.h"

constexpr char GRUB_CONFIG_PATH[] = "/boot/grub/grub.cfg";
constexpr char GRUB_CONFIG_TEXT[] =
    "set default=0\nset timeout=0\nmenuentry \"QOR-OS\" {\n    multiboot /boot/kernel.bin\n    boot\n}\n";

constexpr uint32_t CORE_FIRST_SECTOR = 1;
constexpr uint32_t KERNEL_FIRST_SECTOR = 1024;
// The core image must end before the kernel copy begins.
constexpr uint32_t CORE_MAX_SECTORS = KERNEL_FIRST_SECTOR - CORE_FIRST_SECTOR;
constexpr int MBR_BOOT_CODE_SIZE = 446;
constexpr int MBR_ENTRY_SIZE = 16;

// Failure codes of the boot image phase, in the order they can arise.
enum boot_image_failure : int {
    BOOT_IMG_OPEN_FAILED = -1,
    BOOT_IMG_SHORT = -2,
    CORE_IMG_OPEN_FAILED = -3,
    CORE_IMG_NO_SIZE = -4,
    CORE_IMG_REWIND_FAILED = -5,
    CORE_IMG_NO_MEMORY = -6,
    CORE_IMG_READ_FAILED = -7,
    CORE_IMG_TOO_LARGE = -8,
    LAYOUT_QUERY_FAILED = -9,
    MBR_WRITE_FAILED = -10,
    CORE_WRITE_FAILED = -11,
    KERNEL_OPEN_FAILED = -12,
    KERNEL_NO_SIZE = -13,
    KERNEL_REACHES_PARTITION = -14,
    KERNEL_READ_FAILED = -15,
    KERNEL_WRITE_FAILED = -16,
};

// Failure codes of the configuration file besides a refused stream begin.
constexpr int GRUB_CONFIG_SHORT_WRITE = -200;
constexpr int GRUB_CONFIG_END_FAILED = -201;

// Builds sector 0 into `mbr` (512 bytes) from the first 446 bytes of
// `boot_image`, the 60-byte partition layout record and the kernel copy's
// sector count: 0, or KERNEL_REACHES_PARTITION when a used entry 0 starts at
// or before the kernel copy's last sector.
int build_master_boot_record(const uint8_t* boot_image, const uint8_t* layout, uint64_t kernel_sectors, uint8_t* mbr);

// Writes "/boot/grub/grub.cfg": 0, or the failure code (a negative stream
// handle, GRUB_CONFIG_SHORT_WRITE, GRUB_CONFIG_END_FAILED), nothing reported.
int write_grub_config();

// Writes sector 0, the core image and the kernel copy on target_drive: 0, or
// a boot_image_failure code, nothing reported.
int write_boot_images(const installer_state* s);
