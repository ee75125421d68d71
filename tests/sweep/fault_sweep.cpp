// The fault sweep: the whole installation of the sample media, headless, run
// once without faults and then again and again with one system call failing
// (or moving half its bytes) at one of its uses, in the installer or in one
// of the extract children it starts. Each run is a forked child with a time
// limit; each ends in one class, and every run that ended must leave a drive
// that e2fsck finds clean.
//
//   fault_sweep [--sample N] [--jobs J] [--timeout SECONDS] [--keep DIR] [--quiet]
//               [--max-uses N] [--only PROCESS:CALL:USE:OUTCOME]...
//               [--install-sample N] [--no-install | --install-only]
//
// Besides the installation, the install command on the installed drive: an
// install that brings a dependency, a removal and an upgrade that drops a
// file, each also killed at every call of its own process (the process ends
// at the call, as at a power loss). After each of these runs a fresh install
// run must report an interrupted change ("install: interrupted ..."), repair
// it, and then its check (install -c) must pass with no file a package put
// down left without a record.
//
// --sample N runs about N runs spread evenly over the whole list, always with
// the first and last use of every call in every process; --max-uses N gives
// a call used more often N uses spread from its first to its last (the copy
// loops' reads and writes run to tens of thousands). Exit status 0 when
// no run ended badly, 1 otherwise, 2 when the fault-free run itself failed.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "hosted.h"
#include "install_fixture.h"
#include "install_run.h"
#include "installer_state.h"
#include "qor_calls.h"
#include "qor_syscall.h"
#include "sha256.h"
#include "test_machine.h"
#include "wizard.h"

