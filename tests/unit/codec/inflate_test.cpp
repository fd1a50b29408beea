// The DEFLATE decoder against zlib's encoder, and hand-made blocks at the
// edges of the format: every malformed case must end in the exact message.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <fcntl.h>
#include <unistd.h>
#include <utility>
#include <string>
#include <vector>

#include "codec/inflate.h"
#include "common/member_harness.h"
#include "common/testutil.h"

using testutil::gzip_wrap;
using testutil::run_member;

namespace {

const std::string VIOLATED = "\nkelpa: in.gz: invalid compressed data--format violated\n";
const std::string UNEXPECTED_EOF = "\nkelpa: in.gz: unexpected end of file\n";

// Writes a DEFLATE bit stream: fields least significant bit first, Huffman
// codes most significant bit first.
struct Bits {
    std::string s;
    std::uint32_t acc = 0;
    int n = 0;
    Bits &put(unsigned v, int len) {
        for (int i = 0; i < len; i++) {
            acc |= ((v >> i) & 1u) << n;
            if (++n == 8) {
                s.push_back(static_cast<char>(acc));
                acc = 0;
                n = 0;
            }
        }
        return *this;
    }
    Bits &code(unsigned c, int len) {
        for (int i = len - 1; i >= 0; i--) put((c >> i) & 1u, 1);
        return *this;
    }
    Bits &align() { return put(0, (8 - n) % 8); }
    std::string done() {
        align();
        return s;
    }
};

struct Code {
    std::vector<int> len;
    std::vector<unsigned> code;
};

// The canonical codes of RFC 1951 for the given lengths.
Code canonical(const std::vector<int> &len) {
    Code c{len, std::vector<unsigned>(len.size())};
    int bl_count[17] = {};
    for (int l : len) bl_count[l]++;
    bl_count[0] = 0;
    unsigned next[17] = {};
    unsigned code = 0;
    for (int b = 1; b <= 16; b++) {
        code = (code + static_cast<unsigned>(bl_count[b - 1])) << 1;
        next[b] = code;
    }
    for (std::size_t i = 0; i < len.size(); i++)
        if (len[i] != 0) c.code[i] = next[len[i]]++;
    return c;
}

void sym(Bits &b, const Code &c, unsigned s) { b.code(c.code[s], c.len[s]); }

void fixed_lit(Bits &b, unsigned s) {
    if (s < 144) b.code(0x30 + s, 8);
    else if (s < 256) b.code(0x190 + s - 144, 9);
    else if (s < 280) b.code(s - 256, 7);
    else b.code(0xc0 + s - 280, 8);
}

constexpr int CL_ORDER[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

// A complete code-length code: 0..12 four bits, 13..18 five bits.
std::vector<int> full_cl() {
    std::vector<int> cl(19, 4);
    for (int s = 13; s < 19; s++) cl[s] = 5;
    return cl;
}

// A dynamic block header. `cl` gives the 19 code-length code lengths; the
// code lengths are sent plainly unless `cl_syms` (symbol, extra bits value)
// is given. HLIT and HDIST are taken from the sizes unless overridden.
void dynamic_header(Bits &b, bool last, const std::vector<int> &lit, const std::vector<int> &dist,
                    const std::vector<int> &cl = full_cl(), const std::vector<std::pair<int, int>> &cl_syms = {},
                    int hlit = -1, int hdist = -1) {
    b.put(last, 1).put(2, 2);
    b.put(hlit >= 0 ? hlit : static_cast<int>(lit.size()) - 257, 5);
    b.put(hdist >= 0 ? hdist : static_cast<int>(dist.size()) - 1, 5);
    b.put(15, 4);
    for (int s : CL_ORDER) b.put(cl[s], 3);
    Code clc = canonical(cl);
    if (cl_syms.empty()) {
        for (int l : lit) sym(b, clc, l);
        for (int l : dist) sym(b, clc, l);
        return;
    }
    for (auto [s, extra] : cl_syms) {
        sym(b, clc, s);
        if (s == 16) b.put(extra, 2);
        if (s == 17) b.put(extra, 3);
        if (s == 18) b.put(extra, 7);
    }
}

// Literal/length lengths: 2 bits for 'a', 'b', end of block and length symbol
// 257 (a match of 3), nothing else.
std::vector<int> small_lit() {
    std::vector<int> lit(258, 0);
    lit['a'] = lit['b'] = lit[256] = lit[257] = 2;
    return lit;
}

std::string decode_ok(const std::string &deflate, const std::string &expect) {
    auto r = run_member(gzip_wrap(deflate, expect));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    return r.out;
}

void expect_violated(const std::string &deflate, const std::string &prefix = "") {
    auto r = run_member(gzip_wrap(deflate, ""));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, prefix + VIOLATED);
}

// --- Interop with zlib -----------------------------------------------------

struct Corpus {
    const char *name;
    std::string data;
};

const std::vector<Corpus> &corpus() {
    static const std::vector<Corpus> c = {
        {"empty", ""},
        {"tiny", "a"},
        {"text", testutil::datagen(1300 * 1000, 1, 0.7)},
        {"random", testutil::datagen(200 * 1000, 2, 0.0)},
        {"runs", std::string(70000, 'x') + std::string(300, 'y') + std::string(100000, '\0')},
        {"mixed", testutil::datagen(150 * 1000, 3, 0.95)},
    };
    return c;
}

class ZlibInterop : public ::testing::TestWithParam<int> {};

TEST_P(ZlibInterop, DecodesEveryLevelAndInput) {
    const int strategy = GetParam();
    for (const Corpus &c : corpus()) {
        for (int level = 0; level <= 9; level++) {
            SCOPED_TRACE(std::string(c.name) + " level " + std::to_string(level));
            auto r = run_member(testutil::zlib_gzip(c.data, level, strategy));
            ASSERT_EQ(r.status, 0) << r.err;
            ASSERT_EQ(r.out.size(), c.data.size());
            ASSERT_TRUE(r.out == c.data);
            EXPECT_EQ(r.bytes_out, static_cast<long long>(c.data.size()));
        }
    }
}

std::string strategy_name(const ::testing::TestParamInfo<int> &info) {
    static const char *const names[] = {"Default", "Filtered", "HuffmanOnly", "Rle", "Fixed"};
    return names[info.param];
}

INSTANTIATE_TEST_SUITE_P(Strategies, ZlibInterop,
                         ::testing::Values(Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED),
                         strategy_name);

// Literals drawn from a steep distribution, so that zlib gives the rare ones
// codes of 12 to 15 bits, and matches of every length, the long ones rare:
// the codes a single lookup cannot resolve, at every point of the window
// and of the input buffer.
std::string skewed_data(std::size_t size, unsigned seed) {
    std::mt19937 rng(seed);
    std::geometric_distribution<unsigned> literal(0.03), length(0.04);
    std::string s;
    while (s.size() < size) {
        if (rng() % 10 != 0 || s.size() < 300) {
            s.push_back(static_cast<char>(literal(rng) % 256));
        } else {
            const std::size_t dist = 1 + rng() % std::min<std::size_t>(s.size(), 32768);
            const std::size_t n = 3 + length(rng) % 256;
            for (std::size_t i = 0; i < n; i++) s.push_back(s[s.size() - dist]);
        }
    }
    return s;
}

TEST(Inflate, LongCodesAndRareLengthsDecodeAsZlibEncodedThem) {
    const std::string data = skewed_data(1500 * 1000, 29);
    for (int strategy : {Z_DEFAULT_STRATEGY, Z_HUFFMAN_ONLY}) {
        for (int level : {1, 6, 9}) {
            SCOPED_TRACE(std::to_string(strategy) + " level " + std::to_string(level));
            auto r = run_member(testutil::zlib_gzip(data, level, strategy));
            ASSERT_EQ(r.status, 0) << r.err;
            ASSERT_TRUE(r.out == data);
        }
    }
}

TEST(Inflate, GathersShortReadsFromAPipe) {
    std::string data = testutil::datagen(300 * 1000, 4, 0.6);
    testutil::MemberOptions opt;
    opt.through_pipe = true;
    opt.chunk = 777;
    auto r = run_member(testutil::zlib_gzip(data, 6), opt);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.out == data);
}

