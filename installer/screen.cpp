#include "screen.h"

#include <cstdio>

#include "install_options.h"
#include "qor.h"
#include "qor_print.h"

namespace {

constexpr int32_t DEFAULT_WIDTH = 640;
constexpr int32_t DEFAULT_HEIGHT = 360;
constexpr int32_t TEXT_X = 12;
constexpr int32_t FAILURES_ALWAYS_PRINTED = 16;
constexpr int32_t FAILURE_PRINT_INTERVAL = 64;

constexpr uint32_t COLOUR_BACKGROUND = 0x1E1E1E;
constexpr uint32_t COLOUR_HEADER = 0x303030;
constexpr uint32_t COLOUR_TITLE = 0xF5F5F5;
constexpr uint32_t COLOUR_HIGHLIGHT = 0x424242;
constexpr uint32_t COLOUR_HEADLINE = 0xDCDCDC;
constexpr uint32_t COLOUR_HINT = 0xAAAAAA;

constexpr int32_t DRIVE_ROW_Y = 72;
constexpr int32_t DRIVE_ROW_STEP = 20;
constexpr int32_t OPTION_ROW_Y = 106;
constexpr int32_t OPTION_ROW_STEP = 18;
constexpr int32_t BAR_X = 14;
constexpr int32_t BAR_Y = 120;
constexpr int32_t BAR_HEIGHT = 12;

// One frame being drawn: the handle, the content width and the step shown.
struct frame {
    long handle;
    int32_t width;
    int32_t step;
};

// Draws one text; its result is ignored like the window's own text failures.
void text(const frame& f, int32_t x, int32_t y, uint32_t colour, const char* str) {
    qor::gui_text t{x, y, colour, str};
    qor::gui_draw_text(f.handle, &t);
}

// 0 when the call succeeded; -1 (counted under `label`) when not.
int checked(long rc, const char* label, int32_t step) {
    if (rc >= 0) return 0;
    gui_call_failed(label, rc, step);
    return -1;
}

// 0 when the rectangle was drawn; -1 (counted under `label`) when not.
int rect(const frame& f, int32_t x, int32_t y, int32_t w, int32_t h, uint32_t colour, const char* label) {
    qor::gui_rect r{x, y, w, h, colour};
    return checked(qor::gui_fill_rect(f.handle, &r), label, f.step);
}

// One text line of a step made only of text lines.
struct screen_line {
    int32_t y;
    uint32_t colour;
    const char* text;  // nullptr: the step's own line, made from the state
};

constexpr const char* CLOSE_HINT = "Press Q to close installer.";

constexpr screen_line WELCOME_LINES[] = {
    {52, COLOUR_HEADLINE, "This will install QOR-OS to a selected disk."},
    {72, COLOUR_HINT, "Press Enter to continue or Q to cancel."},
};
constexpr screen_line CONFIRM_LINES[] = {
    {52, 0xEBEBEB, nullptr},  // the target drive
    {76, 0x82C8FF, "Press Enter to FORMAT + INSTALL"},
    {96, 0x7878FF, "Warning: this erases target disk contents."},
};
constexpr screen_line DONE_LINES[] = {
    {56, 0xA0FF8C, "Install finished successfully."},
    {78, COLOUR_HEADLINE, nullptr},  // what was copied
    {102, 0xBEBEBE, "Reboot and boot from installed disk."},
    {126, COLOUR_HINT, CLOSE_HINT},
};
constexpr screen_line FAILED_LINES[] = {
    {56, 0x7878FF, "Install failed"},
    {78, 0xBEBEE6, nullptr},  // the error
    {102, COLOUR_HINT, CLOSE_HINT},
};
constexpr screen_line STATE_ERROR_LINES[] = {
    {56, 0x8C8CFF, "Installer state error"},
    {78, 0xB4B4D2, "Unexpected installer step; operation aborted."},
    {102, COLOUR_HINT, CLOSE_HINT},
};

// The step contents below each draw one step's part of the frame under the
// header: 0 when done, -1 when a rectangle failed and the frame is given up.

// The lines of a text-only step, `own` in the place of its own line.
template <size_t N>
int draw_lines(const frame& f, const screen_line (&lines)[N], const char* own = nullptr) {
    for (const screen_line& line : lines) text(f, TEXT_X, line.y, line.colour, line.text ? line.text : own);
    return 0;
}

int draw_drive_step(const frame& f, const installer_state* s) {
    text(f, TEXT_X, 44, COLOUR_HEADLINE, "Select target drive (Up/Down + Enter)");
    int32_t count = s->drive_count < MAX_DRIVES ? s->drive_count : MAX_DRIVES;
    for (int32_t i = 0; i < count; ++i) {
        int32_t y = DRIVE_ROW_Y + DRIVE_ROW_STEP * i;
        if (i == s->drive_cursor && rect(f, 8, y - 2, f.width - 16, 18, COLOUR_HIGHLIGHT, "gui_fill_rect(select)") < 0)
            return -1;
        char line[64];
        snprintf(line, sizeof line, "Drive %d", s->drives[i]);
        text(f, TEXT_X, y, 0xF0F0F0, line);
    }
    if (s->drive_count <= 0) text(f, TEXT_X, DRIVE_ROW_Y, 0x8C8CFF, "No drives detected");
    return 0;
}

int draw_options_step(const frame& f, const installer_state* s) {
    text(f, TEXT_X, 42, COLOUR_HEADLINE, "Configure install options (menuconfig-style)");
    char counts[96];
    snprintf(counts, sizeof counts, "Packages selected: %d / %d", selected_packages(s), s->package_count);
    text(f, TEXT_X, 62, 0xDCC8B4, counts);
    char flags[128];
    int fonts = s->seed_fonts ? selected_fonts(s) : 0;
    snprintf(flags, sizeof flags, "Icons: %s   Fonts: %s (%d)   Chibicc: %s", s->seed_icons ? "on" : "off",
             s->seed_fonts ? "on" : "off", fonts, s->seed_chibicc ? "on" : "off");
    text(f, TEXT_X, 80, 0xD2BEAA, flags);
    char line[OPTION_ROW_TEXT_SIZE];
    int32_t total = option_row_total(s);
    for (int32_t k = 0; k < OPTION_ROWS_VISIBLE && s->option_scroll + k < total; ++k) {
        int32_t row = s->option_scroll + k;
        int32_t y = OPTION_ROW_Y + OPTION_ROW_STEP * k;
        if (row == s->option_cursor && rect(f, 8, y - 2, f.width - 16, 16, COLOUR_HIGHLIGHT, "gui_fill_rect(options)") < 0)
            return -1;
        option_row_text(s, row, line, sizeof line);
        text(f, TEXT_X, y, 0xE6E6E6, line);
    }
    text(f, TEXT_X, 306, COLOUR_HINT, "Up/Down: move   Enter/Space: toggle");
    text(f, TEXT_X, 324, COLOUR_HINT, "A: toggle all packages   B: back   I: continue");
    return 0;
}

int draw_progress(const frame& f, const installer_state* s) {
    int32_t p = s->progress_permille < 0 ? 0 : s->progress_permille > 1000 ? 1000 : s->progress_permille;
    int32_t bar_width = f.width - 28;
    text(f, TEXT_X, 56, 0xFFE6C8, s->status_text[0] ? s->status_text : "Working...");
    char counters[96];
    snprintf(counters, sizeof counters, "Files copied: %d   Dirs: %d", s->files_copied, s->dirs_copied);
    text(f, TEXT_X, 78, 0xB9B9B9, counters);
    if (rect(f, BAR_X, BAR_Y, bar_width, BAR_HEIGHT, 0x483D3A, "gui_fill_rect(bar_bg)") < 0) return -1;
    int64_t filled = int64_t{bar_width} * p;
    if (filled >= 1000 &&
        rect(f, BAR_X, BAR_Y, static_cast<int32_t>(filled / 1000), BAR_HEIGHT, 0xF0B056, "gui_fill_rect(bar_fg)") < 0)
        return -1;
    char percent[64];
    snprintf(percent, sizeof percent, "Progress: %d%%", p / 10);
    text(f, TEXT_X, 138, 0xE6D2BE, percent);
    text(f, TEXT_X, 158, COLOUR_HINT, s->detail_text[0] ? s->detail_text : "Please wait...");
    return 0;
}

int draw_step(const frame& f, const installer_state* s) {
    char line[96];
    switch (s->step) {
        case STEP_WELCOME: return draw_lines(f, WELCOME_LINES);
        case STEP_DRIVE: return draw_drive_step(f, s);
        case STEP_OPTIONS: return draw_options_step(f, s);
        case STEP_CONFIRM:
            snprintf(line, sizeof line, "Target drive: %d", s->target_drive);
            return draw_lines(f, CONFIRM_LINES, line);
        case STEP_INSTALL:
        case STEP_BOOTLOADER: return draw_progress(f, s);
        case STEP_DONE:
            snprintf(line, sizeof line, "Copied files: %d   directories: %d", s->files_copied, s->dirs_copied);
            return draw_lines(f, DONE_LINES, line);
        case STEP_FAILED: return draw_lines(f, FAILED_LINES, s->error_text);
        default: return draw_lines(f, STATE_ERROR_LINES);
    }
}

}  // namespace