namespace {

namespace fs = std::filesystem;

constexpr long OUTCOME_HALF = 1000;  // not a result: the shortened transfer
constexpr long OUTCOME_KILL = 1001;  // not a result: the process ends at the call
constexpr uint64_t DRIVE_BYTES = 64ull << 20;
constexpr const char* PARTITION_OFFSET = "4194304";
constexpr uint64_t LEADING_SECTORS = 8192;
constexpr const char* PROBE_NAME = ".__install_probe";

struct fault_spec {
    std::string process;  // "" : no fault
    long number = 0;
    long use = 0;
    long outcome = 0;
    int scenario = -1;    // an install command run on the installed drive, or the installation
};

// An install command run on the installed drive: the commands that make its
// starting drive from the installer's, and the command swept.
struct scenario {
    std::string name;
    std::vector<std::vector<std::string>> setup;
    bool docs_2 = false;  // the index offers docs 2.0 without guide/install.txt
    std::vector<std::string> args;
    std::string image;                   // the starting drive
    std::set<std::string> baseline;      // its files that no record names
};

std::vector<scenario> g_scenarios = {
    {"install with a dependency", {{"-r", "hello", "coreutils", "libqor"}}, false, {"-y", "fortune"}, "", {}},
    {"remove", {}, false, {"-r", "docs"}, "", {}},
    {"upgrade that drops a file", {}, true, {"-u", "-y", "docs"}, "", {}},
};

enum class run_class { failure_message, done_identical, done_probe_left, quit_before_install, false_success, crash,
                       hang, failure_silent, no_result, install_consistent, install_killed_repaired,
                       install_inconsistent };

bool is_bad(run_class c) {
    return c != run_class::failure_message && c != run_class::done_identical && c != run_class::done_probe_left &&
           c != run_class::quit_before_install && c != run_class::install_consistent &&
           c != run_class::install_killed_repaired;
}

const char* class_name(run_class c) {
    switch (c) {
        case run_class::failure_message: return "failure screen with message";
        case run_class::done_identical: return "done, drive identical";
        case run_class::done_probe_left: return "done, only a probe file more";
        case run_class::quit_before_install: return "window ended before the install";
        case run_class::false_success: return "done, drive differs (false success)";
        case run_class::crash: return "crash";
        case run_class::hang: return "hang";
        case run_class::failure_silent: return "failure without a message";
        case run_class::no_result: return "ended without a result";
        case run_class::install_consistent: return "install: ended, next run checks";
        case run_class::install_killed_repaired: return "install: killed, next run repairs";
        case run_class::install_inconsistent: return "install: not repaired by the next run";
    }
    return "?";
}

std::string outcome_text(long outcome) {
    if (outcome == OUTCOME_KILL) return "kill";
    return outcome == OUTCOME_HALF ? "half" : std::to_string(outcome);
}

long outcome_value(const char* text) {
    if (strcmp(text, "kill") == 0) return OUTCOME_KILL;
    return strcmp(text, "half") == 0 ? OUTCOME_HALF : atol(text);
}

std::string describe(const fault_spec& f) {
    return (f.scenario >= 0 ? "install (" + g_scenarios[f.scenario].name + ") " : std::string()) + "process " + f.process + " call " + std::to_string(f.number) + " use " + std::to_string(f.use) + " -> " +
           outcome_text(f.outcome);
}

// The outcomes each call can be given besides its failure result.
std::vector<long> outcomes_of(long number) {
    std::vector<long> out = {-1};
    switch (number) {
        case qor::SYS_READ:
        case qor::SYS_GETDENTS:
        case qor::SYS_STREAM_WRITE:
            out.push_back(0);
            out.push_back(OUTCOME_HALF);
            break;
        case qor::SYS_WRITE: out.push_back(OUTCOME_HALF); break;
        case qor::SYS_TCP_RECV:
            out.push_back(0);
            out.push_back(-2);
            out.push_back(OUTCOME_HALF);
            break;
        case qor::SYS_TCP_SEND:
            out.push_back(0);
            out.push_back(OUTCOME_HALF);
            break;
        case qor::SYS_WAITPID: out.push_back(0); break;
        default: break;
    }
    return out;
}

// The drive as the sweep compares it: every node with its SHA-256 ("/" for a
// directory) and the leading sectors of the image, where the boot code lies.
std::string drive_digest(const std::string& machine) {
    std::vector<std::pair<std::string, std::string>> nodes;
    std::string out;
    if (hosted::drive_tree(0, &nodes) != 0) return "no file system\n";
    hosted::drives_sync();
    std::sort(nodes.begin(), nodes.end());
    for (auto& [path, bytes] : nodes) out += (bytes == "/" ? std::string("/") : insttest::sha256_of(bytes)) + " " + path + "\n";
    std::ifstream image(machine + "/drives/0/disk.img", std::ios::binary);
    std::string lead(LEADING_SECTORS * 512, '\0');
    image.read(lead.data(), static_cast<std::streamsize>(lead.size()));
    out += insttest::sha256_of(lead) + " <sectors 0-8191>\n";
    return out;
}

// A fresh machine for one run: the shared media (only read), one empty
// drive, the key script.
void make_machine(const std::string& machine, const std::string& media) {
    fs::create_directories(machine + "/drives/0");
    fs::create_directories(machine + "/screens");
    fs::create_symlink(media, machine + "/media");
    int fd = ::open((machine + "/drives/0/disk.img").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || ftruncate(fd, static_cast<off_t>(DRIVE_BYTES)) != 0) _exit(90);
    ::close(fd);
    // Welcome, drive 0, the default options, format and install, Q at the end.
    qortest::write_host_file(machine + "/keys", "enter\nenter\ni\nenter\nq\n");
}


// Paths as on the drive (no leading "/") of every file the drive's records
// name.
std::set<std::string> recorded_files() {
    std::set<std::string> out;
    std::vector<std::pair<std::string, std::string>> nodes;
    if (hosted::drive_tree(0, &nodes) != 0) return out;
    for (auto& [path, bytes] : nodes) {
        if (path.rfind("records/", 0) != 0 || path.size() < 4 || path.substr(path.size() - 4) != ".rec") continue;
        std::istringstream in(bytes);
        std::string line, dir;
        while (std::getline(in, line)) {
            if (line.rfind("dir /", 0) == 0) dir = line.substr(5);
            if (line.rfind("f ", 0) != 0) continue;
            size_t at = line.find(' ', line.find(' ', 2) + 1);
            out.insert(dir + "/" + line.substr(at + 1));
        }
    }
    return out;
}

// Files of the drive outside the records and the caches.
std::set<std::string> package_area_files() {
    std::set<std::string> out;
    std::vector<std::pair<std::string, std::string>> nodes;
    if (hosted::drive_tree(0, &nodes) != 0) return out;
    for (auto& [path, bytes] : nodes)
        if (bytes != "/" && path.rfind("records/", 0) != 0 && path.rfind("cache/", 0) != 0) out.insert(path);
    return out;
}

void set_fault(const fault_spec& f) {
    if (f.process.empty()) return;
    if (f.process != "0") {
        std::string fault = std::to_string(f.number) + ":" + std::to_string(f.use) + ":" + outcome_text(f.outcome) +
                            ":" + f.process;
        setenv("QOR_FAULT", fault.c_str(), 1);
        return;
    }
    if (f.outcome == OUTCOME_KILL) hosted::fault_add_kill(f.number, f.use);
    else if (f.outcome == OUTCOME_HALF) hosted::fault_add_shortened(f.number, f.use);
    else hosted::fault_add(f.number, f.use, f.outcome);
}

// The start of a forked run: a process group of its own, no standard
// error, a fresh machine in `dir`, the call counts asked for. Its path.
std::string begin_run_child(const std::string& dir, const std::string& media, const std::string& counts_file) {
    setpgid(0, 0);
    int null_fd = ::open("/dev/null", O_WRONLY);
    if (null_fd >= 0) dup2(null_fd, 2);
    std::string machine = dir + "/machine";
    make_machine(machine, media);
    unsetenv("QOR_PROCESS_INDEX");
    unsetenv("QOR_FAULT");
    if (!counts_file.empty()) setenv("QOR_CALL_COUNTS", counts_file.c_str(), 1);
    return machine;
}

// The forked run of an install command on its scenario's starting drive.
[[noreturn]] void run_install_child(const std::string& dir, const std::string& media, const fault_spec& f,
                                    const std::string& counts_file) {
    std::string machine = begin_run_child(dir, media, counts_file);
    fs::copy_file(g_scenarios[f.scenario].image, machine + "/drives/0/disk.img", fs::copy_options::overwrite_existing);
    fs::copy_file(fs::path(g_scenarios[f.scenario].image).parent_path() / "layout", machine + "/drives/0/layout",
                  fs::copy_options::overwrite_existing);
    hosted::use_machine(machine);
    hosted::skip_sleeps(true);
    if (qor_syscall(qor::SYS_DRIVE_SELECT, 0, 0, 0) < 0) _exit(91);
    hosted::call_counts_reset();
    set_fault(f);
    std::string output;
    int rc = insttest::run_install_command(g_scenarios[f.scenario].args, &output);
    hosted::faults_clear();
    hosted::drives_sync();
    while (waitpid(-1, nullptr, 0) > 0) {
    }
    qortest::write_host_file(dir + "/output", output);
    qortest::write_host_file(dir + "/result", "rc " + std::to_string(rc) + "\n");
    exit(0);
}

// The next run after an install command's run: whether a change was left,
// the check's status and lines, files no record names.
[[noreturn]] void verify_install_child(const std::string& dir, const fault_spec& f) {
    std::string machine = dir + "/machine";
    hosted::use_machine(machine);
    hosted::skip_sleeps(true);
    if (qor_syscall(qor::SYS_DRIVE_SELECT, 0, 0, 0) < 0) _exit(91);
    bool left = false;
    std::vector<std::pair<std::string, std::string>> nodes;
    hosted::drive_tree(0, &nodes);
    for (auto& [path, bytes] : nodes)
        if (path.rfind("records/", 0) == 0 && path.size() > 4 && path.substr(path.size() - 4) == ".int") left = true;
    std::string output;
    int rc = insttest::run_install_command({"-c"}, &output);
    std::set<std::string> recorded = recorded_files();
    std::string orphans;
    for (const std::string& file : package_area_files())
        if (!recorded.count(file) && !g_scenarios[f.scenario].baseline.count(file)) orphans += " " + file;
    hosted::drives_sync();
    std::ostringstream out;
    out << "check-rc " << rc << "\nleft " << left << "\nreported "
        << (output.find("install: interrupted") != std::string::npos) << "\norphans" << orphans << "\n";
    qortest::write_host_file(dir + "/verify-output", output);
    qortest::write_host_file(dir + "/verify", out.str());
    exit(0);
}

// The forked run: the installer in this process, the fault in the process it
// names. Writes its result file and exits.
[[noreturn]] void run_child(const std::string& dir, const std::string& media, const fault_spec& f,
                            const std::string& counts_file) {
    std::string machine = begin_run_child(dir, media, counts_file);
    if (f.process != "0") set_fault(f);
    hosted::use_machine(machine);
    hosted::skip_sleeps(true);
    if (f.process == "0") set_fault(f);
    static installer_state state;
    hosted::capture_begin();
    int rc = installer_run(&state);
    std::string output = hosted::capture_end();
    hosted::faults_clear();
    // A child the installer could not wait for may still run: its drive
    // writes belong to the run, so they are waited for (the drive let go
    // first, as the child needs it).
    hosted::drives_sync();
    while (waitpid(-1, nullptr, 0) > 0) {
    }
    std::ostringstream result;
    result << "rc " << rc << "\nstep " << state.step << "\nerror " << state.error_text << "\n";
    result << "output-lines " << std::count(output.begin(), output.end(), '\n') << "\n";
    if (state.step == STEP_DONE) result << drive_digest(machine);
    hosted::drives_sync();
    qortest::write_host_file(dir + "/output", output);
    qortest::write_host_file(dir + "/result", result.str());
    exit(0);  // through the exit handlers: the call counts, the drives written back
}

struct run_result {
    fault_spec fault;
    run_class cls = run_class::no_result;
    bool fsck_clean = true;
    std::string detail;
};

bool drive_was_prepared(const std::string& machine) { return qortest::host_path_exists(machine + "/drives/0/layout"); }

bool fsck_clean(const std::string& machine) {
    std::string out;
    int status = qortest::run_command("e2fsck -fn '" + machine + "/drives/0/disk.img?offset=" + PARTITION_OFFSET +
                                          "' 2>&1",
                                      &out);
    return status == 0;
}

// A child of the extract program that ended by a signal shows in the
// installer's output as a status of 128 or more.
bool child_crashed(const std::string& output) {
    size_t at = 0;
    while ((at = output.find("(status=", at)) != std::string::npos) {
        at += 8;
        if (atoi(output.c_str() + at) >= 128) return true;
    }
    return false;
}

std::string field(const std::string& result, const std::string& name) {
    std::istringstream in(result);
    std::string line;
    while (std::getline(in, line))
        if (line.compare(0, name.size() + 1, name + " ") == 0) return line.substr(name.size() + 1);
    return "";
}

std::string digest_part(const std::string& result) {
    size_t at = result.find("\noutput-lines ");
    if (at == std::string::npos) return "";
    at = result.find('\n', at + 1);
    return at == std::string::npos ? "" : result.substr(at + 1);
}

std::set<std::string> digest_lines(const std::string& text) {
    std::set<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) out.insert(line);
    return out;
}

