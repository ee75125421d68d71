// URL parsing, redirect targets and the request text (RFC 9112 request line
// and Host header). Nothing is escaped or normalised: the path travels as
// the server gave it.
#include "http_url.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr char HTTP_SCHEME[] = "http://";
constexpr char HTTPS_SCHEME[] = "https://";

// True when `text` begins with `prefix` (case-sensitive).
bool starts_with(const char* text, const char* prefix) { return strncmp(text, prefix, strlen(prefix)) == 0; }

// Copies `len` bytes and a NUL into `out` of `size` bytes; -1 if they do not fit.
int copy_text(char* out, size_t size, const char* text, size_t len) {
    if (len >= size) return -1;
    memcpy(out, text, len);
    out[len] = '\0';
    return 0;
}

// Reads ":digits" at `p`; 1..65535 into `port`, the end of the digits into
// `end`. -1 when empty, zero or above 65535.
int parse_port(const char* p, uint16_t* port, const char** end) {
    uint32_t value = 0;
    const char* q = p;
    while (*q >= '0' && *q <= '9') {
        value = value * 10 + static_cast<uint32_t>(*q++ - '0');
        if (value > 65535) return -1;
    }
    if (q == p || value == 0) return -1;
    *port = static_cast<uint16_t>(value);
    *end = q;
    return 0;
}

// 443 for https, 80 for http.
uint16_t default_port(bool is_https) { return is_https ? HTTPS_DEFAULT_PORT : HTTP_DEFAULT_PORT; }

// "scheme://host[:port]" of `url` into `out`; its length, or -1 if it does not fit.
int format_origin(const http_url* url, char* out, size_t size) {
    const char* scheme = url->is_https ? HTTPS_SCHEME : HTTP_SCHEME;
    int n = url->port == default_port(url->is_https)
                ? snprintf(out, size, "%s%s", scheme, url->host)
                : snprintf(out, size, "%s%s:%u", scheme, url->host, static_cast<unsigned>(url->port));
    return n < 0 || static_cast<size_t>(n) >= size ? -1 : n;
}

// True when `text` holds a space, a control byte or DEL: the path goes into
// the request line verbatim, so such a byte would end that line early or
// start a header line of the URL's choosing.
bool has_unsafe_byte(const char* text) {
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
        if (*p < 0x21 || *p == 0x7F) return true;
    }
    return false;
}

}  // namespace

int pkg_http_parse_url(const char* text, http_url* out) {
    if (!text || !out) return -1;
    if (has_unsafe_byte(text)) return -1;
    const char* p;
    if (starts_with(text, HTTP_SCHEME)) {
        out->is_https = false;
        p = text + strlen(HTTP_SCHEME);
    } else if (starts_with(text, HTTPS_SCHEME)) {
        out->is_https = true;
        p = text + strlen(HTTPS_SCHEME);
    } else {
        return -1;
    }
    size_t host_len = strcspn(p, "/:");
    if (host_len == 0 || copy_text(out->host, sizeof out->host, p, host_len) != 0) return -1;
    p += host_len;
    out->port = default_port(out->is_https);
    if (*p == ':' && parse_port(p + 1, &out->port, &p) != 0) return -1;
    if (*p == '\0') return copy_text(out->path, sizeof out->path, "/", 1);
    if (*p != '/') return -1;
    return copy_text(out->path, sizeof out->path, p, strlen(p));
}

int pkg_make_redirect_url(const http_url* current, const char* location, char* out) {
    if (!current || !location || !out) return -1;
    // The target is parsed and requested next: a byte the parser refuses is
    // refused here already, so a redirect never yields a target that cannot
    // be used.
    if (has_unsafe_byte(location)) return -1;
    if (starts_with(location, HTTP_SCHEME) || starts_with(location, HTTPS_SCHEME)) {
        return copy_text(out, HTTP_URL_SIZE, location, strlen(location));
    }
    char path[HTTP_PATH_SIZE];
    if (location[0] == '/') {
        if (copy_text(path, sizeof path, location, strlen(location)) != 0) return -1;
    } else {
        // Relative: the current path's directory, then the location. No dot
        // segments are resolved.
        const char* slash = strrchr(current->path, '/');
        size_t dir_len = slash ? static_cast<size_t>(slash - current->path) + 1 : 1;
        const char* dir = slash ? current->path : "/";
        size_t loc_len = strlen(location);
        if (dir_len + loc_len > HTTP_PATH_SIZE - 2) return -1;
        memcpy(path, dir, dir_len);
        memcpy(path + dir_len, location, loc_len + 1);
    }
    int origin_len = format_origin(current, out, HTTP_URL_SIZE);
    if (origin_len < 0) return -1;
    return copy_text(out + origin_len, HTTP_URL_SIZE - static_cast<size_t>(origin_len), path, strlen(path));
}

int pkg_http_format_request(const http_url* url, char* out) {
    if (!url || !out) return -1;
    int n = snprintf(out, HTTP_REQUEST_SIZE,
                     "GET %s HTTP/1.1\r\nHost: %s\r\nUser-Agent: QOR-OS/install\r\nConnection: close\r\n\r\n",
                     url->path, url->host);
    return n < 0 || static_cast<size_t>(n) >= HTTP_REQUEST_SIZE ? -1 : n;
}
