// The boot loader phase. Sector 0 is a master boot record: 446 bytes of the
// boot image's code, four 16-byte partition entries, the signature 0x55 0xAA.
// The boot code loads the core image from sector 1; the core image finds its
// configuration in the first partition and the kernel there.
#include "boot_loader.h"

#include <cstdlib>
#include <cstring>

#include "install_phases.h"
#include "qor.h"
#include "qor_endian.h"
#include "reporting.h"
#include "run_installation.h"

namespace {

constexpr char BOOT_IMG_PATH[] = "RAM:/installer/grub/boot.img";
constexpr char CORE_IMG_PATH[] = "RAM:/installer/grub/core.img";
constexpr char KERNEL_PATH[] = "/boot/kernel.bin";
// The one path text every boot image failure shows, kernel and disk included.
constexpr char BOOT_IMAGES_SHOWN[] = "/installer/grub/{boot.img,core.img}";

constexpr int SECTOR = qor::SECTOR_SIZE;
constexpr int MBR_ENTRIES_OFFSET = MBR_BOOT_CODE_SIZE;
constexpr int MBR_SIGNATURE_OFFSET = 510;
constexpr uint8_t MBR_ACTIVE = 0x80;
// Cylinder-head-sector addresses are not used by anything that reads the
// first and count fields; these mark them as out of range.
constexpr uint8_t CHS_BEYOND[3] = {0xFE, 0xFF, 0xFF};

// Layout entry fields (12 bytes each, after the 12-byte header).
constexpr int LAYOUT_USED = 0;
constexpr int LAYOUT_TYPE = 1;
constexpr int LAYOUT_BOOTABLE = 2;
constexpr int LAYOUT_FIRST = 4;
constexpr int LAYOUT_COUNT = 8;

const uint8_t* layout_entry(const uint8_t* layout, int k) {
    return layout + qor::PARTITION_HEADER_SIZE + k * qor::PARTITION_ENTRY_SIZE;
}

// True when some used entry asks to be the active partition.
bool layout_names_active(const uint8_t* layout) {
    for (int k = 0; k < qor::PARTITION_ENTRIES; ++k) {
        const uint8_t* e = layout_entry(layout, k);
        if (e[LAYOUT_USED] && e[LAYOUT_BOOTABLE]) return true;
    }
    return false;
}

// The 16-byte table entry of a used layout entry.
void store_mbr_entry(const uint8_t* e, bool active, uint8_t* out) {
    out[0] = active ? MBR_ACTIVE : 0x00;
    memcpy(out + 1, CHS_BEYOND, sizeof CHS_BEYOND);
    out[4] = e[LAYOUT_TYPE];
    memcpy(out + 5, CHS_BEYOND, sizeof CHS_BEYOND);
    qor::store_le32(out + 8, qor::load_le32(e + LAYOUT_FIRST));
    qor::store_le32(out + 12, qor::load_le32(e + LAYOUT_COUNT));
}

long write_sector(int32_t drive, uint32_t sector, const uint8_t* bytes) {
    return qor_syscall(qor::SYS_DISK_WRITE_SECTOR, drive, static_cast<long>(sector), qor_word(bytes));
}

// Size of the open file taken by seeking to its end and back: the size, or
// -1 when it has none or cannot be rewound.
long measure_open_file(long fd) {
    long size = qor::lseek(static_cast<int>(fd), 0, qor::SEEK_FROM_END);
    if (size <= 0) return size < 0 ? -1 : 0;
    return qor::lseek(static_cast<int>(fd), 0, qor::SEEK_FROM_START) == 0 ? size : -1;
}

// Counted in 64 bits: an image of 2 TiB or more must not wrap to a small count.
uint64_t sectors_for(uint64_t bytes) { return bytes / SECTOR + (bytes % SECTOR != 0); }

// The first 512 bytes of the boot image, read in one call: 0 or a code.
int read_boot_image(uint8_t* sector) {
    long fd = qor::open(BOOT_IMG_PATH, qor::O_READ);
    if (fd < 0) return BOOT_IMG_OPEN_FAILED;
    long n = qor::read(static_cast<int>(fd), sector, SECTOR);
    qor::close(static_cast<int>(fd));
    return n == SECTOR ? 0 : BOOT_IMG_SHORT;
}

struct core_image {
    uint8_t* bytes;  // heap block of exactly `size` bytes
    unsigned long size;
};

// The whole core image in one heap block: 0 (the caller frees it) or a code.
int load_core_image(core_image* core) {
    long fd = qor::open(CORE_IMG_PATH, qor::O_READ);
    if (fd < 0) return CORE_IMG_OPEN_FAILED;
    int rc = 0;
    long size = qor::lseek(static_cast<int>(fd), 0, qor::SEEK_FROM_END);
    if (size <= 0) rc = CORE_IMG_NO_SIZE;
    else if (qor::lseek(static_cast<int>(fd), 0, qor::SEEK_FROM_START) != 0) rc = CORE_IMG_REWIND_FAILED;
    else if (sectors_for(static_cast<uint64_t>(size)) > CORE_MAX_SECTORS) rc = CORE_IMG_TOO_LARGE;
    else if (!(core->bytes = static_cast<uint8_t*>(malloc(static_cast<size_t>(size))))) rc = CORE_IMG_NO_MEMORY;
    else if (qor::read_full(static_cast<int>(fd), core->bytes, static_cast<size_t>(size)) != size) {
        free(core->bytes);
        rc = CORE_IMG_READ_FAILED;
    }
    qor::close(static_cast<int>(fd));
    if (rc == 0) core->size = static_cast<unsigned long>(size);
    return rc;
}

// Writes the core image from sector 1, its last sector padded with zeros.
int write_core_sectors(int32_t drive, const core_image& core) {
    uint8_t sector[SECTOR];
    uint32_t count = static_cast<uint32_t>(sectors_for(core.size));  // at most CORE_MAX_SECTORS
    for (uint32_t i = 0; i < count; ++i) {
        unsigned long at = static_cast<unsigned long>(i) * SECTOR;
        unsigned long piece = core.size - at < SECTOR ? core.size - at : SECTOR;
        memset(sector, 0, sizeof sector);
        memcpy(sector, core.bytes + at, piece);
        if (write_sector(drive, CORE_FIRST_SECTOR + i, sector) != 0) return CORE_WRITE_FAILED;
    }
    return 0;
}

// Copies the kernel of `size` bytes sector by sector from sector 1024. A file
// that ends before its measured size fails as a read failure: a boot disk
// whose kernel is padded with zeros in place of its tail would not boot.
int write_kernel_sectors(int32_t drive, long fd, uint64_t size) {
    uint8_t sector[SECTOR];
    uint64_t kernel_sectors = sectors_for(size);
    for (uint64_t j = 0; j < kernel_sectors; ++j) {
        uint64_t left = size - j * SECTOR;
        long piece = left < SECTOR ? static_cast<long>(left) : SECTOR;
        memset(sector, 0, sizeof sector);  // a short last piece ends in zeros
        if (qor::read_full(static_cast<int>(fd), sector, static_cast<size_t>(piece)) != piece) return KERNEL_READ_FAILED;
        if (write_sector(drive, static_cast<uint32_t>(KERNEL_FIRST_SECTOR + j), sector) != 0) return KERNEL_WRITE_FAILED;
    }
    return 0;
}

// Sector 0, the core sectors and the kernel sectors, once both images are at
// hand and the kernel is open: 0 or a code.
int write_sector_areas(int32_t drive, const uint8_t* boot_image, const core_image& core, long kernel_fd,
                       uint64_t kernel_size) {
    uint8_t layout[qor::PARTITION_RECORD_SIZE] = {};
    if (qor_syscall(qor::SYS_DISK_PARTITION_TABLE, drive, qor_word(layout), sizeof layout) != 0)
        return LAYOUT_QUERY_FAILED;
    uint8_t mbr[SECTOR];
    int rc = build_master_boot_record(boot_image, layout, sectors_for(kernel_size), mbr);
    if (rc != 0) return rc;
    if (write_sector(drive, 0, mbr) != 0) return MBR_WRITE_FAILED;
    rc = write_core_sectors(drive, core);
    if (rc != 0) return rc;
    return write_kernel_sectors(drive, kernel_fd, kernel_size);
}

// Opens and measures the kernel on the target, then writes every sector
// area: 0 or a code. The kernel is closed again on every way out.
int write_with_kernel(int32_t drive, const uint8_t* boot_image, const core_image& core) {
    long fd = qor::open(KERNEL_PATH, qor::O_READ);
    if (fd < 0) return KERNEL_OPEN_FAILED;
    long size = measure_open_file(fd);
    int rc = KERNEL_NO_SIZE;
    if (size > 0) rc = write_sector_areas(drive, boot_image, core, fd, static_cast<uint64_t>(size));
    qor::close(static_cast<int>(fd));
    return rc;
}

// The configuration file's failure: reported with its code; run code -106.
int grub_config_failed(installer_state* s, int code) {
    error_set_path_code(s, "Failed writing /boot/grub/grub.cfg", GRUB_CONFIG_PATH, code);
    return RUN_GRUB_CONFIG_FAILED;
}

// A boot image failure: reported with its code; run code -107.
int boot_images_failed(installer_state* s, int code) {
    error_set_path_code(s, "Bootloader install failed", BOOT_IMAGES_SHOWN, code);
    return RUN_BOOTLOADER_FAILED;
}

}  // namespace

