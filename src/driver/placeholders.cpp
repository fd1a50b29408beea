// Expanding "%o" and "%p" in the extract and run command templates: each value
// quoted so that the shell reads exactly it where the walk of the template is
// certain how the shell reads that place, and refused where it is not.
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
constexpr std::size_t NEST_MAX = 16;  // $( ) nested deeper is not followed
constexpr std::size_t DELIM_MAX = 64; // a here-document delimiter; a longer one is not followed

// Characters the shell takes literally in the places the walk follows. A value
// made of them alone goes in verbatim, so that ordinary commands stay as they
// always were, and it is the only kind of value allowed where the walk is
// not certain.
bool plain_value(const char *s) {
    for (; *s != '\0'; s++) {
        unsigned char c = static_cast<unsigned char>(*s);
        if (c >= 0x80 || (std::isalnum(c) == 0 && std::strchr("_./+-:,=@%", c) == nullptr)) return false;
    }
    return true;
}

bool name_char(char c) { return c == '_' || std::isalnum(static_cast<unsigned char>(c)) != 0; }

// A byte that may begin a multibyte character in some locale's encoding. In
// GBK, GB18030, Big5, Big5-HKSCS and Shift_JIS such a byte followed by '\' or
// '`' is one character, so a backslash or backquote right after it stands for
// nothing; ' is never a trailing byte of any of them.
bool high_byte(char c) { return static_cast<unsigned char>(c) >= 0x80; }

bool has_high_byte(const char *s) {
    for (; *s != '\0'; s++)
        if (high_byte(*s)) return true;
    return false;
}

bool is_placeholder(const char *t) { return t[0] == '%' && (t[1] == 'o' || t[1] == 'p'); }

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
// backslashes, comments, command substitutions ($( ), and backquotes whose
// text needs no first reading) and here-documents, which is where a value's
// characters could mean something. Whatever else could change how the rest is
// read makes it lost: from there on it is certain of nothing.
struct reader {
    enum class quoting { none, single, dbl, heredoc, literal_heredoc, comment };
    quoting q = quoting::none;
    bool lost = false;
    bool word_start = true;     // a '#' here would begin a comment
    bool escaped = false;       // a backslash stands right before the placeholder
    bool after_dollar = false;  // an unescaped '$' stands right before the placeholder
    bool after_name = false;    // "$NAME" stands right before it: a value could extend the name
    bool high_end = false;      // a body line's value just ended in a possible lead byte
    bool in_backquote = false;  // inside `...`
    std::size_t backquote_end = 0;  // where its closing backquote stands in the template
    quoting before_backquote = quoting::none;
    // $( ... ): the context to return to and the parentheses opened inside.
    quoting saved[NEST_MAX];
    unsigned depth[NEST_MAX];
    std::size_t nest = 0;
    unsigned parens = 0;
    // A here-document: opened and waiting for its body on the next line, or
    // being read (q is heredoc or literal_heredoc).
    char delim[DELIM_MAX + 1] = "";
    bool pending_doc = false, doc_quoted = false, doc_tabs = false;
    std::size_t doc_nest = 0;    // the $( ) level of its operator
    std::size_t line_start = 0;  // output offset of the body line being read
    char line_placeholder = 0;   // the first placeholder on that line, or 0
};

using quoting = reader::quoting;

// Whether the walk is certain how the shell reads value where r stands.
bool certain(const reader &r, const char *value) {
    if (r.lost || r.after_dollar) return false;
    const bool dq_like = r.q == quoting::dbl || r.q == quoting::heredoc;
    // Only outside quotes does a backslash take a first character away whole,
    // and only an ASCII one is a character in every locale.
    if (r.escaped && (r.q != quoting::none || static_cast<unsigned char>(value[0]) >= 0x80)) return false;
    // Quotes end a name outside quotes; within them the value would go on with
    // it. A single-byte locale may take a byte beyond ASCII for a letter of a
    // name; within double quotes such a value goes in between quotes of its own.
    if (r.after_name && dq_like && (name_char(value[0]) || (r.q == quoting::heredoc && high_byte(value[0]))))
        return false;
    return true;
}

