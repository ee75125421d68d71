// The extraction runner and the small file operations package installation
// moves files with. Every file byte passes through one 1024-byte buffer on
// the stack; sizes are counted by reading, never asked of the file system.
#include <cstdint>
#include <cstring>

#include "extract_command.h"
#include "extract_dirs.h"
#include "package_install.h"
#include "qor.h"
#include "qor_print.h"

namespace {

constexpr uint32_t PKG_COPY_CHUNK = 1024;
// Set when an extract child was started but could not be waited for: it
// may still be writing.
int g_unwaited_child = 0;
constexpr const char* PKG_EXTRACT_PROGRAM = "/binaries/extract";
constexpr const char* PKG_EXTRACT_BARE_NAME = "extract";

// Starts the extract program at `program` with archive and destination: the
// child id (> 0), or 0 or less when it cannot be started.
long start_extract_child(const char* program, const char* archive_path, const char* destination) {
    const char* const args[2] = {archive_path, destination};
    return qor::spawn(program, args, 2);
}

// Waits for an extract child: 0 when it exited with status 0, else -1 with
// the reason printed.
int wait_extract_child(long child) {
    int32_t status = 0;
    if (qor::waitpid(child, &status) <= 0) {
        g_unwaited_child = 1;
        qor::print("install: failed to wait for extract command\n");
        return -1;
    }
    if (status != 0) {
        qor::print("install: extract failed (status=%d)\n", static_cast<int>(status));
        return -1;
    }
    return 0;
}

// Runs the extractor in this process: 0, or -1 with its status printed.
int run_embedded_extract(const char* archive_path, const char* destination) {
    // The extractor only reads its argument vector; the casts never lead to
    // a write.
    char* argv[4] = {const_cast<char*>(PKG_EXTRACT_BARE_NAME), const_cast<char*>(archive_path),
                     const_cast<char*>(destination), nullptr};
    int status = install_embedded_extract_main(3, argv);
    if (status != 0) {
        qor::print("install: embedded extract failed (status=%d)\n", status);
        return -1;
    }
    return 0;
}

}  // namespace

int pkg_extract_archive(const char* archive_path, const char* destination) {
    if (!archive_path || !destination) return -1;
    long child = start_extract_child(PKG_EXTRACT_PROGRAM, archive_path, destination);
    if (child <= 0) child = start_extract_child(PKG_EXTRACT_BARE_NAME, archive_path, destination);
    if (child <= 0) return run_embedded_extract(archive_path, destination);
    return wait_extract_child(child);
}

int pkg_extract_child_unwaited() {
    int unwaited = g_unwaited_child;
    g_unwaited_child = 0;
    return unwaited;
}

int pkg_path_is_directory(const char* path) {
    if (!path || !path[0]) return 0;
    long fd = qor::open(path, qor::O_READ);
    if (fd < 0) return 0;
    unsigned char record[qor::DIRENT_SIZE];
    long listed = qor::getdents(static_cast<int>(fd), record, sizeof record);
    qor::close(static_cast<int>(fd));
    return listed < 0 ? 0 : 1;
}

int pkg_ensure_dir_exists(const char* path) { return ensure_dir_exists(path); }

int pkg_make_dir_with_ancestors(const char* dir) {
    if (!dir) return -1;
    size_t len = strlen(dir);
    if (len == 0 || len >= PKG_INSTALL_PATH_SIZE) return -1;
    char work[PKG_INSTALL_PATH_SIZE];
    memcpy(work, dir, len + 1);
    while (len > 1 && work[len - 1] == '/') work[--len] = '\0';
    for (size_t i = 1; i < len; i++) {
        if (work[i] != '/') continue;
        work[i] = '\0';
        int made = qor::mkdir(work) == 0 || pkg_path_is_directory(work);
        work[i] = '/';
        if (!made) return -1;
    }
    return qor::mkdir(work) == 0 || pkg_path_is_directory(work) ? 0 : -1;
}

int pkg_read_file_through(const char* path, pkg_sha256_ctx* digest, uint32_t* size) {
    if (!path || !size) return -1;
    long fd = qor::open(path, qor::O_READ);
    if (fd < 0) return -1;
    uint8_t chunk[PKG_COPY_CHUNK];
    uint32_t total = 0;
    long n;
    while ((n = qor::read(static_cast<int>(fd), chunk, sizeof chunk)) > 0) {
        if (digest) pkg_sha256_update(digest, chunk, static_cast<size_t>(n));
        total += static_cast<uint32_t>(n);
    }
    qor::close(static_cast<int>(fd));
    if (n < 0) return -1;
    *size = total;
    return 0;
}

int pkg_measure_file_size(const char* path, uint32_t* size) { return pkg_read_file_through(path, nullptr, size); }

int pkg_copy_file_to_path(const char* source, const char* target) {
    if (!source || !target) return -1;
    long fd = qor::open(source, qor::O_READ);
    if (fd < 0) return -1;
    long stream = qor::stream_begin(target);
    if (stream < 0) {
        qor::close(static_cast<int>(fd));
        return -1;
    }
    uint8_t chunk[PKG_COPY_CHUNK];
    long n;
    while ((n = qor::read(static_cast<int>(fd), chunk, sizeof chunk)) > 0) {
        if (qor::stream_write(stream, chunk, static_cast<size_t>(n)) != n) break;
    }
    qor::close(static_cast<int>(fd));
    // A failed read or write leaves n non-zero; the partial file goes.
    int ended = qor::stream_end(stream) == 0;
    if (n == 0 && ended) return 0;
    qor::unlink(target);
    return -1;
}
