// Downloads on top of the HTTP client: a package file streamed to disk and
// kept only when its SHA-256 matches the index, and a whole body collected
// in a bounded heap buffer (which the index loader also reads its file into).
#pragma once

#include <cstdint>

#include "package_index.h"
#include "sha256.h"

// First allocation of a bounded buffer, and the default ceiling of a
// buffered download.
constexpr uint32_t PKG_MEM_INITIAL_CAPACITY = 32768;
constexpr uint32_t PKG_MEM_DEFAULT_LIMIT = 8u * 1024 * 1024;

// Context of the verified download's sink.
struct download_sink {
    long stream;            // host streaming-write handle
    pkg_sha256_ctx digest;  // of every byte written
    uint32_t written;
};

// A bounded heap buffer, the buffering sink's context. `data` always has one
// byte more than `capacity` for the NUL after the bytes;
// used <= capacity <= limit.
struct mem_sink {
    char* data;
    uint32_t used;
    uint32_t capacity;
    uint32_t limit;
};

// Fetches `entry->url` into a new file at `path`, hashing on the way. 0: the
// file is complete and matches `entry->sha256` (size in `*count` when
// given). -1: reported, and no file is left at `path`.
int pkg_download_verified_to_path(const package_entry* entry, const char* path, uint32_t* count);

// Body sink writing to the stream and the digest of a download_sink. 0, or
// -1 when the bytes were not all written.
int pkg_install_sink_write(const uint8_t* data, uint32_t count, void* sink);

// Fetches `url` into a heap buffer holding the body and a NUL; `max` bytes
// at most (0: PKG_MEM_DEFAULT_LIMIT). 0 with `*out` (the caller frees it)
// and `*len`; -1 with nothing to free.
int package_download_url_to_buffer(const char* url, char** out, uint32_t* len, uint32_t max);

// Body sink appending to a mem_sink, growing it up to its limit. 0, or -1
// after printing why.
int pkg_mem_sink_write(const uint8_t* data, uint32_t count, void* sink);

// Starts an empty mem_sink that may grow to `limit` bytes; the first
// allocation holds PKG_MEM_INITIAL_CAPACITY of them at most. 0, or -1 when
// the heap refuses.
int pkg_mem_sink_start(mem_sink* s, uint32_t limit);

// Appends `count` bytes, growing the buffer (doubling, never past the
// limit). Prints nothing: 0; 1 when they would pass the limit; -1 when the
// heap refuses.
int pkg_mem_sink_append(mem_sink* s, const void* data, uint32_t count);

// Ends the bytes with a NUL and hands the buffer to the caller, who frees it.
void pkg_mem_sink_finish(mem_sink* s, char** out, uint32_t* len);
