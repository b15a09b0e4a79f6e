"""Write ``.qlet`` dictionary files, for example a private dictionary of your own.

>>> from quillet.writer import Entry, write_dictionary
>>> write_dictionary("acme.qlet", [
...     Entry(0x0010, 0x0010, keyword="PatientName", name="Patient's Name", vr="PN"),
...     Entry(0x0029, 0x10, creator="ACME 1.1", keyword="AcmeDose", name="Dose", vr="DS",
...           sources=("ACME conformance statement",)),
... ])

The file then opens with :func:`quillet.open`, and each entry comes back from
``Dict.lookup(group, element, creator)`` as a dict with the same ten fields as :class:`Entry`.

With ``companion=True`` the writer also writes the file's companion beside it (``acme.qlix``
for ``acme.qlet``, see :func:`companion_path`): each entry's value multiplicity (``vm``), the
map from keywords to entries and the texts to search, which :func:`quillet.open_companion`
reads.  The two files carry the same digest of their data; ship and replace them together.

Input is checked completely before anything is written: any problem raises a
:class:`ValueError` that names the entry (its position in the input, counted from 0, and its
tag) and the field at fault, and no file is created or changed.
"""

from __future__ import annotations

import contextlib
import hashlib
import os
import secrets
import struct
from collections.abc import Iterable, Sequence
from dataclasses import KW_ONLY, dataclass

from . import _companion_layout, _layout
from ._unicode import hash_creator, normalize_creator

__all__ = ["Entry", "companion_path", "to_bytes", "to_files", "write_dictionary"]

_U16 = 0xFFFF
# The widths of the length fields that a record stores for each text, in record order.
_MAX_LEN = {
    "keyword": _U16,
    "name": _U16,
    "creator": _U16,
    "description": 0xFFFF_FFFF,
    "sources": 0xFFFF_FFFF,
}
# The root reaches each array through a signed 32-bit offset, the last one from 16 bytes past
# the root's start; so everything before the root must fit in 2^31 - 16 bytes.
_MAX_ROOT_POS = 2**31 - 16
_PER_ENTRY = _layout.INDEX_ENTRY_LEN + _layout.RECORD_LEN
_VR_LIST = " ".join(_layout.VR_CODES)


@dataclass(frozen=True)
class Entry:
    """One dictionary entry; its fields are those that ``Dict.lookup`` returns.

    ``group`` and ``element`` are the tag, 0 to 65535 each.  For a tag in a private block,
    ``element`` is the element's low byte only (``0x10`` for ``(0029,xx10)``): lookups pass
    that form too.  All other fields are keyword-only:

    ``creator``
        ``""`` for a public tag, otherwise the private creator.  Lookups fold it (runs of
        white space become one blank, ends trimmed, upper case), so ``"acme  corp"`` and
        ``"ACME CORP"`` name the same creator; the text is stored, and returned by lookups,
        exactly as given here.
    ``keyword``, ``name``, ``description``
        Free texts.
    ``vr``
        A two-letter Value Representation such as ``"PN"``, or ``"??"`` for one that has no
        code of its own (``"US or SS"``, say).  Defaults to ``"UN"``, unknown.
    ``retired``, ``block_offset``
        Flags: the attribute is retired; the element is an offset inside a private block.
    ``sources``
        Where the entry comes from: a sequence of non-empty texts, none containing ``"|"``.
    ``vm``
        The value multiplicity, such as ``"1"``, ``"1-n"`` or ``"2-2n"``; ``""`` when unknown.
        Not part of the ``.qlet`` file nor of a lookup's dict: it is kept in the companion
        file (``companion=True``) and read with ``vm()`` of :func:`quillet.open_companion`.
    """

    group: int
    element: int
    _: KW_ONLY
    creator: str = ""
    keyword: str = ""
    name: str = ""
    vr: str = "UN"
    description: str = ""
    retired: bool = False
    block_offset: bool = False
    sources: Sequence[str] = ()
    vm: str = ""


class _Bad(Exception):
    """A field failed its check; the caller adds which entry it belongs to."""

    def __init__(self, field: str, problem: str) -> None:
        super().__init__(f"{field}: {problem}")


