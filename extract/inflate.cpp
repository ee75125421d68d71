// Inflate, the reference way: one bit at a time, no tables but RFC 1951's.
//
// RFC 1952 member: ID1 ID2 CM FLG MTIME(4) XFL OS, then the optional fields
// FEXTRA (XLEN + data), FNAME and FCOMMENT (NUL-terminated), FHCRC (2 bytes),
// then the deflate data and the trailer CRC32 + ISIZE, little-endian.
//
// RFC 1951 block: BFINAL (1 bit), BTYPE (2 bits): 0 stored (aligned LEN,
// NLEN, raw bytes), 1 fixed Huffman, 2 dynamic Huffman, 3 reserved. Huffman
// codes are packed starting with their most significant bit, every other
// field least significant bit first.
#include "inflate.h"

#include <cstddef>
#include <cstring>

#include "qor.h"

namespace {

constexpr uint8_t GZIP_ID1 = 0x1F;
constexpr uint8_t GZIP_ID2 = 0x8B;
constexpr uint8_t GZIP_CM_DEFLATE = 8;
constexpr uint8_t GZIP_FHCRC = 0x02;
constexpr uint8_t GZIP_FEXTRA = 0x04;
constexpr uint8_t GZIP_FNAME = 0x08;
constexpr uint8_t GZIP_FCOMMENT = 0x10;
constexpr uint8_t GZIP_FLAGS_KNOWN = 0x1F;
constexpr int GZIP_FIXED_HEADER = 10;
constexpr int GZIP_SKIP_CHUNK = 256;

constexpr int END_OF_BLOCK = 256;
constexpr int FIRST_LENGTH_SYMBOL = 257;
constexpr int MAX_MATCH = 258;
constexpr int MAX_DIST_SYMBOL = 29;

// RFC 1951 3.2.5: lengths of symbols 257..285 and distances of codes 0..29.
constexpr uint16_t len_base[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                   31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr uint8_t len_extra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                   2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr uint16_t dist_base[30] = {1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
                                    193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr uint8_t dist_extra[30] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6,
                                    6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
// RFC 1951 3.2.7: the order in which code-length code lengths are sent.
constexpr uint8_t cl_order[CL_SYMBOLS] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

// Reads exactly `len` bytes; -1 when the file ends first or a read fails.
int read_exact(int fd, uint8_t* buf, int len) {
    return qor::read_full(fd, buf, static_cast<size_t>(len)) == len ? 0 : -1;
}

// Where a member header is read from: the file itself for the first member,
// before the decoder has read anything, and the decoder's own input for a
// later member, whose first bytes may already sit in the input buffer.
struct header_source {
    int fd;
    inflate_state* decoder;  // null: plain reads on fd
};

// Exactly `len` header bytes from the source; -1 when it ends first.
int source_bytes(header_source* src, uint8_t* buf, int len) {
    if (!src->decoder) return read_exact(src->fd, buf, len);
    for (int i = 0; i < len; ++i) {
        uint32_t byte;
        if (gzip_read_bits(src->decoder, 8, &byte) != 0) return -1;
        buf[i] = static_cast<uint8_t>(byte);
    }
    return 0;
}

// Reads and drops bytes up to and including a NUL; -1 on a short read.
int skip_zero_terminated(header_source* src) {
    uint8_t byte = 1;
    while (byte != 0) {
        if (source_bytes(src, &byte, 1) != 0) return -1;
    }
    return 0;
}

// Drops FEXTRA: a 2-byte little-endian XLEN and that many bytes.
int skip_extra_field(header_source* src) {
    uint8_t xlen_bytes[2];
    if (source_bytes(src, xlen_bytes, 2) != 0) return -1;
    int remaining = xlen_bytes[0] | (xlen_bytes[1] << 8);
    uint8_t chunk[GZIP_SKIP_CHUNK];
    while (remaining > 0) {
        int n = remaining < GZIP_SKIP_CHUNK ? remaining : GZIP_SKIP_CHUNK;
        if (source_bytes(src, chunk, n) != 0) return -1;
        remaining -= n;
    }
    return 0;
}

// Checks method and flags of a member header whose 10 fixed bytes (magic
// already matched) are in `fixed`, and drops its optional fields. 0 or -1.
int finish_member_header(header_source* src, const uint8_t fixed[GZIP_FIXED_HEADER]) {
    if (fixed[2] != GZIP_CM_DEFLATE) return -1;
    uint8_t flags = fixed[3];
    if (flags > GZIP_FLAGS_KNOWN) return -1;
    if ((flags & GZIP_FEXTRA) && skip_extra_field(src) != 0) return -1;
    if ((flags & GZIP_FNAME) && skip_zero_terminated(src) != 0) return -1;
    if ((flags & GZIP_FCOMMENT) && skip_zero_terminated(src) != 0) return -1;
    if (flags & GZIP_FHCRC) {
        uint8_t header_crc[2];  // present but not verified
        if (source_bytes(src, header_crc, 2) != 0) return -1;
    }
    return 0;
}

// Refills the input buffer with one read; -1 when the input has ended.
int refill_input(inflate_state* s) {
    long n = qor::read(s->fd, s->in_buf, INFLATE_INPUT_SIZE);
    if (n <= 0) return -1;
    s->in_len = static_cast<uint32_t>(n);
    s->in_pos = 0;
    return 0;
}

// Drops the bits up to the next byte boundary (stored blocks, trailer).
void align_to_byte(inflate_state* s) {
    int drop = s->bit_count & 7;
    s->bit_buf >>= drop;
    s->bit_count -= drop;
}

// The bit reader's fields copied into locals for the length of a loop, so
// that they live in registers instead of being stored and reloaded through
// the state for every bit; written back with store() before anything else
// looks at the state.
struct bit_cursor {
    const uint8_t* in;
    uint32_t pos;
    uint32_t len;
    uint32_t bits;  // least significant bit first
    int count;
};

inline bit_cursor load_cursor(const inflate_state* s) { return {s->in_buf, s->in_pos, s->in_len, s->bit_buf, s->bit_count}; }

inline void store_cursor(inflate_state* s, const bit_cursor& c) {
    s->in_pos = c.pos;
    s->in_len = c.len;
    s->bit_buf = c.bits;
    s->bit_count = c.count;
}

// The next input byte, refilling the buffer (one read) only when it is
// empty; false when the input has ended.
inline bool next_input_byte(inflate_state* s, bit_cursor& c, uint32_t* byte) {
    if (c.pos == c.len) {
        if (refill_input(s) != 0) return false;
        c.pos = 0;
        c.len = s->in_len;
    }
    *byte = c.in[c.pos++];
    return true;
}

// `n` (0..16) bits, least significant first, taking whole bytes only while
// fewer than `n` bits are held.
inline bool take_bits(inflate_state* s, bit_cursor& c, int n, uint32_t* value) {
    while (c.count < n) {
        uint32_t byte;
        if (!next_input_byte(s, c, &byte)) return false;
        c.bits |= byte << c.count;
        c.count += 8;
    }
    *value = c.bits & ((1u << n) - 1u);
    c.bits >>= n;
    c.count -= n;
    return true;
}

// One bit: the case the tree walk needs, with a byte taken only when none
// is held (then no bits are pending and the byte is the whole buffer).
inline bool take_bit(inflate_state* s, bit_cursor& c, uint32_t* bit) {
    if (c.count == 0) {
        if (!next_input_byte(s, c, &c.bits)) return false;
        c.count = 8;
    }
    *bit = c.bits & 1u;
    c.bits >>= 1;
    c.count -= 1;
    return true;
}

// Walks `tree` from the root one bit at a time; the symbol of the first
// leaf, or -1 for a missing child, the end of the input, or no leaf within
// 15 bits. `beside` is called once per bit with work that does not depend on
// the walk (the decoding loop folds output bytes into the CRC there).
template <typename Work>
inline int walk_tree(inflate_state* s, bit_cursor& c, const huff_node* tree, Work beside) {
    static_assert(offsetof(huff_node, child1) == offsetof(huff_node, child0) + sizeof(int16_t),
                  "the bit indexes the two children");
    int node = 0;
    for (int i = 0; i < HUFF_MAX_BITS; ++i) {
        uint32_t bit;
        if (!take_bit(s, c, &bit)) return -1;
        beside();
        // The bit picks the child by address, not by a branch on data
        // that is as often 0 as 1.
        int16_t next;
        memcpy(&next, reinterpret_cast<const uint8_t*>(&tree[node].child0) + bit * sizeof(int16_t), sizeof next);
        if (next < 0) return -1;
        node = next;
        int symbol = tree[node].symbol;
        if (symbol >= 0) return symbol;
    }
    return -1;
}

// Folds one byte into the running CRC-32, one bit per step. Both outcomes
// of a step are formed and the bit shifted out selects one (a conditional
// move, not a branch): the chain from one step to the next is then a shift,
// an xor and the select, the shortest this loop allows, and it bounds the
// whole decoder since every output byte goes through eight steps.
inline uint32_t crc_fold(uint32_t crc, uint8_t byte) {
    crc ^= byte;
    for (int bit = 0; bit < 8; ++bit) {
        uint32_t shifted = crc >> 1;
        uint32_t with_poly = shifted ^ CRC32_POLY;
        crc = (crc & 1u) ? with_poly : shifted;
    }
    return crc;
}

constexpr uint32_t WINDOW_MASK = INFLATE_WINDOW_SIZE - 1;
static_assert((INFLATE_WINDOW_SIZE & WINDOW_MASK) == 0, "the window index is masked");

// The output side of the inner loop in locals: window position, CRC and
// the caller's buffer. The CRC runs behind the output: bytes from `folded`
// to `placed` are in the buffer but not yet in `crc`.
struct output_cursor {
    uint8_t* window;
    uint32_t window_pos;
    uint32_t crc;
    uint8_t* buf;
    int32_t placed;
    int32_t folded;
};

inline void put_byte(output_cursor& o, uint8_t byte) {
    o.window[o.window_pos] = byte;
    o.window_pos = (o.window_pos + 1) & WINDOW_MASK;
    o.buf[o.placed++] = byte;
}

// Folds the next byte still owed to the CRC, if any. Called once per bit of
// the tree walks, it lets the CRC's long chain of dependent steps run beside
// the walk's chain of dependent loads instead of after it.
inline void fold_one_owed(output_cursor& o) {
    if (o.folded < o.placed) o.crc = crc_fold(o.crc, o.buf[o.folded++]);
}

inline void fold_all_owed(output_cursor& o) {
    while (o.folded < o.placed) o.crc = crc_fold(o.crc, o.buf[o.folded++]);
}

// Reads a 32-bit little-endian trailer word through the bit reader.
int read_le32(inflate_state* s, uint32_t* value) {
    uint32_t word = 0;
    for (int i = 0; i < 4; ++i) {
        uint32_t byte;
        if (gzip_read_bits(s, 8, &byte) != 0) return -1;
        word |= byte << (8 * i);
    }
    *value = word;
    return 0;
}

void end_block(inflate_state* s) {
    s->in_block = 0;
    if (s->block_final) s->final_block_done = 1;
}

// Reads the trailer after the final block: CRC-32 and ISIZE must match.
int read_trailer(inflate_state* s) {
    align_to_byte(s);
    uint32_t crc, isize;
    if (read_le32(s, &crc) != 0 || read_le32(s, &isize) != 0) return -1;
    if (crc != ~s->crc || isize != s->out_count) return -1;
    s->member_ended = 1;
    return 0;
}

// After a member's trailer: concatenated members are one content stream, so
// when the next bytes begin another member header its data follows on with a
// CRC, size and window of its own. Anything else after the last member (the
// end of the file included) ends the content and is ignored. 0, or -1 for a
// member header that breaks its rules.
int begin_next_member(inflate_state* s) {
    header_source src = {s->fd, s};
    uint8_t fixed[GZIP_FIXED_HEADER];
    s->member_ended = 0;
    if (source_bytes(&src, fixed, 1) != 0 || fixed[0] != GZIP_ID1 || source_bytes(&src, fixed + 1, 1) != 0 ||
        fixed[1] != GZIP_ID2) {
        s->stream_done = 1;
        return 0;
    }
    if (source_bytes(&src, fixed + 2, GZIP_FIXED_HEADER - 2) != 0 || finish_member_header(&src, fixed) != 0) return -1;
    memset(s->window, 0, sizeof s->window);
    s->window_pos = 0;
    s->final_block_done = 0;
    s->crc = 0xFFFFFFFFu;
    s->out_count = 0;
    return 0;
}

// Reads a block header and sets up the block; -1 on BTYPE 3 or bad data.
int begin_block(inflate_state* s) {
    uint32_t final_bit, type;
    if (gzip_read_bits(s, 1, &final_bit) != 0 || gzip_read_bits(s, 2, &type) != 0) return -1;
    s->block_final = static_cast<int>(final_bit);
    if (type == 0) {
        align_to_byte(s);
        uint32_t len, nlen;
        if (gzip_read_bits(s, 16, &len) != 0 || gzip_read_bits(s, 16, &nlen) != 0) return -1;
        if ((len ^ nlen) != 0xFFFFu) return -1;
        s->block_is_huffman = 0;
        s->stored_remaining = static_cast<int>(len);
        if (len == 0) {
            end_block(s);
        } else {
            s->in_block = 1;
        }
        return 0;
    }
    if (type == 1) {
        if (gzip_build_fixed_trees(s) != 0) return -1;
    } else if (type == 2) {
        if (gzip_build_dynamic_trees(s) != 0) return -1;
    } else {
        return -1;
    }
    s->in_block = 1;
    s->block_is_huffman = 1;
    return 0;
}

// Decodes the pending copy and the active block into `buf` until `size`
// bytes are placed, the block ends, or a failure (-1). The state is held in
// locals throughout (the byte stores into the window and the buffer would
// otherwise make every field be read again) and written back once on the
// way out.
int decode_run(inflate_state* s, uint8_t* buf, int32_t size, int32_t* placed) {
    bit_cursor c = load_cursor(s);
    output_cursor o = {s->window, static_cast<uint32_t>(s->window_pos), s->crc, buf, *placed, *placed};
    auto fold_beside = [&o]() { fold_one_owed(o); };
    const int32_t placed_at_start = o.placed;
    uint32_t copy_remaining = s->copy_remaining;
    uint32_t copy_distance = s->copy_distance;
    uint32_t stored_remaining = static_cast<uint32_t>(s->stored_remaining);
    const bool active = s->in_block != 0;
    const bool huffman = s->block_is_huffman != 0;
    const bool has_dist_tree = s->has_dist_tree != 0;
    const huff_node* lit_tree = s->lit_tree;
    const huff_node* dist_tree = s->dist_tree;
    bool block_ended = false;
    int result = 0;
    for (;;) {
        if (copy_remaining != 0) {
            if (copy_distance < 1 || copy_distance > INFLATE_WINDOW_SIZE) {
                result = -1;
                break;
            }
            uint32_t room = static_cast<uint32_t>(size - o.placed);
            uint32_t n = copy_remaining < room ? copy_remaining : room;
            uint32_t from = (o.window_pos - copy_distance) & WINDOW_MASK;
            copy_remaining -= n;
            // Byte by byte: a copy longer than its distance repeats what it wrote.
            for (; n > 0; --n) {
                put_byte(o, o.window[from]);
                from = (from + 1) & WINDOW_MASK;
            }
            if (o.placed == size) break;
        }
        if (!active) break;
        if (!huffman) {
            if (stored_remaining == 0) {
                block_ended = true;
                break;
            }
            if (c.count == 0 && c.pos < c.len) {
                // Aligned and no bits held: the bytes come straight from the input buffer.
                uint32_t n = stored_remaining;
                uint32_t room = static_cast<uint32_t>(size - o.placed);
                uint32_t held = c.len - c.pos;
                if (room < n) n = room;
                if (held < n) n = held;
                stored_remaining -= n;
                for (; n > 0; --n) put_byte(o, c.in[c.pos++]);
            } else {
                uint32_t byte;
                if (!take_bits(s, c, 8, &byte)) {
                    result = -1;
                    break;
                }
                put_byte(o, static_cast<uint8_t>(byte));
                stored_remaining -= 1;
            }
            if (stored_remaining == 0) {
                block_ended = true;
                break;
            }
            if (o.placed == size) break;
            continue;
        }
        int symbol = walk_tree(s, c, lit_tree, fold_beside);
        if (symbol < 0) {
            result = -1;
            break;
        }
        if (symbol < END_OF_BLOCK) {
            put_byte(o, static_cast<uint8_t>(symbol));
            if (o.placed == size) break;
            continue;
        }
        if (symbol == END_OF_BLOCK) {
            block_ended = true;
            break;
        }
        if (symbol >= MAX_LIT_CODES) {
            result = -1;
            break;
        }
        int code = symbol - FIRST_LENGTH_SYMBOL;
        uint32_t extra;
        if (!take_bits(s, c, len_extra[code], &extra) || !has_dist_tree) {
            result = -1;
            break;
        }
        uint32_t length = len_base[code] + extra;
        int dist_symbol = walk_tree(s, c, dist_tree, fold_beside);
        if (dist_symbol < 0 || dist_symbol > MAX_DIST_SYMBOL || !take_bits(s, c, dist_extra[dist_symbol], &extra)) {
            result = -1;
            break;
        }
        uint32_t distance = dist_base[dist_symbol] + extra;
        if (distance < 1 || distance > INFLATE_WINDOW_SIZE || length < 1 || length > MAX_MATCH) {
            result = -1;
            break;
        }
        // The copy loop above places its first byte at once.
        copy_distance = distance;
        copy_remaining = length;
    }
    fold_all_owed(o);
    store_cursor(s, c);
    s->window_pos = static_cast<int>(o.window_pos);
    s->crc = o.crc;
    s->out_count += static_cast<uint32_t>(o.placed - placed_at_start);
    s->copy_remaining = static_cast<uint16_t>(copy_remaining);
    s->copy_distance = static_cast<uint16_t>(copy_distance);
    s->stored_remaining = static_cast<int>(stored_remaining);
    if (block_ended) end_block(s);
    *placed = o.placed;
    return result;
}

// One pass of the decoding loop: 1 when the stream is done, 0 to go on,
// -1 on failure.
int decode_step(inflate_state* s, uint8_t* buf, int32_t size, int32_t* placed) {
    if (s->stream_done) return 1;
    if (s->copy_remaining != 0) return decode_run(s, buf, size, placed);
    if (!s->in_block) {
        if (s->member_ended) return begin_next_member(s);
        if (s->final_block_done) return read_trailer(s);
        return begin_block(s);
    }
    return decode_run(s, buf, size, placed);
}

}  // namespace

uint32_t crc32_update_byte(uint32_t crc, uint8_t byte) { return crc_fold(crc, byte); }

void inflate_begin(inflate_state* s, int fd) {
    memset(s, 0, sizeof *s);
    s->fd = fd;
    s->crc = 0xFFFFFFFFu;
}

int gzip_read_member_header(int fd) {
    header_source src = {fd, nullptr};
    uint8_t header[GZIP_FIXED_HEADER];
    if (read_exact(fd, header, GZIP_FIXED_HEADER) != 0) return -1;
    if (header[0] != GZIP_ID1 || header[1] != GZIP_ID2) return -1;
    return finish_member_header(&src, header);
}

int gzip_finish_member(inflate_state* s) {
    if (s->failed) return -1;
    // The rest of the member's content is decoded (window and CRC kept) and
    // dropped, a block's worth at a time.
    uint8_t dropped[512];
    while (!s->member_ended && !s->stream_done) {
        int32_t placed = 0;
        if (decode_step(s, dropped, static_cast<int32_t>(sizeof dropped), &placed) < 0) {
            s->failed = 1;
            return -1;
        }
    }
    return 0;
}

int gzip_read_bits(inflate_state* s, int count, uint32_t* value) {
    if (count < 0 || count > 16) return -1;
    bit_cursor c = load_cursor(s);
    bool ok = take_bits(s, c, count, value);
    store_cursor(s, c);
    return ok ? 0 : -1;
}

// Canonical codes (RFC 1951 3.2.2), each stored as a path from the root with
// its first-read bit first. Incomplete codes are accepted, over-subscribed or
// colliding ones are not.
int huff_build(huff_node* nodes, int capacity, const uint8_t* lengths, int symbol_count) {
    for (int i = 0; i < capacity; ++i) nodes[i] = {-1, -1, -1};
    int count[HUFF_MAX_BITS + 1] = {};
    int used = 0;
    for (int sym = 0; sym < symbol_count; ++sym) {
        if (lengths[sym] > HUFF_MAX_BITS) return -1;
        if (lengths[sym] != 0) {
            count[lengths[sym]] += 1;
            used += 1;
        }
    }
    if (used == 0) return -1;
    int left = 1;
    for (int len = 1; len <= HUFF_MAX_BITS; ++len) {
        left = left * 2 - count[len];
        if (left < 0) return -1;
    }
    int next_code[HUFF_MAX_BITS + 1] = {};
    int code = 0;
    for (int len = 1; len <= HUFF_MAX_BITS; ++len) {
        code = (code + count[len - 1]) << 1;
        next_code[len] = code;
    }
    int next_free = 1;
    for (int sym = 0; sym < symbol_count; ++sym) {
        int len = lengths[sym];
        if (len == 0) continue;
        int sym_code = next_code[len]++;
        int node = 0;
        for (int i = len - 1; i >= 0; --i) {  // most significant bit is read first
            int16_t* child = ((sym_code >> i) & 1) ? &nodes[node].child1 : &nodes[node].child0;
            if (*child == -1) {
                if (next_free >= capacity) return -1;
                *child = static_cast<int16_t>(next_free++);
            }
            node = *child;
        }
        if (nodes[node].symbol != -1) return -1;
        nodes[node].symbol = static_cast<int16_t>(sym);
    }
    return 0;
}

int huff_decode_symbol(inflate_state* s, const huff_node* tree, int* symbol) {
    bit_cursor c = load_cursor(s);
    int found = walk_tree(s, c, tree, [] {});
    store_cursor(s, c);
    if (found < 0) return -1;
    *symbol = found;
    return 0;
}

int gzip_build_fixed_trees(inflate_state* s) {
    uint8_t lengths[LIT_SYMBOLS];
    for (int sym = 0; sym < LIT_SYMBOLS; ++sym) {
        lengths[sym] = sym < 144 ? 8 : sym < 256 ? 9 : sym < 280 ? 7 : 8;
    }
    if (huff_build(s->lit_tree, HUFF_TREE_CAPACITY, lengths, LIT_SYMBOLS) != 0) return -1;
    uint8_t dist_lengths[DIST_SYMBOLS];
    memset(dist_lengths, 5, sizeof dist_lengths);
    if (huff_build(s->dist_tree, HUFF_TREE_CAPACITY, dist_lengths, DIST_SYMBOLS) != 0) return -1;
    s->has_dist_tree = 1;
    return 0;
}

// RFC 1951 3.2.7: HLIT, HDIST, HCLEN, the code-length code, then the
// literal/length and distance code lengths run-length coded with it.
int gzip_build_dynamic_trees(inflate_state* s) {
    uint32_t hlit, hdist, hclen;
    if (gzip_read_bits(s, 5, &hlit) != 0 || gzip_read_bits(s, 5, &hdist) != 0 || gzip_read_bits(s, 4, &hclen) != 0) {
        return -1;
    }
    int lit_count = static_cast<int>(hlit) + 257;
    int dist_count = static_cast<int>(hdist) + 1;
    if (lit_count > MAX_LIT_CODES || dist_count > DIST_SYMBOLS) return -1;

    uint8_t cl_lengths[CL_SYMBOLS] = {};
    for (uint32_t i = 0; i < hclen + 4; ++i) {
        uint32_t len;
        if (gzip_read_bits(s, 3, &len) != 0) return -1;
        cl_lengths[cl_order[i]] = static_cast<uint8_t>(len);
    }
    huff_node cl_tree[HUFF_CL_TREE_CAPACITY];
    if (huff_build(cl_tree, HUFF_CL_TREE_CAPACITY, cl_lengths, CL_SYMBOLS) != 0) return -1;

    int total = lit_count + dist_count;
    uint8_t all[MAX_LIT_CODES + DIST_SYMBOLS] = {};
    int filled = 0;
    while (filled < total) {
        int symbol;
        if (huff_decode_symbol(s, cl_tree, &symbol) != 0) return -1;
        if (symbol < 16) {
            all[filled++] = static_cast<uint8_t>(symbol);
            continue;
        }
        uint8_t value = 0;
        uint32_t repeat;
        if (symbol == 16) {
            if (filled == 0) return -1;
            value = all[filled - 1];
            if (gzip_read_bits(s, 2, &repeat) != 0) return -1;
            repeat += 3;
        } else if (symbol == 17) {
            if (gzip_read_bits(s, 3, &repeat) != 0) return -1;
            repeat += 3;
        } else if (symbol == 18) {
            if (gzip_read_bits(s, 7, &repeat) != 0) return -1;
            repeat += 11;
        } else {
            return -1;
        }
        if (filled + static_cast<int>(repeat) > total) return -1;
        for (uint32_t i = 0; i < repeat; ++i) all[filled++] = value;
    }

    // Both codes are built straight from `all`: symbols past the counts
    // sent have no code either way.
    const uint8_t* dist_lengths = all + lit_count;
    if (all[END_OF_BLOCK] == 0) return -1;
    if (huff_build(s->lit_tree, HUFF_TREE_CAPACITY, all, lit_count) != 0) return -1;
    int any_distance = 0;
    for (int i = 0; i < dist_count; ++i) any_distance |= dist_lengths[i];
    if (!any_distance) {
        s->has_dist_tree = 0;
        return 0;
    }
    if (huff_build(s->dist_tree, HUFF_TREE_CAPACITY, dist_lengths, dist_count) != 0) return -1;
    s->has_dist_tree = 1;
    return 0;
}

int32_t gzip_inflate_some(inflate_state* s, uint8_t* buf, int32_t size) {
    if (!buf || size < 1) return -1;
    if (s->failed) return -1;
    int32_t placed = 0;
    while (placed < size) {
        int step = decode_step(s, buf, size, &placed);
        if (step == 1) break;
        if (step < 0) {
            s->failed = 1;
            return placed > 0 ? placed : -1;
        }
    }
    return placed;
}
