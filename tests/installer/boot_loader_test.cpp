// The boot loader phase: the configuration file, sector 0 built from the
// boot image and the layout, the core image and kernel sector areas, and
// every failure with its code.
#include <array>
#include <climits>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "boot_loader.h"
#include "install_phases.h"
#include "installer_fixture.h"
#include "qor_endian.h"
#include "run_installation.h"

namespace qortest {
namespace {

constexpr size_t SECTOR = 512;

// A 60-byte layout record; entries given as {used, type, bootable, first, count}.
struct layout_entry_values {
    uint8_t used, type, bootable;
    uint32_t first, count;
};

std::vector<uint8_t> layout_record(std::initializer_list<layout_entry_values> entries) {
    std::vector<uint8_t> record(qor::PARTITION_RECORD_SIZE, 0);
    memset(record.data(), 0xEE, qor::PARTITION_HEADER_SIZE);  // never read
    int k = 0;
    for (const auto& e : entries) {
        uint8_t* p = record.data() + qor::PARTITION_HEADER_SIZE + k++ * qor::PARTITION_ENTRY_SIZE;
        p[0] = e.used, p[1] = e.type, p[2] = e.bootable, p[3] = 0x77;
        qor::store_le32(p + 4, e.first);
        qor::store_le32(p + 8, e.count);
    }
    return record;
}

std::vector<uint8_t> patterned(size_t size, int seed) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 13 + seed + i / 509);
    return bytes;
}

std::string as_string(const std::vector<uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }

TEST(master_boot_record, boot_code_then_the_layout_as_table_entries_then_the_signature) {
    std::vector<uint8_t> boot = patterned(SECTOR, 1);
    std::vector<uint8_t> layout = layout_record({{1, 0x83, 0, 8192, 0x01020304}, {0, 0x07, 1, 9, 9}, {1, 0x0C, 0, 0x11223344, 5}});
    uint8_t mbr[SECTOR];
    memset(mbr, 0xCC, sizeof mbr);
    ASSERT_EQ(build_master_boot_record(boot.data(), layout.data(), 10, mbr), 0);
    EXPECT_EQ(memcmp(mbr, boot.data(), 446), 0);  // bytes 440 to 445 too
    const uint8_t entry0[16] = {0x80, 0xFE, 0xFF, 0xFF, 0x83, 0xFE, 0xFF, 0xFF, 0x00, 0x20, 0, 0, 4, 3, 2, 1};
    const uint8_t entry2[16] = {0x00, 0xFE, 0xFF, 0xFF, 0x0C, 0xFE, 0xFF, 0xFF, 0x44, 0x33, 0x22, 0x11, 5, 0, 0, 0};
    const uint8_t zero[16] = {};
    EXPECT_EQ(memcmp(mbr + 446, entry0, 16), 0);
    EXPECT_EQ(memcmp(mbr + 462, zero, 16), 0);  // unused, though marked bootable
    EXPECT_EQ(memcmp(mbr + 478, entry2, 16), 0);
    EXPECT_EQ(memcmp(mbr + 494, zero, 16), 0);
    EXPECT_EQ(mbr[510], 0x55);
    EXPECT_EQ(mbr[511], 0xAA);
}

