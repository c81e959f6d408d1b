"""The module's names, argument binding, argument conversion and re-entrant use of an object."""
import array
import inspect
import math
import os

import pytest

import quarn
from conftest import DIMS, PASSPHRASE, remember, vec


def test_module_names_in_order():
    names = [n for n in vars(quarn) if not n.startswith("__") or n == "__version__"]
    assert names == ["Quarn", "Session", "Turn", "open", "__version__"]
    assert quarn.__version__ == "0.3.2"
    assert quarn.__doc__ == "The `quarn` Python extension module."


@pytest.mark.parametrize("cls", ["Quarn", "Session"])
def test_classes_without_constructor(cls):
    with pytest.raises(TypeError, match=f"^No constructor defined for {cls}$"):
        getattr(quarn, cls)()


def test_every_method_has_a_signature():
    for cls in (quarn.Quarn, quarn.Session):
        for name, member in vars(cls).items():
            if callable(member) and (not name.startswith("_") or name in ("__enter__", "__exit__")):
                params = list(inspect.signature(getattr(cls, name)).parameters)
                assert params[0] == "self", name
    assert str(inspect.signature(quarn.open)) == "(path, passphrase, dimensions=None)"
    assert str(inspect.signature(quarn.Turn)) == "(role, content, vector)"
    assert str(inspect.signature(quarn.Turn.user)) == "(content, vector)"
    assert str(inspect.signature(quarn.Quarn.remember)) == (
        "(self, /, content, memory_type, vector, *, agent_id=None, importance=None, "
        "session_id=None, ttl_secs=None, shared=False, metadata=None)")


def test_method_table_order_and_docstrings():
    names = [n for n in vars(quarn.Quarn) if not n.startswith("__") or n in ("__enter__", "__exit__")]
    assert names[:21] == [
        "remember", "recall", "search", "get", "delete", "flush", "close", "verify", "about",
        "insert_default_manifest", "build_index", "drop_index", "has_index", "snapshots",
        "restore_to", "restore_to_time", "set_cache_capacity", "cache_stats",
        "set_max_snapshots", "stats", "export_encrypted"]
    assert quarn.Quarn.flush.__doc__ == "Persist all pending changes as one atomic transaction."
    assert quarn.Quarn.close.__doc__ == "Flush and release; the object should not be used afterwards."
    assert quarn.Quarn.path.__doc__ == "Filesystem path of this database."
    assert quarn.Quarn.__doc__ == "An open, encrypted Quarn database."
    assert quarn.Quarn.about.__doc__.startswith("Return the database's self-describing onboarding")
    assert "(256)" in quarn.Quarn.set_max_snapshots.__doc__


DOCSTRINGS = {
    quarn.Quarn.remember: "Store a memory; returns its ULID as a string.",
    quarn.Quarn.get: "Fetch one memory by id; raises `RuntimeError` if it does not exist.",
    quarn.Quarn.delete: "Soft-delete a memory by id.",
    quarn.Quarn.stats: "Summary statistics as a dict.",
    quarn.Quarn.verify: "Decrypt and re-validate every live record; returns the count checked.",
    quarn.Quarn.snapshots: "List restorable snapshots \u2014 one dict per committed transaction.",
    quarn.Quarn.restore_to: "Restore the database to the snapshot from transaction `txn_id`.",
    quarn.Quarn.restore_to_time: "Restore to the latest snapshot committed at or before `unix_secs`.",
    quarn.Quarn.set_cache_capacity: "Bound the page cache to `pages` decrypted pages.",
    quarn.Quarn.cache_stats: "Page-cache occupancy as `(pages_cached, capacity)`.",
    quarn.Quarn.has_index: "Whether an approximate index is currently loaded.",
    quarn.Quarn.drop_index: "Drop the approximate index; recall reverts to exact scan.",
    quarn.Quarn.export_encrypted: "Flush, then copy the encrypted file to `dest`. The file is already\n"
                                  "encrypted, so the export is a plain byte-for-byte copy.",
    quarn.Quarn.session: "Begin a conversation `Session` for `agent_id`.\n\nThe session records turns "
                         "as working memory and, when closed,\nconsolidates them into episodic memory.",
    quarn.Session.id: "This session's unique id (a ULID string), stamped on every turn.",
    quarn.Session.agent: "The agent this session belongs to.",
    quarn.Session.turn_ids: "Ids of the turns recorded so far, in order.",
    quarn.Session.turn_count: "How many turns have been recorded.",
    quarn.Session.add_turn: "Record a conversation turn as a `working` memory tagged with this\n"
                            "session and agent. Writes are staged until `close` (or any flush).",
    quarn.Session.__exit__: "Exiting the `with` block consolidates the session (like `close`),\n"
                            "unless it was already closed or discarded.",
    quarn.Turn.user: "Shorthand for a user turn.",
    quarn.Turn.assistant: "Shorthand for an assistant turn.",
    quarn.Turn.system: "Shorthand for a system turn.",
}


