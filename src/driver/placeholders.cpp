// Expanding "%o" and "%p" in the extract and run command templates, each value
// quoted so that the shell reads exactly it, whatever quoting context of the
// template it stands in.
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "driver/driver.h"
#include "driver/extract.h"

namespace driver {

namespace {

constexpr std::size_t CMDLEN = 2048; // an expanded command: 2047 characters and its NUL

// Where the template stands at a placeholder, as the shell reads it.
enum class quoting { none, single, dbl };

// Characters the shell takes literally in any context. A value made of them
// alone goes in verbatim, so that ordinary commands stay as they always were.
bool shell_literal(const char *s) {
    for (; *s != '\0'; s++) {
        unsigned char c = static_cast<unsigned char>(*s);
        if (!(std::isalnum(c) != 0 || std::strchr("_./+-:,=@%", c) != nullptr) || c >= 0x80) return false;
    }
    return true;
}

// Appends to a fixed buffer; false once a byte would not leave room for the NUL.
struct output {
    char *buf;
    std::size_t len = 0;
    bool put(const char *s, std::size_t n) {
        if (n > CMDLEN - 1 - len) return false;
        std::memcpy(buf + len, s, n);
        len += n;
        return true;
    }
    bool put(char c) { return put(&c, 1); }
};

// Appends value so that the shell reads exactly it in context q.
bool put_quoted(output &out, const char *value, quoting q) {
    if (shell_literal(value)) return out.put(value, std::strlen(value));
    bool fits = q != quoting::none || out.put('\'');
    for (const char *s = value; fits && *s != '\0'; s++) {
        if (q == quoting::dbl) {
            if (std::strchr("$`\"\\", *s) != nullptr) fits = out.put('\\');
            fits = fits && out.put(*s);
        } else if (*s == '\'') {
            // Close the quotes, an escaped quote, open them again.
            fits = out.put("'\\''", 4);
        } else {
            fits = out.put(*s);
        }
    }
    return fits && (q != quoting::none || out.put('\''));
}

} // namespace

char *replace_program_parms(const char *pgm) {
    char *buf = static_cast<char *>(std::calloc(CMDLEN, 1));
    if (buf == nullptr) return nullptr;
    output out{buf};
    quoting q = quoting::none;
    bool fits = true;
    for (std::size_t i = 0; fits && pgm[i] != '\0'; i++) {
        const char c = pgm[i];
        if (c == '%' && (pgm[i + 1] == 'o' || pgm[i + 1] == 'p')) {
            if (pgm[i + 1] == 'o') {
                fits = put_quoted(out, codec::ofname, q);
            } else {
                char cwd[CMDLEN];
                if (getcwd(cwd, sizeof cwd) != nullptr) {
                    fits = put_quoted(out, cwd, q);
                } else {
                    // A directory too deep for the buffer cannot be expanded; one
                    // that cannot be determined at all is the current one, ".".
                    fits = errno != ERANGE && out.put('.');
                }
            }
            i++;
            continue;
        }
        // "%%" stays a pair, so that "%%o" is no placeholder; after any other
        // '%' the next character is read as usual.
        if (c == '%' && pgm[i + 1] == '%') {
            fits = out.put(pgm + i, 2);
            i++;
            continue;
        }
        // Follow the template's own quoting. A backslash outside single quotes
        // takes the next character with it, unless that is a placeholder's '%'.
        if (c == '\\' && q != quoting::single && pgm[i + 1] != '\0' && pgm[i + 1] != '%') {
            fits = out.put(pgm + i, 2);
            i++;
            continue;
        }
        if (c == '\'' && q != quoting::dbl) q = q == quoting::single ? quoting::none : quoting::single;
        else if (c == '"' && q != quoting::single) q = q == quoting::dbl ? quoting::none : quoting::dbl;
        fits = out.put(c);
    }
    if (!fits) {
        std::free(buf);
        return nullptr;
    }
    return buf;
}

} // namespace driver
