// File services: open, read, write, close, getdents, lseek, mkdir, unlink,
// the front-to-back file stream and writefile.
//
// Descriptors handed to the program are the host's own descriptor numbers;
// only those opened through this kernel (and 0, 1, 2) are accepted.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <map>

#include "kernel.h"
#include "qor_calls.h"

namespace hosted {
namespace {

enum class open_kind { reading, writing, stream };

struct open_file {
    open_kind kind;
    DIR* listing = nullptr;  // made on the first getdents
};

std::map<int, open_file> g_files;

int open_for(const char* path, int host_flags, int mode) {
    if (!path) return -1;
    resolved_path p;
    if (resolve_path(path, &p) != 0) return -1;
    int fd = open_resolved(p, host_flags, mode);
    release_path(&p);
    return fd;
}

long sys_open(const char* path, long flags, long mode) {
    int fd;
    open_kind kind;
    if (flags == 0) {
        fd = open_for(path, O_RDONLY, 0);
        kind = open_kind::reading;
    } else if ((flags & 0x3) == 1 && (flags & qor::O_CREATE_BIT)) {
        int host_flags = O_WRONLY | O_CREAT | ((flags & 0x200) ? O_TRUNC : 0);
        fd = open_for(path, host_flags, mode ? static_cast<int>(mode) : 0644);
        kind = open_kind::writing;
    } else {
        return -1;
    }
    if (fd < 0) return -1;
    g_files[fd] = {kind, nullptr};
    return fd;
}

bool is_open(int fd) { return g_files.count(fd) != 0; }

// The host refuses a read whose range passes the top of its address space,
// which on a 32-bit host a length near the clamp does from almost any
// buffer, and QEMU's user mode refuses one that passes the buffer's pages.
// So a long read of a regular file asks the host for no more than the file
// still holds, and of anything else for a bounded share (a short read).
size_t host_read_length(int fd, long len) {
    constexpr long LONG_READ = 1L << 20;
    if (len <= LONG_READ) return static_cast<size_t>(len);
    struct stat st;
    off_t at = ::lseek(fd, 0, SEEK_CUR);
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || at < 0) return LONG_READ;
    off_t left = st.st_size > at ? st.st_size - at : 0;
    return static_cast<size_t>(left < len ? left : len);
}

long sys_read(long fd, void* buf, long len) {
    if (!buf || len < 0) return -1;
    if (fd != 0 && !is_open(static_cast<int>(fd))) return -1;
    size_t host_len = host_read_length(static_cast<int>(fd), len);
    ssize_t n;
    do {
        n = ::read(static_cast<int>(fd), buf, host_len);
    } while (n < 0 && errno == EINTR);
    return n < 0 ? -1 : n;
}

long sys_write(long fd, const char* buf, long len) {
    if (!buf || len < 0) return -1;
    if (fd == 1) return write_standard_output(buf, len);
    if (fd == 2) return write_all(2, buf, len);
    auto it = g_files.find(static_cast<int>(fd));
    if (it == g_files.end() || it->second.kind == open_kind::reading) return -1;
    return write_all(static_cast<int>(fd), buf, len);
}

long sys_close(long fd) {
    auto it = g_files.find(static_cast<int>(fd));
    if (it == g_files.end()) return fd >= 0 && fd <= 2 ? 0 : -1;
    if (it->second.listing) closedir(it->second.listing);
    ::close(it->first);
    g_files.erase(it);
    return 0;
}

bool entry_is_directory(DIR* dir, const dirent* e) {
    if (e->d_type == DT_DIR) return true;
    if (e->d_type != DT_UNKNOWN) return false;
    struct stat st;
    return fstatat(dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
}

// Fills whole 64-byte records. An entry whose name does not fit its record
// fails the call instead of being cut; an entry that does not fit the buffer
// waits for the next call.
long sys_getdents(long fd, unsigned char* buf, long len) {
    auto it = g_files.find(static_cast<int>(fd));
    if (!buf || it == g_files.end() || it->second.kind != open_kind::reading) return -1;
    if (len < qor::DIRENT_SIZE) return -1;
    open_file& f = it->second;
    if (!f.listing) {
        int dup_fd = fcntl(it->first, F_DUPFD_CLOEXEC, 3);
        if (dup_fd < 0) return -1;
        f.listing = fdopendir(dup_fd);
        if (!f.listing) {
            ::close(dup_fd);
            return -1;
        }
    }
    long filled = 0;
    while (filled + qor::DIRENT_SIZE <= len) {
        long position = telldir(f.listing);
        errno = 0;
        dirent* e = readdir(f.listing);
        if (!e) {
            if (errno != 0) return -1;
            break;
        }
        size_t name_len = strlen(e->d_name);
        if (name_len > static_cast<size_t>(qor::DIRENT_NAME_MAX)) {
            seekdir(f.listing, position);
            return -1;
        }
        unsigned char* record = buf + filled;
        memset(record, 0, qor::DIRENT_SIZE);
        record[0] = entry_is_directory(f.listing, e) ? 1 : 0;
        memcpy(record + qor::DIRENT_NAME_OFFSET, e->d_name, name_len);
        filled += qor::DIRENT_SIZE;
    }
    return filled;
}

long sys_lseek(long fd, long offset, long whence) {
    if (!is_open(static_cast<int>(fd))) return -1;
    if (whence != SEEK_SET && whence != SEEK_CUR && whence != SEEK_END) return -1;
    off_t r = ::lseek(static_cast<int>(fd), offset, static_cast<int>(whence));
    // A position the call's word cannot hold (past 2 GiB on a 32-bit build)
    // fails rather than come back wrapped round to a wrong size.
    return r < 0 || r > LONG_MAX ? -1 : static_cast<long>(r);
}

// Opens the parent directory of `path` (confined like every resolution) and
// names its last component; -1 when either is missing.
int open_parent_of(const char* path, std::string* last) {
    if (!path) return -1;
    resolved_path p;
    if (resolve_path(path, &p) != 0) return -1;
    int parent = open_parent(p, last);
    release_path(&p);
    return parent;
}

long sys_mkdir(const char* path) {
    std::string last;
    int parent = open_parent_of(path, &last);
    if (parent < 0) return -1;
    int r = mkdirat(parent, last.c_str(), 0755);
    ::close(parent);
    return r == 0 ? 0 : -1;
}

long sys_unlink(const char* path) {
    std::string last;
    int parent = open_parent_of(path, &last);
    if (parent < 0) return -1;
    int r = unlinkat(parent, last.c_str(), 0);
    ::close(parent);
    return r == 0 ? 0 : -1;
}

long sys_stream_begin(const char* path) {
    int fd = open_for(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return -1;
    g_files[fd] = {open_kind::stream, nullptr};
    return fd;
}

long sys_stream_write(long handle, const char* buf, long len) {
    auto it = g_files.find(static_cast<int>(handle));
    if (!buf || len < 0 || it == g_files.end() || it->second.kind != open_kind::stream) return -1;
    return write_all(it->first, buf, len);
}

long sys_stream_end(long handle) {
    auto it = g_files.find(static_cast<int>(handle));
    if (it == g_files.end() || it->second.kind != open_kind::stream) return -1;
    int r = ::close(it->first);
    g_files.erase(it);
    return r == 0 ? 0 : -1;
}

long sys_writefile(const char* path, const char* buf, long len) {
    if (!buf || len < 0) return -1;
    int fd = open_for(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return -1;
    long written = write_all(fd, buf, len);
    int closed = ::close(fd);
    return written == len && closed == 0 ? 0 : -1;
}

}  // namespace

long write_all(int fd, const char* p, long len) {
    long done = 0;
    while (done < len) {
        ssize_t n = ::write(fd, p + done, static_cast<size_t>(len - done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += n;
    }
    return done;
}

long file_call(long number, long a, long b, long c) {
    switch (number) {
        case qor::SYS_WRITE: return sys_write(a, as_text(b), c);
        case qor::SYS_READ: return sys_read(a, as_buffer(b), c);
        case qor::SYS_OPEN: return sys_open(as_text(a), b, c);
        case qor::SYS_CLOSE: return sys_close(a);
        case qor::SYS_GETDENTS: return sys_getdents(a, static_cast<unsigned char*>(as_buffer(b)), c);
        case qor::SYS_LSEEK: return sys_lseek(a, b, c);
        case qor::SYS_MKDIR: return sys_mkdir(as_text(a));
        case qor::SYS_UNLINK: return sys_unlink(as_text(a));
        case qor::SYS_STREAM_BEGIN: return sys_stream_begin(as_text(a));
        case qor::SYS_STREAM_WRITE: return sys_stream_write(a, as_text(b), c);
        case qor::SYS_STREAM_END: return sys_stream_end(a);
        case qor::SYS_WRITEFILE: return sys_writefile(as_text(a), as_text(b), c);
        default: return -1;
    }
}

void files_reset() {
    for (auto& [fd, f] : g_files) {
        if (f.listing) closedir(f.listing);
        ::close(fd);
    }
    g_files.clear();
}

}  // namespace hosted
