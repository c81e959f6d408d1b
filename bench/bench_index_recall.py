"""Recall through the approximate index against exact search, from Python, warm cache.

    PYTHONPATH=build/src/lib /usr/bin/python3 bench/bench_index_recall.py [--n 100000] [--spread 0.5]

Builds n memories of 384 dimensions around 1,000 cluster centres (unit vectors; each memory is its
centre plus Gaussian noise of `spread` per unit of the centre's length, then normalised), all with
the same importance and fresh, builds the index, and for 200 queries near random memories compares
the ids of `recall(q, 10, track_access=False)` with those of `search(q, 10)`. Prints the time per
indexed recall and the mean recall@10. The vectors are made with Python's `random`, seeded, so the
figures repeat.
"""
import argparse
import math
import os
import random
import tempfile
import time
from array import array

import quarn

DIMS = 384


def unit(v):
    norm = math.sqrt(sum(x * x for x in v)) or 1.0
    return [x / norm for x in v]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--n", type=int, default=100000)
    parser.add_argument("--clusters", type=int, default=1000)
    parser.add_argument("--spread", type=float, default=0.5)
    parser.add_argument("--queries", type=int, default=200)
    args = parser.parse_args()
    rng = random.Random(11)
    sigma = args.spread / math.sqrt(DIMS)
    centres = [unit([rng.gauss(0, 1) for _ in range(DIMS)]) for _ in range(args.clusters)]
    noise = [rng.gauss(0, sigma) for _ in range(DIMS * 4096)]

    def member(i):
        c = centres[rng.randrange(args.clusters)]
        off = rng.randrange(0, len(noise) - DIMS)
        return array("f", unit([c[j] + noise[off + j] for j in range(DIMS)]))

    with tempfile.TemporaryDirectory() as folder:
        db = quarn.open(os.path.join(folder, "recall.quarn"), "bench", dimensions=DIMS)
        db.set_cache_capacity(2 * args.n + 1024)
        start = time.perf_counter()
        for i in range(args.n):
            db.remember(f"m{i}", "semantic", member(i), importance=0.5)
            if (i + 1) % 10000 == 0:
                db.flush()
        db.flush()
        print(f"remember + flush of {args.n}: {time.perf_counter() - start:.1f} s")
        start = time.perf_counter()
        db.build_index()
        print(f"build_index over {args.n}: {time.perf_counter() - start:.1f} s")
        queries = [member(i) for i in range(args.queries)]
        # The first pass decodes each candidate record for the first time; the second is the warm
        # figure (every page and decoded record already cached).
        start = time.perf_counter()
        for q in queries:
            db.recall(q, 10, track_access=False)
        first = (time.perf_counter() - start) / len(queries)
        start = time.perf_counter()
        for q in queries:
            db.recall(q, 10, track_access=False)
        per_query = (time.perf_counter() - start) / len(queries)
        got = [db.recall(q, 10, track_access=False) for q in queries]
        print(f"recall with index, first pass: {first * 1e3:.3f} ms per query")
        hits = 0
        for q, results in zip(queries, got):
            exact = {m["id"] for m, _ in db.search(q, 10)}
            hits += len(exact & {r["id"] for r in results})
        print(f"recall with index, warm: {per_query * 1e3:.3f} ms per query")
        print(f"recall@10 against exact search: {hits / (10 * len(queries)):.3f}")


if __name__ == "__main__":
    main()
