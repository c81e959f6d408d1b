"""Portable export and import: JSON Lines that any JSON reader reads and quarn reads back exactly."""
import json
import math
import os
import resource
import signal
import struct

import pytest

import quarn
from conftest import DIMS, PASSPHRASE, remember, run_in_child, vec


def f32(x):
    return struct.unpack("<f", struct.pack("<f", x))[0]


def same(a, b):
    """Equality of memory dicts in which a NaN equals a NaN."""
    if isinstance(a, float) and isinstance(b, float):
        return struct.pack("<d", a) == struct.pack("<d", b)
    if isinstance(a, dict) and isinstance(b, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    if isinstance(a, list) and isinstance(b, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    return type(a) is type(b) and a == b


@pytest.fixture
def filled(db):
    """Memories of every kind of value, one of them recalled (access statistics), one deleted."""
    ids = [
        remember(db, "plain"),
        remember(db, 'quotes " \\ and\nnewlines, \x00, é, 😀', "semantic", [0.1, -0.0, 1e-45, 3.4e38],
                 agent_id="a", importance=float("nan"), session_id="s", ttl_secs=-5, shared=True,
                 metadata={"i": 1, "f": 2.0, "neg": -7, "big": 2 ** 63 - 1, "l": [None, True, {"b": [1.5]}],
                           "s": "t"}),
        remember(db, "odd floats", "working", [float("inf"), float("-inf"), float("nan"), -float("nan")]),
        remember(db, "deleted", "procedural"),
    ]
    db.recall(vec(1), top_k=1, memory_types=["episodic"])
    db.delete(ids[3])
    return ids


def test_round_trip_keeps_every_field_and_gives_the_same_bytes(db, filled, tmp_path):
    first, again = tmp_path / "first.jsonl", tmp_path / "again.jsonl"
    assert db.export_jsonl(str(first), include_deleted=True) == 4
    other = quarn.open(str(tmp_path / "other.quarn"), PASSPHRASE, dimensions=DIMS)
    assert other.import_jsonl(str(first)) == 4
    assert other.export_jsonl(str(again), include_deleted=True) == 4
    assert first.read_bytes() == again.read_bytes()
    for id in filled[:3]:
        assert same(other.get(id), db.get(id))
    assert db.get(filled[0])["access_count"] == 1
    with pytest.raises(RuntimeError, match="not found"):
        other.get(filled[3])
    assert other.stats()["deleted"] == 1 and len(other) == 3


def test_lines_are_plain_json_with_exact_numbers(db, filled, tmp_path):
    path = tmp_path / "out.jsonl"
    assert db.export_jsonl(str(path)) == 3
    lines = path.read_text(encoding="utf-8").splitlines()
    assert json.loads(lines[0]) == {"format": "quarn-jsonl", "version": 1, "dimensions": DIMS, "memories": 3}
    rows = [json.loads(line) for line in lines[1:]]
    for row in rows:
        assert list(row) == list(db.get(row["id"]))
    assert [f32(x) for x in rows[1]["vector"]] == [f32(0.1), -0.0, f32(1e-45), f32(3.4e38)]
    assert rows[1]["metadata"] == {"big": 2 ** 63 - 1, "f": 2.0, "i": 1, "l": [None, True, {"b": [1.5]}],
                                   "neg": -7, "s": "t"}
    assert type(rows[1]["metadata"]["f"]) is float and type(rows[1]["metadata"]["i"]) is int
    assert rows[1]["importance"] == "NaN" and rows[2]["vector"] == ["Infinity", "-Infinity", "NaN", "NaN:ffc00000"]


def test_import_restores_the_statistics_of_an_existing_id(db, tmp_path):
    id = remember(db)
    path = str(tmp_path / "out.jsonl")
    db.export_jsonl(path)
    for _ in range(3):
        db.recall(vec(1))
    assert db.get(id)["access_count"] == 3
    assert db.import_jsonl(path) == 1
    assert db.get(id)["access_count"] == 0 and len(db) == 1
    db.flush()
    assert quarn.open(db.path, PASSPHRASE).get(id)["access_count"] == 0


def test_import_is_staged_not_flushed(db, reopen, tmp_path):
    remember(db)
    path = str(tmp_path / "out.jsonl")
    db.export_jsonl(path)
    other = quarn.open(str(tmp_path / "other.quarn"), PASSPHRASE, dimensions=DIMS)
    other.import_jsonl(path)
    del other
    assert len(quarn.open(str(tmp_path / "other.quarn"), PASSPHRASE)) == 0


def corrupt(lines):
    """Each case: how to damage an export of two memories, and the line the error must name."""
    header, one, two = lines
    return [
        ([header, one], "line 1: the header announces 2 memories, the file holds 1"),
        ([header, one, two, two], "line 4: the header announces 2 memories, the file holds more"),
        ([header, one, two[:-9]], "line 3: invalid JSON at byte"),
        ([header, one.replace('"vector":[1', '"vector":[1,0'), two], 'line 2: "vector" has more than 4'),
        ([header, one.replace('"created_at":', '"created_at":"'), two],
         'line 2: "created_at" must be an integer, not a string'),
        ([header, one, two.replace('"access_count":0', '"access_count":0.5')],
         'line 3: "access_count" must be an integer'),
        ([header.replace('"dimensions":4', '"dimensions":3'), one, two],
         "line 1: the file holds vectors of 3 dimensions, the database 4"),
        ([header, "", one, two], "line 2: a memory line must be a JSON object, not nothing"),
        ([header, one, " " * (16 << 20) + two], "line 3: the line is longer than the limit of 16 MiB"),
        ([], "line 1: the file is empty"),
    ]


def test_a_bad_line_refuses_the_whole_file(db, tmp_path):
    remember(db, "one")
    remember(db, "two")
    good = tmp_path / "good.jsonl"
    db.export_jsonl(str(good))
    target = quarn.open(str(tmp_path / "target.quarn"), PASSPHRASE, dimensions=DIMS)
    kept = remember(target, "kept")
    for lines, message in corrupt(good.read_text().splitlines()):
        bad = tmp_path / "bad.jsonl"
        bad.write_text("\n".join(lines) + ("\n" if lines else ""))
        with pytest.raises(ValueError) as error:
            target.import_jsonl(str(bad))
        assert str(error.value).startswith(message), (lines, str(error.value))
        assert len(target) == 1 and target.stats()["file_bytes"] == 9 * 8192 + 8192
    assert target.get(kept)["content"] == "kept"


def test_crlf_lines_and_a_missing_last_newline_are_read(db, tmp_path):
    ids = [remember(db, "one"), remember(db, "two")]
    path = tmp_path / "out.jsonl"
    db.export_jsonl(str(path))
    path.write_bytes(path.read_bytes().rstrip(b"\n").replace(b"\n", b"\r\n"))
    other = quarn.open(str(tmp_path / "other.quarn"), PASSPHRASE, dimensions=DIMS)
    assert other.import_jsonl(str(path)) == 2
    assert [other.get(i) for i in ids] == [db.get(i) for i in ids]


def test_paths_and_files_that_cannot_be_used(db, tmp_path):
    remember(db)
    taken = tmp_path / "taken.jsonl"
    taken.write_text("keep me")
    with pytest.raises(RuntimeError, match=r"^io error: File exists \(os error 17\)$"):
        db.export_jsonl(str(taken))
    with pytest.raises(RuntimeError, match=r"^io error: File exists"):
        db.export_jsonl(db.path)
    assert taken.read_text() == "keep me"
    with pytest.raises(RuntimeError, match=r"^io error: No such file or directory \(os error 2\)$"):
        db.import_jsonl(str(tmp_path / "missing.jsonl"))
    with pytest.raises(TypeError, match="argument 'include_deleted'"):
        db.export_jsonl(str(tmp_path / "x.jsonl"), include_deleted=1)
    db.export_jsonl(str(tmp_path / "read_only.jsonl"))
    os.chmod(tmp_path / "read_only.jsonl", 0o444)
    assert db.import_jsonl(str(tmp_path / "read_only.jsonl")) == 1


def test_a_failed_export_leaves_no_file(db, tmp_path):
    for i in range(50):
        remember(db, "x" * 1000 + str(i))
    dest = tmp_path / "out.jsonl"

    def body():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (10_000, resource.RLIM_INFINITY))
        try:
            db.export_jsonl(str(dest))
        except RuntimeError as error:
            return "File too large" in str(error) and not dest.exists()
        return False

    assert run_in_child(body) == 0
