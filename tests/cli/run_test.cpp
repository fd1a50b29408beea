// Running archives end to end: the payload into the extract command, the run
// command with the exported features, the options that change the run, the
// failure messages and the verbose dialog.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <ostream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "common/archive_kit.h"
#include "pty_kit.h"
#include "common/testutil.h"

using kit::Trailer;
using testutil::RunOptions;
using testutil::TempDir;

namespace {

const std::string raw_features = "NOCOMPR,NAME=hello.txt,FOO=bar baz";
const std::string payload = "hello, world\n";

// Runs argv with a pseudo-terminal as its standard input, output and error,
// typing `typed` into it, and `then` once the terminal has shown `when`.
// Returns everything the terminal showed (echo included), the exit status
// (-1 when killed by a signal) and the signal.
struct PtyResult {
    std::string screen;
    int status = -1;
    int signal = 0;
};

PtyResult run_in_pty(const std::vector<std::string> &argv, const std::string &cwd, const std::string &typed,
                     const std::string &when = "", const std::string &then = "") {
    PtyResult r;
    int master = -1;
    pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
        if (chdir(cwd.c_str()) != 0) _exit(127);
        std::vector<char *> args;
        for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    if (pid < 0) {
        ADD_FAILURE() << "forkpty: " << std::strerror(errno);
        return r;
    }
    // The line discipline keeps what is typed until the program reads it.
    auto type = [&](const std::string &keys) {
        if (!keys.empty() && write(master, keys.data(), keys.size()) != static_cast<ssize_t>(keys.size()))
            ADD_FAILURE() << "typing into the terminal failed";
    };
    type(typed);
    if (when.empty()) {
        r.screen = kit::read_terminal(master, pid);
    } else {
        r.screen = kit::read_terminal_until(master, pid, when);
        type(then);
        r.screen += kit::read_terminal(master, pid);
    }
    close(master);
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status)) r.status = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) r.signal = WTERMSIG(status);
    return r;
}

class Run : public ::testing::Test {
protected:
    TempDir dir;
    std::string arc = dir / "hello.run";
    RunOptions in_dir() const {
        RunOptions o;
        o.cwd = dir.path();
        return o;
    }
    bool exists(const std::string &name) const { return access((dir / name).c_str(), F_OK) == 0; }
    // Builds arc with kelpa itself, in dir.
    void build(const std::vector<std::string> &args) {
        int fd = open(arc.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0755);
        ASSERT_GE(fd, 0);
        RunOptions o = in_dir();
        o.stdout_fd = fd;
        auto r = testutil::run_kelpa(args, o);
        close(fd);
        ASSERT_EQ(r.status, 0) << r.err;
    }
};

} // namespace

TEST_F(Run, RawPayloadIsInstalledAndTheRunCommandSeesTheFeatures) {
    kit::make_archive(arc, {raw_features + ", LEAD=x,FLAG", "Hello installer",
                            "echo \"[$FOO] [$NOCOMPR] [$FLAG] [$NAME]\"; cat %p/%o", ""},
                      payload);
    auto r = testutil::run({arc}, in_dir());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "[bar baz] [] [] [hello.txt]\n" + payload);
    EXPECT_EQ(r.err, kit::comment_lines("Hello installer"));
    EXPECT_EQ(testutil::read_file(dir / "hello.txt"), payload);
}

TEST_F(Run, TarArchiveBuiltByKelpaInstallsThroughTarAndAnInstallScript) {
    TempDir src;
    ASSERT_EQ(mkdir((src / "app").c_str(), 0755), 0);
    const std::string data = testutil::datagen(300000, 11, 0.7);
    testutil::write_file(src / "app/data.bin", data);
    testutil::write_file(src / "app/install.sh",
                         "set -e\n"
                         "test \"$APP_PREFIX\" = /opt/app\n"
                         "test \"$KX_VENDOR\" = 'Kelp Works'\n"
                         "test \"$NAME\" = app.tar\n"
                         "cmp -s app/data.bin \"$1\"\n"
                         "echo installed \"$APP_PREFIX\" from \"$(pwd)\"\n");
    testutil::write_file(dir / "expected", data);
    auto tar = testutil::run({"/usr/bin/tar", "-C", src.path(), "-cf", dir / "app.tar", "app"});
    ASSERT_EQ(tar.status, 0) << tar.err;
    build({"-C", "App 2.0", "-f", "tar xf -", "-r", "sh app/install.sh %p/expected", "-O", "Kelp Works", "-F",
           "APP_PREFIX=/opt/app", "app.tar"});
    std::remove((dir / "app.tar").c_str());
    auto r = testutil::run({arc}, in_dir());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "installed /opt/app from " + dir.path() + "\n");
    EXPECT_EQ(r.err, kit::comment_lines("App 2.0"));
    EXPECT_EQ(testutil::read_file(dir / "app/data.bin"), data);
}

