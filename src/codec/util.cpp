// The codec's shared state, its CRC-32 register, the input refill, the output
// flushes and the fatal exits through which every codec failure ends.
#include "codec/codec.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>
#endif

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
long time_stamp;
int exit_code;
int level = 9;
unsigned strstart;
long block_start;
int to_stdout;
int list;
int verbose;
void (*abort_hook)();
void (*refill_hook)();
void (*message_hook)();
void (*write_hook)(const void *buf, unsigned cnt);
long (*input_hook)(void *buf, unsigned n);
ulg crc_register = 0xffffffffu;
int clmul_state = -1;
int vclmul_state = -1;

namespace {

// Slice-by-8 tables for the reflected polynomial 0xEDB88320, built at compile
// time: t[0] is the classic byte table, t[k][n] the CRC of byte n followed by k
// zero bytes, so that eight bytes are folded with eight independent lookups.
struct crc_tables {
    ulg t[8][256];
    constexpr crc_tables() : t{} {
        for (ulg n = 0; n < 256; n++) {
            ulg c = n;
            for (int k = 0; k < 8; k++) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[0][n] = c;
        }
        for (ulg n = 0; n < 256; n++)
            for (int k = 1; k < 8; k++) t[k][n] = t[0][t[k - 1][n] & 0xff] ^ (t[k - 1][n] >> 8);
    }
};
constexpr crc_tables crc_32_tab;
static_assert(crc_32_tab.t[0][1] == 0x77073096u && crc_32_tab.t[0][128] == 0xEDB88320u &&
              crc_32_tab.t[0][255] == 0x2D02EF8Du);

#if defined(__x86_64__) || defined(__i386__)
// x^n mod P, as a 64-bit operand of the carry-less multiply: bit i holds the
// coefficient of x^(32-i), which lines the 95-bit product up with the 128-bit
// lane it is folded into.
constexpr std::uint64_t xpow_mod(unsigned n) {
    ulg v = 0x80000000u; // x^0
    while (n--) v = (v & 1) ? (v >> 1) ^ 0xEDB88320u : v >> 1;
    return static_cast<std::uint64_t>(v) << 1;
}

// Folds a 128-bit lane d bits further on: the low half (the earlier bytes)
// moves by d + 64, the high half by d.
__attribute__((target("pclmul,sse2"))) inline __m128i fold(__m128i x, __m128i k) {
    return _mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11));
}

__attribute__((target("pclmul,sse2"))) inline __m128i load(const uch *p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
}

// The constants are computed at compile time: d is always one of four values.
template <unsigned d>
__attribute__((target("pclmul,sse2"))) inline __m128i fold_constants() {
    constexpr std::uint64_t high = xpow_mod(d - 32), low = xpow_mod(d + 32);
    return _mm_set_epi64x(static_cast<long long>(high), static_cast<long long>(low));
}

// Both halves of each 128-bit lane of a 256-bit register, as fold does.
__attribute__((target("avx2,vpclmulqdq"))) inline __m256i fold2(__m256i y, __m256i k) {
    return _mm256_xor_si256(_mm256_clmulepi64_epi128(y, k, 0x00), _mm256_clmulepi64_epi128(y, k, 0x11));
}

__attribute__((target("avx2,vpclmulqdq"))) inline __m256i load2(const uch *p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
}

template <unsigned d>
__attribute__((target("avx2,vpclmulqdq"))) inline __m256i fold_constants2() {
    return _mm256_broadcastsi128_si256(fold_constants<d>());
}
#endif

} // namespace

ulg crc32_portable(ulg c, const uch *s, std::size_t n) {
    const auto &t = crc_32_tab.t;
    for (; n >= 8; n -= 8, s += 8) {
        const ulg lo = c ^ (s[0] | static_cast<ulg>(s[1]) << 8 | static_cast<ulg>(s[2]) << 16 | static_cast<ulg>(s[3]) << 24);
        c = t[7][lo & 0xff] ^ t[6][(lo >> 8) & 0xff] ^ t[5][(lo >> 16) & 0xff] ^ t[4][lo >> 24] ^ t[3][s[4]] ^
            t[2][s[5]] ^ t[1][s[6]] ^ t[0][s[7]];
    }
    while (n--) c = t[0][(c ^ *s++) & 0xff] ^ (c >> 8);
    return c;
}

#if defined(__x86_64__) || defined(__i386__)
bool crc_clmul_supported() {
    if (clmul_state < 0) {
        unsigned a, b, c, d;
        clmul_state = __get_cpuid(1, &a, &b, &c, &d) && (c & bit_PCLMUL) && (d & bit_SSE2) ? 1 : 0;
    }
    return clmul_state != 0;
}

