// The install command over a hostile network, on a drive holding a key:
// nginx serves one good signed repository and several bad ones (a byte
// changed, an older serial, another key, no signature, a truncated, empty,
// 10 MB or garbage signature, an archive swapped), the scripted peer a
// mirror that breaks off, and a loopback address nothing listens on a dead
// one. Mirrors are tried in turn; after every failure nothing is installed,
// no temporary file is left, the kept serial is unchanged and the drive's
// file system is clean.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "http_url.h"
#include "index_load.h"
#include "index_trust.h"
#include "install_command_run.h"
#include "install_fixture.h"
#include "net_peers.h"
#include "qor_calls.h"
#include "qor_syscall.h"
#include "test_machine.h"

namespace {

constexpr const char* NGINX_ADDRESS = "127.0.68.1";
constexpr const char* SCRIPT_ADDRESS = "127.0.68.2";
constexpr const char* DEAD_ADDRESS = "127.0.68.254";
constexpr int GOOD_SERIAL = 10;
constexpr int KEPT_SERIAL = 7;

const std::string GOOD = "http://mirror.test/good/index.json";
const std::string PAYLOAD = "#!/bin/sh\necho hello\n";

using insttest::command_result;
using insttest::in_order;
using insttest::run_install;

std::string slot_text(uint64_t serial) {
    char text[128];
    return std::string(text, idx_serial_slot_text(serial, text, sizeof text));
}

class TrustNetwork : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = std::make_unique<qortest::temp_dir>("trust-network");
        const std::string d = dir_->path();
        trusted_ = nettest::make_signing_key(d, "trusted");
        other_ = nettest::make_signing_key(d, "other");
        key_name_ = nettest::signing_key_name(trusted_);

