// The driver's one path for its messages on standard error.
#include <cstdarg>
#include <cstdio>

#include "driver/driver.h"

namespace driver {

void report(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(stderr, fmt, ap);
    va_end(ap);
}

} // namespace driver