// The installer's write probe, left behind when its removal failed,
// is the one difference a finished installation may have.
bool only_probe_files_more(const std::string& want, const std::string& got) {
    std::set<std::string> a = digest_lines(want), b = digest_lines(got);
    for (const std::string& l : a)
        if (!b.count(l)) return false;
    for (const std::string& l : b) {
        if (a.count(l)) continue;
        std::string path = l.substr(l.find(' ') + 1);
        if (path.substr(path.rfind('/') + 1) != PROBE_NAME) return false;
    }
    return true;
}

// Paths whose digest differs between two drive digests (for the report).
std::string digest_difference(const std::string& want, const std::string& got) {
    std::set<std::string> a = digest_lines(want), b = digest_lines(got);
    std::string out;
    int shown = 0;
    for (const std::string& l : a)
        if (!b.count(l) && shown++ < 4) out += " missing/changed " + l.substr(l.find(' ') + 1) + ";";
    for (const std::string& l : b)
        if (!a.count(l) && shown++ < 8) out += " has " + l.substr(l.find(' ') + 1) + ";";
    return out;
}

run_class classify(const std::string& dir, const std::string& reference, std::string* detail) {
    std::string result = qortest::host_path_exists(dir + "/result") ? qortest::read_host_file(dir + "/result") : "";
    if (result.empty()) return run_class::no_result;
    std::string output = qortest::read_host_file(dir + "/output");
    if (child_crashed(output)) {
        *detail = "a child ended by a signal";
        return run_class::crash;
    }
    int step = atoi(field(result, "step").c_str());
    std::string error = field(result, "error");
    if (step == STEP_DONE) {
        std::string digest = digest_part(result);
        if (digest == reference) return run_class::done_identical;
        *detail = digest_difference(reference, digest);
        return only_probe_files_more(reference, digest) ? run_class::done_probe_left : run_class::false_success;
    }
    if (step == STEP_FAILED) {
        *detail = error;
        return error.empty() ? run_class::failure_silent : run_class::failure_message;
    }
    if (step < STEP_INSTALL) return run_class::quit_before_install;
    *detail = "ended on step " + std::to_string(step);
    return run_class::failure_silent;
}