def test_docstrings():
    for member, doc in DOCSTRINGS.items():
        assert member.__doc__ == doc
    assert quarn.Quarn.insert_default_manifest.__doc__.endswith(
        "ULID as a string. Does not flush.")
    assert quarn.Session.close.__doc__.startswith("End the session, **consolidating** its turns")
    assert quarn.Session.discard.__doc__.startswith("End the session, **discarding** its turns")
    assert quarn.Turn.__doc__.startswith("One conversation turn, recorded into working memory")
    assert quarn.Session.__doc__.startswith("A scoped conversation session over a [`Quarn`] database.")


@pytest.mark.parametrize("method, args, kwargs, message", [
    ("get", (), {}, "Quarn.get() missing 1 required positional argument: 'id'"),
    ("get", ("a", "b"), {}, "Quarn.get() takes 1 positional argument but 2 were given"),
    ("get", (), {"x": 1}, "Quarn.get() got an unexpected keyword argument 'x'"),
    ("get", ("a",), {"id": "a"}, "Quarn.get() got multiple values for argument 'id'"),
    ("flush", (1,), {}, "Quarn.flush() takes 0 positional arguments but 1 was given"),
    ("search", (1, 2, 3), {}, "Quarn.search() takes from 1 to 2 positional arguments but 3 were given"),
    ("remember", (), {}, "Quarn.remember() missing 3 required positional arguments: "
                         "'content', 'memory_type', and 'vector'"),
    ("remember", ("c", "episodic"), {}, "Quarn.remember() missing 1 required positional argument: 'vector'"),
    ("remember", ("c", "episodic", [0] * 4, "agent"), {},
     "Quarn.remember() takes 3 positional arguments but 4 were given"),
    ("remember", ("c", "episodic", [0] * 4, "agent"), {"shared": True},
     "Quarn.remember() takes 3 positional arguments but 4 positional arguments "
     "(and 1 keyword-only argument) were given"),
])
def test_argument_binding_uses_pythons_wording(db, method, args, kwargs, message):
    with pytest.raises(TypeError) as error:
        getattr(db, method)(*args, **kwargs)
    assert str(error.value) == message


