"""quillet: DICOM data-dictionary lookups over a memory-mapped, precompiled file.

>>> import quillet
>>> quillet.Dictionary().keyword(0x00100010)
'PatientName'
>>> quillet.open_default().lookup(0x0010, 0x0010)["keyword"]
'PatientName'
"""

# Importing this package is meant to cost next to nothing beyond the extension itself, so it
# imports no other module: os is loaded by every interpreter at start-up, and the rest (the
# Dictionary, the result types, pathlib for DEFAULT_PATH) only when first asked for.
import os as _os

from . import _quillet
from ._quillet import Dict, __version__, open

# Not typing.TYPE_CHECKING: importing typing would cost more than all the rest of the import.
TYPE_CHECKING = False
if TYPE_CHECKING:
    import os
    from pathlib import Path

    from ._annotate import Annotation
    from ._types import LookupResult, TagInfo, UidEncoding, UidInfo
    from ._vm import VM
    from .companion import Companion
    from .dictionary import Dictionary, Tag
    from .writer import Entry, UidEntry

    #: The standard dictionary (public tags and known private ones) that ships with the package.
    DEFAULT_PATH: Path
del TYPE_CHECKING

__all__ = [
    "DEFAULT_PATH",
    "VM",
    "Annotation",
    "Dict",
    "Dictionary",
    "Entry",
    "LookupResult",
    "Tag",
    "TagInfo",
    "UidEncoding",
    "UidEntry",
    "UidInfo",
    "__version__",
    "entries_for_keyword",
    "lookup_element",
    "open",
    "open_companion",
    "open_default",
    "search",
    "search_uids",
    "tag_for_keyword",
    "uid",
    "uid_for_keyword",
    "vm",
    "vrs",
]

# The build installs the dictionary beside the extension; with an editable install that folder
# is not the one that holds this file, so the extension's own location is the one to trust.
_DEFAULT = _os.path.join(_os.path.dirname(_quillet.__file__), "dictionary.qlet")
_DEFAULT_COMPANION = _os.path.join(_os.path.dirname(_quillet.__file__), "dictionary.qlix")

# Names made on first use: module, attribute.
_LAZY = {
    "Annotation": ("_annotate", "Annotation"),
    "Dictionary": ("dictionary", "Dictionary"),
    "Tag": ("dictionary", "Tag"),
    "TagInfo": ("_types", "TagInfo"),
    "LookupResult": ("_types", "LookupResult"),
    "VM": ("_vm", "VM"),
    "Entry": ("writer", "Entry"),
    "UidInfo": ("_types", "UidInfo"),
    "UidEncoding": ("_types", "UidEncoding"),
    "UidEntry": ("writer", "UidEntry"),
}


def __getattr__(name: str) -> object:
    if name == "DEFAULT_PATH":
        from pathlib import Path

        value: object = Path(_DEFAULT)
    elif name in _LAZY:
        import importlib

        module, attribute = _LAZY[name]
        if name == "Tag":  # a type alias: a name for type checkers, an object for no one else
            value = int | tuple[int, int] | str
        else:
            value = getattr(importlib.import_module(f"{__name__}.{module}"), attribute)
    else:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(__all__))


def open_default() -> Dict:
    """Open the bundled dictionary; the same as ``quillet.open(quillet.DEFAULT_PATH)``."""
    return open(_DEFAULT)


def lookup_element(d: Dict, group: int, element: int, creator: str | None = None) -> "LookupResult | None":
    """Look up a tag as it stands in a data set, such as (0029,1010) under its private creator.

    A private data element (odd group, element 0x1000 to 0xFFFF) lies in the block that its
    creator reserved, the element's high byte, so dictionaries list it by its offset in the
    block, the low byte. The most specific entry answers: one for exactly this element,
    ``d.lookup(group, element, creator)`` (a definition that holds for this block only), and
    otherwise the block offset's, ``d.lookup(group, element & 0xFF, creator)`` when that is an
    offset (``block_offset`` true). A private group's elements below 0x0100 (its length, its
    creator elements, reserved ones) are answered by no entry of a block: ``None``. Every other
    tag is ``d.lookup(group, element, creator)``. The entry comes back as ``Dict.lookup``
    returns it, with the element as stored (the offset, for an entry found through its block),
    and the errors are ``Dict.lookup``'s. :class:`Dictionary` answers the same way, and knows
    the rules for what no entry holds (creator elements among them).
    """
    entry = d.lookup(group, element, creator)  # raises the lookup's own errors, with their notes
    import operator  # here, not at import: importing the package stays free of it

    g, e = operator.index(group), operator.index(element)
    if not (g & 1 and g > 0x0008):
        return entry
    if e < 0x0100:  # (gggg,0010) holds a creator's name: no offset entry of a block is its
        return None
    if entry is None and e >= 0x1000:
        entry = d.lookup(g, e & 0xFF, creator)
        if entry is not None and not entry["block_offset"]:
            return None  # an entry of the low byte that is no offset answers nothing here
    return entry


