// Proves that expanding any command template with any output name never
// passes the 2047 characters of the result, and refuses rather than cuts.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "codec/codec.h"
#include "driver/extract.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    // Input: the output name, a NUL, then the template (both cut at a NUL).
    std::string in(reinterpret_cast<const char *>(data), size);
    std::size_t nul = in.find('\0');
    std::string name = in.substr(0, nul).substr(0, sizeof codec::ofname - 1);
    std::string tpl;
    if (nul != std::string::npos) tpl.assign(in.c_str() + nul + 1);
    std::strcpy(codec::ofname, name.c_str());

    char *out = driver::replace_program_parms(tpl.c_str());
    if (out == nullptr) {
        // Refused: only when the template plus its expansions cannot fit.
        if (tpl.size() <= 2047 && tpl.find('%') == std::string::npos) std::abort();
        return 0;
    }
    std::size_t n = std::strlen(out);
    if (n > 2047) std::abort();
    if (tpl.find('%') == std::string::npos && tpl != out) std::abort();
    std::free(out);
    return 0;
}
