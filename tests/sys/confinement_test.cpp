// No machine path reaches outside its drive's root: not through "..", not
// through a symbolic link, not through an unknown drive name. Every case runs
// twice: through the host's openat2 and through the hosted machine's own walk
// for hosts without it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "hosted.h"
#include "qor.h"
#include "test_machine.h"

using qortest::host_path_exists;
using qortest::temp_machine;
using qortest::write_host_file;

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
