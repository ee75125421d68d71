#include "install_options.h"

#include <cstdio>
#include <cstring>

#include "media_copy.h"
#include "qor.h"
#include "reporting.h"
#include "wizard_keys.h"

namespace {

constexpr const char* MANIFEST_PATH = "RAM:/installer/base.manifest";
constexpr const char* FONT_DIRECTORY = "RAM:/fonts";
constexpr int MANIFEST_READ_SIZE = 128;
constexpr int LISTING_SIZE = 1024;
constexpr int NAME_MAX_LENGTH = NAME_SIZE - 1;

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// Adds the name on a finished manifest line: 0 when added or nothing was on
// the line, -1 for a bad name or a table already full.
int take_manifest_line(const char* line, char names[MAX_PACKAGES][NAME_SIZE], int32_t* stored) {
    char name[NAME_SIZE];
    int rc = parse_manifest_line(line, name);
    if (rc == 1) return 0;
    if (rc < 0 || *stored >= MAX_PACKAGES) return -1;
    text_copy_cut(names[*stored], NAME_SIZE, name);
    ++*stored;
    return 0;
}

// Every name a listing record can hold fits a table entry.
static_assert(qor::DIRENT_NAME_MAX <= NAME_MAX_LENGTH);

// Stores the font names of one listing: 0, or -1 for a table already full
// or a record that cannot be trusted.
int take_font_records(const unsigned char* listing, long bytes, char names[MAX_FONTS][NAME_SIZE], int32_t* stored) {
    for (long at = 0; at + qor::DIRENT_SIZE <= bytes; at += qor::DIRENT_SIZE) {
        const unsigned char* record = listing + at;
        const char* name = listing_record_name(record);
        if (!name) return -1;
        if (!name[0] || is_dot_name(name) || record[0] != 0) continue;
        if (*stored >= MAX_FONTS) return -1;
        text_copy_cut(names[*stored], NAME_SIZE, name);
        ++*stored;
    }
    return 0;
}

// Stable insertion sort in byte order.
void sort_names(char names[][NAME_SIZE], int32_t count) {
    for (int32_t i = 1; i < count; ++i) {
        char moving[NAME_SIZE];
        memcpy(moving, names[i], NAME_SIZE);
        int32_t j = i;
        for (; j > 0 && strcmp(names[j - 1], moving) > 0; --j) memcpy(names[j], names[j - 1], NAME_SIZE);
        memcpy(names[j], moving, NAME_SIZE);
    }
}

// Row numbers of the fixed rows, in list order.
struct option_rows {
    int32_t icons;
    int32_t fonts;
    int32_t first_font;  // fonts rows run up to the compiler row
    int32_t compiler;    // "base"
    int32_t next;        // continue
};

// The row numbers of the list as it stands (font rows only while fonts are on).
option_rows rows_of(const installer_state* s) {
    option_rows r;
    r.icons = s->package_count;
    r.fonts = r.icons + 1;
    r.first_font = r.fonts + 1;
    r.compiler = r.first_font + (s->seed_fonts ? s->font_count : 0);
    r.next = r.compiler + 1;
    return r;
}

// How many of the first `count` flags (at most `limit`) are set.
int32_t count_set(const uint8_t* flags, int32_t count, int32_t limit) {
    int32_t n = 0;
    for (int32_t i = 0; i < count && i < limit; ++i) n += flags[i] != 0;
    return n;
}

void toggle(uint8_t* flag) { *flag = *flag ? 0 : 1; }
void toggle(int32_t* flag) { *flag = *flag ? 0 : 1; }

// Goes on to the confirmation when a package is selected; otherwise says why not.
void continue_to_confirm(installer_state* s) {
    if (selected_packages(s) == 0) status_set(s, "Select at least one package");
    else s->step = STEP_CONFIRM;
}

// Selects every package when one is unselected, else unselects them all.
void toggle_all_packages(installer_state* s) {
    if (s->package_count <= 0) return;
    uint8_t value = selected_packages(s) < s->package_count ? 1 : 0;
    for (int32_t i = 0; i < s->package_count; ++i) s->package_selected[i] = value;
}

// Enter or Space on the row under the cursor.
void act_on_row(installer_state* s, int32_t row) {
    option_rows r = rows_of(s);
    if (row < 0) return;
    if (row < r.icons) toggle(&s->package_selected[row]);
    else if (row == r.icons) toggle(&s->seed_icons);
    else if (row == r.fonts) {
        if (s->font_count > 0) {
            toggle(&s->seed_fonts);
            options_ensure_cursor_visible(s);
        } else {
            s->seed_fonts = 0;
        }
    } else if (row < r.compiler) toggle(&s->font_selected[row - r.first_font]);
    else if (row == r.compiler) toggle(&s->seed_chibicc);
    else if (row == r.next) continue_to_confirm(s);
}

// The check mark of a row: "x" when set.
char mark(int flag) { return flag ? 'x' : ' '; }

}  // namespace

int parse_manifest_line(const char* line, char* out) {
    while (is_blank(*line)) ++line;
    if (*line == '\0' || *line == '#') return 1;
    size_t len = 0;
    while (line[len] && !is_blank(line[len])) ++len;
    if (len > static_cast<size_t>(NAME_MAX_LENGTH)) return -1;
    memcpy(out, line, len);
    out[len] = '\0';
    return 0;
}

