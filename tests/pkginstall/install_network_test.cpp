// Installation through the network against Python's http.server on a
// loopback address of its own, with the built extract program as the child
// that unpacks: the network install, the cache falling back to it, single
// files, and what is left on disk afterwards.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include "hosted.h"
#include "install_fixture.h"
#include "net_peers.h"
#include "qor.h"
#include "test_machine.h"

namespace {

namespace fs = std::filesystem;

using insttest::install_named;
using insttest::make_archive;
using insttest::make_entry;
using insttest::make_index;
using insttest::sha256_of;

constexpr const char* SERVER_ADDRESS = "127.0.66.1";
constexpr int SERVER_PORT = 8066;
constexpr const char* BASE_URL = "http://pkgs.test:8066/";

// http.server serving one directory for the whole suite.
struct file_server {
    file_server() {
        const std::string port = std::to_string(SERVER_PORT);
        const std::string command = "exec python3 -m http.server " + port + " --bind " + SERVER_ADDRESS +
                                    " --directory '" + root.path() + "' 2>/dev/null";
        const char* argv[] = {"sh", "-c", command.c_str(), nullptr};
        ok = process.start(argv) && nettest::wait_for_port(SERVER_ADDRESS, SERVER_PORT, 10000);
    }
    qortest::temp_dir root{"served"};
    nettest::peer_process process;
    bool ok = false;
};

class NetworkInstall : public ::testing::Test {
protected:
    static void SetUpTestSuite() { server_ = std::make_unique<file_server>(); }
    static void TearDownTestSuite() { server_.reset(); }
    void SetUp() override {
        ASSERT_TRUE(server_->ok) << "http.server did not start";
        nettest::write_hosts(machine_.dir(), std::string("pkgs.test ") + SERVER_ADDRESS + "\n");
        fs::create_directories(machine_.media("binaries"));
        fs::copy_file(EXTRACT_PROGRAM_PATH, machine_.media("binaries/extract"));
        package_set_confirm_mode(0);
    }

    // Serves `bytes` at `file`; its digest.
    static std::string serve(const std::string& file, const std::string& bytes) {
        qortest::write_host_file(server_->root.path() + "/" + file, bytes);
        return sha256_of(bytes);
    }
    // Serves a gzip archive of `files` at `file`; its digest.
    static std::string serve_archive(const std::string& file, const std::map<std::string, std::string>& files) {
        return sha256_of(make_archive(server_->root.path() + "/" + file, files));
    }
    std::string at(const std::string& rel) const { return machine_.media(rel); }

    qortest::temp_machine machine_;
    static std::unique_ptr<file_server> server_;
};

std::unique_ptr<file_server> NetworkInstall::server_;

std::string extracted(int files) { return "extract: " + std::to_string(files) + " files, 0 directories, 0 skipped\n"; }

TEST_F(NetworkInstall, ArchivesFromTheNetwork) {
    struct network_case {
        std::string what;
        std::string name;
        std::string install_name;
        std::map<std::string, std::string> served;  // archive members
        int result;
        std::string output;
        std::map<std::string, std::string> after;  // media paths -> contents ("" = absent)
    };
    const network_case cases[] = {
        {"payload under its install name", "tool", "tool.elf", {{"tool.elf", "ELF!"}, {"README", "r"}}, 0,
         extracted(2) + "install: installed tool@1.0 (4 bytes)\n",
         {{"binaries/tool.elf", "ELF!"}, {"binaries/README", "r"}}},
        {"payload under the package name", "tool", "tool.elf", {{"tool", "by name"}}, 0,
         extracted(1) + "install: installed tool@1.0 (7 bytes)\n",
         {{"binaries/tool.elf", "by name"}, {"binaries/tool", ""}}},
        {"no payload at all", "tool", "tool.elf", {{"other", "x"}}, -1,
         extracted(1) + "install: no extracted payload found for tool\n"
                        "install: package archive did not provide /binaries/tool.elf\n",
         {{"binaries/other", ""}}},  // a failed install takes away what it unpacked
    };
    for (const network_case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string digest = serve_archive(c.name + ".tar.gz", c.served);
        auto index =
            make_index({make_entry(c.name, BASE_URL + c.name + ".tar.gz", digest, "/binaries", c.install_name)});
        insttest::run_result r = install_named(*index, c.name);
        EXPECT_EQ(r.result, c.result);
        EXPECT_EQ(r.output, c.output);
        for (const auto& [path, contents] : c.after) {
            if (contents.empty()) {
                EXPECT_FALSE(qortest::host_path_exists(at(path))) << path;
            } else {
                EXPECT_EQ(qortest::read_host_file(at(path)), contents) << path;
            }
        }
        EXPECT_TRUE(fs::is_empty(at("tmp"))) << "the temporary archive is removed";
        fs::remove_all(at("binaries/tool.elf"));
        fs::remove_all(at("binaries/tool"));
    }
}

TEST_F(NetworkInstall, FailuresLeaveNoTemporaryArchive) {
    const std::string corrupt(700, 'z');
    const std::string corrupt_digest = serve("corrupt.tgz", corrupt);
    const std::string good_digest = serve_archive("good.tgz", {{"good", "g"}});
    struct failure_case {
        std::string what;
        package_entry entry;
        std::string output;
    };
    const failure_case cases[] = {
        {"not served", make_entry("gone", std::string(BASE_URL) + "gone.tgz", good_digest),
         "install: HTTP status 404 for " + std::string(BASE_URL) + "gone.tgz\ninstall: download failed for gone\n"},
        {"digest differs", make_entry("good", std::string(BASE_URL) + "good.tgz", std::string(64, 'f')),
         "install: checksum mismatch for good\ninstall: expected " + std::string(64, 'f') + "\ninstall: got      " +
             good_digest + "\ninstall: download failed for good\n"},
        {"does not unpack", make_entry("corrupt", std::string(BASE_URL) + "corrupt.tgz", corrupt_digest),
         // Listed before it is unpacked: an archive that cannot be listed
         // is never handed to the extractor.
         "extract: invalid size field in tar entry\ninstall: extraction failed for corrupt\n"},
        // A URL is sent as the request target as it stands: a line break in
        // it would add request lines, a space would end the target early.
        {"line break in the URL", make_entry("good", std::string(BASE_URL) + "x\r\nX-Injected: 1\r\n/good.tgz", good_digest),
         "install: invalid URL: " + std::string(BASE_URL) + "x\r\nX-Injected: 1\r\n/good.tgz\n"
         "install: download failed for good\n"},
        {"space in the URL", make_entry("good", std::string(BASE_URL) + "good .tgz", good_digest),
         "install: invalid URL: " + std::string(BASE_URL) + "good .tgz\ninstall: download failed for good\n"},
    };
    for (const failure_case& c : cases) {
        SCOPED_TRACE(c.what);
        auto index = make_index({c.entry});
        insttest::run_result r = install_named(*index, c.entry.name);
        EXPECT_EQ(r.result, -1);
        EXPECT_EQ(r.output, c.output);
        EXPECT_TRUE(fs::is_empty(at("tmp")));
    }
    hosted::fault_add(qor::SYS_MKDIR, 1, -1);
    auto index = make_index({make_entry("good", std::string(BASE_URL) + "good.tgz", good_digest)});
    fs::remove_all(at("tmp"));
    insttest::run_result r = install_named(*index, "good");
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.output, "install: failed to prepare temporary install directory\n");
}

