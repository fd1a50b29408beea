// The manual page renders without a single warning.
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
