// The reporting operations: every change of what the window shows goes
// through them. None can fail; texts too long for their field are cut.
#pragma once

#include <cstddef>
#include <cstdint>

#include "installer_state.h"

// Draws the screen when there is a window (g_installer_gui_handle >= 0).
void redraw(const installer_state* s);

// Copies `text` into a field of `size` bytes, cut to size - 1 characters and
// always NUL-terminated (a null text leaves the field empty).
void text_copy_cut(char* field, size_t size, const char* text);

// status_text = text; redraw. Prints nothing.
void status_set(installer_state* s, const char* text);

// detail_text = text; redraw. Prints nothing.
void detail_set(installer_state* s, const char* text);

// error_text = text (at most 127 characters kept); prints "[installer]
// error: " with error_text as kept; step = STEP_FAILED; redraw.
void error_set(installer_state* s, const char* text);

// As error_set, with the message "text: path".
void error_set_path(installer_state* s, const char* text, const char* path);

// As error_set, with the message "text: path (rc=code)".
void error_set_path_code(installer_state* s, const char* text, const char* path, long code);

// Starts the bar of a phase of `total` steps: none done, permille 0,
// detail_text = detail; redraw.
void progress_begin(installer_state* s, int32_t total, const char* detail);

// detail_text = text; one more progress step finished (never beyond
// progress_total); redraw.
void progress_step(installer_state* s, const char* text);

// Advances the bar within the running step to done/total of it (at most
// 999/1000 of the step, never backwards); nothing at all when progress_total
// is 0 or less.
void progress_set_fraction(installer_state* s, uint32_t done, uint32_t total);
