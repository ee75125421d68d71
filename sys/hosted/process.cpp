// Processes, sleep and the seed word.
//
// spawn starts a host executable named by a machine path. A bare name is
// looked up in "/binaries" of the current drive, then in "RAM:/binaries".
// The child runs in the same machine, on its parent's current drive
// (QOR_MACHINE and QOR_DRIVE in its environment). QOR-OS files carry no
// permission bits, so any regular file that is a host executable starts,
// whatever mode the copy got on Linux. A program on a drive slot lives in the
// slot's file system: it is copied into a memory file and started from there.
//
// Before a child starts, every drive's file system is written back into its
// image and closed, and it is reopened on the parent's next call after the
// child ended, so parent and child each see what the other wrote. A program
// that cannot be started makes spawn fail; it never yields a child.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "drive_fs.h"
#include "kernel.h"
#include "qor_calls.h"

extern char** environ;

namespace hosted {
namespace {

// While the parent's output is captured, each child writes its standard
// output to a memory file that waitpid appends to the capture.
std::map<pid_t, int> g_child_output;

bool is_bare_name(const char* path) { return strchr(path, '/') == nullptr && strchr(path, ':') == nullptr; }

bool looks_like_host_executable(int fd) {
    unsigned char magic[4] = {0, 0, 0, 0};
    ssize_t n = pread(fd, magic, sizeof magic, 0);
    if (n >= 4 && magic[0] == 0x7F && magic[1] == 'E' && magic[2] == 'L' && magic[3] == 'F') return true;
    return n >= 2 && magic[0] == '#' && magic[1] == '!';
}

// A memory file holding the drive file's bytes, or -1.
int copy_drive_program(const resolved_path& p) {
    drive_ino ino = 0;
    node_kind kind = node_kind::special;
    if (drive_find(p.drive, p.rest, &ino) != 0 || drive_kind(p.drive, ino, &kind) != 0 || kind != node_kind::file)
        return -1;
    drive_file* f = drive_file_open(p.drive, ino, false);
    if (!f) return -1;
    int image = memfd_create("qor-program", MFD_CLOEXEC);
    char chunk[65536];
    long n = 0;
    bool ok = image >= 0;
    while (ok && (n = drive_file_read(f, chunk, sizeof chunk)) > 0) ok = write_all(image, chunk, n) == n;
    ok = drive_file_close(f) == 0 && ok && n == 0;
    if (!ok && image >= 0) {
        ::close(image);
        image = -1;
    }
    return image;
}

// Host descriptor of the program a machine path names, or -1.
int open_program_at(const char* path) {
    resolved_path p;
    if (resolve_path(path, &p) != 0) return -1;
    int fd = p.on_slot() ? copy_drive_program(p) : open_host_node(p, O_RDONLY, 0);
    release_path(&p);
    return fd;
}

// Host descriptor of the program to start, or -1.
int open_program(const char* path) {
    if (is_bare_host()) return ::open(path, O_RDONLY | O_CLOEXEC);
    if (!is_bare_name(path)) return open_program_at(path);
    std::string on_current = std::string("/binaries/") + path;
    int fd = open_program_at(on_current.c_str());
    if (fd >= 0) return fd;
    std::string on_media = std::string("RAM:/binaries/") + path;
    return open_program_at(on_media.c_str());
}

// Starts the program in a child. The child reports a failed exec through a
// close-on-exec pipe, so the parent learns of it before handing out an id.
pid_t start_child(int program, char** argv, char** envp, int output) {
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) return -1;
    pid_t pid = fork();
    if (pid == 0) {
        ::close(report[0]);
        if (output >= 0) dup2(output, 1);
        // A script's interpreter opens the program through /dev/fd.
        fcntl(program, F_SETFD, 0);
        fexecve(program, argv, envp);
        int error = errno;
        ssize_t ignored = ::write(report[1], &error, sizeof error);
        (void)ignored;
        _exit(127);
    }
    ::close(report[1]);
    if (pid < 0) {
        ::close(report[0]);
        return -1;
    }
    int error = 0;
    ssize_t n;
    do {
        n = ::read(report[0], &error, sizeof error);
    } while (n < 0 && errno == EINTR);
    ::close(report[0]);
    if (n == 0) return pid;
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    return -1;
}

int make_startable(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || !looks_like_host_executable(fd)) return -1;
    if ((st.st_mode & 0111) == 0111) return 0;
    return fchmod(fd, st.st_mode | 0111);
}

