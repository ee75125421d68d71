// Helpers shared by the package data tests.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "json_scan.h"

namespace pkgtest {

// A cursor over `text` (whose bytes must outlive it), position 0, no error.
json_cursor cursor_over(std::string_view text);

// The bytes of a file under the corpora directory; fails the test (empty
// result) when it cannot be read.
std::string corpus_file(const std::string& relative);

// Decodes a hexadecimal text into bytes.
std::string from_hex(const std::string& hex);

}  // namespace pkgtest
