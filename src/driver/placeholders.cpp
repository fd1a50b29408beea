// Expanding "%o" and "%p" in the extract and run command templates.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "driver/driver.h"
#include "driver/extract.h"

namespace driver {

namespace {

constexpr std::size_t CMDLEN = 2048; // an expanded command: 2047 characters and its NUL

} // namespace

char *replace_program_parms(const char *pgm) {
    char *out = static_cast<char *>(std::calloc(CMDLEN, 1));
    if (out == nullptr) return nullptr;
    std::size_t o = 0;
    // Appends n bytes of s, or fails when they would not leave room for the NUL.
    auto put = [&](const char *s, std::size_t n) {
        if (n > CMDLEN - 1 - o) return false;
        std::memcpy(out + o, s, n);
        o += n;
        return true;
    };
    bool fits = true;
    for (std::size_t i = 0; fits && pgm[i] != '\0'; i++) {
        if (pgm[i] != '%' || pgm[i + 1] == '\0') {
            fits = put(pgm + i, 1);
        } else if (pgm[i + 1] == 'o') {
            fits = put(codec::ofname, std::strlen(codec::ofname));
            i++;
        } else if (pgm[i + 1] == 'p') {
            char cwd[CMDLEN];
            if (getcwd(cwd, sizeof cwd) != nullptr) {
                fits = put(cwd, std::strlen(cwd));
            } else {
                // A directory too deep for the buffer cannot be expanded; one
                // that cannot be determined at all is the current one, ".".
                fits = errno != ERANGE && put(".", 1);
            }
            i++;
        } else {
            fits = put(pgm + i, 2);
            i++;
        }
    }
    if (!fits) {
        std::free(out);
        return nullptr;
    }
    return out;
}

} // namespace driver
