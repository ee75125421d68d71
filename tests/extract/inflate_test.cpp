// The inflate reader against zlib's streams and against hand-made deflate
// bit strings for each way a stream can be wrong.
#include <gtest/gtest.h>

#include <memory>
#include <random>

#include "archive_reader.h"
#include "extract_fixtures.h"
#include "qor.h"

using namespace extract_test;

namespace {

std::string sample_content(size_t size, unsigned seed) {
    std::mt19937 rng(seed);
    std::string s;
    const char* words[] = {"tar ", "block ", "header ", "\n", "inflate ", "window ", "\0\0\0\0"};
    while (s.size() < size) {
        if (rng() % 4 == 0) {
            s += static_cast<char>(rng());
        } else {
            s += words[rng() % 7];
        }
    }
    s.resize(size);
    return s;
}

// Deflate bits: fields least significant bit first, Huffman codes most
// significant bit first.
struct bit_writer {
    std::string bytes;
    int used = 8;
    void put(uint32_t value, int count) {
        for (int i = 0; i < count; ++i) put_bit((value >> i) & 1);
    }
    void put_code(uint32_t code, int length) {
        for (int i = length - 1; i >= 0; --i) put_bit((code >> i) & 1);
    }
    void put_bit(uint32_t bit) {
        if (used == 8) {
            bytes += '\0';
            used = 0;
        }
        bytes.back() = static_cast<char>(bytes.back() | (bit << used++));
    }
};

// Fixed Huffman codes of RFC 1951 3.2.6.
void put_fixed_literal(bit_writer& w, int symbol) {
    if (symbol < 144) w.put_code(0x30 + symbol, 8);
    else if (symbol < 256) w.put_code(0x190 + symbol - 144, 9);
    else if (symbol < 280) w.put_code(symbol - 256, 7);
    else w.put_code(0xC0 + symbol - 280, 8);
}

// Canonical codes for `lengths` (RFC 1951 3.2.2).
std::vector<uint32_t> canonical_codes(const std::vector<int>& lengths) {
    int count[16] = {}, next[16] = {};
    for (int l : lengths) if (l) ++count[l];
    for (int bits = 1, code = 0; bits < 16; ++bits) next[bits] = code = (code + count[bits - 1]) << 1;
    std::vector<uint32_t> codes(lengths.size());
    for (size_t i = 0; i < lengths.size(); ++i) if (lengths[i]) codes[i] = static_cast<uint32_t>(next[lengths[i]]++);
    return codes;
}

// A final dynamic block header with a complete code-length code: symbols
// 0..12 get 4-bit codes 0..12, symbols 13..18 5-bit codes 26..31. The
// code-length symbols in `cl_symbols` (pairs of symbol and extra bits) follow.
void put_cl_symbol(bit_writer& w, int symbol) {
    if (symbol < 13) w.put_code(static_cast<uint32_t>(symbol), 4);
    else w.put_code(static_cast<uint32_t>(26 + symbol - 13), 5);
}

void put_dynamic_header(bit_writer& w, int hlit, int hdist, const std::vector<std::pair<int, int>>& cl_symbols) {
    static const int order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
    w.put(1, 1);
    w.put(2, 2);
    w.put(static_cast<uint32_t>(hlit), 5);
    w.put(static_cast<uint32_t>(hdist), 5);
    w.put(15, 4);
    for (int i = 0; i < 19; ++i) w.put(order[i] < 13 ? 4 : 5, 3);
    for (auto [symbol, extra] : cl_symbols) {
        put_cl_symbol(w, symbol);
        if (symbol == 16) w.put(static_cast<uint32_t>(extra), 2);
        if (symbol == 17) w.put(static_cast<uint32_t>(extra), 3);
        if (symbol == 18) w.put(static_cast<uint32_t>(extra), 7);
    }
}

// Code-length symbols that send `lengths` one by one.
std::vector<std::pair<int, int>> plain_lengths(const std::vector<int>& lengths) {
    std::vector<std::pair<int, int>> s;
    for (int l : lengths) s.push_back({l, 0});
    return s;
}

}  // namespace

