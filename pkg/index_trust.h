// Trust in the package index: the keys and the highest serial the current
// drive keeps, the check every index passes before it is used, and what the
// loaded index came from. A drive without a keys file trusts every index as
// the loader always has; with one, an index is used only when a key
// verifies its signature and its serial is not below the one kept.
#pragma once

#include <cstdint>

#include "index_signature.h"

// The keys the drive trusts: PEM public-key blocks one after another.
constexpr char IDX_KEYS_DIRECTORY[] = "/cache";
constexpr char IDX_KEYS_PATH[] = "/cache/trusted-keys.pem";
constexpr uint32_t IDX_KEYS_MAX_BYTES = 16384;
// The highest serial trusted, in two slots that each carry their own check:
// a write interrupted at any call spoils at most the slot being written,
// and the other still holds the value from before.
constexpr char IDX_SERIAL_SLOT_A[] = "/cache/serial.a";
constexpr char IDX_SERIAL_SLOT_B[] = "/cache/serial.b";
// An index's signature is served and kept beside it under its name plus this.
constexpr char IDX_SIGNATURE_SUFFIX[] = ".sig";
// Where an index came from: a path on the drive or a URL.
constexpr uint32_t IDX_SOURCE_SIZE = 256;

// What the loaded index came from, once index_fetch_and_parse succeeded.
struct index_origin {
    char source[IDX_SOURCE_SIZE];  // the local index's path or the URL
    int32_t network;               // 1 when `source` is a URL
    char signer[IDX_KEY_NAME_SIZE];  // the key that verified it, "" when unsigned
    uint64_t serial;               // the index's serial, 0 when it names none
};

// Reads the drive's keys and stored serial for one index load. Call before
// the first index_trust_check of a load.
void index_trust_begin();

// 1 when the drive holds a keys file (every index must then be signed).
int index_trust_required();

// The highest serial the drive has trusted (0 when none is kept).
uint64_t index_trust_stored_serial();

// Checks the index bytes from `source` (a drive path when `network` is 0,
// else a URL) before they are parsed: with keys on the drive, fetches or
// reads the signature at `source` plus ".sig", verifies it and compares the
// serial with the one kept. 0 when the index may be used (noted as the
// candidate origin); -1 after one line naming `source`.
int index_trust_check(const char* source, int32_t network, const char* text, uint32_t len);

// After the checked index parsed: when it was verified, keeps its serial if
// it is higher than the one kept, then makes it the loaded origin. 0, or -1
// when the serial could not be kept (reported): the index is not used, as
// a drive that cannot keep the serial cannot refuse a rollback later.
int index_trust_commit();

// The loaded index's origin (zeroed until an index is loaded).
const index_origin* index_loaded_origin();

// Prints "index: SOURCE (signed by KEY)" or "index: SOURCE (not signed)".
void index_print_origin();

// The `serial` member at the root of an index text: 1 with the value, 0 when
// the root names none (or is an array), -1 when it is not a non-negative
// integer that fits 64 bits, is given twice, or the text is no JSON object.
int idx_index_serial(const char* text, uint32_t len, uint64_t* serial);

// The serial kept in the two slots' texts (null for a slot that could not
// be read): 1 with the higher of the slots that check, 0 when none does.
int idx_serial_from_slots(const char* a, uint32_t a_len, const char* b, uint32_t b_len, uint64_t* serial);

// Formats a slot's text for `serial` into `out` (at least 96 bytes): its length.
uint32_t idx_serial_slot_text(uint64_t serial, char* out, uint32_t size);
