// Faults from outside, end to end: damaged archives, extract commands that
// fail or stop reading, outputs that refuse bytes, inputs that cannot be read,
// odd ways of reaching an archive and hostile trailers. A failed run must end
// with a message and status 1, and its run command must never run.
#include <gtest/gtest.h>

#include <cstdint>
#include <dirent.h>
#include <fcntl.h>
#include <ostream>
#include <random>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "common/archive_kit.h"
#include "common/testutil.h"

using testutil::ends_with;
using testutil::RunOptions;
using testutil::RunResult;
using testutil::TempDir;

namespace {

class Faults : public ::testing::Test {
protected:
    TempDir dir;
    std::string arc = dir / "app.run";

    RunOptions in_dir() const {
        RunOptions o;
        o.cwd = dir.path();
        o.stdin_null = true;
        o.env = {"ARC=" + arc, "KELPA=" + testutil::kelpa_bin()};
        return o;
    }
    bool ran() const { return access((dir / "ran").c_str(), F_OK) == 0; }
    RunResult sh(const std::string &script) const { return testutil::run({"/bin/sh", "-c", script}, in_dir()); }

    // What the directory holds besides the archive: a failed run must leave nothing.
    std::set<std::string> leftovers() const {
        std::set<std::string> names;
        DIR *d = opendir(dir.path().c_str());
        while (struct dirent *e = readdir(d)) names.insert(e->d_name);
        closedir(d);
        for (const char *n : {".", "..", "app.run", "a"}) names.erase(n);
        return names;
    }

    // Builds arc with kelpa itself from one input "a" holding data.
    void build(const std::vector<std::string> &options, const std::string &data) {
        testutil::write_file(dir / "a", data);
        int fd = open(arc.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0755);
        ASSERT_GE(fd, 0);
        RunOptions o = in_dir();
        o.stdout_fd = fd;
        std::vector<std::string> args = options;
        args.push_back("a");
        auto r = testutil::run_kelpa(args, o);
        close(fd);
        ASSERT_EQ(r.status, 0) << r.err;
    }

    // The stub copy with the marker and then `rest`, byte for byte.
    void hostile(const std::string &rest) {
        testutil::write_file(arc, testutil::read_file(testutil::kelpa_bin()) + rest, 0755);
    }

    // Offset of the marker and of the payload in arc.
    void layout(const std::string &bytes, std::size_t &marker_at, std::size_t &payload_at) const {
        marker_at = bytes.find(kit::marker());
        ASSERT_NE(marker_at, std::string::npos);
        payload_at = marker_at + kit::marker().size();
        for (int i = 0; i < 4; i++) payload_at = bytes.find('\0', payload_at) + 1;
    }

