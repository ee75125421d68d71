// Verified and buffered downloads against the scripted peer: size limits,
// failed transfers, digests, and what is left on disk afterwards.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "download.h"
#include "hosted.h"
#include "net_peers.h"
#include "test_machine.h"

namespace {

constexpr char PEER_ADDRESS[] = "127.0.62.2";
constexpr char PEER_NAME[] = "dl.test";

class Downloads : public nettest::scripted_peer_suite<PEER_ADDRESS, PEER_NAME> {
protected:
    static package_entry entry(const std::string& url, const std::string& digest) {
        package_entry e{};
        strcpy(e.name, "demo");
        strcpy(e.url, url.c_str());
        strcpy(e.sha256, digest.c_str());
        return e;
    }

    // Downloads into "/demo.bin" on the media; the result and what it printed.
    int verified(const package_entry& e, std::string* output, uint32_t* count = nullptr) {
        hosted::capture_begin();
        int r = pkg_download_verified_to_path(&e, "/demo.bin", count);
        *output = hosted::capture_end();
        return r;
    }
    std::string target() const { return machine_.media("demo.bin"); }

    struct buffered {
        int result;
        std::string body;
        bool nul_after;
        std::string output;
    };
    static buffered to_buffer(const std::string& url, uint32_t max) {
        buffered b{};
        char* buf = nullptr;
        uint32_t len = 0;
        hosted::capture_begin();
        b.result = package_download_url_to_buffer(url.c_str(), &buf, &len, max);
        b.output = hosted::capture_end();
        if (b.result == 0) {
            b.body.assign(buf, len);
            b.nul_after = buf[len] == '\0';
            free(buf);
        }
        return b;
    }
};

TEST_F(Downloads, BufferHoldsUpToItsMaximumExactly) {
    struct limit_case {
        std::string url;
        uint32_t max;
        int result;
        size_t size;
    };
    const limit_case cases[] = {
        {"http://dl.test/data/100", 100, 0, 100},
        {"http://dl.test/data/101", 100, -1, 0},
        {"https://dl.test/data/40000", 40000, 0, 40000},
        {"https://dl.test/data/40001", 40000, -1, 0},
        {"http://dl.test/data/70000", 0, 0, 70000},
        {"http://dl.test/data/0", 0, 0, 0},
    };
    for (const limit_case& c : cases) {
        SCOPED_TRACE(c.url + " max " + std::to_string(c.max));
        buffered b = to_buffer(c.url, c.max);
        ASSERT_EQ(b.result, c.result) << b.output;
        if (c.result == 0) {
            EXPECT_EQ(b.body, nettest::script_pattern(c.size));
            EXPECT_TRUE(b.nul_after);
            EXPECT_EQ(b.output, "");
        } else {
            // Over the limit is final: no second HTTPS attempt appends a copy.
            EXPECT_EQ(b.output, "install: download exceeded max allowed size\ninstall: body write failed\n");
        }
    }
}

TEST_F(Downloads, VerifiedFileIsKeptOnlyWhenItsDigestMatches) {
    const std::string body = nettest::script_pattern(5000);
    const std::string digest = nettest::sha256sum_of(body);
    std::string upper = digest;
    for (char& ch : upper) ch = static_cast<char>(toupper(static_cast<unsigned char>(ch)));
    std::string out;
    uint32_t count = 0;

    ASSERT_EQ(verified(entry("http://dl.test/data/5000", upper), &out, &count), 0) << out;
    EXPECT_EQ(out, "");
    EXPECT_EQ(count, 5000u);
    EXPECT_EQ(qortest::read_host_file(target()), body);

    const std::string wrong(64, '0');
    const std::string short_digest = digest.substr(0, 63);
    for (const std::string& expected : {wrong, short_digest, digest + "0"}) {
        SCOPED_TRACE(expected);
        ASSERT_EQ(verified(entry("http://dl.test/data/5000", expected), &out), -1);
        EXPECT_EQ(out, "install: checksum mismatch for demo\ninstall: expected " + expected + "\ninstall: got      " +
                           digest + "\n");
        EXPECT_FALSE(qortest::host_path_exists(target()));
    }
}

TEST_F(Downloads, FailedTransferLeavesNoFile) {
    std::string out;
    qortest::write_host_file(target(), "old contents");
    ASSERT_EQ(verified(entry("http://dl.test/raw/closed-in-body", std::string(64, 'a')), &out), -1);
    EXPECT_EQ(out, "install: incomplete HTTP body\n");
    EXPECT_FALSE(qortest::host_path_exists(target()));

    ASSERT_EQ(verified(entry("https://dl.test/status/404", std::string(64, 'a')), &out), -1);
    EXPECT_FALSE(qortest::host_path_exists(target()));

    hosted::capture_begin();
    package_entry e = entry("http://dl.test/data/10", std::string(64, 'a'));
    EXPECT_EQ(pkg_download_verified_to_path(&e, "/no-such-dir/demo.bin", nullptr), -1);
    EXPECT_EQ(pkg_download_verified_to_path(nullptr, "/demo.bin", nullptr), -1);
    EXPECT_EQ(hosted::capture_end(), "install: failed to create /no-such-dir/demo.bin\n");
}

TEST_F(Downloads, HttpsRetryBeforeTheBodyStillVerifies) {
    std::string out;
    package_entry e = entry("https://dl.test/once/verified/close", nettest::sha256sum_of("second"));
    ASSERT_EQ(verified(e, &out), 0) << out;
    EXPECT_EQ(qortest::read_host_file(target()), "second");
}

}  // namespace
