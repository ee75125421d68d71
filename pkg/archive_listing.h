// What a package archive puts down, listed before it is unpacked.
#pragma once

#include "package_records.h"

// Adds every path the extractor would write when unpacking `archive` into
// `record->dir` to `record` (files with size and SHA-256, the directories
// it makes, as the extractor names them): 0. -1 when extraction would fail
// (the archive is broken, or puts a file where it made a directory): the
// record then holds what extraction writes before it fails, as it walks the
// archive the same way. -2 when the record has no room for every path.
int pkg_list_archive(const char* archive, pkg_record* record);
