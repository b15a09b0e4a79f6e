"""The bundled dictionary against pydicom itself: every entry pydicom knows is found.

Public tags must come back with pydicom's keyword, name and retired flag, and its VR where that
is a single one ("??" otherwise); repeating groups are checked tag by tag, each against
pydicom's own answer for that tag.  Every private entry must be found under its creator, with
pydicom's name and VR unless pydicom itself defines that key twice (creators differing only in
case) or leaves the VR unknown ("UN"), where the bundled file may hold the other definition.
Each test prints how many lookups it compared (shown with ``pytest -rP``).

The files pydicom ships as test data, from many vendors, are read element by element, as a
user meets them: each element, in sequences too, is looked up with ``quillet.lookup_element``
under the creator its block names, and must agree with pydicom's own answer for it; the
``quillet`` command must give the same answers.
"""

from __future__ import annotations

import itertools
import json
import logging
import os
import subprocess
import sys
import warnings
from collections import Counter
from collections.abc import Iterator

import pytest

pytest.importorskip("pydicom")
from pydicom import datadict, dcmread
from pydicom._dicom_dict import DicomDictionary, RepeatersDictionary
from pydicom._private_dict import private_dictionaries
from pydicom.data import data_manager, get_testdata_files
from pydicom.errors import InvalidDicomError

import quillet
from quillet import _layout as L
from quillet._unicode import normalize_creator

# The bundled dictionary leaves out ranges of more exact tags than this (a whole group).
MAX_RANGE_TAGS = 4096
SINGLE_VRS = frozenset(L.VR_CODES) - {"??"}


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
            element = int(elem_digits[2:] if elem_digits[:2] == "xx" else elem_digits, 16)
            # A fixed element below 0x0100, where a data set holds only creator elements, is
            # stored as the block offset it stands for.
            block_offset = elem_digits[:2] == "xx" or element <= 0xFF
            # Private group ranges cover the odd (private) groups.
            for group in hex_values(group_digits, 1 if "x" in group_digits.lower() else None):
                if group % 2 == 0:
                    continue  # a creator on a public group: no data set holds it, left out
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


# ---- the elements of pydicom's own test files ------------------------------------------------


def shipped_test_files() -> list[str]:
    """Every file that pydicom ships as test data. Its list would also name files that pydicom
    downloads on first use; those are not shipped, and nothing here may reach the network, so
    that part of the list is turned off."""
    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(data_manager, "online_test_file_dummy_paths", lambda: {})
        return sorted(f for f in get_testdata_files() if os.path.isfile(f))


def elements_in(ds) -> Iterator[tuple[int, int, str | None]]:
    """(group, element, creator) of every element of a data set, items of sequences included.
    The creator of a private data element is the value of the element that reserved its block."""
    for elem in ds:
        group, element = elem.tag.group, elem.tag.element
        creator = None
        if group % 2 and element >= 0x1000:
            reserved = ds.get((group << 16) | (element >> 8))
            if reserved is not None and isinstance(reserved.value, str):
                creator = reserved.value
        yield group, element, creator
        if elem.VR == "SQ":
            for item in elem.value:
                yield from elements_in(item)


@pytest.fixture(scope="module")
def met() -> list[tuple[str, int, int, str | None]]:
    """(file, group, element, creator) of every element of every DICOM test file."""
    out = []
    # pydicom warns and logs about the oddities that many of these files exist to show.
    log = logging.getLogger("pydicom")
    level = log.level
    log.setLevel(logging.ERROR)
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            for path in shipped_test_files():
                try:
                    ds = dcmread(path)
                except InvalidDicomError:
                    if not path.endswith(".dcm"):
                        continue  # a README, a JSON or text dump, an ICC profile, a zip
                    ds = dcmread(path, force=True)  # a data set without preamble and meta header
                name = os.path.relpath(path, data_manager.DATA_ROOT)
                for elements in (elements_in(ds.file_meta), elements_in(ds)):
                    out += [(name, *e) for e in elements]
    finally:
        log.setLevel(level)
    return out


