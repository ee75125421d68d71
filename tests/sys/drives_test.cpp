// Drive services: slots, presence, preparation, selection, layout records
// and raw sectors.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>

#include "qor.h"
#include "qor_endian.h"
#include "test_machine.h"

using qortest::read_host_file;
using qortest::temp_machine;
using qortest::write_host_file;

namespace {

long drive_call(long number, long a = 0, long b = 0, long c = 0) { return qor_syscall(number, a, b, c); }

}  // namespace

TEST(Drives, CountAndPresence) {
    temp_machine m({.drives = 3});
    std::filesystem::resize_file(m.slot(1) + "/disk.img", 16 * 1024 * 1024 - 512);
    std::filesystem::remove(m.slot(2) + "/disk.img");
    EXPECT_EQ(drive_call(qor::SYS_DISK_COUNT), 3);
    EXPECT_GT(drive_call(qor::SYS_DISK_PRESENT, 0), 0);
    EXPECT_LE(drive_call(qor::SYS_DISK_PRESENT, 1), 0) << "below 16 MiB";
    EXPECT_LE(drive_call(qor::SYS_DISK_PRESENT, 2), 0) << "no image";
    EXPECT_LE(drive_call(qor::SYS_DISK_PRESENT, 3), 0) << "no slot";
    EXPECT_LE(drive_call(qor::SYS_DISK_PRESENT, -1), 0);

    EXPECT_NE(drive_call(qor::SYS_DISK_PREPARE, 1), 0);
    EXPECT_NE(drive_call(qor::SYS_DISK_PREPARE, 2), 0);
    EXPECT_NE(drive_call(qor::SYS_DISK_PREPARE, 7), 0);
}

TEST(Drives, PrepareGivesOneBootablePartitionAndAnEmptyFileSystem) {
    temp_machine m({.drives = 1, .drive_bytes = 64ull << 20});
    uint8_t record[qor::PARTITION_RECORD_SIZE] = {};
    EXPECT_NE(drive_call(qor::SYS_DISK_PARTITION_TABLE, 0, qor_word(record), sizeof record), 0)
        << "an unprepared drive has no layout";
    EXPECT_LT(drive_call(qor::SYS_DRIVE_SELECT, 0), 0) << "an unprepared drive cannot be selected";

    ASSERT_EQ(drive_call(qor::SYS_DISK_PREPARE, 0), 0);
    m.write_drive_file(0, "old/file", "stale");
    ASSERT_EQ(drive_call(qor::SYS_DISK_PREPARE, 0), 0);
    EXPECT_FALSE(m.drive_path_exists(0, "old")) << "preparing again formats again";
    std::string report;
    EXPECT_EQ(m.check_drive(0, &report), 0) << report;

    // Sector 0 holds the same partition as a real partition table.
    std::string mbr = read_host_file(m.image(0)).substr(0, 512);
    const auto* entry = reinterpret_cast<const uint8_t*>(mbr.data()) + 446;
    EXPECT_EQ(entry[0], 0x80);
    EXPECT_EQ(entry[4], 0x83);
    EXPECT_EQ(qor::load_le32(entry + 8), 8192u);
    EXPECT_EQ(qor::load_le32(entry + 12), (64u << 20) / 512 - 8192);
    EXPECT_EQ(static_cast<uint8_t>(mbr[510]), 0x55);
    EXPECT_EQ(static_cast<uint8_t>(mbr[511]), 0xAA);

    EXPECT_NE(drive_call(qor::SYS_DISK_PARTITION_TABLE, 0, qor_word(record), 59), 0);
    ASSERT_EQ(drive_call(qor::SYS_DISK_PARTITION_TABLE, 0, qor_word(record), sizeof record), 0);
    const uint8_t* e = record + qor::PARTITION_HEADER_SIZE;
    EXPECT_NE(e[0], 0);
    EXPECT_EQ(e[1], 0x83);
    EXPECT_NE(e[2], 0);
    EXPECT_EQ(qor::load_le32(e + 4), 8192u);
    EXPECT_EQ(qor::load_le32(e + 8), (64u << 20) / 512 - 8192);
    for (int k = 1; k < qor::PARTITION_ENTRIES; ++k)
        EXPECT_EQ(e[k * qor::PARTITION_ENTRY_SIZE], 0) << "entry " << k << " is unused";
}

TEST(Drives, SelectMakesTheSlotTheCurrentDrive) {
    temp_machine m({.drives = 2});
    ASSERT_EQ(drive_call(qor::SYS_DISK_PREPARE, 1), 0);
    ASSERT_GE(drive_call(qor::SYS_DRIVE_SELECT, 1), 0);
    ASSERT_EQ(qor::mkdir("/boot"), 0);
    ASSERT_EQ(qor::writefile("/boot/probe", "p", 1), 0);
    ASSERT_EQ(qor::writefile("relative", "r", 1), 0);
    EXPECT_EQ(m.read_drive_file(1, "boot/probe"), "p");
    EXPECT_EQ(m.read_drive_file(1, "relative"), "r");
    EXPECT_EQ(qor::writefile("RAM:/on_media", "m", 1), 0) << "RAM: stays reachable by name";
    EXPECT_EQ(read_host_file(m.media("on_media")), "m");
}

