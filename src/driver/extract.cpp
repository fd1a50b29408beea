// Running an archive, in three steps: check that the archive is whole (trailer,
// header, commands, every member decoded to nowhere), plan where it goes (space
// check and relocation), then act (extract command, decoding, run command).
// Owns the extract command's pipe and the temporary link on every end.
#include <cctype>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/wait.h>
#include <unistd.h>

#include "driver/block_ledger.h"
#include "driver/driver.h"
#include "driver/extract.h"
#include "driver/progress.h"
#include "driver/signature.h"

namespace driver {

namespace {

constexpr std::size_t SYMPATH_LEN = 512;
constexpr unsigned RAW_BLOCK = 512;

// A fatal error while the extract command runs: it sees the end of its input
// and is waited for, so that nothing goes on writing after kelpa has failed.
void end_run_effects() {
    end_extract();
    remove_link();
}

// Megabytes to make room for: a partial megabyte counts whole, and so does
// an empty payload.
int megs_needed(codec::off64 bytes) {
    codec::off64 megs = (bytes >> 20) + 1;
    return megs > INT_MAX ? INT_MAX : static_cast<int>(megs);
}

// The length field of the payload's last gzip trailer: the build makes it the
// total of all members, modulo 2^32.
codec::ulg trailer_isize() {
    unsigned char ubuf[8];
    errno = 0;
    const codec::off64 end = ledger_size();
    if (end < static_cast<codec::off64>(sizeof ubuf) || ledger_read_at(end - 8, ubuf, sizeof ubuf) != 0)
        codec::read_error();
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
            long n = read_input(inbuf + insize, static_cast<unsigned>(INBUFSIZ - insize));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) read_error();
            if (n == 0) break;
            insize += static_cast<unsigned>(n);
            bytes_in += n;
        }
    }
    return insize - inptr >= 2 && inbuf[inptr] == 0x1f && (inbuf[inptr + 1] == 0x8b || inbuf[inptr + 1] == 0x9e);
}

// What the check established about an archive, for the plan and the act.
struct checked_archive {
    int fd = -1;                  // the archive, open for reading
    bool compressed = false;      // gzip members, not raw bytes
    codec::off64 data_start = 0;  // offset of the first member's DEFLATE data, or of the raw payload
    codec::off64 total = 0;       // exact number of bytes the payload decodes to
    char *pcmd = nullptr;         // the expanded extract command; null under -x
    char *cmd = nullptr;          // the expanded run command; null when none will run
};

enum class verdict { whole, refused };

// Decodes every member from data_start into ofd (NO_OUTPUT for the check),
// each CRC and length checked; the first member's header has been read. The
// exact total, or -1 after the message of a later member's unusable header.
codec::off64 decode_members(const char *program, const checked_archive &a, int out) {
    using namespace codec;
    ledger_seek(a.data_start);
    clear_bufs();
    progress_begin(out == NO_OUTPUT ? "checking" : "extracting", a.fd, a.data_start - preamble_end);
    unzip(a.fd, out);
    while (next_member_follows()) {
        if (get_method() == -1) {
            progress_end();
            report("%s: unknown compression method\n", program);
            return -1;
        }
        unzip(a.fd, out);
    }
    progress_end();
    return bytes_out;
}

// Expands one of the archive's commands (what: "extract" or "run") into cmd.
// False after a message when it is too long, or a value of a placeholder
// could not be put in so that the shell reads exactly it.
bool expand_command(const char *program, const char *what, const char *tpl, char *&cmd) {
    Perr why = PE_NONE;
    char which = 0;
    cmd = replace_program_parms(tpl, &why, &which);
    if (cmd != nullptr) return true;
    if (why == PE_TOO_LONG) {
        report("%s: a command is too long once expanded (2047 characters at most)\n", program);
        return false;
    }
    if (why == PE_ENDS_DOC) {
        report("%s: %%%c cannot be quoted safely where it stands in the %s command: its value would end the "
               "here-document\n", program, which, what);
    } else {
        report("%s: %%%c cannot be quoted safely where it stands in the %s command: its value holds characters "
               "other than letters, digits and _ . / + - : , = @ %%\n", program, which, what);
    }
    report("\nCommand: ");
    print_visible(stderr, tpl);
    report("\n");
    return false;
}

