// The real installer executable in a temporary machine, headless, driven by
// a key script from the welcome screen through the target preparation.
#include <sys/stat.h>

#include <filesystem>

#include "installer_fixture.h"

namespace qortest {
namespace {

TEST(installer_program, scripted_run_prepares_the_target) {
    temp_machine machine{machine_options{2}};
    write_complete_media(machine);
    write_host_file(machine.media("fonts/Lat15.psf"), "");
    // welcome, drive 1, fonts on, continue, confirm, then the failure screen
    write_host_file(machine.dir() + "/keys", "enter\ndown\nenter\ndown\ndown\ndown\ndown\nspace\ni\nenter\nq\n");
    std::string out;
    int status = run_command("QOR_MACHINE=" + machine.dir() + " " + INSTALLER_PATH + " ignored-argument", &out);
    EXPECT_EQ(status, 0) << out;
    // The media here has no kernel: the installation sequence stops at its copy.
    EXPECT_EQ(out,
              "[installer] error: Copy source open failed: RAM:/boot/kernel.bin\n"
              "[installer] failure rc=-109 msg=Copy source open failed: RAM:/boot/kernel.bin\n");
    EXPECT_TRUE(host_path_exists(machine.slot(1) + "/layout"));
    EXPECT_TRUE(machine.drive_path_exists(1, "/"));
    EXPECT_FALSE(machine.drive_path_exists(1, ".__install_probe"));
    EXPECT_FALSE(host_path_exists(machine.slot(0) + "/layout"));
    // One screenshot per wait: the first screen and after each key but the last.
    int screens = 0;
    for (auto& e : std::filesystem::directory_iterator(machine.dir() + "/screens")) {
        EXPECT_EQ(read_host_file(e.path()).substr(1, 3), "PNG");
        ++screens;
    }
    EXPECT_EQ(screens, 11);
}

// A file deep in a media tree that cannot be opened (a FIFO is refused at
// open): its message is longer than the failure screen's field and both
// lines carry it as the field keeps it; the tree's own message fits whole.
TEST(installer_program, error_lines_carry_the_message_as_the_screen_keeps_it) {
    temp_machine machine{machine_options{1}};
    write_complete_media(machine);
    write_host_file(machine.media("boot/kernel.bin"), "k");
    std::string deep = "config";
    for (int level = 0; level < 4; ++level) deep += "/" + std::string(40, static_cast<char>('a' + level));
    std::filesystem::create_directories(machine.media(deep));
    ASSERT_EQ(mkfifo(machine.media(deep + "/pipe").c_str(), 0600), 0);
    write_host_file(machine.dir() + "/keys", "enter\nenter\ni\nenter\nq\n");
    std::string out;
    int status = run_command("QOR_MACHINE=" + machine.dir() + " " + INSTALLER_PATH, &out);
    EXPECT_EQ(status, 0) << out;
    const std::string whole = "Copy source open failed: RAM:/" + deep + "/pipe";
    ASSERT_GT(whole.size(), 127u);
    EXPECT_EQ(out,
              "[installer] error: " + whole.substr(0, 127) + "\n"
              "[installer] error: Failed to copy media tree: RAM:/config\n"
              "[installer] failure rc=-109 msg=Failed to copy media tree: RAM:/config\n");
}

}  // namespace
}  // namespace qortest
