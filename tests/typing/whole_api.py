"""Uses every name of the module with the types it takes and gives; mypy --strict must accept it."""
import array

import quarn

version: str = quarn.__version__
db: quarn.Quarn = quarn.open("db.quarn", "passphrase", dimensions=4)
again = quarn.open("db.quarn", "passphrase")
with db as same:
    id: str = same.remember("text", "semantic", [0.1, 0.2, 0.3, 0.4], agent_id="a", importance=0.5,
                            session_id=None, ttl_secs=60, shared=True, metadata={"k": [1, "v"]})
db.remember("t", "episodic", (1, 2, 3, 4))
db.remember("t", "episodic", array.array("f", [0.0] * 4), importance=1)
for hit in db.recall([1.0, 0, 0, 0], top_k=3, memory_types=["semantic"], agent_id="a", track_access=False):
    score: float = hit["score"] + hit["similarity"] + hit["importance"]
    content: str = hit["content"]
for memory, similarity in db.search([1.0, 0, 0, 0], 5):
    created: int = memory["created_at"] + memory["access_count"]
    ttl: int | None = memory["ttl_secs"]
got = db.get(id)
metadata: dict[str, object] = got["metadata"]
db.delete(id)
db.flush()
db.close()
checked: int = db.verify()
onboarding: list[str] = [m["id"] for m in db.about()]
manifest: str = db.insert_default_manifest()
db.build_index()
has: bool = db.has_index()
db.set_index_params(n_probe=16, n_rerank=None)
db.set_iterative_scan(True)
db.set_format_version(8)
db.drop_index()
txns: list[int] = [s["txn_id"] for s in db.snapshots()]
restored: int = db.restore_to(1)["memory_count"] + db.restore_to_time(0)["created_at"]
db.set_cache_capacity(100)
cached, capacity = db.cache_stats()
db.set_max_snapshots(0)
stats = db.stats()
agents: list[str] = stats["agents"]
index = stats["index"]
vectors: int = index["vectors"] if index is not None else 0
db.export_encrypted("copy.quarn")
written: int = db.export_jsonl("out.jsonl", include_deleted=True)
imported: int = db.import_jsonl("out.jsonl")
reclaimed: int = db.vacuum(keep_snapshots=1)["file_bytes_before"] - db.vacuum()["file_bytes_after"]
kept: int = db.vacuum("compact.quarn", keep_snapshots=None, passphrase="new")["snapshots"]
db.change_passphrase("another")
path: str = db.path
count: int = len(db) + cached + capacity
text: str = repr(db)
session: quarn.Session = db.session("agent")
with session as s:
    turn: quarn.Turn = quarn.Turn("user", "hello", [0.0] * 4)
    s.add_turn(turn)
    s.add_turn(quarn.Turn.assistant("hi", [0.0] * 4))
    s.add_turn(quarn.Turn.system("be brief", [0.0] * 4))
    s.add_turn(quarn.Turn.user("again", [0.0] * 4))
    role: str = turn.role + turn.content + repr(turn)
    elements: list[float] = turn.vector
    ids: list[str] = s.turn_ids()
    n: int = s.turn_count()
    sid: str = s.id() + s.agent() + repr(s)
    hits = s.recall([0.0] * 4, top_k=2, memory_types=None)
promoted: int = session.close()
removed: int = db.session("b").discard()
