// Changes to installed packages and their crash safety.
//
// The order of one change, so that a crash at any call leaves the drive in a
// state the next run can explain and repair:
//   1. the change file "/records/NAME.int", written whole: the new record
//      (what the change puts down) and the old one (what was installed);
//      until it checks, nothing else has been touched;
//   2. the package's files (extraction, or removal);
//   3. the record written (install) or removed (remove);
//   4. what the old version had and the new one lacks taken away;
//   5. the change file removed.
// A run that finds a change file that checks finishes the change when every
// file the new record names is in place (install) or always (remove), and
// otherwise undoes it: what it put down goes, the old version stays when its
// files are untouched, else the package goes too.
#include "package_changes.h"

#include <cstdio>
#include <cstring>

#include "archive_listing.h"
#include "package_install.h"
#include "package_records.h"
#include "package_store.h"
#include "qor.h"
#include "qor_print.h"

namespace {

constexpr const char* TEMP_ARCHIVE_FORMAT = "/tmp/install-%s.pkg";
constexpr int32_t MAX_CHANGE_FILES = PKG_STORE_MAX_RECORDS;

// The change of this run's package installation, and the records a change
// works with: fixed storage, each is large.
pkg_record g_new;
pkg_record g_old;
int g_session = 0;        // 1 once the change file of g_new is written
int g_adoption = 0;       // the payload may be copied to its install name
uint32_t g_dirs[PKG_RECORD_MAX_PATHS];

int path_exists(const char* path) { return qor::access(path) == 0 ? 1 : 0; }

int is_records_path(const char* path) {
    size_t n = strlen(PKG_RECORDS_DIR);
    return strncmp(path, PKG_RECORDS_DIR, n) == 0 && (path[n] == 0 || path[n] == '/');
}

// 1 when the record lists the path as on the drive.
int lists(const pkg_record* r, const char* drive_path) {
    if (!r || !r->name[0]) return 0;
    size_t n = strlen(r->dir);
    if (strncmp(drive_path, r->dir, n) != 0 || drive_path[n] != '/') return 0;
    return pkg_record_find(r, drive_path + n + 1) >= 0 ? 1 : 0;
}

// 1 when the file at `path` holds `size` bytes with digest `sha256`.
int file_matches(const char* path, uint32_t size, const char* sha256) {
    pkg_sha256_ctx ctx;
    pkg_sha256_init(&ctx);
    uint32_t got = 0;
    if (pkg_read_file_through(path, &ctx, &got) != 0) return 0;
    char hex[PKG_SHA256_HEX_SIZE];
    pkg_sha256_final_hex(&ctx, hex);
    return got == size && strcmp(hex, sha256) == 0 ? 1 : 0;
}

// 1 when every file the record lists is present as it says.
int files_in_place(const pkg_record* r) {
    char path[PKG_DRIVE_PATH_SIZE];
    for (uint32_t i = 0; i < r->path_count; ++i) {
        const pkg_record_path* p = &r->paths[i];
        if (p->gone || p->kind != PKG_PATH_FILE) continue;
        if (pkg_record_drive_path(r, pkg_record_path_name(r, i), path) != 0) return 0;
        if (!file_matches(path, p->size, p->sha256)) return 0;
    }
    return 1;
}

// Takes away every path of `r` that `keep` does not list and no other
// installed package lists: files first, then directories deepest first
// (each only when empty: removing a full one fails and it stays). 0, or -1
// when a file that should go could not be removed.
int take_away(const pkg_record* r, const pkg_record* keep) {
    if (!r || !r->name[0]) return 0;
    char path[PKG_DRIVE_PATH_SIZE];
    uint32_t dirs = 0;
    int failed = 0;
    for (uint32_t i = 0; i < r->path_count; ++i) {
        const pkg_record_path* p = &r->paths[i];
        if (p->gone || pkg_record_drive_path(r, pkg_record_path_name(r, i), path) != 0) continue;
        if (is_records_path(path) || lists(keep, path) || pkg_store_owner(path, r->name, 0) >= 0) continue;
        if (p->kind == PKG_PATH_DIR) {
            g_dirs[dirs++] = i;
            continue;
        }
        if (qor::unlink(path) != 0 && path_exists(path)) failed = 1;
    }
    // Longest first: a directory's own entries go before it.
    for (uint32_t a = 1; a < dirs; ++a)
        for (uint32_t b = a; b > 0 && strlen(pkg_record_path_name(r, g_dirs[b])) >
                                          strlen(pkg_record_path_name(r, g_dirs[b - 1])); --b) {
            uint32_t t = g_dirs[b];
            g_dirs[b] = g_dirs[b - 1];
            g_dirs[b - 1] = t;
        }
    for (uint32_t k = 0; k < dirs; ++k)
        if (pkg_record_drive_path(r, pkg_record_path_name(r, g_dirs[k]), path) == 0) qor::unlink(path);
    return failed ? -1 : 0;
}

int record_path(const char* name, const char* suffix, char out[PKG_DRIVE_PATH_SIZE]) {
    return pkg_record_file_path(name, suffix, out);
}

// Removes a file that must go: 0 when it is gone.
int remove_file(const char* path) { return qor::unlink(path) == 0 || !path_exists(path) ? 0 : -1; }

void remove_temp_archive(const char* name) {
    char temp[PKG_DRIVE_PATH_SIZE];
    int n = snprintf(temp, sizeof temp, TEMP_ARCHIVE_FORMAT, name);
    if (n > 0 && static_cast<uint32_t>(n) < sizeof temp) qor::unlink(temp);
}

// Step 3 to 5 of an install whose files are in place: 0 or -1.
int finish_install(const pkg_record* fresh, const pkg_record* old) {
    char rec[PKG_DRIVE_PATH_SIZE], change[PKG_DRIVE_PATH_SIZE];
    if (record_path(fresh->name, PKG_RECORD_SUFFIX, rec) != 0 ||
        record_path(fresh->name, PKG_INTENT_SUFFIX, change) != 0)
        return -1;
    if (pkg_record_write(rec, fresh, PKG_CHANGE_NONE, nullptr) != 0) return -1;
    if (pkg_store_refresh(fresh->name) != 0) return -1;
    if (take_away(old, fresh) != 0) return -1;
    return remove_file(change);
}

// Undoes an install: 0 (with *kept 1 when the old version stayed) or -1.
int undo_install(const pkg_record* fresh, const pkg_record* old, int* kept) {
    char rec[PKG_DRIVE_PATH_SIZE], change[PKG_DRIVE_PATH_SIZE];
    if (record_path(fresh->name, PKG_RECORD_SUFFIX, rec) != 0 ||
        record_path(fresh->name, PKG_INTENT_SUFFIX, change) != 0)
        return -1;
    *kept = old && old->name[0] && files_in_place(old);
    if (*kept) {
        // The old record may have been written over by the new one already.
        if (pkg_record_write(rec, old, PKG_CHANGE_NONE, nullptr) != 0) return -1;
        if (pkg_store_refresh(fresh->name) != 0) return -1;
        if (take_away(fresh, old) != 0) return -1;
    } else {
        if (remove_file(rec) != 0) return -1;
        pkg_store_refresh(fresh->name);
        if (take_away(fresh, nullptr) != 0 || take_away(old, fresh) != 0) return -1;
    }
    remove_temp_archive(fresh->name);
    return remove_file(change);
}

// Removal after its change file is written: 0 or -1.
int finish_remove(const pkg_record* r) {
    char rec[PKG_DRIVE_PATH_SIZE], change[PKG_DRIVE_PATH_SIZE];
    if (record_path(r->name, PKG_RECORD_SUFFIX, rec) != 0 || record_path(r->name, PKG_INTENT_SUFFIX, change) != 0)
        return -1;
    // The record goes first: from here on nothing counts these paths as the
    // package's, so shared ones stay with the packages that still list them.
    if (remove_file(rec) != 0) return -1;
    pkg_store_refresh(r->name);
    if (take_away(r, nullptr) != 0) return -1;
    return remove_file(change);
}

// Finishes or undoes the change in change file `file`: 0 or -1, one line
// said when `report`.
int recover_change(const char* file, int report) {
    char path[PKG_DRIVE_PATH_SIZE];
    snprintf(path, sizeof path, "%s/%s", PKG_RECORDS_DIR, file);  // a listed name always fits
    char why[PKG_RECORD_WHY_SIZE];
    int change = PKG_CHANGE_NONE;
    int read = pkg_record_read(path, &g_new, &change, &g_old, why);
    if (read != 0) {
        // A change file that does not check was being written: nothing of
        // the change had begun.
        if (report) qor::print("install: interrupted change %s (%s): nothing had changed\n", path, why);
        return remove_file(path);
    }
    char expected[PKG_DRIVE_PATH_SIZE];
    if (record_path(g_new.name, PKG_INTENT_SUFFIX, expected) != 0 || strcmp(expected, path) != 0) {
        if (report) qor::print("install: interrupted change %s names another package; left alone\n", path);
        return -1;
    }
    if (change == PKG_CHANGE_REMOVE) {
        int r = finish_remove(&g_new);
        if (report) qor::print("install: interrupted removal of %s@%s: %s\n", g_new.name, g_new.version,
                               r == 0 ? "finished" : "still unfinished");
        return r;
    }
    if (files_in_place(&g_new)) {
        int r = finish_install(&g_new, &g_old);
        if (report) qor::print("install: interrupted install of %s@%s: %s\n", g_new.name, g_new.version,
                               r == 0 ? "finished" : "still unfinished");
        return r;
    }
    int kept = 0;
    int r = undo_install(&g_new, &g_old, &kept);
    if (report) {
        if (r != 0) qor::print("install: interrupted install of %s@%s: still unfinished\n", g_new.name, g_new.version);
        else if (kept) qor::print("install: interrupted install of %s@%s: undone, %s@%s kept\n", g_new.name,
                                  g_new.version, g_old.name, g_old.version);
        else if (g_old.name[0]) qor::print("install: interrupted install of %s@%s: undone, %s removed (install it again)\n",
                                           g_new.name, g_new.version, g_new.name);
        else qor::print("install: interrupted install of %s@%s: undone\n", g_new.name, g_new.version);
    }
    return r;
}

// Writes the change file for `r` (and the old record): 0, or -1 reported.
int write_change(const pkg_record* r, int change, const pkg_record* old) {
    char path[PKG_DRIVE_PATH_SIZE];
    if (record_path(r->name, PKG_INTENT_SUFFIX, path) != 0 || pkg_ensure_dir_exists(PKG_RECORDS_DIR) != 0 ||
        pkg_record_write(path, r, change, old) != 0) {
        qor::print("install: failed to write the package record of %s\n", r->name);
        return -1;
    }
    return 0;
}

// Refuses a path of the new record that the package records or another
// installed package hold: 0, or -1 after "install: NAME: PATH belongs to OTHER".
int refuse_conflicts(const pkg_record* r) {
    char path[PKG_DRIVE_PATH_SIZE];
    for (uint32_t i = 0; i < r->path_count; ++i) {
        const pkg_record_path* p = &r->paths[i];
        if (p->gone) continue;
        if (pkg_record_drive_path(r, pkg_record_path_name(r, i), path) != 0) {
            qor::print("install: output path too long for %s\n", r->name);
            return -1;
        }
        if (is_records_path(path)) {
            qor::print("install: %s: %s belongs to the package records\n", r->name, path);
            return -1;
        }
        int32_t owner = pkg_store_owner(path, r->name, p->kind == PKG_PATH_DIR);
        if (owner >= 0) {
            qor::print("install: %s: %s belongs to %s\n", r->name, path, pkg_store_at(owner)->name);
            return -1;
        }
    }
    return 0;
}

// Loads the installed record of `name` into `old` (empty when there is
// none): 0, or -1 (reported) when it is installed but its record cannot be
// read now: without it the old version's paths could not be taken away.
int load_old(const char* name, pkg_record* old) {
    old->name[0] = 0;
    if (pkg_store_find(name) < 0) return 0;
    char path[PKG_DRIVE_PATH_SIZE];
    char why[PKG_RECORD_WHY_SIZE];
    if (record_path(name, PKG_RECORD_SUFFIX, path) == 0 && pkg_record_read(path, old, nullptr, nullptr, why) == 0)
        return 0;
    old->name[0] = 0;
    qor::print("install: cannot read the package record of %s\n", name);
    return -1;
}

// An archive may carry the payload under the package name; installation then
// copies it to the install name and deletes it (network installs). The new
// record names the copy too, so an undo takes it away.
void expect_adopted_payload(pkg_record* r, const package_entry* entry) {
    g_adoption = 0;
    if (strcmp(r->install_name, entry->name) == 0 || pkg_record_find(r, r->install_name) >= 0) return;
    int32_t by_name = pkg_record_find(r, entry->name);
    char target[PKG_DRIVE_PATH_SIZE];
    if (by_name < 0 || r->paths[by_name].kind != PKG_PATH_FILE ||
        pkg_record_drive_path(r, r->install_name, target) != 0 || path_exists(target))
        return;
    pkg_record_path copy = r->paths[by_name];
    if (pkg_record_put(r, PKG_PATH_FILE, r->install_name, copy.size, copy.sha256) == 0) g_adoption = 1;
}

// After an installation: marks what is not on the drive as the record
// expects (the payload copied away from its package name) and fills in a
// single file's size. 0 or -1.
int settle_paths(pkg_record* r, const package_entry* entry) {
    char path[PKG_DRIVE_PATH_SIZE];
    if (g_adoption) {
        const char* names[2] = {entry->name, r->install_name};
        for (const char* name : names) {
            int32_t at = pkg_record_find(r, name);
            if (at >= 0 && pkg_record_drive_path(r, name, path) == 0 && !path_exists(path)) r->paths[at].gone = 1;
        }
    }
    if (r->path_count == 1 && r->paths[0].size == 0 && r->paths[0].kind == PKG_PATH_FILE &&
        strcmp(r->paths[0].sha256, r->archive_sha256) == 0) {
        if (pkg_record_drive_path(r, r->install_name, path) != 0 || pkg_measure_file_size(path, &r->paths[0].size) != 0)
            return -1;
    }
    return 0;
}

}  // namespace

