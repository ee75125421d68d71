#include "fuzz_machine.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "hosted.h"

namespace fs = std::filesystem;

namespace extract_fuzz {

const std::string& machine_dir() {
    // Never destroyed: the exit handler below still needs it.
    static const std::string& dir = *new std::string([] {
        // In memory where the host has a tmpfs: every run writes its files and
        // directories there and removes them again.
        fs::path base = fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
        std::string pattern = (base / "qor-fuzz-extract-XXXXXX").string();
        if (!mkdtemp(pattern.data())) abort();
        fs::create_directories(pattern + "/media");
        hosted::use_machine(pattern);
        std::atexit([] { fs::remove_all(machine_dir()); });
        return pattern;
    }());
    return dir;
}

void write_media_file(const std::string& name, const uint8_t* data, size_t size) {
    FILE* f = fopen((machine_dir() + "/media/" + name).c_str(), "wb");
    if (!f) abort();
    if (size && fwrite(data, 1, size, f) != size) abort();
    fclose(f);
}

}  // namespace extract_fuzz
