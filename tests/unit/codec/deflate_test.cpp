// The match finder's decisions, read back item by item from the DEFLATE data:
// position 0 as "none", the lazy and greedy choices, the distance and
// length-3 boundaries, and the invariants every emitted match keeps.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "codec/deflate.h"
#include "common/testutil.h"
#include "encoder_check.h"

using namespace encoder_check;

namespace {

class Deflate : public ::testing::Test {
protected:
    void SetUp() override { testutil::reset_codec_state(); }

    static std::vector<Item> items_of(const std::string &data) {
        Decoded d = decode_deflate(deflate_of(zip_member(data)));
        EXPECT_TRUE(d.ok) << d.error;
        EXPECT_EQ(d.out, data);
        return all_items(d);
    }

    static std::vector<Item> literals(const std::string &s) {
        std::vector<Item> v;
        for (unsigned char c : s) v.push_back(L(c));
        return v;
    }

    // A run of one byte that occurs in no probe string. Its few three-byte
    // strings hash apart from the probes' (checked by no_hash_collisions),
    // so no unrelated candidate ends a chain walk early.
    static std::string filler(std::size_t n) { return std::string(n, '\x99'); }

    static unsigned hash3(const std::string &s, std::size_t i) {
        auto b = [&](std::size_t k) { return unsigned(static_cast<unsigned char>(s[i + k])); };
        return ((b(0) << 10) ^ (b(1) << 5) ^ b(2)) & 0x7fff;
    }

    // No string before `at` shares a hash with a string of data[at ..) unless
    // the two are equal.
    static void no_hash_collisions(const std::string &data, std::size_t at) {
        for (std::size_t p = at; p + 3 <= data.size(); p++)
            for (std::size_t q = 0; q < at; q++) {
                if (hash3(data, p) == hash3(data, q)) {
                    ASSERT_EQ(data.substr(p, 3), data.substr(q, 3)) << "test data collides at " << q;
                }
            }
    }

