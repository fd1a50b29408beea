// Space verification and relocation for real: each test runs an archive in a
// private mount namespace with small tmpfs mounts and a mount table of its
// own, so the mounts and the table vanish with the test.
#include <gtest/gtest.h>

#include <cstdint>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>
#include <zlib.h>

#include "common/archive_kit.h"
#include "common/testutil.h"

using testutil::RunOptions;
using testutil::TempDir;

namespace {

const std::string payload = "relocated payload\n";

// Mounts under $T, in this order in the mount table: full (no room for a
// megabyte), ro (room, read-only), big and t (room). /etc gets a tmpfs of its
// own, so that /etc/mtab lists exactly these.
const std::string mounts = R"(set -e
mkdir -p "$T/full" "$T/ro" "$T/big" "$T/t"
mount -t tmpfs -o size=64k tmpfs "$T/full"
mount -t tmpfs -o size=8m,ro tmpfs "$T/ro"
mount -t tmpfs -o size=8m tmpfs "$T/big"
mount -t tmpfs -o size=8m tmpfs "$T/t"
)";
const std::string own_table = R"(mount -t tmpfs tmpfs /etc
grep -F " $T/" /proc/self/mounts > /etc/mtab
set +e
)";

class Relocate : public ::testing::Test {
protected:
    TempDir dir;
    std::string T = dir.path();
    std::string arc = dir / "app.run";

    void SetUp() override {
        static std::string refusal = probe();
        if (refusal.empty()) return;
        // CI runs as root, where the namespace must work: a skip there would
        // leave every relocation untested behind a green run.
        if (testutil::in_ci()) FAIL() << "CI=true, but no private mount namespace: " << refusal;
        GTEST_SKIP() << "private mount namespaces are not permitted here: " << refusal;
    }

    static std::string probe() {
        TempDir d;
        auto r = testutil::run({"/usr/bin/unshare", "-m", "/bin/sh", "-c", "mount -t tmpfs -o size=64k tmpfs \"$1\"", "sh",
                                d.path()});
        return r.status == 0 ? "" : r.err.empty() ? "unshare failed" : r.err;
    }

    // An archive whose extract command writes into VFYFS/FSSUB and whose run
    // command shows where that path leads and what is there.
    void make(const std::string &vfyfs, const std::string &payload_bytes = payload) {
        std::string x = "\"" + vfyfs + "/kx\"";
        kit::make_archive(arc,
                          {"NOCOMPR,NAME=data,VFYFS=" + vfyfs + ",FSSUB=kx", "App",
                           "echo \"link=$(readlink " + x + ")\"; cat " + x + "/data",
                           "mkdir -p " + x + " && cat > " + x + "/%o"},
                          payload_bytes);
    }

    // Runs setup, then the archive with args, then after: all inside one namespace.
    testutil::RunResult run(const std::string &setup, const std::string &args, const std::string &after = "") {
        return run_command(setup, "\"$ARC\" " + args, after);
    }

    // The same with any command line; $KELPA is a bare kelpa.
    testutil::RunResult run_command(const std::string &setup, const std::string &command,
                                    const std::string &after = "") {
        std::string script = mounts + setup + "\n" + own_table + command + "\necho \"status=$?\"\n" + after;
        RunOptions o;
        o.cwd = T;
        o.stdin_null = true;
        o.env = {"T=" + T, "ARC=" + arc, "KELPA=" + testutil::kelpa_bin()};
        o.timeout_seconds = 600; // a run checks every byte of its payload first: 4 GiB in one test
        return testutil::run({"/usr/bin/unshare", "-m", "/bin/sh", "-c", script}, o);
    }

    // Builds arc with kelpa itself from one input of the given bytes.
    void build(const std::vector<std::string> &options, const std::string &data) {
        testutil::write_file(dir / "data", data);
        int fd = open(arc.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0755);
        ASSERT_GE(fd, 0);
        RunOptions o;
        o.cwd = T;
        o.stdout_fd = fd;
        std::vector<std::string> args = options;
        args.push_back("data");
        auto r = testutil::run_kelpa(args, o);
        close(fd);
        ASSERT_EQ(r.status, 0) << r.err;
    }

    std::string failure_lines(const std::string &fullpath, const std::string &fs, int megs = 1) const {
        return fullpath + ": not enough space to extract the archive.\n"
                          "Please make at least " + std::to_string(megs) + "Mb available in " + fs + ".\n"
                          "Alternatively, you can make space available on another filesystem where a\n"
                          "\"kx\" directory can be created. Ensure that the \"kx\" directory\n"
                          "does not exist before trying again.\n";
    }
};