std::string field_of(const std::string& text, const std::string& name) {
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        if (line.compare(0, name.size() + 1, name + " ") == 0 || line == name) return line.size() > name.size() ? line.substr(name.size() + 1) : "";
    return "";
}

// An install command's run and the next run after it.
run_class classify_install(const std::string& dir, int status, std::string* detail) {
    if (WIFSIGNALED(status)) {
        *detail = strsignal(WTERMSIG(status));
        return run_class::crash;
    }
    bool killed = WIFEXITED(status) && WEXITSTATUS(status) == hosted::KILLED_STATUS;
    if (!killed) {
        if (!qortest::host_path_exists(dir + "/result")) return run_class::no_result;
        std::string output = qortest::read_host_file(dir + "/output");
        if (child_crashed(output)) {
            *detail = "a child ended by a signal";
            return run_class::crash;
        }
        std::string rc = field_of(qortest::read_host_file(dir + "/result"), "rc");
        if (rc != "0" && output.find("install: ") == std::string::npos) return run_class::failure_silent;
    }
    std::string verify = qortest::host_path_exists(dir + "/verify") ? qortest::read_host_file(dir + "/verify") : "";
    if (verify.empty()) {
        *detail = "the next run ended without a result";
        return run_class::install_inconsistent;
    }
    std::string orphans = field_of(verify, "orphans");
    if (field_of(verify, "check-rc") != "0") *detail = " check fails:" + qortest::read_host_file(dir + "/verify-output");
    else if (field_of(verify, "left") == "1" && field_of(verify, "reported") != "1") *detail = " change not reported";
    else if (!orphans.empty()) *detail = " files without a record:" + orphans;
    else return killed ? run_class::install_killed_repaired : run_class::install_consistent;
    return run_class::install_inconsistent;
}

struct running {
    pid_t pid;
    size_t index;
    std::string dir;
    std::chrono::steady_clock::time_point deadline;
};

