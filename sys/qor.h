// Runtime wrappers over the numbered system calls: the only way programs in
// installer/, extract/ and pkg/ reach files, processes, the network, windows,
// time and output. They live in namespace qor so they never collide with the
// host C library.
//
// Common rules: a null pointer argument gives -1 without calling the kernel;
// lengths are clamped to 2147483647.
#pragma once

#include <cstddef>
#include <cstdint>

#include "qor_calls.h"
#include "qor_syscall.h"

namespace qor {

constexpr size_t LENGTH_CLAMP = 2147483647;

// Files (bytes written/read, descriptor, 0 on success; negative on failure).
long write(int fd, const void* buf, size_t len);
long read(int fd, void* buf, size_t len);
long open(const char* path, long flags, long mode = 0);
long creat(const char* path);  // open with flags 0x241
long close(int fd);
long getdents(int fd, void* buf, size_t len);
long lseek(int fd, long offset, long whence);
long mkdir(const char* path);
long unlink(const char* path);
long stream_begin(const char* path);
long stream_write(long handle, const void* buf, size_t len);
long stream_end(long handle);
long writefile(const char* path, const void* buf, size_t len);

// Reads until `len` bytes are in or the file ends: the bytes read (fewer
// only at the end of the file), or -1 when a read fails.
long read_full(int fd, void* buf, size_t len);

// 0 when the path opens for reading (files and directories), else -1.
int access(const char* path);

// Time and randomness.
long usleep(long microseconds);
uint32_t seed_word();

// Processes: argv holds only the arguments after the program name.
long spawn(const char* path, const char* const* argv, int argc);
long waitpid(long child, int32_t* status);

// Network: one current connection.
long net_resolve(const char* host, uint8_t address[4]);
long tcp_connect(const uint8_t address[4], uint16_t port);
long tcp_send(const void* buf, size_t len);
long tcp_recv(void* buf, size_t len);
long tcp_close();

// Window services.
long gui_attach(const char* title, const char* subtitle);
long gui_set_font(long handle, const char* font_name);
long gui_wait_event(long handle, gui_event* event);
long gui_get_content_size(long handle, gui_size* size);
long gui_begin(long handle);
long gui_clear(long handle, uint32_t colour);
long gui_fill_rect(long handle, const gui_rect* rect);
long gui_draw_text(long handle, const gui_text* text);
long gui_present(long handle);

}  // namespace qor
