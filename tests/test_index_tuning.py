"""The index's probe parameters, the iterative scan, and scans over more records than the cache."""
import inspect
import random

import pytest

import quarn
from conftest import PASSPHRASE, flip_byte, remember


def fill(db, n, agents=1, seed=3, dims=4):
    rng = random.Random(seed)
    ids = []
    for i in range(n):
        v = [rng.uniform(-1, 1) for _ in range(dims)]
        ids.append(db.remember(f"m{i}", "semantic", v, agent_id=f"a{i % agents}"))
    return ids


def test_index_params_change_the_probe_and_persist(db, reopen):
    with pytest.raises(RuntimeError, match="no approximate index is loaded"):
        db.set_index_params(n_probe=2)
    fill(db, 400)
    db.build_index()
    db.flush()
    q = [0.3, -0.2, 0.9, 0.1]
    assert len(db.recall(q, 100, track_access=False)) == 64  # the built n_rerank
    db.set_index_params(n_rerank=100)
    assert len(db.recall(q, 100, track_access=False)) > 64
    db.set_index_params(n_probe=1000, n_rerank=1000)  # every partition, every candidate
    assert len(db.recall(q, 1000, track_access=False)) == 400
    db.set_index_params(n_rerank=0)  # 0 acts as 1
    assert len(db.recall(q, 10, track_access=False)) == 1
    db.set_index_params(n_rerank=7)
    db.set_index_params()  # None leaves both as they are
    db.flush()
    db2 = reopen()
    assert len(db2.recall(q, 100, track_access=False)) == 7


def test_new_methods_come_last_with_their_signatures():
    names = [n for n in vars(quarn.Quarn) if not n.startswith("__") or n in ("__enter__", "__exit__")]
    assert names.index("set_index_params") > names.index("__exit__")
    assert str(inspect.signature(quarn.Quarn.set_index_params)) == "(self, /, *, n_probe=None, n_rerank=None)"
    assert str(inspect.signature(quarn.Quarn.set_iterative_scan)) == "(self, /, enabled)"


@pytest.mark.parametrize("call, error, text", [
    (lambda db: db.set_index_params(3), TypeError, "takes 0 positional arguments but 1 was given"),
    (lambda db: db.set_index_params(n_probe=-1), OverflowError, ""),
    (lambda db: db.set_index_params(n_probe="8"), TypeError, "n_probe"),
    (lambda db: db.set_index_params(probes=8), TypeError, "unexpected keyword argument 'probes'"),
    (lambda db: db.set_iterative_scan(), TypeError, "missing 1 required positional argument: 'enabled'"),
    (lambda db: db.set_iterative_scan(1), TypeError, "enabled"),
])
def test_new_methods_refuse_bad_arguments(db, call, error, text):
    with pytest.raises(error, match=text):
        call(db)


def test_iterative_scan_fills_filtered_recall(db, db_path):
    fill(db, 2000, agents=20)
    db.build_index()
    rng = random.Random(5)
    queries = [[rng.uniform(-1, 1) for _ in range(4)] for _ in range(20)]
    short = [len(db.recall(q, 10, agent_id="a3", track_access=False)) for q in queries]
    assert min(short) < 10  # the filter drops candidates the index does not replace
    db.set_iterative_scan(True)
    for q in queries:
        hits = db.recall(q, 10, agent_id="a3", track_access=False)
        assert len(hits) == 10
        assert all(h["agent_id"] == "a3" for h in hits)
        assert [h["score"] for h in hits] == sorted((h["score"] for h in hits), reverse=True)
    # An agent with fewer memories than top_k gets all of them, every partition visited.
    lone = db.remember("lone", "semantic", [1, 0, 0, 0], agent_id="lone")
    assert [h["id"] for h in db.recall(queries[0], 10, agent_id="lone", track_access=False)] == [lone]
    # Per handle, not stored.
    db.flush()
    again = quarn.open(db_path, PASSPHRASE)
    assert len(again.recall(queries[0], 10, agent_id="a3", track_access=False)) == short[0]


# The damaged page is found by version 7's layout, a page per record.
@pytest.mark.own_format
def test_scans_past_the_cache_capacity_match_and_report_damage(db, db_path):
    ids = fill(db, 300)
    db.flush()
    db.set_cache_capacity(8)  # far fewer pages than records
    q = [0.5, 0.5, -0.5, 0.1]
    # Scores decay with age, so a second passing between two recalls moves them: compare what
    # does not depend on the clock.
    def ranked():
        return [(r["id"], r["similarity"]) for r in db.recall(q, 5, track_access=False)]
    first = ranked()
    assert ranked() == first
    assert [m["id"] for m, _ in db.search(q, 300)] == [
        m["id"] for m, _ in sorted(db.search(q, 300), key=lambda p: -p[1])]
    # A record page damaged on disk: verify() reads the file; a reopened handle's scan reads it.
    # Records take one page each, in order, after page 0 and the 8 pages of the log.
    victim = next(i for i, id_ in enumerate(ids) if id_ not in {r for r, _ in first})
    flip_byte(db_path, (9 + victim) * 8192 + 100)
    with pytest.raises(RuntimeError, match="page %d failed authentication" % (9 + victim)):
        db.verify()
    assert ranked() == first  # authenticated when first read
    with pytest.raises(RuntimeError, match="failed authentication"):
        db.get(ids[victim])
    reopened = quarn.open(db_path, PASSPHRASE)
    with pytest.raises(RuntimeError, match="failed authentication"):
        reopened.recall(q, 5, track_access=False)
    with pytest.raises(RuntimeError, match="failed authentication"):
        reopened.search(q, 1)
