"""The dictionary as a data set meets it: :class:`Dictionary`.

>>> import quillet
>>> d = quillet.Dictionary()                    # the bundled dictionary
>>> d.keyword(0x00100010), d.vr("(7FE0,0010)"), d.vrs("7FE00010")
('PatientName', '??', ('OB', 'OW'))
>>> d.name(0x00291010, "SIEMENS CSA HEADER")    # a private element, under its creator
'CSA Image Header Info'
>>> d.tag("PatientName") == 0x00100010
True

A tag is given as it stands in a data set: an int 0xGGGGEEEE, a (group, element) pair, or the
text "GGGG,EEEE", "(GGGG,EEEE)" or "GGGGEEEE"; inside a private block also "GGGG,xxEE", the
offset in any of the creator's blocks.  A private data element is answered by the most
specific entry: one for exactly that element, else its block offset's.

Several dictionaries are layers, the first answering first; entries added in-process with
:meth:`Dictionary.add` lie on top of them all.  Where no layer holds a tag, the rules every
peer toolkit knows answer it (their ``sources`` say so): the private creator elements
(gggg,0010-00FF), group lengths (gggg,0000), and the standard's repeating groups and element
ranges, whole groups such as (1010,xxxx) included.
"""

import os

from . import _companion
from ._quillet import Dict
from ._quillet import open as _open_dict

# Not typing.TYPE_CHECKING: importing typing would cost more than the rest of first use.
# Annotations that name what it imports are quoted rather than postponed by `from __future__
# import annotations`, which imports a module of its own on the way to a first answer.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable, Iterable, Iterator
    from typing import Any

    from . import _uids
    from ._annotate import Annotation
    from ._types import TagInfo, UidInfo
    from .writer import Entry

    #: A tag as it stands in a data set: 0xGGGGEEEE, (group, element), or its text.
    type Tag = int | tuple[int, int] | str

__all__ = ["Dictionary"]

# What a layer's `get` answers: the entry, or one field of it. The numbers are the Index's.
_ENTRY, _KEYWORD, _NAME, _VR, _VM, _VRS, _LOOKUP, _PUBLIC_TUPLE, _PRIVATE_TUPLE = range(9)
_FIELDS = ("keyword", "name", "vr", "vm")
_LOOKUP_KEYS = (
    "group",
    "element",
    "creator",
    "keyword",
    "name",
    "vr",
    "description",
    "retired",
    "block_offset",
    "sources",
)
# What a layer's `get` answers for a tag it holds no entry for, told apart from an entry that
# lacks the field asked for (None).
_NO_ENTRY = NotImplemented
_split = _companion.split_tag


def _project(entry: "TagInfo", what: int) -> "Any":
    """One of `get`'s answers, from a whole entry that the caller keeps."""
    if what == _ENTRY:
        return {**entry, "sources": list(entry["sources"])}
    if what == _LOOKUP:
        return {k: list(entry[k]) if k == "sources" else entry[k] for k in _LOOKUP_KEYS}  # type: ignore[literal-required]
    if what == _VRS:
        return entry["vrs"]
    if what in (_PUBLIC_TUPLE, _PRIVATE_TUPLE):  # as pydicom's dictionaries hold an entry
        vrs = entry["vrs"]
        vr = entry["vr"] if entry["vr"] != "??" or vrs is None else " or ".join(vrs) or "NONE"
        row = (vr, entry["vm"] or "", entry["name"], "Retired" if entry["retired"] else "")
        return (*row, entry["keyword"]) if what == _PUBLIC_TUPLE else row
    return entry[_FIELDS[what - 1]]  # type: ignore[literal-required]


def normalize_creator(creator: str) -> str:
    """A creator folded as lookups fold it; imported on first need, which first use is not."""
    from ._unicode import normalize_creator as fold

    return fold(creator)


def _key(entry: "TagInfo") -> tuple[int, int, str | None]:
    """What makes an entry one: its tag as stored and its folded creator."""
    creator = entry["creator"]
    return (entry["group"], entry["element"], normalize_creator(creator) if creator else None)


