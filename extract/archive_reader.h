// An archive as one sequential byte stream: a plain file, or gzip members
// decoded on the fly. The tar extractor only ever asks for bytes, blocks and
// skips, and never knows whether decompression takes place.
#pragma once

#include <cstdint>

#include "inflate.h"

constexpr int TAR_BLOCK_SIZE = 512;

struct archive_reader {
    int is_gzip;
    int fd;
    inflate_state inflate;
};

// Results of archive_reader_open; each failure has its own message.
enum archive_open_result {
    ARCHIVE_OPEN_OK = 0,
    ARCHIVE_OPEN_HEADER_READ_FAILED = -1,
    ARCHIVE_OPEN_REWIND_FAILED = -2,
    ARCHIVE_OPEN_BAD_GZIP = -3,
};

// Decides between plain and gzip from the first two bytes of the freshly
// opened `fd` and positions the reader at the first content byte. Returns an
// archive_open_result; prints nothing.
int archive_reader_open(archive_reader* r, int fd);

// The line the extract command prints for a failed archive_reader_open.
const char* archive_open_message(int result);

// Up to `size` (at least 1) content bytes: 1..size placed, 0 at the end of
// the content, -1 on failure.
int32_t archive_read_some(archive_reader* r, void* buf, int32_t size);

// Exactly `len` (0 or more) content bytes into `buf`: 0, or -1 when a read
// fails or the content ends first.
int archive_read_exact(archive_reader* r, void* buf, int32_t len);

// One 512-byte block: 1 when whole, 0 when the content ended exactly before
// it, -1 on failure or when the content ended inside it.
int archive_read_block(archive_reader* r, uint8_t block[TAR_BLOCK_SIZE]);

// Exactly `len` content bytes read in pieces of at most 256 bytes: 0, or -1
// as archive_read_exact.
int archive_read_exact_chunked(archive_reader* r, void* buf, uint32_t len);

// Once the tar end marker has been read: checks a gzip archive's member on
// to its trailer, so that data altered before the marker is not taken as
// sound. 0 for a plain archive or a matching trailer, -1 otherwise.
int archive_finish(archive_reader* r);

// Reads and drops exactly `count` bytes: 0, or -1 if any read gives 0 or less.
int archive_discard(archive_reader* r, uint32_t count);

// Drops the padding after an entry of `size` bytes up to the next 512-byte
// boundary: 0 or -1 as archive_discard.
int skip_tar_padding(archive_reader* r, uint32_t size);
