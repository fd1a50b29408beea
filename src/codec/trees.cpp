// The encoder's block layer: literals and matches tallied into blocks, the
// length-limited Huffman trees built for each block with their exact
// tie-breaks, and each block written stored, with fixed or with dynamic codes,
// whichever the size estimates choose. Owns the trees and the block state.
#include <bit>
#include <cassert>
#include <cstdint>
#include <cstring>

#include "codec/deflate.h"

namespace codec {

namespace {

constexpr int REP_3_6 = 16;      // repeat the previous length 3-6 times (2 extra bits)
constexpr int REPZ_3_10 = 17;    // repeat a zero length 3-10 times (3 extra bits)
constexpr int REPZ_11_138 = 18;  // repeat a zero length 11-138 times (7 extra bits)

constexpr int extra_lbits[LENGTH_CODES] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                           2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr int extra_dbits[D_CODES] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                      6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
constexpr int extra_blbits[BL_CODES] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 3, 7};
constexpr uch bl_order[BL_CODES] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

// Heap order: lower frequency first, then the shallower subtree.
bool smaller(const ct_data *tree, int n, int m) {
    return tree[n].fc.freq < tree[m].fc.freq ||
           (tree[n].fc.freq == tree[m].fc.freq && depth[n] <= depth[m]);
}

void pqdownheap(const ct_data *tree, int k) {
    int v = heap[k];
    int j = k << 1;
    while (j <= heap_len) {
        if (j < heap_len && smaller(tree, heap[j + 1], heap[j])) j++;
        if (smaller(tree, v, heap[j])) break;
        heap[k] = heap[j];
        k = j;
        j <<= 1;
    }
    heap[k] = v;
}

// Lengths from the tree's shape, limited to max_length. An overflow is
// repaired in bl_count and the lengths are dealt out again from the least
// frequent symbol on, so the rarest symbols keep the longest codes.
void gen_bitlen(tree_desc *desc) {
    ct_data *tree = desc->dyn_tree;
    const ct_data *stree = desc->static_tree;
    const int *extra = desc->extra_bits;
    const int base = desc->extra_base;
    const int max_code = desc->max_code;
    const int max_length = desc->max_length;

    for (ush &c : bl_count) c = 0;
    tree[heap[heap_max]].dl.len = 0;

    int overflow = 0;
    int h;
    for (h = heap_max + 1; h < HEAP_SIZE; h++) {
        int n = heap[h];
        int bits = tree[tree[n].dl.dad].dl.len + 1;
        if (bits > max_length) {
            bits = max_length;
            overflow++;
        }
        tree[n].dl.len = static_cast<ush>(bits);
        if (n > max_code) continue; // an internal node
        bl_count[bits]++;
        int xbits = n >= base ? extra[n - base] : 0;
        ulg f = tree[n].fc.freq;
        opt_len += f * static_cast<ulg>(bits + xbits);
        if (stree != nullptr) static_len += f * static_cast<ulg>(stree[n].dl.len + xbits);
    }
    if (overflow == 0) return;

    do {
        int bits = max_length - 1;
        while (bl_count[bits] == 0) bits--;
        bl_count[bits]--;
        bl_count[bits + 1] = static_cast<ush>(bl_count[bits + 1] + 2);
        bl_count[max_length]--;
        overflow -= 2;
    } while (overflow > 0);

    h = HEAP_SIZE;
    for (int bits = max_length; bits != 0; bits--) {
        int n = bl_count[bits];
        while (n != 0) {
            int m = heap[--h];
            if (m > max_code) continue;
            if (tree[m].dl.len != static_cast<unsigned>(bits)) {
                // Unsigned arithmetic wraps to the right sum when a length shrinks.
                opt_len += (static_cast<ulg>(bits) - tree[m].dl.len) * tree[m].fc.freq;
                tree[m].dl.len = static_cast<ush>(bits);
            }
            n--;
        }
    }
}

// The longest run of one length that a code-length item may cover, and the
// shortest worth a repeat code, for the run after curlen that starts with
// nextlen (curlen -1 before the first).
void run_limits(int curlen, int nextlen, int &max_count, int &min_count) {
    if (nextlen == 0) {
        max_count = 138;
        min_count = 3;
    } else if (curlen == nextlen) {
        max_count = 6;
        min_count = 3;
    } else {
        max_count = 7;
        min_count = 4;
    }
}

// Code-length statistics of one tree, for the code-length tree. Walks the
// lengths exactly as send_tree will.
void scan_tree(ct_data *tree, int max_code) {
    int prevlen = -1;
    int nextlen = tree[0].dl.len;
    int count = 0;
    int max_count, min_count;
    run_limits(prevlen, nextlen, max_count, min_count);
    tree[max_code + 1].dl.len = 0xffff; // guard: ends the last run

    for (int n = 0; n <= max_code; n++) {
        int curlen = nextlen;
        nextlen = tree[n + 1].dl.len;
        if (++count < max_count && curlen == nextlen) continue;
        if (count < min_count) {
            bl_tree[curlen].fc.freq = static_cast<ush>(bl_tree[curlen].fc.freq + count);
        } else if (curlen != 0) {
            if (curlen != prevlen) bl_tree[curlen].fc.freq++;
            bl_tree[REP_3_6].fc.freq++;
        } else if (count <= 10) {
            bl_tree[REPZ_3_10].fc.freq++;
        } else {
            bl_tree[REPZ_11_138].fc.freq++;
        }
        count = 0;
        prevlen = curlen;
        run_limits(curlen, nextlen, max_count, min_count);
    }
}

void send_code(int c, const ct_data *tree) { send_bits(tree[c].fc.code, tree[c].dl.len); }

// Sends one tree's lengths with the code-length codes; scan_tree has set the guard.
void send_tree(const ct_data *tree, int max_code) {
    int prevlen = -1;
    int nextlen = tree[0].dl.len;
    int count = 0;
    int max_count, min_count;
    run_limits(prevlen, nextlen, max_count, min_count);

    for (int n = 0; n <= max_code; n++) {
        int curlen = nextlen;
        nextlen = tree[n + 1].dl.len;
        if (++count < max_count && curlen == nextlen) continue;
        if (count < min_count) {
            do send_code(curlen, bl_tree);
            while (--count != 0);
        } else if (curlen != 0) {
            if (curlen != prevlen) {
                send_code(curlen, bl_tree);
                count--;
            }
            send_code(REP_3_6, bl_tree);
            send_bits(count - 3, 2);
        } else if (count <= 10) {
            send_code(REPZ_3_10, bl_tree);
            send_bits(count - 3, 3);
        } else {
            send_code(REPZ_11_138, bl_tree);
            send_bits(count - 11, 7);
        }
        count = 0;
        prevlen = curlen;
        run_limits(curlen, nextlen, max_count, min_count);
    }
}

// Builds the code-length tree of both length sequences and adds its cost to
// opt_len; returns the index in bl_order of the last code length to send.
int build_bl_tree() {
    scan_tree(dyn_ltree, l_desc.max_code);
    scan_tree(dyn_dtree, d_desc.max_code);
    build_tree(&bl_desc);
    int max_blindex;
    for (max_blindex = BL_CODES - 1; max_blindex >= 3; max_blindex--)
        if (bl_tree[bl_order[max_blindex]].dl.len != 0) break;
    opt_len += 3 * (static_cast<ulg>(max_blindex) + 1) + 5 + 5 + 4;
    return max_blindex;
}

void send_all_trees(int lcodes, int dcodes, int blcodes) {
    send_bits(lcodes - 257, 5);
    send_bits(dcodes - 1, 5);
    send_bits(blcodes - 4, 4);
    for (int rank = 0; rank < blcodes; rank++) send_bits(bl_tree[bl_order[rank]].dl.len, 3);
    send_tree(dyn_ltree, lcodes - 1);
    send_tree(dyn_dtree, dcodes - 1);
}

// Bits of one block, gathered in 64 and written to outbuf 32 at a time. At
// the end the bits are handed back to bi_buf exactly as send_bits would have
// left them (1 to 16 pending), so outbuf, its flushes and what follows the
// block do not depend on which path wrote it.
class block_bits {
public:
    block_bits() : buf_(bi_buf), valid_(static_cast<unsigned>(bi_valid)), out_(outcnt) {}

