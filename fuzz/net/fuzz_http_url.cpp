// URL parsing and redirect building: the input is a URL, a NUL, then a
// Location value. A parsed URL always yields a request that fits; a redirect
// target always fits its buffer and, when built from a path, parses again.
#include <cstdint>
#include <cstring>
#include <string>

#include "http_url.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string input(reinterpret_cast<const char*>(data), size);
    size_t nul = input.find('\0');
    std::string text = input.substr(0, nul);
    std::string location = nul == std::string::npos ? "" : input.substr(nul + 1);
    location = location.substr(0, location.find('\0'));
    http_url url{};
    if (pkg_http_parse_url(text.c_str(), &url) != 0) return 0;
    if (url.port == 0 || url.host[0] == '\0' || url.path[0] != '/') __builtin_trap();
    char request[HTTP_REQUEST_SIZE];
    if (pkg_http_format_request(&url, request) < 0) __builtin_trap();
    char target[HTTP_URL_SIZE];
    if (pkg_make_redirect_url(&url, location.c_str(), target) != 0) return 0;
    if (strlen(target) >= HTTP_URL_SIZE) __builtin_trap();
    bool absolute = location.rfind("http://", 0) == 0 || location.rfind("https://", 0) == 0;
    http_url again{};
    if (!absolute && pkg_http_parse_url(target, &again) != 0) __builtin_trap();
    return 0;
}
