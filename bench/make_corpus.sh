#!/bin/sh
# Builds the benchmark corpus from files found on any machine of this kind:
# a tar of /usr/include, the largest binary under /usr/lib, an already
# compressed file (a .deb from apt's cache, or a .gz from /usr/share/doc) and
# a few MB of random bytes. Usage: make_corpus.sh [DIR], DIR by default
# $KELPA_CORPUS or bench/corpus (where the benchmarks look; see corpus_dir.h).
set -eu
dir=${1:-${KELPA_CORPUS:-bench/corpus}}
mkdir -p "$dir"
[ -s "$dir/include.tar" ] || tar cf "$dir/include.tar" -C /usr include 2>/dev/null || true
if [ ! -s "$dir/binary" ]; then
    big=$(find /usr/lib -type f -size +1M -exec ls -S {} + 2>/dev/null | head -n 1)
    cp "$big" "$dir/binary"
fi
if [ ! -s "$dir/compressed" ]; then
    deb=$(find /var/cache/apt/archives /usr/share -name '*.deb' -size +1M 2>/dev/null | head -n 1)
    [ -n "$deb" ] || deb=$(find /usr/share/doc /usr/share/man -name '*.gz' -exec ls -S {} + 2>/dev/null | head -n 1)
    cp "$deb" "$dir/compressed"
fi
[ -s "$dir/random" ] || head -c 4194304 /dev/urandom > "$dir/random"
ls -l "$dir"
