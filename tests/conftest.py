"""Shared helpers: files made with the package's own layout layer, and descriptor counting."""

from __future__ import annotations

import gc
import importlib.util
import os
import re
import sys
from pathlib import Path

import pytest

from quillet import _layout as L

HEX = re.compile(r"0x[0-9a-f]+")


def addresses(message: str) -> list[int]:
    """The memory addresses in a validation message, in order of appearance."""
    return [int(h, 16) for h in HEX.findall(message)]


def open_fds() -> int:
    return len(os.listdir("/proc/self/fd"))


def load_file_module(name: str, path: Path):
    """A module of the tree that is no package's (tools/*.py), imported once under `name`."""
    if name not in sys.modules:
        spec = importlib.util.spec_from_file_location(name, path)
        module = importlib.util.module_from_spec(spec)
        sys.modules[name] = module
        spec.loader.exec_module(module)
    return sys.modules[name]


def example_body() -> L.Body:
    """The smallest useful dictionary: one public entry, (0010,0010) 'Kw'."""
    return L.Body(
        index=[L.RawIndexEntry(0x0010, 0x0010)],
        records=[
            L.RawRecord(
                group=0x0010,
                element=0x0010,
                keyword_off=0,
                keyword_len=2,
                name_off=2,
                name_len=2,
                description_off=4,
                description_len=2,
                sources_off=6,
                sources_len=3,
                vr=18,
            )
        ],
        strings=b"KwNmDsA|B",
    )


@pytest.fixture
def write(tmp_path: Path):
    """write(data, name=...) -> path of a file holding `data` (bytes or a Body)."""
    counter = iter(range(1_000_000))

    def _write(data: bytes | L.Body, name: str | None = None) -> Path:
        if isinstance(data, L.Body):
            data = L.pack_file(data)
        path = tmp_path / (name or f"f{next(counter)}.qlet")
        path.write_bytes(data)
        return path

    return _write


@pytest.fixture
def no_fd_leak():
    """Fails the test if it leaves more descriptors open than it found."""
    gc.collect()  # handles kept alive by earlier tracebacks must not close mid-test
    before = open_fds()
    yield
    gc.collect()
    assert open_fds() == before
