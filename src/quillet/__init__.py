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

TYPE_CHECKING = False  # typing itself costs milliseconds to import
if TYPE_CHECKING:
    from pathlib import Path

    #: The standard dictionary (public tags and known private ones) that ships with the package.
    DEFAULT_PATH: Path
del TYPE_CHECKING

__all__ = ["DEFAULT_PATH", "Dict", "__version__", "lookup_element", "open", "open_default"]

# The build installs the dictionary beside the extension; with an editable install that folder
# is not the one that holds this file, so the extension's own location is the one to trust.
_DEFAULT = _os.path.join(_os.path.dirname(_quillet.__file__), "dictionary.qlet")


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


def lookup_element(d: Dict, group: int, element: int, creator: str | None = None) -> "_quillet.Entry | None":
    """Look up a tag as it stands in a data set, such as (0029,1010) under its private creator.

    A private data element (odd group, element 0x1000 to 0xFFFF) lies in the block that its
    creator reserved, the element's high byte, so dictionaries list it by its offset in the
    block, the low byte: the entry ``d.lookup(group, element & 0xFF, creator)`` is taken when
    it is such an offset (``block_offset`` true), and otherwise an entry for the whole element,
    ``d.lookup(group, element, creator)``. Every other tag is ``d.lookup(group, element,
    creator)``. The entry comes back as ``Dict.lookup`` returns it, with the element as stored
    (the offset, for an entry found through its block), and the errors are ``Dict.lookup``'s.
    """
    import operator  # here, not at import: importing the package stays free of it

    try:
        g, e = operator.index(group), operator.index(element)
    except Exception:
        return d.lookup(group, element, creator)  # raises the lookup's own error, with its note
    if g & 1 and 0x1000 <= e <= 0xFFFF:
        # A fixed element of the low byte would be a private creator element, never a data element.
        entry = d.lookup(g, e & 0xFF, creator)
        if entry is not None and entry["block_offset"]:
            return entry
    return d.lookup(group, element, creator)
