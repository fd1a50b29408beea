// Deleting every occurrence of one character from a string, in place.
#include "support/ss.h"

namespace ss {

int strdel(char *str, int c1) {
    if (str == nullptr || *str == '\0') return 0;
    char *w = str;
    int deleted = 0;
    for (const char *r = str; *r != '\0'; r++) {
        if (static_cast<signed char>(*r) == c1) {
            deleted++;
        } else {
            *w++ = *r;
        }
    }
    *w = '\0';
    return deleted;
}

} // namespace ss
