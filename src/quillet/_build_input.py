"""Reading the input of ``quillet build``: CSV and JSON rows, each turned into a writer entry.

Problems are collected with the line they belong to, so that the command can report every bad
row at once; what cannot be read at all (a broken header, malformed JSON) is a :class:`BadInput`.
"""

from __future__ import annotations

import codecs
import collections
import contextlib
import csv
import dataclasses
import io
import json
import re
import sys
from collections.abc import Iterator
from typing import Any, NoReturn

from ._terminal import BadInput
from .writer import Entry

# The columns are the writer's fields: the result's keys, then the VM that the companion keeps.
FIELDS = tuple(f.name for f in dataclasses.fields(Entry))
_REQUIRED = ("group", "element")
_TRUE = {"1", "true", "yes", "y"}
_FALSE = {"", "0", "false", "no", "n"}
_HEX = re.compile(r"(?:0[xX])?([0-9A-Fa-f]{1,4})")
_BLOCK_HEX = re.compile(r"[xX]{2}([0-9A-Fa-f]{2})")
_WS = re.compile(r"[ \t\n\r]*")

# (line, fields as read) for each row, and (line, text) for each problem found while reading.
Rows = list[tuple[int, dict[str, Any]]]
Problems = list[tuple[int, str]]


def _names(names: list[str] | tuple[str, ...], most: int = 10) -> str:
    """Names for a message, at most `most` of them: an input may have thousands."""
    more = f" and {len(names) - most} more" if len(names) > most else ""
    return ", ".join(map(repr, names[:most])) + more


def _what(value: object) -> str:
    """The JSON name of a value's type, for messages."""
    if isinstance(value, _NotJson):
        return value.text
    for kind, name in ((bool, "true/false"), (str, "a string"), (dict, "an object"), (list, "an array")):
        if isinstance(value, kind):
            return name
    return "null" if value is None else "a number"


def _what_or_repr(value: object) -> str:
    return repr(value) if isinstance(value, str) else _what(value)


def _hex(value: object, field: str, block: bool) -> tuple[int, bool]:
    """A tag number from hexadecimal digits in a string: (value, written in the block form)."""
    if not isinstance(value, str):
        raise ValueError(
            f'{field}: expected hexadecimal digits in a string, such as "0010", not {_what(value)} '
            '(16 and "16" would otherwise name different tags)'
        )
    text = value.strip()
    if block and (m := _BLOCK_HEX.fullmatch(text)):
        return int(m[1], 16), True
    if m := _HEX.fullmatch(text):
        return int(m[1], 16), False
    forms = "1 to 4 hexadecimal digits" + (", or xx and 2 of them inside a private block" if block else "")
    raise ValueError(f"{field}: expected {forms}, not {value!r}")


def _flag(value: object, field: str) -> bool | None:
    """A yes/no field; None when it is absent or empty."""
    if value is None or value == "":
        return None
    if isinstance(value, bool):
        return value
    if isinstance(value, str) and value.strip().lower() in _TRUE | _FALSE:
        return value.strip().lower() in _TRUE
    raise ValueError(f"{field}: expected yes/no, true/false or 1/0, not {_what_or_repr(value)}")


def _text(value: object, field: str) -> str:
    if value is None:
        return ""
    if not isinstance(value, str):
        raise ValueError(f"{field}: expected a string, not {_what(value)}")
    return value


def _sources(value: object) -> tuple[str, ...]:
    if value is None or value == "":
        return ()
    if isinstance(value, str):
        return tuple(value.split("|"))
    if isinstance(value, list):
        for k, item in enumerate(value):
            if not isinstance(item, str):
                raise ValueError(f"sources[{k}]: expected a string, not {_what(item)}")
        return tuple(value)
    raise ValueError(f"sources: expected a string with items separated by | or an array, not {_what(value)}")


def to_entry(row: dict[str, Any]) -> Entry:
    """The writer's entry for one row; ValueError names the first field at fault."""
    unknown = [k for k in row if k not in FIELDS]
    if unknown:
        raise ValueError(f"unknown field(s): {_names(unknown)}")
    duplicated = getattr(row, "duplicated", ())
    if duplicated:
        raise ValueError(f"field(s) given twice: {_names(duplicated)}")
    for required in _REQUIRED:
        if row.get(required) in (None, ""):
            raise ValueError(f"{required}: missing")
    group, _ = _hex(row["group"], "group", block=False)
    element, block_form = _hex(row["element"], "element", block=True)
    block_offset = _flag(row.get("block_offset"), "block_offset")
    if block_form and block_offset is False:
        raise ValueError(f"element: {row['element']} is an element inside a block, but block_offset says no")
    return Entry(
        group,
        element,
        creator=_text(row.get("creator"), "creator"),
        keyword=_text(row.get("keyword"), "keyword"),
        name=_text(row.get("name"), "name"),
        vr=_text(row.get("vr"), "vr") or "UN",
        description=_text(row.get("description"), "description"),
        retired=bool(_flag(row.get("retired"), "retired")),
        block_offset=block_form or bool(block_offset),
        sources=_sources(row.get("sources")),
        vm=_text(row.get("vm"), "vm"),
    )


def _position(data: str | bytes, pos: int) -> str:
    """'line:column' of offset `pos`, both counted from 1 (columns in bytes for bytes)."""
    if isinstance(data, str):
        line, start = data.count("\n", 0, pos), data.rfind("\n", 0, pos)
    else:
        line, start = data.count(b"\n", 0, pos), data.rfind(b"\n", 0, pos)
    return f"{line + 1}:{pos - start}"


