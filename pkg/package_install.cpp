// Installing one package: checks the record against the index, prepares the
// install directory, then places the payload. A single file is downloaded
// straight to its target; an archive is unpacked, for system packages from
// the package cache on the current drive (seeded from the installer media)
// and from the network whenever the cache cannot serve.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "ascii_case.h"
#include "download.h"
#include "package_changes.h"
#include "package_install.h"
#include "qor.h"
#include "qor_print.h"
#include "repositories.h"
#include "sha256.h"

namespace {

// 0: ask on the standard input; 1: accept every warning.
int g_package_confirm_mode = 0;
// Set the first time the local base cache is considered; it is tried at
// most once per run, whatever came of it.
int seed_attempted = 0;

constexpr const char* PKG_CACHE_ROOT = "/cache";
constexpr const char* PKG_CACHE_DIR = "/cache/pkg";
constexpr const char* PKG_MEDIA_CACHE_DIR = "RAM:/installer/pkg";
constexpr const char* PKG_BASE_CACHE = "/cache/base.pkg";
constexpr const char* PKG_TEMP_DIR = "/tmp";

// Buffer sizes, NUL included.
constexpr size_t PKG_CACHE_NAME_SIZE = 32;        // "<name>.pkg"
constexpr size_t PKG_CACHE_PATH_SIZE = 320;       // cached, media and temporary archives
constexpr size_t PKG_NOT_FIRST_LEVEL_SIZE = 200;  // the first-level warning
constexpr size_t PKG_WILL_CREATE_SIZE = 220;      // the missing-directory warning
constexpr uint32_t PKG_ANSWER_MAX = 7;            // bytes of a confirmation answer kept

// Any install directory the index can hold fits a path buffer.
static_assert(PKG_INSTALL_DIR_SIZE <= PKG_INSTALL_PATH_SIZE);

// Where one package goes: its directory, file name and the two joined.
struct install_target {
    char dir[PKG_INSTALL_PATH_SIZE];
    char name[PKG_INSTALL_NAME_SIZE];
    char path[PKG_INSTALL_PATH_SIZE];
};

// snprintf into `out` that refuses to cut: 0 when the whole text fit, else -1.
__attribute__((format(printf, 3, 4))) int format_fit(char* out, size_t size, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int n = vsnprintf(out, size, format, args);
    va_end(args);
    return n >= 0 && static_cast<size_t>(n) < size ? 0 : -1;
}

// 1 when the path opens for reading (a file or a directory), else 0.
int path_exists(const char* path) { return qor::access(path) == 0 ? 1 : 0; }

// 1 when `text` can stand as one file name in a directory: not empty, not
// "." or "..", and free of "/", backslash and ":".
int is_plain_file_name(const char* text) {
    if (!text[0] || strcmp(text, ".") == 0 || strcmp(text, "..") == 0) return 0;
    return strpbrk(text, "/\\:") == nullptr ? 1 : 0;
}

// 1 when every component after the leading "/" is a real name.
int has_clean_components(const char* dir) { return pkg_path_components_clean(dir + 1); }

// 1 when the directory has exactly one component below "/".
int is_first_level(const char* dir) { return dir[0] == '/' && strchr(dir + 1, '/') == nullptr ? 1 : 0; }

// 1 when both records carry the same fields installation reads.
int same_record(const package_entry* a, const package_entry* b) {
    return strncmp(a->name, b->name, sizeof a->name) == 0 && strncmp(a->version, b->version, sizeof a->version) == 0 &&
           strncmp(a->url, b->url, sizeof a->url) == 0 && strncmp(a->sha256, b->sha256, sizeof a->sha256) == 0 &&
           strncmp(a->install_dir, b->install_dir, sizeof a->install_dir) == 0 &&
           strncmp(a->install_name, b->install_name, sizeof a->install_name) == 0 && a->system == b->system;
}

// Works out directory, name and target path. The package name also names
// the cached and temporary archives, so it must be a plain file name too.
// 0, or -1 when any of them is bad or does not fit.
int resolve_target(const package_entry* entry, install_target* t) {
    if (!is_plain_file_name(entry->name)) return -1;
    if (pkg_get_install_dir(entry, t->dir) != 0 || pkg_get_install_name(entry, t->name) != 0) return -1;
    return format_fit(t->path, sizeof t->path, "%s/%s", t->dir, t->name);
}

// Asks for `warning`; 0 when confirmed, -1 after printing the refusal.
int confirm_or_cancel(const char* warning) {
    if (pkg_prompt_confirm(warning)) return 0;
    qor::print("install: cancelled by user\n");
    return -1;
}

// Applies the first-level rule and makes sure the install directory exists,
// asking before an unusual or missing one. 0, or -1 (reported, except for a
// warning too long to build).
int prepare_install_dir(const char* dir) {
    if (!is_first_level(dir)) {
        char warning[PKG_NOT_FIRST_LEVEL_SIZE];
        if (format_fit(warning, sizeof warning, "target directory '%s' is not first-level", dir) != 0) return -1;
        if (confirm_or_cancel(warning) != 0) return -1;
    }
    // The listing test opens the path too: an existing directory costs one open.
    if (pkg_path_is_directory(dir)) return 0;
    if (path_exists(dir)) {
        qor::print("install: target path is not a directory: %s\n", dir);
        return -1;
    }
    char warning[PKG_WILL_CREATE_SIZE];
    if (format_fit(warning, sizeof warning, "target directory '%s' does not exist and will be created", dir) != 0)
        return -1;
    if (confirm_or_cancel(warning) != 0) return -1;
    if (pkg_make_dir_with_ancestors(dir) == 0) return 0;
    qor::print("install: failed to create install directory: %s\n", dir);
    return -1;
}

// 1 when the URL names a tar or gzip-compressed tar archive.
int is_archive_url(const char* url) {
    return pkg_has_suffix_ci(url, ".tar") || pkg_has_suffix_ci(url, ".tar.gz") || pkg_has_suffix_ci(url, ".tgz");
}

// Prints the closing success line.
void report_installed(const package_entry* entry, uint32_t size) {
    qor::print("install: installed %s@%s (%lu bytes)\n", entry->name, entry->version, static_cast<unsigned long>(size));
}

// Fetches the package's URL to `path`, verified: 0 (size in `*size` when
// given), or -1 reported with no file left.
int download_package(const package_entry* entry, const char* path, uint32_t* size) {
    if (repo_download_package(entry, path, size) == 0) return 0;
    qor::print("install: download failed for %s\n", entry->name);
    return -1;
}

// The cache's answer when the package records refuse the package: the
// network must not be tried either.
constexpr int PKG_REFUSED = -2;

// Downloads a single-file package straight to its target path: 0 or -1.
int install_single_file(const package_entry* entry, const install_target* t) {
    uint32_t size = 0;
    if (pkg_changes_before_write(entry, nullptr) != 0) return -1;
    if (download_package(entry, t->path, &size) != 0) return -1;
    report_installed(entry, size);
    return 0;
}

// Makes the cache directory and its root when missing: 0 or -1.
int prepare_cache_dirs() {
    return pkg_ensure_dir_exists(PKG_CACHE_ROOT) == 0 && pkg_ensure_dir_exists(PKG_CACHE_DIR) == 0 ? 0 : -1;
}

// Copies the package's archive from the media's per-package directory into
// the cache when the media has one. Problems are reported and passed over.
// 1 when the cached archive was made (a completed copy), else 0: a failed
// copy leaves no target behind.
int seed_from_media(const package_entry* entry, const char* cache_name, const char* cached) {
    char media[PKG_CACHE_PATH_SIZE];
    if (format_fit(media, sizeof media, "%s/%s", PKG_MEDIA_CACHE_DIR, cache_name) != 0 || !path_exists(media)) return 0;
    if (prepare_cache_dirs() != 0) {
        qor::print("install: failed to prepare cache for %s\n", entry->name);
        return 0;
    }
    if (pkg_copy_file_to_path(media, cached) != 0) {
        qor::print("install: failed to seed %s from installer media\n", entry->name);
        return 0;
    }
    qor::print("install: seeded cached archive for %s from installer media\n", entry->name);
    return 1;
}

// Unpacks the local base cache, which holds every cached archive at once,
// into the cache directory. Problems are reported and passed over. 1 when
// the extractor ran (whatever it left), 0 when nothing was unpacked.
int unpack_base_cache() {
    if (!path_exists(PKG_BASE_CACHE)) return 0;
    if (prepare_cache_dirs() != 0) {
        qor::print("install: failed to prepare local cache directories\n");
        return 0;
    }
    qor::print("install: unpacking local base cache ...\n");
    if (pkg_extract_archive(PKG_BASE_CACHE, PKG_CACHE_DIR) != 0)
        qor::print("install: failed to unpack local base cache; falling back to per-package media cache\n");
    return 1;
}

// The SHA-256 of a file as 64 hex digits: 0, or -1 when it cannot be read.
int hash_file_hex(const char* path, char hex[PKG_SHA256_HEX_SIZE]) {
    pkg_sha256_ctx ctx;
    pkg_sha256_init(&ctx);
    uint32_t size = 0;
    if (pkg_read_file_through(path, &ctx, &size) != 0) return -1;
    pkg_sha256_final_hex(&ctx, hex);
    return 0;
}

// 1 when the cached archive's digest is the index's, else 0 (reported). A
// mismatching archive stays where it is.
int cached_archive_matches(const package_entry* entry, const char* cached) {
    char hex[PKG_SHA256_HEX_SIZE];
    if (hash_file_hex(cached, hex) != 0) {
        qor::print("install: failed to hash cached archive for %s\n", entry->name);
        return 0;
    }
    if (pkg_sha256_match_ci(entry->sha256, hex)) return 1;
    qor::print("install: cached archive checksum mismatch for %s; using network\n", entry->name);
    return 0;
}

// The unpacked payload's size: 0, or -1 after saying that the `kind`
// ("cached" or "extracted") payload could not be read.
int measure_payload(const package_entry* entry, const install_target* t, const char* kind, uint32_t* size) {
    if (pkg_measure_file_size(t->path, size) == 0) return 0;
    qor::print("install: failed to inspect %s payload for %s\n", kind, entry->name);
    return -1;
}

// Finds the package's cached archive, seeding the cache first when it lacks
// it: 0 with its path in `cached`, or -1 when there is none.
int locate_cached_archive(const package_entry* entry, char cached[PKG_CACHE_PATH_SIZE]) {
    int media_has_cache = path_exists(PKG_MEDIA_CACHE_DIR);
    char cache_name[PKG_CACHE_NAME_SIZE];
    if (format_fit(cache_name, sizeof cache_name, "%s.pkg", entry->name) != 0 ||
        format_fit(cached, PKG_CACHE_PATH_SIZE, "%s/%s", PKG_CACHE_DIR, cache_name) != 0)
        return -1;
    // The archive is looked for again only after something may have made it.
    if (path_exists(cached) || seed_from_media(entry, cache_name, cached)) return 0;
    if (media_has_cache || seed_attempted) return -1;
    seed_attempted = 1;
    if (!unpack_base_cache()) return -1;
    return path_exists(cached) ? 0 : -1;
}

// Installs a system package from the package cache: 0, -1 (reported
// where worth saying) when the network must serve instead, or PKG_REFUSED.
int install_from_cache(const package_entry* entry, const install_target* t) {
    char cached[PKG_CACHE_PATH_SIZE];
    if (locate_cached_archive(entry, cached) != 0 || !cached_archive_matches(entry, cached)) return -1;
    int ready = pkg_changes_before_write(entry, cached);
    if (ready == -2) return PKG_REFUSED;
    if (ready != 0 || pkg_extract_archive(cached, t->dir) != 0) {
        qor::print("install: cached archive extraction failed for %s; using network\n", entry->name);
        return -1;
    }
    if (!path_exists(t->path)) {
        qor::print("install: cached archive missing payload for %s; using network\n", entry->name);
        return -1;
    }
    uint32_t size = 0;
    if (measure_payload(entry, t, "cached", &size) != 0) return -1;
    qor::print("install: using cached package for %s\n", entry->name);
    report_installed(entry, size);
    return 0;
}

// An archive may carry the payload under the package name: when the target
// is missing, that file becomes the target. 1 when the target exists
// afterwards, else 0 (a failed copy leaves no target behind).
int adopt_payload_named_after_package(const package_entry* entry, const install_target* t) {
    if (path_exists(t->path)) return 1;
    if (strcmp(t->name, entry->name) == 0) return 0;
    char by_name[PKG_INSTALL_PATH_SIZE];
    if (format_fit(by_name, sizeof by_name, "%s/%s", t->dir, entry->name) != 0 || !path_exists(by_name)) return 0;
    if (pkg_copy_file_to_path(by_name, t->path) != 0) return 0;
    qor::unlink(by_name);
    return 1;
}

// Checks the unpacked payload and reports: 0 with its size, or -1 reported.
int check_network_payload(const package_entry* entry, const install_target* t, uint32_t* size) {
    if (!adopt_payload_named_after_package(entry, t)) {
        qor::print("install: no extracted payload found for %s\n", entry->name);
        qor::print("install: package archive did not provide %s/%s\n", t->dir, t->name);
        return -1;
    }
    return measure_payload(entry, t, "extracted", size);
}

// Downloads the archive to a temporary file, verified, and unpacks it into
// the install directory. The temporary archive is gone on every way out.
// 0 or -1 (reported).
int install_from_network(const package_entry* entry, const install_target* t) {
    char temp[PKG_CACHE_PATH_SIZE];
    if (format_fit(temp, sizeof temp, "%s/install-%s.pkg", PKG_TEMP_DIR, entry->name) != 0) {
        qor::print("install: temporary path too long for %s\n", entry->name);
        return -1;
    }
    if (pkg_ensure_dir_exists(PKG_TEMP_DIR) != 0) {
        qor::print("install: failed to prepare temporary install directory\n");
        return -1;
    }
    if (download_package(entry, temp, nullptr) != 0) return -1;
    int ready = pkg_changes_before_write(entry, temp);
    if (ready == -2) {
        qor::unlink(temp);
        return -1;
    }
    if (ready != 0 || pkg_extract_archive(temp, t->dir) != 0) {
        qor::unlink(temp);
        qor::print("install: extraction failed for %s\n", entry->name);
        return -1;
    }
    uint32_t size = 0;
    int checked = check_network_payload(entry, t, &size);
    qor::unlink(temp);
    if (checked != 0) return -1;
    report_installed(entry, size);
    return 0;
}

}  // namespace

