// SHA-256 after FIPS 180-4: big-endian words, 64-byte blocks, padding with
// 0x80, zeros and the 64-bit message length in bits. The compression runs
// on the x86 SHA instructions where the processor has them, else in plain
// C++; both give the same state for every block.
#include "sha256.h"

#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>
#endif

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

inline uint32_t rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

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

inline uint32_t small_sigma0(uint32_t x) { return rotr(x, 7) ^ rotr(x, 18) ^ (x >> 3); }
inline uint32_t small_sigma1(uint32_t x) { return rotr(x, 17) ^ rotr(x, 19) ^ (x >> 10); }

// One step with the working variables passed in their rotated roles, so an
// unrolled group of eight steps needs no moves between them: only d and h
// change, and the next step names them e and a.
inline void step(uint32_t a, uint32_t b, uint32_t c, uint32_t& d, uint32_t e, uint32_t f, uint32_t g, uint32_t& h,
                 uint32_t k_plus_w) {
    uint32_t t1 = h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + (g ^ (e & (f ^ g))) + k_plus_w;
    uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) | (c & (a | b)));
    d += t1;
    h = t1 + t2;
}

// Eight steps from `t` on, with the schedule words already in `w`.
inline void eight_steps(uint32_t v[8], const uint32_t* w, int t) {
    uint32_t a = v[0], b = v[1], c = v[2], d = v[3], e = v[4], f = v[5], g = v[6], h = v[7];
    step(a, b, c, d, e, f, g, h, pkg_sha256_k[t] + w[0]);
    step(h, a, b, c, d, e, f, g, pkg_sha256_k[t + 1] + w[1]);
    step(g, h, a, b, c, d, e, f, pkg_sha256_k[t + 2] + w[2]);
    step(f, g, h, a, b, c, d, e, pkg_sha256_k[t + 3] + w[3]);
    step(e, f, g, h, a, b, c, d, pkg_sha256_k[t + 4] + w[4]);
    step(d, e, f, g, h, a, b, c, pkg_sha256_k[t + 5] + w[5]);
    step(c, d, e, f, g, h, a, b, pkg_sha256_k[t + 6] + w[6]);
    step(b, c, d, e, f, g, h, a, pkg_sha256_k[t + 7] + w[7]);
    v[0] = a, v[1] = b, v[2] = c, v[3] = d, v[4] = e, v[5] = f, v[6] = g, v[7] = h;
}

// The compression in plain C++: the schedule kept as a ring of 16 words,
// each expanded just before its step.
inline void portable_block(uint32_t state[8], const uint8_t* block) {
    uint32_t w[16];
    for (int t = 0; t < 16; t++) w[t] = load_be32(block + 4 * t);
    uint32_t v[8];
    memcpy(v, state, sizeof v);
    eight_steps(v, w, 0);
    eight_steps(v, w + 8, 8);
    for (int t = 16; t < 64; t += 16) {
        for (int i = 0; i < 16; i++) w[i] += small_sigma1(w[(i + 14) & 15]) + w[(i + 9) & 15] + small_sigma0(w[(i + 1) & 15]);
        eight_steps(v, w, t);
        eight_steps(v, w + 8, t + 8);
    }
    for (int i = 0; i < 8; i++) state[i] += v[i];
}

// Compresses `first`, then each of the `more` whole blocks at `next`, every
// one copied into `staging` (the context's block) before it is compressed.
// One call for a run of blocks keeps the state in registers between them.
void compress_portable(uint32_t state[8], const uint8_t* first, uint8_t* staging, const uint8_t* next, size_t more) {
    uint32_t h[8];
    memcpy(h, state, sizeof h);
    portable_block(h, first);
    for (size_t i = 0; i < more; i++) {
        memcpy(staging, next + i * PKG_SHA256_BLOCK_SIZE, PKG_SHA256_BLOCK_SIZE);
        portable_block(h, staging);
    }
    memcpy(state, h, sizeof h);
}

#if defined(__x86_64__) || defined(__i386__)

#define PKG_SHA_TARGET __attribute__((target("sha,sse4.1")))

// Four steps with the schedule words `m` (the earliest in the low lane) and
// the constants from K[4 * i]. The SHA instructions keep the state as two
// halves, ABEF and CDGH, and do two steps per sha256rnds2.
PKG_SHA_TARGET inline void four_steps(__m128i& abef, __m128i& cdgh, __m128i m, int i) {
    __m128i wk = _mm_add_epi32(m, _mm_loadu_si128(reinterpret_cast<const __m128i*>(pkg_sha256_k) + i));
    cdgh = _mm_sha256rnds2_epu32(cdgh, abef, wk);
    abef = _mm_sha256rnds2_epu32(abef, cdgh, _mm_shuffle_epi32(wk, 0x0E));
}

// The four schedule words after m0..m3, which hold W[t-16] .. W[t-1].
PKG_SHA_TARGET inline __m128i expand(__m128i m0, __m128i m1, __m128i m2, __m128i m3) {
    __m128i x = _mm_add_epi32(_mm_sha256msg1_epu32(m0, m1), _mm_alignr_epi8(m3, m2, 4));
    return _mm_sha256msg2_epu32(x, m3);
}

