// The ledger of an archive's blocks: a block that reads differently the
// second time ends the process with the message, whatever moved; bytes
// skimmed without a digest are never compared, the block held when keeping
// resumes is.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "common/testutil.h"
#include "driver/block_ledger.h"
#include "driver/driver.h"

using namespace driver;

namespace {

constexpr std::size_t B = LEDGER_BLOCK;
const char *const changed = "f.run: the archive changed while it was being read\n";

class BlockLedger : public ::testing::Test {
protected:
    testutil::TempDir dir;
    std::string path = dir / "f.run";
    std::string bytes = testutil::datagen(3 * B + 1000, 5, 0.0);
    int fd = -1;

    void SetUp() override {
        testutil::reset_codec_state();
        testutil::reset_driver_state();
        testutil::write_file(path, bytes);
        fd = open(path.c_str(), O_RDWR);
        ASSERT_GE(fd, 0);
        ledger_begin(fd, "f.run");
    }
    void TearDown() override {
        ledger_end();
        close(fd);
    }
    void put(std::size_t at, const std::string &s) const {
        ASSERT_EQ(pwrite(fd, s.data(), s.size(), static_cast<off_t>(at)), static_cast<ssize_t>(s.size()));
    }
    std::string read_at(std::size_t at, std::size_t n) const {
        std::string out(n, '\0');
        EXPECT_EQ(ledger_read_at(static_cast<codec::off64>(at), out.data(), n), 0);
        return out;
    }
};

} // namespace

TEST_F(BlockLedger, SameBytesReadAgainPassAndLeaveNoTrace) {
    EXPECT_EQ(read_at(10, 3 * B), bytes.substr(10, 3 * B));
    EXPECT_EQ(ledger_size(), static_cast<codec::off64>(bytes.size()));
    EXPECT_EQ(read_at(B - 5, 10), bytes.substr(B - 5, 10)); // across two blocks
    ledger_seek(3 * B + 990);
    char tail[64];
    EXPECT_EQ(ledger_read(tail, sizeof tail), 10);
    EXPECT_EQ(ledger_read(tail, sizeof tail), 0);
}

TEST_F(BlockLedger, ChangedGrownOrCutBlockEndsTheProcess) {
    // Each change is made by the child that dies of it, on the one file, and
    // read again after another block (the ledger serves the block it holds
    // without reading it).
    read_at(0, bytes.size());
    EXPECT_EXIT((put(2 * B + 7, "x"), read_at(0, 1), read_at(2 * B, 1)), ::testing::ExitedWithCode(1), changed);
    EXPECT_EXIT((put(bytes.size(), "more"), read_at(0, 1), read_at(3 * B, 1)), ::testing::ExitedWithCode(1), changed);
    EXPECT_EXIT((ftruncate(fd, static_cast<off_t>(3 * B + 10)), read_at(0, 1), read_at(3 * B, 1)),
                ::testing::ExitedWithCode(1), changed);
    EXPECT_EXIT((put(5, "y"), read_at(B, 1), read_at(0, 1)), ::testing::ExitedWithCode(1), changed);
}

TEST_F(BlockLedger, SkimmedBlocksAreNotComparedTheHeldOneIs) {
    ledger_skim();
    read_at(0, B + 100); // blocks 0 and 1, block 1 held
    ledger_keep_held();
    read_at(2 * B, 10);
    put(3, "z"); // skimmed: read again as a first read
    EXPECT_EQ(read_at(0, 4), bytes.substr(0, 3) + "z");
    EXPECT_EXIT((put(B + 50, "x"), read_at(B + 50, 1)), ::testing::ExitedWithCode(1), changed);
    EXPECT_EXIT((put(2 * B, "x"), read_at(2 * B, 1)), ::testing::ExitedWithCode(1), changed);
}
