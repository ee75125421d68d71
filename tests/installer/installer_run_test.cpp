// The real installer executable in a temporary machine, headless, driven by
// a key script from the welcome screen through the target preparation.
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

}  // namespace
}  // namespace qortest
