import os

import pytest

import quarn

PASSPHRASE = "correct horse battery staple"
DIMS = 4


def vec(*values):
    """A DIMS-long vector: the given leading values, then zeros."""
    values = [float(v) for v in values]
    return values + [0.0] * (DIMS - len(values))


def flip_byte(path, offset):
    with open(path, "r+b") as f:
        f.seek(offset)
        b = f.read(1)
        f.seek(offset)
        f.write(bytes([b[0] ^ 0xFF]))


def write_bytes(path, offset, data):
    with open(path, "r+b") as f:
        f.seek(offset)
        f.write(data)


@pytest.fixture
def db_path(tmp_path):
    return str(tmp_path / "db.quarn")


@pytest.fixture
def db(db_path):
    return quarn.open(db_path, PASSPHRASE, dimensions=DIMS)


@pytest.fixture
def reopen(db_path):
    """Opens the fixture's file again with the right passphrase."""
    return lambda: quarn.open(db_path, PASSPHRASE)


def remember(db, content="m", memory_type="episodic", vector=None, **kwargs):
    return db.remember(content, memory_type, vector if vector is not None else vec(1), **kwargs)


def run_in_child(body):
    """Runs body() in a forked child; returns its exit status (0 when body returned True)."""
    pid = os.fork()
    if pid == 0:
        try:
            ok = body()
        except BaseException:
            ok = False
        os._exit(0 if ok else 1)
    _, status = os.waitpid(pid, 0)
    return os.waitstatus_to_exitcode(status)
