// The ext2 file systems inside the drive images, through libext2fs.
//
// Paths are looked up by the file system itself from the drive's root inode,
// which is also its own ".." and the start of every absolute link target, so
// no lookup can leave the drive. Space is checked before a block is taken:
// a write that would need a block the file system no longer has stops short,
// as on a full disk, instead of failing later when the file is closed.
#include "drive_fs.h"

#include <ext2fs/ext2fs.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <set>
#include <vector>

#include "kernel.h"

extern char** environ;

namespace hosted {

struct drive_file {
    int slot = -1;
    drive_ino ino = 0;
    bool writing = false;
    uint64_t position = 0;   // kept across detaches
    ext2_file_t handle = nullptr;
    bool failed = false;     // data lost when a detach closed the handle
    // Written bytes not yet handed to the file system: they end at
    // `position` and lie inside one block (see drive_file_write).
    std::vector<char> pending;
};

namespace {

// Blocks a new data block may cost on a file without extents: the block and
// up to three levels of indirect blocks.
constexpr blk64_t BLOCKS_PER_NEW_BLOCK = 4;
constexpr int MAX_NAME_BYTES = 255;

std::map<int, ext2_filsys> g_mounted;
// One process at a time has a slot's file system open: each holds its own
// copy of the bitmaps and writes them back when it lets go, so a second one
// working on the image meanwhile (a parent going on after a failed wait
// while its child still runs) would leave it inconsistent. The lock is
// taken at open and released at write-back.
std::map<int, int> g_image_locks;
std::set<drive_file*> g_open_files;
// Files removed while still open: their inode and blocks are freed when the
// last one open closes, as a kernel keeps an unlinked file until then (an
// open handle would otherwise write its inode back over the freed one).
std::set<std::pair<int, drive_ino>> g_removed_open;
bool g_exit_hook = false;
// The one file holding pending bytes, if any.
drive_file* g_pending = nullptr;

// A process that ends has every descriptor closed by its kernel, and its
// drives written back.
void release_at_exit() { files_reset(); }

// Hands the pending bytes of the file holding them to its file system. Each
// ext2fs_file_write that grows a file rewrites its inode (and rereads and
// rewrites the block its end lies in), so a stream of small writes is
// gathered into whole blocks first; every other use of a drive writes them
// back before it runs, so no one ever sees a file without its bytes. The
// handle's own block buffer is flushed too: another handle on the file reads
// the block from the file system, not from this one.
void write_back_pending() {
    drive_file* f = g_pending;
    if (!f) return;
    g_pending = nullptr;
    unsigned int wrote = 0;
    auto size = static_cast<unsigned int>(f->pending.size());
    if (!f->handle || ext2fs_file_write(f->handle, f->pending.data(), size, &wrote) != 0 || wrote != size ||
        ext2fs_file_flush(f->handle) != 0)
        f->failed = true;
    f->pending.clear();
}

void close_handle(drive_file* f) {
    if (!f->handle) return;
    if (ext2fs_file_close(f->handle) != 0 && f->writing) f->failed = true;
    f->handle = nullptr;
}

// The slot's file system as it stands, or nullptr when it is not open.
ext2_filsys open_fs(int slot) {
    auto it = g_mounted.find(slot);
    return it == g_mounted.end() ? nullptr : it->second;
}

// The slot's file system, opened on first use; nullptr when it has none.
// Pending bytes are written back first: whatever the caller does next
// sees every file whole.
ext2_filsys mounted(int slot) {
    write_back_pending();
    auto it = g_mounted.find(slot);
    if (it != g_mounted.end()) return it->second;
    uint64_t offset = 0;
    if (!partition_offset(slot, &offset)) return nullptr;
    std::string options = "offset=" + std::to_string(offset);
    ext2_filsys fs = nullptr;
    std::string image = slot_image_path(slot);
    int lock = ::open(image.c_str(), O_RDONLY | O_CLOEXEC);
    if (lock < 0) return nullptr;
    while (flock(lock, LOCK_EX) != 0 && errno == EINTR) {
    }
    if (ext2fs_open2(image.c_str(), options.c_str(), EXT2_FLAG_RW | EXT2_FLAG_64BITS, 0, 0, unix_io_manager,
                     &fs) != 0) {
        ::close(lock);
        return nullptr;
    }
    if (ext2fs_read_bitmaps(fs) != 0) {
        ext2fs_close_free(&fs);
        ::close(lock);
        return nullptr;
    }
    g_image_locks[slot] = lock;
    if (!g_exit_hook) {
        atexit(release_at_exit);
        g_exit_hook = true;
    }
    g_mounted[slot] = fs;
    return fs;
}

}  // namespace

void drive_detach(int slot) {
    write_back_pending();
    auto it = g_mounted.find(slot);
    if (it == g_mounted.end()) return;
    for (drive_file* f : g_open_files) {
        if (f->slot == slot) close_handle(f);
    }
    ext2fs_close_free(&it->second);
    g_mounted.erase(it);
    auto lock = g_image_locks.find(slot);
    if (lock != g_image_locks.end()) {
        ::close(lock->second);
        g_image_locks.erase(lock);
    }
}

namespace {

bool read_inode(ext2_filsys fs, drive_ino ino, ext2_inode* inode) {
    return ext2fs_read_inode(fs, ino, inode) == 0;
}

node_kind kind_of_mode(uint16_t mode) {
    if (LINUX_S_ISREG(mode)) return node_kind::file;
    if (LINUX_S_ISDIR(mode)) return node_kind::directory;
    if (LINUX_S_ISLNK(mode)) return node_kind::symlink;
    return node_kind::special;
}

// The path split into its parent and last name; false for a last name of
// "", "." or "..", or one longer than a directory entry holds.
bool split_last(const std::string& path, std::string* parent, std::string* last) {
    return split_last_name(path, parent, last) && last->size() <= static_cast<size_t>(MAX_NAME_BYTES);
}

int find_in(ext2_filsys fs, const std::string& path, bool follow_last, drive_ino* ino) {
    ext2_ino_t found = 0;
    const char* name = path.empty() ? "/" : path.c_str();
    errcode_t err = follow_last ? ext2fs_namei_follow(fs, EXT2_ROOT_INO, EXT2_ROOT_INO, name, &found)
                                : ext2fs_namei(fs, EXT2_ROOT_INO, EXT2_ROOT_INO, name, &found);
    if (err != 0 || found == 0) return -1;
    *ino = found;
    return 0;
}

// The parent directory's inode and the last name of `path`.
int find_parent(ext2_filsys fs, const std::string& path, drive_ino* parent, std::string* last) {
    std::string parent_path;
    if (!split_last(path, &parent_path, last)) return -1;
    ext2_inode inode;
    if (find_in(fs, parent_path, true, parent) != 0 || !read_inode(fs, *parent, &inode)) return -1;
    return LINUX_S_ISDIR(inode.i_mode) ? 0 : -1;
}

bool lookup_name(ext2_filsys fs, drive_ino dir, const std::string& name, drive_ino* ino) {
    ext2_ino_t found = 0;
    if (ext2fs_lookup(fs, dir, name.c_str(), static_cast<int>(name.size()), nullptr, &found) != 0) return false;
    *ino = found;
    return true;
}

bool blocks_left(ext2_filsys fs, blk64_t wanted) { return ext2fs_free_blocks_count(fs->super) >= wanted; }

// Adds the entry, growing the directory by a block when it is full.
int link_entry(ext2_filsys fs, drive_ino dir, const std::string& name, drive_ino ino, int file_type) {
    errcode_t err = ext2fs_link(fs, dir, name.c_str(), ino, file_type);
    if (err == EXT2_ET_DIR_NO_SPACE) {
        if (!blocks_left(fs, BLOCKS_PER_NEW_BLOCK) || ext2fs_expand_dir(fs, dir) != 0) return -1;
        err = ext2fs_link(fs, dir, name.c_str(), ino, file_type);
    }
    return err == 0 ? 0 : -1;
}

int new_file(ext2_filsys fs, drive_ino dir, const std::string& name, drive_ino* ino) {
    ext2_ino_t fresh = 0;
    if (ext2fs_new_inode(fs, dir, LINUX_S_IFREG | 0644, nullptr, &fresh) != 0) return -1;
    if (link_entry(fs, dir, name, fresh, EXT2_FT_REG_FILE) != 0) return -1;
    ext2fs_inode_alloc_stats2(fs, fresh, +1, 0);
    ext2_inode inode;
    memset(&inode, 0, sizeof inode);
    inode.i_mode = LINUX_S_IFREG | 0644;
    inode.i_links_count = 1;
    inode.i_atime = inode.i_ctime = inode.i_mtime = static_cast<uint32_t>(time(nullptr));
    if (ext2fs_write_new_inode(fs, fresh, &inode) != 0) return -1;
    *ino = fresh;
    return 0;
}

int truncate_file(ext2_filsys fs, drive_ino ino) {
    ext2_file_t file = nullptr;
    if (ext2fs_file_open(fs, ino, EXT2_FILE_WRITE, &file) != 0) return -1;
    errcode_t err = ext2fs_file_set_size2(file, 0);
    errcode_t closed = ext2fs_file_close(file);
    return err == 0 && closed == 0 ? 0 : -1;
}

// Makes sure the file's handle is open, reopening it after a detach.
bool attach(drive_file* f) {
    if (f->handle) return true;
    if (f->failed) return false;
    ext2_filsys fs = mounted(f->slot);
    if (!fs) return false;
    if (ext2fs_file_open(fs, f->ino, f->writing ? EXT2_FILE_WRITE : 0, &f->handle) != 0) {
        f->handle = nullptr;
        return false;
    }
    if (ext2fs_file_llseek(f->handle, f->position, EXT2_SEEK_SET, nullptr) != 0) {
        close_handle(f);
        return false;
    }
    return true;
}

// Collected by drive_list's walk.
struct listing {
    std::vector<drive_entry>* entries;
};

int collect_entry(ext2_ino_t, int, ext2_dir_entry* dirent, int, int, char*, void* data) {
    auto* out = static_cast<listing*>(data);
    int len = ext2fs_dirent_name_len(dirent);
    drive_entry e;
    e.name.assign(dirent->name, static_cast<size_t>(len));
    e.directory = ext2fs_dirent_file_type(dirent) == EXT2_FT_DIR;
    out->entries->push_back(std::move(e));
    return 0;
}

}  // namespace

int drive_find(int slot, const std::string& path, drive_ino* ino, bool follow_last) {
    ext2_filsys fs = mounted(slot);
    return fs ? find_in(fs, path, follow_last, ino) : -1;
}

int drive_kind(int slot, drive_ino ino, node_kind* kind) {
    ext2_filsys fs = mounted(slot);
    ext2_inode inode;
    if (!fs || !read_inode(fs, ino, &inode)) return -1;
    *kind = kind_of_mode(inode.i_mode);
    return 0;
}

int drive_create_file(int slot, const std::string& path, bool truncate, drive_ino* ino) {
    ext2_filsys fs = mounted(slot);
    drive_ino parent = 0;
    std::string last;
    if (!fs || find_parent(fs, path, &parent, &last) != 0) return -1;
    drive_ino existing = 0;
    if (!lookup_name(fs, parent, last, &existing)) return new_file(fs, parent, last, ino);
    // An existing name, a link followed from the directory it lies in to
    // what it names.
    ext2_inode inode;
    if (!read_inode(fs, existing, &inode)) return -1;
    if (LINUX_S_ISLNK(inode.i_mode)) {
        ext2_ino_t target = 0;
        if (ext2fs_follow_link(fs, EXT2_ROOT_INO, parent, existing, &target) != 0 || target == 0 ||
            !read_inode(fs, target, &inode))
            return -1;
        existing = target;
    }
    if (!LINUX_S_ISREG(inode.i_mode)) return -1;
    if (truncate && truncate_file(fs, existing) != 0) return -1;
    *ino = existing;
    return 0;
}

int drive_make_dir(int slot, const std::string& path) {
    ext2_filsys fs = mounted(slot);
    drive_ino parent = 0, existing = 0;
    std::string last;
    if (!fs || find_parent(fs, path, &parent, &last) != 0) return -1;
    if (lookup_name(fs, parent, last, &existing)) return -1;
    // A directory costs an inode and a block; both are checked first so
    // that a refusal leaves nothing half made.
    if (fs->super->s_free_inodes_count == 0 || !blocks_left(fs, BLOCKS_PER_NEW_BLOCK)) return -1;
    errcode_t err = ext2fs_mkdir(fs, parent, 0, last.c_str());
    if (err == EXT2_ET_DIR_NO_SPACE) {
        if (!blocks_left(fs, 2 * BLOCKS_PER_NEW_BLOCK) || ext2fs_expand_dir(fs, parent) != 0) return -1;
        err = ext2fs_mkdir(fs, parent, 0, last.c_str());
    }
    return err == 0 ? 0 : -1;
}

namespace {

bool file_is_open(int slot, drive_ino ino) {
    for (drive_file* f : g_open_files)
        if (f->slot == slot && f->ino == ino) return true;
    return false;
}

// Frees a file's (or with `is_dir` an empty directory's) blocks and inode
// once no name and no open file is left.
int release_inode(ext2_filsys fs, drive_ino ino, int is_dir) {
    ext2_inode inode;
    if (!read_inode(fs, ino, &inode)) return -1;
    inode.i_links_count = 0;
    if (ext2fs_inode_has_valid_blocks2(fs, &inode) && ext2fs_punch(fs, ino, &inode, nullptr, 0, ~0ULL) != 0)
        return -1;
    inode.i_dtime = static_cast<uint32_t>(time(nullptr));
    ext2fs_inode_alloc_stats2(fs, ino, -1, is_dir);
    return ext2fs_write_inode(fs, ino, &inode) == 0 ? 0 : -1;
}

// Removes the empty directory `ino`, named `last` in `parent`: its name,
// the parent's link from its "..", its blocks and inode. 0, or -1 when it
// holds anything besides "." and "..".
int remove_empty_dir(int slot, ext2_filsys fs, drive_ino parent, const std::string& last, drive_ino ino) {
    std::vector<drive_entry> entries;
    if (drive_list(slot, ino, &entries) != 0) return -1;
    for (const drive_entry& e : entries)
        if (e.name != "." && e.name != "..") return -1;
    if (ext2fs_unlink(fs, parent, last.c_str(), ino, 0) != 0) return -1;
    ext2_inode up;
    if (!read_inode(fs, parent, &up)) return -1;
    if (up.i_links_count > 1) --up.i_links_count;
    if (ext2fs_write_inode(fs, parent, &up) != 0) return -1;
    return release_inode(fs, ino, 1);
}

}  // namespace

int drive_remove_file(int slot, const std::string& path) {
    ext2_filsys fs = mounted(slot);
    drive_ino parent = 0, ino = 0;
    std::string last;
    if (!fs || find_parent(fs, path, &parent, &last) != 0 || !lookup_name(fs, parent, last, &ino)) return -1;
    ext2_inode inode;
    if (!read_inode(fs, ino, &inode)) return -1;
    if (LINUX_S_ISDIR(inode.i_mode)) return ino == EXT2_ROOT_INO ? -1 : remove_empty_dir(slot, fs, parent, last, ino);
    if (ext2fs_unlink(fs, parent, last.c_str(), ino, 0) != 0) return -1;
    if (inode.i_links_count > 1) {
        --inode.i_links_count;
        return ext2fs_write_inode(fs, ino, &inode) == 0 ? 0 : -1;
    }
    if (file_is_open(slot, ino)) {
        g_removed_open.insert({slot, ino});
        return 0;
    }
    return release_inode(fs, ino, 0);
}

int drive_list(int slot, drive_ino dir, std::vector<drive_entry>* entries) {
    ext2_filsys fs = mounted(slot);
    if (!fs) return -1;
    listing l{entries};
    return ext2fs_dir_iterate2(fs, dir, 0, nullptr, collect_entry, &l) == 0 ? 0 : -1;
}

drive_file* drive_file_open(int slot, drive_ino ino, bool writing) {
    auto* f = new drive_file;
    f->slot = slot;
    f->ino = ino;
    f->writing = writing;
    if (!attach(f)) {
        delete f;
        return nullptr;
    }
    g_open_files.insert(f);
    return f;
}

long drive_file_read(drive_file* f, void* buf, long len) {
    write_back_pending();
    if (!attach(f)) return -1;
    unsigned int got = 0;
    if (ext2fs_file_read(f->handle, buf, static_cast<unsigned int>(len), &got) != 0) return -1;
    f->position += got;
    return got;
}

// Bytes go to the file's pending block and reach the file system when the
// block is full, or before anything else uses the drive. Space is checked
// as the first byte of a block the file does not have yet is taken, as the
// file system would take the block there: nothing else can have used the
// drive in between.
long drive_file_write(drive_file* f, const void* buf, long len) {
    if (!f->writing || f->failed) return -1;
    if (g_pending != f) {
        write_back_pending();
        if (!attach(f)) return -1;
    }
    ext2_filsys fs = open_fs(f->slot);
    const uint64_t block = fs->blocksize;
    const char* p = static_cast<const char*>(buf);
    long done = 0;
    while (done < len) {
        uint64_t in_block = f->position & (block - 1);
        long piece = static_cast<long>(block - in_block);
        if (piece > len - done) piece = len - done;
        if (f->pending.empty()) {
            __u64 size = 0;
            if (ext2fs_file_get_lsize(f->handle, &size) != 0) break;
            // Past the last block the file has, the write takes a new one.
            bool new_block = f->position >= (size + block - 1) / block * block;
            if (new_block && !blocks_left(fs, BLOCKS_PER_NEW_BLOCK)) break;
            g_pending = f;
        }
        f->pending.insert(f->pending.end(), p + done, p + done + piece);
        f->position += static_cast<uint64_t>(piece);
        done += piece;
        if ((f->position & (block - 1)) == 0) {
            write_back_pending();
            if (f->failed) return -1;
        }
    }
    return done > 0 || len == 0 ? done : -1;
}

long drive_file_seek(drive_file* f, int64_t offset, int whence) {
    write_back_pending();
    if (!attach(f)) return -1;
    __u64 size = 0;
    if (ext2fs_file_get_lsize(f->handle, &size) != 0) return -1;
    int64_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? static_cast<int64_t>(f->position)
                                                               : static_cast<int64_t>(size);
    int64_t target = base + offset;
    if (target < 0 || ext2fs_file_llseek(f->handle, static_cast<uint64_t>(target), EXT2_SEEK_SET, nullptr) != 0)
        return -1;
    f->position = static_cast<uint64_t>(target);
    return static_cast<long>(target);
}

int drive_file_close(drive_file* f) {
    write_back_pending();
    close_handle(f);
    bool ok = !f->failed;
    g_open_files.erase(f);
    auto removed = g_removed_open.find({f->slot, f->ino});
    if (removed != g_removed_open.end() && !file_is_open(f->slot, f->ino)) {
        g_removed_open.erase(removed);
        ext2_filsys fs = mounted(f->slot);
        if (!fs || release_inode(fs, f->ino, 0) != 0) ok = false;
    }
    delete f;
    return ok ? 0 : -1;
}

int drive_format(int slot, uint64_t offset, uint64_t bytes) {
    drive_detach(slot);
    std::string image = slot_image_path(slot);
    std::string offset_option = "offset=" + std::to_string(offset);
    std::string kib = std::to_string(bytes / 1024) + "k";
    // mke2fs writes the file system into the partition's byte range; -m 0
    // leaves no blocks reserved (there is no root user to keep them for).
    const char* argv[] = {"mke2fs", "-q", "-F", "-t", "ext2", "-b", "4096", "-m", "0", "-E",
                          offset_option.c_str(), image.c_str(), kib.c_str(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, "mke2fs", &actions, nullptr, const_cast<char* const*>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : -1;
}

int drive_mount(int slot) { return mounted(slot) ? 0 : -1; }

int drive_free_space(int slot, uint32_t* block_size, uint64_t* free_blocks, uint64_t* free_inodes) {
    ext2_filsys fs = mounted(slot);
    if (!fs) return -1;
    *block_size = fs->blocksize;
    *free_blocks = ext2fs_free_blocks_count(fs->super);
    *free_inodes = fs->super->s_free_inodes_count;
    return 0;
}

void drives_detach() {
    while (!g_mounted.empty()) drive_detach(g_mounted.begin()->first);
}

void drives_reset() {
    drives_detach();
    for (drive_file* f : g_open_files) delete f;
    g_open_files.clear();
    g_removed_open.clear();
}

int drive_make_symlink(int slot, const std::string& path, const std::string& target) {
    ext2_filsys fs = mounted(slot);
    drive_ino parent = 0;
    std::string last;
    if (!fs || find_parent(fs, path, &parent, &last) != 0) return -1;
    errcode_t err = ext2fs_symlink(fs, parent, 0, last.c_str(), target.c_str());
    if (err == EXT2_ET_DIR_NO_SPACE) {
        if (ext2fs_expand_dir(fs, parent) != 0) return -1;
        err = ext2fs_symlink(fs, parent, 0, last.c_str(), target.c_str());
    }
    return err == 0 ? 0 : -1;
}

int drive_read_link(int slot, drive_ino ino, std::string* target) {
    ext2_filsys fs = mounted(slot);
    ext2_inode inode;
    if (!fs || !read_inode(fs, ino, &inode) || !LINUX_S_ISLNK(inode.i_mode)) return -1;
    size_t size = inode.i_size;
    if (!ext2fs_inode_data_blocks2(fs, &inode) && size < sizeof inode.i_block) {
        // A short target is kept in the inode itself.
        target->assign(reinterpret_cast<const char*>(inode.i_block), size);
        return 0;
    }
    drive_file* f = drive_file_open(slot, ino, false);
    if (!f) return -1;
    target->resize(size);
    long n = drive_file_read(f, target->data(), static_cast<long>(size));
    drive_file_close(f);
    return n == static_cast<long>(size) ? 0 : -1;
}

int drive_remove_dir(int slot, const std::string& path) {
    ext2_filsys fs = mounted(slot);
    drive_ino parent = 0, ino = 0;
    std::string last;
    if (!fs || find_parent(fs, path, &parent, &last) != 0 || !lookup_name(fs, parent, last, &ino)) return -1;
    ext2_inode inode, parent_inode;
    if (!read_inode(fs, ino, &inode) || !LINUX_S_ISDIR(inode.i_mode)) return -1;
    std::vector<drive_entry> entries;
    if (drive_list(slot, ino, &entries) != 0 || entries.size() > 2) return -1;
    if (ext2fs_unlink(fs, parent, last.c_str(), ino, 0) != 0) return -1;
    if (ext2fs_punch(fs, ino, &inode, nullptr, 0, ~0ULL) != 0) return -1;
    inode.i_links_count = 0;
    inode.i_dtime = static_cast<uint32_t>(time(nullptr));
    ext2fs_inode_alloc_stats2(fs, ino, -1, 1);
    if (ext2fs_write_inode(fs, ino, &inode) != 0 || !read_inode(fs, parent, &parent_inode)) return -1;
    if (parent_inode.i_links_count > 2) --parent_inode.i_links_count;
    return ext2fs_write_inode(fs, parent, &parent_inode) == 0 ? 0 : -1;
}

}  // namespace hosted
