// KELPA_THREADS end to end: the counts refused before anything is written,
// and the same archive, to the byte, at every count accepted, from a file
// and from a pipe, with the same write error on a full device.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "common/testutil.h"

namespace {

class Threads : public ::testing::Test {
protected:
    testutil::TempDir dir;
    testutil::RunOptions with(const std::string &threads) const {
        testutil::RunOptions o;
        o.cwd = dir.path();
        o.stdin_null = true;
        o.env = {"KELPA_THREADS=" + threads, "KELPA=" + testutil::kelpa_bin()};
        return o;
    }
};

TEST_F(Threads, CountsOtherThanOneTo256AreRefusedBeforeAnythingIsWritten) {
    testutil::write_file(dir / "a", "alpha");
    const std::string message = std::string(testutil::kelpa_bin()).append(": KELPA_THREADS must be a whole number from 1 to 256\n");
    for (const char *v : {"", "0", "00", "-1", "257", "1000", "99999999999999999999", "abc", "2x", " 2", "2 ", "+2", "4.0", "0x4"}) {
        auto r = testutil::run_kelpa({"a"}, with(v));
        EXPECT_EQ(r.status, 1) << "'" << v << "'";
        EXPECT_EQ(r.err, message) << "'" << v << "'";
        EXPECT_EQ(r.out, "") << "'" << v << "'";
    }
}

TEST_F(Threads, EveryCountWritesTheSameArchive) {
    // Three jobs of text, a stretch of random bytes and two runs, the second
    // across a job's start, in two inputs.
    std::string big = testutil::datagen(1500000, 1, 0.9) + testutil::datagen(600000, 2, 0.0) +
                      std::string(400000, 'r') + testutil::datagen(900000, 3, 0.6) + std::string(1500000, '\0') +
                      testutil::datagen(100000, 7, 0.0);
    testutil::write_file(dir / "big", big);
    testutil::write_file(dir / "small", testutil::datagen(5000, 4, 0.5));
    const std::string build = "\"$KELPA\" -p \"$KELPA\" big small";
    auto one = testutil::run({"/bin/sh", "-c", build}, with("1"));
    ASSERT_EQ(one.status, 0) << one.err;
    for (const char *v : {"2", "3", "16", "007", "256"}) {
        auto r = testutil::run({"/bin/sh", "-c", build}, with(v));
        EXPECT_EQ(r.status, 0) << v << ": " << r.err;
        EXPECT_TRUE(r.out == one.out) << v << " threads";
    }
    auto unset = with("1");
    unset.env = {"KELPA=" + testutil::kelpa_bin()};
    auto r = testutil::run({"/bin/sh", "-c", "unset KELPA_THREADS; " + build}, unset);
    EXPECT_TRUE(r.out == one.out) << "the default count";
    auto piped = testutil::run({"/bin/sh", "-c", "cat big | \"$KELPA\" -p \"$KELPA\" /dev/stdin small"}, with("4"));
    auto piped_one = testutil::run({"/bin/sh", "-c", "\"$KELPA\" -p \"$KELPA\" /dev/stdin small < big"}, with("1"));
    ASSERT_EQ(piped.status, 0) << piped.err;
    EXPECT_TRUE(piped.out == piped_one.out) << "from a pipe";
}

// 256 workers need over 800 MB of address space (each 2.1 MiB, a ring of a
// MiB per job, 8 MiB of stack); under a limit of 300 MB the build takes the
// workers it can get, down to one thread, and writes the same bytes.
TEST_F(Threads, ACountWhoseMemoryIsLimitedUsesFewerThreads) {
    testutil::write_file(dir / "big", testutil::datagen(6000000, 6, 0.8));
    const std::string build = "ulimit -v $LIMIT && exec \"$KELPA\" -p \"$KELPA\" big";
    auto limited = [&](const char *threads, const char *limit) {
        testutil::RunOptions o = with(threads);
        o.env.push_back(std::string("LIMIT=") + limit);
        return testutil::run({"/bin/sh", "-c", build}, o);
    };
    // Sanitizers and user-mode emulation reserve more than any such limit.
    if (limited("1", "300000").status != 0) GTEST_SKIP() << "kelpa does not start under ulimit -v here";
    auto one = testutil::run({"/bin/sh", "-c", "exec \"$KELPA\" -p \"$KELPA\" big"}, with("1"));
    ASSERT_EQ(one.status, 0) << one.err;
    for (const char *limit : {"300000", "60000", "30000"}) {
        auto r = limited("256", limit);
        EXPECT_EQ(r.status, 0) << limit << ": " << r.err;
        EXPECT_EQ(r.err, "") << limit;
        EXPECT_TRUE(r.out == one.out) << limit;
    }
}

TEST_F(Threads, AFullDeviceEndsTheBuildWithTheWriteError) {
    testutil::write_file(dir / "big", testutil::datagen(3000000, 5, 0.8));
    for (const char *v : {"1", "4"}) {
        testutil::RunOptions o = with(v);
        o.stdout_fd = open("/dev/full", O_WRONLY);
        auto r = testutil::run_kelpa({"big"}, o);
        close(o.stdout_fd);
        EXPECT_EQ(r.status, 1) << v;
        EXPECT_EQ(r.err, std::string("\n").append(testutil::kelpa_bin()).append(": No space left on device\n")) << v;
    }
}

} // namespace
