// Package record files: building a record, its text form, writing it whole
// and reading it back with its integrity check.
//
// Text form (docs/packages.md): LF-terminated lines, the first
// "qor-package-record 1" (or "qor-package-change 1" for a change in
// progress), then "KEY VALUE" lines, the last "end HEX" with the SHA-256 of
// every byte before it. A path in an "f" or "d" line is the rest of the line
// with bytes below 0x20, 0x7f and "%" written as "%XX".
#include "package_records.h"

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "package_install.h"
#include "qor.h"

namespace {

constexpr const char* RECORD_MAGIC = "qor-package-record 1";
constexpr const char* CHANGE_MAGIC = "qor-package-change 1";
constexpr const char* OLD_PREFIX = "old ";
constexpr uint32_t LINE_MAX_BYTES = 2048;   // the longest line: an "f" line with an encoded path
constexpr uint32_t WRITE_BUFFER_SIZE = 8192;
constexpr uint32_t READ_CHUNK = 8192;

// Lines go out through one buffer into a stream, hashed on the way.
struct record_writer {
    long stream;
    pkg_sha256_ctx digest;
    uint32_t used;
    int failed;
    char buffer[WRITE_BUFFER_SIZE];
};

void writer_flush(record_writer* w) {
    if (w->failed || w->used == 0) return;
    if (qor::stream_write(w->stream, w->buffer, w->used) != static_cast<long>(w->used)) w->failed = 1;
    w->used = 0;
}

void writer_add(record_writer* w, const char* bytes, uint32_t len) {
    if (w->failed) return;
    pkg_sha256_update(&w->digest, bytes, len);
    if (w->used + len > WRITE_BUFFER_SIZE) writer_flush(w);
    if (len > WRITE_BUFFER_SIZE) {
        w->failed = 1;
        return;
    }
    memcpy(w->buffer + w->used, bytes, len);
    w->used += len;
}

__attribute__((format(printf, 2, 3))) void writer_line(record_writer* w, const char* format, ...) {
    char line[LINE_MAX_BYTES];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (n < 0 || static_cast<uint32_t>(n) >= sizeof line) {
        w->failed = 1;
        return;
    }
    writer_add(w, line, static_cast<uint32_t>(n));
}

bool needs_escape(unsigned char c) { return c < 0x20 || c == 0x7f || c == '%'; }

// A path in its line form: 0, or -1 when it does not fit `out`.
int encode_path(const char* path, char* out, uint32_t size) {
    static const char hex[] = "0123456789abcdef";
    uint32_t at = 0;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(path); *p; ++p) {
        if (at + 4 > size) return -1;
        if (needs_escape(*p)) {
            out[at++] = '%';
            out[at++] = hex[*p >> 4];
            out[at++] = hex[*p & 15];
        } else {
            out[at++] = static_cast<char>(*p);
        }
    }
    out[at] = 0;
    return 0;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The line form back into a path: 0, or -1 for a broken escape, a NUL or a
// path that does not fit.
int decode_path(const char* text, char* out, uint32_t size) {
    uint32_t at = 0;
    for (const char* p = text; *p; ++p) {
        if (at + 1 >= size) return -1;
        if (*p != '%') {
            out[at++] = *p;
            continue;
        }
        int hi = hex_value(p[1]);
        int lo = hi < 0 ? -1 : hex_value(p[2]);
        if (lo < 0 || (hi == 0 && lo == 0)) return -1;
        out[at++] = static_cast<char>(hi * 16 + lo);
        p += 2;
    }
    out[at] = 0;
    return 0;
}

void write_body(record_writer* w, const pkg_record* r, const char* prefix) {
    writer_line(w, "%sname %s\n", prefix, r->name);
    writer_line(w, "%sversion %s\n", prefix, r->version);
    writer_line(w, "%sdir %s\n", prefix, r->dir);
    writer_line(w, "%sinstall-name %s\n", prefix, r->install_name);
    writer_line(w, "%sarchive %s\n", prefix, r->archive_sha256);
    for (int32_t i = 0; i < r->dep_count; ++i) writer_line(w, "%sdep %s\n", prefix, r->deps[i]);
    char encoded[LINE_MAX_BYTES - 96];
    for (uint32_t i = 0; i < r->path_count && !w->failed; ++i) {
        const pkg_record_path* p = &r->paths[i];
        if (p->gone) continue;
        if (encode_path(r->pool + p->name_at, encoded, sizeof encoded) != 0) {
            w->failed = 1;
            return;
        }
        if (p->kind == PKG_PATH_FILE)
            writer_line(w, "%sf %lu %s %s\n", prefix, static_cast<unsigned long>(p->size), p->sha256, encoded);
        else
            writer_line(w, "%sd %s\n", prefix, encoded);
    }
}

int is_hex64(const char* text) {
    if (strlen(text) != PKG_SHA256_HEX_DIGITS) return 0;
    for (const char* p = text; *p; ++p)
        if (hex_value(*p) < 0) return 0;
    return 1;
}

// Copies a field value into a buffer of `size`: 0, or -1 when it is empty or
// does not fit (never cut).
int take_field(char* out, uint32_t size, const char* value) {
    size_t len = strlen(value);
    if (len == 0 || len >= size) return -1;
    memcpy(out, value, len + 1);
    return 0;
}

// 1 when `dir` is an install directory as installation makes them: absolute,
// not "/", no trailing "/", clean components.
int is_clean_dir(const char* dir) { return dir[0] == '/' && pkg_record_path_is_clean(dir + 1); }

int is_plain_name(const char* name) {
    return name[0] && strcmp(name, ".") != 0 && strcmp(name, "..") != 0 && !strpbrk(name, "/\\:");
}

// What reading a file has gathered so far.
struct record_reader {
    pkg_record* r;
    pkg_record* old;
    int change;
    int is_change_file;
    int lines;
    int have_old;
    char* why;
};

__attribute__((format(printf, 2, 3))) int refuse(record_reader* rd, const char* format, ...) {
    va_list args;
    va_start(args, format);
    vsnprintf(rd->why, PKG_RECORD_WHY_SIZE, format, args);  // a reason, shown cut to its buffer
    va_end(args);
    return -1;
}

// One "f SIZE HEX PATH" or "d PATH" line's rest into `r`: 0 or -1.
int parse_path_line(record_reader* rd, pkg_record* r, char kind, const char* rest) {
    uint32_t size = 0;
    char hex[PKG_SHA256_HEX_SIZE] = "";
    const char* encoded = rest;
    if (kind == 'f') {
        char* end = nullptr;
        unsigned long value = strtoul(rest, &end, 10);
        if (end == rest || *end != ' ' || value > UINT32_MAX || rest[0] == '-') return refuse(rd, "bad file size");
        size = static_cast<uint32_t>(value);
        if (strlen(end + 1) < PKG_SHA256_HEX_DIGITS + 2 || end[1 + PKG_SHA256_HEX_DIGITS] != ' ')
            return refuse(rd, "bad file digest");
        memcpy(hex, end + 1, PKG_SHA256_HEX_DIGITS);
        hex[PKG_SHA256_HEX_DIGITS] = 0;
        if (!is_hex64(hex)) return refuse(rd, "bad file digest");
        encoded = end + 2 + PKG_SHA256_HEX_DIGITS;
    }
    char path[TAR_PATH_BUFFER];
    if (decode_path(encoded, path, sizeof path) != 0) return refuse(rd, "bad path");
    if (!pkg_record_path_is_clean(path)) return refuse(rd, "path not inside its directory: %s", path);
    if (pkg_record_find(r, path) >= 0) return refuse(rd, "path listed twice: %s", path);
    if (pkg_record_put(r, static_cast<uint8_t>(kind), path, size, hex) != 0) return refuse(rd, "too many paths");
    return 0;
}

// One line (without its LF) of a record or change file: 0 or -1.
int parse_line(record_reader* rd, char* line) {
    if (rd->lines++ == 0) {
        if (strcmp(line, RECORD_MAGIC) == 0) return 0;
        if (strcmp(line, CHANGE_MAGIC) == 0) return rd->is_change_file = 1, 0;
        return refuse(rd, "not a package record");
    }
    pkg_record* r = rd->r;
    if (strncmp(line, OLD_PREFIX, strlen(OLD_PREFIX)) == 0) {
        if (!rd->is_change_file || !rd->old) return refuse(rd, "unexpected line");
        line += strlen(OLD_PREFIX);
        r = rd->old;
        rd->have_old = 1;
    }
    char* space = strchr(line, ' ');
    if (!space) return refuse(rd, "unexpected line");
    *space = 0;
    const char* key = line;
    const char* value = space + 1;
    if (strcmp(key, "change") == 0 && rd->is_change_file && r == rd->r) {
        if (strcmp(value, "install") == 0) rd->change = PKG_CHANGE_INSTALL;
        else if (strcmp(value, "remove") == 0) rd->change = PKG_CHANGE_REMOVE;
        else return refuse(rd, "unknown change");
        return 0;
    }
    if (strcmp(key, "name") == 0) {
        if (take_field(r->name, PKG_RECORD_NAME_MAX + 1, value) != 0 || !is_plain_name(r->name))
            return refuse(rd, "bad name");
        return 0;
    }
    if (strcmp(key, "version") == 0)
        return take_field(r->version, sizeof r->version, value) == 0 ? 0 : refuse(rd, "bad version");
    if (strcmp(key, "dir") == 0) {
        if (take_field(r->dir, sizeof r->dir, value) != 0 || !is_clean_dir(r->dir)) return refuse(rd, "bad directory");
        return 0;
    }
    if (strcmp(key, "install-name") == 0) {
        if (take_field(r->install_name, sizeof r->install_name, value) != 0 || !is_plain_name(r->install_name))
            return refuse(rd, "bad install name");
        return 0;
    }
    if (strcmp(key, "archive") == 0) {
        if (!is_hex64(value)) return refuse(rd, "bad archive digest");
        memcpy(r->archive_sha256, value, PKG_SHA256_HEX_SIZE);
        return 0;
    }
    if (strcmp(key, "dep") == 0) {
        if (r->dep_count >= PKG_MAX_DEPS || take_field(r->deps[r->dep_count], PKG_NAME_SIZE, value) != 0)
            return refuse(rd, "bad dependency");
        r->dep_count++;
        return 0;
    }
    if ((key[0] == 'f' || key[0] == 'd') && key[1] == 0) {
        if (!r->dir[0]) return refuse(rd, "path before directory");
        return parse_path_line(rd, r, key[0], value);
    }
    return refuse(rd, "unexpected line");
}

// 0 when every field a record needs is there.
int complete(record_reader* rd, const pkg_record* r) {
    if (!r->name[0] || !r->version[0] || !r->dir[0] || !r->install_name[0] || !r->archive_sha256[0])
        return refuse(rd, "fields missing");
    return 0;
}

// Reads the file line by line, checking the closing digest: 0, -2 (reason
// in rd->why).
int read_lines(long fd, record_reader* rd) {
    static char chunk[READ_CHUNK];
    static char line[LINE_MAX_BYTES];
    pkg_sha256_ctx digest;
    pkg_sha256_init(&digest);
    uint32_t line_len = 0;
    int ended = 0;
    long n;
    while ((n = qor::read(static_cast<int>(fd), chunk, sizeof chunk)) > 0) {
        for (long i = 0; i < n; ++i) {
            if (ended) return (refuse(rd, "bytes after its end"), -2);
            char c = chunk[i];
            if (c == 0) return (refuse(rd, "not a package record"), -2);
            if (c != '\n') {
                if (line_len + 1 >= LINE_MAX_BYTES) return (refuse(rd, "line too long"), -2);
                line[line_len++] = c;
                continue;
            }
            line[line_len] = 0;
            if (strncmp(line, "end ", 4) == 0) {
                char hex[PKG_SHA256_HEX_SIZE];
                pkg_sha256_final_hex(&digest, hex);
                if (strcmp(line + 4, hex) != 0) return (refuse(rd, "its check does not match"), -2);
                ended = 1;
            } else {
                pkg_sha256_update(&digest, line, line_len);
                pkg_sha256_update(&digest, "\n", 1);
                if (parse_line(rd, line) != 0) return -2;
            }
            line_len = 0;
        }
    }
    if (n < 0) return (refuse(rd, "cannot be read"), -2);
    if (!ended) return (refuse(rd, "cut short"), -2);
    return 0;
}

int has_suffix(const char* name, const char* suffix) {
    size_t n = strlen(name), k = strlen(suffix);
    return n > k && strcmp(name + n - k, suffix) == 0;
}

}  // namespace

