// The exchange over plain TCP or TLS, the HTTPS retry and redirect following.
//
// An exchange is: resolve, connect, (handshake), send the request, then poll
// the transport and feed each block to the response reader until it is done.
// An empty poll sleeps NET_POLL_SLEEP_US; NET_POLL_LIMIT empty polls in a row
// end the exchange.
#include "http_client.h"

#include <cstring>

#include "net_transport.h"
#include "qor.h"
#include "qor_print.h"
#include "tls_channel.h"

namespace {

constexpr long SEND_RETRY_US = 1000;
constexpr long HTTPS_RETRY_PAUSE_US = 50000;

// Result of one transport read besides a positive byte count.
constexpr long READ_NOTHING_YET = 0;
constexpr long READ_END = -2;
constexpr long READ_FAILED = -1;

// The connection of one exchange: plain TCP, or TLS over it.
struct http_transport {
    tls_channel* tls;  // null for plain HTTP
};

// One block from the transport: bytes, READ_NOTHING_YET, READ_END, or
// READ_FAILED (reported).
long transport_read(http_transport* t, uint8_t* block, uint32_t size) {
    if (!t->tls) {
        long n = qor::tcp_recv(block, size);
        if (n > 0 && n <= static_cast<long>(size)) return n;
        if (n == 0) return READ_NOTHING_YET;
        if (n == qor::TCP_PEER_CLOSED) return READ_END;
        qor::print("install: HTTP receive failed\n");
        return READ_FAILED;
    }
    int n = mbedtls_ssl_read(&t->tls->ssl, block, size);
    if (n > 0) return n;
    if (n == MBEDTLS_ERR_SSL_WANT_READ || n == MBEDTLS_ERR_SSL_WANT_WRITE) return READ_NOTHING_YET;
    if (n == 0 || n == MBEDTLS_ERR_SSL_CONN_EOF || n == MBEDTLS_ERR_SSL_PEER_CLOSE_NOTIFY) return READ_END;
    qor::print("install: HTTPS receive failed (%d)\n", n);
    return READ_FAILED;
}

// Hands the transport the front of `data`: the bytes it took, 0 when it
// can take none now, or -1 (reported).
long transport_write(http_transport* t, const char* data, uint32_t len) {
    if (!t->tls) {
        long n = pkg_tcp_send_piece(data, len);
        if (n >= 0) return n;
        qor::print("install: failed to send request\n");
        return -1;
    }
    int n = mbedtls_ssl_write(&t->tls->ssl, reinterpret_cast<const unsigned char*>(data), len);
    if (n >= 0) return n;
    if (n == MBEDTLS_ERR_SSL_WANT_READ || n == MBEDTLS_ERR_SSL_WANT_WRITE) return 0;
    qor::print("install: HTTPS send failed (%d)\n", n);
    return -1;
}

// Sends the whole request, pausing while the transport takes nothing; 0, or
// -1 (reported).
int send_request(http_transport* t, const char* request, uint32_t len) {
    uint32_t sent = 0;
    while (sent < len) {
        long n = transport_write(t, request + sent, len - sent);
        if (n < 0) return -1;
        if (n == 0) qor::usleep(SEND_RETRY_US);
        sent += static_cast<uint32_t>(n);
    }
    return 0;
}

// Polls the transport and feeds the reader until it finishes.
// DONE, REDIRECT or FAILED (reported).
http_step pump_response(http_transport* t, http_response* r) {
    uint8_t block[NET_RECV_BLOCK_SIZE];
    uint32_t empty_polls = 0;
    for (;;) {
        long n = transport_read(t, block, sizeof block);
        if (n > 0) {
            empty_polls = 0;
            http_step s = http_response_feed(r, block, static_cast<uint32_t>(n));
            if (s != HTTP_STEP_MORE) return s;
        } else if (n == READ_NOTHING_YET) {
            if (++empty_polls >= NET_POLL_LIMIT) {
                qor::print(t->tls ? "install: HTTPS receive timeout\n" : "install: HTTP receive timeout\n");
                return HTTP_STEP_FAILED;
            }
            qor::usleep(NET_POLL_SLEEP_US);
        } else if (n == READ_END) {
            return http_response_end_of_stream(r);
        } else {
            return HTTP_STEP_FAILED;
        }
    }
}

// Maps the reader's last step to the request result: 0, 1 or -1.
int exchange_result(http_step s, const http_response* r, uint64_t* count) {
    if (s == HTTP_STEP_REDIRECT) return 1;
    if (s != HTTP_STEP_DONE) return -1;
    *count = r->delivered;
    return 0;
}

// Resolves the host and connects to it: the current connection. 0, or -1
// after printing why (the HTTPS text also names the address tried).
int open_connection(const http_url* url, uint8_t a[4]) {
    if (pkg_resolve_host_ipv4(url->host, a) != 0) return -1;
    if (qor::tcp_connect(a, url->port) == 0) return 0;
    unsigned port = url->port;
    if (url->is_https) {
        qor::print("install: TCP connect failed for %s:%u via %u.%u.%u.%u\n", url->host, port, a[0], a[1], a[2], a[3]);
    } else {
        qor::print("install: TCP connect failed for %s:%u\n", url->host, port);
    }
    return -1;
}

// One exchange, through TLS for https. The connection (and the channel) is
// released on every path that made it, so none is open afterwards.
int exchange(const http_url* url, const char* request, uint32_t request_len, http_response* r, uint64_t* count) {
    uint8_t address[4];
    if (open_connection(url, address) != 0) return -1;
    tls_channel channel;
    http_transport t{url->is_https ? &channel : nullptr};
    if (t.tls && pkg_tls_establish(t.tls, url->host, address) != 0) return -1;
    http_step s = HTTP_STEP_FAILED;
    if (send_request(&t, request, request_len) == 0) s = pump_response(&t, r);
    if (t.tls) {
        pkg_tls_release(t.tls, true);
    } else {
        qor::tcp_close();
    }
    return exchange_result(s, r, count);
}

}  // namespace

