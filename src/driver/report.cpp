// The driver's one path for its messages on standard error.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "driver/driver.h"

namespace driver {

void report(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(stderr, fmt, ap);
    va_end(ap);
}

namespace {

void vreport_perror(const char *fmt, va_list ap) {
    const int e = errno; // before any output can change it
    std::vfprintf(stderr, fmt, ap);
    std::fprintf(stderr, ": %s\n", std::strerror(e));
}

} // namespace

void report_perror(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vreport_perror(fmt, ap);
    va_end(ap);
}

void fatal(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(stderr, fmt, ap);
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
