// Downloads and index loading from nginx over HTTP and HTTPS: a file of
// several megabytes, verified against sha256sum, directly and through an
// nginx redirect.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include <unistd.h>

#include "download.h"
#include "hosted.h"
#include "http_url.h"
#include "index_load.h"
#include "net_peers.h"
#include "test_machine.h"

namespace {

constexpr const char* NGINX_ADDRESS = "127.0.63.1";
constexpr size_t BIG_SIZE = 6 * 1024 * 1024 + 12345;

// Bytes no compressor or pattern shortcut could fake: xorshift64 output.
std::string big_bytes(size_t n) {
    std::string s(n, '\0');
    uint64_t x = 0x9E3779B97F4A7C15ull;
    for (size_t i = 0; i < n; ++i) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        s[i] = static_cast<char>(x >> 56);
    }
    return s;
}

class Nginx : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new qortest::temp_dir("nginx");
        std::string root = dir_->path() + "/root";
        qortest::write_host_file(root + "/pool/big.bin", big_bytes(BIG_SIZE));
        digest_ = nettest::sha256sum_of_file(root + "/pool/big.bin");
        qortest::write_host_file(root + "/index.json",
                                 "{\"packages\":{\"big\":{\"version\":\"1\",\"url\":\"https://repo.test/pool/big.bin\","
                                 "\"sha256\":\"" + digest_ + "\"}}}");
        cert_ = nettest::make_certificate(dir_->path());
        peer_ = new nettest::nginx_peer(NGINX_ADDRESS, root, cert_, dir_->path());
    }
    static void TearDownTestSuite() {
        delete peer_;
        delete dir_;
    }
    void SetUp() override {
        ASSERT_TRUE(peer_->ok()) << "nginx did not start:\n" << peer_->log();
        http_url u{};
        ASSERT_EQ(pkg_http_parse_url(index_default_url(), &u), 0);
        nettest::write_hosts(machine_.dir(),
                             std::string("repo.test ") + NGINX_ADDRESS + "\n" + u.host + " " + NGINX_ADDRESS + "\n");
    }

    qortest::temp_machine machine_;
    static qortest::temp_dir* dir_;
    static std::string digest_;
    static nettest::certificate cert_;
    static nettest::nginx_peer* peer_;
};

qortest::temp_dir* Nginx::dir_ = nullptr;
std::string Nginx::digest_;
nettest::certificate Nginx::cert_;
nettest::nginx_peer* Nginx::peer_ = nullptr;

TEST_F(Nginx, VerifiedDownloadsOverHttpAndHttps) {
    std::string upper = digest_;
    for (char& ch : upper) ch = static_cast<char>(toupper(static_cast<unsigned char>(ch)));
    struct source {
        const char* url;
        const std::string& digest;
    };
    const source sources[] = {
        {"http://repo.test/pool/big.bin", digest_},
        {"https://repo.test/pool/big.bin", upper},
        {"http://repo.test/redirect/pool/big.bin", digest_},
        {"https://repo.test/redirect/pool/big.bin", upper},
    };
    for (const source& s : sources) {
        SCOPED_TRACE(s.url);
        package_entry e{};
        strcpy(e.name, "big");
        strcpy(e.url, s.url);
        strcpy(e.sha256, s.digest.c_str());
        uint32_t count = 0;
        hosted::capture_begin();
        int r = pkg_download_verified_to_path(&e, "/big.bin", &count);
        std::string out = hosted::capture_end();
        ASSERT_EQ(r, 0) << out << peer_->log();
        EXPECT_EQ(out, "");
        EXPECT_EQ(count, BIG_SIZE);
        EXPECT_EQ(nettest::sha256sum_of_file(machine_.media("big.bin")), digest_);
        ASSERT_EQ(unlink(machine_.media("big.bin").c_str()), 0);
    }
}

TEST_F(Nginx, BufferedDownloadOverHttps) {
    char* buf = nullptr;
    uint32_t len = 0;
    ASSERT_EQ(package_download_url_to_buffer("https://repo.test/pool/big.bin", &buf, &len, 0), 0);
    EXPECT_EQ(len, BIG_SIZE);
    EXPECT_TRUE(std::string(buf, len) == big_bytes(BIG_SIZE));
    free(buf);
    hosted::capture_begin();
    EXPECT_EQ(package_download_url_to_buffer("https://repo.test/pool/big.bin", &buf, &len, 1024 * 1024), -1);
    EXPECT_EQ(hosted::capture_end(), "install: download exceeded max allowed size\ninstall: body write failed\n");
}

TEST_F(Nginx, IndexComesFromTheNetworkWhenTheLocalCopyFails) {
    auto index = std::make_unique<package_index>();
    hosted::capture_begin();
    ASSERT_EQ(index_fetch_and_parse(index.get()), 0) << hosted::capture_end();
    EXPECT_EQ(hosted::capture_end(), "");
    ASSERT_EQ(index->count, 1);
    EXPECT_STREQ(index->packages[0].name, "big");
    EXPECT_EQ(std::string(index->packages[0].sha256), digest_);

    qortest::write_host_file(machine_.media("cache/index.json"), "[]");
    hosted::capture_begin();
    ASSERT_EQ(index_fetch_and_parse(index.get()), 0);
    std::string out = hosted::capture_end();
    EXPECT_NE(out.find("local index"), std::string::npos) << out;
    EXPECT_TRUE(out.size() > 39 && out.substr(out.size() - 39) == "install: falling back to network index\n") << out;
    EXPECT_EQ(index->count, 1);

    // The index's own entry downloads and verifies.
    hosted::capture_begin();
    EXPECT_EQ(pkg_download_verified_to_path(&index->packages[0], "/big.bin", nullptr), 0) << hosted::capture_end();
    hosted::capture_end();
}

}  // namespace