std::vector<std::string> child_environment() {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        if (strncmp(*e, "QOR_MACHINE=", 12) == 0 || strncmp(*e, "QOR_DRIVE=", 10) == 0) continue;
        env.emplace_back(*e);
    }
    if (!is_bare_host()) {
        env.push_back("QOR_MACHINE=" + machine().dir);
        int drive = machine().current_drive;
        env.push_back("QOR_DRIVE=" + (drive == RAM_DRIVE ? std::string("RAM") : std::to_string(drive)));
    }
    return env;
}

long sys_spawn(const char* path, const char* const* args, long count) {
    if (!path || count < 0 || (count > 0 && !args)) return -1;
    int program = open_program(path);
    if (program < 0) return -1;
    if (make_startable(program) != 0) {
        ::close(program);
        return -1;
    }
    std::vector<std::string> env_strings = child_environment();
    std::vector<char*> envp;
    for (std::string& s : env_strings) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(path));
    for (long i = 0; i < count; ++i) {
        if (!args[i]) {
            ::close(program);
            return -1;
        }
        argv.push_back(const_cast<char*>(args[i]));
    }
    argv.push_back(nullptr);

    int output = capture_active() ? memfd_create("qor-child-output", MFD_CLOEXEC) : -1;
    drives_detach();
    pid_t pid = start_child(program, argv.data(), envp.data(), output);
    ::close(program);
    if (pid < 0) {
        if (output >= 0) ::close(output);
        return -1;
    }
    if (output >= 0) g_child_output[pid] = output;
    return pid;
}

void collect_child_output(pid_t pid) {
    auto it = g_child_output.find(pid);
    if (it == g_child_output.end()) return;
    std::string bytes;
    char chunk[4096];
    ssize_t n;
    off_t at = 0;
    while ((n = pread(it->second, chunk, sizeof chunk, at)) > 0) {
        bytes.append(chunk, static_cast<size_t>(n));
        at += n;
    }
    ::close(it->second);
    g_child_output.erase(it);
    if (capture_active()) capture_append(bytes);
    else write_standard_output(bytes.data(), static_cast<long>(bytes.size()));
}

long sys_waitpid(long child, int32_t* status_word) {
    if (!status_word || child <= 0) return -1;
    int status = 0;
    pid_t r;
    do {
        r = ::waitpid(static_cast<pid_t>(child), &status, 0);
    } while (r < 0 && errno == EINTR);
    if (r <= 0) return -1;
    collect_child_output(r);
    if (WIFEXITED(status)) *status_word = WEXITSTATUS(status);
    else if (WIFSIGNALED(status)) *status_word = 128 + WTERMSIG(status);
    else *status_word = -1;
    return r;
}

long sys_usleep(long microseconds) {
    if (microseconds <= 0 || sleeps_skipped()) return 0;
    ::usleep(static_cast<useconds_t>(microseconds));
    return 0;
}

long sys_seed_word() {
    uint32_t word = 0;
    if (getrandom(&word, sizeof word, 0) != static_cast<ssize_t>(sizeof word)) word = static_cast<uint32_t>(getpid());
    return static_cast<long>(word);
}

}  // namespace

long process_call(long number, long a, long b, long c) {
    switch (number) {
        case qor::SYS_SPAWN:
            return sys_spawn(as_text(a), static_cast<const char* const*>(as_buffer(b)), c);
        case qor::SYS_WAITPID: return sys_waitpid(a, static_cast<int32_t*>(as_buffer(b)));
        case qor::SYS_USLEEP: return sys_usleep(a);
        case qor::SYS_SEED_WORD: return sys_seed_word();
        default: return -1;
    }
}

}  // namespace hosted
