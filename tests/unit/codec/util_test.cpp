// The codec's CRC register, input refill and output flush.
#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <cstring>
#include <string>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "codec/codec.h"
#include "common/testutil.h"

using namespace codec;

namespace {

// Test seam: writes to this descriptor accept nothing, as no real file does.
int zero_write_fd = -1;

} // namespace

extern "C" ssize_t write(int fd, const void *buf, std::size_t n) {
    if (fd == zero_write_fd) return 0;
    return syscall(SYS_write, fd, buf, n);
}

namespace {

class Util : public ::testing::Test {
protected:
    void SetUp() override { testutil::reset_codec_state(); }
};

const uch *bytes(const std::string &s) { return reinterpret_cast<const uch *>(s.data()); }

TEST_F(Util, CrcMatchesZlibFedWholeOrInPieces) {
    const std::string data = testutil::datagen(100000, 21, 0.3);
    updcrc(nullptr, 0);
    EXPECT_EQ(updcrc(bytes(data), static_cast<unsigned>(data.size())), testutil::zlib_crc32(data));
    updcrc(nullptr, 0);
    ulg c = 0;
    for (std::size_t at = 0; at < data.size(); at += 777) {
        unsigned n = static_cast<unsigned>(std::min<std::size_t>(777, data.size() - at));
        c = updcrc(bytes(data) + at, n);
    }
    EXPECT_EQ(c, testutil::zlib_crc32(data));
    EXPECT_EQ(updcrc(outbuf, 0), c); // reading the register feeds nothing
}

// Every engine, at every length around the lane and block boundaries and at
// odd offsets, chained from a nonzero register; the carry-less ones only where
// the processor has them.
TEST_F(Util, CrcEnginesAgreeWithZlibAtEveryLengthAndOffset) {
    const std::string data = testutil::datagen(4096, 5, 0.5);
    const bool clmul = crc_clmul_supported();
    const bool vclmul = crc_vclmul_supported();
    for (std::size_t off : {0u, 1u, 7u, 13u}) {
        for (std::size_t n = 0; n < 700; n++) {
            const std::string piece = data.substr(off, n);
            const ulg want = testutil::zlib_crc32(data.substr(0, off + n));
            const ulg head = crc32_portable(0xffffffffu, bytes(data), off);
            EXPECT_EQ(crc32_portable(head, bytes(piece), n) ^ 0xffffffffu, want) << off << "+" << n;
            if (clmul) {
                EXPECT_EQ(crc32_clmul(head, bytes(piece), n) ^ 0xffffffffu, want) << off << "+" << n;
            }
            if (vclmul) {
                EXPECT_EQ(crc32_vclmul(head, bytes(piece), n) ^ 0xffffffffu, want) << off << "+" << n;
            }
        }
    }
    if (clmul) {
        EXPECT_EQ(crc32_clmul(0xffffffffu, bytes(data), data.size()) ^ 0xffffffffu, testutil::zlib_crc32(data));
    }
    if (vclmul) {
        EXPECT_EQ(crc32_vclmul(0xffffffffu, bytes(data), data.size()) ^ 0xffffffffu, testutil::zlib_crc32(data));
    }
}

TEST_F(Util, RestartedCrcIsTheCrcOfNothing) {
    updcrc(bytes("abc"), 3);
    EXPECT_EQ(updcrc(nullptr, 0), 0u);
    EXPECT_EQ(updcrc(bytes("x"), 0), 0u);
}

TEST_F(Util, RefillGathersShortReadsUntilFull) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    const std::string data = testutil::datagen(40000, 22, 0.0);
    pid_t pid = fork();
    if (pid == 0) {
        close(p[0]);
        for (std::size_t at = 0; at < data.size(); at += 100)
            if (write(p[1], data.data() + at, std::min<std::size_t>(100, data.size() - at)) < 0) _exit(1);
        _exit(0);
    }
    close(p[1]);
    ifd = p[0];
    EXPECT_EQ(fill_inbuf(), static_cast<uch>(data[0]));
    EXPECT_EQ(insize, INBUFSIZ);
    EXPECT_EQ(inptr, 1u);
    EXPECT_EQ(std::memcmp(inbuf, data.data(), INBUFSIZ), 0);
    EXPECT_EQ(fill_inbuf(), static_cast<uch>(data[INBUFSIZ]));
    EXPECT_EQ(insize, data.size() - INBUFSIZ);
    EXPECT_EQ(bytes_in, static_cast<off64>(data.size()));
    close(p[0]);
    waitpid(pid, nullptr, 0);
}

TEST_F(Util, EndOfInputIsAFatalUnexpectedEof) {
    EXPECT_EXIT(
        {
            int p[2];
            if (pipe(p) != 0) std::exit(9);
            close(p[1]);
            ifd = p[0];
            std::strcpy(ifname, "the-input");
            next_input_byte();
        },
        ::testing::ExitedWithCode(1), "\nkelpa: the-input: unexpected end of file\n");
}

TEST_F(Util, FlushWindowHandsOnExactlyTheWindow) {
    testutil::TempDir dir;
    testutil::write_file(dir / "out", "");
    ofd = open((dir / "out").c_str(), O_WRONLY);
    updcrc(nullptr, 0);
    flush_window(); // nothing waiting: no write, no CRC change
    EXPECT_EQ(updcrc(outbuf, 0), 0u);
    std::memcpy(window, "window bytes", 12);
    outcnt = 6;
    flush_window();
    close(ofd);
    EXPECT_EQ(outcnt, 0u);
    EXPECT_EQ(bytes_out, 6);
    EXPECT_EQ(testutil::read_file(dir / "out"), "window");
    EXPECT_EQ(updcrc(outbuf, 0), testutil::zlib_crc32("window"));
}

TEST_F(Util, FailedWriteNamesTheOutput) {
    EXPECT_EXIT(
        {
            ofd = open("/dev/full", O_WRONLY);
            std::strcpy(ofname, "the-output");
            write_buf(ofd, "x", 1);
        },
        ::testing::ExitedWithCode(1), "\nkelpa: the-output: No space left on device\n");
}

TEST_F(Util, WriteAcceptingNothingIsAnErrorNotALoop) {
    EXPECT_EXIT(
        {
            zero_write_fd = open("/dev/null", O_WRONLY);
            std::strcpy(ofname, "stuck");
            write_buf(zero_write_fd, "abc", 3);
        },
        ::testing::ExitedWithCode(1), "\nkelpa: stuck: Input/output error\n");
}

TEST_F(Util, BrokenPipeIsAWriteError) {
    EXPECT_EXIT(
        {
            signal(SIGPIPE, SIG_IGN);
            int p[2];
            if (pipe(p) != 0) std::exit(9);
            close(p[0]);
            std::strcpy(ofname, "pipe");
            write_buf(p[1], "abc", 3);
        },
        ::testing::ExitedWithCode(1), "\nkelpa: pipe: Broken pipe\n");
}

} // namespace
