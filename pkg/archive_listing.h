// What a package archive puts down, listed before it is unpacked.
#pragma once

#include "package_records.h"

// Adds every path the extractor would write when unpacking `archive` into
// `record->dir` to `record` (files with size and SHA-256, the directories
// it makes, as the extractor names them): 0. -1 when it cannot be listed
// (the archive is broken or cannot be read, or puts a file where it made a
// directory), after the extractor's reason is printed; -2 when the record
// has no room for every path. On failure the record's paths are as before.
int pkg_list_archive(const char* archive, pkg_record* record);
