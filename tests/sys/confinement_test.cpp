// No machine path reaches outside its drive's root: not through "..", not
// through a symbolic link, not through an unknown drive name; on the media
// (a host folder) and on a drive slot (a file system in an image) alike.
// Every media case runs twice: through the host's openat2 and through the
// hosted machine's own walk for hosts without it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include <string>

#include "hosted.h"
#include "qor.h"
#include "test_machine.h"

using qortest::host_path_exists;
using qortest::temp_machine;
using qortest::write_host_file;

namespace {

long open_and_read(const char* path, char* buf, size_t len) {
    long fd = qor::open(path, 0);
    if (fd < 0) return -1;
    long n = qor::read(static_cast<int>(fd), buf, len);
    qor::close(static_cast<int>(fd));
    return n;
}

}  // namespace

class Confinement : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override { hosted::force_confined_walk(GetParam()); }
    void TearDown() override { hosted::force_confined_walk(false); }
};

INSTANTIATE_TEST_SUITE_P(Walks, Confinement, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& walk) {
                             return walk.param ? "OwnWalk" : "Openat2";
                         });

TEST_P(Confinement, ReadsStayInsideTheRoot) {
    temp_machine m;
    write_host_file(m.dir() + "/secret", "outside");
    write_host_file(m.media("inside"), "inside");
    write_host_file(m.media("sub/file"), "");
    ASSERT_EQ(symlink((m.dir() + "/secret").c_str(), m.media("abs_link").c_str()), 0);
    ASSERT_EQ(symlink("../secret", m.media("rel_link").c_str()), 0);
    ASSERT_EQ(symlink("/inside", m.media("rooted_link").c_str()), 0);
    ASSERT_EQ(symlink("rooted_link", m.media("chain").c_str()), 0);
    ASSERT_EQ(symlink("loop", m.media("loop").c_str()), 0);
    ASSERT_EQ(symlink("/", m.media("root_link").c_str()), 0);

    struct read_case {
        const char* path;
        const char* expect;  // nullptr: must not open
    };
    const read_case cases[] = {
        {"RAM:/../secret", nullptr},
        {"RAM:../secret", nullptr},
        {"RAM:/../../../etc/passwd", nullptr},
        {"/../../etc/passwd", nullptr},
        {"../../etc/passwd", nullptr},
        {"RAM:/abs_link", nullptr},   // resolved as if the root were "/": no such file
        {"RAM:/rel_link", nullptr},   // ".." stops at the root
        {"RAM:/rooted_link", "inside"},
        {"RAM:/sub/../../inside", "inside"},
        {"RAM:/chain", "inside"},                 // a link to a link
        {"RAM:/root_link/../inside", "inside"},  // a link to the root, then ".."
        {"RAM:/sub/./../inside", "inside"},
        {"RAM:/loop", nullptr},                   // the link limit, not a hang
        {"RAM:/inside/", nullptr},                // a file named as a directory
        {"RAM:/inside/x", nullptr},
        {"NAME:/inside", nullptr},
        {"ram:/inside", nullptr},
        {"0:/inside", nullptr},
    };
    for (const read_case& c : cases) {
        long fd = qor::open(c.path, 0);
        if (!c.expect) {
            EXPECT_LT(fd, 0) << c.path;
            if (fd >= 0) qor::close(static_cast<int>(fd));
            continue;
        }
        ASSERT_GE(fd, 0) << c.path;
        char buf[32] = {};
        qor::read(static_cast<int>(fd), buf, sizeof buf - 1);
        EXPECT_STREQ(buf, c.expect) << c.path;
        qor::close(static_cast<int>(fd));
    }
}

TEST_P(Confinement, WritesStayInsideTheRoot) {
    temp_machine m;
    write_host_file(m.dir() + "/keep", "keep");
    ASSERT_EQ(symlink((m.dir() + "/made_by_link").c_str(), m.media("dangling").c_str()), 0);
    ASSERT_EQ(symlink(m.dir().c_str(), m.media("dirlink").c_str()), 0);

    qor::writefile("RAM:/../escaped", "x", 1);
    qor::writefile("RAM:/dangling", "x", 1);
    qor::writefile("RAM:/dirlink/escaped2", "x", 1);
    long h = qor::stream_begin("/../../escaped3");
    if (h >= 0) qor::stream_end(h);
    qor::mkdir("RAM:/../escaped_dir");
    qor::mkdir("RAM:/dirlink/escaped_dir2");
    qor::unlink("RAM:/../keep");
    qor::unlink("RAM:/dirlink/keep");

    for (const char* name : {"escaped", "made_by_link", "escaped2", "escaped3", "escaped_dir", "escaped_dir2"})
        EXPECT_FALSE(host_path_exists(m.dir() + "/" + name)) << name;
    EXPECT_TRUE(host_path_exists(m.dir() + "/keep"));
}