TEST_F(Run, ExtractOnlyWritesThePayloadToStandardOutputAndRunsNothing) {
    kit::make_archive(arc, {raw_features, "C", "touch ran", "touch extracted"}, payload);
    auto r = testutil::run({arc, "-x"}, in_dir());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, payload);
    EXPECT_EQ(r.err, kit::comment_lines("C") + "Deflating hello.txt...\n");
    EXPECT_FALSE(exists("ran"));
    EXPECT_FALSE(exists("extracted"));
}

TEST_F(Run, DontRunProgramExtractsOnly) {
    kit::make_archive(arc, {raw_features, "", "touch ran", ""}, payload);
    auto r = testutil::run({arc, "-n", "-v"}, in_dir());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Deflating hello.txt...\n"); // an empty comment shows nothing
    EXPECT_EQ(testutil::read_file(dir / "hello.txt"), payload);
    EXPECT_FALSE(exists("ran"));
}

TEST_F(Run, UtilityModeActsOnTheNamedArchive) {
    kit::make_archive(arc, {"NOCOMPR", "", "", "cat > got"}, payload);
    auto r = testutil::run_kelpa({"-u", arc, "ignored"}, in_dir());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(testutil::read_file(dir / "got"), payload);
}

// The install script's own status tells its caller what went wrong ("needs a
// reboot" from "failed"): the run ends with it.
TEST_F(Run, FailingRunCommandIsReportedAndItsStatusPassedOn) {
    for (const std::string code : {"3", "7", "255"}) {
        kit::make_archive(arc, {raw_features, "", "cat %o >/dev/null; exit " + code, ""}, payload);
        for (const char *opt : {"", "-q"}) {
            auto r = testutil::run({arc, opt}, in_dir());
            EXPECT_EQ(r.status, std::stoi(code)) << opt;
            EXPECT_EQ(r.err, "\n" + arc + ": final processing of hello.txt failed\n\nCommand: cat hello.txt >/dev/null; exit " +
                                 code + "\n")
                << opt;
        }
    }
}

TEST_F(Run, RunCommandKilledBySignalIsReportedAsFailed) {
    kit::make_archive(arc, {raw_features, "", "kill -TERM $$", ""}, payload);
    auto r = testutil::run({arc}, in_dir());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "\n" + arc + ": final processing of hello.txt failed\n\nCommand: kill -TERM $$\n");
}

TEST_F(Run, FailingExtractCommandStopsTheRun) {
    kit::make_archive(arc, {raw_features, "", "touch ran", "cat > /dev/null; exit 4"}, payload);
    auto r = testutil::run({arc}, in_dir());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "\n" + arc + ": extraction of hello.txt failed\n\nCommand: cat > /dev/null; exit 4\n");
    EXPECT_FALSE(exists("ran"));
}

TEST_F(Run, ExtractCommandThatStopsReadingEndsTheRunByBrokenPipe) {
    kit::make_archive(arc, {raw_features, "", "touch ran", "exit 0"}, testutil::datagen(1 << 20, 5, 0.5));
    auto r = testutil::run({arc}, in_dir());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "\n" + arc + ": hello.txt: Broken pipe\n");
    EXPECT_FALSE(exists("ran"));
}

TEST_F(Run, EmptyRawPayloadFailsAndRunsNothing) {
    kit::make_archive(arc, {raw_features, "", "touch ran", ""}, "");
    auto r = testutil::run({arc}, in_dir());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, arc + ": the archive holds no data\n");
    EXPECT_FALSE(exists("ran"));
    EXPECT_FALSE(exists("hello.txt"));
}

TEST_F(Run, CommandTooLongOnceExpandedIsRefusedBeforeAnythingRuns) {
    std::string many;
    while (many.size() < 1000) many += "%p";
    kit::make_archive(arc, {raw_features, "C", "touch ran; : " + many, "touch extracted; cat >/dev/null"}, payload);
    auto r = testutil::run({arc}, in_dir());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, arc + ": a command is too long once expanded (2047 characters at most)\n");
    EXPECT_FALSE(exists("ran"));
    EXPECT_FALSE(exists("extracted"));
}

TEST_F(Run, MissingTrailerIsReported) {
    testutil::write_file(arc, "no trailer here", 0755);
    auto r = testutil::run_kelpa({"-u", arc}, in_dir());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, arc + ": unable to find preamble magic value\n");
}

