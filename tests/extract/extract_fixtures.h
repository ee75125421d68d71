// Archives built in memory for the extractor's tests, and a run of the
// extract command inside a temporary machine.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "test_machine.h"

namespace extract_test {

// One ustar header block (checksum filled in) for `name` with `size` and
// `type`; `prefix` goes to the prefix field. `size_field` replaces the octal
// size text when not empty (it is copied as is, at most 12 bytes).
std::string tar_header(const std::string& name, size_t size, char type = '0', const std::string& prefix = "",
                       const std::string& size_field = "");

// Header, data and padding of one entry; `size_field` as for tar_header.
std::string tar_entry(const std::string& name, const std::string& data, char type = '0',
                      const std::string& prefix = "", const std::string& size_field = "");

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

// What reading an archive to its end through archive_reader gave.
struct read_outcome {
    std::string content;
    int last;        // the result that ended the reading (0 or -1)
    int after_last;  // the result of one more call
};

// Opens `bytes` as an archive on a temporary machine and reads it to its end
// in chunks of `chunk` bytes. When the open fails, `last` and `after_last`
// hold its result.
read_outcome read_archive(const std::string& bytes, int32_t chunk, int* open_result = nullptr);

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

// The paths of a machine's media (`media`, its host directory) other than the
// archive "a.tar" and what lies in "out/": what an extraction of RAM:/a.tar
// into RAM:/out wrote outside its destination.
std::vector<std::string> paths_outside_destination(const std::string& media);

}  // namespace extract_test
