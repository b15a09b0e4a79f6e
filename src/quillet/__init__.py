"""quillet: DICOM data-dictionary lookups over a memory-mapped, precompiled file.

>>> import quillet
>>> d = quillet.open_default()
>>> d.lookup(0x0010, 0x0010)["keyword"]
'PatientName'
"""

# Importing this package is meant to cost next to nothing beyond the extension itself, so it
# imports no other module: os is loaded by every interpreter at start-up, and pathlib (several
# milliseconds) only when DEFAULT_PATH is first asked for.
import os as _os

from . import _quillet
from ._quillet import Dict, __version__, open

# Not typing.TYPE_CHECKING: importing typing would cost more than all the rest of the import.
TYPE_CHECKING = False
if TYPE_CHECKING:
    import os
    from pathlib import Path

    from . import _companion
    from ._quillet import Entry
    from .companion import Companion

    #: The standard dictionary (public tags and known private ones) that ships with the package.
    DEFAULT_PATH: Path
del TYPE_CHECKING

__all__ = [
    "DEFAULT_PATH",
    "Dict",
    "__version__",
    "entries_for_keyword",
    "lookup_element",
    "open",
    "open_companion",
    "open_default",
    "search",
    "tag_for_keyword",
    "vm",
    "vrs",
]

# The build installs the dictionary beside the extension; with an editable install that folder
# is not the one that holds this file, so the extension's own location is the one to trust.
_DEFAULT = _os.path.join(_os.path.dirname(_quillet.__file__), "dictionary.qlet")
_DEFAULT_COMPANION = _os.path.join(_os.path.dirname(_quillet.__file__), "dictionary.qlix")


def __getattr__(name: str) -> object:
    if name == "DEFAULT_PATH":
        from pathlib import Path

        path = Path(_DEFAULT)
        globals()["DEFAULT_PATH"] = path
        return path
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted(set(globals()) | {"DEFAULT_PATH"})


def open_default() -> Dict:
    """Open the bundled dictionary; the same as ``quillet.open(quillet.DEFAULT_PATH)``."""
    return open(_DEFAULT)


def lookup_element(d: Dict, group: int, element: int, creator: str | None = None) -> "Entry | None":
    """Look up a tag as it stands in a data set, such as (0029,1010) under its private creator.

    A private data element (odd group, element 0x1000 to 0xFFFF) lies in the block that its
    creator reserved, the element's high byte, so dictionaries list it by its offset in the
    block, the low byte. The most specific entry answers: one for exactly this element,
    ``d.lookup(group, element, creator)`` (a definition that holds for this block only), and
    otherwise the block offset's, ``d.lookup(group, element & 0xFF, creator)`` when that is an
    offset (``block_offset`` true). Every other tag is ``d.lookup(group, element, creator)``.
    The entry comes back as ``Dict.lookup`` returns it, with the element as stored (the
    offset, for an entry found through its block), and the errors are ``Dict.lookup``'s.
    """
    entry = d.lookup(group, element, creator)  # raises the lookup's own errors, with their notes
    if entry is not None:
        return entry
    import operator  # here, not at import: importing the package stays free of it

    g, e = operator.index(group), operator.index(element)
    if g & 1 and g > 0x0008 and 0x1000 <= e <= 0xFFFF:
        # A fixed element of the low byte would be a private creator element, never a data element.
        entry = d.lookup(g, e & 0xFF, creator)
        if entry is not None and entry["block_offset"]:
            return entry
    return None


# ---- the bundled dictionary's companion, opened on first use ------------------------------------
# Nothing of it is imported or opened at import time: a program that never asks pays nothing.

_bundled: "list[Companion]" = []


def _bundled_companion() -> "Companion":
    if not _bundled:
        from .companion import open_companion as _open

        companion = _open(_DEFAULT_COMPANION, _DEFAULT)
        # Two threads may both get here; either result is as good, and the list keeps one.
        if not _bundled:
            _bundled.append(companion)
    return _bundled[0]


def _bundled_index() -> "_companion.Index":
    return _bundled_companion()._index


def open_companion(
    path: "str | os.PathLike[str]", dict_path: "str | os.PathLike[str] | None" = None
) -> "Companion":
    """Open a companion file and the dictionary it belongs to (:func:`quillet.companion.open_companion`)."""
    from .companion import open_companion as _open

    return _open(path, dict_path)


def tag_for_keyword(keyword: str) -> tuple[int, int] | None:
    """The ``(group, element)`` of a public keyword of the bundled dictionary, or ``None``.

    Matched exactly (keywords are case-sensitive).  A repeating group's keyword gives the first
    group of its range: ``tag_for_keyword("OverlayRows") == (0x6000, 0x0010)``.
    """
    return (_bundled[0]._index if _bundled else _bundled_index()).tag_for_keyword(keyword)


def entries_for_keyword(keyword: str) -> "list[Entry]":
    """Every entry of the bundled dictionary with this keyword, public and private, as lookup dicts."""
    return _bundled_companion().entries_for_keyword(keyword)


def search(text: str, *, creator: str | None = None, limit: int | None = 50) -> "list[Entry]":
    """Entries of the bundled dictionary whose keyword or name contains `text`, ignoring case.

    Best matches first: keyword equal to `text`, then keyword or name starting with it, then
    containing it; see :meth:`quillet.companion.Companion.search` for the order of ties.
    """
    return _bundled_companion().search(text, creator=creator, limit=limit)


def vm(group: int, element: int, creator: str | None = None) -> str | None:
    """The value multiplicity ("1", "1-n", ...) of a tag of the bundled dictionary, or ``None``.

    The entry is the one that ``open_default().lookup(group, element, creator)`` finds.
    """
    return (_bundled[0]._index if _bundled else _bundled_index()).vm(group, element, creator)


def vrs(group: int, element: int, creator: str | None = None) -> tuple[str, ...] | None:
    """The VRs an element of a tag of the bundled dictionary may take, in the standard's order.

    ``("PN",)`` for one; ``("OB", "OW")`` for PixelData, whose lookup says ``"??"``; ``()`` for
    items and delimiters, which have none; ``None`` when the dictionary has no such entry.  The
    entry is the one that ``open_default().lookup(group, element, creator)`` finds.
    """
    return (_bundled[0]._index if _bundled else _bundled_index()).vrs(group, element, creator)
