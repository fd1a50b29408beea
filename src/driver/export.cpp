// Handing the feature list to the run command as environment variables.
#include <cstdlib>
#include <cstring>

#include "driver/driver.h"
#include "driver/extract.h"
#include "support/ss.h"

namespace driver {

void export_features() {
    ss::APLIST list = ss::ap_strsplit(features, ",");
    if (list == nullptr) return;
    for (int i = 0; list[i] != nullptr; i++) {
        char *item = static_cast<char *>(list[i]);
        // An empty field (",,") names no variable.
        if (strtrim(item) == 0) continue;
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
