// No machine path reaches outside its drive's root: not through "..", not
// through a symbolic link, not through an unknown drive name.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "qor.h"
#include "test_machine.h"

using qortest::host_path_exists;
using qortest::temp_machine;
using qortest::write_host_file;

TEST(Confinement, ReadsStayInsideTheRoot) {
    temp_machine m;
    write_host_file(m.dir() + "/secret", "outside");
    write_host_file(m.media("inside"), "inside");
    write_host_file(m.media("sub/file"), "");
    ASSERT_EQ(symlink((m.dir() + "/secret").c_str(), m.media("abs_link").c_str()), 0);
    ASSERT_EQ(symlink("../secret", m.media("rel_link").c_str()), 0);
    ASSERT_EQ(symlink("/inside", m.media("rooted_link").c_str()), 0);

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

TEST(Confinement, WritesStayInsideTheRoot) {
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