// A gzip member of `mib` MiB of zeros, made cheaply: one fully flushed
// DEFLATE chunk of a MiB stands alone, so it can be repeated.
std::string zeros_member(unsigned mib) {
    const std::string zeros(1u << 20, '\0');
    z_stream z{};
    deflateInit2(&z, 9, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY);
    std::string chunk(1u << 16, '\0'), end(64, '\0');
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(zeros.data()));
    z.avail_in = static_cast<uInt>(zeros.size());
    z.next_out = reinterpret_cast<Bytef *>(chunk.data());
    z.avail_out = static_cast<uInt>(chunk.size());
    deflate(&z, Z_FULL_FLUSH);
    chunk.resize(chunk.size() - z.avail_out);
    z.next_out = reinterpret_cast<Bytef *>(end.data());
    z.avail_out = static_cast<uInt>(end.size());
    deflate(&z, Z_FINISH);
    end.resize(end.size() - z.avail_out);
    deflateEnd(&z);
    const uLong crc1 = crc32(0, reinterpret_cast<const Bytef *>(zeros.data()), static_cast<uInt>(zeros.size()));
    uLong crc = crc1;
    std::string member("\x1f\x8b\x08\0\0\0\0\0\0\x03", 10);
    member.reserve(10 + chunk.size() * mib + end.size() + 8);
    member += chunk;
    for (unsigned i = 1; i < mib; i++) {
        member += chunk;
        crc = crc32_combine(crc, crc1, static_cast<z_off_t>(zeros.size()));
    }
    member += end;
    const std::uint64_t total = static_cast<std::uint64_t>(mib) << 20;
    for (std::uint64_t v : {static_cast<std::uint64_t>(crc), total})
        for (int i = 0; i < 4; i++) member.push_back(static_cast<char>(v >> (8 * i)));
    return member;
}

const std::string link_gone = "test -e \"$T/full/kx\" || test -L \"$T/full/kx\" || echo link-gone\n";

} // namespace

TEST_F(Relocate, RoomInPlaceMakesNoLink) {
    make(T + "/big");
    auto r = run("", "");
    EXPECT_EQ(r.out, "link=\n" + payload + "status=0\n");
    EXPECT_EQ(r.err, kit::comment_lines("App"));
}

TEST_F(Relocate, ExistingExtractionDirectoryIsRefused) {
    make(T + "/big");
    auto r = run("mkdir \"$T/big/kx\"", "", "test -d \"$T/big/kx\" && echo kept\n");
    EXPECT_EQ(r.out, "status=1\nkept\n");
    EXPECT_EQ(r.err, T + "/big/kx: extraction directory exists!\nPlease remove it first then try again.\n");
}

TEST_F(Relocate, SpaceCheckMessagesShowTheArchivesPathsOnlyAsVisibleCharacters) {
    // FSSUB comes from the archive: an escape sequence in it must not reach
    // the terminal through the space check's messages.
    kit::make_archive(arc, {"NOCOMPR,NAME=data,VFYFS=" + T + "/big,FSSUB=k\033[2Jx", "App", "exit 0", "cat > /dev/null"},
                      payload);
    auto r = run("mkdir \"$T/big/k$(printf '\\033')[2Jx\"", "");
    EXPECT_EQ(r.out, "status=1\n");
    EXPECT_EQ(r.err, T + "/big/k\\033[2Jx: extraction directory exists!\nPlease remove it first then try again.\n");
}

TEST_F(Relocate, FullFilesystemRelocatesToTheFirstWritableOneWithRoom) {
    make(T + "/full");
    auto r = run("", "", link_gone + "cat \"$T/big/kx/data\"; stat -c %a \"$T/big/kx\"\n");
    // The read-only mount comes first in the table and has room: never chosen.
    EXPECT_EQ(r.err, T + "/full/kx: not enough space. Looking for space in other filesystems.\nTrying " + T +
                         "/big ...\n" + kit::comment_lines("App"));
    EXPECT_EQ(r.out, "link=" + T + "/big/kx\n" + payload + "status=0\nlink-gone\n" + payload + "755\n");
}

TEST_F(Relocate, NoWritableRoomAnywhereFails) {
    make(T + "/full");
    auto r = run("mount -o remount,ro \"$T/big\"; umount \"$T/t\"", "", "ls \"$T/ro\" \"$T/big\"\n");
    EXPECT_EQ(r.out, "status=1\n" + T + "/big:\n\n" + T + "/ro:\n");
    EXPECT_EQ(r.err, T + "/full/kx: not enough space. Looking for space in other filesystems.\n" +
                         failure_lines(T + "/full/kx", T + "/full"));
}

TEST_F(Relocate, TDirectoryWithRoomIsPreferred) {
    make(T + "/big");
    auto r = run("", "-t \"$T/t/\"", "test -L \"$T/big/kx\" || echo link-gone; cat \"$T/t/kx/data\"\n");
    EXPECT_EQ(r.err, kit::comment_lines("App"));
    EXPECT_EQ(r.out, "link=" + T + "/t/kx\n" + payload + "status=0\nlink-gone\n" + payload);
}

