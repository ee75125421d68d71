// What a package archive puts down, listed before it is unpacked.
#pragma once

#include "package_records.h"

// Adds every path the extractor would write when unpacking `archive` into
// `record->dir` to `record` (files with size and SHA-256, the directories
// it makes, as the extractor names them): 0, or -1 when extraction would
// fail (the archive is broken, or puts a file where it made a directory) or
// the record is full; the record's paths are then as before.
int pkg_list_archive(const char* archive, pkg_record* record);
