// A terminal as standard error or output: the status line of a large run is
// drawn and erased without a trace, everything else stays as it was, and a
// build refuses to write an archive onto a terminal.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <pty.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "common/archive_kit.h"
#include "pty_kit.h"
#include "common/testutil.h"

using testutil::TempDir;

namespace {

constexpr std::size_t MiB = 1u << 20;

enum class on_tty { err, out };

struct TtyRun {
    int status = -1;    // exit status, or -1 when killed by a signal
    std::string tty;    // everything the terminal received
    std::string other;  // the other one of standard output and error, from a file
};

// Runs argv in cwd with a fresh pseudo-terminal of `cols` columns as standard
// error or output; the other goes to a file, standard input is /dev/null.
TtyRun run_on_tty(const std::vector<std::string> &argv, const std::string &cwd, on_tty which, int cols = 80) {
    TtyRun r;
    TempDir io;
    const std::string other = io / "other";
    int master = -1, slave = -1;
    winsize ws{};
    ws.ws_row = 24;
    ws.ws_col = static_cast<unsigned short>(cols);
    if (openpty(&master, &slave, nullptr, nullptr, &ws) != 0) {
        ADD_FAILURE() << "openpty: " << std::strerror(errno);
        return r;
    }
    pid_t pid = fork();
    if (pid == 0) {
        int file = open(other.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int null = open("/dev/null", O_RDONLY);
        if (file < 0 || null < 0 || chdir(cwd.c_str()) != 0) _exit(127);
        dup2(null, STDIN_FILENO);
        dup2(which == on_tty::err ? slave : file, STDERR_FILENO);
        dup2(which == on_tty::out ? slave : file, STDOUT_FILENO);
        for (int fd : {file, null, master, slave}) close(fd);
        std::vector<char *> args;
        for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(slave);
    r.tty = kit::read_terminal(master, pid);
    close(master);
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status)) r.status = WEXITSTATUS(status);
    r.other = testutil::read_file(other);
    return r;
}

// What a terminal shows after `bytes`: carriage return, line feed, erase to
// the end of the line and printable characters; blanks at the ends of lines
// do not show.
std::string screen(const std::string &bytes) {
    std::vector<std::string> lines(1);
    std::size_t row = 0, col = 0;
    for (std::size_t i = 0; i < bytes.size(); i++) {
        char c = bytes[i];
        if (c == '\r') {
            col = 0;
        } else if (c == '\n') {
            if (++row == lines.size()) lines.emplace_back();
        } else if (bytes.compare(i, 3, "\033[K") == 0) {
            if (lines[row].size() > col) lines[row].resize(col);
            i += 2;
        } else {
            if (lines[row].size() <= col) lines[row].resize(col + 1, ' ');
            lines[row][col++] = c;
        }
    }
    std::string s;
    for (auto &l : lines) s += l.substr(0, l.find_last_not_of(' ') + 1) + "\n";
    return s;
}

// The same text written to a pipe, as the terminal's line discipline passes it on.
std::string as_on_tty(const std::string &text) {
    std::string s;
    for (char c : text) s += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return s;
}

// The status lines drawn: each piece after a carriage return that starts
// with a phase's name, as (phase, percentage) and its length.
struct Drawn {
    std::string phase;
    int percent;
    std::size_t length;
};

std::vector<Drawn> status_lines(const std::string &tty) {
    std::vector<Drawn> v;
    std::size_t at = 0;
    while ((at = tty.find('\r', at)) != std::string::npos) {
        at++;
        std::size_t end = tty.find_first_of("\r\n\033", at);
        std::string piece = tty.substr(at, end == std::string::npos ? std::string::npos : end - at);
        for (const char *phase : {"checking ", "extracting "}) {
            int pct = -1;
            if (piece.rfind(phase, 0) == 0 && std::sscanf(piece.c_str() + std::strlen(phase), "%d%%", &pct) == 1)
                v.push_back({std::string(phase, std::strlen(phase) - 1), pct, piece.size()});
        }
    }
    return v;
}

bool shows(const std::vector<Drawn> &v, const std::string &phase) {
    return std::any_of(v.begin(), v.end(), [&](const Drawn &d) { return d.phase == phase; });
}

// An extract command that takes half the payload, stops reading for half a
// second, then takes the rest: the run is seen in the middle.
const std::string slow_extract = "{ dd bs=1M count=6 iflag=fullblock 2>/dev/null; sleep 0.5; cat; } > out";

class Progress : public ::testing::Test {
protected:
    TempDir dir;
    std::string arc = dir / "big.run";
    const std::string data = testutil::datagen(12 * MiB, 16, 0.0);

