// Build mode: the stub image and trailer, then one gzip member per input (or
// the inputs' raw bytes under NOCOMPR), in command-line order, on standard
// output.
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

} // namespace

void do_build(int argc, char **argv) {
    codec::ofd = STDOUT_FILENO;
    // A megabyte of binary on the screen is never what was meant.
    if (isatty(codec::ofd)) {
        report("%s: will not write an archive to a terminal: redirect standard output to a file\n", progname);
        std::exit(1);
    }

    // Refuse what does not fit before anything is written.
    for (int i = 0; i < argc; i++) {
        if (std::strlen(argv[i]) >= sizeof codec::ifname) {
            report("%s: %s: file name too long\n", progname, argv[i]);
            std::exit(1);
        }
    }
    const char *name = codec::gz_basename(argv[0]);
    if (std::strlen(name) > NAME_ROOM) {
        report("%s: %s: file name too long for the NAME entry\n", progname, argv[0]);
        std::exit(1);
    }
    char buf[FEATLEN];
    std::snprintf(buf, sizeof buf, "NAME=%s", name);
    if (add_feature(buf) != 0) {
        report("%s: feature list is too long\n", progname);
        std::exit(1);
    }

    // Without its stub an archive cannot run: no payload without it.
    if (build_preamble(kelpa_path, codec::ofd) != 0) std::exit(1);

    for (int i = 0; i < argc; i++) {
        std::strcpy(codec::ifname, argv[i]);
        codec::ifd = open(codec::ifname, O_RDONLY | O_LARGEFILE);
        if (codec::ifd < 0) {
            // The others are still written, but a missing input fails the build.
            std::perror(codec::ifname);
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