// One block with the processor's SHA instructions, the state held as
// ABEF and CDGH.
PKG_SHA_TARGET inline void sha_instructions_block(__m128i& abef, __m128i& cdgh, const uint8_t* block) {
    const __m128i byte_swap = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);
    const __m128i* in = reinterpret_cast<const __m128i*>(block);
    const __m128i abef_start = abef, cdgh_start = cdgh;

    __m128i m0 = _mm_shuffle_epi8(_mm_loadu_si128(in), byte_swap);
    __m128i m1 = _mm_shuffle_epi8(_mm_loadu_si128(in + 1), byte_swap);
    __m128i m2 = _mm_shuffle_epi8(_mm_loadu_si128(in + 2), byte_swap);
    __m128i m3 = _mm_shuffle_epi8(_mm_loadu_si128(in + 3), byte_swap);
    four_steps(abef, cdgh, m0, 0);
    four_steps(abef, cdgh, m1, 1);
    four_steps(abef, cdgh, m2, 2);
    four_steps(abef, cdgh, m3, 3);
    for (int i = 4; i < 16; i += 4) {
        m0 = expand(m0, m1, m2, m3);
        four_steps(abef, cdgh, m0, i);
        m1 = expand(m1, m2, m3, m0);
        four_steps(abef, cdgh, m1, i + 1);
        m2 = expand(m2, m3, m0, m1);
        four_steps(abef, cdgh, m2, i + 2);
        m3 = expand(m3, m0, m1, m2);
        four_steps(abef, cdgh, m3, i + 3);
    }
    abef = _mm_add_epi32(abef, abef_start);
    cdgh = _mm_add_epi32(cdgh, cdgh_start);
}

// As compress_portable, with the SHA instructions: the state is turned
// into their ABEF/CDGH form once per run of blocks, not once per block.
PKG_SHA_TARGET void compress_sha_instructions(uint32_t state[8], const uint8_t* first, uint8_t* staging,
                                              const uint8_t* next, size_t more) {
    __m128i cdab = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)), 0xB1);
    __m128i efgh = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4)), 0x1B);
    __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
    __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);
    sha_instructions_block(abef, cdgh, first);
    for (size_t i = 0; i < more; i++) {
        memcpy(staging, next + i * PKG_SHA256_BLOCK_SIZE, PKG_SHA256_BLOCK_SIZE);
        sha_instructions_block(abef, cdgh, staging);
    }
    __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
    __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_blend_epi16(feba, dchg, 0xF0));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), _mm_alignr_epi8(dchg, feba, 8));
}

// CPUID: leaf 7 EBX bit 29 (SHA), leaf 1 ECX bits 9 (SSSE3) and 19 (SSE4.1)
// for the shuffles around the SHA steps.
int processor_has_sha_instructions() {
    unsigned a, b, c, d;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return 0;
    if (!(c & (1u << 9)) || !(c & (1u << 19))) return 0;
    if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return 0;
    return (b & (1u << 29)) ? 1 : 0;
}

#else

void compress_sha_instructions(uint32_t state[8], const uint8_t* first, uint8_t* staging, const uint8_t* next,
                               size_t more) {
    compress_portable(state, first, staging, next, more);
}
int processor_has_sha_instructions() { return 0; }

#endif

enum sha256_engine { ENGINE_UNDECIDED, ENGINE_PORTABLE, ENGINE_SHA_INSTRUCTIONS };

// Decided on the first compression of the run; single-threaded, so a plain
// variable does.
sha256_engine g_sha256_engine = ENGINE_UNDECIDED;
int g_sha256_force_portable = 0;

sha256_engine engine() {
    if (g_sha256_engine == ENGINE_UNDECIDED) {
        g_sha256_engine = processor_has_sha_instructions() && !g_sha256_force_portable ? ENGINE_SHA_INSTRUCTIONS
                                                                                        : ENGINE_PORTABLE;
    }
    return g_sha256_engine;
}

}  // namespace

int pkg_sha256_has_sha_instructions() { return processor_has_sha_instructions(); }

void pkg_sha256_force_portable(int force) {
    g_sha256_force_portable = force;
    g_sha256_engine = ENGINE_UNDECIDED;
}

int pkg_sha256_uses_sha_instructions() { return engine() == ENGINE_SHA_INSTRUCTIONS ? 1 : 0; }

void pkg_sha256_init(pkg_sha256_ctx* ctx) {
    // FIPS 180-4 5.3.3: fractional parts of the square roots of the first 8 primes.
    static const uint32_t initial[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                        0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    memcpy(ctx->state, initial, sizeof initial);
    ctx->total_len = 0;
    ctx->block_len = 0;
}

namespace {

// Compresses `first` and the `more` whole blocks after it (see compress_portable).
void compress(pkg_sha256_ctx* ctx, const uint8_t* first, const uint8_t* next, size_t more) {
    if (engine() == ENGINE_SHA_INSTRUCTIONS) {
        compress_sha_instructions(ctx->state, first, ctx->block, next, more);
    } else {
        compress_portable(ctx->state, first, ctx->block, next, more);
    }
}

}  // namespace

void pkg_sha256_transform(pkg_sha256_ctx* ctx, const uint8_t block[PKG_SHA256_BLOCK_SIZE]) {
    compress(ctx, block, nullptr, 0);
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
            // The full block, and with it every whole block that follows,
            // each still passed through `block`.
            size_t more = len / PKG_SHA256_BLOCK_SIZE;
            compress(ctx, ctx->block, p, more);
            p += more * PKG_SHA256_BLOCK_SIZE;
            len -= more * PKG_SHA256_BLOCK_SIZE;
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
