// Index trust without a network peer: the serial an index names and the two
// slots the drive keeps it in, the repositories file and relative URLs, the
// signature check with keys made by openssl, and the local index on a drive
// with keys (refused when tampered, older or unsigned; the kept serial
// raised only by a verified index, and safe against a failed or cut write).
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "hosted.h"
#include "http_url.h"
#include "index_load.h"
#include "index_signature.h"
#include "index_trust.h"
#include "net_peers.h"
#include "qor_calls.h"
#include "repositories.h"
#include "test_machine.h"

namespace {

TEST(IndexSerial, OnlyANonNegativeIntegerAtTheRootCounts) {
    struct serial_case {
        const char* text;
        int result;
        uint64_t serial;
    };
    const serial_case cases[] = {
        {"{\"serial\": 42, \"packages\": []}", 1, 42},
        {"\xEF\xBB\xBF {\"packages\": [], \"serial\":0}", 1, 0},
        {"{\"serial\": 18446744073709551615}", 1, UINT64_MAX},
        {"{\"packages\": [{\"serial\": 9}]}", 0, 0},
        {"[{\"name\": \"a\"}]", 0, 0},
        {"{\"serial\": 18446744073709551616}", -1, 0},
        {"{\"serial\": -1}", -1, 0},
        {"{\"serial\": 1.5}", -1, 0},
        {"{\"serial\": 1e3}", -1, 0},
        {"{\"serial\": 012}", -1, 0},
        {"{\"serial\": \"12\"}", -1, 0},
        {"{\"serial\": 1, \"serial\": 2}", -1, 0},
        {"{\"serial\": 1", -1, 0},
        {"", -1, 0},
    };
    for (const serial_case& c : cases) {
        SCOPED_TRACE(c.text);
        uint64_t serial = 0;
        EXPECT_EQ(idx_index_serial(c.text, static_cast<uint32_t>(strlen(c.text)), &serial), c.result);
        if (c.result == 1) {
            EXPECT_EQ(serial, c.serial);
        }
    }
}

TEST(SerialSlots, TheHigherSlotThatChecksWins) {
    char a[128], b[128];
    uint32_t a_len = idx_serial_slot_text(7, a, sizeof a);
    uint32_t b_len = idx_serial_slot_text(12, b, sizeof b);
    ASSERT_GT(a_len, 0u);
    uint64_t serial = 0;
    ASSERT_EQ(idx_serial_from_slots(a, a_len, b, b_len, &serial), 1);
    EXPECT_EQ(serial, 12u);
    // A slot cut short anywhere, or with one digit changed, does not check.
    for (uint32_t cut = 0; cut < b_len; ++cut) {
        ASSERT_EQ(idx_serial_from_slots(a, a_len, b, cut, &serial), 1) << cut;
        EXPECT_EQ(serial, 7u) << cut;
    }
    std::string forged(b, b_len);
    forged[strlen("qor-serial ")] = '9';
    ASSERT_EQ(idx_serial_from_slots(nullptr, 0, forged.data(), static_cast<uint32_t>(forged.size()), &serial), 0);
}

TEST(Repositories, ListLinesAndRelativeUrls) {
    std::string text =
        "# mirrors\n  http://one.test/index.json  \n\nhttps://two.test/a/index.json # the second\r\n"
        "http://bad url\n" + std::string("http://") + std::string(300, 'x') + "\n";
    for (int i = 0; i < 20; ++i) text += "http://m" + std::to_string(i) + ".test/index.json\n";
    static repo_list list;
    std::string out;
    qortest::run_captured(&out, [&] {
        repo_parse_list(text.data(), static_cast<uint32_t>(text.size()), &list);
        return 0;
    });
    ASSERT_EQ(list.count, REPO_MAX);
    EXPECT_STREQ(list.urls[0], "http://one.test/index.json");
    EXPECT_STREQ(list.urls[1], "https://two.test/a/index.json");
    EXPECT_STREQ(list.urls[2], "http://m0.test/index.json");
    EXPECT_NE(out.find("install: /cache/repositories line 5: blank inside a URL; line passed over\n"), std::string::npos);
    EXPECT_NE(out.find("line 6: URL too long"), std::string::npos) << out;
    EXPECT_NE(out.find("line 21: more than 16 repositories"), std::string::npos) << out;

    const std::string too_long(260, 'a');
    struct url_case {
        const char* index;
        const char* url;
        const char* resolved;  // nullptr: refused
    };
    const url_case urls[] = {
        {"http://m.test/repo/index.json", "pool/a.tar.gz", "http://m.test/repo/pool/a.tar.gz"},
        {"https://m.test:8443/index.json", "a.tgz", "https://m.test:8443/a.tgz"},
        {"http://m.test/repo/index.json", "/other/a.tar", "http://m.test/other/a.tar"},
        {"not a url", "a.tar", nullptr},
        {"http://m.test/index.json", too_long.c_str(), nullptr},
    };
    for (const url_case& c : urls) {
        SCOPED_TRACE(c.url);
        char out_url[PKG_URL_SIZE];
        int r = repo_resolve_url(c.index, c.url, out_url);
        if (!c.resolved) {
            EXPECT_EQ(r, -1);
        } else {
            ASSERT_EQ(r, 0);
            EXPECT_STREQ(out_url, c.resolved);
        }
    }
    EXPECT_EQ(repo_url_is_relative("pool/a.tar.gz"), 1);
    EXPECT_EQ(repo_url_is_relative("http://x/a.tar.gz"), 0);
    EXPECT_EQ(repo_url_is_relative("https://x/a.tar.gz"), 0);
}

// Two key pairs made by openssl for the suite, and signatures by them.
class Signatures : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = std::make_unique<qortest::temp_dir>("trust-keys");
        keys_["a"] = nettest::make_signing_key(dir_->path(), "a");
        keys_["b"] = nettest::make_signing_key(dir_->path(), "b");
    }
    static void TearDownTestSuite() { dir_.reset(); }

    static std::string pub(const char* name) { return qortest::read_host_file(keys_[name].pub); }
    static std::string key_name(const char* name) { return nettest::signing_key_name(keys_[name]); }
    static std::string sign(const char* name, const std::string& text) {
        return nettest::sign_bytes(keys_[name], text);
    }
    static idx_signature_result verify(const std::string& keys, const std::string& text, const std::string& sig,
                                       std::string* signer = nullptr, int32_t* unusable = nullptr) {
        char name[IDX_KEY_NAME_SIZE] = "";
        idx_signature_result r = idx_signature_verify(
            keys.data(), static_cast<uint32_t>(keys.size()), reinterpret_cast<const uint8_t*>(text.data()),
            static_cast<uint32_t>(text.size()), reinterpret_cast<const uint8_t*>(sig.data()),
            static_cast<uint32_t>(sig.size()), name, unusable);
        if (signer) *signer = name;
        return r;
    }

    static inline std::unique_ptr<qortest::temp_dir> dir_;
    static inline std::map<std::string, nettest::signing_key> keys_;
};

