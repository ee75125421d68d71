// The install options: base packages from the media's manifest, fonts from
// its font directory, and the one scrolling list that edits them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "installer_state.h"

constexpr int MANIFEST_LINE_MAX = 159;
constexpr int OPTION_ROWS_VISIBLE = 10;
constexpr int OPTION_ROW_TEXT_SIZE = 176;

// The first word of one manifest line into out (64 bytes): 0 when a name was
// written, 1 for a blank or comment line, -1 for a name over 63 characters.
int parse_manifest_line(const char* line, char* out);

// Reads "RAM:/installer/base.manifest": 0 with *count set; -1 on any failure
// (*count unchanged, the names read so far left in the table).
int read_manifest_packages(char names[MAX_PACKAGES][NAME_SIZE], int32_t* count);

// The regular files of "RAM:/fonts", sorted in byte order: 0 with *count
// set; -2 when the directory cannot be opened (*count = 0); -1 on any other
// failure.
int read_directory_file_names(char names[MAX_FONTS][NAME_SIZE], int32_t* count);

// Loads the options once per run with their defaults: 0 when ready, -1 on
// failure. Later calls keep every choice, the cursor and the scroll.
int installer_prepare_options(installer_state* s);

// Keeps option_cursor within the list and option_scroll so that the ten
// visible rows hold the cursor and never end in empty rows.
void options_ensure_cursor_visible(installer_state* s);

// One key on the options step (cursor, toggles, toggle all, back,
// continue), then the cursor is kept visible.
void options_handle_key(installer_state* s, int32_t code);

// How many of the loaded packages are selected.
int32_t selected_packages(const installer_state* s);

// How many of the fonts on the media are selected, whether fonts are on or not.
int32_t selected_fonts(const installer_state* s);

// Rows of the option list: packages, icons, fonts, the fonts while fonts are
// on, compiler, continue.
int32_t option_row_total(const installer_state* s);

// The text of row `row` (empty for a row outside the list), cut to `size`.
void option_row_text(const installer_state* s, int32_t row, char* out, size_t size);
