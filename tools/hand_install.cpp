// hand_install: makes a drive slot bootable by hand, through the same drive
// and file services the installer's boot loader phase uses, so an exported
// image of the slot can be boot-tested before (and independently of) the
// installer itself.
//
//   hand_install SLOT BOOT_IMG CORE_IMG KERNEL
//
// The three inputs are machine paths (e.g. "RAM:/installer/grub/boot.img").
// Sector 0: the boot code of BOOT_IMG (446 bytes), the partition table from
// the drive's layout, 0x55 0xAA. CORE_IMG from sector 1, KERNEL from sector
// 1024; "/boot/grub/grub.cfg" and "/boot/kernel.bin" in the partition.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "qor.h"
#include "qor_print.h"

namespace {

constexpr long KERNEL_SECTOR = 1024;
constexpr size_t BOOT_CODE_BYTES = 446;
constexpr size_t MBR_TABLE_OFFSET = 446;
constexpr size_t MBR_ENTRY_BYTES = 16;

const char GRUB_CONFIG[] =
    "set default=0\nset timeout=0\nmenuentry \"QOR-OS\" {\n    multiboot /boot/kernel.bin\n    boot\n}\n";

uint32_t load_le32(const unsigned char* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void store_le32(unsigned char* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

// Whole file at a machine path, or false.
bool read_whole(const char* path, std::vector<unsigned char>* out) {
    long fd = qor::open(path, qor::O_READ);
    if (fd < 0) return false;
    unsigned char chunk[4096];
    long n;
    while ((n = qor::read(static_cast<int>(fd), chunk, sizeof chunk)) > 0) out->insert(out->end(), chunk, chunk + n);
    qor::close(static_cast<int>(fd));
    return n == 0;
}

bool write_whole(const char* path, const std::vector<unsigned char>& bytes) {
    long h = qor::stream_begin(path);
    if (h < 0) return false;
    bool ok = bytes.empty() || qor::stream_write(h, bytes.data(), bytes.size()) == static_cast<long>(bytes.size());
    return qor::stream_end(h) == 0 && ok;
}

// The 16-byte table entry of one 12-byte layout entry; an unused one stays zero.
void build_mbr_entry(const unsigned char* layout_entry, bool active, unsigned char* out) {
    memset(out, 0, MBR_ENTRY_BYTES);
    if (!layout_entry[0]) return;
    out[0] = active ? 0x80 : 0x00;
    out[1] = 0xFE, out[2] = 0xFF, out[3] = 0xFF;
    out[4] = layout_entry[1];
    out[5] = 0xFE, out[6] = 0xFF, out[7] = 0xFF;
    store_le32(out + 8, load_le32(layout_entry + 4));
    store_le32(out + 12, load_le32(layout_entry + 8));
}

bool write_sectors(long slot, long first, const std::vector<unsigned char>& bytes) {
    for (size_t at = 0; at < bytes.size(); at += qor::SECTOR_SIZE) {
        unsigned char sector[qor::SECTOR_SIZE] = {};
        size_t n = bytes.size() - at < sizeof sector ? bytes.size() - at : sizeof sector;
        memcpy(sector, bytes.data() + at, n);
        long number = first + static_cast<long>(at / qor::SECTOR_SIZE);
        if (qor_syscall(qor::SYS_DISK_WRITE_SECTOR, slot, number, qor_word(sector)) != 0) return false;
    }
    return true;
}

int fail(const char* what) {
    qor::print("hand_install: %s\n", what);
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) return fail("usage: hand_install SLOT BOOT_IMG CORE_IMG KERNEL");
    long slot = strtol(argv[1], nullptr, 10);
    std::vector<unsigned char> boot, core, kernel;
    if (!read_whole(argv[2], &boot) || boot.size() < qor::SECTOR_SIZE) return fail("cannot read the boot image");
    if (!read_whole(argv[3], &core) || core.empty()) return fail("cannot read the core image");
    if (!read_whole(argv[4], &kernel) || kernel.empty()) return fail("cannot read the kernel");
    if (core.size() > (KERNEL_SECTOR - 1) * qor::SECTOR_SIZE) return fail("the core image reaches the kernel area");

    if (qor_syscall(qor::SYS_DISK_PREPARE, slot, 0, 0) != 0) return fail("disk_prepare failed");
    if (qor_syscall(qor::SYS_DRIVE_SELECT, slot, 0, 0) < 0) return fail("drive_select failed");
    qor::mkdir("/boot");
    qor::mkdir("/boot/grub");
    std::vector<unsigned char> config(GRUB_CONFIG, GRUB_CONFIG + sizeof GRUB_CONFIG - 1);
    if (!write_whole("/boot/grub/grub.cfg", config)) return fail("cannot write /boot/grub/grub.cfg");
    if (!write_whole("/boot/kernel.bin", kernel)) return fail("cannot write /boot/kernel.bin");

    unsigned char layout[qor::PARTITION_RECORD_SIZE] = {};
    if (qor_syscall(qor::SYS_DISK_PARTITION_TABLE, slot, qor_word(layout), sizeof layout) != 0)
        return fail("cannot read the partition layout");
    const unsigned char* entries = layout + qor::PARTITION_HEADER_SIZE;
    long kernel_sectors = static_cast<long>((kernel.size() + qor::SECTOR_SIZE - 1) / qor::SECTOR_SIZE);
    if (entries[0] && load_le32(entries + 4) <= static_cast<uint32_t>(KERNEL_SECTOR + kernel_sectors))
        return fail("the kernel would run into the first partition");
    bool any_bootable = false;
    for (int k = 0; k < qor::PARTITION_ENTRIES; ++k) {
        const unsigned char* e = entries + k * qor::PARTITION_ENTRY_SIZE;
        any_bootable = any_bootable || (e[0] && e[2]);
    }
    std::vector<unsigned char> mbr(qor::SECTOR_SIZE, 0);
    memcpy(mbr.data(), boot.data(), BOOT_CODE_BYTES);
    for (int k = 0; k < qor::PARTITION_ENTRIES; ++k) {
        const unsigned char* e = entries + k * qor::PARTITION_ENTRY_SIZE;
        bool active = e[2] || (k == 0 && !any_bootable);
        build_mbr_entry(e, active, mbr.data() + MBR_TABLE_OFFSET + k * MBR_ENTRY_BYTES);
    }
    mbr[510] = 0x55;
    mbr[511] = 0xAA;
    if (!write_sectors(slot, 0, mbr)) return fail("cannot write sector 0");
    if (!write_sectors(slot, 1, core)) return fail("cannot write the core image");
    if (!write_sectors(slot, KERNEL_SECTOR, kernel)) return fail("cannot write the kernel copy");
    qor::print("hand_install: slot %ld is bootable (core %zu bytes, kernel %zu bytes)\n", slot, core.size(),
               kernel.size());
    return 0;
}
