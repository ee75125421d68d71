// URL parsing, redirect targets and the request text.
#include <gtest/gtest.h>

#include <string>

#include "http_url.h"

namespace {

struct url_case {
    const char* text;
    int result;
    const char* host;
    const char* path;
    unsigned port;
    bool https;
};

TEST(HttpUrl, ParseTable) {
    const std::string long_host(127, 'h');
    const std::string too_long_host(128, 'h');
    const std::string path_255 = "/" + std::string(254, 'p');
    const std::string path_256 = "/" + std::string(255, 'p');
    const std::string u1 = "http://" + long_host + "/";
    const std::string u2 = "http://" + too_long_host + "/";
    const std::string u3 = "http://h" + path_255;
    const std::string u4 = "http://h" + path_256;
    const url_case cases[] = {
        {"http://example.test", 0, "example.test", "/", 80, false},
        {"https://example.test", 0, "example.test", "/", 443, true},
        {"https://example.test:8443/a/b?q=1#f", 0, "example.test", "/a/b?q=1#f", 8443, true},
        {"http://10.0.0.1:65535/x", 0, "10.0.0.1", "/x", 65535, false},
        {"http://h:007/", 0, "h", "/", 7, false},
        {u1.c_str(), 0, long_host.c_str(), "/", 80, false},
        {u3.c_str(), 0, "h", path_255.c_str(), 80, false},
        {u2.c_str(), -1, "", "", 0, false},
        {u4.c_str(), -1, "", "", 0, false},
        {"http://h:0/", -1, "", "", 0, false},
        {"http://h:65536/", -1, "", "", 0, false},
        {"http://h:/", -1, "", "", 0, false},
        {"http://h:8a/", -1, "", "", 0, false},
        {"http:///path", -1, "", "", 0, false},
        {"http://:80/", -1, "", "", 0, false},
        {"HTTP://h/", -1, "", "", 0, false},
        {"ftp://h/", -1, "", "", 0, false},
        {"", -1, "", "", 0, false},
        // Bytes that would end the request line or add lines to the request.
        {"http://h/a\r\nX-Injected: 1", -1, "", "", 0, false},
        {"http://h/a b", -1, "", "", 0, false},
        {"http://h/a\tb", -1, "", "", 0, false},
        {"http://h/a\x01", -1, "", "", 0, false},
        {"http://h/a\x7F", -1, "", "", 0, false},
        {"http://h\n/a", -1, "", "", 0, false},
        {"http://h/~a!\x80", 0, "h", "/~a!\x80", 80, false},
    };
    for (const url_case& c : cases) {
        SCOPED_TRACE(c.text);
        http_url u{};
        ASSERT_EQ(pkg_http_parse_url(c.text, &u), c.result);
        if (c.result != 0) continue;
        EXPECT_STREQ(u.host, c.host);
        EXPECT_STREQ(u.path, c.path);
        EXPECT_EQ(u.port, c.port);
        EXPECT_EQ(u.is_https, c.https);
    }
}

struct redirect_case {
    const char* current;
    std::string location;
    int result;
    std::string target;
};

TEST(HttpUrl, RedirectTable) {
    const std::string abs_255 = "http://h/" + std::string(246, 'a');
    const std::string rooted_247 = "/" + std::string(246, 'r');
    const redirect_case cases[] = {
        {"http://h/a/b/index.json", "pkg.tar", 0, "http://h/a/b/pkg.tar"},
        {"https://h:8443/a/b/index.json", "pkg.tar", 0, "https://h:8443/a/b/pkg.tar"},
        {"https://h:443/x", "/y", 0, "https://h/y"},
        {"http://h:8080/x", "/y?z", 0, "http://h:8080/y?z"},
        {"http://h/", "../up", 0, "http://h/../up"},
        {"http://h/a/b", "//other/x", 0, "http://h//other/x"},
        {"http://h/a", "https://elsewhere:99/z", 0, "https://elsewhere:99/z"},
        {"http://h/a", abs_255, 0, abs_255},
        {"http://h/a", abs_255 + "a", -1, ""},
        {"http://h/a", rooted_247, 0, "http://h" + rooted_247},
        {"http://h/a", rooted_247 + "r", -1, ""},
        // A rooted path beyond 255 bytes is refused rather than cut.
        {"http://h/a", "/" + std::string(255, 'r'), -1, ""},
        {"http://h/d/x", std::string(244, 'n'), 0, "http://h/d/" + std::string(244, 'n')},
        {"http://h/d/x", std::string(245, 'n'), -1, ""},
        // The whole URL must fit 255 bytes even when the path does.
        {"https://h:8443/", "/" + std::string(241, 'q'), -1, ""},
        // Bytes a URL may not hold are refused in a location too.
        {"http://h/d/x", "pkg.t\x03r", -1, ""},
        {"http://h/d/x", "/a b", -1, ""},
        {"http://h/d/x", "http://h/a\r\nX: y", -1, ""},
    };
    for (const redirect_case& c : cases) {
        SCOPED_TRACE(std::string(c.current) + " + " + c.location);
        http_url u{};
        ASSERT_EQ(pkg_http_parse_url(c.current, &u), 0);
        char out[HTTP_URL_SIZE];
        ASSERT_EQ(pkg_make_redirect_url(&u, c.location.c_str(), out), c.result);
        if (c.result == 0) {
            EXPECT_EQ(std::string(out), c.target);
        }
    }
}

TEST(HttpUrl, RequestTextCarriesPathAndHostWithoutPort) {
    http_url u{};
    ASSERT_EQ(pkg_http_parse_url("https://repo.test:8443/p/index.json?v=2", &u), 0);
    char request[HTTP_REQUEST_SIZE];
    int n = pkg_http_format_request(&u, request);
    EXPECT_EQ(std::string(request, static_cast<size_t>(n)),
              "GET /p/index.json?v=2 HTTP/1.1\r\nHost: repo.test\r\nUser-Agent: QOR-OS/install\r\n"
              "Connection: close\r\n\r\n");
}

}  // namespace
