"""The README stays true: its Python examples run, its tables name every method and command, and
its sample export line imports."""
import os
import pathlib
import re
import subprocess

import quarn

ROOT = pathlib.Path(__file__).resolve().parents[1]
README = (ROOT / "README.md").read_text()


def blocks(language):
    return re.findall(rf"^```{language}\n(.*?)^```$", README, re.M | re.S)


def test_the_python_examples_run_in_order(tmp_path, monkeypatch):
    examples = blocks("python")
    assert len(examples) >= 4
    monkeypatch.chdir(tmp_path)
    namespace = {}
    for number, code in enumerate(examples, 1):
        exec(compile(code, f"README.md python example {number}", "exec"), namespace)


def test_the_tables_name_every_method_and_command():
    for cls, prefix in ((quarn.Quarn, ""), (quarn.Session, "Session."), (quarn.Turn, "Turn.")):
        for name in vars(cls):
            if not name.startswith("_") and name not in ("role", "content", "vector"):
                assert f"`{prefix}{name}(" in README or f"`{name}`" in README, name
    cli = os.environ.get("QUARN_CLI", str(ROOT / "build" / "quarn"))
    if os.path.exists(cli):
        listed = re.findall(r"^  (\w+) ", subprocess.run([cli, "--help"], capture_output=True,
                                                         text=True).stdout, re.M)
        assert listed == re.findall(r"^\| `quarn (\w+) ", README, re.M)


def test_the_sample_export_imports(tmp_path):
    sample = next(b for b in blocks("") if b.startswith('{"format":"quarn-jsonl"'))
    path = tmp_path / "sample.jsonl"
    path.write_text(sample)
    db = quarn.open(str(tmp_path / "db.quarn"), "pass", dimensions=4)
    assert db.import_jsonl(str(path)) == 1
    out = tmp_path / "out.jsonl"
    db.export_jsonl(str(out))
    assert out.read_text() == sample
