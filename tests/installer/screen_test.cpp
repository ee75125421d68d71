// What each screen draws, as the window receives it, and how failed window
// calls are counted and reported.
#include <cstring>

#include "installer_fixture.h"
#include "screen.h"

namespace qortest {
namespace {

using lines = std::vector<std::string>;

class screen_test : public window_fixture {
protected:
    lines draw() {
        draw_ui(handle, &state);
        lines all = frame_lines();
        lines start = frame_start();
        EXPECT_TRUE(all.size() >= start.size() && std::equal(start.begin(), start.end(), all.begin()))
            << "frame does not begin with the header";
        return lines(all.begin() + static_cast<long>(std::min(all.size(), start.size())), all.end());
    }
    void add_packages(std::initializer_list<const char*> names) {
        for (const char* n : names) strcpy(state.package_names[state.package_count++], n);
        memset(state.package_selected, 1, sizeof state.package_selected);
    }
};

TEST_F(screen_test, welcome_confirm_done_failed_and_unknown_steps) {
    struct {
        int32_t step;
        lines expected;
    } cases[] = {
        {STEP_WELCOME,
         {"text 12,52 DCDCDC This will install QOR-OS to a selected disk.",
          "text 12,72 AAAAAA Press Enter to continue or Q to cancel."}},
        {STEP_CONFIRM,
         {"text 12,52 EBEBEB Target drive: 2", "text 12,76 82C8FF Press Enter to FORMAT + INSTALL",
          "text 12,96 7878FF Warning: this erases target disk contents."}},
        {STEP_DONE,
         {"text 12,56 A0FF8C Install finished successfully.", "text 12,78 DCDCDC Copied files: 41   directories: 7",
          "text 12,102 BEBEBE Reboot and boot from installed disk.", "text 12,126 AAAAAA Press Q to close installer."}},
        {STEP_FAILED,
         {"text 12,56 7878FF Install failed", "text 12,78 BEBEE6 RAM:/config missing",
          "text 12,102 AAAAAA Press Q to close installer."}},
        {9,
         {"text 12,56 8C8CFF Installer state error",
          "text 12,78 B4B4D2 Unexpected installer step; operation aborted.",
          "text 12,102 AAAAAA Press Q to close installer."}},
    };
    state.target_drive = 2;
    state.files_copied = 41;
    state.dirs_copied = 7;
    strcpy(state.error_text, "RAM:/config missing");
    for (auto& c : cases) {
        state.step = c.step;
        EXPECT_EQ(draw(), c.expected) << "step " << c.step;
    }
}

TEST_F(screen_test, drive_step_lists_drives_with_the_cursor_row_highlighted) {
    state.step = STEP_DRIVE;
    state.drive_count = 2;
    state.drives[0] = 0;
    state.drives[1] = 2;
    state.drive_cursor = 1;
    EXPECT_EQ(draw(), (lines{"text 12,44 DCDCDC Select target drive (Up/Down + Enter)", "text 12,72 F0F0F0 Drive 0",
                             "rect 8,90 624x18 424242", "text 12,92 F0F0F0 Drive 2"}));
    state.drive_count = 0;
    EXPECT_EQ(draw(), (lines{"text 12,44 DCDCDC Select target drive (Up/Down + Enter)",
                             "text 12,72 8C8CFF No drives detected"}));
}

TEST_F(screen_test, options_step_shows_counts_rows_and_hints) {
    state.step = STEP_OPTIONS;
    add_packages({"base", "net", "editor"});
    state.package_selected[1] = 0;
    state.font_count = 2;
    strcpy(state.font_names[0], "A.psf");
    strcpy(state.font_names[1], "b.psf");
    state.font_selected[0] = 1;
    state.seed_icons = 1;
    state.seed_fonts = 1;
    state.option_cursor = 5;
    EXPECT_EQ(draw(), (lines{
                          "text 12,42 DCDCDC Configure install options (menuconfig-style)",
                          "text 12,62 DCC8B4 Packages selected: 2 / 3",
                          "text 12,80 D2BEAA Icons: on   Fonts: on (1)   Chibicc: off",
                          "text 12,106 E6E6E6 [x] package: base",
                          "text 12,124 E6E6E6 [ ] package: net",
                          "text 12,142 E6E6E6 [x] package: editor",
                          "text 12,160 E6E6E6 [x] seed /icons and /icons16",
                          "text 12,178 E6E6E6 [x] seed fonts",
                          "rect 8,194 624x16 424242",
                          "text 12,196 E6E6E6     [x] font: A.psf",
                          "text 12,214 E6E6E6     [ ] font: b.psf",
                          "text 12,232 E6E6E6 [ ] seed /binaries/chibicc",
                          "text 12,250 E6E6E6 [>] continue to disk format",
                          "text 12,306 AAAAAA Up/Down: move   Enter/Space: toggle",
                          "text 12,324 AAAAAA A: toggle all packages   B: back   I: continue",
                      }));
    // Fonts off: no font rows, and no count of selected fonts.
    state.seed_fonts = 0;
    state.font_count = 0;
    state.option_cursor = 4;
    lines shown = draw();
    EXPECT_EQ(shown[2], "text 12,80 D2BEAA Icons: on   Fonts: off (0)   Chibicc: off");
    EXPECT_EQ(shown[8], "text 12,178 E6E6E6 [ ] seed fonts (none available on media)");
    EXPECT_EQ(shown.size(), 13u);
}

TEST_F(screen_test, long_option_list_shows_ten_rows_from_the_scroll_position) {
    state.step = STEP_OPTIONS;
    for (int i = 0; i < 20; ++i) snprintf(state.package_names[i], NAME_SIZE, "pkg%02d", i);
    state.package_count = 20;
    state.option_scroll = 3;
    state.option_cursor = 12;
    lines shown = draw();
    ASSERT_EQ(shown.size(), 3u + 1 + 10 + 2);
    EXPECT_EQ(shown[3], "text 12,106 E6E6E6 [ ] package: pkg03");
    EXPECT_EQ(shown[12], "rect 8,266 624x16 424242");
    EXPECT_EQ(shown[13], "text 12,268 E6E6E6 [ ] package: pkg12");
    state.option_cursor = 0;  // above the visible rows: no highlight
    EXPECT_EQ(draw().size(), 3u + 10 + 2);
}

TEST_F(screen_test, progress_screen_bar_geometry_and_texts) {
    struct {
        int32_t permille;
        const char* bar_fill;  // nullptr: not drawn
        const char* percent;
    } cases[] = {
        {30, "rect 14,120 18x12 F0B056", "Progress: 3%"},
        {0, nullptr, "Progress: 0%"},
        {1, nullptr, "Progress: 0%"},  // 612 x 1 < 1000: not even a pixel
        {2, "rect 14,120 1x12 F0B056", "Progress: 0%"},
        {999, "rect 14,120 611x12 F0B056", "Progress: 99%"},
        {1500, "rect 14,120 612x12 F0B056", "Progress: 100%"},
        {-40, nullptr, "Progress: 0%"},
    };
    state.step = STEP_BOOTLOADER;
    state.files_copied = 3;
    state.dirs_copied = 1;
    for (auto& c : cases) {
        state.progress_permille = c.permille;
        lines expected{"text 12,56 FFE6C8 Working...", "text 12,78 B9B9B9 Files copied: 3   Dirs: 1",
                       "rect 14,120 612x12 483D3A"};
        if (c.bar_fill) expected.push_back(c.bar_fill);
        expected.push_back(std::string("text 12,138 E6D2BE ") + c.percent);
        expected.push_back("text 12,158 AAAAAA Please wait...");
        EXPECT_EQ(draw(), expected) << "permille " << c.permille;
    }
    state.step = STEP_INSTALL;
    strcpy(state.status_text, "Checking RAM:/ installer media ...");
    strcpy(state.detail_text, "Copying kernel");
    lines shown = draw();
    EXPECT_EQ(shown.front(), "text 12,56 FFE6C8 Checking RAM:/ installer media ...");
    EXPECT_EQ(shown.back(), "text 12,158 AAAAAA Copying kernel");
}

TEST_F(screen_test, failed_content_size_still_draws_640_wide) {
    hosted::fault_add(qor::SYS_GUI_GET_CONTENT_SIZE, 1, -5);
    long presents = hosted::call_count(qor::SYS_GUI_PRESENT);
    g_gui_draw_failures = 0;
    hosted::capture_begin();
    EXPECT_EQ(draw_ui(handle, &state), 0);
    EXPECT_EQ(hosted::capture_end(), "[installer] gui call failed: gui_get_content_size rc=-5 step=0 failures=1\n");
    EXPECT_EQ(frame_lines()[1], "rect 0,0 640x24 303030");
    EXPECT_EQ(hosted::call_count(qor::SYS_GUI_PRESENT), presents + 1);
}

TEST_F(screen_test, a_failed_call_ends_the_frame_under_its_label) {
    struct {
        int32_t step;
        long call;
        long use;  // of that call within one draw
        const char* label;
    } cases[] = {
        {STEP_WELCOME, qor::SYS_GUI_BEGIN, 1, "gui_begin"},
        {STEP_WELCOME, qor::SYS_GUI_CLEAR, 1, "gui_clear"},
        {STEP_WELCOME, qor::SYS_GUI_FILL_RECT, 1, "gui_fill_rect(header)"},
        {STEP_DRIVE, qor::SYS_GUI_FILL_RECT, 2, "gui_fill_rect(select)"},
        {STEP_OPTIONS, qor::SYS_GUI_FILL_RECT, 2, "gui_fill_rect(options)"},
        {STEP_INSTALL, qor::SYS_GUI_FILL_RECT, 2, "gui_fill_rect(bar_bg)"},
        {STEP_INSTALL, qor::SYS_GUI_FILL_RECT, 3, "gui_fill_rect(bar_fg)"},
        {STEP_DONE, qor::SYS_GUI_PRESENT, 1, "gui_present"},
    };
    state.drive_count = 1;
    add_packages({"base"});
    state.progress_permille = 500;
    for (auto& c : cases) {
        state.step = c.step;
        g_gui_draw_failures = 0;
        hosted::faults_clear();
        hosted::fault_add(c.call, c.use, -3);
        long presents = hosted::call_count(qor::SYS_GUI_PRESENT);
        hosted::capture_begin();
        EXPECT_EQ(draw_ui(handle, &state), -1) << c.label;
        EXPECT_EQ(hosted::capture_end(), std::string("[installer] gui call failed: ") + c.label +
                                             " rc=-3 step=" + std::to_string(c.step) + " failures=1\n");
        long expected_presents = c.call == qor::SYS_GUI_PRESENT ? 1 : 0;  // the failed call itself
        EXPECT_EQ(hosted::call_count(qor::SYS_GUI_PRESENT) - presents, expected_presents) << c.label;
    }
}

TEST_F(screen_test, failures_print_for_the_first_sixteen_then_every_sixty_fourth) {
    hosted::fault_add(qor::SYS_GUI_BEGIN, 1, -1, -1);
    g_gui_draw_failures = 0;
    hosted::capture_begin();
    for (int i = 0; i < 130; ++i) draw_ui(handle, &state);
    std::string out = hosted::capture_end();
    std::string expected;
    for (int n : {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 64, 128})
        expected += "[installer] gui call failed: gui_begin rc=-1 step=0 failures=" + std::to_string(n) + "\n";
    EXPECT_EQ(out, expected);
    EXPECT_EQ(g_gui_draw_failures, 130);
}

}  // namespace
}  // namespace qortest