def pydicom_entry(group: int, element: int, creator: str | None) -> tuple | None:
    """pydicom's (vr, name, keyword) for an element, keyword None for a private one."""
    tag = (group << 16) | element
    try:
        if group % 2 == 0:
            vr, _vm, name, _retired, keyword = datadict.get_entry(tag)
            return vr, name, keyword
        if creator is None:
            return None
        vr, _vm, name, _retired = datadict.get_private_entry(tag, creator)
        return vr, name, None
    except KeyError:
        return None


def test_every_element_of_the_test_files(bundled, met):
    counts: Counter[str] = Counter()
    bad = []
    for name, group, element, creator in met:
        kind = "private" if group % 2 else "public"
        got = quillet.lookup_element(bundled, group, element, creator)
        want = pydicom_entry(group, element, creator)
        counts[kind] += 1
        counts[f"{kind}, found by quillet"] += got is not None
        counts[f"{kind}, known to pydicom"] += want is not None
        if want is None:
            continue
        vr, pyd_name, keyword = want
        expected = {"name": pyd_name} | ({"keyword": keyword} if keyword is not None else {})
        if vr in SINGLE_VRS:
            expected["vr"] = vr
        have = None if got is None else {k: got[k] for k in expected}
        if have != expected:
            bad.append(f"{name} ({group:04X},{element:04X}) {creator!r}: {have}, expected {expected}")
    print(
        f"{len(met)} elements in {len({m[0] for m in met})} files: "
        + ", ".join(f"{k} {n}" for k, n in counts.items())
    )
    assert counts["private, known to pydicom"] > 1000 and counts["public, known to pydicom"] > 10000
    assert not bad, f"{len(bad)} mismatches:\n" + "\n".join(bad[:20])


# Runs the command's own entry point once per request in one process, and prints one JSON line
# per request: the exit status and what the command printed.
COMMAND = """
import contextlib, io, json, sys
from quillet.cli import main
for line in sys.stdin:
    group, element, creator = json.loads(line)
    argv = ["lookup", f"{group:04X},{element:04X}", "--json"]
    if creator is not None:
        argv.append("--creator=" + creator)
    out = io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(io.StringIO()):
        status = main(argv)
    print(json.dumps([status, out.getvalue()]))
"""


def test_the_command_agrees_with_lookup_element(bundled, met):
    requests = sorted({m[1:] for m in met}, key=lambda r: (r[0], r[1], r[2] or ""))
    ran = subprocess.run(
        [sys.executable, "-c", COMMAND],
        input="".join(json.dumps(r) + "\n" for r in requests),
        capture_output=True,
        text=True,
        check=True,
    )
    answers = [json.loads(line) for line in ran.stdout.splitlines()]
    assert len(answers) == len(requests)
    bad = []
    for (group, element, creator), (status, printed) in zip(requests, answers, strict=True):
        entry = quillet.lookup_element(bundled, group, element, creator)
        if entry is not None:
            # The command adds the entry's VM and VRs from the companion beside the dictionary.
            key = (entry["group"], entry["element"], entry["creator"] or None)
            extra = {"vm": quillet.vm(*key), "vrs": list(quillet.vrs(*key))}
            agree = (status, json.loads(printed)) == (0, entry | extra)
        else:
            agree = (status, printed) == (1, "")
        if not agree:
            bad.append(
                f"({group:04X},{element:04X}) {creator!r}: command {status} {printed!r}, expected {entry}"
            )
    print(f"{len(requests)} distinct requests, {sum(a[0] == 0 for a in answers)} found by the command")
    assert not bad, f"{len(bad)} disagreements:\n" + "\n".join(bad[:20])


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
        f"({t >> 16:04X},{t & 0xFFFF:04X}): {quillet.vm(t >> 16, t & 0xFFFF)!r}, "
        f"pydicom {datadict.dictionary_VM(t)!r}"
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
                if group % 2 == 0:
                    continue  # a creator on an even group: no data set holds it, left out
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