int32_t pkg_records_list(const char* suffix, char (*names)[PKG_RECORD_FILE_NAME_MAX + 1], int32_t max) {
    long fd = qor::open(PKG_RECORDS_DIR, qor::O_READ);
    if (fd < 0) return 0;
    static uint8_t listing[32 * qor::DIRENT_SIZE];
    int32_t count = 0;
    int too_many = 0;
    long n;
    while ((n = qor::getdents(static_cast<int>(fd), listing, sizeof listing)) > 0) {
        for (long at = 0; at + static_cast<long>(qor::DIRENT_SIZE) <= n; at += qor::DIRENT_SIZE) {
            const char* name = reinterpret_cast<const char*>(listing + at + 8);
            if (listing[at] != 0 || !has_suffix(name, suffix)) continue;
            size_t len = strnlen(name, PKG_RECORD_FILE_NAME_MAX + 1);
            if (count >= max || len > PKG_RECORD_FILE_NAME_MAX) {
                too_many = 1;
                continue;
            }
            memcpy(names[count++], name, len + 1);
        }
    }
    qor::close(static_cast<int>(fd));
    return n < 0 || too_many ? -1 : count;
}

const char* pkg_record_path_name(const pkg_record* r, uint32_t i) {
    return r && i < r->path_count ? r->pool + r->paths[i].name_at : nullptr;
}

