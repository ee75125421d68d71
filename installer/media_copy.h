// Copying from the installation media onto the target drive: single files
// and whole trees, with the directories they need, reporting as they go.
#pragma once

#include <cstddef>

#include "dir_listing.h"
#include "installer_state.h"

// Every path built here fits this buffer: 255 characters and the NUL.
constexpr int COPY_PATH_SIZE = 256;

// True for "." and "..": listed, but no entry to copy or offer.
bool is_dot_name(const char* name);

// 1 when `path` names a directory (it opens and lists), else 0.
int path_is_directory(const char* path);

// `base` and `name` joined with one "/" (none added when `base` is empty or
// ends in "/") into `out` (COPY_PATH_SIZE bytes): 0, or -1 when the result is
// empty or longer than 255 characters (`out` is then not to be used).
int join_path2(const char* base, const char* name, char* out);

// Makes the absolute target directory `path` and its missing ancestors: 0
// when it is a directory afterwards, -1 otherwise (nothing reported).
int ensure_target_directory(const char* path);

// Copies the media file `source` to `target`, showing `label` (when not
// empty) as the detail line and the bar within the running step: 0, or -1
// with the failure already reported.
int copy_media_file_to_target(installer_state* s, const char* source, const char* target, const char* label);

// Copies the media directory `source` and everything below it to `target`:
// 0, or -1 at the first failure (a failed file is reported, the rest not).
int copy_media_tree_recursive(installer_state* s, const char* source, const char* target);

// Copies the media tree `source` to `target`: 0, or -1 with the failure
// reported; a source that is no directory reports `missing` (nothing when it
// is empty).
int copy_media_tree_to_target(installer_state* s, const char* source, const char* target, const char* missing);
