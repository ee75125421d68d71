// Entry names of ustar, GNU and PAX archives.
//
// ustar: name (offset 0, 100 bytes) and prefix (offset 345, 155 bytes), each
// NUL-terminated unless full; the path is prefix "/" name.
// GNU 'L': the data of this entry is the next entry's full name.
// PAX 'x' / 'g' (POSIX.1-2001): data of records "LENGTH KEY=VALUE\n", where
// LENGTH is decimal and counts the whole record; 'x' applies to the next
// entry, 'g' to all later ones. Only the `path` key of 'x' is used here.
#include "tar_names.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "qor.h"
#include "qor_print.h"

namespace {

// Set while a listing pass reads an archive the extractor reads again: its
// lines are the extractor's to print, once.
int g_tar_quiet = 0;

// Length of a header field up to its first NUL, trailing spaces removed.
size_t field_length(const uint8_t* field, size_t size) {
    size_t len = 0;
    while (len < size && field[len] != 0) ++len;
    while (len > 0 && field[len - 1] == ' ') --len;
    return len;
}

// Reads the whole 'x' data into a fresh buffer of size + 1 bytes,
// NUL-terminated. nullptr on failure, with the data dropped when the buffer
// could not be had.
char* read_pax_data(archive_reader* r, uint32_t size) {
    char* data = static_cast<char*>(malloc(size + 1));
    if (!data) {
        archive_discard(r, size);
        return nullptr;
    }
    if (archive_read_exact(r, data, static_cast<int32_t>(size)) != 0) {
        free(data);
        return nullptr;
    }
    data[size] = 0;
    return data;
}

// Copies `len` bytes to `out`; -1 when they do not fit with a NUL.
int copy_path(char out[TAR_PATH_BUFFER], size_t at, const char* text, size_t len) {
    if (at + len + 1 > static_cast<size_t>(TAR_PATH_BUFFER)) return -1;
    memcpy(out + at, text, len);
    out[at + len] = 0;
    return 0;
}

// The archive path from the header's prefix and name. TAR_ENTRY_SKIP when
// they do not fit (message printed) or are both empty (silent).
int header_archive_path(const uint8_t* header, char path[TAR_PATH_BUFFER]) {
    const char* name = reinterpret_cast<const char*>(header + TAR_NAME_OFFSET);
    const char* prefix = reinterpret_cast<const char*>(header + TAR_PREFIX_OFFSET);
    size_t name_len = field_length(header + TAR_NAME_OFFSET, TAR_NAME_SIZE);
    size_t prefix_len = field_length(header + TAR_PREFIX_OFFSET, TAR_PREFIX_SIZE);
    if (name_len == 0 && prefix_len == 0) return TAR_ENTRY_SKIP;
    int fits;
    if (name_len != 0 && prefix_len != 0) {
        fits = copy_path(path, 0, prefix, prefix_len) == 0 && copy_path(path, prefix_len, "/", 1) == 0 &&
               copy_path(path, prefix_len + 1, name, name_len) == 0;
    } else if (name_len != 0) {
        fits = copy_path(path, 0, name, name_len) == 0;
    } else {
        fits = copy_path(path, 0, prefix, prefix_len) == 0;
    }
    if (!fits) {
        tar_say("extract: entry path too long; skipping\n");
        return TAR_ENTRY_SKIP;
    }
    return TAR_ENTRY_EXTRACT;
}

}  // namespace

int tar_set_quiet(int quiet) {
    int previous = g_tar_quiet;
    g_tar_quiet = quiet ? 1 : 0;
    return previous;
}

int tar_say(const char* format, ...) {
    if (g_tar_quiet) return 0;
    char line[qor::PRINT_BUFFER_SIZE];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(line, sizeof line, format, args);
    va_end(args);
    // Every line names at most one path of TAR_PATH_MAX bytes, so it fits.
    static_assert(TAR_PATH_BUFFER + 64 < qor::PRINT_BUFFER_SIZE);
    if (n < 0 || static_cast<size_t>(n) >= sizeof line) return -1;
    return qor::print_text(line);
}

int tar_padding_or_fatal(archive_reader* r, uint32_t size) {
    if (skip_tar_padding(r, size) == 0) return 0;
    tar_say("extract: failed to read tar padding\n");
    return -1;
}

int tar_read_long_name(archive_reader* r, uint32_t size, tar_pending_name* pending, uint32_t* skipped) {
    // Only the first TAR_PATH_MAX bytes can make a name; the rest is read
    // and dropped.
    char name[TAR_PATH_BUFFER];
    uint32_t kept = size < static_cast<uint32_t>(TAR_PATH_MAX) ? size : static_cast<uint32_t>(TAR_PATH_MAX);
    if (archive_read_exact_chunked(r, name, kept) != 0 || archive_discard(r, size - kept) != 0) {
        tar_say("extract: failed to read GNU long-name payload\n");
        return -1;
    }
    name[kept] = 0;  // a NUL inside the data ends the name earlier
    if (tar_padding_or_fatal(r, size) != 0) return -1;
    if (size > static_cast<uint32_t>(TAR_PATH_MAX)) {
        tar_say("extract: GNU long-name is too long for extractor path limit\n");
        *skipped += 1;
        pending->active = 0;
        return 0;
    }
    memcpy(pending->name, name, kept + 1);
    pending->active = 1;
    return 0;
}