struct sweep {
    std::string work, media, reference;
    double timeout_seconds = 20;
    int jobs = 1;
    std::string keep_dir;
    bool quiet = false;

    pid_t start(const fault_spec& f, const std::string& dir, const std::string& counts_file) {
        fs::remove_all(dir);
        fs::create_directories(dir);
        pid_t pid = fork();
        if (pid == 0 && f.scenario >= 0) run_install_child(dir, media, f, counts_file);
        if (pid == 0) run_child(dir, media, f, counts_file);
        if (pid > 0) setpgid(pid, pid);
        return pid;
    }

    run_result finish(const fault_spec& f, const std::string& dir, int status, bool timed_out) {
        run_result r;
        r.fault = f;
        std::string machine = dir + "/machine";
        if (timed_out) {
            r.cls = run_class::hang;
        } else if (f.scenario >= 0) {
            // The next run, in a process of its own, as after a restart.
            pid_t next = fork();
            if (next == 0) verify_install_child(dir, f);
            int next_status = 0;
            waitpid(next, &next_status, 0);
            r.cls = classify_install(dir, status, &r.detail);
        } else if (WIFSIGNALED(status)) {
            r.cls = run_class::crash, r.detail = strsignal(WTERMSIG(status));
        } else {
            r.cls = classify(dir, reference, &r.detail);
        }
        if (!timed_out && drive_was_prepared(machine)) r.fsck_clean = fsck_clean(machine);
        bool bad = is_bad(r.cls) || !r.fsck_clean;
        if (bad && !keep_dir.empty()) {
            std::string kept = keep_dir + "/" + (f.scenario >= 0 ? "i" + std::to_string(f.scenario) + "-" : "") + f.process + "-" + std::to_string(f.number) + "-" +
                               std::to_string(f.use) + "-" + outcome_text(f.outcome);
            fs::remove_all(kept);
            fs::create_directories(keep_dir);
            fs::rename(dir, kept);
        } else {
            fs::remove_all(dir);
        }
        return r;
    }

    // Runs every fault of `list`, `jobs` at a time.
    std::vector<run_result> run_all(const std::vector<fault_spec>& list) {
        std::vector<run_result> results(list.size());
        std::vector<running> active;
        size_t next = 0, done = 0;
        while (done < list.size()) {
            while (static_cast<int>(active.size()) < jobs && next < list.size()) {
                std::string dir = work + "/run" + std::to_string(active.size()) + "-" + std::to_string(next);
                pid_t pid = start(list[next], dir, "");
                active.push_back({pid, next, dir,
                                  std::chrono::steady_clock::now() +
                                      std::chrono::milliseconds(static_cast<long>(timeout_seconds * 1000))});
                ++next;
            }
            int status = 0;
            pid_t pid = waitpid(-1, &status, WNOHANG);
            if (pid <= 0) {
                auto now = std::chrono::steady_clock::now();
                for (running& a : active) {
                    if (now < a.deadline) continue;
                    kill(-a.pid, SIGKILL);
                    waitpid(a.pid, &status, 0);
                    results[a.index] = finish(list[a.index], a.dir, status, true);
                    a.pid = 0;
                    ++done;
                }
                active.erase(std::remove_if(active.begin(), active.end(), [](const running& a) { return a.pid == 0; }),
                             active.end());
                poll(nullptr, 0, 2);
                continue;
            }
            auto it = std::find_if(active.begin(), active.end(), [&](const running& a) { return a.pid == pid; });
            if (it == active.end()) continue;
            kill(-pid, SIGKILL);  // an extract child left behind
            results[it->index] = finish(list[it->index], it->dir, status, false);
            active.erase(it);
            ++done;
            if (!quiet && done % 500 == 0) fprintf(stderr, "fault_sweep: %zu / %zu runs\n", done, list.size());
        }
        return results;
    }

    // The fault-free run: its drive digest and every process's call counts.
    bool fault_free(std::map<std::string, std::map<long, long>>* counts) {
        std::string dir = work + "/fault-free";
        std::string counts_file = work + "/counts";
        fs::remove(counts_file);
        pid_t pid = start({}, dir, counts_file);
        int status = 0;
        waitpid(pid, &status, 0);
        std::string result = qortest::host_path_exists(dir + "/result") ? qortest::read_host_file(dir + "/result") : "";
        if (atoi(field(result, "step").c_str()) != STEP_DONE) {
            fprintf(stderr, "fault_sweep: the fault-free run did not finish: %s\n", result.c_str());
            return false;
        }
        reference = digest_part(result);
        read_counts(counts_file, counts);
        // The installed drive: where the install command's runs start.
        fs::copy_file(dir + "/machine/drives/0/disk.img", work + "/installed.img");
        fs::copy_file(dir + "/machine/drives/0/layout", work + "/layout");
        fs::remove_all(dir);
        return !counts->empty();
    }

