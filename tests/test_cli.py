"""The `quarn` command: each subcommand against the module's own results, its errors and exit
statuses, and where the passphrase may come from."""
import json
import os
import pathlib
import pty
import select
import subprocess
import time

import pytest

import quarn
from conftest import DIMS, PASSPHRASE, remember, vec

CLI = os.environ.get("QUARN_CLI", str(pathlib.Path(__file__).resolve().parents[1] / "build" / "quarn"))
if not os.path.exists(CLI):
    pytest.skip(f"no quarn command at {CLI} (build it with make)", allow_module_level=True)

COMMANDS = ["init", "about", "stats", "verify", "snapshots", "get", "restore", "export", "import",
            "vacuum", "passwd"]


def run(*args, passphrase=PASSPHRASE, **kwargs):
    env = {k: v for k, v in os.environ.items() if k != "QUARN_PASSPHRASE"}
    if passphrase is not None:
        env["QUARN_PASSPHRASE"] = passphrase
    return subprocess.run([CLI, *args], capture_output=True, text=True, env=env,
                          stdin=subprocess.DEVNULL, timeout=60, **kwargs)


@pytest.fixture
def filled(db):
    db.insert_default_manifest()
    ids = [remember(db, "first", agent_id="a"), remember(db, "second\x1b[31m", "semantic", agent_id="b")]
    db.flush()
    return ids


def test_init_stores_the_scaffold_manifest_flushed_and_refuses_an_existing_path(tmp_path):
    path = str(tmp_path / "new.quarn")
    done = run("init", path, "--dimensions", "384")
    assert done.returncode == 0, done.stderr
    stored = quarn.open(path, PASSPHRASE).about()
    programmatic = quarn.open(str(tmp_path / "p.quarn"), PASSPHRASE, dimensions=384)
    expected = programmatic.get(programmatic.insert_default_manifest())
    assert len(stored) == 1 and stored[0]["id"] in done.stdout
    for key in expected:
        if key not in ("id", "created_at", "accessed_at"):
            assert stored[0][key] == expected[key], key
    before = pathlib.Path(path).read_bytes()
    again = run("init", path, "--dimensions", "384")
    assert again.returncode == 1 and "already exists" in again.stderr
    assert pathlib.Path(path).read_bytes() == before


def test_reports_match_the_module(db, filled):
    for command, expected in [("about", db.about()), ("stats", db.stats()), ("snapshots", db.snapshots()),
                              ("verify", {"verified": db.verify()})]:
        done = run(command, db.path, "--json")
        assert done.returncode == 0, done.stderr
        assert json.loads(done.stdout) == expected, command
    got = run("get", db.path, filled[1].lower(), "--json")
    assert json.loads(got.stdout) == db.get(filled[1])
    people = run("get", db.path, filled[1]).stdout
    assert "second\\x1b[31m" in people and "\x1b" not in people  # stored texts cannot drive the terminal
    stats = run("stats", db.path).stdout
    assert "memories      3\n" in stats and "agents        a, b, quarn\n" in stats
    assert run("verify", db.path).stdout == "3 records verified: every page decrypts and authenticates\n"


def test_restore_export_and_import(db, filled, tmp_path):
    remember(db, "later")
    db.flush()
    done = run("restore", db.path, "--txn", "1", "--json")
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout) == db.snapshots()[0]
    reopened = quarn.open(db.path, PASSPHRASE)
    assert len(reopened) == 3 and reopened.snapshots()[-1]["txn_id"] == 3
    assert run("restore", db.path, "--time", str(reopened.snapshots()[-1]["created_at"])).returncode == 0

    out = tmp_path / "out.jsonl"
    assert run("export", db.path, str(out)).stdout == f"exported 3 memories to {out}\n"
    mine = tmp_path / "mine.jsonl"
    quarn.open(db.path, PASSPHRASE).export_jsonl(str(mine))
    assert out.read_bytes() == mine.read_bytes()
    target = tmp_path / "target.quarn"
    quarn.open(str(target), PASSPHRASE, dimensions=DIMS)
    assert run("import", str(target), str(out)).returncode == 0
    assert quarn.open(str(target), PASSPHRASE).get(filled[0]) == quarn.open(db.path, PASSPHRASE).get(filled[0])


def test_failures_print_the_engine_message_exit_1_and_write_nothing(db, filled, tmp_path):
    foreign = tmp_path / "foreign.bin"
    foreign.write_bytes(b"x" * 8192)
    bad_lines = tmp_path / "bad.jsonl"
    bad_lines.write_text('{"format":"quarn-jsonl","version":1,"dimensions":4,"memories":1}\n{}\n')
    missing = str(tmp_path / "missing.quarn")
    cases = [
        (["about", missing], PASSPHRASE, "io error: No such file or directory (os error 2)"),
        (["stats", str(foreign)], PASSPHRASE, "bad magic bytes \u2014 file is not a .quarn database"),
        (["verify", db.path], "wrong", "wrong passphrase, or the key material has been tampered with"),
        (["get", db.path, "01KC0000000000000000000000"], PASSPHRASE,
         "memory '01KC0000000000000000000000' not found"),
        (["get", db.path, "nope"], PASSPHRASE, "invalid memory id 'nope'"),
        (["restore", db.path, "--txn", "99"], PASSPHRASE, "memory 'snapshot for transaction 99' not found"),
        (["import", db.path, str(bad_lines)], PASSPHRASE, 'line 2: "id" is missing; nothing was imported'),
        (["export", db.path, str(foreign)], PASSPHRASE, "io error: File exists (os error 17)"),
    ]
    before = pathlib.Path(db.path).read_bytes(), foreign.read_bytes()
    for args, passphrase, message in cases:
        done = run(*args, passphrase=passphrase)
        assert done.returncode == 1, (args, done.stderr)
        assert done.stderr.startswith("quarn: ") and message in done.stderr, (args, done.stderr)
        assert done.stdout == ""
    assert (pathlib.Path(db.path).read_bytes(), foreign.read_bytes()) == before
    assert not os.path.exists(missing)


