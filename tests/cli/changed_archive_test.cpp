// An archive whose bytes change after the run's first read of them: a run,
// -n and -x end at the first changed block with nothing of it delivered,
// signed or not. The change is made by a helper process once kelpa is past its
// check (the extract command started, or the first byte of -x's output is
// there), through a shared mapping whose page was already dirty, so that the
// file's size and times need not move; or by the extract command itself.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

#include "common/archive_kit.h"
#include "common/testutil.h"

using testutil::read_file;
using testutil::RunOptions;
using testutil::RunResult;
using testutil::TempDir;

namespace {

constexpr std::size_t BLOCK = 1 << 16; // the aligned blocks a run compares
const std::string changed = ": the archive changed while it was being read\n";

bool exists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }

void touch(const std::string &path) { close(open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644)); }

// Polls until ready() or 60 seconds have passed.
void wait_for(const std::function<bool()> &ready) {
    for (int i = 0; i < 6000 && !ready(); i++) {
        struct timespec tick = {0, 10 * 1000 * 1000};
        nanosleep(&tick, nullptr);
    }
}

class ChangedArchive : public ::testing::Test {
protected:
    TempDir dir;
    std::string arc = dir / "app.run";
    std::string pub = dir / "vendor.pub";
    std::string key = dir / "vendor.key";
    // Incompressible: each block of the payload is about a block of output,
    // so that a run waiting on a full pipe is never far ahead of it.
    std::string data = testutil::datagen(3 << 20, 26, 0.0);
    std::string minisign = testutil::find_on_path("minisign");

    void SetUp() override {
        testutil::write_file(dir / "data.tar", data);
        if (minisign.empty()) return;
        auto r = testutil::run({minisign, "-G", "-W", "-p", pub, "-s", key}, in_dir());
        ASSERT_EQ(r.status, 0) << r.err;
    }

    void need_keys() {
        if (!minisign.empty()) return;
        if (testutil::in_ci()) FAIL() << "minisign, which makes the keys, is not installed";
        GTEST_SKIP() << "minisign, which makes the keys, is not installed";
    }

    RunOptions in_dir() const {
        RunOptions o;
        o.cwd = dir.path();
        o.stdin_null = true;
        return o;
    }

    // The archive of data.tar built by kelpa, signed with vendor.key when asked.
    void build(const std::string &extract, bool sign) {
        std::vector<std::string> args = {"-C", "App", "-r", "touch ran", "-f", extract};
        if (sign) args.insert(args.end(), {"-K", key});
        args.push_back("data.tar");
        int fd = open(arc.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0755);
        ASSERT_GE(fd, 0);
        RunOptions o = in_dir();
        o.stdout_fd = fd;
        auto r = testutil::run_kelpa(args, o);
        close(fd);
        ASSERT_EQ(r.status, 0) << r.err;
    }

    // The payload's offset in the archive.
    std::size_t payload_at() const {
        const std::size_t at = kit::read_trailer(read_file(arc), read_file(testutil::kelpa_bin()).size());
        EXPECT_NE(at, std::string::npos);
        return at;
    }

    // The run of the archive by a bare kelpa, with -k when signed. (An
    // archive that runs itself cannot be written to while it runs.)
    std::vector<std::string> run_of(bool sign, const std::string &mode) const {
        std::vector<std::string> argv = {testutil::kelpa_bin(), "-u"};
        if (sign) argv.insert(argv.end(), {"-k", pub});
        if (!mode.empty()) argv.push_back(mode);
        argv.push_back(arc);
        return argv;
    }

    // What was delivered: a prefix of the data, no longer than what the
    // bytes before the changed block decode to.
    void expect_nothing_of_the_block(const std::string &got, std::size_t block_at, const std::string &what) {
        const std::string payload = read_file(arc).substr(payload_at());
        const std::size_t bound = testutil::zlib_decodable_prefix(payload, block_at - payload_at());
        ASSERT_GT(bound, 0u) << what;
        ASSERT_LT(bound, data.size()) << what;
        EXPECT_LE(got.size(), bound) << what;
        EXPECT_TRUE(data.compare(0, got.size(), got) == 0) << what << ": not what the archive held";
    }
};

// Holds the page of the archive at `at` in a shared writable mapping, already
// written to (the same byte back), as whoever means to change it unseen would.
struct DirtyPage {
    char *page = nullptr;
    std::size_t len = 0;
    std::size_t off = 0;
    DirtyPage(const std::string &path, std::size_t at) {
        const std::size_t size = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
        void *m = fd >= 0 ? mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, static_cast<off_t>(at / size * size))
                          : MAP_FAILED;
        if (fd >= 0) close(fd);
        if (m == MAP_FAILED) {
            ADD_FAILURE() << path << ": " << std::strerror(errno);
            return;
        }
        page = static_cast<char *>(m);
        len = size;
        off = at % size;
        volatile char *c = page + off;
        *c = *c;
    }
    ~DirtyPage() {
        if (page != nullptr) munmap(page, len);
    }
    void flip() const { page[off] ^= 0x55; }
};

struct Mode {
    const char *name;
    const char *option; // "", "-n" or "-x"
};

} // namespace

