// Strict, allocation-free JSON scanning over a byte range (RFC 8259 grammar
// with this system's own rules: only space, tab, LF and CR are whitespace;
// \u escapes decode to '?'; bytes 0x7F-0xFF pass through unvalidated).
//
// Every primitive returns 0 on success and -1 on failure. On failure it
// records a static message and the offset where it gave up in the cursor,
// unless an earlier failure is already recorded there: the first error wins.
#pragma once

#include <cstdint>

// Containers may nest this deep inside one skipped value (depths 0..64).
constexpr int IDX_MAX_DEPTH = 65;

// The position and first error of one parse. The text is never modified and
// need not be NUL-terminated.
struct json_cursor {
    const uint8_t* data;
    uint32_t len;
    uint32_t pos;
    const char* error;      // first failure message, nullptr while sound
    uint32_t error_offset;  // offset recorded with `error`
};

// Records `message` at `offset` unless an error is already recorded; always
// returns -1 so callers can `return idx_fail(...)`.
int idx_fail(json_cursor* c, const char* message, uint32_t offset);

// Advances past space, tab, LF and CR.
void idx_skip_ws(json_cursor* c);

// 1 when `pos` is not at the end and the byte there is `ch`, else 0.
int idx_at(const json_cursor* c, char ch);

// Opens a container at `pos`: the byte `open`, then whitespace. 1: a member
// follows at `pos`; 0: the container was empty and `pos` is past `close`;
// -1: `pos` is not at `open` (records `message`).
int idx_open_container(json_cursor* c, char open, char close, const char* message);

// After a member: whitespace, then `,` and whitespace (1: another member
// follows at `pos`) or `close` (0: `pos` is past it); anything else or the
// end records `message` (-1).
int idx_next_member(json_cursor* c, char close, const char* message);

// Whitespace, `:` and whitespace after an object key; records `message`
// when the colon is missing.
int idx_expect_colon(json_cursor* c, const char* message);

// Decodes the string at `pos` (which must be its opening quote) into `out`
// of `cap` bytes, NUL-terminated; a string of more than cap - 1 decoded bytes
// fails with "string too long". Leaves `pos` just past the closing quote.
int idx_parse_string(json_cursor* c, char* out, uint32_t cap);

// Passes over the well-formed string at `pos`, any length; accepts any byte
// after a backslash other than 'u'.
int idx_skip_string(json_cursor* c);

// Skips whitespace, then reads `true` (1) or `false` (0) into `out`.
int idx_parse_bool(json_cursor* c, int32_t* out);

// Passes over the NUL-terminated `literal` at `pos`, compared byte for byte.
int idx_skip_literal(json_cursor* c, const char* literal);

// Skips whitespace and one complete value, validating it; `depth` is 0 at
// the outermost call and a container met at depth IDX_MAX_DEPTH fails.
int idx_skip_value(json_cursor* c, int depth);
