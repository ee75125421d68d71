// SHA-256 against FIPS 180-4 examples, the NIST byte-oriented vectors
// (short, long, Monte Carlo) and sha256sum, fed whole, byte by byte and
// split at every offset; every case runs on the portable compression and,
// where the processor has them, on the SHA instructions.
#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "pkg_test_util.h"
#include "sha256.h"
#include "test_machine.h"

namespace {

// Digest of `parts` fed in order, as lower-case hex.
std::string digest_of(const std::vector<std::string>& parts) {
    pkg_sha256_ctx ctx;
    pkg_sha256_init(&ctx);
    for (const std::string& p : parts) pkg_sha256_update(&ctx, p.data(), p.size());
    char hex[PKG_SHA256_HEX_SIZE];
    pkg_sha256_final_hex(&ctx, hex);
    return hex;
}

std::string digest_of(const std::string& message) { return digest_of(std::vector<std::string>{message}); }

// `message` cut into pieces of `size` bytes (the last one shorter).
std::vector<std::string> chunks(const std::string& message, size_t size) {
    std::vector<std::string> out;
    for (size_t i = 0; i < message.size(); i += size) out.push_back(message.substr(i, size));
    return out;
}

struct nist_vector {
    std::string message;
    std::string digest;
};

// Reads the "Len = / Msg = / MD =" records of a NIST .rsp file.
std::vector<nist_vector> read_rsp(const std::string& name) {
    std::istringstream in(pkgtest::corpus_file("sha256/" + name));
    std::vector<nist_vector> out;
    std::string line;
    size_t bits = 0;
    std::string message;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.rfind("Len = ", 0) == 0) bits = std::stoul(line.substr(6));
        if (line.rfind("Msg = ", 0) == 0) message = pkgtest::from_hex(line.substr(6)).substr(0, bits / 8);
        if (line.rfind("MD = ", 0) == 0) out.push_back({message, line.substr(5)});
    }
    return out;
}

enum class engine { portable, sha_instructions };

void PrintTo(engine e, std::ostream* os) { *os << (e == engine::portable ? "portable" : "sha_instructions"); }

class Sha256 : public ::testing::TestWithParam<engine> {
protected:
    void SetUp() override {
        if (GetParam() == engine::sha_instructions && !pkg_sha256_has_sha_instructions())
            GTEST_SKIP() << "this processor has no SHA instructions";
        pkg_sha256_force_portable(GetParam() == engine::portable ? 1 : 0);
        ASSERT_EQ(pkg_sha256_uses_sha_instructions(), GetParam() == engine::sha_instructions ? 1 : 0);
    }
    void TearDown() override { pkg_sha256_force_portable(0); }
};

INSTANTIATE_TEST_SUITE_P(Engines, Sha256, ::testing::Values(engine::portable, engine::sha_instructions),
                         [](const ::testing::TestParamInfo<engine>& param) {
                             return param.param == engine::portable ? "portable" : "sha_instructions";
                         });

