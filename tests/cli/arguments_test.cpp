// The operator's arguments on an archive's command line: the run command gets
// them as "$@", each exactly as given, and $0 is the archive; nothing else
// sees them. An empty key file name given to -k or -K is refused.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "common/archive_kit.h"
#include "common/testutil.h"

using testutil::RunOptions;
using testutil::TempDir;

namespace {

// Each would run a command, split, glob or end the options if it were read
// as shell text.
const std::vector<std::string> hostile = {"--prefix=/opt/my app", "it's", "\"q\"", "$(touch pwned)", "`touch pwned`",
                                          "; touch pwned", "*", "", "-x", "new\nline", "tab\there", "\\", "$HOME"};

// What the run command prints for arguments: $0, $#, then each in brackets.
const std::string show_args = "printf '%s %s' \"$0\" \"$#\"; for a in \"$@\"; do printf ' [%s]' \"$a\"; done; echo";

std::string shown(const std::string &zero, const std::vector<std::string> &args) {
    std::string s = zero + " " + std::to_string(args.size());
    for (const auto &a : args) s += " [" + a + "]";
    return s + "\n";
}

class Arguments : public ::testing::Test {
protected:
    TempDir dir;
    std::string arc = dir / "app.run";
    RunOptions in_dir() const {
        RunOptions o;
        o.cwd = dir.path();
        o.stdin_null = true;
        return o;
    }
    bool exists(const std::string &name) const { return access((dir / name).c_str(), F_OK) == 0; }
    void make(const std::string &run) {
        kit::make_archive(arc, {"NOCOMPR,NAME=data", "", run, "echo \"$#\" > extract-args; cat > data"}, "payload\n");
    }
    // argv[0] followed by more.
    static std::vector<std::string> with(std::vector<std::string> argv, const std::vector<std::string> &more) {
        argv.insert(argv.end(), more.begin(), more.end());
        return argv;
    }
};

} // namespace

TEST_F(Arguments, ReachTheRunCommandExactlyAndTheExtractCommandNot) {
    make(show_args);
    struct Case {
        std::vector<std::string> argv;
        std::string zero;
        std::vector<std::string> args;
    };
    const std::string kelpa = testutil::kelpa_bin();
    for (const Case &c : {Case{with({arc, "--"}, hostile), arc, hostile},
                          Case{with({kelpa, "-u", arc, "--"}, hostile), arc, hostile},
                          Case{{arc, "--", "--silent", "x y"}, arc, {"--silent", "x y"}},
                          Case{{arc, "plain", "words"}, arc, {"plain", "words"}},
                          Case{{arc}, arc, {}},
                          Case{{kelpa, "-u", arc}, arc, {}}}) {
        std::remove((dir / "extract-args").c_str());
        auto r = testutil::run(c.argv, in_dir());
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, shown(c.zero, c.args)) << c.argv.size();
        EXPECT_EQ(testutil::read_file(dir / "extract-args"), "0\n");
    }
    EXPECT_FALSE(exists("pwned"));
}

// -n, -x and -l take arguments and ignore them.
TEST_F(Arguments, AreIgnoredWhereNothingRuns) {
    make("touch ran");
    auto n = testutil::run(with({arc, "-n", "--"}, hostile), in_dir());
    EXPECT_EQ(n.status, 0) << n.err;
    EXPECT_EQ(testutil::read_file(dir / "data"), "payload\n");
    auto x = testutil::run(with({arc, "-x", "--"}, hostile), in_dir());
    EXPECT_EQ(x.status, 0) << x.err;
    EXPECT_EQ(x.out, "payload\n");
    auto l = testutil::run(with({arc, "-l", "--"}, hostile), in_dir());
    EXPECT_EQ(l.status, 0) << l.err;
    EXPECT_NE(l.out.find("    Run: touch ran\n"), std::string::npos) << l.out;
    EXPECT_FALSE(exists("ran"));
    EXPECT_FALSE(exists("pwned"));
}

// The dialog shows what will run: each argument one single-quoted word, its
// control characters escaped.
TEST_F(Arguments, VerboseDialogShowsThemAfterTheCommand) {
    make("sh install.sh \"$@\"");
    auto r = testutil::run({arc, "-v", "--", "--prefix=/opt/my app", "it's", "", "\033[2J\rx"}, in_dir());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "This archive requires more processing using the following command:\n"
                     "    sh install.sh \"$@\" '--prefix=/opt/my app' 'it'\\''s' '' '\\033[2J\\015x'\n"
                     "but stdin is not a terminal. So forget it.\n");
}

// An empty key file name (an unset variable in -k "$KEY") never means "no
// key": the option is refused before any archive or input is looked at.
TEST_F(Arguments, EmptyKeyFileNamesAreRefusedBeforeAnythingIsRead) {
    make("touch ran");
    const std::string kelpa = testutil::kelpa_bin();
    for (const auto &argv : {std::vector<std::string>{kelpa, "-u", "-k", "", arc}, {arc, "-k", ""}, {arc, "-x", "-k", ""},
                             {kelpa, "-k", "", "-l", arc}, {kelpa, "-k", "", "-T", arc},
                             {kelpa, "-u", "-k", "", dir / "missing.run"}}) {
        auto r = testutil::run(argv, in_dir());
        EXPECT_EQ(r.status, 1) << argv[1];
        EXPECT_EQ(r.err, argv[0] + ": option -k needs a key file name\n");
        EXPECT_EQ(r.out, "");
    }
    EXPECT_FALSE(exists("data"));
    EXPECT_FALSE(exists("extract-args"));
    EXPECT_FALSE(exists("ran"));
    testutil::write_file(dir / "input", "input\n");
    for (const auto &args : {std::vector<std::string>{"-K", "", "input"}, {"-C", "App", "input", "-K", ""}}) {
        int fd = open((dir / "out.run").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0755);
        ASSERT_GE(fd, 0);
        RunOptions o = in_dir();
        o.stdout_fd = fd;
        auto r = testutil::run_kelpa(args, o);
        close(fd);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, kelpa + ": option -K needs a key file name\n");
        EXPECT_EQ(testutil::read_file(dir / "out.run"), "") << "an unsigned archive was written";
    }
}
