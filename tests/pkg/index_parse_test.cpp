// The package index parser: document forms, leading material, releases,
// defaults, limits and every failure line.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "hosted.h"
#include "package_index.h"
#include "pkg_test_util.h"

namespace {

// A package object with every required field.
std::string pkg(const std::string& name, const std::string& extra = "") {
    return "{\"name\":\"" + name + "\",\"version\":\"1\",\"url\":\"http://h/" + name + "\",\"sha256\":\"ab\"" + extra + "}";
}

// A release object with every required field.
std::string rel(const std::string& url, const std::string& extra = "") {
    return "{\"url\":\"" + url + "\",\"sha256\":\"cd\"" + extra + "}";
}

// `count` comma-separated copies of what make(i) gives.
template <typename F>
std::string repeat(int count, F make) {
    std::string out;
    for (int i = 0; i < count; i++) out += (i ? "," : "") + make(i);
    return out;
}

std::string quoted(const std::string& s) { return "\"" + s + "\""; }

class IndexParse : public ::testing::Test {
protected:
    std::unique_ptr<package_index> index = std::make_unique<package_index>();
    std::string output;

    // Parses `text` labelled `label`; keeps what was printed in `output`.
    int parse(const std::string& text, const char* label = "t") {
        hosted::capture_begin();
        int rc = idx_parse_index_bytes(index.get(), text.data(), static_cast<uint32_t>(text.size()), label);
        output = hosted::capture_end();
        return rc;
    }

    // The first line printed.
    std::string first_line() const { return output.substr(0, output.find('\n') + 1); }

