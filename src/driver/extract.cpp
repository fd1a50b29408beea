// Running an archive: the payload decoded into the extract command, then the
// feature list exported and the run command run. Owns the temporary link's
// removal on every end of the process.
#include <cctype>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <sys/wait.h>
#include <unistd.h>

#include "driver/driver.h"
#include "driver/extract.h"

namespace driver {

namespace {

constexpr std::size_t SYMPATH_LEN = 512;
constexpr unsigned RAW_BLOCK = 512;

// The temporary link while it stands, for the ends that do not come back
// through do_decompress: a fatal codec error and the signals below.
char link_path[SYMPATH_LEN];

void remove_link() {
    if (link_path[0] != '\0') unlink(link_path);
    link_path[0] = '\0';
}

void remove_link_and_die(int sig) {
    if (link_path[0] != '\0') unlink(link_path); // async-signal-safe
    std::signal(sig, SIG_DFL);
    raise(sig);
}

void guard_link(const char *path) {
    std::strcpy(link_path, path);
    codec::abort_hook = remove_link;
    struct sigaction sa {};
    sa.sa_handler = remove_link_and_die;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGPIPE, SIGINT, SIGTERM}) sigaction(sig, &sa, nullptr);
}

// Megabytes to make room for: a partial megabyte counts whole, and so does
// an empty payload.
int megs_needed(codec::off64 bytes) {
    codec::off64 megs = (bytes >> 20) + 1;
    return megs > INT_MAX ? INT_MAX : static_cast<int>(megs);
}

// The uncompressed size that the payload's last gzip trailer records, which
// the build makes the total of all members (modulo 2^32).
codec::ulg trailer_isize(int fd) {
    unsigned char ubuf[8];
    errno = 0;
    if (lseek64(fd, -8, SEEK_END) == -1) codec::read_error();
    std::size_t got = 0;
    while (got < sizeof ubuf) {
        ssize_t n = read(fd, ubuf + got, sizeof ubuf - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) codec::read_error();
        got += static_cast<std::size_t>(n);
    }
    return static_cast<codec::ulg>(ubuf[4]) | static_cast<codec::ulg>(ubuf[5]) << 8 |
           static_cast<codec::ulg>(ubuf[6]) << 16 | static_cast<codec::ulg>(ubuf[7]) << 24;
}

// Whether another gzip member starts right after the one just decoded. Tops
// up inbuf so that its next two bytes can be looked at; the end of the file
// there is the normal end of the payload.
bool next_member_follows() {
    using namespace codec;
    if (insize - inptr < 2) {
        unsigned left = insize - inptr;
        std::memmove(inbuf, inbuf + inptr, left);
        insize = left;
        inptr = 0;
        while (insize < 2) {
            ssize_t n = read(ifd, inbuf + insize, INBUFSIZ - insize);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) read_error();
            if (n == 0) break;
            insize += static_cast<unsigned>(n);
            bytes_in += n;
        }
    }
    return insize - inptr >= 2 && inbuf[inptr] == 0x1f && (inbuf[inptr + 1] == 0x8b || inbuf[inptr + 1] == 0x9e);
}

// Decodes every member of the payload in turn into ofd. Each member's length
// is checked against the running output count, which is what the build writes.
int decode_members(const char *program) {
    int ok = codec::unzip(codec::ifd, codec::ofd);
    while (ok == 0 && next_member_follows()) {
        if (codec::get_method(codec::ifd) == -1) {
            report("%s: unknown compression method\n", program);
            return -1;
        }
        ok = codec::unzip(codec::ifd, codec::ofd);
    }
    return ok;
}

// 0 when at least one block was copied, 1 for an empty payload.
int copy_raw() {
    char buf[RAW_BLOCK];
    int ok = 1;
    for (;;) {
        ssize_t n = read(codec::ifd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) codec::read_error();
        if (n == 0) return ok;
        codec::write_buf(codec::ofd, buf, static_cast<unsigned>(n));
        ok = 0;
    }
}

// The verbose run: asks on standard output before running cmd. The end of
// input answers no. The result is the command's wait status, or 0 when it
// did not run.
int confirm_and_run(const char *cmd) {
    std::printf("This archive requires more processing using the following command:\n");
    std::printf("    %s\n", cmd);
    if (!isatty(STDIN_FILENO)) {
        std::printf("but stdin is not a terminal. So forget it.\n");
        return 0;
    }
    std::printf("OK to run the command? ");
    char buf[512];
    for (;;) {
        std::fflush(stdout);
        if (std::fgets(buf, 511, stdin) == nullptr) return 0;
        int answer = std::toupper(static_cast<unsigned char>(buf[0]));
        if (answer == 'N') return 0;
        if (answer == 'Y') return std::system(cmd);
        std::printf("\n? (y/n): ");
    }
}

