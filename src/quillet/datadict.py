"""pydicom's dictionary functions, answered by quillet: ``from quillet import datadict`` in place
of ``from pydicom import datadict``.

The functions of pydicom 3's ``pydicom.datadict``, with its names, arguments, results and
exceptions: tags as pydicom takes them (ints, (group, element) pairs, keywords, hex text), VRs
as pydicom spells them ("OB or OW", "NONE"), entries as pydicom's tuples (VR, VM, name,
"Retired" or "", keyword), and pydicom's own semantics where they differ from
:class:`quillet.Dictionary`'s: no rules (a group length or a private creator element is not in
the dictionary), ``dictionary_has_tag`` and ``tag_for_keyword`` know the entries of the standard
but not its repeating groups, whose entries ``get_entry`` finds through ``mask_match`` as
pydicom does.  They answer from the bundled dictionary, which is opened when this module is
imported; the ``add_*`` functions add to its in-process layer, so that ``quillet.Dictionary``'s
shortcuts (``quillet.vm`` and the others) see the additions too.

Two differences are quillet's: a private creator is matched as quillet matches creators (folded:
"siemens  csa header" is "SIEMENS CSA HEADER"), where pydicom asks for the exact text; and the
added entries are checked as :class:`quillet.writer.Entry` checks entries (a VR must be one,
or choices of them), where pydicom takes anything.  This module does not import pydicom.
"""

from . import _bundled_dictionary
from . import _masks as _table

# Not typing.TYPE_CHECKING: importing typing would cost more than the rest of the import.
# Annotations that name what it imports are quoted rather than postponed by `from __future__
# import annotations`, which imports a module of its own on the way to a first answer.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable, Mapping

    from .writer import Entry

    #: A tag as pydicom takes one.
    type TagType = int | str | tuple[int, int] | tuple[str, str]

__all__ = [
    "add_dict_entries",
    "add_dict_entry",
    "add_private_dict_entries",
    "add_private_dict_entry",
    "dictionary_VM",
    "dictionary_VR",
    "dictionary_description",
    "dictionary_has_tag",
    "dictionary_is_retired",
    "dictionary_keyword",
    "get_entry",
    "get_private_entry",
    "keyword_for_tag",
    "mask_match",
    "private_dictionary_VM",
    "private_dictionary_VR",
    "private_dictionary_description",
    "repeater_has_keyword",
    "repeater_has_tag",
    "tag_for_keyword",
]

_dictionary = _bundled_dictionary()
_stored: "Callable[[int | tuple[int, int] | str, str | None, int], object]" = _dictionary._stored
_PUBLIC, _PRIVATE = 7, 8  # the answers as pydicom's tuples, public and private

# ---- the standard's repeating groups, as pydicom matches them -------------------------------------

#: mask -> (VR, VM, name, "Retired" or "", keyword), in pydicom's order.
RepeatersDictionary: dict[str, tuple[str, str, str, str, str]] = {
    mask: (vr, vm, name, "Retired" if retired else "", keyword)
    for mask, keyword, name, vr, vm, retired in _table.MASKS
}
_repeater_keywords = {value[4]: mask for mask, value in RepeatersDictionary.items()}

# The entries of the standard that pydicom's keyword_dict holds: not the repeating groups'.
_dictionary._exclude(frozenset(_repeater_keywords))

# Made on first need, not at import: the masks by the bits they fix, {bits: {value: (order,
# mask)}} (a tag matches a mask when its fixed bits have the mask's values), and every group
# that some mask covers, which tells at once that most tags match none.
_by_bits: dict[int, dict[int, tuple[int, str]]] = {}
_mask_groups: set[int] = set()
_matched: dict[int, str | None] = {}  # mask_match's answers, as far as asked
# dictionary_has_tag's answers for the repeating groups' tags, the slow ones, each with the
# dictionary's token of change read before asking; an addition makes a new one.
_has: dict[int, tuple[object, bool]] = {}


