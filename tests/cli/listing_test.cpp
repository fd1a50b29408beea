// kelpa -l on archives assembled by hand: the kelpa binary as stub, the
// marker, the four trailer strings and a zlib-made payload.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "common/archive_kit.h"
#include "common/testutil.h"

using testutil::run_kelpa;
using testutil::TempDir;

namespace {

const std::string HEADER = "compressed  uncompr. ratio uncompressed_name\n";

std::string le32(std::uint32_t v) {
    std::string s;
    for (int i = 0; i < 4; i++) s.push_back(static_cast<char>(v >> (8 * i)));
    return s;
}

// A gzip member of `data` by zlib, with the given stored name and mtime.
std::string member(const std::string &data, const std::string &name = "", std::uint32_t mtime = 0) {
    std::string gz("\x1f\x8b\x08", 3);
    gz.push_back(name.empty() ? '\0' : '\x08');
    gz += le32(mtime);
    gz += std::string("\x02\x03", 2);
    if (!name.empty()) gz += name + std::string(1, '\0');
    gz += testutil::zlib_deflate_raw(data, 9);
    gz += le32(testutil::zlib_crc32(data));
    gz += le32(static_cast<std::uint32_t>(data.size()));
    return gz;
}

// The statistics row as the listing must print it.
std::string row(long long compressed, long long uncompressed, long long header_bytes, const std::string &name) {
    long long num = uncompressed - (compressed - header_bytes);
    long long permille = uncompressed == 0 ? 0 : num * 1000 / uncompressed;
    char buf[200];
    std::snprintf(buf, sizeof buf, "%9lld %9lld %c%2lld.%1lld%% %s\n", compressed, uncompressed,
                  permille < 0 ? '-' : ' ', (permille < 0 ? -permille : permille) / 10,
                  (permille < 0 ? -permille : permille) % 10, name.c_str());
    return buf;
}

TEST(Listing, PrintsTrailerAndStatisticsRow) {
    TempDir dir;
    const std::string data = testutil::datagen(100000, 11, 0.8);
    const std::string gz = member(data, "payload.tar", 1000000000);
    std::string a = kit::make_archive(dir / "a.run", {"NAME=pkg,X=1", "My package", "./install.sh", "tar xf -"}, gz);
    auto r = run_kelpa({"-l", a});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "Feature: NAME=pkg,X=1\nComment: My package\n    Run: ./install.sh\nExtract: tar xf -\n" + HEADER +
                         row(static_cast<long long>(gz.size()), 100000, 10 + 12 + 8, "payload.tar"));
}

TEST(Listing, EmptyFeaturesAndExtractCommand) {
    TempDir dir;
    const std::string gz = member("abc");
    std::string a = kit::make_archive(dir / "a.run", {"", "c", "", ""}, gz);
    auto r = run_kelpa({"-l", a});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Comment: c\n    Run: \nExtract: cat > %p/%o\n" + HEADER +
                         row(static_cast<long long>(gz.size()), 3, 18, "stdout"));
}

TEST(Listing, UncompressedPayloadHasNoStatistics) {
    TempDir dir;
    std::string a = kit::make_archive(dir / "a.run", {"NOCOMPR", "raw", "run", "cat"}, "plain bytes, not gzip");
    auto r = run_kelpa({"-l", a});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Feature: NOCOMPR\nComment: raw\n    Run: run\nExtract: cat\n"
                     "Statistics unavailable because data was not compressed\n");
}

// A carriage return or an escape sequence must not let a listing show one
// command while another runs: control bytes show as octal escapes.
TEST(Listing, ControlBytesInTheTrailerAreShownAsOctalEscapes) {
    TempDir dir;
    std::string a = kit::make_archive(dir / "a.run",
                                  {"NOCOMPR,K=\x1b[2K", "line\tone\nline two\x7f",
                                   "rm -rf ~ \r./install.sh", "tar xf -\x1b[8m; evil\x1b[0m"},
                                  "raw");
    auto r = run_kelpa({"-l", a});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Feature: NOCOMPR,K=\\033[2K\nComment: line\tone\nline two\\177\n"
                     "    Run: rm -rf ~ \\015./install.sh\nExtract: tar xf -\\033[8m; evil\\033[0m\n"
                     "Statistics unavailable because data was not compressed\n");
}

TEST(Listing, HeaderOnceAndEachArchiveFromItsOwnInput) {
    TempDir dir;
    const std::string g1 = member(std::string(5000, 'a'), "one");
    const std::string g2 = member(testutil::datagen(7000, 12, 0.0), "", 0);
    std::string a = kit::make_archive(dir / "a.run", {"", "first", "", ""}, g1);
    std::string b = kit::make_archive(dir / "b.run", {"", "second", "", ""}, g2);
    auto r = run_kelpa({"-l", a, b});
    EXPECT_EQ(r.status, 0);
    // The second has no stored name: the first archive's must not leak into it.
    EXPECT_EQ(r.out, "Comment: first\n    Run: \nExtract: cat > %p/%o\n" + HEADER +
                         row(static_cast<long long>(g1.size()), 5000, 22, "one") +
                         "Comment: second\n    Run: \nExtract: cat > %p/%o\n" +
                         row(static_cast<long long>(g2.size()), 7000, 18, "stdout"));
}