TEST(Drives, SectorWritesLandAtTheirOffsets) {
    temp_machine m({.drives = 1});
    unsigned char sector[qor::SECTOR_SIZE];
    for (long number : {0L, 1L, 1024L, 65535L}) {
        memset(sector, static_cast<int>(number % 251 + 1), sizeof sector);
        ASSERT_EQ(drive_call(qor::SYS_DISK_WRITE_SECTOR, 0, number, qor_word(sector)), 0) << number;
    }
    EXPECT_NE(drive_call(qor::SYS_DISK_WRITE_SECTOR, 0, 65536, qor_word(sector)), 0) << "past the end";
    EXPECT_NE(drive_call(qor::SYS_DISK_WRITE_SECTOR, 0, -1, qor_word(sector)), 0);
    EXPECT_NE(drive_call(qor::SYS_DISK_WRITE_SECTOR, 1, 0, qor_word(sector)), 0) << "no such slot";

    std::string image = read_host_file(m.slot(0) + "/disk.img");
    ASSERT_EQ(image.size(), 32u << 20) << "sector writes never change the image's size";
    for (long number : {0L, 1L, 1024L, 65535L})
        EXPECT_EQ(static_cast<unsigned char>(image[number * 512 + 511]), number % 251 + 1) << number;
    EXPECT_EQ(image[2 * 512], 0);
}

// A prepared and selected 16 MiB drive whose file system must be clean
// when the test ends, whatever the test did to it.
class SmallDrive : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(drive_call(qor::SYS_DISK_PREPARE, 0), 0);
        ASSERT_GE(drive_call(qor::SYS_DRIVE_SELECT, 0), 0);
    }
    void TearDown() override {
        std::string report;
        EXPECT_EQ(m.check_drive(0, &report), 0) << report;
    }
    temp_machine m{{.drives = 1, .drive_bytes = 16ull << 20}};
};

// A drive holds what its partition holds: a stream that finds no free block
// accepts fewer bytes, as on a full disk, and the file system stays whole.
TEST_F(SmallDrive, AFullDriveRefusesWritesAndStaysClean) {
    std::string chunk(256 * 1024, 'x');
    long total = 0;
    long stream = qor::stream_begin("/big");
    ASSERT_GE(stream, 0);
    for (int i = 0; i < 100; ++i) {
        long n = qor::stream_write(stream, chunk.data(), chunk.size());
        if (n > 0) total += n;
        if (n < static_cast<long>(chunk.size())) break;
    }
    EXPECT_LT(total, 12l << 20) << "a 12 MiB partition never takes more than it has";
    EXPECT_GT(total, 8l << 20);
    EXPECT_EQ(qor::stream_end(stream), 0);
    EXPECT_NE(qor::writefile("/more", chunk.data(), static_cast<long>(chunk.size())), 0);
    ASSERT_EQ(qor::unlink("/big"), 0);
    EXPECT_EQ(qor::writefile("/more", chunk.data(), static_cast<long>(chunk.size())), 0) << "the space came back";
}

// Small writes gather in the kernel before they reach the file system, yet
// whatever looks next sees every byte written so far: another descriptor
// reading the file, a write-back into the image, the end of the stream.
TEST_F(SmallDrive, SmallWritesAreThereForWhoeverLooksNext) {
    auto read_back = [] {
        std::string bytes;
        long fd = qor::open("/small", qor::O_READ);
        if (fd < 0) return std::string("(no file)");
        char buf[4096];
        long n;
        while ((n = qor::read(static_cast<int>(fd), buf, sizeof buf)) > 0) bytes.append(buf, static_cast<size_t>(n));
        qor::close(static_cast<int>(fd));
        return bytes;
    };
    long stream = qor::stream_begin("/small");
    ASSERT_GE(stream, 0);
    std::string written;
    for (int i = 0; i < 200; ++i) {
        std::string piece(100 + i % 157, static_cast<char>('a' + i % 26));
        ASSERT_EQ(qor::stream_write(stream, piece.data(), piece.size()), static_cast<long>(piece.size()));
        written += piece;
        if (i == 30) {
            EXPECT_EQ(read_back(), written) << "another descriptor, mid-block";
        }
        if (i == 90) {
            hosted::drives_sync();
            EXPECT_EQ(m.read_drive_file(0, "small"), written) << "the image written back";
        }
    }
    EXPECT_EQ(qor::stream_end(stream), 0);
    EXPECT_EQ(read_back(), written);
}

