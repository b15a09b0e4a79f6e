"""quillet: DICOM data-dictionary lookups over a memory-mapped, precompiled file.

>>> import quillet
>>> d = quillet.open_default()
>>> d.lookup(0x0010, 0x0010)["keyword"]
'PatientName'
"""

from __future__ import annotations

from pathlib import Path

from ._quillet import Dict, __version__, open

# Not typing.TYPE_CHECKING: importing typing would cost more than all the rest of the import.
TYPE_CHECKING = False
if TYPE_CHECKING:
    import os

    from . import _companion
    from ._quillet import Entry
    from .companion import Companion

__all__ = [
    "DEFAULT_PATH",
    "Dict",
    "__version__",
    "entries_for_keyword",
    "open",
    "open_companion",
    "open_default",
    "search",
    "tag_for_keyword",
    "vm",
]

#: The standard dictionary (public tags and known private ones) that ships with the package.
DEFAULT_PATH: Path = Path(__file__).with_name("dictionary.qlet")


def open_default() -> Dict:
    """Open the bundled dictionary; the same as ``quillet.open(quillet.DEFAULT_PATH)``."""
    return open(DEFAULT_PATH)


# ---- the bundled dictionary's companion, opened on first use ------------------------------------
# Nothing of it is imported or opened at import time: a program that never asks pays nothing.

_bundled: list[Companion] = []


def _bundled_companion() -> Companion:
    if not _bundled:
        from .companion import open_companion as _open

        companion = _open(
            Path(__file__).with_name("dictionary.qlix"), Path(__file__).with_name("dictionary.qlet")
        )
        # Two threads may both get here; either result is as good, and the list keeps one.
        if not _bundled:
            _bundled.append(companion)
    return _bundled[0]


def _bundled_index() -> _companion.Index:
    return _bundled_companion()._index


def open_companion(
    path: str | os.PathLike[str], dict_path: str | os.PathLike[str] | None = None
) -> Companion:
    """Open a companion file and the dictionary it belongs to (:func:`quillet.companion.open_companion`)."""
    from .companion import open_companion as _open

    return _open(path, dict_path)


def tag_for_keyword(keyword: str) -> tuple[int, int] | None:
    """The ``(group, element)`` of a public keyword of the bundled dictionary, or ``None``.

    Matched exactly (keywords are case-sensitive).  A repeating group's keyword gives the first
    group of its range: ``tag_for_keyword("OverlayRows") == (0x6000, 0x0010)``.
    """
    return (_bundled[0]._index if _bundled else _bundled_index()).tag_for_keyword(keyword)


def entries_for_keyword(keyword: str) -> list[Entry]:
    """Every entry of the bundled dictionary with this keyword, public and private, as lookup dicts."""
    return _bundled_companion().entries_for_keyword(keyword)


def search(text: str, *, creator: str | None = None, limit: int | None = 50) -> list[Entry]:
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
