"""Byte layout of a UID file (".qlud"): the low layer under :mod:`quillet._uid_writer`.

A UID file holds a dictionary's registered UIDs (transfer syntaxes, SOP classes and the other
kinds), beside its ``.qlet`` file, and stands alone: nothing in it refers to the dictionary.
Like :mod:`quillet._companion_layout`, this packs exactly what it is given, valid or not, so that
tests can craft files a reader must refuse; the writer makes the sound ones.

Layout, little-endian, offsets from the file's first byte: a 48-byte header (magic "QLUD", u16
version 1, u16 0, then five (u32 offset, u32 count) section references) and the sections in
:data:`SECTIONS` order, each 4-aligned.  ``src/uids/format.hpp`` describes each section;
``tools/check_layout.py`` holds the two to each other.
"""

from __future__ import annotations

import struct
from dataclasses import dataclass, field

MAGIC = b"QLUD"
VERSION = 1
SECTIONS_AT = 8
SECTION_COUNT = 5
HEADER_LEN = SECTIONS_AT + 8 * SECTION_COUNT
ENTRY_LEN = 52
#: uid, keyword, name, type, info, sources: a (u32 offset, u32 length) into the pool each
TEXT_COUNT = 6
FLAGS_AT = 48
MAX_UID_LEN = 64

# An entry's flags.
RETIRED = 1
ENCODING = 2  # the four bits below say how a data set is encoded
IMPLICIT_VR = 4
LITTLE_ENDIAN = 8
DEFLATED = 16
ENCAPSULATED = 32
KNOWN_FLAGS = 63

SECTIONS = ("entries", "keywords", "items", "pool", "text")
_FORMATS = {
    "entries": struct.Struct("<" + "II" * TEXT_COUNT + "I"),
    "keywords": struct.Struct("<I"),
    "items": struct.Struct("<IIII"),
}

#: An entry's fields: six (offset, length) pairs into the pool, then the flags.
type EntryFields = tuple[int, int, int, int, int, int, int, int, int, int, int, int, int]


@dataclass
class UidFile:
    """The sections of a UID file as lists of fields (bytes for ``pool`` and ``text``).

    ``entries``: (uid offset, length, keyword offset, length, name ..., type ..., info ...,
    sources offset, length, flags); ``keywords``: entry numbers; ``items``: (entry, text offset,
    keyword length, name length).  ``sections`` replaces the (offset, count) pairs that
    :meth:`pack` would compute.
    """

    entries: list[EntryFields] = field(default_factory=list)
    keywords: list[int] = field(default_factory=list)
    items: list[tuple[int, int, int, int]] = field(default_factory=list)
    pool: bytes = b""
    text: bytes = b""
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
            + b"".join(struct.pack("<II", off, count) for off, count in refs)
        )
        return head + bytes(out)
