// The gzip member reader: get_method takes the header apart, unzip decodes the
// data with inflate and checks the trailer's CRC-32 and length.
#include <cstdio>
#include <cstring>

#include "codec/codec.h"
#include "codec/inflate.h"

namespace codec {

namespace {

// FLG bits acted on; the others are ignored.
constexpr int CONTINUATION = 0x02; // a part number follows the fixed header
constexpr int EXTRA_FIELD = 0x04;
constexpr int ORIG_NAME = 0x08;
constexpr int COMMENT = 0x10;

constexpr unsigned char GZIP_MAGIC[2] = {0x1f, 0x8b};
constexpr unsigned char OLD_GZIP_MAGIC[2] = {0x1f, 0x9e};
constexpr int DEFLATED = 8;

unsigned read_u16() {
    unsigned v = static_cast<unsigned>(next_input_byte());
    return v | static_cast<unsigned>(next_input_byte()) << 8;
}

ulg read_u32() {
    ulg v = read_u16();
    return v | static_cast<ulg>(read_u16()) << 16;
}

void skip_string() {
    while (next_input_byte() != 0) {
    }
}

} // namespace

char *to_basename(char *fname) {
    if (char *p = std::strrchr(fname, '/'); p != nullptr) std::memmove(fname, p + 1, std::strlen(p + 1) + 1);
    return fname;
}

int get_method() {
    unsigned char magic[2];
    magic[0] = static_cast<unsigned char>(next_input_byte());
    magic[1] = static_cast<unsigned char>(next_input_byte());

    part_nb++;
    method = -1;
    header_bytes = 0;

    if (std::memcmp(magic, GZIP_MAGIC, 2) != 0 && std::memcmp(magic, OLD_GZIP_MAGIC, 2) != 0) {
        if (message_hook != nullptr) message_hook();
        std::fprintf(stderr, "%s: can only handle GZIP compression method\n", progname);
        exit_code = 1;
        return -1;
    }
    method = next_input_byte();
    if (method != DEFLATED) {
        if (message_hook != nullptr) message_hook();
        std::fprintf(stderr, "%s: %s: unknown method %d -- get newer version of gzip\n", progname, ifname, method);
        exit_code = 1;
        return -1;
    }
    int flags = next_input_byte();
    if (ulg stamp = read_u32(); stamp != 0) time_stamp = static_cast<long>(stamp);
    (void)next_input_byte(); // XFL
    (void)next_input_byte(); // OS

    if (flags & CONTINUATION) {
        unsigned part = read_u16();
        if (verbose) {
            if (message_hook != nullptr) message_hook();
            std::fprintf(stderr, "%s: %s: part number %u\n", progname, ifname, part);
        }
    }
    if (flags & EXTRA_FIELD) {
        unsigned len = read_u16();
        if (verbose) {
            if (message_hook != nullptr) message_hook();
            std::fprintf(stderr, "%s: %s: extra field of %u bytes ignored\n", progname, ifname, len);
        }
        while (len--) (void)next_input_byte();
    }
    if (flags & ORIG_NAME) {
        if ((to_stdout && !list) || part_nb > 1) {
            skip_string();
        } else {
            // The stored name replaces ofname whole, directories included.
            char *p = to_basename(ofname);
            for (;;) {
                *p = static_cast<char>(next_input_byte());
                if (*p++ == '\0') break;
                if (p >= ofname + sizeof ofname) error("corrupted input -- file name too large");
            }
        }
    }
    if (flags & COMMENT) skip_string();

    if (part_nb == 1) header_bytes = static_cast<off64>(inptr) + 8;
    return method;
}

int unzip(int in, int out) {
    ifd = in;
    ofd = out;
    updcrc(nullptr, 0);

    int res = inflate();
    if (res == INFLATE_NO_MEMORY) error("out of memory");
    if (res != INFLATE_OK) error("invalid compressed data--format violated");

    uch buf[8];
    for (uch &c : buf) c = static_cast<uch>(next_input_byte());
    ulg orig_crc = buf[0] | static_cast<ulg>(buf[1]) << 8 | static_cast<ulg>(buf[2]) << 16 | static_cast<ulg>(buf[3]) << 24;
    ulg orig_len = buf[4] | static_cast<ulg>(buf[5]) << 8 | static_cast<ulg>(buf[6]) << 16 | static_cast<ulg>(buf[7]) << 24;

    if (orig_crc != updcrc(outbuf, 0)) error("invalid compressed data--crc error");
    if (orig_len != static_cast<ulg>(bytes_out)) error("invalid compressed data--length error");
    return 0;
}

} // namespace codec
