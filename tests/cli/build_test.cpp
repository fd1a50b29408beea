// Build mode end to end: the real kelpa writes archives of real files, and
// each is checked byte for byte: stub, marker, the four strings, payload.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "common/archive_kit.h"
#include "common/testutil.h"
#include "../unit/codec/encoder_check.h"

using namespace encoder_check;
using testutil::read_file;
using testutil::run_kelpa;
using testutil::write_file;

namespace {

struct Archive : kit::Trailer {
    std::string payload;
};

// Splits an archive into its parts, checking that it begins with the stub
// (kelpa itself) and the marker.
bool parse_archive(const std::string &a, Archive &out) {
    const std::string stub = read_file(testutil::kelpa_bin());
    if (a.compare(0, stub.size(), stub) != 0) {
        ADD_FAILURE() << "archive does not begin with the stub image";
        return false;
    }
    const std::size_t pos = kit::read_trailer(a, stub.size(), &out);
    if (pos == std::string::npos) {
        ADD_FAILURE() << "no marker after the stub image, or its strings cut";
        return false;
    }
    out.payload = a.substr(pos);
    return true;
}

// A fatal codec message: a blank line, then the program's name and the text.
std::string codec_message(const std::string &text) {
    return std::string("\n").append(testutil::kelpa_bin()).append(": ").append(text).append("\n");
}

class Build : public ::testing::Test {
protected:
    testutil::TempDir dir;
    testutil::RunOptions in_dir() const {
        testutil::RunOptions o;
        o.cwd = dir.path();
        o.stdin_null = true;
        return o;
    }
    void file(const std::string &name, const std::string &data) { write_file(dir / name, data); }
};

TEST_F(Build, WritesStubMarkerStringsAndOneMemberPerInput) {
    mkdir((dir / "dir").c_str(), 0755);
    mkdir((dir / "dir/sub").c_str(), 0755);
    const std::string data = testutil::datagen(300000, 3, 0.75);
    file("dir/sub/file.tar", data);
    auto r = run_kelpa({"dir/sub/file.tar"}, in_dir());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    Archive a;
    ASSERT_TRUE(parse_archive(r.out, a));
    EXPECT_EQ(a.features, "NAME=file.tar");
    EXPECT_EQ(a.comment, "Self-Extracting archive file");
    EXPECT_EQ(a.run, "");
    EXPECT_EQ(a.extract, "");
    std::vector<Member> ms;
    ASSERT_TRUE(split_members(a.payload, ms));
    ASSERT_EQ(ms.size(), 1u);
    EXPECT_EQ(ms[0].name, "file.tar");
    EXPECT_EQ(ms[0].data, data);
    EXPECT_EQ(ms[0].crc, testutil::zlib_crc32(data));
    EXPECT_EQ(ms[0].isize, data.size());
}

TEST_F(Build, ArchivesRealFiles) {
    // The kelpa executable and a source file: binary and text as they come.
    const std::string exe = read_file(testutil::kelpa_bin());
    const std::string src = read_file(std::string(KELPA_SOURCE_DIR) + "/src/codec/trees.cpp");
    file("kelpa.bin", exe);
    file("trees.cpp", src);
    auto r = run_kelpa({"kelpa.bin", "trees.cpp"}, in_dir());
    EXPECT_EQ(r.status, 0) << r.err;
    Archive a;
    ASSERT_TRUE(parse_archive(r.out, a));
    std::vector<Member> ms;
    ASSERT_TRUE(split_members(a.payload, ms));
    ASSERT_EQ(ms.size(), 2u);
    EXPECT_TRUE(ms[0].data == exe);
    EXPECT_TRUE(ms[1].data == src);
    EXPECT_EQ(ms[1].isize, std::uint32_t(exe.size() + src.size()));
    EXPECT_LT(a.payload.size(), exe.size()) << "the payload compresses";
}

// The member must not depend on how the input arrives: a pipe that delivers
// its bytes in odd pieces gives the same archive as the file itself.
TEST_F(Build, PipeInputGivesTheSameArchiveAsAFile) {
    file("data", testutil::datagen(300000, 7, 0.0)); // random: blocks are stored, which a slide forbids
    auto o = in_dir();
    o.env = {"KELPA=" + testutil::kelpa_bin()};
    const std::string kelpa = " \"$KELPA\" -p \"$KELPA\" /dev/stdin";
    auto from_file = testutil::run({"/bin/sh", "-c", kelpa + " < data"}, o);
    auto piped = testutil::run({"/bin/sh", "-c",
                                "{ head -c 1000 data; sleep 0.2; head -c 70001 data | tail -c 69001; sleep 0.2;"
                                " tail -c +70002 data; } |" + kelpa},
                               o);
    ASSERT_EQ(from_file.status, 0) << from_file.err;
    ASSERT_EQ(piped.status, 0) << piped.err;
    EXPECT_TRUE(piped.out == from_file.out) << "the pieces changed the member";
}

TEST_F(Build, OptionsFillTheTrailerInCommandLineOrder) {
    file("a", "alpha");
    auto r = run_kelpa({"-F", "X=1", "-O", "acme", "-V", "/tmp", "-S", "sub", "-C", "note", "-r", "sh install",
                        "-f", "tar xf -", "a"},
                       in_dir());
    EXPECT_EQ(r.status, 0) << r.err;
    Archive a;
    ASSERT_TRUE(parse_archive(r.out, a));
    EXPECT_EQ(a.features, "X=1,KX_VENDOR=acme,VFYFS=/tmp,FSSUB=sub,NAME=a");
    EXPECT_EQ(a.comment, "note");
    EXPECT_EQ(a.run, "sh install");
    EXPECT_EQ(a.extract, "tar xf -");
}

TEST_F(Build, RawArchiveHoldsTheInputsBackToBack) {
    const std::string a_data = testutil::datagen(70000, 4, 0.5);
    file("a", a_data);
    file("b", "bravo");
    file("empty", "");
    auto r = run_kelpa({"-a", "a", "empty", "b"}, in_dir());
    EXPECT_EQ(r.status, 0) << r.err;
    Archive a;
    ASSERT_TRUE(parse_archive(r.out, a));
    EXPECT_EQ(a.features, "NOCOMPR,NAME=a");
    EXPECT_TRUE(a.payload == a_data + "bravo");
}

TEST_F(Build, FirstInputNamedLikeTheFlagMakesThePayloadRaw) {
    file("NOCOMPR.tar", "raw bytes");
    file("b", "more");
    auto r = run_kelpa({"NOCOMPR.tar", "b"}, in_dir());
    EXPECT_EQ(r.status, 0) << r.err;
    Archive a;
    ASSERT_TRUE(parse_archive(r.out, a));
    EXPECT_EQ(a.features, "NAME=NOCOMPR.tar");
    EXPECT_EQ(a.payload, "raw bytesmore");
}

TEST_F(Build, SeveralInputsGiveMembersWithTheRunningTotal) {
    file("a", testutil::datagen(5000, 5, 0.5));
    file("b", testutil::datagen(7000, 6, 0.5));
    file("empty", "");
    auto r = run_kelpa({"a", "empty", "b"}, in_dir());
    EXPECT_EQ(r.status, 0) << r.err;
    Archive a;
    ASSERT_TRUE(parse_archive(r.out, a));
    EXPECT_EQ(a.features, "NAME=a");
    std::vector<Member> ms;
    ASSERT_TRUE(split_members(a.payload, ms));
    ASSERT_EQ(ms.size(), 3u);
    EXPECT_EQ(ms[1].name, "empty");
    EXPECT_EQ(ms[1].data, "");
    EXPECT_EQ(ms[0].isize, 5000u);
    EXPECT_EQ(ms[1].isize, 5000u);
    EXPECT_EQ(ms[2].isize, 12000u);
    // The archive's last four bytes: the payload's total size.
    EXPECT_EQ(le32(r.out, r.out.size() - 4), 12000u);
}

TEST_F(Build, MissingInputIsReportedSkippedAndFailsTheBuild) {
    file("a", "alpha");
    file("b", "bravo");
    for (bool raw : {false, true}) {
        std::vector<std::string> args{"a", "missing", "b"};
        if (raw) args.insert(args.begin(), "-a");
        auto r = run_kelpa(args, in_dir());
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "missing: No such file or directory\n");
        Archive a;
        ASSERT_TRUE(parse_archive(r.out, a));
        if (raw) {
            EXPECT_EQ(a.payload, "alphabravo");
            continue;
        }
        std::vector<Member> ms;
        ASSERT_TRUE(split_members(a.payload, ms));
        ASSERT_EQ(ms.size(), 2u);
        EXPECT_EQ(ms[1].data, "bravo");
        EXPECT_EQ(ms[1].isize, 10u);
    }
}

