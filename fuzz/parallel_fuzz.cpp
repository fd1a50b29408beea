// Proves that the encoder on any number of threads, with jobs of any size,
// writes exactly the member that the single-threaded encoder writes.
// The input: a thread count, a job size, a repeat count, then the data.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

#include "codec/codec.h"

namespace {

void check(bool ok, const char *what) {
    if (!ok) {
        std::fprintf(stderr, "parallel_fuzz: %s\n", what);
        __builtin_trap();
    }
}

// One member of data, from a fresh codec state, by `threads` workers on jobs
// of `chunk` bytes.
std::string member(const std::string &data, int threads, std::size_t chunk) {
    static int in = memfd_create("parallel_fuzz_in", 0);
    static int out = memfd_create("parallel_fuzz_out", 0);
    static char name[] = "parallel_fuzz";
    check(in >= 0 && out >= 0, "memfd_create");
    check(ftruncate(in, 0) == 0 && pwrite(in, data.data(), data.size(), 0) == ssize_t(data.size()), "write input");
    check(lseek(in, 0, SEEK_SET) == 0, "rewind input");
    check(ftruncate(out, 0) == 0 && lseek(out, 0, SEEK_SET) == 0, "reset output");
    codec::reset_state();
    codec::progname = name;
    std::strcpy(codec::ifname, "fuzz");
    codec::zip_threads = threads;
    codec::zip_chunk = chunk;
    try {
        codec::zip(in, out);
    } catch (const codec::fatal_exit &) {
        check(false, "the encoder took its fatal exit");
    }
    std::string s(std::size_t(lseek(out, 0, SEEK_CUR)), '\0');
    check(pread(out, s.data(), s.size(), 0) == ssize_t(s.size()), "read output");
    return s;
}

// Each input's work is bounded, so that the fuzzer runs many: every job
// first inserts up to 32 KiB of chains, so the jobs are few; the repeats stop
// at a member that still slides the window once; and more workers than jobs
// would only sit idle.
constexpr std::size_t MAX_MEMBER = 2 * codec::WSIZE + 4096;
constexpr std::size_t MAX_JOBS = 4;
constexpr int MAX_THREADS = MAX_JOBS + 2;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 4 || size - 4 > MAX_MEMBER) return 0;
    const int threads = 1 + data[0] % MAX_THREADS;
    // Repeats make long inputs whose matches cross the jobs' edges at every phase.
    const std::size_t unit = size - 4;
    const std::size_t fit = unit == 0 ? 1 : std::max<std::size_t>(1, MAX_MEMBER / unit);
    const std::size_t repeats = std::min<std::size_t>(1 + data[3] % 8, fit);
    std::string input;
    for (std::size_t i = 0; i < repeats; i++) input.append(reinterpret_cast<const char *>(data + 4), unit);
    // Jobs from 16 bytes up, so that short inputs still make several.
    const std::size_t asked = 16 + (data[1] | std::size_t{data[2]} << 8) % 8192;
    const std::size_t chunk = std::max(asked, (input.size() + MAX_JOBS - 1) / MAX_JOBS);
    check(member(input, threads, chunk) == member(input, 1, chunk), "the threads wrote other bytes");
    return 0;
}
