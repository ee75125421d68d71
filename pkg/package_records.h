// Package records: what each package installed onto the current drive put
// down, kept on that drive, and the store of every record a run works from
// (who owns a path, who depends on whom, what is installed at which version).
//
// A record is a text file "/records/NAME.rec", written whole and closed by a
// line carrying the SHA-256 of everything before it (the file services have
// no rename and no flush, so a record that does not check is an interrupted
// change, never an installed package). The byte format is in
// docs/packages.md.
#pragma once

#include <cstdint>

#include "package_index.h"
#include "package_install.h"
#include "sha256.h"
#include "tar_names.h"

constexpr const char* PKG_RECORDS_DIR = "/records";
constexpr const char* PKG_RECORD_SUFFIX = ".rec";
constexpr const char* PKG_INTENT_SUFFIX = ".int";
// A record's file name must fit a directory record's name field (55 bytes).
constexpr uint32_t PKG_RECORD_FILE_NAME_MAX = 55;
constexpr uint32_t PKG_RECORD_NAME_MAX = PKG_RECORD_FILE_NAME_MAX - 4;  // "NAME.rec"
// Paths one package may put down, and the bytes their names may take.
constexpr uint32_t PKG_RECORD_MAX_PATHS = 4096;
constexpr uint32_t PKG_RECORD_POOL_SIZE = 512 * 1024;
// Every record of a drive together.
constexpr uint32_t PKG_STORE_MAX_RECORDS = PKG_INDEX_MAX_PACKAGES;
constexpr uint32_t PKG_STORE_MAX_PATHS = 16384;
constexpr uint32_t PKG_STORE_POOL_SIZE = 2 * 1024 * 1024;
// A path as on the drive: install directory, "/", relative path.
constexpr uint32_t PKG_DRIVE_PATH_SIZE = TAR_PATH_BUFFER;

enum pkg_path_kind : uint8_t { PKG_PATH_FILE = 'f', PKG_PATH_DIR = 'd' };

// One path a package put down: a file with its size and digest, or a
// directory. `name_at` is the offset of its NUL-terminated name in the
// owner's pool: relative to the install directory in a record, as on the
// drive in a change's list of old paths.
struct pkg_record_path {
    uint32_t name_at;
    uint32_t size;
    uint8_t kind;
    uint8_t gone;  // dropped from the record (a replaced duplicate, an adopted payload)
    char sha256[PKG_SHA256_HEX_SIZE];
};

// One package's record (or a change's picture of one).
struct pkg_record {
    char name[PKG_NAME_SIZE];
    char version[PKG_VERSION_SIZE];
    char dir[PKG_INSTALL_PATH_SIZE];
    char install_name[PKG_INSTALL_NAME_SIZE];
    char archive_sha256[PKG_SHA256_HEX_SIZE];
    char deps[PKG_MAX_DEPS][PKG_NAME_SIZE];
    int32_t dep_count;
    uint32_t path_count;
    pkg_record_path paths[PKG_RECORD_MAX_PATHS];
    uint32_t pool_used;
    char pool[PKG_RECORD_POOL_SIZE];
};

// 0 with the name of path `i` of the record, or nullptr.
const char* pkg_record_path_name(const pkg_record* r, uint32_t i);

// Empties a record and fills its fields from an index entry: 0, or -1 when
// the entry's directory or install name is not a clean one.
int pkg_record_start(pkg_record* r, const package_entry* entry);

// Adds (or replaces: a later entry of the same name wins, as extraction
// leaves it) a path to the record: 0, or -1 when the record is full.
int pkg_record_put(pkg_record* r, uint8_t kind, const char* relative, uint32_t size, const char* sha256);

// The index of the live path named `relative`, or -1.
int32_t pkg_record_find(const pkg_record* r, const char* relative);

// Joins a record's directory and a relative path into a path as on the
// drive: 0, or -1 when it does not fit.
int pkg_record_drive_path(const pkg_record* r, const char* relative, char out[PKG_DRIVE_PATH_SIZE]);

// Record files: "/records/NAME.rec" (kind PKG_RECORD_SUFFIX) or the change
// in progress "/records/NAME.int" (PKG_INTENT_SUFFIX). 0, or -1 when the name
// does not fit.
int pkg_record_file_path(const char* name, const char* suffix, char out[PKG_DRIVE_PATH_SIZE]);

// What a change file says beside the record it carries.
enum pkg_change_kind { PKG_CHANGE_NONE = 0, PKG_CHANGE_INSTALL = 1, PKG_CHANGE_REMOVE = 2 };

// Writes the record, or with `change` a change file carrying it and the old
// paths `old` (paths as on the drive, may be null), whole to `path`, any
// file there removed first: 0, or -1 (nothing valid is left at `path`).
int pkg_record_write(const char* path, const pkg_record* r, int change, const pkg_record* old);

// Reads and checks a record or change file. 0 with `r` filled (and for a
// change file its kind and the old paths in `old`, when given); -1 when it
// is missing (nothing said); -2 when it does not check, with the reason in
// `why` (a buffer of PKG_RECORD_WHY_SIZE).
constexpr uint32_t PKG_RECORD_WHY_SIZE = 512;
int pkg_record_read(const char* path, pkg_record* r, int* change, pkg_record* old, char* why);

// 1 when a relative path is one extraction could write: not empty, no
// leading "/", no empty, "." or ".." component, no backslash or ":", at most
// TAR_PATH_MAX bytes. Else 0.
int pkg_record_path_is_clean(const char* relative);

// The file names in PKG_RECORDS_DIR ending in `suffix`, at most `max`: their
// count (0 without the directory), or -1 when it cannot be listed or holds
// more.
int32_t pkg_records_list(const char* suffix, char (*names)[PKG_RECORD_FILE_NAME_MAX + 1], int32_t max);
