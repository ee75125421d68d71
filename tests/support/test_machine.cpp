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

void temp_machine::write_drive_file(int n, const std::string& rel, const std::string& bytes) const {
    write_host_file(drive_root(n) + rel, bytes);
}

std::string temp_machine::read_drive_file(int n, const std::string& rel) const {
    return read_host_file(drive_root(n) + rel);
}

bool temp_machine::drive_path_exists(int n, const std::string& rel) const {
    return host_path_exists(drive_root(n) + rel);
}

void temp_machine::remove_drive_path(int n, const std::string& rel) const {
    std::error_code ec;
    fs::remove_all(drive_root(n) + rel, ec);
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
