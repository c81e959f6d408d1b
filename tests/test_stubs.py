"""The type stubs: they name what the module has, with its signatures, and mypy --strict holds
code to them."""
import ast
import inspect
import os
import pathlib
import re
import subprocess

import pytest

import quarn

ROOT = pathlib.Path(__file__).resolve().parents[1]
STUB = ROOT / "src" / "lib" / "quarn.pyi"


def stub_signature(function):
    """The signature text inspect shows for a function defined as in the stub, annotations left out."""
    args = function.args
    params = []
    positional = args.posonlyargs + args.args
    defaults = [None] * (len(positional) - len(args.defaults)) + args.defaults
    for i, (arg, default) in enumerate(zip(positional, defaults)):
        params.append(arg.arg + ("" if default is None else "=" + ast.unparse(default)))
        if args.posonlyargs and i == len(args.posonlyargs) - 1:
            params.append("/")
    if args.kwonlyargs:
        params.append("*")
    for arg, default in zip(args.kwonlyargs, args.kw_defaults):
        params.append(arg.arg + ("" if default is None else "=" + ast.unparse(default)))
    return "(" + ", ".join(params) + ")"


def decorators(node):
    return {d.id for d in node.decorator_list if isinstance(d, ast.Name)}


def public(name):
    return not name.startswith("_") or name in ("__enter__", "__exit__", "__len__", "__repr__")


@pytest.fixture(scope="module")
def stub():
    return ast.parse(STUB.read_text())


def test_the_stub_names_exactly_the_module_and_its_members(stub):
    top = [n for n in stub.body if not isinstance(n, (ast.Import, ast.ImportFrom, ast.Expr))]
    names = []
    for node in top:
        name = node.targets[0].id if isinstance(node, ast.Assign) else (
            node.target.id if isinstance(node, ast.AnnAssign) else node.name)
        if not name.startswith("_") or name == "__version__":
            names.append(name)
    assert names == [n for n in vars(quarn) if not n.startswith("__") or n == "__version__"]
    assert str(inspect.signature(quarn.open)) == stub_signature(
        next(n for n in top if isinstance(n, ast.FunctionDef) and n.name == "open"))

    for cls in (n for n in top if isinstance(n, ast.ClassDef) and not n.name.startswith("_")):
        runtime = getattr(quarn, cls.name)
        members = {n.name: n for n in cls.body if isinstance(n, ast.FunctionDef)}
        if "__init__" in members:  # a constructor: the class's own signature, without self
            init = stub_signature(members.pop("__init__"))
            assert str(inspect.signature(runtime)) == "(" + init.removeprefix("(self, ").removeprefix("(self")
        assert sorted(members) == sorted(n for n in vars(runtime) if public(n)), cls.name
        for name, node in members.items():
            member = vars(runtime)[name]
            if "property" in decorators(node):
                assert inspect.isdatadescriptor(member) and not callable(member), name
            else:
                assert str(inspect.signature(getattr(runtime, name))) == stub_signature(node), name
                assert ("staticmethod" in decorators(node)) == isinstance(member, staticmethod), name


def test_mypy_strict_accepts_the_whole_api_and_refuses_wrong_types(tmp_path):
    typing = ROOT / "tests" / "typing"
    sample = (typing / "whole_api.py").read_text()
    for cls in (quarn.Quarn, quarn.Session, quarn.Turn):
        for name in vars(cls):
            if public(name) and name not in ("__enter__", "__exit__", "__len__", "__repr__"):
                assert f".{name}" in sample, f"the sample does not use {cls.__name__}.{name}"
    env = dict(os.environ, MYPYPATH=str(STUB.parent))
    env.pop("PYTHONPATH", None)
    done = subprocess.run(
        ["/usr/bin/python3", "-m", "mypy", "--strict", "--no-incremental", "--cache-dir", str(tmp_path),
         str(typing / "whole_api.py"), str(typing / "wrong_types.py")],
        capture_output=True, text=True, env=env, cwd=tmp_path, timeout=600)
    errors = re.findall(r"^(\S+?):(\d+): error: .*\[([a-z-]+)\]$", done.stdout, re.M)
    expected = []
    for number, line in enumerate((typing / "wrong_types.py").read_text().splitlines(), 1):
        if "# error: " in line:
            expected.append(("wrong_types.py", str(number), line.split("# error: ")[1]))
    assert [(pathlib.Path(f).name, n, code) for f, n, code in errors] == expected, done.stdout