bool in_body(const reader &r) { return r.q == quoting::heredoc || r.q == quoting::literal_heredoc; }

// Appends value so that the shell reads exactly it where r stands, where the
// walk is certain of that. PE_UNQUOTABLE when it is not, or when the value
// holds what its place cannot carry.
Perr put_value(output &out, const char *value, reader &r) {
    // An empty value would leave the backslash or the '$' to the template's
    // next character, and the walk would no longer know what the shell reads.
    if (*value == '\0' && !r.lost && (r.escaped || r.after_dollar || r.after_name)) return PE_UNQUOTABLE;
    r.high_end = false;
    const bool sure = certain(r, value);
    const bool escaped = r.escaped;
    r.escaped = false;
    if (!sure) {
        if (!plain_value(value)) return PE_UNQUOTABLE;
        // A plain value goes on a name or a '$' before it: so may the next one.
        r.after_dollar = r.after_dollar || r.after_name;
        return out.put(value, std::strlen(value)) ? PE_NONE : PE_TOO_LONG;
    }
    // Outside quotes a value that would go on with a "$NAME" before it is
    // quoted even when plain: the quote ends the name.
    const bool ends_name = r.after_name && r.q == quoting::none && name_char(value[0]);
    r.after_dollar = r.after_name = false;
    // Nothing reads a comment, but a newline would end it.
    if (r.q == quoting::comment) {
        for (const char *s = value; *s != '\0'; s++)
            if (!out.put(*s == '\n' ? ' ' : *s)) return PE_TOO_LONG;
        return PE_NONE;
    }
    if (in_body(r)) {
        // A body line is read as it stands: a newline would begin another
        // line, maybe the delimiter's, and <<- strips a tab that begins one.
        if (std::strchr(value, '\n') != nullptr) return PE_UNQUOTABLE;
        if (r.doc_tabs && value[0] == '\t') {
            std::size_t k = r.line_start;
            while (k < out.len && out.buf[k] == '\t') k++;
            if (k == out.len) return PE_UNQUOTABLE;
        }
    }
    if ((plain_value(value) && !ends_name) || r.q == quoting::literal_heredoc)
        return out.put(value, std::strlen(value)) ? PE_NONE : PE_TOO_LONG;
    char quoted[2 * CMDLEN];
    bool added[2 * CMDLEN]; // which backslashes of quoted are added ones
    std::size_t n = 0;
    auto add = [&](char c, bool escape = false) {
        if (n + 1 >= sizeof quoted) return false;
        added[n] = escape;
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
    // Within double quotes a value that a multibyte locale could read across
    // its backslashes goes in as a single-quoted word instead: the double
    // quotes close before it and open again after it. Ordinary values keep
    // their backslashes.
    const bool between = r.q == quoting::dbl && has_high_byte(s);
    const bool word = (r.q == quoting::none || between) && *s != '\0';
    if (between) fits = fits && add('"');
    if (word) fits = fits && add('\'');
    for (; fits && *s != '\0'; s++) {
        if ((r.q == quoting::dbl && !between) || r.q == quoting::heredoc) {
            if (std::strchr(r.q == quoting::dbl ? "$`\"\\" : "$`\\", *s) != nullptr) fits = add('\\', true);
            fits = fits && add(*s);
        } else if (*s == '\'') {
            // Close the quotes, an escaped quote, open them again.
            for (char c : {'\'', '\\', '\'', '\''}) fits = fits && add(c);
        } else {
            fits = add(*s);
        }
    }
    if (word) fits = fits && add('\'');
    if (between) fits = fits && add('"');
    if (!fits) return PE_TOO_LONG;
    // Inside backquotes the shell first takes one level of backslashes off
    // (within double quotes, off a '"' as well). An added backslash right
    // after a possible lead byte could be read as part of its character:
    // such a value is refused.
    const bool dq_backquote = r.in_backquote && r.before_backquote == quoting::dbl;
    auto after_high = [&] { return out.len > 0 && high_byte(out.buf[out.len - 1]); };
    for (std::size_t i = 0; i < n; i++) {
        const char c = quoted[i];
        if (r.in_backquote && (c == '\\' || c == '`' || (c == '"' && dq_backquote))) {
            if (after_high()) return PE_UNQUOTABLE;
            if (!out.put('\\')) return PE_TOO_LONG;
        }
        if (added[i] && after_high()) return PE_UNQUOTABLE;
        if (!out.put(c)) return PE_TOO_LONG;
    }
    // Nothing closes a value in a body line: a '\' or '`' of the template
    // right after it could be taken into its last character.
    r.high_end = r.q == quoting::heredoc && n > 0 && high_byte(quoted[n - 1]);
    return PE_NONE;
}

// Reads a here-document operator's delimiter word at t (just past "<<" or
// "<<-"), removing its quotes, and notes it for the body that begins on the
// next line. A word the walk cannot be sure of leaves it lost.
void note_heredoc(reader &r, const char *t, bool tabs) {
    while (*t == ' ' || *t == '\t') t++;
    std::size_t n = 0;
    bool quoted = false;
    auto take = [&](char c) {
        if (!name_char(c) && c != '.' && c != '-') return false;
        if (n == DELIM_MAX) return false;
        r.delim[n++] = c;
        return true;
    };
    for (; *t != '\0' && std::strchr(" \t\n;&|<>()", *t) == nullptr; t++) {
        bool ok = true;
        if (*t == '\'' || *t == '"') {
            const char close = *t;
            quoted = true;
            for (t++; ok && *t != close; t++) ok = *t != '\0' && *t != '\\' && take(*t);
            ok = ok && *t == close;
        } else if (*t == '\\') {
            quoted = true;
            t++;
            ok = take(*t);
        } else {
            ok = take(*t);
        }
        if (!ok) {
            r.lost = true;
            return;
        }
    }
    r.delim[n] = '\0';
    if (n == 0) {
        r.lost = true;
        return;
    }
    r.pending_doc = true;
    r.doc_quoted = quoted;
    r.doc_tabs = tabs;
    r.doc_nest = r.nest;
}

// The body line read so far (out from r.line_start) ends: it closes the
// here-document when it is the delimiter (under <<-, after its leading tabs).
// False when a placeholder would make it the delimiter, or when the shells
// are known to differ on it: a line that only begins with the delimiter
// inside $( ).
bool end_body_line(reader &r, const output &out) {
    std::size_t k = r.line_start;
    if (r.doc_tabs)
        while (k < out.len && out.buf[k] == '\t') k++;
    const std::size_t n = std::strlen(r.delim);
    const bool begins = out.len - k >= n && std::memcmp(out.buf + k, r.delim, n) == 0;
    const bool is_delim = begins && out.len - k == n;
    if ((is_delim || (begins && r.doc_nest > 0)) && r.line_placeholder != 0) return false;
    if (is_delim) {
        r.q = quoting::none;
        r.pending_doc = false;
        r.word_start = true;
    } else if (begins && r.doc_nest > 0) {
        r.lost = true;
    }
    r.line_start = out.len + 1;
    r.line_placeholder = 0;
    return true;
}

// The text of `...` at t (just past the opening backquote) is followed only
// when the shell's first reading leaves it as it is (no backslash but \"
// within double quotes) and it holds nothing of what that reading changes
// the parse of: comments, $( ), here-documents, double quotes within double
// quotes. Its length up to the closing backquote, which ends it whatever
// quotes stand open within; 0 when it holds any of these or has no end.
std::size_t simple_backquote(const char *t, bool in_dbl) {
    const char *from = t;
    for (; *t != '`'; t++) {
        if (*t == '\0' || *t == '#' || (*t == '"' && in_dbl)) return 0;
        if ((*t == '$' && t[1] == '(') || (*t == '<' && t[1] == '<')) return 0;
        if (*t == '\\') {
            if (!in_dbl || t[1] != '"') return 0;
            t++;
        }
    }
    return static_cast<std::size_t>(t - from) + 1;
}

// Length of "${NAME}" (or "${#NAME}", or a special parameter) at t, whose
// end is certain; 0 for any other ${ }, whose words the shells read in ways
// of their own.
std::size_t simple_brace(const char *t) {
    std::size_t k = 2;
    if (t[k] == '#' && t[k + 1] != '}') k++;
    if (std::isalpha(static_cast<unsigned char>(t[k])) != 0 || t[k] == '_') {
        while (name_char(t[k])) k++;
    } else if (t[k] != '\0' && std::strchr("@*#?$!-0123456789", t[k]) != nullptr) {
        k++;
    } else {
        return 0;
    }
    return t[k] == '}' ? k + 1 : 0;
}

// Follows a '$' at t, outside single quotes. Returns how many characters it
// takes.
std::size_t follow_dollar(reader &r, const char *t) {
    const char next = t[1];
    if (next == '(') {
        // $(( is arithmetic or a subshell, as each shell decides.
        if (t[2] == '(' || r.in_backquote || in_body(r) || r.pending_doc || r.nest == NEST_MAX) {
            r.lost = true;
            return 1;
        }
        r.saved[r.nest] = r.q;
        r.depth[r.nest++] = r.parens;
        r.q = quoting::none;
        r.parens = 0;
        r.word_start = true;
        return 2;
    }
    if (next == '{') {
        std::size_t n = simple_brace(t);
        if (n == 0) r.lost = true;
        return n == 0 ? 1 : n;
    }
    // $'...' and $"..." are quotes of their own to some shells, $[ ] is
    // arithmetic to some.
    if (((next == '\'' || next == '"') && r.q == quoting::none) || next == '[') {
        r.lost = true;
        return 1;
    }
    // A special parameter is whole in one character, but some shells find the
    // end of a quoted "$$(" or "$${" as if a substitution began at the second '$'.
    if (next == '$' && (t[2] == '(' || t[2] == '{')) {
        r.lost = true;
        return 1;
    }
    if (next != '\0' && std::strchr("@*#?$!-0123456789", next) != nullptr) return 2;
    if (std::isalpha(static_cast<unsigned char>(next)) != 0 || next == '_') {
        std::size_t n = 1;
        while (name_char(t[n])) n++;
        if (is_placeholder(t + n)) r.after_name = true;
        return n;
    }
    if (is_placeholder(t + 1)) r.after_dollar = true;
    return 1;
}

// Follows the template's own character at pgm[i], which is copied unchanged.
// Returns how many characters it take, or 0 when a body line would end as the
// delimiter by a placeholder's value (the line's placeholder is refused).
std::size_t follow(reader &r, const char *pgm, std::size_t i, const output &out) {
    const char c = pgm[i], next = pgm[i + 1];
    if (r.lost) return 1;
    if (r.in_backquote && i == r.backquote_end) {
        // Quotes opened within must end within. The word goes on after it.
        if (r.q != quoting::none) r.lost = true;
        r.in_backquote = false;
        r.q = r.before_backquote;
        r.word_start = false;
        return 1;
    }
    switch (r.q) {
    case quoting::single:
        if (c == '\'') r.q = quoting::none;
        return 1;
    case quoting::comment:
        if (c != '\n') return 1;
        r.q = quoting::none;
        break;
    case quoting::literal_heredoc:
        if (c == '\n' && !end_body_line(r, out)) return 0;
        return 1;
    case quoting::heredoc:
        if (c == '\n') return end_body_line(r, out) ? 1 : 0;
        if (c == '`') r.lost = true;
        if (c == '$') return follow_dollar(r, pgm + i);
        if (c == '\\') {
            // A backslash-newline joins body lines, which the shells do not
            // check for the delimiter alike.
            if (next == '\n') r.lost = true;
            if (is_placeholder(pgm + i + 1)) r.escaped = true;
            else if (next != '\0') return 2;
        }
        return 1;
    default: break;
    }
    // Backquotes within double quotes: the first reading turns \" into ".
    if (c == '\\' && next == '"' && r.in_backquote && r.before_backquote == quoting::dbl) {
        r.q = r.q == quoting::dbl ? quoting::none : quoting::dbl;
        r.word_start = false;
        return 2;
    }
    if (c == '\\' && next != '\0') {
        // Before a placeholder the backslash takes the value's first character.
        if (is_placeholder(pgm + i + 1)) {
            r.escaped = true;
            return 1;
        }
        // A backslash-newline is removed: the word goes on as if it were not there.
        if (next != '\n') r.word_start = false;
        return 2;
    }
    if (c == '$') {
        // Only a "$(" that opens leaves a word start behind.
        r.word_start = false;
        return follow_dollar(r, pgm + i);
    }
    if (c == '`') {
        const std::size_t n = r.pending_doc ? 0 : simple_backquote(pgm + i + 1, r.q == quoting::dbl);
        if (n == 0) {
            r.lost = true;
        } else {
            r.in_backquote = true;
            r.backquote_end = i + n;
            r.before_backquote = r.q;
            r.q = quoting::none;
            r.word_start = true;
        }
        return 1;
    }
    if (r.q == quoting::dbl) {
        if (c == '"') r.q = quoting::none;
        return 1;
    }
    // Outside quotes.
    const bool counted = r.nest > 0 && !r.in_backquote;
    if (c == '\'') {
        r.q = quoting::single;
    } else if (c == '"') {
        r.q = quoting::dbl;
    } else if (c == '#' && r.word_start) {
        r.q = quoting::comment;
    } else if ((c == '(' && next == '(') || ((c == '<' || c == '>') && next == '(')) {
        // (( is arithmetic to some shells, two subshells to others; <( ) and
        // >( ) are a command to some, a syntax error to others.
        r.lost = true;
    } else if (c == '(' && counted) {
        r.parens++;
    } else if (c == ')' && counted && r.parens > 0) {
        r.parens--;
    } else if (c == ')' && counted) {
        if (r.pending_doc && r.doc_nest == r.nest) r.lost = true;
        r.q = r.saved[--r.nest];
        r.parens = r.depth[r.nest];
        // The word the substitution stands in goes on: a '#' now is no comment.
        r.word_start = false;
        return 1;
    } else if (c == '<' && next == '<') {
        // A second here-document on the line, or <<<, is not followed.
        const bool tabs = pgm[i + 2] == '-';
        if (r.pending_doc || pgm[i + 2] == '<') r.lost = true;
        else note_heredoc(r, pgm + i + 2 + (tabs ? 1 : 0), tabs);
        r.word_start = true;
        return 2 + (tabs ? 1 : 0);
    } else if (c == '\n' && r.pending_doc) {
        // The body begins on the next line, read at the level the operator stood at.
        if (r.nest != r.doc_nest) r.lost = true;
        r.q = r.doc_quoted ? quoting::literal_heredoc : quoting::heredoc;
        r.line_start = out.len + 1;
        r.line_placeholder = 0;
        return 1;
    } else if (r.word_start && c == '[' && next == '[') {
        // [[ ]] reads its operators in a way of its own, to the shells that have it.
        r.lost = true;
    } else if (r.word_start && counted && std::strncmp(pgm + i, "case", 4) == 0 &&
               (pgm[i + 4] == '\0' || std::strchr(" \t\n;&|()<>", pgm[i + 4]) != nullptr)) {
        // A case pattern's ')' would be taken for the end of the $( ).
        r.lost = true;
    }
    r.word_start = r.q == quoting::none && std::strchr(" \t\n;&|()<>", c) != nullptr;
    return 1;
}

// The walk of pgm with o and p as the values of "%o" and "%p" (p null: the
// current directory, or "." when it cannot be determined). With probe set,
// it stops at the first placeholder where some value would be refused and
// reports it through which, as PE_UNQUOTABLE.
Perr expand(const char *pgm, output &out, const char *o, const char *p, bool probe, char *which) {
    reader r;
    for (std::size_t i = 0; pgm[i] != '\0';) {
        if (is_placeholder(pgm + i)) {
            const char letter = pgm[i + 1];
            *which = letter;
            const char *value = letter == 'o' ? o : p;
            char cwd[CMDLEN];
            if (value == nullptr) {
                if (getcwd(cwd, sizeof cwd) == nullptr) {
                    // A directory too deep for the buffer cannot be expanded;
                    // one that cannot be determined at all is the current one.
                    if (errno == ERANGE) return PE_TOO_LONG;
                    std::strcpy(cwd, ".");
                }
                value = cwd;
            }
            // The probe's values begin as a real one may (a name character or
            // a byte beyond ASCII; a directory with '/') and hold a newline.
            if (probe && (in_body(r) || !certain(r, letter == 'o' ? "a\nb" : "/a\nb") ||
                          (letter == 'o' && !certain(r, "\x80"))))
                return PE_UNQUOTABLE;
            const bool empty_word = *value == '\0';
            Perr e = put_value(out, value, r);
            if (e != PE_NONE) return e;
            if (in_body(r) && r.line_placeholder == 0) r.line_placeholder = letter;
            if (!empty_word) r.word_start = false;
            i += 2;
            continue;
        }
        r.escaped = false;
        r.after_dollar = r.after_name = false;
        if (r.high_end && (pgm[i] == '\\' || pgm[i] == '`')) return PE_UNQUOTABLE;
        r.high_end = false;
        // "%%" stays a pair, so that "%%o" is no placeholder.
        if (pgm[i] == '%' && pgm[i + 1] == '%') {
            if (!out.put(pgm + i, 2)) return PE_TOO_LONG;
            r.word_start = false;
            i += 2;
            continue;
        }
        std::size_t n = follow(r, pgm, i, out);
        if (n == 0) {
            *which = r.line_placeholder;
            return PE_ENDS_DOC;
        }
        if (!out.put(pgm + i, n)) return PE_TOO_LONG;
        i += n;
    }
    // The last body line ends with the template.
    if (!r.lost && in_body(r) && !end_body_line(r, out)) {
        *which = r.line_placeholder;
        return PE_ENDS_DOC;
    }
    return PE_NONE;
}

} // namespace

