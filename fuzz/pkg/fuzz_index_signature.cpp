// The signature and serial input of a signed index: the first byte is the
// signature's length n, the next n bytes the signature, the rest the index
// text. Both go to the verifying code with one fixed key (whose private half
// signed the seed), the text to the serial reader, and the pair to the
// serial slots' reader. Crashes and sanitizer reports are the finds; a
// verification by any key but the fixed one, or a serial that does not come
// back through its slot text, aborts.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "index_signature.h"
#include "index_trust.h"

namespace {

const char KEY[] =
    "# the fuzzing key\n"
    "-----BEGIN PUBLIC KEY-----\n"
    "MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAEKb2vqH53bhOYeUD3dJQYrQUeitgL\n"
    "fhR7IjMZ9vscThvpRhLbt4qg31DeKKe6i/k3xqVlOK/DVYhnt79hu+BwCA==\n"
    "-----END PUBLIC KEY-----\n";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0 || size > (1u << 20)) return 0;
    size_t sig_len = data[0];
    if (1 + sig_len > size) return 0;
    const uint8_t* sig = data + 1;
    const char* text = reinterpret_cast<const char*>(data + 1 + sig_len);
    uint32_t len = static_cast<uint32_t>(size - 1 - sig_len);

    char signer[IDX_KEY_NAME_SIZE] = "";
    int32_t unusable = 0;
    idx_signature_result r = idx_signature_verify(KEY, sizeof KEY - 1, reinterpret_cast<const uint8_t*>(text), len,
                                                  sig, static_cast<uint32_t>(sig_len), signer, &unusable);
    if (r == IDX_SIGNATURE_NO_KEYS || unusable != 0) abort();
    if (r == IDX_SIGNATURE_VERIFIED && strlen(signer) != IDX_KEY_NAME_SIZE - 1) abort();

    uint64_t serial = 0;
    if (idx_index_serial(text, len, &serial) == 1) {
        char slot[128];
        uint32_t slot_len = idx_serial_slot_text(serial, slot, sizeof slot);
        uint64_t back = 0;
        if (slot_len == 0 || idx_serial_from_slots(slot, slot_len, nullptr, 0, &back) != 1 || back != serial) abort();
    }
    uint64_t kept = 0;
    idx_serial_from_slots(text, len, reinterpret_cast<const char*>(sig), static_cast<uint32_t>(sig_len), &kept);
    return 0;
}
