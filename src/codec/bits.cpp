// The encoder's bit output into outbuf (bits sent least significant first,
// 16 at a time) and its input function, which keeps the member's CRC-32 and
// the input count.
#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "codec/deflate.h"

namespace codec {

ush bi_buf;
int bi_valid;
read_fn read_buf;
ulg crc;

namespace {
constexpr int Buf_size = 16; // width of bi_buf
} // namespace

int file_read(char *buf, unsigned size) {
    // Short reads are gathered until size bytes or the end of the input: where
    // the window slides depends on how full it is, and with it the output, so
    // a pipe that delivers a few bytes at a time must fill it as a file does.
    ssize_t len = 0;
    while (static_cast<unsigned>(len) < size) {
        const ssize_t got = read(ifd, buf + len, size - static_cast<unsigned>(len));
        if (got < 0 && errno == EINTR) continue;
        // A failed read must not end the member early with a CRC that looks valid.
        if (got < 0) read_error();
        if (got == 0) break;
        len += got;
    }
    if (len == 0) return 0;
    crc = updcrc(reinterpret_cast<const uch *>(buf), static_cast<unsigned>(len));
    bytes_in += len;
    return static_cast<int>(len);
}

void bi_init(int zipfile) {
    bi_buf = 0;
    bi_valid = 0;
    if (zipfile != -1) read_buf = file_read;
}

void put_byte(uch c) {
    outbuf[outcnt++] = c;
    if (outcnt == OUTBUFSIZ) flush_outbuf();
}

void put_short(ush w) {
    if (outcnt < OUTBUFSIZ - 2) {
        outbuf[outcnt++] = static_cast<uch>(w & 0xff);
        outbuf[outcnt++] = static_cast<uch>(w >> 8);
    } else {
        put_byte(static_cast<uch>(w & 0xff));
        put_byte(static_cast<uch>(w >> 8));
    }
}

void put_long(ulg n) {
    put_short(static_cast<ush>(n & 0xffff));
    put_short(static_cast<ush>(n >> 16));
}

// Performance critical, measure any change with bench/.
void send_bits(int value, int length) {
    if (bi_valid > Buf_size - length) {
        bi_buf = static_cast<ush>(bi_buf | (value << bi_valid));
        put_short(bi_buf);
        bi_buf = static_cast<ush>(static_cast<ush>(value) >> (Buf_size - bi_valid));
        bi_valid += length - Buf_size;
    } else {
        bi_buf = static_cast<ush>(bi_buf | (value << bi_valid));
        bi_valid += length;
    }
}

unsigned bi_reverse(unsigned code, int len) {
    unsigned res = 0;
    for (; len > 0; len--) {
        res = (res << 1) | (code & 1);
        code >>= 1;
    }
    return res;
}

void bi_windup() {
    if (bi_valid > 8) {
        put_short(bi_buf);
    } else if (bi_valid > 0) {
        put_byte(static_cast<uch>(bi_buf));
    }
    bi_buf = 0;
    bi_valid = 0;
}

void copy_block(const uch *buf, unsigned len, int header) {
    bi_windup();
    if (header) {
        put_short(static_cast<ush>(len));
        put_short(static_cast<ush>(~len));
    }
    // Whole runs at once; flushes fall where put_byte would put them.
    while (len > 0) {
        unsigned room = static_cast<unsigned>(OUTBUFSIZ) - outcnt;
        unsigned n = len < room ? len : room;
        std::memcpy(outbuf + outcnt, buf, n);
        outcnt += n;
        buf += n;
        len -= n;
        if (outcnt == OUTBUFSIZ) flush_outbuf();
    }
}

} // namespace codec
