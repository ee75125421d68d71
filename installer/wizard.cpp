#include "wizard.h"

#include "disk_prepare.h"
#include "qor.h"
#include "qor_print.h"
#include "reporting.h"
#include "screen.h"
#include "wizard_keys.h"

namespace {

// Waits for events and answers them until Q, a close or a failed wait.
void run_event_loop(long handle, installer_state* s) {
    while (s->running) {
        qor::gui_event event{};
        long rc = qor::gui_wait_event(handle, &event);
        if (rc < 0) break;
        if (rc == 0) continue;
        if (event.type == qor::GUI_EVENT_CLOSE) break;
        if (event.type == qor::GUI_EVENT_KEY) {
            if (key_is_quit(event.code)) break;
            wizard_handle_key(s, event.code);
        }
        draw_ui(handle, s);
    }
    s->running = 0;
}

}  // namespace

int installer_run(installer_state* s) {
    installer_state_init(s);
    status_set(s, "Ready");
    long handle = qor::gui_attach("Installer", "QOR-OS setup");
    if (handle < 0) {
        qor::print("installer: gui_attach failed\n");
        return 1;
    }
    qor::gui_set_font(handle, "");
    g_installer_gui_handle = handle;
    detect_drives(s);
    draw_ui(handle, s);
    run_event_loop(handle, s);
    g_installer_gui_handle = -1;
    return 0;
}