    // The items that code data[from ..) as far as they cover `count` bytes.
    static std::vector<Item> items_from(const std::vector<Item> &items, std::size_t from, std::size_t count) {
        std::vector<Item> out;
        std::size_t pos = 0;
        for (const Item &i : items) {
            std::size_t n = i.match ? std::size_t(i.len) : 1;
            if (pos >= from && pos < from + count) out.push_back(i);
            pos += n;
        }
        return out;
    }
};

TEST_F(Deflate, ShortInputsAreLiteralsOnly) {
    for (const char *s : {"", "a", "aa", "abcabc"}) {
        EXPECT_EQ(items_of(s), literals(s)) << s;
    }
}

TEST_F(Deflate, PositionZeroIsNeverAMatchSource) {
    std::vector<Item> want = literals("abcda");
    want.push_back(M(3, 4));
    EXPECT_EQ(items_of("abcdabcd"), want);
}

TEST_F(Deflate, LongRunIsTwoLiteralsThenMaximalMatches) {
    std::vector<Item> want = {L('x'), L('x'), M(258, 1), M(258, 1), M(258, 1), M(224, 1)};
    EXPECT_EQ(items_of(std::string(1000, 'x')), want);
}

TEST_F(Deflate, LazyPrefersTheLongerMatchOneByteLater) {
    // At "abc" (pos 10) a match of 3; at "bcde" (pos 11) one of 4: the first
    // position becomes a literal, then the longer match is taken even though
    // pos 12 offers 3 again.
    std::vector<Item> want = literals("_abcXbcdeYa");
    want.push_back(M(4, 6));
    want.push_back(L('Z'));
    EXPECT_EQ(items_of("_abcXbcdeYabcdeZ"), want);
}

TEST_F(Deflate, GreedyTakesTheFirstMatchAtLevelsOneToThree) {
    for (int lvl : {1, 2, 3}) {
        testutil::reset_codec_state();
        codec::level = lvl;
        std::vector<Item> want = literals("_abcXbcdeY");
        want.push_back(M(3, 9));
        for (Item i : literals("deZ")) want.push_back(i);
        EXPECT_EQ(items_of("_abcXbcdeYabcdeZ"), want) << "level " << lvl;
    }
}

TEST_F(Deflate, LengthThreeMatchesEndAtDistance4096) {
    struct Case {
        std::size_t dist;
        const char *probe;
        std::vector<Item> want;
    } cases[] = {
        {4096, "XYZa", {M(3, 4096), L('a')}},
        {4097, "XYZa", {L('X'), L('Y'), L('Z'), L('a')}},
        {4097, "XYZWa", {M(4, 4097), L('a')}},
    };
    for (const Case &c : cases) {
        testutil::reset_codec_state();
        std::string probe = c.probe;
        std::string head = std::string("_").append(probe, 0, probe.size() - 1).append("b");
        std::string data = head + filler(c.dist - head.size() + 1) + probe;
        std::vector<Item> items = items_of(data);
        EXPECT_EQ(items_from(items, 1 + c.dist, probe.size()), c.want) << c.dist << " " << c.probe;
    }
}

TEST_F(Deflate, FirstCandidateMayLieExactlyAtTheFarthestDistance) {
    // "ABCDEFGH" at 1 and again 32506 bytes later: the chain's first
    // candidate passes the distance test at exactly 32506.
    std::string data = "_ABCDEFGH" + filler(32506 - 8) + "ABCDEFGH!";
    ASSERT_NO_FATAL_FAILURE(no_hash_collisions(data, 1 + 32506));
    EXPECT_EQ(items_from(items_of(data), 32507, 9), (std::vector<Item>{M(8, 32506), L('!')}));

    testutil::reset_codec_state();
    data = "_ABCDEFGH" + filler(32507 - 8) + "ABCDEFGH!";
    EXPECT_EQ(items_from(items_of(data), 32508, 9), literals("ABCDEFGH!"));
}

TEST_F(Deflate, LaterCandidatesMustLieNearerThanTheFarthestDistance) {
    // The chain of "ABC" holds a near candidate (a short match) and, behind
    // it, the full string at exactly 32506: the search stops before it, so
    // 'A' is a literal; from 'B' on, the first candidate is that far one.
    std::string near_part = "ABCx";
    std::string data = "_ABCDEFGH" + filler(100) + near_part;
    data += filler(1 + 32506 - data.size()) + "ABCDEFGH!";
    ASSERT_EQ(data.substr(1 + 32506, 3), "ABC");
    ASSERT_NO_FATAL_FAILURE(no_hash_collisions(data, 1 + 32506));
    EXPECT_EQ(items_from(items_of(data), 32507, 9), (std::vector<Item>{L('A'), M(7, 32506), L('!')}));

    // One byte nearer, the far candidate is searched and wins by length.
    testutil::reset_codec_state();
    data = "_ABCDEFGH" + filler(100) + near_part;
    data += filler(1 + 32505 - data.size()) + "ABCDEFGH!";
    EXPECT_EQ(items_from(items_of(data), 32506, 9), (std::vector<Item>{M(8, 32505), L('!')}));
}

TEST_F(Deflate, TiesGoToTheNearestCandidate) {
    std::string data = "_abcdQ" + filler(50) + "xabcdR" + filler(50) + "yabcdS";
    std::size_t second = data.find("abcdR");
    std::vector<Item> items = items_of(data);
    EXPECT_EQ(items_from(items, data.size() - 5, 5), (std::vector<Item>{M(4, int(data.size() - 5 - second)), L('S')}));
}

TEST_F(Deflate, MatchesKeepTheirBoundsOnVariedInputs) {
    // Sizes around the window's boundaries and kinds of data; every match
    // stays within 32506 back, 258 long and the input.
    for (std::size_t size : {3u, 4u, 259u, 262u, 263u, 65273u, 65274u, 65275u, 98304u + 7u}) {
        for (double comp : {0.0, 0.5, 0.97}) {
            testutil::reset_codec_state();
            std::string data = testutil::datagen(size, std::uint32_t(size), comp);
            Decoded d = decode_deflate(deflate_of(zip_member(data)));
            ASSERT_TRUE(d.ok) << d.error;
            ASSERT_EQ(d.out, data) << size << " " << comp;
            for (const Item &i : all_items(d)) {
                if (!i.match) continue;
                EXPECT_LE(i.dist, 32506);
                EXPECT_GE(i.len, 3);
                EXPECT_LE(i.len, 258);
            }
        }
    }
}

TEST_F(Deflate, LevelsOutsideOneToNineAreRefused) {
    for (int lvl : {0, 10}) {
        EXPECT_EXIT(
            {
                codec::level = lvl;
                (void)zip_member("abc", "f");
            },
            ::testing::ExitedWithCode(1), "\nkelpa: f: bad pack level\n");
    }
}

TEST_F(Deflate, EveryLevelRoundTrips) {
    std::string data = testutil::datagen(150000, 11, 0.8);
    for (int lvl = 1; lvl <= 9; lvl++) {
        testutil::reset_codec_state();
        codec::level = lvl;
        std::vector<Member> ms;
        ASSERT_TRUE(split_members(zip_member(data), ms));
        EXPECT_EQ(ms[0].data, data) << "level " << lvl;
        EXPECT_EQ(ms[0].crc, testutil::zlib_crc32(data));
    }
}

} // namespace
