// The driver's one path for its messages on standard error, and the way it
// shows a command before it runs.
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

void print_visible(std::FILE *f, const char *s) {
    for (; *s != '\0'; s++) {
        unsigned char c = static_cast<unsigned char>(*s);
        if ((c < 0x20 && c != '\t' && c != '\n') || c == 0x7f) std::fprintf(f, "\\%03o", c);
        else std::putc(c, f);
    }
}

} // namespace driver