TEST_F(Relocate, MissingTDirectoryIsCreatedAsTheTarget) {
    make(T + "/big");
    auto r = run("", "-t \"$T/t/new/deeper\"", "cat \"$T/t/new/deeper/kx/data\"\n");
    EXPECT_EQ(r.out, "link=" + T + "/t/new/deeper/kx\n" + payload + "status=0\n" + payload);
}

// Each option is judged by the mode in force when it is reached: a bare kelpa
// takes -t only after -u has put it in archive mode.
TEST_F(Relocate, BareKelpaKeepsTOnlyAfterU) {
    make(T + "/big");
    auto after_u = run_command("", "\"$KELPA\" -u -t \"$T/t\" \"$ARC\"");
    EXPECT_EQ(after_u.out, "link=" + T + "/t/kx\n" + payload + "status=0\n");
    auto before_u = run_command("", "\"$KELPA\" -t \"$T/t\" -u \"$ARC\"");
    EXPECT_EQ(before_u.out, "link=\n" + payload + "status=0\n");
}

TEST_F(Relocate, TDirectoryWithoutRoomIsIgnoredWhenThereIsRoomInPlace) {
    make(T + "/big");
    auto r = run("", "-t \"$T/full\"");
    EXPECT_EQ(r.out, "link=\n" + payload + "status=0\n");
    EXPECT_EQ(r.err, kit::comment_lines("App"));
}

TEST_F(Relocate, TDirectoryAndVfyfsWithoutRoomFailWithoutSearching) {
    make(T + "/full");
    auto r = run("mkdir \"$T/full/sub\"", "-t \"$T/full/sub\"");
    EXPECT_EQ(r.out, "status=1\n");
    EXPECT_EQ(r.err, failure_lines(T + "/full/sub/kx", T + "/full"));
}

TEST_F(Relocate, TNeverDeletesWhatStandsAtTheLinkPath) {
    make(T + "/big");
    auto r = run("mkdir \"$T/big/kx\"; echo precious > \"$T/big/kx/keep\"", "-t \"$T/t\"", "cat \"$T/big/kx/keep\"\n");
    EXPECT_EQ(r.out, "status=1\nprecious\n");
    EXPECT_EQ(r.err, T + "/big/kx: extraction directory exists!\nPlease remove it first then try again.\n");
}

// Also one that leads to the very directory this run makes: it is looked at
// before that directory exists.
TEST_F(Relocate, DanglingLinkLeftAtTheLinkPathIsReplaced) {
    make(T + "/big");
    for (const std::string to : {"/nowhere", "$T/t/kx"}) {
        auto r = run("ln -s \"" + to + "\" \"$T/big/kx\"", "-t \"$T/t\"", "test -L \"$T/big/kx\" || echo link-gone\n");
        EXPECT_EQ(r.out, "link=" + T + "/t/kx\n" + payload + "status=0\nlink-gone\n") << to;
    }
}

TEST_F(Relocate, RelativeVfyfsLinksAndRemovesTheRelativePath) {
    make("full");
    auto r = run("", "", link_gone + "cat \"$T/big/kx/data\"\n");
    EXPECT_EQ(r.err, T + "/full/kx: not enough space. Looking for space in other filesystems.\nTrying " + T +
                         "/big ...\n" + kit::comment_lines("App"));
    EXPECT_EQ(r.out, "link=" + T + "/big/kx\n" + payload + "status=0\nlink-gone\n" + payload);
}

TEST_F(Relocate, PathWithABlankIsRemovedExactly) {
    // Unquoted, the removal of "$T/my full/kx" would also hit "$T/my".
    make(T + "/my full");
    auto r = run("mkdir -p \"$T/my full\" && mount -t tmpfs -o size=64k tmpfs \"$T/my full\"\n"
                 "ln -s /nowhere \"$T/my full/kx\"; echo sentinel > \"$T/my\"",
                 "", "cat \"$T/my\"; test -L \"$T/my full/kx\" || echo link-gone\n");
    EXPECT_EQ(r.out, "link=" + T + "/big/kx\n" + payload + "status=0\nsentinel\nlink-gone\n");
}

TEST_F(Relocate, LinkIsRemovedWhenABrokenPipeEndsTheRun) {
    make(T + "/full");
    kit::make_archive(arc, {"NOCOMPR,NAME=data,VFYFS=" + T + "/full,FSSUB=kx", "", "touch \"$T/ran\"", "exit 0"},
                      testutil::datagen(1 << 20, 9, 0.5));
    auto r = run("", "", link_gone + "test -e \"$T/ran\" && echo ran\n");
    EXPECT_EQ(r.out, "status=1\nlink-gone\n");
}

