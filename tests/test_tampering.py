"""Damaged and tampered files are refused with their exact messages."""
import time
import zlib

import pytest

import quarn
from conftest import DIMS, PASSPHRASE, flip_byte, remember, write_bytes

PAGE = 8192


@pytest.fixture
def flushed(db, db_path):
    mid = remember(db, content="secret")
    db.flush()
    del db
    return mid


@pytest.mark.parametrize("offset, data, message", [
    (0, b"XXXX", "bad magic bytes \u2014 file is not a .quarn database"),
    (4, (3).to_bytes(2, "little"), "unsupported .quarn format version 3"),
    (4, (8).to_bytes(2, "little"), "unsupported .quarn format version 8"),
    (254, None, "header seal authentication failed \u2014 mutable fields tampered with"),
])
def test_damaged_header_is_refused(db_path, flushed, file_format, offset, data, message):
    if file_format == 8 and data == (8).to_bytes(2, "little"):
        # The file already is version 8: the next version up is the unsupported one.
        data, message = (9).to_bytes(2, "little"), "unsupported .quarn format version 9"
    if data is None:
        flip_byte(db_path, offset)
    else:
        write_bytes(db_path, offset, data)
    with pytest.raises(RuntimeError) as error:
        quarn.open(db_path, PASSPHRASE)
    assert str(error.value) == message


def test_header_checksum_without_a_logged_copy(db_path):
    quarn.open(db_path, PASSPHRASE, dimensions=DIMS)  # created, never flushed: no log to recover from
    flip_byte(db_path, 20)
    with pytest.raises(RuntimeError) as error:
        quarn.open(db_path, PASSPHRASE)
    assert str(error.value) == "header checksum mismatch \u2014 page 0 is torn or corrupt"


def fix_header_crc(path):
    """Recomputes the header CRC, as a tamperer would after changing a field it covers."""
    with open(path, "r+b") as f:
        head = f.read(238)
        f.seek(238)
        f.write(zlib.crc32(head).to_bytes(4, "little"))


def test_tampered_key_material_reads_as_wrong_passphrase(db_path, flushed):
    flip_byte(db_path, 120)  # inside the wrapped data key
    fix_header_crc(db_path)
    with pytest.raises(RuntimeError) as error:
        quarn.open(db_path, PASSPHRASE)
    assert str(error.value) == "wrong passphrase, or the key material has been tampered with"


def test_damaged_record_page_fails_authentication(db_path, flushed):
    # A new file lays out pages 0..8 (header and log region); the first record run is page 9.
    flip_byte(db_path, 9 * PAGE + 100)
    db = quarn.open(db_path, PASSPHRASE)
    message = "page 9 failed authentication \u2014 the file is corrupt or tampered"
    for call in (lambda: db.get(flushed), db.verify, lambda: db.recall([1, 0, 0, 0]),
                 lambda: db.search([1, 0, 0, 0])):
        with pytest.raises(RuntimeError) as error:
            call()
        assert str(error.value) == message


# The Argon2 costs lie outside the seal: a file asking for more work than the bound is refused
# before any is done, instead of holding open (and the interpreter lock) for hours.
@pytest.mark.parametrize("m_cost, t_cost, message", [
    (19456, 0xFFFFFFFF, "time cost is too large"),
    (1 << 20, 9, "time cost is too large"),
    (0xFFFFFFFF, 1, "memory cost is too large"),
])
def test_argon2_work_beyond_the_bound_is_refused_at_once(db_path, flushed, m_cost, t_cost, message):
    write_bytes(db_path, 74, m_cost.to_bytes(4, "little") + t_cost.to_bytes(4, "little"))
    fix_header_crc(db_path)
    started = time.monotonic()
    with pytest.raises(RuntimeError) as error:
        quarn.open(db_path, PASSPHRASE)
    assert str(error.value) == "key derivation failed: " + message
    assert time.monotonic() - started < 1.0
