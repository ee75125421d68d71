// Drive files for tests and tools, straight on the drive's file system: no
// system call is issued, so the fault hook and the call counters never see
// them.
#include <cstring>

#include "drive_fs.h"
#include "hosted.h"
#include "kernel.h"

namespace hosted {
namespace {

// Makes every missing directory above `path`.
int make_parents(int slot, const std::string& path) {
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        std::string dir = path.substr(0, slash);
        drive_ino ino = 0;
        if (drive_find(slot, dir, &ino) == 0) continue;
        if (drive_make_dir(slot, dir) != 0) return -1;
    }
    return 0;
}

std::string rooted(const std::string& path) { return path.empty() || path[0] != '/' ? "/" + path : path; }

int walk(int slot, const std::string& dir_path, drive_ino dir,
         std::vector<std::pair<std::string, std::string>>* nodes) {
    std::vector<drive_entry> entries;
    if (drive_list(slot, dir, &entries) != 0) return -1;
    for (const drive_entry& e : entries) {
        if (e.name == "." || e.name == "..") continue;
        std::string path = dir_path.empty() ? e.name : dir_path + "/" + e.name;
        drive_ino ino = 0;
        node_kind kind = node_kind::special;
        if (drive_find(slot, "/" + path, &ino, false) != 0 || drive_kind(slot, ino, &kind) != 0) return -1;
        std::string bytes;
        if (kind == node_kind::directory) {
            nodes->emplace_back(path, "/");
            if (walk(slot, path, ino, nodes) != 0) return -1;
            continue;
        }
        if (kind == node_kind::symlink) {
            std::string target;
            if (drive_read_link(slot, ino, &target) != 0) return -1;
            nodes->emplace_back(path, "-> " + target);
            continue;
        }
        if (drive_read_file(slot, "/" + path, &bytes) != 0) return -1;
        nodes->emplace_back(path, bytes);
    }
    return 0;
}

}  // namespace

int drive_write_file(int slot, const std::string& path, const std::string& bytes) {
    std::string p = rooted(path);
    drive_ino ino = 0;
    if (make_parents(slot, p) != 0 || drive_create_file(slot, p, true, &ino) != 0) return -1;
    drive_file* f = drive_file_open(slot, ino, true);
    if (!f) return -1;
    long n = drive_file_write(f, bytes.data(), static_cast<long>(bytes.size()));
    int closed = drive_file_close(f);
    return n == static_cast<long>(bytes.size()) && closed == 0 ? 0 : -1;
}

int drive_read_file(int slot, const std::string& path, std::string* bytes) {
    drive_ino ino = 0;
    node_kind kind = node_kind::special;
    if (drive_find(slot, rooted(path), &ino) != 0 || drive_kind(slot, ino, &kind) != 0 || kind != node_kind::file)
        return -1;
    drive_file* f = drive_file_open(slot, ino, false);
    if (!f) return -1;
    bytes->clear();
    char chunk[65536];
    long n;
    while ((n = drive_file_read(f, chunk, sizeof chunk)) > 0) bytes->append(chunk, static_cast<size_t>(n));
    drive_file_close(f);
    return n == 0 ? 0 : -1;
}

bool drive_path_exists(int slot, const std::string& path) {
    drive_ino ino = 0;
    return drive_find(slot, rooted(path), &ino, false) == 0;
}

int drive_remove_tree(int slot, const std::string& path) {
    std::string p = rooted(path);
    drive_ino ino = 0;
    node_kind kind = node_kind::special;
    if (drive_find(slot, p, &ino, false) != 0) return 0;
    if (drive_kind(slot, ino, &kind) != 0) return -1;
    if (kind != node_kind::directory) return drive_remove_file(slot, p);
    std::vector<drive_entry> entries;
    if (drive_list(slot, ino, &entries) != 0) return -1;
    for (const drive_entry& e : entries) {
        if (e.name == "." || e.name == "..") continue;
        if (drive_remove_tree(slot, p + "/" + e.name) != 0) return -1;
    }
    return p == "/" ? 0 : drive_remove_dir(slot, p);
}

int drive_make_dirs(int slot, const std::string& path) {
    std::string p = rooted(path);
    if (make_parents(slot, p + "/") != 0) return -1;
    return drive_is_directory(slot, p) ? 0 : -1;
}

bool drive_is_directory(int slot, const std::string& path) {
    drive_ino ino = 0;
    node_kind kind = node_kind::special;
    return drive_find(slot, rooted(path), &ino) == 0 && drive_kind(slot, ino, &kind) == 0 &&
           kind == node_kind::directory;
}

int drive_symlink(int slot, const std::string& path, const std::string& target) {
    std::string p = rooted(path);
    return make_parents(slot, p) == 0 ? drive_make_symlink(slot, p, target) : -1;
}

int drive_tree(int slot, std::vector<std::pair<std::string, std::string>>* nodes) {
    drive_ino root = 0;
    nodes->clear();
    return drive_find(slot, "/", &root) == 0 ? walk(slot, "", root, nodes) : -1;
}

int drive_space(int slot, uint32_t* block_size, uint64_t* free_blocks, uint64_t* free_inodes) {
    return drive_free_space(slot, block_size, free_blocks, free_inodes);
}

void drives_sync() { drives_detach(); }

}  // namespace hosted
