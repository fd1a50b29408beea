// kelpa's entry: the start-up probe that picks build or archive mode, the
// options, the defaults, Usage, and the dispatch to exactly one action.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <getopt.h>
#include <initializer_list>
#include <unistd.h>

#include "driver/block_ledger.h"
#include "driver/driver.h"
#include "driver/extract.h"
#include "driver/signature.h"

namespace driver {

void Usage(int is_compressed, std::FILE *out) {
    // Piece by piece: the comment and the program's name reach the stream
    // only as visible characters, as in every message.
    std::fputs("Version: ", out);
    print_visible(out, scid);
    std::fputs("\n", out);
    if (is_compressed) {
        std::fputs("\n", out);
        print_visible(out, comment);
        std::fputs("\n\nUsage: ", out);
        print_visible(out, progname);
        std::fputs(" [-hclnvtxqT] [-k public_key]\n"
                   "    -h: show this help\n"
                   "    -u: use as utility to decompress archive specified on command-line\n"
                   "    -l: list compression statistics\n"
                   "    -c: extract to stdout instead of archive name\n"
                   "    -x: extract only. do not deflate the archive\n"
                   "    -n: do not run install command after deflating archive\n"
                   "    -t: temp path for decompression if archive allows\n"
                   "    -v: verbose output\n"
                   "    -k: run only if signed with this public key\n"
                   "    -q: quiet: show nothing but errors\n"
                   "    -T: check the archive only, extract and run nothing\n",
                   out);
    } else {
        std::fputs("Usage: ", out);
        print_visible(out, progname);
        std::fputs(" [-huclvaqT] [-p kelpa_path] [-C 'comment'] [-f 'extract_shell_cmds'] "
                   "[-r 'run_program_after_extraction'] [-V 'filesystem'] [-S 'fssub'] "
                   "[-F feature_sting] [-K secret_key] <files...>\n",
                   out);
    }
}

namespace {

// Copies an option's argument into a 1024-byte buffer, refusing what does not fit.
void store_argument(char *dst, const char *arg, int letter) {
    std::size_t len = std::strlen(arg);
    if (len > BUFLEN - 1) {
        fatal("%s: argument of -%c is too long\n", progname, letter);
    }
    std::memcpy(dst, arg, len + 1);
}

// A key file's name: an empty one (an unset variable in "-k $KEY") would
// otherwise mean no key, and an archive that is not signed would run.
void store_key_path(char *dst, const char *arg, int letter) {
    if (arg[0] == '\0') fatal("%s: option -%c needs a key file name\n", progname, letter);
    store_argument(dst, arg, letter);
}

// Forms key + argument as one feature entry and appends it to the list.
void store_feature(const char *key, const char *arg, int letter) {
    char buf[FEATLEN];
    int len = std::snprintf(buf, sizeof buf, "%s%s", key, arg);
    if (len < 0 || static_cast<std::size_t>(len) > FEATLEN - 1) {
        fatal("%s: argument of -%c is too long\n", progname, letter);
    }
    if (add_feature(buf) != 0) {
        fatal("%s: feature list is too long\n", progname);
    }
}

// Fills a closed standard descriptor with /dev/null, so that no file this
// process opens takes its number: messages would land in the archive or in
// the extract command's pipe. Opened for the other direction, it still fails
// every use as the closed descriptor did, so output asked for on a closed
// standard output is never quietly lost.
void fill_closed_standard_descriptors() {
    for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        int n = open("/dev/null", fd == STDIN_FILENO ? O_WRONLY : O_RDONLY);
        if (n != -1 && n != fd) {
            dup2(n, fd);
            close(n);
        }
    }
}

// Reads the -k key, when one was given, before the first archive is looked
// at: a key that cannot be used ends the run before anything is done.
void load_trusted_key() {
    if (public_key_path[0] == '\0') return;
    if (read_public_key(public_key_path, trusted_key) != 0) std::exit(1);
    trusted_key_set = true;
}

// Long names for what operators of other installers type. Values past the
// byte range are the ones without a short option.
constexpr int OPT_HELP = 256;
constexpr int OPT_VERSION = 257;
const option long_options[] = {
    {"help", no_argument, nullptr, OPT_HELP},  {"version", no_argument, nullptr, OPT_VERSION},
    {"check", no_argument, nullptr, 'T'},      {"quiet", no_argument, nullptr, 'q'},
    {"list", no_argument, nullptr, 'l'},       {nullptr, 0, nullptr, 0},
};

// Ends the process with status once what went to standard output is out: a
// listing, a help text or OK lines that could not be written are a failure.
[[noreturn]] void exit_after_stdout(int status) {
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        fatal_perror("%s: stdout", progname);
    }
    std::exit(status);
}

} // namespace

} // namespace driver

