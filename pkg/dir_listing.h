// Reading directory listings through the seam: the name in a record, a
// listing that is believed to end only when it ends twice, and whether a
// directory names a file (which tells a file that is not there from one
// that is there but does not open).
#pragma once

#include <cstddef>

// The name in one directory listing record, or nullptr when it runs to the
// record's end without a NUL (such a record cannot be trusted).
const char* listing_record_name(const unsigned char* record);

// The next part of the listing of the open directory `fd` into `buf` (as
// getdents: bytes filled, 0 at the end, negative on failure). An end is
// believed only when asking once more also gives 0: a listing that stopped
// early goes on instead of leaving the rest of the directory out unseen.
long list_directory(int fd, unsigned char* buf, size_t size);

// 1 when the listing of the directory `directory` names `name`, 0 when it
// does not (or the directory does not open), -1 when it opens but its
// listing fails.
int directory_lists_name(const char* directory, const char* name);