@dataclass
class _Checked:
    label: str
    key: tuple[int, int, int]
    folded: str | None
    texts: list[bytes]  # in the order of _MAX_LEN
    vr: int
    retired: bool
    block_offset: bool
    vm: bytes
    keyword: str
    name: str


def _is_int(value: object) -> bool:
    return isinstance(value, int) and not isinstance(value, bool)


def _label(pos: int, entry: object) -> str:
    if not isinstance(entry, Entry):
        return f"entry {pos}"
    tag = ",".join(
        f"{v:04X}" if _is_int(v) and 0 <= v <= _U16 else repr(v) for v in (entry.group, entry.element)
    )
    if entry.creator != "":
        tag += f" {entry.creator!r}"
    return f"entry {pos} ({tag})"


def _encode(field: str, value: object, limit: int) -> bytes:
    if not isinstance(value, str):
        raise _Bad(field, f"must be a str, not {type(value).__name__}")
    try:
        data = value.encode("utf-8")
    except UnicodeEncodeError as exc:
        raise _Bad(field, f"cannot be encoded as UTF-8 ({exc.reason} at index {exc.start})")
    if len(data) > limit:
        raise _Bad(field, f"is {len(data)} bytes in UTF-8, more than the {limit} it may hold")
    return data


def _check(pos: int, entry: object) -> _Checked:
    if not isinstance(entry, Entry):
        raise _Bad("entry", f"must be a quillet.writer.Entry, not {type(entry).__name__}")
    for field in ("group", "element"):
        value = getattr(entry, field)
        if not (_is_int(value) and 0 <= value <= _U16):
            raise _Bad(field, f"must be an int from 0 to 65535, not {value!r}")
    if not (isinstance(entry.vr, str) and entry.vr in _layout.VR_CODES):
        raise _Bad("vr", f"{entry.vr!r} is not one of {_VR_LIST}")
    for field in ("retired", "block_offset"):
        if not isinstance(getattr(entry, field), bool):
            raise _Bad(field, f"must be a bool, not {getattr(entry, field)!r}")
    texts = [
        _encode(f, getattr(entry, f), _MAX_LEN[f]) for f in ("keyword", "name", "creator", "description")
    ]
    folded, creator_hash = None, 0
    if texts[2]:
        folded = normalize_creator(entry.creator)
        if not folded:
            raise _Bad("creator", "is only white space; use '' for a public tag")
        creator_hash = hash_creator(entry.creator)
        if creator_hash == 0:
            raise _Bad("creator", "hashes to 0, the hash that marks a public tag")
    sources = entry.sources
    if isinstance(sources, (str, bytes)) or not isinstance(sources, Iterable):
        raise _Bad("sources", f"must be a sequence of texts, not {type(sources).__name__}")
    items = []
    for k, source in enumerate(sources):
        data = _encode(f"sources[{k}]", source, _MAX_LEN["sources"])
        if not data:
            raise _Bad(f"sources[{k}]", "is empty, and empty items are not kept")
        if b"|" in data:
            raise _Bad(f"sources[{k}]", f"{source!r} contains '|', the separator of items")
        items.append(data)
    joined = b"|".join(items)
    if len(joined) > _MAX_LEN["sources"]:
        raise _Bad(
            "sources", f"take {len(joined)} bytes together, more than the {_MAX_LEN['sources']} they may hold"
        )
    texts.append(joined)
    return _Checked(
        _label(pos, entry),
        (entry.group, entry.element, creator_hash),
        folded,
        texts,
        _layout.VR_CODES[entry.vr],
        entry.retired,
        entry.block_offset,
        _encode("vm", entry.vm, _U16),
        entry.keyword,
        entry.name,
    )


def to_bytes(entries: Iterable[Entry]) -> bytes:
    """Return the complete ``.qlet`` file for `entries`, in any order, as bytes.

    Raises :class:`ValueError` for bad input, see :func:`write_dictionary`.
    """
    _, body = _pack(entries)
    return _layout.pack_file(body)


