// Loading the package index: the copy on the current drive first, the
// network index second.
#pragma once

#include <cstdint>

#include "package_index.h"

constexpr char IDX_LOCAL_INDEX_PATH[] = "/cache/index.json";
constexpr uint32_t IDX_INDEX_MAX_BYTES = 524288;

// Reads the local index file whole. 0 with a heap buffer (the file and a
// NUL; the caller frees it) and its length; -1 when the file is missing,
// unreadable or larger than IDX_INDEX_MAX_BYTES. Prints nothing.
int idx_read_file_to_buffer(char** out, uint32_t* len);

// Fills `index` from the local file, or when that cannot be read or parsed,
// from the default network index. 0 when loaded; -1 when both failed
// (reported) or `index` is null.
int index_fetch_and_parse(package_index* index);

// Uses index bytes read from `source` (a drive path, or a URL when `network`
// is 1): the trust check, then the parser with `label`. Frees `text`. 0 when
// the index is loaded (and its origin noted), -1 when refused (reported).
int idx_use_index_text(package_index* index, char* text, uint32_t len, const char* source, int32_t network,
                       const char* label);

// The URL of the network index (a build setting).
const char* index_default_url();