int pkg_record_start(pkg_record* r, const package_entry* entry) {
    r->path_count = 0;
    r->pool_used = 0;
    r->dep_count = 0;
    memset(r->name, 0, sizeof r->name);
    if (pkg_get_install_dir(entry, r->dir) != 0 || pkg_get_install_name(entry, r->install_name) != 0) return -1;
    if (take_field(r->name, sizeof r->name, entry->name) != 0 ||
        take_field(r->version, sizeof r->version, entry->version) != 0)
        return -1;
    memcpy(r->archive_sha256, entry->sha256, PKG_SHA256_HEX_SIZE);
    for (int32_t i = 0; i < entry->dep_count && i < PKG_MAX_DEPS; ++i) {
        memcpy(r->deps[i], entry->deps[i], PKG_NAME_SIZE);
        r->dep_count++;
    }
    return 0;
}

int32_t pkg_record_find(const pkg_record* r, const char* relative) {
    for (uint32_t i = 0; i < r->path_count; ++i)
        if (!r->paths[i].gone && strcmp(r->pool + r->paths[i].name_at, relative) == 0) return static_cast<int32_t>(i);
    return -1;
}

int pkg_record_put(pkg_record* r, uint8_t kind, const char* relative, uint32_t size, const char* sha256) {
    int32_t at = pkg_record_find(r, relative);
    if (at >= 0) {
        // A later entry of the same path replaces what the earlier one wrote.
        pkg_record_path* p = &r->paths[at];
        p->kind = kind;
        p->size = size;
        memcpy(p->sha256, sha256, PKG_SHA256_HEX_SIZE);
        return 0;
    }
    size_t len = strlen(relative);
    if (r->path_count >= PKG_RECORD_MAX_PATHS || r->pool_used + len + 1 > PKG_RECORD_POOL_SIZE) return -1;
    pkg_record_path* p = &r->paths[r->path_count++];
    p->name_at = r->pool_used;
    p->size = size;
    p->kind = kind;
    p->gone = 0;
    memcpy(p->sha256, sha256, PKG_SHA256_HEX_SIZE);
    memcpy(r->pool + r->pool_used, relative, len + 1);
    r->pool_used += static_cast<uint32_t>(len + 1);
    return 0;
}

