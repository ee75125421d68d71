// File services: open, read, write, close, getdents, lseek, mkdir, unlink,
// the front-to-back file stream and writefile.
//
// Descriptors are the kernel's own numbers, from 3 up (0, 1 and 2 are the
// host's standard streams). A descriptor stands for a host file on the media
// or the bare host, or for a file or directory in a drive slot's file system.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <map>
#include <vector>

#include "drive_fs.h"
#include "kernel.h"
#include "qor_calls.h"

namespace hosted {
namespace {

enum class open_kind { reading, writing, stream };

struct open_file {
    open_kind kind = open_kind::reading;
    // On the media or the bare host.
    int host_fd = -1;
    DIR* listing = nullptr;  // made on the first getdents
    // On a drive slot: a regular file, or a directory and its entries,
    // taken whole on the first getdents.
    drive_file* file = nullptr;
    int slot = -1;
    drive_ino dir = 0;
    bool listed = false;
    std::vector<drive_entry> entries;
    size_t next_entry = 0;
};

constexpr int FIRST_DESCRIPTOR = 3;
std::map<int, open_file> g_files;

int new_descriptor(open_file f) {
    int fd = FIRST_DESCRIPTOR;
    for (auto it = g_files.lower_bound(fd); it != g_files.end() && it->first == fd; ++it) ++fd;
    g_files.emplace(fd, std::move(f));
    return fd;
}

open_file* find_open(long fd) {
    auto it = g_files.find(static_cast<int>(fd));
    return it == g_files.end() ? nullptr : &it->second;
}

// Releases what the descriptor holds: 0, or -1 when written data was lost.
int release(open_file& f) {
    int r = 0;
    if (f.listing) closedir(f.listing);
    if (f.host_fd >= 0 && ::close(f.host_fd) != 0) r = -1;
    if (f.file && drive_file_close(f.file) != 0) r = -1;
    return r;
}

// Opens a regular file (or, for reading, a directory) on its drive.
int open_path(const char* path, open_kind kind, bool truncate) {
    if (!path) return -1;
    resolved_path p;
    if (resolve_path(path, &p) != 0) return -1;
    open_file f;
    f.kind = kind;
    bool writing = kind != open_kind::reading;
    if (!p.on_slot()) {
        int flags = writing ? O_WRONLY | O_CREAT | (truncate ? O_TRUNC : 0) : O_RDONLY;
        f.host_fd = open_host_node(p, flags, 0644);
        release_path(&p);
        return f.host_fd < 0 ? -1 : new_descriptor(std::move(f));
    }
    drive_ino ino = 0;
    node_kind node = node_kind::special;
    if (writing) {
        if (drive_create_file(p.drive, p.rest, truncate, &ino) != 0) return -1;
        node = node_kind::file;
    } else if (drive_find(p.drive, p.rest, &ino) != 0 || drive_kind(p.drive, ino, &node) != 0) {
        return -1;
    }
    if (node == node_kind::directory) {
        f.slot = p.drive;
        f.dir = ino;
        return new_descriptor(std::move(f));
    }
    if (node != node_kind::file) return -1;
    f.file = drive_file_open(p.drive, ino, writing);
    return f.file ? new_descriptor(std::move(f)) : -1;
}

long sys_open(const char* path, long flags, long) {
    if (flags == 0) return open_path(path, open_kind::reading, false);
    if ((flags & 0x3) == 1 && (flags & qor::O_CREATE_BIT)) return open_path(path, open_kind::writing, flags & 0x200);
    return -1;
}

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

long read_host(int fd, void* buf, long len) {
    size_t host_len = host_read_length(fd, len);
    ssize_t n;
    do {
        n = ::read(fd, buf, host_len);
    } while (n < 0 && errno == EINTR);
    return n < 0 ? -1 : n;
}

long sys_read(long fd, void* buf, long len) {
    if (!buf || len < 0) return -1;
    if (fd == 0) return read_host(0, buf, len);
    open_file* f = find_open(fd);
    if (!f || f->kind != open_kind::reading) return -1;
    if (f->file) return drive_file_read(f->file, buf, len);
    return f->host_fd < 0 ? -1 : read_host(f->host_fd, buf, len);
}

// Bytes accepted by a file open for writing; fewer when its drive is full.
long write_open_file(open_file& f, const char* buf, long len) {
    if (f.file) return drive_file_write(f.file, buf, len);
    return write_all(f.host_fd, buf, len);
}

long sys_write(long fd, const char* buf, long len) {
    if (!buf || len < 0) return -1;
    if (fd == 1) return write_standard_output(buf, len);
    if (fd == 2) return write_all(2, buf, len);
    open_file* f = find_open(fd);
    if (!f || f->kind != open_kind::writing) return -1;
    return write_open_file(*f, buf, len);
}

long sys_close(long fd) {
    auto it = g_files.find(static_cast<int>(fd));
    if (it == g_files.end()) return fd >= 0 && fd <= 2 ? 0 : -1;
    int r = release(it->second);
    g_files.erase(it);
    return r;
}

bool host_entry_is_directory(DIR* dir, const dirent* e) {
    if (e->d_type == DT_DIR) return true;
    if (e->d_type != DT_UNKNOWN) return false;
    struct stat st;
    return fstatat(dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
}

// One 64-byte record; false when the name does not fit it.
bool fill_record(unsigned char* record, const char* name, size_t name_len, bool directory) {
    if (name_len > static_cast<size_t>(qor::DIRENT_NAME_MAX)) return false;
    memset(record, 0, qor::DIRENT_SIZE);
    record[0] = directory ? 1 : 0;
    memcpy(record + qor::DIRENT_NAME_OFFSET, name, name_len);
    return true;
}

long list_host_directory(open_file& f, unsigned char* buf, long len) {
    if (!f.listing) {
        int dup_fd = fcntl(f.host_fd, F_DUPFD_CLOEXEC, 3);
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
        if (!fill_record(buf + filled, e->d_name, strlen(e->d_name), host_entry_is_directory(f.listing, e))) {
            seekdir(f.listing, position);
            return -1;
        }
        filled += qor::DIRENT_SIZE;
    }
    return filled;
}

long list_drive_directory(open_file& f, unsigned char* buf, long len) {
    if (!f.listed) {
        if (drive_list(f.slot, f.dir, &f.entries) != 0) return -1;
        f.listed = true;
    }
    long filled = 0;
    while (filled + qor::DIRENT_SIZE <= len && f.next_entry < f.entries.size()) {
        const drive_entry& e = f.entries[f.next_entry];
        if (!fill_record(buf + filled, e.name.data(), e.name.size(), e.directory)) return -1;
        ++f.next_entry;
        filled += qor::DIRENT_SIZE;
    }
    return filled;
}

// Fills whole 64-byte records. An entry whose name does not fit its record
// fails the call instead of being cut; an entry that does not fit the buffer
// waits for the next call.
long sys_getdents(long fd, unsigned char* buf, long len) {
    open_file* f = find_open(fd);
    if (!buf || !f || f->kind != open_kind::reading || len < qor::DIRENT_SIZE) return -1;
    if (f->slot >= 0) return list_drive_directory(*f, buf, len);
    if (f->file) return -1;
    return list_host_directory(*f, buf, len);
}

long sys_lseek(long fd, long offset, long whence) {
    open_file* f = find_open(fd);
    if (!f || (whence != SEEK_SET && whence != SEEK_CUR && whence != SEEK_END)) return -1;
    if (f->file) return drive_file_seek(f->file, offset, static_cast<int>(whence));
    if (f->host_fd < 0) return -1;
    off_t r = ::lseek(f->host_fd, offset, static_cast<int>(whence));
    // A position the call's word cannot hold (past 2 GiB on a 32-bit build)
    // fails rather than come back wrapped round to a wrong size.
    return r < 0 || r > LONG_MAX ? -1 : static_cast<long>(r);
}

// mkdir or unlink: on a drive slot through its file system, on the bare
// host straight at the path, and on the media at the parent directory
// resolved confined like every path. The last name is checked alike on both
// hosts, so that "x/." or "x/.." fails and "x/" names x.
long make_or_remove(const char* path, bool make) {
    if (!path) return -1;
    resolved_path p;
    if (resolve_path(path, &p) != 0) return -1;
    if (p.on_slot()) return make ? drive_make_dir(p.drive, p.rest) : drive_remove_file(p.drive, p.rest);
    int r = -1;
    if (!p.confined) {
        std::string parent, last;
        if (!split_last_name(p.rest, &parent, &last)) return -1;
        std::string at = parent == "." ? last : parent + last;
        r = make ? mkdir(at.c_str(), 0755) : unlink(at.c_str());
        // unlink also takes away an empty directory.
        if (!make && r != 0 && errno == EISDIR) r = rmdir(at.c_str());
    } else {
        std::string last;
        int parent = open_parent(p, &last);
        release_path(&p);
        if (parent < 0) return -1;
        r = make ? mkdirat(parent, last.c_str(), 0755) : unlinkat(parent, last.c_str(), 0);
        if (!make && r != 0 && errno == EISDIR) r = unlinkat(parent, last.c_str(), AT_REMOVEDIR);
        ::close(parent);
    }
    return r == 0 ? 0 : -1;
}

long sys_stream_begin(const char* path) { return open_path(path, open_kind::stream, true); }

long sys_stream_write(long handle, const char* buf, long len) {
    open_file* f = find_open(handle);
    if (!buf || len < 0 || !f || f->kind != open_kind::stream) return -1;
    return write_open_file(*f, buf, len);
}

long sys_stream_end(long handle) {
    open_file* f = find_open(handle);
    if (!f || f->kind != open_kind::stream) return -1;
    return sys_close(handle);
}

long sys_writefile(const char* path, const char* buf, long len) {
    if (!buf || len < 0) return -1;
    int fd = open_path(path, open_kind::writing, true);
    if (fd < 0) return -1;
    long written = write_open_file(g_files[fd], buf, len);
    long closed = sys_close(fd);
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
        case qor::SYS_MKDIR: return make_or_remove(as_text(a), true);
        case qor::SYS_UNLINK: return make_or_remove(as_text(a), false);
        case qor::SYS_STREAM_BEGIN: return sys_stream_begin(as_text(a));
        case qor::SYS_STREAM_WRITE: return sys_stream_write(a, as_text(b), c);
        case qor::SYS_STREAM_END: return sys_stream_end(a);
        case qor::SYS_WRITEFILE: return sys_writefile(as_text(a), as_text(b), c);
        default: return -1;
    }
}

void files_reset() {
    for (auto& [fd, f] : g_files) release(f);
    g_files.clear();
    drives_reset();
}

}  // namespace hosted
