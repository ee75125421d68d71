#include "reporting.h"

#include <cstdio>
#include <cstring>

#include "qor_print.h"
#include "screen.h"

namespace {

constexpr int32_t PERMILLE_FULL = 1000;

// The value held within 0 to 1000.
int32_t permille_in_range(int64_t value) {
    if (value < 0) return 0;
    return value > PERMILLE_FULL ? PERMILLE_FULL : static_cast<int32_t>(value);
}

// The error operations' shared tail, once error_text holds the message cut
// to its field: the standard output gets the message as kept (a line can be
// no longer than the field the failure screen and the failure line show).
void error_recorded(installer_state* s) {
    qor::print("[installer] error: %s\n", s->error_text);
    s->step = STEP_FAILED;
    redraw(s);
}

}  // namespace

void redraw(const installer_state* s) {
    if (g_installer_gui_handle >= 0) draw_ui(g_installer_gui_handle, s);
}

void text_copy_cut(char* field, size_t size, const char* text) {
    if (size == 0) return;
    size_t len = text ? strnlen(text, size - 1) : 0;
    if (len) memcpy(field, text, len);
    field[len] = '\0';
}

void status_set(installer_state* s, const char* text) {
    text_copy_cut(s->status_text, sizeof s->status_text, text);
    redraw(s);
}

void detail_set(installer_state* s, const char* text) {
    text_copy_cut(s->detail_text, sizeof s->detail_text, text);
    redraw(s);
}

// Each message is kept to error_text's 127 characters; a path that makes it
// longer is cut there, on the screen and on the standard output alike.
void error_set(installer_state* s, const char* text) {
    text_copy_cut(s->error_text, sizeof s->error_text, text);
    error_recorded(s);
}

void error_set_path(installer_state* s, const char* text, const char* path) {
    snprintf(s->error_text, sizeof s->error_text, "%s: %s", text ? text : "", path ? path : "");
    error_recorded(s);
}

void error_set_path_code(installer_state* s, const char* text, const char* path, long code) {
    snprintf(s->error_text, sizeof s->error_text, "%s: %s (rc=%ld)", text ? text : "", path ? path : "", code);
    error_recorded(s);
}

void progress_begin(installer_state* s, int32_t total, const char* detail) {
    s->progress_total = total;
    s->progress_done = 0;
    s->progress_permille = 0;
    detail_set(s, detail);
}

void progress_step(installer_state* s, const char* text) {
    text_copy_cut(s->detail_text, sizeof s->detail_text, text);
    if (s->progress_total > 0) {
        int32_t done = s->progress_done + 1;
        s->progress_done = done < s->progress_total ? done : s->progress_total;
        s->progress_permille = permille_in_range(int64_t{s->progress_done} * PERMILLE_FULL / s->progress_total);
    }
    redraw(s);
}

void progress_set_fraction(installer_state* s, uint32_t done, uint32_t total) {
    if (s->progress_total <= 0) return;
    if (total == 0) return;  // no part of a step can be measured against nothing
    uint64_t part = uint64_t{done < total ? done : total} * PERMILLE_FULL / total;
    if (part > PERMILLE_FULL - 1) part = PERMILLE_FULL - 1;
    int64_t value = (static_cast<int64_t>(part) + int64_t{s->progress_done} * PERMILLE_FULL) / s->progress_total;
    int32_t permille = permille_in_range(value);
    if (permille > s->progress_permille) s->progress_permille = permille;
    redraw(s);
}
