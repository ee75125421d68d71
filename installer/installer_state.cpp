#include "installer_state.h"

#include <cstring>

long g_installer_gui_handle = -1;
int32_t g_gui_draw_failures = 0;

void installer_state_init(installer_state* s) {
    memset(s, 0, sizeof *s);
    s->running = 1;
    s->step = STEP_WELCOME;
}
