"""The command's registered UIDs: what ``quillet lookup`` shows for a UID, the lines that
``quillet search`` adds, and the rows of ``quillet build --uids``.

A TAG argument with a dot in it is a UID: no form of a tag has one.  Text that is no UID is bad
input (exit status 2), told apart from a UID that no dictionary registers (1).
"""

from __future__ import annotations

from collections.abc import Callable
from typing import TYPE_CHECKING, Any

from ._build_input import (
    _flag,
    _names,
    _sources,
    _text,
    decode,
    read_csv,
    read_json,
    unlimited_csv_fields,
)
from ._terminal import BadInput, complain, emit, json_line, shown
from .writer import InvalidEntries, UidEntry, check_uids

if TYPE_CHECKING:
    from collections.abc import Mapping

    from ._types import UidEncoding, UidInfo
    from .dictionary import Dictionary

#: The columns of ``quillet build --uids``: the fields of the writer's UidEntry.
FIELDS = ("uid", "keyword", "name", "type", "info", "retired", "sources", "encoding")


def is_uid_text(text: str) -> bool:
    """Whether a TAG argument asks about a UID: no tag is written with a dot."""
    return "." in text


def ask[T](call: Callable[[], T]) -> T:
    """A question about UIDs: a UID file that cannot be used, or text that is no UID, is the
    user's to put right."""
    try:
        return call()
    except (OSError, ValueError) as exc:
        raise BadInput(str(exc)) from None


def encoding_text(e: UidEncoding | None) -> str:
    if e is None:
        return "-"
    words = ["implicit VR" if e["implicit_vr"] else "explicit VR"]
    words.append("little endian" if e["little_endian"] else "big endian")
    words += ["deflated"] * e["deflated"] + ["encapsulated (compressed)"] * e["encapsulated"]
    return ", ".join(words)


def describe(e: UidInfo) -> str:
    lines = [
        f"{e['uid']} {shown(e['keyword']) or '(no keyword)'}",
        f"  name:     {shown(e['name']) or '-'}",
        f"  type:     {shown(e['type']) or '-'}",
        *([f"  encoding: {encoding_text(e['encoding'])}"] if e["type"] == "Transfer Syntax" else []),
        *([f"  info:     {shown(e['info'])}"] if e["info"] else []),
        f"  retired:  {'yes' if e['retired'] else 'no'}",
        f"  sources:  {shown('; '.join(e['sources'])) or '-'}",
    ]
    return "\n".join(lines)


def show(e: UidInfo, as_json: bool) -> int:
    emit(json_line(e) if as_json else describe(e))
    return 0


def lookup(d: Dictionary, text: str, as_json: bool, where: str) -> int:
    """``quillet lookup UID``: 0 found, 1 not registered; bad input raises."""
    found = ask(lambda: d.uid(text))
    if found is None:
        complain(f"{text} is a UID, but not one registered in {where}")
        return 1
    return show(found, as_json)


def by_keyword(d: Dictionary, keyword: str) -> UidInfo | None:
    uid = d.uid_for_keyword(keyword)
    return None if uid is None else d.uid(uid)


def search_line(e: Mapping[str, Any]) -> str:
    kind = f"  [{shown(e['type'])}]" if e["type"] else ""
    return f"{e['uid']} {shown(e['keyword']) or '(no keyword)'}: {shown(e['name']) or '-'}{kind}"


def _rank(entry: Mapping[str, Any], folded: str) -> int:
    keyword = entry["keyword"].casefold()
    if folded and keyword == folded:
        return 0
    return 1 if keyword.startswith(folded) or entry["name"].casefold().startswith(folded) else 2


def merge(tags: list[Any], uids: list[UidInfo], text: str, limit: int | None) -> list[Any]:
    """Tag entries and UIDs in one list, best matches first; of equally good ones, tags first."""
    folded = text.casefold()
    ranked = sorted(
        [
            *((_rank(e, folded), 0, n, e) for n, e in enumerate(tags)),
            *((_rank(e, folded), 1, n, e) for n, e in enumerate(uids)),
        ],
        key=lambda t: t[:3],
    )
    return [t[3] for t in ranked[:limit]]


def to_uid_entry(row: dict[str, Any]) -> UidEntry:
    """The writer's UidEntry for one row of ``--uids``; ValueError names the first field at fault."""
    unknown = [k for k in row if k not in FIELDS]
    if unknown:
        raise ValueError(f"unknown field(s): {_names(unknown)}")
    if row.get("uid") in (None, ""):
        raise ValueError("uid: missing")
    return UidEntry(
        _text(row["uid"], "uid").strip(),
        keyword=_text(row.get("keyword"), "keyword"),
        name=_text(row.get("name"), "name"),
        type=_text(row.get("type"), "type"),
        info=_text(row.get("info"), "info"),
        retired=bool(_flag(row.get("retired"), "retired")),
        sources=_sources(row.get("sources")),
        encoding=_text(row.get("encoding"), "encoding").strip(),
    )


def read_uids(path: str, data: bytes) -> tuple[list[UidEntry], list[tuple[int, str]]]:
    """The UIDs of ``--uids`` (CSV, or JSON for a name ending in .json), and the problems of its
    rows by line, the writer's among them."""
    text = decode(path, data)
    if path.lower().endswith(".json"):
        rows, problems = read_json(path, text)
    else:
        with unlimited_csv_fields():
            rows, problems = read_csv(path, text, FIELDS, ("uid",))
    uids, lines = [], []
    for line, row in rows:
        try:
            uids.append(to_uid_entry(row))
            lines.append(line)
        except ValueError as exc:
            problems.append((line, str(exc)))
    try:
        check_uids(uids)
    except InvalidEntries as exc:
        for p in exc.problems:
            other = f" line {lines[p.other[0]]}" if p.other is not None else ""
            problems.append((lines[p.position], p.text + other))
    problems.sort(key=lambda p: p[0])
    return uids, problems
