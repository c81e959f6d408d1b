"""An agent's memory in one encrypted file: remember, reopen, recall, look back and roll back."""
import hashlib
import os
import tempfile

import quarn

PASSPHRASE = "correct horse battery staple"
DIMS = 64
STOP_WORDS = {"a", "and", "the", "to", "then", "what", "does", "do", "i", "me", "is", "about"}


def embed(text):
    """A deterministic toy embedding: each word (lower case, plural "s" dropped) lands in one of
    DIMS buckets. It stands in for a real embedding model: quarn never embeds text itself, it
    stores the vectors it is given."""
    vector = [0.0] * DIMS
    for word in text.lower().replace("?", "").replace(".", "").replace(",", "").split():
        if word in STOP_WORDS:
            continue
        digest = hashlib.sha256(word.removesuffix("s").encode()).digest()
        vector[digest[0] % DIMS] += 1.0
    norm = sum(x * x for x in vector) ** 0.5 or 1.0
    return [x / norm for x in vector]


def show(hits):
    for hit in hits:
        print(f"    {hit['score']:.3f}  [{hit['memory_type']}] {hit['content']}")


with tempfile.TemporaryDirectory() as folder:
    path = os.path.join(folder, "agent.quarn")

    # 1. Create the database and remember a few things.
    db = quarn.open(path, PASSPHRASE, dimensions=DIMS)
    facts = [
        ("The user drinks green tea every morning.", "semantic", 0.8),
        ("The user's cat is called Miso.", "semantic", 0.6),
        ("To deploy, run the release script and then tag the commit.", "procedural", 0.9),
        ("Yesterday the user asked about train times to Lyon.", "episodic", 0.4),
    ]
    for content, memory_type, importance in facts:
        db.remember(content, memory_type, embed(content), agent_id="helper", importance=importance)

    # A conversation: its turns are working memory until the session closes.
    with db.session("helper") as session:
        session.add_turn(quarn.Turn.user("Remind me what tea I like?", embed("what tea do I like")))
        session.add_turn(quarn.Turn.assistant("Green tea, every morning.", embed("green tea morning")))
    db.flush()
    print(f"created {db!r}, {os.path.getsize(path)} bytes on disk")
    del db  # closes the file and wipes the key; everything was flushed

    # 2. Reopen. The passphrase is the only way in.
    try:
        quarn.open(path, "tea is overrated")
    except RuntimeError as error:
        print(f"wrong passphrase -> RuntimeError: {error}")
    db = quarn.open(path, PASSPHRASE)

    # 3. Recall: similarity, recency, importance and how often a memory was used.
    print("recall 'what tea does the user drink':")
    show(db.recall(embed("what tea does the user drink"), top_k=3, agent_id="helper"))

    # 4. Every flush is a snapshot; a mistake can be rolled back.
    before = db.snapshots()[-1]
    db.remember("The user hates tea.", "semantic", embed("The user hates tea."), agent_id="helper")
    db.flush()
    print("snapshots:", [(s["txn_id"], s["memory_count"]) for s in db.snapshots()])
    restored = db.restore_to(before["txn_id"])
    print(f"restored transaction {restored['txn_id']}: {len(db)} memories")

    stats = db.stats()
    print("stats:", {k: stats[k] for k in ("memories", "deleted", "dimensions", "file_bytes",
                                          "agents", "snapshots")})
    print(f"verify: {db.verify()} records authenticated")
