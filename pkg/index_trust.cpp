// Index trust: keys and the kept serial from the drive, the check before an
// index is used, and the record of where the loaded index came from.
#include "index_trust.h"

#include <cstdio>
#include <cstring>

#include "dir_listing.h"
#include "http_client.h"
#include "json_scan.h"
#include "package_index.h"
#include "qor.h"
#include "qor_print.h"
#include "sha256.h"

namespace {

constexpr char SLOT_TAG[] = "qor-serial";
// The keys file's name in its directory.
constexpr const char* KEYS_FILE_NAME = IDX_KEYS_PATH + sizeof IDX_KEYS_DIRECTORY;
// "qor-serial", a space, 20 digits, a space, 64 hex digits, a newline.
constexpr uint32_t SLOT_TEXT_SIZE = 128;
constexpr uint32_t SERIAL_TEXT_SIZE = 24;  // 20 digits and room

// One serial slot as read at the start of a load.
struct serial_slot {
    const char* path;
    int32_t valid;
    uint64_t serial;
};

// The state of one index load.
struct trust_state {
    int32_t required;
    char keys[IDX_KEYS_MAX_BYTES];
    uint32_t keys_len;
    serial_slot slots[2];
    index_origin candidate;  // the index checked last
    int32_t candidate_verified;
    index_origin loaded;
};

trust_state g_trust;

// Reads a whole small file into `out` (`size` bytes): 1 with its length,
// 0 when it does not open, -1 when it cannot be read or holds `size` bytes
// or more.
int read_small_file(const char* path, char* out, uint32_t size, uint32_t* len) {
    long fd = qor::open(path, qor::O_READ);
    if (fd < 0) return 0;
    long n = qor::read_full(static_cast<int>(fd), out, size);
    qor::close(static_cast<int>(fd));
    if (n < 0 || static_cast<unsigned long>(n) >= size) return -1;
    *len = static_cast<uint32_t>(n);
    return 1;
}

// The check text of a slot holding `digits`: the SHA-256 of "qor-serial N".
void slot_digest(const char* digits, char hex[PKG_SHA256_HEX_SIZE]) {
    char text[SLOT_TEXT_SIZE];
    int n = snprintf(text, sizeof text, "%s %s", SLOT_TAG, digits);
    pkg_sha256_ctx ctx;
    pkg_sha256_init(&ctx);
    pkg_sha256_update(&ctx, text, static_cast<size_t>(n));
    pkg_sha256_final_hex(&ctx, hex);
}

// Reads decimal digits at text[*at] into `*value`: 0, or -1 when there are
// none, a leading zero starts a longer number or the value passes 64 bits.
int read_decimal(const char* text, uint32_t len, uint32_t* at, uint64_t* value) {
    uint32_t start = *at;
    uint64_t v = 0;
    while (*at < len && text[*at] >= '0' && text[*at] <= '9') {
        uint64_t digit = static_cast<uint64_t>(text[*at] - '0');
        if (v > (UINT64_MAX - digit) / 10) return -1;
        v = v * 10 + digit;
        ++*at;
    }
    if (*at == start || (text[start] == '0' && *at - start > 1)) return -1;
    *value = v;
    return 0;
}

// One slot's text: 1 with its serial when it is whole and checks, else 0.
int parse_slot(const char* text, uint32_t len, uint64_t* serial) {
    constexpr uint32_t tag_len = sizeof SLOT_TAG - 1;
    if (!text || len < tag_len + 1 || memcmp(text, SLOT_TAG, tag_len) != 0 || text[tag_len] != ' ') return 0;
    uint32_t at = tag_len + 1;
    uint64_t value = 0;
    if (read_decimal(text, len, &at, &value) != 0 || at - (tag_len + 1) >= SERIAL_TEXT_SIZE) return 0;
    char digits[SERIAL_TEXT_SIZE];
    memcpy(digits, text + tag_len + 1, at - (tag_len + 1));
    digits[at - (tag_len + 1)] = '\0';
    char hex[PKG_SHA256_HEX_SIZE];
    slot_digest(digits, hex);
    if (len != at + 1 + PKG_SHA256_HEX_DIGITS + 1 || text[at] != ' ' ||
        memcmp(text + at + 1, hex, PKG_SHA256_HEX_DIGITS) != 0 || text[len - 1] != '\n')
        return 0;
    *serial = value;
    return 1;
}

void read_slot(serial_slot* slot, const char* path) {
    char text[SLOT_TEXT_SIZE];
    uint32_t len = 0;
    slot->path = path;
    slot->serial = 0;
    slot->valid = read_small_file(path, text, sizeof text, &len) == 1 && parse_slot(text, len, &slot->serial);
}

// Keeps `serial` in the slot that holds less (a spoiled one first), so the
// other goes on holding the value from before until this write is whole.
// 0, or -1 after saying it could not.
int store_serial(uint64_t serial) {
    serial_slot* a = &g_trust.slots[0];
    serial_slot* b = &g_trust.slots[1];
    serial_slot* target = !a->valid ? a : !b->valid ? b : a->serial <= b->serial ? a : b;
    char text[SLOT_TEXT_SIZE];
    uint32_t len = idx_serial_slot_text(serial, text, sizeof text);
    if (qor::writefile(target->path, text, len) != 0) {
        target->valid = 0;  // whatever it holds now no longer checks
        qor::print("install: failed to record index serial %llu in %s; index not used\n",
                   static_cast<unsigned long long>(serial), target->path);
        return -1;
    }
    target->valid = 1;
    target->serial = serial;
    return 0;
}

// A fetched signature: at most `size` bytes kept, more marks it oversized.
struct signature_sink {
    uint8_t* data;
    uint32_t used;
    uint32_t size;
    int32_t oversized;
};

int signature_sink_write(const uint8_t* data, uint32_t count, void* context) {
    auto* s = static_cast<signature_sink*>(context);
    if (!s || !data) return -1;
    if (count > s->size - s->used) {
        s->oversized = 1;
        return -1;
    }
    memcpy(s->data + s->used, data, count);
    s->used += count;
    return 0;
}

// The signature beside the index, into `sig` (IDX_SIGNATURE_MAX_BYTES + 1
// bytes): 1 with its length, 0 when it cannot be had (missing, unreadable,
// the transfer failed), -1 when it is empty or too long to be one.
int load_signature(const char* source, int32_t network, uint8_t* sig, uint32_t* sig_len) {
    char path[IDX_SOURCE_SIZE + sizeof IDX_SIGNATURE_SUFFIX];
    snprintf(path, sizeof path, "%s%s", source, IDX_SIGNATURE_SUFFIX);  // fits: sized for both
    if (!network) {
        int r = read_small_file(path, reinterpret_cast<char*>(sig), IDX_SIGNATURE_MAX_BYTES + 1, sig_len);
        return r == 1 && *sig_len == 0 ? -1 : r;
    }
    signature_sink sink{sig, 0, IDX_SIGNATURE_MAX_BYTES, 0};
    uint64_t body = 0;
    int r = pkg_http_get_stream(path, signature_sink_write, &sink, &body);
    if (sink.oversized) return -1;
    if (r != 0) return 0;
    *sig_len = sink.used;
    return sink.used == 0 ? -1 : 1;
}

// Verifies the index bytes with the drive's keys: 0 with the signer, or -1
// after the line naming `source`.
int verify_signature(const char* source, int32_t network, const char* text, uint32_t len, char* signer) {
    uint8_t sig[IDX_SIGNATURE_MAX_BYTES + 1];
    uint32_t sig_len = 0;
    int loaded = load_signature(source, network, sig, &sig_len);
    if (loaded == 0) {
        qor::print("install: index signature missing: %s\n", source);
        return -1;
    }
    int32_t unusable = 0;
    idx_signature_result r = loaded < 0 ? IDX_SIGNATURE_INVALID
                                        : idx_signature_verify(g_trust.keys, g_trust.keys_len,
                                                               reinterpret_cast<const uint8_t*>(text), len, sig,
                                                               sig_len, signer, &unusable);
    if (r == IDX_SIGNATURE_VERIFIED) return 0;
    if (r == IDX_SIGNATURE_NO_KEYS)
        qor::print("install: no usable key in %s; index refused: %s\n", IDX_KEYS_PATH, source);
    else
        qor::print("install: index signature invalid: %s\n", source);
    return -1;
}

}  // namespace

