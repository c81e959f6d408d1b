"""Time of the portable export and import over N memories of 384 dimensions.

    PYTHONPATH=build/src/lib /usr/bin/python3 bench/bench_portable.py [--memories N] [--repeats R]

The database is filled and flushed first (not timed), with a short content, a little metadata and
random vector elements in [-1, 1], whose shortest decimals take 9 to 12 characters each. Then:
export_jsonl of every memory from a reopened file (cold page cache: every record is read and
decrypted), import_jsonl of that file into a new database (staged, not flushed), and the flush that
follows. Each figure is the best of R runs, as wall time and as this process's CPU time (on a shared
machine the second is the steadier); the file size is given too.
"""
import argparse
import os
import random
import tempfile
import time

import quarn

DIMS = 384


def timed(fn):
    wall, cpu = time.perf_counter(), time.process_time()
    result = fn()
    return (time.perf_counter() - wall, time.process_time() - cpu), result


def best(times):
    return f"{min(t[0] for t in times):6.2f} s wall {min(t[1] for t in times):6.2f} s CPU"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--memories", type=int, default=100_000)
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    rng = random.Random(7)

    with tempfile.TemporaryDirectory() as folder:
        source = os.path.join(folder, "source.quarn")
        db = quarn.open(source, "bench", dimensions=DIMS)
        for i in range(args.memories):
            vector = [rng.uniform(-1, 1) for _ in range(DIMS)]
            db.remember(f"memory {i}", "semantic", vector, agent_id=f"agent{i % 7}",
                        metadata={"i": i, "tag": "bench"})
            if (i + 1) % 10_000 == 0:
                db.flush()
        db.flush()
        del db

        out = os.path.join(folder, "out.jsonl")

        def export():
            if os.path.exists(out):
                os.remove(out)
            quarn.open(source, "bench").export_jsonl(out)

        exports = [timed(export)[0] for _ in range(args.repeats)]
        size = os.path.getsize(out)

        imports, flushes = [], []
        for run in range(args.repeats):
            path = os.path.join(folder, f"target{run}.quarn")
            target = quarn.open(path, "bench", dimensions=DIMS)
            spent, count = timed(lambda: target.import_jsonl(out))
            assert count == args.memories
            imports.append(spent)
            flushes.append(timed(target.flush)[0])
            del target
            os.remove(path)

        print(f"memories                       {args.memories}")
        print(f"file                           {size / 1e6:.1f} MB")
        print(f"export_jsonl (reopened file)   {best(exports)}")
        print(f"import_jsonl (staged)          {best(imports)}")
        print(f"flush after the import         {best(flushes)}")


if __name__ == "__main__":
    main()
