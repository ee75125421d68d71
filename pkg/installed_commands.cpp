// The install command's modes that work from the package records.
#include "installed_commands.h"

#include <cstdio>
#include <cstring>

#include "package_changes.h"
#include "package_install.h"
#include "package_store.h"
#include "qor_print.h"

namespace {

// The installed version of `name`, or nullptr.
const char* installed_version(const char* name) {
    int32_t at = pkg_store_find(name);
    return at < 0 ? nullptr : pkg_store_at(at)->version;
}

int depends_on(const pkg_store_record* r, const char* name) {
    for (int32_t d = 0; d < r->dep_count; ++d)
        if (strcmp(r->deps[d], name) == 0) return 1;
    return 0;
}

int named(const char* const* names, int32_t count, const char* name, const uint8_t* skip) {
    for (int32_t i = 0; i < count; ++i)
        if ((!skip || !skip[i]) && strcmp(names[i], name) == 0) return 1;
    return 0;
}

// Prints "install: NAME is needed by A, B" when an installed package that is
// not being removed depends on `name`: 1 then, else 0.
int needed_by_others(const char* name, const char* const* names, int32_t count) {
    char line[qor::PRINT_BUFFER_SIZE];
    int n = snprintf(line, sizeof line, "install: %s is needed by", name);
    int found = 0;
    for (int32_t i = 0; i < pkg_store_count() && n > 0; ++i) {
        const pkg_store_record* r = pkg_store_at(i);
        if (!r->file[0] || !r->live || named(names, count, r->name, nullptr) || !depends_on(r, name)) continue;
        size_t at = static_cast<size_t>(n);
        if (at >= sizeof line) break;
        n += snprintf(line + at, sizeof line - at, "%s %s", found ? "," : "", r->name);
        found = 1;
    }
    if (!found) return 0;
    if (n < 0 || static_cast<size_t>(n) >= sizeof line) qor::print("install: %s is needed by other packages\n", name);
    else qor::print("%s\n", line);
    return 1;
}

// The next name to remove: one no other name still to be removed depends
// on, else the first left (a cycle). -1 when none is left.
int32_t next_removal(const char* const* names, int32_t count, const uint8_t* done) {
    int32_t first = -1;
    for (int32_t i = 0; i < count; ++i) {
        if (done[i]) continue;
        if (first < 0) first = i;
        int needed = 0;
        for (int32_t k = 0; k < count && !needed; ++k) {
            if (k == i || done[k]) continue;
            int32_t at = pkg_store_find(names[k]);
            needed = at >= 0 && depends_on(pkg_store_at(at), names[i]);
        }
        if (!needed) return i;
    }
    return first;
}

int upgrade_wanted(const package_index* index, const char* name, int say) {
    const char* version = installed_version(name);
    if (!version) {
        qor::print("install: %s is not installed\n", name);
        return -1;
    }
    const package_entry* entry = index_find_package(index, name);
    if (!entry) {
        if (say) qor::print("install: %s is not in the index; kept at %s\n", name, version);
        return 0;
    }
    if (strcmp(entry->version, version) == 0) {
        if (say) qor::print("install: %s@%s is up to date\n", name, version);
        return 0;
    }
    return 1;
}

// Upgrades one installed package: its plan's entries that are missing or at
// another version, in order. 0 or -1.
int upgrade_one(const package_index* index, install_plan* plan, const char* name, int dry_run) {
    if (resolve_install_plan(index, name, plan) != 0) return -1;
    if (dry_run) {
        qor::print("install: upgrade %s: %s ->", name, installed_version(name));
        for (int32_t i = 0; i < plan->count; ++i) {
            const char* have = installed_version(plan->entries[i]->name);
            if (!have || strcmp(have, plan->entries[i]->version) != 0)
                qor::print(" %s@%s", plan->entries[i]->name, plan->entries[i]->version);
        }
        qor::print_text("\n");
        return 0;
    }
    for (int32_t i = 0; i < plan->count; ++i) {
        const package_entry* entry = plan->entries[i];
        const char* have = installed_version(entry->name);
        if (have && strcmp(have, entry->version) == 0) continue;
        if (install_package(index, entry) != 0) return -1;
    }
    return 0;
}

}  // namespace

int installed_already(const package_entry* entry) {
    const char* version = installed_version(entry->name);
    if (!version || strcmp(version, entry->version) != 0) return 0;
    qor::print("install: %s@%s is already installed\n", entry->name, entry->version);
    return 1;
}

