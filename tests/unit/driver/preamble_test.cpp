#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <string>
#include <unistd.h>

#include "common/archive_kit.h"
#include "common/testutil.h"
#include "driver/driver.h"

using namespace driver;
using testutil::TempDir;

namespace {

using kit::marker;

std::string trailer(const std::string &f, const std::string &c, const std::string &r, const std::string &x) {
    return kit::trailer_bytes({f, c, r, x});
}

// Restores PATH after a test changes it.
class PathGuard {
public:
    PathGuard() : had_(std::getenv("PATH") != nullptr), old_(had_ ? std::getenv("PATH") : "") {}
    ~PathGuard() { had_ ? setenv("PATH", old_.c_str(), 1) : unsetenv("PATH"); }

private:
    bool had_;
    std::string old_;
};

class Preamble : public ::testing::Test {
protected:
    void SetUp() override {
        testutil::reset_codec_state();
        testutil::reset_driver_state();
    }
    // Writes `bytes` as an executable file and runs find_preamble on it.
    int scan(const std::string &bytes) {
        path_ = dir_ / "archive";
        testutil::write_file(path_, bytes, 0755);
        return find_preamble(path_.data());
    }
    static std::string rest_of(int fd) {
        std::string data;
        char buf[4096];
        ssize_t got;
        while ((got = read(fd, buf, sizeof buf)) > 0) data.append(buf, static_cast<std::size_t>(got));
        return data;
    }
    TempDir dir_;
    std::string path_;
};

} // namespace

TEST(Marker, IsTheElevenBytes) { EXPECT_EQ(std::string(get_eop(), MARKER_LEN), marker()); }

TEST_F(Preamble, ReadsTheFourStringsAndStopsAtThePayload) {
    std::string stub(5000, 's');
    int fd = scan(stub + trailer("NAME=demo.tar", "Self-Extracting archive file", "", "") + "PAYLOAD");
    ASSERT_GE(fd, 0);
    EXPECT_STREQ(features, "NAME=demo.tar");
    EXPECT_STREQ(comment, "Self-Extracting archive file");
    EXPECT_STREQ(run_program, "");
    EXPECT_STREQ(pipe_program, "");
    EXPECT_EQ(preamble_end, 5000 + 56);
    EXPECT_EQ(rest_of(fd), "PAYLOAD");
    close(fd);
}

TEST_F(Preamble, AllEmptyStringsPutThePayloadFifteenBytesAfterTheStub) {
    int fd = scan(std::string(100, 'x') + trailer("", "", "", ""));
    ASSERT_GE(fd, 0);
    EXPECT_EQ(preamble_end, 115);
    close(fd);
}

// Stubs whose bytes end in a broken or partial marker must not hide the real one.
class PreambleStubEnd : public Preamble, public ::testing::WithParamInterface<std::string> {};

TEST_P(PreambleStubEnd, FindsTheMarkerAfterTheStub) {
    std::string stub = std::string(3000, 'x') + GetParam();
    int fd = scan(stub + trailer("F", "C", "R", "X") + "P");
    ASSERT_GE(fd, 0);
    EXPECT_STREQ(features, "F");
    EXPECT_STREQ(pipe_program, "X");
    EXPECT_EQ(preamble_end, static_cast<codec::off64>(stub.size() + 11 + 8));
    close(fd);
}

INSTANTIATE_TEST_SUITE_P(Tails, PreambleStubEnd,
                         ::testing::Values("k", "kk", "kelpa", "kelpa+mag", "kelpa+kelpa+", "kelpkelpa+m"));

TEST_F(Preamble, FindsAMarkerSplitAcrossReads) {
    // Reads are of 8191 bytes; put every possible split point across the first boundary.
    for (std::size_t start = 8191 - 10; start <= 8191; start++) {
        SCOPED_TRACE(start);
        testutil::reset_driver_state();
        int fd = scan(std::string(start, 'k') + trailer("F=" + std::to_string(start), "", "", ""));
        ASSERT_GE(fd, 0);
        EXPECT_EQ(std::string(features), "F=" + std::to_string(start));
        EXPECT_EQ(preamble_end, static_cast<codec::off64>(start + 11 + std::strlen(features) + 4));
        close(fd);
    }
}

TEST_F(Preamble, NoMarkerMeansNoTrailer) {
    EXPECT_EQ(scan(std::string(20000, 'k') + "kelpa+magi"), -1);
    EXPECT_EQ(scan(""), -1);
}

TEST_F(Preamble, EndOfFileInsideTheStringsLeavesTheLaterOnesAsTheyWere) {
    std::strcpy(run_program, "old run");
    std::strcpy(pipe_program, "old pipe");
    std::strcpy(comment, "a much longer old comment");
    int fd = scan(std::string("stub").append(marker()).append("F").append(1, '\0').append("cut"));
    ASSERT_GE(fd, 0);
    EXPECT_STREQ(features, "F");
    EXPECT_STREQ(comment, "cut");
    EXPECT_STREQ(run_program, "old run");
    EXPECT_STREQ(pipe_program, "old pipe");
    EXPECT_EQ(preamble_end, 4 + 11 + 2 + 3);
    close(fd);
}

