#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "common/testutil.h"
#include "driver/driver.h"

using namespace driver;

class Features : public ::testing::Test {
protected:
    void SetUp() override { testutil::reset_driver_state(); }
    static void set_list(const char *s) { std::strcpy(features, s); }
};

TEST_F(Features, AddAppendsWithOneComma) {
    ASSERT_EQ(add_feature("A"), 0);
    EXPECT_STREQ(features, "A");
    ASSERT_EQ(add_feature("B=1"), 0);
    EXPECT_STREQ(features, "A,B=1");
}
