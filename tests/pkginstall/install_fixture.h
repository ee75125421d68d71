// Helpers shared by the package installation tests: archives made by GNU
// tar, index records, downloads that fail at once, and one-call runs with
// the output captured.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "package_index.h"
#include "package_install.h"
#include "test_machine.h"

namespace insttest {

// Writes a tar archive (gzip-compressed when `gzip`) at host path `path`
// holding `files` (member name -> contents), made by GNU tar. Returns the
// archive's bytes.
std::string make_archive(const std::string& path, const std::map<std::string, std::string>& files, bool gzip = true);

// The SHA-256 of `bytes` in lower-case hex.
std::string sha256_of(const std::string& bytes);

// Makes the machine's "refused.test" a loopback address nothing listens on,
// so a download from refused_url() fails at once.
void refuse_downloads(const qortest::temp_machine& machine);
std::string refused_url(const std::string& file);

// A record with the given fields; install_dir and install_name are taken
// as given (empty stays empty).
package_entry make_entry(const std::string& name, const std::string& url, const std::string& sha256,
                         const std::string& install_dir = "/binaries", const std::string& install_name = "",
                         int system = 0);

// An index holding `entries` (heap: the table is large).
std::unique_ptr<package_index> make_index(std::initializer_list<package_entry> entries);

// install_package on the index's own entry named `name`, with the output.
struct run_result {
    int result;
    std::string output;
};
run_result install_named(const package_index& index, const std::string& name);

// Any call with its standard output captured.
template <typename F>
run_result captured(F&& call);

// Standard input from `text` (through a pipe) for the confirmation
// question, restored when the guard ends.
class stdin_from {
public:
    explicit stdin_from(const std::string& text);
    ~stdin_from();
    stdin_from(const stdin_from&) = delete;
    stdin_from& operator=(const stdin_from&) = delete;

private:
    int saved_ = -1;
};

}  // namespace insttest

template <typename F>
insttest::run_result insttest::captured(F&& call) {
    run_result r;
    r.result = qortest::run_captured(&r.output, call);
    return r;
}
