"""File format 8: opt-in with set_format_version, persistent, and snapshots restorable across it."""
import inspect
import os

import pytest

import quarn
from conftest import DIMS, PASSPHRASE, remember, vec

pytestmark = pytest.mark.own_format


def version_on_disk(path):
    with open(path, "rb") as f:
        return int.from_bytes(f.read(6)[4:6], "little")


def contents(db):
    return sorted(m["content"] for m, _ in db.search(vec(1), 1 << 20))


def test_signature_and_refused_values(db):
    assert str(inspect.signature(quarn.Quarn.set_format_version)) == "(self, /, version)"
    for value, error, text in [
        (6, ValueError, "format version must be 7 or 8"),
        (9, ValueError, "format version must be 7 or 8"),
        (-1, OverflowError, "version"),
        ("8", TypeError, "version"),
    ]:
        with pytest.raises(error, match=text):
            db.set_format_version(value)
    with pytest.raises(ValueError, match="format version must be 7 or 8"):
        db.vacuum(format_version=6)


def test_a_fresh_database_switches_at_once(db, db_path, reopen):
    db.set_format_version(8)
    assert version_on_disk(db_path) == 8 and db.snapshots() == []
    remember(db, "first")
    db.flush()
    again = reopen()
    assert contents(again) == ["first"] and len(again.snapshots()) == 1


def test_switching_commits_at_the_next_flush_and_every_snapshot_stays_restorable(db, db_path, reopen):
    remember(db, "one")
    db.flush()
    states = {db.snapshots()[-1]["txn_id"]: contents(db)}
    db.set_format_version(8)
    assert version_on_disk(db_path) == 7
    db.flush()  # commits with nothing else staged
    assert version_on_disk(db_path) == 8 and len(db.snapshots()) == 2
    states[db.snapshots()[-1]["txn_id"]] = contents(db)
    for i in range(300):
        remember(db, f"more {i}", vector=vec(1, i))
    db.flush()
    states[db.snapshots()[-1]["txn_id"]] = contents(db)

    db.set_format_version(7)
    db.flush()
    assert version_on_disk(db_path) == 7
    states[db.snapshots()[-1]["txn_id"]] = contents(db)
    for txn, expected in states.items():
        handle = reopen()
        handle.restore_to(txn)
        assert contents(handle) == expected, txn
        del handle


def test_a_flush_in_format_8_writes_what_changed(tmp_path):
    growth = {}
    for version in (7, 8):
        path = str(tmp_path / f"v{version}.quarn")
        db = quarn.open(path, PASSPHRASE, dimensions=DIMS)
        db.set_format_version(version)
        for i in range(3000):
            remember(db, f"memory {i}", vector=vec(1, i))
        db.flush()
        before = os.path.getsize(path)
        remember(db, "one more")
        db.flush()
        growth[version] = os.path.getsize(path) - before
    # Version 7 writes the whole catalog again; 8 a record page, a leaf, the root, the manifest.
    assert growth[8] <= 8 * 8192 < growth[7]


def restored_states(db, tmp_path, name):
    """What each snapshot restores to, each restored on its own copy of the file."""
    states = {}
    for s in db.snapshots():
        copy = str(tmp_path / f"{name}-{s['txn_id']}.quarn")
        db.export_encrypted(copy)
        handle = quarn.open(copy, PASSPHRASE)
        handle.restore_to(s["txn_id"])
        states[s["txn_id"]] = contents(handle)
        del handle
    return states


def test_vacuum_converts_either_way_and_keeps_every_snapshot(db, db_path, tmp_path):
    for i in range(20):
        remember(db, f"m {i}", vector=vec(1, i))
        db.flush()
    states = restored_states(db, tmp_path, "before")
    for version in (8, 7, 8):
        db.vacuum(format_version=version)
        assert version_on_disk(db_path) == version
        assert restored_states(db, tmp_path, f"after{version}-{len(os.listdir(tmp_path))}") == states
