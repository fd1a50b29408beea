#include "member_harness.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "codec/codec.h"
#include "testutil.h"

namespace testutil {

namespace {

void put_le32(std::string &s, std::uint32_t v) {
    for (int i = 0; i < 4; i++) s.push_back(static_cast<char>(v >> (8 * i)));
}

[[noreturn]] void child(const std::string &dir, const std::string &member, const MemberOptions &opt) {
    using namespace codec;
    reset_codec_state();
    write_file(dir + "/state", "");
    int err = open((dir + "/err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(err, 2);
    static char name[] = "kelpa";
    progname = name;
    std::strcpy(ifname, "in.gz");
    std::snprintf(ofname, sizeof ofname, "%s", opt.ofname.c_str());
    verbose = opt.verbose;
    to_stdout = opt.to_stdout;
    list = opt.list;
    time_stamp = opt.time_stamp;

    int in;
    if (opt.through_pipe) {
        int p[2];
        if (pipe(p) != 0) _exit(99);
        if (fork() == 0) {
            close(p[0]);
            signal(SIGPIPE, SIG_IGN);
            for (std::size_t at = 0; at < member.size(); at += opt.chunk) {
                std::size_t n = std::min(opt.chunk, member.size() - at);
                if (write(p[1], member.data() + at, n) != static_cast<ssize_t>(n)) break;
            }
            _exit(0);
        }
        close(p[1]);
        in = p[0];
    } else {
        write_file(dir + "/in.gz", member);
        in = open((dir + "/in.gz").c_str(), O_RDONLY);
    }
    write_file(dir + "/out", "");
    int out = open(opt.output.empty() ? (dir + "/out").c_str() : opt.output.c_str(), O_WRONLY);
    ifd = in;
    ofd = out;

    // The state is written before unzip, and again after, so that a fatal
    // exit still leaves what get_method did.
    auto save_state = [&] {
        FILE *f = std::fopen((dir + "/state").c_str(), "w");
        std::fprintf(f, "%ld %lld %lld %d\n%s", time_stamp, static_cast<long long>(header_bytes),
                     static_cast<long long>(bytes_out), exit_code, ofname);
        std::fclose(f);
    };
    int m = get_method();
    save_state();
    if (m != 8) {
        std::fflush(stderr);
        _exit(2);
    }
    if (!opt.header_only) {
        int r = unzip(in, out);
        save_state();
        if (r != 0) _exit(3);
    }
    std::fflush(stderr);
    _exit(0);
}

} // namespace

MemberRun run_member(const std::string &member, const MemberOptions &opt) {
    TempDir dir;
    MemberRun r;
    std::fflush(stdout);
    std::fflush(stderr);
    pid_t pid = fork();
    if (pid == 0) child(dir.path(), member, opt);
    int st = 0;
    waitpid(pid, &st, 0);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    r.out = read_file(dir / "out");
    r.err = read_file(dir / "err");
    std::string state = read_file(dir / "state");
    if (!state.empty()) {
        char *rest = nullptr;
        r.time_stamp = std::strtol(state.c_str(), &rest, 10);
        r.header_bytes = std::strtoll(rest, &rest, 10);
        r.bytes_out = std::strtoll(rest, &rest, 10);
        r.exit_code = static_cast<int>(std::strtol(rest, &rest, 10));
        r.ofname = rest + 1;
    }
    return r;
}

std::string gzip_wrap(const std::string &deflate, const std::string &plain) {
    std::string gz("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03", 10);
    gz += deflate;
    put_le32(gz, zlib_crc32(plain));
    put_le32(gz, static_cast<std::uint32_t>(plain.size()));
    return gz;
}

} // namespace testutil
