// The encoder's match finder: the input streams through a 64 KiB window,
// repeated strings are found on hash chains, and every literal and match goes
// to ct_tally in input order. Owns the hash state and the lookahead.
//
// prev holds the chain links, indexed by window position, and prev_after the
// four links after each, packed 16 bits apiece (the lowest is prev[prev[p]]);
// head holds the heads, indexed by hash. Position 0 means "none", so the
// string at window position 0 is never a match source; a chain, read from p
// on, falls strictly until it reaches 0 and stays 0 from there.
#include <bit>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "codec/deflate.h"

namespace codec {

ush head[HASH_SIZE];
std::uint64_t prev_after[WINDOW_SIZE];
unsigned lookahead;
unsigned match_start;
unsigned prev_length;
unsigned ins_h;
int eofile;
int compr_level;
unsigned max_lazy_match;
unsigned good_match;
int nice_match;
unsigned max_chain_length;

const config configuration_table[10] = {
    /* 0 */ {0, 0, 0, 0},          // not accepted by lm_init
    /* 1 */ {4, 4, 8, 4},          // greedy from here to 3
    /* 2 */ {4, 5, 16, 8},
    /* 3 */ {4, 6, 32, 32},
    /* 4 */ {4, 4, 16, 16},        // lazy from here on
    /* 5 */ {8, 16, 32, 32},
    /* 6 */ {8, 16, 128, 128},
    /* 7 */ {8, 32, 128, 256},
    /* 8 */ {32, 128, 258, 1024},
    /* 9 */ {32, 258, 258, 4096}}; // the level in use

namespace {

constexpr unsigned NIL = 0;
constexpr unsigned SLIDE_AT = WSIZE + MAX_DIST; // 65274
static_assert(SLIDE_AT == 0xFEFA);

inline void update_hash(unsigned &h, uch c) { h = ((h << H_SHIFT) ^ c) & HASH_MASK; }

inline ush load16(const uch *p) {
    ush v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Field k (bits 16k..16k + 15) of a prev_after entry, read straight from its
// bytes: one load each, where shifts of the whole entry would cost three.
inline unsigned link_field(const uch *entry, unsigned k) {
    constexpr bool little = std::endian::native == std::endian::little;
    return load16(entry + (little ? 2 * k : 6 - 2 * k));
}

// Bytes equal in scan and match from `from` on, up to MAX_MATCH in all. Eight
// bytes at a time where the first differing byte can be told from the lowest
// set bit; the last word may read up to scan[MAX_MATCH], which the window's
// slack keeps defined. Out of line: few candidates get this far, and
// inlined into each of the walk's visits it would crowd the walk's registers.
[[gnu::noinline]] unsigned match_length_from(const uch *scan, const uch *match, unsigned from) {
    unsigned len = from;
    if constexpr (std::endian::native == std::endian::little) {
        while (len < MAX_MATCH) {
            std::uint64_t a, b;
            std::memcpy(&a, scan + len, sizeof a);
            std::memcpy(&b, match + len, sizeof b);
            if (const std::uint64_t diff = a ^ b; diff != 0) {
                len += static_cast<unsigned>(std::countr_zero(diff)) / 8;
                return len < MAX_MATCH ? len : MAX_MATCH;
            }
            len += 8;
        }
        return MAX_MATCH;
    } else {
        while (len < MAX_MATCH && scan[len] == match[len]) len++;
        return len;
    }
}

// Inserts the string at s into its hash chain, rolling the hash h (ins_h or a
// loop's copy of it) on by one byte; returns the previous head of
// that chain, the first candidate for a match at s. Reads window[s + 2], which
// near the end of the input lies beyond it (zeroes or an earlier member's bytes).
inline unsigned insert_string(unsigned s, unsigned &h, unsigned &next, std::uint64_t &after) {
    update_hash(h, window[s + MIN_MATCH - 1]);
    unsigned hash_head = head[h];
    // Position 0's links are kept 0, so "none" needs no test of its own.
    next = prev[hash_head];
    after = prev_after[hash_head];
    prev[s] = static_cast<ush>(hash_head);
    // The links after prev[s] are hash_head's own, shifted by one: no load
    // waits for another.
    prev_after[s] = after << 16 | next;
    head[h] = static_cast<ush>(s);
    return hash_head;
}

inline unsigned insert_string(unsigned s, unsigned &h) {
    unsigned next;
    std::uint64_t after;
    return insert_string(s, h, next, after);
}

// Whether a search from s that must beat length 2 can find anything on the
// chain from hash_head, whose next positions are next and after's four: no
// when hash_head is not a candidate, or when the search would end after
// hash_head and next without either matching the first two bytes (which, on
// one hash chain, implies the third). Branch-free but for chains that go on:
// on incompressible data the chains are short and end unpredictably, and two
// candidates cover most of them at the least cost.
inline bool may_beat2(unsigned s, unsigned hash_head, unsigned next, std::uint64_t after) {
    const unsigned limit = s > MAX_DIST ? s - MAX_DIST : NIL;
    if ((after & 0xffff) > limit) return true;
    const ush want = load16(window + s);
    // Bitwise on 0/1 values, so that nothing here becomes a branch.
    auto bit = [](bool b) { return static_cast<unsigned>(b); };
    const unsigned first = bit(hash_head != NIL) & bit(s - hash_head <= MAX_DIST);
    const unsigned hit = bit(load16(window + hash_head) == want) | (bit(next > limit) & bit(load16(window + next) == want));
    return (first & hit) != 0;
}

// Slides the window when strstart has passed SLIDE_AT, then reads as much
// input as fits after the lookahead.
void fill_window() {
    unsigned more = static_cast<unsigned>(WINDOW_SIZE) - lookahead - strstart;
    if (strstart >= SLIDE_AT) {
        std::memcpy(window, window + WSIZE, WSIZE);
        match_start -= WSIZE;
        strstart -= WSIZE;
        block_start -= static_cast<long>(WSIZE);
        // Heads first, then links: positions that left the window are
        // forgotten. The links of the upper half move down with their
        // positions; the upper half's old links are never read again, as each
        // is written when its position is inserted.
        for (std::size_t n = 0; n < HASH_SIZE; n++) head[n] = static_cast<ush>(head[n] >= WSIZE ? head[n] - WSIZE : NIL);
        for (std::size_t n = 0; n < WSIZE; n++) {
            const ush link = prev[n + WSIZE];
            prev[n] = static_cast<ush>(link >= WSIZE ? link - WSIZE : NIL);
        }
        // The same rule on each 16-bit field, whatever its place in the
        // entry: read as 16-bit values, the loop vectorizes.
        uch *fields = reinterpret_cast<uch *>(prev_after);
        for (std::size_t n = 0; n < WSIZE * sizeof *prev_after; n += sizeof(ush)) {
            const ush link = load16(fields + WSIZE * sizeof *prev_after + n);
            const ush moved = static_cast<ush>(link >= WSIZE ? link - WSIZE : NIL);
            std::memcpy(fields + n, &moved, sizeof moved);
        }
        // Position 0 is never a candidate: its links stay 0 (see lm_init).
        prev[NIL] = NIL;
        prev_after[NIL] = 0;
        more += WSIZE;
    }
    if (!eofile) {
        int n = read_buf(reinterpret_cast<char *>(window + strstart + lookahead), more);
        if (n == 0 || n == -1) {
            eofile = 1;
        } else {
            lookahead += static_cast<unsigned>(n);
        }
    }
}

// One stretch of longest_match's walk along the chain, from cur_match (not
// yet visited) on. A candidate must share the bytes ending at best_len with
// the string at scan before its whole length is compared: two of them in the
// narrow walk, four in the wide one, which needs best_len >= 3 (all four then
// lie within the string). Returns true when the search is over; the narrow
// walk returns false when best_len has reached 3, with cur_match and
// chain_length ready for the wide walk to go on.
template <bool wide>
[[gnu::always_inline]] inline bool walk_chain(IPos &cur_match, unsigned &chain_length, IPos limit, const uch *scan,
                                              unsigned &best_len, unsigned &start) {
    using word = std::conditional_t<wide, std::uint32_t, ush>;
    constexpr unsigned width = sizeof(word);
    auto load = [](const uch *p) {
        word v;
        std::memcpy(&v, p, sizeof v);
        return v;
    };
    const ush scan_start = load16(scan);
    word scan_end = load(scan + best_len + 1 - width);
    const uch *probe = window + best_len + 1 - width;

    // Returns true when the match is long enough to end the search.
    auto visit = [&](IPos cur) {
        // The bytes ending at best_len differ most often, so they go first.
        // Byte 2 is not compared: equal hashes and equal first two bytes
        // imply it.
        if (load(probe + cur) != scan_end || load16(window + cur) != scan_start) [[likely]]
            return false;
        const unsigned len = match_length_from(scan, window + cur, MIN_MATCH);
        if (len > best_len) {
            start = cur;
            best_len = len;
            if (len >= static_cast<unsigned>(nice_match)) return true;
            scan_end = load(scan + best_len + 1 - width);
            probe = window + best_len + 1 - width;
        }
        return false;
    };

    // Most candidates fail the first test, so the walk is bound by the latency
    // of the loads of the links. Each step reads the next five positions at
    // once; a chain falls strictly, so when the fifth is above limit and the
    // budget outlasts the five, none of the five needs its own test.
    for (;;) {
        if (visit(cur_match)) return true;
        const IPos next = prev[cur_match];
        const uch *after = reinterpret_cast<const uch *>(prev_after + cur_match);
        const IPos c2 = link_field(after, 0);
        const IPos c3 = link_field(after, 1);
        const IPos c4 = link_field(after, 2);
        const IPos c5 = link_field(after, 3);
        if (c5 > limit && chain_length > 5) {
            chain_length -= 5;
            if (visit(next) || visit(c2) || visit(c3) || visit(c4)) return true;
        } else {
            if (next <= limit || --chain_length == 0 || visit(next)) return true;
            if (c2 <= limit || --chain_length == 0 || visit(c2)) return true;
            if (c3 <= limit || --chain_length == 0 || visit(c3)) return true;
            if (c4 <= limit || --chain_length == 0 || visit(c4)) return true;
            if (c5 <= limit || --chain_length == 0) return true;
        }
        cur_match = c5;
        if (!wide && best_len >= 3) return false;
    }
}

// longest_match for the string at s, which must beat best_len: returns the
// best length found (best_len when none is longer) and sets start to the
// position of a longer match. Takes its state as arguments, so that the lazy
// loop can keep its own in locals; not inlined there, where its registers
// would crowd the loop's.
// Performance critical, measure any change with bench/.
unsigned longest_from(IPos cur_match, unsigned s, unsigned best_len, unsigned &start) {
    unsigned chain_length = max_chain_length;
    if (best_len >= good_match) chain_length >>= 2;
    const IPos limit = s > MAX_DIST ? s - MAX_DIST : NIL;
    const uch *scan = window + s;
    // Four bytes tell more candidates apart than two; below length 3 the
    // first of them would lie before the string.
    if (best_len >= MIN_MATCH || !walk_chain<false>(cur_match, chain_length, limit, scan, best_len, start))
        walk_chain<true>(cur_match, chain_length, limit, scan, best_len, start);
    return best_len;
}

void flush_current_block(int eof) {
    const uch *buf = block_start >= 0 ? window + block_start : nullptr;
    flush_block(buf, static_cast<ulg>(static_cast<long>(strstart) - block_start), eof);
    block_start = static_cast<long>(strstart);
}

// Greedy matching, levels 1 to 3: every match found is taken at once.
void deflate_fast() {
    unsigned match_length = 0;
    prev_length = MIN_MATCH - 1;
    while (lookahead != 0) {
        unsigned hash_head = insert_string(strstart, ins_h);
        if (hash_head != NIL && strstart - hash_head <= MAX_DIST) {
            match_length = static_cast<unsigned>(longest_match(hash_head));
            if (match_length > lookahead) match_length = lookahead;
        }
        int flush;
        if (match_length >= MIN_MATCH) {
            flush = ct_tally(static_cast<int>(strstart - match_start), static_cast<int>(match_length - MIN_MATCH));
            lookahead -= match_length;
            if (match_length <= max_lazy_match) {
                // The match's inner strings go into the chains too.
                for (unsigned i = 1; i < match_length; i++) insert_string(strstart + i, ins_h);
                strstart += match_length;
            } else {
                strstart += match_length;
                ins_h = ((static_cast<unsigned>(window[strstart]) << H_SHIFT) ^ window[strstart + 1]) & HASH_MASK;
            }
            match_length = 0;
        } else {
            flush = ct_tally(0, window[strstart]);
            lookahead--;
            strstart++;
        }
        if (flush) flush_current_block(0);
        while (lookahead < MIN_LOOKAHEAD && !eofile) fill_window();
    }
    flush_current_block(1);
}

// Lazy matching, levels 4 to 9: a match is taken only when the next position
// does not offer a longer one. The loop runs on local copies of the match
// finder's state, stored back around the calls that read or move it
// (ct_tally's block-end test reads strstart; fill_window slides).
void deflate_lazy() {
    unsigned s = strstart;
    unsigned ahead = lookahead;
    unsigned start = match_start;
    unsigned h = ins_h;
    unsigned match_length = MIN_MATCH - 1;
    unsigned prev_len = prev_length;
    unsigned prev_match = 0;
    int match_available = 0;
    const unsigned lazy = max_lazy_match;

    while (ahead != 0) {
        unsigned next;
        std::uint64_t after;
        const unsigned hash_head = insert_string(s, h, next, after);
        prev_len = match_length;
        prev_match = start;
        match_length = MIN_MATCH - 1;

        // The first candidate may lie exactly MAX_DIST back; the search itself
        // only follows the chain to later candidates nearer than that.
        if ((prev_len != MIN_MATCH - 1 || may_beat2(s, hash_head, next, after)) && hash_head != NIL &&
            prev_len < lazy && s - hash_head <= MAX_DIST) {
            match_length = longest_from(hash_head, s, prev_len, start);
            if (match_length > ahead) match_length = ahead;
            // A short match far back costs more than its three literals.
            if (match_length == MIN_MATCH && s - start > TOO_FAR) match_length--;
        }

        strstart = s;
        if (prev_len >= MIN_MATCH && match_length <= prev_len) {
            const int flush = ct_tally(static_cast<int>(s - 1 - prev_match), static_cast<int>(prev_len - MIN_MATCH));
            ahead -= prev_len - 1;
            // s - 1 and s are in the chains already.
            for (unsigned i = 1; i <= prev_len - 2; i++) insert_string(s + i, h);
            s += prev_len - 1;
            match_available = 0;
            match_length = MIN_MATCH - 1;
            if (flush) {
                strstart = s;
                flush_current_block(0);
            }
        } else if (match_available) {
            if (ct_tally(0, window[s - 1])) flush_current_block(0);
            s++;
            ahead--;
        } else {
            match_available = 1;
            s++;
            ahead--;
        }
        if (ahead < MIN_LOOKAHEAD && !eofile) {
            strstart = s;
            lookahead = ahead;
            match_start = start;
            do fill_window();
            while (lookahead < MIN_LOOKAHEAD && !eofile);
            s = strstart;
            ahead = lookahead;
            start = match_start;
        }
    }
    strstart = s;
    lookahead = ahead;
    match_start = start;
    prev_length = prev_len;
    ins_h = h;
    // The final flush follows, whatever the tally asks.
    if (match_available) (void)ct_tally(0, window[strstart - 1]);
    flush_current_block(1);
}

} // namespace

void lm_init(int pack_level, ush *flags) {
    if (pack_level < 1 || pack_level > 9) error("bad pack level");
    compr_level = pack_level;
    // The chain links need no clearing: each is written before it is read,
    // except position 0's, which are the links of "none" and stay 0 (the
    // string at 0 is inserted with an empty chain; a slide clears them).
    std::memset(head, 0, HASH_SIZE * sizeof *head);
    prev[NIL] = NIL;
    prev_after[NIL] = 0;

    const config &c = configuration_table[pack_level];
    max_lazy_match = c.max_lazy;
    good_match = c.good_length;
    nice_match = c.nice_length;
    max_chain_length = c.max_chain;
    if (pack_level == 1) *flags = static_cast<ush>(*flags | 4);
    if (pack_level == 9) *flags = static_cast<ush>(*flags | 2);

    strstart = 0;
    block_start = 0;
    // The window is not cleared: past the input it holds zeroes in the first
    // member and what earlier members left there afterwards.
    int n = read_buf(reinterpret_cast<char *>(window), static_cast<unsigned>(WINDOW_SIZE));
    if (n == 0 || n == -1) {
        eofile = 1;
        lookahead = 0;
        return;
    }
    lookahead = static_cast<unsigned>(n);
    eofile = 0;
    while (lookahead < MIN_LOOKAHEAD && !eofile) fill_window();
    ins_h = ((static_cast<unsigned>(window[0]) << H_SHIFT) ^ window[1]) & HASH_MASK;
}

int longest_match(IPos cur_match) { return static_cast<int>(longest_from(cur_match, strstart, prev_length, match_start)); }

void deflate() {
    if (compr_level <= 3) {
        deflate_fast();
    } else {
        deflate_lazy();
    }
}

// The whole writing side, the bit output's and the block layer's state
// included. Cleared fixed trees make the next ct_init build its tables again.
void reset_encoder_state() {
    bi_buf = 0;
    bi_valid = 0;
    read_buf = nullptr;
    crc = 0;
    std::memset(dyn_ltree, 0, sizeof dyn_ltree);
    std::memset(dyn_dtree, 0, sizeof dyn_dtree);
    std::memset(bl_tree, 0, sizeof bl_tree);
    std::memset(static_ltree, 0, sizeof static_ltree);
    std::memset(static_dtree, 0, sizeof static_dtree);
    l_desc.max_code = d_desc.max_code = bl_desc.max_code = 0;
    std::memset(bl_count, 0, sizeof bl_count);
    opt_len = static_len = 0;
    last_lit = last_dist = 0;
    std::memset(flag_buf, 0, sizeof flag_buf);
    std::memset(length_code, 0, sizeof length_code);
    std::memset(dist_code, 0, sizeof dist_code);
    std::memset(base_length, 0, sizeof base_length);
    std::memset(base_dist, 0, sizeof base_dist);
    std::memset(heap, 0, sizeof heap);
    heap_len = heap_max = 0;
    std::memset(depth, 0, sizeof depth);
    std::memset(head, 0, sizeof head);
    std::memset(prev_after, 0, sizeof prev_after);
    lookahead = match_start = prev_length = ins_h = 0;
    eofile = 0;
    compr_level = 0;
    max_lazy_match = good_match = max_chain_length = 0;
    nice_match = 0;
}

} // namespace codec