TEST_P(Sha256, Fips180Examples) {
    EXPECT_EQ(digest_of(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(digest_of("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(digest_of("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(digest_of(chunks(std::string(1000000, 'a'), 4096)),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

// The short vectors cover every length from 0 to 64 bytes, the padding
// boundaries at 55/56 and 64 included; each is fed whole, byte by byte and
// split at every offset.
TEST_P(Sha256, NistShortMessagesAtEverySplit) {
    std::vector<nist_vector> vectors = read_rsp("SHA256ShortMsg.rsp");
    ASSERT_EQ(vectors.size(), 65u);
    for (const nist_vector& v : vectors) {
        SCOPED_TRACE("length " + std::to_string(v.message.size()));
        EXPECT_EQ(digest_of(v.message), v.digest);
        EXPECT_EQ(digest_of(chunks(v.message, 1)), v.digest);
        for (size_t cut = 0; cut <= v.message.size(); cut++)
            EXPECT_EQ(digest_of({v.message.substr(0, cut), v.message.substr(cut)}), v.digest) << "cut at " << cut;
    }
}

TEST_P(Sha256, PartialBlockStaysInTheContext) {
    // 64 bytes are compressed during update; 55 wait for the final block.
    for (size_t len : {55u, 56u, 63u, 64u, 65u}) {
        pkg_sha256_ctx ctx;
        pkg_sha256_init(&ctx);
        std::string m(len, 'q');
        pkg_sha256_update(&ctx, m.data(), m.size());
        EXPECT_EQ(ctx.block_len, len % 64);
        EXPECT_EQ(ctx.total_len, len);
        pkg_sha256_update(&ctx, nullptr, 0);
        EXPECT_EQ(ctx.total_len, len);
    }
}

TEST_P(Sha256, NistLongMessages) {
    std::vector<nist_vector> vectors = read_rsp("SHA256LongMsg.rsp");
    ASSERT_EQ(vectors.size(), 64u);
    for (const nist_vector& v : vectors) {
        EXPECT_EQ(digest_of(v.message), v.digest);
        EXPECT_EQ(digest_of(chunks(v.message, 1024)), v.digest);
    }
}

// NIST's Monte Carlo test: each checkpoint is the 1003rd digest of a chain
// in which every message is the three previous digests.
TEST_P(Sha256, NistMonteCarlo) {
    std::istringstream in(pkgtest::corpus_file("sha256/SHA256Monte.rsp"));
    std::string line, seed;
    std::vector<std::string> checkpoints;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.rfind("Seed = ", 0) == 0) seed = pkgtest::from_hex(line.substr(7));
        if (line.rfind("MD = ", 0) == 0) checkpoints.push_back(line.substr(5));
    }
    ASSERT_EQ(checkpoints.size(), 100u);
    for (const std::string& expected : checkpoints) {
        std::string md[3] = {seed, seed, seed};
        std::string last;
        for (int i = 3; i < 1003; i++) {
            last = digest_of({md[0], md[1], md[2]});
            md[0] = md[1];
            md[1] = md[2];
            md[2] = pkgtest::from_hex(last);
        }
        ASSERT_EQ(last, expected);
        seed = md[2];
    }
}

TEST_P(Sha256, ChunkingDoesNotChangeTheDigest) {
    std::mt19937 rng(7);
    std::string message(5000, '\0');
    for (char& ch : message) ch = static_cast<char>(rng());
    std::string first = message.substr(0, 1000);
    EXPECT_EQ(digest_of(chunks(first, 1)), digest_of(first));
    EXPECT_EQ(digest_of(chunks(message, 1024)), digest_of(message));  // cache reads, short last one
    std::vector<std::string> uneven;
    for (size_t at = 0; at < message.size();) {
        size_t n = rng() % 200;
        uneven.push_back(message.substr(at, n));
        at += n;
    }
    EXPECT_EQ(digest_of(uneven), digest_of(message));
}

TEST_P(Sha256, AgreesWithSha256sumOnLargeRandomFiles) {
    qortest::temp_dir dir("sha256");
    std::mt19937_64 rng(2026);
    std::string command = "cd " + dir.path() + " && sha256sum";
    std::vector<std::string> expected;
    for (size_t size : {size_t{1} << 20, (size_t{3} << 20) + 13, size_t{65535}}) {
        std::string data(size, '\0');
        for (char& ch : data) ch = static_cast<char>(rng());
        std::string name = "f" + std::to_string(size);
        qortest::write_host_file(dir.path() + "/" + name, data);
        command += " " + name;
        expected.push_back(digest_of(chunks(data, 1024)) + "  " + name);
    }
    std::string printed;
    ASSERT_EQ(qortest::run_command(command, &printed), 0);
    std::istringstream lines(printed);
    for (const std::string& want : expected) {
        std::string got;
        std::getline(lines, got);
        EXPECT_EQ(got, want);
    }
}

TEST(Sha256Text, MatchIgnoresCaseAndNeedsSixtyFourCharacters) {
    const std::string lower = digest_of("abc");
    std::string upper = lower;
    for (char& ch : upper) ch = static_cast<char>(toupper(ch));
    struct match_case {
        std::string expected;
        std::string computed;
        int result;
    };
    const match_case cases[] = {
        {upper, lower, 1},
        {lower, lower, 1},
        {lower.substr(0, 63), lower.substr(0, 63), 0},
        {lower + "0", lower, 0},
        {"", "", 0},
        {std::string(64, 'z'), std::string(64, 'Z'), 1},  // not checked for being hexadecimal
        {lower.substr(0, 63) + "0", lower, 0},
    };
    for (const match_case& k : cases) EXPECT_EQ(pkg_sha256_match_ci(k.expected.c_str(), k.computed.c_str()), k.result) << k.expected;
    EXPECT_EQ(pkg_sha256_match_ci(nullptr, lower.c_str()), 0);
}

}  // namespace