        const std::string root = d + "/root";
        const std::string archive = insttest::make_archive(d + "/hello.tar.gz", {{"hello", PAYLOAD}});
        const std::string swapped = insttest::make_archive(d + "/evil.tar.gz", {{"hello", "#!/bin/sh\necho owned\n"}});
        const std::string good = index_text(GOOD_SERIAL, insttest::sha256_of(archive));
        std::string tampered = good;
        tampered[tampered.find("/binaries")] = '#';
        const std::string older = index_text(KEPT_SERIAL - 2, insttest::sha256_of(archive));
        const std::string sig = sign("trusted", good);
        struct repo {
            const char* dir;
            std::string index;
            std::string sig;  // "-": none
            const std::string* pool;
        };
        const repo repos[] = {
            {"good", good, sig, &archive},
            {"tampered", tampered, sig, &archive},
            {"older", older, sign("trusted", older), &archive},
            {"otherkey", good, sign("other", good), &archive},
            {"nosig", good, "-", &archive},
            {"truncsig", good, sig.substr(0, sig.size() - 9), &archive},
            {"emptysig", good, "", &archive},
            {"bigsig", good, std::string(10 * 1024 * 1024, '0'), &archive},
            {"garbagesig", good, "\x30\x44 not a signature at all", &archive},
            {"swapped", good, sig, &swapped},
        };
        for (const repo& r : repos) {
            const std::string base = root + "/" + r.dir;
            qortest::write_host_file(base + "/index.json", r.index);
            if (r.sig != "-") qortest::write_host_file(base + "/index.json.sig", r.sig);
            qortest::write_host_file(base + "/pool/hello.tar.gz", *r.pool);
        }
        cert_ = nettest::make_certificate(d);
        nginx_ = std::make_unique<nettest::nginx_peer>(NGINX_ADDRESS, root, cert_, d);
        script_ = std::make_unique<nettest::script_peer>(SCRIPT_ADDRESS, cert_);
    }
    static void TearDownTestSuite() {
        script_.reset();
        nginx_.reset();
        dir_.reset();
    }
    static std::string index_text(int serial, const std::string& digest) {
        return "{\n  \"serial\": " + std::to_string(serial) +
               ",\n  \"packages\": [{\"name\": \"hello\", \"version\": \"1.0\", \"url\": \"pool/hello.tar.gz\", "
               "\"sha256\": \"" + digest + "\", \"install_dir\": \"/binaries\", \"install_name\": \"hello\", "
               "\"system\": false}]\n}\n";
    }
    static std::string sign(const char* key, const std::string& text) {
        return nettest::sign_bytes(std::string(key) == "trusted" ? trusted_ : other_, text);
    }

    void SetUp() override {
        ASSERT_TRUE(nginx_->ok()) << "nginx did not start:\n" << nginx_->log();
        ASSERT_TRUE(script_->ok()) << "the scripted server did not start";
        ASSERT_EQ(qor_syscall(qor::SYS_DISK_PREPARE, 0, 0, 0), 0);
        ASSERT_EQ(qor_syscall(qor::SYS_DRIVE_SELECT, 0, 0, 0), 0);
        http_url u{};
        ASSERT_EQ(pkg_http_parse_url(index_default_url(), &u), 0);
        nettest::write_hosts(machine_.dir(), std::string("mirror.test ") + NGINX_ADDRESS + "\nscript.test " +
                                                 SCRIPT_ADDRESS + "\ndead.test " + DEAD_ADDRESS + "\n" + u.host + " " +
                                                 DEAD_ADDRESS + "\n");
        machine_.write_drive_file(0, "cache/trusted-keys.pem", qortest::read_host_file(trusted_.pub));
        machine_.write_drive_file(0, "cache/serial.a", slot_text(KEPT_SERIAL));
    }
    void mirrors(const std::vector<std::string>& urls) const {
        std::string text = "# tried in order\n";
        for (const std::string& u : urls) text += u + "\n";
        machine_.write_drive_file(0, "cache/repositories", text);
    }
    // Nothing installed or left behind, the serial as it was, the file
    // system clean.
    void expect_untouched() const {
        EXPECT_FALSE(machine_.drive_path_exists(0, "binaries/hello"));
        for (const auto& [path, bytes] : machine_.drive_tree(0))
            EXPECT_EQ(path.find("tmp/"), std::string::npos) << path << " left behind";
        EXPECT_EQ(machine_.read_drive_file(0, "cache/serial.a"), slot_text(KEPT_SERIAL));
        EXPECT_FALSE(machine_.drive_path_exists(0, "cache/serial.b"));
        std::string report;
        EXPECT_EQ(machine_.check_drive(0, &report), 0) << report;
    }

    qortest::temp_machine machine_{qortest::machine_options{1}};
    static inline std::unique_ptr<qortest::temp_dir> dir_;
    static inline nettest::signing_key trusted_, other_;
    static inline std::string key_name_;
    static inline nettest::certificate cert_;
    static inline std::unique_ptr<nettest::nginx_peer> nginx_;
    static inline std::unique_ptr<nettest::script_peer> script_;
};

