// The codec's shared state, its CRC-32 register, the input refill, the output
// flushes and the fatal exits through which every codec failure ends.
#include "codec/codec.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace codec {

uch inbuf[INBUFSIZ + INBUF_EXTRA];
uch outbuf[OUTBUFSIZ + OUTBUF_EXTRA];
uch window[2 * WSIZE + WINDOW_SLACK];
ush d_buf[DIST_BUFSIZE];
ush prev[PREV_SIZE];
unsigned insize;
unsigned inptr;
unsigned outcnt;
off64 bytes_in;
off64 bytes_out;
off64 header_bytes;
int ifd;
int ofd;
char ifname[1024];
char ofname[1024];
char *progname;
int method = 8;
int part_nb;
int last_member;
long time_stamp;
int exit_code;
int level = 9;
unsigned strstart;
long block_start;
int to_stdout;
int list;
int verbose;
void (*abort_hook)();

namespace {

// The reflected table for 0xEDB88320, built at compile time.
struct crc_table {
    ulg t[256];
    constexpr crc_table() : t{} {
        for (ulg n = 0; n < 256; n++) {
            ulg c = n;
            for (int k = 0; k < 8; k++) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[n] = c;
        }
    }
};
constexpr crc_table crc_32_tab;
static_assert(crc_32_tab.t[1] == 0x77073096u && crc_32_tab.t[128] == 0xEDB88320u &&
              crc_32_tab.t[255] == 0x2D02EF8Du);

ulg crc = 0xffffffffu; // the register, pre-inverted

} // namespace

// Performance critical, measure any change with bench/.
ulg updcrc(const uch *s, unsigned n) {
    if (s == nullptr) {
        crc = 0xffffffffu;
        return 0;
    }
    ulg c = crc;
    while (n--) c = crc_32_tab.t[(c ^ *s++) & 0xff] ^ (c >> 8);
    crc = c;
    return c ^ 0xffffffffu;
}

int fill_inbuf(int eof_ok) {
    (void)eof_ok; // every caller passes 0: the end of input is always an error
    insize = 0;
    errno = 0;
    do {
        ssize_t len = read(ifd, inbuf + insize, INBUFSIZ - insize);
        if (len <= 0) break;
        insize += static_cast<unsigned>(len);
    } while (insize < INBUFSIZ);
    if (insize == 0) read_error();
    bytes_in += insize;
    inptr = 1;
    return inbuf[0];
}

void flush_window() {
    if (outcnt == 0) return;
    updcrc(window, outcnt);
    write_buf(ofd, window, outcnt);
    bytes_out += outcnt;
    outcnt = 0;
}

void flush_outbuf() {
    if (outcnt == 0) return;
    write_buf(ofd, outbuf, outcnt);
    bytes_out += outcnt;
    outcnt = 0;
}

void write_buf(int fd, const void *buf, unsigned cnt) {
    const char *p = static_cast<const char *>(buf);
    while (cnt > 0) {
        ssize_t n = write(fd, p, cnt);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            // A write that accepts nothing would otherwise be retried forever.
            if (n == 0) errno = EIO;
            write_error();
        }
        p += n;
        cnt -= static_cast<unsigned>(n);
    }
}

void clear_bufs() {
    outcnt = 0;
    inptr = insize = 0;
    bytes_in = bytes_out = 0;
}

char *gz_basename(char *fname) {
    char *p = std::strrchr(fname, '/');
    return p != nullptr ? p + 1 : fname;
}

void error(const char *m) {
    std::fprintf(stderr, "\n%s: %s: %s\n", progname, ifname, m);
    abort_gzip();
}

void read_error() {
    int e = errno;
    std::fprintf(stderr, "\n%s: ", progname);
    if (e != 0) {
        errno = e;
        std::perror(ifname);
    } else {
        std::fprintf(stderr, "%s: unexpected end of file\n", ifname);
    }
    abort_gzip();
}

void write_error() {
    int e = errno;
    std::fprintf(stderr, "\n%s: ", progname);
    errno = e;
    std::perror(ofname);
    abort_gzip();
}

void abort_gzip() {
    if (abort_hook != nullptr) abort_hook();
#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
    throw fatal_exit{};
#else
    std::exit(1);
#endif
}

} // namespace codec
