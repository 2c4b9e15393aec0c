#!/usr/bin/env python3
"""Extraction benchmark: run by hand as root, never in CI.

  bench/extract/run.py BUILD_DIR [WORK_DIR] [RUNS] [--json FILE]

BUILD_DIR must be configured with -DINSTALLER_BENCH=ON and built (it holds
mkpkg and bench_extract). For each tree of make_trees.py it builds a signed
package with mkpkg and a .tar.gz of the same files, then times, side by side
on a tmpfs and with the same number of runs each (medians):

  floor      SHA-1 of every package byte and inflating of its container
  installer  read, hash, extract into staged files, verify (bench_extract)
  tar        tar -xzf of the same files
  busybox    busybox tar -xzf (when busybox is installed)

and, for the one-file package only, the whole program as a router runs it:

  stream     installer -r ROOT - with the package on standard input: load
             the database, check, extract, verify, record and commit

It needs GNU time (/usr/bin/time) for the peak memory. It prints the median
wall time, its ratio to the floor and the peak resident memory of each;
with --json, also writes them to FILE.
"""
import json
import os
import shutil
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(HERE))


def timed(argv, rss_file, stdin_path=None):
    """Wall time of one run, and its peak resident memory in KiB as GNU time
    reports it (a forked Python would count its own pages before exec)."""
    stdin = open(stdin_path, "rb") if stdin_path else subprocess.DEVNULL
    start = time.perf_counter()
    result = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", rss_file] + argv,
                            stdin=stdin, stdout=subprocess.DEVNULL)
    elapsed = time.perf_counter() - start
    if stdin_path:
        stdin.close()
    if result.returncode != 0:
        raise SystemExit("failed: %s" % " ".join(argv))
    with open(rss_file) as f:
        return elapsed, int(f.read().split()[-1])


def fresh_root(root):
    shutil.rmtree(root, ignore_errors=True)
    for sub in ("flash/var/pdb", "ram", "tmp", "rw/pckg"):
        os.makedirs(os.path.join(root, sub))


def file_count(top):
    return sum(len(names) for _, _, names in os.walk(top))


def main():
    argv = sys.argv[1:]
    json_file = None
    if "--json" in argv:
        at = argv.index("--json")
        json_file = argv[at + 1]
        del argv[at:at + 2]
    if len(argv) < 1:
        raise SystemExit(__doc__)
    build = os.path.abspath(argv[0])
    work = os.path.abspath(argv[1] if len(argv) > 1 else "/tmp/bench-extract")
    runs = int(argv[2]) if len(argv) > 2 else 7
    results = []
    if os.geteuid() != 0:
        raise SystemExit("run as root: the benchmark mounts a tmpfs and changes root")
    os.makedirs(work, exist_ok=True)
    subprocess.check_call([sys.executable, os.path.join(HERE, "make_trees.py"), work])
    mnt = os.path.join(work, "mnt")
    os.makedirs(mnt, exist_ok=True)
    subprocess.check_call(["mount", "-t", "tmpfs", "-o", "size=1500m", "tmpfs", mnt])
    try:
        packages = os.path.join(mnt, "packages")
        os.makedirs(packages)
        root = os.path.join(mnt, "root")
        busybox = shutil.which("busybox")
        print("%-12s %-10s %10s %8s %12s" % ("tree", "case", "median s", "x floor", "peak RSS KiB"))
        for tree in ("one-file", "mixed-10", "mixed-100", "small-10000"):
            source = os.path.join(work, tree)
            npk = os.path.join(packages, tree + ".npk")
            tgz = os.path.join(packages, tree + ".tar.gz")
            subprocess.check_call([os.path.join(build, "mkpkg"), "build", "-o", npk, "--name", "bench",
                                   "--version", "1.0", "--keys", os.path.join(SOURCE, "keys/test.keys"),
                                   source])
            subprocess.check_call(["tar", "-czf", tgz, "-C", source, "."])
            cases = [("floor", [os.path.join(build, "bench_extract"), "floor", npk], None),
                     ("installer", [os.path.join(build, "bench_extract"), "install", npk, root], None),
                     ("tar", ["tar", "-xzf", tgz, "-C", os.path.join(root, "flash")], None)]
            if busybox:
                cases.append(("busybox", [busybox, "tar", "-xzf", tgz, "-C", os.path.join(root, "flash")], None))
            if tree == "one-file":
                cases.append(("stream", [os.path.join(build, "installer"), "-q", "-r", root, "-"], npk))
            times = {name: [] for name, _, _ in cases}
            peaks = {name: 0 for name, _, _ in cases}
            for _ in range(runs):
                for name, argv, stdin in cases:  # interleaved, so drift hits every case alike
                    fresh_root(root)
                    elapsed, peak = timed(argv, os.path.join(mnt, "rss"), stdin)
                    times[name].append(elapsed)
                    peaks[name] = max(peaks[name], peak)
            floor = statistics.median(times["floor"])
            for name, _, _ in cases:
                median = statistics.median(times[name])
                print("%-12s %-10s %10.3f %8.2f %12d" % (tree, name, median, median / floor, peaks[name]))
                results.append({"tree": tree, "case": name, "median_s": median, "ratio_to_floor": median / floor,
                                "peak_kib": peaks[name], "files": file_count(source),
                                "package_bytes": os.path.getsize(npk), "runs": runs})
            print("%-12s package %d bytes, tar.gz %d bytes" % (tree, os.path.getsize(npk), os.path.getsize(tgz)))
            sys.stdout.flush()
        if json_file:
            with open(json_file, "w") as f:
                json.dump(results, f, indent=1)
    finally:
        shutil.rmtree(os.path.join(mnt, "root"), ignore_errors=True)
        subprocess.call(["umount", mnt])


if __name__ == "__main__":
    main()
