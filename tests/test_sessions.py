"""Sessions record turns as working memories and consolidate or discard them when they end."""
import pytest

import quarn
from conftest import remember, vec


@pytest.fixture
def session(db):
    return db.session("agent-1")


def test_turns(db):
    turn = quarn.Turn.user("hi", vec(1))
    assert (turn.role, turn.content, turn.vector) == ("user", "hi", vec(1))
    assert turn.vector is not turn.vector
    assert repr(quarn.Turn("system", "be brief", vec())) == "<quarn.Turn role='system' content='be brief'>"
    assert quarn.Turn.assistant("a", vec()).role == "assistant"
    assert quarn.Turn.system("s", (1, 2, 3, 4)).vector == [1.0, 2.0, 3.0, 4.0]
    with pytest.raises(ValueError) as error:
        quarn.Turn("User", "x", vec())
    assert str(error.value) == "unknown role 'User' (expected user, assistant, or system)"
    with pytest.raises(TypeError, match="^argument 'vector': Can't extract `str` to `Vec`$"):
        quarn.Turn.user("x", "abcd")
    assert quarn.Turn(vector=vec(), content="kw", role="user").content == "kw"
    with pytest.raises(TypeError) as error:
        quarn.Turn("user", "x")
    assert str(error.value) == "Turn.__new__() missing 1 required positional argument: 'vector'"
    with pytest.raises(TypeError, match=r"^Turn.__new__\(\) got an unexpected keyword argument 'x'$"):
        quarn.Turn("user", "x", vec(), x=1)


def test_new_session(db, session):
    assert session.turn_count() == 0 and session.turn_ids() == []
    assert session.agent() == "agent-1" and len(session.id()) == 26
    assert repr(session) == f"<quarn.Session id='{session.id()}' agent='agent-1' turns=0 open=true>"
    assert db.session("agent-1").id() != session.id()
    assert len(db) == 0 and db.snapshots() == []


def test_add_turn_stores_a_working_memory(db, session):
    mid = session.add_turn(quarn.Turn.user("hello", vec(1, 2)))
    got = db.get(mid)
    assert (got["memory_type"], got["agent_id"], got["session_id"], got["scope"]) == (
        "working", "agent-1", session.id(), "private")
    assert (got["content"], got["vector"], got["metadata"], got["importance"]) == (
        "hello", vec(1, 2), {"role": "user"}, 0.5)
    assert session.turn_ids() == [mid]
    with pytest.raises(TypeError, match="^argument 'turn': "):
        session.add_turn("hello")
    with pytest.raises(RuntimeError, match="^vector dimension mismatch"):
        session.add_turn(quarn.Turn.user("short", [1.0]))
    assert session.turn_count() == 1


def test_close_promotes_working_turns_and_flushes(db, session, reopen):
    ids = [session.add_turn(quarn.Turn.user(f"t{i}", vec(i))) for i in range(3)]
    db.delete(ids[1])
    assert session.close() == 2
    again = reopen()
    assert [again.get(i)["memory_type"] for i in (ids[0], ids[2])] == ["episodic", "episodic"]
    assert again.get(ids[0])["metadata"] == {"role": "user"}
    for call in (session.close, session.discard, lambda: session.recall(vec(1)),
                 lambda: session.add_turn(quarn.Turn.user("x", vec()))):
        with pytest.raises(RuntimeError, match="^session is already closed$"):
            call()
    assert session.turn_count() == 3 and session.turn_ids() == ids
    assert repr(session).endswith("turns=3 open=false>")
    assert session.__exit__(None, None, None) is False


def test_discard_deletes_every_turn_and_flushes(db, session, reopen):
    ids = [session.add_turn(quarn.Turn.assistant(f"t{i}", vec(i))) for i in range(2)]
    db.delete(ids[0])  # an already deleted turn still counts
    assert session.discard() == 2
    assert len(db) == 0 and len(reopen()) == 0


def test_with_block_consolidates_even_when_it_raises(db, reopen):
    with pytest.raises(KeyError):
        with db.session("a") as session:
            mid = session.add_turn(quarn.Turn.user("x", vec(1)))
            raise KeyError("boom")
    assert reopen().get(mid)["memory_type"] == "episodic"
    with db.session("b") as discarded:
        discarded.discard()
    assert len(reopen()) == 1


def test_session_recall_is_scoped_to_its_agent(db, session):
    session.add_turn(quarn.Turn.user("mine", vec(1)))
    remember(db, content="other private", agent_id="other")
    remember(db, content="other shared", agent_id="other", shared=True)
    hits = session.recall(vec(1), top_k=10)
    assert sorted(h["content"] for h in hits) == ["mine", "other shared"]
    assert all(h["access_count"] == 1 for h in hits)
    assert session.recall(vec(1), 10, ["semantic"]) == []
    assert [h["content"] for h in session.recall(vec(1), 10, ["working"])] == ["mine"]
    with pytest.raises(TypeError, match="got an unexpected keyword argument 'agent_id'"):
        session.recall(vec(1), agent_id="other")


def test_session_keeps_its_database_alive(db_path):
    import gc
    from conftest import PASSPHRASE
    session = quarn.open(db_path, PASSPHRASE, dimensions=4).session("a")
    gc.collect()
    session.add_turn(quarn.Turn.user("x", vec(1)))
    assert session.close() == 1
    assert len(quarn.open(db_path, PASSPHRASE)) == 1
