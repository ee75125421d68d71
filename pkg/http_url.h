// URLs of the package repository: parsing, redirect targets and the request
// text of one GET.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t HTTP_HOST_SIZE = 128;     // host text, at most 127 bytes
constexpr size_t HTTP_PATH_SIZE = 256;     // request target, at most 255 bytes
constexpr size_t HTTP_URL_SIZE = 256;      // a whole URL, at most 255 bytes
constexpr size_t HTTP_REQUEST_SIZE = 512;  // the request text

constexpr uint16_t HTTP_DEFAULT_PORT = 80;
constexpr uint16_t HTTPS_DEFAULT_PORT = 443;

struct http_url {
    char host[HTTP_HOST_SIZE];
    char path[HTTP_PATH_SIZE];
    uint16_t port;
    bool is_https;
};

// "http://host[:port][/path]" or "https://..." into `out`. The path is kept
// verbatim (query and fragment included), "/" when absent.
// 0 on success; -1 when malformed or too long (nothing printed).
int pkg_http_parse_url(const char* text, http_url* out);

// The absolute URL a `Location` value names from `current`: absolute
// locations as they are, "/..." on the same origin, anything else relative
// to the current path's directory. 0, or -1 when it would not fit `out`
// (HTTP_URL_SIZE bytes).
int pkg_make_redirect_url(const http_url* current, const char* location, char* out);

// Formats the GET request for `url` into `out` (HTTP_REQUEST_SIZE bytes).
// Its length, or -1 when it does not fit.
int pkg_http_format_request(const http_url* url, char* out);
