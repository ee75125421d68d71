// Diagnostic output: each line is formatted into one buffer and handed to
// the write call on descriptor 1 in one piece, so lines from a parent and a
// child it waits for stay whole and in order. A line longer than the stack
// buffer is formatted into a heap block of its own length instead.
#pragma once

#include <cstddef>

namespace qor {

constexpr size_t PRINT_BUFFER_SIZE = 1024;

// printf-style; returns the bytes written or -1. A line of any length is
// written whole in one call; only when no memory can be had for a line longer
// than the buffer is it cut, ending in "...\n" so the cut is visible.
int print(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Writes a NUL-terminated text as it stands.
int print_text(const char* text);

}  // namespace qor