def _pack(entries: Iterable[Entry]) -> tuple[list[_Checked], _layout.Body]:
    """The checked entries in record order, and the body that holds them."""
    checked: list[_Checked] = []
    for pos, entry in enumerate(entries):
        try:
            checked.append(_check(pos, entry))
        except _Bad as exc:
            raise ValueError(f"{_label(pos, entry)}: {exc}") from None

    by_hash: dict[int, _Checked] = {}
    by_key: dict[tuple[int, int, int], _Checked] = {}
    for item in checked:
        if item.folded is not None:
            first = by_hash.setdefault(item.key[2], item)
            if first.folded != item.folded:
                raise ValueError(
                    f"{item.label}: creator: folds to {item.folded!r}, which hashes to "
                    f"0x{item.key[2]:08X} like {first.folded!r} of {first.label}; "
                    "lookups could not tell the two creators apart"
                )
        first = by_key.setdefault(item.key, item)
        if first is not item:
            raise ValueError(f"{item.label}: same tag and creator as {first.label}")

    # Sorted keys are what the reader's binary search needs; with no two keys equal, the
    # output is also the same whatever order the entries came in.
    checked.sort(key=lambda item: item.key)
    pool = bytearray()
    offsets: dict[bytes, int] = {b"": 0}
    room = _MAX_ROOT_POS - len(checked) * _PER_ENTRY - 3  # 3: padding before the root
    body = _layout.Body()
    for number, item in enumerate(checked):
        refs = []
        for field, data in zip(_MAX_LEN, item.texts):
            if data not in offsets:
                if len(pool) + len(data) > room:
                    raise ValueError(
                        f"{item.label}: {field}: the string pool would exceed "
                        f"{room} bytes, all that a file of {len(checked)} "
                        "entries can address"
                    )
                offsets[data] = len(pool)
                pool += data
            refs.append((offsets[data], len(data)))
        (kw, kw_n), (nm, nm_n), (cr, cr_n), (ds, ds_n), (src, src_n) = refs
        group, element, creator_hash = item.key
        body.index.append(_layout.RawIndexEntry(group, element, creator_hash, number))
        body.records.append(
            _layout.RawRecord(
                group=group,
                element=element,
                keyword_off=kw,
                keyword_len=kw_n,
                name_off=nm,
                name_len=nm_n,
                creator_off=cr,
                creator_len=cr_n,
                description_off=ds,
                description_len=ds_n,
                sources_off=src,
                sources_len=src_n,
                vr=item.vr,
                block_offset=int(item.block_offset),
                retired=int(item.retired),
            )
        )
    body.strings = bytes(pool)
    return checked, body


def _search_text(text: str) -> bytes:
    # Upper-cased as search() upper-cases what it looks for. NUL separates the texts, so a NUL
    # inside one becomes a character no search text can hold.
    return text.upper().replace("\0", "\ufffd").encode("utf-8")


def _companion(checked: list[_Checked]) -> _companion_layout.Companion:
    comp = _companion_layout.Companion(record_count=len(checked))
    pool = bytearray()
    vms = sorted({item.vm for item in checked} - {b""})
    code = {vm: n for n, vm in enumerate(vms, start=1)}
    for vm in vms:
        comp.vm_texts.append((len(pool), len(vm)))
        pool += vm
    comp.vm_codes = [code.get(item.vm, 0) for item in checked]
    # Public entries before private ones of the same keyword, each by tag: the first is then
    # the lowest group of a repeating group, as pydicom answers.
    comp.keywords = sorted(
        (n for n, item in enumerate(checked) if item.texts[0]),
        key=lambda n: (checked[n].texts[0], checked[n].folded is not None, n),
    )
    # Search order, which is also the order of equally good matches: public entries by tag, then
    # each creator's entries together, creators by their folded text.
    order = sorted(
        range(len(checked)), key=lambda n: (checked[n].folded or "", checked[n].folded is not None, n)
    )
    text = bytearray()
    runs: dict[str, list[int]] = {}
    for position, n in enumerate(order):
        item = checked[n]
        kw, name = _search_text(item.keyword), _search_text(item.name)
        comp.items.append((n, len(text), len(kw), len(name)))
        text += kw + b"\0" + name + b"\0"
        if item.folded is not None:
            runs.setdefault(item.folded, []).append(position)
    for folded, positions in runs.items():
        data = folded.encode("utf-8")
        creator_hash = checked[comp.items[positions[0]][0]].key[2]
        comp.creators.append((creator_hash, len(pool), len(data), positions[0], len(positions)))
        pool += data
    comp.creators.sort()
    comp.slots = _slots([checked[n].texts[0] for n in comp.keywords])
    if len(text) > 0xFFFF_FFFF or len(pool) > 0xFFFF_FFFF or len(vms) > _U16:
        raise ValueError("the companion's texts are too large for its format")
    comp.pool, comp.text = bytes(pool), bytes(text)
    return comp


