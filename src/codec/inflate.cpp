// The DEFLATE decoder: blocks of the three kinds decoded into `window` 32768
// bytes at a time, which leave through flush_window; owns `bb` and `bk`.
#include "codec/inflate.h"

#include <cassert>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include <bit>

namespace codec {

bitbuf bb;
unsigned bk;
const int lbits = 9;
const int dbits = 6;

namespace {

constexpr ush mask_bits[BMAX + 1] = {0x0000, 0x0001, 0x0003, 0x0007, 0x000f, 0x001f, 0x003f,
                                     0x007f, 0x00ff, 0x01ff, 0x03ff, 0x07ff, 0x0fff, 0x1fff,
                                     0x3fff, 0x7fff, 0xffff};

// The order in which the code-length code's lengths are sent.
constexpr unsigned border[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

// Length symbols 257..285, then 286 and 287, which carry the invalid marker.
constexpr ush cplens[31] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27, 31,
                            35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258, 0,  0};
constexpr ush cplext[31] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2,
                            3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0, HUFT_INVALID, HUFT_INVALID};
constexpr ush cpdist[30] = {1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
                            193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr ush cpdext[30] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

// Output is decoded into the second half of `window`, position w at out_window
// + w, while the first half holds the 32768 bytes before it in the positions a
// 32 KiB ring would hold them. Every match source then lies contiguously
// behind the output, also when it reaches before the member's start (into what
// the window held, zeros in a fresh process), and whole-word copies may run
// past a match's end into bytes not yet decoded. A full window moves to the
// first half, where it is the history and from where flush_window hands it on.
constexpr uch *out_window = window + WSIZE;
static_assert(sizeof window >= 2 * WSIZE, "history and output halves");

// Tops the bit buffer up to at least 56 bits from the 8 bytes at in, which
// the caller has checked are there, and moves in past the bytes taken. The
// bits above k then hold the bytes that follow, not yet counted as consumed.
inline void refill_word(const uch *&in, bitbuf &b, unsigned &k) {
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

// The tables of one block, released however the block ends (a fuzz build
// unwinds through here on a fatal exit).
struct block_tables {
    huft *tl = nullptr;
    huft *td = nullptr;
    block_tables() = default;
    block_tables(const block_tables &) = delete;
    block_tables &operator=(const block_tables &) = delete;
    ~block_tables() {
        huft_free(tl);
        huft_free(td);
    }
    void release_tl() { huft_free(tl), tl = nullptr; }
};

// True while the output half alone holds the window as a ring would: the
// bytes before the position decoded in this round, those from it on in the
// last. Stored blocks leave it so, which spares them the move of each full
// window into the history half; a block with codes first moves the part of
// the last round it may still reach.
bool history_in_output = false;

void history_from_output(unsigned w) {
    if (!history_in_output) return;
    std::memcpy(window + w, out_window + w, WSIZE - w);
    history_in_output = false;
}

// Hands the first n decoded bytes on, leaving the window as history.
void hand_on(unsigned n) {
    std::memcpy(window, out_window, history_in_output ? WSIZE : n);
    history_in_output = false;
    outcnt = n;
    flush_window();
}

// Hands a full window on and starts it again.
unsigned window_full() {
    hand_on(static_cast<unsigned>(WSIZE));
    return 0;
}

// The same in a stored block, straight from the output half, which keeps the
// window as history.
unsigned stored_window_full() {
    outcnt = static_cast<unsigned>(WSIZE);
    flush_window_at(out_window);
    history_in_output = true;
    return 0;
}

// Follows links from entry t until a leaf; null at an invalid code.
inline const huft *descend(const huft *t, bit_reader &br) {
    unsigned e = t->e;
    while (e > HUFT_LITERAL) {
        if (e == HUFT_INVALID) return nullptr;
        br.drop(t->b);
        e -= 16;
        br.need(e);
        t = t->v.t + br.peek(e);
        e = t->e;
    }
    return t;
}

// Copies a match of n bytes from distance dist back, flushing the window
// whenever it fills. Returns the new window position.
unsigned copy_match(unsigned w, unsigned dist, unsigned n) {
    do {
        unsigned seg = static_cast<unsigned>(WSIZE) - w;
        if (seg > n) seg = n;
        n -= seg;
        uch *out = out_window + w;
        const uch *src = out - dist;
        w += seg;
        if (dist >= seg) {
            std::memcpy(out, src, seg);
        } else {
            // Overlapping: bytes written earlier in the copy are read again,
            // which is how short distances repeat.
            do {
                *out++ = *src++;
            } while (--seg);
        }
        if (w == WSIZE) w = window_full();
    } while (n != 0);
    return w;
}

// A match that ends before the window's end, moved in whole steps of 16 or 8
// bytes that may run up to 63 bytes past its end, over bytes not yet decoded.
// When the whole source lies behind the output, 64 bytes are loaded before
// any is stored: a load that overlapped a store just made would wait for it,
// and most matches are shorter than 64 and farther than that. Otherwise each
// step reads only bytes at least one step behind it; distances under 8
// repeat an 8-byte pattern, advanced by a whole number of periods each step.
inline void copy_near(uch *out, unsigned dist, unsigned n) {
    uch *const end = out + n;
    const uch *src = out - dist;
    if (n <= dist) {
        // Beyond n the loads may reach the output, whose bytes land past
        // the match's end.
        uch a[16], b[16], c[16], d[16];
        std::memcpy(a, src, 16);
        std::memcpy(b, src + 16, 16);
        std::memcpy(c, src + 32, 16);
        std::memcpy(d, src + 48, 16);
        std::memcpy(out, a, 16);
        std::memcpy(out + 16, b, 16);
        std::memcpy(out + 32, c, 16);
        std::memcpy(out + 48, d, 16);
        out += 64;
        src += 64;
        while (out < end) {
            std::memcpy(out, src, 16);
            out += 16;
            src += 16;
        }
    } else if (dist >= 16) {
        do {
            std::memcpy(out, src, 16);
            out += 16;
            src += 16;
        } while (out < end);
    } else if (dist >= 8) {
        do {
            std::memcpy(out, src, 8);
            out += 8;
            src += 8;
        } while (out < end);
    } else {
        uch pattern[8];
        for (unsigned i = 0; i < 8; i++) pattern[i] = i < dist ? src[i] : pattern[i - dist];
        static constexpr unsigned whole_periods[8] = {0, 8, 8, 6, 8, 5, 6, 7};
        const unsigned step = whole_periods[dist];
        do {
            std::memcpy(out, pattern, 8);
            out += step;
        } while (out < end);
    }
}

// Room the fast loop keeps in the window for one turn: the longest match
// (more than four pairs of literals take) and copy_near's run past it, so
// that the turn never fills the window.
constexpr unsigned FAST_ROOM = 258 + 64;

// The fast loop's literal/length table, built beside the block's huft tables
// from the same code lengths, so that it decodes exactly what they decode:
// FAST_BITS bits of the stream resolve to one or two literals or a length in
// one lookup. Codes longer than that, the end of block and invalid codes are
// left to the huft tables (entry 0).
//   bits 0..5  bits the entry consumes, with a length's extra bits
//   bit 6      literal(s): bits 8..15 the first, 16..23 the second, bits
//              24..31 how many (1 or 2)
//   bit 7      length, its extra bits included: bits 16..24 the length
//              (codes whose extra bits do not fit are left to the huft tables)
constexpr unsigned FAST_BITS = 11;
constexpr std::uint32_t FAST_LIT = 1u << 6;
constexpr std::uint32_t FAST_LEN = 1u << 7;
constexpr std::uint32_t FAST_COUNT = 1u << 24; // one literal
using fast_table = std::uint32_t[1u << FAST_BITS];
constexpr unsigned FAST_MASK = (1u << FAST_BITS) - 1;

constexpr std::uint32_t literal_entry(unsigned sym, unsigned l) { return l | FAST_LIT | sym << 8 | FAST_COUNT; }

constexpr std::uint32_t pair_entry(unsigned sym1, unsigned sym2, unsigned l) {
    return l | FAST_LIT | sym1 << 8 | sym2 << 16 | 2 * FAST_COUNT;
}

// What a single literal entry adds to the entry of a literal before it to
// make their pair.
constexpr std::uint32_t as_second(std::uint32_t second) {
    return FAST_COUNT + (second & 63) + ((second & 0xff00) << 8);
}
static_assert(literal_entry(0xa5, 3) + as_second(literal_entry(0xff, 8)) == pair_entry(0xa5, 0xff, 11));

// A length whose extra bits are already in the lookup: the entry is the
// length itself.
constexpr std::uint32_t length_entry(unsigned length, unsigned bits) { return bits | FAST_LEN | length << 16; }

// A distance of base plus `extra` bits, after a code of l bits.
constexpr std::uint32_t value_entry(unsigned base, unsigned extra, unsigned l) {
    return (l + extra) | l << 8 | static_cast<std::uint32_t>(base) << 16;
}

// In the fast loop the bit count k is kept modulo 64 only: entries are
// subtracted whole, their higher fields wrapping past bit 5, which spares a
// mask per symbol; k & 63 is the count.

// Consumes a distance entry's bits and returns its value. The bits
// are dropped in one shift, which keeps the bit buffer's chain short; the
// extra bits are the entry's bits above the code, cut out with shifts alone
// (both counts are taken modulo 64 by the machine, so the masks cost
// nothing).
inline unsigned take_value(std::uint32_t ent, bitbuf &b, unsigned &k) {
    const bitbuf code = b & ~(~bitbuf{0} << (ent & 63));
    b >>= ent & 63;
    k -= ent;
    return (ent >> 16) + static_cast<unsigned>(code >> ((ent >> 8) & 63));
}

// The same for distances, as value entries (never 0); 0 where the huft
// tables decide.
constexpr unsigned FAST_DBITS = 10;
using fast_dtable = std::uint32_t[1u << FAST_DBITS];
constexpr unsigned FAST_DMASK = (1u << FAST_DBITS) - 1;

// The code lengths a block's tables were built from.
struct code_lengths {
    const unsigned *lit; // literal/length code, nl lengths
    unsigned nl;
    const unsigned *dist; // distance code, nd lengths
    unsigned nd;
};

// Each byte with its bits in reverse order.
constexpr struct reversed_bytes {
    uch v[256];
    constexpr reversed_bytes() : v{} {
        for (unsigned i = 0; i < 256; i++)
            for (unsigned j = 0; j < 8; j++) v[i] |= static_cast<uch>(((i >> j) & 1) << (7 - j));
    }
    constexpr uch operator[](unsigned i) const { return v[i]; }
} reversed_byte;

// Enters the canonical code of each of the n lengths in len that is at most
// `bits` long into every slot of table whose low bits are that code, bit
// reversed (the stream's first bit is bit 0). make(symbol, length, slot) gives the
// entry; 0 leaves the symbol to the huft tables. late(l) may then write the
// slots of the table as it stands at l bits, before they are repeated over
// the longer ones. Only called with lengths
// huft_build accepted, so the codes never overflow; the codes missing from an
// incomplete code stay 0 (the huft tables hold them as invalid).
// The table grows one bit at a time: doubling it repeats every shorter code
// over the new top bit, and then each code of the new length takes its one
// slot, so no slot is written more than twice per length.
template <class Make, class Late>
void fill_canonical(const unsigned *len, unsigned n, unsigned bits, std::uint32_t *table, Make make, Late late) {
    unsigned count[BMAX + 1] = {};
    for (unsigned i = 0; i < n; i++) count[len[i]]++;
    // The symbols sorted by length, then by value: the canonical order.
    unsigned start[BMAX + 2];
    start[1] = 0;
    for (unsigned l = 1; l <= BMAX; l++) start[l + 1] = start[l] + count[l];
    unsigned sorted[N_MAX];
    unsigned at[BMAX + 1];
    std::memcpy(at, start, sizeof at);
    for (unsigned sym = 0; sym < n; sym++)
        if (len[sym] != 0) sorted[at[len[sym]]++] = sym;

    table[0] = 0;
    unsigned code = 0;
    for (unsigned l = 1; l <= bits; l++) {
        std::memcpy(table + (1u << (l - 1)), table, (1u << (l - 1)) * sizeof *table);
        for (unsigned i = start[l]; i < start[l + 1]; i++, code++) {
            const unsigned r = (static_cast<unsigned>(reversed_byte[code & 0xff]) << 8 | reversed_byte[code >> 8]) >> (16 - l);
            table[r] = make(sorted[i], l, r);
        }
        late(l);
        code <<= 1;
    }
}

void build_fast_dist(const code_lengths &cl, fast_dtable &fast) {
    fill_canonical(cl.dist, cl.nd, FAST_DBITS, fast, [](unsigned sym, unsigned l, unsigned) -> std::uint32_t {
        return sym < 30 ? value_entry(cpdist[sym], cpdext[sym], l) : 0;
    }, [](unsigned) {});
}

void build_fast(const code_lengths &cl, fast_table &fast) {
    // The literals whose codes leave room for a second one, by first slot.
    struct short_literal {
        unsigned slot;
        std::uint32_t entry;
    } firsts[256];
    unsigned nfirsts = 0;
    unsigned rooms = 0; // bit r set: some literal leaves r bits for a second
    // The length codes with extra bits that fit in the lookup beside them.
    // Their slots stay 0 until the table is as wide as code and extra bits
    // together; then each of the 2^extra slots gets its own length, and the
    // doubling repeats them like any other code.
    struct extra_length {
        unsigned slot, l, sym;
    } lengths[N_MAX - 257];
    unsigned nlengths = 0;
    fill_canonical(
        cl.lit, cl.nl, FAST_BITS, fast,
        [&](unsigned sym, unsigned l, unsigned r) -> std::uint32_t {
            if (sym < 256) {
                if (l < FAST_BITS) {
                    firsts[nfirsts++] = {r, literal_entry(sym, l)};
                    rooms |= 1u << (FAST_BITS - l);
                }
                return literal_entry(sym, l);
            }
            if (sym == 256) return 0;
            const unsigned len = sym - 257, extra = cplext[len];
            if (extra == HUFT_INVALID || l + extra > FAST_BITS) return 0;
            if (extra == 0) return length_entry(cplens[len], l);
            lengths[nlengths++] = {r, l, len};
            return 0;
        },
        [&](unsigned bits) {
            for (unsigned i = 0; i < nlengths; i++) {
                const auto [slot, l, len] = lengths[i];
                if (l + cplext[len] != bits) continue;
                for (unsigned j = 0; j < (1u << cplext[len]); j++)
                    fast[slot | j << l] = length_entry(cplens[len] + j, bits);
            }
        });
    // Pairs: a literal of u bits is followed, in the slots slot + (j << u),
    // by the code the single entry of j stands for, which joins it when it
    // is a literal that fits the room of FAST_BITS - u bits left. What joins
    // at j depends on the room alone, so it is worked out once per room,
    // from the single entries before any pair is written, and selected
    // rather than branched on: whether a pair forms is data, not pattern.
    // Each literal's slots then take its entry plus that.
    std::uint32_t joins[1u << FAST_BITS]; // for room r, at 2^r + j
    for (unsigned room = 1; room < FAST_BITS; room++) {
        if ((rooms >> room & 1) == 0) continue;
        for (unsigned j = 0; j < (1u << room); j++) {
            const std::uint32_t second = fast[j];
            const bool pair = ((second & FAST_LIT) != 0) & ((second & 63) <= room);
            joins[(1u << room) + j] = pair ? as_second(second) : 0;
        }
    }
    for (unsigned f = 0; f < nfirsts; f++) {
        const std::uint32_t first = firsts[f].entry;
        const unsigned u = first & 63;
        const std::uint32_t *join = joins + (1u << (FAST_BITS - u));
        for (unsigned j = 0; j < (1u << (FAST_BITS - u)); j++) fast[firsts[f].slot | j << u] = first + join[j];
    }
}

#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
// Fuzz builds check every fast entry against a walk of the huft tables, which
// stay the judges of what a code means.
const huft *resolve(const huft *t, unsigned m, unsigned i, unsigned avail, unsigned *used) {
    t += i & m;
    unsigned u = 0;
    while (t->e > HUFT_LITERAL) {
        if (t->e == HUFT_INVALID) return nullptr;
        u += t->b;
        if (u >= avail) return nullptr;
        t = t->v.t + ((i >> u) & mask_bits[t->e - 16]);
    }
    u += t->b;
    *used = u;
    return u <= avail ? t : nullptr;
}

void check_fast(const huft *tl, unsigned ml, const huft *td, unsigned md, const fast_table &fast,
                const fast_dtable &fast_dist) {
    for (unsigned i = 0; i < (1u << FAST_BITS); i++) {
        unsigned u1, u2;
        const huft *t = resolve(tl, ml, i, FAST_BITS, &u1);
        std::uint32_t want = 0;
        if (t == nullptr || t->e == HUFT_END_OF_BLOCK) {
        } else if (t->e == HUFT_LITERAL) {
            want = literal_entry(t->v.n, u1);
            const huft *t2 = resolve(tl, ml, i >> u1, FAST_BITS - u1, &u2);
            if (t2 != nullptr && t2->e == HUFT_LITERAL)
                want = pair_entry(t->v.n, t2->v.n, u1 + u2);
        } else if (u1 + t->e <= FAST_BITS) {
            want = length_entry(t->v.n + ((i >> u1) & mask_bits[t->e]), u1 + t->e);
        }
        if (fast[i] != want) std::abort();
    }
    for (unsigned i = 0; i < (1u << FAST_DBITS); i++) {
        unsigned u;
        const huft *t = td == nullptr ? nullptr : resolve(td, md, i, FAST_DBITS, &u);
        const std::uint32_t want = t == nullptr ? 0 : value_entry(t->v.n, t->e, u);
        if (fast_dist[i] != want) std::abort();
    }
}
#endif

// Follows links from entry t to a leaf and consumes its code, inside the fast
// loop, where the bit buffer always holds the whole code; null at an invalid
// code.
inline const huft *leaf_held(const huft *t, bitbuf &b, unsigned &k) {
    unsigned e = t->e;
    while (e > HUFT_LITERAL) {
        if (e == HUFT_INVALID) return nullptr;
        b >>= t->b;
        k -= t->b;
        t = t->v.t + (static_cast<unsigned>(b) & mask_bits[e - 16]);
        e = t->e;
    }
    b >>= t->b;
    k -= t->b;
    return t;
}

// A leaf's base plus its extra bits, consumed.
inline unsigned value_held(const huft *t, bitbuf &b, unsigned &k) {
    const unsigned e = t->e;
    const unsigned v = t->v.n + (static_cast<unsigned>(b) & mask_bits[e]);
    b >>= e;
    k -= e;
    return v;
}

// Stores the one or two literals of a fast entry. The second byte is always
// stored, over a byte not yet decoded when there is no second literal, which
// spares a hard-to-predict branch.
inline void put_literals(std::uint32_t ent, uch *&out, bitbuf &b, unsigned &k) {
    b >>= ent & 63;
    k -= ent;
    if constexpr (std::endian::native == std::endian::little) {
        const auto both = static_cast<std::uint16_t>(ent >> 8);
        std::memcpy(out, &both, sizeof both);
    } else {
        out[0] = static_cast<uch>(ent >> 8);
        out[1] = static_cast<uch>(ent >> 16);
    }
    out += ent >> 24;
}

// Performance critical, measure any change with bench/.
// Decodes literals and matches with the block's tables, built from the lengths
// in cl, until end of block (0) or an invalid code (1). td is null when the block has no distance codes,
// which is only legal while no length symbol occurs.
// While inbuf holds 8 more bytes and the window has room for a match, one
// refill covers a whole symbol (at most 15 + 5 + 15 + 13 bits) and nothing
// can fill the window, so the loop skips those checks and keeps its state in
// locals; at the edges each symbol goes through the byte-wise path, which
// reads input and flushes the window at exactly the points it always has.
int inflate_codes(const huft *tl, const huft *td, int bl, int bd, const code_lengths &cl) {
    bit_reader br;
    unsigned w = outcnt;
    const unsigned ml = mask_bits[bl];
    const unsigned md = mask_bits[bd];
    fast_table fast;
    build_fast(cl, fast);
    fast_dtable fast_dist;
    build_fast_dist(cl, fast_dist);
    history_from_output(w);
#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
    check_fast(tl, ml, td, md, fast, fast_dist);
#endif

    for (;;) {
        bitbuf b = br.b;
        unsigned k = br.k;
        const uch *in = inbuf + inptr;
        const uch *const in_end = inbuf + insize;
        uch *out = out_window + w;
        uch *const out_last = out_window + (WSIZE - FAST_ROOM);
        int ended = -1; // the block's result when it ends in this loop
        // Each turn looks up the next symbol's entry before the current
        // match is copied and before the refill, so that the table load
        // overlaps them: the bit buffer still holds at least 16 valid bits
        // after the most a turn consumes (48 of 64).
        if (in_end - in >= 8 && out <= out_last) {
            refill_word(in, b, k);
            std::uint32_t ent = fast[b & FAST_MASK];
            for (;;) {
                if (ent & FAST_LIT) {
                    // Up to four entries of literals per refill: each takes
                    // at most FAST_BITS of the 56 bits on hand. Written out
                    // by hand: as a loop (also with an unroll pragma) it
                    // took 1.4% more instructions and 7% more mispredicted
                    // branches.
                    put_literals(ent, out, b, k);
                    ent = fast[b & FAST_MASK];
                    if (ent & FAST_LIT) {
                        put_literals(ent, out, b, k);
                        ent = fast[b & FAST_MASK];
                        if (ent & FAST_LIT) {
                            put_literals(ent, out, b, k);
                            ent = fast[b & FAST_MASK];
                            if (ent & FAST_LIT) {
                                put_literals(ent, out, b, k);
                                ent = fast[b & FAST_MASK];
                            }
                        }
                    }
                } else {
                    unsigned n;
                    if (ent & FAST_LEN) {
                        b >>= ent & 63;
                        k -= ent;
                        n = ent >> 16;
                    } else {
                        const huft *t = leaf_held(tl + (b & ml), b, k);
                        if (t == nullptr || t->e == HUFT_END_OF_BLOCK) {
                            ended = t == nullptr ? INFLATE_MALFORMED : INFLATE_OK;
                            break;
                        }
                        if (t->e == HUFT_LITERAL) {
                            *out++ = static_cast<uch>(t->v.n);
                            ent = fast[b & FAST_MASK];
                            goto next;
                        }
                        n = value_held(t, b, k);
                    }
                    unsigned dist;
                    if (const std::uint32_t dent = fast_dist[b & FAST_DMASK]; dent != 0) {
                        dist = take_value(dent, b, k);
                    } else {
                        const huft *t = td == nullptr ? nullptr : leaf_held(td + (b & md), b, k);
                        if (t == nullptr) {
                            ended = INFLATE_MALFORMED;
                            break;
                        }
                        dist = value_held(t, b, k);
                    }
                    ent = fast[b & FAST_MASK];
                    copy_near(out, dist, n);
                    out += n;
                }
            next:
                if (in_end - in < 8 || out > out_last) break;
                refill_word(in, b, k);
            }
        }
        if (ended == INFLATE_MALFORMED) return INFLATE_MALFORMED;
        // Forget the bits fetched ahead of the bytes counted as consumed.
        k &= 63;
        br.b = b & ((bitbuf{1} << k) - 1);
        br.k = k;
        inptr = static_cast<unsigned>(in - inbuf);
        w = static_cast<unsigned>(out - out_window);
        if (ended == INFLATE_OK) break;

        br.need(static_cast<unsigned>(bl));
        const huft *t = descend(tl + (br.b & ml), br);
        if (t == nullptr) return INFLATE_MALFORMED;
        br.drop(t->b);
        unsigned e = t->e;

        if (e == HUFT_LITERAL) {
            out_window[w++] = static_cast<uch>(t->v.n);
            if (w == WSIZE) w = window_full();
            continue;
        }
        if (e == HUFT_END_OF_BLOCK) break;

        // A length, then its distance.
        br.need(e);
        unsigned n = t->v.n + br.peek(e);
        br.drop(e);
        if (td == nullptr) return INFLATE_MALFORMED;
        br.need(static_cast<unsigned>(bd));
        t = descend(td + (br.b & md), br);
        if (t == nullptr) return INFLATE_MALFORMED;
        br.drop(t->b);
        e = t->e;
        br.need(e);
        const unsigned dist = t->v.n + br.peek(e);
        br.drop(e);
        w = copy_match(w, dist, n);
    }
    outcnt = w;
    br.store();
    return INFLATE_OK;
}

// Stored runs at least this long skip inbuf once it is used up.
constexpr unsigned STORED_DIRECT = 4096;

int inflate_stored() {
    bit_reader br;
    unsigned w = outcnt;

    br.drop(br.k & 7);
    br.need(16);
    unsigned n = br.peek(16);
    br.drop(16);
    br.need(16);
    if (n != (~br.b & 0xffff)) return INFLATE_MALFORMED;
    br.drop(16);

    // Performance critical, measure any change with bench/.
    // Bytes still in the bit buffer first (a refill may have left some
    // behind); once it is empty whole runs move straight from inbuf into the
    // window, and with inbuf used up, long runs are read straight into the
    // window. A read that brings nothing leaves the end of input or the
    // error to fill_inbuf, which reports it.
    while (n != 0) {
        if (br.k >= 8) {
            out_window[w++] = static_cast<uch>(br.b);
            br.drop(8);
            n--;
        } else if (inptr == insize) {
            ssize_t got = 0;
            if (n >= STORED_DIRECT) {
                const unsigned want = n < WSIZE - w ? n : static_cast<unsigned>(WSIZE) - w;
                got = read(ifd, out_window + w, want);
            }
            if (got > 0) {
                bytes_in += got;
                w += static_cast<unsigned>(got);
                n -= static_cast<unsigned>(got);
            } else {
                out_window[w++] = static_cast<uch>(fill_inbuf(0));
                n--;
            }
        } else {
            unsigned run = insize - inptr;
            if (run > n) run = n;
            if (run > WSIZE - w) run = static_cast<unsigned>(WSIZE) - w;
            std::memcpy(out_window + w, inbuf + inptr, run);
            inptr += run;
            w += run;
            n -= run;
        }
        if (w == WSIZE) w = stored_window_full();
    }
    outcnt = w;
    br.store();
    return INFLATE_OK;
}

int inflate_fixed() {
    unsigned l[N_MAX];
    block_tables tab;

    // Lengths for all 288 symbols make the code complete; 286 and 287 decode
    // to the invalid marker.
    unsigned i = 0;
    for (; i < 144; i++) l[i] = 8;
    for (; i < 256; i++) l[i] = 9;
    for (; i < 280; i++) l[i] = 7;
    for (; i < N_MAX; i++) l[i] = 8;
    int bl = 7;
    if (int r = huft_build(l, N_MAX, 257, cplens, cplext, &tab.tl, &bl); r != 0) return r;

    // 30 five-bit distance codes of 32: the two unused ones stay invalid.
    unsigned ld[30];
    for (i = 0; i < 30; i++) ld[i] = 5;
    int bd = 5;
    if (int r = huft_build(ld, 30, 0, cpdist, cpdext, &tab.td, &bd); r > HUFT_INCOMPLETE) return r;

    if (inflate_codes(tab.tl, tab.td, bl, bd, {l, N_MAX, ld, 30}) != 0) return INFLATE_MALFORMED;
    return INFLATE_OK;
}

int inflate_dynamic() {
    unsigned ll[286 + 30];
    block_tables tab;
    bit_reader br;

    br.need(5);
    unsigned nl = 257 + br.peek(5);
    br.drop(5);
    br.need(5);
    unsigned nd = 1 + br.peek(5);
    br.drop(5);
    br.need(4);
    unsigned nb = 4 + br.peek(4);
    br.drop(4);
    if (nl > 286 || nd > 30) return INFLATE_MALFORMED;

    unsigned j = 0;
    for (; j < nb; j++) {
        br.need(3);
        ll[border[j]] = br.peek(3);
        br.drop(3);
    }
    for (; j < 19; j++) ll[border[j]] = 0;

    int bl = 7;
    if (int r = huft_build(ll, 19, 19, nullptr, nullptr, &tab.tl, &bl); r != 0) return r;
    // Without any code-length code no length can be read.
    if (tab.tl == nullptr) return INFLATE_MALFORMED;

    const unsigned n = nl + nd;
    const unsigned m = mask_bits[bl];
    unsigned i = 0;
    unsigned l = 0;
    while (i < n) {
        // A code-length code and its repeat bits take at most 14 bits.
        if (br.k < 14) br.top_up();
        br.need(static_cast<unsigned>(bl));
        const huft *t = tab.tl + (br.b & m);
        // Only a lone one-bit code-length code leaves an invalid entry here.
        if (t->e == HUFT_INVALID) return INFLATE_MALFORMED;
        br.drop(t->b);
        unsigned sym = t->v.n;
        if (sym < 16) {
            ll[i++] = l = sym;
            continue;
        }
        unsigned count;
        unsigned value = 0;
        if (sym == 16) {
            br.need(2);
            count = 3 + br.peek(2);
            br.drop(2);
            value = l;
        } else if (sym == 17) {
            br.need(3);
            count = 3 + br.peek(3);
            br.drop(3);
            l = 0;
        } else {
            br.need(7);
            count = 11 + br.peek(7);
            br.drop(7);
            l = 0;
        }
        if (i + count > n) return INFLATE_MALFORMED;
        while (count--) ll[i++] = value;
    }
    tab.release_tl();
    br.store();

    bl = lbits;
    if (int r = huft_build(ll, nl, 257, cplens, cplext, &tab.tl, &bl); r != 0) {
        if (r == HUFT_INCOMPLETE) std::fputs(" incomplete literal tree\n", stderr);
        return r;
    }
    // Without a literal/length code not even the end of the block is there.
    if (tab.tl == nullptr) return INFLATE_MALFORMED;

    int bd = dbits;
    if (int r = huft_build(ll + nl, nd, 0, cpdist, cpdext, &tab.td, &bd); r != 0) {
        if (r == HUFT_INCOMPLETE) std::fputs(" incomplete distance tree\n", stderr);
        return r;
    }

    if (inflate_codes(tab.tl, tab.td, bl, bd, {ll, nl, ll + nl, nd}) != 0) return INFLATE_MALFORMED;
    return INFLATE_OK;
}

int inflate_block(int *e) {
    bit_reader br;
    br.need(1);
    *e = static_cast<int>(br.peek(1));
    br.drop(1);
    br.need(2);
    unsigned type = br.peek(2);
    br.drop(2);
    br.store();

    switch (type) {
    case 2: return inflate_dynamic();
    case 0: return inflate_stored();
    case 1: return inflate_fixed();
    default: return INFLATE_BAD_BLOCK;
    }
}

} // namespace

int huft_build(const unsigned *b, unsigned n, unsigned s, const ush *d, const ush *e, huft **t, int *m) {
    // Count the codes of each length.
    unsigned c[BMAX + 1] = {};
    for (unsigned i = 0; i < n; i++) c[b[i]]++;
    if (c[0] == n) {
        *t = nullptr;
        *m = 0;
        return HUFT_COMPLETE;
    }

    // Shortest and longest length, and the first-level bits between them.
    unsigned k = 1;
    while (c[k] == 0) k++;
    unsigned g = BMAX;
    while (c[g] == 0) g--;
    int l = *m;
    if (l < static_cast<int>(k)) l = static_cast<int>(k);
    if (l > static_cast<int>(g)) l = static_cast<int>(g);
    *m = l;

    // Over-subscription, and the codes missing from a complete code, which
    // become dummy codes of the longest length.
    int y = 1 << k;
    for (unsigned j = k; j < g; j++, y <<= 1)
        if ((y -= static_cast<int>(c[j])) < 0) return HUFT_OVERSUBSCRIBED;
    if ((y -= static_cast<int>(c[g])) < 0) return HUFT_OVERSUBSCRIBED;
    c[g] += static_cast<unsigned>(y);

    // The symbols sorted by length, then by value.
    unsigned x[BMAX + 1];
    x[1] = 0;
    for (unsigned j = 1; j < g; j++) x[j + 1] = x[j] + c[j];
    unsigned v[N_MAX];
    unsigned nv = 0; // symbols with a code
    for (unsigned i = 0; i < n; i++)
        if (b[i] != 0) {
            v[x[b[i]]++] = i;
            nv++;
        }

    // Walk the codes in canonical order; i is the current code bit-reversed,
    // so its low bits are the first ones in the stream.
    huft *u[BMAX];          // the open table of each level
    huft *q = nullptr;      // the current table
    unsigned z = 0;         // its number of entries
    huft **tail = t;        // where the next table of the chain is linked
    *t = nullptr;
    const unsigned *p = v;  // next symbol to place
    unsigned i = 0;
    int h = -1;             // level of the current table
    int w = -l;             // bits decoded before the current table
    x[0] = 0;
    for (; k <= g; k++) {
        for (unsigned a = c[k]; a-- > 0;) {
            // Open tables until this code ends inside the current one.
            while (static_cast<int>(k) > w + l) {
                h++;
                w += l;
                unsigned zmax = g - static_cast<unsigned>(w);
                if (zmax > static_cast<unsigned>(l)) zmax = static_cast<unsigned>(l);
                unsigned j = k - static_cast<unsigned>(w);
                unsigned f = 1u << j;
                if (f > a + 1) {
                    // Fewer codes of this length than slots: grow the table
                    // over the longer codes that share its prefix.
                    f -= a + 1;
                    const unsigned *xp = c + k;
                    while (++j < zmax) {
                        if ((f <<= 1) <= *++xp) break;
                        f -= *xp;
                    }
                    if (j > zmax) j = zmax;
                }
                z = 1u << j;

                // One hidden entry in front links the chain of this code's tables.
                q = static_cast<huft *>(std::malloc((z + 1) * sizeof(huft)));
                if (q == nullptr) {
                    huft_free(*t);
                    *t = nullptr;
                    return HUFT_NO_MEMORY;
                }
                *tail = q + 1;
                tail = &q->v.t;
                *tail = nullptr;
                u[h] = ++q;

                if (h > 0) {
                    x[h] = i;
                    huft r{};
                    r.b = static_cast<uch>(l);
                    r.e = static_cast<uch>(16 + j);
                    r.v.t = q;
                    u[h - 1][i >> (w - l)] = r;
                }
            }

            huft r{};
            r.b = static_cast<uch>(k - static_cast<unsigned>(w));
            if (p >= v + nv) {
                r.e = HUFT_INVALID; // a dummy code
            } else if (*p < s) {
                r.e = *p < 256 ? HUFT_LITERAL : HUFT_END_OF_BLOCK;
                r.v.n = static_cast<ush>(*p++);
            } else {
                r.e = static_cast<uch>(e[*p - s]);
                r.v.n = d[*p++ - s];
            }

            // Every entry whose low bits are this code.
            unsigned f = 1u << (k - static_cast<unsigned>(w));
            for (unsigned j = i >> w; j < z; j += f) q[j] = r;

            // Next code of this length, counting in reversed bit order: the
            // ones from bit k-1 down clear and the zero below them sets (all
            // ones wrap to 0). Computed rather than looped, since the length
            // of that run is data the branch predictor cannot learn.
            if (const unsigned zeros = ~i & ((1u << k) - 1); zeros != 0) {
                const unsigned top_zero = 1u << (std::bit_width(zeros) - 1);
                i = (i & (top_zero - 1)) | top_zero;
            } else {
                i = 0;
            }

            // Back out of tables that are now full.
            while ((i & ((1u << w) - 1)) != x[h]) {
                h--;
                w -= l;
            }
        }
    }

    // A lone one-bit code is the one-distance-code block that RFC 1951 allows.
    return y != 0 && g != 1 ? HUFT_INCOMPLETE : HUFT_COMPLETE;
}

int huft_free(huft *t) {
    while (t != nullptr) {
        huft *hidden = t - 1;
        huft *next = hidden->v.t;
        std::free(hidden);
        t = next;
    }
    return 0;
}

int inflate() {
    outcnt = 0;
    history_in_output = false;
    bk = 0;
    bb = 0;

    int e;
    do {
        if (int r = inflate_block(&e); r != 0) return r;
    } while (!e);

    // Whole bytes of look-ahead belong to what follows the data (the trailer).
    // They are all still in inbuf: refills take bytes only from inbuf itself,
    // and need() reads a new inbuf only when fewer than 16 bits are on hand,
    // of which the end of block (found through a lookup of at most 9 bits)
    // leaves at most one whole byte.
    assert(bk < 64 && inptr >= bk / 8);
    while (bk >= 8) {
        bk -= 8;
        inptr--;
    }
    hand_on(outcnt);
    return INFLATE_OK;
}

} // namespace codec
