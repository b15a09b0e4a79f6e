"""The ``quillet`` command: look a tag up, describe a dictionary file, compile your own.

quillet lookup 0010,0010
quillet lookup PatientName
quillet lookup 0029,1010 --creator "SIEMENS CSA HEADER"
quillet search "patient birth"
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
from pathlib import Path
from typing import TYPE_CHECKING, Any

from . import DEFAULT_PATH, Dict
from . import open as open_dict
from .writer import Entry, companion_path, to_bytes, write_dictionary

if TYPE_CHECKING:
    from collections.abc import Mapping

    from ._quillet import Entry as Found
    from .companion import Companion

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


def find(d: Dict, group: int, element: int, creator: str | None) -> dict | None:
    """The entry for a tag as it appears in a data set.

    Private dictionaries key an element inside a creator's block by its low byte, so a tag
    copied from a dump, (0029,1010), is also tried as (0029,xx10) when it has no entry of its own.
    """
    entry = d.lookup(group, element, creator)
    if entry is None and creator is not None and element > 0xFF:
        entry = d.lookup(group, element & 0xFF, creator)
        if entry is not None and not entry["block_offset"]:
            entry = None
    return entry


def tag_text(e: Mapping[str, Any]) -> str:
    element = f"xx{e['element']:02X}" if e["block_offset"] else f"{e['element']:04X}"
    return f"({e['group']:04X},{element})"


def describe(e: Mapping[str, Any], vm: str | None = None) -> str:
    lines = [
        f"{tag_text(e)} {e['keyword'] or '(no keyword)'}",
        f"  name:     {e['name'] or '-'}",
        f"  vr:       {e['vr']}" + ("  (several or none; see the description)" if e["vr"] == "??" else ""),
        *([f"  vm:       {vm}"] if vm else []),
        f"  retired:  {'yes' if e['retired'] else 'no'}",
        f"  creator:  {e['creator'] or '- (public)'}",
        f"  sources:  {'; '.join(e['sources']) or '-'}",
    ]
    if e["description"]:
        lines.append(f"  note:     {e['description']}")
    return "\n".join(lines)


def cmd_lookup(args: argparse.Namespace) -> int:
    keyword = None if _TAG.fullmatch(args.tag.strip()) else _KEYWORD.fullmatch(args.tag.strip())
    entry: Mapping[str, Any] | None
    if keyword is None:
        group, element = parse_tag(args.tag)
        d = _open(args.dict)
        entry = find(d, group, element, args.creator)
        companion = _open_companion(args.dict, required=False)
    else:
        companion = _open_companion(args.dict, required=True)
        assert companion is not None
        entry = _by_keyword(companion, keyword.group(0), args.creator)
        if entry is None:
            under = f" under creator {args.creator!r}" if args.creator is not None else ""
            print(
                f"quillet: no entry with keyword {keyword.group(0)!r}{under} in {args.dict}", file=sys.stderr
            )
            return EXIT_NOT_FOUND
    if entry is None:
        under = f" under creator {args.creator!r}" if args.creator is not None else ""
        print(f"quillet: ({group:04X},{element:04X}){under} is not in {args.dict}", file=sys.stderr)
        return EXIT_NOT_FOUND
    vm = companion.vm(entry["group"], entry["element"], entry["creator"] or None) if companion else None
    if args.json:
        print(json.dumps({**entry, **({"vm": vm} if companion else {})}, ensure_ascii=False))
    else:
        print(describe(entry, vm))
    return 0


# ---- keywords, search and VM: the companion beside a dictionary --------------------------------

_KEYWORD = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")


def _open_companion(dict_path: Path | str, *, required: bool) -> Companion | None:
    """The companion beside `dict_path`; None if there is none and it is not `required`."""
    from .companion import open_companion

    path = companion_path(dict_path)
    if not required and not Path(path).exists():
        return None
    try:
        return open_companion(path, dict_path)
    except (OSError, ValueError) as exc:
        hint = " (quillet build writes it beside the dictionary)" if not Path(path).exists() else ""
        raise BadInput(f"{exc}{hint}") from None


def _by_keyword(companion: Companion, keyword: str, creator: str | None) -> Found | None:
    """The public entry of `keyword`, or with `creator` the one under that private creator."""
    if creator is None:
        tag = companion.tag_for_keyword(keyword)
        return None if tag is None else companion.dict.lookup(*tag)
    from ._unicode import normalize_creator

    folded = normalize_creator(creator)
    for entry in companion.entries_for_keyword(keyword):
        if entry["creator"] and normalize_creator(entry["creator"]) == folded:
            return entry
    return None


def cmd_search(args: argparse.Namespace) -> int:
    if args.limit < 0:
        raise BadInput(f"--limit must not be negative, not {args.limit}")
    companion = _open_companion(args.dict, required=True)
    assert companion is not None
    found = companion.search(args.text, creator=args.creator, limit=args.limit or None)
    for entry in found:
        if args.json:
            vm = companion.vm(entry["group"], entry["element"], entry["creator"] or None)
            print(json.dumps({**entry, "vm": vm}, ensure_ascii=False))
        else:
            creator = f"  [{entry['creator']}]" if entry["creator"] else ""
            print(f"{tag_text(entry)} {entry['keyword'] or '(no keyword)'}: {entry['name'] or '-'}{creator}")
    return 0 if found else EXIT_NOT_FOUND


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

FIELDS = (
    "group",
    "element",
    "creator",
    "keyword",
    "name",
    "vr",
    "description",
    "retired",
    "block_offset",
    "sources",
    "vm",
)
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


def _entry(row: dict) -> Entry:
    unknown = set(row) - set(FIELDS)
    if unknown:
        raise ValueError(f"unknown field(s): {', '.join(sorted(map(str, unknown)))}")
    for required in ("group", "element"):
        if row.get(required) in (None, ""):
            raise ValueError(f"{required}: missing")
    sources = row.get("sources") or ()
    if isinstance(sources, str):
        sources = tuple(sources.split("|"))
    texts = {k: row.get(k) or "" for k in ("creator", "keyword", "name", "description", "vm")}
    return Entry(
        _number(row["group"], "group"),
        _number(row["element"], "element"),
        vr=row.get("vr") or "UN",
        retired=_flag(row.get("retired", ""), "retired"),
        block_offset=_flag(row.get("block_offset", ""), "block_offset"),
        sources=tuple(sources),
        **texts,
    )


def _read_csv(path: Path) -> list[tuple[int, dict]]:
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


def _read_json(path: Path) -> list[tuple[int, dict]]:
    # Walk the array item by item so that every item keeps the line it starts on.
    text = path.read_text(encoding="utf-8")
    decoder = json.JSONDecoder()
    pos = _skip(text, 0)
    if pos >= len(text) or text[pos] != "[":
        raise BadInput(f"{path}: expected a JSON array of objects")
    rows: list[tuple[int, dict]] = []
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
            write_dictionary(args.output, entries, companion=True)
        except ValueError as exc:
            # Faults between entries (a key given twice, colliding creators) name entry positions.
            message = re.sub(r"entry (\d+)", lambda m: f"line {lines[int(m.group(1))]}", str(exc))
            problems.append(f"{source}: {message}")
    if problems:
        for p in problems:
            print(p, file=sys.stderr)
        print(f"quillet: {len(problems)} bad row(s); nothing written", file=sys.stderr)
        return EXIT_BAD_INPUT
    print(f"wrote {len(entries)} entries to {args.output} and its companion {companion_path(args.output)}")
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
        "00100010, or a keyword such as PatientName (matched exactly; with --creator, the private "
        "keyword under that creator). For a private tag give its creator; an element inside the "
        "creator's block may be written as found in a data set (0029,1010) or in the dictionary's "
        "form (0029,xx10). The value multiplicity (vm) is shown when the dictionary has a companion "
        "file beside it. Exit status: 0 found, 1 not in the dictionary, 2 bad input.",
    )
    p.add_argument("tag", metavar="TAG", help="the tag, e.g. 0010,0010, or a keyword")
    p.add_argument(
        "--creator", metavar="TEXT", help="private creator of the block, e.g. 'SIEMENS CSA HEADER'"
    )
    p.add_argument(
        "--dict", metavar="PATH", default=DEFAULT_PATH, help="dictionary file (default: the bundled one)"
    )
    p.add_argument("--json", action="store_true", help="print the entry as one JSON object")
    p.set_defaults(run=cmd_lookup)

    p = sub.add_parser(
        "search",
        help="find entries by a part of their keyword or name",
        description="List the entries whose keyword or name contains TEXT, ignoring case, one a line: "
        "first those whose keyword is TEXT, then those whose keyword or name starts with it, then the "
        "rest; ties public entries first, by tag. Needs the dictionary's companion file. "
        "Exit status: 0 found, 1 nothing found, 2 bad input.",
    )
    p.add_argument("text", metavar="TEXT", help="a part of a keyword or name, e.g. 'birth date'")
    p.add_argument("--creator", metavar="TEXT", help="only the entries of this private creator")
    p.add_argument(
        "--dict", metavar="PATH", default=DEFAULT_PATH, help="dictionary file (default: the bundled one)"
    )
    p.add_argument(
        "--limit", type=int, default=50, metavar="N", help="at most N entries (0: all; default 50)"
    )
    p.add_argument("--json", action="store_true", help="print each entry, with its vm, as one JSON object")
    p.set_defaults(run=cmd_search)

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
        "public tag), keyword, name, vr (two letters, or ?? for several; default UN), vm (value "
        "multiplicity such as 1-n, optional), description, retired and block_offset (yes/no, "
        "default no), sources (items separated by |). Every bad row is reported with its line "
        "number, and then nothing is written. The companion file that keyword lookups, search and "
        "vm need is written beside OUT, with the suffix .qlix.",
    )
    p.add_argument("source", metavar="SOURCE", help="a .csv or .json file")
    p.add_argument("-o", "--output", metavar="OUT", required=True, help="the .qlet file to write")
    p.set_defaults(run=cmd_build)
    return top


def main(argv: list[str] | None = None) -> int:
    args = parser().parse_args(argv)
    try:
        return args.run(args)
    except BadInput as exc:
        print(f"quillet: {exc}", file=sys.stderr)
        return EXIT_BAD_INPUT


if __name__ == "__main__":
    sys.exit(main())
