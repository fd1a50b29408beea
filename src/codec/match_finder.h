// The match finder's steps, written once for every owner of a window and its
// hash chains: the process-wide finder of deflate.cpp and the parse workers of
// parallel_deflate.cpp. A finder M provides window, head, prev, prev_after,
// the tuning (max_chain_length, good_match, nice_match, max_lazy_match), the
// positions (strstart, lookahead, match_start, ins_h, eofile), read() for
// fill_window, and the lazy loop's hooks (mark, tally, flush, fill). The
// process-wide finder's members are references to the globals, so its code
// is the code of plain global state.
//
// prev holds the chain links, indexed by window position, and prev_after the
// four links after each, packed 16 bits apiece (the lowest is prev[prev[p]]);
// head holds the heads, indexed by hash. Position 0 means "none", so the
// string at window position 0 is never a match source; a chain, read from p
// on, falls strictly until it reaches 0 and stays 0 from there.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "codec/deflate.h"

namespace codec::finder {

// The lazy parse between two steps: what the loop carries from one position
// to the next besides the finder's positions.
struct lazy_state {
    unsigned match_length = MIN_MATCH - 1; // best length found at the position before strstart; 2: none
    unsigned start = 0;                    // window position of that match, when match_length >= 3
    int match_available = 0;               // the position before strstart still awaits its decision
};

// After the last step: the position still waiting becomes a literal, and the
// final block is flushed.
void lazy_finish(const lazy_state &st);

// The process-wide finder's steps, for the parallel encoder's joiner.
// lazy_run runs the lazy loop from strstart in state st while strstart is
// below stop (a window position; ~0u: to the input's end); prime_window_chains
// rebuilds the chains that a search from strstart reads; refill_window does
// what the loop does after a step that leaves less than MIN_LOOKAHEAD ahead,
// the chains left as they are.
void lazy_run(lazy_state &st, unsigned stop);
void prime_window_chains();
void refill_window();

// Each file that runs the steps compiles its own copy, specialised to its
// finder: internal, so that the compiler may fit each copy to its callers.
namespace {

constexpr unsigned NIL = 0;
constexpr unsigned SLIDE_AT = WSIZE + MAX_DIST; // 65274
static_assert(SLIDE_AT == 0xFEFA);
// The lazy loop's stop when it runs to the end of the input.
constexpr unsigned NO_STOP = ~0u;

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
[[gnu::noinline]] inline unsigned match_length_from(const uch *scan, const uch *match, unsigned from) {
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
template <class M>
inline unsigned insert_string(M &m, unsigned s, unsigned &h, unsigned &next, std::uint64_t &after) {
    update_hash(h, m.window[s + MIN_MATCH - 1]);
    unsigned hash_head = m.head[h];
    // Position 0's links are kept 0, so "none" needs no test of its own.
    next = m.prev[hash_head];
    after = m.prev_after[hash_head];
    m.prev[s] = static_cast<ush>(hash_head);
    // The links after prev[s] are hash_head's own, shifted by one: no load
    // waits for another.
    m.prev_after[s] = after << 16 | next;
    m.head[h] = static_cast<ush>(s);
    return hash_head;
}

template <class M>
inline unsigned insert_string(M &m, unsigned s, unsigned &h) {
    unsigned next;
    std::uint64_t after;
    return insert_string(m, s, h, next, after);
}

// The chains a search from `to` on can reach, rebuilt from the window alone:
// the strings at from..to - 1 inserted into emptied heads. A search looks at
// most MAX_DIST back, so from = to - WSIZE (or 1) gives it the chains it would
// have had, had every earlier position been inserted; position 0 is "none"
// either way. Leaves ins_h ready for the string at `to`.
template <class M>
void prime_chains(M &m, unsigned from, unsigned to) {
    std::memset(m.head, 0, HASH_SIZE * sizeof *m.head);
    m.prev[NIL] = NIL;
    m.prev_after[NIL] = 0;
    unsigned h = 0;
    update_hash(h, m.window[from]);
    update_hash(h, m.window[from + 1]);
    for (unsigned s = from; s < to; s++) insert_string(m, s, h);
    h = 0;
    update_hash(h, m.window[to]);
    update_hash(h, m.window[to + 1]);
    m.ins_h = h;
}

// Whether a search from s that must beat length 2 can find anything on the
// chain from hash_head, whose next positions are next and after's four: no
// when hash_head is not a candidate, or when the search would end after
// hash_head and next without either matching the first two bytes (which, on
// one hash chain, implies the third). Branch-free but for chains that go on:
// on incompressible data the chains are short and end unpredictably, and two
// candidates cover most of them at the least cost.
template <class M>
inline bool may_beat2(M &m, unsigned s, unsigned hash_head, unsigned next, std::uint64_t after) {
    const unsigned limit = s > MAX_DIST ? s - MAX_DIST : NIL;
    if ((after & 0xffff) > limit) return true;
    const ush want = load16(m.window + s);
    // Bitwise on 0/1 values, so that nothing here becomes a branch.
    auto bit = [](bool b) { return static_cast<unsigned>(b); };
    const unsigned first = bit(hash_head != NIL) & bit(s - hash_head <= MAX_DIST);
    const unsigned hit =
        bit(load16(m.window + hash_head) == want) | (bit(next > limit) & bit(load16(m.window + next) == want));
    return (first & hit) != 0;
}

// Slides the window when strstart has passed SLIDE_AT, then reads as much
// input as fits after the lookahead. Without `chains` the hash chains are
// left as they are: a caller that does not search (the parallel encoder's
// joiner, replaying a parse) builds them again before its next search.
template <class M>
void fill_window(M &m, bool chains) {
    unsigned more = static_cast<unsigned>(WINDOW_SIZE) - m.lookahead - m.strstart;
    if (m.strstart >= SLIDE_AT) {
        std::memcpy(m.window, m.window + WSIZE, WSIZE);
        m.match_start -= WSIZE;
        m.strstart -= WSIZE;
        m.slid();
        if (chains) {
            // Heads first, then links: positions that left the window are
            // forgotten. The links of the upper half move down with their
            // positions; the upper half's old links are never read again, as
            // each is written when its position is inserted.
            for (std::size_t n = 0; n < HASH_SIZE; n++)
                m.head[n] = static_cast<ush>(m.head[n] >= WSIZE ? m.head[n] - WSIZE : NIL);
            for (std::size_t n = 0; n < WSIZE; n++) {
                const ush link = m.prev[n + WSIZE];
                m.prev[n] = static_cast<ush>(link >= WSIZE ? link - WSIZE : NIL);
            }
            // The same rule on each 16-bit field, whatever its place in the
            // entry: read as 16-bit values, the loop vectorizes.
            uch *fields = reinterpret_cast<uch *>(m.prev_after);
            for (std::size_t n = 0; n < WSIZE * sizeof *m.prev_after; n += sizeof(ush)) {
                const ush link = load16(fields + WSIZE * sizeof *m.prev_after + n);
                const ush moved = static_cast<ush>(link >= WSIZE ? link - WSIZE : NIL);
                std::memcpy(fields + n, &moved, sizeof moved);
            }
            // Position 0 is never a candidate: its links stay 0 (see lm_init).
            m.prev[NIL] = NIL;
            m.prev_after[NIL] = 0;
        }
        more += WSIZE;
    }
    if (!m.eofile) {
        int n = m.read(m.window + m.strstart + m.lookahead, more);
        if (n == 0 || n == -1) {
            m.eofile = 1;
        } else {
            m.lookahead += static_cast<unsigned>(n);
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
template <bool wide, class M>
[[gnu::always_inline]] inline bool walk_chain(M &m, IPos &cur_match, unsigned &chain_length, IPos limit,
                                              const uch *scan, unsigned &best_len, unsigned &start) {
    using word = std::conditional_t<wide, std::uint32_t, ush>;
    constexpr unsigned width = sizeof(word);
    auto load = [](const uch *p) {
        word v;
        std::memcpy(&v, p, sizeof v);
        return v;
    };
    const uch *const window = m.window;
    const ush *const prev = m.prev;
    const std::uint64_t *const prev_after = m.prev_after;
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
            if (len >= static_cast<unsigned>(m.nice_match)) return true;
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
template <class M>
[[gnu::noinline]] unsigned longest_from(M &m, IPos cur_match, unsigned s, unsigned best_len, unsigned &start) {
    unsigned chain_length = m.max_chain_length;
    if (best_len >= m.good_match) chain_length >>= 2;
    const IPos limit = s > MAX_DIST ? s - MAX_DIST : NIL;
    const uch *scan = m.window + s;
    // Four bytes tell more candidates apart than two; below length 3 the
    // first of them would lie before the string.
    if (best_len >= MIN_MATCH || !walk_chain<false>(m, cur_match, chain_length, limit, scan, best_len, start))
        walk_chain<true>(m, cur_match, chain_length, limit, scan, best_len, start);
    return best_len;
}

// Lazy matching, levels 4 to 9: a match is taken only when the next position
// does not offer a longer one. Runs steps from strstart while at least
// M::min_ahead bytes are ahead and, when bounded, strstart is below stop (a
// window position, moved down with the window when it slides), and leaves st
// and the finder's positions ready for the next call. Unbounded, the loop
// has one live value fewer: the single-threaded encoder's registers. The loop runs on local copies of the
// finder's state, stored back around the calls that read or move it (the
// tally's block-end test reads strstart; fill slides).
// Performance critical, measure any change with bench/.
template <bool bounded, class M>
void lazy_steps(M &m, lazy_state &st, unsigned stop) {
    unsigned s = m.strstart;
    unsigned ahead = m.lookahead;
    unsigned start = st.start;
    unsigned h = m.ins_h;
    unsigned match_length = st.match_length;
    unsigned prev_len = m.prev_length;
    unsigned prev_match = 0;
    int match_available = st.match_available;
    const unsigned lazy = m.max_lazy_match;

    while (ahead >= M::min_ahead && (!bounded || s < stop)) {
        m.mark(s, match_available, match_length);
        unsigned next;
        std::uint64_t after;
        const unsigned hash_head = insert_string(m, s, h, next, after);
        prev_len = match_length;
        prev_match = start;
        match_length = MIN_MATCH - 1;

        // The first candidate may lie exactly MAX_DIST back; the search itself
        // only follows the chain to later candidates nearer than that.
        if ((prev_len != MIN_MATCH - 1 || may_beat2(m, s, hash_head, next, after)) && hash_head != NIL &&
            prev_len < lazy && s - hash_head <= MAX_DIST) {
            match_length = longest_from(m, hash_head, s, prev_len, start);
            if (match_length > ahead) match_length = ahead;
            // A short match far back costs more than its three literals.
            if (match_length == MIN_MATCH && s - start > TOO_FAR) match_length--;
        }

        m.strstart = s;
        if (prev_len >= MIN_MATCH && match_length <= prev_len) {
            const int flush = m.tally(s - 1 - prev_match, prev_len - MIN_MATCH);
            ahead -= prev_len - 1;
            // s - 1 and s are in the chains already.
            for (unsigned i = 1; i <= prev_len - 2; i++) insert_string(m, s + i, h);
            s += prev_len - 1;
            match_available = 0;
            match_length = MIN_MATCH - 1;
            if (flush) {
                m.strstart = s;
                m.flush();
            }
        } else if (match_available) {
            if (m.tally(0, m.window[s - 1])) m.flush();
            s++;
            ahead--;
        } else {
            match_available = 1;
            s++;
            ahead--;
        }
        if (ahead < MIN_LOOKAHEAD && !m.eofile) {
            m.strstart = s;
            m.lookahead = ahead;
            m.match_start = start;
            m.fill();
            // A slide moves every window position down, the stop included.
            if constexpr (bounded) stop = stop > s - m.strstart ? stop - (s - m.strstart) : 0;
            s = m.strstart;
            ahead = m.lookahead;
            start = m.match_start;
        }
    }
    m.strstart = s;
    m.lookahead = ahead;
    m.match_start = start;
    m.prev_length = prev_len;
    m.ins_h = h;
    st.match_length = match_length;
    st.start = start;
    st.match_available = match_available;
}

} // namespace

} // namespace codec::finder
