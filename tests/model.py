"""A reference reader in plain Python, written from the file format and the documented behaviour.

It answers what the extension must answer for a file's bytes: refused (exception type and
message) or accepted, then `len` and each lookup's dict or exception.  Validation messages
carry process addresses in the extension; here an address is written as "@" and its body
position, and the tests map the extension's addresses back the same way.
"""

from __future__ import annotations

import struct

from quillet import _layout as L
from quillet._unicode import hash_creator, normalize_creator

INTEGRITY = "archive integrity check failed: "


class Refused(Exception):
    """`open` fails: `kind` is the exception class; `text` follows "cannot open {path}: " for
    OSError and is the whole message for ValueError."""

    def __init__(self, kind: type[BaseException], text: str) -> None:
        super().__init__(text)
        self.kind, self.text = kind, text


class Internal(Exception):
    """A lookup fails with the internal-error exception and this text."""


class _Fail(Exception):
    pass


def validate(body: bytes) -> str | None:
    """None for a body that passes, else the failure text with addresses as @position."""
    try:
        _validate(body)
    except _Fail as f:
        return str(f)
    return None


def _validate(body: bytes) -> None:
    n_body = len(body)
    if n_body < L.ROOT_LEN:
        raise _Fail(
            f"context error: pointer out of bounds: base @0 offset {n_body - L.ROOT_LEN} "
            f"not in range @0..@{n_body}"
        )
    root = n_body - L.ROOT_LEN
    if root % L.ARCHIVE_ALIGN:
        raise _Fail(
            f"context error: unaligned pointer: ptr @{root} unaligned for alignment {L.ARCHIVE_ALIGN}"
        )
    free_start, free_end = 0, root  # the unclaimed part; the root itself is claimed
    for m in L.ROOT_MEMBERS:
        try:
            free_start = _claim(body, root + m.at, m, free_start, free_end)
        except _Fail as f:
            raise _Fail(f"check bytes error: check failed for struct member {m.name}: {f}") from None


def _claim(body: bytes, at: int, m: L.Member, free_start: int, free_end: int) -> int:
    offset, count = L.unpack_vec_ref(body, at)
    target, end = at + offset, len(body)
    if not 0 <= target <= end:
        raise _Fail(f"pointer out of bounds: base @{at} offset {offset} not in range @0..@{end}")
    if target % m.item_align:
        raise _Fail(f"unaligned pointer: ptr @{target} unaligned for alignment {m.item_align}")
    nbytes = count * m.item_len
    if end - target < nbytes:
        raise _Fail(f"pointer overran buffer: ptr @{target} size {nbytes} in range @0..@{end}")
    free = f"@{free_start}..@{free_end}"
    # An empty array may sit exactly at the end of the unclaimed part; a non-empty one may not.
    if target < free_start or target > free_end or (count and target == free_end):
        raise _Fail(f"subtree pointer out of bounds: ptr @{target} not in range {free}")
    if free_end - target < nbytes:
        raise _Fail(f"subtree pointer overran range: ptr @{target} size {nbytes} in range {free}")
    for i in range(count if m.name == "records" else 0):
        rec = L.RawRecord.unpack_from(body, target + m.item_len * i)
        for field, value in (("element_is_block_offset", rec.block_offset), ("retired", rec.retired)):
            if value > 1:
                raise _Fail(
                    f"check failed for slice index {i}: check failed for struct member "
                    f"{field}: check failed for bool: expected 0 or 1, found {value}"
                )
        if rec.vr >= L.VR_COUNT:
            raise _Fail(
                f"check failed for slice index {i}: check failed for struct member vr: "
                f"invalid tag for enum: {rec.vr}"
            )
    return target + nbytes


def _bytes(pool: bytes, offset: int, length: int) -> bytes:
    if offset > len(pool):
        raise Internal(f"range start index {offset} out of range for slice of length {len(pool)}")
    if offset + length > len(pool):
        raise Internal(f"range end index {offset + length} out of range for slice of length {len(pool)}")
    return pool[offset : offset + length]


def _text(pool: bytes, offset: int, length: int) -> str:
    try:
        return _bytes(pool, offset, length).decode("utf-8")  # strict: no surrogates, no overlongs
    except UnicodeDecodeError:
        return ""


def _folded(raw: bytes) -> bytes:
    """A stored creator folded as the reader folds it: bytes that are not UTF-8 pass one by one,
    unchanged, as characters that are not white space."""
    return normalize_creator(raw.decode("utf-8", "surrogateescape")).encode("utf-8", "surrogateescape")