TEST_F(Preamble, OverlongStringKeepsItsFirst1023CharactersAndTheRestStaysAligned) {
    std::string longer(5000, 'c');
    int fd = scan(std::string("stub").append(trailer("F", longer, "R", "X")).append("P"));
    ASSERT_GE(fd, 0);
    EXPECT_EQ(std::string(comment), longer.substr(0, 1023));
    EXPECT_STREQ(run_program, "R");
    EXPECT_STREQ(pipe_program, "X");
    EXPECT_EQ(rest_of(fd), "P");
    close(fd);
}

TEST_F(Preamble, UnresolvableNameIsReported) {
    PathGuard guard;
    setenv("PATH", "/nonexistent", 1);
    char name[] = "no-such-kelpa-program";
    testing::internal::CaptureStderr();
    EXPECT_EQ(find_preamble(name), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "kelpa: unable to find kelpa to build preamble\n");
}

TEST_F(Preamble, BuildThenReadBackGivesTheSameTrailer) {
    std::string stub = "#!/bin/sh\n" + std::string(10000, 'k');
    std::string stub_path = dir_ / "stub";
    testutil::write_file(stub_path, stub, 0755);
    std::strcpy(features, "NOCOMPR,NAME=a");
    std::strcpy(comment, "hello");
    std::strcpy(run_program, "./install.sh");
    std::strcpy(pipe_program, "tar xf -");
    std::string out_path = dir_ / "out";
    int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0755);
    ASSERT_GE(out, 0);
    ASSERT_EQ(build_preamble(stub_path.data(), out), 0);
    close(out);
    EXPECT_EQ(testutil::read_file(out_path), stub + trailer("NOCOMPR,NAME=a", "hello", "./install.sh", "tar xf -"));

    testutil::reset_driver_state();
    int fd = find_preamble(out_path.data());
    ASSERT_GE(fd, 0);
    EXPECT_STREQ(features, "NOCOMPR,NAME=a");
    EXPECT_STREQ(comment, "hello");
    EXPECT_STREQ(run_program, "./install.sh");
    EXPECT_STREQ(pipe_program, "tar xf -");
    EXPECT_EQ(preamble_end, static_cast<codec::off64>(stub.size() + 11 + 15 + 6 + 13 + 9));
    close(fd);
}

TEST_F(Preamble, BuildWithAMissingStubFails) {
    char missing[] = "/nonexistent/stub";
    testing::internal::CaptureStderr();
    EXPECT_EQ(build_preamble(missing, 1), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "kelpa: unable to find kelpa to build preamble\n");
}

class FindProgram : public ::testing::Test {
protected:
    TempDir dir_;
    PathGuard guard_;
};

TEST_F(FindProgram, AnAccessibleNameIsCopied) {
    std::string p = dir_ / "prog";
    testutil::write_file(p, "x", 0755);
    char *r = find_program(p.data());
    ASSERT_NE(r, nullptr);
    EXPECT_NE(r, p.data());
    EXPECT_EQ(std::string(r), p);
}

TEST_F(FindProgram, DotRelativeNamesAreReturnedUntested) {
    char ref[] = "./surely-not-here";
    EXPECT_EQ(find_program(ref), ref);
}

TEST_F(FindProgram, SearchesPathInOrderWithEmptyElementsAsTheCurrentDirectory) {
    std::string a = dir_ / "a", b = dir_ / "b";
    ASSERT_EQ(mkdir(a.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(b.c_str(), 0755), 0);
    testutil::write_file(b + "/prog", "x", 0755);
    testutil::write_file(a + "/prog", "x", 0644); // not executable: skipped
    setenv("PATH", (a + "::" + b).c_str(), 1);
    char ref[] = "prog";
    char *r = find_program(ref);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(std::string(r), b + "/prog");

    // An empty element is the current directory, as the shell reads it.
    char saved[4096];
    ASSERT_NE(getcwd(saved, sizeof saved), nullptr);
    ASSERT_EQ(chdir(a.c_str()), 0);
    testutil::write_file(a + "/here", "x", 0755);
    for (const char *path : {"/nonexistent:", ":/nonexistent", "/nonexistent::/bin"}) {
        setenv("PATH", path, 1);
        r = find_in_path("here");
        EXPECT_STREQ(r != nullptr ? r : "<none>", "./here") << path;
        char rel[] = "bin/sh"; // never taken from the root for an empty element
        r = find_in_path(rel);
        EXPECT_EQ(r, nullptr) << path;
    }
    ASSERT_EQ(chdir(saved), 0);
}

TEST_F(FindProgram, NothingFoundOrNoPathGivesNull) {
    char ref[] = "surely-not-a-program-here";
    setenv("PATH", "/nonexistent", 1);
    EXPECT_EQ(find_program(ref), nullptr);
    unsetenv("PATH");
    EXPECT_EQ(find_program(ref), nullptr);
}

TEST_F(FindProgram, SkipsCandidatesLongerThanTheBuffer) {
    std::string b = dir_ / "b";
    ASSERT_EQ(mkdir(b.c_str(), 0755), 0);
    testutil::write_file(b + "/prog", "x", 0755);
    // The same directory spelled with 1100 more characters: found if it were not skipped.
    std::string longer = b;
    for (int i = 0; i < 550; i++) longer += "/.";
    setenv("PATH", (longer + ":" + b).c_str(), 1);
    char ref[] = "prog";
    char *r = find_program(ref);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(std::string(r), b + "/prog");
}
