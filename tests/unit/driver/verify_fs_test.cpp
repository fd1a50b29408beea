// The parts of the space verification that need no mount of their own: the
// refusals before any filesystem is asked, and mkdirp. The relocation itself
// runs for real in tests/cli/relocate_test.cpp.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "common/testutil.h"
#include "driver/driver.h"
#include "driver/extract.h"
#include "support/ss.h"

using namespace driver;

namespace {

class VerifyFs : public ::testing::Test {
protected:
    testutil::TempDir dir;
    char sym[512];
    void SetUp() override {
        testutil::reset_codec_state();
        testutil::reset_driver_state();
        ss::reset_state();
        std::memset(sym, 'x', sizeof sym);
    }
    void set_features(const std::string &f) { std::strcpy(features, f.c_str()); }
};

} // namespace

// A crafted archive with such values says why it cannot run.
TEST_F(VerifyFs, ValuesShorterThanTwoCharactersRefuseWithAMessage) {
    for (const char *f : {"VFYFS=/,FSSUB=kx", "VFYFS=/tmp,FSSUB=k", "VFYFS=/tmp", "VFYFS=.,FSSUB=kx"}) {
        set_features(f);
        testing::internal::CaptureStderr();
        EXPECT_NE(verify_fs(1, sym), SE_NONE) << f;
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  std::string(progname) +
                      ": the archive's space check is unusable: VFYFS and FSSUB need two characters or more\n")
            << f;
        EXPECT_EQ(sym[0], '\0');
    }
}

TEST_F(VerifyFs, InPlaceWhenTheDirectoryHasRoomOrDoesNotExist) {
    for (const std::string &fs : {dir.path(), dir / "not/there"}) {
        set_features("VFYFS=" + fs + ",FSSUB=kx");
        testing::internal::CaptureStderr();
        EXPECT_EQ(verify_fs(1, sym), SE_NONE);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        EXPECT_EQ(sym[0], '\0');
        EXPECT_NE(access((fs + "/kx").c_str(), F_OK), 0); // nothing created
    }
}

TEST_F(VerifyFs, ExistingExtractionDirectoryIsRefused) {
    ASSERT_EQ(mkdir((dir / "kx").c_str(), 0755), 0);
    set_features("VFYFS=" + dir.path() + "/,FSSUB=kx");
    testing::internal::CaptureStderr();
    EXPECT_NE(verify_fs(1, sym), SE_NONE);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              dir.path() + "/kx: extraction directory exists!\nPlease remove it first then try again.\n");
}

TEST_F(VerifyFs, ValuesBeyondTheLimitsAreRefusedByName) {
    std::string fs = "/" + std::string(127, 'v');
    set_features("VFYFS=" + fs + ",FSSUB=kx");
    testing::internal::CaptureStderr();
    EXPECT_NE(verify_fs(1, sym), SE_NONE);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "kelpa: " + fs + ": name too long for the space check\n");
    // 127 characters fit.
    set_features("VFYFS=" + fs.substr(0, 127) + ",FSSUB=kx");
    testing::internal::CaptureStderr();
    EXPECT_EQ(verify_fs(1, sym), SE_NONE);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    // A -t directory whose extraction path passes 511 characters.
    std::string t = "/" + std::string(509, 't');
    std::strcpy(uncompress_dir, t.c_str());
    set_features("VFYFS=/tmp,FSSUB=kx");
    testing::internal::CaptureStderr();
    EXPECT_NE(verify_fs(1, sym), SE_NONE);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "kelpa: " + t + ": name too long for the space check\n");
}

TEST_F(VerifyFs, LinkTargetTooLongForMkdirpIsRefusedAndNothingIsCreated) {
    // A -t directory that does not exist counts as having room; its target
    // path would pass the 254 characters of mkdirp.
    std::string t = dir / std::string(252 - dir.path().size(), 'd');
    std::strcpy(uncompress_dir, t.c_str());
    set_features("VFYFS=" + dir.path() + ",FSSUB=kx");
    testing::internal::CaptureStderr();
    EXPECT_NE(verify_fs(1, sym), SE_NONE);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "kelpa: " + t + "/kx: name too long for the space check\n");
    EXPECT_NE(access(t.c_str(), F_OK), 0);
    EXPECT_NE(access((dir / "kx").c_str(), F_OK), 0);
}

TEST(Mkdirp, CreatesEveryMissingLevelWithTheExactMode) {
    testutil::TempDir dir;
    mode_t old = umask(077);
    std::string deep = dir / "a/b/c";
    EXPECT_EQ(mkdirp(deep.c_str(), 0755), 0);
    umask(old);
    for (const std::string &p : {dir / "a", dir / "a/b", deep}) {
        struct stat st {};
        ASSERT_EQ(stat(p.c_str(), &st), 0) << p;
        EXPECT_TRUE(S_ISDIR(st.st_mode));
        EXPECT_EQ(st.st_mode & 07777, 0755u) << p;
    }
    EXPECT_EQ(mkdirp(deep.c_str(), 0755), 0); // already there
    EXPECT_EQ(mkdirp((deep + "/").c_str(), 0755), 0);
}

TEST(Mkdirp, RefusesRelativeAndTooLongPathsAndFilesInTheWay) {
    testutil::TempDir dir;
    EXPECT_NE(mkdirp("relative/dir", 0755), 0);
    std::string longp = dir / std::string(255 - dir.path().size(), 'l');
    ASSERT_EQ(longp.size(), 256u);
    EXPECT_NE(mkdirp(longp.c_str(), 0755), 0);
    EXPECT_NE(access(longp.c_str(), F_OK), 0);
    testutil::write_file(dir / "file", "x");
    EXPECT_NE(mkdirp((dir / "file/sub").c_str(), 0755), 0);
}
