// Proves that splitting any string at any separator set stays inside its
// input, yields a well-formed list, and releases everything it allocated.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "support/ss.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    // Input: the separator set, a NUL, then the string (both cut at a NUL).
    std::string in(reinterpret_cast<const char *>(data), size);
    std::size_t nul = in.find('\0');
    std::string given = in.substr(0, nul);
    const char *sep = given.empty() ? "," : given.c_str();
    std::string str;
    if (nul != std::string::npos) str.assign(in.c_str() + nul + 1);

    ss::APLIST ap = ss::ap_strsplit(str.c_str(), sep);
    if (ap == nullptr) std::abort();
    std::size_t fields = 0, chars = 0, seps = 0;
    for (char c : str) seps += std::strchr(sep, c) != nullptr;
    for (; ap[fields] != nullptr; fields++) chars += std::strlen(static_cast<char *>(ap[fields]));
    if (static_cast<int>(fields) != ss::ap_len(ap)) std::abort();
    if (fields > seps + 1 || chars > str.size()) std::abort();
    if (str.empty() && fields != 0) std::abort();
    ss::ap_destroy(ap);
    return 0;
}
