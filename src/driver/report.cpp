// The driver's one path for its messages on standard error.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "driver/driver.h"

namespace driver {

namespace {

// A message's values can come from the archive (VFYFS, FSSUB) or from the
// operator's working directory: formatted first, then shown only as visible
// characters, so that no escape sequence in them reaches the terminal.
void vreport(const char *fmt, va_list ap) {
    char small[1024];
    va_list again;
    va_copy(again, ap);
    const int n = std::vsnprintf(small, sizeof small, fmt, ap);
    if (n < 0) {
        va_end(again);
        return;
    }
    if (static_cast<std::size_t>(n) < sizeof small) {
        print_visible(stderr, small);
    } else if (char *big = static_cast<char *>(std::malloc(static_cast<std::size_t>(n) + 1)); big != nullptr) {
        std::vsnprintf(big, static_cast<std::size_t>(n) + 1, fmt, again);
        print_visible(stderr, big);
        std::free(big);
    }
    va_end(again);
}

void vreport_perror(const char *fmt, va_list ap) {
    const int e = errno; // before any output can change it
    vreport(fmt, ap);
    std::fprintf(stderr, ": %s\n", std::strerror(e));
}

} // namespace

void report(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vreport(fmt, ap);
    va_end(ap);
}

void report_perror(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vreport_perror(fmt, ap);
    va_end(ap);
}

void fatal(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vreport(fmt, ap);
    va_end(ap);
    // Nothing of the driver needs cleaning up on these ends: they come before
    // anything is made, or codec::abort_hook covers what was.
    std::exit(1);
}

void fatal_perror(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vreport_perror(fmt, ap);
    va_end(ap);
    std::exit(1);
}

} // namespace driver