TEST(Listing, VerboseRowShowsMethodCrcAndDate) {
    TempDir dir;
    const std::string data = "hello, listing\n";
    char crc[16];
    std::snprintf(crc, sizeof crc, "%08x", testutil::zlib_crc32(data));
    testutil::RunOptions env;
    env.env = {"TZ=UTC"};
    struct Case {
        std::uint32_t mtime;
        const char *date;
    };
    for (Case c : {Case{0, "Jan  1 00:00"}, {86400 * 40 + 3600 * 13 + 60 * 7, "Feb 10 13:07"}}) {
        const std::string gz = member(data, "h.txt", c.mtime);
        std::string a = kit::make_archive(dir / "a.run", {"", "v", "", ""}, gz);
        auto r = run_kelpa({"-lv", a}, env);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "Comment: v\n    Run: \nExtract: cat > %p/%o\nmethod  crc     date  time  " + HEADER +
                             "defla " + crc + " " + c.date + " " +
                             row(static_cast<long long>(gz.size()), static_cast<long long>(data.size()), 24, "h.txt"));
    }
}

TEST(Listing, TwoMembersShowFirstNameLastTrailer) {
    TempDir dir;
    const std::string g1 = member("first input", "first.txt");
    const std::string g2 = member("the second input", "second.txt");
    std::string a = kit::make_archive(dir / "a.run", {"", "two", "", ""}, g1 + g2);
    testutil::RunOptions utc;
    utc.env = {"TZ=UTC"};
    auto r = run_kelpa({"-lv", a}, utc);
    char crc[16];
    std::snprintf(crc, sizeof crc, "%08x", testutil::zlib_crc32("the second input"));
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find(std::string("defla ") + crc), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(row(static_cast<long long>(g1.size() + g2.size()), 16, 28, "first.txt")), std::string::npos)
        << r.out;
}

TEST(Listing, AllOnesLengthShowsMinusOneAndNoRatio) {
    TempDir dir;
    std::string gz = member("xyz");
    gz.replace(gz.size() - 4, 4, std::string(4, '\xff'));
    std::string a = kit::make_archive(dir / "a.run", {"", "c", "", ""}, gz);
    auto r = run_kelpa({"-l", a});
    EXPECT_EQ(r.status, 0);
    char expect[100];
    std::snprintf(expect, sizeof expect, "%9zu %9d   0.0%% stdout\n", gz.size(), -1);
    EXPECT_NE(r.out.find(expect), std::string::npos) << r.out;
}

TEST(Listing, LengthsPast2GiBAreShownUnsigned) {
    TempDir dir;
    std::string gz = member("xyz");
    gz.replace(gz.size() - 4, 4, le32(3000000000u));
    std::string a = kit::make_archive(dir / "a.run", {"", "c", "", ""}, gz);
    auto r = run_kelpa({"-l", a});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find(row(static_cast<long long>(gz.size()), 3000000000LL, 18, "stdout")), std::string::npos)
        << r.out;
}

TEST(Listing, CompressedSizePast4GiB) {
    // A sparse payload: the listing reads only the header and the last 8 bytes.
    TempDir dir;
    std::string head = member("abc");
    std::string tail = head.substr(head.size() - 8);
    std::string a = kit::make_archive(dir / "big.run", {"", "big", "", ""}, head);
    const long long pre = static_cast<long long>(kit::preamble({"", "big", "", ""}).size());
    const long long total = pre + (5LL << 30);
    int fd = open(a.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    if (ftruncate64(fd, total) != 0) {
        close(fd);
        GTEST_SKIP() << "no room for a sparse 5 GiB file here";
    }
    ASSERT_EQ(pwrite64(fd, tail.data(), 8, total - 8), 8);
    close(fd);
    auto r = run_kelpa({"-l", a});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find(row(5LL << 30, 3, 18, "stdout")), std::string::npos) << r.out;
}

TEST(Listing, BadArchivesSetStatusAndTheNextIsListed) {
    TempDir dir;
    std::string nomarker = dir / "plain";
    testutil::write_file(nomarker, "#!/bin/sh\necho not an archive\n", 0755);
    std::string notgz = kit::make_archive(dir / "bad.run", {"", "bad", "", ""}, "this is not gzip at all");
    std::string badcm = kit::make_archive(dir / "cm.run", {"", "cm", "", ""}, std::string("\x1f\x8b\x07\x00", 4) + "rest");
    std::string good = kit::make_archive(dir / "good.run", {"", "good", "", ""}, member("ok"));
    auto r = run_kelpa({"-l", nomarker, notgz, badcm, good});
    EXPECT_EQ(r.status, 1);
    const std::string k = testutil::kelpa_bin();
    EXPECT_EQ(r.err, nomarker + ": unable to find preamble magic value\n" + k +
                         ": can only handle GZIP compression method\n" + k + ": " + badcm +
                         ": unknown method 7 -- get newer version of gzip\n");
    EXPECT_EQ(r.out, "Comment: good\n    Run: \nExtract: cat > %p/%o\n" + HEADER +
                         row(static_cast<long long>(member("ok").size()), 2, 18, "stdout"));
}

TEST(Listing, PayloadEndingInsideTheHeaderIsAFatalEof) {
    TempDir dir;
    std::string a = kit::make_archive(dir / "short.run", {"", "s", "", ""}, std::string("\x1f\x8b\x08\x08\0\0\0\0\0\3na", 12));
    auto r = run_kelpa({"-l", a});
    EXPECT_EQ(r.status, 1);
    std::string expect = "\n";
    expect += testutil::kelpa_bin() + ": " + a + ": unexpected end of file\n";
    EXPECT_EQ(r.err, expect);
    EXPECT_EQ(r.out, "");
}

} // namespace