def _make_mask_tables() -> None:
    import itertools

    by_bits: dict[int, dict[int, tuple[int, str]]] = {}
    patterns = set()
    for n, mask in enumerate(RepeatersDictionary):
        bits = int("".join("0" if c == "x" else "F" for c in mask), 16)
        by_bits.setdefault(bits, {}).setdefault(int(mask.replace("x", "0"), 16), (n, mask))
        patterns.add(mask[:4])
    groups = {
        int("".join(digits), 16)
        for pattern in patterns
        for digits in itertools.product(*("0123456789ABCDEF" if c == "x" else c for c in pattern))
    }
    _by_bits.update(by_bits)
    _mask_groups.update(groups)  # last: its being full says the tables are made


def mask_match(tag: int) -> str | None:
    """The repeating group's mask that `tag` matches ("60xx0010"), or ``None``."""
    if not _mask_groups:
        _make_mask_tables()
    if tag >> 16 not in _mask_groups:
        return None
    try:
        return _matched[tag]
    except KeyError:
        pass
    found = [hit for bits, values in _by_bits.items() if (hit := values.get(tag & bits)) is not None]
    mask = min(found)[1] if found else None
    if len(_matched) >= 1 << 16:  # tags are many: remember the last ones asked, not all
        _matched.clear()
    _matched[tag] = mask
    return mask


def repeater_has_tag(tag: int) -> bool:
    """Whether a repeating group's mask matches `tag`."""
    return mask_match(tag) is not None


#: Whether `keyword` is a repeating group's ("OverlayData").
repeater_has_keyword: "Callable[[str], bool]" = _repeater_keywords.__contains__

#: The tag of an element of the standard by its keyword, or ``None``; ``None`` for a repeating
#: group's keyword, as pydicom answers.
tag_for_keyword: "Callable[[str], int | None]" = _dictionary._public_tag

# ---- tags as pydicom takes them -----------------------------------------------------------------


def _tag(arg: object) -> int:
    """pydicom's Tag(): an int, a (group, element) pair of ints or of hex texts, hex text or a
    keyword, with pydicom's exceptions."""
    if isinstance(arg, int) and not isinstance(arg, bool):
        if arg > 0xFFFFFFFF:
            raise OverflowError(
                f"Unable to create an element tag from '{arg}': the combined group and element values "
                "are limited to a maximum of 4-bytes"
            )
        if arg < 0:
            raise ValueError(f"Unable to create an element tag from '{arg}': tags must be positive")
        return arg
    if isinstance(arg, (tuple, list)):
        if len(arg) != 2:
            raise ValueError("Tag must be an int or a 2-tuple")
        first, second = arg
        if isinstance(first, str) and isinstance(second, str):
            first, second = int(first, 16), int(second, 16)
        elif not (isinstance(first, int) and isinstance(second, int)):
            raise TypeError(
                f"Unable to create an element tag from '{tuple(arg)}': both arguments must be the same "
                "type and str or int"
            )
        if first > 0xFFFF or second > 0xFFFF:
            raise OverflowError(
                f"Unable to create an element tag from '{tuple(arg)}': the group and element values are "
                "limited to a maximum of 2-bytes each"
            )
        return _tag((first << 16) | second)
    if isinstance(arg, str):
        try:
            value = int(arg, 16)
        except ValueError:
            found = tag_for_keyword(arg)
            if found is None:
                raise ValueError(
                    f"Unable to create an element tag from '{arg}': unknown DICOM element keyword or an "
                    "invalid int"
                ) from None
            return found
        if value > 0xFFFFFFFF:
            raise OverflowError(
                f"Unable to create an element tag from '{value}': the combined group and element values  "
                "are limited to a maximum of 4-bytes"
            )
        return _tag(value)
    raise TypeError(f"Unable to create an element tag from '{arg}': unsupported type {type(arg).__name__}")


def _text(tag: int) -> str:
    """A tag as pydicom writes it: (GGGG,EEEE)."""
    return f"({tag >> 16:04X},{tag & 0xFFFF:04X})"


# ---- the standard's entries -----------------------------------------------------------------------


def _miss(tag: int) -> tuple[str, str, str, str, str]:
    """A tag no entry holds: a repeating group's (for a public tag), or pydicom's KeyError."""
    if not tag >> 16 & 1:
        mask = mask_match(tag)
        if mask is not None:
            return RepeatersDictionary[mask]
    raise KeyError(f"Tag {_text(tag)} not found in DICOM dictionary")


