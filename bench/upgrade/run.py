#!/usr/bin/env python3
"""Upgrade benchmark: run by hand as root, never in CI.

  bench/upgrade/run.py BUILD_DIR [--work DIR] [--runs N] [--packages N]
                       [--mb N] [--json FILE]

BUILD_DIR holds a built `installer` and `mkpkg` (a Release build). The
benchmark makes two versions of PACKAGES package trees (make_trees.py, MB
mebibytes of files per version in all) and packs each version three ways:
signed packages with mkpkg and keys/test.keys, .deb packages with dpkg-deb
(gzip, as the others) and .tar.gz files. On a tmpfs it installs the first
version once with each tool, so every timed run is a real upgrade of an
installed system, then times, interleaved and the same number of runs each:

  installer  `installer -r ROOT` (a plain run: upgrade from the download
             directory "/rw/pckg/.download/", committed at once)
  dpkg       `dpkg --unpack` of the .deb files into a scratch root
             (--instdir, --admindir, --force-all)
  tar        `tar -xzf` of each .tar.gz file over the installed tree

Before each run the installed state is restored from a copy (not timed).
It prints the median wall time of each, its ratio to tar, and the peak
resident memory that GNU time (/usr/bin/time) reports for the command and
its children.
"""
import argparse
import glob
import json
import os
import shutil
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(HERE))
VERSIONS = {1: "7.1", 2: "7.2"}


def timed(argv, rss_file, stdout=subprocess.DEVNULL):
    """Wall time of one run, and the peak resident memory in KiB of the
    command and the children it waited for, as GNU time reports it."""
    start = time.perf_counter()
    result = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", rss_file] + argv, stdout=stdout)
    elapsed = time.perf_counter() - start
    if result.returncode != 0:
        raise SystemExit("failed (%d): %s" % (result.returncode, " ".join(argv)))
    with open(rss_file) as f:
        return elapsed, int(f.read().split()[-1])


def quiet(argv):
    subprocess.check_call(argv, stdout=subprocess.DEVNULL)


def build_packages(build, trees, out, names):
    """The same trees as signed packages, .deb packages and .tar.gz files."""
    keys = os.path.join(SOURCE, "keys/test.keys")
    stage = os.path.join(trees, "deb-stage")  # beside the trees, so it can link them
    for version, text in VERSIONS.items():
        for kind in ("npk", "deb", "tgz"):
            os.makedirs(os.path.join(out, kind, str(version)))
        for name in names:
            tree = os.path.join(trees, str(version), name)
            quiet([os.path.join(build, "mkpkg"), "build", "-o",
                   os.path.join(out, "npk", str(version), "%s-%s.npk" % (name, text)),
                   "--name", name, "--version", text, "--build-time", "1700000000", "--keys", keys, tree])
            quiet(["tar", "-czf", os.path.join(out, "tgz", str(version), name + ".tar.gz"), "-C", tree, "."])
            # dpkg-deb wants the control file inside the tree: build from a
            # linked copy so the other formats never see it.
            shutil.rmtree(stage, ignore_errors=True)
            shutil.copytree(tree, stage, copy_function=os.link)
            os.makedirs(os.path.join(stage, "DEBIAN"))
            with open(os.path.join(stage, "DEBIAN", "control"), "w") as f:
                f.write("Package: %s\nVersion: %s\nArchitecture: all\nMaintainer: Bench <bench@example.org>\n"
                        "Description: upgrade benchmark package\n" % (name, text))
            quiet(["dpkg-deb", "--root-owner-group", "-Zgzip", "-z6", "-b", stage,
                   os.path.join(out, "deb", str(version), name + ".deb")])
    shutil.rmtree(stage)


def device_root(root):
    for sub in ("flash/var/pdb", "flash/boot", "flash/rw/pckg", "flash/var/pckg", "rw/pckg/.download",
                "rw/pckg/.images", "ram/pdb", "tmp", "dev", "proc"):
        os.makedirs(os.path.join(root, sub))
    with open(os.path.join(root, "dev/flash"), "w") as f:
        f.write("board-flags 0\nmin-version 0\n")
    with open(os.path.join(root, "proc/cpuinfo"), "w") as f:
        f.write("pvr : 0x80211000\n")


def dpkg_root(root):
    admin = os.path.join(root, "var/lib/dpkg")
    for sub in ("info", "updates", "triggers"):
        os.makedirs(os.path.join(admin, sub))
    for name in ("status", "available"):
        open(os.path.join(admin, name), "w").close()


class cases:
    """The three ways to upgrade, each with the command that installs a
    version into a root, what to put in place before a run, and a check
    that the new version is installed afterwards."""

    def __init__(self, build, packages, mnt, names):
        self.build, self.packages, self.mnt, self.names = build, packages, mnt, names

    def files(self, kind, version):
        return sorted(glob.glob(os.path.join(self.packages, kind, str(version), "*")))

    def command(self, case, root, version):
        if case == "installer":
            return [os.path.join(self.build, "installer"), "-r", root]
        if case == "dpkg":
            return ["dpkg", "--instdir=" + root, "--admindir=" + os.path.join(root, "var/lib/dpkg"),
                    "--log=" + os.path.join(self.mnt, "dpkg.log"), "--force-all", "--unpack"] + self.files("deb", version)
        script = 'for f; do tar -xzf "$f" -C "%s" || exit 1; done' % root
        return ["sh", "-c", script, "tar"] + self.files("tgz", version)

    def prepare(self, case, root, version):
        if case == "installer":
            download = os.path.join(root, "rw/pckg/.download")
            for name in os.listdir(download):
                os.unlink(os.path.join(download, name))
            for path in self.files("npk", version):
                shutil.copy(path, download)

    def check(self, case, root, output):
        """The new version's renamed file is in place everywhere, and the
        old one is gone where the tool removes files."""
        top = os.path.join(root, "flash") if case == "installer" else root
        for name in self.names:
            if not os.path.exists(os.path.join(top, "bin", name + "-0-v2")):
                raise SystemExit("%s: %s was not upgraded" % (case, name))
            if case != "tar" and os.path.exists(os.path.join(top, "bin", name + "-0")):
                raise SystemExit("%s: %s kept a file of the old version" % (case, name))
        if case == "installer":
            with open(output) as f:
                installed = [line for line in f.read().split("\n") if "installed pkg" in line]
            if len(installed) != len(self.names):
                raise SystemExit("installer: %d packages installed, not %d:\n%s"
                                 % (len(installed), len(self.names), "\n".join(installed)))


