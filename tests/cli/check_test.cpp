// A run checks the whole archive before it makes, starts or writes anything:
// a damaged archive ends with the codec's message and status 1, for a run and
// for -x alike, and leaves no trace.
#include <gtest/gtest.h>

#include <cstdint>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <ostream>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "common/archive_kit.h"
#include "common/testutil.h"

using testutil::ends_with;
using testutil::RunOptions;
using testutil::RunResult;
using testutil::TempDir;

namespace {

const std::string a = testutil::datagen(70000, 11, 0.6);
const std::string b = testutil::datagen(50000, 12, 0.3);

void put_le32(std::string &s, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; i++) s[at + static_cast<std::size_t>(i)] = static_cast<char>(v >> (8 * i));
}

// Two members as the build writes them: each length field holds the total so far.
std::string first_member() { return testutil::zlib_gzip(a, 9, 0, "a"); }
std::string two_members() {
    std::string second = testutil::zlib_gzip(b, 9);
    put_le32(second, second.size() - 4, static_cast<std::uint32_t>(a.size() + b.size()));
    return first_member() + second;
}

class Check : public ::testing::Test {
protected:
    TempDir dir;
    std::string arc = dir / "app.run";

    RunOptions in_dir() const {
        RunOptions o;
        o.cwd = dir.path();
        o.stdin_null = true;
        o.env = {"ARC=" + arc};
        return o;
    }
    RunResult sh(const std::string &script) const { return testutil::run({"/bin/sh", "-c", script}, in_dir()); }

    // Everything in the directory but the archive.
    std::set<std::string> made() const {
        std::set<std::string> names;
        DIR *d = opendir(dir.path().c_str());
        while (struct dirent *e = readdir(d)) names.insert(e->d_name);
        closedir(d);
        for (const char *n : {".", "..", "app.run"}) names.erase(n);
        return names;
    }

    void make(const std::string &payload) {
        kit::make_archive(arc, {"NAME=a", "App", "touch ran", "touch started; cat > got"}, payload);
    }
};

struct Damage {
    const char *name;
    std::function<void(std::string &)> apply; // on the two-member payload
    const char *tail;                          // of standard error
    friend void PrintTo(const Damage &d, std::ostream *os) { *os << d.name; }
};

class DamagedArchive : public Check, public ::testing::WithParamInterface<Damage> {};

TEST_P(DamagedArchive, NothingIsCreatedStartedOrWritten) {
    std::string payload = two_members();
    GetParam().apply(payload);
    make(payload);
    for (const char *opt : {"", "-x", "-n"}) {
        auto r = sh(std::string("\"$ARC\" ") + opt);
        EXPECT_EQ(r.status, 1) << opt;
        EXPECT_NE(r.err.find(GetParam().tail), std::string::npos) << opt << ": " << r.err;
        // Not even the banner: the check comes first.
        EXPECT_EQ(r.err.find("Please wait"), std::string::npos) << opt;
        EXPECT_EQ(r.out, "") << opt;
        EXPECT_EQ(made(), std::set<std::string>{}) << opt;
    }
}

const std::size_t second_at = first_member().size();

