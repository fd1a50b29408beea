// Proves that listing any archive file (a stub, the marker, then arbitrary
// bytes as trailer and payload) ends normally or through the codec's fatal
// exit, leaves exit_code at 0 or 1, and never starts a command.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "driver/driver.h"
#include "scratch_file.h"
#include "no_spawn.h"


extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // The listing goes to standard output; only the verdict matters here.
    int null = open("/dev/null", O_WRONLY);
    if (null < 0 || dup2(null, STDOUT_FILENO) < 0) std::abort();
    close(null);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    static char name[] = "kelpa";
    codec::progname = name;
    std::string file = "\x7f" "ELF stub bytes ";
    file.append(driver::get_eop(), driver::MARKER_LEN);
    file.append(reinterpret_cast<const char *>(data), size);
    std::string &path = scratch_path("listing");
    int fd = open(path.c_str(), O_WRONLY | O_TRUNC);
    if (fd < 0) std::abort();
    if (write(fd, file.data(), file.size()) != static_cast<ssize_t>(file.size())) std::abort();
    close(fd);

    for (char *b : {driver::features, driver::comment, driver::run_program, driver::pipe_program})
        b[0] = '\0';
    codec::exit_code = 0;
    codec::verbose = size > 0 && (data[size - 1] & 1); // both column layouts
    spawn_forbidden = true;
    try {
        driver::do_list(path.data());
    } catch (const codec::fatal_exit &) {
    }
    spawn_forbidden = false;
    std::fflush(stdout);
    if (codec::exit_code != 0 && codec::exit_code != 1) std::abort();
    return 0;
}
