// The JSON scanning primitives: results, messages and the offsets recorded
// with them.
#include <gtest/gtest.h>

#include <string>

#include "json_scan.h"
#include "pkg_test_util.h"

namespace {

using pkgtest::cursor_over;

struct scan_case {
    std::string input;
    const char* error;  // nullptr: must succeed
    uint32_t offset;    // error offset, or `pos` after success
};

void expect_outcome(const scan_case& k, int rc, const json_cursor& c) {
    SCOPED_TRACE("input: " + k.input);
    if (!k.error) {
        EXPECT_EQ(rc, 0) << (c.error ? c.error : "");
        EXPECT_EQ(c.error, nullptr);
        EXPECT_EQ(c.pos, k.offset);
    } else {
        EXPECT_EQ(rc, -1);
        ASSERT_NE(c.error, nullptr);
        EXPECT_STREQ(c.error, k.error);
        EXPECT_EQ(c.error_offset, k.offset);
    }
}

// Skips `input` from `depth` and checks the outcome.
void check_skip(const scan_case& k, int depth = 0) {
    json_cursor c = cursor_over(k.input);
    int rc = idx_skip_value(&c, depth);
    expect_outcome(k, rc, c);
}

TEST(JsonSkipValue, ResultsMessagesAndOffsets) {
    const scan_case cases[] = {
        // numbers: validated, never computed; nothing checks what follows
        {"0", nullptr, 1},
        {"-0.5e-3", nullptr, 7},
        {"10E2", nullptr, 4},
        {"01", nullptr, 1},
        {"-", "incomplete number", 1},
        {"-a", "invalid number", 1},
        {"1.", "fraction has no digits", 2},
        {"1.e3", "fraction has no digits", 2},
        {"1e", "exponent has no digits", 2},
        {"1e+", "exponent has no digits", 3},
        {"1E-x", "exponent has no digits", 3},
        // literals
        {" true", nullptr, 5},
        {"truex", nullptr, 4},
        {"tru", "unexpected end while reading literal", 0},
        {"trux", "invalid literal", 0},
        {"\t\r\nnul", "unexpected end while reading literal", 3},
        {"nulL", "invalid literal", 0},
        // dispatch; form feed is not whitespace
        {"", "unexpected end of JSON input", 0},
        {"  ", "unexpected end of JSON input", 2},
        {"+1", "invalid JSON value", 0},
        {"\f1", "invalid JSON value", 0},
        // arrays
        {"[ ]", nullptr, 3},
        {"[1, [2, {}], \"x\"]", nullptr, 17},
        {"[1,]", "invalid JSON value", 3},
        {"[1 2]", "expected ',' or ']' in array", 3},
        {"[1", "expected ',' or ']' in array", 2},
        {"[1,", "unexpected end of JSON input", 3},
        // objects: keys are skipped, not decoded
        {"{ }", nullptr, 3},
        {"{\"a\\q\" : [true] , \"a\":null}", nullptr, 27},
        {"{\"a\":1,}", "expected string", 7},
        {"{\"a\" 1}", "expected ':' after key", 5},
        {"{\"a\":1 \"b\"}", "expected ',' or '}' in object", 7},
        {"{\"a\":", "unexpected end of JSON input", 5},
        {"{\"a\":tru", "unexpected end while reading literal", 5},
        {"{1:2}", "expected string", 1},
        // strings, skipped: any byte after a backslash but 'u'
        {"\"a\\qb\"", nullptr, 6},
        {"\"\\u00e9\\uD83D\"", nullptr, 14},
        {"\"\x7f\xff\"", nullptr, 4},
        {"\"\\u00\"", "short \\u escape", 3},
        {"\"\\u00g0\"", "invalid hex in \\u escape", 5},
        {"\"a\tb\"", "control character in string", 3},
        {"\"abc", "unterminated string", 4},
        {"\"ab\\", "unfinished escape sequence", 4},
    };
    for (const scan_case& k : cases) check_skip(k);
}

TEST(JsonSkipValue, NestingLimitCountsFromTheSkippedValue) {
    std::string deepest = std::string(65, '[') + std::string(65, ']');
    check_skip({deepest, nullptr, static_cast<uint32_t>(deepest.size())});
    check_skip({std::string(66, '[') + std::string(66, ']'), "max depth exceeded", 65});
    std::string objects;
    for (int i = 0; i < 66; i++) objects += "{\"k\":";
    check_skip({objects, "max depth exceeded", 65 * 5});
    // A value skipped from inside a deeper construct has less room.
    check_skip({"[[]]", "max depth exceeded", 1}, 64);
}

TEST(JsonParseString, DecodesIntoBoundedBuffer) {
    struct string_case {
        std::string input;
        uint32_t cap;
        const char* error;     // nullptr: decodes to `decoded`
        uint32_t offset;       // error offset, or `pos` after success
        std::string decoded;
    };
    const string_case cases[] = {
        {"\"abc\"", 4, nullptr, 5, "abc"},
        {"\"abcd\"", 4, "string too long", 5, ""},
        {"\"ab\\n\"", 3, "string too long", 5, ""},
        {"\"\"", 1, nullptr, 2, ""},
        {"\"\"", 0, "string too long", 2, ""},  // not even room for the NUL
        {"\"a\"", 0, "string too long", 2, ""},
        {"\"\\\"\\/\\\\\\b\\f\\n\\r\\t\"", 16, nullptr, 18, "\"/\\\b\f\n\r\t"},
        // \u yields '?' whatever the code point; raw UTF-8 passes unchanged
        {"\"\\u00e9|\\u0041\"", 16, nullptr, 15, "?|?"},
        {"\"\\uD83D\\uDE00\"", 16, nullptr, 14, "??"},
        {"\"\xc3\xa9\x7f\"", 16, nullptr, 5, "\xc3\xa9\x7f"},
        {"\"\\q\"", 16, "invalid escape sequence", 3, ""},
        {"abc", 16, "expected string", 0, ""},
        {"", 16, "expected string", 0, ""},
        {"\"a\nb\"", 16, "control character in string", 3, ""},
        {std::string("\"a\0b\"", 5), 16, "control character in string", 3, ""},
        {"\"ab", 16, "unterminated string", 3, ""},
        {"\"ab\\", 16, "unfinished escape sequence", 4, ""},
        {"\"\\u12", 16, "short \\u escape", 3, ""},
        {"\"\\u12x4\"", 16, "invalid hex in \\u escape", 5, ""},
    };
    for (const string_case& k : cases) {
        SCOPED_TRACE("input: " + k.input);
        json_cursor c = cursor_over(k.input);
        char out[32];
        int rc = idx_parse_string(&c, out, k.cap);
        expect_outcome({k.input, k.error, k.offset}, rc, c);
        if (!k.error) {
            EXPECT_EQ(std::string(out), k.decoded);
        }
    }
}

TEST(JsonParseBool, OnlyTheTwoLiterals) {
    struct bool_case {
        std::string input;
        const char* error;
        uint32_t offset;
        int32_t value;
    };
    const bool_case cases[] = {
        {" true", nullptr, 5, 1},
        {"false,", nullptr, 5, 0},
        {"null", "expected boolean", 0, 0},
        {"  \"true\"", "expected boolean", 2, 0},
        {"1", "expected boolean", 0, 0},
        {"fals", "expected boolean", 0, 0},
    };
    for (const bool_case& k : cases) {
        json_cursor c = cursor_over(k.input);
        int32_t value = -7;
        int rc = idx_parse_bool(&c, &value);
        expect_outcome({k.input, k.error, k.offset}, rc, c);
        if (!k.error) {
            EXPECT_EQ(value, k.value);
        }
    }
}

TEST(JsonCursor, FirstErrorWins) {
    json_cursor c = cursor_over("x");
    c.error = "earlier";
    c.error_offset = 9;
    EXPECT_EQ(idx_skip_value(&c, 0), -1);
    EXPECT_STREQ(c.error, "earlier");
    EXPECT_EQ(c.error_offset, 9u);
}

}  // namespace
