// Internal interfaces between the pieces of the hosted machine.
#pragma once

#include <string>

namespace hosted {

constexpr int RAM_DRIVE = -1;

struct machine_state {
    bool configured = false;  // read from the environment or use_machine()
    std::string dir;          // "" : the bare host
    int current_drive = RAM_DRIVE;
};

// The machine, configured on first use from QOR_MACHINE and QOR_DRIVE.
machine_state& machine();
bool is_bare_host();

// Host path of a drive's root directory ("" when there is no such drive).
std::string drive_root(int drive);
std::string slot_dir(int slot);

// A machine path resolved to a directory descriptor and a path to resolve
// under it. In a machine, `confined` is set: the rest must be resolved with
// RESOLVE_IN_ROOT so neither ".." nor a symbolic link leaves the root.
struct resolved_path {
    int root_fd = -1;  // AT_FDCWD on the bare host
    bool confined = false;
    std::string rest;
};

// 0 and `out` filled, or -1 (unknown drive, no drive on the bare host).
// The caller closes out.root_fd with release_path().
int resolve_path(const char* path, resolved_path* out);
void release_path(resolved_path* p);

// openat2 under the resolved root (confined when in a machine; where the
// host has no openat2, confined_open instead).
int open_resolved(const resolved_path& p, int flags, int mode);

// openat under `root_fd` with the rules of RESOLVE_IN_ROOT, walked here for
// hosts without openat2: a descriptor, or -1 and errno.
int confined_open(int root_fd, const char* path, int flags, int mode);
bool confined_walk_forced();

// Opens the parent directory of the last component and names that
// component; fails for a last component of "", "." or "..".
int open_parent(const resolved_path& p, std::string* last_name);

// Host descriptor of a file a machine path names, opened for reading, or -1.
int open_machine_path_for_reading(const char* path);

// Pointer arguments arrive as words.
inline const char* as_text(long word) { return reinterpret_cast<const char*>(word); }
inline void* as_buffer(long word) { return reinterpret_cast<void*>(word); }

// Call families, each in its own file.
long file_call(long number, long a, long b, long c);
long drive_call(long number, long a, long b, long c);
long process_call(long number, long a, long b, long c);
long network_call(long number, long a, long b, long c);
long window_call(long number, long a, long b, long c);

// Writes all `len` bytes to a host descriptor, going on after short writes
// and interruptions: the bytes written (fewer only when the host refused).
long write_all(int fd, const char* p, long len);

// Output on descriptor 1: to the capture when on, else the host's stdout.
long write_standard_output(const void* buf, long len);
bool capture_active();
void capture_append(const std::string& bytes);

// Forgets every open descriptor, stream and child (machine switch).
void files_reset();
void network_reset();
void window_reset();

bool sleeps_skipped();

}  // namespace hosted
