#include "test_machine.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "hosted.h"

namespace fs = std::filesystem;

namespace qortest {

std::string make_temp_dir(const std::string& tag) {
    std::string pattern = (fs::temp_directory_path() / ("qortest-" + tag + "-XXXXXX")).string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    return pattern;
}

temp_dir::~temp_dir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
}

temp_machine::temp_machine(machine_options options) : dir_(make_temp_dir("machine")) {
    fs::create_directories(dir_ + "/media");
    for (int i = 0; i < options.drives; ++i) {
        fs::create_directories(slot(i));
        std::ofstream(slot(i) + "/disk.img").close();
        fs::resize_file(slot(i) + "/disk.img", options.drive_bytes);
    }
    hosted::use_machine(dir_);
}

temp_machine::~temp_machine() {
    hosted::use_machine("");
    hosted::faults_clear();
    std::error_code ec;
    fs::remove_all(dir_, ec);
}

// The drive helpers throw on failure so a test cannot mistake a fixture
// that did not happen for a result.
void temp_machine::write_drive_file(int n, const std::string& rel, const std::string& bytes) const {
    if (hosted::drive_write_file(n, rel, bytes) != 0) throw std::runtime_error("cannot write drive file " + rel);
}

std::string temp_machine::read_drive_file(int n, const std::string& rel) const {
    std::string bytes;
    if (hosted::drive_read_file(n, rel, &bytes) != 0) return "";
    return bytes;
}

bool temp_machine::drive_path_exists(int n, const std::string& rel) const { return hosted::drive_path_exists(n, rel); }

void temp_machine::remove_drive_path(int n, const std::string& rel) const {
    if (hosted::drive_remove_tree(n, rel) != 0) throw std::runtime_error("cannot remove drive path " + rel);
}

void temp_machine::make_drive_dirs(int n, const std::string& rel) const {
    if (hosted::drive_make_dirs(n, rel) != 0) throw std::runtime_error("cannot make drive directory " + rel);
}

bool temp_machine::drive_is_directory(int n, const std::string& rel) const { return hosted::drive_is_directory(n, rel); }

void temp_machine::make_drive_symlink(int n, const std::string& rel, const std::string& target) const {
    if (hosted::drive_symlink(n, rel, target) != 0) throw std::runtime_error("cannot make drive link " + rel);
}

std::map<std::string, std::string> temp_machine::drive_tree(int n) const {
    std::vector<std::pair<std::string, std::string>> nodes;
    if (hosted::drive_tree(n, &nodes) != 0) throw std::runtime_error("cannot read the drive's tree");
    return {nodes.begin(), nodes.end()};
}

int temp_machine::check_drive(int n, std::string* report) const {
    hosted::drives_sync();
    return run_command("e2fsck -fn '" + image(n) + "?offset=4194304'", report);
}

std::string corpora_dir() { return QOR_CORPORA_DIR; }

void write_host_file(const std::string& path, const std::string& bytes) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string read_host_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool host_path_exists(const std::string& path) {
    std::error_code ec;
    return fs::exists(fs::symlink_status(path, ec));
}

int run_command(const std::string& command, std::string* output) {
    FILE* p = popen((command + " 2>&1").c_str(), "r");
    if (!p) return -1;
    std::string out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    int status = pclose(p);
    if (output) *output = out;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

}  // namespace qortest
