// Text from an archive on the operator's terminal: a stored name and a comment
// holding escape sequences and carriage returns reach it only as visible
// characters, in every place that shows them.
#include <gtest/gtest.h>

#include <string>

#include "common/archive_kit.h"
#include "common/testutil.h"

using testutil::RunOptions;
using testutil::TempDir;

namespace {

// A screen clear, a cursor move up, a title, a carriage return, a C1 control
// sequence introducer as UTF-8 writes it and as a raw 8-bit byte, and bytes
// of no valid UTF-8 sequence (an overlong form, a surrogate, a cut one); tab,
// newline and valid UTF-8 (accented, CJK, four bytes) pass.
const std::string name = "n\033[2J\033[1A\r\t\xc2\x9b" "2J\xc3\xa9\x9b" "1m\xe0\x80\xed\xa0\x80\xe4\xb8\xad.tar";
const std::string shown_name =
    "n\\033[2J\\033[1A\\015\t\\302\\2332J\xc3\xa9\\2331m\\340\\200\\355\\240\\200\xe4\xb8\xad.tar";
const std::string comment = "Hello\033]0;title\007\nline\177\x9b" "2J\xff\xf0\x9f\x98\x80\xf0\x9f\xe4";
const std::string shown_comment = "Hello\\033]0;title\\007\nline\\177\\2332J\\377\xf0\x9f\x98\x80\\360\\237\\344";

class Visible : public ::testing::Test {
protected:
    TempDir dir;
    std::string arc = dir / "a.run";
    RunOptions in_dir() const {
        RunOptions o;
        o.cwd = dir.path();
        o.stdin_null = true;
        return o;
    }
    void make(const std::string &run, const std::string &extract, const std::string &data = "data\n") {
        kit::make_archive(arc, {"X=1", comment, run, extract}, testutil::zlib_gzip(data, 9, 0, name));
    }
};

} // namespace

TEST_F(Visible, ListingShowsTheNameAndTheCommentEscaped) {
    make("true", "cat > /dev/null");
    auto r = testutil::run({arc, "-l"}, in_dir());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.find('\033'), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Comment: " + shown_comment + "\n"), std::string::npos) << r.out;
    EXPECT_TRUE(testutil::ends_with(r.out, " " + shown_name + "\n")) << r.out;
    auto v = testutil::run({arc, "-l", "-v"}, in_dir());
    EXPECT_EQ(v.status, 0) << v.err;
    EXPECT_EQ(v.out.find('\x9b'), std::string::npos) << v.out;
    EXPECT_NE(v.out.find(shown_comment), std::string::npos) << v.out;
    EXPECT_NE(v.out.find(shown_name), std::string::npos) << v.out;
}

// The banner, the "Deflating" line and -h.
TEST_F(Visible, BannerDeflatingLineAndHelpShowThemEscaped) {
    make("touch ran", "cat > /dev/null");
    const std::string banner = "\n" + shown_comment + "\n\nPlease wait...\n";
    auto x = testutil::run({arc, "-x"}, in_dir());
    EXPECT_EQ(x.status, 0) << x.err;
    EXPECT_EQ(x.err, banner + "Deflating " + shown_name + "...\n");
    auto v = testutil::run({arc, "-v", "-n"}, in_dir());
    EXPECT_EQ(v.status, 0) << v.err;
    EXPECT_EQ(v.err, banner + "Deflating " + shown_name + "...\n");
    auto h = testutil::run({arc, "-h"}, in_dir());
    EXPECT_EQ(h.status, 1);
    EXPECT_NE(h.err.find("\n" + shown_comment + "\n\nUsage: "), std::string::npos) << h.err;
}

// The messages of a run that fails, the codec's own included.
TEST_F(Visible, FailureMessagesShowTheNameAndCommandEscaped) {
    make("exit 3 # \033[2K\x9b" "2K\xc3", "cat > /dev/null");
    auto run = testutil::run({arc}, in_dir());
    EXPECT_EQ(run.status, 3);
    EXPECT_TRUE(testutil::ends_with(run.err, "\n" + arc + ": final processing of " + shown_name +
                                                 " failed\n\nCommand: exit 3 # \\033[2K\\2332K\\303\n"))
        << run.err;

    make("touch ran", "cat > /dev/null; exit 4");
    auto extract = testutil::run({arc}, in_dir());
    EXPECT_EQ(extract.status, 1);
    EXPECT_TRUE(testutil::ends_with(extract.err, "\n" + arc + ": extraction of " + shown_name +
                                                     " failed\n\nCommand: cat > /dev/null; exit 4\n"))
        << extract.err;

    make("touch ran", "exit 0", testutil::datagen(1 << 20, 7, 0.3));
    auto broken = testutil::run({arc}, in_dir());
    EXPECT_EQ(broken.status, 1);
    EXPECT_TRUE(testutil::ends_with(broken.err, "\n" + arc + ": " + shown_name + ": Broken pipe\n")) << broken.err;
}
