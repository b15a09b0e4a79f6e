"""A reference reader in plain Python, written from the file format and the documented behaviour.

It answers what the extension must answer for a file's bytes: refused (exception type and
message) or accepted, then `len` and each lookup's dict or exception.  Validation messages
carry process addresses in the extension; here an address is written as "@" and its body
position, and the tests map the extension's addresses back the same way.
"""

from __future__ import annotations

import struct

from quillet._unicode import hash_creator, normalize_creator

VR_TABLE = "AEASATCSDADSDTFLFDISLOLTOBODOFOLOVOWPNSHSLSQSSSTSVTMUCUIULUNURUSUTUV??"
INTEGRITY = "archive integrity check failed: "
ROOT = 24
# (member name, item size, item alignment), in the order the root holds and the checks visit them.
MEMBERS = (("index", 12, 4), ("records", 44, 4), ("strings", 1, 1))


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


def _u(fmt: str, data: bytes, at: int):
    return struct.unpack_from("<" + fmt, data, at)[0]


def validate(body: bytes) -> str | None:
    """None for a body that passes, else the failure text with addresses as @position."""
    try:
        _validate(body)
    except _Fail as f:
        return str(f)
    return None


def _validate(body: bytes) -> None:
    n_body = len(body)
    if n_body < ROOT:
        raise _Fail(
            f"context error: pointer out of bounds: base @0 offset {n_body - ROOT} not in range @0..@{n_body}"
        )
    root = n_body - ROOT
    if root % 4:
        raise _Fail(f"context error: unaligned pointer: ptr @{root} unaligned for alignment 4")
    free_start, free_end = 0, root  # the unclaimed part; the root itself is claimed
    for k, (name, size, align) in enumerate(MEMBERS):
        at = root + 8 * k
        try:
            free_start = _claim(body, at, size, align, free_start, free_end, name == "records")
        except _Fail as f:
            raise _Fail(f"check bytes error: check failed for struct member {name}: {f}") from None


def _claim(body, at, size, align, free_start, free_end, records) -> int:
    offset, count = _u("i", body, at), _u("I", body, at + 4)
    target, end = at + offset, len(body)
    if not 0 <= target <= end:
        raise _Fail(f"pointer out of bounds: base @{at} offset {offset} not in range @0..@{end}")
    if target % align:
        raise _Fail(f"unaligned pointer: ptr @{target} unaligned for alignment {align}")
    nbytes = count * size
    if end - target < nbytes:
        raise _Fail(f"pointer overran buffer: ptr @{target} size {nbytes} in range @0..@{end}")
    free = f"@{free_start}..@{free_end}"
    # An empty array may sit exactly at the end of the unclaimed part; a non-empty one may not.
    if target < free_start or target > free_end or (count and target == free_end):
        raise _Fail(f"subtree pointer out of bounds: ptr @{target} not in range {free}")
    if free_end - target < nbytes:
        raise _Fail(f"subtree pointer overran range: ptr @{target} size {nbytes} in range {free}")
    for i in range(count if records else 0):
        rec = target + 44 * i
        for field, pos in (("element_is_block_offset", 41), ("retired", 42)):
            if body[rec + pos] > 1:
                raise _Fail(
                    f"check failed for slice index {i}: check failed for struct member "
                    f"{field}: check failed for bool: expected 0 or 1, found {body[rec + pos]}"
                )
        if body[rec + 40] >= 35:
            raise _Fail(
                f"check failed for slice index {i}: check failed for struct member vr: "
                f"invalid tag for enum: {body[rec + 40]}"
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
        if len(data) < 32:
            raise Refused(OSError, f"file too small ({len(data)} bytes) to contain a header")
        if data[:4] != b"QLET":
            raise Refused(OSError, f"bad magic bytes [{', '.join(map(str, data[:4]))}]")
        version = _u("H", data, 4)
        if version != 2:
            raise Refused(ValueError, f"unsupported .qlet version {version}")
        self.body = body = data[32:]
        failure = validate(body)
        if failure is not None:
            raise Refused(OSError, INTEGRITY + failure)
        root = len(body) - ROOT
        self.arrays = [
            (root + 8 * k + _u("i", body, root + 8 * k), _u("I", body, root + 8 * k + 4)) for k in range(3)
        ]

    def __len__(self) -> int:
        return self.arrays[0][1]

    def _entry(self, i: int) -> tuple[tuple[int, int, int], int]:
        """Index entry i: its key (group, element, creator hash) and its record number."""
        h, record, g, e = struct.unpack_from("<IIHH", self.body, self.arrays[0][0] + 12 * i)
        return (g, e, h), record

    def find(self, key: tuple[int, int, int]) -> int | None:
        """Position of the matching index entry: the fixed-length search, last equal key wins."""
        n = self.arrays[0][1]
        if n == 0:
            return None
        base, size = 0, n
        while size > 1:
            half = size // 2
            if not self._entry(base + half)[0] > key:
                base += half
            size -= half
        return base if self._entry(base)[0] == key else None

    def verified(self, group: int, element: int, creator: str | None) -> int | None:
        """The record of the latest entry of the key whose record's creator folds to `creator`,
        or stores none; without a creator, the search's answer as it is."""
        key = (group, element, hash_creator(creator))
        if creator is not None and key[2] == 0:
            return None  # hash 0 is the public entries' hash
        found = self.find(key)
        if found is None:
            return None
        rec_start, rec_count = self.arrays[1]
        pool_start, pool_len = self.arrays[2]
        pool = self.body[pool_start : pool_start + pool_len]
        for i in range(found, -1, -1):
            entry_key, record = self._entry(i)
            if entry_key != key:
                break
            if record >= rec_count:
                raise Internal(f"index out of bounds: the len is {rec_count} but the index is {record}")
            at = rec_start + 44 * record
            cr, cr_n = _u("I", self.body, at + 8), _u("H", self.body, at + 36)
            if creator is None or cr_n == 0:
                return record
            if _folded(_bytes(pool, cr, cr_n)) == normalize_creator(creator).encode("utf-8"):
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
        body = self.body
        rec_start = self.arrays[1][0]
        (kw, nm, cr, ds, ds_n, src, src_n, g, e, kw_n, nm_n, cr_n, _, vr, block, retired, _) = (
            struct.unpack_from("<7I6H4B", body, rec_start + 44 * record)
        )
        pool_start, pool_len = self.arrays[2]
        pool = body[pool_start : pool_start + pool_len]
        out = {"group": g, "element": e, "creator": _text(pool, cr, cr_n) if cr_n else ""}
        out["keyword"] = _text(pool, kw, kw_n)
        out["name"] = _text(pool, nm, nm_n)
        out["vr"] = VR_TABLE[2 * vr : 2 * vr + 2]
        out["description"] = _text(pool, ds, ds_n)
        out["retired"], out["block_offset"] = bool(retired), bool(block)
        out["sources"] = [p for p in _text(pool, src, src_n).split("|") if p]
        return out


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
