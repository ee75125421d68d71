// The confirmed run: media checks, target preparation and the common end of
// a failed run.
#include "disk_prepare.h"
#include "installer_fixture.h"
#include "media_checks.h"
#include "media_copy.h"
#include "reporting.h"
#include "run_installation.h"

namespace qortest {
namespace {

class run_test : public window_fixture {
protected:
    void SetUp() override {
        window_fixture::SetUp();
        write_complete_media(machine);
        state.step = STEP_CONFIRM;
        state.target_drive = 0;
        hosted::call_counts_reset();
    }
    int run() {
        return run_captured(&output, [&] { return run_installation(&state); });
    }
    bool drive_touched() {
        return hosted::call_count(qor::SYS_DISK_PREPARE) + hosted::call_count(qor::SYS_DRIVE_SELECT) +
                   hosted::call_count(qor::SYS_WRITEFILE) >
               0;
    }
    std::string output;
};

TEST_F(run_test, each_missing_media_item_stops_before_any_drive_call) {
    struct {
        const char* remove;
        const char* message;
    } cases[] = {
        {"binaries/installer", "RAM:/binaries/installer missing"},
        {"binaries/install", "RAM:/binaries/install missing"},
        {"binaries/extract", "RAM:/binaries/extract missing"},
        {"installer/base.manifest", "RAM:/installer/base.manifest missing"},
        {"etc/resolv.conf", "RAM:/etc/resolv.conf missing"},
        {"config", "RAM:/config missing"},
        {".view", "RAM:/.view missing"},
    };
    for (auto& c : cases) {
        std::filesystem::remove_all(machine.media("config"));
        write_complete_media(machine);
        std::filesystem::remove_all(machine.media(c.remove));
        // A plain file where a directory belongs is as good as missing.
        if (std::string(c.remove) == "config") write_host_file(machine.media(c.remove), "x");
        installer_state_init(&state);
        state.step = STEP_CONFIRM;
        EXPECT_EQ(run(), RUN_MEDIA_INCOMPLETE) << c.remove;
        EXPECT_EQ(output, std::string("[installer] error: ") + c.message + "\n[installer] failure rc=-101 msg=" +
                              c.message + "\n");
        EXPECT_EQ(state.step, STEP_FAILED);
        EXPECT_FALSE(drive_touched()) << c.remove;
    }
}

TEST_F(run_test, unusable_media_root) {
    struct {
        long call;
        long result;
        long times;
        const char* message;
    } cases[] = {
        {qor::SYS_OPEN, -2, 1, "Could not open RAM:/ root"},
        {qor::SYS_GETDENTS, -1, 1, "Could not list RAM:/ root"},
        // Empty only when asking again still lists nothing.
        {qor::SYS_GETDENTS, 0, 2, "RAM:/ is empty (no files)"},
    };
    for (auto& c : cases) {
        installer_state_init(&state);
        hosted::faults_clear();
        hosted::fault_add(c.call, 1, c.result, c.times);
        EXPECT_EQ(run(), RUN_MEDIA_INCOMPLETE);
        EXPECT_STREQ(state.error_text, c.message);
        EXPECT_FALSE(drive_touched());
    }
}

TEST_F(run_test, target_preparation_failures) {
    struct {
        long call;
        int code;
        const char* message;
        bool selected;  // the target became the current drive
    } cases[] = {
        {qor::SYS_DISK_PREPARE, RUN_PREPARE_FAILED, "Drive partition/format failed", false},
        {qor::SYS_DRIVE_SELECT, RUN_SELECT_FAILED, "Could not switch to target drive", false},
        {qor::SYS_WRITEFILE, RUN_PROBE_FAILED, "Target write probe failed", true},
    };
    for (auto& c : cases) {
        hosted::use_machine(machine.dir());  // back on RAM:, window gone
        ASSERT_GE(qor::gui_attach("Installer", "QOR-OS setup"), 0);
        installer_state_init(&state);
        hosted::faults_clear();
        hosted::fault_add(c.call, 1, -1);
        EXPECT_EQ(run(), c.code) << c.message;
        EXPECT_EQ(output, std::string("[installer] error: ") + c.message + "\n[installer] failure rc=" +
                              std::to_string(c.code) + " msg=" + c.message + "\n");
        EXPECT_EQ(frame_lines()[4], std::string("text 12,78 BEBEE6 ") + c.message);  // failure screen shown
        // A media path still resolves while RAM: is current; on the target it does not.
        EXPECT_EQ(qor::access("/installer/base.manifest") == 0, !c.selected) << c.message;
    }
}

TEST_F(run_test, prepared_target_holds_no_probe_and_the_sequence_failure_keeps_its_own_message) {
    // The media checks do not look for the kernel; the sequence's copy of it fails.
    EXPECT_EQ(run(), RUN_SEQUENCE_FAILED);
    EXPECT_TRUE(machine.drive_path_exists(0, "/"));
    EXPECT_FALSE(machine.drive_path_exists(0, ".__install_probe"));
    EXPECT_EQ(hosted::call_count(qor::SYS_WRITEFILE), 1);
    EXPECT_EQ(hosted::call_count(qor::SYS_UNLINK), 1);
    EXPECT_EQ(machine.read_drive_file(0, "binaries/installer"), "x");
    EXPECT_EQ(output,
              "[installer] error: Copy source open failed: RAM:/boot/kernel.bin\n"
              "[installer] failure rc=-109 msg=Copy source open failed: RAM:/boot/kernel.bin\n");
}

TEST(failed_run_end, fills_an_empty_message_with_the_code) {
    installer_state state;
    installer_state_init(&state);
    hosted::capture_begin();
    EXPECT_EQ(end_failed_run(&state, -106), -106);
    EXPECT_EQ(hosted::capture_end(), "[installer] failure rc=-106 msg=Installer failed (rc=-106)\n");
    EXPECT_EQ(state.step, STEP_FAILED);
}

TEST(failed_run_end, prints_the_message_as_error_text_keeps_it) {
    installer_state state;
    installer_state_init(&state);
    const std::string path = "RAM:/" + std::string(300, 'p');
    hosted::capture_begin();
    error_set_path(&state, "Copy source open failed", path.c_str());
    EXPECT_EQ(end_failed_run(&state, -109), -109);
    const std::string kept = ("Copy source open failed: " + path).substr(0, 127);
    EXPECT_EQ(hosted::capture_end(),
              "[installer] error: " + kept + "\n[installer] failure rc=-109 msg=" + kept + "\n");
}

TEST(media_directory_test, directories_only) {
    temp_machine machine;
    write_host_file(machine.media("dir/file"), "x");
    EXPECT_EQ(path_is_directory("RAM:/dir"), 1);
    EXPECT_EQ(path_is_directory("RAM:/dir/file"), 0);
    EXPECT_EQ(path_is_directory("RAM:/none"), 0);
    EXPECT_EQ(path_is_directory(""), 0);
}

}  // namespace
}  // namespace qortest
