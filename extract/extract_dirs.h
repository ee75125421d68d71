// Directory making for the extractor: one directory, or every ancestor of a
// path. Paths may carry a drive name ("RAM:/a/b").
#pragma once

// 0 when `path` exists (it opens for reading) or has been made, -1 otherwise.
int ensure_dir_exists(const char* path);

// 0 when every ancestor directory of `path` exists or has been made, -1
// otherwise (also for an empty path or one above 383 characters). The path
// itself is not made.
int ensure_parent_dirs(const char* path);