// --- Hand-made blocks that decode --------------------------------------------

TEST(Inflate, StoredBlockOfLengthZeroProducesNothing) {
    Bits b;
    b.put(0, 1).put(0, 2).align().put(0, 16).put(0xffff, 16);
    b.put(1, 1).put(0, 2).align().put(2, 16).put(0xfffd, 16).put('h', 8).put('i', 8);
    EXPECT_EQ(decode_ok(b.done(), "hi"), "hi");
}

TEST(Inflate, MatchOf258AtDistance1RepeatsThePreviousByte) {
    Bits b;
    b.put(1, 1).put(1, 2);
    fixed_lit(b, 'z');
    fixed_lit(b, 285);
    b.code(0, 5);
    fixed_lit(b, 256);
    EXPECT_EQ(decode_ok(b.done(), std::string(259, 'z')), std::string(259, 'z'));
}

TEST(Inflate, MatchAcrossTheWindowFlushContinuesAtZero) {
    // 32760 stored bytes, then a fixed block: a match of 20 at distance 32760
    // starts 8 bytes before the window's end and wraps.
    std::string first = testutil::datagen(32760, 5, 0.0);
    Bits b;
    b.put(0, 1).put(0, 2).align().put(32760, 16).put(0xffff - 32760, 16);
    std::string deflate = b.done() + first;
    Bits f;
    f.put(1, 1).put(1, 2);
    fixed_lit(f, 269); // lengths 19..22, 2 extra bits
    f.put(1, 2);       // 20
    f.code(29, 5);     // distances 24577..32768, 13 extra bits
    f.put(32760 - 24577, 13);
    fixed_lit(f, 256);
    deflate += f.done();
    std::string expect = first + first.substr(0, 20);
    EXPECT_TRUE(decode_ok(deflate, expect) == expect);
}