def decode(path: str, data: bytes) -> str:
    start = len(codecs.BOM_UTF8) if data.startswith(codecs.BOM_UTF8) else 0
    try:
        return data[start:].decode("utf-8")
    except UnicodeDecodeError as exc:
        raise BadInput(f"{path}:{_position(data, start + exc.start)}: not UTF-8 ({exc.reason})") from None


@contextlib.contextmanager
def unlimited_csv_fields() -> Iterator[None]:
    # The csv module's default of 128 KiB per field is far below what a description may hold.
    old = csv.field_size_limit()
    try:
        csv.field_size_limit(sys.maxsize)
    except OverflowError:  # a C long of 32 bits
        csv.field_size_limit(2**31 - 1)
    try:
        yield
    finally:
        csv.field_size_limit(old)


def read_csv(
    path: str, text: str, fields: tuple[str, ...] = FIELDS, required: tuple[str, ...] = _REQUIRED
) -> tuple[Rows, Problems]:
    """The rows of a CSV text whose header names some of `fields`, all of `required` among them."""
    reader = csv.reader(io.StringIO(text, newline=""), strict=True)
    problems: Problems = []
    try:
        header = next(reader, None)
    except csv.Error as exc:
        raise BadInput(f"{path}:{reader.line_num}: {exc}") from None
    if header is None:
        raise BadInput(f"{path}: empty; expected a header row naming the columns")
    header = [name.strip() for name in header]
    faults = []
    unknown = list(dict.fromkeys(name for name in header if name not in fields))
    if unknown:
        faults.append(f"unknown column(s) {_names(unknown)}")
    twice = sorted(name for name, n in collections.Counter(header).items() if n > 1)
    if twice:
        faults.append(f"column(s) named twice: {_names(twice)}")
    missing = [name for name in required if name not in header]
    if missing:
        faults.append(f"missing column(s) {', '.join(missing)}")
    if faults:
        problems.append((1, f"header: {'; '.join(faults)} (the columns are {', '.join(fields)})"))
    if missing or twice:
        return [], problems  # the rows cannot be read reliably
    rows: Rows = []
    last = reader.line_num
    while True:
        first = last + 1  # a row that spans lines is reported by its first
        try:
            values = next(reader)
        except StopIteration:
            break
        except csv.Error as exc:
            problems.append((first, str(exc)))
            break  # no way to tell where the next row starts
        last = reader.line_num
        if not values:
            continue  # a blank line
        if len(values) > len(header):
            problems.append(
                (first, f"{len(values)} fields, more than the {len(header)} columns of the header")
            )
            continue
        # Fields left off the end of a row are absent, and take their defaults.
        rows.append((first, {k: v for k, v in zip(header, values, strict=False) if k in fields}))
    return rows, problems


class _NotJson:
    """A value no field takes, named for messages: NaN and the infinities (Python's decoder
    accepts them, JSON does not), and every number (no field is a number), kept as its text
    is, so that one of thousands of digits costs no conversion."""

    def __init__(self, text: str) -> None:
        self.text = text


_NUMBER = _NotJson("a number")


class _Object(dict[str, Any]):
    duplicated: tuple[str, ...] = ()


def _object(pairs: list[tuple[str, Any]]) -> _Object:
    obj = _Object(pairs)
    if len(obj) != len(pairs):  # a key given twice: JSON keeps the last silently, we refuse
        counts = collections.Counter(k for k, _ in pairs)
        obj.duplicated = tuple(sorted(k for k, n in counts.items() if n > 1))
    return obj


def read_json(path: str, text: str) -> tuple[Rows, Problems]:
    decoder = json.JSONDecoder(
        object_pairs_hook=_object,
        parse_constant=_NotJson,
        parse_int=lambda _: _NUMBER,
        parse_float=lambda _: _NUMBER,
    )

    def fail(pos: int, message: str) -> NoReturn:
        raise BadInput(f"{path}:{_position(text, pos)}: {message}")

    pos = _WS.match(text, 0).end()  # type: ignore[union-attr]
    if not text.startswith("[", pos):
        fail(pos, "expected a JSON array of objects")
    rows: Rows = []
    problems: Problems = []
    line, counted = 1, 0
    pos = _WS.match(text, pos + 1).end()  # type: ignore[union-attr]
    if text.startswith("]", pos):
        pos += 1
    else:
        while True:
            line += text.count("\n", counted, pos)  # counted once per stretch: linear in all
            counted = pos
            try:
                item, pos = decoder.raw_decode(text, pos)
            except json.JSONDecodeError as exc:
                raise BadInput(f"{path}:{exc.lineno}:{exc.colno}: {exc.msg}") from None
            except RecursionError:
                fail(counted, "nested too deeply")
            if isinstance(item, dict):
                rows.append((line, item))
            else:
                problems.append((line, f"expected an object, not {_what(item)}"))
            pos = _WS.match(text, pos).end()  # type: ignore[union-attr]
            if text.startswith(",", pos):
                comma, pos = pos, _WS.match(text, pos + 1).end()  # type: ignore[union-attr]
                if text.startswith("]", pos) or pos == len(text):
                    fail(comma, "a comma after the last item")
            elif text.startswith("]", pos):
                pos += 1
                break
            elif pos == len(text):
                fail(pos, "the array is not closed")
            else:
                fail(pos, "expected ',' or ']' after an item")
    pos = _WS.match(text, pos).end()  # type: ignore[union-attr]
    if pos != len(text):
        fail(pos, "text after the end of the array")
    return rows, problems