TEST_F(Build, FullDeviceEndsWithTheWriteError) {
    file("a", "alpha");
    for (const char *opt : {"-C", "-a"}) {
        testutil::RunOptions o = in_dir();
        o.stdout_fd = open("/dev/full", O_WRONLY);
        auto r = run_kelpa({opt, "x", "a"}, o);
        close(o.stdout_fd);
        EXPECT_EQ(r.status, 1) << opt;
        EXPECT_EQ(r.err, codec_message("No space left on device")) << opt;
    }
}

TEST_F(Build, StubProblemsStopTheBuildBeforeAnyPayload) {
    file("a", "alpha");
    auto r = run_kelpa({"-p", "/nonexistent/stub", "a"}, in_dir());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, testutil::kelpa_bin() + ": unable to find kelpa to build preamble\n");

    // A directory passes the execute test but cannot be read.
    r = run_kelpa({"-p", dir.path(), "a"}, in_dir());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, dir.path() + ": Is a directory\n");
}

// A directory opens but cannot be read: reported and skipped like an input
// that cannot be opened, never begun as a member.
TEST_F(Build, DirectoryInputIsReportedSkippedAndFailsTheBuild) {
    mkdir((dir / "d").c_str(), 0755);
    file("a", "alpha");
    for (bool raw : {false, true}) {
        std::vector<std::string> args{"a", "d", "a"};
        if (raw) args.insert(args.begin(), "-a");
        auto r = run_kelpa(args, in_dir());
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "d: Is a directory\n");
        Archive a;
        ASSERT_TRUE(parse_archive(r.out, a));
        if (raw) {
            EXPECT_EQ(a.payload, "alphaalpha");
        } else {
            std::vector<Member> ms;
            ASSERT_TRUE(split_members(a.payload, ms));
            ASSERT_EQ(ms.size(), 2u);
            EXPECT_EQ(ms[0].data + ms[1].data, "alphaalpha");
        }
    }
}

