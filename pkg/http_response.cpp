// Response reader (RFC 9112): status line and header fields up to the empty
// line, then the body in one of two framings:
//   identity: Content-Length bytes, or everything up to the end of the stream;
//   chunked:  chunk = chunk-size [ ";" ext ] CRLF chunk-data CRLF, ended by
//             a chunk of size 0 (its trailer section is not read).
// Received blocks are copied into the header and chunk buffers only as far
// as they have room, so whether a response fits never depends on how the
// stream was cut into blocks.
#include "http_response.h"

#include <cstdlib>
#include <cstring>

#include "ascii_case.h"
#include "qor_print.h"

namespace {

constexpr uint32_t HEADER_DATA_MAX = HTTP_HEADER_BUFFER_SIZE - 1;

// True when `word` occurs anywhere in `text`, ASCII case ignored.
bool contains_ci(const char* text, const char* word) {
    size_t word_len = strlen(word);
    for (const char* p = text; strlen(p) >= word_len; ++p) {
        if (pkg_equal_ci(p, word, word_len)) return true;
    }
    return false;
}

// True for 0-9, a-f, A-F, with the digit's value in `value`.
bool is_hex_digit(uint8_t c, uint32_t* value) {
    if (c >= '0' && c <= '9') *value = c - '0';
    else if (c >= 'a' && c <= 'f') *value = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') *value = c - 'A' + 10;
    else return false;
    return true;
}

// Offset just past the first CR LF CR LF in `text[0..len)` searching from
// `from`, or 0 when there is none.
uint32_t find_header_end(const char* text, uint32_t len, uint32_t from) {
    for (uint32_t i = from; i + 4 <= len; ++i) {
        if (memcmp(text + i, "\r\n\r\n", 4) == 0) return i + 4;
    }
    return 0;
}

// The number right after the first space of the status line: -1 without a
// space, 0 when no digit follows it. Saturates far above any status.
int parse_status(const char* headers) {
    const char* space = strchr(headers, ' ');
    if (!space) return -1;
    int status = 0;
    for (const char* p = space + 1; *p >= '0' && *p <= '9'; ++p) {
        if (status < 100000) status = status * 10 + (*p - '0');
    }
    return status;
}

// The statuses that carry a Location to follow.
bool is_redirect_status(int status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// Hands `count` body bytes to the sink. MORE, or FAILED when it refused.
http_step deliver(http_response* r, const uint8_t* data, uint32_t count) {
    if (count == 0) return HTTP_STEP_MORE;
    if (r->sink(data, count, r->sink_context) != 0) {
        qor::print("install: body write failed\n");
        return HTTP_STEP_FAILED;
    }
    r->delivered += count;
    return HTTP_STEP_MORE;
}

// A 3xx with a target: builds the absolute URL into the redirect buffer.
http_step take_redirect(http_response* r, int status) {
    char location[HTTP_LOCATION_SIZE];
    if (pkg_header_get_value(r->headers, "Location", location, sizeof location) != 0 || location[0] == '\0') {
        qor::print("install: HTTP status %d with missing Location for %s\n", status, r->url_text);
        return HTTP_STEP_FAILED;
    }
    // A Location that fills `location` (or was cut to it) is longer than any
    // target, so the redirect builder refuses it.
    if (pkg_make_redirect_url(r->url, location, r->redirect_out) != 0) {
        qor::print("install: redirect URL is too long\n");
        return HTTP_STEP_FAILED;
    }
    return HTTP_STEP_REDIRECT;
}

// Reads the body framing from the header fields and enters the body state.
http_step begin_body(http_response* r) {
    char coding[HTTP_TRANSFER_ENCODING_SIZE];
    if (pkg_header_get_value(r->headers, "Transfer-Encoding", coding, sizeof coding) == 0 &&
        contains_ci(coding, "chunked")) {
        r->state = http_read_state::chunk_size;
        return HTTP_STEP_MORE;
    }
    char length[HTTP_CONTENT_LENGTH_SIZE];
    if (pkg_header_get_value(r->headers, "Content-Length", length, sizeof length) == 0) {
        long long value = strtoll(length, nullptr, 10);
        if (value >= 0) {
            r->has_length = true;
            r->content_length = static_cast<uint64_t>(value);
        }
    }
    if (r->has_length && r->content_length == 0) {
        r->state = http_read_state::done;
        return HTTP_STEP_DONE;
    }
    r->state = http_read_state::body;
    return HTTP_STEP_MORE;
}

// The header block is complete: status, then redirect, failure or body.
http_step begin_response(http_response* r) {
    int status = parse_status(r->headers);
    if (is_redirect_status(status)) return take_redirect(r, status);
    if (status != 200 && status != 206) {
        qor::print("install: HTTP status %d for %s\n", status, r->url_text);
        return HTTP_STEP_FAILED;
    }
    return begin_body(r);
}

// HEADERS: collects the block until the empty line. `*used` tells how many
// bytes of the block belonged to the headers.
http_step headers_step(http_response* r, const uint8_t* data, uint32_t count, uint32_t* used) {
    uint32_t old_len = r->header_len;
    uint32_t room = HEADER_DATA_MAX - old_len;
    uint32_t take = count < room ? count : room;
    memcpy(r->headers + old_len, data, take);
    r->header_len = old_len + take;
    r->headers[r->header_len] = '\0';
    uint32_t end = find_header_end(r->headers, r->header_len, old_len >= 3 ? old_len - 3 : 0);
    if (end == 0) {
        *used = take;
        // A full buffer is not yet too large: only a byte beyond it is, and
        // a stream that ends here has ended before its headers.
        if (take == count) return HTTP_STEP_MORE;
        qor::print("install: response headers too large\n");
        return HTTP_STEP_FAILED;
    }
    *used = end - old_len;
    // Keep the last field line's CR LF so every line ends alike.
    r->header_len = end - 2;
    r->headers[r->header_len] = '\0';
    return begin_response(r);
}

// Identity body: delivers up to the declared length, never beyond it.
http_step body_step(http_response* r, const uint8_t* data, uint32_t count) {
    uint32_t n = count;
    if (r->has_length && r->content_length - r->delivered < n) {
        n = static_cast<uint32_t>(r->content_length - r->delivered);
    }
    if (deliver(r, data, n) != HTTP_STEP_MORE) return HTTP_STEP_FAILED;
    if (r->has_length && r->delivered >= r->content_length) {
        r->state = http_read_state::done;
        return HTTP_STEP_DONE;
    }
    return HTTP_STEP_MORE;
}

// Drops the first `n` buffered bytes (n <= chunk_len).
void chunk_consume(http_response* r, uint32_t n) {
    memmove(r->chunk, r->chunk + n, r->chunk_len - n);
    r->chunk_len -= n;
}

// Offset of the first CR LF in the chunk buffer, or -1.
long chunk_find_line_end(const http_response* r) {
    for (uint32_t i = 0; i + 1 < r->chunk_len; ++i) {
        if (r->chunk[i] == '\r' && r->chunk[i + 1] == '\n') return i;
    }
    return -1;
}

// CHUNK SIZE: one size line. A size of 0 ends the body.
http_step chunk_size_step(http_response* r) {
    long line_end = chunk_find_line_end(r);
    if (line_end < 0) return HTTP_STEP_MORE;
    uint32_t size = 0;
    if (pkg_parse_hex_size(r->chunk, static_cast<size_t>(line_end), &size) != 0) {
        qor::print("install: invalid chunk size\n");
        return HTTP_STEP_FAILED;
    }
    chunk_consume(r, static_cast<uint32_t>(line_end) + 2);
    if (size == 0) {
        r->state = http_read_state::done;
        return HTTP_STEP_DONE;
    }
    r->chunk_size = size;
    r->state = http_read_state::chunk_data;
    return HTTP_STEP_MORE;
}

// CHUNK DATA: the chunk's bytes and the CR LF after them (not examined).
http_step chunk_data_step(http_response* r) {
    if (static_cast<uint64_t>(r->chunk_len) < static_cast<uint64_t>(r->chunk_size) + 2) return HTTP_STEP_MORE;
    if (deliver(r, r->chunk, r->chunk_size) != HTTP_STEP_MORE) return HTTP_STEP_FAILED;
    chunk_consume(r, r->chunk_size + 2);
    r->state = http_read_state::chunk_size;
    return HTTP_STEP_MORE;
}

// Runs the chunk steps over the buffer until one needs more bytes.
http_step chunk_run(http_response* r) {
    for (;;) {
        http_read_state before = r->state;
        uint32_t len_before = r->chunk_len;
        http_step s = r->state == http_read_state::chunk_size ? chunk_size_step(r) : chunk_data_step(r);
        if (s != HTTP_STEP_MORE) return s;
        if (r->state == before && r->chunk_len == len_before) return HTTP_STEP_MORE;
    }
}

// Chunked body: buffers as much of the block as fits, decodes, repeats. A
// chunk or size line that cannot fit the buffer whole overflows it.
http_step chunked_step(http_response* r, const uint8_t* data, uint32_t count) {
    while (count > 0) {
        uint32_t room = static_cast<uint32_t>(HTTP_CHUNK_BUFFER_SIZE) - r->chunk_len;
        if (room == 0) {
            qor::print("install: chunk buffer overflow\n");
            return HTTP_STEP_FAILED;
        }
        uint32_t take = count < room ? count : room;
        memcpy(r->chunk + r->chunk_len, data, take);
        r->chunk_len += take;
        data += take;
        count -= take;
        http_step s = chunk_run(r);
        if (s != HTTP_STEP_MORE) return s;
    }
    return HTTP_STEP_MORE;
}

// Feeds body bytes to the step of the current state.
http_step body_feed(http_response* r, const uint8_t* data, uint32_t count) {
    switch (r->state) {
        case http_read_state::body: return body_step(r, data, count);
        case http_read_state::chunk_size:
        case http_read_state::chunk_data: return chunked_step(r, data, count);
        case http_read_state::done: return HTTP_STEP_DONE;
        case http_read_state::headers: break;
    }
    return HTTP_STEP_FAILED;
}

}  // namespace

void http_response_start(http_response* r, const http_url* url, const char* url_text, pkg_body_sink sink,
                         void* sink_context, char* redirect_out) {
    r->state = http_read_state::headers;
    r->url = url;
    r->url_text = url_text;
    r->sink = sink;
    r->sink_context = sink_context;
    r->redirect_out = redirect_out;
    r->headers[0] = '\0';
    r->header_len = 0;
    r->has_length = false;
    r->content_length = 0;
    r->chunk_len = 0;
    r->chunk_size = 0;
    r->delivered = 0;
}

http_step http_response_feed(http_response* r, const uint8_t* data, uint32_t count) {
    if (r->state != http_read_state::headers) return body_feed(r, data, count);
    uint32_t used = 0;
    http_step s = headers_step(r, data, count, &used);
    if (s != HTTP_STEP_MORE || r->state == http_read_state::headers || used == count) return s;
    return body_feed(r, data + used, count - used);
}

http_step http_response_end_of_stream(http_response* r) {
    switch (r->state) {
        case http_read_state::headers:
            qor::print("install: connection closed before response headers\n");
            return HTTP_STEP_FAILED;
        case http_read_state::body:
            if (r->has_length && r->delivered < r->content_length) {
                qor::print("install: incomplete HTTP body\n");
                return HTTP_STEP_FAILED;
            }
            r->state = http_read_state::done;
            return HTTP_STEP_DONE;
        case http_read_state::chunk_size:
        case http_read_state::chunk_data:
            qor::print("install: incomplete chunked transfer\n");
            return HTTP_STEP_FAILED;
        case http_read_state::done: break;
    }
    return HTTP_STEP_DONE;
}

int pkg_header_get_value(const char* headers, const char* name, char* out, size_t size) {
    if (!headers || !name || !out || size == 0) return -1;
    size_t name_len = strlen(name);
    if (name_len == 0) return -1;
    const char* line = headers;
    while (*line != '\0' && !(line[0] == '\r' && line[1] == '\n')) {
        const char* crlf = strstr(line, "\r\n");
        const char* end = crlf ? crlf : line + strlen(line);
        if (static_cast<size_t>(end - line) > name_len && pkg_equal_ci(line, name, name_len) && line[name_len] == ':') {
            const char* v = line + name_len + 1;
            while (v < end && (*v == ' ' || *v == '\t')) ++v;
            size_t len = static_cast<size_t>(end - v);
            if (len > size - 1) len = size - 1;  // cut to the caller's field
            memcpy(out, v, len);
            out[len] = '\0';
            return 0;
        }
        if (!crlf) break;
        line = crlf + 2;
    }
    return -1;
}

int pkg_parse_hex_size(const uint8_t* bytes, size_t count, uint32_t* size) {
    if (!bytes || !size || count == 0) return -1;
    uint32_t value = 0;
    size_t digits = 0;
    for (size_t i = 0; i < count; ++i) {
        uint32_t d;
        if (is_hex_digit(bytes[i], &d)) {
            if (value > 0x0FFFFFFFu) return -1;
            value = value * 16 + d;
            ++digits;
            continue;
        }
        bool ends_number = bytes[i] == ';' || bytes[i] == ' ' || bytes[i] == '\t';
        if (!ends_number || digits == 0) return -1;
        break;
    }
    if (digits == 0) return -1;
    *size = value;
    return 0;
}