void index_trust_begin() {
    memset(&g_trust.candidate, 0, sizeof g_trust.candidate);
    memset(&g_trust.loaded, 0, sizeof g_trust.loaded);
    g_trust.candidate_verified = 0;
    g_trust.keys_len = 0;
    int keys = read_small_file(IDX_KEYS_PATH, g_trust.keys, sizeof g_trust.keys, &g_trust.keys_len);
    // A keys file that is there but cannot be read still asks for
    // signatures: the drive meant to trust only signed indexes, and a failed
    // open must not quietly trust everything.
    if (keys == 0 && directory_lists_name(IDX_KEYS_DIRECTORY, KEYS_FILE_NAME) == 1)
        keys = -1;
    g_trust.required = keys != 0;
    if (keys < 0) {
        g_trust.keys_len = 0;
        qor::print("install: cannot read %s (a file of at most %lu bytes); no index can be verified\n",
                   IDX_KEYS_PATH, static_cast<unsigned long>(IDX_KEYS_MAX_BYTES - 1));
    }
    read_slot(&g_trust.slots[0], IDX_SERIAL_SLOT_A);
    read_slot(&g_trust.slots[1], IDX_SERIAL_SLOT_B);
}

int index_trust_required() { return g_trust.required; }

uint64_t index_trust_stored_serial() {
    uint64_t serial = 0;
    for (const serial_slot& s : g_trust.slots)
        if (s.valid && s.serial > serial) serial = s.serial;
    return serial;
}