TEST_F(TrustNetwork, DeadAndTamperedMirrorsArePassedOverForTheGoodOne) {
    mirrors({"http://dead.test/index.json", "http://mirror.test/tampered/index.json", GOOD});
    command_result r = run_install({"-y", "hello"});
    EXPECT_EQ(r.status, 0) << r.output << nginx_->log();
    EXPECT_TRUE(in_order(r.output, {"install: failed to fetch package index from http://dead.test/index.json\n",
                                    "install: index signature invalid: http://mirror.test/tampered/index.json\n",
                                    "install: installed hello@1.0 (", "install: 1 installed, 0 failed\n"}));
    EXPECT_EQ(machine_.read_drive_file(0, "binaries/hello"), PAYLOAD);
    EXPECT_EQ(machine_.read_drive_file(0, "cache/serial.b"), slot_text(GOOD_SERIAL));
    EXPECT_EQ(machine_.read_drive_file(0, "cache/serial.a"), slot_text(KEPT_SERIAL));
    std::string report;
    EXPECT_EQ(machine_.check_drive(0, &report), 0) << report;

    // The listing starts with the index it lists, after the lines of the
    // mirrors that failed on the way.
    r = run_install({"-l"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(in_order(r.output, {"install: index signature invalid: http://mirror.test/tampered/index.json\n",
                                    "index: " + GOOD + " (signed by " + key_name_ + ")\nNAME "}));
}

TEST_F(TrustNetwork, EachHostileMirrorIsRefusedWithOneLine) {
    struct hostile {
        const char* dir;
        std::string line;
    };
    const std::string invalid = "install: index signature invalid: http://mirror.test/";
    const std::string missing = "install: index signature missing: http://mirror.test/";
    const hostile cases[] = {
        {"tampered", invalid + "tampered/index.json\n"},
        {"older", "install: index serial 5 is older than 7 already trusted: http://mirror.test/older/index.json\n"},
        {"otherkey", invalid + "otherkey/index.json\n"},
        {"nosig", missing + "nosig/index.json\n"},
        {"truncsig", invalid + "truncsig/index.json\n"},
        {"emptysig", invalid + "emptysig/index.json\n"},
        {"bigsig", "install: body write failed\n" + invalid + "bigsig/index.json\n"},
        {"garbagesig", invalid + "garbagesig/index.json\n"},
    };
    for (const hostile& c : cases) {
        SCOPED_TRACE(c.dir);
        mirrors({std::string("http://mirror.test/") + c.dir + "/index.json"});
        command_result r = run_install({"-y", "hello"});
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(in_order(r.output, {c.line, "install: 0 installed, 1 failed\n"}));
        EXPECT_EQ(r.output.find("installed hello"), std::string::npos) << r.output;
        expect_untouched();
    }
}

TEST_F(TrustNetwork, AllMirrorsBadFailsWithALineForEach) {
    mirrors({"http://dead.test/index.json", "http://script.test/raw/closed-in-body",
             "http://mirror.test/otherkey/index.json"});
    command_result r = run_install({"-y", "hello"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(in_order(r.output, {"install: failed to fetch package index from http://dead.test/index.json\n",
                                    "install: failed to fetch package index from http://script.test/raw/closed-in-body\n",
                                    "install: index signature invalid: http://mirror.test/otherkey/index.json\n",
                                    "install: 0 installed, 1 failed\n"}));
    expect_untouched();
}

TEST_F(TrustNetwork, ASwappedArchiveIsFetchedAgainFromTheNextMirror) {
    mirrors({"http://mirror.test/swapped/index.json", "http://dead.test/index.json", GOOD});
    command_result r = run_install({"-y", "hello"});
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_TRUE(in_order(r.output, {"install: checksum mismatch for hello\n",
                                    "install: failed to fetch package index from http://dead.test/index.json\n",
                                    "install: installed hello@1.0 (", "install: 1 installed, 0 failed\n"}));
    EXPECT_EQ(machine_.read_drive_file(0, "binaries/hello"), PAYLOAD);

    // Swapped everywhere it can be had: the package fails, nothing is left.
    ASSERT_EQ(run_install({"-r", "hello"}).status, 0);
    mirrors({"http://mirror.test/swapped/index.json", "http://dead.test/index.json"});
    r = run_install({"-y", "hello"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(in_order(r.output, {"install: checksum mismatch for hello\n", "install: download failed for hello\n"}));
    EXPECT_FALSE(machine_.drive_path_exists(0, "binaries/hello"));
    for (const auto& [path, bytes] : machine_.drive_tree(0)) EXPECT_EQ(path.find("tmp/"), std::string::npos) << path;
}

TEST_F(TrustNetwork, WithoutKeysTheListSaysNotSigned) {
    machine_.remove_drive_path(0, "cache/trusted-keys.pem");
    mirrors({"http://mirror.test/nosig/index.json"});
    command_result r = run_install({"-l"});
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output.rfind("install: no package records on this drive\n"
                             "index: http://mirror.test/nosig/index.json (not signed)\nNAME",
                             0),
              0u)
        << r.output;
}

}  // namespace
