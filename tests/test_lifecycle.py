"""Opening, flushing, closing, `with`, repr/len/path, dropping without a flush, reopening."""
import gc
import os
import resource
import shutil
import signal
import subprocess

import pytest

import quarn
from conftest import DIMS, PASSPHRASE, remember, run_in_child, vec


def test_repr_len_and_path(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    db = quarn.open("db.quarn", PASSPHRASE, dimensions=DIMS)
    ids = [remember(db) for _ in range(3)]
    db.delete(ids[0])
    assert repr(db) == "<quarn.Quarn path='db.quarn' memories=2>" and len(db) == 2
    db.flush()
    assert repr(db) == "<quarn.Quarn path='db.quarn' memories=2>"
    db.delete(ids[0])
    assert len(db) == 2
    db.delete(ids[1])
    assert len(db) == 1
    assert db.path == "db.quarn"


def test_persists_across_reopening_with_every_field(db, reopen):
    mid = db.remember("hello", "semantic", [0.1, 0.2, 0.3, 0.4], agent_id="a", importance=0.9,
                      session_id="s", ttl_secs=3600, shared=True, metadata={"k": [1, {"x": None}]})
    before = db.get(mid)
    db.flush()
    del db
    again = reopen()
    assert len(again) == 1
    assert again.get(mid) == before


def test_reopening_ignores_dimensions(db, db_path):
    db.flush()
    assert quarn.open(db_path, PASSPHRASE, dimensions=16).stats()["dimensions"] == DIMS


def test_close_only_flushes_and_the_object_stays_usable(db, reopen):
    remember(db)
    assert db.close() is None
    remember(db)
    db.flush()
    assert len(reopen()) == 2


def test_dropping_without_flush_loses_staged_memories(db, reopen):
    kept = remember(db)
    db.flush()
    remember(db)
    del db
    gc.collect()
    again = reopen()
    assert len(again) == 1 and again.get(kept)["id"] == kept


def test_with_block_flushes_even_when_it_raises(db, reopen):
    with pytest.raises(KeyError):
        with db as same:
            assert same is db
            remember(db)
            raise KeyError("boom")
    assert len(reopen()) == 1
    assert db.__exit__(None, None, None) is False


def test_with_block_flush_failure_carries_the_blocks_exception(db, db_path):
    remember(db)
    db.flush()

    def body():
        # Every write past the current end of the file now fails, so the next flush does.
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        size = os.path.getsize(db_path)
        resource.setrlimit(resource.RLIMIT_FSIZE, (size, resource.RLIM_INFINITY))
        try:
            with db:
                remember(db)
                raise KeyError("block")
        except RuntimeError as error:
            return str(error).startswith("io error: ") and isinstance(error.__context__, KeyError)
        return False

    assert run_in_child(body) == 0


@pytest.fixture
def small_tmpfs(tmp_path):
    """A 2 MiB tmpfs (needs root and a system that lets it mount one; skipped otherwise)."""
    mount = tmp_path / "small"
    mount.mkdir()
    if os.geteuid() != 0 or shutil.which("mount") is None:
        pytest.skip("mounting a tmpfs needs root")
    done = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=2m", "tmpfs", str(mount)],
                          capture_output=True)
    if done.returncode != 0:
        pytest.skip("cannot mount a tmpfs here")
    yield mount
    # Lazily: a failed test may still hold a database open on it.
    subprocess.run(["umount", "--lazy", str(mount)], check=True)


def test_full_disk_fails_the_flush_before_its_commit(small_tmpfs):
    path = str(small_tmpfs / "db.quarn")
    spare = small_tmpfs / "spare"
    spare.write_bytes(bytes(256 * 1024))  # freed later to make room
    db = quarn.open(path, PASSPHRASE, dimensions=DIMS)
    committed = 0
    with pytest.raises(RuntimeError, match=r"^io error: No space left on device \(os error 28\)$"):
        for _ in range(1000):
            for _ in range(8):
                remember(db, content="x" * 3000)
            db.flush()
            committed = len(db)
    staged = len(db)
    assert staged > committed > 0
    # The file opens at its last commit on the still-full disk: opening needs no room.
    again = quarn.open(path, PASSPHRASE)
    assert len(again) == committed
    del again
    spare.unlink()
    db.flush()  # the staged memories stayed staged
    del db
    assert len(quarn.open(path, PASSPHRASE)) == staged


def test_open_errors_reach_python_as_runtime_errors(db, db_path, tmp_path):
    db.flush()
    with pytest.raises(RuntimeError) as error:
        quarn.open(db_path, "not the passphrase")
    assert str(error.value) == "wrong passphrase, or the key material has been tampered with"
    empty = tmp_path / "empty.quarn"
    empty.write_bytes(b"")
    with pytest.raises(RuntimeError, match="^io error: "):
        quarn.open(str(empty), PASSPHRASE, dimensions=DIMS)
    assert empty.read_bytes() == b""


def test_new_file_is_one_page_and_non_ascii_passphrase_round_trips(tmp_path):
    path = str(tmp_path / "n.quarn")
    secret = "pässwörd — 🔑"
    db = quarn.open(path, secret, dimensions=DIMS)
    assert os.path.getsize(path) == 8192
    remember(db)
    db.flush()
    del db
    assert len(quarn.open(path, secret)) == 1
    with pytest.raises(RuntimeError, match="^wrong passphrase"):
        quarn.open(path, "passwort")


def test_vector_of_wrong_length_stages_nothing(db):
    with pytest.raises(RuntimeError) as error:
        db.remember("c", "episodic", vec()[:-1])
    assert str(error.value) == f"vector dimension mismatch: database expects {DIMS}, got {DIMS - 1}"
    assert len(db) == 0
