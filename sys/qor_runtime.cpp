// The runtime wrappers: argument checks, then one numbered call each.
#include "qor.h"

namespace qor {
namespace {

long clamp_length(size_t len) { return static_cast<long>(len > LENGTH_CLAMP ? LENGTH_CLAMP : len); }

}  // namespace

long write(int fd, const void* buf, size_t len) {
    if (!buf) return -1;
    return qor_syscall(SYS_WRITE, fd, qor_word(buf), clamp_length(len));
}

long read(int fd, void* buf, size_t len) {
    if (!buf) return -1;
    return qor_syscall(SYS_READ, fd, qor_word(buf), clamp_length(len));
}

long open(const char* path, long flags, long mode) {
    if (!path) return -1;
    // The mode only means something when the call may create the file.
    return qor_syscall(SYS_OPEN, qor_word(path), flags, (flags & O_CREATE_BIT) ? mode : 0);
}

long creat(const char* path) { return open(path, O_CREAT_TRUNC_WRITE, 0644); }

long close(int fd) { return qor_syscall(SYS_CLOSE, fd, 0, 0); }

long getdents(int fd, void* buf, size_t len) {
    if (!buf) return -1;
    return qor_syscall(SYS_GETDENTS, fd, qor_word(buf), clamp_length(len));
}

long lseek(int fd, long offset, long whence) { return qor_syscall(SYS_LSEEK, fd, offset, whence); }

long mkdir(const char* path) {
    if (!path) return -1;
    return qor_syscall(SYS_MKDIR, qor_word(path), 0, 0);
}

long unlink(const char* path) {
    if (!path) return -1;
    return qor_syscall(SYS_UNLINK, qor_word(path), 0, 0);
}

long stream_begin(const char* path) {
    if (!path) return -1;
    return qor_syscall(SYS_STREAM_BEGIN, qor_word(path), 0, 0);
}

long stream_write(long handle, const void* buf, size_t len) {
    if (!buf) return -1;
    return qor_syscall(SYS_STREAM_WRITE, handle, qor_word(buf), clamp_length(len));
}

long stream_end(long handle) { return qor_syscall(SYS_STREAM_END, handle, 0, 0); }

long writefile(const char* path, const void* buf, size_t len) {
    if (!path || !buf) return -1;
    return qor_syscall(SYS_WRITEFILE, qor_word(path), qor_word(buf), clamp_length(len));
}

long read_full(int fd, void* buf, size_t len) {
    if (!buf) return -1;
    size_t have = 0;
    while (have < len) {
        long n = read(fd, static_cast<char*>(buf) + have, len - have);
        if (n < 0) return -1;
        if (n == 0) break;
        have += static_cast<size_t>(n);
    }
    return static_cast<long>(have);
}

int access(const char* path) {
    long fd = open(path, O_READ);
    if (fd < 0) return -1;
    close(static_cast<int>(fd));
    return 0;
}

long usleep(long microseconds) { return qor_syscall(SYS_USLEEP, microseconds, 0, 0); }

uint32_t seed_word() { return static_cast<uint32_t>(qor_syscall(SYS_SEED_WORD, 0, 0, 0)); }

long spawn(const char* path, const char* const* argv, int argc) {
    if (!path || (!argv && argc > 0)) return -1;
    return qor_syscall(SYS_SPAWN, qor_word(path), qor_word(argv), argc);
}

long waitpid(long child, int32_t* status) {
    if (!status) return -1;
    return qor_syscall(SYS_WAITPID, child, qor_word(status), 0);
}

long net_resolve(const char* host, uint8_t address[4]) {
    if (!host || !address) return -1;
    return qor_syscall(SYS_NET_RESOLVE, qor_word(host), qor_word(address), 0);
}

long tcp_connect(const uint8_t address[4], uint16_t port) {
    if (!address) return -1;
    return qor_syscall(SYS_TCP_CONNECT, qor_word(address), port, 0);
}

long tcp_send(const void* buf, size_t len) {
    if (!buf) return -1;
    return qor_syscall(SYS_TCP_SEND, qor_word(buf), clamp_length(len), 0);
}

long tcp_recv(void* buf, size_t len) {
    if (!buf) return -1;
    return qor_syscall(SYS_TCP_RECV, qor_word(buf), clamp_length(len), 0);
}

long tcp_close() { return qor_syscall(SYS_TCP_CLOSE, 0, 0, 0); }

long gui_attach(const char* title, const char* subtitle) {
    if (!title || !subtitle) return -1;
    return qor_syscall(SYS_GUI_ATTACH, qor_word(title), qor_word(subtitle), 0);
}

long gui_set_font(long handle, const char* font_name) {
    if (!font_name) return -1;
    return qor_syscall(SYS_GUI_SET_FONT, handle, qor_word(font_name), 0);
}

long gui_wait_event(long handle, gui_event* event) {
    if (!event) return -1;
    return qor_syscall(SYS_GUI_WAIT_EVENT, handle, qor_word(event), GUI_EVENT_SIZE);
}

long gui_get_content_size(long handle, gui_size* size) {
    if (!size) return -1;
    return qor_syscall(SYS_GUI_GET_CONTENT_SIZE, handle, qor_word(size), 0);
}

long gui_begin(long handle) { return qor_syscall(SYS_GUI_BEGIN, handle, 0, 0); }

long gui_clear(long handle, uint32_t colour) { return qor_syscall(SYS_GUI_CLEAR, handle, colour, 0); }

long gui_fill_rect(long handle, const gui_rect* rect) {
    if (!rect) return -1;
    return qor_syscall(SYS_GUI_FILL_RECT, handle, qor_word(rect), 0);
}

long gui_draw_text(long handle, const gui_text* text) {
    if (!text || !text->text) return -1;
    return qor_syscall(SYS_GUI_DRAW_TEXT, handle, qor_word(text), 0);
}

long gui_present(long handle) { return qor_syscall(SYS_GUI_PRESENT, handle, 0, 0); }

}  // namespace qor
