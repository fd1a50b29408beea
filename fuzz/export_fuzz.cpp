// Proves that exporting any feature list hands the environment only fresh,
// terminated NAME=VALUE strings with no trailing blanks, at most one per
// comma-separated field. putenv is replaced here so that each string can be
// checked and released instead of piling up in the fuzzer's environment.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "driver/extract.h"

namespace {
std::vector<char *> exported;
}

extern "C" int putenv(char *entry) {
    exported.push_back(entry);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    std::string list(reinterpret_cast<const char *>(data), size);
    list = list.substr(0, std::strlen(list.c_str())).substr(0, driver::BUFLEN - 1);
    std::memcpy(driver::features, list.c_str(), list.size() + 1);

    exported.clear();
    driver::export_features();

    if (std::strcmp(driver::features, list.c_str()) != 0) std::abort(); // the list itself is left alone
    std::size_t fields = 1;
    for (char c : list) fields += c == ',';
    if (exported.size() > fields) std::abort();
    for (char *e : exported) {
        if (e >= driver::features && e < driver::features + driver::BUFLEN) std::abort();
        std::size_t n = std::strlen(e);
        if (n == 0 || std::strchr(e, '=') == nullptr) std::abort();
        if (std::strchr(" \t\r\n", e[n - 1]) != nullptr) std::abort();
        std::free(e); // heap copy, or ASan says otherwise
    }
    return 0;
}
