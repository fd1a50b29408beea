// The gzip member writer: one input file becomes one member (header with the
// stored name, the DEFLATE stream, CRC-32 and the cumulative input length).
//
//   offset   size    field
//   0        2       ID1 ID2 = 1F 8B
//   2        1       CM = 8 (deflate)
//   3        1       FLG = 08 (FNAME), or 00 without a stored name
//   4        4       MTIME = time_stamp (0 in build mode)
//   8        1       XFL = 2 at level 9, 4 at level 1, else 0
//   9        1       OS = 3
//   10       n + 1   the name after the input's last '/', NUL
//   11 + n   ...     DEFLATE data, ending on a byte boundary
//   end - 8  4       CRC-32 of this member's input
//   end - 4  4       bytes_in mod 2^32: every byte compressed so far in this
//                    process, so the last member carries the payload's total
#include <cstring>

#include "codec/deflate.h"

namespace codec {

namespace {
constexpr uch GZIP_MAGIC0 = 0x1f;
constexpr uch GZIP_MAGIC1 = 0x8b;
constexpr uch ORIG_NAME = 0x08;
constexpr uch OS_CODE = 3;
constexpr int DEFLATED = 8;
constexpr bool save_orig_name = true;
} // namespace

int zip(int in, int out) {
    uch flags = 0;
    ush deflate_flags = 0;

    ifd = in;
    ofd = out;
    outcnt = 0;
    method = DEFLATED;
    put_byte(GZIP_MAGIC0);
    put_byte(GZIP_MAGIC1);
    put_byte(DEFLATED);
    if (save_orig_name) flags |= ORIG_NAME;
    put_byte(flags);
    put_long(static_cast<ulg>(time_stamp));

    crc = updcrc(nullptr, 0);
    bi_init(out);
    const bool threaded = parallel_begin(in);
    ct_init();
    // Reads the first input into the window, not into outbuf, so the header
    // stays whole although XFL is only known afterwards.
    lm_init(level, &deflate_flags);

    put_byte(static_cast<uch>(deflate_flags));
    put_byte(OS_CODE);
    if (save_orig_name) {
        const char *p = gz_basename(ifname);
        do put_byte(static_cast<uch>(*p));
        while (*p++ != '\0');
    }
    header_bytes = static_cast<off64>(outcnt);

    if (threaded) {
        parallel_deflate();
    } else {
        deflate();
    }

    put_long(crc);
    put_long(static_cast<ulg>(bytes_in));
    header_bytes += 2 * 4;
    flush_outbuf();
    return 0;
}

} // namespace codec
