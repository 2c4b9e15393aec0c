#!/usr/bin/env python3
"""Times `installer --show` over a generated database of installed packages,
side by side with `dpkg-query -l` over a dpkg database of the same packages.

Half of the packages are stored whole as "image" package files (a header,
note, dependency lists, a compressed file container of a few files and a
signature trailer), half as metadata text files with realistic lists. The
two commands run in turn, several rounds; the median wall time and the peak
resident memory (from /usr/bin/time) are printed per database size.

Run by hand after a build, as a user that can change root:
    python3 bench/show/show_bench.py --installer build/installer
"""
import argparse
import json
import os
import shutil
import statistics
import struct
import subprocess
import tempfile
import time
import zlib

V = lambda major, minor, build=0: (major << 24) | (minor << 16) | (ord('f') << 8) | build


def part(kind, payload):
    return struct.pack('<HI', kind, len(payload)) + payload


def header(name, version, built):
    return name.encode().ljust(16, b'\0') + struct.pack('<II8xI', version, built, 0)


def dep_list(entries):
    out = struct.pack('<H', len(entries))
    for name, low, high, extra in entries:
        out += name.encode().ljust(16, b'\0') + struct.pack('<IIIi', low, 0, high, extra)
    return out


def file_container(name, count):
    # Entries of a few hundred bytes each, compressed as one stream: the loader
    # skips the part, so only its size matters.
    raw = b''.join((f'/flash/bin/{name}-{i}\n'.encode() + os.urandom(64).hex().encode() * 4) for i in range(count))
    return zlib.compress(raw)


def lists(i, n):
    deps = [(f'pkg{(i + k) % n:05d}', V(1, 0), 0, 0) for k in (1, 7, 31)]
    provides = [(f'svc{i:05d}', V(1, 0), V(9, 0), -1)]
    conflicts = [(f'old{i:05d}', 0, V(1, 0), 0)]
    return deps, provides, conflicts


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, 'wb') as f:
        f.write(data if isinstance(data, bytes) else data.encode())


def make_device_root(root, n):
    for d in ('flash/var/pdb', 'flash/boot', 'rw/pckg/.images', 'ram/pdb', 'tmp'):
        os.makedirs(os.path.join(root, d), exist_ok=True)
    for i in range(n):
        name = f'pkg{i:05d}'
        pdb = os.path.join(root, 'flash/var/pdb', name)
        deps, provides, conflicts = lists(i, n)
        files = ''.join(f'flash/bin/{name}-{k}\n' for k in range(5))
        version, built = V(6, 48, i % 200 + 1), 1700000000 + i
        if i % 2 == 0:
            body = (part(1, header(name, version, built)) + part(24, b'text') + part(23, f'note of {name}'.encode()) +
                    part(3, dep_list(deps)) + part(19, dep_list(provides)) + part(17, dep_list(conflicts)) +
                    part(4, file_container(name, 5)) + part(9, os.urandom(68)))
            write(os.path.join(pdb, 'image'), struct.pack('<II', 0xBAD0F11E, len(body)) + body)
        else:
            write(os.path.join(pdb, 'version'), f'{version} {built}\n')
            write(os.path.join(pdb, 'deps'), ''.join(f'{a} {b} {c}\n' for a, b, c, _ in deps))
            write(os.path.join(pdb, 'provides'), ''.join(f'{a} {b} {c} {d}\n' for a, b, c, d in provides))
            write(os.path.join(pdb, 'conflicts'), ''.join(f'{a} {b} {c}\n' for a, b, c, _ in conflicts))
        write(os.path.join(pdb, 'files'), files)
        if i % 10 == 3:
            write(os.path.join(pdb, 'disabled'), 'user\n')


def make_dpkg_db(admin, n):
    os.makedirs(os.path.join(admin, 'info'))
    os.makedirs(os.path.join(admin, 'updates'))
    os.makedirs(os.path.join(admin, 'triggers'))
    write(os.path.join(admin, 'available'), '')
    stanzas = []
    for i in range(n):
        name = f'pkg{i:05d}'
        deps, provides, conflicts = lists(i, n)
        stanzas.append(
            f'Package: {name}\nStatus: install ok installed\nPriority: optional\nSection: net\n'
            f'Installed-Size: 120\nMaintainer: Bench <bench@example.org>\nArchitecture: all\n'
            f'Version: 6.48.{i % 200 + 1}\n'
            f'Depends: {", ".join(f"{d[0]} (>= 1.0)" for d in deps)}\n'
            f'Provides: svc{i:05d}\nConflicts: old{i:05d} (<< 1.0)\n'
            f'Description: note of {name}\n benchmark package {i}\n')
        write(os.path.join(admin, 'info', f'{name}.list'),
              ''.join(f'/flash/bin/{name}-{k}\n' for k in range(5)))
    write(os.path.join(admin, 'status'), '\n'.join(stanzas))


def measure_side_by_side(commands, runs):
    """Runs the commands in turn, `runs` rounds, so that a slower spell of the
    machine falls on every command alike. Returns each one's median wall time
    and peak resident memory (KiB)."""
    times = [[] for _ in commands]
    peaks = [0 for _ in commands]
    for _ in range(runs):
        for i, argv in enumerate(commands):
            start = time.perf_counter()
            done = subprocess.run(['/usr/bin/time', '-f', '%M'] + argv, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.PIPE, text=True, check=True)
            times[i].append(time.perf_counter() - start)
            peaks[i] = max(peaks[i], int(done.stderr.strip().splitlines()[-1]))
    return [(statistics.median(t), peak) for t, peak in zip(times, peaks)]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--installer', default='build/installer')
    parser.add_argument('--counts', default='100,1000,10000')
    parser.add_argument('--runs', type=int, default=21)
    parser.add_argument('--json', help='also write the results to this file')
    args = parser.parse_args()
    results = []
    installer = os.path.abspath(args.installer)
    print(f'{"packages":>8} {"installer":>10} {"dpkg-query":>10} {"ratio":>6} {"inst. KiB":>9} {"dpkg KiB":>9} '
          f'{"us/pkg":>7}')
    for n in (int(c) for c in args.counts.split(',')):
        work = tempfile.mkdtemp(prefix='show_bench.')
        try:
            root, admin = os.path.join(work, 'root'), os.path.join(work, 'dpkg')
            make_device_root(root, n)
            make_dpkg_db(admin, n)
            listed = subprocess.run([installer, '-r', root, '--show'], capture_output=True, text=True, check=True)
            assert len(listed.stdout.splitlines()) == n + 2, 'every package listed'
            (ours, our_peak), (theirs, their_peak) = measure_side_by_side(
                [[installer, '-r', root, '--show'], ['dpkg-query', '-l', f'--admindir={admin}']], args.runs)
            print(f'{n:>8} {ours * 1000:>8.1f}ms {theirs * 1000:>8.1f}ms {ours / theirs:>6.2f} {our_peak:>9} '
                  f'{their_peak:>9} {ours / n * 1e6:>7.1f}')
            results.append({'packages': n, 'installer_s': ours, 'dpkg_query_s': theirs, 'ratio': ours / theirs,
                            'installer_peak_kib': our_peak, 'dpkg_query_peak_kib': their_peak, 'runs': args.runs})
        finally:
            shutil.rmtree(work)
    if args.json:
        with open(args.json, 'w') as f:
            json.dump(results, f, indent=1)


if __name__ == '__main__':
    main()