@pytest.mark.parametrize("args, message", [
    ([], "usage: quarn COMMAND"),
    (["bogus"], "unknown command 'bogus'"),
    (["stats"], "wrong number of operands"),
    (["init", "x.quarn"], "--dimensions is required"),
    (["init", "x.quarn", "--dimensions", "many"], "--dimensions must be a whole number"),
    (["stats", "x.quarn", "--passphrase", "secret"], "unknown option --passphrase"),
    (["restore", "x.quarn"], "exactly one of --txn N and --time UNIX_SECS"),
    (["restore", "x.quarn", "--txn", "1", "--time", "2"], "exactly one of"),
    (["export", "x.quarn", "o.jsonl", "--include-deleted=yes"], "--include-deleted takes no value"),
    (["vacuum", "x.quarn", "--keep-snapshots", "0"], "--keep-snapshots must be a whole number of at least 1"),
    (["init", "x.quarn", "--dimensions", "4", "--format-version", "9"], "--format-version must be 7 or 8"),
    (["vacuum", "x.quarn", "--format-version", "eight"], "--format-version must be 7 or 8, not 'eight'"),
])
def test_usage_errors_exit_2(tmp_path, args, message):
    done = run(*args, cwd=tmp_path)
    assert done.returncode == 2 and message in done.stderr, done.stderr
    assert os.listdir(tmp_path) == []


@pytest.mark.own_format
def test_init_and_vacuum_take_a_format_version(tmp_path):
    path = str(tmp_path / "f.quarn")
    version = lambda: int.from_bytes(pathlib.Path(path).read_bytes()[4:6], "little")
    assert run("init", path, "--dimensions", "4", "--format-version", "8").returncode == 0
    assert version() == 8 and len(quarn.open(path, PASSPHRASE).about()) == 1
    done = run("vacuum", path, "--format-version", "7")
    assert done.returncode == 0, done.stderr
    assert version() == 7 and len(quarn.open(path, PASSPHRASE).about()) == 1


def test_vacuum_and_passwd(tmp_path):
    path = str(tmp_path / "v.quarn")
    db = quarn.open(path, PASSPHRASE, dimensions=DIMS)
    gone = remember(db, "deleted before the vacuum")
    for i in range(5):
        remember(db, f"kept {i}")
        db.flush()
    db.delete(gone)
    db.flush()
    before = pathlib.Path(path).read_bytes()
    refused = run("vacuum", path)
    assert refused.returncode == 1 and "open in another handle" in refused.stderr
    assert pathlib.Path(path).read_bytes() == before
    del db

    done = run("vacuum", path, "--keep-snapshots", "1", "--json")
    assert done.returncode == 0, done.stderr
    result = json.loads(done.stdout)
    assert result == {"file_bytes_before": len(before), "file_bytes_after": os.path.getsize(path),
                      "snapshots": 1, "memories": 5}
    assert quarn.open(path, PASSPHRASE).stats()["deleted"] == 0

    new = tmp_path / "new-secret"
    new.write_text("the new one\n")
    done = run("passwd", path, "--new-passphrase-file", str(new))
    assert done.returncode == 0, done.stderr
    assert len(quarn.open(path, "the new one")) == 5
    with pytest.raises(RuntimeError, match="wrong passphrase"):
        quarn.open(path, PASSPHRASE)
    missing = run("passwd", path, passphrase="the new one")
    assert missing.returncode == 2 and "no new passphrase" in missing.stderr


def test_every_command_has_help():
    for command in COMMANDS:
        done = run(command, "--help")
        assert done.returncode == 0 and done.stdout.startswith(f"usage: quarn {command} "), command
        assert "--help" in done.stdout
    listed = run("--help").stdout
    assert all(f"\n  {command} " in listed for command in COMMANDS)
    assert run("help", "import").stdout == run("import", "--help").stdout


def test_passphrase_from_a_file_or_the_environment_never_an_argument(db, filled, tmp_path):
    secret = tmp_path / "secret"
    secret.write_text(PASSPHRASE + "\n")
    assert run("verify", db.path, "--passphrase-file", str(secret), passphrase="wrong").returncode == 0
    done = run("verify", db.path, passphrase=None)
    assert done.returncode == 2 and "no passphrase" in done.stderr


def test_passphrase_is_asked_on_a_terminal_without_echo(db, filled):
    master, slave = pty.openpty()
    env = {k: v for k, v in os.environ.items() if k != "QUARN_PASSPHRASE"}
    child = subprocess.Popen([CLI, "verify", db.path, "--json"], stdin=slave, stdout=subprocess.PIPE,
                             stderr=slave, env=env)
    os.close(slave)
    seen = b""
    deadline = time.monotonic() + 30
    while b"Passphrase for " not in seen and time.monotonic() < deadline:
        if select.select([master], [], [], 0.2)[0]:
            seen += os.read(master, 1024)
    os.write(master, PASSPHRASE.encode() + b"\n")
    out, _ = child.communicate(timeout=60)
    while select.select([master], [], [], 0.2)[0]:
        try:
            seen += os.read(master, 1024)
        except OSError:
            break
    os.close(master)
    assert child.returncode == 0 and json.loads(out) == {"verified": 3}
    assert PASSPHRASE.encode() not in seen
