"""What restore_to costs in file format 8 at N memories, by the row restored.

A version-8 file of N memories of 384 dimensions (flushes of 10,000), then 40 one-memory flushes,
build_index and 10 more one-memory flushes. Each case opens the file afresh (a copy) and restores
one retained row:

- the newest row but one: the same index model, one posting tree and a few catalog leaves apart;
- the row ten back;
- the row just before build_index: no index, and the catalog of N memories;
- the oldest row, 10,000 memories and no index, then back to the newest: the catalog rows past
  the oldest's read again, the index against the one the first restore kept aside.

    PYTHONPATH=build/src/lib /usr/bin/python3 bench/bench_restore.py [--memories 1000000] [--folder DIR]
"""
import argparse
import os
import random
import shutil
import tempfile
import time

import quarn

DIMS = 384
PASS = "bench passphrase"


def build(path, n, rng):
    vectors = [[rng.uniform(-1, 1) for _ in range(DIMS)] for _ in range(1000)]
    db = quarn.open(path, PASS, dimensions=DIMS)
    db.set_format_version(8)
    for first in range(0, n, 10000):
        for i in range(first, min(n, first + 10000)):
            db.remember(f"memory {i}: a short note of the kind an agent keeps", "semantic",
                        vectors[i % len(vectors)])
        db.flush()
    one = lambda i: db.remember(f"one more {i}", "semantic",
                                [rng.uniform(-1, 1) for _ in range(DIMS)])
    for i in range(40):
        one(i)
        db.flush()
    before_index = db.snapshots()[-1]["txn_id"]
    db.build_index()
    db.flush()
    for i in range(40, 50):
        one(i)
        db.flush()
    return before_index


def restore(path, work, pick):
    shutil.copy(path, work)
    os.sync()  # the copy's writeback would otherwise land in the restore's fsync
    db = quarn.open(work, PASS)
    rows = db.snapshots()
    txn = pick(rows)
    start = time.perf_counter()
    db.restore_to(txn)
    spent = time.perf_counter() - start
    back = None
    if txn == rows[0]["txn_id"]:
        start = time.perf_counter()
        db.restore_to(rows[-1]["txn_id"])
        back = time.perf_counter() - start
    del db
    return txn, spent, back


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--memories", type=int, default=1000000)
    parser.add_argument("--folder", default=None)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(dir=args.folder) as folder:
        path = os.path.join(folder, "v8.quarn")
        work = os.path.join(folder, "work.quarn")
        before_index = build(path, args.memories, random.Random(8))
        cases = [
            ("the newest row but one (same index model)", lambda rows: rows[-2]["txn_id"]),
            ("ten rows back", lambda rows: rows[-11]["txn_id"]),
            ("just before build_index (no index)", lambda rows: before_index),
            ("the oldest row (10,000 memories, no index)", lambda rows: rows[0]["txn_id"]),
        ]
        print(f"## restore_to in format 8, {args.memories:,} memories of {DIMS} dimensions")
        print("| row | restore_to |")
        print("|---|---|")
        for label, pick in cases:
            txn, spent, back = restore(path, work, pick)
            print(f"| {label}, txn {txn} | {spent * 1e3:.1f} ms |")
            if back is not None:
                print(f"| then back to the newest (990,000 catalog rows read; the index against the one "
                      f"the first restore kept aside) | {back * 1e3:.1f} ms |")


if __name__ == "__main__":
    main()
