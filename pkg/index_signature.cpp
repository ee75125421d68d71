// Index signature check with mbedTLS's public-key module. Each PEM block is
// parsed on its own, so one bad key among several never hides the others.
#include "index_signature.h"

#include <cstring>

#include <mbedtls/ecp.h>
#include <mbedtls/pk.h>

#include "sha256.h"

namespace {

constexpr char PEM_BEGIN[] = "-----BEGIN PUBLIC KEY-----";
constexpr char PEM_END[] = "-----END PUBLIC KEY-----";
// A P-256 public key in PEM is under 200 bytes; a longer block is no key of ours.
constexpr uint32_t PEM_BLOCK_MAX = 1024;
// DER of a P-256 SubjectPublicKeyInfo is 91 bytes.
constexpr uint32_t DER_KEY_MAX = 256;

// The first occurrence of `needle` in text[from, len), or len.
uint32_t find_text(const char* text, uint32_t len, uint32_t from, const char* needle) {
    uint32_t n = static_cast<uint32_t>(strlen(needle));
    for (uint32_t i = from; n <= len && i <= len - n; ++i)
        if (memcmp(text + i, needle, n) == 0) return i;
    return len;
}

// The next PEM public-key block at or after `*at`: 1 with its bounds, moving
// `*at` past it; 0 when there is none.
int next_pem_block(const char* keys, uint32_t len, uint32_t* at, uint32_t* begin, uint32_t* end) {
    uint32_t b = find_text(keys, len, *at, PEM_BEGIN);
    if (b == len) return 0;
    uint32_t e = find_text(keys, len, b, PEM_END);
    if (e == len) {
        *at = len;
        *begin = b;
        *end = len;  // an unterminated block: parsed, and refused by the parser
        return 1;
    }
    *begin = b;
    *end = e + static_cast<uint32_t>(sizeof PEM_END - 1);
    *at = *end;
    return 1;
}

// Parses one PEM block into `pk` and checks it is ECDSA P-256: 0 or -1.
int load_p256_key(mbedtls_pk_context* pk, const char* block, uint32_t len) {
    if (len >= PEM_BLOCK_MAX) return -1;
    unsigned char pem[PEM_BLOCK_MAX];
    memcpy(pem, block, len);
    pem[len] = '\0';  // the PEM reader wants the NUL counted in the length
    if (mbedtls_pk_parse_public_key(pk, pem, len + 1) != 0) return -1;
    if (mbedtls_pk_get_type(pk) != MBEDTLS_PK_ECKEY) return -1;
    return mbedtls_pk_ec(*pk)->grp.id == MBEDTLS_ECP_DP_SECP256R1 ? 0 : -1;
}

// The key's name from its DER public key: 0 or -1.
int key_name(mbedtls_pk_context* pk, char name[IDX_KEY_NAME_SIZE]) {
    unsigned char der[DER_KEY_MAX];
    int n = mbedtls_pk_write_pubkey_der(pk, der, sizeof der);
    if (n <= 0) return -1;
    pkg_sha256_ctx ctx;
    pkg_sha256_init(&ctx);
    pkg_sha256_update(&ctx, der + sizeof der - static_cast<uint32_t>(n), static_cast<size_t>(n));
    char hex[PKG_SHA256_HEX_SIZE];
    pkg_sha256_final_hex(&ctx, hex);
    memcpy(name, hex, IDX_KEY_NAME_SIZE - 1);
    name[IDX_KEY_NAME_SIZE - 1] = '\0';
    return 0;
}

}  // namespace

idx_signature_result idx_signature_verify(const char* keys, uint32_t keys_len, const uint8_t* text, uint32_t len,
                                          const uint8_t* sig, uint32_t sig_len, char signer[IDX_KEY_NAME_SIZE],
                                          int32_t* unusable) {
    if (unusable) *unusable = 0;
    if (!keys || !text || !sig || !signer) return IDX_SIGNATURE_NO_KEYS;
    uint8_t hash[PKG_SHA256_DIGEST_SIZE];
    pkg_sha256_ctx ctx;
    pkg_sha256_init(&ctx);
    pkg_sha256_update(&ctx, text, len);
    pkg_sha256_final(&ctx, hash);
    int usable = 0;
    uint32_t at = 0, begin = 0, end = 0;
    idx_signature_result result = IDX_SIGNATURE_INVALID;
    while (result != IDX_SIGNATURE_VERIFIED && next_pem_block(keys, keys_len, &at, &begin, &end)) {
        mbedtls_pk_context pk;
        mbedtls_pk_init(&pk);
        if (load_p256_key(&pk, keys + begin, end - begin) != 0) {
            if (unusable) ++*unusable;
        } else {
            ++usable;
            if (sig_len > 0 && sig_len <= IDX_SIGNATURE_MAX_BYTES &&
                mbedtls_pk_verify(&pk, MBEDTLS_MD_SHA256, hash, sizeof hash, sig, sig_len) == 0 &&
                key_name(&pk, signer) == 0)
                result = IDX_SIGNATURE_VERIFIED;
        }
        mbedtls_pk_free(&pk);
    }
    return usable == 0 ? IDX_SIGNATURE_NO_KEYS : result;
}