TEST(DriveConfinement, PathsStayInsideTheDrive) {
    temp_machine m({.drives = 1});
    write_host_file(m.media("on_media"), "media");
    ASSERT_EQ(qor_syscall(qor::SYS_DISK_PREPARE, 0, 0, 0), 0);
    m.write_drive_file(0, "inside", "inside");
    m.write_drive_file(0, "sub/file", "");
    m.make_drive_symlink(0, "abs_link", m.media("on_media"));
    m.make_drive_symlink(0, "rel_link", "../../on_media");
    m.make_drive_symlink(0, "rooted_link", "/inside");
    m.make_drive_symlink(0, "sub/up_link", "../inside");
    m.make_drive_symlink(0, "loop", "loop");
    m.make_drive_symlink(0, "dirlink", "/sub");
    ASSERT_GE(qor_syscall(qor::SYS_DRIVE_SELECT, 0, 0, 0), 0);

    struct read_case {
        const char* path;
        const char* expect;  // nullptr: must not open
    };
    const read_case cases[] = {
        {"/../inside", "inside"},          // ".." at the root is the root
        {"../../../inside", "inside"},
        {"/sub/../../inside", "inside"},
        {"/abs_link", nullptr},            // a host path means nothing on the drive
        {"/rel_link", nullptr},            // climbs no higher than the root
        {"/rooted_link", "inside"},
        {"/sub/up_link", "inside"},
        {"/loop", nullptr},
        {"/dirlink/../inside", "inside"},
        {"/../on_media", nullptr},
        {"RAM:/on_media", "media"},
    };
    for (const read_case& c : cases) {
        char buf[32] = {};
        long n = open_and_read(c.path, buf, sizeof buf - 1);
        if (!c.expect) {
            EXPECT_LT(n, 0) << c.path;
            continue;
        }
        EXPECT_GE(n, 0) << c.path;
        EXPECT_STREQ(buf, c.expect) << c.path;
    }

    // Writes through links land inside the drive too.
    EXPECT_EQ(qor::writefile("/rooted_link", "rewritten", 9), 0);
    EXPECT_EQ(m.read_drive_file(0, "inside"), "rewritten");
    EXPECT_EQ(qor::writefile("/dirlink/made", "m", 1), 0);
    EXPECT_EQ(m.read_drive_file(0, "sub/made"), "m");
    EXPECT_EQ(qor::mkdir("/../../top"), 0);
    EXPECT_TRUE(m.drive_is_directory(0, "top"));
    EXPECT_NE(qor::writefile("/abs_link", "x", 1), 0) << "a dangling link is not followed out";
    EXPECT_EQ(qortest::read_host_file(m.media("on_media")), "media");
    std::string report;
    EXPECT_EQ(m.check_drive(0, &report), 0) << report;
}

// A name longer than a listing record holds fails the listing on a drive
// as on the media, and "." and ".." are listed.
TEST(DriveConfinement, ListingsHoldTheirOwnEntries) {
    temp_machine m({.drives = 1});
    ASSERT_EQ(qor_syscall(qor::SYS_DISK_PREPARE, 0, 0, 0), 0);
    m.write_drive_file(0, "d/a", "");
    m.make_drive_dirs(0, "d/sub");
    ASSERT_GE(qor_syscall(qor::SYS_DRIVE_SELECT, 0, 0, 0), 0);
    auto list = [](const char* path, std::vector<std::string>* names) {
        long fd = qor::open(path, 0);
        if (fd < 0) return -1L;
        unsigned char buf[qor::DIRENT_SIZE * 2];
        long n, total = 0;
        while ((n = qor::getdents(static_cast<int>(fd), buf, sizeof buf)) > 0) {
            for (long at = 0; at < n; at += qor::DIRENT_SIZE)
                names->push_back(std::string(buf[at] ? "d " : "f ") +
                                 reinterpret_cast<const char*>(buf + at + qor::DIRENT_NAME_OFFSET));
            total += n;
        }
        qor::close(static_cast<int>(fd));
        return n < 0 ? -1L : total;
    };
    std::vector<std::string> names;
    ASSERT_GT(list("/d", &names), 0);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"d .", "d ..", "d sub", "f a"}));
    m.write_drive_file(0, "d/" + std::string(qor::DIRENT_NAME_MAX + 1, 'n'), "");
    names.clear();
    EXPECT_LT(list("/d", &names), 0);
}

// A FIFO, socket or device is refused at open, never waited on.
TEST_P(Confinement, SpecialFilesAreRefusedAtOnce) {
    temp_machine m;
    ASSERT_EQ(mkfifo(m.media("fifo").c_str(), 0644), 0);
    ASSERT_EQ(symlink("/fifo", m.media("to_fifo").c_str()), 0);
    ASSERT_EQ(symlink("/dev/null", m.media("to_null").c_str()), 0);
    for (const char* path : {"RAM:/fifo", "RAM:/to_fifo"}) {
        EXPECT_LT(qor::open(path, 0), 0) << path;
        EXPECT_LT(qor::creat(path), 0) << path;
        EXPECT_LT(qor::stream_begin(path), 0) << path;
    }
    EXPECT_LT(qor::open("RAM:/to_null", 0), 0) << "resolved inside the media: no such file";
}