TEST_F(Relocate, LinkPromptTakesItsDefaultAtTheEndOfInput) {
    make(T + "/full");
    auto r = run("", "-v -n", link_gone);
    EXPECT_EQ(r.out, "status=0\nlink-gone\n");
    EXPECT_EQ(r.err, T + "/full/kx: not enough space. Looking for space in other filesystems.\nTrying " + T +
                         "/big ...\nCreating temporary link to " + T + "/big/kx\nOK to create temporary link? [y]: " +
                         kit::comment_lines("App") + "Deflating data...\n");
}

TEST_F(Relocate, DeclinedLinkMovesOnToTheNextFilesystem) {
    make(T + "/full");
    testutil::write_file(dir / "answers", "no thanks\n");
    auto r = run("", "-v -n < \"$T/answers\"", "test -e \"$T/big/kx\" || echo big-untouched; cat \"$T/t/kx/data\"\n");
    EXPECT_EQ(r.out, "status=0\nbig-untouched\n" + payload);
    EXPECT_EQ(r.err, T + "/full/kx: not enough space. Looking for space in other filesystems.\n"
                     "Trying " + T + "/big ...\nCreating temporary link to " + T + "/big/kx\n"
                     "OK to create temporary link? [y]: "
                     "Trying " + T + "/t ...\nCreating temporary link to " + T + "/t/kx\n"
                     "OK to create temporary link? [y]: " +
                         kit::comment_lines("App") + "Deflating data...\n");
}

// The size to make room for.

TEST_F(Relocate, GzipPayloadNeedsItsUncompressedMegabytesPlusOne) {
    // 3 MiB uncompressed need 4 megabytes: more than a 3 MiB tmpfs has.
    build({"-V", T + "/mid", "-S", "kx", "-f", "mkdir -p mid/kx && cat > mid/kx/data"}, std::string(3 << 20, 'z'));
    auto r = run("mkdir \"$T/mid\"; mount -t tmpfs -o size=3m tmpfs \"$T/mid\"", "", "wc -c < \"$T/big/kx/data\"\n");
    EXPECT_EQ(r.out, "status=0\n3145728\n");
    EXPECT_EQ(r.err, T + "/mid/kx: not enough space. Looking for space in other filesystems.\nTrying " + T +
                         "/big ...\n" + kit::comment_lines("Self-Extracting archive file"));
}

TEST_F(Relocate, GzipPayloadJustBelowTheBoundaryFitsInPlace) {
    build({"-V", T + "/mid", "-S", "kx", "-f", "mkdir -p mid/kx && cat > mid/kx/data"}, std::string((3 << 20) - 1, 'z'));
    auto r = run("mkdir \"$T/mid\"; mount -t tmpfs -o size=3m tmpfs \"$T/mid\"", "", "test -L \"$T/mid/kx\" || echo in-place\n");
    EXPECT_EQ(r.out, "status=0\nin-place\n");
    EXPECT_EQ(r.err, kit::comment_lines("Self-Extracting archive file"));
}

TEST_F(Relocate, RawPayloadLengthIsTheSizeNotItsLastBytes) {
    // Read as a number, the last four bytes would ask for 4096 megabytes.
    make(T + "/big", std::string(1500000, 'r') + "\xff\xff\xff\xff");
    auto r = run("", "", "wc -c < \"$T/big/kx/data\"\n");
    EXPECT_EQ(r.out, "link=\n" + std::string(1500000, 'r') + "\xff\xff\xff\xffstatus=0\n1500004\n");
    EXPECT_EQ(r.err, kit::comment_lines("App"));
}

TEST_F(Relocate, LinkIsRemovedWhenDecodingFails) {
    build({"-V", T + "/full", "-S", "kx", "-f", "cat > /dev/null", "-r", "touch ran"}, testutil::datagen(30000, 4, 0.5));
    std::string bytes = testutil::read_file(arc);
    bytes[bytes.size() - 7] ^= 0x20; // inside the CRC
    testutil::write_file(arc, bytes, 0755);
    auto r = run("", "", link_gone + "test -e \"$T/ran\" || echo not-run\n");
    EXPECT_EQ(r.out, "status=1\nlink-gone\nnot-run\n");
    EXPECT_NE(r.err.find(": invalid compressed data--crc error\n"), std::string::npos) << r.err;
}

