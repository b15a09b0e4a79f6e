"""Byte layout of a companion file (".qlix"): the low layer under :mod:`quillet.writer`.

A companion holds what a ``.qlet`` file does not: each record's value multiplicity, the records
sorted by keyword with a hash table over them, and an upper-cased copy of every keyword and
name to search in.  It names
the dictionary's records by number, so it is only meaningful beside the one dictionary it was
built with; both files carry the same 16-byte digest to show it.

Like :mod:`quillet._layout`, this packs exactly what it is given, valid or not, so that tests can
craft companions a reader must refuse; :mod:`quillet.writer` makes the sound ones.

Layout, little-endian, offsets from the file's first byte: a 96-byte header (magic "QLIX",
u16 version 1, u16 0, the 16-byte digest, u32 record count, u32 0, then eight (u32 offset,
u32 count) section references) and the sections in :data:`SECTIONS` order, each 4-aligned.
"""

from __future__ import annotations

import struct
from dataclasses import dataclass, field

MAGIC = b"QLIX"
VERSION = 1
HEADER_LEN = 96
DIGEST_LEN = 16
#: In a dictionary's header: bytes 6..7 hold this when bytes 8..23 hold the pair's digest.
DICT_HAS_DIGEST = 1

SECTIONS = ("vm_codes", "vm_texts", "keywords", "items", "creators", "pool", "text", "slots")
_FORMATS = {
    "vm_codes": struct.Struct("<H"),
    "vm_texts": struct.Struct("<II"),
    "keywords": struct.Struct("<I"),
    "items": struct.Struct("<IIII"),
    "creators": struct.Struct("<IIIII"),
    "slots": struct.Struct("<I"),
}


def fnv1a(data: bytes) -> int:
    """FNV-1a 32 of `data`: where a keyword starts probing the slots."""
    h = 0x811C9DC5
    for b in data:
        h = ((h ^ b) * 0x01000193) & 0xFFFF_FFFF
    return h


@dataclass
class Companion:
    """The sections of a companion as lists of fields (bytes for ``pool`` and ``text``).

    ``vm_codes``: one per record, 0 or 1 + position in ``vm_texts``; ``vm_texts``: (pool offset,
    length); ``keywords``: record numbers; ``items``: (record, text offset, keyword length, name
    length); ``creators``: (hash, pool offset, length, first item, item count); ``slots``: 0 or
    1 + position in ``keywords`` of a keyword's first entry, found from its :func:`fnv1a` hash.
    ``sections`` replaces the (offset, count) pairs that :meth:`pack` would compute.
    """

    digest: bytes = bytes(DIGEST_LEN)
    record_count: int = 0
    vm_codes: list[int] = field(default_factory=list)
    vm_texts: list[tuple[int, int]] = field(default_factory=list)
    keywords: list[int] = field(default_factory=list)
    items: list[tuple[int, int, int, int]] = field(default_factory=list)
    creators: list[tuple[int, int, int, int, int]] = field(default_factory=list)
    pool: bytes = b""
    text: bytes = b""
    slots: list[int] = field(default_factory=list)
    magic: bytes = MAGIC
    version: int = VERSION
    sections: list[tuple[int, int]] | None = None
    positions: dict[str, int] = field(default_factory=dict)

    def _section(self, name: str) -> tuple[bytes, int]:
        if name in ("pool", "text"):
            data: bytes = getattr(self, name)
            return data, len(data)
        values = getattr(self, name)
        fmt = _FORMATS[name]
        return b"".join(fmt.pack(*(v if isinstance(v, tuple) else (v,))) for v in values), len(values)

    def payload(self) -> bytes:
        """Everything after the header, as :meth:`pack` lays it out."""
        return self.pack()[HEADER_LEN:]

    def pack(self) -> bytes:
        out = bytearray()
        refs = []
        for name in SECTIONS:
            data, count = self._section(name)
            out += bytes(-len(out) % 4)
            self.positions[name] = HEADER_LEN + len(out)
            refs.append((HEADER_LEN + len(out), count))
            out += data
        out += bytes(-len(out) % 4)
        if self.sections is not None:
            refs = self.sections
        head = (
            self.magic
            + struct.pack("<HH", self.version, 0)
            + self.digest
            + struct.pack("<II", self.record_count, 0)
            + b"".join(struct.pack("<II", off, count) for off, count in refs)
        )
        return head + bytes(out)
