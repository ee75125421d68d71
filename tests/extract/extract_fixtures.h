// Archives built in memory for the extractor's tests, and a run of the
// extract command inside a temporary machine.
#pragma once

#include <string>
#include <vector>

#include "test_machine.h"

namespace extract_test {

// One ustar header block (checksum filled in) for `name` with `size` and
// `type`; `prefix` goes to the prefix field. `size_field` replaces the octal
// size text when not empty (it is copied as is, at most 12 bytes).
std::string tar_header(const std::string& name, size_t size, char type = '0', const std::string& prefix = "",
                       const std::string& size_field = "");

// Header, data and padding of one entry.
std::string tar_entry(const std::string& name, const std::string& data, char type = '0',
                      const std::string& prefix = "");

// A PAX record "LENGTH key=value\n" with the right LENGTH.
std::string pax_record(const std::string& key, const std::string& value);

// Two zero blocks.
std::string tar_end();

// gzip member of `data` made by zlib at `level` (0 gives stored blocks).
std::string gzip_zlib(const std::string& data, int level = 6);

// Raw deflate data inflated by zlib; false when zlib rejects it.
bool zlib_inflate_raw(const std::string& deflate, std::string* out);

// A gzip member around raw deflate data: 10-byte header, the data, then the
// CRC-32 and length of `content`.
std::string gzip_wrap(const std::string& deflate, const std::string& content);

// The result and standard output of one in-process run of the extract command.
struct run_result {
    int status;
    std::string output;
};

run_result run_extract(const std::vector<std::string>& args);

// Every path (files "f path", directories "d path") below `root`, sorted,
// with its file content appended for files: a tree compared byte for byte.
std::string describe_tree(const std::string& root);

// Every regular file and directory below `root` relative to it.
std::vector<std::string> list_paths(const std::string& root);

}  // namespace extract_test
