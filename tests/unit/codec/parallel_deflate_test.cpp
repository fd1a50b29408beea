// The encoder on several threads: every thread count and job size writes the
// single-threaded bytes, for inputs made to stress the edges of the jobs, from
// files and from pipes that deliver a few bytes at a time; and a read that
// fails part-way ends the build where the single-threaded one ends it.
#include <gtest/gtest.h>

#include <cstdint>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "codec/deflate.h"
#include "common/testutil.h"
#include "encoder_check.h"

using namespace encoder_check;

namespace {

class ParallelDeflate : public ::testing::Test {
protected:
    void SetUp() override { testutil::reset_codec_state(); }
};

std::uint32_t next_rand(std::uint32_t &s) { return s = s * 1103515245u + 12345u, s >> 8; }

// Pieces of one 2 KiB stretch of text, 3 to 258 bytes each: matches
// everywhere, at every phase, across every job boundary.
std::string pieces(std::size_t size, std::uint32_t seed) {
    const std::string dict = testutil::datagen(2048, seed, 0.5);
    std::string out;
    std::uint32_t s = seed;
    while (out.size() < size) {
        const std::size_t len = 3 + next_rand(s) % 256;
        out += dict.substr(next_rand(s) % (dict.size() - len), len);
    }
    out.resize(size);
    return out;
}

std::string pattern258(std::size_t size) {
    std::string unit = testutil::datagen(258, 7, 0.0), out;
    while (out.size() < size) out += unit;
    out.resize(size);
    return out;
}

// A run of one byte between two stretches of text.
std::string long_run(std::size_t size) {
    return testutil::datagen(size / 4, 3, 0.9) + std::string(size / 2, 'z') + testutil::datagen(size - size / 4 - size / 2, 4, 0.9);
}

// Writes data into a pipe in pieces of 1 to 700 bytes, as a slow producer does.
struct trickle {
    int fds[2];
    std::thread writer;
    explicit trickle(const std::string &data) {
        EXPECT_EQ(pipe(fds), 0);
        writer = std::thread([this, &data] {
            std::uint32_t s = 99;
            for (std::size_t at = 0; at < data.size();) {
                const std::size_t n = std::min<std::size_t>(1 + next_rand(s) % 700, data.size() - at);
                const ssize_t w = write(fds[1], data.data() + at, n);
                if (w <= 0) break;
                at += std::size_t(w);
            }
            close(fds[1]);
        });
    }
    ~trickle() {
        writer.join();
        close(fds[0]);
    }
};

// One member of each input, in order, in one codec state from its start, by
// `threads` workers on jobs of `chunk` bytes, read from files or pipes.
std::string members(const std::vector<std::string> &inputs, int threads, std::size_t chunk, bool through_pipe) {
    testutil::reset_codec_state();
    codec::zip_threads = threads;
    codec::zip_chunk = chunk;
    testutil::TempDir dir;
    const std::string out_path = dir / "out";
    int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    for (const std::string &data : inputs) {
        std::strcpy(codec::ifname, "in");
        if (through_pipe) {
            trickle t(data);
            (void)codec::zip(t.fds[0], out);
        } else {
            testutil::write_file(dir / "in", data);
            int in = open((dir / "in").c_str(), O_RDONLY);
            (void)codec::zip(in, out);
            close(in);
        }
    }
    close(out);
    return testutil::read_file(out_path);
}

// Short random stretches between long runs: blocks that compress well with
// few matches end early, at item counts that fall inside a stretch.
std::string literal_runs(std::size_t size) {
    const std::string noise = testutil::datagen(size, 14, 0.0);
    std::string out;
    for (std::size_t at = 0; out.size() < size; at += 8) out += noise.substr(at, 8) + std::string(260, 'z');
    out.resize(size);
    return out;
}

// Runs of one byte, `shortest` to `longest` long, each of a byte value of its
// own and most of them with a stretch of 0 to 300 random bytes after it: runs
// that start, end and cover the jobs' edges at every phase of their matches,
// runs next to runs, runs that end the input.
std::string runs(std::size_t size, std::size_t shortest, std::size_t longest, std::uint32_t seed) {
    const std::string noise = testutil::datagen(size, seed, 0.0);
    std::string out;
    std::uint32_t s = seed;
    while (out.size() < size) {
        const std::size_t len = shortest + next_rand(s) % (longest - shortest + 1);
        out += std::string(len, static_cast<char>(next_rand(s) % 3 == 0 ? next_rand(s) : 0));
        const std::size_t gap = next_rand(s) % 4 == 0 ? 0 : next_rand(s) % 301;
        out += noise.substr(out.size() % (size - gap), gap);
    }
    out.resize(size);
    return out;
}

struct Case {
    const char *name;
    std::vector<std::string> inputs;
};

std::vector<Case> cases() {
    constexpr std::size_t C = 4099; // the job size of the sweep, odd on purpose
    return {
        {"run_of_one_byte", {std::string(200000, 'a')}},
        {"run_between_text", {long_run(150000)}},
        {"pattern_258", {pattern258(150000)}},
        {"matches_across_every_boundary", {pieces(200000, 5)}},
        {"random", {testutil::datagen(150000, 6, 0.0)}},
        {"literal_runs_across_block_ends", {literal_runs(200000)}},
        // Runs stepped over for a MiB and more: blocks that end inside them.
        {"zeros", {std::string(2500000, '\0')}},
        {"short_runs_at_every_phase", {runs(300000, 250, 3000, 15)}},
        {"long_runs_between_random_stretches", {runs(900000, 16000, 90000, 16)}},
        {"text", {testutil::datagen(250000, 8, 1.0)}},
        {"one_job", {testutil::datagen(C, 9, 0.8)}},
        {"one_job_less_one", {testutil::datagen(C - 1, 9, 0.8)}},
        {"one_job_and_one", {testutil::datagen(C + 1, 9, 0.8)}},
        {"two_jobs_and_a_lookahead", {testutil::datagen(2 * C + 262, 10, 0.8)}},
        {"empty", {std::string()}},
        {"several", {pieces(30000, 11), std::string(), testutil::datagen(70000, 12, 0.3), "ab", pieces(9000, 13)}},
    };
}

TEST_F(ParallelDeflate, EveryThreadCountWritesTheSingleThreadedBytes) {
    for (const Case &c : cases()) {
        const std::string want = members(c.inputs, 1, 1 << 20, false);
        for (int threads : {1, 2, 3, 7, 16}) {
            for (std::size_t chunk : {std::size_t{4099}, std::size_t{70000}}) {
                EXPECT_TRUE(members(c.inputs, threads, chunk, false) == want)
                    << c.name << ": " << threads << " threads, jobs of " << chunk;
            }
        }
        EXPECT_TRUE(members(c.inputs, 3, 4099, true) == want) << c.name << " through a pipe";
    }
}

TEST_F(ParallelDeflate, APipeThatDeliversAFewBytesAtATimeIsReadAsAFile) {
    // The window must be as full as with a file wherever it slides, or the
    // output would depend on how the reads return.
    for (const std::string &data : {pieces(300000, 21), testutil::datagen(140000, 22, 0.7)})
        EXPECT_TRUE(members({data}, 1, 1 << 20, true) == members({data}, 1, 1 << 20, false));
}

TEST_F(ParallelDeflate, JobsAgreeWithTheTrueParseSoonAfterTheirStart) {
    // On ordinary data the joiner parses only a little around each job's
    // start itself; the rest is the workers' parse, taken as it is.
    const std::string data = testutil::datagen(400000, 31, 0.9);
    (void)members({data}, 2, 10000, false);
    EXPECT_GT(codec::zip_reparsed, 0);
    EXPECT_LT(codec::zip_reparsed, 40 * 2000) << "about 40 jobs";
}

// The input: 3 MiB of this process's memory, read through /proc/self/mem,
// whose reads fail with EIO at the unmapped page after it.
int failing_input() {
    const std::size_t good = 3u << 20;
    const long page = sysconf(_SC_PAGESIZE);
    auto *mem = static_cast<char *>(mmap(nullptr, good + std::size_t(page), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    if (mem == MAP_FAILED) return -1;
    const std::string data = testutil::datagen(good, 41, 0.8);
    std::memcpy(mem, data.data(), good);
    munmap(mem + good, std::size_t(page));
    int fd = open("/proc/self/mem", O_RDONLY | O_LARGEFILE);
    if (fd < 0 || lseek64(fd, static_cast<off64_t>(reinterpret_cast<std::uintptr_t>(mem)), SEEK_SET) < 0) return -1;
    return fd;
}

// Whether reads of /proc/self/mem give this process's memory: not under
// user-mode emulation, which the 32-bit build may run under.
bool proc_mem_reads_own_memory() {
    const std::string probe = testutil::datagen(4096, 42, 0.0);
    std::string back(probe.size(), '\0');
    int fd = open("/proc/self/mem", O_RDONLY | O_LARGEFILE);
    if (fd < 0) return false;
    const ssize_t got = pread64(fd, back.data(), back.size(), static_cast<off64_t>(reinterpret_cast<std::uintptr_t>(probe.data())));
    close(fd);
    return got == ssize_t(probe.size()) && back == probe;
}

TEST_F(ParallelDeflate, JobsThatStartInsideARunAgreeWithTheTrueParsePastIt) {
    // Across a run a worker's matches end elsewhere than the true parse's;
    // the joiner steps over it without a search and meets the worker past it.
    for (const std::string &data : {std::string(3000000, '\0'), runs(3000000, 16000, 200000, 32)}) {
        (void)members({data}, 2, 100000, false);
        EXPECT_LT(codec::zip_reparsed, 30 * 2000) << "30 jobs";
    }
}

TEST_F(ParallelDeflate, AReadThatFailsPartWayEndsWhereTheSingleThreadedBuildEnds) {
    if (!proc_mem_reads_own_memory()) GTEST_SKIP() << "/proc/self/mem does not read this process's memory here";
    testutil::TempDir dir;
    for (int threads : {1, 2, 7}) {
        const std::string out_path = dir / ("out" + std::to_string(threads));
        EXPECT_EXIT(
            {
                codec::zip_threads = threads;
                codec::zip_chunk = 100000;
                std::strcpy(codec::ifname, "mem");
                int in = failing_input();
                int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
                if (in < 0 || out < 0) std::exit(3);
                (void)codec::zip(in, out);
            },
            ::testing::ExitedWithCode(1), "\nkelpa: mem: Input/output error\n");
    }
    const std::string single = testutil::read_file(dir / "out1");
    EXPECT_GT(single.size(), 16384u) << "the build wrote part of the member before the failure";
    EXPECT_TRUE(testutil::read_file(dir / "out2") == single);
    EXPECT_TRUE(testutil::read_file(dir / "out7") == single);
}

} // namespace
