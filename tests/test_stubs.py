"""The type stubs describe the module as it really is."""

from __future__ import annotations

import ast
import inspect
import subprocess
import sys
from pathlib import Path

import pytest

import quillet
from quillet import _companion, _quillet

STUB = Path(quillet.__file__).with_name("_quillet.pyi")


def _stub_signatures(stub: Path = STUB) -> dict[str, list[str]]:
    """Parameter names by function name, and by "Class.method" for methods."""
    tree = ast.parse(stub.read_text())
    sigs: dict[str, list[str]] = {}
    for node in tree.body:
        members = node.body if isinstance(node, ast.ClassDef) else [node]
        for member in members:
            if isinstance(member, ast.FunctionDef):
                names = [a.arg for a in (*member.args.posonlyargs, *member.args.args)]
                sigs[member.name if member is node else f"{node.name}.{member.name}"] = names
                sigs.setdefault(member.name, names)
    return sigs


def test_stub_is_installed_with_the_package():
    assert STUB.is_file() and STUB.with_name("py.typed").is_file()


def test_stub_signatures_match_the_module():
    sigs = _stub_signatures()
    for name, obj in [
        ("open", _quillet.open),
        ("lookup", _quillet.Dict.lookup),
        ("__exit__", _quillet.Dict.__exit__),
    ]:
        real = list(inspect.signature(obj).parameters)
        stub = sigs[name]
        assert [p for p in stub if p != "self"] == [p for p in real if p != "self"], name


def test_stubtest_finds_the_stub_true_to_the_module():
    pytest.importorskip("mypy.stubtest")
    allowlist = Path(__file__).with_name("stubtest-allowlist.txt")
    p = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "quillet._quillet", "--allowlist", str(allowlist)],
        capture_output=True,
        text=True,
    )
    assert p.returncode == 0, p.stdout + p.stderr


def test_companion_stub_signatures_match_the_module():
    sigs = _stub_signatures(STUB.with_name("_companion.pyi"))
    for cls in (_companion.Index, _companion.Stack):
        methods = [n for n in vars(cls) if callable(getattr(cls, n)) and (not n.startswith("__"))]
        for name in methods:
            real = list(inspect.signature(getattr(cls, name)).parameters)
            assert sigs[f"{cls.__name__}.{name}"] == real, f"{cls.__name__}.{name}"
    for name in ("open", "split_tag"):
        assert sigs[name] == list(inspect.signature(getattr(_companion, name)).parameters)


def test_a_program_using_every_query_type_checks_and_runs(tmp_path):
    # The public result types (TagInfo, LookupResult, VM, Entry, Tag) are what the queries are
    # annotated with: a program using all of them needs no `type: ignore` under --strict.
    program = Path(__file__).with_name("typed") / "user_program.py"
    subprocess.run([sys.executable, str(program)], check=True, capture_output=True, cwd=tmp_path)
    pytest.importorskip("mypy")
    p = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", str(program)],
        capture_output=True,
        text=True,
        cwd=tmp_path,
    )
    assert p.returncode == 0, p.stdout + p.stderr
