#include "base_packages.h"

#include <cstdio>

#include "index_load.h"
#include "package_install.h"
#include "package_store.h"
#include "reporting.h"
#include "resolve.h"

namespace {

constexpr int STATUS_LINE_SIZE = 96;
constexpr int CONFIRM_ACCEPT_ALL = 1;

// The index is about 210 KiB: fixed storage of the phase, not stack or heap.
package_index g_base_index;
install_plan g_base_plan;

// Installs every entry of the plan resolved for `name`: 0, or -1 reported.
int install_plan_entries(installer_state* s, const char* name) {
    if (resolve_install_plan(&g_base_index, name, &g_base_plan) != 0) {
        error_set_path(s, "Failed to resolve install plan", name);
        return -1;
    }
    if (g_base_plan.count < 1) {
        error_set_path(s, "Empty install plan", name);
        return -1;
    }
    for (int32_t i = 0; i < g_base_plan.count; ++i) {
        const package_entry* entry = g_base_plan.entries[i];
        if (!entry || !entry->name[0]) {
            error_set_path(s, "Invalid package in install plan", name);
            return -1;
        }
        char detail[DETAIL_TEXT_SIZE];
        snprintf(detail, sizeof detail, "install %s", entry->name);  // shown cut to the field
        detail_set(s, detail);
        if (install_package(&g_base_index, entry) != 0) {
            error_set_path(s, "Package install failed", entry->name);
            return -1;
        }
    }
    return 0;
}

// Installs each selected package in list order, one progress step per
// package: 0, or -1 (reported unless a selected name was empty).
int install_selected_packages(installer_state* s, int32_t selected) {
    int32_t k = 0;
    for (int32_t i = 0; i < s->package_count && i < MAX_PACKAGES; ++i) {
        if (!s->package_selected[i]) continue;
        const char* name = s->package_names[i];
        if (!name[0]) return -1;
        char status[STATUS_LINE_SIZE];
        snprintf(status, sizeof status, "Installing package %d/%d", ++k, selected);
        status_set(s, status);
        if (install_plan_entries(s, name) != 0) return -1;
        progress_step(s, name);
    }
    return 0;
}

}  // namespace

int install_base_packages(installer_state* s, int32_t selected) {
    if (index_fetch_and_parse(&g_base_index) != 0) {
        error_set(s, "Failed to load package index");
        return -1;
    }
    // The records of the drive just prepared: none yet, but never those of
    // an earlier run in this process.
    pkg_store_load(1);
    s->step = STEP_INSTALL;
    status_set(s, "Installing base packages ...");
    progress_begin(s, selected, "");
    int previous = package_set_confirm_mode(CONFIRM_ACCEPT_ALL);
    int rc = install_selected_packages(s, selected);
    package_set_confirm_mode(previous);
    return rc;
}