    // Fewer than 64 bits may be pending: put after at most 32 more.
    void add(unsigned value, unsigned length) {
        buf_ |= static_cast<std::uint64_t>(value) << valid_;
        valid_ += length;
    }

    void code(int c, const ct_data *tree) { add(tree[c].fc.code, tree[c].dl.len); }

    // Writes 32 bits when that many are pending. The word is stored either
    // way and only counted when complete, so the path has no branch that
    // depends on the codes' lengths.
    void put() {
        const std::uint32_t word = static_cast<std::uint32_t>(buf_);
        if constexpr (std::endian::native == std::endian::little) {
            std::memcpy(outbuf + out_, &word, sizeof word);
        } else {
            for (unsigned i = 0; i < 4; i++) outbuf[out_ + i] = static_cast<uch>(word >> 8 * i);
        }
        const unsigned full = valid_ & 32; // valid_ < 64
        out_ += full / 8;
        buf_ >>= full;
        valid_ -= full;
        // Writes stay whole OUTBUFSIZ chunks, as put_byte makes them;
        // OUTBUF_EXTRA holds the few bytes past the chunk meanwhile.
        if (out_ >= OUTBUFSIZ) {
            const unsigned over = out_ - static_cast<unsigned>(OUTBUFSIZ);
            outcnt = static_cast<unsigned>(OUTBUFSIZ);
            flush_outbuf();
            std::memcpy(outbuf, outbuf + OUTBUFSIZ, over);
            out_ = over;
        }
    }

