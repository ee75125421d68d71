// The install command in process on a prepared drive: plans installed in
// order from the package cache without the network, from nginx over HTTPS
// when the cache and the local index are missing, the question answered on
// the standard input or by -y, plans only, unknown names and a digest that
// does not match.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "hosted.h"
#include "http_url.h"
#include "index_load.h"
#include "install_command_run.h"
#include "install_fixture.h"
#include "net_peers.h"
#include "qor_calls.h"
#include "qor_syscall.h"
#include "test_machine.h"

namespace {

constexpr const char* NGINX_ADDRESS = "127.0.67.1";

struct served_package {
    const char* name;
    const char* install_dir;
    const char* install_name;
    const char* deps;  // JSON array text
    bool system;
    std::map<std::string, std::string> files;
};

// libqor and hello (which needs it) are system packages; deep installs two
// levels down, which needs a confirmation; broken's index digest is wrong.
const served_package PACKAGES[] = {
    {"libqor", "/lib", "libqor.txt", "[]", true, {{"libqor.txt", "support library\n"}}},
    {"hello", "/binaries", "hello", "[\"libqor\"]", true, {{"hello", "#!/bin/sh\necho hello\n"}}},
    {"deep", "/opt/deep", "deep", "[]", false, {{"deep", "deep payload"}}},
    {"broken", "/binaries", "broken", "[]", true, {{"broken", "never installed"}}},
};

using insttest::command_result;
using insttest::in_order;
using insttest::run_install;

class InstallCommand : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = std::make_unique<qortest::temp_dir>("install-command");
        const std::string root = dir_->path() + "/root";
        std::string index = "{\"packages\":[";
        for (const served_package& p : PACKAGES) {
            std::string archive = insttest::make_archive(root + "/pool/" + p.name + ".tar.gz", p.files);
            archives_[p.name] = archive;
            std::string digest = std::string(p.name) == "broken" ? std::string(64, 'f') : insttest::sha256_of(archive);
            if (index.back() != '[') index += ",";
            index += std::string("{\"name\":\"") + p.name + "\",\"version\":\"1.0\",\"url\":\"https://repo.test/pool/" +
                     p.name + ".tar.gz\",\"sha256\":\"" + digest + "\",\"install_dir\":\"" + p.install_dir +
                     "\",\"install_name\":\"" + p.install_name + "\",\"deps\":" + p.deps +
                     ",\"system\":" + (p.system ? "true" : "false") + "}";
        }
        index_ = index + "]}";
        qortest::write_host_file(root + "/index.json", index_);
        cert_ = nettest::make_certificate(dir_->path());
        peer_ = std::make_unique<nettest::nginx_peer>(NGINX_ADDRESS, root, cert_, dir_->path());
    }
    static void TearDownTestSuite() {
        peer_.reset();
        dir_.reset();
    }
    void SetUp() override {
        ASSERT_TRUE(peer_->ok()) << "nginx did not start:\n" << peer_->log();
        ASSERT_EQ(qor_syscall(qor::SYS_DISK_PREPARE, 0, 0, 0), 0);
        ASSERT_EQ(qor_syscall(qor::SYS_DRIVE_SELECT, 0, 0, 0), 0);
        http_url u{};
        ASSERT_EQ(pkg_http_parse_url(index_default_url(), &u), 0);
        nettest::write_hosts(machine_.dir(),
                             std::string("repo.test ") + NGINX_ADDRESS + "\n" + u.host + " " + NGINX_ADDRESS + "\n");
    }
    // The local index and every package's archive in the drive's cache.
    void fill_cache() const {
        machine_.write_drive_file(0, "cache/index.json", index_);
        for (const auto& [name, archive] : archives_) machine_.write_drive_file(0, "cache/pkg/" + name + ".pkg", archive);
    }
    bool on_drive(const std::string& rel) const { return machine_.drive_path_exists(0, rel); }

    qortest::temp_machine machine_{qortest::machine_options{1}};
    static inline std::unique_ptr<qortest::temp_dir> dir_;
    static inline std::map<std::string, std::string> archives_;
    static inline std::string index_;
    static inline nettest::certificate cert_;
    static inline std::unique_ptr<nettest::nginx_peer> peer_;
};

TEST_F(InstallCommand, UsageAndHelp) {
    struct usage_case {
        std::vector<std::string> args;
        int status;
        std::string first_line;
    };
    const usage_case cases[] = {
        {{}, 1, "Usage: install [-y] [-n] [-f] NAME...\n"},
        {{"-y"}, 1, "Usage: install [-y] [-n] [-f] NAME...\n"},
        {{"-l", "hello"}, 1, "Usage: install [-y] [-n] [-f] NAME...\n"},
        {{"-x", "hello"}, 1, "install: unknown option: -x\n"},
        {{"-h"}, 0, "Usage: install [-y] [-n] [-f] NAME...\n"},
        {{"hello", "--help"}, 0, "Usage: install [-y] [-n] [-f] NAME...\n"},
    };
    for (const usage_case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        command_result r = run_install(c.args);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.output.substr(0, c.first_line.size()), c.first_line);
        EXPECT_EQ(r.output.find("install: installed"), std::string::npos);
    }
}

