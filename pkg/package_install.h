// Installing one package of the loaded index onto the current drive, and the
// file operations and extraction runner it uses.
#pragma once

#include <cstdint>

#include "package_index.h"

// Installs `entry` (an entry of `index`) into its install directory: 0, or
// -1 with the reason printed as an "install: " line.
int install_package(const package_index* index, const package_entry* entry);

// Sets the confirmation mode (1: accept every warning, anything else: ask on
// the standard input); returns the previous mode.
int package_set_confirm_mode(int mode);

// Unpacks a tar or tar.gz archive into a directory with the system's extract
// program, or in process when it cannot be started: 0 or -1.
int pkg_extract_archive(const char* archive_path, const char* destination);

// 1 when the path is a directory, else 0.
int pkg_path_is_directory(const char* path);

// 0 when the directory exists or was made (one level), -1 otherwise.
int pkg_ensure_dir_exists(const char* path);

// 0 with the file's size (counted by reading it), or -1.
int pkg_measure_file_size(const char* path, uint32_t* size);

// Copies a file through the streaming-write service: 0 or -1.
int pkg_copy_file_to_path(const char* source, const char* target);
