// Which name a tar entry is written under: the extension headers that only
// name later entries (GNU long name 'L', PAX extended 'x' and global 'g'),
// the name they leave pending, the archive path of an ordinary entry, its
// sanitised relative form and the output path under the destination.
//
// Every fatal failure prints its one line here; the caller then ends the run.
#pragma once

#include <cstdint>

#include "archive_reader.h"

constexpr int TAR_PATH_MAX = 383;                  // longest path, without its NUL
constexpr int TAR_PATH_BUFFER = TAR_PATH_MAX + 1;  // every path buffer
constexpr uint32_t PAX_HEADER_MAX = 16384;         // largest 'x' data parsed

// ustar header fields (offsets and sizes in the 512-byte block).
constexpr int TAR_NAME_OFFSET = 0;
constexpr int TAR_NAME_SIZE = 100;
constexpr int TAR_PREFIX_OFFSET = 345;
constexpr int TAR_PREFIX_SIZE = 155;

// The name an 'L' or 'x' header announces for the next entry; `name` is
// always NUL-terminated and counts only while `active`.
struct tar_pending_name {
    char name[TAR_PATH_BUFFER];
    int active;
};

// Quiet mode (1) keeps the extractor's lines for its own pass when another
// pass reads the same archive first; returns the previous mode.
int tar_set_quiet(int quiet);

// Prints an extractor line unless quiet mode is on: printf-style, the bytes
// written, 0 when quiet, -1 when the line does not fit its buffer.
int tar_say(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Drops the padding after an entry of `size` data bytes: 0, or -1 with the
// failure's line printed. Every entry, extension headers included, ends so.
int tar_padding_or_fatal(archive_reader* r, uint32_t size);

// GNU long name ('L'): sets the pending name, or counts a skip in `skipped`
// when it is too long. 0 to go on, -1 fatal.
int tar_read_long_name(archive_reader* r, uint32_t size, tar_pending_name* pending, uint32_t* skipped);

// PAX extended header ('x'): a `path` record becomes the pending name.
// 0 to go on, -1 fatal.
int tar_read_pax_header(archive_reader* r, uint32_t size, tar_pending_name* pending);

// PAX global header ('g'): read and ignored. 0 to go on, -1 fatal.
int tar_read_pax_global(archive_reader* r, uint32_t size);

// Results of parsing PAX records.
enum pax_parse_result {
    PAX_PARSE_OK = 0,
    PAX_PARSE_SYNTAX = -1,     // "LENGTH KEY=VALUE\n" broken
    PAX_PARSE_PATH_LONG = -2,  // a path value above TAR_PATH_MAX
};

// Parses `size` bytes of PAX records; the last `path` value goes to `path`
// (NUL-terminated) and sets *has_path. Returns a pax_parse_result.
int pax_parse_records(const char* data, uint32_t size, char path[TAR_PATH_BUFFER], int* has_path);

// Results of deciding an ordinary entry's paths.
enum tar_entry_result {
    TAR_ENTRY_EXTRACT = 0,  // relative and output paths are set
    TAR_ENTRY_SKIP = 1,     // skip the entry (any message already printed)
    TAR_ENTRY_FATAL = -1,   // message printed; end the run
};

// Decides the relative and output paths of an ordinary entry from the
// pending name or the header, and consumes the pending name. Returns a
// tar_entry_result.
int tar_entry_path(const uint8_t header[TAR_BLOCK_SIZE], tar_pending_name* pending, const char* destination,
                   char relative[TAR_PATH_BUFFER], char output[TAR_PATH_BUFFER]);

// Results of sanitising an archive path.
enum tar_sanitize_result {
    TAR_PATH_SAFE = 0,
    TAR_PATH_EMPTY = 1,    // nothing left: skip silently
    TAR_PATH_UNSAFE = -1,  // "..", '\', ':' or too long
};

// Turns an archive path into a relative path without ".", "..", empty
// components or a leading '/'. Returns a tar_sanitize_result.
int tar_sanitize_path(const char* archive_path, char relative[TAR_PATH_BUFFER]);

// Joins the destination and a relative path: 0, or -1 when the result does
// not fit TAR_PATH_MAX.
int tar_join_output_path(const char* destination, const char* relative, char output[TAR_PATH_BUFFER]);
