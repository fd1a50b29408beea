// The DEFLATE decoder: the block readers, the window the blocks are decoded
// into 32768 bytes at a time (which leave through flush_window), and the huft
// tables; the codes of a block are decoded in inflate_codes.cpp. Owns `bb`,
// `bk` and `history_in_output`.
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
bool history_in_output;
int bmi2_state = -1;
huft *huft_spare[BMAX + 1];
const int lbits = 9;
const int dbits = 6;

namespace {

// The order in which the code-length code's lengths are sent.
constexpr unsigned border[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

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

// Hands the first n decoded bytes on, leaving the window as history.
void hand_on(unsigned n) {
    std::memcpy(window, out_window, history_in_output ? WSIZE : n);
    history_in_output = false;
    outcnt = n;
    flush_window();
}

// A full window in a stored block goes on straight from the output half,
// which keeps the window as history.
unsigned stored_window_full() {
    outcnt = static_cast<unsigned>(WSIZE);
    flush_window_at(out_window);
    history_in_output = true;
    return 0;
}

// A block's result from inflate_codes': every failure but memory is
// malformed data.
int codes_result(int r) { return r == INFLATE_OK || r == INFLATE_NO_MEMORY ? r : INFLATE_MALFORMED; }

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
            long got = 0;
            if (n >= STORED_DIRECT) {
                const unsigned want = n < WSIZE - w ? n : static_cast<unsigned>(WSIZE) - w;
                got = read_input(out_window + w, want);
            }
            if (got > 0) {
                bytes_in += got;
                w += static_cast<unsigned>(got);
                n -= static_cast<unsigned>(got);
            } else {
                out_window[w++] = static_cast<uch>(fill_inbuf());
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

    return codes_result(inflate_codes(&tab.tl, &bl, tab.td, bd, {l, N_MAX, ld, 30}));
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

    // The literal/length table itself is built only if the decoding needs
    // it (see inflate_codes).
    bl = lbits;
    unsigned used;
    if (int r = huft_check(ll, nl, &used); r != 0) {
        if (r == HUFT_INCOMPLETE) std::fputs(" incomplete literal tree\n", stderr);
        return r;
    }
    // Without a literal/length code not even the end of the block is there.
    if (used == 0) return INFLATE_MALFORMED;

    int bd = dbits;
    if (int r = huft_build(ll + nl, nd, 0, cpdist, cpdext, &tab.td, &bd); r != 0) {
        if (r == HUFT_INCOMPLETE) std::fputs(" incomplete distance tree\n", stderr);
        return r;
    }

    return codes_result(inflate_codes(&tab.tl, &bl, tab.td, bd, {ll, nl, ll + nl, nd}));
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

void history_from_output(unsigned w) {
    if (!history_in_output) return;
    std::memcpy(window + w, out_window + w, WSIZE - w);
    history_in_output = false;
}

void reset_decoder_state() {
    bb = 0;
    bk = 0;
    history_in_output = false;
    for (huft *&spare : huft_spare) {
        while (spare != nullptr) {
            huft *next = spare->v.t;
            std::free(spare);
            spare = next;
        }
    }
}

unsigned window_full() {
    hand_on(static_cast<unsigned>(WSIZE));
    return 0;
}

// Out of line: inlined copies would only add to the stub.
[[gnu::noinline]] int huft_check(const unsigned *b, unsigned n, unsigned *used) {
    unsigned c[BMAX + 1] = {};
    for (unsigned i = 0; i < n; i++) c[b[i]]++;
    *used = n - c[0];
    if (c[0] == n) return HUFT_COMPLETE;
    unsigned k = 1;
    while (c[k] == 0) k++;
    unsigned g = BMAX;
    while (c[g] == 0) g--;
    // As huft_build counts the codes a complete code would still need.
    int y = 1 << k;
    for (unsigned j = k; j < g; j++, y <<= 1)
        if ((y -= static_cast<int>(c[j])) < 0) return HUFT_OVERSUBSCRIBED;
    if ((y -= static_cast<int>(c[g])) < 0) return HUFT_OVERSUBSCRIBED;
    return y != 0 && g != 1 ? HUFT_INCOMPLETE : HUFT_COMPLETE;
}

// One copy, not one inlined or specialised per caller: the stub carries
// every byte, and a block builds its tables once.
#if defined(__GNUC__) && !defined(__clang__)
__attribute__((noinline, noclone))
#else
__attribute__((noinline))
#endif
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

                // One hidden entry in front links the chain of this code's
                // tables and records their size. Every block builds its tables
                // anew: the ones freed before are taken again, which spares a
                // malloc and a free per table (several per cent of decoding).
                q = huft_spare[j];
                if (q != nullptr) huft_spare[j] = q->v.t;
                else q = static_cast<huft *>(std::malloc((z + 1) * sizeof(huft)));
                if (q == nullptr) {
                    huft_free(*t);
                    *t = nullptr;
                    return HUFT_NO_MEMORY;
                }
                q->b = static_cast<uch>(j);
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
#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
        // Freed for real, so that the fuzzer's sanitizer sees any use after it.
        std::free(hidden);
#else
        hidden->v.t = huft_spare[hidden->b];
        huft_spare[hidden->b] = hidden;
#endif
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
