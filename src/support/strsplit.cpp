// Splitting a string at separator characters into a list of new strings, with
// double quotes and backslash escapes protecting separators.
#include <cstdlib>
#include <cstring>

#include "support/ss.h"

namespace ss {

namespace {

int free_item(void *item) {
    std::free(item);
    return 0;
}

// Adds [begin, end) as a new string; a token that saw an escape loses every
// backslash, escaped ones included.
void add_token(APLIST *list, const char *begin, const char *end, int backquote) {
    std::size_t n = static_cast<std::size_t>(end - begin);
    char *s = static_cast<char *>(std::malloc(n + 1));
    if (s == nullptr) return;
    std::memcpy(s, begin, n);
    s[n] = '\0';
    if (backquote) strdel(s, '\\');
    if (ap_add_item(list, s) != 0) std::free(s);
}

} // namespace

APLIST ap_strsplit(const char *str, const char *toksep) {
    APLIST list = ap_create(5, free_item);
    if (list == nullptr || str == nullptr || *str == '\0') return list;
    char *copy = strdup(str);
    if (copy == nullptr) return list;

    char *tok = copy;
    char *p = copy;
    int backquote = 0;
    int quote = 0;
    while (*p != '\0') {
        if (*p == '\\') {
            if (p[1] == '\0') break;
            p += 2;
            backquote = 1;
            continue;
        }
        if (*p == '"' && !backquote) {
            if (!quote) {
                // Whatever the token held before the quote is dropped.
                tok = p + 1;
                quote = 1;
                p++;
                continue;
            }
            // Closing: the quotes go from here on, and the character that
            // followed this one may only end the token, never escape or quote.
            strdel(p, '"');
            quote = 0;
            if (*p == '\0') break;
            if (std::strchr(toksep, *p) != nullptr) {
                add_token(&list, tok, p, backquote);
                tok = p + 1;
                backquote = 0;
            }
            p++;
            continue;
        }
        if (!quote && std::strchr(toksep, *p) != nullptr) {
            add_token(&list, tok, p, backquote);
            tok = p + 1;
            backquote = 0;
        }
        p++;
    }
    if (*tok != '\0') add_token(&list, tok, tok + std::strlen(tok), backquote);
    std::free(copy);
    return list;
}

} // namespace ss