class Model:
    """What an opened file answers."""

    def __init__(self, data: bytes) -> None:
        if len(data) < L.HEADER_LEN:
            raise Refused(OSError, f"file too small ({len(data)} bytes) to contain a header")
        if data[:4] != L.MAGIC:
            raise Refused(OSError, f"bad magic bytes [{', '.join(map(str, data[:4]))}]")
        version = struct.unpack_from("<H", data, 4)[0]
        if version != L.FORMAT_VERSION:
            raise Refused(ValueError, f"unsupported .qlet version {version}")
        self.body = body = data[L.HEADER_LEN :]
        failure = validate(body)
        if failure is not None:
            raise Refused(OSError, INTEGRITY + failure)
        root = len(body) - L.ROOT_LEN
        # (body position, count) of index, records and strings.
        self.arrays = []
        for m in L.ROOT_MEMBERS:
            offset, count = L.unpack_vec_ref(body, root + m.at)
            self.arrays.append((root + m.at + offset, count))

    def __len__(self) -> int:
        return self.arrays[0][1]

    def entry(self, i: int) -> L.RawIndexEntry:
        return L.RawIndexEntry.unpack_from(self.body, self.arrays[0][0] + L.INDEX_ENTRY_LEN * i)

    def key_at(self, i: int) -> tuple[int, int, int]:
        e = self.entry(i)
        return e.group, e.element, e.creator_hash

    def find(self, key: tuple[int, int, int]) -> int | None:
        """Position of the matching index entry: the fixed-length search, last equal key wins."""
        n = len(self)
        if n == 0:
            return None
        base, size = 0, n
        while size > 1:
            half = size // 2
            if not self.key_at(base + half) > key:
                base += half
            size -= half
        return base if self.key_at(base) == key else None

    def verified(self, group: int, element: int, creator: str | None) -> int | None:
        """The record of the latest entry of the key whose record's creator folds to `creator`,
        or stores none; without a creator, the search's answer as it is."""
        key = (group, element, hash_creator(creator))
        if creator is not None and key[2] == 0:
            return None  # hash 0 is the public entries' hash
        found = self.find(key)
        if found is None:
            return None
        (rec_start, rec_count), (pool_start, pool_len) = self.arrays[1], self.arrays[2]
        pool = self.body[pool_start : pool_start + pool_len]
        for i in range(found, -1, -1):
            if self.key_at(i) != key:
                break
            record = self.entry(i).record
            if record >= rec_count:
                raise Internal(f"index out of bounds: the len is {rec_count} but the index is {record}")
            r = L.RawRecord.unpack_from(self.body, rec_start + L.RECORD_LEN * record)
            if creator is None or r.creator_len == 0:
                return record
            if _folded(_bytes(pool, r.creator_off, r.creator_len)) == normalize_creator(creator).encode():
                return record
        return None

    def lookup(self, group, element, creator=None) -> dict | None:
        """The result, or raises what the extension raises (Internal for its internal error)."""
        group, element = _u16(group, "group"), _u16(element, "element")
        if creator is not None:
            if not isinstance(creator, str):
                raise _noted(
                    TypeError(f"'{type(creator).__qualname__}' object is not an instance of 'str'"), "creator"
                )
            try:
                creator.encode("utf-8")
            except UnicodeEncodeError as e:
                raise _noted(e, "creator") from None
        record = self.verified(group, element, creator)
        if record is None:
            return None
        (rec_start, _), (pool_start, pool_len) = self.arrays[1], self.arrays[2]
        r = L.RawRecord.unpack_from(self.body, rec_start + L.RECORD_LEN * record)
        pool = self.body[pool_start : pool_start + pool_len]
        # Texts are resolved in the order the extension fills the dict, so that of several bad
        # ones the same is reported.
        creator_text = _text(pool, r.creator_off, r.creator_len) if r.creator_len else ""
        keyword, name = _text(pool, r.keyword_off, r.keyword_len), _text(pool, r.name_off, r.name_len)
        description = _text(pool, r.description_off, r.description_len)
        sources = [p for p in _text(pool, r.sources_off, r.sources_len).split("|") if p]
        values = (
            r.group,
            r.element,
            creator_text,
            keyword,
            name,
            L.VR_TABLE[2 * r.vr : 2 * r.vr + 2],
            description,
            bool(r.retired),
            bool(r.block_offset),
            sources,
        )
        return dict(zip(L.RESULT_KEYS, values, strict=True))


def _noted(exc: BaseException, name: str) -> BaseException:
    exc.add_note(f"while processing '{name}'")
    return exc


def _u16(value, name: str) -> int:
    try:
        number = value.__index__()
    except AttributeError:
        raise _noted(
            TypeError(f"'{type(value).__name__}' object cannot be interpreted as an integer"), name
        ) from None
    if not -(2**63) <= number < 2**63:
        raise _noted(OverflowError("Python int too large to convert to C long"), name)
    if not 0 <= number <= 0xFFFF:
        raise _noted(OverflowError("out of range integral type conversion attempted"), name)
    return number
