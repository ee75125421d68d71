// SHA-256 after FIPS 180-4: big-endian words, 64-byte blocks, padding with
// 0x80, zeros and the 64-bit message length in bits.
#include "sha256.h"

#include <cstring>

#include "ascii_case.h"

namespace {

// FIPS 180-4 4.2.2: the first 32 bits of the fractional parts of the cube
// roots of the first 64 primes.
const uint32_t pkg_sha256_k[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

const char hex[] = "0123456789abcdef";

// The offset of the length field in the last block.
constexpr uint32_t LENGTH_OFFSET = 56;

uint32_t rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

uint32_t load_be32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

void store_be32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

void store_be64(uint8_t* p, uint64_t v) {
    store_be32(p, static_cast<uint32_t>(v >> 32));
    store_be32(p + 4, static_cast<uint32_t>(v));
}

}  // namespace

void pkg_sha256_init(pkg_sha256_ctx* ctx) {
    // FIPS 180-4 5.3.3: fractional parts of the square roots of the first 8 primes.
    static const uint32_t initial[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                        0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    memcpy(ctx->state, initial, sizeof initial);
    ctx->total_len = 0;
    ctx->block_len = 0;
}

void pkg_sha256_transform(pkg_sha256_ctx* ctx, const uint8_t block[PKG_SHA256_BLOCK_SIZE]) {
    uint32_t w[64];
    for (int t = 0; t < 16; t++) w[t] = load_be32(block + 4 * t);
    for (int t = 16; t < 64; t++) {
        uint32_t s0 = rotr(w[t - 15], 7) ^ rotr(w[t - 15], 18) ^ (w[t - 15] >> 3);
        uint32_t s1 = rotr(w[t - 2], 17) ^ rotr(w[t - 2], 19) ^ (w[t - 2] >> 10);
        w[t] = w[t - 16] + s0 + w[t - 7] + s1;
    }
    uint32_t a = ctx->state[0], b = ctx->state[1], c = ctx->state[2], d = ctx->state[3];
    uint32_t e = ctx->state[4], f = ctx->state[5], g = ctx->state[6], h = ctx->state[7];
    for (int t = 0; t < 64; t++) {
        uint32_t big_s1 = rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25);
        uint32_t ch = (e & f) ^ (~e & g);
        uint32_t t1 = h + big_s1 + ch + pkg_sha256_k[t] + w[t];
        uint32_t big_s0 = rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22);
        uint32_t maj = (a & b) ^ (a & c) ^ (b & c);
        uint32_t t2 = big_s0 + maj;
        h = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    ctx->state[0] += a;
    ctx->state[1] += b;
    ctx->state[2] += c;
    ctx->state[3] += d;
    ctx->state[4] += e;
    ctx->state[5] += f;
    ctx->state[6] += g;
    ctx->state[7] += h;
}

void pkg_sha256_update(pkg_sha256_ctx* ctx, const void* data, size_t len) {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    ctx->total_len += len;
    while (len > 0) {
        size_t room = PKG_SHA256_BLOCK_SIZE - ctx->block_len;
        size_t n = len < room ? len : room;
        memcpy(ctx->block + ctx->block_len, p, n);
        ctx->block_len += static_cast<uint32_t>(n);
        p += n;
        len -= n;
        if (ctx->block_len == PKG_SHA256_BLOCK_SIZE) {
            pkg_sha256_transform(ctx, ctx->block);
            ctx->block_len = 0;
        }
    }
}

void pkg_sha256_final(pkg_sha256_ctx* ctx, uint8_t out[PKG_SHA256_DIGEST_SIZE]) {
    uint64_t bit_len = ctx->total_len * 8;
    ctx->block[ctx->block_len++] = 0x80;
    if (ctx->block_len > LENGTH_OFFSET) {
        memset(ctx->block + ctx->block_len, 0, PKG_SHA256_BLOCK_SIZE - ctx->block_len);
        pkg_sha256_transform(ctx, ctx->block);
        ctx->block_len = 0;
    }
    memset(ctx->block + ctx->block_len, 0, LENGTH_OFFSET - ctx->block_len);
    store_be64(ctx->block + LENGTH_OFFSET, bit_len);
    pkg_sha256_transform(ctx, ctx->block);
    for (int i = 0; i < 8; i++) store_be32(out + 4 * i, ctx->state[i]);
}

void pkg_sha256_hex(const uint8_t digest[PKG_SHA256_DIGEST_SIZE], char out[PKG_SHA256_HEX_SIZE]) {
    for (uint32_t i = 0; i < PKG_SHA256_DIGEST_SIZE; i++) {
        out[2 * i] = hex[digest[i] >> 4];
        out[2 * i + 1] = hex[digest[i] & 0x0F];
    }
    out[2 * PKG_SHA256_DIGEST_SIZE] = '\0';
}

void pkg_sha256_final_hex(pkg_sha256_ctx* ctx, char out[PKG_SHA256_HEX_SIZE]) {
    uint8_t digest[PKG_SHA256_DIGEST_SIZE];
    pkg_sha256_final(ctx, digest);
    pkg_sha256_hex(digest, out);
}

int pkg_sha256_match_ci(const char* expected, const char* computed) {
    constexpr size_t DIGITS = PKG_SHA256_HEX_DIGITS;
    if (!expected || !computed) return 0;
    if (strnlen(expected, DIGITS + 1) != DIGITS || strnlen(computed, DIGITS + 1) != DIGITS) return 0;
    return pkg_equal_ci(expected, computed, DIGITS) ? 1 : 0;
}