// A read that fails part-way ends the build: what was read is not taken for the file.
TEST_F(Build, ReadErrorOnAnInputEndsTheBuild) {
    file("a", "alpha");
    if (access("/proc/self/mem", R_OK) != 0) GTEST_SKIP() << "no /proc/self/mem to fail a read";
    for (bool raw : {false, true}) {
        std::vector<std::string> args{"a", "/proc/self/mem", "a"};
        if (raw) args.insert(args.begin(), "-a");
        auto r = run_kelpa(args, in_dir());
        if (r.status == 0) GTEST_SKIP() << "/proc/self/mem reads here (user-mode emulation)";
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(testutil::ends_with(r.err, codec_message("/proc/self/mem: Input/output error"))) << r.err;
    }
}

// Inputs a build could only turn into an archive that cannot run.
TEST_F(Build, BuildsThatCouldNotRunEndWithStatusOne) {
    file("a", "alpha");
    file("empty", "");
    const std::string bin = testutil::kelpa_bin();
    // The archive being written as an input: nothing is written, whatever
    // the thread count and however standard output was opened.
    for (const char *threads : {"1", "4"}) {
        for (int flags : {O_WRONLY | O_CREAT | O_TRUNC, O_WRONLY | O_APPEND}) {
            file("out.run", "kept");
            testutil::RunOptions o = in_dir();
            o.env = {std::string("KELPA_THREADS=") + threads};
            o.stdout_fd = open((dir / "out.run").c_str(), flags);
            auto r = run_kelpa({"a", "out.run"}, o);
            close(o.stdout_fd);
            EXPECT_EQ(r.status, 1) << threads;
            EXPECT_EQ(r.err, bin + ": out.run is the archive being written\n") << threads;
            EXPECT_EQ(read_file(dir / "out.run"), flags & O_TRUNC ? "" : "kept") << threads;
        }
    }
    // An empty raw payload: every run would refuse it.
    auto e = run_kelpa({"-a", "empty", "empty"}, in_dir());
    EXPECT_EQ(e.status, 1);
    EXPECT_EQ(e.err, bin + ": the archive holds no data\n");
    EXPECT_EQ(run_kelpa({"-a", "empty", "a"}, in_dir()).status, 0);
    EXPECT_EQ(run_kelpa({"empty"}, in_dir()).status, 0) << "an empty member is data";
    // Another program as the stub: refused before anything is written.
    auto p = run_kelpa({"-p", "/bin/true", "a"}, in_dir());
    EXPECT_EQ(p.status, 1);
    EXPECT_EQ(p.out, "");
    EXPECT_EQ(p.err, bin + ": /bin/true is not a kelpa program\n");
}