TEST_F(NetworkInstall, CacheThatCannotServeFallsBackToTheNetwork) {
    const std::string digest = serve_archive("sys.tgz", {{"sys", "from the network"}});
    const std::string served = qortest::read_host_file(server_->root.path() + "/sys.tgz");
    struct cache_case {
        std::string what;
        int system;
        std::string install_name;
        bool cached_is_served;  // else a stale archive with another digest
        std::string cache_says;
        std::string installed_as;
    };
    const cache_case cases[] = {
        {"cached digest differs", 1, "sys", false,
         "install: cached archive checksum mismatch for sys; using network\n", "binaries/sys"},
        // Only the network install takes a payload under the package name.
        {"payload under the package name", 1, "sys.elf", true,
         extracted(1) + "install: cached archive missing payload for sys; using network\n", "binaries/sys.elf"},
        {"not a system package", 0, "sys", true, "", "binaries/sys"},
    };
    for (const cache_case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.cached_is_served) {
            qortest::write_host_file(at("cache/pkg/sys.pkg"), served);
        } else {
            make_archive(at("cache/pkg/sys.pkg"), {{"sys", "stale"}});
        }
        const std::string cached_bytes = qortest::read_host_file(at("cache/pkg/sys.pkg"));
        auto index = make_index({make_entry("sys", std::string(BASE_URL) + "sys.tgz", digest, "/binaries",
                                            c.install_name, c.system)});
        hosted::call_counts_reset();
        insttest::run_result r = install_named(*index, "sys");
        ASSERT_EQ(r.result, 0) << r.output;
        EXPECT_EQ(r.output, c.cache_says + extracted(1) + "install: installed sys@1.0 (16 bytes)\n");
        EXPECT_EQ(qortest::read_host_file(at(c.installed_as)), "from the network");
        EXPECT_GT(hosted::call_count(qor::SYS_TCP_CONNECT), 0);
        EXPECT_EQ(qortest::read_host_file(at("cache/pkg/sys.pkg")), cached_bytes) << "the cache is left alone";
        fs::remove_all(at("cache"));
        fs::remove_all(at("binaries/sys"));
        fs::remove_all(at("binaries/sys.elf"));
    }
}

TEST_F(NetworkInstall, SingleFileGoesStraightToItsTarget) {
    const std::string body(3000, 's');
    const std::string digest = serve("tool.bin", body);
    // A cached archive is never consulted for single files.
    qortest::write_host_file(at("cache/pkg/tool.pkg"), "ignored");
    auto index = make_index({make_entry("tool", std::string(BASE_URL) + "tool.bin", digest, "/apps", "tool", 1),
                             make_entry("bad", std::string(BASE_URL) + "tool.bin", std::string(64, '0'), "/apps")});
    package_set_confirm_mode(1);
    insttest::run_result r = install_named(*index, "tool");
    ASSERT_EQ(r.result, 0) << r.output;
    EXPECT_EQ(r.output,
              "install: warning: target directory '/apps' does not exist and will be created (auto-accepted)\n"
              "install: installed tool@1.0 (3000 bytes)\n");
    EXPECT_EQ(qortest::read_host_file(at("apps/tool")), body);
    EXPECT_FALSE(qortest::host_path_exists(at("tmp")));

    insttest::run_result bad = install_named(*index, "bad");
    package_set_confirm_mode(0);
    EXPECT_EQ(bad.result, -1);
    EXPECT_NE(bad.output.find("install: checksum mismatch for bad\n"), std::string::npos);
    EXPECT_FALSE(qortest::host_path_exists(at("apps/bad")));
}

}  // namespace
