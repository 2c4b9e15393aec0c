#!/usr/bin/env python3
"""Makes the upgrade benchmark's package trees, deterministically.

  make_trees.py OUT_DIR [PACKAGES] [TOTAL_MB]

OUT_DIR/1/pkgNN and OUT_DIR/2/pkgNN: the installed and the new version of
each of PACKAGES packages (default 50), TOTAL_MB (default 100) mebibytes
of files per version in all. Package sizes vary (a quarter to four times the
mean); each holds a few dozen small text and binary files and one to three
large ones, compressible and not. The new version changes every file's
content and renames one file per package, so an upgrade writes every byte
and removes a file the new version no longer has.
"""
import os
import random
import shutil
import sys

WORDS = ("interface address route firewall wireless bridge vlan queue package "
         "install flash router signature digest stream header version depends "
         "provides conflicts bundle enable disable commit manifest staged").split()
KIB = 1024
MIB = 1024 * KIB


def text_pool(seed, size=4 * MIB):
    """Word text to cut compressible files from: building each file word by
    word would make the trees slower to create than to install."""
    rng = random.Random(seed)
    lines = []
    length = 0
    while length < size:
        line = " ".join(rng.choice(WORDS) for _ in range(rng.randint(3, 12))) + "\n"
        lines.append(line)
        length += len(line)
    return "".join(lines).encode()


def text(rng, pool, size):
    start = rng.randrange(len(pool) - size) if size < len(pool) else 0
    # A few random bytes per kilobyte, as in program data, so no two files
    # compress to the same bytes.
    data = bytearray(pool[start:start + size])
    for _ in range(size // KIB):
        data[rng.randrange(len(data))] = rng.randrange(256)
    return bytes(data)


def binary(rng, _pool, size):
    return rng.randbytes(size)


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def package_sizes(count, total):
    rng = random.Random(count)
    weights = [rng.choice((0.25, 0.5, 1, 1, 1.5, 2, 4)) for _ in range(count)]
    scale = total / sum(weights)
    return [int(w * scale) for w in weights]


def make_package(root, index, version, size, pool):
    """One package tree; the file names depend only on the index (but for
    the renamed one), the contents on the index and the version."""
    names = random.Random(index)
    content = random.Random(index * 1000 + version)
    name = "pkg%02d" % index
    small_budget = size * 3 // 10
    k = 0
    while small_budget > 0:
        kind = names.choice((text, text, binary))
        length = min(small_budget, names.randint(KIB, 16 * KIB))
        folder = "etc" if kind is text else "lib"
        write("%s/%s/%s/f%03d" % (root, folder, name, k), kind(content, pool, length))
        small_budget -= length
        k += 1
    large = size - size * 3 // 10
    parts = names.randint(1, 3)
    for j in range(parts):
        kind = binary if j % 2 == 0 else text
        suffix = "-v2" if j == 0 and version == 2 else ""
        write("%s/bin/%s-%d%s" % (root, name, j, suffix), kind(content, pool, large // parts))


def main():
    if len(sys.argv) < 2:
        raise SystemExit(__doc__)
    out = sys.argv[1]
    count = int(sys.argv[2]) if len(sys.argv) > 2 else 50
    total = int(sys.argv[3]) * MIB if len(sys.argv) > 3 else 100 * MIB
    pool = text_pool(7)
    for version in (1, 2):
        for index, size in enumerate(package_sizes(count, total)):
            root = "%s/%d/pkg%02d" % (out, version, index)
            if os.path.exists(root):
                continue
            # Made aside and renamed, so an interrupted run leaves no half tree.
            partial = root + ".partial"
            shutil.rmtree(partial, ignore_errors=True)
            make_package(partial, index, version, size, pool)
            os.rename(partial, root)


if __name__ == "__main__":
    main()
