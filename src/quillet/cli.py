"""The ``quillet`` command: look a tag up, describe a dictionary file, compile your own.

quillet lookup 0010,0010
quillet lookup 0029,1010 --creator "SIEMENS CSA HEADER"
quillet info
quillet build my-private.csv -o my-private.qlet
"""

from __future__ import annotations

import argparse
import csv
import json
import re
import statistics
import sys
import time
from collections.abc import Callable
from pathlib import Path
from typing import TYPE_CHECKING, Any

from . import DEFAULT_PATH, Dict, lookup_element
from . import open as open_dict
from ._layout import RESULT_KEYS
from .writer import Entry, to_bytes, write_dictionary

if TYPE_CHECKING:
    from ._quillet import Entry as Found

EXIT_NOT_FOUND = 1
EXIT_BAD_INPUT = 2

_TAG = re.compile(r"\(?\s*([0-9A-Fa-f]{4})\s*,?\s*([0-9A-Fa-f]{4}|[xX]{2}[0-9A-Fa-f]{2})\s*\)?")


class BadInput(Exception):
    """Input the user can correct; reported on one line with exit status 2."""


def parse_tag(text: str) -> tuple[int, int]:
    """'0010,0010', '(0010,0010)', '00100010' or, for a private block, '0029,xx10'."""
    m = _TAG.fullmatch(text.strip())
    if not m:
        raise BadInput(f"not a tag: {text!r} (expected GGGG,EEEE, (GGGG,EEEE) or GGGGEEEE in hexadecimal)")
    group, element = m.group(1), m.group(2)
    return int(group, 16), int(element[2:] if element[:2] in ("xx", "XX", "xX", "Xx") else element, 16)


def _open(path: Path | str) -> Dict:
    try:
        return open_dict(path)
    except (OSError, ValueError) as exc:
        raise BadInput(str(exc)) from None


def describe(e: Found) -> str:
    element = f"xx{e['element']:02X}" if e["block_offset"] else f"{e['element']:04X}"
    lines = [
        f"({e['group']:04X},{element}) {e['keyword'] or '(no keyword)'}",
        f"  name:     {e['name'] or '-'}",
        f"  vr:       {e['vr']}" + ("  (several or none; see the description)" if e["vr"] == "??" else ""),
        f"  retired:  {'yes' if e['retired'] else 'no'}",
        f"  creator:  {e['creator'] or '- (public)'}",
        f"  sources:  {'; '.join(e['sources']) or '-'}",
    ]
    if e["description"]:
        lines.append(f"  note:     {e['description']}")
    return "\n".join(lines)


def cmd_lookup(args: argparse.Namespace) -> int:
    group, element = parse_tag(args.tag)
    d = _open(args.dict)
    entry = lookup_element(d, group, element, args.creator)
    if entry is None:
        under = f" under creator {args.creator!r}" if args.creator is not None else ""
        print(f"quillet: ({group:04X},{element:04X}){under} is not in {args.dict}", file=sys.stderr)
        return EXIT_NOT_FOUND
    print(json.dumps(entry, ensure_ascii=False) if args.json else describe(entry))
    return 0


def cmd_info(args: argparse.Namespace) -> int:
    path = Path(args.path)
    d = _open(path)
    times = []
    for _ in range(args.repeat):
        t = time.perf_counter()
        open_dict(path)
        times.append(time.perf_counter() - t)
    print(f"file:     {path}")
    print(f"entries:  {len(d)}")
    print(f"size:     {path.stat().st_size} bytes")
    print(
        f"open:     {statistics.median(times) * 1e6:.0f} us (median of {args.repeat}, file in the page cache)"
    )
    return 0


# ---- build -----------------------------------------------------------------------------------

FIELDS = RESULT_KEYS
_TRUE = {"1", "true", "yes", "y"}
_FALSE = {"", "0", "false", "no", "n"}


def _number(value: object, field: str) -> int:
    if isinstance(value, bool):
        raise ValueError(f"{field}: expected a number, not {value!r}")
    if isinstance(value, int):
        return value
    if isinstance(value, str) and re.fullmatch(r"(0[xX])?[0-9A-Fa-f]{1,4}", value.strip()):
        return int(value.strip(), 16)
    raise ValueError(f"{field}: expected 1 to 4 hexadecimal digits, not {value!r}")


def _flag(value: object, field: str) -> bool:
    if isinstance(value, bool):
        return value
    text = str(value).strip().lower()
    if text in _TRUE | _FALSE:
        return text in _TRUE
    raise ValueError(f"{field}: expected yes/no, true/false or 1/0, not {value!r}")


def _entry(row: dict[str, Any]) -> Entry:
    unknown = set(row) - set(FIELDS)
    if unknown:
        raise ValueError(f"unknown field(s): {', '.join(sorted(map(str, unknown)))}")
    for required in ("group", "element"):
        if row.get(required) in (None, ""):
            raise ValueError(f"{required}: missing")
    sources = row.get("sources") or ()
    if isinstance(sources, str):
        sources = tuple(sources.split("|"))
    texts = {k: row.get(k) or "" for k in ("creator", "keyword", "name", "description")}
    return Entry(
        _number(row["group"], "group"),
        _number(row["element"], "element"),
        vr=row.get("vr") or "UN",
        retired=_flag(row.get("retired", ""), "retired"),
        block_offset=_flag(row.get("block_offset", ""), "block_offset"),
        sources=tuple(sources),
        **texts,
    )


def _read_csv(path: Path) -> list[tuple[int, dict[str, Any]]]:
    with path.open(encoding="utf-8-sig", newline="") as f:
        reader = csv.DictReader(f)
        if reader.fieldnames is None:
            return []
        rows = []
        for row in reader:
            if None in row:
                raise BadInput(f"{path}:{reader.line_num}: more fields than the header names")
            rows.append((reader.line_num, row))
        return rows


