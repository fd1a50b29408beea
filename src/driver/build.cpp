// Build mode: the stub image and trailer, then one gzip member per input (or
// the inputs' raw bytes under NOCOMPR), in command-line order, on standard
// output.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "driver/driver.h"
#include "driver/extract.h"
#include "driver/signature.h"

namespace driver {

namespace {

// The NAME entry is formed in a scratch area of FEATLEN bytes.
constexpr std::size_t NAME_ROOM = FEATLEN - sizeof "NAME=";

// Copies the input's bytes unchanged: their number. A failed read ends the
// build through the codec's read-error exit, so a short copy is never taken
// for the file.
codec::off64 copy_raw(int in) {
    // Larger blocks than the 256-byte scratch area: the bytes written are the
    // same, with far fewer system calls.
    char buf[32768];
    codec::off64 copied = 0;
    for (;;) {
        ssize_t got = read(in, buf, sizeof buf);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) codec::read_error();
        if (got == 0) return copied;
        codec::write_buf(codec::ofd, buf, static_cast<unsigned>(got));
        copied += got;
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

// A placeholder that stands where a run cannot be sure how the shell reads
// it refuses every value but a plain one there: said while the archive can
// still be made otherwise. The archive is written all the same.
void warn_uncertain_placeholders() {
    const struct {
        const char *what, *tpl;
    } commands[] = {{"extract", pipe_program}, {"run", run_program}};
    for (const auto &c : commands) {
        if (char which = uncertain_placeholder(c.tpl); which != 0) {
            report("%s: warning: %%%c cannot be quoted safely where it stands in the %s command: a run refuses any "
                   "value with characters other than letters, digits and _ . / + - : , = @ %%\n",
                   progname, which, c.what);
        }
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

// An input that is the archive being written would be read while it grows:
// refused before the first byte is written. A character device (/dev/null
// on both sides, say) is not such a file.
void refuse_output_as_input(int argc, char **argv) {
    struct stat64 out;
    if (fstat64(codec::ofd, &out) != 0 || S_ISCHR(out.st_mode)) return;
    for (int i = 0; i < argc; i++) {
        struct stat64 in;
        if (stat64(argv[i], &in) == 0 && in.st_dev == out.st_dev && in.st_ino == out.st_ino) {
            fatal("%s: %s is the archive being written\n", progname, argv[i]);
        }
    }
}

} // namespace

void do_build(int argc, char **argv) {
    set_encoder_threads();
    codec::ofd = STDOUT_FILENO;
    // A megabyte of binary on the screen is never what was meant.
    if (isatty(codec::ofd))
        fatal("%s: will not write an archive to a terminal: redirect standard output to a file\n", progname);
    const bool signed_build = secret_key_path[0] != '\0';
    if (signed_build) refuse_unsignable_output(codec::ofd);

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
    refuse_output_as_input(argc, argv);
    refuse_unusable_space_check();
    // Another program as the stub would make an archive that never finds its trailer.
    if (stub_is_kelpa(kelpa_path) == 0) fatal("%s: %s is not a kelpa program\n", progname, kelpa_path);
    warn_uncertain_placeholders();
    char buf[FEATLEN];
    std::snprintf(buf, sizeof buf, "NAME=%s", name);
    if (add_feature(buf) != 0) {
        fatal("%s: feature list is too long\n", progname);
    }
    // The key is read last: nothing else can refuse the build after its
    // password was asked for.
    secret_key key{};
    if (signed_build) {
        if (begin_signing() != 0) fatal("%s: feature list is too long\n", progname);
        if (read_secret_key(secret_key_path, key) != 0) std::exit(1);
    }

    // Without its stub an archive cannot run: no payload without it.
    if (build_preamble(kelpa_path, codec::ofd) != 0) std::exit(1);

    codec::off64 raw_bytes = 0;
    for (int i = 0; i < argc; i++) {
        std::strcpy(codec::ifname, argv[i]);
        codec::ifd = open(codec::ifname, O_RDONLY | O_LARGEFILE);
        // A directory opens, but reading it fails after a member was begun.
        struct stat64 st;
        if (codec::ifd >= 0 && fstat64(codec::ifd, &st) == 0 && S_ISDIR(st.st_mode)) {
            close(codec::ifd);
            codec::ifd = -1;
            errno = EISDIR;
        }
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
            raw_bytes += copy_raw(codec::ifd);
        } else {
            (void)codec::zip(codec::ifd, codec::ofd);
        }
        close(codec::ifd);
    }
    // Every run of an empty raw archive refuses it.
    if (get_feature("NOCOMPR") != nullptr && raw_bytes == 0 && exit_code == 0) {
        report("%s: the archive holds no data\n", progname);
        exit_code = 1;
    }
    if (signed_build) finish_signing(codec::ofd, key);
    sodium_memzero(&key, sizeof key);
    std::exit(exit_code);
}

} // namespace driver
