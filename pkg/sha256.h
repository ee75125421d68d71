// Streaming SHA-256 (FIPS 180-4) for verifying package archives as they
// pass by. The context is caller-owned and holds no pointers.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint32_t PKG_SHA256_BLOCK_SIZE = 64;
constexpr uint32_t PKG_SHA256_DIGEST_SIZE = 32;
// A digest as text: 64 hexadecimal digits, and a NUL in its buffer.
constexpr uint32_t PKG_SHA256_HEX_DIGITS = 2 * PKG_SHA256_DIGEST_SIZE;
constexpr uint32_t PKG_SHA256_HEX_SIZE = PKG_SHA256_HEX_DIGITS + 1;

struct pkg_sha256_ctx {
    uint32_t state[8];                     // running hash value H0..H7
    uint64_t total_len;                    // message bytes added so far
    uint8_t block[PKG_SHA256_BLOCK_SIZE];  // partial block not yet compressed
    uint32_t block_len;                    // bytes held in `block`, 0..63 between calls
};

// Starts (or restarts) a digest: the initial hash value of FIPS 180-4 5.3.3.
void pkg_sha256_init(pkg_sha256_ctx* ctx);

// Adds `len` bytes to the message; the result does not depend on how a
// stream is cut into calls. A length of 0 does nothing.
void pkg_sha256_update(pkg_sha256_ctx* ctx, const void* data, size_t len);

// Compresses one 64-byte block into `state` (FIPS 180-4 6.2.2).
void pkg_sha256_transform(pkg_sha256_ctx* ctx, const uint8_t block[PKG_SHA256_BLOCK_SIZE]);

// Pads, compresses the last block(s) and writes the 32-byte digest. The
// context is used up; start it again before reuse.
void pkg_sha256_final(pkg_sha256_ctx* ctx, uint8_t out[PKG_SHA256_DIGEST_SIZE]);

// Writes the digest as 64 lower-case hexadecimal digits and a NUL.
void pkg_sha256_hex(const uint8_t digest[PKG_SHA256_DIGEST_SIZE], char out[PKG_SHA256_HEX_SIZE]);

// Finishes the digest (as pkg_sha256_final) straight into its hexadecimal
// text (as pkg_sha256_hex).
void pkg_sha256_final_hex(pkg_sha256_ctx* ctx, char out[PKG_SHA256_HEX_SIZE]);

// The compression runs on the processor's SHA instructions when CPUID
// reports them (asked once per run), else on the portable code; the digests
// are the same. 1 when the processor has them:
int pkg_sha256_has_sha_instructions();
// 1 when digests are being computed with them now:
int pkg_sha256_uses_sha_instructions();
// Forces the portable code (1) or lets the processor decide again (0), so
// tests and benchmarks can run both on one machine.
void pkg_sha256_force_portable(int force);

// 1 when both texts are exactly 64 characters and equal ignoring ASCII letter
// case, else 0 (null texts give 0). Neither is checked for being hexadecimal.
int pkg_sha256_match_ci(const char* expected, const char* computed);
