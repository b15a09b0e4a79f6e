"""A dictionary's registered UIDs: what :meth:`quillet.Dictionary.uid`, ``uid_for_keyword``
and ``search_uids`` answer.

Each layer's UIDs lie in the UID file beside its ``.qlet`` file (``acme.qlud`` beside
``acme.qlet``, or beside the file a link names), where there is one; the bundled dictionary has
the standard's.  They are opened the first time a dictionary is asked about a UID, never before,
and asked in the layers' order.
"""

from __future__ import annotations

import os

from . import _companion
from ._show import shown
from ._uid_text import problem

# Not typing.TYPE_CHECKING: importing typing would cost more than the rest of first use.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import NoReturn

    from ._types import UidInfo
    from .dictionary import Dictionary

__all__ = ["Registry", "attach"]


def _raise_noted(exc: BaseException, name: str) -> NoReturn:
    exc.add_note(f"while processing '{name}'")
    raise exc


def _refuse(uid: object) -> None:
    """Raise what a query of `uid` that no layer holds raises, if anything."""
    if not isinstance(uid, str):
        _raise_noted(TypeError(f"'{type(uid).__qualname__}' object is not an instance of 'str'"), "uid")
    why = problem(uid)
    if why is not None:
        raise ValueError(f"not a UID: {uid!r} ({why})")


def _rank(entry: UidInfo, folded: str) -> int:
    """How well an entry matches a search: keyword equal, keyword or name starting with it, else."""
    keyword = entry["keyword"].casefold()
    if folded and keyword == folded:
        return 0
    return 1 if keyword.startswith(folded) or entry["name"].casefold().startswith(folded) else 2


class Registry:
    """The UID files of a dictionary's layers, in the order they answer."""

    __slots__ = ("files",)

    def __init__(self, files: list[tuple[str, _companion.Uids]]) -> None:
        #: (path, opened file) of each layer that has one
        self.files = files

    def uid(self, uid: str) -> UidInfo | None:
        for _, f in self.files:
            found = f.get(uid)
            if found is not None:
                return found
        _refuse(uid)
        return None

    def uid_for_keyword(self, keyword: str) -> str | None:
        if not isinstance(keyword, str):
            _raise_noted(
                TypeError(f"'{type(keyword).__qualname__}' object is not an instance of 'str'"), "keyword"
            )
        for _, f in self.files:
            found = f.uid_for_keyword(keyword)
            if found is not None:
                return found
        return None

    def search(self, text: str, limit: int | None) -> list[UidInfo]:
        from .companion import _search_arguments

        _search_arguments(text, limit)
        if "\0" in text:
            return []  # no keyword or name holds NUL
        folded = text.casefold()
        if len(self.files) == 1:
            return self.files[0][1].find(folded, limit)
        found: dict[str, tuple[int, int, UidInfo]] = {}
        for n, (_, f) in enumerate(self.files):
            for position, entry in enumerate(f.find(folded, limit)):
                found.setdefault(entry["uid"], (n, position, entry))
        ranked = sorted(found.values(), key=lambda t: (_rank(t[2], folded), t[0], t[1]))
        return [entry for _, _, entry in ranked[: limit if limit is None else max(limit, 0)]]


def uids_beside(path: str) -> str | None:
    """The UID file of the dictionary at `path`: beside it, or beside the file a link names."""
    for candidate in (path, os.path.realpath(path)):
        beside = os.path.splitext(candidate)[0] + ".qlud"
        if os.path.exists(beside):
            return beside
    return None


def attach(d: Dictionary) -> Registry:
    """Open the UID files of `d`'s layers and keep them with it. Raises ``OSError`` ("cannot
    open {path}: ...") for one that is missing, unreadable or corrupt, and ``ValueError`` for
    one of another format version."""
    files = []
    for path in d.paths:
        beside = uids_beside(path)
        if beside is not None:
            files.append((beside, _companion.open_uids(beside, shown(beside))))
    registry = Registry(files)
    d._uids = registry  # two threads may both get here: either registry is as good
    return registry