int index_trust_check(const char* source, int32_t network, const char* text, uint32_t len) {
    index_origin* c = &g_trust.candidate;
    memset(c, 0, sizeof *c);
    g_trust.candidate_verified = 0;
    if (!source || !text || strlen(source) >= sizeof c->source) return -1;
    memcpy(c->source, source, strlen(source) + 1);
    c->network = network;
    uint64_t serial = 0;
    int has_serial = idx_index_serial(text, len, &serial);
    if (!g_trust.required) {
        c->serial = has_serial == 1 ? serial : 0;
        return 0;
    }
    if (verify_signature(source, network, text, len, c->signer) != 0) return -1;
    if (has_serial < 0) {
        qor::print("install: index serial invalid: %s\n", source);
        return -1;
    }
    uint64_t kept = index_trust_stored_serial();
    if (serial < kept) {
        qor::print("install: index serial %llu is older than %llu already trusted: %s\n",
                   static_cast<unsigned long long>(serial), static_cast<unsigned long long>(kept), source);
        return -1;
    }
    c->serial = serial;
    g_trust.candidate_verified = 1;
    return 0;
}

int index_trust_commit() {
    const index_origin* c = &g_trust.candidate;
    if (g_trust.candidate_verified && c->serial > index_trust_stored_serial() && store_serial(c->serial) != 0)
        return -1;
    g_trust.loaded = *c;
    return 0;
}

const index_origin* index_loaded_origin() { return &g_trust.loaded; }

void index_print_origin() {
    const index_origin* o = &g_trust.loaded;
    if (o->signer[0])
        qor::print("index: %s (signed by %s)\n", o->source, o->signer);
    else
        qor::print("index: %s (not signed)\n", o->source);
}

int idx_index_serial(const char* text, uint32_t len, uint64_t* serial) {
    if (!text || !serial) return -1;
    json_cursor c{reinterpret_cast<const uint8_t*>(text), len, 0, nullptr, 0};
    idx_skip_ws(&c);
    if (c.len - c.pos >= 3 && memcmp(c.data + c.pos, "\xEF\xBB\xBF", 3) == 0) c.pos += 3;
    idx_skip_ws(&c);
    if (idx_at(&c, '[')) return 0;
    int more = idx_open_container(&c, '{', '}', "expected object");
    int found = 0;
    for (; more == 1; more = idx_next_member(&c, '}', "expected ',' or '}'")) {
        char key[IDX_KEY_SIZE];
        if (idx_parse_string(&c, key, sizeof key) != 0 || idx_expect_colon(&c, "expected ':'") != 0) return -1;
        if (strcmp(key, "serial") != 0) {
            if (idx_skip_value(&c, 0) != 0) return -1;
            continue;
        }
        if (found) return -1;
        if (read_decimal(text, len, &c.pos, serial) != 0) return -1;
        if (c.pos < len && (text[c.pos] == '.' || text[c.pos] == 'e' || text[c.pos] == 'E')) return -1;
        found = 1;
    }
    return more < 0 ? -1 : found;
}

int idx_serial_from_slots(const char* a, uint32_t a_len, const char* b, uint32_t b_len, uint64_t* serial) {
    uint64_t va = 0, vb = 0;
    int ok_a = parse_slot(a, a_len, &va);
    int ok_b = parse_slot(b, b_len, &vb);
    if (!ok_a && !ok_b) return 0;
    *serial = !ok_a ? vb : !ok_b ? va : va > vb ? va : vb;
    return 1;
}

uint32_t idx_serial_slot_text(uint64_t serial, char* out, uint32_t size) {
    char digits[SERIAL_TEXT_SIZE];
    snprintf(digits, sizeof digits, "%llu", static_cast<unsigned long long>(serial));
    char hex[PKG_SHA256_HEX_SIZE];
    slot_digest(digits, hex);
    int n = snprintf(out, size, "%s %s %s\n", SLOT_TAG, digits, hex);
    return n > 0 && static_cast<uint32_t>(n) < size ? static_cast<uint32_t>(n) : 0;
}