def _read_json(path: Path) -> list[tuple[int, dict[str, Any]]]:
    # Walk the array item by item so that every item keeps the line it starts on.
    text = path.read_text(encoding="utf-8")
    decoder = json.JSONDecoder()
    pos = _skip(text, 0)
    if pos >= len(text) or text[pos] != "[":
        raise BadInput(f"{path}: expected a JSON array of objects")
    rows: list[tuple[int, dict[str, Any]]] = []
    pos = _skip(text, pos + 1)
    while pos < len(text) and text[pos] != "]":
        line = text.count("\n", 0, pos) + 1
        try:
            item, pos = decoder.raw_decode(text, pos)
        except json.JSONDecodeError as exc:
            raise BadInput(f"{path}:{exc.lineno}: {exc.msg}") from None
        if not isinstance(item, dict):
            raise BadInput(f"{path}:{line}: expected an object, not {type(item).__name__}")
        rows.append((line, item))
        pos = _skip(text, pos)
        if pos < len(text) and text[pos] == ",":
            pos = _skip(text, pos + 1)
    if pos >= len(text):
        raise BadInput(f"{path}: the JSON array is not closed")
    return rows


def _skip(text: str, pos: int) -> int:
    while pos < len(text) and text[pos] in " \t\r\n":
        pos += 1
    return pos


def cmd_build(args: argparse.Namespace) -> int:
    source = Path(args.source)
    try:
        rows = _read_json(source) if source.suffix.lower() == ".json" else _read_csv(source)
    except (OSError, UnicodeDecodeError) as exc:
        raise BadInput(f"cannot read {source}: {exc}") from None
    entries, lines, problems = [], [], []
    for line, row in rows:
        try:
            entry = _entry(row)
            to_bytes([entry])  # the writer's own checks of a single entry
        except ValueError as exc:
            problems.append(f"{source}:{line}: {re.sub(r'^entry 0 ', '', str(exc))}")
            continue
        entries.append(entry)
        lines.append(line)
    if not problems:
        try:
            write_dictionary(args.output, entries)
        except ValueError as exc:
            # Faults between entries (a key given twice, colliding creators) name entry positions.
            message = re.sub(r"entry (\d+)", lambda m: f"line {lines[int(m.group(1))]}", str(exc))
            problems.append(f"{source}: {message}")
    if problems:
        for p in problems:
            print(p, file=sys.stderr)
        print(f"quillet: {len(problems)} bad row(s); nothing written", file=sys.stderr)
        return EXIT_BAD_INPUT
    print(f"wrote {len(entries)} entries to {args.output}")
    return 0


# ---- the parser ------------------------------------------------------------------------------


def parser() -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(
        prog="quillet",
        description="Answer DICOM data-dictionary questions from a precompiled .qlet dictionary. "
        "Without --dict, the standard dictionary that ships with quillet is used.",
    )
    sub = top.add_subparsers(dest="command", required=True, metavar="COMMAND")

    p = sub.add_parser(
        "lookup",
        help="show what the dictionary knows about a tag",
        description="Show the dictionary entry of a tag. TAG is hexadecimal: 0010,0010, (0010,0010) or "
        "00100010. For a private tag give its creator; an element inside the creator's block may be "
        "written as found in a data set (0029,1010) or in the dictionary's form (0029,xx10). "
        "Exit status: 0 found, 1 not in the dictionary, 2 bad input.",
    )
    p.add_argument("tag", metavar="TAG", help="the tag, e.g. 0010,0010")
    p.add_argument(
        "--creator", metavar="TEXT", help="private creator of the block, e.g. 'SIEMENS CSA HEADER'"
    )
    p.add_argument(
        "--dict", metavar="PATH", default=DEFAULT_PATH, help="dictionary file (default: the bundled one)"
    )
    p.add_argument("--json", action="store_true", help="print the entry as one JSON object")
    p.set_defaults(run=cmd_lookup)

    p = sub.add_parser(
        "info",
        help="entry count, size and open time of a dictionary file",
        description="Print the number of entries, the file size and how long opening it takes "
        "(the median of several opens, the file being in the page cache after the first).",
    )
    p.add_argument(
        "path", metavar="PATH", nargs="?", default=DEFAULT_PATH, help="dictionary file (default: bundled)"
    )
    p.add_argument("--repeat", type=int, default=21, help=argparse.SUPPRESS)
    p.set_defaults(run=cmd_info)

    p = sub.add_parser(
        "build",
        help="compile your own dictionary from CSV or JSON",
        description="Compile a dictionary from a CSV file (a header row naming the columns) or a JSON "
        "array of objects. Fields: group and element (hexadecimal, required), creator (empty for a "
        "public tag), keyword, name, vr (two letters, or ?? for several; default UN), description, "
        "retired and block_offset (yes/no, default no), sources (items separated by |). Every bad "
        "row is reported with its line number, and then nothing is written.",
    )
    p.add_argument("source", metavar="SOURCE", help="a .csv or .json file")
    p.add_argument("-o", "--output", metavar="OUT", required=True, help="the .qlet file to write")
    p.set_defaults(run=cmd_build)
    return top


def main(argv: list[str] | None = None) -> int:
    args = parser().parse_args(argv)
    run: Callable[[argparse.Namespace], int] = args.run
    try:
        return run(args)
    except BadInput as exc:
        print(f"quillet: {exc}", file=sys.stderr)
        return EXIT_BAD_INPUT


if __name__ == "__main__":
    sys.exit(main())
