// The archive's trailer: the marker, resolving a program name to its file,
// finding and reading the trailer, and writing a stub image with a trailer.
//
//   offset                      length   content
//   0                           S        stub image: a copy of the file at kelpa_path
//   S                           11       marker, no terminator (see get_eop)
//   S + 11                      F + 1    features, NUL
//   S + 12 + F                  K + 1    comment, NUL
//   S + 13 + F + K              R + 1    run_program, NUL
//   S + 14 + F + K + R          X + 1    pipe_program, NUL
//   preamble_end                to EOF   payload: gzip members, or raw bytes under NOCOMPR
//
// The first occurrence of the marker in a file is the one after the stub, which
// holds on condition that the stub never contains the 11 bytes in a row.
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

#include "driver/block_ledger.h"
#include "driver/driver.h"

namespace driver {

codec::off64 preamble_end;
codec::off64 trailer_at;
int trailer_cut;
int trailer_whole;
char eop[MARKER_LEN];
char found_program[BUFLEN + 1];

namespace {

// The marker, each byte XORed with a key. The key is read through a volatile so
// that no optimiser can fold the decoding back into the 11 bytes in a row,
// which would turn this very executable into an archive.
constexpr unsigned char MARKER_KEY = 0xA5;
constexpr std::array<unsigned char, MARKER_LEN> encoded_marker = [] {
    const char plain[] = {'k', 'e', 'l', 'p', 'a', '+', 'm', 'a', 'g', 'i', 'k'};
    std::array<unsigned char, MARKER_LEN> out{};
    for (std::size_t i = 0; i < MARKER_LEN; i++) out[i] = static_cast<unsigned char>(plain[i] ^ MARKER_KEY);
    return out;
}();

constexpr std::size_t SCAN_READ = 8191;

// KMP failure function of the marker: after a mismatch with `matched` bytes
// matched, the longest proper prefix of the marker that is also a suffix of the
// matched part is still matched, so no occurrence that starts inside a broken
// partial match is missed.
void marker_failure(const char *m, std::size_t fail[MARKER_LEN]) {
    fail[0] = 0;
    std::size_t k = 0;
    for (std::size_t i = 1; i < MARKER_LEN; i++) {
        while (k > 0 && m[i] != m[k]) k = fail[k - 1];
        if (m[i] == m[k]) k++;
        fail[i] = k;
    }
}

// Reads one NUL-terminated trailer string at the ledger's offset into dst
// (BUFLEN bytes). Keeps the first 1023 characters of a longer string and skips
// the rest up to its NUL. Returns false at end of file or on an error, with
// the string cut there; the caller then leaves the later strings as they were.
// Sets cut when characters were dropped.
bool read_trailer_string(char *dst, int &cut) {
    char chunk[512];
    std::size_t n = 0;
    for (;;) {
        const codec::off64 at = ledger_tell();
        ssize_t got = ledger_read(chunk, sizeof chunk);
        if (got <= 0) {
            dst[n < BUFLEN ? n : BUFLEN - 1] = '\0';
            return false;
        }
        const char *nul = static_cast<const char *>(std::memchr(chunk, '\0', static_cast<std::size_t>(got)));
        std::size_t take = nul != nullptr ? static_cast<std::size_t>(nul - chunk) : static_cast<std::size_t>(got);
        if (n < BUFLEN - 1) {
            std::size_t room = BUFLEN - 1 - n;
            std::memcpy(dst + n, chunk, take < room ? take : room);
        }
        n += take;
        if (n > BUFLEN - 1) cut = 1;
        if (nul != nullptr) {
            dst[n < BUFLEN ? n : BUFLEN - 1] = '\0';
            // The next string begins just past the NUL.
            ledger_seek(at + static_cast<codec::off64>(take) + 1);
            return true;
        }
    }
}

} // namespace

volatile unsigned char marker_key = MARKER_KEY;

const char *get_eop() {
    for (std::size_t i = 0; i < MARKER_LEN; i++) eop[i] = static_cast<char>(encoded_marker[i] ^ marker_key);
    return eop;
}

char *find_program(char *ref) {
    std::size_t reflen = std::strlen(ref);
    if (reflen <= BUFLEN && access(ref, X_OK) == 0) {
        std::memcpy(found_program, ref, reflen + 1);
        return found_program;
    }
    if (ref[0] == '.') return ref;
    return find_in_path(ref);
}

char *find_in_path(const char *ref) {
    const char *path = std::getenv("PATH");
    if (path == nullptr) return nullptr;
    std::unique_ptr<char, decltype(&std::free)> copy(strdup(path), &std::free);
    if (!copy) return nullptr;
    // Split by hand rather than with strtok: an empty element is the current
    // directory, as the shell reads it, and must be tried in its place.
    char *elem = copy.get();
    for (;;) {
        char *colon = std::strchr(elem, ':');
        if (colon != nullptr) *colon = '\0';
        int len = std::snprintf(found_program, sizeof found_program, "%s/%s", elem[0] != '\0' ? elem : ".", ref);
        if (len >= 0 && static_cast<std::size_t>(len) <= BUFLEN && access(found_program, X_OK) == 0) return found_program;
        if (colon == nullptr) break;
        elem = colon + 1;
    }
    return nullptr;
}

namespace {

// Opens path for reading and finds the trailer in it, every byte read through
// a fresh ledger (name: the archive as the messages name it). The descriptor,
// with the trailer strings and preamble_end set, PREAMBLE_MISSING, or
// PREAMBLE_UNREAD after the perror-style message.
int read_preamble(const char *path, const char *name) {
    int fd = open(path, O_RDONLY | O_LARGEFILE);
    if (fd < 0) {
        report_perror("%s", path);
        return PREAMBLE_UNREAD;
    }
    ledger_begin(fd, name);
    // Without a key to check, nothing before the trailer is read again: the
    // stub is searched without digests. The hash of a signed archive reads
    // the whole file again, so then every block keeps its digest.
    if (!trusted_key_set) ledger_skim();

    const char *marker = get_eop();
    std::size_t fail[MARKER_LEN];
    marker_failure(marker, fail);

    std::unique_ptr<char[]> buf(new char[SCAN_READ + 1]);
    codec::off64 consumed = 0; // bytes of earlier reads
    std::size_t matched = 0;
    codec::off64 after_marker = -1;
    while (after_marker < 0) {
        ssize_t got = ledger_read(buf.get(), SCAN_READ);
        if (got <= 0) {
            ledger_end();
            close(fd);
            return PREAMBLE_MISSING;
        }
        for (ssize_t i = 0; i < got; i++) {
            char c = buf[static_cast<std::size_t>(i)];
            // Performance: most of a stub is not the marker's first byte.
            if (matched == 0) {
                const void *k = std::memchr(buf.get() + i, marker[0], static_cast<std::size_t>(got - i));
                if (k == nullptr) break;
                i = static_cast<const char *>(k) - buf.get();
                c = marker[0];
            }
            while (matched > 0 && c != marker[matched]) matched = fail[matched - 1];
            if (c == marker[matched]) matched++;
            if (matched == MARKER_LEN) {
                after_marker = consumed + i + 1;
                break;
            }
        }
        consumed += got;
    }
    buf.reset();
    // The trailer and the payload are read again: from the marker's block on,
    // every block keeps its digest.
    ledger_keep_held();
    ledger_seek(after_marker);

    trailer_at = after_marker;
    char *strings[] = {features, comment, run_program, pipe_program};
    trailer_cut = 0;
    trailer_whole = 1;
    for (char *s : strings) {
        if (!read_trailer_string(s, trailer_cut)) {
            trailer_whole = 0;
            break;
        }
    }
    preamble_end = ledger_tell();
    // The descriptor too stands at the payload, for whoever reads it plainly.
    lseek64(fd, preamble_end, SEEK_SET);
    return fd;
}

} // namespace

int find_preamble(char *program) {
    char *path = find_program(program);
    if (path == nullptr) {
        report("%s: unable to find kelpa to build preamble\n", progname);
        return PREAMBLE_MISSING;
    }
    int fd = read_preamble(path, program);
    return fd == PREAMBLE_UNREAD ? PREAMBLE_MISSING : fd;
}

int open_archive(const char *name) { return read_preamble(name, name); }

int stub_is_kelpa(char *program) {
    char *path = program[0] != '\0' ? find_program(program) : nullptr;
    if (path == nullptr) return -1;
    int in = open(path, O_RDONLY | O_LARGEFILE);
    if (in < 0) return -1;
    // Every kelpa carries the text its version line prints; the stub is read
    // in blocks, each searched with the tail of the one before it.
    constexpr char version_mark[] = "@(#) kelpa ";
    constexpr std::size_t keep = sizeof version_mark - 2;
    std::unique_ptr<char[]> buf(new (std::nothrow) char[SCAN_READ + keep]);
    if (!buf) {
        close(in);
        return -1;
    }
    std::size_t have = 0;
    int found = 0;
    for (;;) {
        ssize_t got = read(in, buf.get() + have, SCAN_READ);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            found = -1;
            break;
        }
        if (got == 0) break;
        have += static_cast<std::size_t>(got);
        if (memmem(buf.get(), have, version_mark, sizeof version_mark - 1) != nullptr) {
            found = 1;
            break;
        }
        const std::size_t tail = have < keep ? have : keep;
        std::memmove(buf.get(), buf.get() + have - tail, tail);
        have = tail;
    }
    close(in);
    return found;
}

