// -T checks archives as a run does before its first effect and does nothing
// else; -q runs print nothing of their own. Both under their long names too.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <set>
#include <string>
#include <unistd.h>
#include <vector>

#include "common/archive_kit.h"
#include "common/testutil.h"

using testutil::ends_with;
using testutil::read_file;
using testutil::RunOptions;
using testutil::RunResult;
using testutil::TempDir;

namespace {

const std::string data = testutil::datagen(120000, 31, 0.6);

class CheckOnly : public ::testing::Test {
protected:
    TempDir dir;
    const std::string kelpa = testutil::kelpa_bin();

    void SetUp() override { testutil::write_file(dir / "data.tar", data); }

    RunOptions in_dir() const {
        RunOptions o;
        o.cwd = dir.path();
        o.stdin_null = true;
        return o;
    }
    RunResult run(const std::vector<std::string> &argv) const { return testutil::run(argv, in_dir()); }

    // An archive of data.tar by kelpa itself, whose commands leave traces.
    std::string build(const std::string &name, const std::vector<std::string> &more = {}) const {
        std::vector<std::string> args = {"-C", "App", "-r", "touch ran; echo installed", "-f",
                                         "touch started; cat > got; echo extracted"};
        args.insert(args.end(), more.begin(), more.end());
        args.push_back("data.tar");
        const std::string path = dir / name;
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0755);
        RunOptions o = in_dir();
        o.stdout_fd = fd;
        auto r = testutil::run_kelpa(args, o);
        close(fd);
        EXPECT_EQ(r.status, 0) << r.err;
        return path;
    }
    // The archive with its bytes changed by damage.
    std::string damaged(const std::string &name, void (*damage)(std::string &)) const {
        const std::string path = build(name);
        std::string bytes = read_file(path);
        damage(bytes);
        testutil::write_file(path, bytes, 0755);
        return path;
    }

    std::set<std::string> traces() const {
        std::set<std::string> names;
        for (const char *n : {"ran", "started", "got"})
            if (access((dir / n).c_str(), F_OK) == 0) names.insert(n);
        return names;
    }
};

struct Damage {
    const char *name;
    void (*apply)(std::string &);
    const char *text; // in standard error
};

const Damage damages[] = {
    {"cut", [](std::string &b) { b.resize(b.size() - 100); }, ": unexpected end of file\n"},
    {"padded", [](std::string &b) { b.append(64, '\0'); }, ": invalid compressed data--length error\n"},
    {"crc", [](std::string &b) { b[b.size() - 6] ^= 0x10; }, ": invalid compressed data--crc error\n"},
    {"deflate_data", [](std::string &b) { for (std::size_t i = 1; i < 9; i++) b[b.size() - 2000 - i] ^= 0x5a; },
     "invalid compressed data--"},
};

} // namespace

// The archive itself, a bare kelpa naming it, and -u: one line on standard
// output, nothing on standard error, no command, no file.
TEST_F(CheckOnly, WholeArchivePassesEveryWayItIsNamed) {
    const std::string arc = build("app.run");
    const std::string raw = build("raw.run", {"-a"});
    struct Case {
        std::vector<std::string> argv;
        std::string out;
    };
    for (const Case &c : {Case{{arc, "-T"}, arc + ": OK\n"}, Case{{arc, "--check"}, arc + ": OK\n"},
                          Case{{arc, "-T", "--", "operand"}, arc + ": OK\n"},
                          Case{{kelpa, "-T", "app.run"}, "app.run: OK\n"},
                          Case{{kelpa, "--check", arc, "raw.run"}, arc + ": OK\nraw.run: OK\n"},
                          Case{{kelpa, "-u", "app.run", "-T"}, "app.run: OK\n"},
                          Case{{kelpa, "-T", "-u", raw}, raw + ": OK\n"}}) {
        auto r = run(c.argv);
        EXPECT_EQ(r.status, 0) << c.argv[1] << ": " << r.err;
        EXPECT_EQ(r.out, c.out) << c.argv[1];
        EXPECT_EQ(r.err, "") << c.argv[1];
    }
    EXPECT_EQ(traces(), std::set<std::string>{});
}