char *replace_program_parms(const char *pgm, Perr *why, char *which) {
    char letter = 0;
    Perr e = PE_TOO_LONG;
    char *buf = static_cast<char *>(std::calloc(CMDLEN, 1));
    if (buf != nullptr) {
        output out{buf};
        e = expand(pgm, out, codec::ofname, nullptr, false, &letter);
    }
    if (why != nullptr) *why = e;
    if (which != nullptr) *which = e == PE_UNQUOTABLE || e == PE_ENDS_DOC ? letter : 0;
    if (e != PE_NONE) {
        std::free(buf);
        return nullptr;
    }
    return buf;
}

char uncertain_placeholder(const char *pgm) {
    char buf[CMDLEN];
    output out{buf};
    char letter = 0;
    // Any plain value stands in for both: only the places matter. Then one
    // whose possible lead bytes stand before each character that may need a
    // backslash, which the places that cannot close quotes refuse; then those
    // characters alone, whose backslash a lead byte of the template's own
    // could take.
    for (const char *v : {"x", "\xff`\xff\\\xff\"\xff$x", "`\\\"$x"}) {
        out = output{buf};
        if (expand(pgm, out, v, v, true, &letter) == PE_UNQUOTABLE) return letter;
    }
    return 0;
}

} // namespace driver
