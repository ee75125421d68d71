// The install command on the package core: every "install: " line about a
// package comes from the core itself; the command adds its usage, the plan
// and list lines and one closing summary.
#include "install_command.h"

#include <cstdint>
#include <cstring>

#include "index_load.h"
#include "index_trust.h"
#include "installed_commands.h"
#include "package_changes.h"
#include "package_install.h"
#include "qor_print.h"
#include "resolve.h"

namespace {

constexpr const char* USAGE_TEXT =
    "Usage: install [-y] [-n] [-f] NAME...\n"
    "       install -l | -i\n"
    "       install -r [-n] NAME...\n"
    "       install -u [-y] [-n] [NAME...]\n"
    "       install -c [NAME...]\n"
    "Installs each named package with its dependencies from the package index.\n"
    "Options:\n"
    "  -y          answer yes to every question\n"
    "  -n          print each install plan (or what -r would remove) and change nothing\n"
    "  -f          install even what is installed at the index's version\n"
    "  -l          list the packages of the index with their installed versions\n"
    "  -i          list the installed packages\n"
    "  -r          remove the named packages\n"
    "  -u          upgrade the installed packages (or the named ones) to the index's versions\n"
    "  -c          check the installed packages' files\n"
    "  -h, --help  print this help\n"
    "Examples:\n"
    "  install hello\n"
    "  install -y hello coreutils\n";

constexpr int CONFIRM_ACCEPT_ALL = 1;

// What the command line asks for.
struct install_options {
    int accept_all;
    int plan_only;
    int list;
    int help;
    int name_count;
    int force;
    int installed;  // -i
    int remove;
    int upgrade;
    int check;
};

// Names given on one command line, for the modes that take them together.
constexpr int32_t MAX_NAMES = 256;
const char* g_names[MAX_NAMES];

// The index is about 210 KiB: fixed storage of the command, not stack or heap.
package_index g_install_index;
install_plan g_install_plan;
// One flag per index position: installed earlier in this run, so a package
// two names share is installed once.
uint8_t g_installed[PKG_INDEX_MAX_PACKAGES];

// What an argument is, given whether "--" has been seen.
enum arg_kind { ARG_SKIP, ARG_END_OF_OPTIONS, ARG_OPTION, ARG_NAME };

arg_kind classify(const char* arg, int options_done) {
    if (!arg || !arg[0]) return ARG_SKIP;
    if (options_done || arg[0] != '-' || arg[1] == 0) return ARG_NAME;
    return strcmp(arg, "--") == 0 ? ARG_END_OF_OPTIONS : ARG_OPTION;
}

// Reads the options; names and options may be mixed, "--" ends the options.
// 0, or -1 after printing the unknown option.
int parse_options(int argc, char** argv, install_options* o) {
    memset(o, 0, sizeof *o);
    int options_done = 0;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        arg_kind kind = classify(arg, options_done);
        if (kind == ARG_NAME) o->name_count++;
        if (kind == ARG_END_OF_OPTIONS) options_done = 1;
        if (kind != ARG_OPTION) continue;
        if (strcmp(arg, "--help") == 0) {
            o->help = 1;
            continue;
        }
        for (const char* c = arg + 1; *c; ++c) {
            if (*c == 'y') o->accept_all = 1;
            else if (*c == 'n') o->plan_only = 1;
            else if (*c == 'l') o->list = 1;
            else if (*c == 'h') o->help = 1;
            else if (*c == 'f') o->force = 1;
            else if (*c == 'i') o->installed = 1;
            else if (*c == 'r') o->remove = 1;
            else if (*c == 'u') o->upgrade = 1;
            else if (*c == 'c') o->check = 1;
            else {
                qor::print("install: unknown option: %s\n", arg);
                return -1;
            }
        }
    }
    return 0;
}

void print_plan(const char* name, const install_plan* plan) {
    qor::print("install: plan for %s:", name);
    for (int32_t i = 0; i < plan->count; ++i)
        qor::print(" %s@%s", plan->entries[i]->name, plan->entries[i]->version);
    qor::print_text("\n");
}