namespace {

// Folds the whole 16-byte blocks left into the one lane x, then x and the
// tail go through the tables.
__attribute__((target("pclmul,sse2"))) ulg finish_lane(__m128i x, const uch *s, std::size_t n) {
    const __m128i k128 = fold_constants<128>();
    for (; n >= 16; n -= 16, s += 16) x = _mm_xor_si128(fold(x, k128), load(s));
    alignas(16) uch last[16];
    _mm_store_si128(reinterpret_cast<__m128i *>(last), x);
    return crc32_portable(crc32_portable(0, last, sizeof last), s, n);
}

} // namespace

// The register is folded into the first four bytes; four lanes then advance
// 64 bytes per step, are folded into one, and the last lane plus the tail go
// through the tables. Folding keeps the value congruent modulo P, so the lane
// left over has the same CRC contribution as everything before it.
__attribute__((target("pclmul,sse2"))) ulg crc32_clmul(ulg c, const uch *s, std::size_t n) {
    if (n < 64) return crc32_portable(c, s, n);
    __m128i x0 = _mm_xor_si128(load(s), _mm_cvtsi32_si128(static_cast<int>(c)));
    __m128i x1 = load(s + 16);
    __m128i x2 = load(s + 32);
    __m128i x3 = load(s + 48);
    s += 64;
    n -= 64;
    const __m128i k512 = fold_constants<512>();
    for (; n >= 64; n -= 64, s += 64) {
        x0 = _mm_xor_si128(fold(x0, k512), load(s));
        x1 = _mm_xor_si128(fold(x1, k512), load(s + 16));
        x2 = _mm_xor_si128(fold(x2, k512), load(s + 32));
        x3 = _mm_xor_si128(fold(x3, k512), load(s + 48));
    }
    return finish_lane(_mm_xor_si128(fold(x0, fold_constants<384>()),
                                     _mm_xor_si128(fold(x1, fold_constants<256>()),
                                                   _mm_xor_si128(fold(x2, fold_constants<128>()), x3))),
                       s, n);
}

