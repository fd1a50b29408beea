#include "testutil.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "codec/codec.h"
#include "driver/driver.h"

namespace testutil {

namespace {

int remove_entry(const char *path, const struct stat *, int, struct FTW *) { return ::remove(path); }

} // namespace

TempDir::TempDir() {
    const char *base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/kelpa-test-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) {
        ADD_FAILURE() << "mkdtemp: " << std::strerror(errno);
    }
    path_ = buf.data();
}

TempDir::~TempDir() {
    if (::testing::Test::HasFailure()) {
        std::fprintf(stderr, "kept %s for inspection\n", path_.c_str());
        return;
    }
    nftw(path_.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

RunResult run(const std::vector<std::string> &argv, const RunOptions &opt) {
    RunResult r;
    int in_pipe[2], out_pipe[2], err_pipe[2];
    if (pipe2(in_pipe, O_CLOEXEC) || pipe2(out_pipe, O_CLOEXEC) || pipe2(err_pipe, O_CLOEXEC)) {
        ADD_FAILURE() << "pipe: " << std::strerror(errno);
        return r;
    }
    pid_t pid = fork();
    if (pid == 0) {
        if (opt.stdin_null) {
            int n = open("/dev/null", O_RDONLY);
            dup2(n, 0);
        } else {
            dup2(in_pipe[0], 0);
        }
        dup2(opt.stdout_fd >= 0 ? opt.stdout_fd : out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        if (!opt.cwd.empty() && chdir(opt.cwd.c_str()) != 0) _exit(127);
        for (const auto &e : opt.env) putenv(strdup(e.c_str()));
        signal(SIGPIPE, SIG_DFL);
        std::vector<char *> args;
        for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(in_pipe[0]);
    close(out_pipe[1]);
    close(err_pipe[1]);
    // Feed standard input while collecting both outputs, so no side blocks.
    std::size_t fed = 0;
    int in_fd = in_pipe[1];
    if (opt.stdin_null || opt.input.empty()) {
        close(in_fd);
        in_fd = -1;
    } else {
        fcntl(in_fd, F_SETFL, O_NONBLOCK);
    }
    signal(SIGPIPE, SIG_IGN);
    struct timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    int open_fds = 2;
    bool killed = false;
    while (open_fds > 0 || in_fd >= 0) {
        struct pollfd p[3];
        int n = 0;
        int out_i = -1, err_i = -1, in_i = -1;
        if (out_pipe[0] >= 0) { p[n] = {out_pipe[0], POLLIN, 0}; out_i = n++; }
        if (err_pipe[0] >= 0) { p[n] = {err_pipe[0], POLLIN, 0}; err_i = n++; }
        if (in_fd >= 0) { p[n] = {in_fd, POLLOUT, 0}; in_i = n++; }
        int rc = poll(p, static_cast<nfds_t>(n), 200);
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (!killed && now.tv_sec - start.tv_sec > opt.timeout_seconds) {
            kill(pid, SIGKILL);
            killed = true;
            ADD_FAILURE() << "timed out: " << argv[0];
        }
        if (rc <= 0) continue;
        char buf[65536];
        auto drain = [&](int &fd, int idx, std::string &dst) {
            if (idx < 0 || !(p[idx].revents & (POLLIN | POLLHUP | POLLERR))) return;
            ssize_t got = read(fd, buf, sizeof buf);
            if (got > 0) {
                dst.append(buf, static_cast<std::size_t>(got));
            } else {
                close(fd);
                fd = -1;
                open_fds--;
            }
        };
        drain(out_pipe[0], out_i, r.out);
        drain(err_pipe[0], err_i, r.err);
        if (in_i >= 0 && (p[in_i].revents & (POLLOUT | POLLERR | POLLHUP))) {
            ssize_t put = write(in_fd, opt.input.data() + fed, opt.input.size() - fed);
            if (put > 0) fed += static_cast<std::size_t>(put);
            if (put < 0 && errno != EAGAIN) fed = opt.input.size();
            if (fed == opt.input.size()) {
                close(in_fd);
                in_fd = -1;
            }
        }
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status)) r.status = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) r.signal = WTERMSIG(status);
    return r;
}

std::string find_on_path(const std::string &name) {
    const char *path = std::getenv("PATH");
    std::string rest = path != nullptr ? path : "/usr/bin:/bin";
    for (std::size_t start = 0;;) {
        std::size_t colon = rest.find(':', start);
        std::string candidate = rest.substr(start, colon - start) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
        if (colon == std::string::npos) return "";
        start = colon + 1;
    }
}

bool in_ci() {
    const char *ci = std::getenv("CI");
    return ci != nullptr && std::strcmp(ci, "true") == 0;
}

std::string kelpa_bin() {
    const char *b = std::getenv("KELPA_BIN");
    if (b == nullptr || *b == '\0') {
        ADD_FAILURE() << "KELPA_BIN is not set; run the tests through ctest";
        return "/nonexistent/kelpa";
    }
    return b;
}

RunResult run_kelpa(const std::vector<std::string> &args, const RunOptions &opt) {
    std::vector<std::string> argv{kelpa_bin()};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv, opt);
}

std::string read_file(const std::string &path) {
    std::string data;
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) {
        ADD_FAILURE() << "open " << path << ": " << std::strerror(errno);
        return data;
    }
    char buf[65536];
    ssize_t got;
    while ((got = read(fd, buf, sizeof buf)) > 0) data.append(buf, static_cast<std::size_t>(got));
    close(fd);
    return data;
}