// The last length field holds the total modulo 4 GiB: read as the size it
// would ask for 2 megabytes and let 4 GiB loose on an 8 MiB filesystem.
TEST_F(Relocate, PayloadPast4GiBIsSizedFromTheExactTotal) {
    kit::make_archive(arc, {"NAME=z,VFYFS=" + T + "/big,FSSUB=kx", "App", "touch \"$T/ran\"",
                            "mkdir -p \"$T/big/kx\" && cat > \"$T/big/kx/z\""},
                      zeros_member(4096 + 1));
    auto r = run("", "", "test -e \"$T/ran\" || echo not-run; ls \"$T/big\"\n");
    EXPECT_EQ(r.out, "status=1\nnot-run\n");
    EXPECT_EQ(r.err, T + "/big/kx: not enough space. Looking for space in other filesystems.\n" +
                         failure_lines(T + "/big/kx", T + "/big", 4098));
}

// Signals and the temporary link.

// A dropped connection during the extraction ends the run like an interrupt:
// the link goes, so the next run is not refused.
TEST_F(Relocate, HangupDuringExtractionRemovesTheLink) {
    kit::make_archive(arc, {"NOCOMPR,NAME=data,VFYFS=" + T + "/full,FSSUB=kx", "", "touch \"$T/ran\"",
                            "kill -HUP $PPID; cat > /dev/null"},
                      payload);
    auto r = run("", "", link_gone + "test -e \"$T/ran\" || echo not-run\n");
    EXPECT_EQ(r.out, "status=129\nlink-gone\nnot-run\n");
}

// The install script keeps its link to the end: the signal reaches it, and
// the link goes only after it has ended. A script that handles the signal has
// the last word (the sleep it runs gets the signal too: the script says how
// it ends); one that dies of it takes kelpa with it.
TEST_F(Relocate, TerminationDuringTheRunCommandWaitsForIt) {
    const std::string extract = "mkdir -p \"$T/full/kx\" && cat > \"$T/full/kx/data\"";
    kit::make_archive(arc, {"NOCOMPR,NAME=data,VFYFS=" + T + "/full,FSSUB=kx", "",
                            "trap 'echo \"seen=$(cat \"$T/full/kx/data\")\" > \"$T/seen\"; exit 0' TERM; "
                            "kill -TERM $PPID; sleep 1",
                            extract},
                      payload);
    auto handled = run("", "", link_gone + "cat \"$T/seen\"\n");
    EXPECT_EQ(handled.out, "status=0\nlink-gone\nseen=" + payload);

    kit::make_archive(arc, {"NOCOMPR,NAME=data,VFYFS=" + T + "/full,FSSUB=kx", "",
                            "kill -TERM $PPID; sleep 5; touch \"$T/late\"", extract},
                      payload);
    auto died = run("", "", link_gone + "test -e \"$T/late\" || echo stopped\n");
    EXPECT_EQ(died.out, "status=143\nlink-gone\nstopped\n");
}

// Under nohup (SIGHUP ignored on entry) a hangup ends neither kelpa nor the
// install script it runs.
TEST_F(Relocate, HangupIgnoredOnEntryStaysIgnored) {
    kit::make_archive(arc, {"NOCOMPR,NAME=data,VFYFS=" + T + "/full,FSSUB=kx", "",
                            "kill -HUP $PPID; kill -HUP $$; echo survived", "cat > /dev/null"},
                      payload);
    auto r = run("trap '' HUP", "", link_gone);
    EXPECT_EQ(r.out, "survived\nstatus=0\nlink-gone\n");
}

// A link left by a run that is still going (same archive, second run) is
// neither replaced nor removed.
TEST_F(Relocate, SecondRunNeverTakesTheFirstRunsLink) {
    make(T + "/full");
    auto r = run("mkdir \"$T/t/kx\"; ln -s \"$T/t/kx\" \"$T/full/kx\"", "-t \"$T/big\"",
                 "readlink \"$T/full/kx\"\n");
    EXPECT_EQ(r.out, "status=1\n" + T + "/t/kx\n");
    EXPECT_EQ(r.err, T + "/full/kx: extraction directory exists!\nPlease remove it first then try again.\n");
}

// The link path under a directory that does not exist can never be made: each
// candidate tried loses every directory made for it.
TEST_F(Relocate, FailedCandidatesLeaveNoDirectories) {
    kit::make_archive(arc, {"NOCOMPR,NAME=data,VFYFS=" + T + "/full,FSSUB=deep/app", "", "touch \"$T/ran\"",
                            "cat > /dev/null"},
                      payload);
    auto r = run("", "", "ls -A \"$T/big\" \"$T/t\"; test -e \"$T/ran\" || echo not-run\n");
    EXPECT_EQ(r.out, "status=1\n" + T + "/big:\n\n" + T + "/t:\nnot-run\n");
    EXPECT_EQ(r.err, T + "/full/deep/app: not enough space. Looking for space in other filesystems.\nTrying " + T +
                         "/big ...\n" + T + "/big/deep/app: No such file or directory\nTrying " + T + "/t ...\n" + T +
                         "/t/deep/app: No such file or directory\n" + T +
                         "/full/deep/app: not enough space to extract the archive.\n"
                         "Please make at least 1Mb available in " + T + "/full.\n"
                         "Alternatively, you can make space available on another filesystem where a\n"
                         "\"deep/app\" directory can be created. Ensure that the \"deep/app\" directory\n"
                         "does not exist before trying again.\n");
}

