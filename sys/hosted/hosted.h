// Test-facing controls of the hosted machine (the stand-in kernel on Linux).
// Programs never include this; tests and tools do.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace hosted {

// Uses `machine_dir` as the machine from now on (empty: the bare host),
// closing everything the previous machine had open and making RAM: the
// current drive. Without this call the machine comes from QOR_MACHINE at the
// first system call.
void use_machine(const std::string& machine_dir);

// Fault hook: uses number `first_use` .. `first_use + times - 1` of call
// `number`, counted from now, return `result` without doing anything.
// times < 0 means every use from `first_use` on.
void fault_add(long number, long first_use, long result, long times = 1);
void faults_clear();
// Use `use` (counted from now) of call `number` really runs, with half the
// length asked (a read, write, stream write, send or receive moves part of
// its bytes; a listing gets room for one record).
void fault_add_shortened(long number, long use);
// Use `use` (counted from now) of call `number` ends the process at once
// with status KILLED_STATUS: the call is not carried out and the program
// does nothing more, as at a power loss; the drives keep what the earlier
// calls wrote (each call written through).
constexpr int KILLED_STATUS = 137;
void fault_add_kill(long number, long use);
[[noreturn]] void end_process_at_call();

// How often call `number` was issued since the last counters reset.
long call_count(long number);
void call_counts_reset();
// Every call issued since the last reset, with its count.
std::map<long, long> call_counts();

// Capture of descriptor 1: while on, the program's writes to descriptor 1 are
// kept instead of reaching the host's standard output.
void capture_begin();
std::string capture_end();

// While on, sleep calls return at once (tests of polling time-outs).
void skip_sleeps(bool on);

// While on, confined paths take the hosted machine's own walk even where the
// host has openat2 (tests of the walk used on hosts without it).
void force_confined_walk(bool on);

// Window test record: the drawing calls of the frame begun last, as the
// window received them (calls the fault hook failed never arrive).
struct window_draw {
    enum class kind_type { clear, rect, text };
    kind_type kind = kind_type::clear;
    int32_t x = 0, y = 0, width = 0, height = 0;
    uint32_t colour = 0;  // 0x00BBGGRR
    std::string text;
};
std::vector<window_draw> window_frame();

// A pixel of the frame presented last (0x00BBGGRR); 0 outside the window.
uint32_t window_presented_pixel(int x, int y);

}  // namespace hosted

namespace hosted {

// Files on a prepared drive slot of the current machine, for tests and
// tools: they bypass the fault hook and the call counters. 0 / -1.
int drive_write_file(int slot, const std::string& path, const std::string& bytes);  // parents made
int drive_read_file(int slot, const std::string& path, std::string* bytes);
bool drive_path_exists(int slot, const std::string& path);  // a dangling link exists too
int drive_remove_tree(int slot, const std::string& path);
int drive_make_dirs(int slot, const std::string& path);  // with every missing parent
bool drive_is_directory(int slot, const std::string& path);
int drive_symlink(int slot, const std::string& path, const std::string& target);
// Every file (with its bytes) and directory (bytes "/") under the drive's
// root, keyed by path without a leading "/"; links are listed as "-> target".
int drive_tree(int slot, std::vector<std::pair<std::string, std::string>>* nodes);
// The slot's block size and its free blocks and inodes, for a tool that
// checks a whole copy fits before it writes: 0 / -1.
int drive_space(int slot, uint32_t* block_size, uint64_t* free_blocks, uint64_t* free_inodes);
// Writes every open drive back into its image, so that other programs
// (e2fsck, debugfs, QEMU) see it whole.
void drives_sync();

}  // namespace hosted
