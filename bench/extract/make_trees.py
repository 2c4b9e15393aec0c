#!/usr/bin/env python3
"""Makes the benchmark's file trees, deterministically.

  make_trees.py OUT_DIR

OUT_DIR/mixed-100: thousands of small text and binary files plus a few
files of 10 MB and more, compressible and not, about 100 MB in all.
OUT_DIR/mixed-10: the same mix scaled to about 10 MB.
OUT_DIR/small-10000: the bytes of mixed-100 cut into 10,000 files.
OUT_DIR/one-file: one small text file, the smallest package there is.
"""
import os
import random
import sys

WORDS = ("package install flash router signature digest stream part header "
         "version depends provides conflicts bundle enable disable commit "
         "manifest staged file entry inflate compress network interface "
         "address route firewall wireless bridge vlan queue").split()


def text(rng, size):
    out = []
    length = 0
    while length < size:
        line = " ".join(rng.choice(WORDS) for _ in range(rng.randint(3, 12))) + "\n"
        out.append(line)
        length += len(line)
    return "".join(out).encode()[:size]


def binary(rng, size):
    return rng.randbytes(size)


def log_like(rng, size):
    out = []
    length = 0
    n = 0
    while length < size:
        n += 1
        line = "%08d %s %d.%d.%d.%d %s\n" % (n, rng.choice(WORDS), rng.randint(0, 255),
                                            rng.randint(0, 255), rng.randint(0, 255),
                                            rng.randint(0, 255), rng.randbytes(8).hex())
        out.append(line)
        length += len(line)
    return "".join(out).encode()[:size]


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def mixed(root, scale, seed):
    rng = random.Random(seed)
    for i in range(int(3000 * scale)):
        write("%s/etc/text/d%02d/t%05d.txt" % (root, i % 50, i), text(rng, rng.randint(1024, 8192)))
    for i in range(int(2000 * scale)):
        write("%s/lib/bin/d%02d/b%05d.bin" % (root, i % 50, i), binary(rng, rng.randint(1024, 16384)))
    mb = 1024 * 1024
    big = [("big/text-a.txt", text, 15), ("big/text-b.txt", text, 12), ("big/random-a.bin", binary, 12),
           ("big/random-b.bin", binary, 10), ("big/log.txt", log_like, 20)]
    if scale < 1:
        big = [("big/text-a.txt", text, 3), ("big/random-a.bin", binary, 3)]
    for name, make, size in big:
        write("%s/%s" % (root, name), make(rng, size * mb))


def split_into(root, source_root, count):
    data = bytearray()
    for dirpath, _, names in sorted(os.walk(source_root)):
        for name in sorted(names):
            with open(os.path.join(dirpath, name), "rb") as f:
                data += f.read()
    piece = len(data) // count
    for i in range(count):
        end = len(data) if i == count - 1 else (i + 1) * piece
        write("%s/d%03d/f%05d" % (root, i % 100, i), bytes(data[i * piece:end]))


def main():
    out = sys.argv[1]
    if not os.path.exists(out + "/mixed-100"):
        mixed(out + "/mixed-100", 1.0, 1)
    if not os.path.exists(out + "/mixed-10"):
        mixed(out + "/mixed-10", 0.1, 2)
    if not os.path.exists(out + "/small-10000"):
        split_into(out + "/small-10000", out + "/mixed-100", 10000)
    if not os.path.exists(out + "/one-file"):
        write(out + "/one-file/etc/motd", text(random.Random(3), 2048))


if __name__ == "__main__":
    main()
