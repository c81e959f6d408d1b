"""The data methods of Quarn: get/delete, about, stats, verify, snapshots and restores, the cache,
the default manifest and export."""
import os
import time

import pytest

import quarn
from conftest import DIMS, PASSPHRASE, flip_byte, remember, vec

PAGE = 8192


def test_get_and_delete_of_missing_and_deleted_memories(db):
    mid = remember(db)
    db.delete(mid)
    with pytest.raises(RuntimeError) as error:
        db.get(mid.lower())
    assert str(error.value) == f"memory '{mid}' not found"
    assert db.delete(mid) is None
    unknown = "01ARZ3NDEKTSV4RRFFQ69G5FAV"
    with pytest.raises(RuntimeError, match=f"^memory '{unknown}' not found$"):
        db.delete(unknown)


def test_about_lists_onboarding_memories_manifest_first(db):
    def onboarding(content, area="onboarding", importance=0.5, **metadata):
        return remember(db, content=content, importance=importance, metadata={"area": area, **metadata})

    onboarding("low", importance=0.2)
    onboarding("caps", area="ONBOARDING", importance=0.9)
    onboarding("number", area=1)
    onboarding("spaced", area="onboarding ")
    onboarding("manifest", importance=0.0, topic="Manifest")
    onboarding("first-equal", importance=0.6)
    onboarding("second-equal", importance=0.6)
    remember(db, content="plain")
    assert [m["content"] for m in db.about()] == [
        "manifest", "caps", "first-equal", "second-equal", "low"]


def test_insert_default_manifest(db):
    mid = db.insert_default_manifest()
    got = db.get(mid)
    assert f"Fresh {DIMS}-dimensional database created by `quarn init`." in got["content"]
    assert got["content"].startswith("QUARN MANIFEST (scaffold) \u2014 ")
    assert got["vector"] == [0.0] * DIMS
    assert (got["memory_type"], got["agent_id"], got["scope"], got["importance"]) == (
        "semantic", "quarn", "shared", 1.0)
    assert got["metadata"] == {"area": "onboarding", "dimensions": DIMS, "engine_version": "0.3.2",
                               "scaffold": True, "topic": "manifest"}
    assert db.about()[0]["id"] == mid


def test_stats_keys_and_values(db):
    remember(db, agent_id="b")
    remember(db, agent_id="a")
    db.delete(remember(db, agent_id="z"))
    stats = db.stats()
    assert list(stats) == ["memories", "deleted", "dimensions", "file_bytes", "agents", "encrypted",
                           "created_at", "wal_pages", "snapshots", "index"]
    assert (stats["memories"], stats["deleted"], stats["dimensions"]) == (2, 1, DIMS)
    assert stats["agents"] == ["a", "b"] and stats["encrypted"] is True
    assert stats["file_bytes"] % PAGE == 0 and stats["file_bytes"] >= 9 * PAGE
    assert stats["wal_pages"] >= 8 and stats["snapshots"] == 0 and stats["index"] is None
    assert abs(stats["created_at"] - time.time()) < 60


def test_snapshots_and_restores(db):
    assert db.snapshots() == []
    with pytest.raises(RuntimeError) as error:
        db.restore_to(7)
    assert str(error.value) == "memory 'snapshot for transaction 7' not found"
    with pytest.raises(RuntimeError) as error:
        db.restore_to_time(-5)
    assert str(error.value) == "memory 'no snapshot at or before time -5' not found"

    first = remember(db)
    db.flush()
    remember(db)
    db.flush()
    snapshots = db.snapshots()
    assert [list(s) for s in snapshots] == [["txn_id", "created_at", "memory_count"]] * 2
    assert [(s["txn_id"], s["memory_count"]) for s in snapshots] == [(1, 1), (2, 2)]

    assert db.restore_to(1) == snapshots[0]
    assert len(db) == 1 and db.get(first)
    assert [s["txn_id"] for s in db.snapshots()] == [1, 2, 3]
    newest = db.snapshots()[-1]
    assert db.restore_to_time(2 ** 62) == newest
    assert len(db) == 1


def test_set_max_snapshots_prunes_at_the_next_flush(db):
    for _ in range(3):
        remember(db)
        db.flush()
    db.set_max_snapshots(2)
    assert len(db.snapshots()) == 3
    remember(db)
    db.flush()
    assert [s["txn_id"] for s in db.snapshots()] == [3, 4]
    db.set_max_snapshots(0)
    for _ in range(3):
        remember(db)
        db.flush()
    assert len(db.snapshots()) == 5


def test_cache_capacity(db):
    assert db.cache_stats() == (0, 8192)
    db.set_cache_capacity(0)
    assert db.cache_stats()[1] == 1
    db.set_cache_capacity(2 ** 64 - 1)
    remember(db)
    cached, capacity = db.cache_stats()
    assert cached >= 1 and capacity == 2 ** 64 - 1


def test_verify_counts_staged_and_flushed_records(db):
    assert db.verify() == 0
    remember(db)
    db.flush()
    db.delete(remember(db))
    remember(db)
    assert db.verify() == 2


def test_verify_reads_the_file_not_the_cache(db, db_path):
    mid = remember(db)
    db.flush()
    db.get(mid)  # the record's page is now cached
    with open(db_path, "r+b") as other:  # damage it behind the open handle
        other.seek(9 * PAGE + 50)
        byte = other.read(1)
        other.seek(9 * PAGE + 50)
        other.write(bytes([byte[0] ^ 1]))
    with pytest.raises(RuntimeError, match="^page 9 failed authentication"):
        db.verify()


def test_export_is_a_byte_copy_with_the_same_mode(db, db_path, tmp_path):
    remember(db)
    os.chmod(db_path, 0o640)
    dest = str(tmp_path / "copy.quarn")
    with open(dest, "wb") as f:
        f.write(b"x" * 100000)  # an existing, longer file is replaced
    assert db.export_encrypted(dest) is None
    assert open(dest, "rb").read() == open(db_path, "rb").read()
    assert os.stat(dest).st_mode & 0o777 == 0o640
    assert len(quarn.open(dest, PASSPHRASE)) == 1


def test_export_refuses_the_database_itself(db, db_path, tmp_path):
    remember(db)
    link = str(tmp_path / "link.quarn")
    os.symlink(db_path, link)
    for dest in (db_path, link):
        with pytest.raises(RuntimeError, match="^export failed: "):
            db.export_encrypted(dest)
    del db
    assert len(quarn.open(db_path, PASSPHRASE)) == 1


def test_export_after_chdir_copies_the_open_database(tmp_path, monkeypatch):
    (tmp_path / "a").mkdir()
    (tmp_path / "b").mkdir()
    monkeypatch.chdir(tmp_path / "a")
    db = quarn.open("db.quarn", PASSPHRASE, dimensions=DIMS)
    remember(db)
    monkeypatch.chdir(tmp_path / "b")
    quarn.open("db.quarn", "other", dimensions=DIMS)  # a different file under the same name
    db.export_encrypted(str(tmp_path / "out.quarn"))
    assert (tmp_path / "out.quarn").read_bytes() == (tmp_path / "a" / "db.quarn").read_bytes()


def test_export_failure_message(db, tmp_path):
    with pytest.raises(RuntimeError, match="^export failed: "):
        db.export_encrypted(str(tmp_path / "no" / "such" / "dir.quarn"))