int build_master_boot_record(const uint8_t* boot_image, const uint8_t* layout, uint64_t kernel_sectors, uint8_t* mbr) {
    memset(mbr, 0, SECTOR);
    memcpy(mbr, boot_image, MBR_BOOT_CODE_SIZE);
    bool active_named = layout_names_active(layout);
    for (int k = 0; k < qor::PARTITION_ENTRIES; ++k) {
        const uint8_t* e = layout_entry(layout, k);
        if (!e[LAYOUT_USED]) continue;
        // The kernel copy lies in the gap before the first partition.
        if (k == 0 && uint64_t{qor::load_le32(e + LAYOUT_FIRST)} <= KERNEL_FIRST_SECTOR + kernel_sectors)
            return KERNEL_REACHES_PARTITION;
        bool active = e[LAYOUT_BOOTABLE] || (k == 0 && !active_named);
        store_mbr_entry(e, active, mbr + MBR_ENTRIES_OFFSET + k * MBR_ENTRY_SIZE);
    }
    mbr[MBR_SIGNATURE_OFFSET] = 0x55;
    mbr[MBR_SIGNATURE_OFFSET + 1] = 0xAA;
    return 0;
}

int write_grub_config() {
    qor::mkdir("/boot");  // either may exist already
    qor::mkdir("/boot/grub");
    long handle = qor::stream_begin(GRUB_CONFIG_PATH);
    if (handle < 0) return static_cast<int>(handle);
    const long len = sizeof GRUB_CONFIG_TEXT - 1;
    if (qor::stream_write(handle, GRUB_CONFIG_TEXT, len) != len) {
        qor::stream_end(handle);
        return GRUB_CONFIG_SHORT_WRITE;
    }
    return qor::stream_end(handle) == 0 ? 0 : GRUB_CONFIG_END_FAILED;
}

int write_boot_images(const installer_state* s) {
    uint8_t boot_image[SECTOR];
    int rc = read_boot_image(boot_image);
    if (rc != 0) return rc;
    core_image core = {nullptr, 0};
    rc = load_core_image(&core);
    if (rc != 0) return rc;
    rc = write_with_kernel(s->target_drive, boot_image, core);
    free(core.bytes);
    return rc;
}

int install_bootloader(installer_state* s) {
    status_set(s, "Writing GRUB config ...");
    s->step = STEP_BOOTLOADER;
    progress_begin(s, 3, "Writing /boot/grub/grub.cfg");
    int rc = write_grub_config();
    if (rc != 0) return grub_config_failed(s, rc);
    progress_step(s, "grub.cfg written");

    status_set(s, "Installing GRUB (embedded core) ...");
    detail_set(s, "Embedding boot.img/core.img and kernel blob");
    rc = write_boot_images(s);
    if (rc != 0) return boot_images_failed(s, rc);
    progress_step(s, "Bootloader installed");
    status_set(s, "Installation complete");
    progress_step(s, "Done");
    s->progress_permille = 1000;
    redraw(s);
    return 0;
}