void write_file(const std::string &path, const std::string &data, int mode) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
    ASSERT_GE(fd, 0) << "open " << path << ": " << std::strerror(errno);
    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t put = write(fd, data.data() + done, data.size() - done);
        ASSERT_GT(put, 0);
        done += static_cast<std::size_t>(put);
    }
    close(fd);
    chmod(path.c_str(), static_cast<mode_t>(mode));
}

std::string datagen(std::size_t size, std::uint32_t seed, double compressibility) {
    std::uint64_t s = seed * 0x9E3779B97F4A7C15ull + 1;
    auto next = [&s]() {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        return s;
    };
    static const char *words[] = {"the ", "archive ", "install ", "kelpa ", "window ", "match ",
                                  "literal ", "block ", "tree ", "\n", "0123456789", "error "};
    std::string out;
    out.reserve(size);
    const std::uint64_t threshold = static_cast<std::uint64_t>(compressibility * 1000.0);
    while (out.size() < size) {
        std::uint64_t r = next();
        if (r % 1000 < threshold) {
            if (out.size() > 16 && (r >> 20) % 3 == 0) {
                std::size_t dist = 1 + (r >> 24) % std::min<std::size_t>(out.size(), 32768);
                std::size_t len = 3 + (r >> 40) % 64;
                std::size_t from = out.size() - dist;
                for (std::size_t i = 0; i < len && out.size() < size; i++) out.push_back(out[from + i]);
            } else {
                out += words[(r >> 32) % (sizeof words / sizeof *words)];
            }
        } else {
            out.push_back(static_cast<char>(r >> 32));
        }
    }
    out.resize(size);
    return out;
}

namespace {

// One deflate call over all of `data`; window_bits picks the framing.
std::string zlib_compress(const std::string &data, int level, int window_bits, int strategy, const std::string &name) {
    z_stream z{};
    EXPECT_EQ(deflateInit2(&z, level, Z_DEFLATED, window_bits, 8, strategy), Z_OK);
    gz_header h{};
    std::string name_copy = name;
    if (!name.empty()) {
        h.name = reinterpret_cast<Bytef *>(name_copy.data());
        deflateSetHeader(&z, &h);
    }
    std::string out(deflateBound(&z, data.size()) + 64 + name.size(), '\0');
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = reinterpret_cast<Bytef *>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

} // namespace

std::string zlib_gzip(const std::string &data, int level, int strategy, const std::string &name) {
    return zlib_compress(data, level, 15 + 16, strategy, name);
}

std::string zlib_deflate_raw(const std::string &data, int level, int strategy) {
    return zlib_compress(data, level, -15, strategy, "");
}

bool zlib_gunzip(const std::string &gz, std::string &out) {
    out.clear();
    std::size_t pos = 0;
    while (pos < gz.size()) {
        z_stream z{};
        if (inflateInit2(&z, 15 + 16) != Z_OK) return false;
        z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(gz.data() + pos));
        z.avail_in = static_cast<uInt>(gz.size() - pos);
        char buf[65536];
        int rc;
        do {
            z.next_out = reinterpret_cast<Bytef *>(buf);
            z.avail_out = sizeof buf;
            rc = inflate(&z, Z_NO_FLUSH);
            if (rc != Z_OK && rc != Z_STREAM_END) {
                inflateEnd(&z);
                return false;
            }
            out.append(buf, sizeof buf - z.avail_out);
        } while (rc != Z_STREAM_END);
        pos += z.total_in;
        inflateEnd(&z);
    }
    return true;
}

