// Index loading: local file, then network (each mirror in turn), every
// index through the trust check before it is parsed.
#include "index_load.h"

#include <cstdlib>

#include "download.h"
#include "index_trust.h"
#include "qor.h"
#include "qor_print.h"
#include "repositories.h"

#ifndef QOR_DEFAULT_INDEX_URL
#error "QOR_DEFAULT_INDEX_URL must name the network index"
#endif

namespace {

constexpr uint32_t IDX_READ_BLOCK = 1024;

// Reads the open file `fd` to its end into a fresh buffer of at most
// IDX_INDEX_MAX_BYTES. 0 or -1, printing nothing.
int read_whole(int fd, char** out, uint32_t* len) {
    mem_sink text;
    if (pkg_mem_sink_start(&text, IDX_INDEX_MAX_BYTES) != 0) return -1;
    char block[IDX_READ_BLOCK];
    for (;;) {
        long n = qor::read(fd, block, sizeof block);
        if (n == 0) break;
        if (n < 0 || n > static_cast<long>(sizeof block) ||
            pkg_mem_sink_append(&text, block, static_cast<uint32_t>(n)) != 0) {
            free(text.data);
            return -1;
        }
    }
    pkg_mem_sink_finish(&text, out, len);
    return 0;
}

}  // namespace

int idx_use_index_text(package_index* index, char* text, uint32_t len, const char* source, int32_t network,
                       const char* label) {
    int r = index_trust_check(source, network, text, len);
    if (r == 0) r = idx_parse_index_bytes(index, text, len, label);
    free(text);
    return r == 0 ? index_trust_commit() : -1;
}

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
    index_trust_begin();
    char* text = nullptr;
    uint32_t len = 0;
    if (idx_read_file_to_buffer(&text, &len) == 0) {
        if (idx_use_index_text(index, text, len, IDX_LOCAL_INDEX_PATH, 0, "local index") == 0) return 0;
        qor::print("install: falling back to network index\n");
    }
    return repo_load_network_index(index);
}
