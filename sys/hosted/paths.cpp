// Machine paths to host paths.
//
// "RAM:" + path lies on the media; any other "NAME:" prefix fails; "/x" and
// relative paths lie on the current drive. Inside a machine every resolution
// is confined to its drive's root with RESOLVE_IN_ROOT: ".." stops at the
// root and a symbolic link is resolved as if the root were "/". On the bare
// host, paths are plain Linux paths and there are no drives. A drive slot's
// paths are looked up in its own file system, which keeps them inside it.
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "kernel.h"

namespace hosted {
namespace {

// Length of a "NAME:" prefix (with its colon), 0 when the path has none.
size_t drive_prefix_length(const char* path) {
    for (size_t i = 0; path[i]; ++i) {
        if (path[i] == '/') return 0;
        if (path[i] == ':') return i + 1;
    }
    return 0;
}

int drive_of_prefix(const char* path, size_t prefix_len) {
    if (prefix_len == 4 && strncmp(path, "RAM:", 4) == 0) return RAM_DRIVE;
    return -2;
}

long sys_openat2(int dirfd, const char* path, open_how* how) {
    return syscall(SYS_openat2, dirfd, path, how, sizeof *how);
}

}  // namespace

std::string slot_dir(int slot) {
    if (is_bare_host() || slot < 0) return "";
    return machine().dir + "/drives/" + std::to_string(slot);
}

std::string slot_image_path(int slot) { return slot_dir(slot) + "/disk.img"; }

int resolve_path(const char* path, resolved_path* out) {
    size_t prefix = drive_prefix_length(path);
    if (is_bare_host()) {
        if (prefix) return -1;
        out->root_fd = AT_FDCWD;
        out->confined = false;
        out->rest = path;
        return 0;
    }
    int drive = machine().current_drive;
    if (prefix) {
        drive = drive_of_prefix(path, prefix);
        if (drive == -2) return -1;
    }
    out->drive = drive;
    out->confined = true;
    out->rest = path + prefix;
    if (out->rest.empty()) out->rest.push_back('/');  // not = "/": GCC 12 -O3 warns falsely (-Wrestrict)
    if (drive >= 0) return 0;
    // Opened for each path: the media folder may be replaced while the
    // machine is in use, and a path names the folder there now.
    std::string media = machine().dir + "/media";
    out->root_fd = ::open(media.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    return out->root_fd < 0 ? -1 : 0;
}

void release_path(resolved_path* p) {
    if (p->root_fd >= 0) ::close(p->root_fd);
    p->root_fd = -1;
}

int open_resolved(const resolved_path& p, int flags, int mode) {
    // Hosts without openat2 (QEMU's user mode) get the walk of our own.
    static std::atomic<bool> no_openat2{false};
    if (!p.confined) return ::openat(p.root_fd, p.rest.c_str(), flags | O_CLOEXEC, mode);
    if (no_openat2 || confined_walk_forced()) return confined_open(p.root_fd, p.rest.c_str(), flags, mode);
    open_how how{};
    how.flags = static_cast<uint64_t>(flags | O_CLOEXEC);
    how.mode = (flags & O_CREAT) ? static_cast<uint64_t>(mode) : 0;
    how.resolve = RESOLVE_IN_ROOT;
    int fd = static_cast<int>(sys_openat2(p.root_fd, p.rest.c_str(), &how));
    if (fd >= 0 || errno != ENOSYS) return fd;
    no_openat2 = true;
    return confined_open(p.root_fd, p.rest.c_str(), flags, mode);
}

bool split_last_name(const std::string& path, std::string* parent, std::string* last) {
    std::string p = path;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    size_t slash = p.rfind('/');
    *parent = slash == std::string::npos ? "." : p.substr(0, slash + 1);
    *last = slash == std::string::npos ? p : p.substr(slash + 1);
    return !last->empty() && *last != "." && *last != ".." && *last != "/";
}

int open_parent(const resolved_path& p, std::string* last_name) {
    resolved_path parent_path;
    std::string last;
    if (!split_last_name(p.rest, &parent_path.rest, &last)) return -1;
    parent_path.root_fd = p.root_fd;
    parent_path.confined = p.confined;
    int fd = open_resolved(parent_path, O_PATH | O_DIRECTORY, 0);
    if (fd < 0) return -1;
    *last_name = last;
    return fd;
}

int open_host_node(const resolved_path& p, int flags, int mode) {
    // Non-blocking so that opening a FIFO cannot wait for its other end. A
    // regular file or a directory ignores the flag, so it is left set.
    int base = flags | O_NONBLOCK | O_NOCTTY;
    // The common cases are settled by the open itself, one host call: a
    // read-only open tried as a directory (O_DIRECTORY refuses anything
    // else before opening it), a create as a new file (what O_EXCL makes is
    // a regular file). Anything else is opened as asked and looked at.
    int fd = -1;
    if ((flags & O_ACCMODE) == O_RDONLY) {
        fd = open_resolved(p, base | O_DIRECTORY, mode);
        if (fd >= 0 || errno != ENOTDIR) return fd;
    } else if (flags & O_CREAT) {
        fd = open_resolved(p, base | O_EXCL, mode);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    fd = open_resolved(p, base, mode);
    if (fd < 0) return -1;
    struct stat st;
    bool usable = fstat(fd, &st) == 0 && (S_ISREG(st.st_mode) || (S_ISDIR(st.st_mode) && (flags & O_ACCMODE) == O_RDONLY));
    if (!usable) {
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace hosted
