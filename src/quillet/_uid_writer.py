"""Writing UID files (".qlud"): a dictionary's registered UIDs, such as a vendor's or a site's.

>>> from quillet.writer import UidEntry, write_uids
>>> write_uids("acme.qlud", [
...     UidEntry("1.2.826.0.1.3680043.10.99.1", keyword="AcmeDoseStorage",
...              name="Acme Dose Storage", type="SOP Class"),
... ])

:mod:`quillet.writer` re-exports what is public here; ``write_dictionary(path, entries,
uids=[...])`` writes the UID file beside the dictionary (``acme.qlud`` for ``acme.qlet``), where
:class:`quillet.Dictionary` finds it.  Entries are checked completely before anything is
written, as the writer checks tag entries: every problem lands in one
:class:`quillet.writer.InvalidEntries`.
"""

from __future__ import annotations

import os
from collections.abc import Iterable, Sequence
from dataclasses import KW_ONLY, dataclass

from . import _uid_layout as layout
from ._replace import Replacement
from ._uid_text import encoding_flags, problem

__all__ = ["UidEntry", "check_uids", "uids_path", "uids_to_bytes", "write_uids"]

_U16, _U32 = 0xFFFF, 0xFFFF_FFFF
# The texts of an entry in the order of the file's references, with the most bytes each holds.
_TEXTS = (("keyword", _U16), ("name", _U16), ("type", _U16), ("info", _U32))


@dataclass(frozen=True)
class UidEntry:
    """One registered UID; its fields are those that ``Dictionary.uid`` returns.

    ``uid``
        The UID as the standard defines them: 1 to 64 characters, digits and dots only, no
        empty component and no component of more than one digit that starts with 0.
    ``keyword``, ``name``, ``type``, ``info``
        Free texts without control characters: the keyword (unique within a file; ``""`` for
        none), the name, the kind ("Transfer Syntax", "SOP Class", "Well-known SOP Instance",
        ...), and a remark.
    ``retired``
        The UID is retired.
    ``sources``
        Where the entry comes from, as a tag entry's: a list or tuple of non-empty texts
        without ``"|"``.
    ``encoding``
        For a transfer syntax (``type="Transfer Syntax"``), how it encodes a data set:
        ``"implicit"`` or ``"explicit"`` VR, then ``"little"`` or ``"big"`` endian, then
        ``"deflated"`` and ``"encapsulated"`` (pixel data in fragments, compressed) where they
        hold, separated by blanks: ``"explicit little encapsulated"``.  ``""``: not known.
    """

    uid: str
    _: KW_ONLY
    keyword: str = ""
    name: str = ""
    type: str = ""
    info: str = ""
    retired: bool = False
    sources: Sequence[str] = ()
    encoding: str = ""


@dataclass
class _Checked:
    entry: UidEntry
    uid: bytes
    texts: list[bytes]  # keyword, name, type, info, sources
    flags: int


def _label(pos: int, entry: object) -> str:
    if isinstance(entry, UidEntry) and isinstance(entry.uid, str):
        return f"uid {pos} ({entry.uid!r})"
    return f"uid {pos}"


def _check(entry: object) -> _Checked:
    from . import writer

    if not isinstance(entry, UidEntry):
        raise writer._Bad("entry", f"must be a quillet.writer.UidEntry, not {type(entry).__name__}")
    if not isinstance(entry.uid, str):
        raise writer._Bad("uid", f"must be a str, not {type(entry.uid).__name__}")
    if (why := problem(entry.uid)) is not None:
        raise writer._Bad("uid", f"not a UID: {why}")
    texts = [writer._encode(f, getattr(entry, f), limit, True) for f, limit in _TEXTS]
    for field in ("retired",):
        if not isinstance(getattr(entry, field), bool):
            raise writer._Bad(field, f"must be a bool, not {getattr(entry, field)!r}")
    sources = entry.sources
    if isinstance(sources, (str, bytes, bytearray)) or not isinstance(sources, Sequence):
        raise writer._Bad("sources", f"must be a list or tuple of texts, not {type(sources).__name__}")
    items = []
    for k, source in enumerate(sources):
        data = writer._encode(f"sources[{k}]", source, _U32, True)
        if not data or b"|" in data:
            raise writer._Bad(f"sources[{k}]", f"{source!r} is empty or contains '|', the separator of items")
        items.append(data)
    texts.append(b"|".join(items))
    flags = layout.RETIRED if entry.retired else 0
    if not isinstance(entry.encoding, str):
        raise writer._Bad("encoding", f"must be a str, not {type(entry.encoding).__name__}")
    if entry.encoding:
        if entry.type != "Transfer Syntax":
            raise writer._Bad("encoding", f"only a transfer syntax has one, not a {entry.type!r}")
        try:
            implicit_vr, little_endian, deflated, encapsulated = encoding_flags(entry.encoding)
        except ValueError as exc:
            raise writer._Bad("encoding", str(exc)) from None
        flags |= layout.ENCODING
        flags |= layout.IMPLICIT_VR * implicit_vr | layout.LITTLE_ENDIAN * little_endian
        flags |= layout.DEFLATED * deflated | layout.ENCAPSULATED * encapsulated
    return _Checked(entry, entry.uid.encode("ascii"), texts, flags)