TEST(master_boot_record, active_flags_and_the_kernel_fit_check) {
    std::vector<uint8_t> boot(SECTOR, 0);
    struct {
        const char* name;
        std::vector<uint8_t> layout;
        uint32_t kernel_sectors;
        int rc;
        uint8_t active[4];
    } cases[] = {
        {"entry 0 used, none bootable", layout_record({{1, 0x83, 0, 8192, 1}, {1, 0x83, 0, 9000, 1}}), 10, 0,
         {0x80, 0, 0, 0}},
        {"entry 2 bootable only", layout_record({{1, 0x83, 0, 8192, 1}, {1, 0x83, 0, 9000, 1}, {1, 0x83, 1, 9100, 1}}),
         10, 0, {0, 0, 0x80, 0}},
        {"entry 0 unused: no active entry, no fit check",
         layout_record({{0, 0, 0, 0, 0}, {1, 0x83, 0, 2, 1}}), 10, 0, {0, 0, 0, 0}},
        {"entry 0 unused, entry 3 bootable", layout_record({{0, 0, 0, 0, 0}, {}, {}, {1, 0x83, 1, 2, 1}}), 10, 0,
         {0, 0, 0, 0x80}},
        {"kernel ends right before the partition", layout_record({{1, 0x83, 1, 1035, 1}}), 10, 0, {0x80, 0, 0, 0}},
        {"kernel reaches the partition", layout_record({{1, 0x83, 1, 1034, 1}}), 10, KERNEL_REACHES_PARTITION, {}},
    };
    for (auto& c : cases) {
        uint8_t mbr[SECTOR];
        ASSERT_EQ(build_master_boot_record(boot.data(), c.layout.data(), c.kernel_sectors, mbr), c.rc) << c.name;
        if (c.rc != 0) continue;
        for (int k = 0; k < 4; ++k) EXPECT_EQ(mbr[446 + 16 * k], c.active[k]) << c.name << " entry " << k;
    }
}

// The phase on a prepared drive: media images, the kernel on the target.
class boot_loader_test : public window_fixture {
protected:
    void SetUp() override {
        window_fixture::SetUp();
        select_prepared_drive(0);
        state.target_drive = 0;
        state.step = STEP_INSTALL;
        boot_image = patterned(2 * SECTOR, 3);  // only the first sector is read
        write_host_file(machine.media("installer/grub/boot.img"), as_string(boot_image));
        set_core(patterned(700, 5));
        set_kernel(patterned(3 * SECTOR + 100, 9));
    }
    void set_core(std::vector<uint8_t> bytes) {
        core = std::move(bytes);
        write_host_file(machine.media("installer/grub/core.img"), as_string(core));
    }
    void set_kernel(std::vector<uint8_t> bytes) {
        kernel = std::move(bytes);
        machine.write_drive_file(0, "boot/kernel.bin", as_string(kernel));
    }
    int run(std::vector<std::array<long, 3>> faults = {}) {
        hosted::faults_clear();
        hosted::call_counts_reset();
        for (auto& f : faults) hosted::fault_add(f[0], f[1], f[2]);
        return run_captured(&output, [&] { return install_bootloader(&state); });
    }
    std::string sectors(size_t first, size_t count) {
        std::ifstream image(machine.slot(0) + "/disk.img", std::ios::binary);
        image.seekg(static_cast<std::streamoff>(first * SECTOR));
        std::string bytes(count * SECTOR, '\0');
        image.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        return bytes;
    }
    static std::string padded(const std::vector<uint8_t>& bytes, size_t sectors) {
        std::string s = as_string(bytes);
        s.resize(sectors * SECTOR, '\0');
        return s;
    }
    std::vector<uint8_t> boot_image, core, kernel;
    std::string output;
};

TEST_F(boot_loader_test, fills_the_config_file_sector_0_and_both_sector_areas) {
    ASSERT_EQ(run(), 0) << output;
    EXPECT_EQ(output, "");
    EXPECT_EQ(machine.read_drive_file(0, "boot/grub/grub.cfg"),
              "set default=0\nset timeout=0\nmenuentry \"QOR-OS\" {\n    multiboot /boot/kernel.bin\n    boot\n}\n");
    EXPECT_EQ(sizeof GRUB_CONFIG_TEXT - 1, 91u);
    std::string mbr = sectors(0, 1);
    EXPECT_EQ(mbr.substr(0, 446), as_string(boot_image).substr(0, 446));
    // The host's layout: one bootable Linux partition from sector 8192 to the
    // end of the 32 MiB drive.
    EXPECT_EQ(mbr.substr(446, 16), std::string("\x80\xFE\xFF\xFF\x83\xFE\xFF\xFF\x00\x20\x00\x00\x00\xE0\x00\x00", 16));
    EXPECT_EQ(mbr.substr(510), "\x55\xAA");
    EXPECT_EQ(sectors(1, 2), padded(core, 2));
    EXPECT_EQ(sectors(3, 1), std::string(SECTOR, '\0'));
    EXPECT_EQ(sectors(1024, 4), padded(kernel, 4));
    EXPECT_EQ(sectors(1028, 1), std::string(SECTOR, '\0'));
    EXPECT_EQ(state.step, STEP_BOOTLOADER);
    EXPECT_STREQ(state.status_text, "Installation complete");
    EXPECT_STREQ(state.detail_text, "Done");
    EXPECT_EQ(state.progress_permille, 1000);
    EXPECT_EQ(hosted::call_count(qor::SYS_OPEN), hosted::call_count(qor::SYS_CLOSE));
}