    void make_gzip(const std::string &extract) {
        kit::make_archive(arc, {"", "Big", "", extract}, testutil::zlib_gzip(data, 1, 0, "big.bin"));
    }
    void make_raw(const std::string &payload, const std::string &extract) {
        kit::make_archive(arc, {"NOCOMPR,NAME=big.bin", "Big", "", extract}, payload);
    }
    // The same run with standard error on a pipe: what the terminal must be left showing.
    testutil::RunResult on_pipe(const std::vector<std::string> &argv) {
        testutil::RunOptions o;
        o.cwd = dir.path();
        return testutil::run(argv, o);
    }
};

} // namespace

TEST_F(Progress, LargeRunShowsEachPhaseAndLeavesTheTerminalAsWithoutIt) {
    // Raw payloads have nothing to check; gzip ones are read twice.
    for (bool raw : {false, true}) {
        SCOPED_TRACE(raw ? "raw" : "gzip");
        if (raw) make_raw(data, slow_extract);
        else make_gzip(slow_extract);
        auto r = run_on_tty({arc}, dir.path(), on_tty::err);
        EXPECT_EQ(r.status, 0) << r.tty;
        EXPECT_EQ(testutil::read_file(dir / "out"), data);
        auto drawn = status_lines(r.tty);
        EXPECT_EQ(shows(drawn, "checking"), !raw) << r.tty;
        // The extract command's pause leaves kelpa halfway, and the line says so.
        EXPECT_TRUE(std::any_of(drawn.begin(), drawn.end(),
                                [](const Drawn &d) { return d.phase == "extracting" && d.percent > 0 && d.percent < 100; }))
            << r.tty;
        for (const Drawn &d : drawn) EXPECT_LE(d.percent, 100);
        EXPECT_NE(r.tty.find(" MiB of 12.0 MiB)"), std::string::npos) << r.tty;

        auto p = on_pipe({arc});
        EXPECT_EQ(p.status, 0);
        EXPECT_EQ(p.err, kit::comment_lines("Big"));
        EXPECT_EQ(screen(r.tty), screen(as_on_tty(p.err)));
    }
}

TEST_F(Progress, ExtractOnlyShowsItTooCutToANarrowTerminal) {
    make_gzip("");
    auto r = run_on_tty({arc, "-x"}, dir.path(), on_tty::err, 24);
    EXPECT_EQ(r.status, 0) << r.tty;
    EXPECT_TRUE(r.other == data) << "standard output differs";
    auto drawn = status_lines(r.tty);
    EXPECT_TRUE(shows(drawn, "checking")) << r.tty;
    // A line as wide as the terminal would wrap, and "\r" would no longer reach its start.
    for (const Drawn &d : drawn) EXPECT_LT(d.length, 24u);
    EXPECT_EQ(screen(r.tty), screen(as_on_tty(kit::comment_lines("Big") + "Deflating big.bin...\n")));
}

