"""The bundled dictionary against pydicom itself: every entry pydicom knows is found.

Public tags must come back with pydicom's keyword, name and retired flag, and its VR where that
is a single one ("??" otherwise); repeating groups are checked tag by tag, each against
pydicom's own answer for that tag.  Every private entry must be found under its creator, with
pydicom's name and VR unless pydicom itself defines that key twice (creators differing only in
case) or leaves the VR unknown ("UN"), where the bundled file may hold the other definition.
Each test prints how many lookups it compared (shown with ``pytest -rP``).
"""

from __future__ import annotations

import itertools

import pytest

pytest.importorskip("pydicom")
from pydicom import datadict  # noqa: E402
from pydicom._dicom_dict import DicomDictionary, RepeatersDictionary  # noqa: E402
from pydicom._private_dict import private_dictionaries  # noqa: E402

import quillet  # noqa: E402
from quillet._unicode import normalize_creator  # noqa: E402

# The bundled dictionary leaves out ranges of more exact tags than this (a whole group).
MAX_RANGE_TAGS = 4096
SINGLE_VRS = frozenset(
    "AE AS AT CS DA DS DT FL FD IS LO LT OB OD OF OL OV OW PN SH SL SQ SS ST SV TM UC UI UL "
    "UN UR US UT UV".split()
)


@pytest.fixture(scope="module")
def bundled():
    assert quillet.DEFAULT_PATH.is_file()
    with quillet.open_default() as d:
        yield d


def expected_vr(vr: str) -> str:
    return vr if vr in SINGLE_VRS else "??"


def hex_values(digits: str, parity: int | None = None) -> list[int]:
    """Every value of hex `digits` with each 'x' any digit; kept to odd/even if `parity`."""
    choices = ["0123456789ABCDEF" if c in "xX" else c for c in digits]
    values = [int("".join(p), 16) for p in itertools.product(*choices)]
    return [v for v in values if parity is None or v % 2 == parity]


def public_mismatch(d, tag: int, entry: tuple) -> str | None:
    vr, _vm, name, retired, keyword = entry
    got = d.lookup(tag >> 16, tag & 0xFFFF)
    where = f"({tag >> 16:04X},{tag & 0xFFFF:04X})"
    if got is None:
        return f"{where} {keyword}: not found"
    want = dict(
        keyword=keyword,
        name=name,
        retired=retired == "Retired",
        vr=expected_vr(vr),
        creator="",
        block_offset=False,
    )
    have = {k: got[k] for k in want}
    if have != want or not any("pydicom" in s for s in got["sources"]):
        return f"{where}: {have} {got['sources']}, expected {want}"
    return None


def test_every_public_tag(bundled):
    bad = [m for tag, entry in DicomDictionary.items() if (m := public_mismatch(bundled, tag, entry))]
    print(f"compared {len(DicomDictionary)} public tags")
    assert not bad, f"{len(bad)} mismatches:\n" + "\n".join(bad[:20])


def test_every_repeating_tag(bundled):
    compared, left_out, bad = 0, [], []
    for mask in RepeatersDictionary:
        # A wild group digit is a repeating group: even groups only, odd groups are private.
        groups = hex_values(mask[:4], 0 if "x" in mask[:4].lower() else None)
        elements = hex_values(mask[4:])
        if len(groups) * len(elements) > MAX_RANGE_TAGS:
            left_out.append(mask)
            continue
        for g, e in itertools.product(groups, elements):
            tag = (g << 16) | e
            # pydicom's own answer for this tag: its exact entries come before its masks.
            if m := public_mismatch(bundled, tag, datadict.get_entry(tag)):
                bad.append(f"{mask}: {m}")
            compared += 1
    print(
        f"compared {compared} tags of {len(RepeatersDictionary) - len(left_out)} repeater "
        f"masks; left out {left_out}"
    )
    assert left_out == ["1010xxxx"]
    assert not bad, f"{len(bad)} mismatches:\n" + "\n".join(bad[:20])


def private_keys():
    """(group, element, block_offset, creator, name, vr) per exact key that pydicom defines."""
    for creator, entries in private_dictionaries.items():
        for mask, (vr, _vm, name, _retired) in entries.items():
            group_digits, elem_digits = mask[:4], mask[4:].lower()
            if elem_digits[2:] == "xx":
                continue  # a mask over a whole block names no single element: left out
            block_offset = elem_digits[:2] == "xx"
            element = int(elem_digits[2:] if block_offset else elem_digits, 16)
            # Private group ranges cover the odd (private) groups.
            for group in hex_values(group_digits, 1 if "x" in group_digits.lower() else None):
                yield group, element, block_offset, creator, name, vr


