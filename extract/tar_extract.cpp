// The header loop over a tar archive (POSIX ustar layout, GNU and PAX
// extensions): 512-byte headers, each followed by its data padded to the
// next 512-byte boundary; two all-zero blocks end the archive.
//
// Only the name, prefix, size and typeflag fields are read; mode, owner,
// times, link names and the checksum are ignored.
#include "tar_extract.h"

#include <cstring>

#include "extract_dirs.h"
#include "qor.h"
#include "qor_print.h"
#include "tar_names.h"

namespace {

enum entry_type : uint8_t {
    TYPE_REGULAR_OLD = 0,
    TYPE_REGULAR = '0',
    TYPE_DIRECTORY = '5',
    TYPE_GNU_LONG_NAME = 'L',
    TYPE_PAX_EXTENDED = 'x',
    TYPE_PAX_GLOBAL = 'g',
};

bool block_is_zero(const uint8_t block[TAR_BLOCK_SIZE]) {
    for (int i = 0; i < TAR_BLOCK_SIZE; ++i) {
        if (block[i] != 0) return false;
    }
    return true;
}

// Streams the entry's data into the output file. 0, or -1 after removing a
// begun file; the caller prints the message.
int write_file_data(archive_reader* r, const char* output, uint32_t size, uint8_t* scratch) {
    if (ensure_parent_dirs(output) != 0) return -1;
    long handle = qor::stream_begin(output);
    if (handle < 0) return -1;
    while (size > 0) {
        int32_t chunk = size < static_cast<uint32_t>(TAR_DATA_CHUNK) ? static_cast<int32_t>(size) : TAR_DATA_CHUNK;
        if (archive_read_exact(r, scratch, chunk) != 0 || qor::stream_write(handle, scratch, static_cast<size_t>(chunk)) != chunk) {
            qor::stream_end(handle);
            qor::unlink(output);
            return -1;
        }
        size -= static_cast<uint32_t>(chunk);
    }
    if (qor::stream_end(handle) != 0) {
        qor::unlink(output);
        return -1;
    }
    return 0;
}

// Hands a regular file's data to the listing sink instead of the drive: 0,
// or -1 when a read or the sink fails.
int list_file_data(archive_reader* r, const tar_list_sink* list, const char* relative, uint32_t size,
                   uint8_t* scratch) {
    if (list->file_begin(list->context, relative) != 0) return -1;
    uint32_t left = size;
    while (left > 0) {
        int32_t chunk = left < static_cast<uint32_t>(TAR_DATA_CHUNK) ? static_cast<int32_t>(left) : TAR_DATA_CHUNK;
        if (archive_read_exact(r, scratch, chunk) != 0) return -1;
        if (list->file_data(list->context, scratch, static_cast<uint32_t>(chunk)) != 0) return -1;
        left -= static_cast<uint32_t>(chunk);
    }
    return list->file_end(list->context, size);
}

// A listing pass's counterpart of extract_entry: the same entries, the same
// reads, nothing written. 0 to go on, -1 to end the pass.
int list_entry(archive_reader* r, uint8_t type, uint32_t size, const char* relative, const tar_list_sink* list,
               uint8_t* scratch) {
    if (type == TYPE_REGULAR_OLD || type == TYPE_REGULAR) {
        if (list_file_data(r, list, relative, size, scratch) != 0) return -1;
    } else {
        if (type == TYPE_DIRECTORY && list->directory(list->context, relative) != 0) return -1;
        if (archive_discard(r, size) != 0) return -1;
    }
    return tar_padding_or_fatal(r, size);
}

// Carries out a regular file, directory or skipped-type entry whose output
// path is decided, padding included. 0 to go on, -1 to end the run.
int extract_entry(archive_reader* r, uint8_t type, uint32_t size, const char* relative, const char* output,
                  tar_counts* counts, uint8_t* scratch) {
    if (type == TYPE_REGULAR_OLD || type == TYPE_REGULAR) {
        if (write_file_data(r, output, size, scratch) != 0) {
            tar_say("extract: failed to extract file: %s\n", output);
            return -1;
        }
        counts->files += 1;
    } else if (type == TYPE_DIRECTORY) {
        if (ensure_parent_dirs(output) != 0 || ensure_dir_exists(output) != 0 ||
            (size != 0 && archive_discard(r, size) != 0)) {
            tar_say("extract: failed to extract directory: %s\n", output);
            return -1;
        }
        counts->directories += 1;
    } else {
        if (archive_discard(r, size) != 0) return -1;
        counts->skipped += 1;
        tar_say("extract: skipped type '%c' for %s\n", type, relative);
    }
    return tar_padding_or_fatal(r, size);
}

// One header that is not the end marker. 0 to go on, -1 to end the run.
int process_header(archive_reader* r, const uint8_t header[TAR_BLOCK_SIZE], const char* destination,
                   tar_pending_name* pending, tar_counts* counts, uint8_t* scratch, const tar_list_sink* list) {
    uint32_t size;
    if (tar_parse_size(header + TAR_SIZE_OFFSET, &size) != 0) {
        tar_say("extract: invalid size field in tar entry\n");
        return -1;
    }
    uint8_t type = header[TAR_TYPEFLAG_OFFSET];
    if (type == TYPE_GNU_LONG_NAME) return tar_read_long_name(r, size, pending, &counts->skipped);
    if (type == TYPE_PAX_EXTENDED) return tar_read_pax_header(r, size, pending);
    if (type == TYPE_PAX_GLOBAL) return tar_read_pax_global(r, size);

    char relative[TAR_PATH_BUFFER];
    char output[TAR_PATH_BUFFER];
    int decided = tar_entry_path(header, pending, destination, relative, output);
    if (decided == TAR_ENTRY_FATAL) return -1;
    if (decided == TAR_ENTRY_SKIP) {
        if (archive_discard(r, size) != 0 || skip_tar_padding(r, size) != 0) return -1;
        counts->skipped += 1;
        return 0;
    }
    if (list) return list_entry(r, type, size, relative, list, scratch);
    return extract_entry(r, type, size, relative, output, counts, scratch);
}

// The end marker has been read; a gzip archive's trailer has not, unless the
// marker ended its member. 0, or -1 after the mismatch message.
int end_of_archive(archive_reader* r) {
    if (archive_finish(r) == 0) return 0;
    tar_say("extract: gzip checksum mismatch\n");
    return -1;
}

}  // namespace

