// Dependency ordering: a post-order depth-first walk from the requested
// package, so every package lands after everything it needs.
#include "resolve.h"

#include <cstring>

#include "qor_print.h"

namespace {

// Position of the first entry named exactly `name`, or -1.
int32_t res_find(const package_index* index, const char* name) {
    const package_entry* e = index_find_package(index, name);
    return e ? static_cast<int32_t>(e - index->packages) : -1;
}

}  // namespace

int res_visit(const package_index* index, int32_t position, uint8_t marks[PKG_INDEX_MAX_PACKAGES], install_plan* plan) {
    if (!index || !marks || !plan || position < 0 || position >= index->count || position >= PKG_INDEX_MAX_PACKAGES) return -1;
    const package_entry* entry = &index->packages[position];
    if (marks[position] == RES_FINISHED) return 0;
    if (marks[position] == RES_VISITING) {
        qor::print("install: dependency cycle at %s\n", entry->name);
        return -1;
    }
    marks[position] = RES_VISITING;
    for (int32_t i = 0; i < entry->dep_count && i < PKG_MAX_DEPS; i++) {
        const char* dep = entry->deps[i];
        int32_t dep_position = res_find(index, dep);
        if (dep_position < 0) {
            qor::print("install: missing dependency '%s' required by '%s'\n", dep, entry->name);
            return -1;
        }
        if (res_visit(index, dep_position, marks, plan) != 0) return -1;
    }
    marks[position] = RES_FINISHED;
    if (plan->count >= PKG_INDEX_MAX_PACKAGES) {
        qor::print("install: dependency plan exceeded maximum size\n");
        return -1;
    }
    plan->entries[plan->count++] = entry;
    return 0;
}

int resolve_install_plan(const package_index* index, const char* name, install_plan* plan) {
    if (!index || !name || !name[0] || !plan) return -1;
    memset(plan, 0, sizeof *plan);
    int32_t position = res_find(index, name);
    if (position < 0) {
        qor::print("install: package not found in index: %s\n", name);
        return -1;
    }
    uint8_t marks[PKG_INDEX_MAX_PACKAGES];
    memset(marks, RES_UNVISITED, sizeof marks);
    return res_visit(index, position, marks, plan);
}