int pkg_record_drive_path(const pkg_record* r, const char* relative, char out[PKG_DRIVE_PATH_SIZE]) {
    int n = snprintf(out, PKG_DRIVE_PATH_SIZE, "%s/%s", r->dir, relative);
    return n >= 0 && static_cast<uint32_t>(n) < PKG_DRIVE_PATH_SIZE ? 0 : -1;
}

int pkg_record_file_path(const char* name, const char* suffix, char out[PKG_DRIVE_PATH_SIZE]) {
    if (!name || strlen(name) > PKG_RECORD_NAME_MAX || !is_plain_name(name)) return -1;
    int n = snprintf(out, PKG_DRIVE_PATH_SIZE, "%s/%s%s", PKG_RECORDS_DIR, name, suffix);
    return n >= 0 && static_cast<uint32_t>(n) < PKG_DRIVE_PATH_SIZE ? 0 : -1;
}

int pkg_record_path_is_clean(const char* relative) {
    size_t len = strlen(relative);
    if (len == 0 || len > static_cast<size_t>(TAR_PATH_MAX) || relative[0] == '/') return 0;
    if (strpbrk(relative, "\\:")) return 0;
    return pkg_path_components_clean(relative);
}

int pkg_record_write(const char* path, const pkg_record* r, int change, const pkg_record* old) {
    static record_writer w;
    qor::unlink(path);
    w.stream = qor::stream_begin(path);
    if (w.stream < 0) return -1;
    w.used = 0;
    w.failed = 0;
    pkg_sha256_init(&w.digest);
    writer_line(&w, "%s\n", change ? CHANGE_MAGIC : RECORD_MAGIC);
    if (change) writer_line(&w, "change %s\n", change == PKG_CHANGE_REMOVE ? "remove" : "install");
    write_body(&w, r, "");
    if (change && old && old->name[0]) write_body(&w, old, OLD_PREFIX);
    char hex[PKG_SHA256_HEX_SIZE];
    pkg_sha256_ctx closing = w.digest;
    pkg_sha256_final_hex(&closing, hex);
    char end_line[8 + PKG_SHA256_HEX_SIZE];
    snprintf(end_line, sizeof end_line, "end %s\n", hex);
    // The closing line is not part of what it checks.
    if (!w.failed) {
        if (w.used + strlen(end_line) > WRITE_BUFFER_SIZE) writer_flush(&w);
        memcpy(w.buffer + w.used, end_line, strlen(end_line));
        w.used += static_cast<uint32_t>(strlen(end_line));
    }
    writer_flush(&w);
    long ended = qor::stream_end(w.stream);
    if (w.failed || ended != 0) {
        qor::unlink(path);
        return -1;
    }
    return 0;
}

int pkg_record_read(const char* path, pkg_record* r, int* change, pkg_record* old, char* why) {
    long fd = qor::open(path, qor::O_READ);
    if (fd < 0) return -1;
    memset(r, 0, offsetof(pkg_record, paths));
    r->path_count = 0;
    r->pool_used = 0;
    if (old) {
        memset(old, 0, offsetof(pkg_record, paths));
        old->path_count = 0;
        old->pool_used = 0;
    }
    record_reader rd = {r, old, PKG_CHANGE_NONE, 0, 0, 0, why};
    why[0] = 0;
    int result = read_lines(fd, &rd);
    qor::close(static_cast<int>(fd));
    if (result == 0 && complete(&rd, r) != 0) result = -2;
    if (result == 0 && rd.have_old && complete(&rd, old) != 0) result = -2;
    if (result == 0 && rd.is_change_file && rd.change == PKG_CHANGE_NONE) result = (refuse(&rd, "no change named"), -2);
    if (change) *change = rd.change;
    return result;
}
