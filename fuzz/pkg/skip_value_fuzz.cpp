// Fuzzes idx_skip_value over whole documents (whitespace, one value,
// whitespace, end) and checks the cursor's promises.
#include <cstddef>
#include <cstdint>

#include "json_scan.h"

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
    return 0;
}
