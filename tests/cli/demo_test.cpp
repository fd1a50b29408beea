// The bundled example: `make demo` builds, lists and runs it end to end.
#include <gtest/gtest.h>

#include <string>

#include "common/testutil.h"

TEST(Demo, BundledExampleInstallsAndRuns) {
    auto r = testutil::run({"/bin/sh", std::string(KELPA_SOURCE_DIR) + "/examples/demo.sh", testutil::kelpa_bin()});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Extract: tar xf -\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("(vendor: Kelp Works, channel: demo)\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("./installed/bin/hello\n./installed/share/hello/README\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Hello from world!\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.err, "\nHello 1.0 installer\n\nPlease wait...\n");
}
