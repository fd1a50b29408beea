// Placeholder expansion and the feature export of an archive run.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "common/testutil.h"
#include "driver/driver.h"
#include "driver/extract.h"

using namespace driver;

namespace {

class Placeholders : public ::testing::Test {
protected:
    testutil::TempDir dir;
    char saved[4096];
    void SetUp() override {
        testutil::reset_codec_state();
        testutil::reset_driver_state();
        ASSERT_NE(getcwd(saved, sizeof saved), nullptr);
        ASSERT_EQ(chdir(dir.path().c_str()), 0);
        std::strcpy(codec::ofname, "data.tar");
    }
    void TearDown() override { ASSERT_EQ(chdir(saved), 0); }
    std::string expand(const char *t) {
        char *r = replace_program_parms(t);
        if (r == nullptr) return "<refused>";
        std::string s = r;
        std::free(r);
        return s;
    }
};

} // namespace

TEST_F(Placeholders, ExpandsNameAndDirectoryAndKeepsTheRest) {
    const std::string cwd = dir.path();
    EXPECT_EQ(expand("cat > %p/%o"), "cat > " + cwd + "/data.tar");
    EXPECT_EQ(expand("echo 50%d %p"), "echo 50%d " + cwd);
    EXPECT_EQ(expand("date +%Y%m"), "date +%Y%m");
    EXPECT_EQ(expand("100%"), "100%");
    EXPECT_EQ(expand("%"), "%");
    EXPECT_EQ(expand("%%o"), "%%o");
    EXPECT_EQ(expand("%o%o"), "data.tardata.tar");
    EXPECT_EQ(expand(""), "");
}

TEST_F(Placeholders, FillsExactly2047CharactersAndRefusesOneMore) {
    std::string t(2047 - 8, 'x');
    EXPECT_EQ(expand((t + "%o").c_str()), t + "data.tar");
    EXPECT_EQ(expand((t + "x%o").c_str()), "<refused>");
    EXPECT_EQ(expand(std::string(2048, 'y').c_str()), "<refused>");
    // A directory that does not fit what is left is refused, never cut.
    std::string before(2047 - dir.path().size() + 1, 'z');
    EXPECT_EQ(expand((before + "%p").c_str()), "<refused>");
    std::string exact(2047 - dir.path().size(), 'z');
    EXPECT_EQ(expand((exact + "%p").c_str()), exact + dir.path());
}

// The shell itself is the judge: in every quoting context of a template it
// must read exactly the value, whatever characters the value holds.
TEST_F(Placeholders, ShellReadsExactlyTheValueInEveryQuotingContext) {
    const char *values[] = {"my data.bin", "it's", "$(touch pwned)", "`touch pwned`", "a;b&c|d", "new\nline",
                            "-n", "\"dq\"", "back\\slash", "*", "~root", "tab\there", "'", "''\\'"};
    struct Context {
        const char *tpl;
        std::string before, after;
        bool body = false; // a here-document body: a newline is refused there
    };
    const Context contexts[] = {
        {"printf %s %o", "", ""},
        {"printf %s '%o'", "", ""},
        {"printf %s \"%o\"", "", ""},
        {"printf %s \"<%o>\"", "<", ">"},
        {"printf %s x'%o'y", "x", "y"},
        {"printf %s '\"'\"%o\"'\"'", "\"", "\""},
        {"printf %s \\'%o", "'", ""},
        {"printf %s \\%o", "", ""},                       // the backslash takes the value's first character
        {"printf %s \"$(printf %s %o)\"", "", ""},         // a command substitution opens a context of its own
        {"printf %s \"$(printf %s \"%o\")\"", "", ""},
        {"printf %s \"($(printf '(%s)' '%o'))\"", "((", "))"},
        {"printf %s \"`printf %s %o`\"", "", ""},          // backquotes read their text twice
        {"printf %s \"`printf %s \\\"%o\\\"`\"", "", ""},
        {"printf %s \"$(cat <<EOF\n%o\nEOF\n)\"", "", "", true},  // here-documents
        {"printf %s \"$(cat <<'EOF'\n%o\nEOF\n)\"", "", "", true},
        {"printf %s \"$(cat <<-\"EOF\"\n%o\n\tEOF\n)\"", "", "", true},
    };
    for (const char *v : values) {
        std::strcpy(codec::ofname, v);
        for (const Context &c : contexts) {
            const std::string cmd = expand(c.tpl);
            if (c.body && std::strchr(v, '\n') != nullptr) {
                EXPECT_EQ(cmd, "<refused>") << c.tpl;
                continue;
            }
            auto r = testutil::run({"/bin/sh", "-c", cmd});
            EXPECT_EQ(r.out, c.before + v + c.after) << c.tpl << " -> " << cmd;
        }
    }
    EXPECT_EQ(access((dir / "pwned").c_str(), F_OK), -1);
}

