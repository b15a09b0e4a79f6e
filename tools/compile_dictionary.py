"""Compile the committed dictionary text into a .qlet file and its companion.

    python tools/compile_dictionary.py data/dictionary.tsv OUT.qlet [--package-dir DIR]

The companion (keywords, value multiplicities, search texts) is written beside OUT.qlet, as
OUT.qlix.

The package build runs this before the extension exists, so the writer is loaded from the
source tree by path (its package ``__init__`` imports the compiled extension) and nothing
here needs pydicom or dcmtk.  ``tools/regen_dictionary.py`` produces the text and reads it
back through :func:`read_tsv`, so both sides agree on one format:

* UTF-8, lines ending in ``\\n``, fields separated by one tab, no quoting or escaping
  (the regeneration refuses texts holding a tab or a line break, so none is needed);
* a header line equal to :data:`HEADER`, then one row per index key (a text written before
  the ``vm`` column existed, without it, still reads, its rows without a VM);
* group and element as four upper-case hex digits, retired and block_offset as 0 or 1,
  ``vr`` one of the standard's codes, "??" for an element without VR, or a choice of codes in
  the standard's wording ("OB or OW", "US or SS or OW"), which the writer is handed as it is,
  sources as ``|``-separated non-empty items, every other field taken verbatim (a creator
  keeps its blanks: lookups fold them, the stored text does not; ``vm`` is the value
  multiplicity such as ``1-n``, empty when unknown).
"""

from __future__ import annotations

import argparse
import importlib
import importlib.machinery
import importlib.util
import re
import sys
from dataclasses import dataclass
from pathlib import Path
from types import ModuleType
from typing import Any

COLUMNS = (
    "group",
    "element",
    "creator",
    "keyword",
    "name",
    "vr",
    "vm",
    "retired",
    "block_offset",
    "sources",
    "description",
)
HEADER = "\t".join(COLUMNS)
# Texts made before the vm column existed still compile; their rows have no VM.
_COLUMNS_WITHOUT_VM = tuple(c for c in COLUMNS if c != "vm")

_HEX4 = re.compile(r"[0-9A-F]{4}")
_DEFAULT_PACKAGE_DIR = Path(__file__).resolve().parents[1] / "src" / "quillet"


@dataclass(frozen=True)
class Row:
    """One line of the dictionary text, typed; the fields of a writer entry."""

    group: int
    element: int
    creator: str
    keyword: str
    name: str
    vr: str
    retired: bool
    block_offset: bool
    sources: tuple[str, ...]
    description: str
    vm: str = ""

    def to_line(self) -> str:
        fields = (
            f"{self.group:04X}",
            f"{self.element:04X}",
            self.creator,
            self.keyword,
            self.name,
            self.vr,
            self.vm,
            str(int(self.retired)),
            str(int(self.block_offset)),
            "|".join(self.sources),
            self.description,
        )
        return "\t".join(fields)


class TsvError(ValueError):
    """A line of the dictionary text is malformed; the message names file and line."""


def _flag(text: str, column: str) -> bool:
    if text not in ("0", "1"):
        raise ValueError(f"{column} must be 0 or 1, not {text!r}")
    return text == "1"


def parse_line(line: str, columns: tuple[str, ...] = COLUMNS) -> Row:
    if "\r" in line:
        raise ValueError("carriage return inside the line")
    fields = line.split("\t")
    if len(fields) != len(columns):
        raise ValueError(f"{len(fields)} fields, expected {len(columns)}")
    if columns is _COLUMNS_WITHOUT_VM:
        fields.insert(COLUMNS.index("vm"), "")
    group, element, creator, keyword, name, vr, vm, retired, block_offset, sources, description = fields
    for column, value in (("group", group), ("element", element)):
        if not _HEX4.fullmatch(value):
            raise ValueError(f"{column} must be four upper-case hex digits, not {value!r}")
    if not is_vr_text(vr):
        raise ValueError(f"vr {vr!r} is not a known code")
    items = tuple(sources.split("|")) if sources else ()
    if not items or any(not item for item in items):
        raise ValueError(f"sources {sources!r} must be non-empty items separated by '|'")
    return Row(
        int(group, 16),
        int(element, 16),
        creator,
        keyword,
        name,
        vr,
        _flag(retired, "retired"),
        _flag(block_offset, "block_offset"),
        items,
        description,
        vm,
    )