// A match in the fixed code: length symbol and extra bits, then distance.
void fixed_match(Bits &b, unsigned len, unsigned dist) {
    static const unsigned lbase[] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                     31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
    static const unsigned dbase[] = {1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
                                     193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
    unsigned l = 28;
    while (lbase[l] > len) l--;
    fixed_lit(b, 257 + l);
    if (l >= 8 && l < 28) b.put(len - lbase[l], static_cast<int>((l - 4) / 4));
    unsigned d = 29;
    while (dbase[d] > dist) d--;
    b.code(d, 5);
    if (d >= 4) b.put(dist - dbase[d], static_cast<int>((d - 2) / 2));
}

TEST(Inflate, MatchesOfEveryReachCopyExactlyTheirOwnBytes) {
    // After 40000 stored bytes, a long run of matches near, overlapping and a
    // whole window back, at every position of the window: each must copy
    // exactly its bytes and leave the bytes after it (still read as the far
    // end of later distances) alone.
    std::string expect = testutil::datagen(40000, 8, 0.0);
    Bits b;
    b.put(0, 1).put(0, 2).align().put(40000, 16).put(0xffff - 40000, 16);
    std::string deflate = b.done() + expect;
    Bits f;
    f.put(1, 1).put(1, 2);
    const unsigned dists[] = {32768, 32767, 32761, 1, 2, 7, 8, 9, 15, 16, 17, 40, 63, 64, 65, 300};
    const unsigned lens[] = {3, 4, 7, 8, 9, 15, 16, 17, 31, 40, 63, 64, 65, 100, 257, 258};
    for (unsigned i = 0; expect.size() < 300000; i++) {
        const unsigned len = lens[i % 16], dist = dists[(i * 7 + i / 16) % 16];
        fixed_match(f, len, dist);
        for (unsigned j = 0; j < len; j++) expect += expect[expect.size() - dist];
        fixed_lit(f, static_cast<unsigned char>(expect[expect.size() - 5000]));
        expect += expect[expect.size() - 5000];
    }
    fixed_lit(f, 256);
    deflate += f.done();
    EXPECT_TRUE(decode_ok(deflate, expect) == expect);
}

TEST(Inflate, DistanceBeforeTheStartReadsZeros) {
    Bits b;
    b.put(1, 1).put(1, 2);
    fixed_lit(b, 'q');
    fixed_lit(b, 257); // length 3
    b.code(4, 5).put(0, 1); // distance 5
    fixed_lit(b, 256);
    EXPECT_EQ(decode_ok(b.done(), std::string("q\0\0\0", 4)), std::string("q\0\0\0", 4));
}

TEST(Inflate, DistanceBeforeTheStartReadsWhatTheLastMemberLeft) {
    // Members decoded one after another in one process: a distance reaching
    // before the second one's start reads the window as the first left it,
    // position for position in a 32 KiB ring (zeros where nothing was
    // written), whether the first filled the window or not.
    for (std::size_t first_len : {100u, 40000u}) {
        const std::string first = testutil::datagen(first_len, 3, 0.0);
        Bits a;
        a.put(1, 1).put(0, 2).align().put(static_cast<unsigned>(first_len), 16);
        a.put(0xffff - static_cast<unsigned>(first_len), 16);
        Bits b;
        b.put(1, 1).put(1, 2);
        fixed_lit(b, 'x');
        fixed_match(b, 10, 32768);
        fixed_match(b, 5, 200);
        fixed_match(b, 20, 32760);
        fixed_lit(b, 256);

        // A 32 KiB ring decoder as the model, written as it goes.
        std::vector<unsigned char> ring(32768, 0);
        for (std::size_t p = 0; p < first_len; p++) ring[p % 32768] = static_cast<unsigned char>(first[p]);
        std::string second = "x";
        ring[0] = 'x';
        for (auto [len, dist] : {std::pair{10u, 32768u}, {5u, 200u}, {20u, 32760u}})
            for (unsigned j = 0; j < len; j++) {
                const unsigned char c = ring[(second.size() + 32768 - dist) % 32768];
                ring[second.size() % 32768] = c;
                second += static_cast<char>(c);
            }

        testutil::TempDir dir;
        testutil::write_file(dir / "in", a.done() + first + b.done());
        testutil::reset_codec_state();
        codec::ifd = open((dir / "in").c_str(), O_RDONLY);
        codec::ofd = open((dir / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_EQ(codec::inflate(), 0);
        ASSERT_EQ(codec::inflate(), 0);
        close(codec::ofd);
        close(codec::ifd);
        EXPECT_TRUE(testutil::read_file(dir / "out") == first + second) << first_len;
    }
}

TEST(Inflate, SingleOneBitDistanceCodeDecodes) {
    Bits b;
    Code lit = canonical(small_lit());
    dynamic_header(b, true, small_lit(), {1});
    sym(b, lit, 'a');
    sym(b, lit, 'b');
    sym(b, lit, 257);
    b.code(0, 1);
    sym(b, lit, 256);
    EXPECT_EQ(decode_ok(b.done(), "abbbb"), "abbbb");
}

TEST(Inflate, LiteralOnlyBlockNeedsNoDistanceCode) {
    std::vector<int> lit(257, 0);
    lit['x'] = lit[256] = 1;
    Bits b;
    dynamic_header(b, true, lit, {0});
    b.code(0, 1).code(0, 1).code(1, 1);
    EXPECT_EQ(decode_ok(b.done(), "xx"), "xx");
}

TEST(Inflate, RepeatsStartAtZeroAndRunOnIntoDistanceLengths) {
    // Literal/length lengths: 'm' 1, 'n' 3, end of block 3, symbol 257 2;
    // four two-bit distance codes. A 16 at the very start repeats length 0,
    // and the 16 after symbol 257 repeats its 2 into the first three distance
    // lengths.
    std::vector<int> lit(258, 0);
    lit['m'] = 1;
    lit['n'] = 3;
    lit[256] = 3;
    lit[257] = 2;
    const std::vector<std::pair<int, int>> syms = {
        {16, 0}, {18, 95}, {1, 0}, {3, 0}, {18, 127}, {17, 4}, {3, 0}, {2, 0}, {16, 0}, {2, 0},
    };
    Bits b;
    dynamic_header(b, true, lit, {2, 2, 2, 2}, full_cl(), syms);
    Code lc = canonical(lit);
    sym(b, lc, 'm');
    sym(b, lc, 'n');
    sym(b, lc, 257);
    b.code(1, 2); // distance 2
    sym(b, lc, 256);
    EXPECT_EQ(decode_ok(b.done(), "mnmnm"), "mnmnm");
}

TEST(Inflate, LookAheadGivenBackAcrossARefill) {
    // A one-bit end of block looked up through 9 bits leaves a whole byte of
    // look-ahead; moving the end of the data across the first refill's end
    // (32768 bytes of file) puts that byte on either side of it. The trailer
    // must still be read from the first byte after the data.
    std::vector<int> lit(265, 0);
    lit[256] = 1;
    for (int i = 0; i < 8; i++) lit['a' + i] = i + 2;
    lit[264] = 9;
    for (unsigned prefix = 32700; prefix < 32780; prefix++) {
        SCOPED_TRACE(prefix);
        std::string plain(prefix, 'p');
        Bits st;
        st.put(0, 1).put(0, 2).align().put(prefix, 16).put(0xffff - prefix, 16);
        Bits dyn;
        dynamic_header(dyn, true, lit, {0});
        sym(dyn, canonical(lit), 'b');
        sym(dyn, canonical(lit), 256);
        plain += 'b';
        auto r = run_member(gzip_wrap(st.done() + plain.substr(0, prefix) + dyn.done(), plain));
        ASSERT_EQ(r.status, 0) << r.err;
        ASSERT_TRUE(r.out == plain);
    }
}

// --- Malformed data --------------------------------------------------------

TEST(Inflate, StoredLengthComplementMismatchIsMalformed) {
    Bits b;
    b.put(1, 1).put(0, 2).align().put(5, 16).put(0xfffb, 16);
    expect_violated(b.done() + "hello");
}

TEST(Inflate, BlockType3IsRejected) {
    Bits b;
    b.put(1, 1).put(3, 2);
    expect_violated(b.done() + std::string(8, '\0'));
}

TEST(Inflate, TooManyLengthOrDistanceCodesIsMalformed) {
    for (auto [hlit, hdist] : {std::pair{30, 0}, {31, 0}, {0, 30}, {0, 31}}) {
        SCOPED_TRACE(std::to_string(hlit) + "/" + std::to_string(hdist));
        Bits b;
        b.put(1, 1).put(2, 2).put(hlit, 5).put(hdist, 5).put(0, 4);
        expect_violated(b.done() + std::string(40, '\0'));
    }
}

TEST(Inflate, InvalidFixedSymbolsAreMalformed) {
    struct Case {
        const char *name;
        unsigned lit;
        int dist; // -1: none
    };
    for (Case c : {Case{"286", 286, -1}, {"287", 287, -1}, {"dist 30", 257, 30}, {"dist 31", 257, 31}}) {
        SCOPED_TRACE(c.name);
        Bits b;
        b.put(1, 1).put(1, 2);
        fixed_lit(b, 'a');
        fixed_lit(b, c.lit);
        if (c.dist >= 0) b.code(static_cast<unsigned>(c.dist), 5);
        fixed_lit(b, 256);
        expect_violated(b.done() + std::string(8, '\0'));
    }
}

TEST(Inflate, IncompleteTreesPrintTheirOwnLineFirst) {
    std::vector<int> lit = small_lit();
    lit[257] = 0; // 3 of 4 two-bit codes
    Bits a;
    dynamic_header(a, true, lit, {1, 1});
    expect_violated(a.done() + std::string(8, '\0'), " incomplete literal tree\n");

    Bits b;
    dynamic_header(b, true, small_lit(), {2, 2, 2});
    expect_violated(b.done() + std::string(8, '\0'), " incomplete distance tree\n");
}

TEST(Inflate, IncompleteCodeLengthCodeIsMalformedWithoutMessage) {
    std::vector<int> cl(19, 0);
    cl[1] = cl[2] = 2;
    cl[0] = 2; // 3 of 4 codes
    Bits b;
    dynamic_header(b, true, small_lit(), {1}, cl);
    expect_violated(b.done() + std::string(8, '\0'));
}

TEST(Inflate, OverSubscribedCodesAreRejected) {
    std::vector<int> lit = small_lit();
    lit['c'] = 2; // five two-bit codes
    Bits a;
    dynamic_header(a, true, lit, {1});
    expect_violated(a.done() + std::string(8, '\0'));

    Bits b;
    dynamic_header(b, true, small_lit(), {1, 1, 1});
    expect_violated(b.done() + std::string(8, '\0'));

    std::vector<int> cl(19, 1); // 19 one-bit code-length codes
    Bits c;
    c.put(1, 1).put(2, 2).put(1, 5).put(0, 5).put(15, 4);
    for (int i = 0; i < 19; i++) c.put(cl[CL_ORDER[i]], 3);
    expect_violated(c.done() + std::string(8, '\0'));
}

TEST(Inflate, RepeatPastTheLastLengthIsMalformed) {
    // 257 literal/length lengths and one distance length: after 0 -> 1,
    // 255 zeros and 256 -> 1, a repeat of at least 3 finds only one left.
    std::vector<int> lit(257, 0);
    lit[0] = lit[256] = 1;
    for (int s : {16, 17, 18}) {
        SCOPED_TRACE(s);
        Bits b;
        dynamic_header(b, true, lit, {1}, full_cl(), {{1, 0}, {18, 127}, {18, 106}, {1, 0}, {s, 0}});
        expect_violated(b.done() + std::string(8, '\0'));
    }
}

TEST(Inflate, EmptyCodesThatAreNeededAreMalformed) {
    // No code-length code at all.
    Bits a;
    dynamic_header(a, true, small_lit(), {1}, std::vector<int>(19, 0), {{0, 0}});
    expect_violated(a.done() + std::string(16, '\0'));

    // No literal/length code: not even an end of block.
    Bits b;
    dynamic_header(b, true, std::vector<int>(257, 0), {1});
    expect_violated(b.done() + std::string(16, '\0'));

    // A length in a block without distance codes.
    std::vector<int> lit(258, 0);
    lit['a'] = lit[257] = 1;
    Bits c;
    dynamic_header(c, true, lit, {0});
    c.code(0, 1).code(1, 1);
    expect_violated(c.done() + std::string(16, '\0'));
}

TEST(Inflate, LoneOneBitCodeLengthCodeRejectsItsMissingCode) {
    // Only symbol 1 has a code-length code: bit 0 is "length 1", bit 1 is
    // the missing code.
    std::vector<int> cl(19, 0);
    cl[1] = 1;
    Bits b;
    b.put(1, 1).put(2, 2).put(0, 5).put(0, 5).put(15, 4);
    for (int s : CL_ORDER) b.put(cl[s], 3);
    b.code(1, 1);
    expect_violated(b.done() + std::string(64, '\0'));
}

TEST(Inflate, LoneLiteralCodeRejectsItsMissingCode) {
    // End of block alone with one bit: the other bit pattern is a dummy code.
    std::vector<int> lit(257, 0);
    lit[256] = 1;
    Bits b;
    dynamic_header(b, true, lit, {0});
    b.code(1, 1);
    expect_violated(b.done() + std::string(16, '\0'));
}

TEST(Inflate, EndOfInputInsideABlockIsUnexpectedEof) {
    std::string gz = testutil::zlib_gzip(testutil::datagen(5000, 6, 0.5), 9);
    auto r = run_member(gz.substr(0, gz.size() - 20));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, UNEXPECTED_EOF);
}

TEST(Inflate, LongStoredBlockCutShortHandsOnOnlyWholeWindows) {
    // A stored block long enough to be read past inbuf, cut 70000 bytes in:
    // the two full windows are written, the rest is not, and the end of
    // input is reported, from a file and from a pipe that delivers pieces.
    const std::string plain = testutil::datagen(100000, 2, 1.0);
    Bits b;
    b.put(0, 1).put(0, 2).align().put(60000, 16).put(0xffff - 60000, 16);
    std::string deflate = b.done() + plain.substr(0, 60000);
    Bits c;
    c.put(1, 1).put(0, 2).align().put(40000, 16).put(0xffff - 40000, 16);
    deflate += c.done() + plain.substr(60000);
    ASSERT_EQ(decode_ok(deflate, plain).size(), plain.size());

    const std::string gz = gzip_wrap(deflate, plain);
    const std::string cut = gz.substr(0, 10 + 5 + 60000 + 5 + 10000);
    for (bool pipe : {false, true}) {
        testutil::MemberOptions opt;
        opt.through_pipe = pipe;
        opt.chunk = 5000;
        auto r = run_member(cut, opt);
        EXPECT_EQ(r.status, 1) << pipe;
        EXPECT_EQ(r.err, UNEXPECTED_EOF) << pipe;
        EXPECT_TRUE(r.out == plain.substr(0, 65536)) << pipe << " " << r.out.size();
    }
}

// --- huft_build directly -------------------------------------------------------

TEST(HuftBuild, ReportsCompletenessAndTheBitsUsed) {
    using namespace codec;
    struct Case {
        const char *name;
        std::vector<unsigned> len;
        int m_in;
        int result;
        int m_out;
    };
    const Case cases[] = {
        {"all zero", {0, 0, 0}, 7, HUFT_COMPLETE, 0},
        {"complete", {1, 2, 3, 3}, 7, HUFT_COMPLETE, 3},
        {"raised to shortest", {2, 2, 2, 2}, 1, HUFT_COMPLETE, 2},
        {"lone one-bit", {0, 1}, 7, HUFT_COMPLETE, 1},
        {"lone two-bit", {2, 0}, 7, HUFT_INCOMPLETE, 2},
        {"incomplete", {1, 2}, 7, HUFT_INCOMPLETE, 2},
        {"over-subscribed", {1, 1, 1}, 7, HUFT_OVERSUBSCRIBED, 1},
        {"over-subscribed long", {1, 2, 2, 3}, 7, HUFT_OVERSUBSCRIBED, 3},
        {"longest 16", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 16}, 9, HUFT_COMPLETE, 9},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        huft *t = nullptr;
        int m = c.m_in;
        std::vector<unsigned> len = c.len;
        int r = huft_build(len.data(), static_cast<unsigned>(len.size()), 19, nullptr, nullptr, &t, &m);
        EXPECT_EQ(r, c.result);
        if (r <= HUFT_INCOMPLETE) {
            EXPECT_EQ(m, c.m_out);
        }
        if (r == HUFT_COMPLETE && c.m_out == 0) {
            EXPECT_EQ(t, nullptr);
        }
        huft_free(t);
    }
}

// --- the fast tables against the huft tables -------------------------------------

// The lengths of a random complete prefix code of `leaves` codes (2..n) at most
// 15 bits long, spread over n symbols; `skew` makes long codes likelier.
std::vector<unsigned> random_code(std::mt19937 &rng, unsigned n, unsigned leaves, double skew) {
    std::vector<unsigned> depth{0};
    while (depth.size() < leaves) {
        // Split a leaf in two: the deepest splittable one with chance `skew`,
        // else any splittable one.
        std::vector<std::size_t> open;
        for (std::size_t i = 0; i < depth.size(); i++)
            if (depth[i] < 15) open.push_back(i);
        if (open.empty()) break;
        std::size_t pick = open[rng() % open.size()];
        if (std::uniform_real_distribution<double>(0, 1)(rng) < skew)
            for (std::size_t i : open)
                if (depth[i] > depth[pick]) pick = i;
        depth[pick]++;
        depth.push_back(depth[pick]);
    }
    std::vector<unsigned> len(n, 0);
    std::vector<unsigned> symbols(n);
    for (unsigned i = 0; i < n; i++) symbols[i] = i;
    std::shuffle(symbols.begin(), symbols.end(), rng);
    for (std::size_t i = 0; i < depth.size(); i++) len[symbols[i]] = depth[i];
    return len;
}

// Builds both table systems from one set of lengths, as a dynamic block does.
void expect_tables_agree(std::vector<unsigned> lit, std::vector<unsigned> dist) {
    using namespace codec;
    huft *tl = nullptr, *td = nullptr;
    int bl = lbits, bd = dbits;
    const int rl = huft_build(lit.data(), static_cast<unsigned>(lit.size()), 257, cplens, cplext, &tl, &bl);
    const int rd = huft_build(dist.data(), static_cast<unsigned>(dist.size()), 0, cpdist, cpdext, &td, &bd);
    ASSERT_LE(rl, HUFT_INCOMPLETE);
    ASSERT_LE(rd, HUFT_INCOMPLETE);
    const code_lengths cl{lit.data(), static_cast<unsigned>(lit.size()), dist.data(), static_cast<unsigned>(dist.size())};
    EXPECT_TRUE(fast_tables_agree(tl, bl, td, bd, cl));
    huft_free(tl);
    huft_free(td);
}

TEST(FastTables, AgreeWithTheHuftTablesOnTheFixedCode) {
    std::vector<unsigned> lit(288, 8), dist(30, 5);
    for (unsigned i = 144; i < 256; i++) lit[i] = 9;
    for (unsigned i = 256; i < 280; i++) lit[i] = 7;
    codec::huft *tl = nullptr, *td = nullptr;
    int bl = 7, bd = 5;
    ASSERT_EQ(codec::huft_build(lit.data(), 288, 257, codec::cplens, codec::cplext, &tl, &bl), codec::HUFT_COMPLETE);
    ASSERT_EQ(codec::huft_build(dist.data(), 30, 0, codec::cpdist, codec::cpdext, &td, &bd), codec::HUFT_INCOMPLETE);
    EXPECT_TRUE(codec::fast_tables_agree(tl, bl, td, bd, {lit.data(), 288, dist.data(), 30}));
    codec::huft_free(tl);
    codec::huft_free(td);
}

// Short codes make literal pairs and lengths with their extra bits in one
// lookup; long ones take a subtable each, to be checked entry by entry.
TEST(FastTables, AgreeWithTheHuftTablesOnRandomCodes) {
    std::mt19937 rng(17);
    for (int round = 0; round < 400; round++) {
        SCOPED_TRACE(round);
        const unsigned nl = 257 + static_cast<unsigned>(rng() % 30);
        const unsigned nd = 1 + static_cast<unsigned>(rng() % 30);
        const double skew = (round % 4) / 4.0;
        // Some symbols without a code, or every symbol with one.
        const unsigned leaves = rng() % 2 == 0 ? nl : 2 + static_cast<unsigned>(rng() % (nl - 1));
        std::vector<unsigned> lit = random_code(rng, nl, leaves, skew);
        std::vector<unsigned> dist(nd, 0);
        switch (round % 5) {
        case 0: break;                        // no distance codes
        case 1: dist[rng() % nd] = 1; break;  // the lone one-bit code
        default:
            if (nd >= 2) dist = random_code(rng, nd, 2 + static_cast<unsigned>(rng() % (nd - 1)), skew);
        }
        expect_tables_agree(lit, dist);
    }
}

} // namespace
