// Changes to the installed packages of the current drive, each made safe
// against a crash at any call: before the first path of a package changes,
// a change file "/records/NAME.int" is written whole, naming everything the
// change will put down and take away; the record is written (or removed)
// after the paths, and the change file removed last. A run that finds a
// change file finishes or undoes that change before it does anything else.
#pragma once

#include <cstdint>

#include "package_index.h"

// The start of a run of the install command on the current drive: loads
// the records, finishes or undoes every interrupted change (one line each,
// beginning "install: interrupted"), reports each record that does not
// check (with its file name; the package is not taken as installed), and
// says once "install: no package records on this drive" when there are
// none. 0, or -1 when the records cannot be read at all (reported).
int pkg_changes_begin_run();

// Package installation, before its first write of the package's files:
// lists what the archive at `archive` (nullptr for a single-file package)
// puts down, refuses a path another installed package holds, and writes the
// change file. 0 to go on; -1 when the archive cannot be listed, so is not
// to be extracted (the extractor's reason shown); -2 when the package is
// refused (reason shown).
int pkg_changes_before_write(const package_entry* entry, const char* archive);

// Package installation, at its end: with `installed` 1 writes the record
// and takes away what the old version had and the new one lacks; with 0
// undoes what the change had written. 0 when the package is installed, -1
// otherwise (a failure here is reported and the change undone).
int pkg_changes_settle(const package_entry* entry, int installed);

// Removes an installed package: every path its record lists that no other
// record lists (a directory only when empty), then its record. With
// `dry_run` prints what would go and changes nothing. 0 or -1 (reported).
int pkg_changes_remove(const char* name, int dry_run);

// Checks every file the record of `name` lists (present, size, SHA-256),
// printing each missing or changed one as on the drive: the number of such
// files, or -1 when the package has no record that checks (reported).
int32_t pkg_changes_check(const char* name);