TEST_F(boot_loader_test, core_images_take_whole_sectors_up_to_the_kernel_area) {
    struct {
        uint64_t size;
        int rc;
        size_t sectors;
    } cases[] = {
        {1, 0, 1},
        {512, 0, 1},
        {513, 0, 2},
        {1023 * SECTOR, 0, 1023},
        // One byte more would run into the kernel copy at sector 1024: refused
        // before the kernel is even opened.
        {1023 * SECTOR + 1, RUN_BOOTLOADER_FAILED, 0},
        // 2 TiB (sparse): 2^32 sectors, which a 32-bit count would see as 0.
        {uint64_t{1} << 41, RUN_BOOTLOADER_FAILED, 0},
        {(uint64_t{1} << 41) + 1, RUN_BOOTLOADER_FAILED, 0},
    };
    for (auto& c : cases) {
        installer_state_init(&state);
        state.target_drive = 0;
        if (c.size > 4 * 1024 * 1024) {
            std::filesystem::resize_file(machine.media("installer/grub/core.img"), c.size);
        } else {
            set_core(patterned(static_cast<size_t>(c.size), static_cast<int>(c.size)));
        }
        EXPECT_EQ(run(), c.rc) << c.size;
        if (c.rc != 0) {
            // Where the call's word cannot hold the size (past 2 GiB on the
            // 32-bit system) the seek to the end fails: -4, the code for a
            // size that cannot be measured. Either way nothing is allocated.
            const char* code = c.size > static_cast<uint64_t>(LONG_MAX) ? "-4" : "-8";
            EXPECT_EQ(std::string(state.error_text),
                      std::string("Bootloader install failed: /installer/grub/{boot.img,core.img} (rc=") + code + ")");
            EXPECT_EQ(hosted::call_count(qor::SYS_OPEN), 2);
            EXPECT_EQ(hosted::call_count(qor::SYS_DISK_WRITE_SECTOR), 0);
            continue;
        }
        EXPECT_EQ(sectors(1, c.sectors), padded(core, c.sectors)) << c.size;
        EXPECT_EQ(hosted::call_count(qor::SYS_DISK_WRITE_SECTOR), static_cast<long>(1 + c.sectors + 4)) << c.size;
    }
}

TEST_F(boot_loader_test, a_kernel_that_ends_before_its_measured_size_fails_as_a_read_failure) {
    // The kernel is measured at 3 sectors and 100 bytes; reads 1 and 2 are
    // the two images', so read 3 + k is the kernel's piece k.
    struct {
        long first_read;
        long kernel_sectors_written;
    } cases[] = {{3, 0}, {4, 1}, {6, 3}};
    for (auto& c : cases) {
        installer_state_init(&state);
        state.target_drive = 0;
        EXPECT_EQ(run({{qor::SYS_READ, c.first_read, 0}}), RUN_BOOTLOADER_FAILED) << c.first_read;
        EXPECT_STREQ(state.error_text, "Bootloader install failed: /installer/grub/{boot.img,core.img} (rc=-15)");
        EXPECT_EQ(hosted::call_count(qor::SYS_DISK_WRITE_SECTOR), 1 + 2 + c.kernel_sectors_written) << c.first_read;
        EXPECT_EQ(hosted::call_count(qor::SYS_OPEN), hosted::call_count(qor::SYS_CLOSE));
    }
}

