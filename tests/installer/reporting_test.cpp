// The reporting operations: progress arithmetic, texts cut to their fields,
// error lines, and redraws only while there is a window.
#include <cstring>
#include <functional>

#include "installer_fixture.h"
#include "reporting.h"

namespace qortest {
namespace {

using reporting_test = window_fixture;

TEST_F(reporting_test, progress_step_counts_whole_steps_up_to_the_total) {
    struct {
        int32_t total, done, permille_before;
        int32_t done_after, permille_after;
    } cases[] = {
        {3, 0, 0, 1, 333},
        {3, 2, 0, 3, 1000},
        {3, 3, 1000, 3, 1000},  // beyond the total stays there
        {4, 1, 900, 2, 500},    // may lower a value set directly
        {0, 5, 70, 5, 70},      // no total: no arithmetic
    };
    for (auto& c : cases) {
        state.progress_total = c.total;
        state.progress_done = c.done;
        state.progress_permille = c.permille_before;
        progress_step(&state, "next");
        EXPECT_EQ(state.progress_done, c.done_after);
        EXPECT_EQ(state.progress_permille, c.permille_after);
        EXPECT_STREQ(state.detail_text, "next");
    }
}

TEST_F(reporting_test, progress_fraction_stays_within_the_running_step_and_never_goes_back) {
    struct {
        int32_t total, done, permille_before;
        uint32_t part, whole;
        int32_t permille_after;
    } cases[] = {
        {4, 1, 250, 1, 2, 375},
        {4, 1, 250, 9, 2, 499},          // done above total counts as total, still below the next step
        {4, 1, 400, 1, 2, 400},          // never backwards
        {1, 0, 0, 0xFFFFFFFF, 0xFFFFFFFF, 999},  // no 32-bit overflow
        {2, 0, 0, 3000000000u, 4000000000u, 375},
        {1, 0, 0, 5, 0, 0},              // a whole of nothing measures nothing
    };
    for (auto& c : cases) {
        state.progress_total = c.total;
        state.progress_done = c.done;
        state.progress_permille = c.permille_before;
        progress_set_fraction(&state, c.part, c.whole);
        EXPECT_EQ(state.progress_permille, c.permille_after) << c.part << "/" << c.whole;
    }
}

TEST_F(reporting_test, fraction_without_a_total_changes_nothing_and_does_not_redraw) {
    state.progress_total = 0;
    state.progress_permille = 10;
    long presents = hosted::call_count(qor::SYS_GUI_PRESENT);
    progress_set_fraction(&state, 1, 2);
    EXPECT_EQ(state.progress_permille, 10);
    EXPECT_EQ(hosted::call_count(qor::SYS_GUI_PRESENT), presents);
    status_set(&state, "x");
    EXPECT_EQ(hosted::call_count(qor::SYS_GUI_PRESENT), presents + 1);
}

TEST_F(reporting_test, a_phase_begins_with_an_empty_bar_and_one_redraw) {
    struct {
        int32_t total;
        const char* detail;
    } cases[] = {
        {3, "Writing /boot/grub/grub.cfg"},
        {100, ""},
    };
    for (auto& c : cases) {
        state.progress_total = 7;
        state.progress_done = 5;
        state.progress_permille = 800;
        strcpy(state.detail_text, "earlier");
        long presents = hosted::call_count(qor::SYS_GUI_PRESENT);
        progress_begin(&state, c.total, c.detail);
        EXPECT_EQ(state.progress_total, c.total);
        EXPECT_EQ(state.progress_done, 0);
        EXPECT_EQ(state.progress_permille, 0);
        EXPECT_STREQ(state.detail_text, c.detail);
        EXPECT_EQ(hosted::call_count(qor::SYS_GUI_PRESENT), presents + 1) << c.total;
    }
}

TEST_F(reporting_test, texts_are_cut_to_their_fields) {
    std::string long_text(300, 'a');
    status_set(&state, long_text.c_str());
    progress_step(&state, long_text.c_str());
    EXPECT_EQ(strlen(state.status_text), 127u);
    EXPECT_EQ(strlen(state.detail_text), 159u);
}

TEST_F(reporting_test, error_lines_carry_the_message_as_its_field_keeps_it) {
    // error_text keeps 127 characters; the line on the standard output and
    // the failure screen both show it as kept, in one write.
    const std::string path = "RAM:/" + std::string(3000, 'p');
    struct error_case {
        const char* name;
        std::function<void()> report;
        std::string message;
    } cases[] = {
        {"text", [&] { error_set(&state, path.c_str()); }, path},
        {"text and path", [&] { error_set_path(&state, "Copy source open failed", path.c_str()); },
         "Copy source open failed: " + path},
        {"text, path and code",
         [&] { error_set_path_code(&state, "Copy target create failed", path.c_str(), -5); },
         "Copy target create failed: " + path + " (rc=-5)"},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        state.step = STEP_INSTALL;
        hosted::call_counts_reset();
        hosted::capture_begin();
        c.report();
        EXPECT_EQ(hosted::capture_end(), "[installer] error: " + c.message.substr(0, 127) + "\n");
        EXPECT_EQ(hosted::call_count(qor::SYS_WRITE), 1);
        EXPECT_EQ(std::string(state.error_text), c.message.substr(0, 127));
        EXPECT_EQ(state.step, STEP_FAILED);
    }
}

TEST_F(reporting_test, error_set_prints_and_fails_without_a_window_too) {
    g_installer_gui_handle = -1;
    long presents = hosted::call_count(qor::SYS_GUI_PRESENT);
    hosted::capture_begin();
    error_set(&state, "Target write probe failed");
    EXPECT_EQ(hosted::capture_end(), "[installer] error: Target write probe failed\n");
    EXPECT_EQ(state.step, STEP_FAILED);
    EXPECT_EQ(hosted::call_count(qor::SYS_GUI_PRESENT), presents);
}

}  // namespace
}  // namespace qortest
