// The program's end of the desktop window: the window server is started as
// a child, frames go to it through shared memory, events come back over a
// socket. Once the server or its display is gone every call fails; nothing
// here may end the program (no SIGPIPE, no display library in process).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "window_internal.h"
#include "window_protocol.h"

#ifndef QOR_WINDOW_SERVER_PATH
#define QOR_WINDOW_SERVER_PATH ""
#endif

namespace hosted {
namespace {

// Opening a desktop window takes a moment (SDL waits for the window manager
// to map it, seconds on a busy machine); a server that shows nothing in this
// time is taken as having no display.
constexpr int READY_TIMEOUT_MS = 30000;

struct server_link {
    pid_t pid = -1;
    int socket = -1;
    frame_exchange* frames = nullptr;
    uint32_t own_slot = FRAME_SLOT_PROGRAM;
    bool lost = false;
};

server_link g_link;

std::string server_path() {
    const char* chosen = getenv("QOR_WINDOW_SERVER");
    return chosen && *chosen ? chosen : QOR_WINDOW_SERVER_PATH;
}

// Descriptors of the server: our two at 3 and 4, no input (the program's
// standard input may carry answers), its output to standard error (the
// program's standard output carries the program's lines only), nothing else
// inherited.
[[noreturn]] void exec_server(const std::string& path, int socket_end, int memory, const std::string& caption) {
    int s = fcntl(socket_end, F_DUPFD, 10);
    int m = fcntl(memory, F_DUPFD, 10);
    if (s < 0 || m < 0 || dup2(s, WINDOW_SERVER_SOCKET_FD) < 0 || dup2(m, WINDOW_SERVER_FRAME_FD) < 0) _exit(127);
    int nothing = open("/dev/null", O_RDONLY);
    if (nothing >= 0) dup2(nothing, 0);
    dup2(2, 1);
    close_range(WINDOW_SERVER_FRAME_FD + 1, ~0U, 0);
    execl(path.c_str(), "qor-window-server", caption.c_str(), static_cast<char*>(nullptr));
    _exit(127);
}

// 1 sent, 0 not now (the server is behind: only with `dont_wait`), -1 the
// server is gone.
int send_message(uint32_t kind, bool dont_wait) {
    window_message m;
    m.kind = kind;
    for (;;) {
        ssize_t n = send(g_link.socket, &m, sizeof m, MSG_NOSIGNAL | (dont_wait ? MSG_DONTWAIT : 0));
        if (n == static_cast<ssize_t>(sizeof m)) return 1;
        if (n < 0 && errno == EINTR) continue;
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
    }
}

// The next message from the server, false when it is gone or said nothing
// within `timeout_ms` (-1: no limit).
bool receive_message(window_message* m, int timeout_ms) {
    for (;;) {
        pollfd p{g_link.socket, POLLIN, 0};
        int r = poll(&p, 1, timeout_ms);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        ssize_t n = recv(g_link.socket, m, sizeof *m, 0);
        if (n < 0 && errno == EINTR) continue;
        return n == static_cast<ssize_t>(sizeof *m);
    }
}

void mark_lost() {
    if (g_link.lost) return;
    g_link.lost = true;
    fprintf(stderr, "hosted window: the window server is gone; window calls fail from now on\n");
}

}  // namespace

bool server_open(const std::string& caption) {
    server_close();
    std::string path = server_path();
    if (path.empty() || access(path.c_str(), X_OK) != 0) {
        fprintf(stderr, "hosted window: no window server (%s)\n", path.empty() ? "not built" : path.c_str());
        return false;
    }
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) return false;
    int memory = memfd_create("qor-window-frames", MFD_CLOEXEC);
    void* shared = MAP_FAILED;
    if (memory >= 0 && ftruncate(memory, sizeof(frame_exchange)) == 0)
        shared = mmap(nullptr, sizeof(frame_exchange), PROT_READ | PROT_WRITE, MAP_SHARED, memory, 0);
    pid_t pid = shared == MAP_FAILED ? -1 : fork();
    if (pid == 0) exec_server(path, ends[1], memory, caption);
    close(ends[1]);
    if (memory >= 0) close(memory);
    if (pid < 0) {
        if (shared != MAP_FAILED) munmap(shared, sizeof(frame_exchange));
        close(ends[0]);
        return false;
    }
    g_link.pid = pid;
    g_link.socket = ends[0];
    g_link.frames = new (shared) frame_exchange;
    window_message ready;
    if (!receive_message(&ready, READY_TIMEOUT_MS) || ready.kind != WINDOW_MSG_READY) {
        int status = server_close();
        if (WIFSIGNALED(status))
            fprintf(stderr, "hosted window: the window server died of signal %d\n", WTERMSIG(status));
        else if (WIFEXITED(status) && WEXITSTATUS(status) != 0)
            fprintf(stderr, "hosted window: the window server ended with status %d\n", WEXITSTATUS(status));
        return false;
    }
    return true;
}

// Outside a wait the server sends nothing, so anything readable on the
// socket is its end.
bool server_alive() {
    if (g_link.socket < 0 || g_link.lost) return false;
    pollfd p{g_link.socket, POLLIN, 0};
    if (poll(&p, 1, 0) > 0) mark_lost();
    return !g_link.lost;
}

int server_present(const uint32_t* pixels) {
    if (!server_alive()) return -1;
    memcpy(g_link.frames->slots[g_link.own_slot], pixels, WINDOW_PIXELS * sizeof(uint32_t));
    uint32_t handed = g_link.own_slot | frame_exchange::FRESH;
    g_link.own_slot = g_link.frames->middle.exchange(handed, std::memory_order_acq_rel) & 3;
    // A server that is behind takes this frame from the exchange with the
    // next message; drawing never waits for the display.
    if (send_message(WINDOW_MSG_FRAME, true) < 0) {
        mark_lost();
        return -1;
    }
    return 0;
}

int server_wait(int32_t* type, int32_t* code) {
    if (!server_alive()) return -1;
    window_message m;
    if (send_message(WINDOW_MSG_WAIT, false) < 0 || !receive_message(&m, -1) || m.kind != WINDOW_MSG_EVENT) {
        mark_lost();
        return -1;
    }
    *type = m.type;
    *code = m.code;
    return 1;
}

// The server ends when its socket closes; a server that hangs on its
// display is not waited for. The server's wait status, 0 when none ran.
int server_close() {
    if (g_link.socket >= 0) close(g_link.socket);
    if (g_link.frames) munmap(g_link.frames, sizeof(frame_exchange));
    int status = 0;
    if (g_link.pid > 0) {
        kill(g_link.pid, SIGTERM);
        waitpid(g_link.pid, &status, 0);
    }
    g_link = server_link{};
    return status;
}

}  // namespace hosted
