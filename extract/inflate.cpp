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
    int drop = s->bit_count % 8;
    s->bit_buf >>= drop;
    s->bit_count -= drop;
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

// Appends one output byte to the window, the CRC, the count and the buffer.
void output_byte(inflate_state* s, uint8_t byte, uint8_t* buf, int32_t* placed) {
    s->window[s->window_pos] = byte;
    s->window_pos = (s->window_pos + 1) % INFLATE_WINDOW_SIZE;
    s->crc = crc32_update_byte(s->crc, byte);
    s->out_count += 1;
    buf[(*placed)++] = byte;
}

// Outputs the next byte of the pending copy; -1 for a distance out of range.
int output_copy_byte(inflate_state* s, uint8_t* buf, int32_t* placed) {
    if (s->copy_distance < 1 || s->copy_distance > INFLATE_WINDOW_SIZE) return -1;
    int from = (s->window_pos - s->copy_distance + INFLATE_WINDOW_SIZE) % INFLATE_WINDOW_SIZE;
    output_byte(s, s->window[from], buf, placed);
    s->copy_remaining -= 1;
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

// Copies one byte of the active stored block.
int stored_step(inflate_state* s, uint8_t* buf, int32_t* placed) {
    if (s->stored_remaining == 0) {
        end_block(s);
        return 0;
    }
    uint32_t byte;
    if (gzip_read_bits(s, 8, &byte) != 0) return -1;
    output_byte(s, static_cast<uint8_t>(byte), buf, placed);
    s->stored_remaining -= 1;
    if (s->stored_remaining == 0) end_block(s);
    return 0;
}

// Decodes one literal/length symbol of the active Huffman block and carries
// it out (a literal, the end of the block, or the first byte of a copy).
int huffman_step(inflate_state* s, uint8_t* buf, int32_t* placed) {
    int symbol;
    if (huff_decode_symbol(s, s->lit_tree, &symbol) != 0) return -1;
    if (symbol < END_OF_BLOCK) {
        output_byte(s, static_cast<uint8_t>(symbol), buf, placed);
        return 0;
    }
    if (symbol == END_OF_BLOCK) {
        end_block(s);
        return 0;
    }
    if (symbol >= MAX_LIT_CODES) return -1;
    int code = symbol - FIRST_LENGTH_SYMBOL;
    uint32_t extra;
    if (gzip_read_bits(s, len_extra[code], &extra) != 0) return -1;
    uint32_t length = len_base[code] + extra;
    if (!s->has_dist_tree) return -1;
    int dist_symbol;
    if (huff_decode_symbol(s, s->dist_tree, &dist_symbol) != 0) return -1;
    if (dist_symbol > MAX_DIST_SYMBOL) return -1;
    if (gzip_read_bits(s, dist_extra[dist_symbol], &extra) != 0) return -1;
    uint32_t distance = dist_base[dist_symbol] + extra;
    if (distance < 1 || distance > INFLATE_WINDOW_SIZE || length < 1 || length > MAX_MATCH) return -1;
    s->copy_distance = static_cast<uint16_t>(distance);
    s->copy_remaining = static_cast<uint16_t>(length);
    return output_copy_byte(s, buf, placed);
}

// One pass of the decoding loop: 1 when the stream is done, 0 to go on,
// -1 on failure.
int decode_step(inflate_state* s, uint8_t* buf, int32_t* placed) {
    if (s->stream_done) return 1;
    if (s->copy_remaining != 0) return output_copy_byte(s, buf, placed);
    if (!s->in_block) {
        if (s->member_ended) return begin_next_member(s);
        if (s->final_block_done) return read_trailer(s);
        return begin_block(s);
    }
    if (!s->block_is_huffman) return stored_step(s, buf, placed);
    return huffman_step(s, buf, placed);
}

}  // namespace

uint32_t crc32_update_byte(uint32_t crc, uint8_t byte) {
    crc ^= byte;
    for (int bit = 0; bit < 8; ++bit) {
        crc = (crc & 1u) ? (crc >> 1) ^ CRC32_POLY : crc >> 1;
    }
    return crc;
}

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
    uint8_t dropped[1];  // a decoding step places at most one byte
    while (!s->member_ended && !s->stream_done) {
        int32_t placed = 0;
        if (decode_step(s, dropped, &placed) < 0) {
            s->failed = 1;
            return -1;
        }
    }
    return 0;
}

int gzip_read_bits(inflate_state* s, int count, uint32_t* value) {
    if (count < 0 || count > 16) return -1;
    while (s->bit_count < count) {
        if (s->in_pos == s->in_len && refill_input(s) != 0) return -1;
        s->bit_buf |= static_cast<uint32_t>(s->in_buf[s->in_pos++]) << s->bit_count;
        s->bit_count += 8;
    }
    *value = s->bit_buf & ((1u << count) - 1u);
    s->bit_buf >>= count;
    s->bit_count -= count;
    return 0;
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
    int node = 0;
    for (int i = 0; i < HUFF_MAX_BITS; ++i) {
        uint32_t bit;
        if (gzip_read_bits(s, 1, &bit) != 0) return -1;
        int next = bit ? tree[node].child1 : tree[node].child0;
        if (next == -1) return -1;
        node = next;
        if (tree[node].symbol >= 0) {
            *symbol = tree[node].symbol;
            return 0;
        }
    }
    return -1;
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
        int step = decode_step(s, buf, &placed);
        if (step == 1) break;
        if (step < 0) {
            s->failed = 1;
            return placed > 0 ? placed : -1;
        }
    }
    return placed;
}