    void finish() {
        put();
        outcnt = out_;
        while (valid_ > 16) {
            put_short(static_cast<ush>(buf_));
            buf_ >>= 16;
            valid_ -= 16;
        }
        bi_buf = static_cast<ush>(buf_);
        bi_valid = static_cast<int>(valid_);
    }

private:
    std::uint64_t buf_; // pending bits, oldest in bit 0; fewer than 32 after put
    unsigned valid_;
    unsigned out_;      // outcnt, kept here while the block is written
};

// Performance critical, measure any change with bench/.
void compress_block(const ct_data *ltree, const ct_data *dtree) {
    block_bits bits;
    unsigned lx = 0, dx = 0, fx = 0;
    uch flag = 0;
    if (last_lit != 0) {
        do {
            if ((lx & 7) == 0) flag = flag_buf[fx++];
            int lc = inbuf[lx++];
            if ((flag & 1) == 0) {
                bits.code(lc, ltree);
            } else {
                // Extra bits with a mask, not a test: the length code of 258
                // has none, and its base is not that of its length.
                int code = length_code[lc];
                bits.code(code + LITERALS + 1, ltree);
                const unsigned extra = static_cast<unsigned>(extra_lbits[code]);
                bits.add(static_cast<unsigned>(lc - base_length[code]) & ((1u << extra) - 1), extra);
                bits.put();
                unsigned dist = d_buf[dx++];
                code = d_code(dist);
                bits.code(code, dtree);
                bits.add(dist - static_cast<unsigned>(base_dist[code]), static_cast<unsigned>(extra_dbits[code]));
            }
            bits.put();
            flag >>= 1;
        } while (lx < last_lit);
    }
    bits.code(END_BLOCK, ltree);
    bits.finish();
}

} // namespace

ct_data dyn_ltree[HEAP_SIZE];
ct_data dyn_dtree[2 * D_CODES + 1];
ct_data bl_tree[2 * BL_CODES + 1];
ct_data static_ltree[L_CODES + 2];
ct_data static_dtree[D_CODES];
tree_desc l_desc = {dyn_ltree, static_ltree, extra_lbits, LITERALS + 1, L_CODES, MAX_BITS, 0};
tree_desc d_desc = {dyn_dtree, static_dtree, extra_dbits, 0, D_CODES, MAX_BITS, 0};
tree_desc bl_desc = {bl_tree, nullptr, extra_blbits, 0, BL_CODES, MAX_BL_BITS, 0};
ush bl_count[MAX_BITS + 1];
ulg opt_len;
ulg static_len;
unsigned last_lit;
unsigned last_dist;
uch flag_buf[LIT_BUFSIZE / 8];
uch length_code[MAX_MATCH - MIN_MATCH + 1];
uch dist_code[512];
int base_length[LENGTH_CODES];
int base_dist[D_CODES];
int heap[HEAP_SIZE];
int heap_len;
int heap_max;
uch depth[HEAP_SIZE];

