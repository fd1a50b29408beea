// Archives assembled by hand and taken apart again, for the tests and the
// benchmarks that need the layout without kelpa's own code to make it:
//
//   the stub       a copy of the kelpa binary
//   the marker     11 bytes
//   features       NUL-terminated
//   comment        NUL-terminated
//   run command    NUL-terminated
//   extract cmd    NUL-terminated
//   the payload    to the end of the file
#pragma once

#include <string>
#include <string_view>

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

// The marker and the four strings, as they follow the stub.
inline std::string trailer_bytes(const Trailer &t) {
    std::string bytes = marker();
    for (const std::string *s : {&t.features, &t.comment, &t.run, &t.extract}) {
        bytes += *s;
        bytes.push_back('\0');
    }
    return bytes;
}

// The stub and the trailer: the payload's offset is its length.
inline std::string preamble(const Trailer &t) { return testutil::read_file(testutil::kelpa_bin()) + trailer_bytes(t); }

inline std::string make_archive(const std::string &path, const Trailer &t, const std::string &payload) {
    testutil::write_file(path, preamble(t) + payload, 0755);
    return path;
}

// Reads the four strings that follow a marker at `at` in a into *t (when
// given); the payload's offset, or npos when a has no marker there or the
// strings are cut short.
inline std::size_t read_trailer(std::string_view a, std::size_t at, Trailer *t = nullptr) {
    if (a.substr(at, marker().size()) != marker()) return std::string_view::npos;
    std::size_t pos = at + marker().size();
    Trailer got;
    for (std::string *s : {&got.features, &got.comment, &got.run, &got.extract}) {
        const std::size_t nul = a.find('\0', pos);
        if (nul == std::string_view::npos) return std::string_view::npos;
        s->assign(a.substr(pos, nul - pos));
        pos = nul + 1;
    }
    if (t != nullptr) *t = got;
    return pos;
}

// What standard error carries before the payload is decoded.
inline std::string comment_lines(const std::string &comment) { return "\n" + comment + "\n\nPlease wait...\n"; }

} // namespace kit
