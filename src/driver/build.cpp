// Build mode: the stub image and trailer, then one gzip member per input (or
// the inputs' raw bytes under NOCOMPR), in command-line order, on standard
// output.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "driver/driver.h"

namespace driver {

namespace {

// The NAME entry is formed in a scratch area of FEATLEN bytes.
constexpr std::size_t NAME_ROOM = FEATLEN - sizeof "NAME=";

// Copies the input's bytes unchanged. A failed read ends the build through
// the codec's read-error exit, so a short copy is never taken for the file.
void copy_raw(int in) {
    // Larger blocks than the 256-byte scratch area: the bytes written are the
    // same, with far fewer system calls.
    char buf[32768];
    for (;;) {
        ssize_t got = read(in, buf, sizeof buf);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) codec::read_error();
        if (got == 0) return;
        codec::write_buf(codec::ofd, buf, static_cast<unsigned>(got));
    }
}

// An archive whose space check can never pass would refuse every run: one
// character names no extraction directory ("/", "."), and VFYFS needs FSSUB.
void refuse_unusable_space_check() {
    if (get_feature("VFYFS=") == nullptr) return;
    const char *fs = std::strchr(get_feature("VFYFS="), '=') + 1;
    if (std::strlen(fs) < 2) {
        fatal("%s: -V %s: the space check needs a directory of two characters or more\n", progname, fs);
    }
    if (get_feature("FSSUB=") == nullptr) {
        fatal("%s: -V needs -S, the name of the extraction directory under it\n", progname);
    }
    const char *sub = std::strchr(get_feature("FSSUB="), '=') + 1;
    if (std::strlen(sub) < 2) {
        fatal("%s: -S %s: the extraction directory needs a name of two characters or more\n", progname, sub);
    }
}

// The encoder's threads: KELPA_THREADS when set, else every CPU the process
// may run on. Whatever the count, the archive is the same to the byte.
void set_encoder_threads() {
    constexpr int MAX_THREADS = 256;
    const char *v = std::getenv("KELPA_THREADS");
    if (v == nullptr) {
        codec::zip_threads = std::min(codec::affinity_threads(), MAX_THREADS);
        return;
    }
    // Digits only, so that a sign, a blank or a suffix is refused, not read past.
    long n = 0;
    const char *p = v;
    for (; *p >= '0' && *p <= '9' && n <= MAX_THREADS; p++) n = n * 10 + (*p - '0');
    if (p == v || *p != '\0' || n < 1 || n > MAX_THREADS) {
        fatal("%s: KELPA_THREADS must be a whole number from 1 to 256\n", progname);
    }
    codec::zip_threads = static_cast<int>(n);
}

} // namespace

void do_build(int argc, char **argv) {
    set_encoder_threads();
    codec::ofd = STDOUT_FILENO;
    // A megabyte of binary on the screen is never what was meant.
    if (isatty(codec::ofd))
        fatal("%s: will not write an archive to a terminal: redirect standard output to a file\n", progname);

    // Refuse what does not fit before anything is written.
    for (int i = 0; i < argc; i++) {
        if (std::strlen(argv[i]) >= sizeof codec::ifname) {
            fatal("%s: %s: file name too long\n", progname, argv[i]);
        }
    }
    const char *name = codec::gz_basename(argv[0]);
    if (std::strlen(name) > NAME_ROOM) {
        fatal("%s: %s: file name too long for the NAME entry\n", progname, argv[0]);
    }
    // The name becomes the NAME entry: a comma would end it and start an entry
    // of the name's choosing (PATH=., say); quotes and backslashes change how
    // the list splits.
    if (std::strpbrk(name, ",\"\\") != nullptr) {
        fatal("%s: %s: the first input's name may not hold a comma, a double quote or a backslash\n", progname,
               argv[0]);
    }
    refuse_unusable_space_check();
    char buf[FEATLEN];
    std::snprintf(buf, sizeof buf, "NAME=%s", name);
    if (add_feature(buf) != 0) {
        fatal("%s: feature list is too long\n", progname);
    }

    // Without its stub an archive cannot run: no payload without it.
    if (build_preamble(kelpa_path, codec::ofd) != 0) std::exit(1);

    for (int i = 0; i < argc; i++) {
        std::strcpy(codec::ifname, argv[i]);
        codec::ifd = open(codec::ifname, O_RDONLY | O_LARGEFILE);
        if (codec::ifd < 0) {
            // The others are still written, but a missing input fails the build.
            report_perror("%s", codec::ifname);
            exit_code = 1;
            continue;
        }
        // Looked up again for every input, on the list that holds NAME: a first
        // input named like the flag makes the whole payload raw, consistently
        // with what the extraction will decide.
        if (get_feature("NOCOMPR") != nullptr) {
            copy_raw(codec::ifd);
        } else {
            (void)codec::zip(codec::ifd, codec::ofd);
        }
        close(codec::ifd);
    }
    std::exit(exit_code);
}

} // namespace driver