TEST_F(Build, NamesThatDoNotFitAreRefusedBeforeAnythingIsWritten) {
    const std::string longest_entry(250, 'n'); // "NAME=" + 250 fills the 256-byte entry
    file(longest_entry, "fits");
    auto ok = run_kelpa({longest_entry}, in_dir());
    EXPECT_EQ(ok.status, 0) << ok.err;
    Archive a;
    ASSERT_TRUE(parse_archive(ok.out, a));
    EXPECT_EQ(a.features, "NAME=" + longest_entry);

    const std::string too_long_entry(251, 'n');
    file(too_long_entry, "does not fit");
    std::string too_long_path = "./";
    while (too_long_path.size() < 1024) too_long_path += "./";
    too_long_path += "a";
    file("a", "alpha");
    struct Case {
        std::vector<std::string> args;
        std::string culprit;
    } cases[] = {{{too_long_entry}, too_long_entry},
                 {{"a", too_long_path}, too_long_path},
                 {{"-a", too_long_path}, too_long_path}};
    for (const Case &c : cases) {
        auto r = run_kelpa(c.args, in_dir());
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find(c.culprit + ": file name too long"), std::string::npos) << r.err;
    }
}

// The first input's name becomes the NAME entry: one that would split the
// feature list is refused before a byte is written; later inputs may have any name.
TEST_F(Build, FirstInputNamesThatWouldSplitTheFeatureListAreRefused) {
    for (const std::string name : {"release,PATH=.,x.tar", "say\"hi\".tar", "back\\slash.tar"}) {
        file(name, "data");
        auto r = run_kelpa({"-a", "dir/../" + name}, in_dir());
        EXPECT_EQ(r.status, 1) << name;
        EXPECT_EQ(r.out, "") << name;
        EXPECT_EQ(r.err, testutil::kelpa_bin() + ": dir/../" + name +
                             ": the first input's name may not hold a comma, a double quote or a backslash\n");
        file("first", "one");
        auto later = run_kelpa({"-a", "first", name}, in_dir());
        EXPECT_EQ(later.status, 0) << later.err;
    }
    // A comma in a directory of the path is no part of the name.
    ASSERT_EQ(mkdir((dir / "a,b").c_str(), 0755), 0);
    file("a,b/app.tar", "data");
    auto ok = run_kelpa({"-a", "a,b/app.tar"}, in_dir());
    EXPECT_EQ(ok.status, 0) << ok.err;
}

