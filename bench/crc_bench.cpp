// CRC-32 speed: kelpa's updcrc (and each of its engines) against zlib's
// crc32() over the same 1 MiB buffer, in the same run; prints MB/s and the
// kelpa/zlib ratio.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "codec/codec.h"
#include "ratio_reporter.h"

namespace {

std::vector<codec::uch> buffer() {
    std::vector<codec::uch> b(1u << 20);
    std::uint32_t x = 12345;
    for (auto &c : b) c = static_cast<codec::uch>((x = x * 1103515245u + 12345u) >> 24);
    return b;
}
const std::vector<codec::uch> data = buffer();

void kelpa_updcrc(benchmark::State &state) {
    for (auto _ : state) {
        codec::updcrc(nullptr, 0);
        benchmark::DoNotOptimize(codec::updcrc(data.data(), static_cast<unsigned>(data.size())));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * data.size()));
}

void kelpa_portable(benchmark::State &state) {
    for (auto _ : state) benchmark::DoNotOptimize(codec::crc32_portable(0xffffffffu, data.data(), data.size()));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * data.size()));
}

void kelpa_clmul(benchmark::State &state) {
    if (!codec::crc_clmul_supported()) state.SkipWithError("no carry-less multiply here");
    for (auto _ : state) benchmark::DoNotOptimize(codec::crc32_clmul(0xffffffffu, data.data(), data.size()));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * data.size()));
}

void zlib_crc(benchmark::State &state) {
    for (auto _ : state) benchmark::DoNotOptimize(crc32(0, data.data(), static_cast<uInt>(data.size())));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * data.size()));
}

} // namespace

int main(int argc, char **argv) {
    benchmark::RegisterBenchmark("kelpa/updcrc", kelpa_updcrc);
    benchmark::RegisterBenchmark("kelpa/clmul128", kelpa_clmul);
    benchmark::RegisterBenchmark("kelpa/portable", kelpa_portable);
    benchmark::RegisterBenchmark("zlib/crc32", zlib_crc);
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const double z = reporter.mbps["zlib/crc32"];
    std::printf("\n(updcrc uses 256-bit carry-less multiplies here: %s)\n", codec::crc_vclmul_supported() ? "yes" : "no");
    std::printf("%-16s %10s %12s\n", "engine", "MB/s", "kelpa/zlib");
    for (const char *name : {"kelpa/updcrc", "kelpa/clmul128", "kelpa/portable", "zlib/crc32"}) {
        const double k = reporter.mbps[name];
        std::printf("%-16s %10.0f %12.2f\n", name, k, z > 0 ? k / z : 0.0);
    }
    return 0;
}