def _rank(entry: "TagInfo", folded: str) -> int:
    """How well an entry matches a search: keyword equal, keyword or name starting with it, else."""
    keyword = entry["keyword"].casefold()
    if folded and keyword == folded:
        return 0
    return 1 if keyword.startswith(folded) or entry["name"].casefold().startswith(folded) else 2


# ---- layers ----------------------------------------------------------------------------------
# Every layer offers the same few methods; an Index (a dictionary with its companion) offers them
# in C, the others in Python.


class _IndexLayer:
    """A dictionary file and its companion."""

    __slots__ = ("dict", "get", "index", "path")

    def __init__(self, path: str, d: Dict, index: _companion.Index) -> None:
        self.path, self.dict, self.index = path, d, index
        self.get = index.get

    def entries(self, keyword: str) -> "list[TagInfo]":
        return self.index.entries(keyword, True)

    def tag(self, keyword: str, creator: str | None) -> int | None:
        return self.index.tag(keyword, creator)

    def creators(self, tag: "Tag") -> list[str]:
        return self.index.creators(tag)

    def find(self, folded: str, creator: str | None, limit: int | None) -> "list[TagInfo]":
        return self.index.find(folded, creator, limit, True)

    def has_creator(self, creator: str) -> bool:
        return self.index.has_creator(creator)


class _DictLayer:
    """A dictionary file without a (usable) companion: it answers tags, but knows no VM, no VR
    choices, no keywords to look up and nothing to search."""

    __slots__ = ("dict", "path")

    def __init__(self, path: str, d: Dict) -> None:
        self.path, self.dict = path, d

    def get(self, tag: "Tag", creator: str | None, what: int) -> "Any":
        group, element, block = _split(tag)
        found = _find(self.dict.lookup, group, element, creator, block)
        if found is None:
            return _NO_ENTRY
        vr = found["vr"]
        entry: Any = {**found, "vm": None, "vrs": None if vr == "??" else (vr,)}
        return _project(entry, what)

    def entries(self, keyword: str) -> "list[TagInfo]":
        return []

    def tag(self, keyword: str, creator: str | None) -> int | None:
        return None

    def creators(self, tag: "Tag") -> list[str]:
        return []

    def find(self, folded: str, creator: str | None, limit: int | None) -> "list[TagInfo]":
        return []

    def has_creator(self, creator: str) -> bool:
        return False  # without a companion nothing lists a file's creators


def _find(
    lookup: "Callable[[int, int, str | None], Any]",
    group: int,
    element: int,
    creator: str | None,
    block: bool,
) -> "Any":
    """The entry for a tag as it stands in a data set, from a lookup of stored tags: the same
    choice as the companion's index makes in C."""
    # Groups 0001-0007 are not private, but old private dictionaries put creators there too.
    private = group & 1 and (group > 0x0008 or creator is not None)
    if block:  # "gggg,xxee": the offset in any of the creator's blocks
        found = lookup(group, element, creator) if private else None
        return found if found is not None and found["block_offset"] else None
    if not private:
        return lookup(group, element, None)
    if element < 0x0100:  # group length, creator elements, reserved ones: the rules answer
        return None
    found = lookup(group, element, creator)
    if found is not None or element < 0x1000:
        return found
    found = lookup(group, element & 0xFF, creator)
    return found if found is not None and found["block_offset"] else None