def make_base(runner, case, base):
    """The first version installed with the case's own tool."""
    os.makedirs(base)
    if case == "installer":
        device_root(base)
    elif case == "dpkg":
        dpkg_root(base)
    runner.prepare(case, base, 1)
    quiet(runner.command(case, base, 1))
    if case == "installer":
        runner.prepare(case, base, 0)  # empties the download directory


def total_size(paths):
    return sum(os.path.getsize(p) for p in paths)


def tree_size(top):
    return sum(os.path.getsize(os.path.join(d, f)) for d, _, names in os.walk(top) for f in names)


def measure(runner, runs, mnt):
    names = ("installer", "dpkg", "tar")
    times = {name: [] for name in names}
    peaks = {name: 0 for name in names}
    work = os.path.join(mnt, "work")
    output = os.path.join(mnt, "output")
    for round_number in range(runs):
        # Interleaved, and starting with another case each round, so drift
        # and order hit every case alike.
        for i in range(len(names)):
            case = names[(round_number + i) % len(names)]
            shutil.rmtree(work, ignore_errors=True)
            quiet(["cp", "-a", os.path.join(mnt, "base", case), work])
            runner.prepare(case, work, 2)
            with open(output, "w") as out:
                elapsed, peak = timed(runner.command(case, work, 2), os.path.join(mnt, "rss"), out)
            runner.check(case, work, output)
            times[case].append(elapsed)
            peaks[case] = max(peaks[case], peak)
    shutil.rmtree(work, ignore_errors=True)
    return times, peaks


def main():
    parser = argparse.ArgumentParser(description="upgrade benchmark (run as root)")
    parser.add_argument("build")
    parser.add_argument("--work", default="/tmp/bench-upgrade")
    parser.add_argument("--runs", type=int, default=7)
    parser.add_argument("--packages", type=int, default=50)
    parser.add_argument("--mb", type=int, default=136, help="MiB of files per version in all")
    parser.add_argument("--json", help="also write the results to this file")
    args = parser.parse_args()
    if os.geteuid() != 0:
        raise SystemExit("run as root: the benchmark mounts a tmpfs and the installer changes root")
    build = os.path.abspath(args.build)
    trees = os.path.join(os.path.abspath(args.work), "trees-%d-%d" % (args.packages, args.mb))
    subprocess.check_call([sys.executable, os.path.join(HERE, "make_trees.py"), trees, str(args.packages),
                           str(args.mb)])
    names = ["pkg%02d" % i for i in range(args.packages)]
    mnt = os.path.join(os.path.abspath(args.work), "mnt")
    os.makedirs(mnt, exist_ok=True)
    subprocess.check_call(["mount", "-t", "tmpfs", "-o", "size=%dm" % (args.mb * 16 + 512), "tmpfs", mnt])
    try:
        packages = os.path.join(mnt, "packages")
        build_packages(build, trees, packages, names)
        runner = cases(build, packages, mnt, names)
        for case in ("installer", "dpkg", "tar"):
            make_base(runner, case, os.path.join(mnt, "base", case))
        times, peaks = measure(runner, args.runs, mnt)
        report(args, runner, trees, times, peaks)
    finally:
        subprocess.call(["umount", mnt])


def report(args, runner, trees, times, peaks):
    sizes = {kind: total_size(runner.files(kind, 2)) for kind in ("npk", "deb", "tgz")}
    files = sum(len(names) for _, _, names in os.walk(os.path.join(trees, "2")))
    tar = statistics.median(times["tar"])
    results = []
    print("%d packages, %d files, %d bytes of files; packages %d bytes (.deb %d, .tar.gz %d); %d runs each"
          % (args.packages, files, tree_size(os.path.join(trees, "2")), sizes["npk"], sizes["deb"], sizes["tgz"],
             args.runs))
    print("%-10s %10s %8s %12s" % ("case", "median s", "x tar", "peak RSS KiB"))
    for case in ("installer", "dpkg", "tar"):
        median = statistics.median(times[case])
        results.append({"case": case, "median_s": median, "ratio_to_tar": median / tar, "peak_kib": peaks[case],
                        "times_s": times[case]})
        print("%-10s %10.3f %8.2f %12d" % (case, median, median / tar, peaks[case]))
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"packages": args.packages, "files": files, "runs": args.runs,
                       "package_bytes": sizes["npk"], "deb_bytes": sizes["deb"], "tgz_bytes": sizes["tgz"],
                       "file_bytes": tree_size(os.path.join(trees, "2")), "results": results}, f, indent=1)


if __name__ == "__main__":
    main()
