"""vacuum and change_passphrase: what the rewritten file keeps and drops, their arguments, other
handles in other processes, and a vacuum killed at any moment."""
import inspect
import os
import random
import signal
import subprocess
import sys
import textwrap
import time

import pytest

import quarn
from conftest import DIMS, PASSPHRASE, remember, vec

PAGE = 8192


def state(db, tmp_path, name="state.jsonl"):
    """The live memories with every field and statistic, as text."""
    out = tmp_path / name
    if out.exists():
        out.unlink()
    db.export_jsonl(str(out))
    return out.read_text()


def history(db):
    """Seven transactions: rewrites, deletes, an index, recall statistics, a restore."""
    ids = [remember(db, f"memory {i}", vector=vec(1, i)) for i in range(6)]
    db.flush()
    db.remember("written again", "semantic", vec(1, 1), agent_id=None)
    db.delete(ids[4])
    db.flush()
    db.build_index()
    db.flush()
    db.delete(ids[2])
    db.flush()
    db.recall(vec(1), top_k=2)
    db.flush()
    db.restore_to(2)
    remember(db, "staged before the vacuum")
    return ids


def restorable(path, passphrase, tmp_path):
    """The state every snapshot row restores to, each restored on its own copy."""
    db = quarn.open(path, passphrase)
    out = {}
    for row in db.snapshots():
        copy = tmp_path / f"restore-{row['txn_id']}.quarn"
        db.export_encrypted(str(copy))
        other = quarn.open(str(copy), passphrase)
        other.restore_to(row["txn_id"])
        out[row["txn_id"]] = state(other, tmp_path)
        del other
        copy.unlink()
    return out


def test_in_place_keeps_every_snapshot_restorable_and_the_handle_goes_on(db, db_path, tmp_path):
    history(db)
    db.flush()
    before_rows = restorable(db_path, PASSPHRASE, tmp_path)
    snapshots, now, size = db.snapshots(), state(db, tmp_path), os.path.getsize(db_path)
    db.remember("staged", "semantic", vec(0, 1))
    db.delete(db.remember("staged and deleted", "semantic", vec(0, 1)))
    live = len(db)

    result = db.vacuum()
    assert list(result) == ["file_bytes_before", "file_bytes_after", "snapshots", "memories"]
    assert result["file_bytes_before"] > size  # the vacuum's own flush came first
    assert result["file_bytes_after"] == os.path.getsize(db_path) < size
    assert result["snapshots"] == len(snapshots) + 1 == len(db.snapshots())
    assert result["memories"] == len(db) == live
    assert db.snapshots()[:-1] == snapshots
    rows = restorable(db_path, PASSPHRASE, tmp_path)
    assert {txn: rows[txn] for txn in before_rows} == before_rows
    assert sorted(os.listdir(tmp_path)) == ["db.quarn", "state.jsonl"]  # nothing left beside it

    db.remember("after", "semantic", vec(1))
    db.flush()
    again = quarn.open(db_path, PASSPHRASE)
    assert len(again) == live + 1 and again.verify() == live + 1
    assert now.splitlines()[1] in state(again, tmp_path)


def test_keeping_the_newest_snapshot_drops_deleted_memories_and_fits_the_live_data(db, db_path, tmp_path,
                                                                                   file_format):
    keep = [remember(db, f"kept {i}", vector=vec(1, i)) for i in range(50)]
    secret = remember(db, "the secret the user deleted")
    for i in range(200):
        db.remember(f"kept {i % 50}", "episodic", vec(1, i % 50))  # new records, new catalogs
        db.flush()
    db.delete(secret)
    db.flush()
    result = db.vacuum(keep_snapshots=1)
    assert result["snapshots"] == 1 and len(db.snapshots()) == 1
    for call in (db.get, db.delete):
        with pytest.raises(RuntimeError, match="not found"):
            call(secret)
    stats = db.stats()
    assert (stats["memories"], stats["deleted"]) == (250, 0)
    assert "secret" not in state(db, tmp_path, "all.jsonl")
    # the header, the log region, the records, the catalog and one manifest page: in version 7 a
    # page per record and a catalog run of one page; in version 8 the records packed (these small
    # ones, dozens to a page) and a catalog tree of two leaves and a root
    if file_format == 7:
        assert result["file_bytes_after"] == (9 + 250 + 1 + 1) * PAGE
    else:
        record_pages = result["file_bytes_after"] // PAGE - (9 + 3 + 1)
        assert 1 <= record_pages <= 250 // 50
    assert all(db.get(i)["content"].startswith("kept") for i in keep)


