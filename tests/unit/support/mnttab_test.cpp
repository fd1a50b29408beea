#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "common/testutil.h"
#include "support/ss.h"

using namespace ss;

class MntTab : public ::testing::Test {
protected:
    testutil::TempDir dir;
    std::string table = dir / "mtab";
    void SetUp() override {
        reset_state();
        mnttab_file = table.c_str();
    }
    void TearDown() override { reset_state(); }
};

TEST_F(MntTab, WalksEntriesWithTheirReadOnlyFlag) {
    testutil::write_file(table, "/dev/sda1 / ext4 rw,noatime 0 0\n"
                                "tmpfs /mnt/ro tmpfs ro,relatime 0 0\n"
                                "srv:/x /mnt/rox nfs rox,rw 0 0\n");
    ssmnttab *m = ss_getmntent();
    ASSERT_NE(m, nullptr);
    EXPECT_STREQ(m->mt_dev, "/dev/sda1");
    EXPECT_STREQ(m->mt_path, "/");
    EXPECT_STREQ(m->mt_fstype, "ext4");
    EXPECT_EQ(m->mt_read_only, 0);
    EXPECT_EQ(m->mt_time, 0);
    ssmnttab *second = ss_getmntent();
    ASSERT_EQ(second, m); // one record, overwritten by every call
    EXPECT_STREQ(m->mt_path, "/mnt/ro");
    EXPECT_EQ(m->mt_read_only, 1);
    ASSERT_NE(ss_getmntent(), nullptr);
    EXPECT_EQ(m->mt_read_only, 0); // "rox" is not "ro"
    EXPECT_EQ(ss_getmntent(), nullptr);
    // Without ss_endmntent the walk stays at its end...
    EXPECT_EQ(ss_getmntent(), nullptr);
    // ...and after it starts again at the first entry.
    ss_endmntent();
    m = ss_getmntent();
    ASSERT_NE(m, nullptr);
    EXPECT_STREQ(m->mt_path, "/");
}

// A cut device or type name is only shown; a cut mount point would be used
// as a directory, so an entry whose mount point does not fit is skipped.
TEST_F(MntTab, LongFieldsAreCutButLongMountPointsSkipped) {
    std::string dev(200, 'd'), type(40, 't');
    const std::string fits = "/" + std::string(126, 'p'), too_long = "/" + std::string(127, 'p');
    testutil::write_file(table, "a " + too_long + " tmpfs rw 0 0\n" + dev + " " + fits + " " + type + " rw 0 0\n");
    ssmnttab *m = ss_getmntent();
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(std::string(m->mt_dev), dev.substr(0, 127));
    EXPECT_EQ(std::string(m->mt_path), fits);
    EXPECT_EQ(std::string(m->mt_fstype), type.substr(0, 31));
    EXPECT_EQ(ss_getmntent(), nullptr);
}

TEST_F(MntTab, MissingTableIsEmpty) {
    EXPECT_EQ(ss_getmntent(), nullptr);
    ss_endmntent();
    ss_endmntent(); // closing twice does nothing
}