// Installs every entry of the plan not installed earlier in this run nor
// (unless forced) on the drive at the index's version, in order; the first
// failure ends it. 0 or -1 (reported by the core).
int install_plan_entries(const package_index* index, const install_plan* plan, int force) {
    for (int32_t i = 0; i < plan->count; ++i) {
        const package_entry* entry = plan->entries[i];
        int32_t position = static_cast<int32_t>(entry - index->packages);
        if (g_installed[position]) continue;
        if (!force && installed_already(entry)) {
            g_installed[position] = 1;
            continue;
        }
        if (install_package(index, entry) != 0) return -1;
        g_installed[position] = 1;
    }
    return 0;
}

// Resolves and, unless only the plan is asked for, installs one name: 0 or -1.
int install_one(const char* name, const install_options* o) {
    if (resolve_install_plan(&g_install_index, name, &g_install_plan) != 0) return -1;
    if (o->plan_only) {
        print_plan(name, &g_install_plan);
        return 0;
    }
    return install_plan_entries(&g_install_index, &g_install_plan, o->force);
}

// 1 when the options ask for something the command cannot do.
int bad_usage(const install_options* o) {
    int modes = o->list + o->installed + o->remove + o->upgrade + o->check;
    if (modes > 1 || o->name_count > MAX_NAMES) return 1;
    if (o->list || o->installed) return o->name_count != 0 || o->accept_all || o->plan_only || o->force;
    if (o->remove) return o->name_count == 0 || o->accept_all || o->force;
    if (o->check) return o->accept_all || o->plan_only || o->force;
    if (o->upgrade) return o->force;
    return o->name_count == 0;
}

// The names of the command line into g_names: their count.
int32_t collect_names(int argc, char** argv) {
    int32_t count = 0;
    int options_done = 0;
    for (int i = 1; i < argc && count < MAX_NAMES; ++i) {
        arg_kind kind = classify(argv[i], options_done);
        if (kind == ARG_END_OF_OPTIONS) options_done = 1;
        if (kind == ARG_NAME) g_names[count++] = argv[i];
    }
    return count;
}

// The modes that need no index: -i, -r, -c. Their status.
int run_record_mode(const install_options* o, int32_t names) {
    if (o->installed) return installed_list_records();
    if (o->remove) return installed_remove(g_names, names, o->plan_only);
    return installed_check(g_names, names);
}

}  // namespace

int install_command_main(int argc, char** argv) {
    install_options o;
    if (!argv || parse_options(argc, argv, &o) != 0) {
        qor::print_text(USAGE_TEXT);
        return 1;
    }
    if (o.help) {
        qor::print_text(USAGE_TEXT);
        return 0;
    }
    if (bad_usage(&o)) {
        qor::print_text(USAGE_TEXT);
        return 1;
    }
    if (pkg_changes_begin_run() != 0) return 1;
    int32_t names = collect_names(argc, argv);
    if (o.installed || o.remove || o.check) return run_record_mode(&o, names);
    memset(g_installed, 0, sizeof g_installed);
    if (index_fetch_and_parse(&g_install_index) != 0) {
        if (!o.list) qor::print("install: 0 %s, %d failed\n", o.upgrade ? "upgraded" : "installed", o.name_count);
        return 1;
    }
    if (o.list) {
        index_print_origin();
        installed_list_index(&g_install_index);
        return 0;
    }
    int previous = package_set_confirm_mode(o.accept_all ? CONFIRM_ACCEPT_ALL : 0);
    if (o.upgrade) {
        int status = installed_upgrade(&g_install_index, &g_install_plan, g_names, names, o.plan_only);
        package_set_confirm_mode(previous);
        return status;
    }
    int done = 0, failed = 0;
    int options_done = 0;
    for (int i = 1; i < argc; ++i) {
        arg_kind kind = classify(argv[i], options_done);
        if (kind == ARG_END_OF_OPTIONS) options_done = 1;
        if (kind != ARG_NAME) continue;
        if (install_one(argv[i], &o) == 0) ++done;
        else ++failed;
    }
    package_set_confirm_mode(previous);
    if (!o.plan_only) qor::print("install: %d installed, %d failed\n", done, failed);
    return failed == 0 ? 0 : 1;
}
