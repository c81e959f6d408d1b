"""Type stubs of the `quarn` extension module: an embedded, encrypted memory store for agents."""
from collections.abc import Iterable, Sequence
from types import TracebackType
from typing import Any, Literal, SupportsFloat, SupportsIndex, TypedDict, final

# A vector: any iterable of numbers (a list or tuple of floats, a float32 or float64 array), but
# not a str.
_Vector = Iterable[SupportsFloat | SupportsIndex]

class _Memory(TypedDict):
    id: str
    content: str
    memory_type: Literal["episodic", "semantic", "procedural", "working"]
    vector: list[float]
    agent_id: str
    session_id: str | None
    scope: Literal["private", "shared"]
    created_at: int
    accessed_at: int
    access_count: int
    importance: float
    ttl_secs: int | None
    metadata: dict[str, Any]

class _Hit(_Memory):
    score: float
    similarity: float

class _Snapshot(TypedDict):
    txn_id: int
    created_at: int
    memory_count: int

class _VacuumResult(TypedDict):
    file_bytes_before: int
    file_bytes_after: int
    snapshots: int
    memories: int

class _IndexStats(TypedDict):
    vectors: int
    partitions: int
    subspaces: int

class _Stats(TypedDict):
    memories: int
    deleted: int
    dimensions: int
    file_bytes: int
    agents: list[str]
    encrypted: bool
    created_at: int
    wal_pages: int
    snapshots: int
    index: _IndexStats | None

@final
class Quarn:
    """An open, encrypted Quarn database."""

    def remember(
        self,
        /,
        content: str,
        memory_type: str,
        vector: _Vector,
        *,
        agent_id: str | None = None,
        importance: SupportsFloat | SupportsIndex | None = None,
        session_id: str | None = None,
        ttl_secs: SupportsIndex | None = None,
        shared: bool = False,
        metadata: dict[str, Any] | None = None,
    ) -> str: ...
    def recall(
        self,
        /,
        query: _Vector,
        top_k: SupportsIndex = 10,
        memory_types: Sequence[str] | None = None,
        agent_id: str | None = None,
        track_access: bool = True,
    ) -> list[_Hit]: ...
    def search(self, /, query: _Vector, top_k: SupportsIndex = 10) -> list[tuple[_Memory, float]]: ...
    def get(self, /, id: str) -> _Memory: ...
    def delete(self, /, id: str) -> None: ...
    def flush(self, /) -> None: ...
    def close(self, /) -> None: ...
    def verify(self, /) -> int: ...
    def about(self, /) -> list[_Memory]: ...
    def insert_default_manifest(self, /) -> str: ...
    def build_index(self, /) -> None: ...
    def drop_index(self, /) -> None: ...
    def has_index(self, /) -> bool: ...
    def snapshots(self, /) -> list[_Snapshot]: ...
    def restore_to(self, /, txn_id: SupportsIndex) -> _Snapshot: ...
    def restore_to_time(self, /, unix_secs: SupportsIndex) -> _Snapshot: ...
    def set_cache_capacity(self, /, pages: SupportsIndex) -> None: ...
    def cache_stats(self, /) -> tuple[int, int]: ...
    def set_max_snapshots(self, /, max: SupportsIndex) -> None: ...
    def stats(self, /) -> _Stats: ...
    def export_encrypted(self, /, dest: str) -> None: ...
    @property
    def path(self) -> str: ...
    def session(self, /, agent_id: str) -> Session: ...
    def __enter__(self, /) -> Quarn: ...
    def __exit__(
        self,
        /,
        _exc_type: type[BaseException] | None,
        _exc_value: BaseException | None,
        _traceback: TracebackType | None,
    ) -> Literal[False]: ...
    def set_index_params(
        self, /, *, n_probe: SupportsIndex | None = None, n_rerank: SupportsIndex | None = None
    ) -> None: ...
    def set_iterative_scan(self, /, enabled: bool) -> None: ...
    def export_jsonl(self, /, dest: str, *, include_deleted: bool = False) -> int: ...
    def import_jsonl(self, /, src: str) -> int: ...
    def vacuum(
        self,
        /,
        dest: str | None = None,
        *,
        keep_snapshots: SupportsIndex | None = None,
        passphrase: str | None = None,
    ) -> _VacuumResult: ...
    def change_passphrase(self, /, new_passphrase: str) -> None: ...
    def __len__(self, /) -> int: ...
    def __repr__(self, /) -> str: ...

@final
class Session:
    """A scoped conversation session over a [`Quarn`] database."""

    def id(self, /) -> str: ...
    def agent(self, /) -> str: ...
    def turn_ids(self, /) -> list[str]: ...
    def turn_count(self, /) -> int: ...
    def add_turn(self, /, turn: Turn) -> str: ...
    def recall(
        self, /, query: _Vector, top_k: SupportsIndex = 10, memory_types: Sequence[str] | None = None
    ) -> list[_Hit]: ...
    def close(self, /) -> int: ...
    def discard(self, /) -> int: ...
    def __enter__(self, /) -> Session: ...
    def __exit__(
        self,
        /,
        _exc_type: type[BaseException] | None,
        _exc_value: BaseException | None,
        _traceback: TracebackType | None,
    ) -> Literal[False]: ...
    def __repr__(self, /) -> str: ...

@final
class Turn:
    """One conversation turn, recorded into working memory by `Session.add_turn`."""

    def __init__(self, role: str, content: str, vector: _Vector) -> None: ...
    @staticmethod
    def user(content: str, vector: _Vector) -> Turn: ...
    @staticmethod
    def assistant(content: str, vector: _Vector) -> Turn: ...
    @staticmethod
    def system(content: str, vector: _Vector) -> Turn: ...
    @property
    def role(self) -> str: ...
    @property
    def content(self) -> str: ...
    @property
    def vector(self) -> list[float]: ...
    def __repr__(self, /) -> str: ...

def open(path: str, passphrase: str, dimensions: SupportsIndex | None = None) -> Quarn: ...

__version__: str
