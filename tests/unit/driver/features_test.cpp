#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "common/testutil.h"
#include "driver/driver.h"

using namespace driver;

class Features : public ::testing::Test {
protected:
    void SetUp() override { testutil::reset_driver_state(); }
    static void set_list(const std::string &s) { std::strcpy(features, s.c_str()); }
    static std::string lookup(const char *key) {
        const char *r = get_feature(key);
        return r != nullptr ? r : "<null>";
    }
};

TEST_F(Features, AddAppendsWithOneComma) {
    ASSERT_EQ(add_feature("A"), 0);
    EXPECT_STREQ(features, "A");
    ASSERT_EQ(add_feature("B=1"), 0);
    EXPECT_STREQ(features, "A,B=1");
}

TEST_F(Features, AddRefusesWhatWouldPass1023CharactersAndKeepsTheList) {
    std::string full(1021, 'x');
    ASSERT_EQ(add_feature(full.c_str()), 0);
    EXPECT_EQ(add_feature("y"), 0) << "1021 + ',' + 'y' is exactly 1023";
    EXPECT_EQ(std::strlen(features), 1023u);
    EXPECT_EQ(add_feature("z"), -1);
    EXPECT_EQ(std::strlen(features), 1023u);
    EXPECT_EQ(features[1022], 'y');
}

struct LookupCase {
    const char *list;
    const char *key;
    const char *expected; // "<null>" when absent
};

class FeatureLookup : public Features, public ::testing::WithParamInterface<LookupCase> {};

TEST_P(FeatureLookup, ReturnsTheEntryFromTheMatchToTheNextComma) {
    set_list(GetParam().list);
    EXPECT_EQ(lookup(GetParam().key), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FeatureLookup,
    ::testing::Values(
        LookupCase{"NOCOMPR,NAME=x.tar", "NAME=", "NAME=x.tar"},
        LookupCase{"NOCOMPR,NAME=x.tar", "NOCOMPR", "NOCOMPR"},
        LookupCase{"NAME=x.tar", "VFYFS=", "<null>"},
        LookupCase{"", "NAME=", "<null>"},
        // Trailing blanks are trimmed only when a comma ended the copy.
        LookupCase{"VFYFS=/tmp  ,NAME=x", "VFYFS=", "VFYFS=/tmp"},
        LookupCase{"VFYFS=/tmp,NAME=x  ", "NAME=", "NAME=x  "},
        LookupCase{"A=1\t\r\n,B", "A=", "A=1"},
        // A plain substring search: keys match inside longer keys and values.
        LookupCase{"XNAME=a,NAME=b", "NAME=", "NAME=a"},
        LookupCase{"NAME=NOCOMPR.tar", "NOCOMPR", "NOCOMPR.tar"},
        // The lookup knows nothing of escapes: an escaped comma still ends it.
        LookupCase{"A=x\\,y", "A=", "A=x\\"}));

TEST_F(Features, LongLastEntryIsCutTo255Characters) {
    std::string entry = "K=" + std::string(400, 'v');
    set_list(entry);
    EXPECT_EQ(lookup("K="), entry.substr(0, 255));
}

TEST_F(Features, CommaBeyondTheFirst255CharactersIsNotSeen) {
    std::string entry = "K=" + std::string(300, 'v') + "   ";
    set_list(entry + ",L=1");
    EXPECT_EQ(lookup("K="), entry.substr(0, 255)) << "no comma in the copy, so no trim";
}

TEST(Strtrim, CutsTrailingWhiteSpaceOnly) {
    char a[] = "  x \t\r\n";
    EXPECT_EQ(strtrim(a), 3);
    EXPECT_STREQ(a, "  x");
    char b[] = " \t \n";
    EXPECT_EQ(strtrim(b), 0);
    EXPECT_STREQ(b, "");
    char c[] = "";
    EXPECT_EQ(strtrim(c), 0);
}