TEST(InflateReader, MatchesZlibAtEveryLevelAndChunkSize) {
    const std::vector<std::string> contents = {"", "x", sample_content(1025, 1), sample_content(200000, 2),
                                               std::string(70000, 'z')};
    for (const std::string& content : contents) {
        for (int level : {0, 1, 6, 9}) {
            std::string gz = gzip_zlib(content, level);
            for (int32_t chunk : {1, 7, 512, 4096}) {
                if (chunk == 1 && content.size() > 2000) continue;  // slow and adds nothing
                read_outcome got = read_archive(gz, chunk);
                SCOPED_TRACE("size " + std::to_string(content.size()) + " level " + std::to_string(level) +
                             " chunk " + std::to_string(chunk));
                EXPECT_TRUE(got.content == content);
                EXPECT_EQ(got.last, 0);
                EXPECT_EQ(got.after_last, 0);
            }
        }
    }
}

TEST(InflateReader, PlainFilesAndGzipHeaderFields) {
    std::string content = sample_content(3000, 3);
    std::string raw = gzip_zlib(content, 6).substr(10);  // deflate data and trailer
    struct header_case {
        const char* name;
        std::string header;
        int open_result;
        bool header_only = false;  // no deflate data after the header
    };
    const std::string base("\x1f\x8b\x08", 3);
    const std::string rest("\0\0\0\0\0\x03", 6);
    const std::vector<header_case> cases = {
        {"no flags", base + '\0' + rest, ARCHIVE_OPEN_OK},
        {"FTEXT ignored", base + '\x01' + rest, ARCHIVE_OPEN_OK},
        {"all optional fields", base + '\x1e' + rest + std::string("\x03\0abc", 5) + "name.tar" + '\0' + "comment" + '\0' + "\xAA\xBB",
         ARCHIVE_OPEN_OK},
        {"method 7", std::string("\x1f\x8b\x07\0", 4) + rest, ARCHIVE_OPEN_BAD_GZIP},
        {"reserved flag", base + '\x20' + rest, ARCHIVE_OPEN_BAD_GZIP},
        {"name never ends", base + '\x08' + rest + "name", ARCHIVE_OPEN_BAD_GZIP, true},
    };
    for (const header_case& c : cases) {
        SCOPED_TRACE(c.name);
        int opened;
        read_outcome got = read_archive(c.header + (c.header_only ? "" : raw), 512, &opened);
        EXPECT_EQ(opened, c.open_result);
        if (c.open_result == ARCHIVE_OPEN_OK) {
            EXPECT_TRUE(got.content == content);
        }
    }
    for (size_t cut = 2; cut < 10; ++cut) {  // fixed header cut short
        int opened;
        read_archive((base + '\0' + rest).substr(0, cut), 512, &opened);
        EXPECT_EQ(opened, ARCHIVE_OPEN_BAD_GZIP) << cut;
    }
    for (const std::string& plain : {std::string(), std::string("\x1f"), std::string("\x1f\x8c plain text")}) {
        int opened;
        read_outcome got = read_archive(plain, 5, &opened);
        EXPECT_EQ(opened, ARCHIVE_OPEN_OK);
        EXPECT_EQ(got.content, plain);
        EXPECT_EQ(got.last, 0);
    }
}

TEST(InflateReader, TruncatedStreamsNeverEndCleanly) {
    std::string content = sample_content(5000, 4);
    std::string gz = gzip_zlib(content, 9);
    for (size_t cut = 10; cut < gz.size(); ++cut) {
        read_outcome got = read_archive(gz.substr(0, cut), 512);
        ASSERT_EQ(got.last, -1) << cut;
        ASSERT_EQ(got.after_last, -1) << cut;
        ASSERT_EQ(content.compare(0, got.content.size(), got.content), 0) << cut;
    }
}

