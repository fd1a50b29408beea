// The gzip member reader: every header rule, the trailer checks in their
// order, and the end of input anywhere in a member.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>

#include "codec/codec.h"
#include "common/member_harness.h"
#include "common/testutil.h"

using testutil::MemberOptions;
using testutil::run_member;

namespace {

const std::string DATA = "The quick brown fox jumps over the lazy dog, twice: the quick brown fox.\n";

void put_le16(std::string &s, unsigned v) {
    s.push_back(static_cast<char>(v));
    s.push_back(static_cast<char>(v >> 8));
}

void put_le32(std::string &s, std::uint32_t v) {
    put_le16(s, v & 0xffff);
    put_le16(s, v >> 16);
}

// A member of DATA with the given header fields after the fixed ten bytes.
std::string member(int flg, std::uint32_t mtime = 0, const std::string &fields = "", const std::string &data = DATA,
                   int id2 = 0x8b, int cm = 8) {
    std::string gz;
    gz.push_back('\x1f');
    gz.push_back(static_cast<char>(id2));
    gz.push_back(static_cast<char>(cm));
    gz.push_back(static_cast<char>(flg));
    put_le32(gz, mtime);
    gz.push_back('\x02');
    gz.push_back('\x03');
    gz += fields;
    gz += testutil::zlib_deflate_raw(data, 9);
    put_le32(gz, testutil::zlib_crc32(data));
    put_le32(gz, static_cast<std::uint32_t>(data.size()));
    return gz;
}

std::string name_field(const std::string &name) { return name + std::string(1, '\0'); }

// --- Header ----------------------------------------------------------------

TEST(GetMethod, AcceptsBothIdentifications) {
    for (int id2 : {0x8b, 0x9e}) {
        auto r = run_member(member(0, 0, "", DATA, id2));
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, DATA);
    }
}

TEST(GetMethod, RejectsOtherIdentificationsAndMethods) {
    struct Case {
        std::string gz;
        std::string err;
    };
    std::string zip("PK\x03\x04", 4);
    const Case cases[] = {
        {member(0, 0, "", DATA, 0x8c), "kelpa: can only handle GZIP compression method\n"},
        {zip + std::string(30, '\0'), "kelpa: can only handle GZIP compression method\n"},
        {member(0, 0, "", DATA, 0x8b, 7), "kelpa: in.gz: unknown method 7 -- get newer version of gzip\n"},
        {member(0, 0, "", DATA, 0x8b, 0), "kelpa: in.gz: unknown method 0 -- get newer version of gzip\n"},
    };
    for (const Case &c : cases) {
        auto r = run_member(c.gz);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.out, "");
    }
}

TEST(GetMethod, IgnoresUnusedFlagBits) {
    for (int flg : {0x01, 0x20, 0x40, 0x80, 0xe1}) {
        auto r = run_member(member(flg));
        EXPECT_EQ(r.status, 0) << flg << r.err;
        EXPECT_EQ(r.out, DATA);
        EXPECT_EQ(r.header_bytes, 18);
    }
}

TEST(GetMethod, ConsumesPartNumberAndExtraField) {
    std::string fields;
    put_le16(fields, 513);     // part number
    put_le16(fields, 5);       // extra length
    fields += "abcde";
    for (bool verbose : {false, true}) {
        MemberOptions opt;
        opt.verbose = verbose;
        auto r = run_member(member(0x06, 0, fields), opt);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, DATA);
        EXPECT_EQ(r.header_bytes, 10 + 9 + 8);
        EXPECT_EQ(r.err, verbose ? "kelpa: in.gz: part number 513\nkelpa: in.gz: extra field of 5 bytes ignored\n"
                                 : "");
    }
    std::string empty_extra;
    put_le16(empty_extra, 0);
    auto r = run_member(member(0x04, 0, empty_extra));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, DATA);
}

TEST(GetMethod, TakesNonzeroModificationTimeOnly) {
    MemberOptions opt;
    opt.time_stamp = 12345;
    EXPECT_EQ(run_member(member(0, 0), opt).time_stamp, 12345);
    EXPECT_EQ(run_member(member(0, 1700000000u), opt).time_stamp, 1700000000L);
}

TEST(GetMethod, StoredNameReplacesOfnameWhole) {
    const std::string fields = name_field("dir/sub/name") + name_field("a comment");
    struct Case {
        bool to_stdout, list;
        const char *ofname;
    };
    for (Case c : {Case{false, false, "dir/sub/name"}, {true, true, "dir/sub/name"}, {true, false, "keep/me"}}) {
        MemberOptions opt;
        opt.to_stdout = c.to_stdout;
        opt.list = c.list;
        opt.ofname = "keep/me";
        auto r = run_member(member(0x18, 0, fields), opt);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.ofname, c.ofname);
        EXPECT_EQ(r.out, DATA);
        EXPECT_EQ(r.header_bytes, static_cast<long long>(10 + fields.size() + 8));
    }
}

TEST(GetMethod, NameLimitIs1023Characters) {
    const std::string longest(1023, 'n');
    auto ok = run_member(member(0x08, 0, name_field(longest)));
    EXPECT_EQ(ok.status, 0) << ok.err;
    EXPECT_EQ(ok.ofname, longest);

    auto bad = run_member(member(0x08, 0, name_field(longest + "n")));
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(bad.err, "\nkelpa: in.gz: corrupted input -- file name too large\n");
    EXPECT_EQ(bad.out, "");
}