// The dialog shows the command the operator is asked about as it will run.
TEST_F(Run, VerboseDialogShowsControlBytesAsOctalEscapes) {
    kit::make_archive(arc, {raw_features, "", "touch ran \r echo harmless", ""}, payload);
    RunOptions o = in_dir();
    o.stdin_null = true;
    auto r = testutil::run({arc, "-v"}, o);
    EXPECT_EQ(r.out, "This archive requires more processing using the following command:\n"
                     "    touch ran \\015 echo harmless\n"
                     "but stdin is not a terminal. So forget it.\n");
}

TEST_F(Run, VerboseWithoutTerminalDoesNotRunTheCommand) {
    kit::make_archive(arc, {raw_features, "", "touch ran", ""}, payload);
    RunOptions o = in_dir();
    o.stdin_null = true;
    auto r = testutil::run({arc, "-v"}, o);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "This archive requires more processing using the following command:\n"
                     "    touch ran\n"
                     "but stdin is not a terminal. So forget it.\n");
    EXPECT_FALSE(exists("ran"));
}

// The confirmation dialog on a terminal: what is typed, whether the command
// ran, and how often the question was repeated.
struct Dialog {
    const char *name;
    const char *typed;
    bool runs;
    int repeats;
};

void PrintTo(const Dialog &d, std::ostream *os) { *os << d.name; }

class VerboseDialog : public Run, public ::testing::WithParamInterface<Dialog> {};

TEST_P(VerboseDialog, AnswerDecides) {
    const Dialog &d = GetParam();
    kit::make_archive(arc, {raw_features, "", "touch ran", ""}, payload);
    auto r = run_in_pty({arc, "-v"}, dir.path(), d.typed);
    EXPECT_EQ(r.status, 0) << r.screen;
    EXPECT_NE(r.screen.find("This archive requires more processing using the following command:\r\n"
                            "    touch ran\r\nOK to run the command? "),
              std::string::npos)
        << r.screen;
    EXPECT_EQ(exists("ran"), d.runs) << r.screen;
    std::size_t repeats = 0;
    for (std::size_t at = 0; (at = r.screen.find("? (y/n): ", at)) != std::string::npos; at++) repeats++;
    EXPECT_EQ(repeats, static_cast<std::size_t>(d.repeats)) << r.screen;
}

INSTANTIATE_TEST_SUITE_P(Answers, VerboseDialog,
                         ::testing::Values(Dialog{"y", "y\n", true, 0}, Dialog{"Y", "Y\n", true, 0},
                                           Dialog{"yes", "yes\n", true, 0}, Dialog{"n", "n\n", false, 0},
                                           Dialog{"No", "No\n", false, 0}, Dialog{"empty", "\nn\n", false, 1},
                                           Dialog{"x", "x\ny\n", true, 1},
                                           Dialog{"end_of_input", "\x04", false, 0}),
                         [](const auto &info) { return std::string(info.param.name); });

// Said yes to, a command that fails is reported as without -v.
TEST_F(Run, VerboseRunCommandThatFailsAfterYesIsReported) {
    kit::make_archive(arc, {raw_features, "", "kill -TERM $$", ""}, payload);
    auto r = run_in_pty({arc, "-v"}, dir.path(), "y\n");
    EXPECT_EQ(r.status, 1) << r.screen;
    EXPECT_NE(r.screen.find("\r\n" + arc + ": final processing of hello.txt failed\r\n\r\nCommand: kill -TERM $$\r\n"),
              std::string::npos)
        << r.screen;
}

// An interactive run command has the terminal: it reads its answer there,
// and Ctrl-C reaches it (and ends kelpa as it ends the command), while kelpa
// has the terminal back once the command is over.
TEST_F(Run, InteractiveRunCommandHasTheTerminalAndItsCtrlC) {
    // A shell that leads its own process group, which has the terminal.
    const std::string whose = "awk '{print ($1 == $5 && $5 == $8) ? \"own-foreground\" : \"not\"}' /proc/$$/stat";
    kit::make_archive(arc, {raw_features, "", whose + "; read a; echo \"got=$a\"; [ \"$a\" != stop ] || exec sleep 30",
                            "cat > /dev/null"},
                      payload);
    // The shell kelpa is started from is in kelpa's group: the foreground
    // it sees after kelpa is the one kelpa left.
    const std::vector<std::string> argv = {"/bin/sh", "-c", "\"$0\"; s=$?; " + whose + "; echo \"status=$s\"", arc};
    auto answered = run_in_pty(argv, dir.path(), "yes\n");
    EXPECT_NE(answered.screen.find("own-foreground\r\ngot=yes\r\nown-foreground\r\nstatus=0\r\n"), std::string::npos)
        << answered.screen;

    auto stopped = run_in_pty(argv, dir.path(), "stop\n", "got=stop\r\n", "\x03");
    EXPECT_NE(stopped.screen.find("got=stop\r\n"), std::string::npos) << stopped.screen;
    EXPECT_NE(stopped.screen.find("own-foreground\r\nstatus=130\r\n"), std::string::npos) << stopped.screen;
}