TEST(InflateReader, HandMadeStreams) {
    struct stream_case {
        const char* name;
        std::string deflate;
        std::string expected;  // bytes delivered before the end
        int last;              // 0: clean end with a matching trailer; -1: failure
        bool valid_deflate;    // false where we accept what deflate forbids
    };
    std::vector<stream_case> cases;
    auto add = [&](const char* name, const bit_writer& w, const std::string& expected, int last,
                   bool valid_deflate = true) {
        cases.push_back({name, w.bytes, expected, last, valid_deflate});
    };
    {
        bit_writer w;  // BTYPE 3
        w.put(1, 1);
        w.put(3, 2);
        add("reserved block type", w, "", -1);
    }
    {
        bit_writer w;  // stored, LEN 0 and not final, then a final stored "hi"
        w.put(0, 3);
        w.put(0, 5);
        w.put(0x0000, 16);
        w.put(0xFFFF, 16);
        w.put(1, 3);
        w.put(0, 5);
        w.put(2, 16);
        w.put(0xFFFD, 16);
        w.put('h', 8);
        w.put('i', 8);
        add("empty stored block, then a stored block", w, "hi", 0);
    }
    {
        bit_writer w;  // final stored block of length 0 goes straight to the trailer
        w.put(1, 3);
        w.put(0, 5);
        w.put(0, 16);
        w.put(0xFFFF, 16);
        add("empty final stored block", w, "", 0);
    }
    {
        bit_writer w;
        w.put(1, 3);
        w.put(0, 5);
        w.put(5, 16);
        w.put(5, 16);
        add("stored LEN and NLEN disagree", w, "", -1);
    }
    {
        bit_writer w;  // 'x', then length 258 at distance 1
        w.put(1, 1);
        w.put(1, 2);
        put_fixed_literal(w, 'x');
        put_fixed_literal(w, 285);
        w.put_code(0, 5);
        put_fixed_literal(w, 256);
        add("distance 1, length 258", w, std::string(259, 'x'), 0);
    }
    {
        bit_writer w;  // a copy from before the start yields zero bytes
        w.put(1, 1);
        w.put(1, 2);
        put_fixed_literal(w, 257);
        w.put_code(3, 5);  // distance 4
        put_fixed_literal(w, 'a');
        put_fixed_literal(w, 256);
        add("copy reaching before the start", w, std::string(3, '\0') + "a", 0, false);
    }
    {
        bit_writer w;
        w.put(1, 1);
        w.put(1, 2);
        put_fixed_literal(w, 'a');
        put_fixed_literal(w, 286);
        add("literal/length symbol 286", w, "a", -1);
    }
    {
        bit_writer w;
        w.put(1, 1);
        w.put(1, 2);
        put_fixed_literal(w, 'a');
        put_fixed_literal(w, 257);
        w.put_code(30, 5);
        add("distance symbol 30", w, "a", -1);
    }
    // Dynamic blocks: literal lengths for 'a', 'b', 256 and 257.
    std::vector<int> lit(257 + 1, 0);
    lit['a'] = 2;
    lit['b'] = 2;
    lit[256] = 2;
    lit[257] = 2;
    auto lit_codes = canonical_codes(lit);
    {
        bit_writer w;  // no distance code: literals decode
        auto lengths = lit;
        lengths.push_back(0);
        put_dynamic_header(w, 1, 0, plain_lengths(lengths));
        for (int s : {int('a'), int('b'), int('a'), 256}) w.put_code(lit_codes[static_cast<size_t>(s)], 2);
        add("dynamic block without distance codes", w, "aba", 0);
    }
    {
        bit_writer w;  // ... but a length code in it fails
        auto lengths = lit;
        lengths.push_back(0);
        put_dynamic_header(w, 1, 0, plain_lengths(lengths));
        for (int s : {int('a'), 257}) w.put_code(lit_codes[static_cast<size_t>(s)], 2);
        add("length code without distance codes", w, "a", -1);
    }
    {
        bit_writer w;  // one distance code of length 1: incomplete, accepted
        auto lengths = lit;
        lengths.push_back(1);
        put_dynamic_header(w, 1, 0, plain_lengths(lengths));
        for (int s : {int('b'), 257}) w.put_code(lit_codes[static_cast<size_t>(s)], 2);
        w.put_code(0, 1);  // distance 1
        w.put_code(lit_codes[256], 2);
        add("single distance code of length 1", w, "bbbb", 0);
    }
    {
        bit_writer w;  // end of block without a code
        auto lengths = lit;
        lengths[256] = 0;
        lengths.push_back(1);
        put_dynamic_header(w, 1, 0, plain_lengths(lengths));
        add("end-of-block symbol without a code", w, "", -1);
    }
    {
        bit_writer w;
        put_dynamic_header(w, 30, 0, {});
        add("HLIT 30", w, "", -1);
    }
    {
        bit_writer w;
        put_dynamic_header(w, 1, 0, {{16, 0}});
        add("repeat code 16 first", w, "", -1);
    }
    {
        bit_writer w;  // 138 zeros twice: past the 259 lengths
        put_dynamic_header(w, 1, 0, {{18, 127}, {18, 127}});
        add("repeat past the end", w, "", -1);
    }
    {
        bit_writer w;  // code-length code: 19 codes of length 1
        w.put(1, 1);
        w.put(2, 2);
        w.put(0, 5);
        w.put(0, 5);
        w.put(15, 4);
        for (int i = 0; i < 19; ++i) w.put(1, 3);
        add("over-subscribed code-length code", w, "", -1);
    }
    for (const stream_case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string gz = gzip_wrap(c.deflate, c.expected);
        for (int32_t chunk : {1, 512}) {
            read_outcome got = read_archive(gz, chunk);
            EXPECT_TRUE(got.content == c.expected);
            EXPECT_EQ(got.last, c.last);
            EXPECT_EQ(got.after_last, c.last);
        }
        std::string zlib_out;  // the fixtures are valid deflate wherever we accept them
        if (c.last == 0 && c.valid_deflate) {
            EXPECT_TRUE(zlib_inflate_raw(c.deflate, &zlib_out));
            EXPECT_TRUE(zlib_out == c.expected);
        }
    }
}

