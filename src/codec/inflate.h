// The DEFLATE decoder's internals, shared by the block readers (inflate.cpp)
// and the decoding of a block's codes (inflate_codes.cpp): the bit buffer, the
// window's halves, the decoding table entry and the table builder, which tests
// reach directly. Only the reading side includes this header.
#pragma once

#include <cstring>

#include <bit>

#include "codec/codec.h"

namespace codec {

// An entry of a decoding table. `e` selects the meaning of `v`:
//   0..13  length or distance base in v.n, followed by e extra bits
//   15     end of block
//   16     literal (in the code-length table: the code-length symbol)
//   17..32 link: v.t is a next-level table indexed by e - 16 bits
//   99     invalid code: reaching it makes the data malformed
struct huft {
    uch e;  // operation, as above
    uch b;  // bits this entry consumes at its level
    union {
        ush n;      // value
        huft *t;    // next-level table
    } v;
};

constexpr uch HUFT_LITERAL = 16;
constexpr uch HUFT_END_OF_BLOCK = 15;
constexpr uch HUFT_INVALID = 99;

// huft_build results.
constexpr int HUFT_COMPLETE = 0;
constexpr int HUFT_INCOMPLETE = 1;
constexpr int HUFT_OVERSUBSCRIBED = 2;
constexpr int HUFT_NO_MEMORY = 3;

// inflate results.
constexpr int INFLATE_OK = 0;
constexpr int INFLATE_MALFORMED = 1;
constexpr int INFLATE_BAD_BLOCK = 2; // block type 3 or an over-subscribed code
constexpr int INFLATE_NO_MEMORY = 3;

constexpr unsigned BMAX = 16;   // longest code length
constexpr unsigned N_MAX = 288; // most codes in one code

// Decoder state, process-wide. The routines that consume bits copy bb and bk
// into locals and store them back when they finish normally.
//  name       meaning                                  written by / read by
using bitbuf = std::uint64_t; // wide enough for a whole symbol after one refill
extern bitbuf bb;   // bit buffer: the next bit of the stream is bit 0     inflate routines
extern unsigned bk; // number of valid bits in bb                          inflate routines
extern bool history_in_output; // the output half alone holds the window, as a ring would (see below)   stored blocks, inflate / hand_on, history_from_output
extern int bmi2_state; // BMI2 shifts: -1 not probed yet, 0 absent, 1 present (the fast loop's instance)   bmi2_supported
extern huft *huft_spare[BMAX + 1]; // freed tables of 2^j entries, chained through their hidden entry, for reuse   huft_free / huft_build
extern const int lbits; // requested first-level bits, dynamic literal/length table (9)
extern const int dbits; // requested first-level bits, dynamic distance table (6)

inline constexpr ush mask_bits[BMAX + 1] = {0x0000, 0x0001, 0x0003, 0x0007, 0x000f, 0x001f, 0x003f,
                                            0x007f, 0x00ff, 0x01ff, 0x03ff, 0x07ff, 0x0fff, 0x1fff,
                                            0x3fff, 0x7fff, 0xffff};

// Length symbols 257..285, then 286 and 287, which carry the invalid marker.
inline constexpr ush cplens[31] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27, 31,
                                   35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258, 0,  0};
inline constexpr ush cplext[31] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2,
                                   3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0, HUFT_INVALID, HUFT_INVALID};
