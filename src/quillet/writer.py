"""Write ``.qlet`` dictionary files, for example a private dictionary of your own.

>>> from quillet.writer import Entry, write_dictionary
>>> write_dictionary("acme.qlet", [
...     Entry(0x0010, 0x0010, keyword="PatientName", name="Patient's Name", vr="PN"),
...     Entry(0x0029, 0x10, creator="ACME 1.1", keyword="AcmeDose", name="Dose", vr="DS",
...           block_offset=True, sources=("ACME conformance statement",)),
... ])

The file then opens with :func:`quillet.open`, and each entry comes back from
``Dict.lookup(group, element, creator)`` as a dict with the same ten fields as :class:`Entry`.

Input is checked completely before anything is written: every problem is collected into one
:class:`InvalidEntries` (a :class:`ValueError`) that names each entry at fault (its position in
the input, counted from 0, and its tag) and the field, and no file is created or changed.

With ``companion=True`` the writer also writes the file's companion beside it (``acme.qlix``
for ``acme.qlet``, see :func:`companion_path`): each entry's value multiplicity (``vm``), the
map from keywords to entries and the texts to search, which :func:`quillet.open_companion`
reads.  The two files carry the same digest of their data; ship and replace them together.
Rewriting a dictionary that has a companion rewrites the companion too (see
:func:`write_dictionary`).

The file on disk is replaced, never edited: see :func:`write_file` for what that keeps (links,
permissions, owner) and what it refuses (devices, directories, other special files).
"""

from __future__ import annotations

import hashlib
import os
import re
import struct
from collections.abc import Iterable, Sequence
from dataclasses import KW_ONLY, dataclass

from . import _companion_layout, _layout
from ._replace import Replacement, resolve, sync_folder, told_about
from ._uid_writer import UidEntry, check_uids, uids_path, uids_to_bytes, write_uids
from ._unicode import hash_creator, normalize_creator

__all__ = [
    "Entry",
    "InvalidEntries",
    "Problem",
    "UidEntry",
    "check",
    "check_uids",
    "companion_path",
    "companion_target",
    "to_bytes",
    "to_files",
    "uids_path",
    "uids_to_bytes",
    "write_dictionary",
    "write_file",
    "write_uids",
]

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
# C0, DEL and C1: no dictionary text needs them, and printed to a terminal they are commands.
_CONTROL = re.compile("[\x00-\x1f\x7f-\x9f]")


