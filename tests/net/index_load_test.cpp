// Index loading from the local copy, and the silent or announced fall-back
// to the network index (here refused at once: nothing listens at the address
// the hosts file gives the index host).
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "hosted.h"
#include "http_url.h"
#include "index_load.h"
#include "qor.h"
#include "test_machine.h"

namespace {

std::string index_text(const char* second_name = "world") {
    const std::string digest(64, 'a');
    return std::string("{\"packages\":[{\"name\":\"hello\",\"version\":\"1\",\"url\":\"http://h/hello\",\"sha256\":\"") +
           digest + "\"},{\"name\":\"" + second_name + "\",\"version\":\"2\",\"url\":\"http://h/w\",\"sha256\":\"" +
           digest + "\"}]}";
}

class IndexLoad : public ::testing::Test {
protected:
    void SetUp() override {
        http_url u{};
        ASSERT_EQ(pkg_http_parse_url(index_default_url(), &u), 0);
        host_ = u.host;
        qortest::write_host_file(machine_.dir() + "/hosts", host_ + " 127.0.64.1\n");
        hosted::call_counts_reset();
    }
    void write_local(const std::string& text) { qortest::write_host_file(machine_.media("cache/index.json"), text); }

    int load(std::string* output) {
        hosted::capture_begin();
        int r = index_fetch_and_parse(index_.get());
        *output = hosted::capture_end();
        return r;
    }

    // What a refused network fetch prints last.
    std::string network_failed() const {
        return std::string("install: failed to fetch package index from ") + index_default_url() + "\n";
    }
    bool ends_with(const std::string& s, const std::string& tail) const {
        return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
    }

    qortest::temp_machine machine_;
    std::unique_ptr<package_index> index_ = std::make_unique<package_index>();
    std::string host_;
};

TEST_F(IndexLoad, ValidLocalCopyNeedsNoNetworkAndSaysNothing) {
    write_local(index_text());
    std::string out;
    ASSERT_EQ(load(&out), 0);
    EXPECT_EQ(out, "");
    EXPECT_EQ(index_->count, 2);
    EXPECT_EQ(hosted::call_count(qor::SYS_NET_RESOLVE) + hosted::call_count(qor::SYS_TCP_CONNECT), 0);
}

TEST_F(IndexLoad, LocalSizeLimitIsExact) {
    std::string text = index_text();
    write_local(text + std::string(IDX_INDEX_MAX_BYTES - text.size(), ' '));
    std::string out;
    ASSERT_EQ(load(&out), 0);
    EXPECT_EQ(out, "");

    // One byte more: the network is tried without a word about the local copy.
    write_local(text + std::string(IDX_INDEX_MAX_BYTES - text.size() + 1, ' '));
    ASSERT_EQ(load(&out), -1);
    EXPECT_EQ(out.find("local index"), std::string::npos) << out;
    EXPECT_EQ(out.rfind("install: TCP connect failed for " + host_, 0), 0u) << out;
    EXPECT_TRUE(ends_with(out, network_failed())) << out;

    char* buf = nullptr;
    uint32_t len = 0;
    EXPECT_EQ(idx_read_file_to_buffer(&buf, &len), -1);
    EXPECT_EQ(buf, nullptr);
}

TEST_F(IndexLoad, MissingLocalCopyGoesToTheNetworkSilently) {
    std::string out;
    ASSERT_EQ(load(&out), -1);
    EXPECT_EQ(out.rfind("install: TCP connect failed for " + host_, 0), 0u) << out;
    EXPECT_TRUE(ends_with(out, network_failed())) << out;
}

TEST_F(IndexLoad, UnparsableLocalCopyIsReportedThenTheNetworkTried) {
    struct bad_local {
        std::string text;
        std::string first_line;
    };
    const bad_local cases[] = {
        {index_text("hello"), "install: duplicate package name in index: hello\n"},
        {"", "install: local index is empty\n"},
    };
    for (const bad_local& c : cases) {
        SCOPED_TRACE(c.first_line);
        write_local(c.text);
        std::string out;
        ASSERT_EQ(load(&out), -1);
        EXPECT_EQ(out.rfind(c.first_line, 0), 0u) << out;
        size_t fallback = out.find("install: falling back to network index\n");
        ASSERT_NE(fallback, std::string::npos) << out;
        EXPECT_LT(out.find("local index"), fallback);
        EXPECT_NE(out.find("install: TCP connect failed", fallback), std::string::npos) << out;
        EXPECT_TRUE(ends_with(out, network_failed())) << out;
    }
}

TEST_F(IndexLoad, ReadsTheWholeLocalFileWithATerminatingNul) {
    const std::string text = index_text() + std::string(5000, '\n');
    write_local(text);
    char* buf = nullptr;
    uint32_t len = 0;
    ASSERT_EQ(idx_read_file_to_buffer(&buf, &len), 0);
    EXPECT_EQ(std::string(buf, len), text);
    EXPECT_EQ(buf[len], '\0');
    free(buf);
}

}  // namespace
