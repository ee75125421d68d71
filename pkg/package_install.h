// Installing one package of the loaded index onto the current drive, and the
// file operations and extraction runner it uses.
#pragma once

#include <cstdint>

#include "package_index.h"
#include "sha256.h"

// Install directories and target paths: 255 characters and a NUL.
constexpr uint32_t PKG_INSTALL_PATH_SIZE = 256;

// Installs `entry` (an entry of `index`) into its install directory: 0, or
// -1 with the reason printed as an "install: " line.
int install_package(const package_index* index, const package_entry* entry);

// Sets the confirmation mode (1: accept every warning, anything else: ask on
// the standard input); returns the previous mode.
int package_set_confirm_mode(int mode);

// Unpacks a tar or tar.gz archive into a directory with the system's extract
// program ("/binaries/extract", then "extract" by its bare name) as a child it
// waits for, or in process when neither starts: 0, or -1 with the reason
// printed.
int pkg_extract_archive(const char* archive_path, const char* destination);

// 1 when an extract child started since the last call could not be waited
// for (it may still be writing), else 0.
int pkg_extract_child_unwaited();

// 1 when every "/"-separated component of `path` is a real name: not empty,
// "." or "..". Install directories and record paths are checked with it.
int pkg_path_components_clean(const char* path);

// 1 when the path is a directory, else 0.
int pkg_path_is_directory(const char* path);

// 0 when the path opens (a file counts too) or was made as a directory (one
// level, no ancestors), -1 otherwise. The extractor's own rule, shared.
int pkg_ensure_dir_exists(const char* path);

// Makes `dir` (at most 255 characters) and every missing ancestor; each one
// that cannot be made must already be a directory. 0 or -1.
int pkg_make_dir_with_ancestors(const char* dir);

// 0 with the file's size (counted by reading it), or -1.
int pkg_measure_file_size(const char* path, uint32_t* size);

// Reads a file to its end in 1024-byte pieces: 0 with its size, every byte
// also added to `digest` when one is given; -1 when it cannot be opened or a
// read fails.
int pkg_read_file_through(const char* path, pkg_sha256_ctx* digest, uint32_t* size);

// Copies a file through the streaming-write service: 0 or -1.
int pkg_copy_file_to_path(const char* source, const char* target);

// Asks whether to go on despite `warning`: 1 to go on, 0 to stop. In
// accept-all mode the warning is printed and accepted; otherwise the answer
// is read from the standard input and only "y" or "Y" goes on. An empty
// warning is never confirmed.
int pkg_prompt_confirm(const char* warning);

// The file name a package installs under (`install_name`, or `name` when
// empty) into `out`: 0, or -1 when it is empty, longer than 63 characters,
// names a directory ("." or "..") or holds "/", a backslash or ":".
int pkg_get_install_name(const package_entry* entry, char out[PKG_INSTALL_NAME_SIZE]);

// The absolute directory a package installs into (`install_dir`, or
// "/binaries" when empty, without trailing "/") into `out`: 0, or -1 when it
// is not a clean absolute path of at most 255 characters.
int pkg_get_install_dir(const package_entry* entry, char out[PKG_INSTALL_PATH_SIZE]);

// 1 when `text` ends with `suffix`, ASCII letters compared without case (an
// empty suffix always matches), else 0.
int pkg_has_suffix_ci(const char* text, const char* suffix);
