// The extract command: extract <archive.tar|archive.tar.gz> [destination].
// Also called in process by package installation when no separate extract
// program can be started.
#include "extract_command.h"

#include <cstring>

#include "archive_reader.h"
#include "extract_dirs.h"
#include "qor.h"
#include "qor_print.h"
#include "tar_extract.h"

namespace {

constexpr const char* USAGE_TEXT =
    "Usage: extract <archive.tar|archive.tar.gz> [destination]\n"
    "Examples:\n"
    "  extract /archive.tar\n"
    "  extract /archive.tar.gz /tmp/out\n";

// Opens the reader and runs the header loop; 0 or 1. The reader is large
// (two decoding trees and the window), so it lives here only for the run.
int extract_archive(int fd, const char* destination) {
    static_assert(sizeof(archive_reader) < 256 * 1024, "the reader must stay a modest stack object");
    archive_reader reader;
    int opened = archive_reader_open(&reader, fd);
    if (opened != ARCHIVE_OPEN_OK) {
        qor::print("%s\n", archive_open_message(opened));
        qor::close(fd);
        return 1;
    }
    tar_counts counts = {0, 0, 0};
    int result = tar_extract_entries(&reader, destination, &counts);
    qor::close(fd);
    if (result != 0) return 1;
    qor::print("extract: %u files, %u directories, %u skipped\n", counts.files, counts.directories, counts.skipped);
    return 0;
}

}  // namespace

int install_embedded_extract_main(int argc, char** argv) {
    if (argc <= 1 || !argv || !argv[1] || argv[1][0] == 0) {
        qor::print_text(USAGE_TEXT);
        return 1;
    }
    if (strcmp(argv[1], "-h") == 0 || strcmp(argv[1], "--help") == 0) {
        qor::print_text(USAGE_TEXT);
        return 0;
    }
    const char* archive = argv[1];
    const char* destination = ".";
    if (argc != 2 && argv[2] && argv[2][0] != 0) destination = argv[2];

    if (ensure_parent_dirs(destination) != 0 || ensure_dir_exists(destination) != 0) {
        qor::print("extract: failed to prepare destination: %s\n", destination);
        return 1;
    }
    long fd = qor::open(archive, qor::O_READ);
    if (fd < 0) {
        qor::print("extract: failed to open archive: %s\n", archive);
        return 1;
    }
    return extract_archive(static_cast<int>(fd), destination);
}
