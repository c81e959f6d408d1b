"""What one small change costs to commit, in file format 7 and in format 8, beside SQLite.

For N memories of 384 dimensions (committed in flushes of 10,000), in each format: the time of
remember + flush of one memory, and of a tracked recall(top_k=10) + flush, and the file's growth
per such flush (median of 20 each); with and without an index (build_index, then flushed). Then
remember + flush of 10,000 memories at a time, the open of the file and a restore of its oldest
retained row; the file's size after the fill, after all the runs, and after a vacuum keeping one
row (each record once, one catalog, one index). SQLite (Python's sqlite3,
WAL mode, synchronous=FULL) on the same disk commits one row of 1.5 KB into a table of N rows.

    PYTHONPATH=build/src/lib /usr/bin/python3 bench/bench_format.py [--memories 100000] [--folder DIR]
"""
import argparse
import os
import random
import sqlite3
import statistics
import tempfile
import time

import quarn

DIMS = 384
PASS = "bench passphrase"


def vector(rng):
    return [rng.uniform(-1, 1) for _ in range(DIMS)]


def ms(seconds):
    return f"{seconds * 1e3:.2f} ms"


def per_flush(db, path, change, times=20):
    spent, grown = [], []
    for i in range(times):
        before = os.path.getsize(path)
        start = time.perf_counter()
        change(i)
        db.flush()
        spent.append(time.perf_counter() - start)
        grown.append(os.path.getsize(path) - before)
    return statistics.median(spent), statistics.median(grown)


def quarn_rows(folder, version, n, rng, vectors):
    path = os.path.join(folder, f"v{version}.quarn")
    db = quarn.open(path, PASS, dimensions=DIMS)
    db.set_format_version(version)
    bulk = []
    for first in range(0, n, 10000):
        start = time.perf_counter()
        for i in range(first, min(n, first + 10000)):
            db.remember(f"memory {i}: a short note of the kind an agent keeps", "semantic",
                        vectors[i % len(vectors)])
        db.flush()
        bulk.append(time.perf_counter() - start)
    query = vectors[3]
    out = {"bulk": statistics.median(bulk), "filled": os.path.getsize(path)}
    for indexed in (False, True):
        if indexed:
            db.build_index()
            db.flush()
        one = per_flush(db, path, lambda i: db.remember(f"one more {i}", "semantic", vector(rng)))
        recall = per_flush(db, path, lambda i: db.recall(query, 10))
        out["index" if indexed else "plain"] = (one, recall)
    db.close()
    del db
    start = time.perf_counter()
    again = quarn.open(path, PASS)
    out["open"] = time.perf_counter() - start
    out["file"] = os.path.getsize(path)
    # A restore of the oldest retained row (its catalog and index loaded, then one commit).
    oldest, newest = again.snapshots()[0]["txn_id"], again.snapshots()[-1]["txn_id"]
    start = time.perf_counter()
    again.restore_to(oldest)
    out["restore"] = time.perf_counter() - start
    # Back to the newest state, then its records once, one catalog, one index: the least a file
    # holding them can be.
    again.restore_to(newest)
    out["vacuumed"] = again.vacuum(keep_snapshots=1)["file_bytes_after"]
    del again
    return out


def sqlite_row(folder, n):
    path = os.path.join(folder, "peer.sqlite")
    con = sqlite3.connect(path, isolation_level=None)
    con.execute("PRAGMA journal_mode=WAL")
    con.execute("PRAGMA synchronous=FULL")
    con.execute("CREATE TABLE m (id INTEGER PRIMARY KEY, body BLOB)")
    body = os.urandom(1536)
    con.execute("BEGIN")
    con.executemany("INSERT INTO m (body) VALUES (?)", ((body,) for _ in range(n)))
    con.execute("COMMIT")
    con.execute("PRAGMA wal_checkpoint(TRUNCATE)")
    spent, grown = [], []
    for _ in range(20):
        before = os.path.getsize(path) + os.path.getsize(path + "-wal")
        start = time.perf_counter()
        con.execute("INSERT INTO m (body) VALUES (?)", (body,))
        spent.append(time.perf_counter() - start)
        grown.append(os.path.getsize(path) + os.path.getsize(path + "-wal") - before)
    con.close()
    return statistics.median(spent), statistics.median(grown)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--memories", type=int, nargs="*", default=[100000])
    parser.add_argument("--folder", default=None)
    args = parser.parse_args()
    rng = random.Random(8)
    vectors = [vector(rng) for _ in range(1000)]
    for n in args.memories:
        with tempfile.TemporaryDirectory(dir=args.folder) as folder:
            rows = {v: quarn_rows(folder, v, n, rng, vectors) for v in (7, 8)}
            peer = sqlite_row(folder, n)
        print(f"## {n:,} memories of {DIMS} dimensions")
        print("| | format 7 | format 8 |")
        print("|---|---|---|")
        for key, label in (("plain", "no index"), ("index", "with an index")):
            for k, what in ((0, "remember one + flush"), (1, "tracked recall(top_k=10) + flush")):
                cells = []
                for v in (7, 8):
                    spent, grown = rows[v][key][k]
                    cells.append(f"{ms(spent)}, +{grown / 1000:.0f} KB")
                print(f"| {what}, {label} | {cells[0]} | {cells[1]} |")
        print(f"| remember + flush of 10,000 (median of the fill) | {ms(rows[7]['bulk'])} | "
              f"{ms(rows[8]['bulk'])} |")
        print(f"| open | {ms(rows[7]['open'])} | {ms(rows[8]['open'])} |")
        print(f"| restore_to the oldest retained row | {ms(rows[7]['restore'])} | "
              f"{ms(rows[8]['restore'])} |")
        print(f"| file after the fill (flushes of 10,000, no index) | {rows[7]['filled'] / 1e6:.0f} MB | "
              f"{rows[8]['filled'] / 1e6:.0f} MB |")
        print(f"| file after the runs | {rows[7]['file'] / 1e6:.0f} MB | {rows[8]['file'] / 1e6:.0f} MB |")
        print(f"| the last state alone, after vacuum(keep_snapshots=1) | {rows[7]['vacuumed'] / 1e6:.0f} MB | "
              f"{rows[8]['vacuumed'] / 1e6:.0f} MB |")
        print(f"| file after the runs / the last state alone | {rows[7]['file'] / rows[7]['vacuumed']:.2f} | "
              f"{rows[8]['file'] / rows[8]['vacuumed']:.2f} |")
        print(f"\nSQLite (WAL, synchronous=FULL), one 1.5 KB row into {n:,}: {ms(peer[0])}, "
              f"+{peer[1] / 1000:.1f} KB")


if __name__ == "__main__":
    main()