TEST(InflateReader, TrailerIsCheckedWhenReadToTheEnd) {
    std::string content = sample_content(4000, 5);
    std::string good = gzip_zlib(content, 6);
    std::string bad_crc = good;
    bad_crc[bad_crc.size() - 8] ^= 1;
    std::string bad_size = good;
    bad_size[bad_size.size() - 4] ^= 1;
    for (const std::string& gz : {bad_crc, bad_size}) {
        read_outcome got = read_archive(gz, 1000);
        EXPECT_TRUE(got.content == content);
        EXPECT_EQ(got.last, -1);
    }
}

TEST(InflateReader, ConcatenatedMembersAreOneContentStream) {
    std::string content = sample_content(4000, 5);
    std::string first = gzip_zlib(content, 6);
    std::string more = gzip_zlib("more", 0);
    std::string more_bad_crc = more;
    more_bad_crc[more_bad_crc.size() - 8] ^= 1;
    // A later member keeps to the header rules too; its optional fields are
    // read through the decoder's input, where its bytes already sit.
    std::string more_named = more.substr(0, 3) + '\x1e' + more.substr(4, 6) + std::string("\x02\0xy", 4) + "name" +
                             '\0' + "note" + '\0' + "\xAA\xBB" + more.substr(10);
    std::string more_method_7 = more;
    more_method_7[2] = 7;
    // A member that opens with a copy of 4 from distance 1 (one fixed block):
    // its window starts empty, not with the previous member's bytes.
    std::string backref_deflate("\x03\x01\x00", 3);
    std::string backref_content(4, '\0');
    struct member_case {
        const char* name;
        std::string bytes;
        std::string content;
        int last;
    };
    const member_case cases[] = {
        {"two members", first + more, content + "more", 0},
        {"an empty member first", gzip_zlib("", 6) + first, content, 0},
        {"three members, one empty", more + gzip_zlib("", 9) + first, "more" + content, 0},
        {"optional fields in the second header", first + more_named, content + "more", 0},
        {"garbage after the last member", first + "garbage", content, 0},
        {"a lone first magic byte after it", first + "\x1f", content, 0},
        {"the first magic byte, then another", first + "\x1f\x1f\x8b", content, 0},
        {"second member's CRC differs", first + more_bad_crc, content + "more", -1},
        {"second member cut short", first + more.substr(0, more.size() - 3), content + "more", -1},
        {"second header cut short", first + more.substr(0, 6), content, -1},
        {"second member method 7", first + more_method_7, content, -1},
        {"window restarts with the member", more + gzip_wrap(backref_deflate, backref_content), "more" + backref_content,
         0},
    };
    for (const member_case& c : cases) {
        SCOPED_TRACE(c.name);
        for (int32_t chunk : {1, 1000}) {
            read_outcome got = read_archive(c.bytes, chunk);
            EXPECT_TRUE(got.content == c.content) << got.content.size();
            EXPECT_EQ(got.last, c.last);
            EXPECT_EQ(got.after_last, c.last);
        }
    }
}