int d_code(unsigned dist) { return dist < 256 ? dist_code[dist] : dist_code[256 + (dist >> 7)]; }

int l_code(unsigned lc) { return length_code[lc]; }

void build_tree(tree_desc *desc) {
    ct_data *tree = desc->dyn_tree;
    const ct_data *stree = desc->static_tree;
    const int elems = desc->elems;
    int max_code = -1;

    heap_len = 0;
    heap_max = HEAP_SIZE;
    for (int n = 0; n < elems; n++) {
        if (tree[n].fc.freq != 0) {
            heap[++heap_len] = max_code = n;
            depth[n] = 0;
        } else {
            tree[n].dl.len = 0;
        }
    }

    // Every tree gets at least two codes. The forced symbols cost nothing:
    // gen_bitlen adds back exactly what is taken off here.
    while (heap_len < 2) {
        int node = heap[++heap_len] = max_code < 2 ? ++max_code : 0;
        tree[node].fc.freq = 1;
        depth[node] = 0;
        opt_len--;
        if (stree != nullptr) static_len -= stree[node].dl.len;
    }
    desc->max_code = max_code;

    for (int n = heap_len / 2; n >= 1; n--) pqdownheap(tree, n);

    int node = elems;
    do {
        int n = heap[1];
        heap[1] = heap[heap_len--];
        pqdownheap(tree, 1);
        int m = heap[1];
        heap[--heap_max] = n;
        heap[--heap_max] = m;
        tree[node].fc.freq = static_cast<ush>(tree[n].fc.freq + tree[m].fc.freq);
        depth[node] = static_cast<uch>((depth[n] >= depth[m] ? depth[n] : depth[m]) + 1);
        tree[n].dl.dad = tree[m].dl.dad = static_cast<ush>(node);
        heap[1] = node++;
        pqdownheap(tree, 1);
    } while (heap_len >= 2);
    heap[--heap_max] = heap[1];

    gen_bitlen(desc);
    gen_codes(tree, max_code);
}

void gen_codes(ct_data *tree, int max_code) {
    ush next_code[MAX_BITS + 1];
    ush code = 0;
    for (int bits = 1; bits <= MAX_BITS; bits++) {
        code = static_cast<ush>((code + bl_count[bits - 1]) << 1);
        next_code[bits] = code;
    }
    for (int n = 0; n <= max_code; n++) {
        int len = tree[n].dl.len;
        if (len == 0) continue;
        tree[n].fc.code = static_cast<ush>(bi_reverse(next_code[len]++, len));
    }
}

void ct_init() {
    if (static_dtree[0].dl.len != 0) return; // tables built by an earlier member

    int length = 0;
    int code;
    for (code = 0; code < LENGTH_CODES - 1; code++) {
        base_length[code] = length;
        for (int n = 0; n < (1 << extra_lbits[code]); n++) length_code[length++] = static_cast<uch>(code);
    }
    assert(length == 256);
    // 258 has its own symbol, 285, without extra bits; 284's range would
    // otherwise also cover it.
    length_code[length - 1] = static_cast<uch>(code);

    int dist = 0;
    for (code = 0; code < 16; code++) {
        base_dist[code] = dist;
        for (int n = 0; n < (1 << extra_dbits[code]); n++) dist_code[dist++] = static_cast<uch>(code);
    }
    assert(dist == 256);
    dist >>= 7;
    for (; code < D_CODES; code++) {
        base_dist[code] = dist << 7;
        for (int n = 0; n < (1 << (extra_dbits[code] - 7)); n++) dist_code[256 + dist++] = static_cast<uch>(code);
    }
    assert(dist == 256);

    for (ush &c : bl_count) c = 0;
    int n = 0;
    while (n <= 143) static_ltree[n++].dl.len = 8, bl_count[8]++;
    while (n <= 255) static_ltree[n++].dl.len = 9, bl_count[9]++;
    while (n <= 279) static_ltree[n++].dl.len = 7, bl_count[7]++;
    while (n <= 287) static_ltree[n++].dl.len = 8, bl_count[8]++;
    gen_codes(static_ltree, L_CODES + 1);

    for (n = 0; n < D_CODES; n++) {
        static_dtree[n].dl.len = 5;
        static_dtree[n].fc.code = static_cast<ush>(bi_reverse(static_cast<unsigned>(n), 5));
    }
    init_block();
}