@dataclass(frozen=True)
class Entry:
    """One dictionary entry; its fields are those that ``Dict.lookup`` returns.

    ``group`` and ``element`` are the tag, 0 to 65535 each.  For a tag in a private block,
    ``element`` is the element's low byte only (``0x10`` for ``(0029,xx10)``) and
    ``block_offset`` is true: lookups pass that form too.  All other fields are keyword-only:

    ``creator``
        ``""`` for a public tag (even group), otherwise the private creator; tags of an odd
        group above 0x0008 are private and need one.  Lookups fold it (runs of white space
        become one blank, ends trimmed, upper case), so ``"acme  corp"`` and ``"ACME CORP"``
        name the same creator; the text is stored, and returned by lookups, exactly as given.
    ``keyword``, ``name``, ``description``
        Free texts, without control characters.
    ``vr``
        A two-letter Value Representation such as ``"PN"``; the choices of an element that
        may take several, as the standard writes them (``"OB or OW"``, ``"US or SS or OW"``,
        in its order); or ``"??"`` for an element that has none (items and delimiters).
        Defaults to ``"UN"``, unknown.  A lookup's dict says ``"??"`` for choices too: the
        choices themselves are kept in the companion file, and read with ``vrs()``.
    ``retired``, ``block_offset``
        Flags: the attribute is retired; the element is an offset inside a private block.
    ``sources``
        Where the entry comes from: a list or tuple of non-empty texts, none containing
        ``"|"``, kept in the order given.
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


@dataclass(frozen=True)
class Problem:
    """Why one entry cannot be written.

    ``position`` is the entry's place in the input (from 0) and ``label`` names it with its
    tag; ``text`` names the field and the fault.  For a clash between two entries, ``other``
    is the (position, label) of the earlier one, which ``text`` ends by referring to.
    """

    position: int
    label: str
    text: str
    other: tuple[int, str] | None = None

    def __str__(self) -> str:
        tail = f" {self.other[1]}" if self.other is not None else ""
        return f"{self.label}: {self.text}{tail}"


class InvalidEntries(ValueError):
    """Entries that cannot be written: ``problems`` lists every :class:`Problem` found, in
    input order; ``str()`` is the first of them."""

    def __init__(self, problems: list[Problem]) -> None:
        self.problems = problems
        more = f" (and {len(problems) - 1} more problems)" if len(problems) > 1 else ""
        super().__init__(f"{problems[0]}{more}")


class _Bad(Exception):
    """A field failed its check; the caller adds which entry it belongs to."""

    def __init__(self, field: str, problem: str) -> None:
        super().__init__(f"{field}: {problem}")


@dataclass
class _Checked:
    pos: int
    entry: Entry
    key: tuple[int, int, int]
    folded: str | None
    texts: list[bytes]  # in the order of _MAX_LEN
    vr: int
    choices: bytes  # the VR codes of an element that may take several, else empty
    retired: bool
    block_offset: bool
    vm: bytes

    @property
    def label(self) -> str:  # made only for messages: most entries never need one
        return _label(self.pos, self.entry)


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


def _encode(field: str, value: object, limit: int, dicom_rules: bool) -> bytes:
    if not isinstance(value, str):
        raise _Bad(field, f"must be a str, not {type(value).__name__}")
    if dicom_rules and (bad := _CONTROL.search(value)):
        raise _Bad(field, f"holds the control character U+{ord(bad.group()):04X} at index {bad.start()}")
    try:
        data = value.encode("utf-8")
    except UnicodeEncodeError as exc:
        raise _Bad(field, f"cannot be encoded as UTF-8 ({exc.reason} at index {exc.start})") from None
    if len(data) > limit:
        raise _Bad(field, f"is {len(data)} bytes in UTF-8, more than the {limit} it may hold")
    return data


def _check_placement(entry: Entry) -> None:
    """Refuse a tag that cannot occur in DICOM data as the entry places it."""
    group, private = entry.group, entry.group % 2 == 1 and entry.group > 0x0008
    if entry.creator and group % 2 == 0:
        raise _Bad("creator", f"given for group {group:04X}, which is even: only odd groups are private")
    if not entry.creator and private:
        raise _Bad("creator", f"missing: group {group:04X} is private (odd, above 0008) and needs one")
    if entry.block_offset and not entry.creator:
        raise _Bad("block_offset", "only a private tag, which has a creator, lies inside a block")
    if entry.block_offset and entry.element > 0xFF:
        raise _Bad(
            "block_offset",
            f"element {entry.element:04X} is above 00FF: inside a block give its low byte (the xx form)",
        )
    # A private group's elements below 0x0100 are its creator elements (0010-00FF), which hold
    # creators' names, and elements that stay reserved: no data element is ever met there.
    if private and not entry.block_offset and entry.element <= 0xFF:
        if entry.element >= 0x10:
            raise _Bad(
                "element",
                f"({group:04X},{entry.element:04X}) is a private creator element, which holds a creator's "
                "name: an element inside the creator's block is given by its offset with block_offset "
                f"(element xx{entry.element:02X})",
            )
        raise _Bad(
            "element",
            f"({group:04X},{entry.element:04X}) lies below every creator's block, where no element has a "
            f"creator: private data elements are {group:04X},1000 and above (or an offset inside a block, "
            "with block_offset)",
        )


def _vr(value: object) -> tuple[int, bytes]:
    """The record's VR code of a ``vr`` field, and its choices (VR codes, in order) if several."""
    if isinstance(value, str) and value in _layout.VR_CODES:
        return _layout.VR_CODES[value], b""
    parts = value.split(" or ") if isinstance(value, str) else []
    if len(parts) < 2 or not all(p in _layout.VR_CODES and p != "??" for p in parts):
        raise _Bad("vr", f"{value!r} is not one of {_VR_LIST}, nor choices of them written as 'OB or OW'")
    if len(set(parts)) != len(parts):
        raise _Bad("vr", f"{value!r} names a VR twice")
    return _layout.VR_UNKNOWN, bytes(_layout.VR_CODES[p] for p in parts)


