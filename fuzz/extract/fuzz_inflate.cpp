// The inflate reader alone: any bytes as an archive file, read to the end
// in chunks whose size comes from the input's last byte.
#include <cstdint>
#include <memory>

#include "archive_reader.h"
#include "fuzz_machine.h"
#include "qor.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    extract_fuzz::write_media_file("in.gz", data, size);
    static auto reader = std::make_unique<archive_reader>();
    long fd = qor::open("RAM:/in.gz", qor::O_READ);
    if (fd < 0) __builtin_trap();
    if (archive_reader_open(reader.get(), static_cast<int>(fd)) == ARCHIVE_OPEN_OK) {
        static uint8_t buf[4096];
        int32_t chunk = size ? 1 + data[size - 1] * 16 : 512;
        uint64_t total = 0;
        int32_t n;
        while ((n = archive_read_some(reader.get(), buf, chunk)) > 0) {
            if (n > chunk) __builtin_trap();
            total += static_cast<uint64_t>(n);
        }
        // Once ended, a reader stays ended.
        if (archive_read_some(reader.get(), buf, chunk) > 0) __builtin_trap();
        (void)total;
    }
    qor::close(static_cast<int>(fd));
    return 0;
}
