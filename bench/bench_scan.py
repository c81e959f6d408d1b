"""Scans and the index from Python, against numpy and FAISS measured in the same run.

    OPENBLAS_NUM_THREADS=1 PYTHONPATH=build/src/lib /usr/bin/python3 bench/bench_scan.py SECTION...

Sections (all by default):
  scan       exact search and recall, top 10, default settings, warm, at 10,000 and 100,000
             memories, against numpy (one BLAS thread) on the same float32 vectors; the first
             scan after reopening 100,000 memories
  cliff      recall without an index, default settings, at 5,000 / 10,000 / 20,000 memories
  text       exact search over hashed bag-of-words vectors of short texts
  grid       recall@10 against exact search and time per query over n_probe x n_rerank, on
             clustered data and on the texts, with FAISS's IVF-PQ (same partitions, 48 subspaces
             of 8 bits, codes of the vectors themselves, refined exactly) beside it
  iterative  filtered recall through the index (20,000 memories of 20 agents), iterative scan
             off and on
  large      1,000,000 memories: build_index time and memory, first and warm indexed recall,
             exact search (needs about 6 GB and several minutes)

Vectors come from numpy's seeded generator, so the figures repeat. Times are the best of
repeated batches (the machine is shared; the minimum is the cost).
"""
import argparse
import math
import os
import re
import resource
import sys
import tempfile
import time
import zlib

import numpy as np

import quarn

DIMS = 384
TOP = 10


def best_of(fn, calls, repeats=5):
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        for i in range(calls):
            fn(i)
        best = min(best, (time.perf_counter() - start) / calls)
    return best


def ms(seconds):
    return f"{seconds * 1e3:.3f} ms"


def fill(db, vectors, importance=0.5, agents=None, flush_every=20000):
    ids = []
    for i, v in enumerate(vectors):
        kwargs = {"importance": importance}
        if agents is not None:
            kwargs["agent_id"] = agents[i]
        ids.append(db.remember(f"memory {i}", "semantic", v.tolist(), **kwargs))
        if (i + 1) % flush_every == 0:
            db.flush()
    db.flush()
    return ids


class NumpyPeer:
    """Exact cosine top 10 (and the recall score) over a float32 matrix, as a user would write it."""

    def __init__(self, vectors):
        self.m = np.ascontiguousarray(vectors, dtype=np.float32)
        self.norms = np.linalg.norm(self.m, axis=1)
        n = len(self.m)
        self.age = np.zeros(n, dtype=np.float32)
        self.importance = np.full(n, 0.5, dtype=np.float32)
        self.count = np.zeros(n, dtype=np.float32)

    def top(self, scores):
        top = np.argpartition(-scores, TOP)[:TOP]
        return top[np.argsort(-scores[top], kind="stable")]

    def search(self, q):
        q = np.asarray(q, dtype=np.float32)
        return self.top(self.m @ q / (self.norms * np.linalg.norm(q)))

    def recall(self, q):
        q = np.asarray(q, dtype=np.float32)
        sims = self.m @ q / (self.norms * np.linalg.norm(q))
        recency = np.exp(self.age * np.float32(-0.6931472) / np.float32(604800.0))
        return self.top(sims + 0.3 * recency + 0.2 * self.importance + 0.1 * np.log1p(self.count))


def random_vectors(n, seed):
    return np.random.default_rng(seed).uniform(-1, 1, (n, DIMS)).astype(np.float32)


