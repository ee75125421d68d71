#include "archive_reader.h"

#include <cstring>

#include "qor.h"

namespace {

constexpr int DISCARD_CHUNK = 256;

}  // namespace

int archive_reader_open(archive_reader* r, int fd) {
    uint8_t magic[2];
    long got = qor::read(fd, magic, 2);  // 0 or 1 byte: a plain file, not an error
    if (got < 0) return ARCHIVE_OPEN_HEADER_READ_FAILED;
    if (qor::lseek(fd, 0, qor::SEEK_FROM_START) != 0) return ARCHIVE_OPEN_REWIND_FAILED;
    memset(r, 0, sizeof *r);
    r->fd = fd;
    if (got != 2 || magic[0] != 0x1F || magic[1] != 0x8B) return ARCHIVE_OPEN_OK;
    r->is_gzip = 1;
    inflate_begin(&r->inflate, fd);
    if (gzip_read_member_header(fd) != 0) return ARCHIVE_OPEN_BAD_GZIP;
    return ARCHIVE_OPEN_OK;
}

const char* archive_open_message(int result) {
    switch (result) {
        case ARCHIVE_OPEN_HEADER_READ_FAILED: return "extract: failed to read archive header";
        case ARCHIVE_OPEN_REWIND_FAILED: return "extract: failed to rewind archive";
        case ARCHIVE_OPEN_BAD_GZIP: return "extract: invalid or unsupported gzip stream";
        default: return "";
    }
}

int32_t archive_read_some(archive_reader* r, void* buf, int32_t size) {
    if (!buf || size < 1) return -1;
    if (r->is_gzip) return gzip_inflate_some(&r->inflate, static_cast<uint8_t*>(buf), size);
    long n = qor::read(r->fd, buf, static_cast<size_t>(size));
    return n < 0 ? -1 : static_cast<int32_t>(n);
}

int archive_read_exact(archive_reader* r, void* buf, int32_t len) {
    uint8_t* out = static_cast<uint8_t*>(buf);
    int32_t got = 0;
    while (got < len) {
        int32_t n = archive_read_some(r, out + got, len - got);
        if (n <= 0) return -1;
        got += n;
    }
    return 0;
}

int archive_read_block(archive_reader* r, uint8_t block[TAR_BLOCK_SIZE]) {
    // The first read alone tells a clean end from a block cut short.
    int32_t n = archive_read_some(r, block, TAR_BLOCK_SIZE);
    if (n <= 0) return n == 0 ? 0 : -1;
    return archive_read_exact(r, block + n, TAR_BLOCK_SIZE - n) == 0 ? 1 : -1;
}

int archive_read_exact_chunked(archive_reader* r, void* buf, uint32_t len) {
    uint8_t* out = static_cast<uint8_t*>(buf);
    while (len > 0) {
        int32_t chunk = len < DISCARD_CHUNK ? static_cast<int32_t>(len) : DISCARD_CHUNK;
        if (archive_read_exact(r, out, chunk) != 0) return -1;
        out += chunk;
        len -= static_cast<uint32_t>(chunk);
    }
    return 0;
}

int archive_finish(archive_reader* r) { return r->is_gzip ? gzip_finish_member(&r->inflate) : 0; }

int archive_discard(archive_reader* r, uint32_t count) {
    uint8_t scratch[DISCARD_CHUNK];
    while (count > 0) {
        int32_t chunk = count < DISCARD_CHUNK ? static_cast<int32_t>(count) : DISCARD_CHUNK;
        if (archive_read_exact(r, scratch, chunk) != 0) return -1;
        count -= static_cast<uint32_t>(chunk);
    }
    return 0;
}

int skip_tar_padding(archive_reader* r, uint32_t size) {
    uint32_t padding = (TAR_BLOCK_SIZE - size % TAR_BLOCK_SIZE) % TAR_BLOCK_SIZE;
    return archive_discard(r, padding);
}