    const package_entry& entry(int i) const { return index->packages[i]; }
};

TEST_F(IndexParse, ThreeDocumentFormsGiveTheSameTable) {
    const std::string a = pkg("a", ",\"deps\":[\"b\"],\"system\":true");
    const std::string b = "{\"version\":\"2\",\"url\":\"http://h/b\",\"sha256\":\"ab\"}";
    const std::string forms[] = {
        "[" + a + "," + pkg("b") + "]",
        "{\"meta\":{\"x\":[1,{\"\\q\":null}]},\"packages\":[" + a + "," + pkg("b") + "],\"z\":0}",
        "{\"packages\":{\"ignored\":" + a + ",\"b\":" + b + "}}",
    };
    for (const std::string& doc : forms) {
        SCOPED_TRACE(doc);
        ASSERT_EQ(parse(doc), 0) << output;
        EXPECT_EQ(output, "");
        ASSERT_EQ(index->count, 2);
        EXPECT_STREQ(entry(0).name, "a");  // an inner name wins over the map key
        EXPECT_STREQ(entry(0).url, "http://h/a");
        EXPECT_STREQ(entry(0).sha256, "ab");
        EXPECT_EQ(entry(0).system, 1);
        ASSERT_EQ(entry(0).dep_count, 1);
        EXPECT_STREQ(entry(0).deps[0], "b");
        EXPECT_STREQ(entry(1).name, "b");  // from the map key in the third form
        EXPECT_EQ(entry(1).system, 0);
        EXPECT_STREQ(entry(1).install_dir, "/binaries");
        EXPECT_STREQ(entry(1).install_name, "b");
    }
}

TEST_F(IndexParse, KeysSynonymsAndRepeats) {
    ASSERT_EQ(parse("[" + pkg("a", ",\"target_dir\":\"/x\",\"install_dir\":\"/y\",\"target_name\":\"n\","
                                   "\"deps\":[\"d1\"],\"dependencies\":[\"d2\",\"d3\"],\"deps\":[],\"version\":\"2\"") +
                    "]"),
              0)
        << output;
    EXPECT_STREQ(entry(0).install_dir, "/y");
    EXPECT_STREQ(entry(0).install_name, "n");
    EXPECT_STREQ(entry(0).version, "2");
    ASSERT_EQ(entry(0).dep_count, 3);
    EXPECT_STREQ(entry(0).deps[2], "d3");

    // A second `packages` member appends; required fields may be empty text.
    ASSERT_EQ(parse("{\"packages\":[" + pkg("a") + "],\"packages\":{\"b\":{\"version\":\"\",\"url\":\"\",\"sha256\":\"\"}}}"), 0)
        << output;
    ASSERT_EQ(index->count, 2);
    EXPECT_STREQ(entry(1).name, "b");
    EXPECT_STREQ(entry(1).url, "");
}

TEST_F(IndexParse, LeadingMaterialIsSkippedAndOffsetsCountAfterIt) {
    const std::string prefixes[] = {
        "",
        " \r\n\t",
        "\xEF\xBB\xBF",
        "\n\xEF\xBB\xBF\n",
        "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n\r\n",
        "\xEF\xBB\xBF HTTP/1.1 200 OK\r\nA: b\r\n\r\n \xEF\xBB\xBF\r\n",
        "HTTP/1.0 200 OK\nA: b\n\n",
        "HTTP/1.1 200 OK\r\nA: b\n\nC: d\r\n\r\n",  // CR LF CR LF wins over an earlier LF LF
    };
    for (const std::string& prefix : prefixes) {
        SCOPED_TRACE(prefix);
        EXPECT_EQ(parse(prefix + "[" + pkg("a") + "]"), 0) << output;
        EXPECT_EQ(parse(prefix + "[1] "), -1);
        EXPECT_EQ(output,
                  "install: t parse error at offset 1: expected package object\n"
                  "install: index payload prefix (4 bytes): 5b 31 5d 20 |[1] |\n");
    }
}

// Every proper prefix of a valid document is refused with a parse-error
// line whose offset lies inside the prefix.
TEST_F(IndexParse, EveryTruncationFails) {
    const std::string doc = "HTTP/1.1 200 OK\r\n\r\n{\"x\":[1.5e3,null,\"\\u00e9\"],\"packages\":{\"a\":" +
                            pkg("a", ",\"system\":false,\"deps\":[\"b\"]") + ",\"b\":{\"latest\":\"2\",\"versions\":{\"1\":" +
                            rel("u") + ",\"2\":" + rel("v", ",\"target_dir\":\"/t\"") + "}}}}";
    ASSERT_EQ(parse(doc), 0) << output;
    const size_t body = doc.find('{');
    for (size_t n = 0; n < doc.size(); n++) {
        SCOPED_TRACE(n);
        std::string cut = doc.substr(0, n);
        EXPECT_EQ(parse(cut), -1);
        if (n <= body) continue;  // empty or header-only documents have their own lines
        std::string prefix = "install: t parse error at offset ";
        ASSERT_EQ(first_line().substr(0, prefix.size()), prefix) << output;
        EXPECT_LE(std::stoul(first_line().substr(prefix.size())), n - body);
    }
}

TEST_F(IndexParse, EmptyAndMalformedDocuments) {
    struct empty_case {
        std::string text;
        const char* label;
        std::string printed;
    };
    const empty_case cases[] = {
        {"", "local index", "install: local index is empty\n"},
        {" \xEF\xBB\xBF\t", "", "install: package index response is empty\n"},
        {"HTTP/1.1 204 No Content\r\n\r\n \xEF\xBB\xBF", nullptr, "install: package index response is empty\n"},
        {"HTTP/1.1 200 OK\r\nX: y\r\n[]", "network index",
         "install: malformed HTTP headers in network index\n"
         "install: index payload prefix (16 bytes): 48 54 54 50 2f 31 2e 31 20 32 30 30 20 4f 4b 0d |HTTP/1.1 200 OK.|\n"},
        {" HTTP/", "", "install: malformed HTTP headers in index response\n"
                       "install: index payload prefix (5 bytes): 48 54 54 50 2f |HTTP/|\n"},
        {"[ ]", "t", "install: t is empty\n"},
        {"{\"packages\":{}}", "", "install: package index is empty\n"},
        {"{\"packages\":[]}", nullptr, "install: package index is empty\n"},
    };
    for (const empty_case& k : cases) {
        SCOPED_TRACE(k.text);
        EXPECT_EQ(parse(k.text, k.label), -1);
        EXPECT_EQ(output, k.printed);
    }
    hosted::capture_begin();
    EXPECT_EQ(idx_parse_index_bytes(nullptr, "[]", 2, "t"), -1);
    EXPECT_EQ(idx_parse_index_bytes(index.get(), nullptr, 2, "t"), -1);
    EXPECT_EQ(hosted::capture_end(), "");
}

TEST_F(IndexParse, EveryFailureMessageWithItsOffset) {
    // '^' marks the expected offset and is removed before parsing.
    struct failure_case {
        std::string marked;
        const char* message;
    };
    const std::string r = rel("u");
    const std::string v = "[{\"name\":\"a\",\"versions\":";
    const failure_case cases[] = {
        {"^5", "index root must be object or array"},
        {"^\"x\"", "index root must be object or array"},
        {"{ }^", "empty index object"},
        {"{\"packages\" ^[", "expected ':' after index key"},
        {"{\"packages\": ^", "unexpected end while reading packages"},
        {"{\"packages\":^1}", "expected packages array or object map"},
        {"{\"packages\":[" + pkg("a") + "] ^]", "expected ',' or '}' in root object"},
        {"{\"packages\":[" + pkg("a") + "]^", "expected ',' or '}' in root object"},
        {"{\"other\":[1]}^", "root object missing 'packages' entry"},
        {"[" + pkg("a") + "] ^x", "trailing data after JSON document"},
        {"{\"packages\":{\"a\" ^{}}}", "expected ':' after package map key"},
        {"{\"packages\":{\"a\":" + pkg("a") + "^]}", "expected ',' or '}' in packages object map"},
        {"[" + pkg("a") + " ^}", "expected ',' or ']' in packages array"},
        {"[^1]", "expected package object"},
        {"{\"packages\":{\"a\":^[]}}", "expected package object"},
        {"[{ }^]", "empty package object"},
        {"[{\"name\" ^1}]", "expected ':' after package key"},
        {"[{\"name\":\"a\" ^]", "expected ',' or '}' in package object"},
        {"[{\"name\":\"a\",\"version\":\"1\",\"url\":\"u\"}^]", "package missing required fields"},
        {"[{\"version\":\"1\",\"url\":\"u\",\"sha256\":\"s\"}^]", "package missing required fields"},
        {"[{\"versions\":{\"1\":" + r + "}}^]", "package missing required fields"},
        {v + "^[]}]", "expected versions object"},
        {v + "{\"1\" ^" + r + "}}]", "expected ':' after version key"},
        {v + "{\"1\":^[]}}]", "expected release object"},
        {v + "{\"1\":{}^}}]", "empty release object"},
        {v + "{\"1\":{\"url\" ^1}}}]", "expected ':' after release key"},
        {v + "{\"1\":{\"url\":\"u\" ^]}}]", "expected ',' or '}' in release object"},
        {v + "{\"1\":{\"url\":\"u\"}^}}]", "release missing required fields"},
        {v + "{\"\":" + r + "^}}]", "release missing required fields"},
        {v + "{\"1\":" + r + " ^]}]", "expected ',' or '}' in versions object"},
        {v + "{}}^]", "versions object is empty"},
        {"[{\"name\":\"a\",\"latest\":\"2\",\"versions\":{\"1\":" + r + "}}^]", "latest version not found in versions object"},
        {"[" + pkg("a", ",\"deps\":^\"b\"") + "]", "expected '[' for deps"},
        {"[" + pkg("a", ",\"deps\":[\"b\" ^\"c\"]") + "]", "expected ',' or ']' in deps array"},
        // messages of the scanner, raised inside the parser's constructs
        {"[{\"name\":^true}]", "expected string"},
        {"[" + pkg("a", ",\"system\":^\"true\"") + "]", "expected boolean"},
        {"[" + pkg("a", ",\"system\":^1") + "]", "expected boolean"},
        {"[" + pkg("a", ",\"deps\":[\"\\q^\"]") + "]", "invalid escape sequence"},
        {"[" + pkg("a", ",\"x\":[1,^]") + "]", "invalid JSON value"},
        {"[{\"x\":{\"y\":^tru", "unexpected end while reading literal"},
    };
    for (const failure_case& k : cases) {
        SCOPED_TRACE(k.marked);
        size_t offset = k.marked.find('^');
        ASSERT_NE(offset, std::string::npos);
        std::string doc = k.marked;
        doc.erase(offset, 1);
        EXPECT_EQ(parse(doc), -1);
        EXPECT_EQ(first_line(), "install: t parse error at offset " + std::to_string(offset) + ": " + k.message + "\n");
        EXPECT_EQ(output.substr(first_line().size(), 31), "install: index payload prefix (");
    }
}

TEST_F(IndexParse, ErrorLineWithoutLabelAndWithLiteralAtEnd) {
    EXPECT_EQ(parse("[" + pkg("a") + ",tru", ""), -1);
    EXPECT_EQ(first_line(), "install: index parse error at offset " + std::to_string(pkg("a").size() + 2) +
                                ": expected package object\n");
    EXPECT_EQ(parse("[]]", "t"), -1);
    EXPECT_EQ(output, "install: t parse error at offset 2: trailing data after JSON document\n"
                      "install: index payload prefix (3 bytes): 5b 5d 5d |[]]|\n");
}

TEST_F(IndexParse, NamesMustBeNonEmptyAndUnique) {
    EXPECT_EQ(parse("[" + pkg("a") + "," + pkg("") + "]"), -1);
    EXPECT_EQ(first_line(), "install: package with empty name in index\n");
    EXPECT_NE(output.find("install: t parse error at offset 0: unknown error\n"), std::string::npos);

    EXPECT_EQ(parse("{\"packages\":{\"a\":" + pkg("b") + ",\"b\":" + pkg("c") + ",\"c\":{\"version\":\"1\",\"url\":\"u\",\"sha256\":\"s\"}}}"), -1);
    EXPECT_EQ(output.substr(0, output.find("install: index payload")),
              "install: duplicate package name in index: c\n"
              "install: t parse error at offset 0: unknown error\n");

    // An empty map key gives no name.
    EXPECT_EQ(parse("{\"packages\":{\"\":{\"version\":\"1\",\"url\":\"u\",\"sha256\":\"s\"}}}"), -1);
    EXPECT_NE(output.find("package missing required fields"), std::string::npos);
}

TEST_F(IndexParse, ReleaseChoiceAndWhatThePackageKeeps) {
    const std::string newer = "\"2.0\":" + rel("u2", ",\"system\":true,\"install_dir\":\"/r\",\"deps\":[\"r\"]");
    const std::string older = "\"1.0\":" + rel("u1");
    // Without `latest` the first release written wins, whatever its key.
    ASSERT_EQ(parse("[{\"name\":\"p\",\"install_dir\":\"/pkg\",\"install_name\":\"pn\",\"deps\":[\"lost\"],"
                    "\"version\":\"9\",\"url\":\"lost\",\"versions\":{" +
                    older + "," + newer + "}}]"),
              0)
        << output;
    EXPECT_STREQ(entry(0).version, "1.0");
    EXPECT_STREQ(entry(0).url, "u1");
    EXPECT_STREQ(entry(0).install_dir, "/pkg");  // the release left it empty
    EXPECT_STREQ(entry(0).install_name, "pn");
    EXPECT_EQ(entry(0).dep_count, 0);  // package-level deps do not reach the result

    // `latest` picks by version; the release keeps its own fields but never its system flag.
    ASSERT_EQ(parse("[{\"latest\":\"2.0\",\"versions\":{" + older + "," + newer + "},\"name\":\"p\"}]"), 0) << output;
    EXPECT_STREQ(entry(0).url, "u2");
    EXPECT_STREQ(entry(0).install_dir, "/r");
    EXPECT_STREQ(entry(0).install_name, "p");
    EXPECT_EQ(entry(0).system, 0);
    ASSERT_EQ(entry(0).dep_count, 1);
    EXPECT_STREQ(entry(0).deps[0], "r");

    // A `version` inside a release overrides its key; an empty `latest` means none; a
    // package-level system flag always applies; the map key names the package.
    ASSERT_EQ(parse("{\"packages\":{\"ed\":{\"latest\":\"\",\"system\":true,\"versions\":{\"k\":" +
                    rel("u", ",\"version\":\"3\",\"name\":\"ignored\",\"latest\":\"x\",\"system\":false") + "}}}}"),
              0)
        << output;
    EXPECT_STREQ(entry(0).name, "ed");
    EXPECT_STREQ(entry(0).version, "3");
    EXPECT_EQ(entry(0).system, 1);
}

TEST_F(IndexParse, CountLimitsAtTheEdgeAndOnePast) {
    auto named = [](int i) { return pkg("p" + std::to_string(i)); };
    auto member = [](int i) { return "\"p" + std::to_string(i) + "\":" + pkg("p" + std::to_string(i)); };
    auto release = [](int i) { return "\"" + std::to_string(i) + "\":" + rel("u"); };
    auto dep = [](int i) { return quoted("d" + std::to_string(i)); };

    EXPECT_EQ(parse("[" + repeat(128, named) + "]"), 0) << output;
    EXPECT_EQ(index->count, 128);
    EXPECT_EQ(parse("{\"packages\":{" + repeat(128, member) + "}}"), 0) << output;
    EXPECT_EQ(parse("{\"packages\":[" + repeat(100, named) + "],\"packages\":{" + repeat(28, member) + "}}"), -1);
    EXPECT_NE(output.find("duplicate package name in index: p0\n"), std::string::npos);  // appended, not replaced
    EXPECT_EQ(parse("[" + repeat(128, named) + ",]"), -1);
    EXPECT_NE(output.find("too many packages in index"), std::string::npos);
    std::string map129 = "{\"packages\":{" + repeat(128, member) + ",\"x\":";
    EXPECT_EQ(parse(map129 + "1}}"), -1);
    EXPECT_EQ(first_line(), "install: t parse error at offset " + std::to_string(map129.size()) + ": too many packages in index\n");

    std::string v = "[{\"name\":\"a\",\"versions\":{";
    EXPECT_EQ(parse(v + repeat(32, release) + "}}]"), 0) << output;
    EXPECT_STREQ(entry(0).version, "0");
    EXPECT_EQ(parse(v + repeat(32, release) + ",}}]"), -1);
    EXPECT_EQ(first_line(), "install: t parse error at offset " + std::to_string(v.size() + repeat(32, release).size()) +
                                ": too many versions for package\n");
    // A second `versions` member shares the 32 places.
    EXPECT_EQ(parse(v + repeat(32, release) + "},\"versions\":{\"x\":" + rel("u") + "}}]"), -1);
    EXPECT_NE(output.find("too many versions for package"), std::string::npos);

    EXPECT_EQ(parse("[" + pkg("a", ",\"deps\":[" + repeat(16, dep) + "]") + "]"), 0) << output;
    EXPECT_EQ(entry(0).dep_count, 16);
    EXPECT_EQ(parse("[" + pkg("a", ",\"deps\":[" + repeat(16, dep) + ",]") + "]"), -1);
    EXPECT_NE(output.find("too many dependencies"), std::string::npos);
    EXPECT_EQ(parse("[" + pkg("a", ",\"deps\":[" + repeat(10, dep) + "],\"dependencies\":[" + repeat(7, dep) + "]") + "]"), -1);
    EXPECT_NE(output.find("too many dependencies"), std::string::npos);
}

TEST_F(IndexParse, FieldSizesAtTheEdgeAndOnePast) {
    struct field_case {
        const char* what;
        size_t max_bytes;
        std::string (*doc)(const std::string& text);
    };
    const field_case cases[] = {
        {"name", 63, [](const std::string& t) { return "[" + pkg(t) + "]"; }},
        {"version", 63, [](const std::string& t) { return "[" + pkg("a", ",\"version\":" + quoted(t)) + "]"; }},
        {"url", 255, [](const std::string& t) { return "[" + pkg("a", ",\"url\":" + quoted(t)) + "]"; }},
        {"sha256", 64, [](const std::string& t) { return "[" + pkg("a", ",\"sha256\":" + quoted(t)) + "]"; }},
        {"install_dir", 95, [](const std::string& t) { return "[" + pkg("a", ",\"install_dir\":" + quoted(t)) + "]"; }},
        {"target_dir", 95, [](const std::string& t) { return "[" + pkg("a", ",\"target_dir\":" + quoted(t)) + "]"; }},
        {"install_name", 63, [](const std::string& t) { return "[" + pkg("a", ",\"install_name\":" + quoted(t)) + "]"; }},
        {"target_name", 63, [](const std::string& t) { return "[" + pkg("a", ",\"target_name\":" + quoted(t)) + "]"; }},
        {"dependency", 63, [](const std::string& t) { return "[" + pkg("a", ",\"deps\":[" + quoted(t) + "]") + "]"; }},
        {"latest", 63, [](const std::string& t) { return "[{\"name\":\"a\",\"latest\":" + quoted(t) + ",\"versions\":{" + quoted(t) + ":" + rel("u") + "}}]"; }},
        {"release url", 255, [](const std::string& t) { return "[{\"name\":\"a\",\"versions\":{\"1\":" + rel(t) + "}}]"; }},
        {"package-level url beside versions", 255, [](const std::string& t) { return "[{\"name\":\"a\",\"url\":" + quoted(t) + ",\"versions\":{\"1\":" + rel("u") + "}}]"; }},
        {"map key", 63, [](const std::string& t) { return "{\"packages\":{" + quoted(t) + ":{\"version\":\"1\",\"url\":\"u\",\"sha256\":\"s\"}}}"; }},
        {"skipped package key", 63, [](const std::string& t) { return "[" + pkg("a", "," + quoted(t) + ":0") + "]"; }},
        {"skipped root key", 63, [](const std::string& t) { return "{" + quoted(t) + ":0,\"packages\":[" + pkg("a") + "]}"; }},
    };
    for (const field_case& k : cases) {
        SCOPED_TRACE(k.what);
        std::string fits(k.max_bytes, 'x');
        EXPECT_EQ(parse(k.doc(fits)), 0) << output;
        EXPECT_EQ(parse(k.doc(fits + "x")), -1);
        EXPECT_NE(first_line().find(": string too long\n"), std::string::npos) << output;
    }
    ASSERT_EQ(parse("[" + pkg(std::string(63, 'n')) + "]"), 0);
    EXPECT_STREQ(entry(0).install_name, std::string(63, 'n').c_str());
}

TEST(IndexPrefix, HexAndPrintableCharacters) {
    hosted::capture_begin();
    idx_debug_dump_prefix("", 0);
    idx_debug_dump_prefix(nullptr, 5);
    idx_debug_dump_prefix("\x7f{\"a\xff\n", 6);
    idx_debug_dump_prefix("0123456789abcdefXYZ", 19);
    EXPECT_EQ(hosted::capture_end(),
              "install: index payload prefix: <empty>\n"
              "install: index payload prefix: <empty>\n"
              "install: index payload prefix (6 bytes): 7f 7b 22 61 ff 0a |.{\"a..|\n"
              "install: index payload prefix (16 bytes): 30 31 32 33 34 35 36 37 38 39 61 62 63 64 65 66 |0123456789abcdef|\n");
}

TEST(IndexPackagesArray, RequiresAnArray) {
    auto index = std::make_unique<package_index>();
    json_cursor c = pkgtest::cursor_over("{}");
    EXPECT_EQ(idx_parse_packages_array(&c, index.get()), -1);
    EXPECT_STREQ(c.error, "expected packages array");
    EXPECT_EQ(c.error_offset, 0u);
}

TEST(IndexLookup, ExactNamesOnly) {
    auto index = std::make_unique<package_index>();
    index->count = 3;
    strcpy(index->packages[0].name, "");
    strcpy(index->packages[1].name, "Ed");
    strcpy(index->packages[2].name, "ed");
    strcpy(index->packages[3].name, "beyond");  // past `count`
    EXPECT_EQ(index_find_package(index.get(), "ed"), &index->packages[2]);
    EXPECT_EQ(index_has_package(index.get(), "Ed"), 1);
    EXPECT_EQ(index_find_package(index.get(), "ED"), nullptr);
    EXPECT_EQ(index_find_package(index.get(), ""), nullptr);
    EXPECT_EQ(index_find_package(index.get(), "beyond"), nullptr);
    EXPECT_EQ(index_has_package(index.get(), nullptr), 0);
    EXPECT_EQ(index_has_package(nullptr, "ed"), 0);
}

}  // namespace