TEST_F(Progress, SmallPayloadsAndPipesShowNothingNew) {
    // Just under the threshold on a terminal: byte for byte what a pipe gets.
    make_raw(data.substr(0, 8 * MiB - 1), "cat > out");
    auto small = run_on_tty({arc}, dir.path(), on_tty::err);
    EXPECT_EQ(small.status, 0);
    EXPECT_EQ(small.tty, as_on_tty(kit::comment_lines("Big")));

    // At the threshold the line appears.
    make_raw(data.substr(0, 8 * MiB), "cat > out");
    auto at = run_on_tty({arc}, dir.path(), on_tty::err);
    EXPECT_EQ(at.status, 0);
    EXPECT_TRUE(shows(status_lines(at.tty), "extracting")) << at.tty;

    // A large payload with standard error on a pipe.
    make_gzip("cat > out");
    auto piped = on_pipe({arc, "-x"});
    EXPECT_EQ(piped.status, 0);
    EXPECT_EQ(piped.err, kit::comment_lines("Big") + "Deflating big.bin...\n");
}

TEST_F(Progress, AFatalErrorErasesTheLineBeforeItsMessage) {
    struct Case {
        const char *what;
        bool damage;         // a byte of the last member's data flipped: the check fails
        std::string extract;
    };
    for (const Case &c : {Case{"damaged payload", true, "cat > out"},
                          Case{"extract command stops reading", false,
                               "dd bs=1M count=6 iflag=fullblock of=/dev/null 2>/dev/null; sleep 0.5; "
                               "dd bs=1M count=1 iflag=fullblock of=/dev/null 2>/dev/null"}}) {
        SCOPED_TRACE(c.what);
        make_gzip(c.extract);
        if (c.damage) {
            std::string bytes = testutil::read_file(arc);
            bytes[bytes.size() - 100] ^= 0x40;
            testutil::write_file(arc, bytes, 0755);
        }
        auto r = run_on_tty({arc}, dir.path(), on_tty::err);
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(shows(status_lines(r.tty), c.damage ? "checking" : "extracting")) << r.tty;
        auto p = on_pipe({arc});
        EXPECT_EQ(p.status, 1);
        EXPECT_NE(p.err, "");
        EXPECT_EQ(screen(r.tty), screen(as_on_tty(p.err)));
    }
}

TEST(BuildToTerminal, WritesNothingAndSaysToRedirect) {
    TempDir dir;
    testutil::write_file(dir / "in.txt", "payload\n");
    auto r = run_on_tty({testutil::kelpa_bin(), "in.txt"}, dir.path(), on_tty::out);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.tty, "");
    EXPECT_EQ(r.other, testutil::kelpa_bin() +
                           ": will not write an archive to a terminal: redirect standard output to a file\n");

    // Listing onto a terminal is what terminals are for.
    const std::string arc = dir / "a.run";
    kit::make_archive(arc, {"NOCOMPR,NAME=in.txt", "Listed", "", ""}, "payload\n");
    auto l = run_on_tty({testutil::kelpa_bin(), "-l", arc}, dir.path(), on_tty::out);
    EXPECT_EQ(l.status, 0) << l.other;
    EXPECT_NE(l.tty.find("Comment: Listed"), std::string::npos) << l.tty;
}

// -T shows its one decoding pass; -q shows nothing at all, line or banner.
TEST_F(Progress, CheckOnlyShowsItsPassAndQuietShowsNothing) {
    make_gzip("cat > out");
    auto t = run_on_tty({arc, "-T"}, dir.path(), on_tty::err);
    EXPECT_EQ(t.status, 0) << t.tty;
    EXPECT_EQ(t.other, arc + ": OK\n");
    auto drawn = status_lines(t.tty);
    EXPECT_TRUE(shows(drawn, "checking")) << t.tty;
    EXPECT_FALSE(shows(drawn, "extracting")) << t.tty;
    EXPECT_EQ(screen(t.tty), "\n");
    for (const char *opt : {"-q", "-qT", "-qx", "-qn"}) {
        auto q = run_on_tty({arc, opt}, dir.path(), on_tty::err);
        EXPECT_EQ(q.status, 0) << opt << q.tty;
        EXPECT_EQ(q.tty, "") << opt;
    }
}
