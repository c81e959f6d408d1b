"""Calls that mypy --strict must refuse, one per line marked with the error it must report."""
import quarn

db = quarn.open("db.quarn", "passphrase", dimensions=4)
db.remember("text", "semantic", "not a vector")  # error: arg-type
db.get(42)  # error: arg-type
db.recall([0.0] * 4, top_k="3")  # error: arg-type
db.remember("text", "semantic", [0.0], shared=1)  # error: arg-type
db.export_jsonl("out.jsonl", True)  # error: misc
count: str = db.import_jsonl("in.jsonl")  # error: assignment
