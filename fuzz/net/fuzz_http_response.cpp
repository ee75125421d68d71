// The response reader: the input is one response from a peer, fed in blocks
// whose size comes from its first byte, then the end of the stream.
// The sink must see no more bytes than arrived, never beyond a declared
// length, and the reader must end in one of its outcomes.
#include <cstdint>
#include <cstring>
#include <memory>

#include "hosted.h"
#include "http_response.h"

namespace {

int count_bytes(const uint8_t*, uint32_t count, void* context) {
    if (count == 0) __builtin_trap();
    *static_cast<uint64_t*>(context) += count;
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    uint32_t block = 1 + data[0] * 8u;
    ++data;
    --size;
    static auto r = std::make_unique<http_response>();
    http_url url{};
    pkg_http_parse_url("http://fuzz.test/a/b", &url);
    uint64_t seen = 0;
    char redirect[HTTP_URL_SIZE] = "";
    http_response_start(r.get(), &url, "http://fuzz.test/a/b", count_bytes, &seen, redirect);
    hosted::capture_begin();  // keep the reader's messages off the terminal
    http_step s = HTTP_STEP_MORE;
    for (size_t at = 0; at < size && s == HTTP_STEP_MORE; at += block) {
        uint32_t n = size - at < block ? static_cast<uint32_t>(size - at) : block;
        s = http_response_feed(r.get(), data + at, n);
    }
    if (s == HTTP_STEP_MORE) s = http_response_end_of_stream(r.get());
    hosted::capture_end();
    if (s != HTTP_STEP_DONE && s != HTTP_STEP_FAILED && s != HTTP_STEP_REDIRECT) __builtin_trap();
    if (seen > size || seen != r->delivered) __builtin_trap();
    if (r->has_length && seen > r->content_length) __builtin_trap();
    if (s == HTTP_STEP_REDIRECT && (seen != 0 || strlen(redirect) >= HTTP_URL_SIZE)) __builtin_trap();
    return 0;
}
