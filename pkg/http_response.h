// The HTTP/1.1 response reader shared by plain and TLS exchanges: an explicit
// state machine fed one received block at a time. It finds the header block,
// follows the status, and hands body bytes (never header bytes or chunk
// framing) to the caller's sink.
#pragma once

#include <cstddef>
#include <cstdint>

#include "http_url.h"

// Body sink: takes `count` >= 1 body bytes in order; 0 to continue,
// non-zero to abort the request.
using pkg_body_sink = int (*)(const uint8_t* data, uint32_t count, void* context);

constexpr size_t HTTP_HEADER_BUFFER_SIZE = 4096;  // 4095 bytes and a NUL
constexpr size_t HTTP_CHUNK_BUFFER_SIZE = 4096;
constexpr size_t HTTP_TRANSFER_ENCODING_SIZE = 64;
constexpr size_t HTTP_CONTENT_LENGTH_SIZE = 32;
// One byte more than any usable target, so that a longer Location is seen
// and refused instead of followed cut.
constexpr size_t HTTP_LOCATION_SIZE = HTTP_URL_SIZE + 1;

enum class http_read_state { headers, body, chunk_size, chunk_data, done };

// What a step of the reader asks of the exchange.
enum http_step : int {
    HTTP_STEP_FAILED = -1,   // reported; close and fail
    HTTP_STEP_MORE = 0,      // feed the next block
    HTTP_STEP_DONE = 1,      // the whole body went to the sink
    HTTP_STEP_REDIRECT = 2,  // the target is in the redirect buffer
};

struct http_response {
    http_read_state state;
    const http_url* url;
    const char* url_text;  // this request's URL, for messages
    pkg_body_sink sink;
    void* sink_context;
    char* redirect_out;  // HTTP_URL_SIZE bytes

    char headers[HTTP_HEADER_BUFFER_SIZE];
    uint32_t header_len;

    bool has_length;
    uint64_t content_length;

    uint8_t chunk[HTTP_CHUNK_BUFFER_SIZE];
    uint32_t chunk_len;   // unconsumed bytes at the front of `chunk`
    uint32_t chunk_size;  // size of the chunk whose data is awaited

    uint64_t delivered;  // body bytes the sink accepted
};

// Readies `r` for one response to the request for `url` (`url_text`).
void http_response_start(http_response* r, const http_url* url, const char* url_text, pkg_body_sink sink,
                         void* sink_context, char* redirect_out);

// Feeds one received block. HTTP_STEP_MORE until the body is complete
// (DONE), the server redirected (REDIRECT) or something failed (FAILED,
// reported).
http_step http_response_feed(http_response* r, const uint8_t* data, uint32_t count);

// The stream has ended: DONE when that completes the body, else FAILED
// (reported).
http_step http_response_end_of_stream(http_response* r);

// The value of header `name` (ASCII case ignored) in a header block whose
// lines end in CR LF; spaces and tabs after the colon skipped, cut to
// size - 1 bytes. 0 when found; -1 when absent.
int pkg_header_get_value(const char* headers, const char* name, char* out, size_t size);

// A chunk-size line (without its CR LF): hex digits, optionally ended by
// ';', space or tab and whatever follows. 0 with the size; -1 when
// malformed or above 32 bits.
int pkg_parse_hex_size(const uint8_t* bytes, size_t count, uint32_t* size);
