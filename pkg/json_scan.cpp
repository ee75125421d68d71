// JSON scanning primitives over a json_cursor. Grammar after RFC 8259, with
// the deliberate differences noted in json_scan.h. Every read is bounded by
// `len`, including inside escapes and literals.
#include "json_scan.h"

#include <cstring>

namespace {

bool is_ws(uint8_t b) { return b == ' ' || b == '\t' || b == '\n' || b == '\r'; }
bool is_digit(uint8_t b) { return b >= '0' && b <= '9'; }
bool is_hex(uint8_t b) { return is_digit(b) || (b >= 'a' && b <= 'f') || (b >= 'A' && b <= 'F'); }

bool at_end(const json_cursor* c) { return c->pos >= c->len; }
uint32_t remaining(const json_cursor* c) { return c->len - c->pos; }

// Checks the four hex digits after "\u" (pos just past the 'u') and passes
// over them.
int pass_unicode_escape(json_cursor* c) {
    if (remaining(c) < 4) return idx_fail(c, "short \\u escape", c->pos);
    for (int i = 0; i < 4; i++) {
        if (!is_hex(c->data[c->pos])) return idx_fail(c, "invalid hex in \\u escape", c->pos);
        c->pos++;
    }
    return 0;
}

// Maps the escape letter after a backslash to the byte it stands for; -1
// for a letter the format does not define ('u' is handled by the caller).
int escaped_byte(uint8_t letter) {
    switch (letter) {
    case '"': return '"';
    case '/': return '/';
    case '\\': return '\\';
    case 'b': return 0x08;
    case 'f': return 0x0C;
    case 'n': return 0x0A;
    case 'r': return 0x0D;
    case 't': return 0x09;
    default: return -1;
    }
}

// Requires `ch` at `pos` (else records `message`) and steps past it and the
// whitespace after it.
int expect_then_ws(json_cursor* c, char ch, const char* message) {
    if (!idx_at(c, ch)) return idx_fail(c, message, c->pos);
    c->pos++;
    idx_skip_ws(c);
    return 0;
}

// Requires the opening quote at `pos` and steps past it.
int open_string(json_cursor* c) {
    if (!idx_at(c, '"')) return idx_fail(c, "expected string", c->pos);
    c->pos++;
    return 0;
}

// Passes over a run of decimal digits; how many there were.
uint32_t skip_digits(json_cursor* c) {
    uint32_t start = c->pos;
    while (!at_end(c) && is_digit(c->data[c->pos])) c->pos++;
    return c->pos - start;
}

// Passes over a number (grammar validated, value never computed).
int skip_number(json_cursor* c) {
    if (c->data[c->pos] == '-') {
        c->pos++;
        if (at_end(c)) return idx_fail(c, "incomplete number", c->pos);
        if (!is_digit(c->data[c->pos])) return idx_fail(c, "invalid number", c->pos);
    }
    // A leading 0 is the whole integer part: "01" ends at the '1'.
    if (c->data[c->pos++] != '0') skip_digits(c);
    if (idx_at(c, '.')) {
        c->pos++;
        if (skip_digits(c) == 0) return idx_fail(c, "fraction has no digits", c->pos);
    }
    if (idx_at(c, 'e') || idx_at(c, 'E')) {
        c->pos++;
        if (idx_at(c, '+') || idx_at(c, '-')) c->pos++;
        if (skip_digits(c) == 0) return idx_fail(c, "exponent has no digits", c->pos);
    }
    return 0;
}

// Passes over an array at `pos` ('[') whose elements sit at depth + 1.
int skip_array(json_cursor* c, int depth) {
    int more = idx_open_container(c, '[', ']', "invalid JSON value");
    for (; more == 1; more = idx_next_member(c, ']', "expected ',' or ']' in array"))
        if (idx_skip_value(c, depth + 1) != 0) return -1;
    return more;
}

// Passes over an object at `pos` ('{') whose member values sit at depth + 1.
// Keys are neither decoded nor checked for duplicates.
int skip_object(json_cursor* c, int depth) {
    int more = idx_open_container(c, '{', '}', "invalid JSON value");
    for (; more == 1; more = idx_next_member(c, '}', "expected ',' or '}' in object")) {
        if (idx_skip_string(c) != 0) return -1;
        if (idx_expect_colon(c, "expected ':' after key") != 0) return -1;
        if (idx_skip_value(c, depth + 1) != 0) return -1;
    }
    return more;
}

}  // namespace