    static void read_counts(const std::string& file, std::map<std::string, std::map<long, long>>* counts) {
        std::istringstream in(qortest::read_host_file(file));
        std::string line;
        while (std::getline(in, line)) {
            std::istringstream words(line);
            std::string process, pair;
            words >> process;
            while (words >> pair) (*counts)[process][atol(pair.c_str())] = atol(pair.c_str() + pair.find(':') + 1);
        }
    }

    // Makes scenario k's starting drive from the installed one (its setup
    // commands run without faults) and takes its fault-free run's counts.
    bool prepare_scenario(int k, std::map<std::string, std::map<long, long>>* counts) {
        scenario& sc = g_scenarios[k];
        std::string dir = work + "/scenario" + std::to_string(k);
        fs::create_directories(dir + "/machine/drives/0");
        sc.image = dir + "/start.img";
        fs::copy_file(work + "/installed.img", sc.image);
        fs::copy_file(work + "/layout", dir + "/layout");
        fs::create_symlink(media, dir + "/machine/media");
        fs::copy_file(work + "/installed.img", dir + "/machine/drives/0/disk.img");
        fs::copy_file(work + "/layout", dir + "/machine/drives/0/layout");
        pid_t pid = fork();
        if (pid == 0) {
            hosted::use_machine(dir + "/machine");
            if (qor_syscall(qor::SYS_DRIVE_SELECT, 0, 0, 0) < 0) _exit(91);
            std::string out;
            for (const auto& args : sc.setup)
                if (insttest::run_install_command(args, &out) != 0) fprintf(stderr, "%s", out.c_str()), _exit(92);
            if (sc.docs_2 && offer_docs_2(dir, work + "/signing-key.pem") != 0) _exit(93);
            std::string baseline;
            std::set<std::string> recorded = recorded_files();
            for (const std::string& f : package_area_files())
                if (!recorded.count(f)) baseline += f + "\n";
            hosted::drives_sync();
            qortest::write_host_file(dir + "/baseline", baseline);
            _exit(0);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return false;
        fs::copy_file(dir + "/machine/drives/0/disk.img", sc.image, fs::copy_options::overwrite_existing);
        std::istringstream in(qortest::read_host_file(dir + "/baseline"));
        std::string line;
        while (std::getline(in, line)) sc.baseline.insert(line);
        std::string counts_file = dir + "/counts";
        fault_spec none;
        none.scenario = k;
        pid_t run = start(none, dir + "/fault-free", counts_file);
        waitpid(run, &status, 0);
        std::string result = qortest::read_host_file(dir + "/fault-free/result");
        if (field(result, "rc") != "0") {
            fprintf(stderr, "fault_sweep: the fault-free run of %s failed:\n%s\n", sc.name.c_str(),
                    qortest::read_host_file(dir + "/fault-free/output").c_str());
            return false;
        }
        read_counts(counts_file, counts);
        return !counts->empty();
    }

    // The index on the drive offers docs 2.0, whose archive lacks
    // guide/install.txt, signed again with the media's key: 0 or -1.
    static int offer_docs_2(const std::string& dir, const std::string& key) {
        std::string readme;
        if (hosted::drive_read_file(0, "docs/README", &readme) != 0) return -1;
        std::string archive = insttest::make_archive(dir + "/docs-2.tgz", {{"README", readme + "2\n"}});
        std::string index;
        if (hosted::drive_read_file(0, "cache/index.json", &index) != 0) return -1;
        size_t at = index.find("\"name\": \"docs\"");
        size_t version = index.find("\"1.0\"", at);
        size_t sha = index.find("\"sha256\": \"", at);
        if (at == std::string::npos || version == std::string::npos || sha == std::string::npos) return -1;
        index.replace(sha + 11, 64, insttest::sha256_of(archive));
        index.replace(version, 5, "\"2.0\"");
        std::string signature;
        qortest::write_host_file(dir + "/index.json", index);
        if (qortest::run_command("openssl dgst -sha256 -sign " + key + " -out " + dir + "/index.json.sig " + dir +
                                     "/index.json 2>&1",
                                 &signature) != 0)
            return -1;
        signature = qortest::read_host_file(dir + "/index.json.sig");
        return hosted::drive_write_file(0, "cache/index.json", index) == 0 &&
                       hosted::drive_write_file(0, "cache/index.json.sig", signature) == 0 &&
                       hosted::drive_write_file(0, "cache/pkg/docs.pkg", archive) == 0
                   ? 0
                   : -1;
    }
};

// Every fault: each process, each call, each use, each outcome. With
// max_uses > 0 a call used more often gets that many uses, evenly spread
// from its first to its last.
// For an install command's scenario every call of its own process is also
// killed.
std::vector<fault_spec> every_fault(const std::map<std::string, std::map<long, long>>& counts, long max_uses,
                                    int scenario = -1) {
    std::vector<fault_spec> out;
    for (auto& [process, calls] : counts)
        for (auto& [number, count] : calls) {
            long uses = max_uses > 1 && count > max_uses ? max_uses : count;
            std::vector<long> outcomes = outcomes_of(number);
            if (scenario >= 0 && process == "0") outcomes.push_back(OUTCOME_KILL);
            for (long i = 0; i < uses; ++i) {
                long use = uses == count ? i + 1 : 1 + (count - 1) * i / (uses - 1);
                for (long outcome : outcomes) out.push_back({process, number, use, outcome, scenario});
            }
        }
    return out;
}

// About `target` of them, evenly spread, always with the first and last use
// of each call in each process (every outcome there).
std::vector<fault_spec> sample_of(const std::vector<fault_spec>& all,
                                  const std::map<std::string, std::map<long, long>>& counts, size_t target) {
    std::vector<bool> chosen(all.size(), false);
    size_t picked = 0;
    for (size_t i = 0; i < all.size(); ++i) {
        const fault_spec& f = all[i];
        long count = counts.at(f.process).at(f.number);
        if (f.use == 1 || f.use == count) chosen[i] = true, ++picked;
    }
    size_t rest = target > picked ? target - picked : 0;
    size_t free_slots = all.size() - picked;
    if (rest > 0 && free_slots > 0) {
        double stride = static_cast<double>(free_slots) / static_cast<double>(rest);
        double next = stride / 2;
        size_t seen = 0;
        for (size_t i = 0; i < all.size(); ++i) {
            if (chosen[i]) continue;
            if (static_cast<double>(seen) >= next) chosen[i] = true, next += stride;
            ++seen;
        }
    }
    std::vector<fault_spec> out;
    for (size_t i = 0; i < all.size(); ++i)
        if (chosen[i]) out.push_back(all[i]);
    return out;
}

void print_summary(const std::vector<run_result>& results) {
    std::map<run_class, long> by_class;
    std::map<long, std::map<run_class, long>> by_call;
    long unclean = 0;
    for (const run_result& r : results) {
        ++by_class[r.cls];
        ++by_call[r.fault.number][r.cls];
        if (!r.fsck_clean) ++unclean;
    }
    printf("%-40s %8s\n", "class", "runs");
    for (auto& [cls, n] : by_class) printf("%-40s %8ld%s\n", class_name(cls), n, is_bad(cls) ? "  BAD" : "");
    printf("%-40s %8ld%s\n", "drive not e2fsck-clean", unclean, unclean ? "  BAD" : "");
    printf("%-40s %8zu\n", "total", results.size());
    printf("\n%6s %8s %8s %8s %8s %6s\n", "call", "runs", "failed", "same", "quit", "bad");
    for (auto& [number, classes] : by_call) {
        long runs = 0, bad = 0;
        for (auto& [cls, n] : classes) {
            runs += n;
            if (is_bad(cls)) bad += n;
        }
        auto get = [&](run_class c) { return classes.count(c) ? classes.at(c) : 0L; };
        printf("%6ld %8ld %8ld %8ld %8ld %6ld\n", number, runs, get(run_class::failure_message),
               get(run_class::done_identical), get(run_class::quit_before_install), bad);
    }
    long shown = 0;
    for (const run_result& r : results) {
        if (!is_bad(r.cls) && r.fsck_clean) continue;
        if (shown++ == 0) printf("\nbad runs:\n");
        if (shown > 60) continue;
        printf("  %s: %s%s%s\n", describe(r.fault).c_str(), class_name(r.cls), r.fsck_clean ? "" : ", e2fsck unclean",
               r.detail.empty() ? "" : (" -" + r.detail).c_str());
    }
    if (shown > 60) printf("  ... %ld bad runs in all\n", shown);
}

}  // namespace

