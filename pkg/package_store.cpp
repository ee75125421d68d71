// The store of every record on the drive: record headers, and every path
// they list as on the drive in one table, found through a hash of the path.
#include "package_store.h"

#include <cstring>

#include <cstdio>
#include "qor.h"

namespace {

constexpr uint32_t HASH_SLOTS = 2 * PKG_STORE_MAX_PATHS;  // a power of two

struct store_path {
    uint32_t name_at;
    uint16_t owner;
    uint8_t kind;
    uint8_t dead;
};

pkg_store_record g_records[PKG_STORE_MAX_RECORDS];
int32_t g_record_count = 0;
store_path g_paths[PKG_STORE_MAX_PATHS];
uint32_t g_path_count = 0;
char g_pool[PKG_STORE_POOL_SIZE];
uint32_t g_pool_used = 0;
int32_t g_slots[HASH_SLOTS];  // path index + 1, 0 for an empty slot
int g_loaded = 0;
// The record being loaded: fixed storage, it is large.
pkg_record g_scratch;

uint32_t path_hash(const char* path) {
    uint32_t h = 2166136261u;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(path); *p; ++p) h = (h ^ *p) * 16777619u;
    return h;
}

int path_counts(const store_path* p) { return !p->dead && g_records[p->owner].live; }

// The first counting path named `path` other than package `except`'s, from
// the slot chain: its index or -1. `skip` is a record whose paths do not count.
int32_t find_path(const char* path, int32_t skip, int files_only) {
    uint32_t slot = path_hash(path) & (HASH_SLOTS - 1);
    while (g_slots[slot] != 0) {
        int32_t i = g_slots[slot] - 1;
        const store_path* p = &g_paths[i];
        if (path_counts(p) && p->owner != skip && (!files_only || p->kind == PKG_PATH_FILE) &&
            strcmp(g_pool + p->name_at, path) == 0)
            return i;
        slot = (slot + 1) & (HASH_SLOTS - 1);
    }
    return -1;
}

int add_path(const char* path, uint16_t owner, uint8_t kind) {
    size_t len = strlen(path);
    if (g_path_count >= PKG_STORE_MAX_PATHS || g_pool_used + len + 1 > PKG_STORE_POOL_SIZE) return -1;
    store_path* p = &g_paths[g_path_count];
    p->name_at = g_pool_used;
    p->owner = owner;
    p->kind = kind;
    p->dead = 0;
    memcpy(g_pool + g_pool_used, path, len + 1);
    g_pool_used += static_cast<uint32_t>(len + 1);
    uint32_t slot = path_hash(path) & (HASH_SLOTS - 1);
    while (g_slots[slot] != 0) slot = (slot + 1) & (HASH_SLOTS - 1);
    g_slots[slot] = static_cast<int32_t>(++g_path_count);
    return 0;
}

void set_header(pkg_store_record* s, const pkg_record* r) {
    memcpy(s->name, r->name, sizeof s->name);
    memcpy(s->version, r->version, sizeof s->version);
    memcpy(s->deps, r->deps, sizeof s->deps);
    s->dep_count = r->dep_count;
}

// The first path of `r` that a counting record claims against it (a file
// on either side), or nullptr; its claimant in *other.
const char* first_clash(const pkg_record* r, int32_t self, int32_t* other, char path[PKG_DRIVE_PATH_SIZE]) {
    for (uint32_t i = 0; i < r->path_count; ++i) {
        if (r->paths[i].gone || pkg_record_drive_path(r, pkg_record_path_name(r, i), path) != 0) continue;
        int32_t at = find_path(path, self, r->paths[i].kind == PKG_PATH_FILE ? 0 : 1);
        if (at >= 0) {
            *other = g_paths[at].owner;
            return path;
        }
    }
    return nullptr;
}

