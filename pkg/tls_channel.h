// A TLS channel for one HTTPS attempt: mbedTLS over the host's TCP service,
// with the transport and random callbacks mbedTLS calls.
//
// The server certificate is not verified and no authorities are configured.
#pragma once

#include <mbedtls/ssl.h>

#include <cstddef>
#include <cstdint>

#include "net_transport.h"

// Bytes received from the host but not yet taken by TLS.
// rd_pos == rd_end == 0 when empty.
struct tls_bio {
    uint8_t buf[NET_RECV_BLOCK_SIZE];
    uint32_t rd_pos;
    uint32_t rd_end;
};

struct tls_channel {
    mbedtls_ssl_context ssl;
    mbedtls_ssl_config config;
    tls_bio bio;
};

// The random generator's state for the whole process; 0 until first use.
extern uint32_t g_tls_rng_state;

// Sets up the channel over the current TCP connection and completes the
// handshake for `host` (also the server name). 0: ready for
// mbedtls_ssl_write/read. -1: reported; channel and connection released.
int pkg_tls_establish(tls_channel* channel, const char* host, const uint8_t address[4]);

// Sends the close-notify (only after a completed handshake), frees the
// configuration and context, and closes the TCP connection.
void pkg_tls_release(tls_channel* channel, bool handshake_done);

// mbedTLS send callback: at most NET_SEND_PIECE_MAX bytes per call; the
// count taken, MBEDTLS_ERR_SSL_WANT_WRITE, or MBEDTLS_ERR_SSL_INTERNAL_ERROR.
int pkg_tls_send_cb(void* context, const unsigned char* data, size_t length);

// mbedTLS receive callback over a tls_bio: serves buffered bytes first, then
// one host receive. Bytes copied, WANT_READ, CONN_EOF or INTERNAL_ERROR.
int pkg_tls_recv_cb(void* context, unsigned char* out, size_t length);

// mbedTLS random callback: xorshift32 seeded once from the host's seed word.
// Always 0.
int pkg_tls_rng(void* context, unsigned char* output, size_t length);