inline constexpr ush cpdist[30] = {1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
                                   193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
inline constexpr ush cpdext[30] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

// Output is decoded into the second half of `window`, position w at out_window
// + w, while the first half holds the 32768 bytes before it in the positions a
// 32 KiB ring would hold them. Every match source then lies contiguously
// behind the output, also when it reaches before the member's start (into what
// the window held, zeros in a fresh process), and whole-word copies may run
// past a match's end into bytes not yet decoded. A full window moves to the
// first half, where it is the history and from where flush_window hands it on.
// history_in_output is true while the output half alone holds the window as a
// ring would: the bytes before the position decoded in this round, those from
// it on in the last. Stored blocks leave it so, which spares them the move of
// each full window into the history half; a block with codes first moves the
// part of the last round it may still reach (history_from_output).
inline constexpr uch *out_window = window + WSIZE;
static_assert(sizeof window >= 2 * WSIZE, "history and output halves");

// Moves the part of the last round from w on into the history half, when
// the output half holds it.
void history_from_output(unsigned w);
// Hands a full window on and starts it again: the new position, 0.
unsigned window_full();

// Tops the bit buffer up to at least 56 bits from the 8 bytes at in, which
// the caller has checked are there, and moves in past the bytes taken. The
// bits above k then hold the bytes that follow, not yet counted as consumed.
[[gnu::always_inline]] inline void refill_word(const uch *&in, bitbuf &b, unsigned &k) {
    bitbuf word;
    std::memcpy(&word, in, sizeof word);
    if constexpr (std::endian::native == std::endian::big) {
        bitbuf swapped = 0;
        for (int i = 0; i < 8; i++, word >>= 8) swapped = swapped << 8 | (word & 0xff);
        word = swapped;
    }
    b |= word << (k & 63);
    in += ((63 - k) & 63) >> 3;
    k |= 56;
}

// The bit buffer held in registers for the length of one routine: taken from
// bb/bk on entry and stored back by store() when the routine ends normally.
// need() fetches whole bytes only when fewer bits than asked for are on hand,
// so it never looks further ahead than the request. The fast loop of
// inflate_codes and top_up() refill whole words, only while inbuf itself
// holds the bytes, so they may look up to eight bytes ahead; inflate gives
// every unused whole byte back to the input at the end.
struct bit_reader {
    bitbuf b = bb;
    unsigned k = bk;
    void need(unsigned n) {
        while (k < n) {
            b |= static_cast<bitbuf>(next_input_byte()) << k;
            k += 8;
        }
    }
    void drop(unsigned n) {
        b >>= n;
        k -= n;
    }
    [[nodiscard]] unsigned peek(unsigned n) const { return static_cast<unsigned>(b) & mask_bits[n]; }
    void store() const {
        bb = b;
        bk = k;
    }
    // Tops the buffer up from inbuf alone, when it holds 8 more bytes, so
    // that the next reads take no bytes one by one. Like the fast loop on
    // its way out, it keeps no bits beyond the count in the buffer.
    void top_up() {
        if (insize - inptr < 8) return;
        const uch *in = inbuf + inptr;
        refill_word(in, b, k);
        b &= (bitbuf{1} << k) - 1;
        inptr = static_cast<unsigned>(in - inbuf);
    }
};

// The code lengths a block's tables were built from.
struct code_lengths {
    const unsigned *lit; // literal/length code, nl lengths
    unsigned nl;
    const unsigned *dist; // distance code, nd lengths
    unsigned nd;
};

// Decodes literals and matches with the block's tables *tl and td (first-level
// bits *bl and bd), built from the lengths in cl, until end of block
// (INFLATE_OK), an invalid code (INFLATE_MALFORMED) or no memory for *tl
// (INFLATE_NO_MEMORY). td is null when the block has no distance codes, which
// is only legal while no length symbol occurs. *tl may be null for a
// literal/length code that huft_check found complete: it is then built with
// the requested bits *bl when the decoding needs it, and left for the caller
// to release.
[[nodiscard]] int inflate_codes(huft **tl, int *bl, const huft *td, int bd, const code_lengths &cl);

// Test seam: builds the fast tables inflate_codes would build from cl and
// checks every entry against a walk of tl and td; true when they agree.
[[nodiscard]] bool fast_tables_agree(const huft *tl, int bl, const huft *td, int bd, const code_lengths &cl);

// Builds the decoding tables of the canonical code whose n lengths (0..16) are
// in b. Symbols below s are literals (e 16) or end of block (e 15, only 256);
// the others take their base from d and extra bits from e, indexed by symbol
// - s. *t receives the first-level table (null when all lengths are 0), *m
// the first-level bits actually used (0 then). Missing codes of a complete
// code are filled in as invalid entries. Result: HUFT_COMPLETE (also for a
// single one-bit code), HUFT_INCOMPLETE (tables built), HUFT_OVERSUBSCRIBED
// (nothing built), HUFT_NO_MEMORY (nothing kept).
[[nodiscard]] int huft_build(const unsigned *b, unsigned n, unsigned s, const ush *d, const ush *e,
                             huft **t, int *m);
// huft_build's result for the same lengths, short of memory, with nothing
// built; *used receives the number of lengths that are not 0.
[[nodiscard]] int huft_check(const unsigned *b, unsigned n, unsigned *used);
// Releases every table of one code; null does nothing. Returns 0.
int huft_free(huft *t);

} // namespace codec