def _slots(keywords: list[bytes]) -> list[int]:
    """The hash table over the sorted keywords: each distinct one's first position, plus 1."""
    first: dict[bytes, int] = {}
    for position, keyword in enumerate(keywords):
        first.setdefault(keyword, position)
    if not first:
        return []
    size = 1
    while size < 2 * len(first):  # at most half full, so that probes stay short
        size *= 2
    slots = [0] * size
    for keyword, position in first.items():
        h = _companion_layout.fnv1a(keyword) & (size - 1)
        while slots[h]:
            h = (h + 1) & (size - 1)
        slots[h] = position + 1
    return slots


def to_files(entries: Iterable[Entry]) -> tuple[bytes, bytes]:
    """Return the ``.qlet`` file and its companion for `entries`, as bytes.

    The ``.qlet`` holds what :func:`to_bytes` gives, and in header bytes 6 to 23 (which readers
    of ``.qlet`` files ignore) a mark and the BLAKE2b-128 digest of the dictionary's body and
    the companion's sections together; the companion carries the same digest, so a companion
    is refused beside any dictionary but its own.
    """
    checked, body = _pack(entries)
    packed = body.pack()
    comp = _companion(checked)
    comp.digest = hashlib.blake2b(packed + comp.payload(), digest_size=16).digest()
    head = _layout.header(rest=struct.pack("<H", _companion_layout.DICT_HAS_DIGEST) + comp.digest + bytes(8))
    return _layout.pack_file(packed, head), comp.pack()


def companion_path(path: str | os.PathLike[str]) -> str:
    """Where the companion of the dictionary at `path` lies: its suffix replaced by ``.qlix``."""
    return os.path.splitext(os.fsdecode(path))[0] + ".qlix"


def write_dictionary(
    path: str | os.PathLike[str], entries: Iterable[Entry], *, companion: bool = False
) -> None:
    """Write `entries` to a ``.qlet`` file at `path`, replacing any file there.

    With `companion`, also write its companion to :func:`companion_path` of `path`, the
    dictionary first: if the process dies between the two, the old companion is left beside
    the new dictionary, and its digest no longer matching, it is refused, not misread.

    The file is written under a temporary name in the same folder, flushed to disk and then
    renamed over `path`, so `path` holds either its old content or the complete new file,
    even if the write fails or the process dies halfway; the temporary file is removed on
    failure.

    Raises :class:`ValueError`, before touching any file, for an entry that is not an
    :class:`Entry`; a group or element that is not an int from 0 to 65535; a VR not in the
    table; a flag that is not a bool; a text that is not a str, cannot be encoded as UTF-8
    or is longer than its field holds (keyword, name and creator 65535 bytes of UTF-8,
    description and all sources together 4294967295); an empty source or one containing
    ``"|"``; a creator that is only white space or hashes to 0; two entries with the same tag
    and (folded) creator; two different creators with the same hash, as lookups could not
    tell them apart; or texts too large in total for a file to address.  A ``vm`` that is not
    a str or is longer than 65535 bytes of UTF-8 is refused too.
    """
    if companion:
        data, extra = to_files(entries)
        _replace(os.fsdecode(path), data)
        _replace(companion_path(path), extra)
    else:
        _replace(os.fsdecode(path), to_bytes(entries))


def _replace(path: str, data: bytes) -> None:
    folder = os.path.dirname(path) or "."
    tmp = os.path.join(folder, f".{os.path.basename(path)}.{secrets.token_hex(6)}.tmp")
    # os.open rather than tempfile: the file gets the usual permissions (umask), not 0600.
    fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_BINARY", 0), 0o666)
    try:
        with open(fd, "wb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        os.replace(tmp, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        raise
    if os.name == "posix":  # make the rename itself durable; best effort
        with contextlib.suppress(OSError):
            dir_fd = os.open(folder, os.O_RDONLY)
            try:
                os.fsync(dir_fd)
            finally:
                os.close(dir_fd)