bool exited_zero(int status) { return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0; }

} // namespace

int do_decompress(char *program) {
    char sympath[SYMPATH_LEN] = {};
    char *pcmd = nullptr;
    char *cmd = nullptr;
    FILE *p = nullptr;
    int ok = -1;
    int data_compressed = 0;
    int m = 0;
    struct sigaction pipe_disposition {};

    int fd = find_preamble(program);
    if (fd == -1) {
        report("%s: unable to find preamble magic value\n", program);
        return -1;
    }
    codec::ifd = fd;
    std::snprintf(codec::ifname, sizeof codec::ifname, "%s", program);
    codec::ofd = STDOUT_FILENO;
    std::strcpy(codec::ofname, "stdout");
    codec::clear_bufs();

    if (get_feature("NOCOMPR") != nullptr) {
        if (const char *name = get_feature("NAME="); name != nullptr && std::strchr(name, '=') != nullptr)
            std::strcpy(codec::ofname, std::strchr(name, '=') + 1);
    } else {
        m = codec::get_method(fd);
        data_compressed = 1;
    }

    // Both commands are expanded before anything runs, so that one that does
    // not fit stops the archive before any of its effects.
    const bool will_run = !extract_only && !dont_run_program && run_program[0] != '\0';
    if (!extract_only) {
        if (pipe_program[0] == '\0') std::strcpy(pipe_program, "cat > %p/%o");
        pcmd = replace_program_parms(pipe_program);
    }
    if (will_run) cmd = replace_program_parms(run_program);
    if ((!extract_only && pcmd == nullptr) || (will_run && cmd == nullptr)) {
        report("%s: a command is too long once expanded (2047 characters at most)\n", program);
        goto end;
    }

    if (!extract_only && get_feature("VFYFS=") != nullptr) {
        codec::off64 pos = lseek64(fd, 0, SEEK_CUR);
        if (pos != -1) {
            int megs;
            if (data_compressed) {
                megs = megs_needed(trailer_isize(fd));
            } else {
                // A raw payload records no size: its own length is the size.
                codec::off64 end = lseek64(fd, 0, SEEK_END);
                megs = megs_needed(end > preamble_end ? end - preamble_end : 0);
            }
            if (verify_fs(megs, sympath) != SE_NONE) goto end;
            if (sympath[0] != '\0') guard_link(sympath);
            // The gzip reader's buffered input stays valid: the descriptor
            // goes back to exactly where the reader left it.
            if (lseek64(fd, pos, SEEK_SET) == -1) codec::read_error();
        }
    }

    if (m == -1) {
        report("%s: unknown compression method\n", program);
        goto end;
    }

    if (extract_only) {
        to_stdout = 1;
    } else {
        p = popen(pcmd, "w");
        if (p == nullptr) {
            std::perror(pcmd);
            goto end;
        }
        to_stdout = 0;
        codec::ofd = fileno(p);
        // An extract command that stops reading must end the run with a
        // message and status 1, not a silent death by SIGPIPE: the failed
        // write reports it (and removes the link). Set after popen so that
        // the extract command keeps the default disposition.
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        sigaction(SIGPIPE, &ignore, &pipe_disposition);
    }

    if (comment[0] != '\0') {
        report("\n%s\n\n", comment);
        report("Please wait...\n");
    }
    if (verbose || extract_only) report("Deflating %s...\n", codec::ofname);

    ok = data_compressed ? decode_members(program) : copy_raw();

    if (extract_only) {
        std::fflush(nullptr);
        sleep(2);
        goto end;
    }
    std::fflush(p);
    sleep(2);
    // pclose closes the pipe, so the extract command sees the end of its
    // input, and waits for it.
    if (int status = pclose(p); !exited_zero(status)) {
        report("\n%s: extraction of %s failed\n", program, codec::ofname);
        report("\nCommand: %s\n", pcmd);
        if (ok == 0) ok = 1;
    }
    p = nullptr;
    // The run command must not inherit an ignored SIGPIPE.
    sigaction(SIGPIPE, &pipe_disposition, nullptr);

    if (ok == 0 && will_run) {
        export_features();
        if (verbose) {
            ok = confirm_and_run(cmd);
        } else {
            std::fflush(nullptr);
            ok = std::system(cmd);
            if (ok & 0xff00) {
                report("\n%s: final processing of %s failed\n", program, codec::ofname);
                report("\nCommand: %s\n", cmd);
            }
        }
    }

end:
    std::free(pcmd);
    std::free(cmd);
    close(fd);
    if (sympath[0] != '\0') unlink(sympath);
    link_path[0] = '\0';
    return ok;
}

} // namespace driver
