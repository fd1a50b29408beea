#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "support/ss.h"

using namespace ss;

namespace {

int destroyed;
int count_destroy(void *item) {
    destroyed++;
    std::free(item);
    return 0;
}

} // namespace

TEST(ApList, CreateGivesAnEmptyTerminatedListWithHeader) {
    APLIST ap = ap_create(0, nullptr);
    ASSERT_NE(ap, nullptr);
    ap_head *h = ap_tohead(ap);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(h->magic, AP_MAGIC);
    EXPECT_EQ(h->obj_start, ap);
    EXPECT_EQ(h->max_obj, 1);
    EXPECT_EQ(h->obj_links, 1);
    EXPECT_EQ(ap[0], nullptr);
    EXPECT_EQ(ap[1], nullptr);
    EXPECT_EQ(ap_len(ap), 0);
    EXPECT_EQ(ap_len(nullptr), 0);
    ap_del(ap);
}

TEST(ApList, SixthItemDoublesTheCapacity) {
    APLIST ap = ap_create(5, nullptr);
    static int items[6];
    for (int i = 0; i < 6; i++) ASSERT_EQ(ap_add_item(&ap, &items[i]), 0);
    ap_head *h = ap_tohead(ap);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(h->max_obj, 10);
    EXPECT_EQ(h->no_items, 6);
    EXPECT_EQ(h->obj_links, 1);
    for (int i = 0; i < 6; i++) EXPECT_EQ(ap[i], &items[i]);
    EXPECT_EQ(ap[6], nullptr);
    for (int i = 6; i < 11; i++) ASSERT_EQ(ap_add_item(&ap, &items[0]), 0);
    EXPECT_EQ(ap_tohead(ap)->max_obj, 20);
    EXPECT_EQ(ap_len(ap), 11);
    ap_del(ap);
}

TEST(ApList, AddToNullFails) {
    APLIST ap = nullptr;
    int x = 0;
    EXPECT_EQ(ap_add_item(&ap, &x), -1);
    EXPECT_EQ(ap_expand(nullptr, 3), nullptr);
}

TEST(ApList, LenCountsTheSlotsWhenTheCountIsZeroAndStoresIt) {
    APLIST ap = ap_create(4, nullptr);
    static int a, b, c;
    ap[0] = &a;
    ap[1] = &b;
    ap[2] = &c;
    EXPECT_EQ(ap_tohead(ap)->no_items, 0);
    EXPECT_EQ(ap_len(ap), 3);
    EXPECT_EQ(ap_tohead(ap)->no_items, 3);
    ap_del(ap);
}

TEST(ApList, ExpandKeepsItemsAndDestroyProcedure) {
    APLIST ap = ap_create(2, count_destroy);
    ASSERT_EQ(ap_add_item(&ap, strdup("x")), 0);
    ap_tohead(ap)->cur_obj = 1;
    APLIST big = ap_expand(ap, 7);
    ASSERT_NE(big, nullptr);
    ap_head *h = ap_tohead(big);
    EXPECT_EQ(h->max_obj, 8);
    EXPECT_EQ(h->no_items, 1);
    EXPECT_EQ(h->cur_obj, 1);
    EXPECT_EQ(h->obj_links, 0);
    EXPECT_EQ(h->obj_destroy, count_destroy);
    EXPECT_STREQ(static_cast<char *>(big[0]), "x");
    destroyed = 0;
    ap_destroy(big);
    EXPECT_EQ(destroyed, 1);
}

TEST(ApList, DestroyOfALinkListLeavesTheItems) {
    APLIST ap = ap_create(3, nullptr);
    char *s = strdup("kept");
    ASSERT_EQ(ap_add_item(&ap, s), 0);
    ap_destroy(ap);
    EXPECT_STREQ(s, "kept"); // still ours: ASan would report a use after free
    std::free(s);
}