// The link path is handled by system calls: a relative VFYFS value that
// begins with '-' is a name like any other.
TEST_F(Relocate, RelativeVfyfsBeginningWithADashIsNoOption) {
    kit::make_archive(arc, {"NOCOMPR,NAME=data,VFYFS=-full,FSSUB=kx", "App",
                            "echo \"link=$(readlink -- -full/kx)\"; cat ./-full/kx/data",
                            "mkdir -p -- -full/kx && cat > ./-full/kx/%o"},
                      payload);
    auto r = run("mkdir \"$T/-full\" && mount -t tmpfs -o size=64k tmpfs \"$T/-full\"", "",
                 "test -L \"$T/-full/kx\" || echo link-gone\n");
    EXPECT_EQ(r.out, "link=" + T + "/big/kx\n" + payload + "status=0\nlink-gone\n");
}

// Whichever signal that would end kelpa comes during the extraction reaches
// the whole extract command, which is waited for: kelpa ends by the signal
// only once nothing it started runs, and the link is gone. One extract
// command ignores the signal and goes on to the end of its input (kelpa stops
// feeding it); one is killed while a command of its own sleeps.
TEST_F(Relocate, SignalDuringExtractionEndsTheExtractCommandFirst) {
    // $1 a pid file: the sleeper's pid, so that the test can look for it after.
    testutil::write_file(dir / "sleeper", "echo $$ > \"$1.new\"; mv \"$1.new\" \"$1\"; exec sleep \"$2\"\n", 0755);
    const std::string alive = "p=$(cat \"$T/sleeper.pid\"); s=$(sed 's/.*) //' /proc/$p/stat 2>/dev/null | cut -c1);"
                              " if [ -n \"$s\" ] && [ \"$s\" != Z ]; then echo left-running; kill -9 $p; fi\n";
    // Signalled once the sleeper has started, however loaded the machine.
    const std::string signal_when_asleep = "rm -f \"$T/sleeper.pid\"; (while [ ! -e \"$T/sleeper.pid\" ]; do sleep 0.05; "
                                           "done; kill -";
    for (const auto &[name, number] : {std::pair<std::string, int>{"TERM", 15}, {"INT", 2}, {"HUP", 1}, {"QUIT", 3},
                                       {"USR1", 10}, {"ALRM", 14}}) {
        const std::string features = "NOCOMPR,NAME=data,VFYFS=" + T + "/full,FSSUB=kx";
        const std::string sleeper = "sh \"$T/sleeper\" \"$T/sleeper.pid\"";
        kit::make_archive(arc, {features, "", "touch \"$T/ran\"",
                                "trap '' " + name + "; kill -" + name + " $PPID; cat > /dev/null; " + sleeper +
                                    " 1; touch \"$T/extract-ended\""},
                          testutil::datagen(1 << 20, 3, 0.5));
        auto ignored = run("ulimit -c 0", "", link_gone + alive + "test -e \"$T/extract-ended\" && echo waited\n"
                                   "test -e \"$T/ran\" || echo not-run\nrm -f \"$T/extract-ended\"\n");
        EXPECT_EQ(ignored.out, "status=" + std::to_string(128 + number) + "\nlink-gone\nwaited\nnot-run\n") << name;

        kit::make_archive(arc, {features, "", "touch \"$T/ran\"",
                                signal_when_asleep + name + " $PPID) & " + sleeper + " 30; touch \"$T/late\""},
                          payload);
        auto killed = run("ulimit -c 0", "", link_gone + alive + "test -e \"$T/late\" || echo stopped\n"
                                  "test -e \"$T/ran\" || echo not-run\n");
        EXPECT_EQ(killed.out, "status=" + std::to_string(128 + number) + "\nlink-gone\nstopped\nnot-run\n") << name;
    }
}

