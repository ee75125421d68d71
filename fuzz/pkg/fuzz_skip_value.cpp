// Fuzzes idx_skip_value over whole documents (whitespace, one value,
// whitespace, end) and checks the cursor's promises; strings are also run
// through both string readers, which must agree wherever their rules do.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "json_scan.h"

namespace {

// Decoding and skipping the same string: a decoded string skips to the same
// place, and a decoding failure other than the two rules where they differ
// (no length limit and any escape letter when skipping) is the skip's too.
void compare_string_readers(const uint8_t* data, uint32_t size) {
    json_cursor decode{data, size, 0, nullptr, 0};
    json_cursor skip{data, size, 0, nullptr, 0};
    char out[64];
    int decoded = idx_parse_string(&decode, out, sizeof out);
    int skipped = idx_skip_string(&skip);
    if (decoded == 0) {
        if (skipped != 0 || skip.pos != decode.pos || strlen(out) >= sizeof out) __builtin_trap();
        return;
    }
    if (strcmp(decode.error, "string too long") == 0 || strcmp(decode.error, "invalid escape sequence") == 0) return;
    if (skipped == 0 || strcmp(skip.error, decode.error) != 0 || skip.error_offset != decode.error_offset) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > UINT32_MAX) return 0;
    json_cursor c{data, static_cast<uint32_t>(size), 0, nullptr, 0};
    int rc = idx_skip_value(&c, 0);
    if (c.pos > c.len) __builtin_trap();
    if (rc == 0) {
        if (c.error || c.pos == 0) __builtin_trap();
        idx_skip_ws(&c);
    } else if (rc != -1 || !c.error || c.error_offset > c.len) {
        __builtin_trap();
    }
    compare_string_readers(data, static_cast<uint32_t>(size));
    return 0;
}
