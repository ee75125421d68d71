// The program's own inflate decoder: gzip members (RFC 1952) carrying
// deflate data (RFC 1951), decoded into the caller's buffer one byte at a
// time. One fixed record holds all its memory; nothing is allocated.
//
// This is the reference decoder: bits are read one at a time, Huffman codes
// are walked node by node through two-child trees (no lookup tables), and the
// CRC-32 is computed bit by bit. Any faster decoder is checked against it.
#pragma once

#include <cstdint>

constexpr int INFLATE_INPUT_SIZE = 1024;     // raw input buffer
constexpr int INFLATE_WINDOW_SIZE = 32768;   // deflate's largest distance
constexpr int HUFF_MAX_BITS = 15;            // longest deflate code
constexpr int HUFF_TREE_CAPACITY = 8192;     // nodes of the literal and distance trees
constexpr int HUFF_CL_TREE_CAPACITY = 512;   // nodes of a dynamic block's code-length tree
constexpr int LIT_SYMBOLS = 288;             // literal/length alphabet incl. 286, 287
constexpr int MAX_LIT_CODES = 286;           // HLIT + 257 may not exceed this
constexpr int DIST_SYMBOLS = 32;             // distance alphabet incl. 30, 31
constexpr int CL_SYMBOLS = 19;               // code-length alphabet
constexpr uint32_t CRC32_POLY = 0xEDB88320u; // reflected CRC-32 polynomial

// One node of a decoding tree; -1 means none. Node 0 is the root.
struct huff_node {
    int16_t child0;
    int16_t child1;
    int16_t symbol;
};

struct inflate_state {
    int fd;
    uint8_t in_buf[INFLATE_INPUT_SIZE];
    uint32_t in_pos;
    uint32_t in_len;
    uint32_t bit_buf;  // least significant bit first
    int bit_count;
    uint8_t window[INFLATE_WINDOW_SIZE];
    int window_pos;
    int in_block;
    int block_is_huffman;
    int block_final;
    int final_block_done;
    int member_ended;  // 1 from a member's matched trailer until the next member begins
    int stream_done;   // 1 once no further member follows
    int stored_remaining;
    uint16_t copy_remaining;
    uint16_t copy_distance;
    int has_dist_tree;
    huff_node lit_tree[HUFF_TREE_CAPACITY];
    huff_node dist_tree[HUFF_TREE_CAPACITY];
    uint32_t crc;
    uint32_t out_count;
    // Set by the first decoding failure: a stream that went wrong once is not
    // decoded further, so bytes after a corrupt spot are never handed out.
    int failed;
};

// Zeroes the state and prepares it to decode deflate data read from `fd`.
void inflate_begin(inflate_state* s, int fd);

// Reads and checks the gzip member header from `fd` with plain reads, so the
// decoder later starts at the first byte after it. 0, or -1 on a short read,
// a wrong magic or method, or reserved flag bits.
int gzip_read_member_header(int fd);

// Decodes and drops the rest of the member being decoded and checks its
// trailer: 0 when it matched (now or before), -1 when the data is corrupt or
// ends before the trailer. The next member, if any, is not begun.
int gzip_finish_member(inflate_state* s);

// Decodes up to `size` (at least 1) bytes into `buf`, going on into each
// further member of the file. Returns the bytes placed (1..size), 0 once the
// last member's trailer has been read and matched, or -1 on a
// failure before any byte was placed in this call (a failure after some bytes
// returns those; the next call returns -1).
int32_t gzip_inflate_some(inflate_state* s, uint8_t* buf, int32_t size);

// The decoder's pieces, callable alone (the tests build codes with
// huff_build). Each returns 0 or -1.
int gzip_read_bits(inflate_state* s, int count, uint32_t* value);
int huff_build(huff_node* nodes, int capacity, const uint8_t* lengths, int symbol_count);
int huff_decode_symbol(inflate_state* s, const huff_node* tree, int* symbol);
int gzip_build_fixed_trees(inflate_state* s);
int gzip_build_dynamic_trees(inflate_state* s);

// Folds one byte into a running (not yet complemented) CRC-32.
uint32_t crc32_update_byte(uint32_t crc, uint8_t byte);
