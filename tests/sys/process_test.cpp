// Processes: real host children started through the seam, inside the
// machine and on their parent's current drive.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>

#include "hosted.h"
#include "qor.h"
#include "test_machine.h"

using qortest::temp_machine;
using qortest::write_host_file;

namespace {

// Runs the child through the seam and returns its exit status; its output
// lands in *output.
int32_t run_child(const char* path, std::vector<const char*> args, std::string* output) {
    hosted::capture_begin();
    long child = qor::spawn(path, args.data(), static_cast<int>(args.size()));
    int32_t status = -1000;
    long waited = child > 0 ? qor::waitpid(child, &status) : -1;
    *output = hosted::capture_end();
    if (child <= 0 || waited <= 0) return -1000;
    return status;
}

void install_probe(const std::string& dir, mode_t mode) {
    std::filesystem::create_directories(dir);
    std::filesystem::copy_file(CHILD_PROBE_PATH, dir + "/probe", std::filesystem::copy_options::overwrite_existing);
    chmod((dir + "/probe").c_str(), mode);
}

}  // namespace

TEST(Processes, ByPathAndByBareName) {
    temp_machine m;
    install_probe(m.media("binaries"), 0644);  // no execute bits: QOR-OS files have none
    std::string out;
    EXPECT_EQ(run_child("RAM:/binaries/probe", {"7"}, &out), 7);
    EXPECT_EQ(out, "child argc=2\n");
    EXPECT_EQ(run_child("probe", {"0", "a", "b"}, &out), 0);
    EXPECT_NE(out.find("child argc=4"), std::string::npos);

    EXPECT_LE(qor::spawn("RAM:/binaries/missing", nullptr, 0), 0);
    write_host_file(m.media("binaries/text"), "not a program");
    EXPECT_LE(qor::spawn("RAM:/binaries/text", nullptr, 0), 0);
    EXPECT_LE(qor::spawn("nosuch", nullptr, 0), 0);
}

// QOR_FAULT reaches the child it names (1, 2, ... in the order started) and
// no other; QOR_CALL_COUNTS has every child append its counts at exit.
TEST(Processes, FaultsAndCallCountsByEnvironmentReachTheNamedChild) {
    temp_machine m;
    install_probe(m.media("binaries"), 0755);
    const std::string text(80, 't'), half(63, 't');  // the probe asks for 127 bytes
    write_host_file(m.media("text"), text);
    std::string counts = m.dir() + "/counts";
    struct {
        const char* fault;
        std::string first, second;  // what each child read
    } cases[] = {
        {"3:1:half:2", text, half},
        {"4:1:-1:1", "(cannot open)", text},
        {"4:1:-1:2", text, "(cannot open)"},
        {"4:1:-1", text, text},  // the top process alone
    };
    for (auto& c : cases) {
        hosted::use_machine(m.dir());
        std::filesystem::remove(counts);
        setenv("QOR_FAULT", c.fault, 1);
        setenv("QOR_CALL_COUNTS", counts.c_str(), 1);
        std::string out1, out2;
        EXPECT_EQ(run_child("probe", {"0", "RAM:/text"}, &out1), 0);
        EXPECT_EQ(run_child("probe", {"0", "RAM:/text"}, &out2), 0);
        unsetenv("QOR_FAULT");
        unsetenv("QOR_CALL_COUNTS");
        EXPECT_NE(out1.find("child read RAM:/text: " + c.first + "\n"), std::string::npos) << c.fault << out1;
        EXPECT_NE(out2.find("child read RAM:/text: " + c.second + "\n"), std::string::npos) << c.fault << out2;
        std::string lines = qortest::read_host_file(counts);
        EXPECT_EQ(lines.rfind("1 ", 0), 0u) << lines;
        EXPECT_NE(lines.find("\n2 "), std::string::npos) << lines;
        EXPECT_NE(lines.find(" 4:1\n"), std::string::npos) << lines;  // one open each
    }
}

TEST(Processes, ChildStartsOnTheParentsCurrentDrive) {
    temp_machine m({.drives = 1});
    install_probe(m.media("binaries"), 0755);
    ASSERT_EQ(qor_syscall(qor::SYS_DISK_PREPARE, 0, 0, 0), 0);
    ASSERT_GE(qor_syscall(qor::SYS_DRIVE_SELECT, 0, 0, 0), 0);
    ASSERT_EQ(qor::writefile("/marker", "on slot 0", 9), 0);
    std::string out;
    EXPECT_EQ(run_child("probe", {"3", "/marker"}, &out), 3) << "found in RAM:/binaries after /binaries";
    EXPECT_NE(out.find("child read /marker: on slot 0"), std::string::npos) << out;

    // A copy on the current drive is preferred to the media's.
    m.write_drive_file(0, "binaries/probe", qortest::read_host_file(CHILD_PROBE_PATH));
    write_host_file(m.media("binaries/probe"), "broken");
    EXPECT_EQ(run_child("probe", {"5"}, &out), 5);
}

TEST(Processes, ParentAndChildShareTheDriveImage) {
    temp_machine m({.drives = 1});
    install_probe(m.media("binaries"), 0755);
    ASSERT_EQ(qor_syscall(qor::SYS_DISK_PREPARE, 0, 0, 0), 0);
    ASSERT_GE(qor_syscall(qor::SYS_DRIVE_SELECT, 0, 0, 0), 0);
    // A file still open across the child's run, written before and after.
    long open_file = qor::creat("/open");
    ASSERT_GE(open_file, 0);
    ASSERT_EQ(qor::write(static_cast<int>(open_file), "first ", 6), 6);
    ASSERT_EQ(qor::writefile("/before", "parent wrote this", 17), 0);
    std::string out;
    ASSERT_EQ(run_child("probe", {"0", "/before", "/child", "child wrote this"}, &out), 0);
    EXPECT_NE(out.find("child read /before: parent wrote this"), std::string::npos) << out;
    EXPECT_NE(out.find("child wrote /child: 0"), std::string::npos) << out;
    ASSERT_EQ(qor::write(static_cast<int>(open_file), "second", 6), 6);
    ASSERT_EQ(qor::close(static_cast<int>(open_file)), 0);
    ASSERT_EQ(qor::writefile("/after", "after", 5), 0);

    char text[32] = {};
    long fd = qor::open("/child", qor::O_READ);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(qor::read(static_cast<int>(fd), text, sizeof text), 16);
    qor::close(static_cast<int>(fd));
    EXPECT_STREQ(text, "child wrote this");
    std::map<std::string, std::string> tree = m.drive_tree(0);
    EXPECT_EQ(tree["open"], "first second");
    EXPECT_EQ(tree["before"], "parent wrote this");
    EXPECT_EQ(tree["after"], "after");
    std::string report;
    EXPECT_EQ(m.check_drive(0, &report), 0) << report;
}

TEST(Processes, AProgramThatCannotStartIsNoChild) {
    temp_machine m;
    struct program {
        const char* name;
        std::string bytes;
    } programs[] = {
        {"no_interpreter", "#!/nonexistent/interpreter\necho hi\n"},
        {"broken_elf", std::string("\x7f" "ELF\x01\x01\x01", 7) + std::string(200, '\0')},
        {"not_a_program", "plain text"},
    };
    for (const program& p : programs) {
        write_host_file(m.media(std::string("binaries/") + p.name), p.bytes);
        EXPECT_LT(qor::spawn((std::string("RAM:/binaries/") + p.name).c_str(), nullptr, 0), 0) << p.name;
        EXPECT_LT(qor::spawn(p.name, nullptr, 0), 0) << p.name << " by bare name";
    }
}
