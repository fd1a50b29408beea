// Expanding "%o" and "%p" in the extract and run command templates, each value
// quoted so that the shell reads exactly it, whatever context of the template
// it stands in.
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <unistd.h>

#include "driver/driver.h"
#include "driver/extract.h"

namespace driver {

namespace {

constexpr std::size_t CMDLEN = 2048;  // an expanded command: 2047 characters and its NUL
constexpr std::size_t NEST_MAX = 16;  // $( ) nested this deep is followed; deeper counts as the last level
constexpr std::size_t DELIM_MAX = 64; // a here-document delimiter

// Characters the shell takes literally in any context. A value made of them
// alone goes in verbatim, so that ordinary commands stay as they always were.
bool shell_literal(const char *s) {
    for (; *s != '\0'; s++) {
        unsigned char c = static_cast<unsigned char>(*s);
        if (c >= 0x80 || (std::isalnum(c) == 0 && std::strchr("_./+-:,=@%", c) == nullptr)) return false;
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

// How the shell reads the template at a given point. The walk follows quotes,
// backslashes, comments, command substitutions ($( ) and backquotes) and
// here-documents, which is where a value's characters could mean something.
struct reader {
    enum class quoting { none, single, dbl, heredoc, literal_heredoc, comment };
    quoting q = quoting::none;
    bool word_start = true;     // a '#' here would begin a comment
    bool escaped = false;       // an unquoted backslash stands right before the placeholder
    bool in_backquote = false;  // inside `...`, which the shell reads twice
    quoting before_backquote = quoting::none;
    // $( ... ): the context to return to and the parentheses opened inside.
    quoting saved[NEST_MAX];
    unsigned depth[NEST_MAX];
    std::size_t nest = 0;
    unsigned parens = 0;
    // A here-document whose body begins on the next line.
    char delim[DELIM_MAX + 1] = "";
    bool pending_doc = false, doc_quoted = false, doc_tabs = false;
};

// Appends value so that the shell reads exactly it where r stands.
bool put_value(output &out, const char *value, reader &r) {
    using q = reader::quoting;
    const bool escaped = r.escaped;
    r.escaped = false;
    // Nothing reads a comment, but a newline would end it.
    if (r.q == q::comment) {
        for (const char *s = value; *s != '\0'; s++)
            if (!out.put(*s == '\n' ? ' ' : *s)) return false;
        return true;
    }
    if (shell_literal(value) || r.q == q::literal_heredoc) return out.put(value, std::strlen(value));
    char quoted[2 * CMDLEN];
    std::size_t n = 0;
    auto add = [&](char c) {
        if (n + 1 >= sizeof quoted) return false;
        quoted[n++] = c;
        return true;
    };
    const char *s = value;
    bool fits = true;
    if (escaped) {
        // The template's backslash takes the value's first character; a
        // newline would join the lines instead, so it is given once more.
        if (*s != '\n') fits = add(*s++);
        else fits = add('\n');
    }
    const bool word = r.q == q::none && *s != '\0';
    if (word) fits = fits && add('\'');
    for (; fits && *s != '\0'; s++) {
        if (r.q == q::dbl || r.q == q::heredoc) {
            if (std::strchr(r.q == q::dbl ? "$`\"\\" : "$`\\", *s) != nullptr) fits = add('\\');
            fits = fits && add(*s);
        } else if (*s == '\'') {
            // Close the quotes, an escaped quote, open them again.
            for (char c : {'\'', '\\', '\'', '\''}) fits = fits && add(c);
        } else {
            fits = add(*s);
        }
    }
    if (word) fits = fits && add('\'');
    if (!fits) return false;
    // Inside backquotes the shell first takes one level of backslashes off
    // (within double quotes, off a '"' as well).
    const bool dq_backquote = r.in_backquote && r.before_backquote == q::dbl;
    for (std::size_t i = 0; i < n; i++) {
        const char c = quoted[i];
        if (r.in_backquote && (c == '\\' || c == '`' || (c == '"' && dq_backquote)) && !out.put('\\')) return false;
        if (!out.put(quoted[i])) return false;
    }
    return true;
}

// Reads a here-document operator's delimiter word at t (just past "<<" and
// an optional '-'), noting it for the body that begins on the next line.
void note_heredoc(reader &r, const char *t, bool tabs) {
    while (*t == ' ' || *t == '\t') t++;
    std::size_t n = 0;
    bool quoted = false;
    for (; *t != '\0' && std::strchr(" \t\n;&|<>()", *t) == nullptr; t++) {
        if (*t == '\'' || *t == '"' || *t == '\\') {
            quoted = true;
            continue;
        }
        if (n < DELIM_MAX) r.delim[n++] = *t;
    }
    r.delim[n] = '\0';
    r.pending_doc = n > 0;
    r.doc_quoted = quoted;
    r.doc_tabs = tabs;
}

// Whether the line at t closes the here-document being read.
bool closes_heredoc(const reader &r, const char *t) {
    if (r.doc_tabs)
        while (*t == '\t') t++;
    std::size_t n = std::strlen(r.delim);
    return std::strncmp(t, r.delim, n) == 0 && (t[n] == '\n' || t[n] == '\0');
}

// Follows the template's own character at pgm[i], which is copied unchanged.
// Returns how many characters it takes (two for an escape or "$(").
std::size_t follow(reader &r, const char *pgm, std::size_t i) {
    using q = reader::quoting;
    const char c = pgm[i], next = pgm[i + 1];
    switch (r.q) {
    case q::single:
        if (c == '\'') r.q = q::none;
        return 1;
    case q::comment:
        if (c == '\n') r.q = q::none;
        else return 1;
        break;
    case q::heredoc:
    case q::literal_heredoc:
        if (c == '\n' && closes_heredoc(r, pgm + i + 1)) r.q = q::none, r.pending_doc = false;
        return 1;
    default: break;
    }
    // Backquotes within double quotes: the first reading turns \" into ".
    if (c == '\\' && next == '"' && r.in_backquote && r.before_backquote == q::dbl) {
        r.q = r.q == q::dbl ? q::none : q::dbl;
        return 2;
    }
    if (c == '\\' && next != '\0') {
        // Before a placeholder the backslash takes the value's first character.
        if (next == '%' && (pgm[i + 2] == 'o' || pgm[i + 2] == 'p')) {
            r.escaped = true;
            return 1;
        }
        r.word_start = false;
        return 2;
    }
    if (c == '$' && next == '(') {
        if (r.nest < NEST_MAX) {
            r.saved[r.nest] = r.q;
            r.depth[r.nest++] = r.parens;
        }
        r.q = q::none;
        r.parens = 0;
        r.word_start = true;
        return 2;
    }
    if (c == '`') {
        if (r.in_backquote) {
            r.in_backquote = false;
            r.q = r.before_backquote;
        } else {
            r.in_backquote = true;
            r.before_backquote = r.q;
            r.q = q::none;
        }
        r.word_start = true;
        return 1;
    }
    if (r.q == q::dbl) {
        if (c == '"') r.q = q::none;
        return 1;
    }
    // Outside quotes.
    if (c == '\'') r.q = q::single;
    else if (c == '"') r.q = q::dbl;
    else if (c == '#' && r.word_start) r.q = q::comment;
    else if (c == '(' && r.nest > 0) r.parens++;
    else if (c == ')' && r.nest > 0 && r.parens > 0) r.parens--;
    else if (c == ')' && r.nest > 0) {
        r.q = r.saved[--r.nest];
        r.parens = r.depth[r.nest];
    } else if (c == '<' && next == '<') {
        const bool tabs = pgm[i + 2] == '-';
        note_heredoc(r, pgm + i + 2 + (tabs ? 1 : 0), tabs);
        r.word_start = true;
        return 2 + (tabs ? 1 : 0);
    } else if (c == '\n' && r.pending_doc) {
        r.q = r.doc_quoted ? q::literal_heredoc : q::heredoc;
        if (closes_heredoc(r, pgm + i + 1)) r.q = q::none, r.pending_doc = false;
    }
    r.word_start = r.q == q::none && std::strchr(" \t\n;&|()", c) != nullptr;
    return 1;
}

} // namespace

char *replace_program_parms(const char *pgm) {
    char *buf = static_cast<char *>(std::calloc(CMDLEN, 1));
    if (buf == nullptr) return nullptr;
    output out{buf};
    reader r;
    bool fits = true;
    for (std::size_t i = 0; fits && pgm[i] != '\0';) {
        if (pgm[i] == '%' && (pgm[i + 1] == 'o' || pgm[i + 1] == 'p')) {
            if (pgm[i + 1] == 'o') {
                fits = put_value(out, codec::ofname, r);
            } else {
                char cwd[CMDLEN];
                if (getcwd(cwd, sizeof cwd) != nullptr) {
                    fits = put_value(out, cwd, r);
                } else {
                    // A directory too deep for the buffer cannot be expanded; one
                    // that cannot be determined at all is the current one, ".".
                    fits = errno != ERANGE && out.put('.');
                    r.escaped = false;
                }
            }
            r.word_start = false;
            i += 2;
            continue;
        }
        // "%%" stays a pair, so that "%%o" is no placeholder.
        if (pgm[i] == '%' && pgm[i + 1] == '%') {
            fits = out.put(pgm + i, 2);
            r.word_start = false;
            i += 2;
            continue;
        }
        std::size_t n = follow(r, pgm, i);
        fits = out.put(pgm + i, n);
        i += n;
    }
    if (!fits) {
        std::free(buf);
        return nullptr;
    }
    return buf;
}

} // namespace driver
