// The whole program in process: scripted keys through the headless window,
// from start-up to the end of the event loop.
#include "installer_fixture.h"
#include "wizard.h"
#include "wizard_keys.h"

namespace qortest {
namespace {

class wizard_test : public ::testing::Test {
protected:
    // Runs the installer over `keys` (one per line); its output is kept.
    int run(const std::string& keys) {
        write_host_file(machine.dir() + "/keys", keys);
        return run_captured(&output, [&] { return installer_run(&state); });
    }
    temp_machine machine{machine_options{3}};
    installer_state state;
    std::string output;
};

TEST_F(wizard_test, walk_to_the_confirmation) {
    write_complete_media(machine);
    EXPECT_EQ(run("enter\ndown\nenter\ndown\nspace\ni\n"), 0);
    EXPECT_EQ(state.step, STEP_CONFIRM);
    EXPECT_EQ(state.drive_count, 3);
    EXPECT_EQ(state.target_drive, 1);
    EXPECT_EQ(state.package_selected[1], 0);
    EXPECT_EQ(g_installer_gui_handle, -1);
    EXPECT_EQ(state.running, 0);
    EXPECT_EQ(output, "");
}

TEST_F(wizard_test, q_ends_every_step) {
    write_complete_media(machine);
    const char* before_q[] = {"", "enter\n", "enter\nenter\n", "enter\nenter\ni\n"};
    int32_t steps[] = {STEP_WELCOME, STEP_DRIVE, STEP_OPTIONS, STEP_CONFIRM};
    for (int i = 0; i < 4; ++i) {
        for (const char* q : {"q\n", "Q\n"}) {
            EXPECT_EQ(run(std::string(before_q[i]) + q + "enter\n"), 0);
            EXPECT_EQ(state.step, steps[i]) << before_q[i] << q;  // the Enter after Q was never read
        }
    }
    EXPECT_TRUE(key_is_quit(0x351));  // any upper bits, Q in the low byte
    EXPECT_TRUE(key_is_quit('q'));
    EXPECT_FALSE(key_is_quit(qor::KEY_UP));
}

TEST_F(wizard_test, drive_cursor_limits) {
    write_complete_media(machine);
    run("enter\nup\n");
    EXPECT_EQ(state.drive_cursor, 0);
    run("enter\ndown\ndown\ndown\ndown\n");
    EXPECT_EQ(state.drive_cursor, 2);
}

TEST_F(wizard_test, back_to_the_drives_keeps_the_options) {
    std::string manifest;
    for (int i = 0; i < 20; ++i) manifest += "p" + std::to_string(i) + "\n";
    write_complete_media(machine, manifest);
    std::string keys = "enter\nenter\nspace\n";
    for (int i = 0; i < 12; ++i) keys += "down\n";
    run(keys + "b\ndown\nenter\n");
    EXPECT_EQ(state.step, STEP_OPTIONS);
    EXPECT_EQ(state.target_drive, 1);  // the newly highlighted drive
    EXPECT_EQ(state.package_selected[0], 0);
    EXPECT_EQ(state.option_cursor, 12);
    EXPECT_EQ(state.option_scroll, 3);
}

TEST_F(wizard_test, unreadable_manifest_ends_on_the_failure_screen) {
    EXPECT_EQ(run("enter\nenter\nenter\nq\n"), 0);
    EXPECT_EQ(state.step, STEP_FAILED);
    EXPECT_STREQ(state.error_text, "Failed to load installer options");
    EXPECT_EQ(output, "[installer] error: Failed to load installer options\n");
}

TEST_F(wizard_test, window_that_cannot_attach) {
    hosted::fault_add(qor::SYS_GUI_ATTACH, 1, -1);
    EXPECT_EQ(run(""), 1);
    EXPECT_EQ(output, "installer: gui_attach failed\n");
}

TEST_F(wizard_test, a_failing_event_wait_ends_the_program) {
    hosted::fault_add(qor::SYS_GUI_WAIT_EVENT, 2, -1);
    EXPECT_EQ(run("enter\nenter\n"), 0);
    EXPECT_EQ(state.step, STEP_DRIVE);
}

TEST(wizard_without_drives, enter_up_and_down_do_nothing) {
    temp_machine machine;
    write_complete_media(machine);
    write_host_file(machine.dir() + "/keys", "enter\ndown\nup\nenter\n");
    installer_state state;
    EXPECT_EQ(installer_run(&state), 0);
    EXPECT_EQ(state.step, STEP_DRIVE);
    EXPECT_EQ(state.drive_count, 0);
    EXPECT_EQ(state.drive_cursor, 0);
    EXPECT_EQ(state.options_loaded, 0);
}

TEST(drive_detection, only_the_first_eight_usable_slots_are_probed) {
    temp_machine machine{machine_options{12}};
    std::filesystem::resize_file(machine.slot(1) + "/disk.img", 1024);  // too small to use
    write_host_file(machine.dir() + "/keys", "");
    installer_state state;
    hosted::call_counts_reset();
    installer_run(&state);
    ASSERT_EQ(state.drive_count, 8);
    int32_t expected[] = {0, 2, 3, 4, 5, 6, 7, 8};
    for (int i = 0; i < 8; ++i) EXPECT_EQ(state.drives[i], expected[i]);
    EXPECT_EQ(hosted::call_count(qor::SYS_DISK_PRESENT), 9);
}

}  // namespace
}  // namespace qortest