@pytest.mark.parametrize("value,error", [
    (0, ValueError), (-1, ValueError), (-2**70, ValueError), ("1", TypeError), (1.5, TypeError)])
def test_keep_snapshots_must_be_a_positive_int(db, value, error):
    remember(db)
    with pytest.raises(error):
        db.vacuum(keep_snapshots=value)
    assert db.snapshots() == []  # refused before its flush


def test_signatures_and_docstrings(db):
    assert str(inspect.signature(db.vacuum)) == (
        "(dest=None, *, keep_snapshots=None, passphrase=None, format_version=None)")
    assert str(inspect.signature(db.change_passphrase)) == "(new_passphrase)"
    assert "vacuum(passphrase=...)" in db.change_passphrase.__doc__
    assert "copies" in db.change_passphrase.__doc__
    with pytest.raises(TypeError):
        db.vacuum(passphrase=b"bytes")
    with pytest.raises(TypeError):
        db.change_passphrase(None)


def test_a_copy_to_dest_under_a_new_passphrase_leaves_the_database_alone(db, db_path, tmp_path):
    history(db)
    db.flush()
    original = open(db_path, "rb").read()
    copy = str(tmp_path / "copy.quarn")
    result = db.vacuum(copy, passphrase="a fresh one")
    assert open(db_path, "rb").read() == original
    assert result["file_bytes_after"] == os.path.getsize(copy)
    with pytest.raises(RuntimeError, match="wrong passphrase"):
        quarn.open(copy, PASSPHRASE)
    assert restorable(copy, "a fresh one", tmp_path) == restorable(db_path, PASSPHRASE, tmp_path)

    # An existing dest is refused before anything, the flush included.
    remember(db, "staged")
    for existing in (copy, db_path):
        before = open(existing, "rb").read()
        with pytest.raises(RuntimeError, match="already exists"):
            db.vacuum(existing)
        assert open(existing, "rb").read() == before
    assert open(db_path, "rb").read() == original


def test_change_passphrase_commits_a_new_wrapping_only(db, db_path, tmp_path):
    history(db)
    db.flush()
    old_copy = str(tmp_path / "old.quarn")
    db.export_encrypted(old_copy)
    now, rows = state(db, tmp_path), len(db.snapshots())
    db.change_passphrase("second")
    assert len(db.snapshots()) == rows + 1
    with pytest.raises(RuntimeError, match="wrong passphrase"):
        quarn.open(db_path, PASSPHRASE)
    assert state(quarn.open(db_path, "second"), tmp_path) == now
    assert len(quarn.open(old_copy, PASSPHRASE)) == len(db)  # copies keep the old one


# --- other handles in another process ---

def child(code, path):
    env = dict(os.environ)
    return subprocess.Popen([sys.executable, "-c", textwrap.dedent(code), path, PASSPHRASE],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, env=env)


HOLD_OPEN = """
    import sys, quarn
    db = quarn.open(sys.argv[1], sys.argv[2])
    print(len(db), flush=True)
    sys.stdin.readline()
    db.remember("from the child", "semantic", [1.0, 0, 0, 0])
    db.flush()
    print(len(db), flush=True)
"""


