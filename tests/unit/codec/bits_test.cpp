// The bit output: packing order, alignment, stored-block framing, output that
// crosses outbuf's flush point, and the compressor's input function.
#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "codec/deflate.h"
#include "common/testutil.h"

namespace {

class Bits : public ::testing::Test {
protected:
    void SetUp() override {
        testutil::reset_codec_state();
        codec::bi_init(-1);
    }
    static std::string pending() { return std::string(reinterpret_cast<char *>(codec::outbuf), codec::outcnt); }
};

TEST_F(Bits, PacksLeastSignificantBitFirst) {
    codec::send_bits(1, 1);    // 1
    codec::send_bits(2, 2);    // 01 -> bits 1..2 = 0,1
    codec::send_bits(0x1f, 5); // fills the byte
    codec::send_bits(0x5a, 8);
    EXPECT_EQ(codec::outcnt, 0u); // sixteen bits wait for the next call
    codec::bi_windup();
    EXPECT_EQ(pending(), std::string("\xfd\x5a", 2));
}

TEST_F(Bits, WindupWritesOnlyTheBytesThatHoldBits) {
    struct Case {
        int bits;
        std::size_t bytes;
    } cases[] = {{0, 0}, {1, 1}, {8, 1}, {9, 2}, {15, 2}, {16, 2}};
    for (const Case &c : cases) {
        testutil::reset_codec_state();
        codec::bi_init(-1);
        // All ones, sent in pieces of at most 8 bits.
        for (int left = c.bits; left > 0; left -= 8) codec::send_bits((1 << (left < 8 ? left : 8)) - 1, left < 8 ? left : 8);
        codec::bi_windup();
        EXPECT_EQ(codec::outcnt, c.bytes) << c.bits << " bits";
        EXPECT_EQ(codec::bi_valid, 0);
        if (c.bits % 8 != 0) {
            // The unused high bits of the last byte are zero.
            EXPECT_EQ(codec::outbuf[c.bytes - 1], (1u << (c.bits % 8)) - 1) << c.bits << " bits";
        }
    }
}

TEST_F(Bits, FifteenBitsOnFourteenPendingWriteTheFullBufferAndKeepThirteen) {
    codec::send_bits(0x3fff, 14);
    codec::send_bits(0x5555, 15);
    EXPECT_EQ(pending(), std::string("\xff\x7f", 2));
    EXPECT_EQ(codec::bi_valid, 13);
    EXPECT_EQ(codec::bi_buf, 0x5555 >> 2);
}

TEST_F(Bits, SixteenPendingBitsGoOutWithTheNextCall) {
    codec::send_bits(0xff, 8);
    codec::send_bits(0x00, 8);
    EXPECT_EQ(codec::outcnt, 0u);
    EXPECT_EQ(codec::bi_valid, 16);
    codec::send_bits(1, 1);
    EXPECT_EQ(pending(), std::string("\xff\x00", 2));
    EXPECT_EQ(codec::bi_valid, 1);
    EXPECT_EQ(codec::bi_buf, 1);
}

TEST_F(Bits, CopyBlockAlignsThenWritesLengthItsComplementAndTheBytes) {
    codec::send_bits(1, 3);
    codec::copy_block(reinterpret_cast<const codec::uch *>("xy"), 0, 1);
    EXPECT_EQ(pending(), std::string("\x01\x00\x00\xff\xff", 5));

    testutil::reset_codec_state();
    codec::bi_init(-1);
    codec::copy_block(reinterpret_cast<const codec::uch *>("xyz"), 3, 1);
    EXPECT_EQ(pending(), std::string("\x03\x00\xfc\xffxyz", 7));

    testutil::reset_codec_state();
    codec::bi_init(-1);
    codec::copy_block(reinterpret_cast<const codec::uch *>("xyz"), 3, 0);
    EXPECT_EQ(pending(), "xyz");
}

TEST_F(Bits, ReverseMirrorsTheLowBits) {
    struct Case {
        unsigned code;
        int len;
        unsigned want;
    } cases[] = {{1, 1, 1}, {1, 5, 16}, {0x30, 8, 0x0c}, {0x7fff, 15, 0x7fff}, {1, 15, 0x4000}, {0xb, 4, 0xd}};
    for (const Case &c : cases) EXPECT_EQ(codec::bi_reverse(c.code, c.len), c.want) << c.code << "/" << c.len;
}

// The same bit stream, written with outbuf starting at every offset around
// its flush point, gives the same bytes on the descriptor.
TEST_F(Bits, OutputDoesNotDependOnWhereTheBufferFlushes) {
    testutil::TempDir dir;
    std::string reference;
    for (unsigned start : {0u, 16380u, 16381u, 16382u, 16383u}) {
        testutil::reset_codec_state();
        std::string path = dir / ("out" + std::to_string(start));
        codec::ofd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(codec::ofd, 0);
        codec::bi_init(-1);
        for (unsigned i = 0; i < start; i++) codec::put_byte('.');
        for (int i = 0; i < 5000; i++) codec::send_bits(i & 0x1fff, 13);
        codec::bi_windup();
        codec::put_long(0x04030201u);
        codec::copy_block(reinterpret_cast<const codec::uch *>("stored"), 6, 1);
        codec::flush_outbuf();
        close(codec::ofd);
        std::string got = testutil::read_file(path).substr(start);
        if (reference.empty()) reference = got;
        EXPECT_EQ(got, reference) << "starting at " << start;
    }
}

TEST_F(Bits, FileReadKeepsTheCrcAndCountAndLeavesThemAtEndOfFile) {
    testutil::TempDir dir;
    testutil::write_file(dir / "in", "hello");
    codec::ifd = open((dir / "in").c_str(), O_RDONLY);
    codec::bytes_in = 7; // counts on from earlier members
    codec::crc = codec::updcrc(nullptr, 0);
    char buf[16];
    EXPECT_EQ(codec::file_read(buf, sizeof buf), 5);
    EXPECT_EQ(codec::crc, testutil::zlib_crc32("hello"));
    EXPECT_EQ(codec::bytes_in, 12);
    EXPECT_EQ(codec::file_read(buf, sizeof buf), 0);
    EXPECT_EQ(codec::crc, testutil::zlib_crc32("hello"));
    EXPECT_EQ(codec::bytes_in, 12);
    close(codec::ifd);
}

TEST_F(Bits, FileReadErrorIsFatalInTheReadErrorForm) {
    testutil::TempDir dir;
    EXPECT_EXIT(
        {
            std::strcpy(codec::ifname, "somedir");
            codec::ifd = open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);
            char buf[16];
            (void)codec::file_read(buf, sizeof buf);
        },
        ::testing::ExitedWithCode(1), "\nkelpa: somedir: Is a directory\n");
}

} // namespace
