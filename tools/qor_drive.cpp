// qor-drive: prepares a drive slot and lays host files onto it, for a person
// testing a package or the install command on a drive the installer did not
// make. The machine tool runs it (qor-machine format / put).
//
//   qor-drive MACHINE format SLOT
//   qor-drive MACHINE put SLOT HOSTPATH DRIVEPATH
//
// format is the kernel's own disk_prepare: the partition table and an empty
// ext2 file system. put copies a file, a link or a whole tree (links kept as
// links); it checks everything before it writes anything: the drive is
// prepared, the target's parent is a directory on the drive, every host
// node is a file, directory or link with a name the drive can list, and the
// whole copy fits. A copy that fails anyway is taken away again, so the
// drive holds all of it or none of what it added.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "disk_prepare.h"
#include "hosted.h"
#include "qor.h"

namespace {

namespace fs = std::filesystem;

// One host node to put down, with its path on the drive.
struct put_node {
    enum class kind { file, directory, link } type;
    fs::path host;
    std::string drive;
    std::string link_target;
    uintmax_t bytes = 0;
    bool existed = false;  // a directory already on the drive is kept as it is
};

int fail(const std::string& message) {
    fprintf(stderr, "qor-machine: %s\n", message.c_str());
    return 2;
}

bool parse_slot(const char* text, int* slot) {
    char* end = nullptr;
    errno = 0;
    long value = strtol(text, &end, 10);
    if (errno || end == text || *end || value < 0 || value > 255) return false;
    *slot = static_cast<int>(value);
    return true;
}

int cmd_format(int slot) {
    if (slot >= disk_count()) return fail("format: the machine has no drive slot " + std::to_string(slot));
    if (disk_present(slot) <= 0) return fail("format: drive slot " + std::to_string(slot) +
                                                  " has no image of at least 16 MiB");
    if (disk_prepare(slot) != 0) return fail("format: could not prepare drive slot " + std::to_string(slot));
    printf("formatted slot %d: one bootable partition from sector 8192, an empty ext2 file system\n", slot);
    return 0;
}

std::string joined(const std::string& dir, const std::string& name) {
    return dir == "/" ? "/" + name : dir + "/" + name;
}

std::string parent_of(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Adds `host` (and, for a directory, everything under it) to `nodes` as
// `drive`: "" or the refusal's text.
std::string plan_node(int slot, const fs::path& host, const std::string& drive, std::vector<put_node>* nodes) {
    std::string name = host.filename().string();
    if (name.size() > static_cast<size_t>(qor::DIRENT_NAME_MAX))
        return "put: " + host.string() + ": a name longer than " + std::to_string(qor::DIRENT_NAME_MAX) +
               " bytes cannot be listed on a drive";
    std::error_code error;
    fs::file_status status = fs::symlink_status(host, error);
    if (error) return "put: cannot read " + host.string() + ": " + error.message();
    put_node node;
    node.host = host;
    node.drive = drive;
    bool on_drive = hosted::drive_path_exists(slot, drive);
    bool drive_dir = hosted::drive_is_directory(slot, drive);
    if (fs::is_symlink(status)) {
        node.type = put_node::kind::link;
        node.link_target = fs::read_symlink(host, error).string();
        if (error) return "put: cannot read the link " + host.string() + ": " + error.message();
        node.bytes = node.link_target.size();
    } else if (fs::is_directory(status)) {
        node.type = put_node::kind::directory;
        node.existed = on_drive && drive_dir;
        if (on_drive && !drive_dir) return "put: " + drive + " is a file on the drive, " + host.string() +
                                            " a directory";
    } else if (fs::is_regular_file(status)) {
        node.type = put_node::kind::file;
        node.bytes = fs::file_size(host, error);
        if (error) return "put: cannot read " + host.string() + ": " + error.message();
    } else {
        return "put: " + host.string() + " is not a file, directory or link";
    }
    if (node.type != put_node::kind::directory && on_drive && drive_dir)
        return "put: " + drive + " is a directory on the drive, " + host.string() + " is not";
    nodes->push_back(node);
    if (node.type != put_node::kind::directory) return "";
    std::vector<fs::path> children;
    for (const fs::directory_entry& e : fs::directory_iterator(host, error)) children.push_back(e.path());
    if (error) return "put: cannot list " + host.string() + ": " + error.message();
    std::sort(children.begin(), children.end());
    for (const fs::path& child : children) {
        std::string refusal = plan_node(slot, child, joined(drive, child.filename().string()), nodes);
        if (!refusal.empty()) return refusal;
    }
    return "";
}

// Blocks a file of `bytes` takes at most, its indirect blocks included.
uint64_t file_blocks(uintmax_t bytes, uint32_t block_size) {
    uint64_t data = (bytes + block_size - 1) / block_size;
    uint64_t per_indirect = block_size / 4;
    return data + (data > 12 ? 3 + data / per_indirect : 0);
}

// Blocks the ext2 file system keeps free beyond what a copy needs, so every
// write's own check (a data block and its indirect blocks) still passes.
constexpr uint64_t SPARE_BLOCKS = 8;

// "" when the nodes fit the drive's free blocks and inodes.
std::string check_space(int slot, const std::vector<put_node>& nodes) {
    uint32_t block_size = 0;
    uint64_t free_blocks = 0, free_inodes = 0;
    if (hosted::drive_space(slot, &block_size, &free_blocks, &free_inodes) != 0)
        return "put: cannot read drive slot " + std::to_string(slot) + "'s file system";
    uint64_t blocks = SPARE_BLOCKS, inodes = 0;
    for (const put_node& n : nodes) {
        if (n.existed) continue;
        ++inodes;
        ++blocks;  // the entry may need a new block in its directory
        if (n.type == put_node::kind::file) blocks += file_blocks(n.bytes, block_size);
        if (n.type == put_node::kind::directory) ++blocks;
        if (n.type == put_node::kind::link && n.bytes >= 60) ++blocks;
    }
    if (blocks > free_blocks || inodes > free_inodes)
        return "put: drive slot " + std::to_string(slot) + " is full: the copy needs " +
               std::to_string(blocks * block_size) + " bytes and " + std::to_string(inodes) + " inodes, " +
               std::to_string(free_blocks * block_size) + " bytes and " + std::to_string(free_inodes) + " are free";
    return "";
}

bool read_host_file(const fs::path& path, std::string* bytes) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    *bytes = all.str();
    return static_cast<bool>(in) || bytes->empty();
}

int write_node(int slot, const put_node& n) {
    if (n.type == put_node::kind::directory) return n.existed ? 0 : hosted::drive_make_dirs(slot, n.drive);
    // A file or link already there is replaced, whatever it was.
    if (hosted::drive_path_exists(slot, n.drive) && hosted::drive_remove_tree(slot, n.drive) != 0) return -1;
    if (n.type == put_node::kind::link) return hosted::drive_symlink(slot, n.drive, n.link_target);
    std::string bytes;
    if (!read_host_file(n.host, &bytes)) return -1;
    return hosted::drive_write_file(slot, n.drive, bytes);
}

int cmd_put(int slot, const char* host_arg, const char* drive_arg) {
    std::string drive = drive_arg;
    if (drive.empty() || drive[0] != '/') return fail("put: the drive path must start with /: " + drive);
    while (drive.size() > 1 && drive.back() == '/') drive.pop_back();
    if (drive.find("/./") != std::string::npos || drive.find("/../") != std::string::npos ||
        drive.ends_with("/.") || drive.ends_with("/.."))
        return fail("put: the drive path may hold no . or .. part: " + drive);
    if (slot >= disk_count()) return fail("put: the machine has no drive slot " + std::to_string(slot));
    if (!hosted::drive_path_exists(slot, "/"))
        return fail("put: drive slot " + std::to_string(slot) + " is not prepared (qor-machine format first)");
    fs::path host = fs::path(host_arg).lexically_normal();
    if (host.filename().empty()) host = host.parent_path();
    std::error_code error;
    if (!fs::exists(fs::symlink_status(host, error))) return fail("put: no such host file or directory: " + std::string(host_arg));
    // An existing directory takes the host node under its own name.
    if (hosted::drive_is_directory(slot, drive)) drive = joined(drive, host.filename().string());
    if (!hosted::drive_is_directory(slot, parent_of(drive)))
        return fail("put: no directory " + parent_of(drive) + " on drive slot " + std::to_string(slot));
    std::vector<put_node> nodes;
    std::string refusal = plan_node(slot, host, drive, &nodes);
    if (refusal.empty()) refusal = check_space(slot, nodes);
    if (!refusal.empty()) return fail(refusal);
    for (size_t i = 0; i < nodes.size(); ++i) {
        if (write_node(slot, nodes[i]) == 0) continue;
        for (size_t k = i + 1; k-- > 0;)
            if (!nodes[k].existed) hosted::drive_remove_tree(slot, nodes[k].drive);
        hosted::drives_sync();
        return fail("put: could not write " + nodes[i].drive + " on drive slot " + std::to_string(slot) +
                    " (the drive may be full); nothing of the copy is left");
    }
    hosted::drives_sync();
    int files = 0, dirs = 0, links = 0;
    uintmax_t bytes = 0;
    for (const put_node& n : nodes) {
        if (n.type == put_node::kind::file) ++files, bytes += n.bytes;
        if (n.type == put_node::kind::directory) ++dirs;
        if (n.type == put_node::kind::link) ++links;
    }
    printf("put %s onto slot %d as %s: %d files (%ju bytes), %d directories, %d links\n", host.c_str(), slot,
           drive.c_str(), files, bytes, dirs, links);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const char* usage = "usage: qor-drive MACHINE format SLOT | qor-drive MACHINE put SLOT HOSTPATH DRIVEPATH";
    if (argc < 4) return fail(usage);
    std::string command = argv[2];
    int slot = 0;
    if (!parse_slot(argv[3], &slot)) return fail(command + ": not a drive slot: " + argv[3]);
    hosted::use_machine(argv[1]);
    if (command == "format" && argc == 4) return cmd_format(slot);
    if (command == "put" && argc == 6) return cmd_put(slot, argv[4], argv[5]);
    return fail(usage);
}
