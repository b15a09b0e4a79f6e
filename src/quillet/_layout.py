"""Byte layout of a .qlet file: the low layer under :mod:`quillet.writer`.

Everything here packs exactly what it is given, valid or not, so that tests can also craft
files that a reader must refuse.  Nothing in this module checks anything; :mod:`quillet.writer`
is the layer that guarantees a well-formed file.

A file is a 32-byte header and a body. The body holds, in this order, the index (12-byte
entries), the records (44 bytes each) and the string pool, then a 24-byte root in its last
bytes whose three references are (signed offset from the reference's own position, count).
"""

from __future__ import annotations

import struct
from dataclasses import dataclass, field

MAGIC = b"QLET"
FORMAT_VERSION = 2
HEADER_LEN = 32
ROOT_LEN = 24
INDEX_ENTRY_LEN = 12
RECORD_LEN = 44

VR_TABLE = "AEASATCSDADSDTFLFDISLOLTOBODOFOLOVOWPNSHSLSQSSSTSVTMUCUIULUNURUSUTUV??"
VR_CODES: dict[str, int] = {VR_TABLE[i : i + 2]: i // 2 for i in range(0, len(VR_TABLE), 2)}
VR_UNKNOWN = VR_CODES["??"]

_INDEX = struct.Struct("<IIHH")
_RECORD = struct.Struct("<7I6H4B")
_VECREF = struct.Struct("<iI")


@dataclass
class RawIndexEntry:
    group: int
    element: int
    creator_hash: int = 0
    record: int = 0

    def pack(self) -> bytes:
        return _INDEX.pack(self.creator_hash, self.record, self.group, self.element)


@dataclass
class RawRecord:
    """One 44-byte record with every field as stored; byte fields may hold any value."""

    group: int = 0
    element: int = 0
    keyword_off: int = 0
    keyword_len: int = 0
    name_off: int = 0
    name_len: int = 0
    creator_off: int = 0
    creator_len: int = 0
    description_off: int = 0
    description_len: int = 0
    sources_off: int = 0
    sources_len: int = 0
    vr: int = VR_UNKNOWN
    block_offset: int = 0
    retired: int = 0
    unused: int = 0
    padding: int = 0

    def pack(self) -> bytes:
        return _RECORD.pack(
            self.keyword_off,
            self.name_off,
            self.creator_off,
            self.description_off,
            self.description_len,
            self.sources_off,
            self.sources_len,
            self.group,
            self.element,
            self.keyword_len,
            self.name_len,
            self.creator_len,
            self.unused,
            self.vr,
            self.block_offset,
            self.retired,
            self.padding,
        )


def header(magic: bytes = MAGIC, version: int = FORMAT_VERSION, rest: bytes = bytes(26)) -> bytes:
    """The 32-byte header; `rest` fills bytes 6 to 31, which readers ignore."""
    return magic + struct.pack("<H", version) + rest


def vecref(target: int, count: int, at: int) -> bytes:
    """A reference stored at body position `at` to an array at body position `target`."""
    return _VECREF.pack(target - at, count)


def _pad4(n: int) -> int:
    return -n % 4


@dataclass
class Body:
    """A body laid out densely: index, records, pool, padding to 4, then the root.

    `positions` is filled by :meth:`pack` with the body positions of each part, so that tests
    can aim corruptions at exact places.  `root` replaces the three (offset, count) pairs that
    would be computed, for crafting references that point anywhere.
    """

    index: list[RawIndexEntry] = field(default_factory=list)
    records: list[RawRecord] = field(default_factory=list)
    strings: bytes = b""
    root: list[tuple[int, int]] | None = None
    positions: dict[str, int] = field(default_factory=dict)

    def pack(self) -> bytes:
        index = b"".join(e.pack() for e in self.index)
        records = b"".join(r.pack() for r in self.records)
        records_pos = len(index)
        strings_pos = records_pos + len(records)
        end = strings_pos + len(self.strings)
        root_pos = end + _pad4(end)
        self.positions = {
            "index": 0,
            "records": records_pos,
            "strings": strings_pos,
            "root": root_pos,
        }
        if self.root is None:
            refs = [
                vecref(0, len(self.index), root_pos),
                vecref(records_pos, len(self.records), root_pos + 8),
                vecref(strings_pos, len(self.strings), root_pos + 16),
            ]
        else:
            refs = [_VECREF.pack(off, count) for off, count in self.root]
        return index + records + self.strings + bytes(root_pos - end) + b"".join(refs)


def pack_file(body: bytes | Body, head: bytes | None = None) -> bytes:
    """Header plus body."""
    if isinstance(body, Body):
        body = body.pack()
    return (header() if head is None else head) + body
