#include "wizard_keys.h"

#include "install_options.h"
#include "qor_calls.h"
#include "reporting.h"
#include "run_installation.h"

namespace {

int32_t low_byte(int32_t code) { return code & 0xFF; }

// Cursor keys move within the drives; Enter takes the highlighted drive and
// loads the options (once per run).
void drive_step_key(installer_state* s, int32_t code) {
    if (code == qor::KEY_UP) {
        if (s->drive_cursor > 0) --s->drive_cursor;
    } else if (code == qor::KEY_DOWN) {
        if (s->drive_cursor + 1 < s->drive_count) ++s->drive_cursor;
    } else if (key_is_enter(code) && s->drive_count > 0) {
        s->target_drive = s->drives[s->drive_cursor];
        if (installer_prepare_options(s) < 0) error_set(s, "Failed to load installer options");
        else s->step = STEP_OPTIONS;
    }
}

}  // namespace

bool key_is_letter(int32_t code, char upper) { return (low_byte(code) & 0xDF) == upper; }

bool key_is_quit(int32_t code) { return key_is_letter(code, 'Q'); }

bool key_is_enter(int32_t code) { return low_byte(code) == qor::KEY_ENTER || low_byte(code) == qor::KEY_LINE_FEED; }

bool key_is_space(int32_t code) { return low_byte(code) == qor::KEY_SPACE; }

void wizard_handle_key(installer_state* s, int32_t code) {
    switch (s->step) {
        case STEP_WELCOME:
            if (key_is_enter(code)) s->step = STEP_DRIVE;
            break;
        case STEP_DRIVE: drive_step_key(s, code); break;
        case STEP_OPTIONS: options_handle_key(s, code); break;
        case STEP_CONFIRM:
            if (key_is_enter(code)) run_installation(s);
            break;
        default: break;  // the run and its final screens take only Q
    }
}
