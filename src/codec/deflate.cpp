// The encoder's match finder: the input streams through a 64 KiB window,
// repeated strings are found on hash chains, and every literal and match goes
// to ct_tally in input order. Owns the hash state and the lookahead; the
// steps themselves are in match_finder.h.
#include <cstdint>
#include <cstring>

#include "codec/match_finder.h"

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

using namespace finder;

namespace {

// The process-wide match finder: the codec's globals, and the block layer as
// the lazy loop's sink.
struct process_finder {
    static constexpr unsigned min_ahead = 1; // runs to the end of the input
    static constexpr uch *window = ::codec::window;
    static constexpr ush *head = ::codec::head;
    static constexpr ush *prev = ::codec::prev;
    static constexpr std::uint64_t *prev_after = ::codec::prev_after;
    static constexpr unsigned &strstart = ::codec::strstart;
    static constexpr unsigned &lookahead = ::codec::lookahead;
    static constexpr unsigned &match_start = ::codec::match_start;
    static constexpr unsigned &prev_length = ::codec::prev_length;
    static constexpr unsigned &ins_h = ::codec::ins_h;
    static constexpr int &eofile = ::codec::eofile;
    static constexpr unsigned &max_lazy_match = ::codec::max_lazy_match;
    static constexpr unsigned &good_match = ::codec::good_match;
    static constexpr int &nice_match = ::codec::nice_match;
    static constexpr unsigned &max_chain_length = ::codec::max_chain_length;

    static void mark(unsigned, int, unsigned) {}
    static int tally(unsigned dist, unsigned lc) { return ct_tally(static_cast<int>(dist), static_cast<int>(lc)); }
    static void flush() { flush_current_block(0); }
    static int read(uch *buf, unsigned size) { return read_buf(reinterpret_cast<char *>(buf), size); }
    static void slid() { block_start -= static_cast<long>(WSIZE); }
    void fill() {
        do fill_window(*this, true);
        while (lookahead < MIN_LOOKAHEAD && !eofile);
    }
};

} // namespace

void flush_current_block(int eof) {
    const uch *buf = block_start >= 0 ? window + block_start : nullptr;
    flush_block(buf, static_cast<ulg>(static_cast<long>(strstart) - block_start), eof);
    block_start = static_cast<long>(strstart);
}

namespace {

// Greedy matching, levels 1 to 3: every match found is taken at once.
void deflate_fast() {
    process_finder m;
    unsigned match_length = 0;
    prev_length = MIN_MATCH - 1;
    while (lookahead != 0) {
        unsigned hash_head = insert_string(m, strstart, ins_h);
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
                for (unsigned i = 1; i < match_length; i++) insert_string(m, strstart + i, ins_h);
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
        while (lookahead < MIN_LOOKAHEAD && !eofile) fill_window(m, true);
    }
    flush_current_block(1);
}

// Lazy matching, levels 4 to 9, from the member's start to its end.
void deflate_lazy() {
    process_finder m;
    lazy_state st;
    lazy_steps<false>(m, st, NO_STOP);
    lazy_finish(st);
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
    process_finder m;
    while (lookahead < MIN_LOOKAHEAD && !eofile) fill_window(m, true);
    ins_h = ((static_cast<unsigned>(window[0]) << H_SHIFT) ^ window[1]) & HASH_MASK;
}

int longest_match(IPos cur_match) {
    process_finder m;
    return static_cast<int>(longest_from(m, cur_match, strstart, prev_length, match_start));
}

void finder::lazy_run(lazy_state &st, unsigned stop) {
    process_finder m;
    if (stop == NO_STOP) {
        lazy_steps<false>(m, st, stop);
    } else {
        lazy_steps<true>(m, st, stop);
    }
}

void finder::prime_window_chains() {
    process_finder m;
    prime_chains(m, strstart > WSIZE ? strstart - static_cast<unsigned>(WSIZE) : 1, strstart);
}

void finder::refill_window() {
    process_finder m;
    do fill_window(m, false);
    while (lookahead < MIN_LOOKAHEAD && !eofile);
}

void finder::lazy_finish(const lazy_state &st) {
    // The final flush follows, whatever the tally asks.
    if (st.match_available) (void)ct_tally(0, window[strstart - 1]);
    flush_current_block(1);
}

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
    zip_threads = 1;
    zip_chunk = std::size_t{1} << 20;
    zip_reparsed = 0;
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
