// Handing the feature list to the run command as environment variables.
#include <cstdlib>
#include <cstring>

#include "driver/driver.h"
#include "driver/extract.h"
#include "support/ss.h"

namespace driver {

namespace {

// The length of the variable's name in a trimmed entry.
std::size_t key_length(const char *item) { return std::strcspn(item, "="); }

// True when a later field of list names the same variable as item.
bool named_again(const ss::APLIST list, int i) {
    const char *item = static_cast<const char *>(list[i]);
    const std::size_t k = key_length(item);
    for (int j = i + 1; list[j] != nullptr; j++) {
        const char *later = static_cast<const char *>(list[j]);
        if (key_length(later) == k && std::strncmp(later, item, k) == 0) return true;
    }
    return false;
}

} // namespace

void export_features() {
    ss::APLIST list = ss::ap_strsplit(features, ",");
    if (list == nullptr) return;
    for (int i = 0; list[i] != nullptr; i++) strtrim(static_cast<char *>(list[i]));
    for (int i = 0; list[i] != nullptr; i++) {
        char *item = static_cast<char *>(list[i]);
        // An empty field (",,") names no variable.
        if (*item == '\0') continue;
        // The later value wins; putting this one first would leave its
        // string unreachable once the later one replaced it.
        if (named_again(list, i)) continue;
        std::size_t n = std::strlen(item);
        // The environment keeps pointing at these strings: never freed.
        char *entry = static_cast<char *>(std::malloc(n + 2));
        if (entry == nullptr) continue;
        std::memcpy(entry, item, n + 1);
        if (std::strchr(item, '=') == nullptr) std::strcat(entry, "=");
        putenv(entry);
    }
    ss::ap_destroy(list);
}

} // namespace driver
