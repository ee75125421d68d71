// Real network peers for the client tests, each started by the test on its
// own loopback address and stopped again when it goes out of scope: nginx
// serving a directory over HTTP and HTTPS, and the scripted server (with a
// test fixture for a suite against it).
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <memory>
#include <string>

#include "test_machine.h"

namespace nettest {

// A self-signed certificate and key made with openssl in `dir`.
struct certificate {
    std::string cert;
    std::string key;
};
certificate make_certificate(const std::string& dir);

// An ECDSA P-256 key pair made by openssl in `dir`: NAME.key and NAME.pub.
struct signing_key {
    std::string key;
    std::string pub;
};
signing_key make_signing_key(const std::string& dir, const std::string& name);
// The DER signature `openssl dgst -sha256 -sign` makes of `bytes`.
std::string sign_bytes(const signing_key& key, const std::string& bytes);
// The key's name as the media builder gives it: the first 16 hex digits of
// the SHA-256 of its DER public key.
std::string signing_key_name(const signing_key& key);

// A child process with a bounded stop: SIGTERM (or closing its standard
// input), then SIGKILL after a few seconds. The child also dies with us.
class peer_process {
public:
    peer_process() = default;
    ~peer_process() { stop(); }
    peer_process(const peer_process&) = delete;
    peer_process& operator=(const peer_process&) = delete;

    // Starts argv[0] with `argv`; its standard input and output are pipes
    // we hold.
    bool start(const char* const* argv);
    void stop();
    pid_t pid() const { return pid_; }

    // True once the child has written `text` to its standard output; gives
    // up after `timeout_ms` or when the child ends.
    bool wait_for_output(const std::string& text, int timeout_ms);

private:
    pid_t pid_ = -1;
    int stdin_fd_ = -1;
    int stdout_fd_ = -1;
};

// True once something accepts TCP connections on address:port; gives up
// after `timeout_ms`.
bool wait_for_port(const std::string& address, int port, int timeout_ms);

// nginx on address:80 (HTTP) and address:443 (HTTPS), serving `root`;
// "/redirect/<x>" answers 302 to "/<x>".
class nginx_peer {
public:
    nginx_peer(const std::string& address, const std::string& root, const certificate& cert,
               const std::string& work_dir);
    bool ok() const { return ok_; }
    std::string log() const;

private:
    std::string work_dir_;
    peer_process process_;
    bool ok_ = false;
};

// tests/net/script_server.py on address:80 and address:443.
class script_peer {
public:
    script_peer(const std::string& address, const certificate& cert);
    bool ok() const { return ok_; }

private:
    peer_process process_;
    bool ok_ = false;
};

// The bytes the scripted server's "/data/<n>" serves.
std::string script_pattern(size_t n);

// A scripted server with its scratch directory and certificate, shared by
// the tests of one suite.
struct script_peer_setup {
    explicit script_peer_setup(const std::string& address)
        : dir("script-peer"), cert(make_certificate(dir.path())), peer(address, cert) {}
    qortest::temp_dir dir;
    certificate cert;
    script_peer peer;
};

// The "name a.b.c.d" lines of a machine's hosts file.
void write_hosts(const std::string& machine_dir, const std::string& lines);

// A suite against one scripted server on `Address`, started before its first
// test and stopped after its last. Each test runs in a fresh machine whose
// hosts file gives `Name` that address.
template <const char* Address, const char* Name>
class scripted_peer_suite : public ::testing::Test {
protected:
    static void SetUpTestSuite() { setup_ = std::make_unique<script_peer_setup>(Address); }
    static void TearDownTestSuite() { setup_.reset(); }
    void SetUp() override {
        ASSERT_TRUE(setup_->peer.ok()) << "the scripted server did not start";
        write_hosts(machine_.dir(), std::string(Name) + " " + Address + "\n");
    }

    qortest::temp_machine machine_;
    static inline std::unique_ptr<script_peer_setup> setup_;
};

// The SHA-256 of `bytes` in lower-case hex, as sha256sum computes it.
std::string sha256sum_of(const std::string& bytes);
std::string sha256sum_of_file(const std::string& path);

}  // namespace nettest