int pax_parse_records(const char* data, uint32_t size, char path[TAR_PATH_BUFFER], int* has_path) {
    *has_path = 0;
    uint32_t offset = 0;
    while (offset < size) {
        uint32_t remaining = size - offset;
        const char* record = data + offset;
        uint32_t digits = 0;
        uint32_t length = 0;
        while (digits < remaining && record[digits] >= '0' && record[digits] <= '9') {
            // Past `remaining` the exact value no longer matters: it is refused.
            if (length <= remaining) length = length * 10 + static_cast<uint32_t>(record[digits] - '0');
            ++digits;
        }
        if (digits == 0 || digits == remaining || record[digits] != ' ') return PAX_PARSE_SYNTAX;
        if (length < digits + 2 || length > remaining) return PAX_PARSE_SYNTAX;
        const char* body = record + digits + 1;
        uint32_t body_len = length - digits - 1;
        if (body[body_len - 1] == '\n') --body_len;
        const char* equals = body_len ? static_cast<const char*>(memchr(body, '=', body_len)) : nullptr;
        if (equals) {
            uint32_t key_len = static_cast<uint32_t>(equals - body);
            if (key_len == 4 && memcmp(body, "path", 4) == 0) {
                uint32_t value_len = body_len - key_len - 1;
                if (value_len > static_cast<uint32_t>(TAR_PATH_MAX)) return PAX_PARSE_PATH_LONG;
                memcpy(path, equals + 1, value_len);
                path[value_len] = 0;
                *has_path = 1;
            }
        }
        offset += length;
    }
    return PAX_PARSE_OK;
}

int tar_read_pax_header(archive_reader* r, uint32_t size, tar_pending_name* pending) {
    if (size == 0) return 0;
    if (size > PAX_HEADER_MAX) {
        if (archive_discard(r, size) != 0) {
            tar_say("extract: failed to parse PAX header\n");
            return -1;
        }
        tar_say("extract: PAX header too large\n");
        return -1;
    }
    char* data = read_pax_data(r, size);
    if (!data) {
        tar_say("extract: failed to parse PAX header\n");
        return -1;
    }
    char path[TAR_PATH_BUFFER];
    int has_path = 0;
    int parsed = pax_parse_records(data, size, path, &has_path);
    free(data);
    if (parsed == PAX_PARSE_PATH_LONG) {
        tar_say("extract: PAX path exceeds extractor path limit\n");
        return -1;
    }
    if (parsed != PAX_PARSE_OK) {
        tar_say("extract: failed to parse PAX header\n");
        return -1;
    }
    if (has_path) {
        memcpy(pending->name, path, sizeof path);
        pending->active = 1;
    }
    return tar_padding_or_fatal(r, size);
}

int tar_read_pax_global(archive_reader* r, uint32_t size) {
    if (archive_discard(r, size) != 0) {
        tar_say("extract: failed to read PAX global header\n");
        return -1;
    }
    return tar_padding_or_fatal(r, size);
}

int tar_sanitize_path(const char* archive_path, char relative[TAR_PATH_BUFFER]) {
    const char* p = archive_path;
    while (*p == '/') ++p;
    if (*p == 0) return TAR_PATH_EMPTY;
    size_t len = 0;
    relative[0] = 0;
    while (*p) {
        const char* start = p;
        while (*p && *p != '/') ++p;
        size_t part = static_cast<size_t>(p - start);
        while (*p == '/') ++p;
        if (part == 0 || (part == 1 && start[0] == '.')) continue;
        if (part == 2 && start[0] == '.' && start[1] == '.') return TAR_PATH_UNSAFE;
        for (size_t i = 0; i < part; ++i) {
            if (start[i] == '\\' || start[i] == ':') return TAR_PATH_UNSAFE;
        }
        size_t at = len;
        if (len != 0) {
            if (copy_path(relative, len, "/", 1) != 0) return TAR_PATH_UNSAFE;
            at = len + 1;
        }
        if (copy_path(relative, at, start, part) != 0) return TAR_PATH_UNSAFE;
        len = at + part;
    }
    return len == 0 ? TAR_PATH_EMPTY : TAR_PATH_SAFE;
}

int tar_join_output_path(const char* destination, const char* relative, char output[TAR_PATH_BUFFER]) {
    size_t dest_len = strlen(destination);
    size_t rel_len = strlen(relative);
    if (strcmp(destination, ".") == 0) return copy_path(output, 0, relative, rel_len);
    if (copy_path(output, 0, destination, dest_len) != 0) return -1;
    size_t at = dest_len;
    if (dest_len == 0 || destination[dest_len - 1] != '/') {
        if (copy_path(output, at, "/", 1) != 0) return -1;
        at += 1;
    }
    return copy_path(output, at, relative, rel_len);
}

int tar_entry_path(const uint8_t header[TAR_BLOCK_SIZE], tar_pending_name* pending, const char* destination,
                   char relative[TAR_PATH_BUFFER], char output[TAR_PATH_BUFFER]) {
    char archive_path[TAR_PATH_BUFFER];
    if (pending->active) {
        memcpy(archive_path, pending->name, sizeof archive_path);  // always NUL-terminated
        pending->active = 0;
    } else if (header_archive_path(header, archive_path) != TAR_ENTRY_EXTRACT) {
        return TAR_ENTRY_SKIP;
    }
    int safe = tar_sanitize_path(archive_path, relative);
    if (safe == TAR_PATH_UNSAFE) {
        tar_say("extract: skipped unsafe path: %s\n", archive_path);
        return TAR_ENTRY_SKIP;
    }
    if (safe == TAR_PATH_EMPTY) return TAR_ENTRY_SKIP;
    if (tar_join_output_path(destination, relative, output) != 0) {
        tar_say("extract: output path too long: %s\n", relative);
        return TAR_ENTRY_FATAL;
    }
    return TAR_ENTRY_EXTRACT;
}