int pkg_changes_begin_run() {
    g_session = 0;
    int32_t records = pkg_store_load(1);
    static char changes[MAX_CHANGE_FILES][PKG_RECORD_FILE_NAME_MAX + 1];
    int32_t count = pkg_records_list(PKG_INTENT_SUFFIX, changes, MAX_CHANGE_FILES);
    if (records < 0 || count < 0) {
        qor::print("install: cannot read the package records in %s\n", PKG_RECORDS_DIR);
        return -1;
    }
    for (int32_t i = 0; i < count; ++i) recover_change(changes[i], 1);
    for (int32_t i = 0; i < pkg_store_count(); ++i) {
        const pkg_store_record* s = pkg_store_at(i);
        if (!s->file[0] || s->live) continue;
        qor::print("install: interrupted change in %s/%s: %s; not taken as installed\n", PKG_RECORDS_DIR, s->file,
                   s->why);
    }
    // A drive whose packages were all removed has the directory still.
    if (records == 0 && !path_exists(PKG_RECORDS_DIR)) qor::print("install: no package records on this drive\n");
    return 0;
}

int pkg_changes_before_write(const package_entry* entry, const char* archive) {
    if (g_session && strcmp(g_new.name, entry->name) == 0 && strcmp(g_new.archive_sha256, entry->sha256) == 0)
        return 0;
    g_session = 0;
    if (pkg_store_load(0) < 0) {
        qor::print("install: cannot read the package records in %s\n", PKG_RECORDS_DIR);
        return -2;
    }
    char path[PKG_DRIVE_PATH_SIZE];
    if (record_path(entry->name, PKG_RECORD_SUFFIX, path) != 0 || pkg_record_start(&g_new, entry) != 0) {
        qor::print("install: %s: name too long for a package record\n", entry->name);
        return -2;
    }
    if (archive) {
        // An archive that cannot be listed is not extracted either: the
        // record would not name what extraction writes.
        int listed = pkg_list_archive(archive, &g_new);
        if (listed == -2) {
            qor::print("install: %s: more paths than a package record holds\n", entry->name);
            return -2;
        }
        if (listed != 0) return -1;
        expect_adopted_payload(&g_new, entry);
    } else if (pkg_record_put(&g_new, PKG_PATH_FILE, g_new.install_name, 0, entry->sha256) != 0) {
        return -2;
    }
    if (refuse_conflicts(&g_new) != 0) return -2;
    if (load_old(entry->name, &g_old) != 0) return -2;
    if (write_change(&g_new, PKG_CHANGE_INSTALL, &g_old) != 0) return -2;
    g_session = 1;
    return 0;
}

