// Drive services over the machine's drive slots.
//
// Slot N is <machine>/drives/N: disk.img, the whole raw drive, and layout,
// what disk_prepare chose. disk_prepare writes a real partition table into
// sector 0 and formats the partition as ext2 inside the image, so the image
// is the drive: its files live in that file system (drive_fs.cpp). The
// layout file holds one line per used partition:
//   <first sector> <sector count> <type, hex> <bootable 0/1>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "drive_fs.h"
#include "kernel.h"
#include "qor_calls.h"
#include "qor_endian.h"

namespace hosted {
namespace {

constexpr uint64_t MIN_DRIVE_BYTES = 16ull * 1024 * 1024;
constexpr uint32_t FIRST_PARTITION_SECTOR = 8192;
constexpr uint8_t LINUX_PARTITION_TYPE = 0x83;

struct partition {
    uint32_t first = 0;
    uint32_t count = 0;
    uint8_t type = 0;
    bool bootable = false;
};

std::string layout_path(int slot) { return slot_dir(slot) + "/layout"; }

bool slot_exists(long slot) {
    if (is_bare_host() || slot < 0 || slot > 1000000) return false;
    struct stat st;
    return stat(slot_dir(static_cast<int>(slot)).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Size of the slot's disk.img in bytes, 0 when there is none.
uint64_t image_bytes(long slot) {
    if (!slot_exists(slot)) return 0;
    struct stat st;
    if (stat(slot_image_path(static_cast<int>(slot)).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return 0;
    return static_cast<uint64_t>(st.st_size);
}

long disk_count() {
    if (is_bare_host()) return 0;
    long n = 0;
    while (slot_exists(n)) ++n;
    return n;
}

long disk_present(long slot) { return image_bytes(slot) >= MIN_DRIVE_BYTES ? 1 : 0; }

bool read_layout(long slot, partition* out) {
    std::ifstream in(layout_path(static_cast<int>(slot)));
    std::string line;
    if (!in || !std::getline(in, line)) return false;
    std::istringstream fields(line);
    unsigned long first = 0, count = 0, bootable = 0;
    unsigned type = 0;
    if (!(fields >> first >> count >> std::hex >> type >> std::dec >> bootable)) return false;
    out->first = static_cast<uint32_t>(first);
    out->count = static_cast<uint32_t>(count);
    out->type = static_cast<uint8_t>(type);
    out->bootable = bootable != 0;
    return true;
}

bool write_layout(long slot, const partition& p) {
    std::ofstream out(layout_path(static_cast<int>(slot)), std::ios::trunc);
    char line[96];
    snprintf(line, sizeof line, "%u %u %x %d\n", p.first, p.count, p.type, p.bootable ? 1 : 0);
    out << line;
    out.close();
    return static_cast<bool>(out);
}

bool image_writable(long slot) {
    int fd = ::open(slot_image_path(static_cast<int>(slot)).c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

bool write_image_sector(long slot, uint64_t sector, const unsigned char* data) {
    int fd = ::open(slot_image_path(static_cast<int>(slot)).c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    ssize_t n = pwrite(fd, data, qor::SECTOR_SIZE, static_cast<off_t>(sector * qor::SECTOR_SIZE));
    int closed = ::close(fd);
    return n == qor::SECTOR_SIZE && closed == 0;
}

// Cylinder/head/sector address of an LBA sector in the classic 255-head,
// 63-sector geometry, clamped to the last address for sectors beyond it.
void store_chs(unsigned char* at, uint64_t lba) {
    constexpr uint64_t HEADS = 255, SECTORS = 63, LAST_CYLINDER = 1023;
    uint64_t cylinder = lba / (HEADS * SECTORS);
    uint64_t head = (lba / SECTORS) % HEADS;
    uint64_t sector = lba % SECTORS + 1;
    if (cylinder > LAST_CYLINDER) {
        cylinder = LAST_CYLINDER;
        head = HEADS - 1;
        sector = SECTORS;
    }
    at[0] = static_cast<unsigned char>(head);
    at[1] = static_cast<unsigned char>(sector | ((cylinder >> 2) & 0xC0));
    at[2] = static_cast<unsigned char>(cylinder & 0xFF);
}

// Sector 0: no boot code yet (the installer writes its own), the partition
// in the first of the four entries, and the boot signature.
bool write_partition_table(long slot, const partition& p) {
    constexpr size_t ENTRY = 446;
    unsigned char sector[qor::SECTOR_SIZE] = {};
    unsigned char* e = sector + ENTRY;
    e[0] = p.bootable ? 0x80 : 0x00;
    store_chs(e + 1, p.first);
    e[4] = p.type;
    store_chs(e + 5, static_cast<uint64_t>(p.first) + p.count - 1);
    qor::store_le32(e + 8, p.first);
    qor::store_le32(e + 12, p.count);
    sector[510] = 0x55;
    sector[511] = 0xAA;
    return write_image_sector(slot, 0, sector);
}

// One used, bootable Linux partition from sector 8192 to the end of the
// image, formatted as an empty ext2 file system.
long disk_prepare(long slot) {
    uint64_t bytes = image_bytes(slot);
    if (bytes < MIN_DRIVE_BYTES || !image_writable(slot)) return -1;
    uint64_t sectors = bytes / qor::SECTOR_SIZE;
    if (sectors > UINT32_MAX) return -1;
    partition p;
    p.first = FIRST_PARTITION_SECTOR;
    p.count = static_cast<uint32_t>(sectors - FIRST_PARTITION_SECTOR);
    p.type = LINUX_PARTITION_TYPE;
    p.bootable = true;
    // Until the new file system is whole the slot counts as unprepared.
    drive_detach(static_cast<int>(slot));
    if (unlink(layout_path(static_cast<int>(slot)).c_str()) != 0 && errno != ENOENT) return -1;
    if (!write_partition_table(slot, p)) return -1;
    uint64_t offset = static_cast<uint64_t>(p.first) * qor::SECTOR_SIZE;
    if (drive_format(static_cast<int>(slot), offset, static_cast<uint64_t>(p.count) * qor::SECTOR_SIZE) != 0)
        return -1;
    return write_layout(slot, p) ? 0 : -1;
}

long drive_select(long slot) {
    partition p;
    if (!slot_exists(slot) || !read_layout(slot, &p) || drive_mount(static_cast<int>(slot)) != 0) return -1;
    machine().current_drive = static_cast<int>(slot);
    return 0;
}

long disk_partition_table(long slot, uint8_t* record, long len) {
    partition p;
    if (!record || len < qor::PARTITION_RECORD_SIZE || !slot_exists(slot) || !read_layout(slot, &p)) return -1;
    memset(record, 0, qor::PARTITION_RECORD_SIZE);
    uint8_t* entry = record + qor::PARTITION_HEADER_SIZE;
    entry[0] = 1;
    entry[1] = p.type;
    entry[2] = p.bootable ? 1 : 0;
    qor::store_le32(entry + 4, p.first);
    qor::store_le32(entry + 8, p.count);
    return 0;
}

// A raw write inside the partition goes past the file system, which is
// written back and reread afterwards rather than kept stale.
long disk_write_sector(long slot, long sector, const unsigned char* data) {
    uint64_t bytes = image_bytes(slot);
    if (!data || sector < 0 || static_cast<uint64_t>(sector) >= bytes / qor::SECTOR_SIZE) return -1;
    partition p;
    if (read_layout(slot, &p) && static_cast<uint64_t>(sector) >= p.first) drive_detach(static_cast<int>(slot));
    return write_image_sector(slot, static_cast<uint64_t>(sector), data) ? 0 : -1;
}

}  // namespace

bool partition_offset(int slot, uint64_t* offset) {
    partition p;
    if (!slot_exists(slot) || !read_layout(slot, &p)) return false;
    *offset = static_cast<uint64_t>(p.first) * qor::SECTOR_SIZE;
    return true;
}

long drive_call(long number, long a, long b, long c) {
    switch (number) {
        case qor::SYS_DISK_COUNT: return disk_count();
        case qor::SYS_DISK_PRESENT: return disk_present(a);
        case qor::SYS_DISK_PREPARE: return disk_prepare(a);
        case qor::SYS_DRIVE_SELECT: return drive_select(a);
        case qor::SYS_DISK_PARTITION_TABLE:
            return disk_partition_table(a, static_cast<uint8_t*>(as_buffer(b)), c);
        case qor::SYS_DISK_WRITE_SECTOR:
            return disk_write_sector(a, b, static_cast<const unsigned char*>(as_buffer(c)));
        default: return -1;
    }
}

}  // namespace hosted