def test_an_in_place_vacuum_refuses_while_another_process_has_the_file_open(db_path):
    db = quarn.open(db_path, PASSPHRASE, dimensions=DIMS)
    history(db)
    db.flush()
    live = len(db)
    holder = child(HOLD_OPEN, db_path)
    assert int(holder.stdout.readline()) == live
    with pytest.raises(RuntimeError, match="open in another handle"):
        db.vacuum()
    # The holder loses nothing: its commit lands on the file, the vacuum then sees it.
    holder.stdin.write("\n")
    holder.stdin.flush()
    assert int(holder.stdout.readline()) == live + 1
    assert holder.wait() == 0
    with pytest.raises(RuntimeError, match="changed by another handle"):
        db.vacuum()  # this handle's view is stale: it refuses, as its flush would
    del db
    db = quarn.open(db_path, PASSPHRASE)
    assert db.vacuum()["memories"] == live + 1


def test_a_process_opening_after_or_during_vacuums_sees_the_new_file(db_path):
    db = quarn.open(db_path, PASSPHRASE, dimensions=DIMS)
    for i in range(300):
        remember(db, f"m{i}", vector=vec(1, i))
    db.flush()
    del db
    opener = child("""
        import sys, time, quarn
        end = time.monotonic() + 3
        n = 0
        while time.monotonic() < end:
            db = quarn.open(sys.argv[1], sys.argv[2])
            assert len(db) == 300 and db.verify() == 300
            del db
            n += 1
            time.sleep(0.02)  # gaps in which a vacuum can run
        print(n, flush=True)
    """, db_path)
    done = refused = 0
    end = time.monotonic() + 3
    while time.monotonic() < end:
        db = quarn.open(db_path, PASSPHRASE)
        try:
            db.vacuum()
            done += 1
        except RuntimeError as e:
            assert "open in another handle" in str(e)
            refused += 1
        del db
    assert opener.wait() == 0, "the opener failed"
    assert int(opener.stdout.readline()) > 0 and done > 0
    assert len(quarn.open(db_path, PASSPHRASE)) == 300


# --- a vacuum killed at any moment ---

VACUUM = """
    import sys, quarn
    db = quarn.open(sys.argv[1], sys.argv[2])
    print("open", flush=True)
    db.vacuum(keep_snapshots=2)
    print("done", flush=True)
"""


def test_a_vacuum_killed_at_any_moment_leaves_the_old_or_the_new_file(db_path, tmp_path):
    db = quarn.open(db_path, PASSPHRASE, dimensions=DIMS)
    ids = []
    for i in range(2000):
        ids.append(remember(db, f"memory {i}", vector=vec(1, i)))
        if i % 200 == 0:
            db.flush()
    db.flush()
    for i in ids[::3]:
        db.delete(i)
    db.flush()
    expected = state(db, tmp_path)
    del db
    pristine = open(db_path, "rb").read()

    # How long a vacuum takes once the child has opened the file.
    run = child(VACUUM, db_path)
    assert run.stdout.readline() == "open\n"
    opened = time.monotonic()
    assert run.stdout.readline() == "done\n" and run.wait() == 0
    span = time.monotonic() - opened
    vacuumed = os.path.getsize(db_path)
    assert vacuumed < len(pristine)

    rng = random.Random(7)
    # Kills at random moments, and one at once and one well after the vacuum's usual end, so that
    # both outcomes are seen however the machine's load stretches the vacuum.
    delays = [0.0, span * 4] + [rng.uniform(0, span * 1.2) for _ in range(38)]
    outcomes = set()
    for attempt, delay in enumerate(delays):
        open(db_path, "wb").write(pristine)
        run = child(VACUUM, db_path)
        assert run.stdout.readline() == "open\n"
        time.sleep(delay)
        run.send_signal(signal.SIGKILL)
        run.wait()
        size = os.path.getsize(db_path)
        assert size in (len(pristine), vacuumed), attempt
        outcomes.add(size)
        db = quarn.open(db_path, PASSPHRASE)
        assert state(db, tmp_path) == expected, attempt
        assert db.verify() == len(db)
        del db
    assert outcomes == {len(pristine), vacuumed}  # the kills landed before and after the rename
    # A file left beside the database by a killed vacuum is cleared by the next one.
    (tmp_path / "db.quarn.vacuum").write_bytes(b"left over")
    db = quarn.open(db_path, PASSPHRASE)
    db.vacuum(keep_snapshots=2)
    assert sorted(os.listdir(tmp_path)) == ["db.quarn", "state.jsonl"]
