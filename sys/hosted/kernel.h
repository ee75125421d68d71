// Internal interfaces between the pieces of the hosted machine.
#pragma once

#include <cstdint>
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

std::string slot_dir(int slot);
std::string slot_image_path(int slot);
// Byte offset of the slot's prepared partition in its image; false when the
// slot was never prepared.
bool partition_offset(int slot, uint64_t* offset);

// A machine path resolved to the drive it lies on and the rest of it. On a
// drive slot the rest is looked up in the slot's file system (drive_fs.h);
// on the media and the bare host it is resolved under a host directory
// descriptor, and in a machine `confined` is set: the rest must be resolved
// with RESOLVE_IN_ROOT so neither ".." nor a symbolic link leaves the root.
struct resolved_path {
    int drive = RAM_DRIVE;  // a slot (>= 0), or RAM_DRIVE for the media and the bare host
    int root_fd = -1;       // host directory; AT_FDCWD on the bare host
    bool confined = false;
    std::string rest;
    bool on_slot() const { return drive >= 0; }
};

// 0 and `out` filled, or -1 (unknown drive, no drive on the bare host).
// The caller closes out.root_fd with release_path().
int resolve_path(const char* path, resolved_path* out);
void release_path(resolved_path* p);

// openat2 under the resolved host root (confined when in a machine; where the
// host has no openat2, confined_open instead).
int open_resolved(const resolved_path& p, int flags, int mode);

// openat under `root_fd` with the rules of RESOLVE_IN_ROOT, walked here for
// hosts without openat2: a descriptor, or -1 and errno.
int confined_open(int root_fd, const char* path, int flags, int mode);
bool confined_walk_forced();

// The path without trailing slashes split into its parent ("." when it has
// none, else ending in "/") and its last name; false for a last name of "",
// "." or "..".
bool split_last_name(const std::string& path, std::string* parent, std::string* last);

// Opens the parent directory of the last component and names that
// component; fails for a last component of "", "." or "..".
int open_parent(const resolved_path& p, std::string* last_name);

// Opens a regular file or a directory on a host root; a FIFO, socket or
// device is refused at once and never waited on. -1 on failure.
int open_host_node(const resolved_path& p, int flags, int mode);

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
