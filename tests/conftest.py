import functools
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


def pytest_configure(config):
    config.addinivalue_line("markers", "own_format: the test chooses file formats itself")


# Every test runs on both file formats: with 8, each database a test creates through quarn.open
# is switched to it at once (nothing is committed yet), so everything after runs on version 8.
# Tests marked own_format run once.
@pytest.fixture(autouse=True, params=[7, 8], ids=["v7", "v8"])
def file_format(request, monkeypatch):
    if request.param == 8 and request.node.get_closest_marker("own_format"):
        pytest.skip("the test chooses the format itself")
    if request.param == 8:
        plain_open = quarn.open

        @functools.wraps(plain_open)
        def open_in_format_8(path, *args, **kwargs):
            created = not os.path.exists(path)
            handle = plain_open(path, *args, **kwargs)
            if created:
                handle.set_format_version(8)
            return handle

        monkeypatch.setattr(quarn, "open", open_in_format_8)
    return request.param


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
