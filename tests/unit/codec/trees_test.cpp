// Huffman trees and the block layer: the code tables against RFC 1951's, the
// tree builder's forced symbols, tie-breaks and length limit, the block
// tally's early end and item limit, the block type choice with its ties, and
// the run coding of code lengths.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "codec/deflate.h"
#include "common/testutil.h"
#include "encoder_check.h"

using namespace encoder_check;

namespace {

const int rfc_lbase[30] = {3, 4, 5, 6, 7, 8, 9, 10, 11, 13, 15, 17, 19, 23, 27,
                           31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258, 259};
const int rfc_dbase[31] = {1, 2, 3, 4, 5, 7, 9, 13, 17, 25, 33, 49, 65, 97, 129, 193,
                           257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577, 32769};

class Trees : public ::testing::Test {
protected:
    void SetUp() override {
        testutil::reset_codec_state();
        codec::bi_init(-1);
        codec::ct_init();
    }

    // Builds a small tree from the frequencies; returns the code lengths.
    static std::vector<int> lengths_for(const std::vector<int> &freqs, int max_length, int *max_code = nullptr,
                                        codec::ulg *cost = nullptr) {
        static const int no_extra[1] = {0};
        std::vector<codec::ct_data> tree(2 * freqs.size() + 1);
        for (std::size_t i = 0; i < freqs.size(); i++) tree[i].fc.freq = static_cast<codec::ush>(freqs[i]);
        codec::tree_desc desc = {tree.data(), nullptr, no_extra, int(freqs.size()), int(freqs.size()), max_length, 0};
        codec::opt_len = 0;
        codec::build_tree(&desc);
        if (max_code != nullptr) *max_code = desc.max_code;
        if (cost != nullptr) *cost = codec::opt_len;
        std::vector<int> lens;
        for (std::size_t i = 0; i < freqs.size(); i++) lens.push_back(tree[i].dl.len);
        return lens;
    }

    static double kraft(const std::vector<int> &lens) {
        double k = 0;
        for (int l : lens)
            if (l != 0) k += 1.0 / double(1u << l);
        return k;
    }

    static std::string pending() { return std::string(reinterpret_cast<char *>(codec::outbuf), codec::outcnt); }

