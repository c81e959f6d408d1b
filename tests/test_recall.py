"""Recall and exact search from Python: result shapes, filters, access tracking, the index."""
import pytest

from conftest import DIMS, remember, vec

MEMORY_KEYS = ["id", "content", "memory_type", "vector", "agent_id", "session_id", "scope",
               "created_at", "accessed_at", "access_count", "importance", "ttl_secs", "metadata"]


def test_recall_result_shape_and_tracking(db):
    near = remember(db, content="near", vector=vec(1, 0.1))
    remember(db, content="far", vector=vec(0, 1))
    hits = db.recall(vec(1), top_k=1)
    assert len(hits) == 1 and list(hits[0]) == MEMORY_KEYS + ["score", "similarity"]
    assert hits[0]["id"] == near and hits[0]["access_count"] == 1
    assert isinstance(hits[0]["score"], float) and 0.99 < hits[0]["similarity"] <= 1.0
    assert db.get(near)["access_count"] == 1
    untracked = db.recall(vec(1), track_access=False)
    assert [h["content"] for h in untracked] == ["near", "far"]
    assert db.recall(vec(1), track_access=False) == untracked
    assert db.recall(vec(1), top_k=0) == []


def test_recall_filters(db):
    remember(db, content="a-private", agent_id="a")
    remember(db, content="b-private", agent_id="b")
    remember(db, content="b-shared", agent_id="b", shared=True, memory_type="semantic")
    remember(db, content="expired", ttl_secs=0)
    seen = lambda **kw: sorted(h["content"] for h in db.recall(vec(1), track_access=False, **kw))
    assert seen(agent_id="a") == ["a-private", "b-shared"]
    assert seen() == ["a-private", "b-private", "b-shared"]
    assert seen(memory_types=["SEMANTIC", "semantic"]) == ["b-shared"]
    assert seen(memory_types=[]) == []
    assert seen(memory_types=("episodic",)) == ["a-private", "b-private"]


def test_recall_and_search_check_the_query_length(db):
    remember(db)
    for call in (db.recall, db.search):
        with pytest.raises(RuntimeError) as error:
            call([1.0, 0.0, 0.0])
        assert str(error.value) == f"vector dimension mismatch: database expects {DIMS}, got 3"


def test_search_is_exact_and_records_nothing(db):
    same = remember(db, content="same", vector=vec(1, 2), agent_id="x")
    opposite = remember(db, content="opposite", vector=vec(-1, -2), agent_id="y")
    remember(db, content="expired", vector=vec(1, 2), ttl_secs=0)
    hits = db.search(vec(1, 2), top_k=10)
    assert [type(h) for h in hits] == [tuple, tuple]
    assert [(d["id"], round(s, 5)) for d, s in hits] == [(same, 1.0), (opposite, -1.0)]
    assert list(hits[0][0]) == MEMORY_KEYS
    assert db.get(same)["access_count"] == 0
    assert db.search(vec(1), top_k=0) == [] and len(db.search(vec(1), 2 ** 64 - 1)) == 2


def test_index_is_built_used_and_dropped(db, reopen):
    with pytest.raises(RuntimeError) as error:
        db.build_index()
    assert str(error.value) == "invalid argument: cannot build an index over an empty database"
    ids = [remember(db, content=str(i), vector=vec(i, 1, -i, 0.5)) for i in range(10)]
    db.build_index()
    assert db.has_index()
    assert db.stats()["index"] == {"vectors": 10, "partitions": 4, "subspaces": 1}
    assert db.recall(vec(3, 1, -3, 0.5), top_k=1)[0]["id"] == ids[3]
    db.flush()
    again = reopen()
    assert again.has_index() and again.stats()["index"]["vectors"] == 10
    again.drop_index()
    assert not again.has_index() and again.stats()["index"] is None
    assert len(again.recall(vec(1), top_k=100)) == 10
