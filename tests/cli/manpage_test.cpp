// The manual page renders without a single warning, and is installed.
#include <gtest/gtest.h>

#include <string>
#include <unistd.h>

#include "common/testutil.h"

TEST(ManPage, RendersWithoutWarnings) {
    if (access("/usr/bin/groff", X_OK) != 0) GTEST_SKIP() << "groff is not installed";
    auto r = testutil::run({"/usr/bin/groff", "-t", "-man", "-ww", "-z", std::string(KELPA_SOURCE_DIR) + "/man/kelpa.1"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
}

// The install rules put kelpa and its manual page under a prefix, as built.
TEST(ManPage, InstalledWithKelpaUnderAPrefix) {
    testutil::TempDir prefix;
    const std::string bin = testutil::kelpa_bin();
    const std::string build = bin.substr(0, bin.rfind('/'));
    auto r = testutil::run({"/bin/sh", "-c", "exec cmake --install \"$0\" --prefix \"$1\"", build, prefix.path()});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(testutil::read_file(prefix / "bin/kelpa") == testutil::read_file(bin));
    EXPECT_EQ(testutil::read_file(prefix / "share/man/man1/kelpa.1"),
              testutil::read_file(std::string(KELPA_SOURCE_DIR) + "/man/kelpa.1"));
    EXPECT_EQ(access((prefix / "bin/kelpa").c_str(), X_OK), 0);
}