// Ctrl-Z that stops an interactive run command stops kelpa too, so that the
// shell it was started from gets its terminal back; continued (as `fg`
// does), kelpa brings the command back, and the run ends as it would have.
TEST_F(Run, StoppedRunCommandStopsKelpaAndBothGoOnTogether) {
    kit::make_archive(arc, {raw_features, "", "kill -TSTP $$; echo resumed", "cat > /dev/null"}, payload);
    int master = -1;
    pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
        execl(arc.c_str(), arc.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    ASSERT_GT(pid, 0) << std::strerror(errno);
    std::string screen;
    bool stopped = false;
    int status = -1;
    char buf[4096];
    for (int waited_ms = 0; waited_ms < 60000; waited_ms += 10) {
        struct pollfd p = {master, POLLIN, 0};
        if (poll(&p, 1, 10) > 0) {
            ssize_t n = read(master, buf, sizeof buf);
            if (n > 0) screen.append(buf, static_cast<std::size_t>(n));
        }
        int st = 0;
        pid_t r = waitpid(pid, &st, WNOHANG | WUNTRACED);
        if (r == pid && WIFSTOPPED(st)) {
            stopped = true;
            kill(pid, SIGCONT);
        } else if (r == pid) {
            status = st;
            break;
        }
    }
    if (status == -1) kill(pid, SIGKILL);
    for (ssize_t n; (n = read(master, buf, sizeof buf)) > 0;) screen.append(buf, static_cast<std::size_t>(n));
    close(master);
    EXPECT_TRUE(stopped) << screen;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << screen;
    EXPECT_NE(screen.find("resumed\r\n"), std::string::npos) << screen;
}

// Gzip payloads written by kelpa's own build.

TEST_F(Run, EverySeveralMemberIsDelivered) {
    const std::string a = testutil::datagen(70000, 1, 0.6), b = testutil::datagen(50000, 2, 0.1);
    testutil::write_file(dir / "a", a);
    testutil::write_file(dir / "b", b);
    build({"-f", "cat > got", "-r", "cmp -s got both && echo same", "a", "b"});
    testutil::write_file(dir / "both", a + b);
    auto r = testutil::run({arc}, in_dir());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "same\n");
    EXPECT_EQ(testutil::read_file(dir / "got").size(), a.size() + b.size());
}

TEST_F(Run, ExtractOnlyWritesEveryMember) {
    testutil::write_file(dir / "a", "first\n");
    testutil::write_file(dir / "b", "second\n");
    build({"-C", "", "a", "b"});
    auto r = testutil::run({arc, "-x"}, in_dir());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "first\nsecond\n");
    EXPECT_EQ(r.err, "\nSelf-Extracting archive file\n\nPlease wait...\nDeflating a...\n");
}

// Bytes after the last member fail the check, unless the file still ends in
// the payload's total, as the last length field would.
TEST_F(Run, BytesAfterTheLastMemberCountOnlyWhenTheFileEndsInTheTotal) {
    testutil::write_file(dir / "a", "only\n");
    build({"a"});
    const std::string bytes = testutil::read_file(arc);
    std::remove((dir / "a").c_str());
    testutil::write_file(arc, bytes + "trailing garbage \x1f", 0755);
    auto bad = testutil::run({arc}, in_dir());
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(bad.err, "\n" + arc + ": " + arc + ": invalid compressed data--length error\n");
    EXPECT_FALSE(exists("a"));

    testutil::write_file(arc, bytes + std::string("junk\x05\0\0\0", 8), 0755);
    auto r = testutil::run({arc}, in_dir());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, kit::comment_lines("Self-Extracting archive file"));
    EXPECT_EQ(testutil::read_file(dir / "a"), "only\n"); // the default command writes the stored name
}

