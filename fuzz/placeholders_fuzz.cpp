// Proves that expanding any command template with any output name never
// passes the 2047 characters of the result, refuses rather than cuts, names
// the placeholder it refuses, and refuses one only where the build warns.
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

    driver::Perr why = driver::PE_NONE;
    char which = 0;
    char *out = driver::replace_program_parms(tpl.c_str(), &why, &which);
    if (out == nullptr) {
        if (why == driver::PE_NONE) std::abort();
        // Refused: only when the template plus its expansions cannot fit, or
        // for a placeholder that it holds and names.
        if (tpl.size() <= 2047 && tpl.find('%') == std::string::npos) std::abort();
        if (why == driver::PE_TOO_LONG) {
            if (which != 0) std::abort();
            return 0;
        }
        if ((which != 'o' && which != 'p') || tpl.find(std::string("%") + which) == std::string::npos) std::abort();
        // A template the build does not warn about refuses no value but an
        // empty name (which cannot stand after a backslash or a '$').
        if (tpl.size() < 1024 && !name.empty() && driver::uncertain_placeholder(tpl.c_str()) == 0) std::abort();
        return 0;
    }
    if (why != driver::PE_NONE) std::abort();
    std::size_t n = std::strlen(out);
    if (n > 2047) std::abort();
    if (tpl.find('%') == std::string::npos && tpl != out) std::abort();
    std::free(out);
    return 0;
}
