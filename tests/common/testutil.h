// Shared test helpers: temporary directories, running the real kelpa binary,
// files, seeded data generation, zlib as the independent implementation, and
// the test-only resets of each subsystem's process-wide state.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testutil {

// A fresh directory per test; removed when the test passed, kept on failure.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

struct RunResult {
    int status = -1;      // exit status, or -1 when killed by a signal
    int signal = 0;       // the signal that ended it, or 0
    std::string out;      // standard output
    std::string err;      // standard error
};

struct RunOptions {
    std::string input;                 // fed to standard input (closed after)
    bool stdin_null = false;           // /dev/null instead of a pipe
    std::string cwd;                   // working directory, or inherit
    std::vector<std::string> env;      // extra NAME=VALUE entries
    int stdout_fd = -1;                // send standard output there instead of capturing
    int timeout_seconds = 60;          // killed with SIGKILL after this
};

// Runs argv[0] (a path) with the arguments; captures output and status.
RunResult run(const std::vector<std::string> &argv, const RunOptions &opt = {});

// True under CI (CI=true), where tests that could only be skipped for want of
// privileges must run.
bool in_ci();

// The first executable of that name on PATH, or "" when there is none.
std::string find_on_path(const std::string &name);

// The kelpa binary under test, as CTest passes it (KELPA_BIN).
std::string kelpa_bin();
RunResult run_kelpa(const std::vector<std::string> &args, const RunOptions &opt = {});

// Whether s ends in tail: messages are checked by their end, after whatever
// the run printed before them.
inline bool ends_with(const std::string &s, const std::string &tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &data, int mode = 0644);

// Deterministic test data: `compressibility` 0.0 is random bytes, 1.0 is one
// repeated phrase; in between, runs copied from earlier output are mixed with
// random literals (a small datagen).
std::string datagen(std::size_t size, std::uint32_t seed, double compressibility);

// zlib, linked into tests only: gzip member of `data` at `level` and zlib
// strategy (Z_DEFAULT_STRATEGY etc.), with an optional stored name.
std::string zlib_gzip(const std::string &data, int level, int strategy = 0, const std::string &name = "");
// Raw DEFLATE by zlib.
std::string zlib_deflate_raw(const std::string &data, int level, int strategy = 0);
// Decodes every gzip member of `gz` with zlib; false when zlib rejects it.
bool zlib_gunzip(const std::string &gz, std::string &out);
std::uint32_t zlib_crc32(const std::string &data);
// How many bytes zlib decodes from the first n bytes of the gzip member gz:
// all that any decoder can have delivered before it reads byte n.
std::size_t zlib_decodable_prefix(const std::string &gz, std::size_t n);

// SHA-256 hex digest, for golden outputs.
std::string sha256_hex(const std::string &data);

// Test-only resets of the process-wide state, for SetUp. The codec's is
// codec::reset_state with the tests' own choices on top (progname "kelpa",
// descriptors -1); the driver's is driver::reset_state.
void reset_codec_state();
void reset_driver_state();

} // namespace testutil
