// The package index: the records every package operation reads, the parser
// that fills them from index.json bytes, and lookups by name.
#pragma once

#include <cstdint>

#include "json_scan.h"
#include "sha256.h"

constexpr int32_t PKG_INDEX_MAX_PACKAGES = 128;
constexpr int32_t PKG_MAX_DEPS = 16;
constexpr int32_t PKG_MAX_RELEASES = 32;

// Field sizes in bytes, NUL included: a field of N bytes holds N - 1 bytes
// of text and a longer string is refused, never cut.
constexpr uint32_t PKG_NAME_SIZE = 64;
constexpr uint32_t PKG_VERSION_SIZE = 64;
constexpr uint32_t PKG_URL_SIZE = 256;
constexpr uint32_t PKG_INSTALL_DIR_SIZE = 96;
constexpr uint32_t PKG_INSTALL_NAME_SIZE = 64;
// Object keys of the index are decoded into buffers of this size.
constexpr uint32_t IDX_KEY_SIZE = 64;

// Directory a package goes to when its entry names none.
#define PKG_DEFAULT_INSTALL_DIR "/binaries"

// One installable package.
struct package_entry {
    char name[PKG_NAME_SIZE];                  // unique, non-empty, case-sensitive
    char version[PKG_VERSION_SIZE];            // opaque
    char url[PKG_URL_SIZE];                    // http:// or https://
    char sha256[PKG_SHA256_HEX_SIZE];          // expected digest, 64 hex digits
    char install_dir[PKG_INSTALL_DIR_SIZE];    // never empty once parsed
    char install_name[PKG_INSTALL_NAME_SIZE];  // never empty once parsed
    int32_t system;                            // 0 or 1
    char deps[PKG_MAX_DEPS][PKG_NAME_SIZE];    // needed packages, document order
    int32_t dep_count;                         // 0..PKG_MAX_DEPS
};

// The whole parsed index (about 210 KiB: allocate it, do not put it on a
// small stack).
struct package_index {
    package_entry packages[PKG_INDEX_MAX_PACKAGES];  // document order
    int32_t count;                                   // 1..128 once loaded
};

// Parses a whole index document (optionally after whitespace, a UTF-8 byte
// order mark and an HTTP response header block) into `out`. 0: loaded and
// valid. -1: rejected, already reported on the standard output with `label`
// ("local index", "network index"; nullptr or "" for the generic texts);
// `out` is then unusable. Null `out` or `bytes` give -1 without a message.
int idx_parse_index_bytes(package_index* out, const void* bytes, uint32_t len, const char* label);

// Parses an array of package objects at `pos`, appending to `out`.
int idx_parse_packages_array(json_cursor* c, package_index* out);

// Parses one package object at `pos` into `out` (zeroed first), choosing a
// release and applying the defaults. `map_key` (nullptr or "" for none) is
// the name when the object carries no `name` of its own.
int idx_parse_package_object(json_cursor* c, package_entry* out, const char* map_key);

// Parses an array of dependency names at `pos`, appending to `out->deps`.
int idx_parse_deps_array(json_cursor* c, package_entry* out);

// Prints "install: index payload prefix ..." with the first 16 bytes of
// `bytes` in hexadecimal and as printable characters.
void idx_debug_dump_prefix(const void* bytes, uint32_t len);

// The first entry named exactly `name` (case-sensitive), or nullptr; a null
// index, null name or empty name finds nothing.
const package_entry* index_find_package(const package_index* index, const char* name);

// 1 when index_find_package would find an entry, else 0.
int index_has_package(const package_index* index, const char* name);
