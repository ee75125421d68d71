// Network services: resolve a host name, and one current TCP connection
// without a handle (connect, send, receive, close).
//
// Resolution reads the machine's `hosts` file ("name a.b.c.d" lines, '#'
// starts a comment) before the host resolver, so tests can send any name to
// a loopback server. Connect blocks; afterwards the socket is non-blocking:
// send returns 0 when nothing can be taken now, receive returns 0 when
// nothing is there yet and -2 once the peer has closed.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "kernel.h"
#include "qor_calls.h"

namespace hosted {
namespace {

int g_connection = -1;

// True when `text` is a dotted IPv4 address; its four bytes go to `out`.
bool parse_ipv4(const std::string& text, uint8_t out[4]) {
    in_addr a;
    if (inet_pton(AF_INET, text.c_str(), &a) != 1) return false;
    memcpy(out, &a.s_addr, 4);
    return true;
}

// The address the machine's hosts file gives `name`; false when none.
bool lookup_hosts_file(const char* name, uint8_t out[4]) {
    if (is_bare_host()) return false;
    std::ifstream in(machine().dir + "/hosts");
    std::string line;
    while (std::getline(in, line)) {
        line = line.substr(0, line.find('#'));
        std::istringstream fields(line);
        std::string host, address;
        if (!(fields >> host >> address)) continue;
        if (host == name && parse_ipv4(address, out)) return true;
    }
    return false;
}

// The host resolver's first IPv4 address for `name`; false when none.
bool lookup_host_resolver(const char* name, uint8_t out[4]) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(name, nullptr, &hints, &found) != 0 || !found) return false;
    const auto* sin = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
    memcpy(out, &sin->sin_addr.s_addr, 4);
    freeaddrinfo(found);
    return true;
}

long sys_resolve(const char* name, uint8_t* out) {
    if (!name || !out || name[0] == '\0') return -1;
    if (lookup_hosts_file(name, out) || lookup_host_resolver(name, out)) return 0;
    return -1;
}

void close_connection() {
    if (g_connection >= 0) ::close(g_connection);
    g_connection = -1;
}

long sys_connect(const uint8_t* address, long port) {
    close_connection();
    if (!address || port <= 0 || port > 65535) return -1;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(static_cast<uint16_t>(port));
    memcpy(&peer.sin_addr.s_addr, address, 4);
    int r;
    do {
        r = connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer);
    } while (r != 0 && errno == EINTR);
    int one = 1;
    if (r != 0 || setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0 ||
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK) != 0) {
        ::close(fd);
        return -1;
    }
    g_connection = fd;
    return 0;
}

bool would_block(int err) { return err == EAGAIN || err == EWOULDBLOCK || err == EINTR; }

long sys_send(const void* buf, long len) {
    if (g_connection < 0 || !buf || len < 0) return -1;
    if (len == 0) return 0;
    ssize_t n = ::send(g_connection, buf, static_cast<size_t>(len), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) return would_block(errno) ? 0 : -1;
    return n;
}

long sys_recv(void* buf, long len) {
    if (g_connection < 0 || !buf || len <= 0) return -1;
    ssize_t n = ::recv(g_connection, buf, static_cast<size_t>(len), MSG_DONTWAIT);
    if (n > 0) return n;
    if (n == 0) return qor::TCP_PEER_CLOSED;
    return would_block(errno) ? 0 : -1;
}

}  // namespace

long network_call(long number, long a, long b, long c) {
    (void)c;
    switch (number) {
        case qor::SYS_NET_RESOLVE: return sys_resolve(as_text(a), static_cast<uint8_t*>(as_buffer(b)));
        case qor::SYS_TCP_CONNECT: return sys_connect(static_cast<const uint8_t*>(as_buffer(a)), b);
        case qor::SYS_TCP_SEND: return sys_send(as_buffer(a), b);
        case qor::SYS_TCP_RECV: return sys_recv(as_buffer(a), b);
        case qor::SYS_TCP_CLOSE: close_connection(); return 0;
        default: return -1;
    }
}

void network_reset() { close_connection(); }

}  // namespace hosted