def _check_all(uids: Iterable[UidEntry]) -> list[_Checked]:
    from .writer import InvalidEntries, Problem, _Bad

    checked: list[tuple[int, str, _Checked]] = []
    problems: list[Problem] = []
    for pos, entry in enumerate(uids):
        try:
            checked.append((pos, _label(pos, entry), _check(entry)))
        except _Bad as exc:
            problems.append(Problem(pos, _label(pos, entry), str(exc)))
    first_uid: dict[bytes, tuple[int, str]] = {}
    first_keyword: dict[bytes, tuple[int, str]] = {}
    for pos, label, item in checked:
        if (first := first_uid.setdefault(item.uid, (pos, label))) != (pos, label):
            problems.append(Problem(pos, label, "the same UID as", first))
        elif item.texts[0] and (first := first_keyword.setdefault(item.texts[0], (pos, label))) != (
            pos,
            label,
        ):
            problems.append(Problem(pos, label, "keyword: the same as that of", first))
    if problems:
        problems.sort(key=lambda p: p.position)
        raise InvalidEntries(problems)
    return [item for _, _, item in checked]


def check_uids(uids: Iterable[UidEntry]) -> None:
    """Raise :class:`quillet.writer.InvalidEntries` for `uids` exactly as :func:`write_uids`
    would, touching no file."""
    _check_all(uids)


def _search_text(text: str) -> bytes:
    # Folded as a search folds what it looks for; NUL separates the texts.
    return text.casefold().replace("\0", "\ufffd").encode("utf-8")


def _order(uid: bytes) -> tuple[int, ...]:
    return tuple(int(part) for part in uid.split(b"."))


def _pack(checked: list[_Checked]) -> layout.UidFile:
    # Sorted by UID bytes, which a lookup's binary search needs; the same file for the same
    # entries in any order.
    checked = sorted(checked, key=lambda item: item.uid)
    out = layout.UidFile()
    pool = bytearray()
    offsets: dict[bytes, int] = {}

    def ref(data: bytes) -> tuple[int, int]:
        if data not in offsets:
            offsets[data] = len(pool)
            pool.extend(data)
        return offsets[data], len(data)

    for item in checked:
        fields: list[int] = []
        for data in (item.uid, *item.texts):
            fields += ref(data)
        out.entries.append((*fields, item.flags))  # type: ignore[arg-type]
    out.keywords = sorted(
        (n for n, item in enumerate(checked) if item.texts[0]), key=lambda n: checked[n].texts[0]
    )
    # Equally good matches of a search come in the order of the UIDs' components as numbers.
    text = bytearray()
    for n in sorted(range(len(checked)), key=lambda n: _order(checked[n].uid)):
        keyword, name = (_search_text(getattr(checked[n].entry, f)) for f in ("keyword", "name"))
        out.items.append((n, len(text), len(keyword), len(name)))
        text += keyword + b"\0" + name + b"\0"
    if len(pool) > _U32 or len(text) > _U32:
        raise ValueError("the UIDs' texts are too large for a UID file")
    out.pool, out.text = bytes(pool), bytes(text)
    return out


def uids_to_bytes(uids: Iterable[UidEntry]) -> bytes:
    """The whole UID file for `uids`, in any order, as bytes; raises what :func:`write_uids`
    raises for bad entries."""
    return _pack(_check_all(uids)).pack()


def uids_path(path: str | os.PathLike[str]) -> str:
    """Where the UID file of the dictionary at `path` lies: its suffix replaced by ``.qlud``."""
    return os.path.splitext(os.fsdecode(path))[0] + ".qlud"


def write_uids(path: str | os.PathLike[str], uids: Iterable[UidEntry]) -> None:
    """Write `uids` to a UID file at `path`, replacing any file there as
    :func:`quillet.writer.write_file` does.

    Raises :class:`quillet.writer.InvalidEntries` (a ``ValueError``), before touching any file,
    listing every entry that is not a :class:`UidEntry`; a ``uid`` that is not a UID (the
    problem named); a text that is not a str, holds a control character or is too long
    (keyword, name and type 65535 bytes of UTF-8); sources as a tag entry's are refused; an
    ``encoding`` other than the words :class:`UidEntry` names, or on an entry whose type is not
    "Transfer Syntax"; two entries with one UID or one keyword.  Raises :class:`OSError` as
    ``write_file`` does.
    """
    Replacement(os.fsdecode(path), uids_to_bytes(uids)).commit()
