// Copying from the media onto the target: paths, directories, single files
// with their progress and every failure, and whole trees.
#include <filesystem>

#include "installer_fixture.h"
#include "media_copy.h"
#include "reporting.h"

namespace qortest {
namespace {

TEST(join_path2_test, joins_with_exactly_one_slash_and_refuses_what_does_not_fit) {
    struct {
        std::string base, name;
        int rc;
        std::string joined;
    } cases[] = {
        {"RAM:/fonts", "a.psf", 0, "RAM:/fonts/a.psf"},
        {"RAM:/", "config", 0, "RAM:/config"},  // no second slash after the media root
        {"", "name", 0, "name"},
        {"/", "etc", 0, "/etc"},
        {"", "", -1, ""},
        {"/" + std::string(252, 'd'), "f", 0, "/" + std::string(252, 'd') + "/f"},  // 255 characters
        {"/" + std::string(253, 'd'), "f", -1, ""},
    };
    for (auto& c : cases) {
        char out[COPY_PATH_SIZE];
        EXPECT_EQ(join_path2(c.base.c_str(), c.name.c_str(), out), c.rc) << c.base << " + " << c.name;
        if (c.rc == 0) {
            EXPECT_EQ(out, c.joined);
        }
    }
}

class media_copy_test : public window_fixture {
protected:
    void SetUp() override {
        window_fixture::SetUp();
        select_prepared_drive(0);
        state.step = STEP_INSTALL;
        hosted::call_counts_reset();
    }
    int copy_file(const char* source, const char* to, const char* label = "") {
        return run_captured(&output, [&] { return copy_media_file_to_target(&state, source, to, label); });
    }
    int copy_tree(const char* source, const char* to, const char* missing) {
        return run_captured(&output, [&] { return copy_media_tree_to_target(&state, source, to, missing); });
    }
    long redraws() { return hosted::call_count(qor::SYS_GUI_PRESENT); }
    std::string output;
};

TEST_F(media_copy_test, ensure_target_directory_makes_missing_levels_and_accepts_existing_ones) {
    machine.write_drive_file(0, "file", "x");
    machine.make_drive_dirs(0, "have/inner");
    struct {
        const char* path;
        int rc;
    } cases[] = {
        {"/", 0},
        {"/a/b/", 0},
        {"/have/inner/new", 0},
        {"/have", 0},
        {"/file/sub", -1},  // a file where a directory belongs
        {"/file", -1},
        {"relative/dir", -1},
        {"", -1},
    };
    for (auto& c : cases) EXPECT_EQ(ensure_target_directory(c.path), c.rc) << c.path;
    EXPECT_TRUE(machine.drive_is_directory(0, "a/b"));
    EXPECT_TRUE(machine.drive_is_directory(0, "have/inner/new"));
    std::string too_long = "/" + std::string(255, 'd');
    EXPECT_EQ(ensure_target_directory(too_long.c_str()), -1);
}

TEST_F(media_copy_test, files_arrive_whole_with_the_bar_moved_once_per_16_kib_and_at_the_end) {
    struct {
        size_t size;
        long redraws;  // label, every 64 chunks, the end of a measured file
    } cases[] = {
        {0, 1},
        {1, 2},
        {64 * 256, 3},
        {40 * 1024, 4},
    };
    for (auto& c : cases) {
        std::string bytes(c.size, '\0');
        for (size_t i = 0; i < c.size; ++i) bytes[i] = static_cast<char>(i * 7 + i / 251);
        write_host_file(machine.media("src"), bytes);
        state.progress_total = 2;
        state.progress_done = 0;
        state.progress_permille = 0;
        int32_t files_before = state.files_copied;
        hosted::call_counts_reset();
        EXPECT_EQ(copy_file("RAM:/src", "/dst", "Seeding /dst"), 0) << output;
        EXPECT_EQ(machine.read_drive_file(0, "dst"), bytes) << c.size;
        EXPECT_EQ(redraws(), c.redraws) << c.size;
        EXPECT_EQ(state.files_copied, files_before + 1);
        EXPECT_STREQ(state.detail_text, "Seeding /dst");
        EXPECT_EQ(state.progress_done, 0);  // a copy is part of a step, never a step
        EXPECT_EQ(state.progress_permille, c.size ? 499 : 0);
    }
}

TEST_F(media_copy_test, a_source_without_a_usable_size_still_copies_completely) {
    std::string bytes(40 * 1024, 'q');
    write_host_file(machine.media("src"), bytes);
    state.progress_total = 1;
    struct {
        long first_use;
        long result;
        long redraws;
    } cases[] = {
        {1, 0, 3},   // the size reads as nothing: only the redraw every 64 chunks
        {2, -1, 3},  // the way back to the start fails after the size was read
    };
    for (auto& c : cases) {
        state.progress_permille = 0;
        hosted::call_counts_reset();
        hosted::faults_clear();
        hosted::fault_add(qor::SYS_LSEEK, c.first_use, c.result);
        EXPECT_EQ(copy_file("RAM:/src", "/dst", "label"), 0) << output;
        EXPECT_EQ(machine.read_drive_file(0, "dst"), bytes) << c.first_use;
        EXPECT_EQ(redraws(), c.redraws);
        EXPECT_EQ(state.progress_permille, 0);
        EXPECT_EQ(hosted::call_count(qor::SYS_OPEN), hosted::call_count(qor::SYS_CLOSE));
    }
}

TEST_F(media_copy_test, every_copy_failure_is_reported_once_with_its_path_and_ends_what_was_begun) {
    write_host_file(machine.media("src"), std::string(1000, 's'));
    struct {
        long call, first_use, result;
        std::string message;
        long stream_ends;
    } cases[] = {
        {qor::SYS_OPEN, 1, -1, "Copy source open failed: RAM:/src", 0},
        {qor::SYS_STREAM_BEGIN, 1, -5, "Copy target create failed: /dst (rc=-5)", 0},
        {qor::SYS_READ, 2, -1, "Copy source read failed: RAM:/src", 1},
        // Measured at 1000 bytes, the source reports its end at 0 and at 512.
        {qor::SYS_READ, 1, 0, "Copy source read failed: RAM:/src", 1},
        {qor::SYS_READ, 3, 0, "Copy source read failed: RAM:/src", 1},
        {qor::SYS_STREAM_WRITE, 3, 100, "Copy target write failed: /dst", 1},
        {qor::SYS_STREAM_WRITE, 1, -1, "Copy target write failed: /dst", 1},
        {qor::SYS_CLOSE, 1, -1, "Copy source close failed: RAM:/src", 1},
        {qor::SYS_STREAM_END, 1, -1, "Copy finalize failed: /dst", 1},
    };
    for (auto& c : cases) {
        installer_state_init(&state);
        state.step = STEP_INSTALL;
        hosted::faults_clear();
        hosted::call_counts_reset();
        hosted::fault_add(c.call, c.first_use, c.result);
        EXPECT_EQ(copy_file("RAM:/src", "/dst"), -1) << c.message;
        EXPECT_EQ(output, "[installer] error: " + c.message + "\n");
        EXPECT_EQ(state.error_text, c.message);
        EXPECT_EQ(state.step, STEP_FAILED);
        EXPECT_EQ(state.files_copied, 0);
        EXPECT_EQ(hosted::call_count(qor::SYS_STREAM_END), c.stream_ends) << c.message;
        // The source is closed on every way out (once, even when that close failed).
        long opened = c.call == qor::SYS_OPEN ? 0 : 1;
        EXPECT_EQ(hosted::call_count(qor::SYS_CLOSE), opened) << c.message;
    }
}

TEST_F(media_copy_test, trees_copy_every_level_but_dot_entries) {
    write_host_file(machine.media("tree/top.conf"), "top");
    write_host_file(machine.media("tree/desktop/panel.conf"), "panel");
    write_host_file(machine.media("tree/desktop/deep/er/file"), "deep");
    std::filesystem::create_directories(machine.media("tree/empty"));
    // The first listing of the walk brings less than one record: it is read again.
    hosted::fault_add(qor::SYS_GETDENTS, 2, 10);
    EXPECT_EQ(copy_tree("RAM:/tree", "/config", "RAM:/tree missing"), 0) << output;
    EXPECT_EQ(output, "");
    EXPECT_EQ(machine.read_drive_file(0, "config/top.conf"), "top");
    EXPECT_EQ(machine.read_drive_file(0, "config/desktop/panel.conf"), "panel");
    EXPECT_EQ(machine.read_drive_file(0, "config/desktop/deep/er/file"), "deep");
    EXPECT_TRUE(machine.drive_is_directory(0, "config/empty"));
    EXPECT_EQ(state.files_copied, 3);
    EXPECT_EQ(state.dirs_copied, 5);  // tree, desktop, deep, er, empty
    EXPECT_EQ(state.step, STEP_INSTALL);
}

// A listing that stops early (an end the next call contradicts, or one
// record per call) still brings the whole tree: nothing is left out unseen.
TEST_F(media_copy_test, a_listing_that_ends_early_or_brings_one_record_still_copies_the_whole_tree) {
    struct {
        const char* name;
        bool shortened;  // else the listing ends early (0)
        long use;
    } cases[] = {
        {"the top listing ends at once", false, 2},
        {"a lower listing ends at once", false, 4},
        {"one record per call", true, 2},
    };
    write_host_file(machine.media("tree/a.conf"), "a");
    write_host_file(machine.media("tree/b.conf"), "b");
    write_host_file(machine.media("tree/sub/c.conf"), "c");
    for (auto& c : cases) {
        machine.remove_drive_path(0, "config");
        installer_state_init(&state);
        state.step = STEP_INSTALL;
        hosted::faults_clear();
        if (c.shortened) hosted::fault_add_shortened(qor::SYS_GETDENTS, c.use);
        else hosted::fault_add(qor::SYS_GETDENTS, c.use, 0);
        EXPECT_EQ(copy_tree("RAM:/tree", "/config", "RAM:/tree missing"), 0) << c.name << output;
        EXPECT_EQ(machine.read_drive_file(0, "config/a.conf"), "a") << c.name;
        EXPECT_EQ(machine.read_drive_file(0, "config/b.conf"), "b") << c.name;
        EXPECT_EQ(machine.read_drive_file(0, "config/sub/c.conf"), "c") << c.name;
        EXPECT_EQ(state.files_copied, 3) << c.name;
    }
}

TEST_F(media_copy_test, a_missing_tree_shows_its_text_or_nothing) {
    write_host_file(machine.media("plain"), "not a directory");
    EXPECT_EQ(copy_tree("RAM:/icons", "/icons", ""), -1);
    EXPECT_EQ(output, "");
    EXPECT_EQ(state.step, STEP_INSTALL);
    EXPECT_STREQ(state.error_text, "");
    EXPECT_EQ(copy_tree("RAM:/plain", "/plain", "RAM:/plain missing"), -1);
    EXPECT_EQ(output, "[installer] error: RAM:/plain missing\n");
    EXPECT_EQ(state.step, STEP_FAILED);
    EXPECT_EQ(state.dirs_copied, 0);
}

TEST_F(media_copy_test, a_failure_inside_a_tree_stops_the_walk_and_names_the_tree_last) {
    write_host_file(machine.media("tree/a"), "a");
    hosted::fault_add(qor::SYS_STREAM_BEGIN, 1, -3);
    EXPECT_EQ(copy_tree("RAM:/tree", "/t", "RAM:/tree missing"), -1);
    EXPECT_EQ(output,
              "[installer] error: Copy target create failed: /t/a (rc=-3)\n"
              "[installer] error: Failed to copy media tree: RAM:/tree\n");
    EXPECT_STREQ(state.error_text, "Failed to copy media tree: RAM:/tree");
    EXPECT_EQ(hosted::call_count(qor::SYS_OPEN), hosted::call_count(qor::SYS_CLOSE));

    // A target path that would not fit ends the walk before anything is copied.
    installer_state_init(&state);
    hosted::faults_clear();
    std::string deep = "/" + std::string(253, 'd');
    EXPECT_EQ(copy_tree("RAM:/tree", deep.c_str(), ""), -1);
    EXPECT_EQ(output, "[installer] error: Failed to copy media tree: RAM:/tree\n");
    EXPECT_EQ(state.files_copied, 0);
    EXPECT_TRUE(machine.drive_is_directory(0, deep.substr(1)));
}

}  // namespace
}  // namespace qortest
