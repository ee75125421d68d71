// Verified and buffered downloads.
#include "download.h"

#include <cstdlib>
#include <cstring>

#include "http_client.h"
#include "qor.h"
#include "qor_print.h"

namespace {

// Ends the stream and removes the file after a failure.
void discard_download(long stream, const char* path) {
    qor::stream_end(stream);
    qor::unlink(path);
}

// Finishes the digest and compares it with the entry's. 0 on a match; -1
// after printing the mismatch lines.
int verify_digest(const package_entry* entry, download_sink* sink) {
    char hex[PKG_SHA256_HEX_SIZE];
    pkg_sha256_final_hex(&sink->digest, hex);
    if (pkg_sha256_match_ci(entry->sha256, hex)) return 0;
    qor::print("install: checksum mismatch for %s\n", entry->name);
    qor::print("install: expected %s\n", entry->sha256);
    qor::print("install: got      %s\n", hex);
    return -1;
}

// Grows the buffer to hold `needed` bytes: doubling, never past the limit.
int mem_sink_grow(mem_sink* s, uint32_t needed) {
    uint64_t capacity = static_cast<uint64_t>(s->capacity) * 2;
    if (capacity < needed) capacity = needed;
    if (capacity > s->limit) capacity = s->limit;
    char* grown = static_cast<char*>(realloc(s->data, capacity + 1));
    if (!grown) return -1;
    s->data = grown;
    s->capacity = static_cast<uint32_t>(capacity);
    return 0;
}

}  // namespace

int pkg_install_sink_write(const uint8_t* data, uint32_t count, void* sink) {
    auto* s = static_cast<download_sink*>(sink);
    if (!s || !data) return -1;
    if (qor::stream_write(s->stream, data, count) != static_cast<long>(count)) return -1;
    pkg_sha256_update(&s->digest, data, count);
    s->written += count;
    return 0;
}

int pkg_download_verified_to_path(const package_entry* entry, const char* path, uint32_t* count) {
    if (!entry || !path) return -1;
    download_sink sink;
    sink.stream = qor::stream_begin(path);
    if (sink.stream < 0) {
        qor::print("install: failed to create %s\n", path);
        return -1;
    }
    pkg_sha256_init(&sink.digest);
    sink.written = 0;
    uint64_t body = 0;
    if (pkg_http_get_stream(entry->url, pkg_install_sink_write, &sink, &body) != 0) {
        discard_download(sink.stream, path);
        return -1;
    }
    if (qor::stream_end(sink.stream) != 0 || verify_digest(entry, &sink) != 0) {
        qor::unlink(path);
        return -1;
    }
    if (sink.written != body) {
        qor::print("install: short write for %s\n", entry->name);
        qor::unlink(path);
        return -1;
    }
    if (count) *count = sink.written;
    return 0;
}

int pkg_mem_sink_start(mem_sink* s, uint32_t limit) {
    s->limit = limit;
    s->capacity = limit < PKG_MEM_INITIAL_CAPACITY ? limit : PKG_MEM_INITIAL_CAPACITY;
    s->used = 0;
    s->data = static_cast<char*>(malloc(static_cast<size_t>(s->capacity) + 1));
    return s->data ? 0 : -1;
}

int pkg_mem_sink_append(mem_sink* s, const void* data, uint32_t count) {
    if (count > s->limit || s->used > s->limit - count) return 1;
    if (s->used + count > s->capacity && mem_sink_grow(s, s->used + count) != 0) return -1;
    memcpy(s->data + s->used, data, count);
    s->used += count;
    return 0;
}

void pkg_mem_sink_finish(mem_sink* s, char** out, uint32_t* len) {
    s->data[s->used] = '\0';
    *out = s->data;
    *len = s->used;
}

int pkg_mem_sink_write(const uint8_t* data, uint32_t count, void* sink) {
    auto* s = static_cast<mem_sink*>(sink);
    if (!s || !data) return -1;
    int r = pkg_mem_sink_append(s, data, count);
    if (r == 1) qor::print("install: download exceeded max allowed size\n");
    if (r == -1) qor::print("install: out of memory buffering download\n");
    return r == 0 ? 0 : -1;
}

int package_download_url_to_buffer(const char* url, char** out, uint32_t* len, uint32_t max) {
    if (!url || !out || !len) return -1;
    mem_sink sink;
    if (pkg_mem_sink_start(&sink, max == 0 ? PKG_MEM_DEFAULT_LIMIT : max) != 0) return -1;
    uint64_t body = 0;
    if (pkg_http_get_stream(url, pkg_mem_sink_write, &sink, &body) != 0) {
        free(sink.data);
        return -1;
    }
    pkg_mem_sink_finish(&sink, out, len);
    return 0;
}