void installed_list_index(const package_index* index) {
    qor::print("%-24s %-12s %-12s %-6s %s\n", "NAME", "VERSION", "INSTALLED", "SYSTEM", "DIRECTORY");
    for (int32_t i = 0; i < index->count && i < PKG_INDEX_MAX_PACKAGES; ++i) {
        const package_entry* e = &index->packages[i];
        const char* have = installed_version(e->name);
        char shown[PKG_VERSION_SIZE + 1];
        snprintf(shown, sizeof shown, "%s%s", have ? have : "-", have && strcmp(have, e->version) != 0 ? "*" : "");
        qor::print("%-24s %-12s %-12s %-6s %s\n", e->name, e->version, shown, e->system ? "yes" : "no", e->install_dir);
    }
}

int installed_list_records() {
    qor::print("%-24s %s\n", "NAME", "VERSION");
    for (int32_t i = 0; i < pkg_store_count(); ++i) {
        const pkg_store_record* r = pkg_store_at(i);
        if (r->file[0] && r->live) qor::print("%-24s %s\n", r->name, r->version);
    }
    return 0;
}

int installed_remove(const char* const* names, int32_t count, int dry_run) {
    static uint8_t done[PKG_INDEX_MAX_PACKAGES * 2];
    if (count > static_cast<int32_t>(sizeof done)) count = static_cast<int32_t>(sizeof done);
    memset(done, 0, sizeof done);
    // A name given twice is removed once.
    for (int32_t i = 0; i < count; ++i) done[i] = named(names, i, names[i], nullptr) ? 1 : 0;
    int removed = 0, failed = 0;
    for (int32_t step = 0; step < count; ++step) {
        int32_t i = next_removal(names, count, done);
        if (i < 0) break;
        done[i] = 1;
        const char* name = names[i];
        int ok = !needed_by_others(name, names, count) && pkg_changes_remove(name, dry_run) == 0;
        if (ok) ++removed;
        else ++failed;
    }
    if (!dry_run) qor::print("install: %d removed, %d failed\n", removed, failed);
    return failed == 0 ? 0 : 1;
}

int installed_upgrade(const package_index* index, install_plan* plan, const char* const* names, int32_t count,
                      int dry_run) {
    int upgraded = 0, failed = 0;
    if (count > 0) {
        for (int32_t i = 0; i < count; ++i) {
            int wanted = upgrade_wanted(index, names[i], 1);
            if (wanted < 0) ++failed;
            if (wanted <= 0) continue;
            if (upgrade_one(index, plan, names[i], dry_run) == 0) ++upgraded;
            else ++failed;
        }
    } else {
        for (int32_t i = 0; i < pkg_store_count(); ++i) {
            const pkg_store_record* r = pkg_store_at(i);
            if (!r->file[0] || !r->live) continue;
            // An earlier upgrade's plan may have brought this one up to date.
            char name[PKG_NAME_SIZE];
            memcpy(name, r->name, sizeof name);
            if (upgrade_wanted(index, name, 0) != 1) continue;
            if (upgrade_one(index, plan, name, dry_run) == 0) ++upgraded;
            else ++failed;
        }
    }
    if (!dry_run) qor::print("install: %d upgraded, %d failed\n", upgraded, failed);
    return failed == 0 ? 0 : 1;
}

int installed_check(const char* const* names, int32_t count) {
    int32_t bad = 0, checked = 0, broken = 0;
    if (count > 0) {
        for (int32_t i = 0; i < count; ++i) {
            int32_t n = pkg_changes_check(names[i]);
            if (n < 0) ++broken;
            else ++checked, bad += n;
        }
    } else {
        for (int32_t i = 0; i < pkg_store_count(); ++i) {
            const pkg_store_record* r = pkg_store_at(i);
            if (!r->file[0]) continue;
            if (!r->live) {
                ++broken;
                continue;
            }
            char name[PKG_NAME_SIZE];
            memcpy(name, r->name, sizeof name);
            int32_t n = pkg_changes_check(name);
            if (n < 0) ++broken;
            else ++checked, bad += n;
        }
    }
    qor::print("install: %d checked, %d files missing or changed, %d records bad\n", static_cast<int>(checked),
               static_cast<int>(bad), static_cast<int>(broken));
    return bad == 0 && broken == 0 ? 0 : 1;
}
