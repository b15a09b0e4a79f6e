"""The README's examples run as written, and its sample output is what the command prints."""

from __future__ import annotations

import re
from pathlib import Path

import pytest

from quillet.cli import main

README = Path(__file__).resolve().parents[1] / "README.md"
BLOCK = re.compile(r"^```(\w*)\n(.*?)^```", re.MULTILINE | re.DOTALL)


def blocks(language: str) -> list[str]:
    return [code for lang, code in BLOCK.findall(README.read_text(encoding="utf-8")) if lang == language]


def test_the_python_examples_run_as_written(tmp_path, monkeypatch):
    # In order and in one namespace, as a reader types them into one session, in a folder of
    # their own for the files they write.
    monkeypatch.chdir(tmp_path)
    namespace: dict[str, object] = {"__name__": "__readme__"}
    examples = blocks("python")
    assert len(examples) >= 5
    for number, code in enumerate(examples, start=1):
        try:
            exec(compile(code, f"README.md python block {number}", "exec"), namespace)
        except Exception as exc:
            pytest.fail(f"README.md python block {number} fails: {exc!r}\n{code}")


def test_the_quick_starts_answer_is_what_the_command_prints(capsys):
    (printed,) = [code for code in blocks("") if code.startswith("(0010,0010) PatientName")]
    assert main(["lookup", "0010,0010"]) == 0
    assert capsys.readouterr().out == printed
