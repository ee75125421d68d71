// The client against the scripted server over plain TCP and TLS: statuses,
// redirects, framing faults and early closes as the client meets them on a
// real connection, and the single HTTPS retry.
#include <gtest/gtest.h>

#include <string>

#include "hosted.h"
#include "http_client.h"
#include "net_peers.h"
#include "qor.h"
#include "test_machine.h"

namespace {

constexpr char PEER_ADDRESS[] = "127.0.62.1";
constexpr char PEER_NAME[] = "script.test";
const std::string RETRY = "install: retrying HTTPS request after timeout/failure\n";

int append_to(const uint8_t* data, uint32_t count, void* context) {
    static_cast<std::string*>(context)->append(reinterpret_cast<const char*>(data), count);
    return 0;
}

struct fetched {
    int result;
    std::string body;
    std::string output;
    uint64_t count;
};

class ScriptedPeer : public nettest::scripted_peer_suite<PEER_ADDRESS, PEER_NAME> {
protected:
    static std::string url(const char* scheme, const std::string& path) {
        return std::string(scheme) + "://" + PEER_NAME + path;
    }

    static fetched fetch(const std::string& u) {
        fetched f{};
        hosted::capture_begin();
        f.result = pkg_http_get_stream(u.c_str(), append_to, &f.body, &f.count);
        f.output = hosted::capture_end();
        return f;
    }
};

struct peer_case {
    std::string path;
    int result;
    std::string body;
    std::string message;  // "" for none; "%s" stands for the request URL
    // Body bytes reached the sink before the failure, so HTTPS must not retry.
    bool body_before_failure = false;
};

std::string with_url(std::string message, const std::string& u) {
    size_t at = message.find("%s");
    if (at != std::string::npos) message.replace(at, 2, u);
    return message;
}

TEST_F(ScriptedPeer, ResponsesEndTheSameOverHttpAndHttps) {
    const peer_case cases[] = {
        {"/data/5000", 0, nettest::script_pattern(5000), ""},
        {"/status/206", 0, "partial", ""},
        {"/status/204", -1, "", "install: HTTP status 204 for %s\n"},
        {"/status/304", -1, "", "install: HTTP status 304 for %s\n"},
        {"/status/404", -1, "", "install: HTTP status 404 for %s\n"},
        {"/hop/5", 0, "arrived", ""},
        {"/hop/6", -1, "", "install: too many redirects\n"},
        {"/via/307/%2Fdata%2F10", 0, nettest::script_pattern(10), ""},
        {"/raw/location-last", 0, nettest::script_pattern(3), ""},
        {"/noloc", -1, "", "install: HTTP status 302 with missing Location for %s\n"},
        {"/longloc", -1, "", "install: redirect URL is too long\n"},
        {"/raw/chunked-ext", 0, "hello" + std::string(26, 'z'), ""},
        {"/raw/chunked-4094", 0, std::string(4094, 'c'), ""},
        {"/raw/chunked-4095", -1, "", "install: chunk buffer overflow\n"},
        {"/raw/chunked-bad", -1, "", "install: invalid chunk size\n"},
        {"/raw/chunked-0x", -1, "", "install: invalid chunk size\n"},
        {"/raw/chunked-empty-size", -1, "", "install: invalid chunk size\n"},
        {"/raw/chunked-no-final", -1, "hello", "install: incomplete chunked transfer\n", true},
        {"/raw/closed-at-once", -1, "", "install: connection closed before response headers\n"},
        {"/raw/closed-in-headers", -1, "", "install: connection closed before response headers\n"},
        {"/raw/closed-in-body", -1, "0123456789", "install: incomplete HTTP body\n", true},
        {"/raw/over-long", 0, "hello", ""},
        {"/raw/no-length", 0, "until the end", ""},
        {"/pad/4095", 0, "tail", ""},
        {"/pad/4096", -1, "", "install: response headers too large\n"},
    };
    for (const char* scheme : {"http", "https"}) {
        bool https = std::string(scheme) == "https";
        for (const peer_case& c : cases) {
            std::string u = url(scheme, c.path);
            SCOPED_TRACE(u);
            fetched f = fetch(u);
            EXPECT_EQ(f.result, c.result) << f.output;
            std::string message = with_url(c.message, u);
            // A failed HTTPS attempt is made once more, from the start.
            bool retried = https && c.result != 0 && c.path != "/hop/6" && !c.body_before_failure;
            EXPECT_EQ(f.output, retried ? message + RETRY + message : message);
            EXPECT_EQ(f.body, retried ? c.body + c.body : c.body);
            if (c.result == 0) {
                EXPECT_EQ(f.count, c.body.size());
            }
        }
    }
}

TEST_F(ScriptedPeer, RedirectsCrossSchemes) {
    for (const char* from : {"http", "https"}) {
        const char* to = std::string(from) == "http" ? "https" : "http";
        std::string target = std::string(to) + "%3A%2F%2F" + PEER_NAME + "%2Fdata%2F20";
        fetched f = fetch(url(from, "/to/" + target));
        EXPECT_EQ(f.result, 0) << f.output;
        EXPECT_EQ(f.body, nettest::script_pattern(20));
    }
}

TEST_F(ScriptedPeer, HttpsRetriesOnlyBeforeTheBody) {
    fetched f = fetch(url("https", "/once/closed/close"));
    EXPECT_EQ(f.result, 0);
    EXPECT_EQ(f.body, "second");
    EXPECT_EQ(f.output, "install: connection closed before response headers\n" + RETRY);

    f = fetch(url("https", "/once/status/500"));
    EXPECT_EQ(f.result, 0);
    EXPECT_EQ(f.body, "second");
    EXPECT_EQ(f.output, "install: HTTP status 500 for " + url("https", "/once/status/500") + "\n" + RETRY);

    // Once the sink holds part of the body, a second copy must not follow it.
    f = fetch(url("https", "/once/partial/partial"));
    EXPECT_EQ(f.result, -1);
    EXPECT_EQ(f.body, "first");
    EXPECT_EQ(f.output, "install: incomplete HTTP body\n");
}

TEST_F(ScriptedPeer, SilentHttpsPeerTimesOutThenTheRetrySucceeds) {
    // Sleeps 150 to 6149 pass at once: the first handshake waits for real
    // (up to 1.5 s), the silent receive then reaches its limit within the
    // window, and the retry's handshake waits for real again after it.
    hosted::fault_add(qor::SYS_USLEEP, 150, 0, 6000);
    fetched f = fetch(url("https", "/once/silent/silent"));
    hosted::faults_clear();
    EXPECT_EQ(f.result, 0);
    EXPECT_EQ(f.body, "second");
    EXPECT_EQ(f.output, "install: HTTPS receive timeout\n" + RETRY);
}

TEST_F(ScriptedPeer, RefusedConnectionsAndInvalidUrls) {
    nettest::write_hosts(machine_.dir(), "closed.test 127.0.62.99\n");
    fetched f = fetch("http://closed.test:81/x");
    EXPECT_EQ(f.result, -1);
    EXPECT_EQ(f.output, "install: TCP connect failed for closed.test:81\n");
    hosted::call_counts_reset();
    f = fetch("https://closed.test/x");
    const std::string line = "install: TCP connect failed for closed.test:443 via 127.0.62.99\n";
    EXPECT_EQ(f.output, line + RETRY + line);
    // No attempt had a connection to release: the one close is the retry's.
    EXPECT_EQ(hosted::call_count(qor::SYS_TCP_CLOSE), 1);
    // An invalid URL is never retried.
    f = fetch("https://closed.test:0/x");
    EXPECT_EQ(f.result, -1);
    EXPECT_EQ(f.output, "install: invalid URL: https://closed.test:0/x\n");
}

}  // namespace