// A signal sent to kelpa while the run command runs reaches all the command
// started, a shell of its own and what that shell runs included: once kelpa
// has died of it, none of them is left, and the link is gone.
TEST_F(Relocate, SignalDuringTheRunCommandEndsItsWholeGroup) {
    testutil::write_file(dir / "sleeper", "echo $$ > \"$1.new\"; mv \"$1.new\" \"$1\"; exec sleep 30\n", 0755);
    const std::string left = "p=$(cat \"$T/b.pid\"); s=$(sed 's/.*) //' /proc/$p/stat 2>/dev/null | cut -c1); "
                             "if [ -n \"$s\" ] && [ \"$s\" != Z ]; then echo left-running; kill -9 $p; fi\n";
    for (const auto &[name, number] : {std::pair<std::string, int>{"TERM", 15}, {"HUP", 1}, {"QUIT", 3},
                                       {"USR1", 10}, {"ALRM", 14}}) {
        // Not started in the background, where a shell has QUIT ignored.
        kit::make_archive(arc, {"NOCOMPR,NAME=data,VFYFS=" + T + "/full,FSSUB=kx", "",
                                "rm -f \"$T/b.pid\"; (while [ ! -e \"$T/b.pid\" ]; do sleep 0.05; done; kill -" + name +
                                    " $PPID) & sh -c 'sh \"$T/sleeper\" \"$T/b.pid\"; touch \"$T/late\"'; "
                                    "touch \"$T/late\"",
                                "cat > /dev/null"},
                          payload);
        auto r = run("ulimit -c 0", "", link_gone + left + "test -e \"$T/late\" || echo stopped\n");
        EXPECT_EQ(r.out, "status=" + std::to_string(128 + number) + "\nlink-gone\nstopped\n") << name;
    }
}

// Relocation targets are filesystems that hold files, each mount point tried
// once: kernel filesystems with room (devtmpfs has half the memory) are no
// candidates, nor is a mount point the table lists again. The link path can
// never be made here, so every candidate is tried and shown.
TEST_F(Relocate, CandidatesAreFilesystemsThatHoldFilesEachTriedOnce) {
    kit::make_archive(arc, {"NOCOMPR,NAME=data,VFYFS=" + T + "/full,FSSUB=deep/app", "", "touch \"$T/ran\"",
                            "cat > /dev/null"},
                      payload);
    const std::string kernel_mounts = R"(for fs in proc sysfs devtmpfs devpts mqueue cgroup2; do
    mkdir "$T/$fs" && mount -t $fs $fs "$T/$fs"
done
mkdir "$T/twice" "$T/over" "$T/fake"
mount -t tmpfs -o size=8m tmpfs "$T/twice"
mount -t tmpfs -o size=8m tmpfs "$T/twice"
mount -t tmpfs -o size=8m,ro tmpfs "$T/over"
mount -t tmpfs -o size=8m tmpfs "$T/over"
mount -t tmpfs -o size=8m tmpfs "$T/fake")";
    // The kernel filesystems that cannot be mounted at will here: entries of
    // the table over a tmpfs with room.
    const std::string fake_entries =
        "grep -v \" $T/fake \" /etc/mtab > /etc/mtab.new; mv /etc/mtab.new /etc/mtab\n"
        "for fs in cgroup securityfs debugfs tracefs pstore bpf configfs fusectl hugetlbfs binfmt_misc autofs "
        "efivarfs nsfs rpc_pipefs; do echo \"$fs $T/fake $fs rw 0 0\" >> /etc/mtab; done\n";
    auto r = run_command(kernel_mounts, fake_entries + "\"$ARC\"", "test -e \"$T/ran\" || echo not-run\n");
    EXPECT_EQ(r.out, "status=1\nnot-run\n");
    std::string tried;
    for (const char *at : {"/big", "/t", "/twice", "/over"})
        tried += "Trying " + T + at + " ...\n" + T + at + "/deep/app: No such file or directory\n";
    EXPECT_EQ(r.err, T + "/full/deep/app: not enough space. Looking for space in other filesystems.\n" + tried + T +
                         "/full/deep/app: not enough space to extract the archive.\n"
                         "Please make at least 1Mb available in " + T + "/full.\n"
                         "Alternatively, you can make space available on another filesystem where a\n"
                         "\"deep/app\" directory can be created. Ensure that the \"deep/app\" directory\n"
                         "does not exist before trying again.\n");
}

