// The member writer: exact header and trailer bytes, the stored name, the
// cumulative length field across members, the window carried from member to
// member, and its fatal exits.
#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "codec/deflate.h"
#include "common/testutil.h"
#include "encoder_check.h"

using namespace encoder_check;

namespace {

const std::string HEAD("\x1f\x8b\x08\x08\x00\x00\x00\x00\x02\x03", 10);

class Zip : public ::testing::Test {
protected:
    void SetUp() override { testutil::reset_codec_state(); }
};

TEST_F(Zip, EmptyInputIsTheSmallestMember) {
    std::string m = zip_member("", "e.tar");
    EXPECT_EQ(m, HEAD + std::string("e.tar\0\x03\x00", 8) + std::string(8, '\0'));
    EXPECT_EQ(m.size(), 10u + 6 + 2 + 8);
    EXPECT_EQ(codec::header_bytes, 10 + 6 + 8);
}

TEST_F(Zip, StoresTheLastPathComponent) {
    struct Case {
        const char *path;
        const char *stored;
    } cases[] = {{"dir/sub/data.tar", "data.tar"}, {"plain", "plain"}, {"dir/", ""}, {"/abs", "abs"}};
    for (const Case &c : cases) {
        std::vector<Member> ms;
        ASSERT_TRUE(split_members(zip_member("x", c.path), ms));
        EXPECT_EQ(ms[0].name, c.stored) << c.path;
        EXPECT_EQ(ms[0].header.substr(0, 10), HEAD);
    }
}

TEST_F(Zip, LaterMembersCarryTheTotalLength) {
    const std::string a = testutil::datagen(70000, 1, 0.6), b = testutil::datagen(1234, 2, 0.3);
    std::string out = zip_member(a, "a");
    out += zip_member(b, "b");
    out += zip_member("", "c");
    std::vector<Member> ms;
    ASSERT_TRUE(split_members(out, ms));
    ASSERT_EQ(ms.size(), 3u);
    EXPECT_EQ(ms[0].data, a);
    EXPECT_EQ(ms[1].data, b);
    EXPECT_EQ(ms[2].data, "");
    EXPECT_EQ(ms[0].crc, testutil::zlib_crc32(a));
    EXPECT_EQ(ms[1].crc, testutil::zlib_crc32(b));
    EXPECT_EQ(ms[2].crc, 0u);
    EXPECT_EQ(ms[0].isize, a.size());
    EXPECT_EQ(ms[1].isize, a.size() + b.size());
    EXPECT_EQ(ms[2].isize, a.size() + b.size());
    for (const Member &m : ms) EXPECT_EQ(m.header.substr(0, 10), HEAD) << "MTIME 0, XFL 2, OS 3";
}

TEST_F(Zip, LengthFieldWrapsModulo2To32) {
    codec::bytes_in = (codec::off64(1) << 32) - 2;
    std::vector<Member> ms;
    ASSERT_TRUE(split_members(zip_member("abcd"), ms));
    EXPECT_EQ(ms[0].isize, 2u);
}

TEST_F(Zip, ExtraFlagsFollowTheLevel) {
    struct Case {
        int level;
        char xfl;
    } cases[] = {{1, 4}, {2, 0}, {5, 0}, {8, 0}, {9, 2}};
    for (const Case &c : cases) {
        testutil::reset_codec_state();
        codec::level = c.level;
        EXPECT_EQ(zip_member("hello").at(8), c.xfl) << "level " << c.level;
    }
}

// Bytes beyond a member's input are what the previous member left in the
// window; they may only steer ties, never the decoded data.
TEST_F(Zip, WindowLeftoversFromAnEarlierMemberDoNotLeakIntoTheOutput) {
    std::string first = std::string(300, 'q') + "tail-of-first";
    std::string second = "qqqqq";
    (void)zip_member(first, "a");
    std::vector<Member> ms;
    ASSERT_TRUE(split_members(zip_member(second, "b"), ms));
    EXPECT_EQ(ms[0].data, second);
    Decoded d = decode_deflate(ms[0].deflate);
    ASSERT_TRUE(d.ok) << d.error;
    for (const Item &i : all_items(d)) {
        if (i.match) {
            EXPECT_LE(i.len, 3) << "matches stop at the input's end";
        }
    }
}

TEST_F(Zip, OutputThroughAFullDeviceIsAWriteError) {
    EXPECT_EXIT(
        {
            int in = open("/dev/zero", O_RDONLY);
            int out = open("/dev/full", O_WRONLY);
            // Reads of /dev/zero never end; the first flush of outbuf fails.
            std::strcpy(codec::ifname, "zero");
            (void)codec::zip(in, out);
        },
        ::testing::ExitedWithCode(1), "\nkelpa: No space left on device\n");
}

TEST_F(Zip, ReadErrorEndsTheProcessInsteadOfAShortMember) {
    testutil::TempDir dir;
    EXPECT_EXIT(
        {
            std::strcpy(codec::ifname, "adir");
            int in = open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);
            (void)codec::zip(in, open("/dev/null", O_WRONLY));
        },
        ::testing::ExitedWithCode(1), "\nkelpa: adir: Is a directory\n");
}

TEST_F(Zip, RoundTripsAcrossSizesAndKinds) {
    // Every size from 0 to 300 for two kinds of data, one member each.
    for (std::size_t size = 0; size <= 300; size++) {
        for (double comp : {0.0, 0.9}) {
            testutil::reset_codec_state();
            std::string data = testutil::datagen(size, std::uint32_t(size * 7 + 1), comp);
            std::vector<Member> ms;
            ASSERT_TRUE(split_members(zip_member(data), ms)) << size;
            ASSERT_EQ(ms[0].data, data) << size;
            ASSERT_EQ(ms[0].crc, testutil::zlib_crc32(data)) << size;
            ASSERT_EQ(ms[0].isize, size);
        }
    }
}

} // namespace