@pytest.mark.parametrize("call, error, message", [
    (lambda db: db.remember(1, "episodic", vec()), TypeError, "argument 'content': "),
    (lambda db: db.remember("c", 1, vec()), TypeError, "argument 'memory_type': "),
    (lambda db: db.remember("c", "episodic", "abcd"), TypeError,
     "argument 'vector': Can't extract `str` to `Vec`"),
    (lambda db: db.remember("c", "episodic", [1, "x", 0, 0]), TypeError, "argument 'vector': "),
    (lambda db: db.remember("c", "episodic", 5), TypeError, "argument 'vector': "),
    (lambda db: db.remember("c", "episodic", vec(), shared=1), TypeError, "argument 'shared': "),
    (lambda db: db.remember("c", "episodic", vec(), importance="x"), TypeError,
     "argument 'importance': "),
    (lambda db: db.remember("c", "episodic", vec(), ttl_secs=2 ** 63), OverflowError,
     "argument 'ttl_secs': "),
    (lambda db: db.remember("c", "episodic", vec(), ttl_secs=1.5), TypeError, "argument 'ttl_secs': "),
    (lambda db: db.remember("c", "episodic", vec(), metadata=[1]), TypeError, "argument 'metadata': "),
    (lambda db: db.recall(vec(), top_k=-1), OverflowError, "argument 'top_k': "),
    (lambda db: db.recall(vec(), track_access=1), TypeError, "argument 'track_access': "),
    (lambda db: db.recall(vec(), memory_types="episodic"), TypeError, "argument 'memory_types': "),
    (lambda db: db.restore_to(2 ** 64), OverflowError, "argument 'txn_id': "),
    (lambda db: db.restore_to_time(-2 ** 63 - 1), OverflowError, "argument 'unix_secs': "),
    (lambda db: db.set_cache_capacity(-1), OverflowError, "argument 'pages': "),
    (lambda db: db.get(5), TypeError, "argument 'id': "),
])
def test_conversion_errors_name_the_argument(db, call, error, message):
    with pytest.raises(error) as raised:
        call(db)
    assert type(raised.value) is error
    assert str(raised.value).startswith(message)
    assert len(db) == 0


@pytest.mark.parametrize("text, expected", [
    ("Semantic", "semantic"), ("SEMANTIC", "semantic"), ("working", "working"),
    ("ePiSoDiC", "episodic"), ("Procedural", "procedural"),
])
def test_parse_type_ignores_ascii_case(db, text, expected):
    assert db.get(remember(db, memory_type=text))["memory_type"] == expected


@pytest.mark.parametrize("text", ["semantic ", "sem", "", "épisodic", "Working\0", "\udc80"])
def test_parse_type_refuses_other_texts(db, text):
    with pytest.raises(ValueError) as error:
        remember(db, memory_type=text)
    assert str(error.value) == f"unknown memory_type '{text}'"
    with pytest.raises(ValueError, match="^unknown memory_type"):
        db.recall(vec(1), memory_types=["episodic", text])


@pytest.mark.parametrize("text", ["nope", "0" * 25, "0" * 27, "0" * 25 + "U"])
def test_invalid_ids_are_value_errors(db, text):
    for method in (db.get, db.delete):
        with pytest.raises(ValueError) as error:
            method(text)
        assert str(error.value) == f"invalid memory id '{text}'"


def test_metadata_round_trip_keeps_values_types_and_key_order(db):
    metadata = {"n": 1, "x": True, "f": 2.5, "s": "t", "l": [1, None], "d": {"b": 1, "a": 2},
                "big": 2 ** 63 - 1, "small": -(2 ** 63), "huge": 2 ** 64, "nan": float("nan"),
                "inf": float("-inf")}
    got = db.get(remember(db, metadata=metadata))["metadata"]
    assert list(got) == sorted(metadata)
    assert list(got["d"]) == ["a", "b"]
    assert got["n"] == 1 and type(got["n"]) is int
    assert got["x"] is True and got["f"] == 2.5 and got["s"] == "t" and got["l"] == [1, None]
    assert got["big"] == 2 ** 63 - 1 and got["small"] == -(2 ** 63)
    assert got["huge"] == 1.8446744073709552e19 and type(got["huge"]) is float
    assert got["nan"] is None and got["inf"] is None


@pytest.mark.parametrize("metadata", [{"t": (1, 2)}, {"k": b"x"}, {"s": {1}}, {"l": [object()]},
                                      {"d": {"k": {"deep": (1,)}}}, {"i": 10 ** 400}])
def test_metadata_values_of_other_types_are_refused(db, metadata):
    with pytest.raises(TypeError) as error:
        remember(db, metadata=metadata)
    assert str(error.value) == "metadata values must be null, bool, int, float, str, list, or dict"
    assert len(db) == 0


@pytest.mark.parametrize("metadata", [{1: "x"}, {"d": {2: "x"}}])
def test_metadata_keys_must_be_str(db, metadata):
    with pytest.raises(TypeError):
        remember(db, metadata=metadata)
    assert len(db) == 0