int main(int argc, char** argv) {
    sweep s;
    size_t sample = 0, install_sample = 0;
    bool install_runs = true, installer_runs = true;
    long max_uses = 0;
    std::vector<std::string> only;  // "process:number:use:outcome"
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : "";
        if (arg == "--sample") sample = static_cast<size_t>(atol(value)), ++i;
        else if (arg == "--jobs") s.jobs = std::max(1, atoi(value)), ++i;
        else if (arg == "--timeout") s.timeout_seconds = atof(value), ++i;
        else if (arg == "--keep") s.keep_dir = value, ++i;
        else if (arg == "--quiet") s.quiet = true;
        else if (arg == "--max-uses") max_uses = atol(value), ++i;
        else if (arg == "--only") only.push_back(value), ++i;
        else if (arg == "--install-sample") install_sample = static_cast<size_t>(atol(value)), ++i;
        else if (arg == "--no-install") install_runs = false;
        else if (arg == "--install-only") installer_runs = false;
        else {
            fprintf(stderr, "usage: fault_sweep [--sample N] [--jobs J] [--timeout SECONDS] [--keep DIR] [--quiet]\n"
                            "                   [--max-uses N] [--only [iK:]PROCESS:CALL:USE:OUTCOME]...\n"
                            "                   [--install-sample N] [--no-install | --install-only]\n");
            return 2;
        }
    }
    // Every run makes and removes a machine: in memory where the host has
    // a tmpfs for it, a quarter faster than on disk.
    if (!getenv("TMPDIR") && access("/dev/shm", W_OK) == 0) setenv("TMPDIR", "/dev/shm", 1);
    qortest::temp_dir work("sweep");
    s.work = work.path();
    s.media = work.path() + "/media";
    std::string out;
    // The media is signed with a key of the sweep's own, so that a scenario
    // can sign the index it changes.
    const std::string key = work.path() + "/signing-key.pem";
    if (qortest::run_command("openssl ecparam -name prime256v1 -genkey -noout -out " + key + " 2>&1", &out) != 0 ||
        qortest::run_command(std::string("python3 ") + PROJECT_DIR + "/tools/qor-media " + PROJECT_DIR +
                                 "/media/sample " + s.media + " --build " + BUILD_DIR + " --key " + key + " 2>&1",
                             &out) != 0) {
        fprintf(stderr, "fault_sweep: no sample media: %s\n", out.c_str());
        return 2;
    }
    std::map<std::string, std::map<long, long>> counts;
    if (!s.fault_free(&counts)) return 2;
    // The reference must not depend on the run: a second fault-free run
    // gives the same drive.
    std::vector<run_result> again = s.run_all({fault_spec{"", 0, 0, 0}});
    if (again[0].cls != run_class::done_identical || !again[0].fsck_clean) {
        fprintf(stderr, "fault_sweep: a second fault-free run differs:%s\n", again[0].detail.c_str());
        return 2;
    }
    std::vector<fault_spec> list = every_fault(counts, max_uses);
    size_t all_runs = list.size();
    if (sample) list = sample_of(list, counts, sample);
    if (!installer_runs) list.clear();
    // The install command's scenarios, each sampled on its own (the same
    // number of runs as the installation's sample unless told).
    std::vector<std::map<std::string, std::map<long, long>>> scenario_counts(g_scenarios.size());
    for (size_t k = 0; install_runs && k < g_scenarios.size(); ++k) {
        if (!s.prepare_scenario(static_cast<int>(k), &scenario_counts[k])) {
            fprintf(stderr, "fault_sweep: cannot prepare the install scenario %s\n", g_scenarios[k].name.c_str());
            return 2;
        }
        std::vector<fault_spec> more = every_fault(scenario_counts[k], max_uses, static_cast<int>(k));
        all_runs += more.size();
        size_t wanted = install_sample ? install_sample : sample;
        if (wanted) more = sample_of(more, scenario_counts[k], wanted / g_scenarios.size());
        list.insert(list.end(), more.begin(), more.end());
    }
    if (!only.empty()) {
        list.clear();
        for (const std::string& o : only) {
            fault_spec f;
            char process[32] = {0}, outcome[16] = {0};
            const char* rest = o.c_str();
            if (rest[0] == 'i' && strchr(rest, ':')) {
                f.scenario = atoi(rest + 1);
                rest = strchr(rest, ':') + 1;
                if (f.scenario < 0 || f.scenario >= static_cast<int>(g_scenarios.size()) || !install_runs) return 2;
            }
            if (sscanf(rest, "%31[^:]:%ld:%ld:%15s", process, &f.number, &f.use, outcome) != 4) return 2;
            f.process = process;
            f.outcome = outcome_value(outcome);
            list.push_back(f);
        }
    }
    if (!s.quiet) {
        long processes = static_cast<long>(counts.size());
        for (auto& [process, calls] : counts) {
            fprintf(stderr, "fault_sweep: process %s:", process.c_str());
            for (auto& [number, count] : calls) fprintf(stderr, " %ld:%ld", number, count);
            fprintf(stderr, "\n");
        }
        for (size_t k = 0; k < scenario_counts.size(); ++k)
            for (auto& [process, calls] : scenario_counts[k]) {
                fprintf(stderr, "fault_sweep: install (%s) process %s:", g_scenarios[k].name.c_str(), process.c_str());
                for (auto& [number, count] : calls) fprintf(stderr, " %ld:%ld", number, count);
                fprintf(stderr, "\n");
            }
        fprintf(stderr, "fault_sweep: %ld processes, %zu of %zu runs, %d at a time\n", processes, list.size(),
                all_runs, s.jobs);
    }
    auto began = std::chrono::steady_clock::now();
    std::vector<run_result> results = s.run_all(list);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    print_summary(results);
    printf("\n%zu runs in %.0f s\n", results.size(), seconds);
    for (const run_result& r : results)
        if (is_bad(r.cls) || !r.fsck_clean) return 1;
    return 0;
}
