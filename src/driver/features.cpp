// The feature list in `features`: appending entries, the substring lookup into
// one result buffer (found_feature), and trimming trailing white space.
#include <cstring>

#include "driver/driver.h"

namespace driver {

char found_feature[FEATLEN];

int add_feature(const char *f) {
    std::size_t have = std::strlen(features);
    std::size_t need = have + (have != 0 ? 1 : 0) + std::strlen(f);
    if (need > BUFLEN - 1) return -1;
    if (have != 0) features[have++] = ',';
    std::memcpy(features + have, f, std::strlen(f) + 1);
    return 0;
}

char *get_feature(const char *f) {
    // A plain substring search: "NAME=" also matches inside XNAME=, by design.
    const char *hit = std::strstr(features, f);
    if (hit == nullptr) return nullptr;
    std::strncpy(found_feature, hit, FEATLEN - 1);
    found_feature[FEATLEN - 1] = '\0';
    if (char *comma = std::strchr(found_feature, ','); comma != nullptr) {
        *comma = '\0';
        strtrim(found_feature);
    }
    return found_feature;
}

int strtrim(char *s) {
    std::size_t n = std::strlen(s);
    while (n > 0 && (s[n - 1] == ' ' || s[n - 1] == '\t' || s[n - 1] == '\r' || s[n - 1] == '\n'))
        s[--n] = '\0';
    return static_cast<int>(n);
}

} // namespace driver