int build_preamble(char *program, int fd) {
    char *path = program[0] != '\0' ? find_program(program) : nullptr;
    if (path == nullptr) {
        report("%s: unable to find kelpa to build preamble\n", progname);
        return -1;
    }
    struct stat64 st;
    if (stat64(path, &st) != 0) {
        report_perror("%s", path);
        return -1;
    }
    int in = open(path, O_RDONLY | O_LARGEFILE);
    if (in < 0) {
        report_perror("%s", path);
        return -1;
    }
    std::size_t size = static_cast<std::size_t>(st.st_size);
    std::unique_ptr<char[]> image(new (std::nothrow) char[size + 1]);
    if (!image) {
        errno = ENOMEM;
        report_perror("%s", path);
        close(in);
        return -1;
    }
    std::size_t have = 0;
    while (have < size) {
        ssize_t got = read(in, image.get() + have, size - have);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            report_perror("%s", path);
            close(in);
            return -1;
        }
        if (got == 0) break; // the stub shrank under us: copy what it holds
        have += static_cast<std::size_t>(got);
    }
    close(in);

    codec::write_buf(fd, image.get(), static_cast<unsigned>(have));
    image.reset();
    codec::write_buf(fd, get_eop(), MARKER_LEN);
    trailer_at = static_cast<codec::off64>(have + MARKER_LEN);
    for (const char *s : {features, comment, run_program, pipe_program})
        codec::write_buf(fd, s, static_cast<unsigned>(std::strlen(s) + 1));
    return 0;
}

} // namespace driver
