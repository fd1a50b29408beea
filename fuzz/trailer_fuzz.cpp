// Proves that the trailer reader, on any file, stays inside its buffers, keeps
// every string terminated and leaves the descriptor at the payload it reports.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <string>
#include <unistd.h>

#include "driver/driver.h"
#include "scratch_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    static char name[] = "kelpa";
    codec::progname = name;
    std::string &path = scratch_path("trailer");
    int fd = open(path.c_str(), O_WRONLY | O_TRUNC);
    if (fd < 0) std::abort();
    if (size > 0 && write(fd, data, size) != static_cast<ssize_t>(size)) std::abort();
    close(fd);

    for (char *b : {driver::features, driver::comment, driver::run_program, driver::pipe_program})
        std::memset(b, 'z', driver::BUFLEN); // stale bytes must never leak past a terminator
    for (char *b : {driver::features, driver::comment, driver::run_program, driver::pipe_program})
        b[driver::BUFLEN - 1] = '\0';

    int in = driver::find_preamble(path.data());
    if (in < 0) return 0;
    for (char *b : {driver::features, driver::comment, driver::run_program, driver::pipe_program})
        if (std::memchr(b, '\0', driver::BUFLEN) == nullptr) std::abort();
    if (driver::preamble_end < 11 || driver::preamble_end > static_cast<codec::off64>(size)) std::abort();
    if (lseek64(in, 0, SEEK_CUR) != driver::preamble_end) std::abort();
    close(in);
    return 0;
}