// Check: everything that can fail on the archive's own data fails here, before
// anything is made, started or written. Prints its own messages.
verdict check_archive(char *program, bool operand, checked_archive &a) {
    a.fd = operand ? open_archive(program) : find_preamble(program);
    if (a.fd == PREAMBLE_UNREAD) return verdict::refused;
    if (a.fd == PREAMBLE_MISSING) {
        report("%s: unable to find preamble magic value\n", program);
        return verdict::refused;
    }
    // Who made the archive is settled before anything of it is believed.
    if (trusted_key_set && verify_archive(program, a.fd, trusted_key) != 0) return verdict::refused;
    if (trailer_cut) {
        report("%s: a trailer string is longer than 1023 characters\n", program);
        return verdict::refused;
    }
    codec::ifd = a.fd;
    std::snprintf(codec::ifname, sizeof codec::ifname, "%s", program);
    codec::ofd = STDOUT_FILENO;
    std::strcpy(codec::ofname, "stdout");
    codec::clear_bufs();

    a.compressed = get_feature("NOCOMPR") == nullptr;
    if (!a.compressed) {
        if (const char *name = get_feature("NAME="); name != nullptr && std::strchr(name, '=') != nullptr)
            std::strcpy(codec::ofname, std::strchr(name, '=') + 1);
    } else if (codec::get_method() == -1) {
        report("%s: unknown compression method\n", program);
        return verdict::refused;
    }

    const bool will_run = !extract_only && !dont_run_program && run_program[0] != '\0';
    if (!extract_only) {
        if (pipe_program[0] == '\0') std::strcpy(pipe_program, "cat > %p/%o");
        if (!expand_command(program, "extract", pipe_program, a.pcmd)) return verdict::refused;
    }
    if (will_run && !expand_command(program, "run", run_program, a.cmd)) return verdict::refused;

    if (!a.compressed) {
        a.data_start = preamble_end;
        errno = 0;
        codec::off64 end = ledger_size();
        if (end < 0) codec::read_error();
        a.total = end > preamble_end ? end - preamble_end : 0;
        if (a.total == 0) {
            report("%s: the archive holds no data\n", program);
            return verdict::refused;
        }
        return verdict::whole;
    }

    // The first member's data begins where the header reader stopped.
    a.data_start = preamble_end + codec::bytes_in - static_cast<codec::off64>(codec::insize - codec::inptr);
    a.total = decode_members(program, a, codec::NO_OUTPUT);
    if (a.total == -1) return verdict::refused;
    // The last length field holds the total of all inputs: a member lost to a
    // damaged header, or bytes after the last member, show here.
    if (trailer_isize() != static_cast<codec::ulg>(a.total)) codec::error("invalid compressed data--length error");
    return verdict::whole;
}

// Plan: room for the exact total where the archive asks for it, relocating the
// extraction behind a temporary link when needed. False after verify_fs's messages.
bool plan_space(const checked_archive &a, char *sympath) {
    if (extract_only || get_feature("VFYFS=") == nullptr) return true;
    codec::abort_hook = end_run_effects;
    return verify_fs(megs_needed(a.total), sympath) == SE_NONE;
}

// Copies the raw payload into ofd: exactly the length the plan was made for,
// so a file that changed since cannot hand on more, and one that shrank is
// an unexpected end of file.
void copy_raw(const checked_archive &a) {
    ledger_seek(a.data_start);
    char buf[RAW_BLOCK];
    progress_begin("extracting", a.fd, 0);
    for (codec::off64 left = a.total; left > 0;) {
        errno = 0;
        ssize_t n = ledger_read(buf, left < static_cast<codec::off64>(sizeof buf) ? static_cast<std::size_t>(left)
                                                                                   : sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) codec::read_error();
        codec::write_buf(codec::ofd, buf, static_cast<unsigned>(n));
        left -= n;
        progress_at(a.total - left);
    }
    progress_end();
}

// Prints arg as one single-quoted word, each ' in it as '\'' (as a shell would
// read it back), its control characters escaped.
void print_quoted(std::FILE *f, const char *arg) {
    std::size_t n = std::strlen(arg);
    char *word = static_cast<char *>(std::malloc(4 * n + 3));
    if (word == nullptr) { // still all visible, only a ' in it is not written out
        std::putc('\'', f);
        print_visible(f, arg);
        std::putc('\'', f);
        return;
    }
    char *w = word;
    *w++ = '\'';
    for (const char *a = arg; *a != '\0'; a++) {
        if (*a == '\'') {
            std::memcpy(w, "'\\''", 4);
            w += 4;
        } else {
            *w++ = *a;
        }
    }
    *w++ = '\'';
    *w = '\0';
    print_visible(f, word);
    std::free(word);
}

// The verbose run: asks on standard output before running cmd with the
// operator's arguments, all shown. The end of input answers no. The result is
// the command's wait status, or 0 when it did not run.
int confirm_and_run(const char *cmd, const char *program, char *const *args) {
    std::printf("This archive requires more processing using the following command:\n");
    std::printf("    ");
    print_visible(stdout, cmd);
    for (char *const *a = args; a != nullptr && *a != nullptr; a++) {
        std::putchar(' ');
        print_quoted(stdout, *a);
    }
    std::printf("\n");
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
        if (answer == 'Y') return run_shell(cmd, program, args);
        std::printf("\n? (y/n): ");
    }
}

