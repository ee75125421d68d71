// The hosted machine's entry: every numbered call arrives here, passes the
// fault hook and the call counters, and goes to the family that answers it.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "hosted.h"
#include "kernel.h"
#include "qor_calls.h"
#include "qor_syscall.h"

namespace hosted {
namespace {

struct fault {
    long number;
    long first_use;  // counted from 1 after the fault was added
    long times;      // < 0: every use from first_use on
    long base_count; // the call's count when the fault was added
    long result;
    bool shorten;    // the call runs with half its length (one record of a listing)
    bool kill;       // the process ends at the call, as at a power loss
};

machine_state g_machine;
std::vector<fault> g_faults;
std::map<long, long> g_call_counts;
bool g_capturing = false;
std::string g_capture;
bool g_skip_sleeps = false;
bool g_test_hooks_read = false;
std::string g_process_index = "0";  // this process in the tree the top process started
long g_children_started = 0;
std::string g_call_counts_file;

void configure_from_environment() {
    const char* dir = getenv("QOR_MACHINE");
    g_machine.dir = dir ? dir : "";
    g_machine.current_drive = RAM_DRIVE;
    const char* drive = getenv("QOR_DRIVE");
    if (dir && drive && drive[0] >= '0' && drive[0] <= '9') g_machine.current_drive = atoi(drive);
    g_machine.configured = true;
}

bool fault_applies(const fault& f, long count) {
    long use = count - f.base_count;
    if (use < f.first_use) return false;
    return f.times < 0 || use < f.first_use + f.times;
}

// The fault this use of the call meets, or nullptr.
const fault* injected_fault(long number) {
    long count = ++g_call_counts[number];
    for (const fault& f : g_faults) {
        if (f.number == number && fault_applies(f, count)) return &f;
    }
    return nullptr;
}

// Half the length (a transfer that really moves part of what was asked); a
// listing gets room for one record. Calls without a length keep theirs.
void shorten_length(long number, long* b, long* c) {
    switch (number) {
        case qor::SYS_READ:
        case qor::SYS_WRITE:
        case qor::SYS_STREAM_WRITE:
            if (*c > 1) *c /= 2;
            break;
        case qor::SYS_GETDENTS:
            if (*c > qor::DIRENT_SIZE) *c = qor::DIRENT_SIZE;
            break;
        case qor::SYS_TCP_SEND:
        case qor::SYS_TCP_RECV:
            if (*b > 1) *b /= 2;
            break;
        default:
            break;
    }
}

void write_call_counts_at_exit() {
    std::string line = g_process_index;
    for (auto& [number, count] : g_call_counts) line += " " + std::to_string(number) + ":" + std::to_string(count);
    line += "\n";
    int fd = ::open(g_call_counts_file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    write_all(fd, line.data(), static_cast<long>(line.size()));
    ::close(fd);
}

// QOR_FAULT="number:use:result[:process]" (result a number, "half" for
// the shortened transfer or "kill" for the process ending at the call; process "0" is the top one, its children "1",
// "2", ... in the order started, theirs "1.1", ...; without it the top one)
// adds one fault in the process it names. QOR_CALL_COUNTS=file appends the
// process's index and its "number:count" pairs to the file at exit.
void read_test_hooks() {
    g_test_hooks_read = true;
    if (const char* index = getenv("QOR_PROCESS_INDEX")) g_process_index = index;
    if (const char* file = getenv("QOR_CALL_COUNTS")) {
        g_call_counts_file = file;
        atexit(write_call_counts_at_exit);
    }
    const char* fault = getenv("QOR_FAULT");
    if (!fault) return;
    long number = 0, use = 0, result = 0;
    char action[16] = {0}, process[64] = {0};
    int fields = sscanf(fault, "%ld:%ld:%15[^:]:%63s", &number, &use, action, process);
    if (fields < 3 || use < 1) return;
    if (fields == 4 ? g_process_index != process : g_process_index != "0") return;
    bool shorten = strcmp(action, "half") == 0;
    bool kill = strcmp(action, "kill") == 0;
    if (!shorten && !kill) result = strtol(action, nullptr, 10);
    g_faults.push_back({number, use, 1, g_call_counts[number], result, shorten, kill});
}

// A child's index is its parent's with its own place among the parent's
// children; the environment carries it to the child.
void number_next_child() {
    ++g_children_started;
    std::string child = std::to_string(g_children_started);
    if (g_process_index != "0") child = g_process_index + "." + child;
    setenv("QOR_PROCESS_INDEX", child.c_str(), 1);
}

bool is_window_call(long n) { return n >= qor::SYS_GUI_BEGIN && n <= qor::SYS_GUI_SET_FONT; }
bool is_network_call(long n) { return n >= qor::SYS_NET_RESOLVE && n <= qor::SYS_TCP_CLOSE; }

long dispatch(long number, long a, long b, long c) {
    switch (number) {
        case qor::SYS_DRIVE_SELECT:
        case qor::SYS_DISK_COUNT:
        case qor::SYS_DISK_PRESENT:
        case qor::SYS_DISK_PREPARE:
        case qor::SYS_DISK_WRITE_SECTOR:
        case qor::SYS_DISK_PARTITION_TABLE:
            return drive_call(number, a, b, c);
        case qor::SYS_SPAWN:
        case qor::SYS_WAITPID:
        case qor::SYS_USLEEP:
        case qor::SYS_SEED_WORD:
            return process_call(number, a, b, c);
        default:
            break;
    }
    if (is_window_call(number)) return window_call(number, a, b, c);
    if (is_network_call(number)) return network_call(number, a, b, c);
    return file_call(number, a, b, c);
}

}  // namespace

machine_state& machine() {
    if (!g_machine.configured) configure_from_environment();
    return g_machine;
}

bool is_bare_host() { return machine().dir.empty(); }

void use_machine(const std::string& machine_dir) {
    files_reset();
    network_reset();
    window_reset();
    g_machine.dir = machine_dir;
    g_machine.current_drive = RAM_DRIVE;
    g_machine.configured = true;
    g_children_started = 0;  // children are numbered anew in each machine
}

void fault_add(long number, long first_use, long result, long times) {
    g_faults.push_back({number, first_use, times, g_call_counts[number], result, false, false});
}

void fault_add_shortened(long number, long use) {
    g_faults.push_back({number, use, 1, g_call_counts[number], 0, true, false});
}

void fault_add_kill(long number, long use) {
    g_faults.push_back({number, use, 1, g_call_counts[number], 0, false, true});
}

[[noreturn]] void end_process_at_call() {
    // The drives keep what the calls before this one did, as a drive that
    // writes each call through would hold them at a power loss; the call
    // itself and everything the program would still do (ending its
    // streams, its exit handlers, its descriptors closed) never happen.
    files_reset();
    _exit(KILLED_STATUS);
}

std::map<long, long> call_counts() { return g_call_counts; }

void faults_clear() { g_faults.clear(); }

long call_count(long number) {
    auto it = g_call_counts.find(number);
    return it == g_call_counts.end() ? 0 : it->second;
}

void call_counts_reset() {
    // Faults keep counting from where they were added.
    for (fault& f : g_faults) f.base_count -= g_call_counts[f.number];
    g_call_counts.clear();
}

void capture_begin() {
    g_capture.clear();
    g_capturing = true;
}

std::string capture_end() {
    g_capturing = false;
    std::string out;
    out.swap(g_capture);
    return out;
}

bool capture_active() { return g_capturing; }
void capture_append(const std::string& bytes) { g_capture += bytes; }

long write_standard_output(const void* buf, long len) {
    if (g_capturing) {
        g_capture.append(static_cast<const char*>(buf), static_cast<size_t>(len));
        return len;
    }
    long done = write_all(1, static_cast<const char*>(buf), len);
    return done > 0 || len == 0 ? done : -1;
}

void skip_sleeps(bool on) { g_skip_sleeps = on; }
bool sleeps_skipped() { return g_skip_sleeps; }

}  // namespace hosted

long qor_syscall(long number, long a, long b, long c) {
    hosted::machine();
    if (!hosted::g_test_hooks_read) hosted::read_test_hooks();
    if (const hosted::fault* f = hosted::injected_fault(number)) {
        if (f->kill) hosted::end_process_at_call();
        if (!f->shorten) return f->result;
        hosted::shorten_length(number, &b, &c);
    }
    if (number == qor::SYS_SPAWN) hosted::number_next_child();
    return hosted::dispatch(number, a, b, c);
}
