"""Time of the Python-facing calls on a 384-dimensional database.

    PYTHONPATH=build/src/lib /usr/bin/python3 bench/bench_binding.py [--recall N] [--index N]

remember and get are measured per call over 384-float list vectors; "conversion only" is a
remember whose vector is one element short, which converts every argument and makes the record
but is refused by the store before anything is staged, so it bounds what the binding adds.
recall and search run over N memories with a warm page cache; --index N also builds the
approximate index over N memories and times recall through it.
"""
import argparse
import os
import random
import tempfile
import time

import quarn

DIMS = 384


def per_call(fn, count, repeats=3):
    """Best of `repeats` runs of `count` calls (the machine is shared; the minimum is the cost)."""
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        for i in range(count):
            fn(i)
        best = min(best, (time.perf_counter() - start) / count)
    return best


def fill(db, vectors, flush_every=1000):
    ids = []
    for i, v in enumerate(vectors):
        ids.append(db.remember(f"memory {i}", "episodic", v, importance=0.5))
        if (i + 1) % flush_every == 0:
            db.flush()
    db.flush()
    return ids


def report(name, seconds):
    unit, scale = ("ms", 1e3) if seconds >= 1e-3 else ("us", 1e6)
    print(f"{name:<44} {seconds * scale:10.2f} {unit}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--calls", type=int, default=5000)
    parser.add_argument("--recall", type=int, default=10000)
    parser.add_argument("--index", type=int, default=0)
    args = parser.parse_args()
    rng = random.Random(7)
    vectors = [[rng.uniform(-1, 1) for _ in range(DIMS)] for _ in range(args.calls)]
    short = vectors[0][:-1]

    with tempfile.TemporaryDirectory() as folder:
        db = quarn.open(os.path.join(folder, "bench.quarn"), "bench", dimensions=DIMS)
        db.set_cache_capacity(8 * args.calls + 1024)  # every record stays cached: no decryption

        def refused(i):
            try:
                db.remember("x", "episodic", short)
            except RuntimeError:
                pass

        report("remember, conversion only (refused)", per_call(refused, args.calls))
        ids = []
        report("remember (list of 384 floats)",
               per_call(lambda i: ids.append(db.remember(f"m{i}", "episodic", vectors[i])), args.calls, 1))
        tuples = [tuple(v) for v in vectors]
        report("remember (tuple of 384 floats)",
               per_call(lambda i: db.remember(f"t{i}", "episodic", tuples[i]), args.calls, 1))
        db.flush()
        report("get (warm cache)", per_call(lambda i: db.get(ids[i]), args.calls))
        turn = quarn.Turn.user("x", vectors[0])
        report("Turn.vector: a new list of 384 floats", per_call(lambda i: turn.vector, args.calls))
        report("Python baseline: list(vector) of 384", per_call(lambda i: list(vectors[i]), args.calls))

    if args.recall:
        with tempfile.TemporaryDirectory() as folder:
            db = quarn.open(os.path.join(folder, "recall.quarn"), "bench", dimensions=DIMS)
            db.set_cache_capacity(args.recall + 1024)  # warm: every record page stays cached
            fill(db, ([rng.uniform(-1, 1) for _ in range(DIMS)] for _ in range(args.recall)))
            query = [rng.uniform(-1, 1) for _ in range(DIMS)]
            db.recall(query, track_access=False)  # warm the page cache
            runs = 5
            report(f"recall top 10 over {args.recall} (scan, untracked)",
                   per_call(lambda i: db.recall(query, track_access=False), runs))
            report(f"recall top 10 over {args.recall} (scan, tracked)",
                   per_call(lambda i: db.recall(query), runs))
            report(f"search top 10 over {args.recall}", per_call(lambda i: db.search(query), runs))

    if args.index:
        with tempfile.TemporaryDirectory() as folder:
            db = quarn.open(os.path.join(folder, "index.quarn"), "bench", dimensions=DIMS)
            db.set_cache_capacity(args.index + 1024)
            fill(db, ([rng.uniform(-1, 1) for _ in range(DIMS)] for _ in range(args.index)),
                 flush_every=10000)
            start = time.perf_counter()
            db.build_index()
            report(f"build_index over {args.index}", time.perf_counter() - start)
            query = [rng.uniform(-1, 1) for _ in range(DIMS)]
            db.recall(query, track_access=False)
            report(f"recall top 10 over {args.index} (index)",
                   per_call(lambda i: db.recall(query, track_access=False), 200))


if __name__ == "__main__":
    main()
