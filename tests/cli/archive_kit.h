// Archives assembled by hand for the end-to-end tests of running them: the
// kelpa binary as stub, the marker, the four strings and a payload.
#pragma once

#include <string>

#include "common/testutil.h"

namespace kit {

// Assembled from pieces so that no test binary carries the marker in a row.
inline std::string marker() { return std::string("kel") + "pa+" + "magik"; }

struct Trailer {
    std::string features;
    std::string comment;
    std::string run;
    std::string extract;
};

inline std::string make_archive(const std::string &path, const Trailer &t, const std::string &payload) {
    std::string bytes = testutil::read_file(testutil::kelpa_bin());
    bytes += marker();
    for (const std::string *s : {&t.features, &t.comment, &t.run, &t.extract}) {
        bytes += *s;
        bytes.push_back('\0');
    }
    bytes += payload;
    testutil::write_file(path, bytes, 0755);
    return path;
}

// What standard error carries before the payload is decoded.
inline std::string comment_lines(const std::string &comment) { return "\n" + comment + "\n\nPlease wait...\n"; }

} // namespace kit