    static Decoded flushed(const codec::uch *buf, codec::ulg stored_len) {
        codec::flush_block(buf, stored_len, 1);
        Decoded d = decode_deflate(pending());
        EXPECT_TRUE(d.ok) << d.error;
        return d;
    }
};

TEST_F(Trees, LengthCodesFollowTheRfcTable) {
    for (int len = 3; len <= 258; len++) {
        int code = codec::l_code(unsigned(len - 3));
        EXPECT_GE(len, rfc_lbase[code]) << len;
        EXPECT_LT(len, len == 258 ? 259 : rfc_lbase[code + 1]) << len;
    }
    // 258 has its own symbol, 285, without extra bits; 257 is 284 + 30.
    EXPECT_EQ(codec::l_code(255), 28);
    EXPECT_EQ(codec::l_code(254), 27);
    EXPECT_EQ(257 - rfc_lbase[27], 30);
}

TEST_F(Trees, DistanceCodesFollowTheRfcTable) {
    for (unsigned dist = 1; dist <= 32768; dist++) {
        int code = codec::d_code(dist - 1);
        ASSERT_GE(int(dist), rfc_dbase[code]) << dist;
        ASSERT_LT(int(dist), rfc_dbase[code + 1]) << dist;
    }
}

TEST_F(Trees, FixedCodesOfEndOfBlockAndLiteralZero) {
    EXPECT_EQ(codec::static_ltree[256].dl.len, 7);
    EXPECT_EQ(codec::static_ltree[256].fc.code, 0);
    EXPECT_EQ(codec::static_ltree[0].dl.len, 8);
    EXPECT_EQ(codec::static_ltree[0].fc.code, codec::bi_reverse(0x30, 8)); // 00110000 sent first bit first
    EXPECT_EQ(codec::static_ltree[143].dl.len, 8);
    EXPECT_EQ(codec::static_ltree[144].dl.len, 9);
    EXPECT_EQ(codec::static_ltree[280].dl.len, 8);
    for (int n = 0; n < codec::D_CODES; n++) EXPECT_EQ(codec::static_dtree[n].dl.len, 5);
}

TEST_F(Trees, SecondInitBuildsNothingAndKeepsTheBlock) {
    ASSERT_EQ(codec::ct_tally(0, 'a'), 0);
    codec::ct_init();
    EXPECT_EQ(codec::last_lit, 1u);
    EXPECT_EQ(codec::dyn_ltree[static_cast<int>('a')].fc.freq, 1);
}

TEST_F(Trees, EveryTreeGetsAtLeastTwoCodes) {
    struct Case {
        std::vector<int> freqs;
        std::vector<int> lens;
        int max_code;
    } cases[] = {
        {{0, 0, 0, 0}, {1, 1, 0, 0}, 1},  // empty: 0 and 1 forced
        {{7, 0, 0, 0}, {1, 1, 0, 0}, 1},  // s = 0: s + 1
        {{0, 7, 0, 0}, {0, 1, 1, 0}, 2},  // s = 1: s + 1
        {{0, 0, 0, 7}, {1, 0, 0, 1}, 3},  // s >= 2: symbol 0
    };
    for (const Case &c : cases) {
        int max_code;
        codec::ulg cost;
        EXPECT_EQ(lengths_for(c.freqs, 15, &max_code, &cost), c.lens);
        EXPECT_EQ(max_code, c.max_code);
        // Forced symbols cost nothing.
        EXPECT_EQ(cost, codec::ulg(*std::max_element(c.freqs.begin(), c.freqs.end())));
    }
}

TEST_F(Trees, EqualFrequenciesCombineTheShallowerSubtreeFirst) {
    // 0+1 and 2+3 make two nodes of weight 2 and depth 1; the leaves 4 and 5
    // (weight 2, depth 0) must be combined before them.
    EXPECT_EQ(lengths_for({1, 1, 1, 1, 2, 2}, 15), (std::vector<int>{3, 3, 3, 3, 2, 2}));
}

TEST_F(Trees, LengthsAreLimitedAndTheCodeStaysComplete) {
    // Fibonacci weights need a code as long as the alphabet.
    std::vector<int> fib = {1, 1};
    while (fib.size() < 24) fib.push_back(fib[fib.size() - 1] + fib[fib.size() - 2]);
    for (int limit : {15, 7}) {
        std::vector<int> freqs(fib.begin(), fib.begin() + (limit == 7 ? 12 : 24));
        std::vector<int> lens = lengths_for(freqs, limit);
        EXPECT_EQ(*std::max_element(lens.begin(), lens.end()), limit);
        EXPECT_DOUBLE_EQ(kraft(lens), 1.0);
        for (std::size_t i = 1; i < lens.size(); i++) EXPECT_LE(lens[i], lens[i - 1]) << "rarer symbols keep longer codes";
    }
}

TEST_F(Trees, CanonicalCodesOfTheRfcExample) {
    // RFC 1951 section 3.2.2: lengths (3, 3, 3, 3, 3, 2, 4, 4) give codes
    // 010, 011, 100, 101, 110, 00, 1110, 1111.
    std::vector<codec::ct_data> tree(8);
    const int lens[8] = {3, 3, 3, 3, 3, 2, 4, 4};
    const unsigned codes[8] = {2, 3, 4, 5, 6, 0, 14, 15};
    for (codec::ush &c : codec::bl_count) c = 0;
    for (int i = 0; i < 8; i++) {
        tree[std::size_t(i)].dl.len = static_cast<codec::ush>(lens[i]);
        codec::bl_count[lens[i]]++;
    }
    codec::gen_codes(tree.data(), 7);
    for (int i = 0; i < 8; i++) EXPECT_EQ(tree[std::size_t(i)].fc.code, codec::bi_reverse(codes[i], lens[i])) << i;
}

TEST_F(Trees, TallyEndsTheBlockEarlyOnlyEvery4096ItemsAboveLevelTwo) {
    // Literals covering far more input than they cost: the early end applies
    // when the item count reaches a multiple of 4096, and never at level 2.
    for (int lvl : {9, 2}) {
        testutil::reset_codec_state();
        codec::ct_init();
        codec::level = lvl;
        codec::block_start = 0;
        codec::strstart = 60000;
        for (int i = 1; i < 4096; i++) ASSERT_EQ(codec::ct_tally(0, 'a'), 0) << i;
        EXPECT_EQ(codec::ct_tally(0, 'a'), lvl > 2 ? 1 : 0) << "level " << lvl;
    }
}

TEST_F(Trees, TallyEndsTheBlockAfter32767Items) {
    codec::block_start = 0;
    codec::strstart = 0; // nothing to gain: only the limit ends the block
    for (int i = 1; i < 32767; i++) ASSERT_EQ(codec::ct_tally(i % 2, i % 256), 0) << i;
    EXPECT_EQ(codec::ct_tally(0, 'z'), 1);
}

TEST_F(Trees, EmptyFinalBlockIsAFixedBlockWithOnlyEndOfBlock) {
    codec::flush_block(nullptr, 0, 1);
    EXPECT_EQ(pending(), std::string("\x03\x00", 2));
}

TEST_F(Trees, StoredWinsItsTieAndNeedsTheInputInTheWindow) {
    // n literals of 9-bit fixed codes: the fixed estimate is (9n + 17) / 8
    // bytes, a stored block n + 4. At n = 15 both are 19: stored wins.
    struct Case {
        int n;
        bool in_window;
        int type;
    } cases[] = {{15, true, 0}, {14, true, 1}, {15, false, 1}, {40, true, 0}, {40, false, 1}};
    for (const Case &c : cases) {
        testutil::reset_codec_state();
        codec::bi_init(-1);
        codec::ct_init();
        std::string raw;
        for (int i = 0; i < c.n; i++) raw.push_back(static_cast<char>(200 + i));
        for (unsigned char ch : raw) ASSERT_EQ(codec::ct_tally(0, ch), 0);
        Decoded d = flushed(c.in_window ? reinterpret_cast<const codec::uch *>(raw.data()) : nullptr, raw.size());
        ASSERT_EQ(d.blocks.size(), 1u);
        EXPECT_EQ(d.blocks[0].type, c.type) << c.n << (c.in_window ? " in window" : " slid out");
        EXPECT_EQ(d.out, raw);
    }
}

TEST_F(Trees, RunsOfCodeLengthsAreCodedAsRepeats) {
    // Literals 0 and 141 only: between them 140 zero lengths, which go out as
    // 18 (138 zeros) and two single zeros; 142..255 as one 18.
    std::string raw;
    for (int i = 0; i < 300; i++) raw += i % 3 ? '\0' : '\x8d';
    for (unsigned char ch : raw) ASSERT_EQ(codec::ct_tally(0, ch), 0);
    Decoded d = flushed(nullptr, raw.size());
    ASSERT_EQ(d.blocks.size(), 1u);
    const Block &b = d.blocks[0];
    ASSERT_EQ(b.type, 2);
    EXPECT_EQ(b.hlit, 257);
    EXPECT_EQ(b.hdist, 2); // no matches: distance codes 0 and 1 forced
    const auto &c = b.lit_lengths_coded;
    ASSERT_EQ(c.size(), 7u);
    EXPECT_EQ(c[1], std::make_pair(18, 127));
    EXPECT_EQ(c[2], std::make_pair(0, 0));
    EXPECT_EQ(c[3], std::make_pair(0, 0));
    EXPECT_EQ(c[5], std::make_pair(18, 114 - 11));
    EXPECT_EQ(b.dist_lengths, (std::vector<int>{1, 1}));
    EXPECT_EQ(b.dist_lengths_coded, (std::vector<std::pair<int, int>>{{1, 0}, {1, 0}}));
    EXPECT_GE(b.hclen, 4);
}

TEST_F(Trees, MatchOfLength258IsSymbol285) {
    // A run coded as one literal and a 258-match at distance 1: in fixed codes
    // symbol 285 is 8 bits (11000101) with no extra bits, then distance code 0.
    ASSERT_EQ(codec::ct_tally(0, 'a'), 0);
    ASSERT_EQ(codec::ct_tally(1, 255), 0);
    Decoded d = flushed(nullptr, 259);
    ASSERT_EQ(d.blocks.size(), 1u);
    EXPECT_EQ(d.blocks[0].type, 1);
    EXPECT_EQ(d.blocks[0].items, (std::vector<Item>{L('a'), M(258, 1)}));
    // 3 header bits, 8 for 'a', 8 for 285, 5 for distance 0, 7 for end of block.
    EXPECT_EQ(pending().size(), (3u + 8 + 8 + 5 + 7 + 7) / 8);
}

} // namespace
