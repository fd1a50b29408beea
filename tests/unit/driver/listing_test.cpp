// The ratio column of the listing.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "driver/driver.h"

namespace {

std::string ratio(long long num, long long den) {
    char buf[64] = {};
    std::FILE *f = fmemopen(buf, sizeof buf - 1, "w");
    driver::display_ratio(num, den, f);
    std::fclose(f);
    return buf;
}

TEST(DisplayRatio, PrintsSignedPerMilleWithOneDecimal) {
    struct Case {
        long long num, den;
        const char *out;
    };
    const Case cases[] = {
        {783, 1000, " 78.3%"},
        {-52, 1000, "- 5.2%"},
        {12345, 0, "  0.0%"},
        {0, 5, "  0.0%"},
        {1500000, 3000000, " 50.0%"},        // large denominator: num / (den / 1000)
        {2147482, 2147483, " 100.0%"},       // 2147482 / 2147: that branch's coarseness is kept
        {3000000, 2000000, " 150.0%"},        // num * 1000 passes 32 bits
        {-2000000, 1000000, "-200.0%"},
        {3LL << 32, 1LL << 33, " 150.0%"},    // sizes past 4 GiB
    };
    for (const Case &c : cases) EXPECT_EQ(ratio(c.num, c.den), c.out) << c.num << "/" << c.den;
}

} // namespace