int read_manifest_packages(char names[MAX_PACKAGES][NAME_SIZE], int32_t* count) {
    long fd = qor::open(MANIFEST_PATH, qor::O_READ);
    if (fd < 0) return -1;
    char chunk[MANIFEST_READ_SIZE];
    char line[MANIFEST_LINE_MAX + 1];
    int32_t line_len = 0, stored = 0;
    int rc = 0;
    long n;
    while (rc == 0 && (n = qor::read(static_cast<int>(fd), chunk, sizeof chunk)) != 0) {
        if (n < 0) rc = -1;
        for (long i = 0; rc == 0 && i < n; ++i) {
            char c = chunk[i];
            if (c == '\r') continue;
            if (c == '\n') {
                line[line_len] = '\0';
                line_len = 0;
                rc = take_manifest_line(line, names, &stored);
            } else if (line_len >= MANIFEST_LINE_MAX) {
                rc = -1;
            } else {
                line[line_len++] = c;
            }
        }
    }
    if (rc == 0 && line_len > 0) {
        line[line_len] = '\0';
        rc = take_manifest_line(line, names, &stored);
    }
    qor::close(static_cast<int>(fd));
    if (rc == 0) *count = stored;
    return rc;
}

int read_directory_file_names(char names[MAX_FONTS][NAME_SIZE], int32_t* count) {
    long fd = qor::open(FONT_DIRECTORY, qor::O_READ);
    if (fd < 0) {
        *count = 0;
        return -2;
    }
    unsigned char listing[LISTING_SIZE];
    int32_t stored = 0;
    long n;
    while ((n = list_directory(static_cast<int>(fd), listing, sizeof listing)) != 0) {
        if (n < 0 || take_font_records(listing, n, names, &stored) < 0) {
            qor::close(static_cast<int>(fd));
            return -1;
        }
    }
    qor::close(static_cast<int>(fd));
    sort_names(names, stored);
    *count = stored;
    return 0;
}

int installer_prepare_options(installer_state* s) {
    if (s->options_loaded) return 0;
    if (read_manifest_packages(s->package_names, &s->package_count) < 0 || s->package_count == 0) return -1;
    memset(s->package_selected, 1, sizeof s->package_selected);
    s->seed_icons = 1;
    s->seed_fonts = 0;
    s->seed_chibicc = 0;
    int rc = read_directory_file_names(s->font_names, &s->font_count);
    if (rc == -2) s->font_count = 0;
    else if (rc != 0) return -1;
    memset(s->font_selected, 1, sizeof s->font_selected);
    s->options_loaded = 1;
    s->option_cursor = 0;
    s->option_scroll = 0;
    options_ensure_cursor_visible(s);
    return 0;
}

void options_ensure_cursor_visible(installer_state* s) {
    const int32_t last_first_row = OPTION_ROWS_VISIBLE - 1;
    int32_t total = option_row_total(s);
    if (total <= 0 || s->option_cursor < 0) {
        s->option_cursor = 0;
        s->option_scroll = 0;
        return;
    }
    if (s->option_cursor >= total) s->option_cursor = total - 1;
    if (s->option_scroll < 0) {
        s->option_scroll = 0;
        if (s->option_cursor <= last_first_row) return;
        s->option_scroll = s->option_cursor - last_first_row;
    } else if (s->option_scroll > s->option_cursor) {
        s->option_scroll = s->option_cursor;
    } else if (s->option_cursor > s->option_scroll + last_first_row) {
        s->option_scroll = s->option_cursor - last_first_row;
    }
    int32_t max_scroll = total - OPTION_ROWS_VISIBLE > 0 ? total - OPTION_ROWS_VISIBLE : 0;
    if (s->option_scroll > max_scroll) s->option_scroll = max_scroll;
}

void options_handle_key(installer_state* s, int32_t code) {
    if (code == qor::KEY_UP) {
        if (s->option_cursor > 0) --s->option_cursor;
    } else if (code == qor::KEY_DOWN) {
        if (s->option_cursor <= rows_of(s).compiler) ++s->option_cursor;
    } else if (key_is_enter(code) || key_is_space(code)) {
        act_on_row(s, s->option_cursor);
    } else if (key_is_letter(code, 'A')) {
        toggle_all_packages(s);
    } else if (key_is_letter(code, 'B')) {
        s->step = STEP_DRIVE;
    } else if (key_is_letter(code, 'I')) {
        continue_to_confirm(s);
    }
    options_ensure_cursor_visible(s);
}

int32_t selected_packages(const installer_state* s) {
    return count_set(s->package_selected, s->package_count, MAX_PACKAGES);
}

int32_t selected_fonts(const installer_state* s) { return count_set(s->font_selected, s->font_count, MAX_FONTS); }

int32_t option_row_total(const installer_state* s) { return rows_of(s).next + 1; }

void option_row_text(const installer_state* s, int32_t row, char* out, size_t size) {
    option_rows r = rows_of(s);
    if (row < 0 || row > r.next) text_copy_cut(out, size, "");
    else if (row < r.icons) snprintf(out, size, "[%c] package: %s", mark(s->package_selected[row]), s->package_names[row]);
    else if (row == r.icons) snprintf(out, size, "[%c] seed /icons and /icons16", mark(s->seed_icons));
    else if (row == r.fonts && s->font_count > 0) snprintf(out, size, "[%c] seed fonts", mark(s->seed_fonts));
    else if (row == r.fonts) text_copy_cut(out, size, "[ ] seed fonts (none available on media)");
    else if (row < r.compiler)
        snprintf(out, size, "    [%c] font: %s", mark(s->font_selected[row - r.first_font]),
                 s->font_names[row - r.first_font]);
    else if (row == r.compiler) snprintf(out, size, "[%c] seed /binaries/chibicc", mark(s->seed_chibicc));
    else text_copy_cut(out, size, "[>] continue to disk format");
}