TEST(ApList, DestroyCallsTheProcedureOnEveryCountedSlot) {
    APLIST ap = ap_create(3, count_destroy);
    for (const char *s : {"a", "b", "c"}) ASSERT_EQ(ap_add_item(&ap, strdup(s)), 0);
    destroyed = 0;
    ap_destroy(ap);
    EXPECT_EQ(destroyed, 3);
    ap_destroy(nullptr);
}

// Splitting: every rule of the splitter, and strdel.
struct SplitCase {
    const char *input;
    const char *sep;
    std::vector<std::string> fields;
};

void PrintTo(const SplitCase &c, std::ostream *os) { *os << (c.input != nullptr ? c.input : "(null)"); }

class Split : public ::testing::TestWithParam<SplitCase> {};

TEST_P(Split, GivesTheFields) {
    const SplitCase &c = GetParam();
    std::string before = c.input != nullptr ? c.input : "";
    APLIST ap = ap_strsplit(c.input, c.sep);
    ASSERT_NE(ap, nullptr);
    std::vector<std::string> got;
    for (int i = 0; ap[i] != nullptr; i++) got.emplace_back(static_cast<char *>(ap[i]));
    EXPECT_EQ(got, c.fields);
    EXPECT_EQ(ap_len(ap), static_cast<int>(c.fields.size()));
    if (c.input != nullptr) {
        EXPECT_EQ(before, c.input); // the input is not changed
    }
    ap_destroy(ap);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, Split,
    ::testing::Values(SplitCase{nullptr, ",", {}}, SplitCase{"", ",", {}}, SplitCase{"a", ",", {"a"}},
                      SplitCase{"a,,b", ",", {"a", "", "b"}}, SplitCase{"a,b,", ",", {"a", "b"}},
                      SplitCase{",", ",", {""}}, SplitCase{",,", ",", {"", ""}},
                      SplitCase{"\"a,b\",c", ",", {"a,b", "c"}}, SplitCase{"x\\,y,z", ",", {"x,y", "z"}},
                      SplitCase{"a,b\\,c", ",", {"a", "b,c"}}, SplitCase{"ab\"cd\",e", ",", {"cd", "e"}},
                      // An unterminated quote runs to the end.
                      SplitCase{"a,\"b,c", ",", {"a", "b,c"}},
                      // After the first escape every backslash of the token goes, escaped ones too.
                      SplitCase{"a\\\\b\\,c,d", ",", {"ab,c", "d"}},
                      // A trailing backslash stays part of the last token...
                      SplitCase{"a,b\\", ",", {"a", "b\\"}},
                      // ...unless the token already saw an escape.
                      SplitCase{"a\\,b\\", ",", {"a,b"}},
                      // An escaped quote is an ordinary character.
                      SplitCase{"a\\\"b,c", ",", {"a\"b", "c"}},
                      // The closing quote deletes the quotes after it; the next character only separates.
                      SplitCase{"\"a\"b\"c\",d", ",", {"abc", "d"}}, SplitCase{"\"a\"", ",", {"a"}},
                      // The separator is a set of characters.
                      SplitCase{"a b;c", " ;", {"a", "b", "c"}},
                      SplitCase{"VFYFS=/tmp,FSSUB=kx,NOCOMPR", ",", {"VFYFS=/tmp", "FSSUB=kx", "NOCOMPR"}}));

TEST(StrDel, DeletesEveryOccurrenceAndCounts) {
    char s[] = "a\"b\"\"c";
    EXPECT_EQ(strdel(s, '"'), 3);
    EXPECT_STREQ(s, "abc");
    char none[] = "abc";
    EXPECT_EQ(strdel(none, 'x'), 0);
    EXPECT_STREQ(none, "abc");
    char empty[] = "";
    EXPECT_EQ(strdel(empty, 'a'), 0);
    EXPECT_EQ(strdel(nullptr, 'a'), 0);
    char all[] = "\\\\\\";
    EXPECT_EQ(strdel(all, '\\'), 3);
    EXPECT_STREQ(all, "");
}
