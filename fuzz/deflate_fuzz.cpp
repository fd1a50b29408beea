// Proves that any input compresses into a gzip member that both zlib and
// kelpa's own reader decode back to the same bytes, CRC-32 and length included.
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

#include "codec/codec.h"

namespace {

void check(bool ok, const char *what) {
    if (!ok) {
        std::fprintf(stderr, "deflate_fuzz: %s\n", what);
        __builtin_trap();
    }
}

void put_all(int fd, const std::uint8_t *p, std::size_t n) {
    check(ftruncate(fd, 0) == 0 && lseek(fd, 0, SEEK_SET) == 0, "reset input");
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        check(w > 0, "write input");
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    check(lseek(fd, 0, SEEK_SET) == 0, "rewind input");
}

std::string get_all(int fd) {
    std::string s;
    char buf[65536];
    check(lseek(fd, 0, SEEK_SET) == 0, "rewind output");
    ssize_t r;
    while ((r = read(fd, buf, sizeof buf)) > 0) s.append(buf, static_cast<std::size_t>(r));
    return s;
}

std::uint32_t le32(const std::string &s, std::size_t at) {
    return std::uint32_t(std::uint8_t(s[at])) | std::uint32_t(std::uint8_t(s[at + 1])) << 8 |
           std::uint32_t(std::uint8_t(s[at + 2])) << 16 | std::uint32_t(std::uint8_t(s[at + 3])) << 24;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    static int in = memfd_create("deflate_fuzz_in", 0);
    static int out = memfd_create("deflate_fuzz_out", 0);
    static int dec = memfd_create("deflate_fuzz_dec", 0);
    static char name[] = "deflate_fuzz";
    check(in >= 0 && out >= 0 && dec >= 0, "memfd_create");

    put_all(in, data, size);
    check(ftruncate(out, 0) == 0 && lseek(out, 0, SEEK_SET) == 0, "reset output");
    // The window keeps what earlier inputs left in it, as between the members
    // of one build; the length field is made to count this input alone.
    codec::progname = name;
    std::strcpy(codec::ifname, "fuzz");
    codec::bytes_in = 0;
    codec::bytes_out = 0;
    // Most inputs take the level in use; every fourth the level its first
    // byte picks, so the greedy strategy is exercised too.
    codec::level = (size % 4 == 0 && size > 0) ? 1 + data[0] % 9 : 9;
    try {
        codec::zip(in, out);
    } catch (const codec::fatal_exit &) {
        check(false, "the encoder took its fatal exit");
    }
    std::string gz = get_all(out);

    static const char head[] = "\x1f\x8b\x08\x08\x00\x00\x00\x00";
    check(gz.size() >= 10 + 5 + 2 + 8 && gz.compare(0, 8, head, 8) == 0, "member header");
    check(gz.compare(10, 5, "fuzz\0", 5) == 0, "stored name");
    z_stream z{};
    check(inflateInit2(&z, -15) == Z_OK, "inflateInit2");
    std::string back(size + 1, '\0');
    z.next_in = reinterpret_cast<Bytef *>(gz.data() + 15);
    z.avail_in = static_cast<uInt>(gz.size() - 15);
    z.next_out = reinterpret_cast<Bytef *>(back.data());
    z.avail_out = static_cast<uInt>(back.size());
    int rc = inflate(&z, Z_FINISH);
    std::size_t used = z.total_in, got = z.total_out;
    inflateEnd(&z);
    check(rc == Z_STREAM_END, "zlib rejects the DEFLATE data");
    check(got == size && std::memcmp(back.data(), data, size) == 0, "decoded data differs from the input");
    check(15 + used + 8 == gz.size(), "member length");
    check(le32(gz, 15 + used) == crc32(0, data, static_cast<uInt>(size)), "CRC-32");
    check(le32(gz, 15 + used + 4) == size, "length field");

    // kelpa's reader, from a fresh input state as an extraction starts.
    check(lseek(out, 0, SEEK_SET) == 0 && ftruncate(dec, 0) == 0 && lseek(dec, 0, SEEK_SET) == 0, "reset decoder files");
    codec::clear_bufs();
    codec::part_nb = 0;
    codec::ofname[0] = '\0';
    codec::ifd = out;
    try {
        check(codec::get_method() == 8, "kelpa's reader rejects the header");
        check(codec::unzip(out, dec) == 0, "kelpa's reader fails");
    } catch (const codec::fatal_exit &) {
        check(false, "kelpa's reader took its fatal exit");
    }
    std::string mine = get_all(dec);
    check(mine.size() == size && std::memcmp(mine.data(), data, size) == 0, "kelpa's reader gives other bytes");
    check(std::strcmp(codec::ofname, "fuzz") == 0, "kelpa's reader finds another name");
    return 0;
}