def section_scan(args):
    print("## exact search and recall, top 10, default settings, warm")
    print("| memories | call | quarn | numpy | quarn / numpy |")
    print("|---|---|---|---|---|")
    for n in (10000, 100000):
        vectors = random_vectors(n, 1)
        queries = random_vectors(50, 2)
        peer = NumpyPeer(vectors)
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "scan.quarn")
            db = quarn.open(path, "bench", dimensions=DIMS)
            fill(db, vectors)
            lists = [q.tolist() for q in queries]
            db.recall(lists[0], TOP, track_access=False)  # the first scan makes records resident
            rows = [
                ("search", lambda i: db.search(lists[i % 50], TOP), lambda i: peer.search(queries[i % 50])),
                ("recall", lambda i: db.recall(lists[i % 50], TOP, track_access=False),
                 lambda i: peer.recall(queries[i % 50])),
            ]
            for name, ours, theirs in rows:
                calls = 50 if n <= 10000 else 10
                a, b = best_of(ours, calls), best_of(theirs, calls)
                print(f"| {n:,} | {name} | {ms(a)} | {ms(b)} | {a / b:.2f} |")
            # The same ids as numpy (floating-point sums in another order may swap near ties).
            agree = np.mean([
                len({int(m["content"].split()[1]) for m, _ in db.search(lists[i], TOP)} &
                    set(peer.search(queries[i]).tolist())) / TOP for i in range(20)])
            print(f"|  | ids in common with numpy's top 10 | {agree:.3f} | | |")
            if n == 100000:
                db.close()
                del db
                # Five reopenings: the first scan's time moves with how fast the machine hands
                # out the 200 MB of fresh memory the scan table takes.
                firsts, verifies = [], []
                for _ in range(5):
                    db = quarn.open(path, "bench")
                    start = time.perf_counter()
                    db.recall(lists[0], TOP, track_access=False)
                    firsts.append(time.perf_counter() - start)
                    start = time.perf_counter()
                    db.verify()
                    verifies.append(time.perf_counter() - start)
                    db.close()
                    del db
                firsts.sort()
                print(f"\nfirst recall after reopening {n:,} memories, 5 reopenings: best "
                      f"{ms(firsts[0])}, median {ms(firsts[2])} (verify(), which reads, decrypts "
                      f"and decodes every record: best {ms(min(verifies))}); pages of records: {n}")
                db = quarn.open(path, "bench")
                db.recall(lists[0], TOP, track_access=False)
                print(f"resident set of the process after it: {rss_mb():.0f} MB")


def section_cliff(args):
    print("## recall without an index, default settings (page cache 8192 pages), warm")
    print("| memories | recall | search |")
    print("|---|---|---|")
    for n in (5000, 10000, 20000):
        vectors = random_vectors(n, 3)
        q = random_vectors(1, 4)[0].tolist()
        with tempfile.TemporaryDirectory() as folder:
            db = quarn.open(os.path.join(folder, "cliff.quarn"), "bench", dimensions=DIMS)
            fill(db, vectors)
            db.recall(q, TOP, track_access=False)
            a = best_of(lambda i: db.recall(q, TOP, track_access=False), 20)
            b = best_of(lambda i: db.search(q, TOP), 20)
            print(f"| {n:,} | {ms(a)} | {ms(b)} |")


def texts(limit):
    """Short texts: the distinct comment and docstring lines of Python's standard library."""
    seen, out = set(), []
    folder = os.path.dirname(os.__file__)
    for name in sorted(os.listdir(folder)):
        if not name.endswith(".py"):
            continue
        with open(os.path.join(folder, name), encoding="utf-8", errors="replace") as f:
            for line in f:
                line = line.strip().lstrip("#").strip().strip('"').strip()
                words = re.findall(r"[a-z0-9_]+", line.lower())
                if len(words) >= 5 and line not in seen:
                    seen.add(line)
                    out.append(words)
                    if len(out) == limit:
                        return out
    return out


def embed(words):
    """Signed hashed bag of words, normalised."""
    v = np.zeros(DIMS, dtype=np.float32)
    for w in words:
        h = zlib.crc32(w.encode())
        v[h % DIMS] += 1.0 if (h >> 31) & 1 else -1.0
    norm = np.linalg.norm(v)
    return v / norm if norm else v


def text_data(n_queries=200):
    docs = texts(15000)
    vectors = np.stack([embed(w) for w in docs])
    rng = np.random.default_rng(9)
    picks = rng.choice(len(docs), n_queries, replace=False)
    # A query is a text with one word left out; its source is the text it came from.
    queries = []
    for p in picks:
        words = list(docs[p])
        del words[rng.integers(len(words))]
        queries.append(embed(words))
    return vectors, np.stack(queries), picks


def section_text(args):
    vectors, queries, _ = text_data()
    n = len(vectors)
    peer = NumpyPeer(vectors)
    lists = [q.tolist() for q in queries]
    with tempfile.TemporaryDirectory() as folder:
        db = quarn.open(os.path.join(folder, "text.quarn"), "bench", dimensions=DIMS)
        fill(db, vectors)
        db.search(lists[0], TOP)
        a = best_of(lambda i: db.search(lists[i % 50], TOP), 50)
        b = best_of(lambda i: peer.search(queries[i % 50]), 50)
    print(f"## exact search over {n:,} short texts (hashed bag of words)")
    print(f"| quarn {ms(a)} | numpy {ms(b)} | quarn / numpy {a / b:.2f} |")


def clustered(n, seed, clusters=1000, spread=0.5):
    rng = np.random.default_rng(seed)
    centres = rng.normal(size=(clusters, DIMS)).astype(np.float32)
    centres /= np.linalg.norm(centres, axis=1, keepdims=True)
    which = rng.integers(clusters, size=n)
    v = centres[which] + rng.normal(scale=spread / math.sqrt(DIMS), size=(n, DIMS)).astype(np.float32)
    return (v / np.linalg.norm(v, axis=1, keepdims=True)).astype(np.float32)


