// Name resolution, the TLS callbacks and random generator, and the polling
// time-outs, reached through the fault hook and a local listener that
// accepts connections but never speaks.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "hosted.h"
#include "http_client.h"
#include "net_transport.h"
#include "qor.h"
#include "test_machine.h"
#include "tls_channel.h"

namespace {

TEST(Resolve, DottedQuadsSkipTheHostAndOthersAskIt) {
    qortest::temp_machine m;
    qortest::write_host_file(m.dir() + "/hosts", "repo.test 127.0.70.9\n# 1.2.3.4.5 10.0.0.1\n");
    struct quad {
        const char* host;
        int host_calls;
        int result;
        uint8_t a[4];
    };
    const quad cases[] = {
        {"10.0.0.1", 0, 0, {10, 0, 0, 1}},
        {"255.255.255.255", 0, 0, {255, 255, 255, 255}},
        {"010.001.000.009", 0, 0, {10, 1, 0, 9}},
        {"repo.test", 1, 0, {127, 0, 70, 9}},
        {"256.0.0.1", 1, -1, {}},
        {"1..2.3", 1, -1, {}},
        {"1.2.3.4.5", 1, -1, {}},
        {"1.2.3", 1, -1, {}},
        {"1.2.3.4 ", 1, -1, {}},
    };
    for (const quad& c : cases) {
        SCOPED_TRACE(c.host);
        hosted::call_counts_reset();
        // Names the hosts file does not know fail here instead of asking DNS.
        if (c.result != 0) hosted::fault_add(qor::SYS_NET_RESOLVE, 1, -1);
        uint8_t a[4] = {};
        hosted::capture_begin();
        ASSERT_EQ(pkg_resolve_host_ipv4(c.host, a), c.result);
        std::string out = hosted::capture_end();
        hosted::faults_clear();
        EXPECT_EQ(hosted::call_count(qor::SYS_NET_RESOLVE), c.host_calls);
        if (c.result == 0) {
            EXPECT_EQ(memcmp(a, c.a, 4), 0);
            EXPECT_EQ(out, "");
        } else {
            EXPECT_EQ(out, std::string("install: DNS failed for ") + c.host + "\n");
        }
    }
}

// The generator's bytes after seeding with `seed`, drawn in pieces.
std::string rng_bytes(long seed, const std::vector<size_t>& pieces) {
    g_tls_rng_state = 0;
    hosted::fault_add(qor::SYS_SEED_WORD, 1, seed);
    std::string out;
    for (size_t n : pieces) {
        unsigned char buf[16] = {};
        EXPECT_EQ(pkg_tls_rng(nullptr, buf, n), 0);
        out.append(reinterpret_cast<char*>(buf), n);
    }
    hosted::faults_clear();
    return out;
}

TEST(TlsRng, SeedAndSequence) {
    // xorshift32 (13, 17, 5) from state 1: 270369, 67634689, 2647435461, ...
    const std::string from_one("\x21\x01\xc5\x4f\xd1\xd0\x1a\xb2", 8);
    EXPECT_EQ(rng_bytes(0x7F4A7C15, {8}), from_one);
    EXPECT_EQ(rng_bytes(0x7F4A7C15, {3, 5}), from_one);
    EXPECT_EQ(rng_bytes(0x7F4A7C15, {0, 1, 0, 7}), from_one);
    EXPECT_EQ(rng_bytes(0x12345678, {8}), std::string("\xf4\x3f\xcb\x0b\xb8\x2c\x13\xdd", 8));

    // Seeded once: a length of 0 seeds, and later draws never ask again.
    g_tls_rng_state = 0;
    hosted::call_counts_reset();
    unsigned char b[4];
    pkg_tls_rng(nullptr, b, 0);
    pkg_tls_rng(nullptr, b, 4);
    pkg_tls_rng(nullptr, b, 4);
    EXPECT_EQ(hosted::call_count(qor::SYS_SEED_WORD), 1);
    EXPECT_NE(g_tls_rng_state, 0u);
}

TEST(TlsCallbacks, ReceiveServesBufferedBytesBeforeAskingTheHost) {
    auto* bio = new tls_bio{};
    hosted::call_counts_reset();
    hosted::fault_add(qor::SYS_TCP_RECV, 1, 300);  // 300 bytes arrived
    hosted::fault_add(qor::SYS_TCP_RECV, 2, 0);    // then nothing yet
    hosted::fault_add(qor::SYS_TCP_RECV, 3, -2);   // then the peer closed
    hosted::fault_add(qor::SYS_TCP_RECV, 4, -1);
    unsigned char out[100];
    EXPECT_EQ(pkg_tls_recv_cb(bio, out, 100), 100);
    EXPECT_EQ(pkg_tls_recv_cb(bio, out, 100), 100);
    EXPECT_EQ(pkg_tls_recv_cb(bio, out, 100), 100);
    EXPECT_EQ(hosted::call_count(qor::SYS_TCP_RECV), 1);
    EXPECT_EQ(bio->rd_pos, 0u);
    EXPECT_EQ(bio->rd_end, 0u);
    EXPECT_EQ(pkg_tls_recv_cb(bio, out, 100), MBEDTLS_ERR_SSL_WANT_READ);
    EXPECT_EQ(pkg_tls_recv_cb(bio, out, 100), MBEDTLS_ERR_SSL_CONN_EOF);
    EXPECT_EQ(pkg_tls_recv_cb(bio, out, 100), MBEDTLS_ERR_SSL_INTERNAL_ERROR);
    EXPECT_EQ(pkg_tls_recv_cb(nullptr, out, 100), MBEDTLS_ERR_SSL_INTERNAL_ERROR);
    EXPECT_EQ(pkg_tls_recv_cb(bio, out, 0), MBEDTLS_ERR_SSL_INTERNAL_ERROR);
    hosted::faults_clear();
    delete bio;
}

// A loopback listener that completes connections and never answers.
class silent_listener {
public:
    silent_listener() {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        listen(fd_, 8);
        getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
    }
    ~silent_listener() { close(fd_); }
    int port() const { return port_; }
    std::string url(const char* scheme) const { return std::string(scheme) + "://127.0.0.1:" + std::to_string(port_) + "/x"; }

private:
    int fd_;
    int port_;
};

TEST(TlsCallbacks, SendTakesAtMost512BytesAndMapsResults) {
    unsigned char data[2000] = {};
    hosted::fault_add(qor::SYS_TCP_SEND, 1, 0);
    hosted::fault_add(qor::SYS_TCP_SEND, 2, -1);
    EXPECT_EQ(pkg_tls_send_cb(nullptr, data, 0), 0);
    EXPECT_EQ(pkg_tls_send_cb(nullptr, nullptr, 10), 0);
    EXPECT_EQ(pkg_tls_send_cb(nullptr, data, 2000), MBEDTLS_ERR_SSL_WANT_WRITE);
    EXPECT_EQ(pkg_tls_send_cb(nullptr, data, 2000), MBEDTLS_ERR_SSL_INTERNAL_ERROR);
    hosted::faults_clear();
    // A real connection takes one piece of at most 512 bytes per call.
    silent_listener peer;
    uint8_t address[4] = {127, 0, 0, 1};
    ASSERT_EQ(qor::tcp_connect(address, static_cast<uint16_t>(peer.port())), 0);
    EXPECT_EQ(pkg_tls_send_cb(nullptr, data, 2000), 512);
    qor::tcp_close();
}

int discard(const uint8_t*, uint32_t, void*) { return 0; }

struct polled {
    int result;
    std::string output;
};

polled fetch_while_receive_stays_empty(const std::string& url) {
    hosted::call_counts_reset();
    hosted::fault_add(qor::SYS_TCP_RECV, 1, 0, -1);
    hosted::skip_sleeps(true);
    hosted::capture_begin();
    uint64_t count = 0;
    int r = pkg_http_get_stream(url.c_str(), discard, nullptr, &count);
    polled p{r, hosted::capture_end()};
    hosted::skip_sleeps(false);
    hosted::faults_clear();
    return p;
}

TEST(PollingLimits, HttpGivesUpAfter6000EmptyReceives) {
    silent_listener peer;
    polled p = fetch_while_receive_stays_empty(peer.url("http"));
    EXPECT_EQ(p.result, -1);
    EXPECT_EQ(p.output, "install: HTTP receive timeout\n");
    EXPECT_EQ(hosted::call_count(qor::SYS_TCP_RECV), 6000);
    EXPECT_EQ(hosted::call_count(qor::SYS_USLEEP), 5999);
    EXPECT_EQ(hosted::call_count(qor::SYS_TCP_CLOSE), 1);
}

TEST(PollingLimits, TlsHandshakeGivesUpAfter6000WaitsAndRetriesOnce) {
    silent_listener peer;
    polled p = fetch_while_receive_stays_empty(peer.url("https"));
    EXPECT_EQ(p.result, -1);
    const std::string timeout = "install: TLS handshake timeout via 127.0.0.1\n";
    EXPECT_EQ(p.output, timeout + "install: retrying HTTPS request after timeout/failure\n" + timeout);
    EXPECT_EQ(hosted::call_count(qor::SYS_TCP_CONNECT), 2);
    // Each attempt releases its connection, and the retry closes once more
    // before it starts again.
    EXPECT_EQ(hosted::call_count(qor::SYS_TCP_CLOSE), 3);
}

TEST(HostedNetwork, MachineSwitchDropsTheConnection) {
    silent_listener peer;
    uint8_t address[4] = {127, 0, 0, 1};
    ASSERT_EQ(qor::tcp_connect(address, static_cast<uint16_t>(peer.port())), 0);
    uint8_t buf[16];
    EXPECT_EQ(qor::tcp_recv(buf, sizeof buf), 0);  // connected, nothing yet
    qortest::temp_machine next;
    EXPECT_EQ(qor::tcp_recv(buf, sizeof buf), -1);
    EXPECT_EQ(qor::tcp_send(buf, sizeof buf), -1);
}

}  // namespace
