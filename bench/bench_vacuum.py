"""The space a vacuum gives back and the time it takes.

1. A database of 9,000 memories of 384 dimensions, then 1,000 flushes of one memory each (10,000
   in the end): its size before a vacuum, after vacuum(keep_snapshots=1) and after the default
   (every retained snapshot, 256 by default), next to the live data rounded up to pages: page 0,
   the 8-page log region, each live record's pages, one catalog, one index (none here) and one
   manifest run, read from the clear header.
2. The time of vacuum() of N memories committed in one flush, for N = 10,000 and 100,000.

    PYTHONPATH=build/src/lib /usr/bin/python3 bench/bench_vacuum.py [--memories 10000 100000]
"""
import argparse
import os
import random
import shutil
import struct
import tempfile
import time

import quarn

DIMS = 384
PAGE = 8192
CAPACITY = 8164
PASS = "bench passphrase"


def run_pages(length):
    return max(1, -(-length // CAPACITY))


def header(path):
    with open(path, "rb") as f:
        page = f.read(PAGE)
    field = lambda offset: struct.unpack_from("<Q", page, offset)[0]
    return {"catalog_len": field(58), "index_len": field(178), "manifest_len": field(230),
            "memory_count": field(66)}


def vector(rng):
    return [rng.uniform(-1, 1) for _ in range(DIMS)]


def fill(db, count, rng):
    for i in range(count):
        db.remember(f"memory {i}: a short note of the kind an agent keeps", "semantic", vector(rng),
                    agent_id="bench")


def live_bytes(path, memories):
    h = header(path)
    pages = 1 + 8 + memories + run_pages(h["catalog_len"]) + run_pages(h["manifest_len"])
    if h["index_len"]:
        pages += run_pages(h["index_len"])
    return pages * PAGE


def space(directory):
    rng = random.Random(1)
    path = os.path.join(directory, "space.quarn")
    db = quarn.open(path, PASS, dimensions=DIMS)
    fill(db, 9000, rng)
    db.flush()
    for i in range(1000):
        db.remember(f"one more {i}", "episodic", vector(rng), agent_id="bench")
        db.flush()
    before = os.path.getsize(path)
    copy = os.path.join(directory, "space-default.quarn")
    default = db.vacuum(copy)  # every retained snapshot, the database itself left as it was
    start = time.perf_counter()
    one = db.vacuum(keep_snapshots=1)
    took = time.perf_counter() - start
    live = live_bytes(path, len(db))
    print(f"10,000 memories after 1,000 one-memory flushes: {before / 1e6:.1f} MB")
    print(f"  vacuum() (keeps {default['snapshots']} snapshots): {default['file_bytes_after'] / 1e6:.1f} MB")
    print(f"  vacuum(keep_snapshots=1): {one['file_bytes_after'] / 1e6:.2f} MB in {took:.2f} s")
    print(f"  live data rounded up to pages: {live / 1e6:.2f} MB; ratio {one['file_bytes_after'] / live:.3f}")
    os.unlink(copy)


def timing(directory, count):
    rng = random.Random(2)
    path = os.path.join(directory, f"time-{count}.quarn")
    db = quarn.open(path, PASS, dimensions=DIMS)
    fill(db, count, rng)
    db.flush()
    size = os.path.getsize(path)
    best = None
    for _ in range(3):
        start = time.perf_counter()
        result = db.vacuum()
        took = time.perf_counter() - start
        best = took if best is None else min(best, took)
    print(f"vacuum() of {count:,} memories ({size / 1e6:.0f} MB): {best:.2f} s "
          f"(best of 3; {result['file_bytes_after'] / 1e6:.0f} MB after)")
    del db
    os.unlink(path)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--memories", type=int, nargs="*", default=[10000, 100000])
    parser.add_argument("--skip-space", action="store_true")
    args = parser.parse_args()
    directory = tempfile.mkdtemp(prefix="quarn-bench-vacuum-")
    try:
        if not args.skip_space:
            space(directory)
        for count in args.memories:
            timing(directory, count)
    finally:
        shutil.rmtree(directory)


if __name__ == "__main__":
    main()