// "\n%s: <what> of %s failed\n" and "\nCommand: %s\n", the stored name and
// the command shown as they may reach a terminal.
void report_failure(const char *program, const char *what, const char *cmd) {
    report("\n%s: %s of ", program, what);
    print_visible(stderr, codec::ofname);
    report(" failed\n\nCommand: ");
    print_visible(stderr, cmd);
    report("\n");
}

bool exited_zero(int status) { return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0; }

// What a run ends with: 0 when done, 1 when it failed, or the run command's
// own status from 1 to 255, which tells install scripts' callers what it
// meant ("needs a reboot", say).
constexpr int RUN_DONE = 0;
constexpr int RUN_FAILED = 1;

// Act: the extract command, the banner, the payload decoded into it (checked
// again: the file may have changed since the check), the pause, its end, then
// the run command, with program as its $0 and args as its "$@".
int act(char *program, const checked_archive &a, char *const *args) {
    struct sigaction pipe_disposition {};
    if (extract_only) {
        to_stdout = 1;
        codec::ofd = STDOUT_FILENO;
    } else {
        int fd = start_extract(a.pcmd);
        if (fd == -1) {
            const int e = errno;
            print_visible(stderr, a.pcmd);
            report(": %s\n", std::strerror(e));
            return RUN_FAILED;
        }
        to_stdout = 0;
        codec::ofd = fd;
        codec::abort_hook = end_run_effects;
        // An extract command that stops reading must end the run with a
        // message and status 1, not a silent death by SIGPIPE: the failed
        // write reports it.
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        sigaction(SIGPIPE, &ignore, &pipe_disposition);
    }

    if (comment[0] != '\0' && !quiet) {
        report("\n");
        print_visible(stderr, comment);
        report("\n\nPlease wait...\n");
    }
    if ((verbose || extract_only) && !quiet) {
        report("Deflating ");
        print_visible(stderr, codec::ofname);
        report("...\n");
    }

    bool decoded = true;
    if (a.compressed) {
        codec::off64 total = decode_members(program, a, codec::ofd);
        if (total == -1) decoded = false;
        else if (total != a.total) codec::error("invalid compressed data--length error");
    } else {
        copy_raw(a);
    }

    // The pause belongs to the run as operators and install scripts have
    // always known it, -x included; the close below waits for the extract
    // command in any case.
    if (extract_only) {
        std::fflush(nullptr);
        sleep(2);
        return decoded && unchanged_since_verified(program, a.fd) ? RUN_DONE : RUN_FAILED;
    }
    if (decoded) sleep(2);
    int status = end_extract();
    sigaction(SIGPIPE, &pipe_disposition, nullptr);
    if (!decoded) return RUN_FAILED;
    if (!exited_zero(status)) {
        report_failure(program, "extraction", a.pcmd);
        return RUN_FAILED;
    }

    if (a.cmd == nullptr) return RUN_DONE;
    // A file written to since it was checked may have fed the extraction
    // bytes that were never signed: its run command does not run.
    if (!unchanged_since_verified(program, a.fd)) return RUN_FAILED;
    export_features();
    // Declining, or no terminal to ask at, is no failure; a command that was
    // run fails the same way on both paths, a signal or a lost status included.
    status = verbose ? confirm_and_run(a.cmd, program, args) : run_shell(a.cmd, program, args);
    if (exited_zero(status)) return RUN_DONE;
    report_failure(program, "final processing", a.cmd);
    // Ended by a signal, or never started: no status of its own to pass on.
    return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : RUN_FAILED;
}

} // namespace

int do_decompress(char *program, char *const *args, bool operand) {
    catch_run_signals();
    char sympath[SYMPATH_LEN] = {};
    checked_archive a;
    int status = RUN_FAILED;
    if (check_archive(program, operand, a) == verdict::whole && unchanged_since_verified(program, a.fd) &&
        plan_space(a, sympath))
        status = act(program, a, args);
    std::free(a.pcmd);
    std::free(a.cmd);
    if (a.fd >= 0) close(a.fd);
    ledger_end();
    end_run_effects();
    codec::abort_hook = nullptr;
    return status;
}

int check_archive_only(char *program, const char *shown, bool operand) {
    // Nothing buffered may be written twice, by this process and the child.
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        catch_run_signals();
        checked_archive a;
        bool whole = check_archive(program, operand, a) == verdict::whole && unchanged_since_verified(program, a.fd);
        std::exit(whole ? 0 : 1);
    }
    int status = -1;
    if (pid < 0) {
        report_perror("%s: fork", progname);
        return 1;
    }
    while (waitpid(pid, &status, 0) == -1 && errno == EINTR) {
    }
    if (!exited_zero(status)) return 1;
    if (!quiet) {
        print_visible(stdout, shown);
        std::fputs(": OK\n", stdout);
    }
    return 0;
}

} // namespace driver