def test_every_private_entry(bundled):
    keys = list(private_keys())
    by_key: dict[tuple, list[tuple]] = {}
    for group, element, block_offset, creator, name, vr in keys:
        by_key.setdefault((group, element, normalize_creator(creator)), []).append((name, vr, block_offset))
    bad = []
    for group, element, block_offset, creator, name, vr in keys:
        folded = normalize_creator(creator)
        got = bundled.lookup(group, element, creator)
        where = f"({group:04X},{element:04X}) {creator!r}"
        if got is None:
            bad.append(f"{where} {name!r}: not found")
            continue
        defs = by_key[(group, element, folded)]
        have = (got["name"], got["vr"], got["block_offset"])
        if normalize_creator(got["creator"]) != folded:
            bad.append(f"{where}: found under creator {got['creator']!r}")
        elif len(set(defs)) > 1:  # pydicom defines the key twice; either may have won
            if not any(
                have[0] == n and have[2] == b and (v == "UN" or have[1] == expected_vr(v)) for n, v, b in defs
            ):
                bad.append(f"{where}: {have}, expected one of {defs}")
        elif have[0] != name or have[2] != block_offset or (vr != "UN" and have[1] != expected_vr(vr)):
            bad.append(f"{where}: {have}, expected {(name, expected_vr(vr), block_offset)}")
    print(f"compared {len(keys)} private lookups under {len(private_dictionaries)} creators")
    assert not bad, f"{len(bad)} mismatches:\n" + "\n".join(bad[:20])


# Keywords and value multiplicities, through the bundled companion.


def test_every_public_keyword():
    # pydicom's keyword map covers its exact entries; every one must give pydicom's tag.
    keywords = [v[4] for v in DicomDictionary.values() if v[4]]
    bad = []
    for keyword in keywords:
        tag = datadict.tag_for_keyword(keyword)
        if quillet.tag_for_keyword(keyword) != (tag >> 16, tag & 0xFFFF):
            bad.append(f"{keyword}: {quillet.tag_for_keyword(keyword)}, pydicom {tag:08X}")
    # pydicom answers None for a repeating group's keyword; quillet gives the first tag of the
    # range that carries it, never a private or odd group.
    repeating = [(mask, v[4]) for mask, v in RepeatersDictionary.items()]
    for mask, keyword in repeating:
        groups = hex_values(mask[:4], 0 if "x" in mask[:4].lower() else None)
        # The first tag of the range that pydicom itself gives this keyword (an exact entry
        # may take the range's first tag, as (0028,0400) does).
        tags = itertools.product(groups, hex_values(mask[4:]))
        want = next((g, e) for g, e in tags if datadict.get_entry((g << 16) | e)[4] == keyword)
        if mask != "1010xxxx" and quillet.tag_for_keyword(keyword) != want:
            bad.append(f"{keyword} ({mask}): {quillet.tag_for_keyword(keyword)}, expected {want}")
    print(
        f"compared {len(keywords)} public keywords with pydicom and {len(repeating)} repeating-group keywords"
    )
    assert not bad, f"{len(bad)} mismatches:\n" + "\n".join(bad[:20])


def test_every_public_vm():
    tags = list(DicomDictionary)
    for mask in RepeatersDictionary:
        groups = hex_values(mask[:4], 0 if "x" in mask[:4].lower() else None)
        elements = hex_values(mask[4:])
        if len(groups) * len(elements) <= MAX_RANGE_TAGS:
            tags += [
                (g << 16) | e
                for g, e in itertools.product(groups, elements)
                if (g << 16) | e not in DicomDictionary
            ]
    bad = [
        f"({t >> 16:04X},{t & 0xFFFF:04X}): {quillet.vm(t >> 16, t & 0xFFFF)!r}, pydicom {datadict.dictionary_VM(t)!r}"
        for t in tags
        if quillet.vm(t >> 16, t & 0xFFFF) != datadict.dictionary_VM(t)
    ]
    print(f"compared the VM of {len(tags)} public tags with pydicom's dictionary_VM")
    assert not bad, f"{len(bad)} mismatches:\n" + "\n".join(bad[:20])


def test_every_private_vm():
    by_key: dict[tuple, set[str]] = {}
    keys = []
    for creator, entries in private_dictionaries.items():
        for mask, (_vr, vm, _name, _retired) in entries.items():
            group_digits, elem_digits = mask[:4], mask[4:].lower()
            if elem_digits[2:] == "xx":
                continue  # a mask over a whole block names no single element: left out
            element = int(elem_digits[2:] if elem_digits[:2] == "xx" else elem_digits, 16)
            for group in hex_values(group_digits, 1 if "x" in group_digits.lower() else None):
                keys.append((group, element, creator, vm))
                by_key.setdefault((group, element, normalize_creator(creator)), set()).add(vm)
    bad = []
    for group, element, creator, vm in keys:
        got = quillet.vm(group, element, creator)
        # Where pydicom defines one key twice (creators that fold alike), either VM may stand.
        if got not in by_key[(group, element, normalize_creator(creator))]:
            bad.append(f"({group:04X},{element:04X}) {creator!r}: {got!r}, pydicom {vm!r}")
    print(f"compared the VM of {len(keys)} private entries with pydicom's private dictionary")
    assert not bad, f"{len(bad)} mismatches:\n" + "\n".join(bad[:20])
