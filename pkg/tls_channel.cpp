// TLS channel set-up, release and the callbacks mbedTLS reads, writes and
// draws random bytes through.
#include "tls_channel.h"

#include <cstring>

#include "qor.h"
#include "qor_print.h"

uint32_t g_tls_rng_state = 0;

namespace {

constexpr uint32_t TLS_SEED_MIX = 0x7F4A7C15;

// Seeds the state from the host's seed word. The state is never 0:
// xorshift would then emit zeros forever.
void tls_rng_seed() {
    uint32_t word = qor::seed_word();
    g_tls_rng_state = word == TLS_SEED_MIX ? 1 : word ^ TLS_SEED_MIX;
}

// One xorshift32 step (shifts 13, 17, 5).
uint32_t tls_rng_next() {
    uint32_t x = g_tls_rng_state;
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    g_tls_rng_state = x;
    return x;
}

// Copies up to `length` unread bytes out of the bio; the count copied.
int tls_bio_take(tls_bio* bio, unsigned char* out, size_t length) {
    uint32_t unread = bio->rd_end - bio->rd_pos;
    uint32_t n = length < unread ? static_cast<uint32_t>(length) : unread;
    memcpy(out, bio->buf + bio->rd_pos, n);
    bio->rd_pos += n;
    if (bio->rd_pos == bio->rd_end) bio->rd_pos = bio->rd_end = 0;
    return static_cast<int>(n);
}

// Everything before the handshake: configuration, context, server name and
// the transport callbacks.
int tls_configure(tls_channel* channel, const char* host) {
    int r = mbedtls_ssl_config_defaults(&channel->config, MBEDTLS_SSL_IS_CLIENT, MBEDTLS_SSL_TRANSPORT_STREAM,
                                        MBEDTLS_SSL_PRESET_DEFAULT);
    if (r != 0) {
        qor::print("install: TLS config failed (code %d)\n", r);
        return -1;
    }
    mbedtls_ssl_conf_authmode(&channel->config, MBEDTLS_SSL_VERIFY_NONE);
    mbedtls_ssl_conf_rng(&channel->config, pkg_tls_rng, nullptr);
    r = mbedtls_ssl_setup(&channel->ssl, &channel->config);
    if (r != 0) {
        qor::print("install: TLS setup failed (code %d)\n", r);
        return -1;
    }
    r = mbedtls_ssl_set_hostname(&channel->ssl, host);
    if (r != 0) {
        qor::print("install: TLS SNI set failed for %s (code %d)\n", host, r);
        return -1;
    }
    channel->bio.rd_pos = channel->bio.rd_end = 0;
    mbedtls_ssl_set_bio(&channel->ssl, &channel->bio, pkg_tls_send_cb, pkg_tls_recv_cb, nullptr);
    return 0;
}

// Drives the handshake, sleeping between would-block results.
// 0 when complete; -1 after printing the timeout or the failure.
int tls_handshake(tls_channel* channel, const uint8_t a[4]) {
    uint32_t waits = 0;
    for (;;) {
        int r = mbedtls_ssl_handshake(&channel->ssl);
        if (r == 0) return 0;
        if (r != MBEDTLS_ERR_SSL_WANT_READ && r != MBEDTLS_ERR_SSL_WANT_WRITE) {
            qor::print("install: TLS handshake failed (code %d) via %u.%u.%u.%u\n", r, a[0], a[1], a[2], a[3]);
            return -1;
        }
        if (++waits >= NET_POLL_LIMIT) {
            qor::print("install: TLS handshake timeout via %u.%u.%u.%u\n", a[0], a[1], a[2], a[3]);
            return -1;
        }
        qor::usleep(NET_POLL_SLEEP_US);
    }
}

}  // namespace

int pkg_tls_establish(tls_channel* channel, const char* host, const uint8_t address[4]) {
    mbedtls_ssl_init(&channel->ssl);
    mbedtls_ssl_config_init(&channel->config);
    if (tls_configure(channel, host) != 0 || tls_handshake(channel, address) != 0) {
        pkg_tls_release(channel, false);
        return -1;
    }
    return 0;
}

void pkg_tls_release(tls_channel* channel, bool handshake_done) {
    if (handshake_done) mbedtls_ssl_close_notify(&channel->ssl);
    mbedtls_ssl_config_free(&channel->config);
    mbedtls_ssl_free(&channel->ssl);
    qor::tcp_close();
}

int pkg_tls_send_cb(void* context, const unsigned char* data, size_t length) {
    (void)context;
    if (!data || length == 0) return 0;
    long r = pkg_tcp_send_piece(data, length);
    if (r < 0) return MBEDTLS_ERR_SSL_INTERNAL_ERROR;
    if (r == 0) return MBEDTLS_ERR_SSL_WANT_WRITE;
    return static_cast<int>(r);
}

int pkg_tls_recv_cb(void* context, unsigned char* out, size_t length) {
    auto* bio = static_cast<tls_bio*>(context);
    if (!bio || !out || length == 0) return MBEDTLS_ERR_SSL_INTERNAL_ERROR;
    if (bio->rd_pos < bio->rd_end) return tls_bio_take(bio, out, length);
    long r = qor::tcp_recv(bio->buf, sizeof bio->buf);
    if (r == qor::TCP_PEER_CLOSED) return MBEDTLS_ERR_SSL_CONN_EOF;
    if (r == 0) return MBEDTLS_ERR_SSL_WANT_READ;
    if (r < 0 || r > static_cast<long>(sizeof bio->buf)) return MBEDTLS_ERR_SSL_INTERNAL_ERROR;
    bio->rd_pos = 0;
    bio->rd_end = static_cast<uint32_t>(r);
    return tls_bio_take(bio, out, length);
}

int pkg_tls_rng(void* context, unsigned char* output, size_t length) {
    (void)context;
    if (g_tls_rng_state == 0) tls_rng_seed();
    for (size_t i = 0; i < length; ++i) output[i] = static_cast<unsigned char>(tls_rng_next() & 0xFF);
    return 0;
}
