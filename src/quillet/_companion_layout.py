"""Byte layout of a companion file (".qlix"): the low layer under :mod:`quillet.writer`.

A companion holds what a ``.qlet`` file does not: each record's value multiplicity and, for a
record whose VR is "??", the VRs its element may take; the records sorted by keyword with a
hash table over them; and a case-folded copy of every keyword and name to search in.  It names
the dictionary's records by number, so it is only meaningful beside the one dictionary it was
built with; both files carry the same 16-byte digest to show it.

Like :mod:`quillet._layout`, this packs exactly what it is given, valid or not, so that tests can
craft companions a reader must refuse; :mod:`quillet.writer` makes the sound ones.

Layout, little-endian, offsets from the file's first byte: a 128-byte header (magic "QLIX",
u16 version 3, u16 0, the 16-byte digest, u32 record count, u32 0, the two u64 halves of the
keyword hash's key, then ten (u32 offset, u32 count) section references) and the sections in
:data:`SECTIONS` order, each 4-aligned.  A keyword's slot search starts at its
:func:`siphash13` under the key, modulo the slot count; no run of occupied slots is longer
than :data:`MAX_RUN`.
"""

from __future__ import annotations

import struct
from dataclasses import dataclass, field

MAGIC = b"QLIX"
VERSION = 3
HEADER_LEN = 128
DIGEST_LEN = 16
#: The longest run of occupied slots a reader accepts: every probe ends within MAX_RUN + 1 slots.
MAX_RUN = 128
#: In a dictionary's header: bytes 6..7 hold this when bytes 8..23 hold the pair's digest.
DICT_HAS_DIGEST = 1

SECTIONS = (
    "vm_codes",
    "vm_texts",
    "keywords",
    "items",
    "creators",
    "pool",
    "text",
    "slots",
    "vr_codes",
    "vr_sets",
)
_FORMATS = {
    "vm_codes": struct.Struct("<H"),
    "vm_texts": struct.Struct("<II"),
    "keywords": struct.Struct("<I"),
    "items": struct.Struct("<IIII"),
    "creators": struct.Struct("<IIIII"),
    "slots": struct.Struct("<I"),
    "vr_codes": struct.Struct("<H"),
    "vr_sets": struct.Struct("<II"),
}


_M64 = 0xFFFF_FFFF_FFFF_FFFF


def _rotl(x: int, b: int) -> int:
    return ((x << b) | (x >> (64 - b))) & _M64


def siphash13(k0: int, k1: int, data: bytes) -> int:
    """SipHash-1-3 of `data` under the key (k0, k1): where a keyword starts probing the slots."""
    v0, v1 = k0 ^ 0x736F6D6570736575, k1 ^ 0x646F72616E646F6D
    v2, v3 = k0 ^ 0x6C7967656E657261, k1 ^ 0x7465646279746573

    def rounds(n: int) -> None:
        nonlocal v0, v1, v2, v3
        for _ in range(n):
            v0 = (v0 + v1) & _M64
            v1 = _rotl(v1, 13) ^ v0
            v0 = _rotl(v0, 32)
            v2 = (v2 + v3) & _M64
            v3 = _rotl(v3, 16) ^ v2
            v0 = (v0 + v3) & _M64
            v3 = _rotl(v3, 21) ^ v0
            v2 = (v2 + v1) & _M64
            v1 = _rotl(v1, 17) ^ v2
            v2 = _rotl(v2, 32)

    end = len(data) - len(data) % 8
    for i in range(0, end, 8):
        m = int.from_bytes(data[i : i + 8], "little")
        v3 ^= m
        rounds(1)
        v0 ^= m
    m = ((len(data) & 0xFF) << 56) | int.from_bytes(data[end:], "little")
    v3 ^= m
    rounds(1)
    v0 ^= m
    v2 ^= 0xFF
    rounds(3)
    return v0 ^ v1 ^ v2 ^ v3


@dataclass
class Companion:
    """The sections of a companion as lists of fields (bytes for ``pool`` and ``text``).

    ``vm_codes``: one per record, 0 or 1 + position in ``vm_texts``; ``vm_texts``: (pool offset,
    length); ``keywords``: record numbers; ``items``: (record, text offset, keyword length, name
    length); ``creators``: (hash, pool offset, length, first item, item count); ``slots``: 0 or
    1 + position in ``keywords`` of a keyword's first entry, found from its :func:`siphash13`
    under ``hash_key``; ``vr_codes``: one per record, 0 or 1 + position in ``vr_sets``;
    ``vr_sets``: (pool offset, count) of the VR codes an element may take, a byte each.
    ``sections`` replaces the (offset, count) pairs that :meth:`pack` would compute.
    """

    digest: bytes = bytes(DIGEST_LEN)
    record_count: int = 0
    hash_key: tuple[int, int] = (0, 0)
    vm_codes: list[int] = field(default_factory=list)
    vm_texts: list[tuple[int, int]] = field(default_factory=list)
    keywords: list[int] = field(default_factory=list)
    items: list[tuple[int, int, int, int]] = field(default_factory=list)
    creators: list[tuple[int, int, int, int, int]] = field(default_factory=list)
    pool: bytes = b""
    text: bytes = b""
    slots: list[int] = field(default_factory=list)
    vr_codes: list[int] = field(default_factory=list)
    vr_sets: list[tuple[int, int]] = field(default_factory=list)
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
            + struct.pack("<QQ", *self.hash_key)
            + b"".join(struct.pack("<II", off, count) for off, count in refs)
        )
        return head + bytes(out)
