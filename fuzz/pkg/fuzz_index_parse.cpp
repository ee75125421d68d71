// Fuzzes idx_parse_index_bytes with arbitrary documents and checks what a
// loaded index promises its users.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "hosted.h"
#include "package_index.h"

namespace {

// 1 when `field` of `size` bytes holds a NUL.
bool terminated(const char* field, size_t size) { return memchr(field, '\0', size) != nullptr; }

void check_entry(const package_entry& e) {
    if (!terminated(e.name, sizeof e.name) || !terminated(e.version, sizeof e.version) ||
        !terminated(e.url, sizeof e.url) || !terminated(e.sha256, sizeof e.sha256) ||
        !terminated(e.install_dir, sizeof e.install_dir) || !terminated(e.install_name, sizeof e.install_name))
        __builtin_trap();
    if (!e.name[0] || !e.install_dir[0] || !e.install_name[0]) __builtin_trap();
    if (e.system != 0 && e.system != 1) __builtin_trap();
    if (e.dep_count < 0 || e.dep_count > PKG_MAX_DEPS) __builtin_trap();
    for (int32_t i = 0; i < e.dep_count; i++)
        if (!terminated(e.deps[i], PKG_NAME_SIZE)) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::unique_ptr<package_index> index = std::make_unique<package_index>();
    if (size > UINT32_MAX) return 0;
    hosted::capture_begin();  // keep the diagnostic lines off the fuzzer's output
    int rc = idx_parse_index_bytes(index.get(), data, static_cast<uint32_t>(size), "fuzz index");
    hosted::capture_end();
    if (rc != 0) return 0;
    if (index->count < 1 || index->count > PKG_INDEX_MAX_PACKAGES) __builtin_trap();
    for (int32_t i = 0; i < index->count; i++) {
        check_entry(index->packages[i]);
        if (index_find_package(index.get(), index->packages[i].name) != &index->packages[i]) __builtin_trap();
    }
    return 0;
}