INSTANTIATE_TEST_SUITE_P(
    Payloads, DamagedArchive,
    ::testing::Values(
        Damage{"crc", [](std::string &p) { p[p.size() - 6] ^= 0x10; }, ": invalid compressed data--crc error\n"},
        Damage{"length", [](std::string &p) { p[p.size() - 4] ^= 0x01; }, ": invalid compressed data--length error\n"},
        Damage{"truncated", [](std::string &p) { p.resize(p.size() - 300); }, ": unexpected end of file\n"},
        Damage{"second_member_data",
               [](std::string &p) {
                   for (std::size_t i = second_at + 200; i < second_at + 208; i++) p[i] = static_cast<char>(~p[i]);
               },
               "invalid compressed data--"},
        // Without the magic the second member is not one: what the first
        // delivered falls short of the last length field.
        Damage{"second_member_identification", [](std::string &p) { p[second_at + 1] = 'x'; },
               ": invalid compressed data--length error\n"},
        Damage{"first_member_method", [](std::string &p) { p[2] = 7; }, ": unknown compression method\n"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(Check, WholeArchiveOfTwoMembersIsDeliveredOnce) {
    make(two_members());
    auto r = sh("\"$ARC\"");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, kit::comment_lines("App"));
    EXPECT_TRUE(testutil::read_file(dir / "got") == a + b);
    EXPECT_EQ(made(), (std::set<std::string>{"got", "ran", "started"}));
}

// An unusable header refuses the run before the -t directory (which does not
// exist, so it would be made) and the link.
TEST_F(Check, UnusableHeaderCreatesNoDirectory) {
    kit::make_archive(arc, {"NAME=a,VFYFS=" + dir.path() + "/v,FSSUB=kx", "App", "touch ran", "cat > got"},
                      "not a gzip member at all");
    auto r = sh("\"$ARC\" -t \"$PWD/scratch\"");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(ends_with(r.err, arc + ": unknown compression method\n")) << r.err;
    EXPECT_EQ(made(), std::set<std::string>{});
}

// A cut run command is never run, and nothing is extracted for it.
TEST_F(Check, CutRunCommandIsRefused) {
    kit::make_archive(arc, {"NAME=a", "App", "touch ran; : " + std::string(1100, 'x'), "touch started; cat > got"},
                      first_member());
    auto r = sh("\"$ARC\"");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, arc + ": a trailer string is longer than 1023 characters\n");
    EXPECT_EQ(made(), std::set<std::string>{});
}

// Space check values the build refuses, in an archive made by other means:
// the run says why it cannot go on instead of ending silently.
TEST_F(Check, UnusableSpaceCheckValuesRefuseTheRunWithAMessage) {
    for (const std::string f : {"VFYFS=/,FSSUB=kx", "VFYFS=x,FSSUB=kx", "VFYFS=/tmp,FSSUB=k", "VFYFS=/tmp"}) {
        kit::make_archive(arc, {"NAME=a," + f, "App", "touch ran", "touch started; cat > got"}, first_member());
        auto r = sh("\"$ARC\"");
        EXPECT_EQ(r.status, 1) << f;
        EXPECT_EQ(r.err, arc + ": the archive's space check is unusable: VFYFS and FSSUB need two characters or more\n")
            << f;
        EXPECT_EQ(made(), std::set<std::string>{}) << f;
    }
}

// Started with its standard descriptors closed, a run keeps its own messages
// out of the extract command's pipe.
TEST_F(Check, ClosedStandardDescriptorsKeepMessagesOutOfTheExtraction) {
    make(first_member());
    auto r = sh("\"$ARC\" <&- >&- 2>&-; echo \"status=$?\"");
    EXPECT_EQ(r.out, "status=0\n");
    EXPECT_TRUE(testutil::read_file(dir / "got") == a);
    EXPECT_EQ(made(), (std::set<std::string>{"got", "ran", "started"}));
}

// A fatal error while the extract command runs waits for it: nothing goes on
// after kelpa has reported the failure.
TEST_F(Check, FailureDuringExtractionWaitsForTheExtractCommand) {
    kit::make_archive(arc, {"NAME=a", "", "touch ran", "head -c 1 >/dev/null; sleep 1; touch late"},
                      testutil::zlib_gzip(testutil::datagen(1 << 20, 13, 0.9), 6, 0, "a"));
    auto r = sh("\"$ARC\"; echo \"status=$?\"; ls");
    EXPECT_EQ(r.out, "status=1\napp.run\nlate\n");
    EXPECT_TRUE(ends_with(r.err, ": a: Broken pipe\n")) << r.err;
}

// A placeholder where the shell's reading is not certain refuses a value of
// more than the plain characters before anything runs: here %p from a
// directory whose name would end the here-document and run a command of its
// own, and %o from a name with a '}' in the word of ${ } within double quotes.
// The first runs from a directory of plain characters.
TEST_F(Check, UnquotableValueRefusesTheRunBeforeAnything) {
    const std::string quote_msg = " cannot be quoted safely where it stands in the %s command: its value holds "
                                  "characters other than letters, digits and _ . / + - : , = @ %\n\nCommand: ";
    const std::string odd = "x\nEOF\ntouch pwned";
    ASSERT_EQ(mkdir((dir / odd).c_str(), 0755), 0);
    ASSERT_EQ(mkdir((dir / "plain").c_str(), 0755), 0);
    const struct {
        kit::Trailer t;
        std::string payload, which, what;
    } cases[] = {
        {{"NAME=a", "App", "touch ran", "touch started; cat > got; cat <<EOF > where\n%p\nEOF"},
         first_member(), "%p", "extract"},
        {{"NOCOMPR,NAME=a}b", "App", "printf %s \"${X:-%o}\" > ran", "touch started; cat > got"}, "raw", "%o", "run"},
    };
    for (const auto &c : cases) {
        kit::make_archive(arc, c.t, c.payload);
        RunOptions o = in_dir();
        o.cwd = dir / odd;
        auto r = testutil::run({arc}, o);
        std::string want = arc + ": " + c.which + quote_msg + (c.what == "run" ? c.t.run : c.t.extract) + "\n";
        want.replace(want.find("%s"), 2, c.what);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, want);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(made(), (std::set<std::string>{odd, "plain"}));
        EXPECT_EQ(system(("test -z \"$(ls -A '" + dir.path() + "'/x*)\"").c_str()), 0) << "made in " << odd;

        if (c.which != "%p") continue;
        o.cwd = dir / "plain";
        r = testutil::run({arc}, o);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(testutil::read_file(dir / "plain/where"), dir / "plain\n");
    }
}

} // namespace