def _check(pos: int, entry: object, dicom_rules: bool) -> _Checked:
    if not isinstance(entry, Entry):
        raise _Bad("entry", f"must be a quillet.writer.Entry, not {type(entry).__name__}")
    for field in ("group", "element"):
        value = getattr(entry, field)
        if not (_is_int(value) and 0 <= value <= _U16):
            raise _Bad(field, f"must be an int from 0 to 65535, not {value!r}")
    vr, choices = _vr(entry.vr)
    for field in ("retired", "block_offset"):
        if not isinstance(getattr(entry, field), bool):
            raise _Bad(field, f"must be a bool, not {getattr(entry, field)!r}")
    texts = [
        _encode(f, getattr(entry, f), _MAX_LEN[f], dicom_rules)
        for f in ("keyword", "name", "creator", "description")
    ]
    folded, creator_hash = None, 0
    if texts[2]:
        folded = normalize_creator(entry.creator)
        if not folded:
            raise _Bad("creator", "is only white space; use '' for a public tag")
        creator_hash = hash_creator(entry.creator)
        if creator_hash == 0:
            raise _Bad("creator", "hashes to 0, the hash that marks a public tag")
    if dicom_rules:
        _check_placement(entry)
    sources = entry.sources
    # A set would do as an iterable, but its order, and so the file, changes from run to run.
    if isinstance(sources, (str, bytes, bytearray)) or not isinstance(sources, Sequence):
        raise _Bad(
            "sources", f"must be a list or tuple of texts, in a stable order, not {type(sources).__name__}"
        )
    items = []
    for k, source in enumerate(sources):
        data = _encode(f"sources[{k}]", source, _MAX_LEN["sources"], dicom_rules)
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
        pos,
        entry,
        (entry.group, entry.element, creator_hash),
        folded,
        texts,
        vr,
        choices,
        entry.retired,
        entry.block_offset,
        _encode("vm", entry.vm, _U16, dicom_rules),
    )


def _check_all(entries: Iterable[Entry], dicom_rules: bool, companion: bool = False) -> list[_Checked]:
    checked: list[_Checked] = []
    problems: list[Problem] = []
    for pos, entry in enumerate(entries):
        try:
            checked.append(_check(pos, entry, dicom_rules))
        except _Bad as exc:
            problems.append(Problem(pos, _label(pos, entry), str(exc)))

    by_hash: dict[int, _Checked] = {}
    by_key: dict[tuple[int, int, int], _Checked] = {}
    for item in checked:
        if item.folded is not None:
            first = by_hash.setdefault(item.key[2], item)
            if first.folded != item.folded:
                problems.append(
                    Problem(
                        item.pos,
                        item.label,
                        f"creator: folds to {item.folded!r}, which hashes to 0x{item.key[2]:08X} like "
                        f"{first.folded!r}, so lookups could not tell it from the creator of",
                        (first.pos, first.label),
                    )
                )
                continue
        first = by_key.setdefault(item.key, item)
        if first is not item:
            problems.append(
                Problem(item.pos, item.label, "same tag and creator as", (first.pos, first.label))
            )
    if companion:
        problems += _vm_problems(checked)
    if problems:
        problems.sort(key=lambda p: p.position)  # stable: an entry's own problem before later ones
        raise InvalidEntries(problems)
    return checked


def _vm_problems(checked: list[_Checked]) -> list[Problem]:
    """A companion codes each distinct VM text and each distinct list of VR choices in 16 bits,
    0 meaning none: the first of each kind that has no code left is a problem."""
    problems = []
    for field, attribute in (("vm", "vm"), ("vr", "choices")):
        first_with: dict[bytes, _Checked] = {}
        for item in checked:
            if value := getattr(item, attribute):
                first_with.setdefault(value, item)
        if len(first_with) > _U16:
            # The 65536th distinct one, in input order, is the first that has no code left.
            culprit = sorted(first_with.values(), key=lambda item: item.pos)[_U16]
            what = "VM text" if field == "vm" else "list of VR choices"
            text = (
                f"{field}: {getattr(culprit.entry, field)!r} is distinct {what} number {_U16 + 1}; "
                f"a companion holds at most {_U16}"
            )
            problems.append(Problem(culprit.pos, culprit.label, text))
    return problems


def check(entries: Iterable[Entry], *, companion: bool = False) -> None:
    """Raise :class:`InvalidEntries` for `entries` exactly as :func:`write_dictionary` would,
    touching no file; with `companion`, also for what only a companion cannot hold."""
    _check_all(entries, dicom_rules=True, companion=companion)