TEST_F(Signatures, OnlyAHeldKeyVerifiesTheExactBytes) {
    const std::string text = "{\"serial\": 3, \"packages\": []}\n";
    const std::string sig = sign("a", text);
    std::string signer;
    EXPECT_EQ(verify(pub("a"), text, sig, &signer), IDX_SIGNATURE_VERIFIED);
    EXPECT_EQ(signer, key_name("a"));

    std::string changed = text;
    changed[11] = '4';
    std::string flipped = sig;
    flipped[sig.size() / 2] ^= 0x01;
    const std::vector<std::pair<std::string, std::string>> refused = {
        {changed, sig},
        {text + " ", sig},
        {text, sig.substr(0, sig.size() - 1)},
        {text, ""},
        {text, flipped},
        {text, std::string(72, 'x')},
        {text, sig + std::string(1, '\0')},
        {text, std::string(IDX_SIGNATURE_MAX_BYTES + 1, '\0')},
    };
    for (const auto& [t, s] : refused) EXPECT_EQ(verify(pub("a"), t, s), IDX_SIGNATURE_INVALID);
    EXPECT_EQ(verify(pub("b"), text, sig), IDX_SIGNATURE_INVALID);

    // Several keys: a broken block and a key that does not fit are passed
    // over and counted, the right one still verifies.
    const std::string keys = "# keys\n-----BEGIN PUBLIC KEY-----\nnot base64\n-----END PUBLIC KEY-----\n" + pub("b") +
                             pub("a");
    int32_t unusable = 0;
    EXPECT_EQ(verify(keys, text, sig, &signer, &unusable), IDX_SIGNATURE_VERIFIED);
    EXPECT_EQ(unusable, 1);
    EXPECT_EQ(signer, key_name("a"));
    EXPECT_EQ(verify("no keys here", text, sig), IDX_SIGNATURE_NO_KEYS);
    EXPECT_EQ(verify("", text, sig), IDX_SIGNATURE_NO_KEYS);
}

