// File services of the hosted machine, seen through the runtime wrappers.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "hosted.h"
#include "qor.h"
#include "test_machine.h"

using qortest::read_host_file;
using qortest::temp_machine;
using qortest::write_host_file;

namespace {

struct listing_entry {
    std::string name;
    bool directory;
};

// Every record of a directory, read `buffer_bytes` at a time.
std::vector<listing_entry> list_directory(const char* path, size_t buffer_bytes = 512) {
    std::vector<listing_entry> out;
    long fd = qor::open(path, qor::O_READ);
    EXPECT_GE(fd, 0) << path;
    std::vector<unsigned char> buf(buffer_bytes);
    long n;
    while ((n = qor::getdents(static_cast<int>(fd), buf.data(), buf.size())) > 0) {
        EXPECT_EQ(n % qor::DIRENT_SIZE, 0);
        for (long at = 0; at < n; at += qor::DIRENT_SIZE) {
            const unsigned char* r = buf.data() + at;
            out.push_back({reinterpret_cast<const char*>(r + qor::DIRENT_NAME_OFFSET), r[0] != 0});
        }
    }
    EXPECT_EQ(n, 0);
    qor::close(static_cast<int>(fd));
    return out;
}

}  // namespace

TEST(Files, ReadWriteAndCreateFlags) {
    temp_machine m;
    write_host_file(m.media("a.txt"), "hello world");

    long fd = qor::open("RAM:/a.txt", 0);
    ASSERT_GE(fd, 0);
    char buf[32] = {};
    EXPECT_EQ(qor::read(static_cast<int>(fd), buf, sizeof buf), 11);
    EXPECT_EQ(qor::read(static_cast<int>(fd), buf, sizeof buf), 0);
    EXPECT_EQ(qor::write(static_cast<int>(fd), "x", 1), -1) << "a file opened for reading takes no writes";
    EXPECT_EQ(qor::close(static_cast<int>(fd)), 0);

    // 0x241 truncates an existing file and creates a missing one.
    fd = qor::open("RAM:/a.txt", qor::O_CREAT_TRUNC_WRITE, 0644);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(qor::write(static_cast<int>(fd), "new", 3), 3);
    qor::close(static_cast<int>(fd));
    EXPECT_EQ(read_host_file(m.media("a.txt")), "new");
    fd = qor::creat("RAM:/b.txt");
    ASSERT_GE(fd, 0);
    qor::close(static_cast<int>(fd));
    EXPECT_TRUE(qortest::host_path_exists(m.media("b.txt")));

    EXPECT_EQ(qor::open("RAM:/missing", 0), -1);
    EXPECT_EQ(qor::open("RAM:/a.txt", 0x2), -1) << "unknown flags are refused";
    EXPECT_EQ(qor::access("RAM:/a.txt"), 0);
    EXPECT_EQ(qor::access("RAM:/"), 0) << "directories open for reading";
    EXPECT_EQ(qor::access("RAM:/missing"), -1);
}

TEST(Files, LengthsAboveTheClampStillWork) {
    temp_machine m;
    write_host_file(m.media("a.txt"), "0123456789");
    long fd = qor::open("RAM:/a.txt", 0);
    // On the heap: Linux refuses a read whose whole range would pass the
    // top of the address space, which a stack buffer plus 2 GiB may do.
    std::vector<char> buf(16);
    // Unclamped, SIZE_MAX would arrive as -1 and fail.
    EXPECT_EQ(qor::read(static_cast<int>(fd), buf.data(), SIZE_MAX), 10);
    qor::close(static_cast<int>(fd));
}

// A media file of 5 GiB (sparse) opens and reads on a 32-bit build too; a
// position the call's word cannot hold fails instead of wrapping.
TEST(Files, MediaFilesAboveFourGiB) {
    temp_machine m;
    write_host_file(m.media("big.img"), "head");
    std::filesystem::resize_file(m.media("big.img"), 5ull << 30);
    long fd = qor::open("RAM:/big.img", 0);
    ASSERT_GE(fd, 0);
    char head[4] = {};
    EXPECT_EQ(qor::read(static_cast<int>(fd), head, sizeof head), 4);
    EXPECT_EQ(std::string(head, 4), "head");
    const long end = sizeof(long) >= 8 ? static_cast<long>(5ull << 30) : -1;
    EXPECT_EQ(qor::lseek(static_cast<int>(fd), 0, qor::SEEK_FROM_END), end);
    EXPECT_EQ(qor::lseek(static_cast<int>(fd), 2, qor::SEEK_FROM_START), 2);
    EXPECT_EQ(qor::read(static_cast<int>(fd), head, 2), 2);
    EXPECT_EQ(std::string(head, 2), "ad");
    qor::close(static_cast<int>(fd));
}