int package_set_confirm_mode(int mode) {
    int previous = g_package_confirm_mode;
    g_package_confirm_mode = mode == 1 ? 1 : 0;
    return previous;
}

int pkg_prompt_confirm(const char* warning) {
    if (!warning || !warning[0]) return 0;
    if (g_package_confirm_mode == 1) {
        qor::print("install: warning: %s (auto-accepted)\n", warning);
        return 1;
    }
    qor::print("install: warning: %s\n", warning);
    qor::print_text("install: continue? [y/N]: ");
    char answer[PKG_ANSWER_MAX];
    uint32_t stored = 0;
    for (;;) {
        char ch = 0;
        if (qor::read(0, &ch, 1) != 1 || ch == '\r' || ch == '\n') break;
        // The rest of a long answer is read and dropped up to its line end,
        // so that it never answers the next question.
        if (stored < PKG_ANSWER_MAX) answer[stored++] = ch;
    }
    return stored > 0 && (answer[0] == 'y' || answer[0] == 'Y') ? 1 : 0;
}

int pkg_get_install_name(const package_entry* entry, char out[PKG_INSTALL_NAME_SIZE]) {
    if (!entry || !out) return -1;
    const char* name = entry->install_name[0] ? entry->install_name : entry->name;
    size_t len = strnlen(name, PKG_INSTALL_NAME_SIZE);
    if (len == 0 || len >= PKG_INSTALL_NAME_SIZE) return -1;
    memcpy(out, name, len + 1);
    return is_plain_file_name(out) ? 0 : -1;
}