TEST_F(boot_loader_test, the_kernel_must_end_before_the_first_partition) {
    set_kernel(patterned(10 * SECTOR, 1));
    struct {
        const char* layout;
        int rc;
    } cases[] = {
        {"1034 60000 83 1\n", RUN_BOOTLOADER_FAILED},
        {"1035 60000 83 1\n", 0},
    };
    for (auto& c : cases) {
        write_host_file(machine.slot(0) + "/layout", c.layout);
        installer_state_init(&state);
        state.target_drive = 0;
        EXPECT_EQ(run(), c.rc) << c.layout;
        if (c.rc == 0) continue;
        EXPECT_STREQ(state.error_text, "Bootloader install failed: /installer/grub/{boot.img,core.img} (rc=-14)");
        EXPECT_EQ(hosted::call_count(qor::SYS_DISK_WRITE_SECTOR), 0);  // refused while sector 0 is built
    }
}

TEST_F(boot_loader_test, config_file_failures_end_the_run_with_minus_106) {
    struct {
        long call, result, code;
    } cases[] = {
        {qor::SYS_STREAM_BEGIN, -5, -5},
        {qor::SYS_STREAM_WRITE, 90, -200},
        {qor::SYS_STREAM_END, -1, -201},
    };
    for (auto& c : cases) {
        installer_state_init(&state);
        state.target_drive = 0;
        EXPECT_EQ(run({{c.call, 1, c.result}}), RUN_GRUB_CONFIG_FAILED);
        std::string message =
            "Failed writing /boot/grub/grub.cfg: /boot/grub/grub.cfg (rc=" + std::to_string(c.code) + ")";
        EXPECT_EQ(output, "[installer] error: " + message + "\n");
        EXPECT_EQ(state.error_text, message);
        EXPECT_EQ(state.step, STEP_FAILED);
        EXPECT_EQ(hosted::call_count(qor::SYS_STREAM_END), c.call == qor::SYS_STREAM_BEGIN ? 0 : 1);
        EXPECT_EQ(hosted::call_count(qor::SYS_OPEN), 0);  // the images are not touched
    }
}

TEST_F(boot_loader_test, boot_image_failures_carry_their_code_and_close_what_they_opened) {
    // Opens: boot.img, core.img, kernel. Reads: boot.img, core.img, kernel.
    // Seeks: core.img end and start, kernel end and start. Writes: sector 0,
    // two core sectors, four kernel sectors.
    struct {
        long call, first_use, result;
        int code;
    } cases[] = {
        {qor::SYS_OPEN, 1, -1, -1},
        {qor::SYS_READ, 1, 511, -2},
        {qor::SYS_OPEN, 2, -1, -3},
        {qor::SYS_LSEEK, 1, 0, -4},
        {qor::SYS_LSEEK, 2, -1, -5},
        {qor::SYS_READ, 2, 0, -7},
        {qor::SYS_DISK_PARTITION_TABLE, 1, -1, -9},
        {qor::SYS_DISK_WRITE_SECTOR, 1, -1, -10},
        {qor::SYS_DISK_WRITE_SECTOR, 3, -1, -11},
        {qor::SYS_OPEN, 3, -1, -12},
        {qor::SYS_LSEEK, 3, 0, -13},
        {qor::SYS_LSEEK, 4, -1, -13},
        {qor::SYS_READ, 3, -1, -15},
        {qor::SYS_DISK_WRITE_SECTOR, 6, -1, -16},
    };
    for (auto& c : cases) {
        installer_state_init(&state);
        state.target_drive = 0;
        EXPECT_EQ(run({{c.call, c.first_use, c.result}}), RUN_BOOTLOADER_FAILED) << c.code;
        std::string message =
            "Bootloader install failed: /installer/grub/{boot.img,core.img} (rc=" + std::to_string(c.code) + ")";
        EXPECT_EQ(output, "[installer] error: " + message + "\n");
        EXPECT_EQ(state.error_text, message);
        EXPECT_EQ(state.step, STEP_FAILED);
        long failed_opens = c.call == qor::SYS_OPEN ? 1 : 0;
        EXPECT_EQ(hosted::call_count(qor::SYS_OPEN) - failed_opens, hosted::call_count(qor::SYS_CLOSE)) << c.code;
    }
}

}  // namespace
}  // namespace qortest
