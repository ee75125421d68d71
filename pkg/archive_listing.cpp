// The listing pass: what an archive will put down under its install
// directory, read with the extractor's own reader and header loop before a
// byte of it is written, so a record names exactly what extraction writes.
// It costs one more decoding of the archive; nothing cheaper knows every
// file's digest before the first one is written.
#include "archive_listing.h"

#include <cstring>

#include "archive_reader.h"
#include "qor.h"
#include "tar_extract.h"

namespace {

struct listing_state {
    pkg_record* record;
    int full;  // the record had no room for a path
    pkg_sha256_ctx digest;
    char relative[TAR_PATH_BUFFER];
};

// Records every ancestor of `relative` as a directory extraction makes:
// 0, -1 when one of them is a file already (extraction would fail), -2 when
// the record is full.
int put_parents(pkg_record* r, const char* relative) {
    char work[TAR_PATH_BUFFER];
    size_t len = strlen(relative);
    memcpy(work, relative, len + 1);
    for (size_t i = 1; i < len; ++i) {
        if (work[i] != '/') continue;
        work[i] = 0;
        int32_t at = pkg_record_find(r, work);
        if (at >= 0 && r->paths[at].kind != PKG_PATH_DIR) return -1;
        if (at < 0 && pkg_record_put(r, PKG_PATH_DIR, work, 0, "") != 0) return -2;
        work[i] = '/';
    }
    return 0;
}

int parents_or_full(listing_state* s, const char* relative) {
    int put = put_parents(s->record, relative);
    if (put == -2) s->full = 1;
    return put == 0 ? 0 : -1;
}

int on_file_begin(void* context, const char* relative) {
    listing_state* s = static_cast<listing_state*>(context);
    size_t len = strlen(relative);
    if (len >= sizeof s->relative) return -1;
    memcpy(s->relative, relative, len + 1);
    pkg_sha256_init(&s->digest);
    int32_t at = pkg_record_find(s->record, relative);
    // A file over a directory the archive made fails to extract.
    if (at >= 0 && s->record->paths[at].kind == PKG_PATH_DIR) return -1;
    return parents_or_full(s, relative);
}

int on_file_data(void* context, const uint8_t* data, uint32_t len) {
    listing_state* s = static_cast<listing_state*>(context);
    pkg_sha256_update(&s->digest, data, len);
    return 0;
}

int on_file_end(void* context, uint32_t size) {
    listing_state* s = static_cast<listing_state*>(context);
    char hex[PKG_SHA256_HEX_SIZE];
    pkg_sha256_final_hex(&s->digest, hex);
    if (pkg_record_put(s->record, PKG_PATH_FILE, s->relative, size, hex) == 0) return 0;
    s->full = 1;
    return -1;
}

int on_directory(void* context, const char* relative) {
    listing_state* s = static_cast<listing_state*>(context);
    if (parents_or_full(s, relative) != 0) return -1;
    // A directory entry over a file leaves the file: extraction finds the
    // path there and goes on.
    if (pkg_record_find(s->record, relative) >= 0) return 0;
    if (pkg_record_put(s->record, PKG_PATH_DIR, relative, 0, "") == 0) return 0;
    s->full = 1;
    return -1;
}

// One pass over the archive into the state's record, its lines quiet when
// `quiet`: 0 or -1.
int list_once(const char* archive, listing_state* state, int quiet) {
    // The reader holds two decoding trees and the window: fixed storage.
    static archive_reader reader;
    long fd = qor::open(archive, qor::O_READ);
    if (fd < 0) return -1;
    int result = -1;
    if (archive_reader_open(&reader, static_cast<int>(fd)) == ARCHIVE_OPEN_OK) {
        tar_list_sink sink = {state, on_file_begin, on_file_data, on_file_end, on_directory};
        result = tar_list_entries(&reader, state->record->dir, &sink, quiet);
    }
    qor::close(static_cast<int>(fd));
    return result;
}

}  // namespace

int pkg_list_archive(const char* archive, pkg_record* record) {
    static listing_state state;
    uint32_t kept_paths = record->path_count, kept_pool = record->pool_used;
    state.record = record;
    state.full = 0;
    if (list_once(archive, &state, 1) == 0) return 0;
    int full = state.full;
    if (!full) {
        // Once more aloud, for the extractor's reason, as extraction would
        // have shown it.
        record->path_count = kept_paths;
        record->pool_used = kept_pool;
        list_once(archive, &state, 0);
    }
    record->path_count = kept_paths;
    record->pool_used = kept_pool;
    return full ? -2 : -1;
}