// The change lands after the check has read every byte and before the act
// reaches the block: the run ends there, its extract command sees the end of
// its input and is waited for, the run command never runs.
TEST_F(ChangedArchive, RunNAndXEndAtTheFirstChangedBlockSignedOrNot) {
    const std::string extract = ": > started; while [ ! -e go ]; do sleep 0.01; done; cat > got; : > ended";
    for (bool sign : {false, true}) {
        if (sign) {
            need_keys();
            if (HasFatalFailure() || IsSkipped()) return;
        }
        for (Mode mode : {Mode{"run", ""}, Mode{"-n", "-n"}, Mode{"-x", "-x"}}) {
            const std::string what = std::string(mode.name) + (sign ? " signed" : " unsigned");
            for (const char *f : {"started", "go", "got", "ended", "ran", "x-out"}) unlink((dir / f).c_str());
            build(extract, sign);
            const std::size_t p = payload_at();
            // Two changed blocks, halfway into the payload and after: the run
            // must end at the first.
            const std::size_t block_at = (p + (read_file(arc).size() - p) / 2) / BLOCK * BLOCK;
            const std::string before = read_file(arc);
            DirtyPage first(arc, block_at + 100), second(arc, block_at + 3 * BLOCK + 7);
            struct stat was {};
            stat(arc.c_str(), &was);

            const bool x = mode.option == std::string("-x");
            int out[2] = {-1, -1};
            if (x) {
                ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
            }
            const std::string got_path = dir / (x ? "x-out" : "got");
            pid_t changer = fork();
            if (changer == 0) {
                // Past the first read: the extract command has started, or
                // the first byte of -x's output is waiting in the pipe.
                if (x) {
                    close(out[1]);
                    struct pollfd pf = {out[0], POLLIN, 0};
                    poll(&pf, 1, 60000);
                } else {
                    wait_for([&] { return exists(dir / "started"); });
                }
                first.flip();
                second.flip();
                if (!x) {
                    touch(dir / "go");
                    _exit(0);
                }
                int to = open(got_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
                char buf[65536];
                for (ssize_t n; (n = read(out[0], buf, sizeof buf)) > 0;)
                    if (write(to, buf, static_cast<std::size_t>(n)) != n) _exit(1);
                _exit(0);
            }
            ASSERT_GT(changer, 0) << std::strerror(errno);
            RunOptions o = in_dir();
            if (x) {
                close(out[0]);
                o.stdout_fd = out[1];
            }
            auto r = testutil::run(run_of(sign, mode.option), o);
            if (x) close(out[1]);
            int changer_status = 0;
            waitpid(changer, &changer_status, 0);

            EXPECT_EQ(r.status, 1) << what << ": " << r.err;
            EXPECT_EQ(r.err, kit::comment_lines("App") + (x ? "Deflating data.tar...\n" : "") + arc + changed) << what;
            expect_nothing_of_the_block(read_file(got_path), block_at, what);
            EXPECT_FALSE(exists(dir / "ran")) << what;
            if (!x) {
                EXPECT_TRUE(exists(dir / "ended")) << what << ": the extract command was not waited for";
            }
            // The file changed in place, its size kept.
            struct stat now {};
            stat(arc.c_str(), &now);
            EXPECT_EQ(now.st_size, was.st_size) << what;
            EXPECT_TRUE(read_file(arc) != before) << what << ": the archive was not changed";
        }
    }
}

// The extract command itself changes the archive after it has read some of
// the payload: written over further on, cut short, or grown. The run ends
// with the message when it reaches the change, and its run command does not
// run.
TEST_F(ChangedArchive, ArchiveChangedByItsOwnExtractCommandIsRefusedThere) {
    struct Change {
        const char *name;
        std::string command; // run in the archive's directory, after 200000 bytes were read
    };
    const std::vector<Change> changes = {
        {"overwritten", "printf X | dd of=app.run bs=1 seek=$(( $(wc -c < app.run) - 400000 )) conv=notrunc 2>/dev/null"},
        {"cut", "truncate -s -5000 app.run"},
        {"grown", "printf 'more bytes' >> app.run"},
    };
    for (bool sign : {false, true}) {
        if (sign) {
            need_keys();
            if (HasFatalFailure() || IsSkipped()) return;
        }
        for (const Change &c : changes) {
            const std::string what = std::string(c.name) + (sign ? " signed" : " unsigned");
            for (const char *f : {"got", "ended", "ran"}) unlink((dir / f).c_str());
            build("head -c 200000 > got; " + c.command + "; cat >> got; : > ended", sign);
            const std::string before = read_file(arc);
            auto r = testutil::run(run_of(sign, ""), in_dir());
            EXPECT_EQ(r.status, 1) << what << ": " << r.err;
            EXPECT_EQ(r.err, kit::comment_lines("App") + arc + changed) << what;
            const std::string got = read_file(dir / "got");
            EXPECT_GE(got.size(), 200000u) << what;
            EXPECT_LT(got.size(), data.size()) << what;
            EXPECT_TRUE(data.compare(0, got.size(), got) == 0) << what;
            EXPECT_TRUE(exists(dir / "ended")) << what;
            EXPECT_FALSE(exists(dir / "ran")) << what;
            EXPECT_TRUE(read_file(arc) != before) << what << ": the archive was not changed";
        }
    }
}