// The local index on a drive (the media drive here) with keys: the network
// fall-back is refused at once, as in the index loading tests.
class LocalTrust : public Signatures {
protected:
    void SetUp() override {
        http_url u{};
        ASSERT_EQ(pkg_http_parse_url(index_default_url(), &u), 0);
        qortest::write_host_file(machine_.dir() + "/hosts", std::string(u.host) + " 127.0.64.1\n");
    }
    static std::string index_text(int serial) {
        return "{\"serial\": " + std::to_string(serial) +
               ", \"packages\": [{\"name\": \"hello\", \"version\": \"1\", \"url\": \"pool/hello.tar.gz\", "
               "\"sha256\": \"" +
               std::string(64, 'a') + "\"}]}\n";
    }
    void put(const std::string& rel, const std::string& bytes) const {
        qortest::write_host_file(machine_.media(rel), bytes);
    }
    void put_signed(int serial, const char* key = "a") const {
        const std::string text = index_text(serial);
        put("cache/index.json", text);
        put("cache/index.json.sig", sign(key, text));
    }
    std::string slot(const char* name) const {
        const std::string path = machine_.media(std::string("cache/") + name);
        return qortest::host_path_exists(path) ? qortest::read_host_file(path) : "";
    }
    static std::string slot_text(uint64_t serial) {
        char text[128];
        return std::string(text, idx_serial_slot_text(serial, text, sizeof text));
    }
    int load(std::string* out) {
        return qortest::run_captured(out, [&] { return index_fetch_and_parse(index_.get()); });
    }
    std::string refused(const std::string& line) const {
        return line + "install: falling back to network index\n";
    }

    qortest::temp_machine machine_;
    std::unique_ptr<package_index> index_ = std::make_unique<package_index>();
};

TEST_F(LocalTrust, WithoutKeysNothingChanges) {
    put("cache/index.json", index_text(5));
    std::string out;
    ASSERT_EQ(load(&out), 0);
    EXPECT_EQ(out, "");
    EXPECT_EQ(slot("serial.a") + slot("serial.b"), "");
    EXPECT_STREQ(index_loaded_origin()->source, "/cache/index.json");
    EXPECT_STREQ(index_loaded_origin()->signer, "");
    EXPECT_EQ(index_loaded_origin()->serial, 5u);
}

TEST_F(LocalTrust, SignedIndexIsUsedAndItsSerialKept) {
    put("cache/trusted-keys.pem", pub("b") + pub("a"));
    put_signed(5);
    std::string out;
    ASSERT_EQ(load(&out), 0) << out;
    EXPECT_EQ(out, "");
    EXPECT_EQ(index_loaded_origin()->signer, key_name("a"));
    EXPECT_EQ(slot("serial.a"), slot_text(5));
    EXPECT_EQ(slot("serial.b"), "");

    // An equal serial is accepted and writes nothing; a higher one goes to
    // the other slot, so the first still holds 5 while it is written.
    ASSERT_EQ(load(&out), 0) << out;
    EXPECT_EQ(slot("serial.b"), "");
    put_signed(9);
    ASSERT_EQ(load(&out), 0) << out;
    EXPECT_EQ(slot("serial.a"), slot_text(5));
    EXPECT_EQ(slot("serial.b"), slot_text(9));
}

