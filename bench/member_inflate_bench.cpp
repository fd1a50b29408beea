// The zlib side of archive_run.sh: inflates the payload member of a kelpa
// archive to standard output in 32 KiB writes, as an archive run with -x does,
// so that both CPU times can be compared on the same member.
// Usage: member_inflate_bench ARCHIVE
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s ARCHIVE\n", argv[0]);
        return 2;
    }
    int fd = open(argv[1], O_RDONLY);
    if (fd < 0) return 2;
    std::string a;
    char buf[1 << 16];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) a.append(buf, static_cast<std::size_t>(n));
    close(fd);
    // The marker, then four NUL-terminated fields, then the member.
    std::size_t at = a.find(std::string("kelpa") + "+magik");
    if (at == std::string::npos) return 2;
    at += 11;
    for (int f = 0; f < 4 && at != std::string::npos; f++) at = a.find('\0', at) + 1;
    if (at == 0 || at >= a.size()) return 2;

    z_stream z{};
    inflateInit2(&z, 31);
    z.next_in = reinterpret_cast<Bytef *>(a.data() + at);
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
