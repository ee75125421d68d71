#include "install_fixture.h"

#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "package_store.h"
#include "sha256.h"

namespace fs = std::filesystem;

namespace insttest {

std::string make_archive(const std::string& path, const std::map<std::string, std::string>& files, bool gzip) {
    qortest::temp_dir staging("archive");
    std::string members;
    for (const auto& [name, bytes] : files) {
        qortest::write_host_file(staging.path() + "/" + name, bytes);
        members += " '" + name + "'";
    }
    fs::create_directories(fs::path(path).parent_path());
    std::string out;
    std::string command = std::string("tar --format=gnu -c") + (gzip ? "z" : "") + "f '" + path + "' -C '" +
                          staging.path() + "'" + members;
    if (qortest::run_command(command, &out) != 0) throw std::runtime_error("tar failed: " + out);
    return qortest::read_host_file(path);
}

std::string sha256_of(const std::string& bytes) {
    pkg_sha256_ctx ctx;
    pkg_sha256_init(&ctx);
    pkg_sha256_update(&ctx, bytes.data(), bytes.size());
    char hex[PKG_SHA256_HEX_SIZE];
    pkg_sha256_final_hex(&ctx, hex);
    return hex;
}

void refuse_downloads(const qortest::temp_machine& machine) {
    qortest::write_host_file(machine.dir() + "/hosts", "refused.test 127.0.66.254\n");
}

std::string refused_url(const std::string& file) { return "http://refused.test:9/" + file; }

package_entry make_entry(const std::string& name, const std::string& url, const std::string& sha256,
                         const std::string& install_dir, const std::string& install_name, int system) {
    package_entry e{};
    strncpy(e.name, name.c_str(), sizeof e.name - 1);
    strncpy(e.version, "1.0", sizeof e.version - 1);
    strncpy(e.url, url.c_str(), sizeof e.url - 1);
    strncpy(e.sha256, sha256.c_str(), sizeof e.sha256 - 1);
    strncpy(e.install_dir, install_dir.c_str(), sizeof e.install_dir - 1);
    strncpy(e.install_name, install_name.c_str(), sizeof e.install_name - 1);
    e.system = system;
    return e;
}

std::unique_ptr<package_index> make_index(std::initializer_list<package_entry> entries) {
    auto index = std::make_unique<package_index>();
    memset(index.get(), 0, sizeof *index);
    for (const package_entry& e : entries) index->packages[index->count++] = e;
    return index;
}

run_result install_named(const package_index& index, const std::string& name) {
    const package_entry* entry = index_find_package(&index, name.c_str());
    if (!entry) throw std::runtime_error("no entry " + name);
    pkg_store_load(1);  // the records of this test's drive, not an earlier one's
    return captured([&] { return install_package(&index, entry); });
}

stdin_from::stdin_from(const std::string& text) {
    int p[2];
    if (pipe(p) != 0) throw std::runtime_error("pipe failed");
    if (write(p[1], text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        throw std::runtime_error("pipe write failed");
    close(p[1]);
    saved_ = dup(0);
    dup2(p[0], 0);
    close(p[0]);
}

stdin_from::~stdin_from() {
    dup2(saved_, 0);
    close(saved_);
}

}  // namespace insttest
