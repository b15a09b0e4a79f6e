"""Compile the committed UID text into a UID file (.qlud), and the one format of that text.

    python tools/compile_uids.py data/uids.tsv OUT.qlud [--package-dir DIR]

Like ``tools/compile_dictionary.py``, which it shares the loading of the package's writer with,
it runs at package build time before the extension exists and needs neither pydicom nor GDCM.
``tools/regen_dictionary.py`` writes the text with :func:`to_text` and compares it byte for
byte.  The text:

* UTF-8, lines ending in ``\\n``, fields separated by one tab, no quoting (the regeneration
  refuses texts holding a tab or a line break);
* a header line equal to :data:`HEADER`, then one row per UID, in the order of their
  components as numbers;
* ``retired`` 0 or 1; ``encoding`` empty, or for a transfer syntax whose encoding is known
  ``implicit`` or ``explicit``, ``little`` or ``big``, then ``deflated`` and ``encapsulated``
  where they hold, separated by blanks (the writer's ``UidEntry.encoding``); ``sources`` as
  ``|``-separated non-empty items; every other field verbatim.
"""

from __future__ import annotations

import argparse
import importlib.util
import sys
from dataclasses import dataclass
from pathlib import Path
from types import ModuleType
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:  # mypy reads the file as the module it is
    from compile_dictionary import _DEFAULT_PACKAGE_DIR, TsvError, load_source
else:
    # By path, under the name tools/regen_dictionary.py gives it, so that one copy serves both.
    _name = "_quillet_compile_dictionary"
    if _name not in sys.modules:
        _spec = importlib.util.spec_from_file_location(
            _name, Path(__file__).with_name("compile_dictionary.py")
        )
        sys.modules[_name] = importlib.util.module_from_spec(_spec)
        _spec.loader.exec_module(sys.modules[_name])
    _DEFAULT_PACKAGE_DIR = sys.modules[_name]._DEFAULT_PACKAGE_DIR
    TsvError = sys.modules[_name].TsvError
    load_source = sys.modules[_name].load_source

COLUMNS = ("uid", "keyword", "name", "type", "info", "retired", "encoding", "sources")
HEADER = "\t".join(COLUMNS)


@dataclass(frozen=True)
class UidRow:
    """One line of the UID text; the fields of a writer ``UidEntry``."""

    uid: str
    keyword: str
    name: str
    type: str
    info: str
    retired: bool
    encoding: str
    sources: tuple[str, ...]

    def to_line(self) -> str:
        fields = (
            self.uid,
            self.keyword,
            self.name,
            self.type,
            self.info,
            str(int(self.retired)),
            self.encoding,
        )
        return "\t".join((*fields, "|".join(self.sources)))


def to_text(rows: list[UidRow]) -> str:
    return HEADER + "\n" + "".join(row.to_line() + "\n" for row in rows)


def parse_line(line: str) -> UidRow:
    if "\r" in line:
        raise ValueError("carriage return inside the line")
    fields = line.split("\t")
    if len(fields) != len(COLUMNS):
        raise ValueError(f"{len(fields)} fields, expected {len(COLUMNS)}")
    uid, keyword, name, kind, info, retired, encoding, sources = fields
    if retired not in ("0", "1"):
        raise ValueError(f"retired must be 0 or 1, not {retired!r}")
    items = tuple(sources.split("|")) if sources else ()
    if not items or any(not item for item in items):
        raise ValueError(f"sources {sources!r} must be non-empty items separated by '|'")
    return UidRow(uid, keyword, name, kind, info, retired == "1", encoding, items)


def read_uids_tsv(path: str | Path) -> list[UidRow]:
    """Parse the UID text at `path`; raise ``TsvError`` on the first bad line."""
    path = Path(path)
    with path.open(encoding="utf-8", newline="") as f:
        text = f.read()
    if not text.endswith("\n"):
        raise TsvError(f"{path}: does not end with a line break")
    lines = text[:-1].split("\n")
    if lines[0] != HEADER:
        raise TsvError(f"{path}:1: header must be {HEADER!r}, not {lines[0]!r}")
    rows = []
    for number, line in enumerate(lines[1:], start=2):
        try:
            rows.append(parse_line(line))
        except ValueError as exc:
            raise TsvError(f"{path}:{number}: {exc}") from None
    return rows


def to_uid_entries(rows: list[UidRow], uid_writer: ModuleType) -> list[Any]:
    return [
        uid_writer.UidEntry(
            row.uid,
            keyword=row.keyword,
            name=row.name,
            type=row.type,
            info=row.info,
            retired=row.retired,
            encoding=row.encoding,
            sources=row.sources,
        )
        for row in rows
    ]


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("tsv", type=Path, help="the UID text (data/uids.tsv)")
    parser.add_argument("out", type=Path, help="the .qlud file to write")
    parser.add_argument(
        "--package-dir",
        type=Path,
        default=_DEFAULT_PACKAGE_DIR,
        help="folder holding _uid_writer.py (default: src/quillet of this tree)",
    )
    args = parser.parse_args(argv)
    try:
        rows = read_uids_tsv(args.tsv)
        uid_writer = load_source("_uid_writer", args.package_dir)
        uid_writer.write_uids(args.out, to_uid_entries(rows, uid_writer))
    except (OSError, ValueError) as exc:
        print(f"compile_uids: {exc}", file=sys.stderr)
        return 1
    print(f"compile_uids: wrote {len(rows)} UIDs to {args.out} ({args.out.stat().st_size} bytes)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