# ---- the bundled dictionary, opened on first use ------------------------------------------------
# Nothing of it is imported or opened at import time: a program that never asks pays nothing.

_bundled: "list[Dictionary]" = []


def _bundled_dictionary() -> "Dictionary":
    if not _bundled:
        from .dictionary import Dictionary

        made = Dictionary()
        # Two threads may both get here; either result is as good, and the list keeps one.
        if not _bundled:
            _bundled.append(made)
    return _bundled[0]


def open_companion(
    path: "str | os.PathLike[str]", dict_path: "str | os.PathLike[str] | None" = None
) -> "Companion":
    """Open a companion file and the dictionary it belongs to (:func:`quillet.companion.open_companion`)."""
    from .companion import open_companion as _open

    return _open(path, dict_path)


def tag_for_keyword(keyword: str) -> tuple[int, int] | None:
    """The ``(group, element)`` of a public keyword of the bundled dictionary, or ``None``.

    Matched exactly (keywords are case-sensitive).  A repeating group's keyword gives the first
    group of its range: ``tag_for_keyword("OverlayRows") == (0x6000, 0x0010)``.  The same as
    ``Dictionary().tag(keyword)``, as a pair.
    """
    tag = (_bundled[0] if _bundled else _bundled_dictionary()).tag(keyword)
    return None if tag is None else (tag >> 16, tag & 0xFFFF)


def entries_for_keyword(keyword: str) -> "list[TagInfo]":
    """Every entry of the bundled dictionary with this keyword, public and private
    (:meth:`Dictionary.entries`)."""
    return (_bundled[0] if _bundled else _bundled_dictionary()).entries(keyword)


def search(text: str, *, creator: str | None = None, limit: int | None = 50) -> "list[TagInfo]":
    """Entries of the bundled dictionary whose keyword or name contains `text`, ignoring case,
    the best matches first (:meth:`Dictionary.search`)."""
    return (_bundled[0] if _bundled else _bundled_dictionary()).search(text, creator=creator, limit=limit)


def vm(group: int, element: int, creator: str | None = None) -> str | None:
    """The value multiplicity ("1", "1-n", ...) of a tag of the bundled dictionary, or ``None``.

    The tag is (group, element) as it stands in a data set, such as (0029,1010) under its
    creator: ``Dictionary().vm((group, element), creator)``.
    """
    return (_bundled[0] if _bundled else _bundled_dictionary()).vm((group, element), creator)


def vrs(group: int, element: int, creator: str | None = None) -> tuple[str, ...] | None:
    """The VRs an element of a tag of the bundled dictionary may take, in the standard's order.

    ``("PN",)`` for one; ``("OB", "OW")`` for PixelData, whose lookup says ``"??"``; ``()`` for
    items and delimiters, which have none; ``None`` when the dictionary has no such entry.  The
    tag is (group, element) as it stands in a data set: ``Dictionary().vrs((group, element),
    creator)``.
    """
    return (_bundled[0] if _bundled else _bundled_dictionary()).vrs((group, element), creator)


def uid(uid: str) -> "UidInfo | None":
    """The registered UID `uid` of the bundled dictionary, or ``None``
    (:meth:`Dictionary.uid`): ``quillet.uid("1.2.840.10008.1.2.1")["name"] == "Explicit VR Little
    Endian"``."""
    return (_bundled[0] if _bundled else _bundled_dictionary()).uid(uid)


def uid_for_keyword(keyword: str) -> str | None:
    """The UID of a keyword of the bundled dictionary, or ``None`` (:meth:`Dictionary.uid_for_keyword`)."""
    return (_bundled[0] if _bundled else _bundled_dictionary()).uid_for_keyword(keyword)


def search_uids(text: str, limit: int | None = 50) -> "list[UidInfo]":
    """Registered UIDs of the bundled dictionary whose keyword or name contains `text`, ignoring
    case, the best matches first (:meth:`Dictionary.search_uids`)."""
    return (_bundled[0] if _bundled else _bundled_dictionary()).search_uids(text, limit)
