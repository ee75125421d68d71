// The installation sequence: seeds the target from the media (tools,
// kernel, package index and caches, configuration, and as chosen icons,
// fonts and the compiler), then installs the base packages.
#include <cstdio>
#include <cstring>
#include <iterator>

#include "base_packages.h"
#include "install_options.h"
#include "install_phases.h"
#include "media_copy.h"
#include "qor.h"
#include "reporting.h"

namespace {

// When a seeded file's source may be absent.
enum class seed_presence {
    required,   // a missing source fails in the copy
    optional,   // a missing source skips the copy; the step still counts
    announced,  // a missing source fails with the row's own message
};

struct seed_file {
    const char* source;
    const char* target;
    const char* label;
    const char* step;
    seed_presence presence;
    const char* missing;           // for announced rows
    const char* directory_before;  // made with its ancestors first, or nullptr
};

constexpr seed_file SEED_FILES[] = {
    {"RAM:/binaries/install", "/binaries/install", "Seeding /binaries/install", "install", seed_presence::required,
     nullptr, nullptr},
    {"RAM:/binaries/extract", "/binaries/extract", "Seeding /binaries/extract", "extract", seed_presence::required,
     nullptr, nullptr},
    {"RAM:/binaries/installer", "/binaries/installer", "Seeding /binaries/installer", "installer",
     seed_presence::required, nullptr, nullptr},
    {"RAM:/boot/kernel.bin", "/boot/kernel.bin", "Copying /boot/kernel.bin", "kernel", seed_presence::required,
     nullptr, nullptr},
    {"RAM:/installer/index.json", "/cache/index.json", "Copying local index.json", "index", seed_presence::optional,
     nullptr, nullptr},
    {"RAM:/installer/base.pkg", "/cache/base.pkg", "Copying base.pkg", "base.pkg", seed_presence::optional, nullptr,
     nullptr},
    {"RAM:/installer/base.manifest", "/cache/base.manifest", "Copying base.manifest", "manifest",
     seed_presence::announced, "RAM:/installer/base.manifest missing", nullptr},
    {"RAM:/etc/resolv.conf", "/etc/resolv.conf", "Seeding /etc/resolv.conf", "resolv.conf", seed_presence::required,
     nullptr, "/etc"},
};

// What a signed media adds beside the index: the index's signature, the keys
// that verify it and the mirrors to fetch from. A media without them seeds
// and counts none of these rows.
constexpr seed_file SEED_TRUST_FILES[] = {
    {"RAM:/installer/index.json.sig", "/cache/index.json.sig", "Copying index.json.sig", "index signature",
     seed_presence::optional, nullptr, nullptr},
    {"RAM:/installer/trusted-keys.pem", "/cache/trusted-keys.pem", "Copying trusted-keys.pem", "keys",
     seed_presence::optional, nullptr, nullptr},
    {"RAM:/installer/repositories", "/cache/repositories", "Copying repositories", "repositories",
     seed_presence::optional, nullptr, nullptr},
};

constexpr seed_file SEED_COMPILER = {"RAM:/programs/chibicc",     "/binaries/chibicc",
                                     "Seeding /binaries/chibicc", "chibicc",
                                     seed_presence::announced,    "RAM:/programs/chibicc missing",
                                     "/binaries"};

struct seed_tree {
    const char* source;
    const char* target;
    const char* step;
    const char* missing;
};

constexpr seed_tree SEED_TREES[] = {
    {"RAM:/config", "/config", "config", "RAM:/config missing"},
    {"RAM:/.view", "/.view", ".view", "RAM:/.view missing"},
};

constexpr seed_tree SEED_ICON_TREES[] = {
    {"RAM:/icons", "/icons", "icons", "RAM:/icons missing"},
    {"RAM:/icons16", "/icons16", "icons16", "RAM:/icons16 missing"},
};

// Every seeded file and tree is one progress step.
constexpr int32_t SEED_STEPS_FIXED = static_cast<int32_t>(std::size(SEED_FILES) + std::size(SEED_TREES));
constexpr int32_t SEED_STEPS_ICONS = static_cast<int32_t>(std::size(SEED_ICON_TREES));

constexpr const char* TARGET_TOP_DIRECTORIES[] = {"/binaries", "/boot", "/cache", "/cache/pkg"};

bool source_opens(const char* path) { return qor::access(path) == 0; }

// An optional source that does not open is absent only when its directory
// does not list it: one that is listed (or whose directory cannot be listed)
// is copied, and the copy reports why it cannot be read, rather than being
// skipped and leaving the drive without it.
bool optional_source_absent(const char* path) {
    const char* slash = strrchr(path, '/');
    char directory[COPY_PATH_SIZE];
    size_t len = slash ? static_cast<size_t>(slash - path) + 1 : 0;
    if (len == 0 || len >= sizeof directory) return false;
    memcpy(directory, path, len);
    directory[len] = '\0';
    return directory_lists_name(directory, slash + 1) == 0;
}

// 1 when the media carries the optional row's source (or lists it, so the
// copy reports why it cannot be read).
bool media_carries(const seed_file& row) { return source_opens(row.source) || !optional_source_absent(row.source); }

// The seeding phase's step count for the options chosen.
int32_t seed_step_count(const installer_state* s) {
    int32_t steps = SEED_STEPS_FIXED;
    for (const seed_file& row : SEED_TRUST_FILES) steps += media_carries(row) ? 1 : 0;
    if (s->seed_icons) steps += SEED_STEPS_ICONS;
    if (s->seed_fonts) steps += selected_fonts(s);
    if (s->seed_chibicc) steps += 1;
    return steps;
}

// Makes a target directory the next copy needs: 0, or -1 reported.
int make_target_directory(installer_state* s, const char* path) {
    if (ensure_target_directory(path) == 0) return 0;
    error_set_path(s, "Failed to create target directory", path);
    return -1;
}

// One seeded file and its progress step: 0, or -1 reported.
int seed_one_file(installer_state* s, const seed_file& row) {
    bool copy = true;
    if (row.presence != seed_presence::required && !source_opens(row.source)) {
        if (row.presence == seed_presence::announced) {
            error_set(s, row.missing);
            return -1;
        }
        copy = !optional_source_absent(row.source);
    }
    if (copy) {
        if (row.directory_before && make_target_directory(s, row.directory_before) != 0) return -1;
        if (copy_media_file_to_target(s, row.source, row.target, row.label) != 0) return -1;
    }
    progress_step(s, row.step);
    return 0;
}

int seed_one_tree(installer_state* s, const seed_tree& row) {
    if (copy_media_tree_to_target(s, row.source, row.target, row.missing) != 0) return -1;
    progress_step(s, row.step);
    return 0;
}

// Each selected font, in list order, from "RAM:/fonts" to "/fonts".
int seed_fonts(installer_state* s) {
    if (selected_fonts(s) == 0) {
        error_set(s, "Fonts enabled but no fonts selected");
        return -1;
    }
    if (make_target_directory(s, "/fonts") != 0) return -1;
    for (int32_t i = 0; i < s->font_count && i < MAX_FONTS; ++i) {
        if (!s->font_selected[i]) continue;
        const char* name = s->font_names[i];
        char source[COPY_PATH_SIZE];
        char target[COPY_PATH_SIZE];
        if (join_path2("RAM:/fonts", name, source) != 0 || join_path2("/fonts", name, target) != 0) {
            error_set(s, "Font path too long");
            return -1;
        }
        char label[DETAIL_TEXT_SIZE];  // shown as the detail line
        snprintf(label, sizeof label, "Seeding /fonts/%s", name);  // a name fits: 63 characters at most
        if (copy_media_file_to_target(s, source, target, label) != 0) return -1;
        progress_step(s, name);
    }
    return 0;
}

// Every seeding row the options ask for, in order: 0, or -1 reported.
int seed_target(installer_state* s) {
    for (const seed_file& row : SEED_FILES) {
        if (seed_one_file(s, row) != 0) return -1;
    }
    for (const seed_file& row : SEED_TRUST_FILES) {
        if (media_carries(row) && seed_one_file(s, row) != 0) return -1;
    }
    for (const seed_tree& row : SEED_TREES) {
        if (seed_one_tree(s, row) != 0) return -1;
    }
    if (s->seed_icons) {
        for (const seed_tree& row : SEED_ICON_TREES) {
            if (seed_one_tree(s, row) != 0) return -1;
        }
    }
    if (s->seed_fonts && seed_fonts(s) != 0) return -1;
    if (s->seed_chibicc && seed_one_file(s, SEED_COMPILER) != 0) return -1;
    return 0;
}

}  // namespace

int install_from_package_manifest(installer_state* s) {
    if (installer_prepare_options(s) != 0) {
        error_set(s, "Failed to load installer options");
        return -1;
    }
    int32_t selected = selected_packages(s);
    if (selected == 0) {
        error_set(s, "Select at least one package before install");
        return -1;
    }
    for (const char* directory : TARGET_TOP_DIRECTORIES) qor::mkdir(directory);  // may exist already
    status_set(s, "Seeding installer tools and cache ...");
    progress_begin(s, seed_step_count(s), "");
    if (seed_target(s) != 0) return -1;
    return install_base_packages(s, selected);
}