class _Added:
    """Entries added in-process: the top layer. The stack in C reads `by_tag` and `tags`."""

    __slots__ = ("by_key", "by_keyword", "by_tag", "tags")

    def __init__(self) -> None:
        self.by_key: dict[tuple[int, int, str | None], TagInfo] = {}
        self.by_keyword: dict[str, dict[tuple[int, int, str | None], None]] = {}
        #: {(group << 16) | element as stored: {folded creator or None: entry}}
        self.by_tag: dict[int, dict[str | None, TagInfo]] = {}
        #: {(keyword, folded creator or None): tag}, the first entry of each
        self.tags: dict[tuple[str, str | None], int] = {}

    def __len__(self) -> int:
        return len(self.by_key)

    def put(self, entry: "TagInfo") -> None:
        key = _key(entry)
        old = self.by_key.get(key)
        if old is not None:
            self.by_keyword[old["keyword"]].pop(key, None)
            self.tags.pop((old["keyword"], key[2]), None)
        self.by_key[key] = entry
        self.by_tag.setdefault((key[0] << 16) | key[1], {})[key[2]] = entry
        if entry["keyword"]:
            self.by_keyword.setdefault(entry["keyword"], {})[key] = None
            self.tags.setdefault((entry["keyword"], key[2]), _tag_int(entry))

    def entries(self, keyword: str) -> "list[TagInfo]":
        keys = self.by_keyword.get(keyword, {})
        found = sorted(
            (self.by_key[k] for k in keys),
            key=lambda e: (bool(e["creator"]), _key(e)[2] or "", e["group"], e["element"]),
        )
        return [_project(e, _ENTRY) for e in found]

    def creators(self, tag: "Tag") -> list[str]:
        group, element, block = _split(tag)
        return [
            e["creator"]
            for (g, el, c), e in self.by_key.items()
            if c is not None
            and g == group
            and (
                (not block and el == element)
                or (e["block_offset"] and el == element & 0xFF and element >= 0x1000)
                or (block and e["block_offset"] and el == element)
            )
        ]

    def has_creator(self, creator: str) -> bool:
        folded = normalize_creator(creator)
        return any(key[2] == folded for key in self.by_key)

    def find(self, folded: str, creator: str | None, limit: int | None) -> "list[TagInfo]":
        wanted = normalize_creator(creator) if creator is not None else None
        found = [
            e
            for k, e in self.by_key.items()
            if (wanted is None or k[2] == wanted)
            and (folded in e["keyword"].casefold() or folded in e["name"].casefold())
        ]
        found.sort(
            key=lambda e: (_rank(e, folded), e["creator"] != "", _key(e)[2] or "", e["group"], e["element"])
        )
        return [_project(e, _ENTRY) for e in found[:limit]]


def _tag_int(entry: "TagInfo") -> int:
    """An entry's tag as an int; an offset inside a block in the first block a creator reserves."""
    element = 0x1000 | entry["element"] if entry["block_offset"] else entry["element"]
    return (entry["group"] << 16) | element


# ---- the rules every peer answers with ---------------------------------------------------------


def _made(
    group: int, element: int, keyword: str, name: str, vr: str, vm: str, retired: bool, *sources: str
) -> "TagInfo":
    vrs = tuple(vr.split(" or "))
    return {
        "group": group,
        "element": element,
        "creator": "",
        "keyword": keyword,
        "name": name,
        "vr": vrs[0] if len(vrs) == 1 else "??",
        "description": "",
        "retired": retired,
        "block_offset": False,
        "sources": list(sources),
        "vm": vm,
        "vrs": vrs,
    }


_masks: list[tuple[int, dict[int, int]]] = []  # (and-mask, {value: row}), made on first need


def _mask_row(group: int, element: int) -> int | None:
    """The row of the first of the standard's masks that covers the tag, as pydicom takes it."""
    from . import _masks as table

    if not _masks:
        by_mask: dict[int, dict[int, int]] = {}
        for row, (mask, *_rest) in enumerate(table.MASKS):
            bits = int("".join("0" if c == "x" else "F" for c in mask), 16)
            by_mask.setdefault(bits, {}).setdefault(int(mask.replace("x", "0"), 16), row)
        _masks[:] = by_mask.items()
    tag = (group << 16) | element
    rows = [values[tag & bits] for bits, values in _masks if tag & bits in values]
    return min(rows) if rows else None


def _rule(group: int, element: int) -> "TagInfo | None":
    """What the rules answer for a tag that no entry holds."""
    if group & 1:
        if group <= 0x0007:  # groups 0001-0007 hold no data elements
            return None
        if element == 0:
            return _made(
                group,
                0,
                "PrivateGroupLength",
                "Private Group Length",
                "UL",
                "1",
                True,
                "rule: private group length",
            )
        if 0x10 <= element <= 0xFF:
            return _made(
                group,
                element,
                "PrivateCreator",
                "Private Creator",
                "LO",
                "1",
                False,
                "rule: private creator element",
            )
        return None
    row = _mask_row(group, element)
    if row is not None:
        from . import _masks as table

        mask, keyword, name, vr, vm, retired = table.MASKS[row]
        return _made(
            group, element, keyword, name, vr, vm, retired, f"rule: repeating group {mask}", table.SOURCE
        )
    if element == 0:
        return _made(group, 0, "GroupLength", "Group Length", "UL", "1", True, "rule: group length")
    return None


