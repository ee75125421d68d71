// A drive slot's file system: the ext2 inside its disk.img, reached through
// libext2fs. Every file call on a drive lands here; nothing of a drive lives
// in a host folder.
//
// Each slot's file system is opened on first use and stays open until
// drives_detach(), which writes everything back and closes it (before a
// child starts, before a raw sector write into the partition, at exit), so
// the image is whole and consistent whenever no call is running in any
// program. Open files survive a detach: they reopen on their next use.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace hosted {

using drive_ino = uint32_t;

enum class node_kind { file, directory, symlink, special };

// Inode a path names on a mounted slot, links followed inside the drive
// (an absolute link target starts at the drive's root, ".." stops there):
// 0, or -1 when the slot has no file system or the path is missing.
int drive_find(int slot, const std::string& path, drive_ino* ino, bool follow_last = true);
int drive_kind(int slot, drive_ino ino, node_kind* kind);

// Creates a regular file, or opens (and with `truncate` empties) the one the
// path names, through a link too: 0 with its inode, -1 (missing parent, a
// directory or special file in the way, no inode or directory space left).
int drive_create_file(int slot, const std::string& path, bool truncate, drive_ino* ino);
int drive_make_dir(int slot, const std::string& path);  // one level, must not exist
int drive_remove_file(int slot, const std::string& path);  // a file, or an empty directory

struct drive_entry {
    std::string name;
    bool directory = false;
};
// The directory's own entries, "." and ".." included, in on-disk order.
int drive_list(int slot, drive_ino dir, std::vector<drive_entry>* entries);

// An open file on a drive; survives detaches.
struct drive_file;
drive_file* drive_file_open(int slot, drive_ino ino, bool writing);
long drive_file_read(drive_file* f, void* buf, long len);
// Bytes accepted: fewer than `len` when the drive ran out of blocks.
long drive_file_write(drive_file* f, const void* buf, long len);
long drive_file_seek(drive_file* f, int64_t offset, int whence);
// Releases `f`: 0 when all of its data reached the file system.
int drive_file_close(drive_file* f);

// Formats the partition of `bytes` bytes at `offset` in the slot's image as
// ext2 (forgetting any file system the slot had open): 0 or -1.
int drive_format(int slot, uint64_t offset, uint64_t bytes);
// 0 when the slot's file system opens.
int drive_mount(int slot);

// Writes the slot's file system (or every one) back into its image and
// closes it; open files reattach on their next use.
void drive_detach(int slot);
void drives_detach();
// Detaches and forgets every open file (machine switch).
void drives_reset();

// For tests and tools: a symbolic link, and removing an empty directory.
int drive_make_symlink(int slot, const std::string& path, const std::string& target);
int drive_remove_dir(int slot, const std::string& path);
int drive_read_link(int slot, drive_ino ino, std::string* target);
// The slot's block size and its free blocks and inodes: 0 or -1.
int drive_free_space(int slot, uint32_t* block_size, uint64_t* free_blocks, uint64_t* free_inodes);

}  // namespace hosted
