// Index loading: local file, then network.
#include "index_load.h"

#include <cstdlib>
#include <cstring>

#include "download.h"
#include "qor.h"
#include "qor_print.h"

#ifndef QOR_DEFAULT_INDEX_URL
#error "QOR_DEFAULT_INDEX_URL must name the network index"
#endif

namespace {

constexpr uint32_t IDX_READ_BLOCK = 1024;
constexpr uint32_t IDX_INITIAL_CAPACITY = 4096;

// Grows `*buf` so it holds `needed` bytes (and a NUL): doubling, never past
// IDX_INDEX_MAX_BYTES. 0, or -1 when the heap refuses.
int grow_to(char** buf, uint32_t* capacity, uint32_t needed) {
    uint32_t c = *capacity;
    while (c < needed) c = c * 2 > IDX_INDEX_MAX_BYTES ? IDX_INDEX_MAX_BYTES : c * 2;
    if (c == *capacity) return 0;
    char* grown = static_cast<char*>(realloc(*buf, static_cast<size_t>(c) + 1));
    if (!grown) return -1;
    *buf = grown;
    *capacity = c;
    return 0;
}

// Reads the open file `fd` to its end into a fresh buffer. 0 or -1.
int read_whole(int fd, char** out, uint32_t* len) {
    uint32_t capacity = IDX_INITIAL_CAPACITY;
    char* buf = static_cast<char*>(malloc(capacity + 1));
    if (!buf) return -1;
    uint32_t used = 0;
    char block[IDX_READ_BLOCK];
    for (;;) {
        long n = qor::read(fd, block, sizeof block);
        if (n == 0) break;
        if (n < 0 || n > static_cast<long>(sizeof block) || used + static_cast<uint32_t>(n) > IDX_INDEX_MAX_BYTES ||
            grow_to(&buf, &capacity, used + static_cast<uint32_t>(n)) != 0) {
            free(buf);
            return -1;
        }
        memcpy(buf + used, block, static_cast<size_t>(n));
        used += static_cast<uint32_t>(n);
    }
    buf[used] = '\0';
    *out = buf;
    *len = used;
    return 0;
}

// Parses a loaded text and releases it; the parser's result.
int parse_and_release(package_index* index, char* text, uint32_t len, const char* label) {
    int r = idx_parse_index_bytes(index, text, len, label);
    free(text);
    return r;
}

}  // namespace

const char* index_default_url() { return QOR_DEFAULT_INDEX_URL; }

int idx_read_file_to_buffer(char** out, uint32_t* len) {
    if (!out || !len) return -1;
    long fd = qor::open(IDX_LOCAL_INDEX_PATH, qor::O_READ);
    if (fd < 0) return -1;
    int r = read_whole(static_cast<int>(fd), out, len);
    qor::close(static_cast<int>(fd));
    return r;
}

int index_fetch_and_parse(package_index* index) {
    if (!index) return -1;
    char* text = nullptr;
    uint32_t len = 0;
    if (idx_read_file_to_buffer(&text, &len) == 0) {
        if (parse_and_release(index, text, len, "local index") == 0) return 0;
        qor::print("install: falling back to network index\n");
    }
    if (package_download_url_to_buffer(index_default_url(), &text, &len, IDX_INDEX_MAX_BYTES) != 0) {
        qor::print("install: failed to fetch package index from %s\n", index_default_url());
        return -1;
    }
    return parse_and_release(index, text, len, "network index");
}
