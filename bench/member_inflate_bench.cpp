// The zlib side of archive_run.py: inflates the payload member of a kelpa
// archive to standard output in 32 KiB writes, as an archive run with -x does,
// so that both CPU times can be compared on the same member.
// Usage: member_inflate_bench ARCHIVE
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/archive_kit.h"

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s ARCHIVE\n", argv[0]);
        return 2;
    }
    // Mapped rather than read, so that zlib's side pays for no copy of the input.
    int fd = open(argv[1], O_RDONLY);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) return 2;
    void *map = mmap(nullptr, static_cast<std::size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
    if (map == MAP_FAILED) return 2;
    const std::string_view a(static_cast<const char *>(map), static_cast<std::size_t>(st.st_size));
    // The marker, then four NUL-terminated fields, then the member.
    const std::size_t marker_at = a.find(kit::marker());
    if (marker_at == std::string_view::npos) return 2;
    const std::size_t at = kit::read_trailer(a, marker_at);
    if (at == std::string_view::npos || at >= a.size()) return 2;

    z_stream z{};
    inflateInit2(&z, 31);
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(a.data() + at));
    z.avail_in = static_cast<uInt>(a.size() - at);
    static unsigned char out[32768];
    int r;
    do {
        z.next_out = out;
        z.avail_out = sizeof out;
        r = inflate(&z, Z_NO_FLUSH);
        if (write(1, out, sizeof out - z.avail_out) < 0) return 1;
    } while (r == Z_OK);
    inflateEnd(&z);
    return r == Z_STREAM_END ? 0 : 1;
}