int pkg_changes_settle(const package_entry* entry, int installed) {
    if (!g_session || strcmp(g_new.name, entry->name) != 0) return installed ? 0 : -1;
    g_session = 0;
    if (installed) {
        if (settle_paths(&g_new, entry) == 0 && finish_install(&g_new, &g_old) == 0) return 0;
        qor::print("install: failed to write the package record of %s\n", entry->name);
    }
    // An extract child that could not be waited for may still be writing:
    // the change file stays, for the next run to finish or undo.
    if (pkg_extract_child_unwaited()) return -1;
    int kept = 0;
    undo_install(&g_new, &g_old, &kept);
    return -1;
}

int pkg_changes_remove(const char* name, int dry_run) {
    if (pkg_store_find(name) < 0) {
        qor::print("install: %s is not installed\n", name);
        return -1;
    }
    char path[PKG_DRIVE_PATH_SIZE];
    char why[PKG_RECORD_WHY_SIZE];
    if (record_path(name, PKG_RECORD_SUFFIX, path) != 0 || pkg_record_read(path, &g_new, nullptr, nullptr, why) != 0) {
        qor::print("install: %s is not installed\n", name);
        return -1;
    }
    if (dry_run) {
        char shown[PKG_DRIVE_PATH_SIZE];
        for (uint32_t i = 0; i < g_new.path_count; ++i) {
            if (pkg_record_drive_path(&g_new, pkg_record_path_name(&g_new, i), shown) != 0) continue;
            if (pkg_store_owner(shown, name, 0) >= 0) continue;
            qor::print("install: would remove %s%s\n", shown, g_new.paths[i].kind == PKG_PATH_DIR ? "/ (when empty)" : "");
        }
        return 0;
    }
    if (write_change(&g_new, PKG_CHANGE_REMOVE, nullptr) != 0) return -1;
    if (finish_remove(&g_new) != 0) {
        qor::print("install: failed to remove %s\n", name);
        return -1;
    }
    qor::print("install: removed %s@%s\n", g_new.name, g_new.version);
    return 0;
}

int32_t pkg_changes_check(const char* name) {
    char path[PKG_DRIVE_PATH_SIZE];
    char why[PKG_RECORD_WHY_SIZE];
    if (pkg_store_find(name) < 0 || record_path(name, PKG_RECORD_SUFFIX, path) != 0 ||
        pkg_record_read(path, &g_new, nullptr, nullptr, why) != 0) {
        qor::print("install: %s is not installed\n", name);
        return -1;
    }
    int32_t bad = 0;
    for (uint32_t i = 0; i < g_new.path_count; ++i) {
        const pkg_record_path* p = &g_new.paths[i];
        if (p->gone || pkg_record_drive_path(&g_new, pkg_record_path_name(&g_new, i), path) != 0) continue;
        if (p->kind == PKG_PATH_DIR) {
            if (!pkg_path_is_directory(path)) qor::print("install: %s: missing %s\n", name, path), ++bad;
            continue;
        }
        if (!path_exists(path)) qor::print("install: %s: missing %s\n", name, path), ++bad;
        else if (!file_matches(path, p->size, p->sha256)) qor::print("install: %s: changed %s\n", name, path), ++bad;
    }
    return bad;
}