TEST(HuffBuild, AcceptsCompleteAndIncompleteCodesOnly) {
    struct build_case {
        std::vector<uint8_t> lengths;
        int capacity;
        int result;
    };
    const std::vector<build_case> cases = {
        {{1, 2, 2}, 8, 0},     {{1}, 8, 0},          {{0, 3, 0, 3}, 8, 0}, {{0, 0, 0}, 8, -1},
        {{1, 1, 1}, 8, -1},    {{16, 1}, 8, -1},     {{2, 2, 2, 2}, 7, 0}, {{2, 2, 2, 2}, 6, -1},
        {{15, 15}, 17, 0},     {{15, 15}, 16, -1},
    };
    for (const build_case& c : cases) {
        std::vector<huff_node> nodes(static_cast<size_t>(c.capacity));
        EXPECT_EQ(huff_build(nodes.data(), c.capacity, c.lengths.data(), static_cast<int>(c.lengths.size())), c.result)
            << ::testing::PrintToString(c.lengths) << " capacity " << c.capacity;
    }
}

TEST(ArchiveReader, BlocksDiscardsAndPadding) {
    qortest::temp_machine machine;
    std::string content = sample_content(1500, 6);
    qortest::write_host_file(machine.media("p.tar"), content);
    long fd = qor::open("RAM:/p.tar", qor::O_READ);
    auto r = std::make_unique<archive_reader>();
    ASSERT_EQ(archive_reader_open(r.get(), static_cast<int>(fd)), ARCHIVE_OPEN_OK);
    uint8_t block[512];
    EXPECT_EQ(skip_tar_padding(r.get(), 0), 0);
    EXPECT_EQ(skip_tar_padding(r.get(), 1024), 0);
    ASSERT_EQ(archive_read_block(r.get(), block), 1);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(block), 512), content.substr(0, 512));
    EXPECT_EQ(archive_discard(r.get(), 100), 0);
    EXPECT_EQ(skip_tar_padding(r.get(), 100), 0);  // to 1024
    ASSERT_EQ(archive_read_block(r.get(), block), -1);  // 476 bytes left
    EXPECT_EQ(archive_discard(r.get(), 1), -1);
    qor::close(static_cast<int>(fd));
}
