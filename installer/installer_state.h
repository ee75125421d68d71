// The wizard's one state record, owned by main for the whole run and passed
// to every operation of the installer.
#pragma once

#include <cstdint>

constexpr int MAX_DRIVES = 8;
constexpr int MAX_PACKAGES = 256;
constexpr int MAX_FONTS = 64;
constexpr int NAME_SIZE = 64;  // 63 characters and the NUL
constexpr int STATUS_TEXT_SIZE = 128;
constexpr int DETAIL_TEXT_SIZE = 160;
constexpr int ERROR_TEXT_SIZE = 128;

enum installer_step : int32_t {
    STEP_WELCOME = 0,
    STEP_DRIVE = 1,
    STEP_OPTIONS = 2,
    STEP_CONFIRM = 3,
    STEP_INSTALL = 4,
    STEP_BOOTLOADER = 5,
    STEP_DONE = 6,
    STEP_FAILED = 7,
};

struct installer_state {
    int32_t drive_count;
    int32_t drives[MAX_DRIVES];
    int32_t drive_cursor;
    int32_t target_drive;
    int32_t options_loaded;
    int32_t option_cursor;
    int32_t option_scroll;
    int32_t package_count;
    char package_names[MAX_PACKAGES][NAME_SIZE];
    uint8_t package_selected[MAX_PACKAGES];
    int32_t font_count;
    char font_names[MAX_FONTS][NAME_SIZE];
    uint8_t font_selected[MAX_FONTS];
    int32_t seed_icons;
    int32_t seed_fonts;
    int32_t seed_chibicc;
    int32_t step;
    int32_t running;
    int32_t files_copied;
    int32_t dirs_copied;
    int32_t progress_permille;
    int32_t progress_total;
    int32_t progress_done;
    char status_text[STATUS_TEXT_SIZE];
    char detail_text[DETAIL_TEXT_SIZE];
    char error_text[ERROR_TEXT_SIZE];
};

// The window handle, -1 whenever there is no window.
extern long g_installer_gui_handle;
// Failed window calls since start; never reset.
extern int32_t g_gui_draw_failures;

// Zero-fills the record and sets it to the start of a run: running, welcome.
void installer_state_init(installer_state* s);
