// Proves that appending to and looking up the feature list never passes its
// 1023 characters or the 255-character result, whatever the entries hold.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "driver/driver.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    // Input: entries separated by '\n'; the last line is the key to look up.
    std::string in(reinterpret_cast<const char *>(data), size);
    std::memset(driver::features, 0, driver::BUFLEN);
    std::size_t start = 0;
    std::string key;
    for (;;) {
        std::size_t nl = in.find('\n', start);
        std::string line = in.substr(start, nl == std::string::npos ? std::string::npos : nl - start);
        line = line.substr(0, std::strlen(line.c_str()));
        if (nl == std::string::npos) {
            key = line;
            break;
        }
        std::string before = driver::features;
        if (driver::add_feature(line.c_str()) != 0 && before != driver::features) std::abort();
        if (std::strlen(driver::features) > driver::BUFLEN - 1) std::abort();
        start = nl + 1;
    }
    const char *hit = driver::get_feature(key.c_str());
    const char *where = std::strstr(driver::features, key.c_str());
    if ((hit == nullptr) != (where == nullptr)) std::abort();
    if (hit != nullptr) {
        std::size_t n = std::strlen(hit);
        if (n > driver::FEATLEN - 1) std::abort();
        if (std::strncmp(hit, where, n) != 0) std::abort(); // a prefix of the entry where the key occurs
    }
    return 0;
}
