// Decode speed: kelpa's member reader and inflate against zlib's inflate on the
// same members (made by zlib at level 9), in the same run; prints MB/s of
// decoded output and the kelpa/zlib ratio per file. Corpus: see corpus_dir.h
// and make_corpus.sh; files are cut to their first
// 32 MiB to keep runs short.
#include <benchmark/benchmark.h>
#include <zlib.h>

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
#include "corpus_dir.h"
#include "ratio_reporter.h"

namespace {

constexpr std::size_t PREFIX = 32u << 20;

struct Member {
    std::string name;
    std::size_t plain_size = 0;
    std::string gz;
    int fd = -1; // memfd holding gz, for kelpa's descriptor-based input
};

std::string read_prefix(const std::string &path) {
    std::string s;
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) return s;
    s.resize(PREFIX);
    std::size_t have = 0;
    ssize_t got;
    while (have < PREFIX && (got = read(fd, s.data() + have, PREFIX - have)) > 0) have += static_cast<std::size_t>(got);
    close(fd);
    s.resize(have);
    return s;
}

std::string zlib_gzip9(const std::string &in) {
    z_stream z{};
    deflateInit2(&z, 9, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&z, in.size()) + 64, '\0');
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(in.data()));
    z.avail_in = static_cast<uInt>(in.size());
    z.next_out = reinterpret_cast<Bytef *>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

int null_fd() {
    static int fd = open("/dev/null", O_WRONLY);
    return fd;
}

void kelpa_decode(benchmark::State &state, const Member *m) {
    static char name[] = "inflate_bench";
    for (auto _ : state) {
        codec::progname = name;
        codec::clear_bufs();
        codec::part_nb = 0;
        lseek(m->fd, 0, SEEK_SET);
        codec::ifd = m->fd;
        if (codec::get_method() != 8) state.SkipWithError("header rejected");
        codec::unzip(m->fd, null_fd());
        if (codec::bytes_out != static_cast<codec::off64>(m->plain_size)) state.SkipWithError("wrong length");
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * m->plain_size));
}

// zlib decodes the member from memory, or (from_fd) reads it from the same
// descriptor as kelpa, 32 KiB at a time, as a program reading a file would.
void zlib_decode(benchmark::State &state, const Member *m, bool from_fd) {
    static unsigned char out[32768];
    static unsigned char in[32768];
    for (auto _ : state) {
        z_stream z{};
        inflateInit2(&z, 31);
        if (from_fd) {
            lseek(m->fd, 0, SEEK_SET);
        } else {
            z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(m->gz.data()));
            z.avail_in = static_cast<uInt>(m->gz.size());
        }
        int r = Z_DATA_ERROR;
        do {
            if (from_fd && z.avail_in == 0) {
                const ssize_t got = read(m->fd, in, sizeof in);
                if (got <= 0) break;
                z.next_in = in;
                z.avail_in = static_cast<uInt>(got);
            }
            z.next_out = out;
            z.avail_out = sizeof out;
            r = inflate(&z, Z_NO_FLUSH);
            // The same per-window write to /dev/null that kelpa makes.
            if (write(null_fd(), out, sizeof out - z.avail_out) < 0) break;
        } while (r == Z_OK);
        if (r != Z_STREAM_END || z.total_out != m->plain_size) state.SkipWithError("zlib failed");
        inflateEnd(&z);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * m->plain_size));
}

// No decoding at all: the member read from the descriptor 32 KiB at a time,
// and the decoded size checked with kelpa's CRC and written to /dev/null in
// 32 KiB windows. A decoder that reads its input with read() and writes each
// window does all of this and more, so io-floor/zlib is the highest
// kelpa/zlib ratio this machine allows.
void io_floor(benchmark::State &state, const Member *m) {
    static codec::uch buf[32768];
    for (auto _ : state) {
        lseek(m->fd, 0, SEEK_SET);
        while (read(m->fd, buf, sizeof buf) > 0) {
        }
        codec::updcrc(nullptr, 0);
        for (std::size_t left = m->plain_size; left != 0;) {
            const std::size_t n = left < sizeof buf ? left : sizeof buf;
            benchmark::DoNotOptimize(codec::updcrc(buf, static_cast<unsigned>(n)));
            if (write(null_fd(), buf, n) < 0) break;
            left -= n;
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * m->plain_size));
}

} // namespace

int main(int argc, char **argv) {
    const std::string corpus = corpus_dir();
    std::vector<Member> members;
    for (const char *f : {"include.tar", "binary", "compressed", "random"}) {
        std::string plain = read_prefix(corpus + "/" + f);
        if (plain.empty()) {
            std::fprintf(stderr, "%s/%s: missing, skipped\n", corpus.c_str(), f);
            continue;
        }
        Member m;
        m.name = f;
        m.plain_size = plain.size();
        m.gz = zlib_gzip9(plain);
        m.fd = memfd_create(f, 0);
        if (m.fd < 0 || write(m.fd, m.gz.data(), m.gz.size()) != static_cast<ssize_t>(m.gz.size())) return 1;
        members.push_back(std::move(m));
    }
    if (members.empty()) {
        std::fprintf(stderr, "no corpus in %s: run bench/make_corpus.sh first or set KELPA_CORPUS\n", corpus.c_str());
        return 1;
    }
    for (const Member &m : members) {
        benchmark::RegisterBenchmark(("kelpa/" + m.name).c_str(), kelpa_decode, &m)->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("zlib/" + m.name).c_str(), zlib_decode, &m, false)->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("zlib-fd/" + m.name).c_str(), zlib_decode, &m, true)->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("io-floor/" + m.name).c_str(), io_floor, &m)->Unit(benchmark::kMillisecond);
    }
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    // "zlib" decodes from memory, "zlib-fd" reads the descriptor as kelpa does;
    // "floor/zlib" is io-floor's ratio, the ceiling for kelpa/zlib. "2 passes"
    // is the decoding a checked run does (check, then extract) in the time
    // of zlib's one: the part of a checked -x run that is the decoder's.
    std::printf("\n%-12s %10s %10s %10s %12s %12s %14s %11s %16s\n", "file", "size MB", "kelpa MB/s", "zlib MB/s",
                "zlib-fd MB/s", "kelpa/zlib", "kelpa/zlib-fd", "floor/zlib", "2 passes/zlib-fd");
    for (const Member &m : members) {
        double k = reporter.mbps["kelpa/" + m.name];
        double z = reporter.mbps["zlib/" + m.name];
        double zf = reporter.mbps["zlib-fd/" + m.name];
        double f = reporter.mbps["io-floor/" + m.name];
        std::printf("%-12s %10.1f %10.1f %10.1f %12.1f %12.2f %14.2f %11.2f %16.2f\n", m.name.c_str(), m.plain_size / 1e6,
                    k, z, zf, z > 0 ? k / z : 0.0, zf > 0 ? k / zf : 0.0, z > 0 ? f / z : 0.0, k > 0 ? 2 * zf / k : 0.0);
    }
    return 0;
}