// Names as the shell must read them: an input with blanks, quotes or shell
// characters, run from a directory whose name holds more of them, lands in
// that directory under its own name, through the default extract command and
// the run command alike, and no text of a name is ever executed.
TEST_F(Run, OddNamesAndDirectoriesReachTheCommandsAsThemselves) {
    const std::string where = dir / "My Downloads $(touch pwned) `touch pwned` ; 'it' \"q\" \\\nx";
    ASSERT_EQ(mkdir(where.c_str(), 0755), 0);
    testutil::write_file(dir / "app.tar", "the operator's own app.tar\n");
    for (const std::string name : {"my data.bin", "my app.tar", "it's.txt", "$(touch pwned).txt",
                                   "`touch pwned`.txt", "a;touch pwned;b", "new\nline", "-n", "x & y | z"}) {
        testutil::write_file(where + "/" + name, "payload of " + name);
        int fd = open(arc.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0755);
        ASSERT_GE(fd, 0);
        RunOptions o;
        o.cwd = where;
        o.stdout_fd = fd;
        auto b = testutil::run_kelpa({"-C", "", "-r", "cat -- %o; printf '[%s]' \"%p\"", "--", name}, o);
        close(fd);
        ASSERT_EQ(b.status, 0) << b.err;
        ASSERT_EQ(std::remove((where + "/" + name).c_str()), 0);
        o.stdout_fd = -1;
        auto r = testutil::run({arc}, o);
        EXPECT_EQ(r.status, 0) << name << ": " << r.err;
        EXPECT_EQ(r.out, "payload of " + name + "[" + where + "]") << name;
        EXPECT_EQ(testutil::read_file(where + "/" + name), "payload of " + name);
    }
    EXPECT_FALSE(exists("pwned"));
    EXPECT_NE(access((where + "/pwned").c_str(), F_OK), 0);
    EXPECT_EQ(testutil::read_file(dir / "app.tar"), "the operator's own app.tar\n");
}

TEST_F(Run, ToStdoutKeepsTheDefaultNameStdout) {
    testutil::write_file(dir / "a", "named\n");
    build({"a"});
    auto r = testutil::run({arc, "-c"}, in_dir());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(testutil::read_file(dir / "stdout"), "named\n");
}

TEST_F(Run, CorruptedPayloadEndsTheRunBeforeTheRunCommand) {
    testutil::write_file(dir / "a", testutil::datagen(20000, 3, 0.5));
    build({"-f", "cat > /dev/null", "-r", "touch ran", "a"});
    std::string bytes = testutil::read_file(arc);
    bytes[bytes.size() - 6] ^= 0x55; // inside the CRC
    testutil::write_file(arc, bytes, 0755);
    auto r = testutil::run({arc}, in_dir());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "\n" + arc + ": " + arc + ": invalid compressed data--crc error\n");
    EXPECT_FALSE(exists("ran"));
}

TEST_F(Run, MemberLengthsCountTheOutputSoFar) {
    // Each member's length field must hold the running total, as the build
    // writes it; a second member that counts only itself is a length error.
    const std::string a = "first member\n", b = "second member\n";
    kit::make_archive(arc, {"NAME=a", "", "touch ran", "cat > got"},
                      testutil::zlib_gzip(a, 9, 0, "a") + testutil::zlib_gzip(b, 9, 0, "b"));
    auto r = testutil::run({arc}, in_dir());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "\n" + arc + ": " + arc + ": invalid compressed data--length error\n");
    EXPECT_FALSE(exists("ran"));
}

// Under nohup (SIGHUP ignored on entry) both commands are started with it
// ignored, whatever the loader carries over: a hangup ends neither of them,
// nor kelpa; so with any other signal ignored on entry. A
// 32-bit x86 build also runs through user-mode emulation where that is
// installed, as CI runs it on machines whose kernel cannot.
TEST_F(Run, HangupIgnoredOnEntryReachesBothCommandsIgnored) {
    kit::make_archive(arc, {raw_features, "", "kill -HUP $$; kill -HUP $PPID; kill -USR1 $$; kill -USR1 $PPID; "
                                              "echo run-survived",
                            "kill -HUP $$; kill -USR1 $$; kill -USR1 $PPID; cat > /dev/null; echo extract-survived"},
                      payload);
    std::vector<std::vector<std::string>> loaders = {{}};
    const std::string emulator = "/usr/bin/qemu-i386-static";
    if (testutil::read_file(testutil::kelpa_bin()).substr(0, 5) == "\x7f" "ELF\x01" && access(emulator.c_str(), X_OK) == 0)
        loaders.push_back({emulator});
    for (const auto &loader : loaders) {
        std::vector<std::string> argv = {"/bin/sh", "-c", "trap '' HUP USR1; exec \"$@\"", "sh"};
        argv.insert(argv.end(), loader.begin(), loader.end());
        argv.push_back(arc);
        auto r = testutil::run(argv, in_dir());
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "extract-survived\nrun-survived\n") << (loader.empty() ? "native" : "emulated");
    }
}
