"""The shapes of quillet's results, for type checkers and for readers: each is a plain dict at
run time.  Importable from :mod:`quillet` (``from quillet import TagInfo``)."""

from __future__ import annotations

from typing import TypedDict

__all__ = ["LookupResult", "TagInfo", "UidEncoding", "UidInfo"]


class LookupResult(TypedDict):
    """What ``Dict.lookup`` returns: the ten fields of a dictionary entry, never ``None``.

    ``element`` is the element as stored: the low byte for an entry inside a private block
    (``block_offset`` true).  ``vr`` is a two-letter code, or ``"??"`` for an element that takes
    several VRs (``TagInfo.vrs`` lists them) or none.  ``creator`` is ``""`` for a public tag.
    """

    group: int
    element: int
    creator: str
    keyword: str
    name: str
    vr: str
    description: str
    retired: bool
    block_offset: bool
    sources: list[str]


class TagInfo(LookupResult):
    """What :class:`quillet.Dictionary` answers for a tag: the lookup's ten fields, and

    ``vm``
        the value multiplicity ("1", "1-n", "2-2n", ...), or ``None`` where it is not known;
    ``vrs``
        the VRs the element may take, in the order the standard lists them: one for most
        elements, several where ``vr`` is ``"??"`` (PixelData: ``("OB", "OW")``), none for
        items and delimiters; ``None`` where ``vr`` is ``"??"`` and the dictionary has no
        companion to say which.  A tuple: the VRs of an element are shared, not yours to
        change.
    """

    vm: str | None
    vrs: tuple[str, ...] | None


class UidEncoding(TypedDict):
    """How a transfer syntax encodes a data set, as pydicom's ``UID`` properties say it:
    ``implicit_vr`` (``is_implicit_VR``), ``little_endian`` (``is_little_endian``),
    ``deflated`` (``is_deflated``) and ``encapsulated``, pixel data in fragments, compressed
    (``is_encapsulated`` and ``is_compressed``)."""

    implicit_vr: bool
    little_endian: bool
    deflated: bool
    encapsulated: bool


class UidInfo(TypedDict):
    """What :meth:`quillet.Dictionary.uid` answers for a registered UID.

    ``type`` is its kind ("Transfer Syntax", "SOP Class", "Meta SOP Class", "Well-known SOP
    Instance", "Coding Scheme", ...; ``""`` where no source says), ``info`` a remark such as
    "Default Transfer Syntax for DICOM", ``sources`` where the entry comes from, and
    ``encoding`` how a transfer syntax encodes a data set, ``None`` for any other UID or where
    it is not known.
    """

    uid: str
    keyword: str
    name: str
    type: str
    info: str
    retired: bool
    sources: list[str]
    encoding: UidEncoding | None