def faiss_grid(vectors, queries, exact_ids, probes, reranks):
    import faiss
    faiss.omp_set_num_threads(1)
    n = len(vectors)
    nlist = max(1, min(n, math.ceil(math.sqrt(n))))
    quantizer = faiss.IndexFlatL2(DIMS)
    ivf = faiss.IndexIVFPQ(quantizer, DIMS, nlist, 48, 8)
    ivf.by_residual = False  # codes of the vectors themselves, as quarn's
    sample = vectors[np.random.default_rng(5).choice(n, min(n, 50000), replace=False)]
    ivf.train(sample)
    index = faiss.IndexRefineFlat(ivf)
    index.add(vectors)
    out = {}
    for p in probes:
        ivf.nprobe = p
        for r in reranks:
            index.k_factor = r / TOP
            start = time.perf_counter()
            _, found = index.search(queries, TOP)
            t = (time.perf_counter() - start) / len(queries)
            hits = np.mean([len(set(found[i]) & set(exact_ids[i])) / TOP for i in range(len(queries))])
            out[p, r] = (hits, t)
    return out


def grid(db, vectors, queries, label, probes=(8, 16, 32, 64, 128), reranks=(64, 128, 256, 512),
         sources=None):
    lists = [q.tolist() for q in queries]
    exact = [[int(m["content"].split()[1]) for m, _ in db.search(q, TOP)] for q in lists]
    start = time.perf_counter()
    db.build_index()
    print(f"build_index over {len(vectors):,} {label}: {time.perf_counter() - start:.1f} s")
    peer = faiss_grid(vectors, queries, exact, probes, reranks)
    print(f"### {label}: recall@10 against exact search, time per query (FAISS beside)")
    print("| n_probe | n_rerank | quarn recall@10 | quarn time | FAISS recall@10 | FAISS time |"
          + (" source in top 10 |" if sources is not None else ""))
    print("|---|---|---|---|---|---|" + ("---|" if sources is not None else ""))
    for p in probes:
        for r in reranks:
            db.set_index_params(n_probe=p, n_rerank=r)
            for q in lists:  # every candidate resident and cached before timing
                db.recall(q, TOP, track_access=False)
            got = [[int(h["content"].split()[1]) for h in db.recall(q, TOP, track_access=False)] for q in lists]
            t = best_of(lambda i: db.recall(lists[i], TOP, track_access=False), len(lists), 3)
            hits = np.mean([len(set(g) & set(e)) / TOP for g, e in zip(got, exact)])
            fh, ft = peer[p, r]
            row = f"| {p} | {r} | {hits:.3f} | {ms(t)} | {fh:.3f} | {ms(ft)} |"
            if sources is not None:
                row += f" {np.mean([s in g for s, g in zip(sources, got)]):.2f} |"
            print(row)
    if sources is not None:
        print(f"source text in the exact top 10: {np.mean([s in e for s, e in zip(sources, exact)]):.2f}")


def section_grid(args):
    with tempfile.TemporaryDirectory() as folder:
        vectors = clustered(100000, 6)
        rng = np.random.default_rng(8)
        queries = clustered(100000, 6)[rng.choice(100000, 200, replace=False)]
        queries = (queries + rng.normal(scale=0.02, size=queries.shape)).astype(np.float32)
        db = quarn.open(os.path.join(folder, "grid.quarn"), "bench", dimensions=DIMS)
        fill(db, vectors)
        grid(db, vectors, queries, "clustered memories (1,000 centres, spread 0.5)")
    with tempfile.TemporaryDirectory() as folder:
        vectors, queries, picks = text_data()
        db = quarn.open(os.path.join(folder, "gridtext.quarn"), "bench", dimensions=DIMS)
        fill(db, vectors)
        grid(db, vectors, queries, "short texts", sources=picks.tolist())