TEST(ToBasename, MovesTheLastComponentToTheFront) {
    struct Case {
        const char *in, *out;
    };
    for (Case c : {Case{"x/y/z", "z"}, {"name", "name"}, {"/abs", "abs"}, {"dir/", ""}, {"", ""}}) {
        char buf[32];
        std::strcpy(buf, c.in);
        EXPECT_EQ(codec::to_basename(buf), buf);
        EXPECT_STREQ(buf, c.out);
    }
}

// --- Trailer ----------------------------------------------------------------

TEST(Unzip, ChecksCrcBeforeLengthAfterWritingEverything) {
    const std::string good = member(0);
    const std::size_t crc_at = good.size() - 8;
    struct Case {
        const char *name;
        int crc_delta, len_delta;
        const char *text;
    };
    for (Case c : {Case{"crc", 1, 0, "crc error"}, {"length", 0, 1, "length error"}, {"both", 1, 1, "crc error"}}) {
        SCOPED_TRACE(c.name);
        std::string gz = good;
        gz[crc_at] = static_cast<char>(gz[crc_at] + c.crc_delta);
        gz[crc_at + 4] = static_cast<char>(gz[crc_at + 4] + c.len_delta);
        auto r = run_member(gz);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, std::string("\nkelpa: in.gz: invalid compressed data--") + c.text + "\n");
        EXPECT_EQ(r.out, DATA);
    }
}

TEST(Unzip, IgnoresWhatFollowsTheFirstMember) {
    const std::string second = member(0, 0, "", "other data");
    for (const std::string &tail : {second, std::string("garbage"), std::string(40000, 'g')}) {
        auto r = run_member(member(0) + tail);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, DATA);
    }
}

TEST(Unzip, EndOfInputAnywhereIsUnexpectedEof) {
    std::string extra;
    put_le16(extra, 3);
    extra += "xyz";
    const std::string gz = member(0x1c, 99, extra + name_field("nm") + name_field("cm"));
    for (std::size_t len = 0; len < gz.size(); len++) {
        SCOPED_TRACE(len);
        auto r = run_member(gz.substr(0, len));
        ASSERT_EQ(r.status, 1);
        ASSERT_EQ(r.err, "\nkelpa: in.gz: unexpected end of file\n");
    }
    MemberOptions pipe;
    pipe.through_pipe = true;
    pipe.chunk = 3;
    auto r = run_member(gz.substr(0, gz.size() - 1), pipe);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "\nkelpa: in.gz: unexpected end of file\n");
}

TEST(Unzip, FlippedBytesNeverPassAsGoodData) {
    const std::string data = testutil::datagen(3000, 7, 0.6);
    const std::string gz = member(0x08, 0, name_field("f"), data);
    std::mt19937 rng(20261207);
    for (int round = 0; round < 300; round++) {
        std::string bad = gz;
        const int flips = 1 + static_cast<int>(rng() % 3);
        for (int i = 0; i < flips; i++) bad[rng() % bad.size()] ^= static_cast<char>(1u << (rng() % 8));
        auto r = run_member(bad);
        SCOPED_TRACE(round);
        ASSERT_TRUE(r.status == 0 || r.status == 1 || r.status == 2) << r.status;
        if (r.status == 0) {
            ASSERT_TRUE(r.out == data);
        }
    }
}

TEST(Unzip, WriteFailureNamesTheOutput) {
    MemberOptions opt;
    opt.output = "/dev/full";
    auto r = run_member(member(0), opt);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "\nkelpa: out: No space left on device\n");
}

// --- The corrupt members of tests/data ------------------------------------------

TEST(Unzip, CorruptMembersEndWithTheirMessage) {
    const std::string pre = "\nkelpa: in.gz: ";
    const std::string violated = pre + "invalid compressed data--format violated\n";
    struct Case {
        const char *file;
        int status;
        std::string err;
        const char *out;
    };
    const Case cases[] = {
        {"bad_magic.gz", 2, "kelpa: can only handle GZIP compression method\n", ""},
        {"bad_method.gz", 2, "kelpa: in.gz: unknown method 9 -- get newer version of gzip\n", ""},
        {"stored_nlen.gz", 1, violated, ""},
        {"block_type3.gz", 1, violated, ""},
        {"hlit_30.gz", 1, violated, ""},
        {"fixed_symbol_286.gz", 1, violated, ""},
        {"fixed_distance_30.gz", 1, violated, ""},
        {"incomplete_literal.gz", 1, " incomplete literal tree\n" + violated, ""},
        {"incomplete_distance.gz", 1, " incomplete distance tree\n" + violated, ""},
        {"bad_crc.gz", 1, pre + "invalid compressed data--crc error\n", "abc"},
        {"bad_length.gz", 1, pre + "invalid compressed data--length error\n", "abc"},
        {"truncated_trailer.gz", 1, pre + "unexpected end of file\n", "abc"},
        {"name_1024.gz", 1, pre + "corrupted input -- file name too large\n", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.file);
        auto r = run_member(testutil::read_file(std::string(KELPA_SOURCE_DIR) + "/tests/data/" + c.file));
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, c.out);
    }
}

} // namespace