TEST(Files, ListingRecords) {
    temp_machine m;
    write_host_file(m.media("dir/file"), "x");
    write_host_file(m.media("dir/sub/inner"), "y");
    std::string name55(55, 'n');
    write_host_file(m.media("dir/" + name55), "z");

    for (size_t buffer : {size_t(64), size_t(100), size_t(4096)}) {
        std::set<std::string> names, dirs;
        for (const auto& e : list_directory("RAM:/dir", buffer)) {
            names.insert(e.name);
            if (e.directory) dirs.insert(e.name);
        }
        EXPECT_EQ(names, (std::set<std::string>{".", "..", "file", "sub", name55})) << "buffer " << buffer;
        EXPECT_EQ(dirs, (std::set<std::string>{".", "..", "sub"}));
    }

    // A name that does not fit the record fails the call; a buffer smaller
    // than one record, or a plain file, cannot be listed.
    write_host_file(m.media("long/" + std::string(56, 'n')), "z");
    long fd = qor::open("RAM:/long", 0);
    unsigned char buf[4096];
    long n;
    while ((n = qor::getdents(static_cast<int>(fd), buf, sizeof buf)) > 0) {
    }
    EXPECT_EQ(n, -1);
    qor::close(static_cast<int>(fd));
    fd = qor::open("RAM:/dir", 0);
    EXPECT_EQ(qor::getdents(static_cast<int>(fd), buf, 63), -1);
    qor::close(static_cast<int>(fd));
    fd = qor::open("RAM:/dir/file", 0);
    EXPECT_EQ(qor::getdents(static_cast<int>(fd), buf, sizeof buf), -1);
    qor::close(static_cast<int>(fd));
}

TEST(Files, StreamSeekMkdirUnlink) {
    temp_machine m;
    long h = qor::stream_begin("RAM:/s.bin");
    ASSERT_GE(h, 0);
    EXPECT_EQ(qor::stream_write(h, "abc", 3), 3);
    EXPECT_EQ(qor::stream_write(h, "defg", 4), 4);
    EXPECT_EQ(qor::stream_end(h), 0);
    EXPECT_EQ(qor::stream_end(h), -1) << "a stream ends once";
    EXPECT_EQ(read_host_file(m.media("s.bin")), "abcdefg");

    long fd = qor::open("RAM:/s.bin", 0);
    EXPECT_EQ(qor::lseek(static_cast<int>(fd), 0, qor::SEEK_FROM_END), 7);
    EXPECT_EQ(qor::lseek(static_cast<int>(fd), 0, qor::SEEK_FROM_START), 0);
    char c;
    EXPECT_EQ(qor::read(static_cast<int>(fd), &c, 1), 1);
    EXPECT_EQ(c, 'a');
    qor::close(static_cast<int>(fd));

    EXPECT_EQ(qor::mkdir("RAM:/one"), 0);
    EXPECT_EQ(qor::mkdir("RAM:/one"), -1) << "an existing directory is not made again";
    EXPECT_EQ(qor::mkdir("RAM:/two/three"), -1) << "mkdir makes one level";
    EXPECT_EQ(qor::mkdir("RAM:/one/three/"), 0);
    EXPECT_EQ(qor::writefile("RAM:/one/w", "data", 4), 0);
    EXPECT_EQ(read_host_file(m.media("one/w")), "data");
    EXPECT_EQ(qor::unlink("RAM:/one/w"), 0);
    EXPECT_FALSE(qortest::host_path_exists(m.media("one/w")));
    EXPECT_EQ(qor::unlink("RAM:/one"), -1) << "a directory with entries stays";
    EXPECT_EQ(qor::unlink("RAM:/one/three"), 0) << "an empty directory goes";
    EXPECT_FALSE(qortest::host_path_exists(m.media("one/three")));
    EXPECT_EQ(qor::unlink("RAM:/one/w"), -1);
}

TEST(Files, NullPointersNeverReachTheKernel) {
    temp_machine m;
    hosted::call_counts_reset();
    char buf[8];
    EXPECT_EQ(qor::write(1, nullptr, 1), -1);
    EXPECT_EQ(qor::read(0, nullptr, 1), -1);
    EXPECT_EQ(qor::open(nullptr, 0), -1);
    EXPECT_EQ(qor::getdents(3, nullptr, 64), -1);
    EXPECT_EQ(qor::mkdir(nullptr), -1);
    EXPECT_EQ(qor::unlink(nullptr), -1);
    EXPECT_EQ(qor::stream_begin(nullptr), -1);
    EXPECT_EQ(qor::stream_write(3, nullptr, 1), -1);
    EXPECT_EQ(qor::writefile(nullptr, buf, 1), -1);
    EXPECT_EQ(qor::writefile("x", nullptr, 1), -1);
    EXPECT_EQ(qor::access(nullptr), -1);
    for (long call : {qor::SYS_WRITE, qor::SYS_READ, qor::SYS_OPEN, qor::SYS_GETDENTS, qor::SYS_MKDIR, qor::SYS_UNLINK,
                      qor::SYS_STREAM_BEGIN, qor::SYS_STREAM_WRITE, qor::SYS_WRITEFILE})
        EXPECT_EQ(hosted::call_count(call), 0) << "call " << call;
}

TEST(Files, BareHostUsesLinuxPaths) {
    qortest::temp_dir dir;
    hosted::use_machine("");
    std::string path = dir.path() + "/plain.txt";
    ASSERT_EQ(qor::writefile(path.c_str(), "linux", 5), 0);
    EXPECT_EQ(read_host_file(path), "linux");
    EXPECT_EQ(qor::access(path.c_str()), 0);
    EXPECT_EQ(qor::access("RAM:/anything"), -1) << "the bare host has no RAM: drive";
    EXPECT_EQ(qor_syscall(qor::SYS_DISK_COUNT, 0, 0, 0), 0);
}