// The extract command writes over a later block of the archive while it
// reads: the run ends at that block with the message, nothing of the block
// delivered, the extract command waited for, the link removed and the run
// command not run.
TEST_F(Relocate, ArchiveRewrittenDuringExtractionEndsTheRunAndRemovesTheLink) {
    const std::string data = testutil::datagen(2 << 20, 27, 0.0);
    const std::string extract = "mkdir -p \"$T/full/kx\" && head -c 100000 > \"$T/full/kx/data\" && "
                                "printf X | dd of=\"$ARC\" bs=1 seek=$(( $(wc -c < \"$ARC\") - 500000 )) "
                                "conv=notrunc 2>/dev/null; cat >> \"$T/full/kx/data\"; touch \"$T/ended\"";
    build({"-V", T + "/full", "-S", "kx", "-C", "App", "-r", "touch \"$T/ran\"", "-f", extract}, data);
    const std::string before = testutil::read_file(arc);
    const std::size_t payload_at = kit::read_trailer(before, testutil::read_file(testutil::kelpa_bin()).size());
    ASSERT_NE(payload_at, std::string::npos);
    const std::size_t block_at = (before.size() - 500000) / (1 << 16) * (1 << 16);
    // A bare kelpa: an archive that runs itself cannot be written to.
    auto r = run_command("", "\"$KELPA\" -u \"$ARC\"",
                         link_gone + "test -e \"$T/ran\" || echo not-run; test -e \"$T/ended\" && echo waited\n"
                                     "cat \"$T/big/kx/data\" > \"$T/delivered\"\n");
    EXPECT_EQ(r.out, "status=1\nlink-gone\nnot-run\nwaited\n");
    EXPECT_EQ(r.err, T + "/full/kx: not enough space. Looking for space in other filesystems.\nTrying " + T +
                         "/big ...\n" + kit::comment_lines("App") + arc +
                         ": the archive changed while it was being read\n");
    const std::string delivered = testutil::read_file(dir / "delivered");
    EXPECT_GE(delivered.size(), 100000u);
    EXPECT_LE(delivered.size(), testutil::zlib_decodable_prefix(before.substr(payload_at), block_at - payload_at));
    EXPECT_TRUE(data.compare(0, delivered.size(), delivered) == 0) << "not what the archive held";
}

// Mount points in the kernel's and the running system's trees are never
// candidates, a tmpfs with room among them; names that only begin like them
// are. The root filesystem's candidate joins its path without a doubled '/'.
// Run in a root of its own (a tmpfs, the system's programs bound into it),
// so that the candidate "/" is a filesystem of the test's.
TEST_F(Relocate, CandidatesExcludeTheSystemTreesAndTheRootJoinsWithOneSlash) {
    const std::string root = R"SH(set -e
R="$T/root"
mkdir "$R" && mount -t tmpfs -o size=16m tmpfs "$R"
for d in usr bin sbin lib lib32 lib64 libx32; do
    if [ -L "/$d" ]; then ln -s "$(readlink "/$d")" "$R/$d"
    elif [ -d "/$d" ]; then mkdir "$R/$d" && mount --bind "/$d" "$R/$d"; fi
done
mkdir -p "$R/etc" "$R/proc" "$R/dev/shm" "$R/sys/fs/cgroup" "$R/run" "$R/full" "$R/devices" "$R/runner"
mount -t proc proc "$R/proc"
mount -t tmpfs -o size=64k tmpfs "$R/full"
for m in dev/shm sys/fs/cgroup run devices runner; do mount -t tmpfs -o size=8m tmpfs "$R/$m"; done
mkdir -p "$R/run/user/0" && mount -t tmpfs -o size=8m tmpfs "$R/run/user/0"
for m in /full /dev/shm /sys/fs/cgroup /run /run/user/0 / /devices /runner; do echo "tmpfs $m tmpfs rw 0 0"; done > "$R/etc/mtab"
cp "$KELPA" "$R/kelpa"
cp "$T/deep.run" "$T/app.run" "$R/"
set +e
chroot "$R" /kelpa -u /deep.run; echo "status=$?"
chroot "$R" /kelpa -u /app.run; echo "status=$?"
test -L "$R/full/app" || echo link-gone
cat "$R/app/data"
)SH";
    kit::make_archive(dir / "deep.run", {"NOCOMPR,NAME=data,VFYFS=/full,FSSUB=deep/app", "", "touch /ran", "cat > /dev/null"},
                      payload);
    kit::make_archive(arc, {"NOCOMPR,NAME=data,VFYFS=/full,FSSUB=app", "", "echo \"link=$(readlink /full/app)\"",
                            "cat > /full/app/%o"},
                      payload);
    RunOptions o;
    o.cwd = T;
    o.stdin_null = true;
    o.env = {"T=" + T, "KELPA=" + testutil::kelpa_bin()};
    auto r = testutil::run({"/usr/bin/unshare", "-m", "/bin/sh", "-c", root}, o);
    EXPECT_EQ(r.out, "status=1\nlink=/app\nstatus=0\nlink-gone\n" + payload);
    std::string tried;
    for (const std::string at : {"/", "/devices/", "/runner/"})
        tried += "Trying " + (at == "/" ? at : at.substr(0, at.size() - 1)) + " ...\n" + at + "deep/app: No such file or directory\n";
    EXPECT_EQ(r.err, "/full/deep/app: not enough space. Looking for space in other filesystems.\n" + tried +
                         "/full/deep/app: not enough space to extract the archive.\n"
                         "Please make at least 1Mb available in /full.\n"
                         "Alternatively, you can make space available on another filesystem where a\n"
                         "\"deep/app\" directory can be created. Ensure that the \"deep/app\" directory\n"
                         "does not exist before trying again.\n"
                         "/full/app: not enough space. Looking for space in other filesystems.\nTrying / ...\n");
}
