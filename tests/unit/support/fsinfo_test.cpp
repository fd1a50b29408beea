#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <ostream>

#include "support/ss.h"

using namespace ss;

namespace {

struct Fake {
    long long bsize;
    unsigned long long bavail;
    int fsid;
};
Fake fake_path, fake_root;

int fake_statfs(const char *path, FstatStruct *st) {
    if (std::strcmp(path, "/missing") == 0) return -1;
    const Fake &f = std::strcmp(path, "/") == 0 ? fake_root : fake_path;
    std::memset(st, 0, sizeof *st);
    st->f_bsize = static_cast<decltype(st->f_bsize)>(f.bsize);
    st->f_bavail = static_cast<decltype(st->f_bavail)>(f.bavail);
    st->f_bfree = st->f_bavail + 1000; // never consulted
    std::memcpy(&st->f_fsid, &f.fsid, sizeof f.fsid);
    return 0;
}

class FsInfo : public ::testing::Test {
protected:
    void SetUp() override {
        reset_state();
        fs_statfs = fake_statfs;
        fake_root = {4096, 1, 7};
    }
    void TearDown() override { reset_state(); }
};

struct MegCase {
    long long bsize;
    unsigned long long bavail;
    int megs;
};

void PrintTo(const MegCase &c, std::ostream *os) { *os << c.bsize << "x" << c.bavail; }

class MegArithmetic : public FsInfo, public ::testing::WithParamInterface<MegCase> {};

} // namespace

TEST_P(MegArithmetic, CountsWholeMegabytesOfAvailableBlocks) {
    const MegCase &c = GetParam();
    fake_path = {c.bsize, c.bavail, 3};
    int is_root = -7, megs = -7;
    EXPECT_EQ(FsHasMegSpace("/x", c.megs, &is_root, &megs), 1);
    EXPECT_EQ(megs, c.megs);
    EXPECT_EQ(is_root, 0);
    if (c.megs < INT_MAX) {
        EXPECT_EQ(FsHasMegSpace("/x", c.megs + 1, &is_root, &megs), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    BlockSizes, MegArithmetic,
    ::testing::Values(MegCase{4096, 1000, 3}, MegCase{4096, 255, 0}, MegCase{4096, 256, 1},
                      MegCase{1024, 2047, 1}, MegCase{1024, 2048, 2},
                      // Below 512 bytes a block counts as 512.
                      MegCase{100, 2048, 1}, MegCase{0, 4095, 1},
                      // 1536-byte blocks: 3 sectors each, 682 blocks make a megabyte.
                      MegCase{1536, 682, 1},
                      // Blocks of a megabyte and more.
                      MegCase{1 << 20, 5, 5}, MegCase{(1 << 20) + 512, 4, 4}, MegCase{1LL << 22, 3, 12},
                      // More than 2^32 free blocks are not wrapped, and the count saturates.
                      MegCase{4096, (1ULL << 32) + 512, (1 << 24) + 2}, MegCase{1LL << 30, 1ULL << 40, INT_MAX}));

TEST_F(FsInfo, ZeroMegabytesAlwaysFit) {
    fake_path = {4096, 0, 7};
    int is_root = 0, megs = -1;
    EXPECT_EQ(FsHasMegSpace("/full", 0, &is_root, &megs), 1);
    EXPECT_EQ(megs, 0);
    EXPECT_EQ(is_root, 1); // same fsid as "/"
}

TEST_F(FsInfo, UnreadablePathLeavesOutputsAlone) {
    int is_root = 42, megs = 43;
    EXPECT_EQ(FsHasMegSpace("/missing", 1, &is_root, &megs), -1);
    EXPECT_EQ(is_root, 42);
    EXPECT_EQ(megs, 43);
}

TEST(FsInfoReal, RootIsRootAndAMissingPathCannotBeExamined) {
    int is_root = 0, megs = 0;
    EXPECT_NE(FsHasMegSpace("/", 0, &is_root, &megs), -1);
    EXPECT_EQ(is_root, 1);
    EXPECT_EQ(FsHasMegSpace("/no/such/path/at/all", 0, &is_root, &megs), -1);
}