    // Runs through setpriv as nobody when the tests run as root, whom no
    // permission bit stops. Empty when that is not possible.
    std::vector<std::string> unprivileged(std::vector<std::string> argv) const {
        if (geteuid() != 0) return argv;
        if (access("/usr/bin/setpriv", X_OK) != 0) return {};
        chmod(dir.path().c_str(), 0755);
        argv.insert(argv.begin(), {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
        return argv;
    }
};

const std::string eof_message(const std::string &arc) { return arc + ": " + arc + ": unexpected end of file\n"; }

} // namespace

// Every cut of the trailer, and of the first and last 64 bytes of the payload,
// fails before the payload would be handed on (so before the pause).
TEST_F(Faults, TruncatedArchiveFailsAtEveryCut) {
    build({"-f", "cat > /dev/null", "-r", "touch ran"}, testutil::datagen(40000, 7, 0.5));
    const std::string bytes = testutil::read_file(arc);
    std::size_t marker_at = 0, payload_at = 0;
    ASSERT_NO_FATAL_FAILURE(layout(bytes, marker_at, payload_at));
    std::vector<std::size_t> cuts;
    for (std::size_t i = bytes.size(); i-- > bytes.size() - 64;) cuts.push_back(i);
    for (std::size_t i = payload_at + 64; i-- > marker_at;) cuts.push_back(i);
    // Longest first, so that each cut only shortens the file.
    for (std::size_t cut : cuts) {
        ASSERT_EQ(truncate(arc.c_str(), static_cast<off_t>(cut)), 0);
        auto r = testutil::run({arc}, in_dir());
        EXPECT_EQ(r.status, 1) << "cut at " << cut << ": " << r.err;
        // Without the whole marker the file is a bare copy of kelpa.
        const std::string tail = cut < marker_at + kit::marker().size() ? ": what files do you want to compress?\n"
                                                                    : eof_message(arc);
        EXPECT_TRUE(ends_with(r.err, tail)) << "cut at " << cut << ": " << r.err;
        ASSERT_FALSE(ran()) << "cut at " << cut;
    }
}

// A changed byte anywhere a reader checks: the magic, method and flags of the
// header, the compressed data, the CRC and the length. (Time, extra flags,
// system and the stored name are free, so a change there leaves a valid archive.)
TEST_F(Faults, FlippedPayloadByteFailsWithACodecMessage) {
    build({"-f", "cat > /dev/null", "-r", "touch ran"}, testutil::datagen(40000, 8, 0.5));
    const std::string bytes = testutil::read_file(arc);
    std::size_t marker_at = 0, payload_at = 0;
    ASSERT_NO_FATAL_FAILURE(layout(bytes, marker_at, payload_at));
    const std::size_t data_at = payload_at + 12; // header and the name "a"
    std::mt19937 rng(2026);
    std::vector<std::size_t> where = {payload_at, payload_at + 1, payload_at + 2, payload_at + 3};
    for (int i = 0; i < 100; i++) where.push_back(data_at + rng() % (bytes.size() - data_at));
    const std::vector<std::string> endings = {
        ": unknown compression method\n",          ": invalid compressed data--format violated\n",
        ": invalid compressed data--crc error\n",   ": invalid compressed data--length error\n",
        ": unexpected end of file\n"};
    for (std::size_t at : where) {
        const char flipped = static_cast<char>(bytes[at] ^ static_cast<char>(1 + rng() % 255));
        for (char c : {flipped, bytes[at]}) {
            int fd = open(arc.c_str(), O_WRONLY | O_CLOEXEC);
            ASSERT_GE(fd, 0);
            ASSERT_EQ(pwrite(fd, &c, 1, static_cast<off_t>(at)), 1);
            close(fd); // before the run: an executable open for writing cannot be started
            if (c != flipped) break;
            auto r = testutil::run({arc}, in_dir());
            EXPECT_EQ(r.status, 1) << "byte " << at - payload_at << ": " << r.err;
            bool known = false;
            for (const auto &e : endings) known = known || ends_with(r.err, e);
            EXPECT_TRUE(known) << "byte " << at - payload_at << ": " << r.err;
            ASSERT_FALSE(ran()) << "byte " << at - payload_at;
        }
    }
}

struct ExtractCase {
    const char *name;
    const char *command;
    const char *tail; // of standard error
    friend void PrintTo(const ExtractCase &c, std::ostream *os) { *os << c.command; }
};

class ExtractCommandFaults : public Faults, public ::testing::WithParamInterface<ExtractCase> {};

// A megabyte does not fit a pipe, so a command that stops reading is noticed.
TEST_P(ExtractCommandFaults, FailTheRunWithoutRunningAnything) {
    const ExtractCase &c = GetParam();
    kit::make_archive(arc, {"NAME=a", "", "touch ran", c.command},
                      testutil::zlib_gzip(testutil::datagen(1 << 20, 5, 0.9), 6, 0, "a"));
    auto r = testutil::run({arc}, in_dir());
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(ends_with(r.err, c.tail)) << r.err;
    EXPECT_FALSE(ran());
    EXPECT_EQ(leftovers(), std::set<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(
    Commands, ExtractCommandFaults,
    ::testing::Values(ExtractCase{"stops_after_one_byte", "head -c 1 >/dev/null", ": a: Broken pipe\n"},
                      ExtractCase{"exits_non_zero", "cat >/dev/null; exit 3",
                                  ": extraction of a failed\n\nCommand: cat >/dev/null; exit 3\n"}),
    [](const auto &info) { return std::string(info.param.name); });

struct OutputCase {
    const char *name;
    const char *script; // $ARC is the archive, $KELPA the builder
    int status;
    const char *tail;   // of standard error
    friend void PrintTo(const OutputCase &c, std::ostream *os) { *os << c.script; }
};

class OutputFaults : public Faults, public ::testing::WithParamInterface<OutputCase> {};

TEST_P(OutputFaults, NeverEndInSuccess) {
    build({"-r", "touch ran"}, testutil::datagen(1 << 20, 6, 0.9));
    auto r = sh(GetParam().script);
    EXPECT_EQ(r.status, GetParam().status) << r.err;
    EXPECT_TRUE(ends_with(r.err, GetParam().tail)) << r.err;
    EXPECT_FALSE(ran());
}

INSTANTIATE_TEST_SUITE_P(
    Outputs, OutputFaults,
    ::testing::Values(OutputCase{"extract_to_full_device", "\"$ARC\" -x >/dev/full", 1, ": a: No space left on device\n"},
                      OutputCase{"list_to_full_device", "\"$ARC\" -l >/dev/full", 1, ": stdout: No space left on device\n"},
                      OutputCase{"extract_to_closed_output", "\"$ARC\" -x >&-", 1, ": a: Bad file descriptor\n"},
                      OutputCase{"list_to_closed_output", "\"$ARC\" -l >&-", 1, ": stdout: Bad file descriptor\n"},
                      OutputCase{"build_to_closed_output", "\"$KELPA\" a >&-", 1, ": Bad file descriptor\n"},
                      // Like any filter, extraction to a reader that left dies of SIGPIPE (128 + 13).
                      OutputCase{"extract_to_pipe_whose_reader_exits",
                                 "{ \"$ARC\" -x; echo \"status=$?\" >&2; } | head -c 1 >/dev/null", 0,
                                 "status=141\n"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(Faults, UnusableBuildInputsFailTheBuild) {
    ASSERT_EQ(mkdir((dir / "d").c_str(), 0755), 0);
    testutil::write_file(dir / "u", "secret", 0);
    struct Case {
        std::string input;
        std::string message;
    };
    for (const Case &c : {Case{"d", "d: Is a directory\n"}, Case{"u", "u: Permission denied\n"}}) {
        std::vector<std::string> argv = unprivileged({testutil::kelpa_bin(), c.input});
        if (argv.empty()) GTEST_SKIP() << "running as root without setpriv";
        RunOptions o = in_dir();
        o.stdout_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
        auto r = testutil::run(argv, o);
        close(o.stdout_fd);
        EXPECT_EQ(r.status, 1) << c.input;
        EXPECT_TRUE(ends_with(r.err, c.message)) << r.err;
    }
}

TEST_F(Faults, ArchiveWithoutReadPermissionRunsNothing) {
    build({"-r", "touch ran"}, "payload\n");
    ASSERT_EQ(chmod(arc.c_str(), 0111), 0);
    std::vector<std::string> argv = unprivileged({arc});
    if (argv.empty()) GTEST_SKIP() << "running as root without setpriv";
    auto r = testutil::run(argv, in_dir());
    EXPECT_EQ(r.status, 1);
    // Unable to read its trailer, it takes itself for a bare builder. (A
    // user-mode emulator of 32-bit x86 must read the file itself, and refuses
    // before kelpa starts, without a word.)
    if (!r.err.empty()) {
        EXPECT_EQ(r.err.rfind(arc + ": Permission denied\n", 0), 0u) << r.err;
    }
    EXPECT_FALSE(ran());
}

// The archive finds its own file from argv[0]: through a relative symbolic
// link, and by a bare name through PATH (to a link there), even with another
// archive of that name in the current directory.
TEST_F(Faults, ArchiveRunsThroughALinkAndThroughPath) {
    kit::make_archive(arc, {"NOCOMPR,NAME=a.txt", "", "cat %o; echo ran", ""}, "payload\n");
    kit::make_archive(dir / "app", {"NOCOMPR,NAME=a.txt", "", "echo impostor", ""}, "other\n");
    ASSERT_EQ(mkdir((dir / "bin").c_str(), 0755), 0);
    ASSERT_EQ(symlink("../app.run", (dir / "bin/app").c_str()), 0);
    for (const std::string how : {"bin/app", "PATH=\"$PWD/bin:$PATH\" app"}) {
        std::remove((dir / "a.txt").c_str());
        auto r = sh(how);
        EXPECT_EQ(r.status, 0) << how << ": " << r.err;
        EXPECT_EQ(r.out, "payload\nran\n") << how;
    }
    // An empty element of PATH is the current directory, for the shell and
    // for the archive looking for its own file alike.
    for (const std::string path : {":$PWD/bin:$PATH", "/nowhere::$PWD/bin:$PATH"}) {
        std::remove((dir / "a.txt").c_str());
        auto r = sh("PATH=\"" + path + "\" app");
        EXPECT_EQ(r.status, 0) << path << ": " << r.err;
        EXPECT_EQ(r.out, "impostor\n") << path;
    }
}

// Trailer strings are read only up to 1023 characters each, however long; a
// run refuses a string that was cut, and the end of the file anywhere in them
// leaves no payload to list.
TEST_F(Faults, HostileTrailerIsReadSafely) {
    const std::string m = kit::marker();
    struct Case {
        const char *name;
        std::string rest;
    };
    for (const Case &c : {Case{"strings without a NUL", m + std::string(5000, 'x')}, Case{"marker at the end", m},
                          Case{"marker in the last bytes", m + std::string("\0\0\0", 3)}}) {
        hostile(c.rest);
        for (const char *opt : {"-n", "-l"}) {
            auto r = testutil::run({arc, opt}, in_dir());
            EXPECT_EQ(r.status, 1) << c.name << ' ' << opt;
            const bool cut = c.rest.size() > m.size() + 1023 && opt[1] == 'n';
            EXPECT_TRUE(ends_with(r.err, cut ? arc + ": a trailer string is longer than 1023 characters\n"
                                             : eof_message(arc)))
                << c.name << ' ' << opt << ": " << r.err;
        }
    }
    hostile(m.substr(0, m.size() - 1)); // not a marker: a bare builder
    auto bare = testutil::run({arc}, in_dir());
    EXPECT_EQ(bare.status, 1);
    EXPECT_TRUE(ends_with(bare.err, ": what files do you want to compress?\n")) << bare.err;
    EXPECT_FALSE(ran());
}

// A cut run command must never run, nor a cut feature list be exported: the
// listing shows the strings cut, every run refuses them before anything starts.
TEST_F(Faults, TenMegabytesOfTrailerStringsAreListedCutAndNeverRun) {
    std::string features;
    while (features.size() < (5u << 20)) features.append("K").append(std::to_string(features.size())).append("=v,");
    const std::string comment(5u << 20, 'c');
    const std::string data = testutil::datagen(50000, 9, 0.5);
    hostile(kit::marker() + features + '\0' + comment + '\0' + "touch ran" + '\0' + "cat >/dev/null" + '\0' +
            testutil::zlib_gzip(data, 6, 0, "a"));
    auto l = testutil::run({arc, "-l"}, in_dir());
    EXPECT_EQ(l.status, 0) << l.err;
    EXPECT_EQ(l.out.rfind("Feature: " + features.substr(0, 1023) + "\nComment: " + comment.substr(0, 1023) +
                              "\n    Run: touch ran\nExtract: cat >/dev/null\n",
                          0),
              0u);
    for (const char *opt : {"-x", "-n"}) {
        auto x = testutil::run({arc, opt}, in_dir());
        EXPECT_EQ(x.status, 1) << opt;
        EXPECT_EQ(x.err, arc + ": a trailer string is longer than 1023 characters\n") << opt;
        EXPECT_EQ(x.out, "") << opt;
    }
    auto run = testutil::run({arc}, in_dir());
    EXPECT_EQ(run.status, 1);
    EXPECT_FALSE(ran());
}
