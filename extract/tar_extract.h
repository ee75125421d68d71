// The tar header loop of the extract command: regular files and directories
// are written under the destination, every other entry type is skipped.
#pragma once

#include <cstdint>

#include "archive_reader.h"

constexpr int TAR_SIZE_OFFSET = 124;
constexpr int TAR_SIZE_FIELD = 12;
constexpr int TAR_TYPEFLAG_OFFSET = 156;
constexpr int32_t TAR_DATA_CHUNK = 1024;

struct tar_counts {
    uint32_t files;
    uint32_t directories;
    uint32_t skipped;
};

// Reads the octal size field (leading NULs and spaces skipped, ended by NUL,
// space or the field's end). 0, or -1 for any other byte or a value above
// 32 bits.
int tar_parse_size(const uint8_t field[TAR_SIZE_FIELD], uint32_t* size);

// What a listing pass learns of each entry extraction would write, in
// archive order and under the same relative paths: a regular file's data
// in pieces between its begin and end, a directory's path. Each returns 0
// to go on, -1 to end the pass.
struct tar_list_sink {
    void* context;
    int (*file_begin)(void* context, const char* relative);
    int (*file_data)(void* context, const uint8_t* data, uint32_t len);
    int (*file_end)(void* context, uint32_t size);
    int (*directory)(void* context, const char* relative);
};

// Walks the archive as tar_extract_entries would extract it into
// `destination` (the same reader, name rules and fatal conditions) and
// writes nothing, its lines kept quiet when `quiet` is 1: 0, or -1 when
// extraction would have ended fatally or the sink refused.
int tar_list_entries(archive_reader* r, const char* destination, const tar_list_sink* sink, int quiet);

// Extracts every entry of the archive into `destination` until the content
// or the end-of-archive marker ends. 0, or -1 after a fatal failure (its
// message, if it has one, already printed). The counts are kept either way.
int tar_extract_entries(archive_reader* r, const char* destination, tar_counts* counts);
