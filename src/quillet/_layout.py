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
from typing import NamedTuple, Self

# The C++ reader states these same facts in src/archive/layout.hpp, src/dictfile/mapped_dict.hpp
# and src/module/convert.cpp; tools/check_layout.py fails the tests when the two disagree.

MAGIC = b"QLET"
FORMAT_VERSION = 2
HEADER_LEN = 32
ROOT_LEN = 24
VEC_REF_LEN = 8
INDEX_ENTRY_LEN = 12
RECORD_LEN = 44
ARCHIVE_ALIGN = 4

VR_TABLE = "AEASATCSDADSDTFLFDISLOLTOBODOFOLOVOWPNSHSLSQSSSTSVTMUCUIULUNURUSUTUV??"
VR_COUNT = len(VR_TABLE) // 2
VR_CODES: dict[str, int] = {VR_TABLE[i : i + 2]: i // 2 for i in range(0, len(VR_TABLE), 2)}
VR_UNKNOWN = VR_CODES["??"]

# The keys of a lookup's result, in the order the dict holds them.
RESULT_KEYS = (
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
)


class Member(NamedTuple):
    """One of the root's three array references."""

    name: str  # the stored field name, as validation failures give it
    at: int  # position of the reference inside the root
    item_len: int
    item_align: int


# In the order they lie in the root, and in which their arrays lie in the body.
ROOT_MEMBERS = (
    Member("index", 0, INDEX_ENTRY_LEN, ARCHIVE_ALIGN),
    Member("records", 8, RECORD_LEN, ARCHIVE_ALIGN),
    Member("strings", 16, 1, 1),
)

# Each structure's fields in offset order, as (name, struct code); they follow each other with
# no gaps, so the codes alone give each field's offset and width.
VEC_REF_FIELDS = (("offset", "i"), ("count", "I"))
INDEX_ENTRY_FIELDS = (("creator_hash", "I"), ("record", "I"), ("group", "H"), ("element", "H"))
RECORD_FIELDS = (
    ("keyword_off", "I"),
    ("name_off", "I"),
    ("creator_off", "I"),
    ("description_off", "I"),
    ("description_len", "I"),
    ("sources_off", "I"),
    ("sources_len", "I"),
    ("group", "H"),
    ("element", "H"),
    ("keyword_len", "H"),
    ("name_len", "H"),
    ("creator_len", "H"),
    ("unused", "H"),  # not read
    ("vr", "B"),
    ("block_offset", "B"),  # stored as element_is_block_offset
    ("retired", "B"),
    ("padding", "B"),  # not read
)


def _struct(fields: tuple[tuple[str, str], ...]) -> struct.Struct:
    return struct.Struct("<" + "".join(code for _, code in fields))


_VEC_REF = _struct(VEC_REF_FIELDS)
_INDEX = _struct(INDEX_ENTRY_FIELDS)
_RECORD = _struct(RECORD_FIELDS)


@dataclass
class RawIndexEntry:
    group: int
    element: int
    creator_hash: int = 0
    record: int = 0

    def pack(self) -> bytes:
        return _INDEX.pack(*(getattr(self, name) for name, _ in INDEX_ENTRY_FIELDS))

    @classmethod
    def unpack_from(cls, data: bytes, at: int) -> Self:
        return cls(**dict(zip((n for n, _ in INDEX_ENTRY_FIELDS), _INDEX.unpack_from(data, at), strict=True)))


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
        return _RECORD.pack(*(getattr(self, name) for name, _ in RECORD_FIELDS))

    @classmethod
    def unpack_from(cls, data: bytes, at: int) -> Self:
        return cls(**dict(zip((n for n, _ in RECORD_FIELDS), _RECORD.unpack_from(data, at), strict=True)))


def unpack_vec_ref(data: bytes, at: int) -> tuple[int, int]:
    """The (offset, count) of the reference at `at`."""
    offset, count = _VEC_REF.unpack_from(data, at)
    return offset, count


def header(magic: bytes = MAGIC, version: int = FORMAT_VERSION, rest: bytes = bytes(26)) -> bytes:
    """The 32-byte header; `rest` fills bytes 6 to 31, which readers ignore."""
    return magic + struct.pack("<H", version) + rest


def vecref(target: int, count: int, at: int) -> bytes:
    """A reference stored at body position `at` to an array at body position `target`."""
    return _VEC_REF.pack(target - at, count)


def _pad4(n: int) -> int:
    return -n % ARCHIVE_ALIGN


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
            targets = (
                (0, len(self.index)),
                (records_pos, len(self.records)),
                (strings_pos, len(self.strings)),
            )
            refs = [vecref(t, n, root_pos + m.at) for (t, n), m in zip(targets, ROOT_MEMBERS, strict=True)]
        else:
            refs = [_VEC_REF.pack(off, count) for off, count in self.root]
        return index + records + self.strings + bytes(root_pos - end) + b"".join(refs)


def pack_file(body: bytes | Body, head: bytes | None = None) -> bytes:
    """Header plus body."""
    if isinstance(body, Body):
        body = body.pack()
    return (header() if head is None else head) + body
