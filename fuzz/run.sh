#!/bin/sh
# Builds every fuzz target with libFuzzer, ASan and UBSan (clang) and runs each
# for SECONDS (default 60), one after the other. New inputs go to
# fuzz/findings/<target>/ (not checked in); with MERGE=1 the checked-in corpus
# is then minimised with them: fuzz/corpus/<target>/ keeps only inputs that
# add coverage. Usage: fuzz/run.sh [SECONDS] [TARGET...]
set -eu
cd "$(dirname "$0")/.."
seconds=${1:-60}
[ $# -gt 0 ] && shift
build=build-fuzz
# RelWithDebInfo without its NDEBUG, so that the codec's assertions run too.
CC=clang CXX=clang++ cmake -S . -B "$build" -DKELPA_FUZZ=ON -DKELPA_SANITIZE=ON \
    -DKELPA_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g" >/dev/null
targets=${*:-$(ls fuzz/*_fuzz.cpp | sed 's|fuzz/||; s|_fuzz.cpp||')}
for t in $targets; do
    cmake --build "$build" -j "$(nproc)" --target "${t}_fuzz" >/dev/null
    mkdir -p "fuzz/findings/$t"
    dict=""
    [ -f "fuzz/$t.dict" ] && dict="-dict=fuzz/$t.dict"
    echo "== $t: ${seconds}s"
    "$build/${t}_fuzz" -max_total_time="$seconds" -print_final_stats=1 $dict \
        -artifact_prefix="fuzz/findings/$t/" "fuzz/findings/$t" "fuzz/corpus/$t" 2>&1 |
        grep -E 'stat::number_of_executed_units|ERROR|SUMMARY|Test unit written' || true
    if [ "${MERGE:-0}" = 1 ]; then
        tmp=$(mktemp -d)
        # A merge that fails (say, on a bad dictionary) must not empty the corpus.
        if "$build/${t}_fuzz" -merge=1 $dict "$tmp" "fuzz/corpus/$t" "fuzz/findings/$t" >/dev/null 2>&1 &&
            [ -n "$(ls "$tmp")" ]; then
            rm -f "fuzz/corpus/$t"/*
            cp "$tmp"/* "fuzz/corpus/$t/"
            echo "   corpus: $(ls "fuzz/corpus/$t" | wc -l) inputs"
        else
            echo "   merge failed: corpus left as it was"
        fi
        rm -rf "$tmp"
    fi
done