void gui_call_failed(const char* label, long rc, int32_t step) {
    ++g_gui_draw_failures;
    if (g_gui_draw_failures <= FAILURES_ALWAYS_PRINTED || g_gui_draw_failures % FAILURE_PRINT_INTERVAL == 0)
        qor::print("[installer] gui call failed: %s rc=%ld step=%d failures=%d\n", label, rc, step,
                   g_gui_draw_failures);
}

int draw_ui(long handle, const installer_state* s) {
    frame f{handle, DEFAULT_WIDTH, s->step};
    qor::gui_size size{DEFAULT_WIDTH, DEFAULT_HEIGHT};
    long rc = qor::gui_get_content_size(handle, &size);
    if (rc < 0) gui_call_failed("gui_get_content_size", rc, s->step);
    else f.width = size.width;  // the height plays no part in the layout
    if (checked(qor::gui_begin(handle), "gui_begin", s->step) < 0) return -1;
    if (checked(qor::gui_clear(handle, COLOUR_BACKGROUND), "gui_clear", s->step) < 0) return -1;
    if (rect(f, 0, 0, f.width, 24, COLOUR_HEADER, "gui_fill_rect(header)") < 0) return -1;
    text(f, TEXT_X, 6, COLOUR_TITLE, "QOR-OS Installer");
    if (draw_step(f, s) < 0) return -1;
    return checked(qor::gui_present(handle), "gui_present", s->step);
}