def test_metadata_accepts_index_float_and_subclasses(db):
    class Index:
        def __index__(self):
            return -7

    class Float:
        def __float__(self):
            return 0.25

    class L(list):
        pass

    class D(dict):
        pass

    got = db.get(remember(db, metadata={"i": Index(), "f": Float(), "l": L([1]), "d": D(a=1)}))
    assert got["metadata"] == {"d": {"a": 1}, "f": 0.25, "i": -7, "l": [1]}


def nested(levels, leaf=1):
    value = leaf
    for _ in range(levels):
        value = [value]
    return value


def depth(value):
    """Levels of single-item lists around a leaf (iteratively: == would exceed Python's recursion
    limit on these)."""
    levels = 0
    while isinstance(value, list):
        (value,) = value
        levels += 1
    return levels, value


def test_metadata_nesting_stops_at_the_readers_limit(db, reopen):
    # The record is level 1 and its metadata map level 2, so values may nest 1022 containers.
    deepest = nested(1022)
    mid = remember(db, metadata={"v": deepest, "d": {"k": nested(1021)}})
    for too_deep in (nested(1023), {"k": nested(1022)}):
        with pytest.raises(ValueError, match="^metadata nested too deeply$"):
            remember(db, metadata={"v": too_deep})
    loop = []
    loop.append(loop)
    cyclic = {}
    cyclic["self"] = cyclic
    for value in (loop, cyclic):
        with pytest.raises(ValueError, match="^metadata nested too deeply$"):
            remember(db, metadata={"v": value})
    assert len(db) == 1
    db.flush()
    assert depth(reopen().get(mid)["metadata"]["v"]) == (1022, 1)


def test_conversion_reads_a_snapshot_of_containers_changed_by_callbacks(db):
    target = [1.0, 2.0]
    table = {"a": 1}

    class Shrinks:
        def __float__(self):
            target.clear()
            return 3.0

        def __index__(self):
            table.clear()
            return 5

    vector = [1.0, Shrinks(), 0.5, 0.25]
    target = vector
    metadata = {"x": Shrinks(), "y": 2}
    table = metadata
    got = db.get(db.remember("c", "episodic", vector, metadata=metadata))
    assert got["vector"] == [1.0, 3.0, 0.5, 0.25]
    assert got["metadata"] == {"x": 5, "y": 2}


@pytest.mark.parametrize("make", [
    list, tuple, lambda v: array.array("f", v), lambda v: array.array("d", v),
    lambda v: memoryview(array.array("d", v)), lambda v: _Seq(v),
])
def test_vectors_from_any_sequence_give_the_same_float32_values(db, make):
    values = [0.1, -2.5, 1e-8, 3.0]
    got = db.get(db.remember("c", "episodic", make(values)))["vector"]
    assert got == [0.10000000149011612, -2.5, 9.99999993922529e-09, 3.0]


class _Seq:
    """A sequence that claims to be enormous: the binder must not trust its __len__."""

    def __init__(self, values):
        self.values = values

    def __len__(self):
        return 2 ** 62

    def __getitem__(self, i):
        return self.values[i]


def test_vector_of_ints_and_numbers_with_float(db):
    class Half:
        def __float__(self):
            return 0.5

    assert db.get(db.remember("c", "episodic", [1, True, Half(), 2 ** 70]))["vector"] == [
        1.0, 1.0, 0.5, float(2 ** 70)]


@pytest.mark.parametrize("given, stored", [(7.5, 1.0), (-1, 0.0), (None, 0.5), (0.3, 0.30000001192092896)])
def test_importance_is_clamped(db, given, stored):
    assert db.get(remember(db, importance=given))["importance"] == stored
    assert math.isnan(db.get(remember(db, importance=float("nan")))["importance"])