# ---- the dictionary ----------------------------------------------------------------------------


def _companion_beside(path: str) -> str | None:
    """The companion of the dictionary at `path`: beside it, or beside the file a link names."""
    from .writer import companion_path

    for candidate in (path, os.path.realpath(path)):
        beside = companion_path(candidate)
        if os.path.exists(beside):
            return beside
    return None


def _open_layer(path: str, strict: bool, problems: list[str]) -> _IndexLayer | _DictLayer:
    from .companion import _path_text, open_companion

    path = _path_text(path, "path")
    beside = _companion_beside(path)
    if beside is None:
        return _DictLayer(path, _open_dict(path))
    try:
        pair = open_companion(beside, path)
    except (OSError, ValueError) as exc:
        if strict:
            raise
        problems.append(str(exc))
        return _DictLayer(path, _open_dict(path))
    return _IndexLayer(path, pair.dict, pair._index)


def _bundled_layer() -> _IndexLayer:
    # Opened here rather than through open_companion: the bundled paths need no checking, and
    # the companion module's import would be most of the cost of a first question.
    from . import _DEFAULT, _DEFAULT_COMPANION

    d = _open_dict(_DEFAULT)
    shown = _DEFAULT_COMPANION, _DEFAULT
    if not all(text.isprintable() for text in shown):
        from ._show import shown as escape

        shown = escape(_DEFAULT_COMPANION), escape(_DEFAULT)
    return _IndexLayer(_DEFAULT, d, _companion.open(_DEFAULT_COMPANION, d, *shown))