// Reads record file `file` into slot `i`: the slot is filled either way
// (live or with its reason); -1 only when the store is full.
int load_record(int32_t i, const char* file) {
    pkg_store_record* s = &g_records[i];
    memset(s, 0, sizeof *s);
    memcpy(s->file, file, strlen(file) + 1);
    char path[PKG_DRIVE_PATH_SIZE];
    snprintf(path, sizeof path, "%s/%s", PKG_RECORDS_DIR, file);  // a directory record's name always fits
    int read = pkg_record_read(path, &g_scratch, nullptr, nullptr, s->why);
    if (read == -1) {
        snprintf(s->why, sizeof s->why, "cannot be read");
        return 0;
    }
    if (read != 0) return 0;
    char expected[PKG_DRIVE_PATH_SIZE];
    if (pkg_record_file_path(g_scratch.name, PKG_RECORD_SUFFIX, expected) != 0 || strcmp(expected, path) != 0) {
        snprintf(s->why, sizeof s->why, "names another package");
        return 0;
    }
    if (pkg_store_find(g_scratch.name) >= 0) {
        snprintf(s->why, sizeof s->why, "a second record of %s", g_scratch.name);
        return 0;
    }
    set_header(s, &g_scratch);
    int32_t other = -1;
    char clash[PKG_DRIVE_PATH_SIZE];
    if (first_clash(&g_scratch, i, &other, clash)) {
        // Neither claim can be trusted: both records stop counting.
        snprintf(s->why, sizeof s->why, "claims %s, as %s does", clash, g_records[other].file);
        g_records[other].live = 0;
        snprintf(g_records[other].why, sizeof g_records[other].why, "claims %s, as %s does", clash, s->file);
        return 0;
    }
    for (uint32_t k = 0; k < g_scratch.path_count; ++k) {
        if (g_scratch.paths[k].gone) continue;
        if (pkg_record_drive_path(&g_scratch, pkg_record_path_name(&g_scratch, k), path) != 0) {
            snprintf(s->why, sizeof s->why, "a path too long for the drive");
            return 0;
        }
        if (add_path(path, static_cast<uint16_t>(i), g_scratch.paths[k].kind) != 0) return -1;
    }
    s->live = 1;
    return 0;
}

void clear_store() {
    g_record_count = 0;
    g_path_count = 0;
    g_pool_used = 0;
    memset(g_slots, 0, sizeof g_slots);
}

}  // namespace

int32_t pkg_store_load(int again) {
    if (g_loaded && !again) return g_record_count;
    clear_store();
    g_loaded = 1;
    static char names[PKG_STORE_MAX_RECORDS][PKG_RECORD_FILE_NAME_MAX + 1];
    int32_t count = pkg_records_list(PKG_RECORD_SUFFIX, names, PKG_STORE_MAX_RECORDS);
    if (count < 0) return -1;
    for (int32_t i = 0; i < count; ++i) {
        g_record_count = i + 1;
        if (load_record(i, names[i]) != 0) return -1;
    }
    g_record_count = count;
    return count;
}

int32_t pkg_store_count() { return g_record_count; }

const pkg_store_record* pkg_store_at(int32_t i) { return i >= 0 && i < g_record_count ? &g_records[i] : nullptr; }

int32_t pkg_store_find(const char* name) {
    for (int32_t i = 0; i < g_record_count; ++i)
        if (g_records[i].live && strcmp(g_records[i].name, name) == 0) return i;
    return -1;
}

int32_t pkg_store_owner(const char* drive_path, const char* except, int files_only) {
    int32_t skip = except ? pkg_store_find(except) : -1;
    int32_t at = find_path(drive_path, skip, files_only);
    return at < 0 ? -1 : g_paths[at].owner;
}

int pkg_store_refresh(const char* name) {
    char file[PKG_DRIVE_PATH_SIZE];
    if (pkg_record_file_path(name, PKG_RECORD_SUFFIX, file) != 0) return -1;
    const char* base = file + strlen(PKG_RECORDS_DIR) + 1;
    int32_t slot = -1;
    for (int32_t i = 0; i < g_record_count; ++i)
        if (strcmp(g_records[i].file, base) == 0) slot = i;
    if (slot >= 0) {
        for (uint32_t k = 0; k < g_path_count; ++k)
            if (g_paths[k].owner == slot) g_paths[k].dead = 1;
        g_records[slot].live = 0;
    }
    if (qor::access(file) != 0) {
        if (slot >= 0) g_records[slot].file[0] = 0;  // an empty slot from now on
        return 0;
    }
    if (slot < 0) {
        if (g_record_count >= static_cast<int32_t>(PKG_STORE_MAX_RECORDS)) return -1;
        slot = g_record_count++;
    }
    // A record just written that does not load (it cannot be read back
    // now) leaves the store unsure of what the package owns.
    if (load_record(slot, base) == 0) return g_records[slot].live ? 0 : -1;
    // The pool is full of dead paths: start again from the drive.
    if (pkg_store_load(1) < 0) return -1;
    return pkg_store_find(name) >= 0 ? 0 : -1;
}