int pkg_http_get_stream_once(const char* url_text, pkg_body_sink sink, void* context, uint64_t* count,
                             char* redirect) {
    if (!url_text || !sink || !count || !redirect) return -1;
    http_url url;
    char request[HTTP_REQUEST_SIZE];
    int request_len = -1;
    if (pkg_http_parse_url(url_text, &url) == 0) request_len = pkg_http_format_request(&url, request);
    if (request_len < 0) {
        qor::print("install: invalid URL: %s\n", url_text);
        return -1;
    }
    http_response r;
    http_response_start(&r, &url, url_text, sink, context, redirect);
    int result = exchange(&url, request, static_cast<uint32_t>(request_len), &r, count);
    // Once the sink holds body bytes a second attempt would hand it the body
    // again after them, so only an HTTPS failure before the body is retried.
    if (!url.is_https || result != -1 || r.delivered > 0) return result;
    qor::print("install: retrying HTTPS request after timeout/failure\n");
    // The first attempt may have failed before it had a connection to
    // release; the retry starts from none either way.
    qor::tcp_close();
    qor::usleep(HTTPS_RETRY_PAUSE_US);
    http_response_start(&r, &url, url_text, sink, context, redirect);
    return exchange(&url, request, static_cast<uint32_t>(request_len), &r, count);
}

int pkg_http_get_stream(const char* url, pkg_body_sink sink, void* context, uint64_t* count) {
    if (!url) return -1;
    char current[HTTP_URL_SIZE];
    size_t len = strlen(url);
    if (len >= sizeof current) {
        qor::print("install: invalid URL: %s\n", url);
        return -1;
    }
    memcpy(current, url, len + 1);
    for (int redirects = 0; redirects <= HTTP_MAX_REDIRECTS; ++redirects) {
        char target[HTTP_URL_SIZE];
        int r = pkg_http_get_stream_once(current, sink, context, count, target);
        if (r != 1) return r;
        memcpy(current, target, strlen(target) + 1);
    }
    qor::print("install: too many redirects\n");
    return -1;
}
