// The whole extractor: any bytes as an archive, extracted into RAM:/out of a
// temporary machine. Nothing may appear on the drive outside RAM:/out.
#include <cstdint>
#include <filesystem>
#include <string>

#include "extract_command.h"
#include "fuzz_machine.h"
#include "hosted.h"

namespace fs = std::filesystem;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string media = extract_fuzz::machine_dir() + "/media";
    extract_fuzz::write_media_file("a.tar", data, size);
    char arg0[] = "extract", arg1[] = "RAM:/a.tar", arg2[] = "RAM:/out";
    char* argv[] = {arg0, arg1, arg2, nullptr};
    hosted::capture_begin();
    int status = install_embedded_extract_main(3, argv);
    std::string output = hosted::capture_end();
    if (status != 0 && status != 1) __builtin_trap();
    if (status == 0 && output.rfind("extract: ") == std::string::npos) __builtin_trap();
    for (const auto& e : fs::directory_iterator(media)) {
        std::string name = e.path().filename().string();
        if (name != "a.tar" && name != "out") __builtin_trap();  // escaped the destination
    }
    fs::remove_all(media + "/out");
    return 0;
}
