"""Naming the elements of whole data sets: :meth:`quillet.Dictionary.annotate`.

A data set is walked in data set order (ascending tags), depth first into the items of its
sequences, with a stack of its own: any depth is walked, none is recursed into.  A private data
element takes its creator from the reservation element of its own item (gggg,00bb for an
element gggg,bbxx), never from a parent's.  Two kinds of data set are read:

* a pydicom ``Dataset``, as pydicom exposes it, without importing pydicom: its
  ``elements()`` (unconverted where pydicom has not converted them yet, so that naming an
  element costs no decoding of its value), converting only what must be looked into: sequences
  and creator elements;
* a data set of the DICOM JSON model: a dict of "GGGGEEEE" keys to objects with "vr" and
  "Value", "InlineBinary" or "BulkDataURI", as DICOMweb returns and ``Dataset.to_json_dict()``
  writes.
"""

from __future__ import annotations

from collections.abc import Callable, Iterator
from typing import TYPE_CHECKING, Any, NamedTuple

if TYPE_CHECKING:
    from ._types import TagInfo
    from .dictionary import Dictionary

__all__ = ["Annotation"]


class Annotation(NamedTuple):
    """One element of a data set, named.

    ``path``
        where it stands: the (sequence tag, item number from 0) of each enclosing sequence,
        outermost first; ``()`` at the top level.
    ``tag``
        its tag, 0xGGGGEEEE.
    ``vr``
        its VR as the data set gives it, ``None`` where it gives none (implicit VR, not yet
        decoded).
    ``creator``
        for a private data element, the creator that its own item reserved its block for;
        ``None`` for every other element, and for one whose block no creator reserved.
    ``entry``
        its entry (:class:`quillet.TagInfo`), ``None`` where the dictionary has none.  One
        walk hands the same dict to every element with the same tag and creator: copy it
        before changing it.
    ``unreserved``
        a private data element whose block has no reservation in its item: it gets no creator
        and no entry, rather than a guess.
    ``element``
        the element as the data set holds it: pydicom's (raw or decoded) element, or the DICOM
        JSON object.
    ``item``
        the data set or sequence item that holds it (``item[tag]`` decodes a pydicom element).
    """

    path: tuple[tuple[int, int], ...]
    tag: int
    vr: str | None
    creator: str | None
    entry: TagInfo | None
    unreserved: bool
    element: Any
    item: Any

    @property
    def depth(self) -> int:
        """How many sequences enclose the element."""
        return len(self.path)


def _creator_text(value: object) -> str | None:
    """A creator element's value as the creator's name: the text pydicom decodes, as pydicom
    takes it for `private_creator`; undecoded bytes trimmed as DICOM pads them; several values
    joined as DICOM writes them; ``None`` for an empty one."""
    if isinstance(value, (bytes, bytearray)):
        value = bytes(value).decode("latin-1").rstrip(" \0")
    elif isinstance(value, (list, tuple)) or type(value).__name__ == "MultiValue":
        value = "\\".join(str(v) for v in value)  # type: ignore[attr-defined]
    elif value is not None and not isinstance(value, str):
        value = str(value)
    return value or None


def _private(group: int) -> bool:
    return bool(group & 1) and group > 0x0008


def _entries_of(d: Dictionary) -> Callable[[int, str | None], TagInfo | None]:
    """`d.entry`, each (tag, creator) asked once: a data set holds the same tags many times."""
    cache: dict[tuple[int, str | None], TagInfo | None] = {}
    entry_of = d.entry

    def entry(tag: int, creator: str | None) -> TagInfo | None:
        key = (tag, creator)
        try:
            return cache[key]
        except KeyError:
            found = cache[key] = entry_of(tag, creator)
            return found

    return entry