int pkg_get_install_dir(const package_entry* entry, char out[PKG_INSTALL_PATH_SIZE]) {
    if (!entry || !out) return -1;
    const char* dir = entry->install_dir[0] ? entry->install_dir : PKG_DEFAULT_INSTALL_DIR;
    size_t len = strnlen(dir, sizeof entry->install_dir);
    if (len == 0 || len >= sizeof entry->install_dir) return -1;
    memcpy(out, dir, len + 1);
    while (len > 1 && out[len - 1] == '/') out[--len] = '\0';
    if (out[0] != '/' || len == 1 || strpbrk(out, "\\:") != nullptr) return -1;
    return has_clean_components(out) ? 0 : -1;
}

int pkg_has_suffix_ci(const char* text, const char* suffix) {
    if (!text || !suffix) return 0;
    size_t text_len = strlen(text);
    size_t suffix_len = strlen(suffix);
    if (suffix_len > text_len) return 0;
    return pkg_equal_ci(text + text_len - suffix_len, suffix, suffix_len) ? 1 : 0;
}

int install_package(const package_index* index, const package_entry* entry) {
    if (!index || !entry || !entry->name[0] || strnlen(entry->name, sizeof entry->name) == sizeof entry->name)
        return -1;
    const package_entry* known = index_find_package(index, entry->name);
    if (!known) {
        qor::print("install: package '%s' not found in index\n", entry->name);
        return -1;
    }
    if (!same_record(known, entry)) {
        qor::print("install: package metadata mismatch for %s\n", entry->name);
        return -1;
    }
    if (strnlen(entry->sha256, sizeof entry->sha256) != PKG_SHA256_HEX_DIGITS) {
        qor::print("install: invalid sha256 for %s\n", entry->name);
        return -1;
    }
    install_target t;
    if (resolve_target(entry, &t) != 0) {
        qor::print("install: output path too long for %s\n", entry->name);
        return -1;
    }
    if (prepare_install_dir(t.dir) != 0) return -1;
    int placed;
    if (!is_archive_url(entry->url)) {
        placed = install_single_file(entry, &t);
    } else {
        placed = entry->system ? install_from_cache(entry, &t) : -1;
        if (placed == -1) placed = install_from_network(entry, &t);
    }
    // The package records: written for what was placed, or the partial
    // placing undone.
    return pkg_changes_settle(entry, placed == 0);
}

int pkg_path_components_clean(const char* path) {
    const char* start = path;
    for (;;) {
        const char* end = strchr(start, '/');
        size_t len = end ? static_cast<size_t>(end - start) : strlen(start);
        if (len == 0 || (len == 1 && start[0] == '.') || (len == 2 && start[0] == '.' && start[1] == '.')) return 0;
        if (!end) return 1;
        start = end + 1;
    }
}