// A full drive stops a stream of small writes as it stops a large one: the
// file holds exactly the bytes accepted.
TEST_F(SmallDrive, AFullDriveStopsSmallWritesWithTheFileWhole) {
    char piece[256];
    memset(piece, 'y', sizeof piece);
    long stream = qor::stream_begin("/filled");
    ASSERT_GE(stream, 0);
    long total = 0, n = 0;
    while ((n = qor::stream_write(stream, piece, sizeof piece)) == static_cast<long>(sizeof piece)) total += n;
    if (n > 0) total += n;
    EXPECT_GT(total, 8l << 20);
    EXPECT_EQ(qor::stream_end(stream), 0);
    EXPECT_EQ(static_cast<long>(m.read_drive_file(0, "filled").size()), total);
}

// A file removed while a stream or descriptor still has it open loses its
// name at once and its inode and blocks when the last one closes; the file
// system stays clean either way (an open stream's own inode is not written
// back over the freed one).
TEST_F(SmallDrive, AFileRemovedWhileOpenIsFreedWhenClosed) {
    std::string chunk(64 * 1024, 'x');
    long stream = qor::stream_begin("/streamed");
    ASSERT_GE(stream, 0);
    ASSERT_EQ(qor::stream_write(stream, chunk.data(), chunk.size()), static_cast<long>(chunk.size()));
    ASSERT_EQ(qor::writefile("/read", chunk.data(), static_cast<long>(chunk.size())), 0);
    long fd = qor::open("/read", qor::O_READ);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(qor::unlink("/streamed"), 0);
    ASSERT_EQ(qor::unlink("/read"), 0);
    EXPECT_FALSE(m.drive_path_exists(0, "streamed"));
    char byte = 0;
    EXPECT_EQ(qor::read(static_cast<int>(fd), &byte, 1), 1) << "an open file stays readable";
    EXPECT_EQ(qor::stream_write(stream, chunk.data(), chunk.size()), static_cast<long>(chunk.size()));
    EXPECT_EQ(qor::stream_end(stream), 0);
    EXPECT_EQ(qor::close(static_cast<int>(fd)), 0);
    EXPECT_FALSE(m.drive_path_exists(0, "read"));
}

TEST_F(SmallDrive, DirectoriesRunOutOfInodes) {
    int made = 0;
    for (; made < 100000; ++made) {
        std::string name = "/d" + std::to_string(made);
        if (qor::mkdir(name.c_str()) != 0) break;
    }
    EXPECT_LT(made, 100000) << "mkdir fails once no inode is left";
    EXPECT_GT(made, 100);
}

// A drive image above 4 GiB (sparse): its size, partition and sectors past
// 4 GiB take 64-bit host offsets, on a 32-bit host too.
TEST(Drives, ImagesAboveFourGiBWork) {
    constexpr uint64_t bytes = 5ull << 30;
    temp_machine m({.drives = 1, .drive_bytes = bytes});
    EXPECT_GT(drive_call(qor::SYS_DISK_PRESENT, 0), 0);
    ASSERT_EQ(drive_call(qor::SYS_DISK_PREPARE, 0), 0);
    uint8_t record[qor::PARTITION_RECORD_SIZE] = {};
    ASSERT_EQ(drive_call(qor::SYS_DISK_PARTITION_TABLE, 0, qor_word(record), sizeof record), 0);
    EXPECT_EQ(qor::load_le32(record + qor::PARTITION_HEADER_SIZE + 8), bytes / 512 - 8192);

    const long last = static_cast<long>(bytes / 512 - 1);
    const long past_4gib = static_cast<long>((4ull << 30) / 512 + 3);
    unsigned char sector[qor::SECTOR_SIZE];
    for (long number : {past_4gib, last}) {
        memset(sector, static_cast<int>(number % 251 + 1), sizeof sector);
        ASSERT_EQ(drive_call(qor::SYS_DISK_WRITE_SECTOR, 0, number, qor_word(sector)), 0) << number;
    }
    EXPECT_NE(drive_call(qor::SYS_DISK_WRITE_SECTOR, 0, last + 1, qor_word(sector)), 0) << "past the end";

    int fd = open((m.slot(0) + "/disk.img").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    for (long number : {past_4gib, last}) {
        unsigned char back[qor::SECTOR_SIZE] = {};
        ASSERT_EQ(pread(fd, back, sizeof back, static_cast<off_t>(number) * 512), 512) << number;
        EXPECT_EQ(back[0], number % 251 + 1) << number;
        EXPECT_EQ(back[511], number % 251 + 1) << number;
    }
    unsigned char wrapped[qor::SECTOR_SIZE] = {};
    ASSERT_EQ(pread(fd, wrapped, sizeof wrapped, 3 * 512), 512);
    EXPECT_EQ(wrapped[0], 0) << "nothing wrapped round to 4 GiB less";
    close(fd);
    EXPECT_EQ(std::filesystem::file_size(m.slot(0) + "/disk.img"), bytes);
}