def test_memory_dict_keys_in_order_and_values(db):
    mid = db.remember("hello", "Working", [0.1, 0, 0, 0], agent_id="a1", importance=0.75,
                      session_id="s1", ttl_secs=-5, shared=True, metadata={"k": "v"})
    got = db.get(mid.lower())
    assert list(got) == ["id", "content", "memory_type", "vector", "agent_id", "session_id", "scope",
                         "created_at", "accessed_at", "access_count", "importance", "ttl_secs",
                         "metadata"]
    assert got["id"] == mid and len(mid) == 26
    assert (got["content"], got["memory_type"], got["agent_id"], got["session_id"], got["scope"]) == (
        "hello", "working", "a1", "s1", "shared")
    assert got["created_at"] == got["accessed_at"] > 0 and got["access_count"] == 0
    assert (got["importance"], got["ttl_secs"], got["metadata"]) == (0.75, -5, {"k": "v"})
    plain = db.get(remember(db))
    assert (plain["agent_id"], plain["session_id"], plain["scope"], plain["ttl_secs"]) == (
        "default", None, "private", None)


class Reenter:
    """A number whose conversion calls back into the database."""

    def __init__(self, callback):
        self.callback = callback

    def __float__(self):
        self.callback()
        return 0.0

    def __index__(self):
        self.callback()
        return 1


@pytest.mark.parametrize("call, message", [
    (lambda db: db.remember("c", "episodic", [Reenter(db.flush), 0, 0, 0]), "Already borrowed"),
    (lambda db: db.remember("c", "episodic", [Reenter(lambda: len(db)), 0, 0, 0]),
     "Already mutably borrowed"),
    (lambda db: db.remember("c", "episodic", vec(), importance=Reenter(lambda: db.path)),
     "Already mutably borrowed"),
    (lambda db: db.recall(vec(1), top_k=Reenter(db.stats)), "Already borrowed"),
    (lambda db: db.search([Reenter(lambda: repr(db)), 1, 0, 0]), "Already mutably borrowed"),
    (lambda db: db.set_cache_capacity(Reenter(db.snapshots)), "Already mutably borrowed"),
    (lambda db: db.session("a").recall(vec(1), top_k=Reenter(db.flush)), "Already borrowed"),
])
def test_reentry_during_conversion_is_refused(db, call, message):
    with pytest.raises(RuntimeError) as error:
        call(db)
    assert str(error.value) == message
    # The refused call released everything it held.
    remember(db)
    db.flush()
    assert len(db) == 1


def test_session_reentry_is_refused(db):
    session = db.session("a")
    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        session.recall(vec(1), top_k=Reenter(session.turn_count))
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        session.recall(vec(1), top_k=Reenter(session.close))
    assert session.turn_count() == 0


def test_open_argument_errors(tmp_path):
    missing = str(tmp_path / "missing.quarn")
    with pytest.raises(ValueError) as error:
        quarn.open(missing, PASSPHRASE)
    assert str(error.value) == "dimensions is required when creating a new database"
    with pytest.raises(RuntimeError, match="^invalid argument: dimensions must be > 0$"):
        quarn.open(missing, PASSPHRASE, dimensions=0)
    with pytest.raises(TypeError, match="^argument 'passphrase': "):
        quarn.open(missing, b"bytes", dimensions=DIMS)
    with pytest.raises(OverflowError, match="^argument 'dimensions': "):
        quarn.open(missing, PASSPHRASE, dimensions=-1)
    assert not (tmp_path / "missing.quarn").exists()


@pytest.mark.parametrize("call", [
    lambda db, path: quarn.open(path, PASSPHRASE, dimensions=DIMS),
    lambda db, path: quarn.open(path, PASSPHRASE),
    lambda db, path: db.export_encrypted(path),
    lambda db, path: db.export_jsonl(path),
    lambda db, path: db.import_jsonl(path),
], ids=["open-create", "open-existing", "export_encrypted", "export_jsonl", "import_jsonl"])
def test_a_nul_in_any_path_is_refused_before_the_file_system(db, tmp_path, call):
    # The file system would cut the path at the NUL and act on `victim`.
    remember(db, "staged")
    victim = tmp_path / "victim"
    victim.write_bytes(b'{"keep": "me"}\n')
    before = sorted(os.listdir(tmp_path))
    with pytest.raises(ValueError, match="^embedded null byte$"):
        call(db, str(victim) + "\0.quarn")
    assert sorted(os.listdir(tmp_path)) == before
    assert victim.read_bytes() == b'{"keep": "me"}\n'
    assert len(db) == 1
