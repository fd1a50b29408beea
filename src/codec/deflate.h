// The DEFLATE encoder's own declarations: the bit output (bits.cpp), the
// Huffman trees and the block layer (trees.cpp), and the match finder
// (deflate.cpp). Only the writing side includes this header.
#pragma once

#include <cstddef>
#include <cstdint>

#include "codec/codec.h"

namespace codec {

// Sizes of the encoder.
constexpr unsigned MIN_MATCH = 3;
constexpr unsigned MAX_MATCH = 258;
constexpr unsigned MIN_LOOKAHEAD = MAX_MATCH + MIN_MATCH + 1;  // 262
constexpr unsigned MAX_DIST = WSIZE - MIN_LOOKAHEAD;             // 32506: farthest match
constexpr unsigned WMASK = WSIZE - 1;
constexpr unsigned HASH_BITS = 15;
constexpr unsigned HASH_SIZE = 1u << HASH_BITS;
constexpr unsigned HASH_MASK = HASH_SIZE - 1;
constexpr unsigned H_SHIFT = 5;                                  // a byte leaves the hash after 3 steps
constexpr unsigned TOO_FAR = 4096;                               // length-3 matches beyond this are dropped
constexpr unsigned LIT_BUFSIZE = 0x8000;                         // items per block, one spare
constexpr std::size_t WINDOW_SIZE = 2 * WSIZE;                   // 65536: the first read of a member

constexpr int LENGTH_CODES = 29;
constexpr int LITERALS = 256;
constexpr int END_BLOCK = 256;
constexpr int L_CODES = LITERALS + 1 + LENGTH_CODES;             // 286
constexpr int D_CODES = 30;
constexpr int BL_CODES = 19;
constexpr int MAX_BITS = 15;
constexpr int MAX_BL_BITS = 7;
constexpr int HEAP_SIZE = 2 * L_CODES + 1;                       // 573

constexpr int STORED_BLOCK = 0;
constexpr int STATIC_TREES = 1;
constexpr int DYN_TREES = 2;

static_assert(MAX_DIST == 32506 && WINDOW_SIZE - MAX_DIST - WSIZE == 262);
static_assert(PREV_SIZE == WINDOW_SIZE, "prev holds one chain link per window position");
// A match comparison may read MAX_MATCH + 1 bytes from a position just below
// the window's end, and the hash insertion two bytes beyond it: the zeroed
// slack after the window keeps all of those reads inside the allocation.
static_assert(WINDOW_SLACK >= MAX_MATCH + 2);

// One Huffman tree entry: frequency while counting, bit-reversed code once
// built; father while building, code length once built.
struct ct_data {
    union {
        ush freq;
        ush code;
    } fc;
    union {
        ush dad;
        ush len;
    } dl;
};

struct tree_desc {
    ct_data *dyn_tree;        // the dynamic tree
    const ct_data *static_tree; // its fixed counterpart, or null
    const int *extra_bits;    // extra bits of each code, from extra_base on
    int extra_base;           // first code with extra bits
    int elems;                // number of symbols
    int max_length;           // longest code allowed
    int max_code;             // built: largest symbol with a non-zero frequency
};

// The tuning of one compression level.
struct config {
    ush good_length; // previous match this long: quarter the chain budget
    ush max_lazy;    // lazy: no search past this; greedy: longest match still inserted
    ush nice_length; // stop searching at a match this long
    ush max_chain;   // candidates examined per search
};

using read_fn = int (*)(char *buf, unsigned size);

// Process-wide state of the writing side. Zero at start; each member sets up
// what it needs (bi_init, ct_init, lm_init).
//  name                          meaning                                      written by / read by
extern ush bi_buf;                // output bits not yet written, oldest in bit 0     send_bits, bi_windup
extern int bi_valid;              // valid low bits of bi_buf (0..16)                  send_bits, bi_windup
extern read_fn read_buf;          // the match finder's input function                 bi_init / lm_init, fill_window
extern ulg crc;                   // running CRC-32 of the member's input              zip, file_read / zip
extern ct_data dyn_ltree[HEAP_SIZE];       // literal/length tree                      ct_tally, build_tree / compress_block
extern ct_data dyn_dtree[2 * D_CODES + 1]; // distance tree                            ct_tally, build_tree / compress_block
extern ct_data bl_tree[2 * BL_CODES + 1];  // code-length tree                         scan_tree, build_tree / send_tree
extern ct_data static_ltree[L_CODES + 2];  // fixed literal/length code                ct_init
extern ct_data static_dtree[D_CODES];      // fixed distance code                      ct_init
extern tree_desc l_desc, d_desc, bl_desc;  // the three trees described to build_tree
extern ush bl_count[MAX_BITS + 1];         // codes of each length                      gen_bitlen, ct_init / gen_codes
extern ulg opt_len;               // block size in bits with dynamic codes             build_tree, build_bl_tree / flush_block
extern ulg static_len;            // block size in bits with fixed codes               build_tree / flush_block
extern unsigned last_lit;         // items in the block                                ct_tally / compress_block
extern unsigned last_dist;        // matches in the block                              ct_tally
extern uch flag_buf[LIT_BUFSIZE / 8];      // one bit per item, 1 for a match; cleared with the block   tally_match, init_block / compress_block
extern uch length_code[MAX_MATCH - MIN_MATCH + 1]; // length code of each length - 3          ct_init / l_code, tally_match, compress_block
extern uch dist_code[512];                 // distance codes, read through d_code             ct_init / d_code
extern int base_length[LENGTH_CODES];      // first length - 3 of each length code             ct_init / compress_block
extern int base_dist[D_CODES];             // first distance - 1 of each distance code         ct_init / compress_block
extern int heap[HEAP_SIZE];                // the heap in [1..heap_len]; nodes that left it in [heap_max..572]   build_tree / gen_bitlen
extern int heap_len;                       // nodes in the heap                                build_tree
extern int heap_max;                       // first node that left the heap                    build_tree / gen_bitlen
extern uch depth[HEAP_SIZE];               // subtree depths, to break frequency ties          build_tree
extern ush head[HASH_SIZE];       // latest position of each hash, 0 for none         insert_string, lm_init, fill_window
extern std::uint64_t prev_after[WINDOW_SIZE]; // the four chain links after prev's, per position, nearest in bits 0..15   insert_string, fill_window / longest_match
extern unsigned lookahead;        // valid bytes from strstart on                      lm_init, deflate, fill_window
extern unsigned match_start;      // best match of the last search                     longest_match / deflate
extern unsigned prev_length;      // best length at the previous position              deflate / longest_match
extern unsigned ins_h;            // hash of the string at the insertion point         lm_init, deflate
extern int eofile;                // the member's input is exhausted                   lm_init, fill_window
extern int compr_level;           // level handed to lm_init                           lm_init / deflate
extern unsigned max_lazy_match;   // tuning of compr_level, see config                 lm_init / deflate
extern unsigned good_match;       //                                                   lm_init / longest_match
extern int nice_match;            //                                                   lm_init / longest_match
extern unsigned max_chain_length; //                                                   lm_init / longest_match
extern const config configuration_table[10];

// Bit output and the compressor's input.
int file_read(char *buf, unsigned size);     // count read, 0 at end; a read error is fatal
void bi_init(int zipfile);                    // zipfile -1: the caller feeds the match finder itself
void send_bits(int value, int length);        // 1 <= length <= 15, value < 2^length
unsigned bi_reverse(unsigned code, int len);
void bi_windup();                             // byte-aligns the output
void copy_block(const uch *buf, unsigned len, int header);
void put_byte(uch c);                         // one byte into outbuf, flushed at OUTBUFSIZ
void put_short(ush w);                        // low byte first
void put_long(ulg n);                         // low 16 bits first

// Huffman trees.
void build_tree(tree_desc *desc);
void gen_codes(ct_data *tree, int max_code);

// Block tally and emission.
void ct_init();
void init_block();
void tally_match(int dist, int lc);           // ct_tally's match case, without the count
[[nodiscard]] int tally_end();                // ct_tally's block-end tests, after the count
// Records one item: dist 0 and a literal byte lc, or a match at distance dist
// (1..32506) of length lc + 3. Returns 1 when the block should be flushed now.
// Performance critical, measure any change with bench/: inline, so that a
// literal costs the match finder a few instructions. Both block-end tests
// fall on counts of 0 or 0xfff modulo 0x1000, so only those reach tally_end.
[[nodiscard]] inline int ct_tally(int dist, int lc) {
    if (dist != 0) tally_match(dist, lc);
    else dyn_ltree[lc].fc.freq++;
    inbuf[last_lit++] = static_cast<uch>(lc);
    return ((last_lit + 1) & 0xfff) > 1 ? 0 : tally_end();
}
void flush_block(const uch *buf, ulg stored_len, int eof);
// flush_block for the block from block_start to strstart; block_start = strstart.
void flush_current_block(int eof);
int d_code(unsigned dist);                    // distance code of a distance minus 1
int l_code(unsigned lc);                      // length code index of a length minus 3

// Match finder.
void lm_init(int pack_level, ush *flags);
void deflate();
int longest_match(IPos cur_match);

// The same member on several threads (parallel_deflate.cpp). parallel_begin
// starts reading `in` ahead and parsing it on zip_threads workers, and makes
// read_buf read from what was read ahead; false (nothing started) when one
// thread is as fast, as for a file of one job or the greedy levels. After
// lm_init, parallel_deflate then writes exactly what deflate would have.
bool parallel_begin(int in);
void parallel_deflate();

} // namespace codec
