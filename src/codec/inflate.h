// The DEFLATE decoder's internals: the bit buffer, the decoding table entry and
// the table builder, declared here so that tests can reach huft_build directly.
#pragma once

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

// Decoder state, process-wide. The routines that consume bits copy these into
// locals and store them back when they finish normally.
//  name       meaning                                  written by / read by
using bitbuf = std::uint64_t; // wide enough for a whole symbol after one refill
extern bitbuf bb;   // bit buffer: the next bit of the stream is bit 0     inflate routines
extern unsigned bk; // number of valid bits in bb                          inflate routines
extern const int lbits; // requested first-level bits, dynamic literal/length table (9)
extern const int dbits; // requested first-level bits, dynamic distance table (6)

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
// Releases every table of one code; null does nothing. Returns 0.
int huft_free(huft *t);

} // namespace codec
