// The install command's work on what a drive has installed, driven by the
// package records: the list columns, skipping what is installed, removal,
// upgrade and the check.
#pragma once

#include <cstdint>

#include "package_index.h"
#include "resolve.h"

// 1 after printing "install: NAME@VERSION is already installed" when the
// entry's package is installed at the entry's version, else 0.
int installed_already(const package_entry* entry);

// install -l: the index with each package's installed version ("-" when
// none, a "*" after one that differs from the index's).
void installed_list_index(const package_index* index);

// install -i: every installed package with its version. Status 0.
int installed_list_records();

// install -r: removes the named packages, dependents first, refusing one
// that a package staying installed depends on. Status 0 when every name was
// removed (or, with `dry_run`, could be), else 1.
int installed_remove(const char* const* names, int32_t count, int dry_run);

// install -u: installs at the index's version every installed package (or
// the named ones) whose record has another version, its plan's missing or
// out-of-date entries first. Status 0 or 1.
int installed_upgrade(const package_index* index, install_plan* plan, const char* const* names, int32_t count,
                      int dry_run);

// install -c: checks the files of every installed package (or the named
// ones). Status 0 when all are in place and every record checks, else 1.
int installed_check(const char* const* names, int32_t count);