TEST_F(LocalTrust, RefusedIndexesFallBackToTheNetworkAndKeepTheSerial) {
    put("cache/trusted-keys.pem", pub("a"));
    put("cache/serial.a", slot_text(7));
    const std::string good = index_text(7);
    const std::string sig = sign("a", good);
    std::string changed = good;
    changed[changed.find("hello")] = 'j';
    struct refusal {
        const char* what;
        std::string text;
        std::string sig;  // "-" for no signature file
        std::string line;
    };
    const std::string invalid = "install: index signature invalid: /cache/index.json\n";
    const std::vector<refusal> cases = {
        {"byte changed", changed, sig, invalid},
        {"older", index_text(6), sign("a", index_text(6)),
         "install: index serial 6 is older than 7 already trusted: /cache/index.json\n"},
        {"other key", good, sign("b", good), invalid},
        {"no signature", good, "-", "install: index signature missing: /cache/index.json\n"},
        {"truncated", good, sig.substr(0, 20), invalid},
        {"empty", good, "", invalid},
        {"oversized", good, std::string(1024 * 1024, 'x'), invalid},
        {"garbage", good, "garbage signature bytes", invalid},
        {"bad serial", "{\"serial\": -3, \"packages\": []}", sign("a", "{\"serial\": -3, \"packages\": []}"),
         "install: index serial invalid: /cache/index.json\n"},
    };
    for (const refusal& c : cases) {
        SCOPED_TRACE(c.what);
        put("cache/index.json", c.text);
        qortest::run_command("rm -f " + machine_.media("cache/index.json.sig"));
        if (c.sig != "-") put("cache/index.json.sig", c.sig);
        std::string out;
        EXPECT_EQ(load(&out), -1);
        EXPECT_EQ(out.rfind(refused(c.line), 0), 0u) << out;
        EXPECT_EQ(slot("serial.a"), slot_text(7));
        EXPECT_EQ(slot("serial.b"), "");
    }
}

TEST_F(LocalTrust, AKeysFileThatCannotBeReadRefusesEveryIndex) {
    put_signed(5);
    struct unreadable {
        const char* what;
        std::string keys;
        bool open_fails;
    };
    const unreadable cases[] = {
        {"too large", pub("a") + std::string(IDX_KEYS_MAX_BYTES, '#'), false},
        {"does not open", pub("a"), true},
    };
    for (const unreadable& c : cases) {
        SCOPED_TRACE(c.what);
        put("cache/trusted-keys.pem", c.keys);
        if (c.open_fails) hosted::fault_add(qor::SYS_OPEN, 1, -1);
        std::string out;
        EXPECT_EQ(load(&out), -1);
        hosted::faults_clear();
        EXPECT_EQ(out.rfind("install: cannot read /cache/trusted-keys.pem (a file of at most 16383 bytes); no index "
                            "can be verified\ninstall: no usable key in /cache/trusted-keys.pem; index refused: "
                            "/cache/index.json\ninstall: falling back to network index\n",
                            0),
                  0u)
            << out;
        EXPECT_EQ(slot("serial.a"), "");
    }
}

TEST_F(LocalTrust, AFailedOrCutSerialWriteLeavesTheOldValueAndIsMendedNextTime) {
    put("cache/trusted-keys.pem", pub("a"));
    put("cache/serial.a", slot_text(4));
    put("cache/serial.b", slot_text(7));
    put_signed(8);
    std::string out;
    hosted::fault_add(qor::SYS_WRITEFILE, 1, -1);
    ASSERT_EQ(load(&out), -1);  // a serial that cannot be kept cannot refuse a rollback later
    hosted::faults_clear();
    EXPECT_EQ(out.rfind(refused("install: failed to record index serial 8 in /cache/serial.a; index not used\n"), 0),
              0u)
        << out;
    EXPECT_EQ(slot("serial.a"), slot_text(4));
    EXPECT_EQ(slot("serial.b"), slot_text(7));

    // A write that stopped part-way leaves a slot that does not check: the
    // other one's 7 still stands, and the next serial goes into the spoiled one.
    put("cache/serial.a", slot_text(8).substr(0, 20));
    put_signed(6);
    ASSERT_EQ(load(&out), -1);
    EXPECT_NE(out.find("install: index serial 6 is older than 7 already trusted"), std::string::npos) << out;
    put_signed(8);
    ASSERT_EQ(load(&out), 0) << out;
    EXPECT_EQ(slot("serial.a"), slot_text(8));
    EXPECT_EQ(slot("serial.b"), slot_text(7));
}

}  // namespace
