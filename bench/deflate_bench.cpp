// kelpa's encoder against zlib's deflate at level 9, on the same inputs in the
// same run: throughput, compressed size and the ratios of both.
//
// Inputs come from the benchmark corpus (bench/make_corpus.sh; see
// corpus_dir.h for where it is looked for). The two big
// files are cut to their first 32 MiB to keep runs short. Both encoders read
// from memory (kelpa through a memory file, as it reads a file) and write
// a gzip member to memory. Times are CPU seconds; run with
// --benchmark_repetitions=5 (or more) and read the medians.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

#include "codec/codec.h"
#include "corpus_dir.h"

namespace {

constexpr std::size_t PREFIX = 32u << 20;

std::string corpus_file(const char *name, std::size_t limit) {
    std::string path = corpus_dir() + "/" + name;
    std::string data;
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) return data;
    std::string buf(1 << 20, '\0');
    ssize_t got;
    while (data.size() < limit && (got = read(fd, buf.data(), buf.size())) > 0) data.append(buf.data(), std::size_t(got));
    close(fd);
    if (data.size() > limit) data.resize(limit);
    return data;
}

// One member by kelpa's writer; returns its size.
std::size_t kelpa_gzip(const std::string &data) {
    static int in = memfd_create("bench_in", 0), out = memfd_create("bench_out", 0);
    if (ftruncate(in, 0) != 0 || ftruncate(out, 0) != 0) std::abort();
    for (std::size_t done = 0; done < data.size();) {
        ssize_t w = pwrite(in, data.data() + done, data.size() - done, off_t(done));
        if (w <= 0) std::abort();
        done += std::size_t(w);
    }
    lseek(in, 0, SEEK_SET);
    lseek(out, 0, SEEK_SET);
    static char name[] = "bench";
    codec::progname = name;
    std::strcpy(codec::ifname, "bench");
    codec::bytes_in = codec::bytes_out = 0;
    codec::zip(in, out);
    return std::size_t(lseek(out, 0, SEEK_CUR));
}

std::size_t zlib_gzip9(const std::string &data, std::string &out) {
    z_stream z{};
    deflateInit2(&z, 9, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);
    out.resize(deflateBound(&z, uLong(data.size())) + 64);
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.data()));
    z.avail_in = uInt(data.size());
    z.next_out = reinterpret_cast<Bytef *>(out.data());
    z.avail_out = uInt(out.size());
    if (deflate(&z, Z_FINISH) != Z_STREAM_END) std::abort();
    std::size_t n = z.total_out;
    deflateEnd(&z);
    return n;
}

// CPU time of this thread: the machine is shared, and wall time would charge
// either encoder for the other processes that ran meanwhile.
double cpu_seconds() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// Each iteration compresses the input with both encoders; the counters give
// both throughputs, both sizes and kelpa's share of each (speed: kelpa/zlib,
// above 1 is faster; size: kelpa/zlib, below 1 is smaller).
void BM_Deflate(benchmark::State &state, const char *name, std::size_t limit) {
    const std::string data = corpus_file(name, limit);
    if (data.empty()) {
        state.SkipWithError("corpus file missing: run bench/make_corpus.sh first or set KELPA_CORPUS");
        return;
    }
    std::string zout;
    double kelpa_s = 0, zlib_s = 0;
    std::size_t kelpa_size = 0, zlib_size = 0;
    for (auto _ : state) {
        double t0 = cpu_seconds();
        kelpa_size = kelpa_gzip(data);
        kelpa_s += cpu_seconds() - t0;
        t0 = cpu_seconds();
        zlib_size = zlib_gzip9(data, zout);
        zlib_s += cpu_seconds() - t0;
        benchmark::DoNotOptimize(zout.data());
    }
    const double mb = double(data.size()) * double(state.iterations()) / 1e6;
    state.counters["input_MB"] = double(data.size()) / 1e6;
    state.counters["kelpa_MBps"] = mb / kelpa_s;
    state.counters["zlib9_MBps"] = mb / zlib_s;
    state.counters["speed_ratio"] = zlib_s / kelpa_s;
    state.counters["kelpa_bytes"] = double(kelpa_size);
    state.counters["zlib9_bytes"] = double(zlib_size);
    state.counters["size_ratio"] = double(kelpa_size) / double(zlib_size);
}

BENCHMARK_CAPTURE(BM_Deflate, include_tar_32MiB, "include.tar", PREFIX)->Unit(benchmark::kSecond)->Iterations(2);
BENCHMARK_CAPTURE(BM_Deflate, binary_32MiB, "binary", PREFIX)->Unit(benchmark::kSecond)->Iterations(2);
BENCHMARK_CAPTURE(BM_Deflate, compressed, "compressed", PREFIX)->Unit(benchmark::kSecond)->Iterations(2);
BENCHMARK_CAPTURE(BM_Deflate, random, "random", PREFIX)->Unit(benchmark::kSecond)->Iterations(2);

} // namespace

BENCHMARK_MAIN();