TEST_F(InstallCommand, DependenciesComeFirstFromTheCacheWithoutNetwork) {
    fill_cache();
    hosted::call_counts_reset();
    command_result r = run_install({"-y", "hello"});
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_TRUE(in_order(r.output, {"install: using cached package for libqor\n", "install: installed libqor@1.0 (16 bytes)\n",
                                    "install: using cached package for hello\n", "install: installed hello@1.0 (",
                                    "install: 1 installed, 0 failed\n"}));
    EXPECT_EQ(hosted::call_count(qor::SYS_TCP_CONNECT), 0);
    EXPECT_EQ(machine_.read_drive_file(0, "lib/libqor.txt"), "support library\n");
    EXPECT_EQ(machine_.read_drive_file(0, "binaries/hello"), "#!/bin/sh\necho hello\n");

    // A second name sharing the dependency installs it once.
    r = run_install({"-y", "libqor", "hello"});
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output.find("installed libqor"), r.output.rfind("installed libqor")) << r.output;
    EXPECT_TRUE(in_order(r.output, {"install: 2 installed, 0 failed\n"}));
}

TEST_F(InstallCommand, IndexAndPackagesFromNginxOverHttpsWhenTheCacheLacksThem) {
    hosted::call_counts_reset();
    command_result r = run_install({"-y", "hello"});
    EXPECT_EQ(r.status, 0) << r.output << peer_->log();
    EXPECT_TRUE(in_order(r.output, {"install: installed libqor@1.0 (16 bytes)\n", "install: installed hello@1.0 (",
                                    "install: 1 installed, 0 failed\n"}));
    EXPECT_EQ(r.output.find("using cached package"), std::string::npos);
    EXPECT_GT(hosted::call_count(qor::SYS_TCP_CONNECT), 0);
    EXPECT_EQ(machine_.read_drive_file(0, "binaries/hello"), "#!/bin/sh\necho hello\n");
    EXPECT_FALSE(on_drive("tmp/install-hello.pkg"));
}

TEST_F(InstallCommand, QuestionAnsweredOnStandardInputOrByYes) {
    fill_cache();
    {
        insttest::stdin_from answer("n\n");
        command_result r = run_install({"deep"});
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(in_order(r.output, {"install: warning: target directory '/opt/deep' is not first-level\n",
                                        "install: continue? [y/N]: ", "install: cancelled by user\n",
                                        "install: 0 installed, 1 failed\n"}));
        EXPECT_FALSE(on_drive("opt"));
    }
    command_result r = run_install({"-y", "deep"});
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_TRUE(in_order(r.output, {"target directory '/opt/deep' is not first-level (auto-accepted)\n",
                                    "install: installed deep@1.0 (12 bytes)\n", "install: 1 installed, 0 failed\n"}));
    EXPECT_EQ(r.output.find("continue?"), std::string::npos);
    EXPECT_EQ(machine_.read_drive_file(0, "opt/deep/deep"), "deep payload");
}

TEST_F(InstallCommand, PlanOnlyInstallsNothing) {
    fill_cache();
    command_result r = run_install({"-n", "hello", "deep"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output, "install: no package records on this drive\n"
                        "install: plan for hello: libqor@1.0 hello@1.0\ninstall: plan for deep: deep@1.0\n");
    for (const char* path : {"lib", "binaries", "opt", "tmp"}) EXPECT_FALSE(on_drive(path)) << path;

    r = run_install({"-l"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(in_order(r.output, {"NAME", "libqor", "1.0", "yes", "/lib\n", "deep", "no", "/opt/deep\n", "broken"}));
}

TEST_F(InstallCommand, UnknownNameFailsAfterTheOthersAreTried) {
    fill_cache();
    command_result r = run_install({"-y", "nosuch", "hello"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(in_order(r.output, {"install: package not found in index: nosuch\n", "install: installed hello@1.0 (",
                                    "install: 1 installed, 1 failed\n"}));
    EXPECT_TRUE(on_drive("binaries/hello"));
}

TEST_F(InstallCommand, DigestMismatchFailsAndLeavesNothing) {
    command_result r = run_install({"-y", "broken"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(in_order(r.output, {"install: checksum mismatch for broken\n", "install: download failed for broken\n",
                                    "install: 0 installed, 1 failed\n"}));
    EXPECT_FALSE(on_drive("binaries/broken"));
    EXPECT_FALSE(on_drive("tmp/install-broken.pkg"));
}

}  // namespace
