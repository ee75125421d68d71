// Name resolution and TCP sends for the package core's HTTP client.
#include "net_transport.h"

#include "qor.h"
#include "qor_print.h"

int pkg_parse_dotted_quad(const char* host, uint8_t address[4]) {
    if (!host) return 0;
    const char* p = host;
    for (int group = 0; group < 4; ++group) {
        if (group > 0 && *p++ != '.') return 0;
        if (*p < '0' || *p > '9') return 0;
        uint32_t value = 0;
        // Leading zeros are plain decimal; the bound check stops long runs.
        while (*p >= '0' && *p <= '9') {
            value = value * 10 + static_cast<uint32_t>(*p++ - '0');
            if (value > 255) return 0;
        }
        address[group] = static_cast<uint8_t>(value);
    }
    return *p == '\0' ? 1 : 0;
}

int pkg_resolve_host_ipv4(const char* host, uint8_t address[4]) {
    if (!host || !address) return -1;
    if (pkg_parse_dotted_quad(host, address)) return 0;
    if (qor::net_resolve(host, address) == 0) return 0;
    qor::print("install: DNS failed for %s\n", host);
    return -1;
}

long pkg_tcp_send_piece(const void* data, size_t length) {
    long n = qor::tcp_send(data, length < NET_SEND_PIECE_MAX ? length : NET_SEND_PIECE_MAX);
    return n < 0 ? -1 : n;
}
