// A temporary hosted machine for a test: media/ and N empty drive slots,
// removed again when the test ends.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "hosted.h"

namespace qortest {

struct machine_options {
    int drives = 0;
    uint64_t drive_bytes = 32ull * 1024 * 1024;  // sparse files
};

class temp_machine {
public:
    explicit temp_machine(machine_options options = {});
    ~temp_machine();
    temp_machine(const temp_machine&) = delete;
    temp_machine& operator=(const temp_machine&) = delete;

    const std::string& dir() const { return dir_; }
    std::string media(const std::string& rel = "") const { return dir_ + "/media/" + rel; }
    std::string slot(int n) const { return dir_ + "/drives/" + std::to_string(n); }
    std::string image(int n) const { return slot(n) + "/disk.img"; }

    // Files on a prepared drive slot, `rel` taken from the drive's root.
    // Tests reach drive contents only through these (never by host paths),
    // and they bypass the fault hook and the call counters.
    void write_drive_file(int slot, const std::string& rel, const std::string& bytes) const;
    std::string read_drive_file(int slot, const std::string& rel) const;
    bool drive_path_exists(int slot, const std::string& rel) const;
    void remove_drive_path(int slot, const std::string& rel) const;  // a whole tree
    void make_drive_dirs(int slot, const std::string& rel) const;
    bool drive_is_directory(int slot, const std::string& rel) const;
    void make_drive_symlink(int slot, const std::string& rel, const std::string& target) const;
    // Every node under the drive's root: path -> bytes ("/" for a directory).
    std::map<std::string, std::string> drive_tree(int slot) const;
    // e2fsck -fn on the slot's partition (the drive written back first): its
    // status, 0 when the file system is clean; its report in *report.
    int check_drive(int slot, std::string* report = nullptr) const;

private:
    std::string dir_;
};

// A fresh temporary directory, removed by the caller (or by temp_dir).
std::string make_temp_dir(const std::string& tag);

class temp_dir {
public:
    explicit temp_dir(const std::string& tag = "dir") : path_(make_temp_dir(tag)) {}
    ~temp_dir();
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// The shared conformance corpora beside the checkout (tests that need them
// skip or fail when it is missing).
std::string corpora_dir();

// Host file helpers (tests may use the host freely).
void write_host_file(const std::string& path, const std::string& bytes);
std::string read_host_file(const std::string& path);
bool host_path_exists(const std::string& path);

// Runs `call` with the program's standard output (and that of the children
// it waits for) captured into *output: the call's result.
template <typename Call>
int run_captured(std::string* output, Call&& call) {
    hosted::capture_begin();
    int rc = call();
    *output = hosted::capture_end();
    return rc;
}

// Runs a shell command, returns its exit status; output goes to `output`
// when given.
int run_command(const std::string& command, std::string* output = nullptr);

}  // namespace qortest