// A space check that could never pass would refuse every run of the archive.
TEST_F(Build, UnusableSpaceCheckValuesAreRefused) {
    file("a", "data");
    const std::string bin = testutil::kelpa_bin();
    struct Case {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"-V", "/", "-S", "kx"}, bin + ": -V /: the space check needs a directory of two characters or more\n"},
        {{"-V", "x", "-S", "kx"}, bin + ": -V x: the space check needs a directory of two characters or more\n"},
        {{"-V", "/tmp", "-S", "k"}, bin + ": -S k: the extraction directory needs a name of two characters or more\n"},
        {{"-V", "/tmp"}, bin + ": -V needs -S, the name of the extraction directory under it\n"},
    };
    for (const Case &c : cases) {
        std::vector<std::string> args = c.args;
        args.push_back("a");
        auto r = run_kelpa(args, in_dir());
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, c.message);
    }
    for (const std::vector<std::string> &ok : {std::vector<std::string>{"-S", "k", "a"},
                                               std::vector<std::string>{"-V", "/t", "-S", "kx", "a"}}) {
        auto r = run_kelpa(ok, in_dir());
        EXPECT_EQ(r.status, 0) << r.err;
    }
}

TEST_F(Build, ListingShowsWhatWasBuilt) {
    file("a", testutil::datagen(5000, 5, 0.5));
    file("b", testutil::datagen(7000, 6, 0.5));
    auto gz = run_kelpa({"a", "b"}, in_dir());
    ASSERT_EQ(gz.status, 0) << gz.err;
    write_file(dir / "gz.arc", gz.out, 0755);
    auto raw = run_kelpa({"-a", "-C", "raw one", "a"}, in_dir());
    ASSERT_EQ(raw.status, 0) << raw.err;
    write_file(dir / "raw.arc", raw.out, 0755);

    auto r = run_kelpa({"-l", dir / "gz.arc", dir / "raw.arc"}, in_dir());
    EXPECT_EQ(r.status, 0) << r.err;
    Archive a;
    ASSERT_TRUE(parse_archive(gz.out, a));
    char sizes[64];
    std::snprintf(sizes, sizeof sizes, "%9ld %9ld ", long(a.payload.size()), 12000L);
    const std::string want_gz = "Feature: NAME=a\nComment: Self-Extracting archive file\n    Run: \n"
                                "Extract: cat > %p/%o\ncompressed  uncompr. ratio uncompressed_name\n" +
                                std::string(sizes);
    const std::string want_raw = "Feature: NOCOMPR,NAME=a\nComment: raw one\n    Run: \nExtract: cat > %p/%o\n"
                                 "Statistics unavailable because data was not compressed\n";
    ASSERT_EQ(r.out.substr(0, want_gz.size()), want_gz);
    std::size_t row_end = r.out.find('\n', want_gz.size());
    ASSERT_NE(row_end, std::string::npos);
    EXPECT_EQ(r.out.substr(row_end - 2, 3), " a\n") << "the first member's stored name";
    EXPECT_EQ(r.out.substr(row_end + 1), want_raw);
}

// A placeholder where a run will refuse all but plain values is worth a
// warning while the archive can still be made otherwise; it is made anyway.
TEST_F(Build, PlaceholderInAnUncertainPlaceIsWarnedAbout) {
    file("a", "alpha");
    const std::string rest = " cannot be quoted safely where it stands in the %s command: a run refuses any value "
                             "with characters other than letters, digits and _ . / + - : , = @ %\n";
    auto warning = [&](const char *which, const char *what) {
        std::string w = testutil::kelpa_bin() + ": warning: " + which + rest;
        return w.replace(w.find("%s"), 2, what);
    };
    auto r = run_kelpa({"-f", "cat <<EOF > got\n%p\nEOF", "-r", "printf %s \"${X:-%o}\" \"%p\"", "a"}, in_dir());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, warning("%p", "extract") + warning("%o", "run"));
    Archive a;
    ASSERT_TRUE(parse_archive(r.out, a));
    EXPECT_EQ(a.extract, "cat <<EOF > got\n%p\nEOF");

    // Places followed exactly draw nothing.
    r = run_kelpa({"-f", "tar xf - -C \"%p\"", "-r", "sh '%p/install' \"$(basename %o)\" # %o", "a"}, in_dir());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
}

} // namespace