class Dictionary(_companion.Stack):
    """A DICOM dictionary that takes tags as they stand in data sets.

    ``Dictionary()`` is the bundled dictionary (the public tags of the standard and the private
    tags of every open source) with its companion.  ``Dictionary(path, ...)`` opens one or more
    ``.qlet`` files of your own, each with the companion beside it where there is one (beside
    the file a link names, too); they are layers, the first answering first, and
    ``bundled=True`` puts the bundled dictionary under them.  A layer without a companion
    answers tags, but no VMs, VR choices, keywords or searches.  A companion that cannot be
    used raises what :func:`quillet.open_companion` raises; with ``strict=False`` the layer
    goes without it instead, and :attr:`problems` says why.

    Every query takes a tag as an int 0xGGGGEEEE, a (group, element) pair or the text
    "GGGG,EEEE", "(GGGG,EEEE)" or "GGGGEEEE" ("GGGG,xxEE": an offset inside any block), and
    for a private tag its creator: :meth:`entry` (the lookup's ten fields, the VM and the VRs,
    :class:`quillet.TagInfo`), and one field of it, :meth:`keyword`, :meth:`name`,
    :meth:`vr`, :meth:`vm` and :meth:`vrs`; each ``None`` without entry.  Bad tags raise what
    ``Dict.lookup`` raises for bad numbers (``TypeError``, ``OverflowError``, noted "while
    processing 'tag'"), and ``ValueError`` for text that is no tag.  Like its files, a
    dictionary may be used from any number of threads at once; :meth:`add` may run beside
    queries.
    """

    __slots__ = ("_added", "_changed", "_layers", "_uids", "problems")

    def __init__(
        self, *paths: str | os.PathLike[str], bundled: bool | None = None, strict: bool = True
    ) -> None:
        #: Why a companion was left out (``strict=False``), one message each.
        self.problems: list[str] = []
        layers: list[Any] = [_open_layer(p, strict, self.problems) for p in paths]  # type: ignore[arg-type]
        if bundled or (bundled is None and not paths):
            layers.append(_bundled_layer())
        self._layers: list[Any] = layers
        self._added: _Added | None = None
        self._uids: _uids.Registry | None = None  # opened on the first question about a UID
        self._arrange()

    def _arrange(self) -> None:
        """Hand the layers and the added entries to the stack that answers in C."""
        # A new token at every change, made after it: what remembers an answer keeps it only as
        # long as the token it read before asking is still this one.
        self._changed = object()
        added = self._added
        self._arrange_stack(
            tuple(layer.index if isinstance(layer, _IndexLayer) else layer for layer in self._layers),
            added.by_tag if added else None,
            added.tags if added else None,
        )

    def _all(self) -> "Iterator[Any]":
        if self._added:
            yield self._added
        yield from self._layers

    def _rule(self, group: int, element: int, block: bool, what: int) -> "Any":
        """What the rules answer where no layer holds the tag (called by the stack)."""
        made = None if block else _rule(group, element)
        return None if made is None else _project(made, what)

    @property
    def paths(self) -> tuple[str, ...]:
        """The dictionary files, in the order they answer (the bundled one's last, if there)."""
        return tuple(layer.path for layer in self._layers)

    def __repr__(self) -> str:
        added = f" added={len(self._added)}" if self._added else ""
        return f"<quillet.Dictionary paths={list(self.paths)!r}{added}>"

    def vm_allows(self, tag: "Tag", count: int, creator: str | None = None) -> bool | None:
        """Whether `count` values fit the VM of a tag's entry ("2-2n": 2, 4, 6, ...); ``None``
        when there is no entry, or its VM is not known."""
        text = self.vm(tag, creator)
        if text is None:
            return None
        from ._vm import VM

        try:
            return VM.parse(text).allows(count)
        except ValueError:
            return None

    def creators(self, tag: "Tag") -> list[str]:
        """The creators whose entries answer a private data element, such as (0029,1010), in
        alphabetical order of their folded text; [] for any other tag."""
        seen: dict[str, str] = {}
        for layer in self._all():
            for creator in layer.creators(tag):
                seen.setdefault(normalize_creator(creator), creator)
        return [seen[k] for k in sorted(seen)]

    def has_creator(self, creator: str) -> bool:
        """Whether any entry stands under this private creator (folded as lookups fold it)."""
        if self._added is not None and self._added.has_creator(creator):
            return True
        return any(layer.has_creator(creator) for layer in self._layers)

    # ---- keywords and search -------------------------------------------------------------------

    def entries(self, keyword: str) -> "list[TagInfo]":
        """Every entry with this keyword, public ones first, then by creator and tag; of entries
        with the same tag and creator in several layers, the first layer's."""
        found: dict[tuple[int, int, str | None], TagInfo] = {}
        for layer in self._all():
            for entry in layer.entries(keyword):
                found.setdefault(_key(entry), entry)
        return list(found.values())

    def search(self, text: str, creator: str | None = None, limit: int | None = 50) -> "list[TagInfo]":
        """Entries whose keyword or name contains `text`, ignoring case as Unicode's full case
        folding does (``str.casefold``); the best matches first: keyword equal to `text`, then
        keyword or name starting with it, then containing it, ties in each layer's order
        (public entries by tag, then private ones by creator and tag), the first layer's first.
        With `creator` only that private creator's entries; at most `limit` (any integer;
        ``None`` or more than there are: all)."""
        from .companion import _search_arguments

        _search_arguments(text, limit)
        if "\0" in text:
            return []
        folded = text.casefold()
        layers = list(self._all())
        if len(layers) == 1:
            return layers[0].find(folded, creator, limit)  # type: ignore[no-any-return]
        found: dict[tuple[int, int, str | None], tuple[int, int, TagInfo]] = {}
        for n, layer in enumerate(layers):
            for position, entry in enumerate(layer.find(folded, creator, limit)):
                found.setdefault(_key(entry), (n, position, entry))
        ranked = sorted(found.values(), key=lambda t: (_rank(t[2], folded), t[0], t[1]))
        return [entry for _, _, entry in ranked[: limit if limit is None else max(limit, 0)]]

    # ---- whole data sets ---------------------------------------------------------------------

    def annotate(self, dataset: "Any") -> "Iterator[Annotation]":
        """Name every element of a data set: a pydicom ``Dataset`` (read as pydicom exposes it;
        quillet does not import pydicom) or a data set of the DICOM JSON model (a dict of
        "GGGGEEEE" keys to objects with "vr" and "Value", "InlineBinary" or "BulkDataURI").

        Yields a :class:`quillet.Annotation` for every element in data set order, depth first
        into the items of sequences: where it stands, its tag, its VR as the data set gives it,
        its creator (a private data element's, from the reservation element of its own item),
        its entry, and whether it is a private data element whose block its item reserved for
        no creator (such an element gets no creator and no entry, not a guess).  A creator
        element is answered by the Private Creator rule.  Any depth is walked."""
        from . import _annotate

        if isinstance(dataset, dict):
            return _annotate.walk_json(self, dataset)
        if callable(getattr(dataset, "elements", None)):
            return _annotate.walk_pydicom(self, dataset)
        raise TypeError(
            "annotate takes a pydicom Dataset or a dict of the DICOM JSON model, "
            f"not {type(dataset).__qualname__}"
        )

    # ---- entries of one's own --------------------------------------------------------------------

    def add(self, entries: "Iterable[Entry]") -> None:
        """Add `entries` (:class:`quillet.writer.Entry`, as for a dictionary file of your own)
        in-process, on top of every layer: a program that learns private tags at run time
        (from a vendor's conformance statement, say) names them from then on.  An entry with the
        tag and creator of one added before replaces it.  The entries are checked as the writer
        checks them, all before any is added: :class:`quillet.writer.InvalidEntries` lists every
        problem."""
        from . import _layout, writer

        checked = writer._check_all(entries, dicom_rules=True)
        added = self._added if self._added is not None else _Added()
        for item in checked:
            e = item.entry
            vrs = [_layout.VR_TABLE[2 * c : 2 * c + 2] for c in item.choices] if item.choices else [e.vr]
            added.put(
                {
                    "group": e.group,
                    "element": e.element,
                    "creator": e.creator,
                    "keyword": e.keyword,
                    "name": e.name,
                    "vr": "??" if item.choices else e.vr,
                    "description": e.description,
                    "retired": e.retired,
                    "block_offset": e.block_offset,
                    "sources": list(e.sources),
                    "vm": e.vm or None,
                    "vrs": () if e.vr == "??" else tuple(vrs),
                }
            )
        self._added = added if added else None
        self._arrange()  # also forgets the keywords' tags asked before

    # ---- registered UIDs (quillet._uids) -------------------------------------------------------

    def uid(self, uid: str) -> "UidInfo | None":
        """The registered UID `uid` (a transfer syntax, SOP class, well-known instance, ...),
        matched exactly: its keyword, name, type, info, retired flag, sources and, for a
        transfer syntax, its encoding (:class:`quillet.UidInfo`); ``None`` for a UID that no
        layer registers.  ``ValueError`` for text that is no UID (empty, over 64 characters,
        anything but digits and dots, an empty component or one that starts with 0), saying
        why.  Each layer's UIDs come from the UID file beside it (``acme.qlud``), opened on the
        first question about a UID, when ``OSError`` or ``ValueError`` says that one cannot be
        used."""
        return (self._uids or self._attach_uids()).uid(uid)

    def _attach_uids(self) -> "_uids.Registry":
        from . import _uids  # not at import: most programs never ask about a UID

        return _uids.attach(self)

    def uid_for_keyword(self, keyword: str) -> str | None:
        """The UID whose keyword is `keyword`, matched exactly ("ExplicitVRLittleEndian" ->
        "1.2.840.10008.1.2.1"), or ``None``."""
        return (self._uids or self._attach_uids()).uid_for_keyword(keyword)

    def search_uids(self, text: str, limit: int | None = 50) -> "list[UidInfo]":
        """Registered UIDs whose keyword or name contains `text`, ignoring case as
        :meth:`search` does, the best matches first: keyword equal, then keyword or name
        starting with it, then containing it; ties by UID, component by component, the first
        layer's first.  At most `limit` (``None``: all)."""
        return (self._uids or self._attach_uids()).search(text, limit)
