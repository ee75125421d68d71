// Every package record of the current drive at once: which packages are
// installed at which version, who owns a path, who depends on whom. Loaded
// once per run from "/records" and kept up to date by the changes the run
// makes.
#pragma once

#include <cstdint>

#include "package_records.h"

struct pkg_store_record {
    char file[PKG_RECORD_FILE_NAME_MAX + 1];  // its file name in PKG_RECORDS_DIR
    char name[PKG_NAME_SIZE];
    char version[PKG_VERSION_SIZE];
    char deps[PKG_MAX_DEPS][PKG_NAME_SIZE];
    int32_t dep_count;
    uint8_t live;  // checks and claims no path another record claims
    char why[PKG_RECORD_WHY_SIZE];  // when not live: why
};

// Loads every record ("*.rec") of PKG_RECORDS_DIR, once per run (later
// calls do nothing unless `again`). The number of record files, 0 when the
// drive has none (or no records directory), -1 when it cannot be read or
// holds more than the store can.
int32_t pkg_store_load(int again);

// The record files loaded, live or not; a slot whose `file` is empty was
// removed during the run.
int32_t pkg_store_count();
const pkg_store_record* pkg_store_at(int32_t i);

// The live record of package `name`, or -1.
int32_t pkg_store_find(const char* name);

// The live record other than package `except` (may be null) that lists the
// path as on the drive, as a file when `files_only`; -1 when none does.
int32_t pkg_store_owner(const char* drive_path, const char* except, int files_only);

// After a record was written or removed on the drive: reloads it (a
// missing file drops the package). 0, or -1 when the store is full or a
// record that is there does not load.
int pkg_store_refresh(const char* name);