def get_entry(tag: "TagType") -> tuple[str, str, str, str, str]:
    """(VR, VM, name, "Retired" or "", keyword) of an element of the standard, found as pydicom
    finds it: its own entry, else (for a public tag) its repeating group's.  Raises KeyError
    ("Tag (GGGG,EEEE) not found in DICOM dictionary")."""
    if type(tag) is not int or not 0 <= tag <= 0xFFFFFFFF:
        tag = _tag(tag)
    if tag >> 16 & 1:  # a private group holds none of the standard's entries
        return _miss(tag)
    found = _stored(tag, None, _PUBLIC)
    return _miss(tag) if found is NotImplemented else found  # type: ignore[return-value]


def _dictionary_vr_fast(tag: int) -> str:
    """The VR of an element of the standard, for an int tag: get_entry's.  pydicom's private
    name, kept because code written for pydicom (its own tests among it) imports it."""
    return get_entry(tag)[0]


def dictionary_VR(tag: "TagType") -> str:
    """The VR of an element of the standard, as pydicom spells it ("OB or OW")."""
    if type(tag) is not int or not 0 <= tag <= 0xFFFFFFFF:
        tag = _tag(tag)
    found = _stored(tag, None, _PUBLIC) if not tag >> 16 & 1 else NotImplemented
    return (_miss(tag) if found is NotImplemented else found)[0]  # type: ignore[index, no-any-return]


def dictionary_VM(tag: "TagType") -> str:
    """The value multiplicity of an element of the standard."""
    if type(tag) is not int or not 0 <= tag <= 0xFFFFFFFF:
        tag = _tag(tag)
    found = _stored(tag, None, _PUBLIC) if not tag >> 16 & 1 else NotImplemented
    return (_miss(tag) if found is NotImplemented else found)[1]  # type: ignore[index, no-any-return]


def dictionary_description(tag: "TagType") -> str:
    """The name of an element of the standard."""
    if type(tag) is not int or not 0 <= tag <= 0xFFFFFFFF:
        tag = _tag(tag)
    found = _stored(tag, None, _PUBLIC) if not tag >> 16 & 1 else NotImplemented
    return (_miss(tag) if found is NotImplemented else found)[2]  # type: ignore[index, no-any-return]


def dictionary_is_retired(tag: "TagType") -> bool:
    """Whether an element of the standard is retired."""
    return "retired" in get_entry(tag)[3].lower()


def dictionary_keyword(tag: "TagType") -> str:
    """The keyword of an element of the standard."""
    if type(tag) is not int or not 0 <= tag <= 0xFFFFFFFF:
        tag = _tag(tag)
    found = _stored(tag, None, _PUBLIC) if not tag >> 16 & 1 else NotImplemented
    return (_miss(tag) if found is NotImplemented else found)[4]  # type: ignore[index, no-any-return]


def keyword_for_tag(tag: "TagType") -> str:
    """The keyword of an element of the standard, or "" for a tag that has none."""
    try:
        return dictionary_keyword(tag)
    except KeyError:
        return ""


def dictionary_has_tag(tag: "TagType") -> bool:
    """Whether the standard has an entry of its own for `tag` (not one of a repeating group's)."""
    if type(tag) is not int or not 0 <= tag <= 0xFFFFFFFF:
        try:
            tag = _tag(tag)
        except Exception:
            return False
    if tag >> 16 & 1:
        return False
    if tag in _has:  # a repeating group's tag, asked before
        changed, answer = _has[tag]
        if changed is _dictionary._changed:
            return answer
    changed = _dictionary._changed  # read before asking: a change after it makes the answer stale
    keyword = _stored(tag, None, 1)
    if keyword is NotImplemented:
        return False
    if not _mask_groups:
        _make_mask_tables()
    if tag >> 16 not in _mask_groups:
        return True
    # The rows that expand a repeating group are no entries of the standard's own.
    mask = mask_match(tag)
    answer = mask is None or RepeatersDictionary[mask][4] != keyword
    if len(_has) >= 1 << 16:
        _has.clear()
    _has[tag] = (changed, answer)
    return answer


# ---- private entries --------------------------------------------------------------------------------