def _pack_body(checked: list[_Checked]) -> _layout.Body:
    """The body that holds the checked entries; sorts them into record order."""
    # Sorted keys are what the reader's binary search needs; with no two keys equal, the
    # output is also the same whatever order the entries came in.
    checked.sort(key=lambda item: item.key)
    pool = bytearray()
    offsets: dict[bytes, int] = {b"": 0}
    room = _MAX_ROOT_POS - len(checked) * _PER_ENTRY - 3  # 3: padding before the root
    body = _layout.Body()
    for number, item in enumerate(checked):
        refs = []
        for field, data in zip(_MAX_LEN, item.texts, strict=True):
            if data not in offsets:
                if len(pool) + len(data) > room:
                    raise InvalidEntries(
                        [
                            Problem(
                                item.pos,
                                item.label,
                                f"{field}: the string pool would exceed {room} bytes, all that a file "
                                f"of {len(checked)} entries can address",
                            )
                        ]
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
    return body


def _to_bytes(entries: Iterable[Entry], *, dicom_rules: bool) -> bytes:
    """:func:`to_bytes`, optionally without the rules of DICOM (tag placement, control
    characters), for tests that need files a reader must cope with but no one should write."""
    return _layout.pack_file(_pack_body(_check_all(entries, dicom_rules)))


def to_bytes(entries: Iterable[Entry]) -> bytes:
    """Return the complete ``.qlet`` file for `entries`, in any order, as bytes.

    Raises :class:`InvalidEntries` for bad input, see :func:`write_dictionary`.
    """
    return _to_bytes(entries, dicom_rules=True)


def _search_text(text: str) -> bytes:
    # Case-folded as search() folds what it looks for. NUL separates the texts, so a NUL inside
    # one becomes a character no search text can hold.
    return text.casefold().replace("\0", "\ufffd").encode("utf-8")


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
        kw, name = _search_text(item.entry.keyword), _search_text(item.entry.name)
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
    comp.hash_key, comp.slots = _slots([checked[n].texts[0] for n in comp.keywords])
    sets = sorted({item.choices for item in checked} - {b""})
    set_code = {choices: n for n, choices in enumerate(sets, start=1)}
    for choices in sets:
        comp.vr_sets.append((len(pool), len(choices)))
        pool += choices
    comp.vr_codes = [set_code.get(item.choices, 0) for item in checked]
    if len(text) > 0xFFFF_FFFF or len(pool) > 0xFFFF_FFFF:
        raise ValueError("the companion's texts are too large for its format")
    comp.pool, comp.text = bytes(pool), bytes(text)
    return comp


def _hash_key(keywords: Iterable[bytes], attempt: int) -> tuple[int, int]:
    """The key of the keyword hash: a digest of the keywords themselves, so that the file is the
    same for the same input, yet nobody can choose keywords that collide under the key they
    will get (any change to them changes it)."""
    h = hashlib.blake2b(digest_size=16, person=b"quillet-keywords")
    for keyword in keywords:
        h.update(len(keyword).to_bytes(4, "little"))
        h.update(keyword)
    h.update(attempt.to_bytes(4, "little"))
    digest = h.digest()
    return int.from_bytes(digest[:8], "little"), int.from_bytes(digest[8:], "little")


def _place(first: dict[bytes, int], key: tuple[int, int], size: int) -> list[int] | None:
    """The slots for `first` (each distinct keyword's first position) under `key`, or None when
    a run of occupied slots would exceed what readers accept."""
    slots = [0] * size
    siphash, mask, limit = _companion_layout.siphash13, size - 1, _companion_layout.MAX_RUN
    for keyword, position in first.items():
        h = siphash(*key, keyword) & mask
        for _ in range(limit):  # a longer probe crosses a run that is too long already
            if not slots[h]:
                break
            h = (h + 1) & mask
        else:
            return None
        slots[h] = position + 1
    # Runs may also have grown too long by merging, and around the end of the table.
    run = longest = 0
    for value in slots + slots[: limit + 1]:
        run = run + 1 if value else 0
        longest = max(longest, run)
    return None if longest > limit else slots


def _slots(keywords: list[bytes]) -> tuple[tuple[int, int], list[int]]:
    """The key and hash table over the sorted keywords: each distinct one's first position + 1."""
    first: dict[bytes, int] = {}
    for position, keyword in enumerate(keywords):
        first.setdefault(keyword, position)
    if not first:
        return (0, 0), []
    size = 1
    while size < 2 * len(first):  # at most half full, so that probes stay short
        size *= 2
    # A run too long is as unlikely as a coin landing heads dozens of times running; should it
    # happen, another key (and after a few, a larger table) makes it as unlikely again.
    for attempt in range(64):
        key = _hash_key(first, attempt)
        if (slots := _place(first, key, size)) is not None:
            return key, slots
        if attempt % 4 == 3:
            size *= 2
    raise AssertionError("no key keeps the keyword table's runs short")  # pragma: no cover


def to_files(entries: Iterable[Entry]) -> tuple[bytes, bytes]:
    """Return the ``.qlet`` file and its companion for `entries`, as bytes.

    The ``.qlet`` holds what :func:`to_bytes` gives, and in header bytes 6 to 23 (which readers
    of ``.qlet`` files ignore) a mark and the BLAKE2b-128 digest of the dictionary's body and
    the companion's sections together; the companion carries the same digest, so a companion
    is refused beside any dictionary but its own.
    """
    return _files(_check_all(entries, dicom_rules=True, companion=True))


def _files(checked: list[_Checked]) -> tuple[bytes, bytes]:
    packed = _pack_body(checked).pack()
    comp = _companion(checked)
    comp.digest = hashlib.blake2b(packed + comp.payload(), digest_size=16).digest()
    head = _layout.header(rest=struct.pack("<H", _companion_layout.DICT_HAS_DIGEST) + comp.digest + bytes(8))
    return _layout.pack_file(packed, head), comp.pack()


def companion_path(path: str | os.PathLike[str]) -> str:
    """Where the companion of the dictionary at `path` lies: its suffix replaced by ``.qlix``."""
    return os.path.splitext(os.fsdecode(path))[0] + ".qlix"


def companion_target(path: str | os.PathLike[str]) -> str:
    """Where :func:`write_dictionary` writes the companion of `path`: beside the file it
    replaces, which through a symbolic link is the file the link points to.  Raises
    :class:`OSError` for a `path` that it refuses to replace."""
    shown = os.fsdecode(path)
    try:
        target, _ = resolve(shown)
    except OSError as exc:
        raise told_about(exc, shown) from None
    return companion_path(target)


def _same_path(a: str, b: str) -> bool:
    return os.path.normcase(os.path.abspath(a)) == os.path.normcase(os.path.abspath(b))


def write_dictionary(
    path: str | os.PathLike[str],
    entries: Iterable[Entry],
    *,
    companion: bool | None = None,
    uids: Iterable[UidEntry] | None = None,
) -> None:
    """Write `entries` to a ``.qlet`` file at `path`, replacing any file there.

    The entries are checked first; then the file is replaced as :func:`write_file` says.  A
    dictionary is never left beside a companion that is not its own:

    * ``companion=True`` writes its companion too, to :func:`companion_path` of the file
      actually replaced (through a symbolic link, beside the file the link points to);
    * ``companion=False`` writes none, and removes a companion that lies there;
    * ``companion=None``, the default, writes one exactly when one lies there already, so that
      rewriting a dictionary keeps its keyword lookups, search and VMs.

    Both files are prepared (written to temporaries and flushed) before either is replaced,
    and then replaced one right after the other, the dictionary first: a failure while
    preparing leaves both files as they were; a process killed between the two renames leaves
    the old companion beside the new dictionary, whose digest no longer matches, so it is
    refused, never misread.

    With `uids` (:class:`UidEntry`, a vendor's or a site's registered UIDs) the UID file is
    written too, to :func:`uids_path` of the file actually replaced, after the dictionary and
    its companion: it refers to nothing in them, so it needs no pairing.  Without, a UID file
    there is left as it is.  The UIDs are checked with the entries, as :func:`write_uids`
    checks them, and their problems raised the same way.

    Raises :class:`InvalidEntries` (a :class:`ValueError`), before touching any file, listing
    every entry that is not an :class:`Entry`; a group or element that is not an int from 0 to
    65535; a VR not in the table; a flag that is not a bool; a text that is not a str, holds a
    control character, cannot be encoded as UTF-8 or is longer than its field holds (keyword,
    name and creator 65535 bytes of UTF-8, description and all sources together 4294967295);
    sources that are not a list or tuple (a set has no stable order), an empty source or one
    containing ``"|"``; a tag that DICOM cannot have: a creator on an even (public) group, no
    creator on a private group (odd, above 0x0008), a private element below 0x0100 that is not
    an offset inside a block (0x0010-0x00FF are creator elements), a block offset on a public
    tag or above 0xFF; a creator that is only white space or hashes to 0; two entries with the
    same tag and (folded) creator; two different creators with the same hash, as lookups could
    not tell them apart; or texts too large in total for a file to address.  A ``vm`` that is
    not a str, holds a control character or is longer than 65535 bytes of UTF-8 is refused too,
    and so are more than 65535 distinct VM texts where a companion is written.  Raises
    ``ValueError`` for a `path` whose companion would be the file itself (a ``.qlix`` name),
    and :class:`OSError` as :func:`write_file` does, for either file; when only the dictionary
    could be replaced, its message says so.
    """
    shown = os.fsdecode(path)
    if _same_path(companion_path(shown), shown):
        raise ValueError(
            f"{shown}: a dictionary's companion is written beside it with the suffix .qlix, so this name "
            "leaves no room for one; give the dictionary another suffix, such as .qlet"
        )
    beside = companion_target(shown)
    target = resolve(shown)[0]
    if _same_path(beside, target):  # a link named .qlet to a .qlix file
        raise ValueError(
            f"{shown}: links to {target}, whose companion would be that file itself; give the file it "
            "links to another suffix, such as .qlet"
        )
    if companion is None:
        companion = os.path.lexists(beside)
    checked = _check_all(entries, dicom_rules=True, companion=companion)
    uid_data = None if uids is None else uids_to_bytes(uids)
    data: bytes
    extra: bytes | None
    if companion:
        data, extra = _files(checked)
    else:
        data, extra = _layout.pack_file(_pack_body(checked)), None

    first = Replacement(shown, data)
    try:
        second = Replacement(beside, extra) if extra is not None else None
    except BaseException:
        first.discard()
        raise
    try:
        first.commit()
    except BaseException:
        if second is not None:
            second.discard()
        raise
    try:
        if second is not None:
            second.commit()
        else:
            _remove_stale(beside)
    except OSError as exc:
        what = "not its companion" if extra is not None else "its old companion could not be removed"
        raise OSError(
            exc.errno, f"{exc.strerror or exc}; the dictionary {shown} was written, but {what}", beside
        ) from None
    if uid_data is not None:
        _write_beside(shown, uids_path(target), uid_data)


def _write_beside(shown: str, path: str, data: bytes) -> None:
    """Write the UID file of the dictionary just written."""
    try:
        Replacement(path, data).commit()
    except OSError as exc:
        raise OSError(
            exc.errno, f"{exc.strerror or exc}; the dictionary {shown} was written, but not its UIDs", path
        ) from None


def _remove_stale(path: str) -> None:
    """Remove the companion that described the dictionary just replaced, if there is one."""
    try:
        os.unlink(path)
    except FileNotFoundError:
        return
    sync_folder(os.path.dirname(path) or os.curdir)


def write_file(path: str | os.PathLike[str], data: bytes) -> None:
    """Replace the file at `path` with `data`, so that `path` holds either its old content or
    the complete new one, whatever happens meanwhile.

    * The data goes to a temporary ``NAME.quillet-XXXXXXXX.tmp`` beside the file (NAME is the
      file's name, cut and given a hash when long), is flushed to disk, and the temporary is
      renamed over the file.  On any failure that the process survives the temporary is
      removed.  If the process is killed outright, the old file stays whole and the temporary
      stays behind; the next write to the same file removes it (a temporary whose writer is
      still running is left alone, however many writers race).  This function installs no
      signal handlers.
    * A symbolic link is followed: the file it points to is replaced and the link stays a
      link.  A link to nothing is refused, as is a loop of links.
    * Replacing a file keeps its permission bits, and its owner and group where this process
      may set them; a new file gets the usual permissions (0666 less the umask).
    * A directory, device, FIFO or socket at `path` is refused before anything is written.

    Raises :class:`OSError` whose ``filename`` is `path` (never the temporary), such as
    :class:`FileNotFoundError` for a missing folder or :class:`PermissionError`.
    """
    Replacement(path, data).commit()
