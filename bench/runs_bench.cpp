// kelpa's encoder on long runs of one byte, on 1 and 2 threads, against
// zlib's deflate at level 9 in the same run: disk images, padded firmware and
// sparse files. Prints 2 threads against 1 (real and CPU time, the CPU of
// every thread of the process) and each against zlib.
//
// Inputs, made here from a fixed seed: 256 MiB of zeros, and 1 GiB of runs of
// 16 KiB to 1 MiB (of 0x00, 0xff or another byte value) with 64 to 4096
// random bytes between them. Run with --benchmark_repetitions=3.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

#include "codec/codec.h"

namespace {

struct Input {
    std::string name;
    int fd = -1;
    std::size_t size = 0;
    const unsigned char *bytes = nullptr; // the memfd, mapped
};

std::uint64_t next_rand(std::uint64_t &s) {
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    return s;
}

// A memfd of `size` bytes made by gen(buffer), which appends to it.
template <class Gen>
Input make_input(const char *name, std::size_t size, Gen gen) {
    Input in;
    in.name = name;
    in.size = size;
    in.fd = memfd_create(name, 0);
    if (in.fd < 0) std::abort();
    std::string buf;
    std::size_t written = 0;
    while (written < size) {
        buf.clear();
        gen(buf);
        const std::size_t n = std::min(buf.size(), size - written);
        if (pwrite(in.fd, buf.data(), n, static_cast<off_t>(written)) != static_cast<ssize_t>(n)) std::abort();
        written += n;
    }
    void *m = mmap(nullptr, size, PROT_READ, MAP_SHARED, in.fd, 0);
    if (m == MAP_FAILED) std::abort();
    in.bytes = static_cast<const unsigned char *>(m);
    return in;
}

void kelpa_member(benchmark::State &state, const Input *in) {
    int out = open("/dev/null", O_WRONLY);
    if (out < 0) std::abort();
    static char prog[] = "bench";
    codec::progname = prog;
    std::strcpy(codec::ifname, "bench");
    codec::zip_threads = static_cast<int>(state.range(0));
    double reparsed = 0;
    for (auto _ : state) {
        lseek(in->fd, 0, SEEK_SET);
        codec::bytes_in = codec::bytes_out = codec::zip_reparsed = 0;
        codec::zip(in->fd, out);
        reparsed = static_cast<double>(codec::zip_reparsed) / static_cast<double>(in->size);
    }
    close(out);
    state.counters["reparsed"] = reparsed;
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(in->size));
}

void zlib_member(benchmark::State &state, const Input *in) {
    std::string out(1 << 20, '\0');
    for (auto _ : state) {
        z_stream z{};
        deflateInit2(&z, 9, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);
        z.next_in = const_cast<Bytef *>(in->bytes);
        z.avail_in = static_cast<uInt>(in->size);
        do {
            z.next_out = reinterpret_cast<Bytef *>(out.data());
            z.avail_out = static_cast<uInt>(out.size());
        } while (deflate(&z, Z_FINISH) == Z_OK);
        deflateEnd(&z);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(in->size));
}

// The console report, plus each benchmark's real and CPU seconds per
// iteration by name (the median where there are repetitions).
class TimesReporter : public benchmark::ConsoleReporter {
public:
    std::map<std::string, std::pair<double, double>> seconds;
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &r : runs) {
            if (r.run_type == Run::RT_Iteration || r.aggregate_name == "median") {
                const double n = static_cast<double>(r.iterations);
                seconds[r.benchmark_name().substr(0, r.benchmark_name().find("/repeats"))] = {
                    r.real_accumulated_time / n, r.cpu_accumulated_time / n};
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

} // namespace

int main(int argc, char **argv) {
    std::vector<Input> inputs;
    inputs.push_back(make_input("zeros", std::size_t{256} << 20, [](std::string &b) { b.assign(1 << 20, '\0'); }));
    std::uint64_t seed = 0x9e3779b97f4a7c15u;
    inputs.push_back(make_input("runs", std::size_t{1} << 30, [&seed](std::string &b) {
        const std::uint64_t kind = next_rand(seed) % 3;
        const char value = static_cast<char>(kind == 0 ? 0 : kind == 1 ? 0xff : next_rand(seed));
        b.assign((16u << 10) + next_rand(seed) % ((1u << 20) - (16u << 10) + 1), value);
        const std::size_t noise = 64 + next_rand(seed) % (4096 - 64 + 1);
        for (std::size_t i = 0; i < noise; i++) b += static_cast<char>(next_rand(seed));
    }));
    for (const Input &in : inputs) {
        benchmark::RegisterBenchmark(("kelpa/" + in.name).c_str(), kelpa_member, &in)
            ->Arg(1)
            ->Arg(2)
            ->UseRealTime()
            ->MeasureProcessCPUTime()
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("zlib/" + in.name).c_str(), zlib_member, &in)
            ->UseRealTime()
            ->MeasureProcessCPUTime()
            ->Unit(benchmark::kMillisecond);
    }
    benchmark::Initialize(&argc, argv);
    TimesReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    std::printf("\n%-6s %8s %10s %10s %10s %10s %10s %10s\n", "file", "size MB", "2/1 real", "2/1 cpu", "1/zlib real",
                "1/zlib cpu", "2/zlib real", "2/zlib cpu");
    for (const Input &in : inputs) {
        const auto one = reporter.seconds["kelpa/" + in.name + "/1/process_time/real_time"];
        const auto two = reporter.seconds["kelpa/" + in.name + "/2/process_time/real_time"];
        const auto z = reporter.seconds["zlib/" + in.name + "/process_time/real_time"];
        auto ratio = [](double a, double b) { return b > 0 ? a / b : 0.0; };
        std::printf("%-6s %8.0f %10.2f %10.2f %10.2f %10.2f %10.2f %10.2f\n", in.name.c_str(),
                    static_cast<double>(in.size) / 1e6, ratio(two.first, one.first), ratio(two.second, one.second),
                    ratio(one.first, z.first), ratio(one.second, z.second), ratio(two.first, z.first),
                    ratio(two.second, z.second));
    }
    return 0;
}