def walk_pydicom(d: Dictionary, dataset: Any) -> Iterator[Annotation]:
    entry = _entries_of(d)

    # Each frame: the item's path, and an iterator over its elements.
    stack: list[tuple[tuple[tuple[int, int], ...], Any, Iterator[Any], dict[int, str | None]]] = []

    def push(path: tuple[tuple[int, int], ...], ds: Any) -> None:
        stack.append((path, ds, iter(ds.elements()), {}))

    push((), dataset)
    while stack:
        path, ds, elements, creators = stack[-1]
        element = next(elements, None)
        if element is None:
            stack.pop()
            continue
        tag = int(element.tag)
        vr = element.VR
        group, number = tag >> 16, tag & 0xFFFF
        creator = None
        unreserved = False
        if _private(group) and 0x10 <= number <= 0xFF:
            # A reservation: its value names the creator of block gggg,nnxx of this item.
            creators[tag] = _creator_text(ds[tag].value)
        elif _private(group) and number >= 0x1000:
            reserved = (group << 16) | (number >> 8)
            if reserved not in creators and reserved in ds:  # reservations come first, but be sure
                creators[reserved] = _creator_text(ds[reserved].value)
            creator = creators.get(reserved)
            unreserved = creator is None
        found = None if unreserved else entry(tag, creator)
        yield Annotation(path, tag, vr, creator, found, unreserved, element, ds)
        # Sequences are looked into; where the data set gives no VR, those that the dictionary
        # says are sequences, and anything of undefined length (which only sequences have).
        undefined = getattr(element, "length", None) == 0xFFFFFFFF
        if vr == "SQ" or (vr is None and (undefined or (found is not None and found["vr"] == "SQ"))):
            value = ds[tag].value  # decoded: its items are data sets
            if type(value).__name__ == "Sequence" or isinstance(value, (list, tuple)):
                items = list(value)
                # Items in reverse on the stack, so that the first is walked first.
                for n in range(len(items) - 1, -1, -1):
                    push((*path, (tag, n)), items[n])


def _json_tag(key: str) -> int:
    try:
        if len(key) != 8:
            raise ValueError
        return int(key, 16)
    except ValueError:
        raise ValueError(f"not a tag of the DICOM JSON model: {key!r} (expected GGGGEEEE)") from None


def walk_json(d: Dictionary, dataset: dict[str, Any]) -> Iterator[Annotation]:
    entry = _entries_of(d)

    def elements(ds: dict[str, Any]) -> Iterator[tuple[int, Any]]:
        if not isinstance(ds, dict):
            raise TypeError(f"a data set of the DICOM JSON model is a dict, not {type(ds).__name__}")
        return iter(sorted((_json_tag(k), v) for k, v in ds.items()))

    def creator_of(obj: Any) -> str | None:
        values = obj.get("Value") if isinstance(obj, dict) else None
        return _creator_text(values[0]) if isinstance(values, list) and values else None

    stack: list[tuple[tuple[tuple[int, int], ...], dict[str, Any], Iterator[tuple[int, Any]]]] = [
        ((), dataset, elements(dataset))
    ]
    while stack:
        path, ds, items = stack[-1]
        pair = next(items, None)
        if pair is None:
            stack.pop()
            continue
        tag, obj = pair
        vr = obj.get("vr") if isinstance(obj, dict) else None
        group, number = tag >> 16, tag & 0xFFFF
        creator = None
        unreserved = False
        if _private(group) and number >= 0x1000:
            reserved = ds.get(f"{group:04X}{number >> 8:04X}") or ds.get(f"{group:04x}{number >> 8:04x}")
            creator = creator_of(reserved) if reserved is not None else None
            unreserved = creator is None
        found = None if unreserved else entry(tag, creator)
        yield Annotation(path, tag, vr, creator, found, unreserved, obj, ds)
        if vr == "SQ" and isinstance(obj, dict) and isinstance(obj.get("Value"), list):
            values = obj["Value"]
            for n in range(len(values) - 1, -1, -1):
                item = values[n]
                stack.append(((*path, (tag, n)), item, elements(item)))