int tar_parse_size(const uint8_t field[TAR_SIZE_FIELD], uint32_t* size) {
    int i = 0;
    while (i < TAR_SIZE_FIELD && (field[i] == 0 || field[i] == ' ')) ++i;
    uint32_t value = 0;
    for (; i < TAR_SIZE_FIELD && field[i] != 0 && field[i] != ' '; ++i) {
        if (field[i] < '0' || field[i] > '7') return -1;
        if (value > (UINT32_MAX >> 3)) return -1;  // would not fit 32 bits
        value = value * 8 + static_cast<uint32_t>(field[i] - '0');
    }
    *size = value;
    return 0;
}

namespace {

// The header loop: extraction, or with `list` the listing pass. 0 at the
// end of the archive, -1 fatal.
int walk_entries(archive_reader* r, const char* destination, tar_counts* counts, const tar_list_sink* list) {
    uint8_t header[TAR_BLOCK_SIZE];
    uint8_t lookahead[TAR_BLOCK_SIZE];
    uint8_t scratch[TAR_DATA_CHUNK];
    tar_pending_name pending = {};
    for (;;) {
        int got = archive_read_block(r, header);
        if (got == 0) return 0;
        if (got < 0) {
            tar_say("extract: failed to read tar header\n");
            return -1;
        }
        if (block_is_zero(header)) {
            // One zero block between entries is passed over; two, or one
            // followed by the end of the content, end the archive.
            int more = archive_read_block(r, lookahead);
            if (more == 0) return 0;
            if (more < 0) {
                tar_say("extract: failed to read tar trailer\n");
                return -1;
            }
            if (block_is_zero(lookahead)) return end_of_archive(r);
            memcpy(header, lookahead, TAR_BLOCK_SIZE);
        }
        if (process_header(r, header, destination, &pending, counts, scratch, list) != 0) return -1;
    }
}

}  // namespace

int tar_extract_entries(archive_reader* r, const char* destination, tar_counts* counts) {
    return walk_entries(r, destination, counts, nullptr);
}

int tar_list_entries(archive_reader* r, const char* destination, const tar_list_sink* sink, int quiet) {
    if (!sink) return -1;
    tar_counts counts = {0, 0, 0};
    int previous = tar_set_quiet(quiet);
    int result = walk_entries(r, destination, &counts, sink);
    tar_set_quiet(previous);
    return result;
}
