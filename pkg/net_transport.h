// Name resolution, the TCP send rule and the polling constants shared by the
// network pieces of the package core. The host's TCP service has no
// connection handle: send, receive and close act on the one current
// connection (qor::tcp_*).
#pragma once

#include <cstddef>
#include <cstdint>

// A silent peer is given up after this many consecutive empty polls, with
// NET_POLL_SLEEP_US between them: about 60 seconds.
constexpr uint32_t NET_POLL_LIMIT = 6000;
constexpr long NET_POLL_SLEEP_US = 10000;

// Largest piece handed to one TCP send, and the receive block size.
constexpr uint32_t NET_SEND_PIECE_MAX = 512;
constexpr uint32_t NET_RECV_BLOCK_SIZE = 1536;

// One TCP send of the front of `data`, at most NET_SEND_PIECE_MAX bytes: the
// count taken, 0 when the host can take nothing now, or -1.
long pkg_tcp_send_piece(const void* data, size_t length);

// Host text to an IPv4 address in network byte order (first byte = first
// dotted number). A dotted quad is read without asking the host.
// 0 on success; -1 after printing "install: DNS failed for <host>".
int pkg_resolve_host_ipv4(const char* host, uint8_t address[4]);

// 1 when `host` is exactly four decimal groups of at most 255 joined by
// single dots, with their values in `address`; else 0.
int pkg_parse_dotted_quad(const char* host, uint8_t address[4]);