void init_block() {
    for (int n = 0; n < L_CODES; n++) dyn_ltree[n].fc.freq = 0;
    for (int n = 0; n < D_CODES; n++) dyn_dtree[n].fc.freq = 0;
    for (int n = 0; n < BL_CODES; n++) bl_tree[n].fc.freq = 0;
    dyn_ltree[END_BLOCK].fc.freq = 1;
    opt_len = static_len = 0;
    last_lit = last_dist = 0;
    std::memset(flag_buf, 0, sizeof flag_buf);
}

void tally_match(int dist, int lc) {
    dist--;
    assert(static_cast<unsigned>(dist) < WSIZE && lc >= 0 && lc <= 255);
    dyn_ltree[length_code[lc] + LITERALS + 1].fc.freq++;
    dyn_dtree[d_code(static_cast<unsigned>(dist))].fc.freq++;
    d_buf[last_dist++] = static_cast<ush>(dist);
    flag_buf[last_lit >> 3] = static_cast<uch>(flag_buf[last_lit >> 3] | 1u << (last_lit & 7));
}

int tally_end() {
    // End the block early when it already compresses well and few of its
    // items are matches: the data has probably changed character.
    if (level > 2 && (last_lit & 0xfff) == 0) {
        ulg out_length = static_cast<ulg>(last_lit) * 8;
        ulg in_length = static_cast<ulg>(static_cast<long>(strstart) - block_start);
        for (int dcode = 0; dcode < D_CODES; dcode++)
            out_length += dyn_dtree[dcode].fc.freq * (5 + static_cast<ulg>(extra_dbits[dcode]));
        out_length >>= 3;
        if (last_dist < last_lit / 2 && out_length < in_length / 2) return 1;
    }
    // One item short of the buffer: the distances, with room for all, never fill first.
    return last_lit == LIT_BUFSIZE - 1;
}

void flush_block(const uch *buf, ulg stored_len, int eof) {
    build_tree(&l_desc);
    build_tree(&d_desc);
    int max_blindex = build_bl_tree();

    // Whole bytes, each with the 3 header bits.
    ulg opt_lenb = (opt_len + 3 + 7) >> 3;
    ulg static_lenb = (static_len + 3 + 7) >> 3;
    if (static_lenb <= opt_lenb) opt_lenb = static_lenb;

    // A stored block needs its input still in the window. Its LEN field has
    // 16 bits: a block that spans the whole window (65536 bytes) never
    // compresses badly enough to be stored, but must not be sent with a
    // truncated length if it ever did.
    if (stored_len + 4 <= opt_lenb && buf != nullptr && stored_len <= 0xffff) {
        send_bits((STORED_BLOCK << 1) + eof, 3);
        copy_block(buf, static_cast<unsigned>(stored_len), 1);
    } else if (static_lenb == opt_lenb) {
        send_bits((STATIC_TREES << 1) + eof, 3);
        compress_block(static_ltree, static_dtree);
    } else {
        send_bits((DYN_TREES << 1) + eof, 3);
        send_all_trees(l_desc.max_code + 1, d_desc.max_code + 1, max_blindex + 1);
        compress_block(dyn_ltree, dyn_dtree);
    }
    init_block();
    if (eof) bi_windup();
}

} // namespace codec
