// The hosted machine's entry: every numbered call arrives here, passes the
// fault hook and the call counters, and goes to the family that answers it.
#include <cstdlib>
#include <map>
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
};

machine_state g_machine;
std::vector<fault> g_faults;
std::map<long, long> g_call_counts;
bool g_capturing = false;
std::string g_capture;
bool g_skip_sleeps = false;

void configure_from_environment() {
    const char* dir = getenv("QOR_MACHINE");
    g_machine.dir = dir ? dir : "";
    g_machine.current_drive = RAM_DRIVE;
    const char* drive = getenv("QOR_DRIVE");
    if (dir && drive && drive[0] >= '0' && drive[0] <= '9') g_machine.current_drive = atoi(drive);
    g_machine.configured = true;
}

bool fault_applies(const fault& f, long count, long* result) {
    long use = count - f.base_count;
    if (use < f.first_use) return false;
    if (f.times >= 0 && use >= f.first_use + f.times) return false;
    *result = f.result;
    return true;
}

bool injected_fault(long number, long* result) {
    long count = ++g_call_counts[number];
    for (const fault& f : g_faults) {
        if (f.number == number && fault_applies(f, count, result)) return true;
    }
    return false;
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
}

void fault_add(long number, long first_use, long result, long times) {
    g_faults.push_back({number, first_use, times, g_call_counts[number], result});
}

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
    long injected = 0;
    if (hosted::injected_fault(number, &injected)) return injected;
    return hosted::dispatch(number, a, b, c);
}
