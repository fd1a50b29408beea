// The decoding of a block's codes, the decoder's hot path: the fast tables
// built beside each block's huft tables, and the loop that decodes with them
// until the block ends. The huft tables stay the judges of what is malformed.
#include "codec/inflate.h"

#include <cassert>
#include <cstdlib>
#include <cstring>

#include <bit>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace codec {

namespace {

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
[[gnu::always_inline]] inline void copy_near(uch *out, unsigned dist, unsigned n) {
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

// The fast loop's literal/length table, built from the block's code lengths
// so that it decodes exactly what the huft tables built from them decode:
// FAST_BITS bits of the stream resolve to one or two literals or a length in
// one lookup, and every other code in at most one more, through a subtable
// after the first 2^FAST_BITS entries. The huft tables are then needed only
// at the input's edge, where bytes are taken one by one.
//   bits 0..5  bits the entry consumes (with a folded length's extra bits)
//   bit 6      literal(s): bits 8..15 the first, 16..23 the second, bits
//              24..31 how many (1 or 2)
//   bit 7      length, its extra bits included: bits 16..24 the length
// With neither bit, bits 8..9 tell the kind:
//   FAST_INVALID  (the whole entry 0) a code the huft tables mark invalid
//   FAST_END      end of block
//   FAST_BASE     a length base in bits 16..24, bits 12..15 the extra bits
//                 read after the code
//   FAST_SUB      (first level only) the code goes on for bits 12..15 more
//                 bits, which index the subtable at bits 16..31
constexpr unsigned FAST_BITS = 11;
constexpr std::uint32_t FAST_LIT = 1u << 6;
constexpr std::uint32_t FAST_LEN = 1u << 7;
constexpr std::uint32_t FAST_COUNT = 1u << 24; // one literal
constexpr std::uint32_t FAST_INVALID = 0;
constexpr std::uint32_t FAST_END = 1u << 8;
constexpr std::uint32_t FAST_BASE = 2u << 8;
constexpr std::uint32_t FAST_SUB = 3u << 8;
constexpr std::uint32_t FAST_KIND = 3u << 8;
// Room for the subtables. Codes are at most 15 bits, so a subtable has at
// most 16 entries, and one is needed only where at least two codes share
// their first FAST_BITS bits (a code is complete), of 288 at most.
constexpr unsigned FAST_SUBTABLES = (N_MAX / 2) << (15 - FAST_BITS);
using fast_table = std::uint32_t[(1u << FAST_BITS) + FAST_SUBTABLES];
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

// A length base whose extra bits are read after the code of l bits.
constexpr std::uint32_t base_entry(unsigned base, unsigned extra, unsigned l) {
    return l | FAST_BASE | extra << 12 | static_cast<std::uint32_t>(base) << 16;
}

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
[[gnu::always_inline]] inline unsigned take_value(std::uint32_t ent, bitbuf &b, unsigned &k) {
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

// Each byte with its bits in reverse order.
constexpr struct reversed_bytes {
    uch v[256];
    constexpr reversed_bytes() : v{} {
        for (unsigned i = 0; i < 256; i++)
            for (unsigned j = 0; j < 8; j++) v[i] |= static_cast<uch>(((i >> j) & 1) << (7 - j));
    }
    constexpr uch operator[](unsigned i) const { return v[i]; }
} reversed_byte;

// The low l bits of code in reverse order.
inline unsigned reversed(unsigned code, unsigned l) {
    return (static_cast<unsigned>(reversed_byte[code & 0xff]) << 8 | reversed_byte[code >> 8]) >> (16 - l);
}

// Enters the canonical code of each of the n lengths in len that is at most
// `bits` long into every slot of table whose low bits are that code, bit
// reversed (the stream's first bit is bit 0). make(symbol, length, slot) gives the
// entry. late(l) may then write the
// slots of the table as it stands at l bits, before they are repeated over
// the longer ones; longer(symbol, length, code) receives each longer code,
// in canonical order. Only called with lengths
// huft_build accepted, so the codes never overflow; the codes missing from an
// incomplete code stay 0 (the huft tables hold them as invalid).
// The table grows one bit at a time: doubling it repeats every shorter code
// over the new top bit, and then each code of the new length takes its one
// slot, so no slot is written more than twice per length.
template <class Make, class Late, class Longer>
void fill_canonical(const unsigned *len, unsigned n, unsigned bits, std::uint32_t *table, Make make, Late late,
                    Longer longer) {
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
            const unsigned r = reversed(code, l);
            table[r] = make(sorted[i], l, r);
        }
        late(l);
        code <<= 1;
    }
    for (unsigned l = bits + 1; l <= BMAX; l++, code <<= 1)
        for (unsigned i = start[l]; i < start[l + 1]; i++, code++) longer(sorted[i], l, code);
}

void build_fast_dist(const code_lengths &cl, fast_dtable &fast) {
    fill_canonical(cl.dist, cl.nd, FAST_DBITS, fast, [](unsigned sym, unsigned l, unsigned) -> std::uint32_t {
        return sym < 30 ? value_entry(cpdist[sym], cpdext[sym], l) : 0;
    }, [](unsigned) {}, [](unsigned, unsigned, unsigned) {});
}

// The entry of sym's code of l bits, as a subtable holds it, or a first
// level entry that cannot fold a length's extra bits.
[[gnu::noinline]] std::uint32_t plain_entry(unsigned sym, unsigned l) {
    if (sym < 256) return literal_entry(sym, l);
    if (sym == 256) return FAST_END | l;
    const unsigned len = sym - 257;
    return cplext[len] == HUFT_INVALID ? FAST_INVALID : base_entry(cplens[len], cplext[len], l);
}

void build_fast(const code_lengths &cl, fast_table &fast) {
    // The literals whose codes leave room for a second one, by first slot.
    struct short_literal {
        unsigned slot;
        std::uint32_t entry;
    } firsts[256];
    unsigned nfirsts = 0;
    unsigned rooms = 0; // bit r set: some literal leaves r bits for a second
    unsigned shortest_literal = 0;
    // The length codes with extra bits that fit in the lookup beside them.
    // Their slots stay 0 until the table is as wide as code and extra bits
    // together; then each of the 2^extra slots gets its own length, and the
    // doubling repeats them like any other code.
    struct extra_length {
        unsigned slot, l, sym;
    } lengths[N_MAX - 257];
    unsigned nlengths = 0;
    // The codes longer than FAST_BITS, in canonical order.
    struct long_code {
        unsigned sym, l, code;
    } longs[N_MAX];
    unsigned nlongs = 0;
    fill_canonical(
        cl.lit, cl.nl, FAST_BITS, fast,
        [&](unsigned sym, unsigned l, unsigned r) -> std::uint32_t {
            if (sym < 256) {
                // Codes come shortest first, so the first literal is the
                // shortest: one that leaves less room than that takes no
                // second, and its slots keep the single entry.
                if (shortest_literal == 0) shortest_literal = l;
                if (l + shortest_literal <= FAST_BITS) {
                    firsts[nfirsts++] = {r, literal_entry(sym, l)};
                    rooms |= 1u << (FAST_BITS - l);
                }
                return literal_entry(sym, l);
            }
            const unsigned len = sym - 257;
            if (sym == 256 || cplext[len] == HUFT_INVALID || l + cplext[len] > FAST_BITS) return plain_entry(sym, l);
            if (cplext[len] == 0) return length_entry(cplens[len], l);
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
        },
        [&](unsigned sym, unsigned l, unsigned code) { longs[nlongs++] = {sym, l, code}; });
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
    // Subtables: the longer codes that share their first FAST_BITS bits
    // follow each other in canonical order, the longest last, which sets the
    // subtable's width.
    unsigned next = 1u << FAST_BITS;
    for (unsigned g = 0, e; g < nlongs; g = e) {
        const unsigned prefix = longs[g].code >> (longs[g].l - FAST_BITS);
        for (e = g + 1; e < nlongs && longs[e].code >> (longs[e].l - FAST_BITS) == prefix; e++) {
        }
        const unsigned width = longs[e - 1].l - FAST_BITS;
        assert(next + (1u << width) <= sizeof fast / sizeof *fast);
        fast[reversed(prefix, FAST_BITS)] = FAST_BITS | FAST_SUB | width << 12 | next << 16;
        std::uint32_t *sub = fast + next;
        for (unsigned j = 0; j < (1u << width); j++) sub[j] = FAST_INVALID;
        for (unsigned i = g; i < e; i++) {
            const unsigned rest = longs[i].l - FAST_BITS;
            const std::uint32_t entry = plain_entry(longs[i].sym, rest);
            for (unsigned j = reversed(longs[i].code, rest); j < (1u << width); j += 1u << rest) sub[j] = entry;
        }
        next += 1u << width;
    }
}

// The fast tables against a walk of the huft tables: literal/length entry i
// (distance entry i) must be what the huft tables make of the bits i.
enum walk_end { WALK_LEAF, WALK_INVALID, WALK_LONGER };

// Walks the huft tables from t (first-level mask m) with the bits i, of which
// avail are known: at a leaf whose code fits, *leaf and *used are set.
walk_end walk(const huft *t, unsigned m, unsigned i, unsigned avail, const huft **leaf, unsigned *used) {
    t += i & m;
    unsigned u = 0;
    while (t->e > HUFT_LITERAL) {
        if (t->e == HUFT_INVALID) return WALK_INVALID;
        u += t->b;
        if (u >= avail) return WALK_LONGER;
        t = t->v.t + ((i >> u) & mask_bits[t->e - 16]);
    }
    u += t->b;
    if (u > avail) return WALK_LONGER;
    *leaf = t;
    *used = u;
    return WALK_LEAF;
}

const huft *resolve(const huft *t, unsigned m, unsigned i, unsigned avail, unsigned *used) {
    const huft *leaf;
    return walk(t, m, i, avail, &leaf, used) == WALK_LEAF ? leaf : nullptr;
}

// The entry for a huft leaf of a code of l bits, as plain_entry makes it.
std::uint32_t leaf_entry(const huft *t, unsigned l) {
    if (t->e == HUFT_LITERAL) return literal_entry(t->v.n, l);
    if (t->e == HUFT_END_OF_BLOCK) return FAST_END | l;
    return base_entry(t->v.n, t->e, l);
}

// Subtable entry j of the first-level entry ent, for the first bits i.
bool subtable_agrees(const huft *tl, unsigned ml, unsigned i, std::uint32_t ent, const fast_table &fast) {
    if ((ent & (FAST_LIT | FAST_LEN | FAST_KIND)) != FAST_SUB || (ent & 63) != FAST_BITS) return false;
    const unsigned width = (ent >> 12) & 15, at = ent >> 16;
    if (width == 0 || width > 15 - FAST_BITS || at < (1u << FAST_BITS) ||
        at + (1u << width) > sizeof fast / sizeof *fast)
        return false;
    for (unsigned j = 0; j < (1u << width); j++) {
        const huft *t;
        unsigned u;
        const walk_end end = walk(tl, ml, i | j << FAST_BITS, FAST_BITS + width, &t, &u);
        if (end == WALK_LONGER) return false;
        const std::uint32_t want = end == WALK_INVALID ? FAST_INVALID : leaf_entry(t, u - FAST_BITS);
        if (fast[at + j] != want) return false;
    }
    return true;
}

bool tables_agree(const huft *tl, unsigned ml, const huft *td, unsigned md, const fast_table &fast,
                  const fast_dtable &fast_dist) {
    for (unsigned i = 0; i < (1u << FAST_BITS); i++) {
        unsigned u1, u2;
        const huft *t;
        const walk_end end = walk(tl, ml, i, FAST_BITS, &t, &u1);
        std::uint32_t want = FAST_INVALID;
        if (end == WALK_LONGER) {
            if (!subtable_agrees(tl, ml, i, fast[i], fast)) return false;
            continue;
        }
        if (end == WALK_INVALID) {
        } else if (t->e == HUFT_LITERAL) {
            want = literal_entry(t->v.n, u1);
            const huft *t2 = resolve(tl, ml, i >> u1, FAST_BITS - u1, &u2);
            if (t2 != nullptr && t2->e == HUFT_LITERAL)
                want = pair_entry(t->v.n, t2->v.n, u1 + u2);
        } else if (t->e != HUFT_END_OF_BLOCK && u1 + t->e <= FAST_BITS) {
            want = length_entry(t->v.n + ((i >> u1) & mask_bits[t->e]), u1 + t->e);
        } else {
            want = leaf_entry(t, u1);
        }
        if (fast[i] != want) return false;
    }
    for (unsigned i = 0; i < (1u << FAST_DBITS); i++) {
        unsigned u;
        const huft *t = td == nullptr ? nullptr : resolve(td, md, i, FAST_DBITS, &u);
        const std::uint32_t want = t == nullptr ? 0 : value_entry(t->v.n, t->e, u);
        if (fast_dist[i] != want) return false;
    }
    return true;
}

// Follows links from entry t to a leaf and consumes its code, inside the fast
// loop, where the bit buffer always holds the whole code; null at an invalid
// code.
[[gnu::always_inline]] inline const huft *leaf_held(const huft *t, bitbuf &b, unsigned &k) {
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
[[gnu::always_inline]] inline unsigned value_held(const huft *t, bitbuf &b, unsigned &k) {
    const unsigned e = t->e;
    const unsigned v = t->v.n + (static_cast<unsigned>(b) & mask_bits[e]);
    b >>= e;
    k -= e;
    return v;
}

// Stores the one or two literals of a fast entry. The second byte is always
// stored, over a byte not yet decoded when there is no second literal, which
// spares a hard-to-predict branch.
[[gnu::always_inline]] inline void put_literals(std::uint32_t ent, uch *&out, bitbuf &b, unsigned &k) {
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


// rare_entry's results besides a literal's byte and a length plus 256.
constexpr int RARE_END = -1;
constexpr int RARE_INVALID = -2;

// Consumes the code of the literal/length entry ent that is neither literals
// nor a folded length, and a length's extra bits, which the bit buffer holds
// whole: returns the literal's byte, the length plus 256, RARE_END or
// RARE_INVALID (nothing consumed).
[[gnu::always_inline]] inline int rare_entry(std::uint32_t ent, const std::uint32_t *fast, bitbuf &b, unsigned &k) {
    if ((ent & FAST_KIND) == FAST_SUB) {
        b >>= FAST_BITS;
        k -= FAST_BITS;
        ent = fast[(ent >> 16) + (static_cast<unsigned>(b) & ((1u << ((ent >> 12) & 15)) - 1))];
        if (ent & FAST_LIT) {
            b >>= ent & 63;
            k -= ent & 63;
            return static_cast<int>((ent >> 8) & 0xff);
        }
    }
    if ((ent & FAST_KIND) == FAST_END) {
        b >>= ent & 63;
        k -= ent & 63;
        return RARE_END;
    }
    if ((ent & FAST_KIND) != FAST_BASE) return RARE_INVALID;
    b >>= ent & 63;
    k -= ent & 63;
    const unsigned extra = (ent >> 12) & 15;
    const unsigned n = (ent >> 16) + (static_cast<unsigned>(b) & ((1u << extra) - 1));
    b >>= extra;
    k -= extra;
    return static_cast<int>(n + 256);
}

// What the fast loop decodes with: the block's fast tables, and its huft
// distance table for the codes the fast one leaves to it.
struct block_codes {
    const fast_table &fast;
    const fast_dtable &fast_dist;
    const huft *td;
    unsigned md;
};

// The fast loop's registers, taken from inflate_codes and handed back.
struct fast_regs {
    bitbuf b;
    unsigned k;
    const uch *in;
    uch *out;
};

// How many more turns of the fast loop cannot reach an edge, from a point
// that is clear of both: a turn takes at most 7 bytes of input (its refill)
// and writes at most a longest match.
[[gnu::always_inline]] inline std::size_t sure_turns(const uch *in, const uch *in_end, const uch *out,
                                                     const uch *out_last) {
    const auto by_input = static_cast<std::size_t>(in_end - in - 8) / 7;
    const auto by_output = static_cast<std::size_t>(out_last - out) / 258;
    return by_input < by_output ? by_input : by_output;
}

// Performance critical, measure any change with bench/.
// Decodes while inbuf holds 8 more bytes and the window has room for a match
// (the caller has checked both once). Returns INFLATE_OK at the end of the
// block, INFLATE_MALFORMED at an invalid code, -1 at an edge; r then holds
// the bit count modulo 64 with bits fetched ahead above it. Inlined into
// one plain and one BMI2 instance.
[[gnu::always_inline]] inline int fast_loop(fast_regs &r, const uch *in_end, uch *out_last, const block_codes &c) {
    bitbuf b = r.b;
    unsigned k = r.k;
    const uch *in = r.in;
    uch *out = r.out;
    const fast_table &fast = c.fast;
    const fast_dtable &fast_dist = c.fast_dist;
    int ended = -1;
    // The edges are tested only once the turns known to stay clear of them
    // are used up: the loop still stops at the first turn that reaches one.
    std::size_t turns = sure_turns(in, in_end, out, out_last);
    // Each turn looks up the next symbol's entry before the current match is
    // copied and before the refill, so that the table load overlaps them:
    // the bit buffer still holds at least 16 valid bits after the most a turn
    // consumes (48 of 64).
    refill_word(in, b, k);
    std::uint32_t ent = fast[b & FAST_MASK];
    for (;;) {
        if (ent & FAST_LIT) {
            // Up to four entries of literals per refill: each takes at most
            // FAST_BITS of the 56 bits on hand. Written out by hand: as a
            // loop (also with an unroll pragma) it took 1.4% more
            // instructions and 7% more mispredicted branches.
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
                const int v = rare_entry(ent, fast, b, k);
                if (v < 256) {
                    if (v < 0) {
                        ended = v == RARE_END ? INFLATE_OK : INFLATE_MALFORMED;
                        break;
                    }
                    *out++ = static_cast<uch>(v);
                    ent = fast[b & FAST_MASK];
                    goto next;
                }
                n = static_cast<unsigned>(v) - 256;
            }
            unsigned dist;
            if (const std::uint32_t dent = fast_dist[b & FAST_DMASK]; dent != 0) {
                dist = take_value(dent, b, k);
            } else {
                const huft *t = c.td == nullptr ? nullptr : leaf_held(c.td + (b & c.md), b, k);
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
        if (turns-- == 0) {
            if (in_end - in < 8 || out > out_last) break;
            turns = sure_turns(in, in_end, out, out_last);
        }
        refill_word(in, b, k);
    }
    r = {b, k, in, out};
    return ended;
}

int fast_loop_plain(fast_regs &r, const uch *in_end, uch *out_last, const block_codes &c) {
    return fast_loop(r, in_end, out_last, c);
}

#if defined(__x86_64__) || defined(__i386__)
// The same with BMI2's shifts by a register, which neither wait for nor set
// the flags: the bit buffer's shifts are the loop's critical path.
__attribute__((target("bmi,bmi2"))) int fast_loop_bmi2(fast_regs &r, const uch *in_end, uch *out_last,
                                                       const block_codes &c) {
    return fast_loop(r, in_end, out_last, c);
}

bool bmi2_supported() {
    if (bmi2_state < 0) {
        unsigned a, b, c, d;
        bmi2_state = __get_cpuid_count(7, 0, &a, &b, &c, &d) && (b & bit_BMI) && (b & bit_BMI2) ? 1 : 0;
    }
    return bmi2_state != 0;
}

inline int fast_codes(fast_regs &r, const uch *in_end, uch *out_last, const block_codes &c) {
    return bmi2_supported() ? fast_loop_bmi2(r, in_end, out_last, c) : fast_loop_plain(r, in_end, out_last, c);
}
#else
inline int fast_codes(fast_regs &r, const uch *in_end, uch *out_last, const block_codes &c) {
    return fast_loop_plain(r, in_end, out_last, c);
}
#endif

} // namespace

// While inbuf holds 8 more bytes and the window has room for a match, one
// refill covers a whole symbol (at most 15 + 5 + 15 + 13 bits) and nothing
// can fill the window, so the loop skips those checks and keeps its state in
// locals; at the edges each symbol goes through the byte-wise path, which
// reads input and flushes the window at exactly the points it always has.
int inflate_codes(huft **tl, int *bl, const huft *td, int bd, const code_lengths &cl) {
    bit_reader br;
    unsigned w = outcnt;
    unsigned ml = mask_bits[*bl];
    const unsigned md = mask_bits[bd];
    fast_table fast;
    build_fast(cl, fast);
    fast_dtable fast_dist;
    build_fast_dist(cl, fast_dist);
    history_from_output(w);
    // The literal/length huft table, built when first needed: the fast
    // tables decode everything but the symbols met with fewer than 8 bytes
    // of inbuf left. Tables that cannot be built end the block as
    // huft_build's result did before it began.
    const auto build_tl = [&] {
        if (*tl != nullptr) return true;
        if (huft_build(cl.lit, cl.nl, 257, cplens, cplext, tl, bl) == HUFT_NO_MEMORY) return false;
        ml = mask_bits[*bl];
        return true;
    };
    // Both table systems must decode alike. Fuzz builds check every block
    // even with assertions off.
#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
    if (!build_tl()) return INFLATE_NO_MEMORY;
    if (!tables_agree(*tl, ml, td, md, fast, fast_dist)) std::abort();
#elif !defined(NDEBUG)
    if (!build_tl()) return INFLATE_NO_MEMORY;
    assert(tables_agree(*tl, ml, td, md, fast, fast_dist));
#endif

    const block_codes codes{fast, fast_dist, td, md};
    for (;;) {
        fast_regs r{br.b, br.k, inbuf + inptr, out_window + w};
        const uch *const in_end = inbuf + insize;
        uch *const out_last = out_window + (WSIZE - FAST_ROOM);
        // The block's result when it ends in the fast loop, else -1.
        int ended = -1;
        if (in_end - r.in >= 8 && r.out <= out_last) ended = fast_codes(r, in_end, out_last, codes);
        bitbuf b = r.b;
        unsigned k = r.k;
        const uch *in = r.in;
        uch *out = r.out;
        if (ended == INFLATE_MALFORMED) return INFLATE_MALFORMED;
        // Forget the bits fetched ahead of the bytes counted as consumed.
        k &= 63;
        br.b = b & ((bitbuf{1} << k) - 1);
        br.k = k;
        inptr = static_cast<unsigned>(in - inbuf);
        w = static_cast<unsigned>(out - out_window);
        if (ended == INFLATE_OK) break;

        if (insize - inptr >= 8) {
            // The window's edge, with input at hand: one symbol from the
            // fast tables, after one refill that holds it whole, written out
            // with the window's checks.
            in = inbuf + inptr;
            refill_word(in, b, k);
            const std::uint32_t ent = fast[b & FAST_MASK];
            unsigned n = 0, dist = 0, lits = 0, lit[2];
            if (ent & FAST_LIT) {
                b >>= ent & 63;
                k -= ent & 63;
                lits = ent >> 24;
                lit[0] = (ent >> 8) & 0xff;
                lit[1] = (ent >> 16) & 0xff;
            } else {
                int v = static_cast<int>(ent >> 16) + 256;
                if (ent & FAST_LEN) {
                    b >>= ent & 63;
                    k -= ent & 63;
                } else {
                    v = rare_entry(ent, fast, b, k);
                }
                if (v == RARE_INVALID) return INFLATE_MALFORMED;
                if (v >= 256) {
                    n = static_cast<unsigned>(v) - 256;
                    if (const std::uint32_t dent = fast_dist[b & FAST_DMASK]; dent != 0) {
                        dist = take_value(dent, b, k);
                    } else {
                        const huft *t = td == nullptr ? nullptr : leaf_held(td + (b & md), b, k);
                        if (t == nullptr) return INFLATE_MALFORMED;
                        dist = value_held(t, b, k);
                    }
                } else if (v >= 0) {
                    lits = 1;
                    lit[0] = static_cast<unsigned>(v);
                }
                if (v == RARE_END) ended = INFLATE_OK;
            }
            k &= 63;
            br.b = b & ((bitbuf{1} << k) - 1);
            br.k = k;
            inptr = static_cast<unsigned>(in - inbuf);
            for (unsigned i = 0; i < lits; i++) {
                out_window[w++] = static_cast<uch>(lit[i]);
                if (w == WSIZE) w = window_full();
            }
            if (n != 0) w = copy_match(w, dist, n);
            if (ended == INFLATE_OK) break;
            continue;
        }

        // Bytes one by one, as the huft tables ask for them.
        if (!build_tl()) return INFLATE_NO_MEMORY;
        br.need(static_cast<unsigned>(*bl));
        const huft *t = descend(*tl + (br.b & ml), br);
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

bool fast_tables_agree(const huft *tl, int bl, const huft *td, int bd, const code_lengths &cl) {
    fast_table fast;
    build_fast(cl, fast);
    fast_dtable fast_dist;
    build_fast_dist(cl, fast_dist);
    return tables_agree(tl, mask_bits[bl], td, mask_bits[bd], fast, fast_dist);
}

} // namespace codec
