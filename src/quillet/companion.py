"""Keyword -> tag, search, value multiplicity and VR choices, from a dictionary's companion file.

>>> import quillet
>>> quillet.tag_for_keyword("PatientName")
(16, 16)
>>> quillet.vm(0x0008, 0x0008)
'2-n'

A ``.qlet`` file answers tag -> entry. Its companion (``.qlix``, written beside it by
``quillet build`` or ``write_dictionary(..., companion=True)``) answers the other questions.
:func:`open_companion` opens one together with its dictionary; the functions of the same names
in :mod:`quillet` use the bundled dictionary's, opened on first use.
"""

from __future__ import annotations

import os

from . import _companion
from ._quillet import Dict
from ._quillet import open as _open_dict
from ._show import shown

# Not typing.TYPE_CHECKING: importing typing would double the cost of first use.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import NoReturn

    from ._types import LookupResult

__all__ = ["Companion", "open_companion"]


def _sibling(path: str, suffix: str) -> str:
    return os.path.splitext(path)[0] + suffix


class Companion:
    """A companion file opened with the dictionary it belongs to.

    ``dict`` is that dictionary, opened as :func:`quillet.open` opens it; every entry returned
    here is its ``lookup`` result for the entry's tag and creator.  Like a ``Dict``, a
    companion never changes, keeps its files mapped until it is garbage-collected, and may be
    used from any number of threads at once.
    """

    __slots__ = ("_index", "dict")

    def __init__(self, index: _companion.Index, d: Dict) -> None:
        self._index = index
        self.dict = d

    def __repr__(self) -> str:
        return f"<quillet.Companion dict={self.dict!r}>"

    def tag_for_keyword(self, keyword: str) -> tuple[int, int] | None:
        """The ``(group, element)`` of a public keyword, matched exactly, or ``None``.

        A keyword that a repeating group carries (``OverlayRows``) gives its first group,
        ``(0x6000, 0x0010)``.  Private keywords are not answered: see :meth:`entries_for_keyword`.
        """
        return self._index.tag_for_keyword(keyword)

    def entries_for_keyword(self, keyword: str) -> list[LookupResult]:
        """Every entry whose keyword is exactly `keyword`, public ones first, then by tag.

        A private keyword may stand under several creators, and a repeating group's keyword
        in every group of its range.
        """
        return self._index.entries(keyword, False)

    def search(self, text: str, *, creator: str | None = None, limit: int | None = 50) -> list[LookupResult]:
        """Entries whose keyword or name contains `text`, ignoring case; the best matches first.

        Case is ignored as Unicode's full case folding ignores it (``str.casefold``): "straße"
        finds "STRASSE", "10 k" finds "10 K" written with the Kelvin sign.  First the entries
        whose keyword equals `text`, then those whose keyword or name starts with it, then
        those that contain it.  Equally good matches come in a fixed order: public entries by
        tag, then private ones grouped by creator (creators in alphabetical order of their
        folded text), each creator's by tag.  With `creator`, only the entries of that private
        creator (folded as lookups fold it); at most `limit` entries (any integer; ``None``, or
        more than there are: all).  The empty text matches every entry.
        """
        _search_arguments(text, limit)
        if "\0" in text:
            return []  # no keyword or name of a companion holds NUL
        return self._index.find(text.casefold(), creator, limit, False)

    def vrs(self, group: int, element: int, creator: str | None = None) -> tuple[str, ...] | None:
        """The VRs an element of the entry that ``dict.lookup(group, element, creator)`` finds
        may take, in the order the standard lists them: ``("PN",)`` for one, ``("OB", "OW")``
        where its lookup says ``"??"`` for several, ``()`` for none (items and delimiters);
        ``None`` when there is no entry."""
        return self._index.vrs(group, element, creator)

    def vm(self, group: int, element: int, creator: str | None = None) -> str | None:
        """The value multiplicity ("1", "1-n", "2-2n", ...) of the entry that
        ``dict.lookup(group, element, creator)`` finds, or ``None`` when there is none or its
        source gives no VM."""
        return self._index.vm(group, element, creator)


def _search_arguments(text: object, limit: object) -> None:
    """Refuse what no search takes, with the note naming the argument."""
    if not isinstance(text, str):
        raise_noted(TypeError(f"'{type(text).__qualname__}' object is not an instance of 'str'"), "text")
    if isinstance(limit, bool):  # an int to Python, but surely not a count
        raise_noted(TypeError("'bool' object is not a count; give an int or None"), "limit")


def raise_noted(exc: BaseException, name: str) -> NoReturn:
    """Raise `exc` with the note that names the parameter at fault, as the extensions do."""
    exc.add_note(f"while processing '{name}'")
    raise exc


def _path_text(value: object, name: str) -> str:
    """A path argument as the extensions take it: through the path protocol, to a str."""
    try:
        path = os.fspath(value)  # type: ignore[call-overload]
    except TypeError as exc:
        raise_noted(exc, name)
    if not isinstance(path, str):
        raise_noted(TypeError(f"'{type(path).__qualname__}' object is not an instance of 'str'"), name)
    return path


def open_companion(
    path: str | os.PathLike[str], dict_path: str | os.PathLike[str] | None = None
) -> Companion:
    """Open the companion at `path` and the dictionary it belongs to.

    The dictionary is `dict_path`, by default the ``.qlet`` file beside `path` (``acme.qlet``
    for ``acme.qlix``).  The companion is checked against the very mapping of the dictionary
    that answers (``dict``), so that a file replaced meanwhile can never pair a companion with
    a dictionary it was not built with.  Raises ``TypeError`` for an argument that is not a
    path (before opening anything); what :func:`quillet.open` raises for the dictionary; for
    the companion ``OSError`` ("cannot open {path}: ...") when it is missing, unreadable or
    corrupt, and ``ValueError`` for a companion of another format version, for one built from
    other data than the dictionary, and beside a dictionary written without a companion.  Paths
    in these messages show control characters and undecodable bytes as escapes (``\\x00``,
    ``\\udcfe``), as the ``quillet`` command shows them.
    """
    path = _path_text(path, "path")
    dict_path = _sibling(path, ".qlet") if dict_path is None else _path_text(dict_path, "dict_path")
    d = _open_dict(dict_path)
    return Companion(_companion.open(path, d, shown(path), shown(dict_path)), d)