bool crc_vclmul_supported() {
    if (vclmul_state < 0) {
        unsigned a, b, c, d;
        bool ok = crc_clmul_supported() && __get_cpuid(1, &a, &b, &c, &d) && (c & bit_AVX) && (c & bit_OSXSAVE);
        if (ok) {
            // The system must save the 256-bit registers.
            unsigned lo, hi;
            __asm__("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
            ok = (lo & 6) == 6;
        }
        ok = ok && __get_cpuid_count(7, 0, &a, &b, &c, &d) && (b & bit_AVX2) && (c & bit_VPCLMULQDQ);
        vclmul_state = ok ? 1 : 0;
    }
    return vclmul_state != 0;
}

// As crc32_clmul with two lanes per register: eight lanes advance 128 bytes
// per step, are folded into one 128-bit lane, and crc32_clmul's finish
// follows.
__attribute__((target("avx2,vpclmulqdq,pclmul"))) ulg crc32_vclmul(ulg c, const uch *s, std::size_t n) {
    if (n < 256) return crc32_clmul(c, s, n);
    __m256i y0 = _mm256_xor_si256(load2(s), _mm256_set_m128i(_mm_setzero_si128(), _mm_cvtsi32_si128(static_cast<int>(c))));
    __m256i y1 = load2(s + 32);
    __m256i y2 = load2(s + 64);
    __m256i y3 = load2(s + 96);
    s += 128;
    n -= 128;
    const __m256i k1024 = fold_constants2<1024>();
    for (; n >= 128; n -= 128, s += 128) {
        y0 = _mm256_xor_si256(fold2(y0, k1024), load2(s));
        y1 = _mm256_xor_si256(fold2(y1, k1024), load2(s + 32));
        y2 = _mm256_xor_si256(fold2(y2, k1024), load2(s + 64));
        y3 = _mm256_xor_si256(fold2(y3, k1024), load2(s + 96));
    }
    const __m256i y = _mm256_xor_si256(
        fold2(y0, fold_constants2<768>()),
        _mm256_xor_si256(fold2(y1, fold_constants2<512>()), _mm256_xor_si256(fold2(y2, fold_constants2<256>()), y3)));
    return finish_lane(_mm_xor_si128(fold(_mm256_castsi256_si128(y), fold_constants<128>()), _mm256_extracti128_si256(y, 1)),
                       s, n);
}
#else
bool crc_clmul_supported() { return false; }
ulg crc32_clmul(ulg c, const uch *s, std::size_t n) { return crc32_portable(c, s, n); }
bool crc_vclmul_supported() { return false; }
ulg crc32_vclmul(ulg c, const uch *s, std::size_t n) { return crc32_portable(c, s, n); }
#endif

// Performance critical, measure any change with bench/.
ulg updcrc(const uch *s, unsigned n) {
    if (s == nullptr) {
        crc_register = 0xffffffffu;
        return 0;
    }
    crc_register = crc_vclmul_supported() ? crc32_vclmul(crc_register, s, n)
                   : crc_clmul_supported() ? crc32_clmul(crc_register, s, n)
                                           : crc32_portable(crc_register, s, n);
    return crc_register ^ 0xffffffffu;
}

long read_input(void *buf, unsigned n) {
    return input_hook != nullptr ? input_hook(buf, n) : static_cast<long>(read(ifd, buf, n));
}

int fill_inbuf() {
    insize = 0;
    errno = 0;
    do {
        long len = read_input(inbuf + insize, static_cast<unsigned>(INBUFSIZ - insize));
        if (len <= 0) break;
        insize += static_cast<unsigned>(len);
    } while (insize < INBUFSIZ);
    if (insize == 0) read_error();
    bytes_in += insize;
    if (refill_hook != nullptr) refill_hook();
    inptr = 1;
    return inbuf[0];
}

void flush_window() { flush_window_at(window); }

void flush_window_at(const uch *from) {
    if (outcnt == 0) return;
    updcrc(from, outcnt);
    if (ofd != NO_OUTPUT) write_buf(ofd, from, outcnt);
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
    if (write_hook != nullptr) write_hook(buf, cnt);
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

void reset_state() {
    std::memset(inbuf, 0, sizeof inbuf);
    std::memset(outbuf, 0, sizeof outbuf);
    std::memset(window, 0, sizeof window);
    std::memset(d_buf, 0, sizeof d_buf);
    std::memset(prev, 0, sizeof prev);
    insize = inptr = outcnt = 0;
    bytes_in = bytes_out = header_bytes = 0;
    ifd = ofd = 0;
    std::memset(ifname, 0, sizeof ifname);
    std::memset(ofname, 0, sizeof ofname);
    progname = nullptr;
    method = 8;
    part_nb = 0;
    time_stamp = 0;
    exit_code = 0;
    level = 9;
    strstart = 0;
    block_start = 0;
    to_stdout = list = verbose = 0;
    abort_hook = refill_hook = message_hook = nullptr;
    write_hook = nullptr;
    input_hook = nullptr;
    crc_register = 0xffffffffu;
    clmul_state = vclmul_state = -1;
    reset_encoder_state();
    reset_decoder_state();
}

char *gz_basename(char *fname) {
    char *p = std::strrchr(fname, '/');
    return p != nullptr ? p + 1 : fname;
}

namespace {

// Length of the valid UTF-8 sequence at s (RFC 3629: shortest form, no
// surrogates, nothing beyond U+10FFFF), 0 when none starts there.
std::size_t utf8_length(const uch *s) {
    const uch c = s[0];
    if (c < 0x80) return 1;
    auto cont = [&](std::size_t i, uch lo = 0x80, uch hi = 0xbf) { return s[i] >= lo && s[i] <= hi; };
    if (c >= 0xc2 && c <= 0xdf) return cont(1) ? 2 : 0;
    if (c >= 0xe0 && c <= 0xef) {
        const uch lo = c == 0xe0 ? 0xa0 : 0x80, hi = c == 0xed ? 0x9f : 0xbf;
        return cont(1, lo, hi) && cont(2) ? 3 : 0;
    }
    if (c >= 0xf0 && c <= 0xf4) {
        const uch lo = c == 0xf0 ? 0x90 : 0x80, hi = c == 0xf4 ? 0x8f : 0xbf;
        return cont(1, lo, hi) && cont(2) && cont(3) ? 4 : 0;
    }
    return 0;
}

} // namespace

void print_visible(std::FILE *f, const char *s) {
    const char *run = s; // plain bytes not written yet: one write for each run of them
    while (*s != '\0') {
        const uch c = static_cast<uch>(*s);
        // A byte outside a valid sequence could be an 8-bit control (0x9b is
        // CSI to terminals that obey them), and so could a C1 control in UTF-8.
        const std::size_t n = utf8_length(reinterpret_cast<const uch *>(s));
        const bool c0 = (c < 0x20 && c != '\t' && c != '\n') || c == 0x7f;
        const bool c1 = n == 2 && c == 0xc2 && static_cast<uch>(s[1]) <= 0x9f;
        if (n != 0 && !c0 && !c1) {
            s += n;
            continue;
        }
        std::fwrite(run, 1, static_cast<std::size_t>(s - run), f);
        const std::size_t shown = c1 ? 2 : 1;
        for (std::size_t i = 0; i < shown; i++) std::fprintf(f, "\\%03o", static_cast<uch>(s[i]));
        s += shown;
        run = s;
    }
    std::fwrite(run, 1, static_cast<std::size_t>(s - run), f);
}

void error(const char *m) {
    if (message_hook != nullptr) message_hook();
    std::fprintf(stderr, "\n%s: %s: %s\n", progname, ifname, m);
    abort_gzip();
}

void read_error() {
    int e = errno;
    if (message_hook != nullptr) message_hook();
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
    if (message_hook != nullptr) message_hook();
    // As perror(ofname) would, but the name may be an archive's stored name.
    std::fprintf(stderr, "\n%s: ", progname);
    if (ofname[0] != '\0') {
        print_visible(stderr, ofname);
        std::fputs(": ", stderr);
    }
    std::fprintf(stderr, "%s\n", std::strerror(e));
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