def read_tsv(path: str | Path) -> list[Row]:
    """Parse the dictionary text at `path`; raise :class:`TsvError` on the first bad line."""
    path = Path(path)
    with path.open(encoding="utf-8", newline="") as f:
        text = f.read()
    if not text.endswith("\n"):
        raise TsvError(f"{path}: does not end with a line break")
    lines = text[:-1].split("\n")
    columns: tuple[str, ...]
    if lines[0] == HEADER:
        columns = COLUMNS
    elif lines[0] == "\t".join(_COLUMNS_WITHOUT_VM):
        columns = _COLUMNS_WITHOUT_VM
    else:
        raise TsvError(f"{path}:1: header must be {HEADER!r}, not {lines[0]!r}")
    rows = []
    for number, line in enumerate(lines[1:], start=2):
        try:
            rows.append(parse_line(line, columns))
        except ValueError as exc:
            raise TsvError(f"{path}:{number}: {exc}") from None
    return rows


def load_source(module: str, package_dir: Path = _DEFAULT_PACKAGE_DIR) -> ModuleType:
    """Import a module of the package's source tree without running the package's ``__init__``.

    The writer imports its siblings relatively, so modules are loaded inside a stand-in package
    under a private name, which cannot shadow an installed ``quillet``.
    """
    name = "_quillet_source_tree"
    if name not in sys.modules:
        spec = importlib.machinery.ModuleSpec(name, None, is_package=True)
        package = importlib.util.module_from_spec(spec)
        package.__path__ = [str(package_dir)]
        sys.modules[name] = package
    return importlib.import_module(f"{name}.{module}")


def load_writer(package_dir: Path = _DEFAULT_PACKAGE_DIR) -> ModuleType:
    """Import ``writer.py`` of the source tree, see :func:`load_source`."""
    return load_source("writer", package_dir)


VR_CODES = frozenset(load_source("_layout").VR_CODES)


def is_vr_text(text: str) -> bool:
    """One VR code, or a choice of two or more different codes joined by " or "."""
    codes = text.split(" or ")
    if len(codes) == 1:
        return text in VR_CODES
    return len(set(codes)) == len(codes) and all(c in VR_CODES and c != "??" for c in codes)


def to_entries(rows: list[Row], writer: ModuleType) -> list[Any]:
    return [
        writer.Entry(
            row.group,
            row.element,
            creator=row.creator,
            keyword=row.keyword,
            name=row.name,
            vr=row.vr,
            description=row.description,
            retired=row.retired,
            block_offset=row.block_offset,
            sources=row.sources,
            vm=row.vm,
        )
        for row in rows
    ]


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("tsv", type=Path, help="the dictionary text (data/dictionary.tsv)")
    parser.add_argument("out", type=Path, help="the .qlet file to write")
    parser.add_argument(
        "--package-dir",
        type=Path,
        default=_DEFAULT_PACKAGE_DIR,
        help="folder holding writer.py (default: src/quillet of this tree)",
    )
    args = parser.parse_args(argv)
    try:
        rows = read_tsv(args.tsv)
        writer = load_writer(args.package_dir)
        writer.write_dictionary(args.out, to_entries(rows, writer), companion=True)
    except (OSError, ValueError) as exc:
        print(f"compile_dictionary: {exc}", file=sys.stderr)
        return 1
    print(f"compile_dictionary: wrote {len(rows)} entries to {args.out} ({args.out.stat().st_size} bytes)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