TEST_F(CheckOnly, DamagedArchiveFailsWithTheMessageOfARun) {
    for (const Damage &d : damages) {
        const std::string arc = damaged(std::string(d.name) + ".run", d.apply);
        // The codec's messages name the program: the archive, or kelpa.
        auto self_run = run({arc, "-n"});
        auto bare_run = run({kelpa, "-u", arc, "-n"});
        EXPECT_EQ(self_run.status, 1) << d.name;
        for (const auto &argv : std::vector<std::vector<std::string>>{
                 {arc, "-T"}, {kelpa, "-T", arc}, {kelpa, "-u", arc, "-T"}, {kelpa, "-qT", arc}}) {
            auto r = run(argv);
            EXPECT_EQ(r.status, 1) << d.name << " " << argv[1];
            EXPECT_EQ(r.out, "") << d.name;
            EXPECT_NE(r.err.find(d.text), std::string::npos) << d.name << ": " << r.err;
            EXPECT_EQ(r.err, argv[0] == arc ? self_run.err : bare_run.err) << d.name;
        }
    }
    EXPECT_EQ(traces(), std::set<std::string>{});
}

// A failure ends only its own archive's check (a codec error included), and
// the status tells that one failed. Five archives: a run's 2-second pause for
// each would pass the time limit, whatever the machine's load otherwise.
TEST_F(CheckOnly, SeveralArchivesAreAllCheckedWithoutPause) {
    const std::string good = build("good.run");
    const std::string cut = damaged("cut.run", damages[0].apply);
    const std::string crc = damaged("crc.run", damages[2].apply);
    testutil::write_file(dir / "empty.run", kit::preamble({"NOCOMPR,NAME=x", "", "touch ran", ""}), 0755);
    RunOptions o = in_dir();
    o.timeout_seconds = 7;
    auto r = testutil::run({kelpa, "-T", "good.run", "cut.run", "empty.run", "crc.run", "good.run", "missing.run"}, o);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(r.out, "good.run: OK\ngood.run: OK\n");
    EXPECT_NE(r.err.find("cut.run: unexpected end of file\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("empty.run: the archive holds no data\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("crc.run: invalid compressed data--crc error\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("missing.run"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("Please wait"), std::string::npos);
    EXPECT_EQ(traces(), std::set<std::string>{});

    auto quiet = testutil::run({kelpa, "-q", "-T", "good.run", "good.run", "good.run", "good.run"}, o);
    EXPECT_EQ(quiet.status, 0) << quiet.err;
    EXPECT_EQ(quiet.out + quiet.err, "");
}

// Nothing of kelpa's own on standard error; the commands' output still arrives.
TEST_F(CheckOnly, QuietRunsShowOnlyWhatTheCommandsPrint) {
    const std::string arc = build("app.run");
    struct Case {
        std::vector<std::string> argv;
        std::string out;
    };
    for (const Case &c : {Case{{arc, "-q"}, "extracted\ninstalled\n"}, Case{{arc, "--quiet"}, "extracted\ninstalled\n"},
                          Case{{kelpa, "-q", "-u", arc}, "extracted\ninstalled\n"},
                          Case{{arc, "-qn"}, "extracted\n"}, Case{{arc, "-qx"}, data}, Case{{arc, "-xvq"}, data}}) {
        std::remove((dir / "got").c_str());
        auto r = run(c.argv);
        EXPECT_EQ(r.status, 0) << c.argv[1] << ": " << r.err;
        EXPECT_TRUE(r.out == c.out) << c.argv[1];
        EXPECT_EQ(r.err, "") << c.argv[1];
        if (c.argv[1] != "-qx" && c.argv[1] != "-xvq") {
            EXPECT_TRUE(read_file(dir / "got") == data) << c.argv[1];
        }
    }
    // The dialog still asks (and without a terminal declines).
    auto v = run({arc, "-qv"});
    EXPECT_EQ(v.status, 0) << v.err;
    EXPECT_EQ(v.err, "");
    EXPECT_EQ(v.out, "extracted\nThis archive requires more processing using the following command:\n"
                     "    touch ran; echo installed\nbut stdin is not a terminal. So forget it.\n");
    // Failures are reported as always.
    const std::string cut = damaged("cut.run", damages[0].apply);
    auto f = run({cut, "-q"});
    EXPECT_EQ(f.status, 1);
    EXPECT_TRUE(ends_with(f.err, ": unexpected end of file\n")) << f.err;
}

TEST_F(CheckOnly, LongListIsTheListingInBothModes) {
    const std::string arc = build("app.run");
    for (const auto &pair : std::vector<std::pair<std::vector<std::string>, std::vector<std::string>>>{
             {{arc, "--list"}, {arc, "-l"}}, {{kelpa, "--list", arc}, {kelpa, "-l", arc}}}) {
        auto l = run(pair.first);
        auto s = run(pair.second);
        EXPECT_EQ(l.status, 0) << l.err;
        EXPECT_NE(l.out.find("    Run: touch ran; echo installed\n"), std::string::npos) << l.out;
        EXPECT_EQ(l.out, s.out);
        EXPECT_EQ(l.err, s.err);
    }
    EXPECT_EQ(traces(), std::set<std::string>{});
}
