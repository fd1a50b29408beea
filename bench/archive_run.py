#!/usr/bin/env python3
"""CPU seconds (user+sys) and peak resident memory of a checked archive run with
-x into /dev/null (the payload decoded twice: once to check it, once to write
it), against zlib inflating the same member once (member_inflate_bench) in the
same run; medians of RUNS runs (default 5). The target is a ratio of at most
1.0. The run's 2-second pause is sleep, not CPU, so it does not count.
With minisign on PATH, the archive is also built signed (-K, a key made with
minisign -G -W): the -k column is the same run checked against the public key
first (target: at most 1.3 times the run without), and the build columns weigh
the signed build against the unsigned one (target: at most 1.1).
With PTY=1 the run's standard error is a pseudo-terminal, so that payloads of
8 MiB and more show the status line: compare with a run without it for its cost.
Usage: [PTY=1] bench/archive_run.py BUILD_DIR [FILE...]; without files, those
of the benchmark corpus ($KELPA_CORPUS, else bench/corpus: see make_corpus.sh)."""
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading


def cpu_of(argv, cwd=None, out=None):
    """CPU seconds of one run of the program alone, output to /dev/null (or
    the file out), from wait4 (finer than time's hundredths, and without
    time's own CPU, which would weigh on the small files)."""
    with open(out or os.devnull, "wb") as null:
        if os.environ.get("PTY") == "1":
            master, slave = os.openpty()
            p = subprocess.Popen(argv, stdout=null, stderr=slave, cwd=cwd)
            os.close(slave)
            threading.Thread(target=drain, args=(master,), daemon=True).start()
        else:
            p = subprocess.Popen(argv, stdout=null, stderr=null, cwd=cwd)
        _, status, ru = os.wait4(p.pid, 0)
    if status != 0:
        sys.exit(f"{argv[0]}: exit status {status}")
    return ru.ru_utime + ru.ru_stime


def drain(fd):
    """Reads the terminal until its last writer is gone, so that the run never
    blocks on a full one."""
    try:
        while os.read(fd, 4096):
            pass
    except OSError:
        pass
    os.close(fd)


def peak_rss_of(argv, work):
    """Peak RSS (KiB) of one run, under /usr/bin/time, which reports the
    program alone (a child forked from this interpreter would count its
    pages too)."""
    rss_file = os.path.join(work, "rss")
    with open(os.devnull, "wb") as null:
        subprocess.run(["/usr/bin/time", "-f", "%M", "-o", rss_file] + argv, stdout=null, stderr=null, check=True)
    with open(rss_file) as r:
        return int(r.read().split()[-1])


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    files = sys.argv[2:]
    if not files:
        corpus = os.environ.get("KELPA_CORPUS") or "bench/corpus"
        files = sorted(os.path.join(corpus, f) for f in os.listdir(corpus)) if os.path.isdir(corpus) else []
        if not files:
            sys.exit(f"no corpus in {corpus}: run bench/make_corpus.sh first or set KELPA_CORPUS")
    build = os.path.abspath(sys.argv[1])
    runs = int(os.environ.get("RUNS", "5"))
    kelpa = os.path.join(build, "kelpa")
    print(f"stub: {os.path.getsize(kelpa)} bytes")
    signed = shutil.which("minisign") is not None
    print(f"{'file':<12} {'MB':>7} {'kelpa s':>9} {'zlib s':>9} {'kelpa/zlib':>11} {'kelpa peak RSS':>15}" +
          (f" {'-k s':>9} {'-k/plain':>9} {'build s':>9} {'-K s':>9} {'-K/plain':>9}" if signed else ""))
    with tempfile.TemporaryDirectory() as work:
        if signed:
            pub, key = os.path.join(work, "b.pub"), os.path.join(work, "b.key")
            subprocess.run(["minisign", "-G", "-W", "-p", pub, "-s", key], stdout=subprocess.DEVNULL, check=True)
        for f in files:
            f = os.path.abspath(f)
            archive = os.path.join(work, "a.run")
            build_argv = [kelpa, "-f", "cat", os.path.basename(f)]
            with open(archive, "wb") as out:
                subprocess.run(build_argv + (["-K", key] if signed else []), cwd=os.path.dirname(f),
                               stdout=out, stderr=subprocess.DEVNULL, check=True)
            os.chmod(archive, 0o755)
            k, z, m, kk, b, bk = [], [], [], [], [], []
            for _ in range(runs):
                k.append(cpu_of([archive, "-x"]))
                m.append(peak_rss_of([archive, "-x"], work))
                z.append(cpu_of([os.path.join(build, "member_inflate_bench"), archive]))
                if signed:
                    kk.append(cpu_of([archive, "-x", "-k", pub]))
                    scratch = os.path.join(work, "b.run")
                    b.append(cpu_of(build_argv, cwd=os.path.dirname(f), out=scratch))
                    bk.append(cpu_of(build_argv + ["-K", key], cwd=os.path.dirname(f), out=scratch))
            km, zm = statistics.median(k), statistics.median(z)
            line = (f"{os.path.basename(f):<12} {os.path.getsize(f) / 1e6:7.1f} {km:9.3f} {zm:9.3f} "
                    f"{km / zm if zm else 0:11.2f} {statistics.median(m):11.0f} KiB")
            if signed:
                kkm, bm, bkm = statistics.median(kk), statistics.median(b), statistics.median(bk)
                line += (f" {kkm:9.3f} {kkm / km if km else 0:9.2f} {bm:9.3f} {bkm:9.3f}"
                         f" {bkm / bm if bm else 0:9.2f}")
            print(line)


if __name__ == "__main__":
    main()