// A comment is read by nobody, but a newline in a value must not end it.
TEST_F(Placeholders, ValueInACommentStaysInIt) {
    std::strcpy(codec::ofname, "x\ntouch pwned\n");
    for (const char *tpl : {"printf ok # %o", "printf ok # it's %o", "printf ok #\"%o", "printf ok; #%p/%o"}) {
        auto r = testutil::run({"/bin/sh", "-c", expand(tpl)});
        EXPECT_EQ(r.out, "ok") << tpl;
    }
    // A '#' inside a word begins no comment.
    EXPECT_EQ(testutil::run({"/bin/sh", "-c", expand("printf %s a#%o")}).out, std::string("a#") + codec::ofname);
    EXPECT_EQ(access((dir / "pwned").c_str(), F_OK), -1);
}

TEST_F(Placeholders, OrdinaryValuesGoInVerbatim) {
    std::strcpy(codec::ofname, "app-1.2_x86+64:v=1,@50%.tar");
    EXPECT_EQ(expand("tar xf %o -C '%p' \"%o\""), "tar xf app-1.2_x86+64:v=1,@50%.tar -C '" + dir.path() +
                                                        "' \"app-1.2_x86+64:v=1,@50%.tar\"");
    std::strcpy(codec::ofname, "my app.tar");
    EXPECT_EQ(expand("cat > %p/%o"), "cat > " + dir.path() + "/'my app.tar'");
}

TEST_F(Placeholders, DirectoryIsQuotedLikeAName) {
    const std::string odd = dir / "My Downloads $(touch pwned)";
    ASSERT_EQ(mkdir(odd.c_str(), 0755), 0);
    ASSERT_EQ(chdir(odd.c_str()), 0);
    auto r = testutil::run({"/bin/sh", "-c", expand("printf %s %p/%o")});
    EXPECT_EQ(r.out, odd + "/data.tar");
    EXPECT_EQ(access((dir / "pwned").c_str(), F_OK), -1);
    EXPECT_EQ(access("pwned", F_OK), -1);
}

TEST_F(Placeholders, UndeterminableDirectoryIsDot) {
    std::string gone = dir / "gone";
    ASSERT_EQ(mkdir(gone.c_str(), 0755), 0);
    ASSERT_EQ(chdir(gone.c_str()), 0);
    ASSERT_EQ(rmdir(gone.c_str()), 0);
    EXPECT_EQ(expand("cd %p && ls %o"), "cd . && ls data.tar");
}

class Export : public ::testing::Test {
protected:
    void SetUp() override {
        testutil::reset_driver_state();
        for (const char *v : {"VFYFS", "FSSUB", "NOCOMPR", "A", " B", "K", "Q", "E"}) unsetenv(v);
    }
    static std::string env(const char *name) {
        const char *v = std::getenv(name);
        return v != nullptr ? v : "<unset>";
    }
};

TEST_F(Export, KeyValueEntriesAsWrittenAndFlagsEmpty) {
    std::strcpy(features, "VFYFS=/tmp,FSSUB=kx,NOCOMPR");
    export_features();
    EXPECT_EQ(env("VFYFS"), "/tmp");
    EXPECT_EQ(env("FSSUB"), "kx");
    EXPECT_EQ(env("NOCOMPR"), "");
}

TEST_F(Export, SplitsWithQuotesAndEscapesAndTrimsTheEnd) {
    std::strcpy(features, "A=x\\,y,\"Q=p,q\",K=v  \t, B=lead,E=a=b,,K=last");
    export_features();
    EXPECT_EQ(env("A"), "x,y");
    EXPECT_EQ(env("Q"), "p,q"); // a quote drops what its field held before it: quote whole entries
    EXPECT_EQ(env(" B"), "lead"); // leading blanks are part of the name, as written
    EXPECT_EQ(env("E"), "a=b");
    EXPECT_EQ(env("K"), "last"); // a key given twice ends with its later value
}

TEST_F(Export, LaterEntryOfAKeyWinsWhetherFlagOrValue) {
    std::strcpy(features, "K=v,K ,Q,Q=w,A=1,A=2,A=3");
    export_features();
    EXPECT_EQ(env("K"), "");
    EXPECT_EQ(env("Q"), "w");
    EXPECT_EQ(env("A"), "3");
}

TEST_F(Export, EmptyListExportsNothing) {
    export_features();
    EXPECT_EQ(env("NOCOMPR"), "<unset>");
}