int idx_fail(json_cursor* c, const char* message, uint32_t offset) {
    if (!c->error) {
        c->error = message;
        c->error_offset = offset;
    }
    return -1;
}

void idx_skip_ws(json_cursor* c) {
    while (!at_end(c) && is_ws(c->data[c->pos])) c->pos++;
}

int idx_at(const json_cursor* c, char ch) {
    return !at_end(c) && c->data[c->pos] == static_cast<uint8_t>(ch);
}

int idx_open_container(json_cursor* c, char open, char close, const char* message) {
    if (expect_then_ws(c, open, message) != 0) return -1;
    if (!idx_at(c, close)) return 1;
    c->pos++;
    return 0;
}

int idx_next_member(json_cursor* c, char close, const char* message) {
    idx_skip_ws(c);
    if (idx_at(c, close)) {
        c->pos++;
        return 0;
    }
    return expect_then_ws(c, ',', message) == 0 ? 1 : -1;
}

int idx_expect_colon(json_cursor* c, const char* message) {
    idx_skip_ws(c);
    return expect_then_ws(c, ':', message);
}

int idx_parse_string(json_cursor* c, char* out, uint32_t cap) {
    if (open_string(c) != 0) return -1;
    uint32_t n = 0;
    for (;;) {
        if (at_end(c)) return idx_fail(c, "unterminated string", c->len);
        uint8_t b = c->data[c->pos++];
        if (b < 0x20) return idx_fail(c, "control character in string", c->pos);
        if (b == '"') {
            if (cap == 0) return idx_fail(c, "string too long", c->pos);
            out[n] = '\0';
            return 0;
        }
        if (b == '\\') {
            if (at_end(c)) return idx_fail(c, "unfinished escape sequence", c->len);
            uint8_t letter = c->data[c->pos++];
            if (letter == 'u') {
                if (pass_unicode_escape(c) != 0) return -1;
                b = '?';  // no UTF-8 is produced: any code point reads as '?'
            } else {
                int mapped = escaped_byte(letter);
                if (mapped < 0) return idx_fail(c, "invalid escape sequence", c->pos);
                b = static_cast<uint8_t>(mapped);
            }
        }
        if (n + 1 >= cap) return idx_fail(c, "string too long", c->pos);
        out[n++] = static_cast<char>(b);
    }
}

int idx_skip_string(json_cursor* c) {
    if (open_string(c) != 0) return -1;
    for (;;) {
        if (at_end(c)) return idx_fail(c, "unterminated string", c->len);
        uint8_t b = c->data[c->pos++];
        if (b < 0x20) return idx_fail(c, "control character in string", c->pos);
        if (b == '"') return 0;
        if (b != '\\') continue;
        if (at_end(c)) return idx_fail(c, "unfinished escape sequence", c->len);
        if (c->data[c->pos++] == 'u' && pass_unicode_escape(c) != 0) return -1;
    }
}

int idx_parse_bool(json_cursor* c, int32_t* out) {
    idx_skip_ws(c);
    if (remaining(c) >= 4 && memcmp(c->data + c->pos, "true", 4) == 0) {
        c->pos += 4;
        *out = 1;
        return 0;
    }
    if (remaining(c) >= 5 && memcmp(c->data + c->pos, "false", 5) == 0) {
        c->pos += 5;
        *out = 0;
        return 0;
    }
    return idx_fail(c, "expected boolean", c->pos);
}

int idx_skip_literal(json_cursor* c, const char* literal) {
    size_t n = strlen(literal);
    if (remaining(c) < n) return idx_fail(c, "unexpected end while reading literal", c->pos);
    if (memcmp(c->data + c->pos, literal, n) != 0) return idx_fail(c, "invalid literal", c->pos);
    c->pos += static_cast<uint32_t>(n);
    return 0;
}

int idx_skip_value(json_cursor* c, int depth) {
    idx_skip_ws(c);
    if (at_end(c)) return idx_fail(c, "unexpected end of JSON input", c->len);
    uint8_t b = c->data[c->pos];
    switch (b) {
    case '"': return idx_skip_string(c);
    case 't': return idx_skip_literal(c, "true");
    case 'f': return idx_skip_literal(c, "false");
    case 'n': return idx_skip_literal(c, "null");
    case '[':
    case '{':
        if (depth >= IDX_MAX_DEPTH) return idx_fail(c, "max depth exceeded", c->pos);
        return b == '[' ? skip_array(c, depth) : skip_object(c, depth);
    default:
        if (b == '-' || is_digit(b)) return skip_number(c);
        return idx_fail(c, "invalid JSON value", c->pos);
    }
}
