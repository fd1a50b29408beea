#!/usr/bin/env python3
"""Wall-clock and CPU seconds (user+sys) and peak RSS of a whole build
(kelpa -p STUB FILE > /dev/null) with KELPA_THREADS=1, 2 and 8, against
pigz -9 -p 2 on the same file (other bytes: a reference, not a peer at the
same bytes), medians of RUNS interleaved runs (default 5); and the share of the
input that the joining thread parsed again because a worker's parse did not
agree (from parallel_bench, one run per file and count).

Inputs: the corpus files (text: include.tar, binary, compressed, random; see
make_corpus.sh) cut, or repeated, to 32 MiB, written once next to them in 32m/.
Targets on a quiet 2-core machine: speed-up of 2 threads over 1 at least 1.8
(text, binary) and 1.6 (compressed, random); CPU(2) <= 1.10 CPU(1); CPU(8) <=
1.2 CPU(1); 2 threads at least 1.5 times faster than pigz -p 2.
Usage: [RUNS=n] bench/build_run.py BUILD_DIR"""
import os
import re
import statistics
import subprocess
import sys
import time

FILES = [("text", "include.tar"), ("binary", "binary"), ("compressed", "compressed"), ("random", "random")]
SIZE = 32 << 20


def corpus32(corpus, name):
    """The file's first 32 MiB, a shorter file repeated (its repeats lie far
    beyond the 32 KiB window, so they do not make it more compressible)."""
    out_dir = os.path.join(corpus, "32m")
    os.makedirs(out_dir, exist_ok=True)
    out = os.path.join(out_dir, name)
    if not os.path.exists(out) or os.path.getsize(out) != SIZE:
        with open(os.path.join(corpus, name), "rb") as f:
            data = f.read(SIZE)
        if not data:
            sys.exit(f"{name}: empty corpus file: run bench/make_corpus.sh")
        while len(data) < SIZE:
            data += data[:SIZE - len(data)]
        with open(out, "wb") as f:
            f.write(data)
    return out


def measure(argv, env):
    """Wall seconds and CPU seconds of the program alone (wait4)."""
    with open(os.devnull, "wb") as null:
        start = time.perf_counter()
        p = subprocess.Popen(argv, stdout=null, stderr=subprocess.PIPE, env=env)
        _, status, ru = os.wait4(p.pid, 0)
        wall = time.perf_counter() - start
        err = p.stderr.read()
    if status != 0:
        sys.exit(f"{argv[0]}: exit status {status}: {err.decode(errors='replace')}")
    return wall, ru.ru_utime + ru.ru_stime


def peak_rss_of(argv, env):
    """Peak RSS (KiB) of one run, under /usr/bin/time, which reports the
    program alone (a child forked from this interpreter would count the
    interpreter's own pages in its peak)."""
    with open(os.devnull, "wb") as null:
        r = subprocess.run(["/usr/bin/time", "-f", "%M"] + argv, stdout=null, stderr=subprocess.PIPE, env=env)
    return int(r.stderr.decode().strip().splitlines()[-1])


def reparsed_shares(build, corpus):
    """parallel_bench's "reparsed" counter per (file id, thread count)."""
    bench = os.path.join(build, "parallel_bench")
    if not os.path.exists(bench):
        return {}
    out = subprocess.run([bench, "--benchmark_filter=kelpa_member/.*/(2|8)/", "--benchmark_min_time=0.01"],
                         capture_output=True, text=True, env=dict(os.environ, KELPA_CORPUS=corpus)).stdout
    shares = {}
    for m in re.finditer(r"kelpa_member/(\w+)/(\d+)/real_time.*reparsed=([0-9.]+)([a-zA-Z]?)", out):
        scale = {"": 1, "m": 1e-3, "u": 1e-6, "n": 1e-9}.get(m.group(4), 1)
        shares[(m.group(1), int(m.group(2)))] = float(m.group(3)) * scale
    return shares


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    build = sys.argv[1]
    kelpa = os.path.join(build, "kelpa")
    corpus = os.environ.get("KELPA_CORPUS") or "bench/corpus"
    runs = int(os.environ.get("RUNS", "5"))
    configs = [("1", "1"), ("2", "2"), ("8", "8"), ("pigz", None)]
    print(f"{os.cpu_count()} CPUs, load average {os.getloadavg()[0]:.1f} at the start; medians of {runs} runs")
    print(f"{'file':<11}{'threads':>8}{'wall s':>9}{'CPU s':>8}{'RSS MiB':>9}{'speed-up':>10}{'CPU/CPU1':>10}"
          f"{'vs pigz':>9}{'reparsed':>10}")
    shares = reparsed_shares(build, corpus)
    for ident, name in FILES:
        path = corpus32(corpus, name)
        samples = {c: [] for c, _ in configs}
        commands = {}
        for c, threads in configs:
            if threads is None:
                commands[c] = ["pigz", "-9", "-p", "2", "-c", path], dict(os.environ)
            else:
                commands[c] = [kelpa, "-p", kelpa, path], dict(os.environ, KELPA_THREADS=threads)
        for _ in range(runs):
            for c, _ in configs:
                samples[c].append(measure(*commands[c]))
        med = {c: tuple(statistics.median(s[i] for s in samples[c]) for i in range(2)) + (peak_rss_of(*commands[c]),)
               for c, _ in configs}
        wall1, cpu1 = med["1"][0], med["1"][1]
        pigz_wall = med["pigz"][0]
        for c, threads in configs:
            wall, cpu, rss = med[c]
            line = f"{ident:<11}{c:>8}{wall:>9.3f}{cpu:>8.3f}{rss / 1024:>9.1f}"
            if threads is not None:
                share = shares.get((ident, int(threads)))
                line += f"{wall1 / wall:>10.2f}{cpu / cpu1:>10.2f}{pigz_wall / wall:>9.2f}"
                line += f"{share * 100:>9.4f}%" if share is not None else f"{'-':>10}"
            print(line, flush=True)


if __name__ == "__main__":
    main()