def section_iterative(args):
    n, agents = 20000, 20
    vectors = random_vectors(n, 10)
    owners = [f"a{i % agents}" for i in range(n)]
    queries = [q.tolist() for q in random_vectors(200, 11)]
    with tempfile.TemporaryDirectory() as folder:
        db = quarn.open(os.path.join(folder, "iter.quarn"), "bench", dimensions=DIMS)
        fill(db, vectors, agents=owners)
        db.build_index()
        for q in queries:
            db.recall(q, TOP, track_access=False)
        plain = best_of(lambda i: db.recall(queries[i], TOP, track_access=False), len(queries), 3)
        print(f"## filtered recall through the index: {n:,} memories, {agents} agents, agent_id='a3'")
        print(f"unfiltered indexed recall: {ms(plain)}")
        print("| iterative scan | results: mean | min | queries with 0 | time | time / unfiltered |")
        print("|---|---|---|---|---|---|")
        for on in (False, True):
            db.set_iterative_scan(on)
            for q in queries:
                db.recall(q, TOP, agent_id="a3", track_access=False)
            counts = [len(db.recall(q, TOP, agent_id="a3", track_access=False)) for q in queries]
            t = best_of(lambda i: db.recall(queries[i], TOP, agent_id="a3", track_access=False),
                        len(queries), 3)
            print(f"| {'on' if on else 'off'} | {np.mean(counts):.1f} | {min(counts)} | "
                  f"{sum(c == 0 for c in counts)} | {ms(t)} | {t / plain:.2f} |")


def rss_mb():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return 0.0


def peak_mb():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def section_large(args):
    n = args.large
    with tempfile.TemporaryDirectory(dir=args.folder) as folder:
        path = os.path.join(folder, "large.quarn")
        db = quarn.open(path, "bench", dimensions=DIMS)
        rng = np.random.default_rng(12)
        start = time.perf_counter()
        for first in range(0, n, 50000):
            block = clustered(50000, int(rng.integers(1 << 30)))
            for i, v in enumerate(block):
                db.remember(f"memory {first + i}", "semantic", v.tolist(), importance=0.5)
            db.flush()
        print(f"remember + flush of {n:,}: {time.perf_counter() - start:.0f} s")
        db.close()
        del db
        # The rest in fresh processes, so that their memory figures are their own.
        for step in ("build", "reopen"):
            sys.stdout.flush()
            status = os.spawnv(os.P_WAIT, sys.executable,
                               [sys.executable, __file__, f"large_{step}", "--path", path])
            assert status == 0, status


def first_and_warm(db, queries, when):
    """The first indexed recall, then warm ones two ways: the first query repeated (its
    candidates and results are then in every cache), and queries not asked before, one call each
    (what an agent's next turns look like)."""
    start = time.perf_counter()
    db.recall(queries[0], TOP, track_access=False)
    first = time.perf_counter() - start
    repeated = best_of(lambda i: db.recall(queries[0], TOP, track_access=False), 20)
    fresh = []
    for q in queries[1:51]:
        start = time.perf_counter()
        db.recall(q, TOP, track_access=False)
        fresh.append(time.perf_counter() - start)
    fresh.sort()
    median = fresh[len(fresh) // 2]
    print(f"first indexed recall {when}: {ms(first)}; warm, the same query repeated: "
          f"{ms(repeated)} (ratio {first / repeated:.1f}); warm, 50 new queries: median "
          f"{ms(median)}, best {ms(fresh[0])} (ratio to the median {first / median:.1f})")


def section_large_build(args):
    db = quarn.open(args.path, "bench")
    n = len(db)
    queries = [q.tolist() for q in clustered(100, 13)]
    before = rss_mb()
    start = time.perf_counter()
    db.build_index()
    build = time.perf_counter() - start
    print(f"build_index over {n:,} right after open: {build:.0f} s; resident set {before:.0f} MB "
          f"at open, {rss_mb():.0f} MB after, peak {peak_mb():.0f} MB "
          f"(the vectors hold {n * DIMS * 4 / 1e6:.0f} MB)")
    first_and_warm(db, queries, "after build_index")
    db.flush()


def section_large_reopen(args):
    db = quarn.open(args.path, "bench")
    n = len(db)
    queries = [q.tolist() for q in clustered(100, 14)]
    first_and_warm(db, queries, "after reopening")
    print(f"resident set {rss_mb():.0f} MB")
    db.drop_index()
    start = time.perf_counter()
    db.search(queries[2], TOP)
    first = time.perf_counter() - start
    warm = best_of(lambda i: db.search(queries[2], TOP), 5, 2)
    print(f"exact search over {n:,}: first {first:.1f} s (reads every record), warm {ms(warm)}; "
          f"resident set {rss_mb():.0f} MB")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("sections", nargs="*",
                        default=["scan", "cliff", "text", "grid", "iterative"])
    parser.add_argument("--large", type=int, default=1000000)
    parser.add_argument("--folder", default=None, help="where the large database is made")
    parser.add_argument("--path", default=None, help=argparse.SUPPRESS)
    args = parser.parse_args()
    print(f"load average at start: {os.getloadavg()[0]:.2f}", file=sys.stderr)
    for name in args.sections:
        globals()[f"section_{name}"](args)
        print()
    print(f"load average at end: {os.getloadavg()[0]:.2f}", file=sys.stderr)


if __name__ == "__main__":
    main()
