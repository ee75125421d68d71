// Checking an index's detached signature against the keys a drive trusts:
// ECDSA P-256 over the SHA-256 of the exact index bytes, the signature in
// DER, the keys as PEM public-key blocks one after the other in one text.
// This is the only code that reaches the public-key library.
#pragma once

#include <cstdint>

// The longest signature file taken (a DER ECDSA P-256 signature is at most
// 72 bytes; the room left is for nothing but refusal).
constexpr uint32_t IDX_SIGNATURE_MAX_BYTES = 512;
// A key's name: the first 16 hex digits of the SHA-256 of its DER public
// key, as the media builder names it, and a NUL.
constexpr uint32_t IDX_KEY_NAME_SIZE = 17;

// What idx_signature_verify found.
enum idx_signature_result {
    IDX_SIGNATURE_VERIFIED = 0,  // a key verified it; its name is filled in
    IDX_SIGNATURE_INVALID = 1,   // no key verifies these bytes
    IDX_SIGNATURE_NO_KEYS = 2,   // the keys text holds no usable P-256 key
};

// Tries every PEM public key of `keys` (`keys_len` bytes, need not end in a
// NUL) on the signature `sig` over `text`. Keys that do not parse or are
// not ECDSA P-256 are passed over and counted in `*unusable` when given.
// Prints nothing.
idx_signature_result idx_signature_verify(const char* keys, uint32_t keys_len, const uint8_t* text, uint32_t len,
                                          const uint8_t* sig, uint32_t sig_len, char signer[IDX_KEY_NAME_SIZE],
                                          int32_t* unusable);
