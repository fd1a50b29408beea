// The archives a bare kelpa is given (-u NAME, -l NAME...) are the files so
// named, opened as written from the current directory, readable and not
// necessarily executable, never looked up on PATH; the program's own file is
// still found the way it was started.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "common/archive_kit.h"
#include "common/testutil.h"

using testutil::RunOptions;
using testutil::TempDir;

namespace {

class Operands : public ::testing::Test {
protected:
    TempDir dir;

    void SetUp() override {
        mkdir((dir / "bin").c_str(), 0755);
        mkdir((dir / "sub").c_str(), 0755);
        // Downloads (mode 644) in the current directory and below it, and
        // executable archives of the same names on PATH.
        make(dir / "app.run", "Real", 0644);
        make(dir / "sub/app.run", "Sub", 0644);
        make(dir / "bin/app.run", "Decoy", 0755);
        make(dir / "bin/missing.run", "Decoy", 0755);
    }

    // An archive that tells which it is when listed, run and extracted.
    static void make(const std::string &path, const std::string &which, int mode) {
        testutil::write_file(path, kit::preamble({"NOCOMPR,NAME=data", which, "echo ran " + which, "cat > got"}) + which + "\n",
                             mode);
    }

    RunOptions on_path() const {
        RunOptions o;
        o.cwd = dir.path();
        o.stdin_null = true;
        const char *path = std::getenv("PATH");
        o.env = {"PATH=" + dir / "bin" + ":" + (path != nullptr ? path : "/usr/bin:/bin")};
        return o;
    }
};

} // namespace

TEST_F(Operands, UAndLOpenTheNamedFileNeverOneOnPath) {
    struct Name {
        std::string given;
        std::string which;
    };
    for (const Name &n : {Name{"app.run", "Real"}, Name{"./app.run", "Real"}, Name{dir / "app.run", "Real"},
                          Name{"sub/app.run", "Sub"}, Name{"sub/../app.run", "Real"}}) {
        auto listed = testutil::run_kelpa({"-l", n.given}, on_path());
        EXPECT_EQ(listed.status, 0) << n.given << ": " << listed.err;
        EXPECT_EQ(listed.out, "Feature: NOCOMPR,NAME=data\nComment: " + n.which + "\n    Run: echo ran " + n.which +
                                  "\nExtract: cat > got\nStatistics unavailable because data was not compressed\n")
            << n.given;
        std::remove((dir / "got").c_str());
        auto ran = testutil::run_kelpa({"-u", n.given}, on_path());
        EXPECT_EQ(ran.status, 0) << n.given << ": " << ran.err;
        EXPECT_EQ(ran.out, "ran " + n.which + "\n") << n.given;
        EXPECT_EQ(ran.err, kit::comment_lines(n.which)) << n.given;
        EXPECT_EQ(testutil::read_file(dir / "got"), n.which + "\n") << n.given;
    }
    auto extracted = testutil::run_kelpa({"-u", "-x", "app.run"}, on_path());
    EXPECT_EQ(extracted.status, 0) << extracted.err;
    EXPECT_EQ(extracted.out, "Real\n");
}

// One that cannot be opened is named with the reason, even where PATH has a
// file of that name; the listing goes on with the next.
TEST_F(Operands, UnopenableOperandIsReportedWithItsName) {
    auto ran = testutil::run_kelpa({"-u", "missing.run"}, on_path());
    EXPECT_EQ(ran.status, 1);
    EXPECT_EQ(ran.err, "missing.run: No such file or directory\n");
    EXPECT_EQ(ran.out, "");
    auto listed = testutil::run_kelpa({"-l", "missing.run", "app.run", "sub/nothing.run"}, on_path());
    EXPECT_EQ(listed.status, 1);
    EXPECT_EQ(listed.err, "missing.run: No such file or directory\nsub/nothing.run: No such file or directory\n");
    EXPECT_EQ(listed.out, "Feature: NOCOMPR,NAME=data\nComment: Real\n    Run: echo ran Real\nExtract: cat > got\n"
                          "Statistics unavailable because data was not compressed\n");
}

// -u -l lists the running program, whatever follows: an archive started by
// its bare name through PATH lists itself, a bare kelpa has no trailer.
TEST_F(Operands, ULListsTheRunningProgram) {
    auto own = testutil::run({dir / "bin/app.run", "-u", "-l", "app.run"}, on_path());
    EXPECT_EQ(own.status, 0) << own.err;
    EXPECT_NE(own.out.find("Comment: Decoy\n"), std::string::npos) << own.out;
    auto bare = testutil::run({"/bin/sh", "-c", "cd sub && app.run -u -l ../app.run"}, on_path());
    EXPECT_EQ(bare.status, 0) << bare.err;
    EXPECT_NE(bare.out.find("Comment: Decoy\n"), std::string::npos) << bare.out;
    auto kelpa = testutil::run_kelpa({"-u", "-l", "app.run"}, on_path());
    EXPECT_EQ(kelpa.status, 1);
    EXPECT_EQ(kelpa.err, testutil::kelpa_bin() + ": unable to find preamble magic value\n");
    EXPECT_EQ(kelpa.out, "");
}
