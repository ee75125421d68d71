// The installer's window, drawn whole from the state on every call.
#pragma once

#include <cstdint>

#include "installer_state.h"

// Draws the screen of s->step and presents it: 0 when presented, -1 when a
// window call failed and the frame was given up (the failure is counted and
// reported by gui_call_failed).
int draw_ui(long handle, const installer_state* s);

// Counts one failed window call and prints it for failures 1 to 16 and then
// every 64th, so a broken window cannot flood the output.
void gui_call_failed(const char* label, long rc, int32_t step);
