#!/usr/bin/env python3
"""Makes a synthetic game library for the copy benchmark.

The default (--size 2) is about 2 GiB: a few large files of 200-500 MiB and about 20,000 small
files of 1-64 KiB in nested folders, with varied modes and modification times. --size scales
both parts. The same seed always gives the same tree. --small-only N makes N files of 1 KiB
instead, for the memory measurement. --shape small makes 100,000 files of 0.5-16 KiB in 500
folders (scaled by --size / 2 as well), the library where the time goes to the calls per file.
--shape large makes a few files of 1-2.5 GiB (--size GiB in all; smaller files where --size is
below 1), the library where the time goes to the bytes and the page cache fills.
"""
import argparse
import os
import random
import shutil
import sys

GIB = 1 << 30
MIB = 1 << 20
KIB = 1 << 10
POOL_BYTES = 64 * MIB  # all content is cut from this seeded block
MODES = (0o644, 0o644, 0o644, 0o755, 0o600, 0o444)
EPOCH = 1_600_000_000  # modification times spread over the years after this


def parse():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("dest", help="folder to make (must not exist)")
    parser.add_argument("--size", type=float, default=2.0, help="GiB in total (default 2)")
    parser.add_argument("--seed", type=int, default=20240611)
    parser.add_argument("--small-only", type=int, metavar="N", help="N files of 1 KiB only")
    parser.add_argument("--shape", choices=("mixed", "small", "large"), default="mixed",
                        help="mixed (default); small: 100,000 files of 0.5-16 KiB in 500 folders;"
                             " large: a few files of 1-2.5 GiB")
    return parser.parse_args()


def plan(size_gib, rng):
    """Large file sizes and small file count for a library of size_gib GiB."""
    scale = size_gib / 2.0
    large = []
    budget = int(1.4 * GIB * scale)
    while budget > 0:
        want = int(rng.randint(200, 500) * MIB * scale) or 1
        large.append(min(want, budget))
        budget -= want
    return large, int(20_000 * scale)


def folders(root, count, rng):
    """count folder paths, nested up to four levels, spread like a game library."""
    paths = []
    for i in range(count):
        depth = rng.randint(1, 4)
        parts = [f"g{rng.randint(0, 40):02d}"]
        parts += [f"d{rng.randint(0, 6)}" for _ in range(depth - 1)]
        paths.append(os.path.join(root, *parts))
    return paths


class Writer:
    def __init__(self, rng):
        self.rng = rng
        self.pool = rng.randbytes(POOL_BYTES)

    def write(self, path, size):
        with open(path, "wb") as out:
            left = size
            while left > 0:
                n = min(left, 8 * MIB)
                start = self.rng.randrange(0, POOL_BYTES - n + 1)
                out.write(self.pool[start:start + n])
                left -= n
        os.chmod(path, self.rng.choice(MODES))
        stamp = EPOCH * 10**9 + self.rng.randrange(0, 10**17)
        os.utime(path, ns=(stamp, stamp))


def make(args):
    rng = random.Random(args.seed)
    writer = Writer(rng)
    if args.small_only:
        large, small, size_of = [], args.small_only, lambda: KIB
    elif args.shape == "small":
        small = max(int(100_000 * args.size / 2.0), 1)
        large, size_of = [], lambda: rng.randint(512, 16 * KIB)
        homes = [os.path.join(args.dest, "Software", f"g{i // 25:02d}", f"d{i % 25:02d}")
                 for i in range(max(small // 200, 1))]
        return write_small(args, writer, homes, small, size_of)
    elif args.shape == "large":
        return write_large(args, writer, rng)
    else:
        large, small = plan(args.size, rng)
        size_of = lambda: rng.randint(1, 64) * KIB
    homes = folders(os.path.join(args.dest, "Software"), max(small // 25, 1), rng)
    for i, size in enumerate(large):
        folder = os.path.join(args.dest, "Software", f"big{i}")
        os.makedirs(folder, exist_ok=True)
        writer.write(os.path.join(folder, f"assets{i}.pak"), size)
    return sum(large) + write_small(args, writer, homes, small, size_of)


def write_large(args, writer, rng):
    """Files of 1-2.5 GiB (whole MiB) up to args.size GiB; their total size."""
    budget, sizes = int(args.size * GIB), []
    while budget >= MIB:
        want = min(rng.randint(1024, 1536) * MIB, budget)
        if budget - want < GIB:
            want = budget  # no runt at the end
        sizes.append(want - want % MIB or MIB)
        budget -= want
    for i, size in enumerate(sizes):
        folder = os.path.join(args.dest, "Software", f"game{i}")
        os.makedirs(folder, exist_ok=True)
        writer.write(os.path.join(folder, f"data{i}.pak"), size)
    os.makedirs(os.path.join(args.dest, "Downloads", "empty"), exist_ok=True)
    return sum(sizes)


def write_small(args, writer, homes, count, size_of):
    """count small files spread over the folders homes; their total size."""
    total = 0
    for i in range(count):
        folder = homes[i % len(homes)]
        os.makedirs(folder, exist_ok=True)
        size = size_of()
        writer.write(os.path.join(folder, f"f{i:06d}.dat"), size)
        total += size
    os.makedirs(os.path.join(args.dest, "Downloads", "empty"), exist_ok=True)
    return total


def main():
    args = parse()
    if os.path.exists(args.dest):
        sys.exit(f"makelib: {args.dest} exists already")
    parent = os.path.dirname(os.path.abspath(args.dest))
    free = shutil.disk_usage(parent).free
    wanted = args.size * GIB * 1.1
    if not args.small_only and wanted > free:
        shrunk = round(free / GIB / 1.1 * 0.9, 2)
        print(f"makelib: only {free / GIB:.1f} GiB free under {parent}; "
              f"making {shrunk} GiB instead of {args.size} GiB")
        args.size = shrunk
    total = make(args)
    print(f"makelib: about {total / GIB:.2f} GiB in {args.dest}")


if __name__ == "__main__":
    main()
