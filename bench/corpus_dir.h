// The benchmark corpus's directory, the same for every benchmark and for
// make_corpus.sh and archive_run.py: $KELPA_CORPUS, else bench/corpus under
// the directory the benchmark runs in (the source tree's root).
#pragma once

#include <cstdlib>
#include <string>

inline std::string corpus_dir() {
    const char *dir = std::getenv("KELPA_CORPUS");
    return dir != nullptr && *dir != '\0' ? dir : "bench/corpus";
}
