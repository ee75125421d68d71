// ASCII case folding for the protocol and digest texts the package core
// compares without regard to letter case (header names, URL suffixes,
// hexadecimal digests). Bytes outside A-Z are compared as they are.
#pragma once

#include <cstddef>

// `c` with an ASCII capital letter made small; any other byte as it is.
inline char pkg_ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// True when the first `len` bytes of `a` and `b` agree with ASCII case ignored.
inline bool pkg_equal_ci(const char* a, const char* b, size_t len) {
    for (size_t i = 0; i < len; ++i) {
        if (pkg_ascii_lower(a[i]) != pkg_ascii_lower(b[i])) return false;
    }
    return true;
}