std::size_t zlib_decodable_prefix(const std::string &gz, std::size_t n) {
    z_stream z{};
    inflateInit2(&z, 16 + MAX_WBITS);
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(gz.data()));
    z.avail_in = static_cast<uInt>(n < gz.size() ? n : gz.size());
    std::string out(1 << 16, '\0');
    std::size_t total = 0;
    for (;;) {
        z.next_out = reinterpret_cast<Bytef *>(out.data());
        z.avail_out = static_cast<uInt>(out.size());
        int rc = inflate(&z, Z_NO_FLUSH);
        total += out.size() - z.avail_out;
        if (rc != Z_OK || (z.avail_in == 0 && z.avail_out != 0)) break;
    }
    inflateEnd(&z);
    return total;
}

std::uint32_t zlib_crc32(const std::string &data) {
    return static_cast<std::uint32_t>(
        crc32(0L, reinterpret_cast<const Bytef *>(data.data()), static_cast<uInt>(data.size())));
}

namespace {

// FIPS 180-4 SHA-256, enough for golden digests.
struct Sha256 {
    std::uint32_t h[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                          0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    static std::uint32_t rotr(std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }
    void block(const unsigned char *p) {
        static const std::uint32_t k[64] = {
            0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
            0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
            0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
            0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
            0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
            0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
            0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
            0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};
        std::uint32_t w[64];
        for (int i = 0; i < 16; i++)
            w[i] = std::uint32_t(p[4 * i]) << 24 | std::uint32_t(p[4 * i + 1]) << 16 |
                   std::uint32_t(p[4 * i + 2]) << 8 | p[4 * i + 3];
        for (int i = 16; i < 64; i++) {
            std::uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
            std::uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        std::uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], hh = h[7];
        for (int i = 0; i < 64; i++) {
            std::uint32_t t1 = hh + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + k[i] + w[i];
            std::uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
            hh = g; g = f; f = e; e = d + t1; d = c; c = b; b = a; a = t1 + t2;
        }
        h[0] += a; h[1] += b; h[2] += c; h[3] += d; h[4] += e; h[5] += f; h[6] += g; h[7] += hh;
    }
};

} // namespace

std::string sha256_hex(const std::string &data) {
    Sha256 s;
    std::string m = data;
    std::uint64_t bits = static_cast<std::uint64_t>(data.size()) * 8;
    m.push_back(static_cast<char>(0x80));
    while (m.size() % 64 != 56) m.push_back('\0');
    for (int i = 7; i >= 0; i--) m.push_back(static_cast<char>(bits >> (8 * i)));
    for (std::size_t i = 0; i < m.size(); i += 64) s.block(reinterpret_cast<const unsigned char *>(m.data() + i));
    static const char *hex = "0123456789abcdef";
    std::string out;
    for (std::uint32_t v : s.h)
        for (int i = 28; i >= 0; i -= 4) out.push_back(hex[(v >> i) & 15]);
    return out;
}

void reset_codec_state() {
    codec::reset_state();
    // What the tests choose beyond the start values: messages name "kelpa",
    // and no descriptor is taken by mistake.
    static char name[] = "kelpa";
    codec::progname = name;
    codec::ifd = codec::ofd = -1;
}

void reset_driver_state() { driver::reset_state(); }

} // namespace testutil
