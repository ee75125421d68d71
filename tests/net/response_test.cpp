// The response reader fed straight from memory: every response is fed whole,
// in small and large blocks and split at every offset, and must end the same
// way each time. Header lookup and chunk sizes as tables.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hosted.h"
#include "http_response.h"

namespace {

constexpr const char* URL = "http://h/a/b/index.json";

struct collected {
    std::string body;
    bool refuse = false;
};

int collect(const uint8_t* data, uint32_t count, void* context) {
    auto* c = static_cast<collected*>(context);
    if (c->refuse) return 1;
    c->body.append(reinterpret_cast<const char*>(data), count);
    return 0;
}

struct outcome {
    int step;
    std::string body;
    std::string output;
    std::string redirect;
};

// Feeds `raw` as consecutive blocks cut at `cuts`, then ends the stream if
// the reader still wants more.
outcome run(const std::string& raw, const std::vector<size_t>& cuts, bool refuse = false) {
    http_url url{};
    pkg_http_parse_url(URL, &url);
    collected sink;
    sink.refuse = refuse;
    char redirect[HTTP_URL_SIZE] = "";
    auto* r = new http_response;
    http_response_start(r, &url, URL, collect, &sink, redirect);
    hosted::capture_begin();
    http_step s = HTTP_STEP_MORE;
    size_t at = 0;
    for (size_t i = 0; i <= cuts.size() && s == HTTP_STEP_MORE; ++i) {
        size_t end = i < cuts.size() ? cuts[i] : raw.size();
        s = http_response_feed(r, reinterpret_cast<const uint8_t*>(raw.data()) + at, static_cast<uint32_t>(end - at));
        at = end;
    }
    if (s == HTTP_STEP_MORE) s = http_response_end_of_stream(r);
    delete r;
    return {s, sink.body, hosted::capture_end(), redirect};
}

std::vector<size_t> blocks_of(size_t size, size_t total) {
    std::vector<size_t> cuts;
    for (size_t at = size; at < total; at += size) cuts.push_back(at);
    return cuts;
}

struct reader_case {
    const char* name;
    std::string raw;
    int step;
    std::string body;
    std::string output;
    std::string redirect = "";
};

std::string header_block_of(size_t total) {
    std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 4\r\nX-Pad: ";
    return head + std::string(total - head.size() - 4, 'p') + "\r\n\r\n";
}

std::vector<reader_case> reader_cases() {
    const std::string ok = "HTTP/1.1 200 OK\r\n";
    const std::string chunked = ok + "Transfer-Encoding: gzip, CHUNKED\r\nContent-Length: 3\r\n\r\n";
    const std::string long_location = "http://h/" + std::string(247, 'l');
    return {
        {"length", ok + "Content-Length: 5\r\n\r\nhello", HTTP_STEP_DONE, "hello", ""},
        {"partial content", "HTTP/1.1 206 Partial\r\nContent-Length: 2\r\n\r\nab", HTTP_STEP_DONE, "ab", ""},
        {"zero length", ok + "Content-Length: 0\r\n\r\n", HTTP_STEP_DONE, "", ""},
        {"bytes past the length stay out", ok + "Content-Length: 5\r\n\r\nhelloWORLD", HTTP_STEP_DONE, "hello", ""},
        {"until the end", ok + "Server: x\r\n\r\nto the end", HTTP_STEP_DONE, "to the end", ""},
        {"negative length ignored", ok + "Content-Length: -4\r\n\r\nto the end", HTTP_STEP_DONE, "to the end", ""},
        {"closed at once", "", HTTP_STEP_FAILED, "", "install: connection closed before response headers\n"},
        {"closed in headers", ok + "Content-Le", HTTP_STEP_FAILED, "",
         "install: connection closed before response headers\n"},
        {"closed in body", ok + "Content-Length: 10\r\n\r\n01234", HTTP_STEP_FAILED, "01234",
         "install: incomplete HTTP body\n"},
        {"no content", "HTTP/1.1 204 No Content\r\n\r\n", HTTP_STEP_FAILED, "",
         std::string("install: HTTP status 204 for ") + URL + "\n"},
        {"not modified", "HTTP/1.1 304 Not Modified\r\n\r\n", HTTP_STEP_FAILED, "",
         std::string("install: HTTP status 304 for ") + URL + "\n"},
        {"no digit", "HTTP/1.1 OK\r\n\r\n", HTTP_STEP_FAILED, "",
         std::string("install: HTTP status 0 for ") + URL + "\n"},
        {"no space", "HTTP/1.1\r\n\r\n", HTTP_STEP_FAILED, "", std::string("install: HTTP status -1 for ") + URL + "\n"},
        {"relative redirect", "HTTP/1.1 302 Found\r\nLocation: pkg.tar\r\n\r\n", HTTP_STEP_REDIRECT, "", "",
         "http://h/a/b/pkg.tar"},
        {"location last, any case", "HTTP/1.1 308 P\r\nServer: x\r\nlocation:\t/x\r\n\r\n", HTTP_STEP_REDIRECT, "", "",
         "http://h/x"},
        {"missing location", "HTTP/1.1 301 Moved\r\nServer: x\r\n\r\n", HTTP_STEP_FAILED, "",
         std::string("install: HTTP status 301 with missing Location for ") + URL + "\n"},
        {"empty location", "HTTP/1.1 307 T\r\nLocation: \r\n\r\n", HTTP_STEP_FAILED, "",
         std::string("install: HTTP status 307 with missing Location for ") + URL + "\n"},
        {"location too long", "HTTP/1.1 302 F\r\nLocation: " + long_location + "\r\n\r\n", HTTP_STEP_FAILED, "",
         "install: redirect URL is too long\n"},
        {"rooted location too long", "HTTP/1.1 302 F\r\nLocation: /" + std::string(255, 'r') + "\r\n\r\n",
         HTTP_STEP_FAILED, "", "install: redirect URL is too long\n"},
        {"header block of 4095 bytes", header_block_of(4095) + "tail", HTTP_STEP_DONE, "tail", ""},
        {"header block of 4096 bytes", header_block_of(4096) + "tail", HTTP_STEP_FAILED, "",
         "install: response headers too large\n"},
        // Without the blank line: a full buffer is not too large until a
        // byte arrives beyond it.
        {"4095 header bytes, then closed", header_block_of(4099).substr(0, 4095), HTTP_STEP_FAILED, "",
         "install: connection closed before response headers\n"},
        {"4096 header bytes, then closed", header_block_of(4100).substr(0, 4096), HTTP_STEP_FAILED, "",
         "install: response headers too large\n"},
        {"chunked", chunked + "5;name=v\r\nhello\r\n1A\t\r\n" + std::string(26, 'z') + "\r\n0\r\n\r\n", HTTP_STEP_DONE,
         "hello" + std::string(26, 'z'), ""},
        {"chunk of 4094 bytes", chunked + "ffe\r\n" + std::string(4094, 'c') + "\r\n0\r\n\r\n", HTTP_STEP_DONE,
         std::string(4094, 'c'), ""},
        {"chunk of 4095 bytes", chunked + "fff\r\n" + std::string(4095, 'c') + "\r\n0\r\n\r\n", HTTP_STEP_FAILED, "",
         "install: chunk buffer overflow\n"},
        {"chunk size not hex", chunked + "zz\r\nhello\r\n0\r\n\r\n", HTTP_STEP_FAILED, "", "install: invalid chunk size\n"},
        {"chunk size 0x", chunked + "0x5\r\nhello\r\n0\r\n\r\n", HTTP_STEP_FAILED, "", "install: invalid chunk size\n"},
        {"empty chunk size", chunked + "\r\nhello\r\n0\r\n\r\n", HTTP_STEP_FAILED, "", "install: invalid chunk size\n"},
        {"chunk size above 32 bits", chunked + "100000000\r\nhello\r\n", HTTP_STEP_FAILED, "",
         "install: invalid chunk size\n"},
        {"no final chunk", chunked + "5\r\nhello\r\n", HTTP_STEP_FAILED, "hello",
         "install: incomplete chunked transfer\n"},
    };
}

TEST(HttpResponse, EndsAlikeHoweverTheStreamIsCut) {
    for (const reader_case& c : reader_cases()) {
        SCOPED_TRACE(c.name);
        std::vector<std::vector<size_t>> cuttings = {{}, blocks_of(1, c.raw.size()), blocks_of(7, c.raw.size()),
                                                    blocks_of(1536, c.raw.size())};
        if (c.raw.size() < 400) {
            for (size_t at = 1; at < c.raw.size(); ++at) cuttings.push_back({at});
        }
        for (const std::vector<size_t>& cuts : cuttings) {
            outcome o = run(c.raw, cuts);
            ASSERT_EQ(o.step, c.step) << "cut at " << (cuts.empty() ? 0 : cuts[0]) << "\n" << o.output;
            ASSERT_EQ(o.body, c.body);
            ASSERT_EQ(o.output, c.output);
            ASSERT_EQ(o.redirect, c.redirect);
        }
    }
}

TEST(HttpResponse, RefusingSinkFailsTheBody) {
    outcome o = run("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello", {});
    EXPECT_EQ(o.step, HTTP_STEP_DONE);
    o = run("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello", {}, true);
    EXPECT_EQ(o.step, HTTP_STEP_FAILED);
    EXPECT_EQ(o.output, "install: body write failed\n");
}

TEST(HttpResponse, HeaderLookupTable) {
    const char* headers =
        "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nX-Empty:\r\nX-Tabs: \t value with space  \r\n"
        "content-length: 42\r\nLocation: /last";
    struct lookup {
        const char* name;
        size_t size;
        int result;
        const char* value;
    };
    const lookup cases[] = {
        {"Content-Type", 64, 0, "text/plain"},
        {"CONTENT-LENGTH", 64, 0, "42"},
        {"X-Tabs", 64, 0, "value with space  "},
        {"X-Tabs", 6, 0, "value"},
        {"X-Empty", 64, 0, ""},
        {"Location", 64, 0, "/last"},
        {"Content", 64, -1, ""},
        {"HTTP/1.1 200 OK", 64, -1, ""},
        {"Missing", 64, -1, ""},
    };
    for (const lookup& c : cases) {
        SCOPED_TRACE(c.name);
        char out[64] = "untouched";
        ASSERT_EQ(pkg_header_get_value(headers, c.name, out, c.size), c.result);
        if (c.result == 0) {
            EXPECT_STREQ(out, c.value);
        }
    }
    char out[16];
    EXPECT_EQ(pkg_header_get_value("HTTP/1.1 200 OK\r\nA: 1\r\n\r\nB: 2\r\n", "B", out, sizeof out), -1);
}

TEST(HttpResponse, HexSizeTable) {
    struct hex {
        std::string text;
        int result;
        uint32_t size;
    };
    const hex cases[] = {
        {"0", 0, 0},           {"1a", 0, 26},         {"1A;name=v", 0, 26},   {"ff \t", 0, 255},
        {"ffffffff", 0, 0xFFFFFFFFu}, {"00000000001f", 0, 31}, {"100000000", -1, 0}, {"", -1, 0},
        {";ext", -1, 0},       {" 1a", -1, 0},        {"0x1a", -1, 0},        {"1g", -1, 0},
        {"-1", -1, 0},
    };
    for (const hex& c : cases) {
        SCOPED_TRACE(c.text);
        uint32_t size = 12345;
        ASSERT_EQ(pkg_parse_hex_size(reinterpret_cast<const uint8_t*>(c.text.data()), c.text.size(), &size), c.result);
        if (c.result == 0) {
            EXPECT_EQ(size, c.size);
        }
    }
}

}  // namespace
