// A path walk confined to a root directory, for hosts whose kernel (or
// emulator) has no openat2: the same rules as RESOLVE_IN_ROOT. The walk goes
// one component at a time from the root with O_PATH | O_NOFOLLOW, so no
// component is ever resolved by the host on its own; ".." climbs the
// directories this walk went down and stops at the root; a symbolic link is
// read and its target walked in its place, an absolute target from the root.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <deque>
#include <string>
#include <vector>

#include "hosted.h"
#include "kernel.h"

namespace hosted {
namespace {

// As many links as the host follows in one resolution.
constexpr int MAX_LINKS = 40;

std::atomic<bool> walk_forced{false};

// The components of `path` in order; a trailing "/" becomes a last "." so
// the name before it must be a directory.
void split_components(const std::string& path, std::deque<std::string>* out) {
    std::deque<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t slash = path.find('/', start);
        if (slash == std::string::npos) slash = path.size();
        if (slash > start) parts.push_back(path.substr(start, slash - start));
        start = slash + 1;
    }
    if (!path.empty() && path.back() == '/') parts.push_back(".");
    out->insert(out->begin(), parts.begin(), parts.end());
}

// The directories walked down from the root; the root descriptor is the
// caller's and is never closed here.
class dir_stack {
public:
    explicit dir_stack(int root) : root_(root) {}
    ~dir_stack() { to_root(); }
    dir_stack(const dir_stack&) = delete;
    dir_stack& operator=(const dir_stack&) = delete;

    int top() const { return dirs_.empty() ? root_ : dirs_.back(); }
    void push(int fd) { dirs_.push_back(fd); }
    void up() {
        if (dirs_.empty()) return;
        ::close(dirs_.back());
        dirs_.pop_back();
    }
    void to_root() {
        while (!dirs_.empty()) up();
    }

private:
    int root_;
    std::vector<int> dirs_;
};

int fail(int error) {
    errno = error;
    return -1;
}

// The target of the link `link_fd` (an O_PATH descriptor of the link itself).
bool read_link(int link_fd, std::string* target) {
    char buf[PATH_MAX];
    ssize_t n = readlinkat(link_fd, "", buf, sizeof buf);
    if (n < 0) return false;
    if (static_cast<size_t>(n) == sizeof buf) {
        errno = ENAMETOOLONG;
        return false;
    }
    target->assign(buf, static_cast<size_t>(n));
    return true;
}

}  // namespace

void force_confined_walk(bool on) { walk_forced = on; }
bool confined_walk_forced() { return walk_forced; }

int confined_open(int root_fd, const char* path, int flags, int mode) {
    if (!*path) return fail(ENOENT);
    std::deque<std::string> pending;
    split_components(path, &pending);
    if (pending.empty()) pending.push_back(".");  // the root itself
    dir_stack dirs(root_fd);
    int links = 0;
    while (!pending.empty()) {
        std::string name = pending.front();
        pending.pop_front();
        bool last = pending.empty();
        if (name == "..") {
            dirs.up();
            if (last) name = ".";
            else continue;
        }
        if (name == ".") {
            if (!last) continue;
            return ::openat(dirs.top(), ".", flags | O_CLOEXEC, mode);
        }
        int fd = ::openat(dirs.top(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) {
            // A last name that is not there yet may be created, never through
            // a link put in its place meanwhile.
            if (last && errno == ENOENT && (flags & O_CREAT))
                return ::openat(dirs.top(), name.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, mode);
            return -1;
        }
        struct stat st;
        if (fstat(fd, &st) != 0) {
            int error = errno;
            ::close(fd);
            return fail(error);
        }
        if (S_ISLNK(st.st_mode)) {
            if (last && (flags & O_NOFOLLOW)) {
                // The host decides: the link itself for O_PATH, ELOOP otherwise.
                ::close(fd);
                return ::openat(dirs.top(), name.c_str(), flags | O_CLOEXEC, mode);
            }
            if (last && (flags & O_CREAT) && (flags & O_EXCL)) {
                ::close(fd);
                return fail(EEXIST);
            }
            std::string target;
            bool ok = ++links <= MAX_LINKS && read_link(fd, &target);
            int error = links > MAX_LINKS ? ELOOP : errno;
            ::close(fd);
            if (!ok) return fail(error);
            if (target.empty()) return fail(ENOENT);
            if (target[0] == '/') dirs.to_root();
            split_components(target, &pending);
            if (pending.empty()) pending.push_back(".");  // a link to "/"
            continue;
        }
        if (last) {
            ::close(fd);
            // O_NOFOLLOW: should the name have become a link since, the host
            // refuses rather than follow it out of the root.
            return ::openat(dirs.top(), name.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, mode);
        }
        if (!S_ISDIR(st.st_mode)) {
            ::close(fd);
            return fail(ENOTDIR);
        }
        dirs.push(fd);
    }
    return fail(ENOENT);  // not reached: the last name always returns
}

}  // namespace hosted
