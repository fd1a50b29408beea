// kelpa's encoder on several threads against zlib's deflate at level 9 in
// the same run: real and CPU time per member, and the share of the input
// that the joining thread had to parse itself because a worker's parse did
// not agree with the true one (counter "reparsed", 0..1). The output is the
// same at every thread count (the tests prove it); this measures its cost.
//
// Inputs: the corpus files (bench/make_corpus.sh) cut, or repeated, to 32 MiB,
// as bench/build_run.py uses them. Run with --benchmark_repetitions=5.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

#include "codec/codec.h"
#include "corpus_dir.h"

namespace {

constexpr std::size_t SIZE = 32u << 20;

// The file's first 32 MiB; a shorter file is repeated (its repeats lie far
// beyond the window, so they do not make it more compressible).
std::string corpus32(const char *name) {
    std::string data;
    int fd = open((corpus_dir() + "/" + name).c_str(), O_RDONLY);
    if (fd < 0) return data;
    std::string buf(1 << 20, '\0');
    ssize_t got;
    while (data.size() < SIZE && (got = read(fd, buf.data(), buf.size())) > 0) data.append(buf.data(), std::size_t(got));
    close(fd);
    if (data.empty()) return data;
    while (data.size() < SIZE) data += data.substr(0, SIZE - data.size());
    data.resize(SIZE);
    return data;
}

void kelpa_member(benchmark::State &state, const char *name) {
    static std::string data;
    static std::string loaded;
    if (loaded != name) {
        data = corpus32(name);
        loaded = name;
    }
    if (data.empty()) {
        state.SkipWithError("corpus file missing: run bench/make_corpus.sh");
        return;
    }
    int in = memfd_create("bench_in", 0), out = open("/dev/null", O_WRONLY);
    if (in < 0 || out < 0 || pwrite(in, data.data(), data.size(), 0) != ssize_t(data.size())) std::abort();
    static char prog[] = "bench";
    codec::progname = prog;
    std::strcpy(codec::ifname, "bench");
    codec::zip_threads = int(state.range(0));
    double reparsed = 0;
    for (auto _ : state) {
        lseek(in, 0, SEEK_SET);
        codec::bytes_in = codec::bytes_out = codec::zip_reparsed = 0;
        codec::zip(in, out);
        reparsed = double(codec::zip_reparsed) / double(data.size());
    }
    close(in);
    close(out);
    state.counters["reparsed"] = reparsed;
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(data.size()));
}

void zlib_member(benchmark::State &state, const char *name) {
    const std::string data = corpus32(name);
    if (data.empty()) {
        state.SkipWithError("corpus file missing: run bench/make_corpus.sh");
        return;
    }
    std::string out(compressBound(uLong(data.size())) + 64, '\0');
    for (auto _ : state) {
        z_stream z{};
        deflateInit2(&z, 9, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);
        z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.data()));
        z.avail_in = uInt(data.size());
        z.next_out = reinterpret_cast<Bytef *>(out.data());
        z.avail_out = uInt(out.size());
        deflate(&z, Z_FINISH);
        deflateEnd(&z);
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(data.size()));
}

} // namespace

#define CORPUS(id, file)                                                                                   \
    BENCHMARK_CAPTURE(kelpa_member, id, file)->Arg(1)->Arg(2)->Arg(8)->UseRealTime()->Unit(benchmark::kMillisecond); \
    BENCHMARK_CAPTURE(zlib_member, id, file)->Unit(benchmark::kMillisecond);

CORPUS(text, "include.tar")
CORPUS(binary, "binary")
CORPUS(compressed, "compressed")
CORPUS(random, "random")

BENCHMARK_MAIN();