def get_private_entry(tag: "TagType", private_creator: str) -> tuple[str, str, str, str]:
    """(VR, VM, name, "Retired" or "") of a private element under its creator: the entry of
    exactly the element, else its offset in the block.  Raises KeyError ("Private creator 'X'
    not in the private dictionary", or "Tag '(GGGG,EEEE)' not in private dictionary for private
    creator 'X'")."""
    if type(tag) is not int or not 0 <= tag <= 0xFFFFFFFF:
        tag = _tag(tag)
    if not isinstance(private_creator, str):
        raise KeyError(f"{private_creator!r} is not a valid private creator")
    group, element = tag >> 16, tag & 0xFFFF
    found: object = NotImplemented
    if group & 1:
        if element >= 0x0100:
            found = _stored(tag, private_creator, _PRIVATE)
        if found is NotImplemented and element < 0x1000:  # the offset, by itself
            found = _stored(f"{group:04X},xx{element & 0xFF:02X}", private_creator, _PRIVATE)
    if found is NotImplemented:
        if not _dictionary.has_creator(private_creator):
            raise KeyError(f"Private creator '{private_creator}' not in the private dictionary")
        raise KeyError(
            f"Tag '{_text(tag)}' not in private dictionary for private creator '{private_creator}'"
        )
    return found  # type: ignore[return-value]


def private_dictionary_VR(tag: "TagType", private_creator: str) -> str:
    """The VR of a private element under its creator."""
    return get_private_entry(tag, private_creator)[0]


def private_dictionary_VM(tag: "TagType", private_creator: str) -> str:
    """The value multiplicity of a private element under its creator."""
    return get_private_entry(tag, private_creator)[1]


def private_dictionary_description(tag: "TagType", private_creator: str) -> str:
    """The name of a private element under its creator."""
    return get_private_entry(tag, private_creator)[2]


# ---- adding entries ---------------------------------------------------------------------------------


def _entries(rows: "Mapping[int, tuple[str, ...]]", creator: str = "") -> "list[Entry]":
    """Writer entries of pydicom's rows: {tag: (VR, VM, name[, "Retired" or ""[, keyword]])}."""
    from .writer import Entry

    out = []
    for tag, row in rows.items():
        vr, vm, name, *rest = row
        retired = bool(rest) and "retired" in str(rest[0]).lower()
        keyword = str(rest[1]) if len(rest) > 1 else ""
        group, element = tag >> 16, tag & 0xFFFF
        private = bool(creator)
        out.append(
            Entry(
                group,
                element & 0xFF if private else element,
                creator=creator,
                keyword=keyword,
                name=name,
                vr="??" if vr == "NONE" else vr,
                vm=vm,
                retired=retired,
                block_offset=private,
            )
        )
    return out


def add_dict_entries(new_entries_dict: dict[int, tuple[str, str, str, str, str]]) -> None:
    """Add elements of the standard, {tag: (VR, VM, name, "Retired" or "", keyword)}.  Raises
    ValueError for a private tag."""
    if any(tag >> 16 & 1 for tag in map(_tag, new_entries_dict)):
        raise ValueError(
            'Private tags cannot be added using "add_dict_entries" - use "add_private_dict_entries" instead'
        )
    rows = {_tag(tag): row for tag, row in new_entries_dict.items()}
    _dictionary.add(_entries(rows))


def add_dict_entry(
    tag: int, VR: str, keyword: str, description: str, VM: str = "1", is_retired: str = ""
) -> None:
    """Add one element of the standard."""
    add_dict_entries({tag: (VR, VM, description, is_retired, keyword)})


def add_private_dict_entries(
    private_creator: str, new_entries_dict: dict[int, tuple[str, str, str, str]]
) -> None:
    """Add private elements under `private_creator`, {tag: (VR, VM, name, "Retired" or "")},
    each as the offset in the creator's block (the element's low byte).  Raises ValueError for
    a tag that is not private."""
    if not all(tag >> 16 & 1 for tag in map(_tag, new_entries_dict)):
        raise ValueError(
            "Non-private tags cannot be added using 'add_private_dict_entries()' - use "
            "'add_dict_entries()' instead"
        )
    rows = {_tag(tag): row for tag, row in new_entries_dict.items()}
    _dictionary.add(_entries(rows, private_creator))


def add_private_dict_entry(private_creator: str, tag: int, VR: str, description: str, VM: str = "1") -> None:
    """Add one private element under `private_creator`."""
    add_private_dict_entries(private_creator, {tag: (VR, VM, description, "")})