int main(int argc, char **argv) {
    using namespace driver;
    fill_closed_standard_descriptors();
    progname = argv[0];
    for (char *b : {run_program, pipe_program, comment, features, kelpa_path, uncompress_dir})
        std::memset(b, 0, BUFLEN);

    // A bare name reached this process through PATH, so the own file is
    // looked up there as the shell did (an empty element is the current
    // directory): another executable of the same name must not lend its
    // trailer and commands to this run.
    static char own_path[BUFLEN + 1];
    char *own = argv[0];
    if (std::strchr(argv[0], '/') == nullptr) {
        if (const char *found = find_in_path(argv[0]); found != nullptr) own = std::strcpy(own_path, found);
    }

    int is_compressed = 0;
    int opt_u = 0;
    if (int fd = find_preamble(own); fd >= 0) {
        close(fd);
        is_compressed = 1;
    }
    ledger_end();

    int c;
    while ((c = getopt_long(argc, argv, "h?ucvxnlqTap:C:r:f:V:S:t:O:F:k:K:", long_options, nullptr)) != -1) {
        switch (c) {
        case OPT_HELP:
            Usage(is_compressed, stdout);
            exit_after_stdout(0);
        case OPT_VERSION:
            std::fputs("Version: ", stdout);
            print_visible(stdout, scid);
            std::fputs("\n", stdout);
            exit_after_stdout(0);
        case 'q': quiet = 1; break;
        case 'T': check_only = 1; break;
        case 'u': is_compressed = opt_u = 1; break;
        case 'c': to_stdout = 1; break;
        case 'v': verbose = 1; break;
        case 'x': extract_only = 1; break;
        case 'n': dont_run_program = 1; break;
        case 'l': list = 1; break;
        case 'a':
            if (!is_compressed) store_feature("NOCOMPR", "", 'a');
            break;
        case 'p': store_argument(kelpa_path, optarg, c); break;
        case 'C': store_argument(comment, optarg, c); break;
        case 'r': store_argument(run_program, optarg, c); break;
        case 'f': store_argument(pipe_program, optarg, c); break;
        case 'V':
            // An archive whose space check could never pass is not made.
            if (!is_compressed && std::strlen(optarg) > VFYFS_MAX) {
                fatal("%s: %s: name too long for the space check\n", progname, optarg);
            }
            if (!is_compressed) store_feature("VFYFS=", optarg, c);
            break;
        case 'S':
            if (!is_compressed) store_feature("FSSUB=", optarg, c);
            break;
        case 'O':
            if (!is_compressed) store_feature(F_OEM, optarg, c);
            break;
        case 'F':
            if (!is_compressed) store_feature("", optarg, c);
            break;
        case 't':
            if (is_compressed) store_argument(uncompress_dir, optarg, c);
            break;
        case 'k': store_key_path(public_key_path, optarg, c); break;
        case 'K': store_key_path(secret_key_path, optarg, c); break;
        default: // 'h', '?', an unknown option or a missing argument
            Usage(is_compressed);
            std::exit(1);
        }
    }

    if (comment[0] == '\0') std::strcpy(comment, "Self-Extracting archive file");
    if (kelpa_path[0] == '\0') {
        if (const char *self = find_program(own); self != nullptr && std::strlen(self) < BUFLEN)
            std::strcpy(kelpa_path, self);
    }

    char **av = argv + optind;
    int names = argc - optind;

    if (list) {
        load_trusted_key();
        if (names > 0 && !is_compressed) {
            for (int i = 0; i < names; i++) do_list(av[i], true);
        } else {
            do_list(own);
        }
        exit_after_stdout(exit_code);
    }
    if (check_only) {
        if (opt_u && names == 0) {
            Usage(1);
            fatal("%s: which archive do you want to use?\n", argv[0]);
        }
        load_trusted_key();
        int status = 0;
        if (!is_compressed && names > 0) {
            // Every archive is checked, whichever fail.
            for (int i = 0; i < names; i++) status |= check_archive_only(av[i], av[i], true);
        } else if (opt_u) {
            status = check_archive_only(av[0], av[0], true);
        } else {
            status = check_archive_only(own, argv[0], false);
        }
        exit_after_stdout(status);
    }
    if (!is_compressed && names > 0) do_build(names, av);
    if (!is_compressed) {
        Usage(0);
        fatal("%s: what files do you want to compress?\n", argv[0]);
    }
    if (opt_u && names == 0) {
        Usage(1);
        fatal("%s: which archive do you want to use?\n", argv[0]);
    }
    load_trusted_key();
    // The operands after the archive are the operator's arguments for the run
    // command (argv ends in a null pointer, so av does too).
    std::exit(do_decompress(opt_u ? av[0] : own, opt_u ? av + 1 : av, opt_u != 0));
}
