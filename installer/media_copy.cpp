#include "media_copy.h"

#include "package_install.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "qor.h"
#include "reporting.h"

namespace {

constexpr int COPY_CHUNK_SIZE = 256;
// The bar and the window follow a file copy once per 16 KiB, not per chunk.
constexpr int CHUNKS_PER_REPORT = 64;
constexpr int TREE_LISTING_SIZE = 1024;
constexpr int COPY_PATH_MAX = COPY_PATH_SIZE - 1;

// Opens `source` for reading and measures it: the descriptor (negative when
// it does not open) with *total its size, or 0 when it has none to report.
long open_measured_source(const char* source, uint64_t* total) {
    *total = 0;
    long fd = qor::open(source, qor::O_READ);
    if (fd < 0) return fd;
    long size = qor::lseek(static_cast<int>(fd), 0, qor::SEEK_FROM_END);
    if (size <= 0) return fd;  // nothing was moved, the copy starts at the front
    if (qor::lseek(static_cast<int>(fd), 0, qor::SEEK_FROM_START) != 0) {
        // Left at the end, the copy would read nothing and pass an empty
        // file off as the source: start again from a fresh descriptor.
        qor::close(static_cast<int>(fd));
        return qor::open(source, qor::O_READ);
    }
    *total = static_cast<uint64_t>(size);
    return fd;
}

// Moves the bar within the running step, or without a size it can measure
// against only redraws.
void report_copy_progress(installer_state* s, uint64_t copied, uint64_t total) {
    if (total == 0 || total > UINT32_MAX) {
        redraw(s);
        return;
    }
    progress_set_fraction(s, static_cast<uint32_t>(copied < total ? copied : total), static_cast<uint32_t>(total));
}

// Gives up a begun copy: closes the source, ends the stream and reports
// "text: path". Always -1.
int copy_abandoned(installer_state* s, long fd, long handle, const char* text, const char* path) {
    qor::close(static_cast<int>(fd));
    qor::stream_end(handle);
    error_set_path(s, text, path);
    return -1;
}

// Streams every byte of the open source into the begun target. 0 at end of
// file; -1 with the failure reported (source closed, stream ended). A source
// that ends before its measured size has failed to deliver the rest: the
// copy fails rather than leave a truncated target behind as a success.
int stream_source_to_target(installer_state* s, long fd, long handle, const char* source, const char* target,
                            uint64_t total) {
    unsigned char chunk[COPY_CHUNK_SIZE];
    uint64_t copied = 0;
    int chunks = 0;
    for (;;) {
        long n = qor::read(static_cast<int>(fd), chunk, sizeof chunk);
        if (n == 0 && copied < total) return copy_abandoned(s, fd, handle, "Copy source read failed", source);
        if (n == 0) break;
        if (n < 0) return copy_abandoned(s, fd, handle, "Copy source read failed", source);
        if (qor::stream_write(handle, chunk, static_cast<size_t>(n)) != n)
            return copy_abandoned(s, fd, handle, "Copy target write failed", target);
        copied += static_cast<uint64_t>(n);
        if (++chunks == CHUNKS_PER_REPORT) {
            report_copy_progress(s, copied, total);
            chunks = 0;
        }
    }
    if (total != 0 && total <= UINT32_MAX) report_copy_progress(s, copied, total);
    return 0;
}

// Copies one listed entry of the source directory: 0, or -1.
int copy_tree_entry(installer_state* s, const unsigned char* record, const char* source, const char* target) {
    const char* name = listing_record_name(record);
    if (!name) return -1;
    if (!name[0] || is_dot_name(name)) return 0;
    char from[COPY_PATH_SIZE];
    char to[COPY_PATH_SIZE];
    if (join_path2(source, name, from) != 0 || join_path2(target, name, to) != 0) return -1;
    if (record[0]) return copy_media_tree_recursive(s, from, to);
    return copy_media_file_to_target(s, from, to, to);
}

// Copies every entry of the open source directory: 0 when the listing is
// exhausted, -1 at the first failure. The caller closes the directory.
int copy_listed_entries(installer_state* s, long fd, const char* source, const char* target) {
    unsigned char listing[TREE_LISTING_SIZE];
    for (;;) {
        long n = list_directory(static_cast<int>(fd), listing, sizeof listing);
        if (n < 0) return -1;
        if (n == 0) return 0;
        // Fewer bytes than one record hold no record; the next call goes on.
        for (long at = 0; at + qor::DIRENT_SIZE <= n; at += qor::DIRENT_SIZE) {
            if (copy_tree_entry(s, listing + at, source, target) != 0) return -1;
        }
    }
}

}  // namespace

bool is_dot_name(const char* name) { return strcmp(name, ".") == 0 || strcmp(name, "..") == 0; }

int path_is_directory(const char* path) { return pkg_path_is_directory(path); }

int join_path2(const char* base, const char* name, char* out) {
    if (!base || !name || !out) return -1;
    size_t base_len = strlen(base);
    const char* separator = base_len == 0 || base[base_len - 1] == '/' ? "" : "/";
    int len = snprintf(out, COPY_PATH_SIZE, "%s%s%s", base, separator, name);
    return len >= 1 && len <= COPY_PATH_MAX ? 0 : -1;
}

int ensure_target_directory(const char* path) {
    if (!path || path[0] != '/') return -1;
    return pkg_make_dir_with_ancestors(path);
}

int copy_media_file_to_target(installer_state* s, const char* source, const char* target, const char* label) {
    if (label && label[0]) detail_set(s, label);
    uint64_t total = 0;
    long fd = open_measured_source(source, &total);
    if (fd < 0) {
        error_set_path(s, "Copy source open failed", source);
        return -1;
    }
    long handle = qor::stream_begin(target);
    if (handle < 0) {
        qor::close(static_cast<int>(fd));
        error_set_path_code(s, "Copy target create failed", target, handle);
        return -1;
    }
    if (stream_source_to_target(s, fd, handle, source, target, total) != 0) return -1;
    if (qor::close(static_cast<int>(fd)) != 0) {
        qor::stream_end(handle);
        error_set_path(s, "Copy source close failed", source);
        return -1;
    }
    if (qor::stream_end(handle) != 0) {
        error_set_path(s, "Copy finalize failed", target);
        return -1;
    }
    ++s->files_copied;
    return 0;
}

int copy_media_tree_recursive(installer_state* s, const char* source, const char* target) {
    long fd = qor::open(source, qor::O_READ);
    if (fd < 0) return -1;
    if (ensure_target_directory(target) != 0) {
        qor::close(static_cast<int>(fd));
        return -1;
    }
    ++s->dirs_copied;
    int rc = copy_listed_entries(s, fd, source, target);
    qor::close(static_cast<int>(fd));
    return rc;
}

int copy_media_tree_to_target(installer_state* s, const char* source, const char* target, const char* missing) {
    if (path_is_directory(source) != 1) {
        if (missing && missing[0]) error_set(s, missing);
        return -1;
    }
    if (copy_media_tree_recursive(s, source, target) != 0) {
        error_set_path(s, "Failed to copy media tree", source);
        return -1;
    }
    return 0;
}
