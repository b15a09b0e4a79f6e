"""The bundled private dictionary against the VRs that real files hold.

The files are pydicom's test data, read by ``tools/dictionary_evidence.py``: every private data
element written with an explicit VR says what that element is.  Each source of the dictionary
is rebuilt from the committed text alone, by its ``sources`` and the dissent its description
names, so this holds the merge to its promise without GDCM, vtk-dicom or dcmtk installed: the
merged dictionary agrees with the files at least as often as any single source does.
"""

from __future__ import annotations

import re
from collections import Counter
from pathlib import Path

import pytest

from conftest import load_file_module

pytest.importorskip("pydicom")

ROOT = Path(__file__).resolve().parents[1]
TSV = ROOT / "data" / "dictionary.tsv"


compile_dictionary = load_file_module("_quillet_compile_dictionary", ROOT / "tools" / "compile_dictionary.py")
evidence = load_file_module("_quillet_dictionary_evidence", ROOT / "tools" / "dictionary_evidence.py")
unicode_ = load_file_module("_quillet_unicode", ROOT / "src" / "quillet" / "_unicode.py")

FAMILIES = {"GDCM (pydicom": "pydicom", "GDCM ": "GDCM", "dcmtk ": "dcmtk", "vtk-dicom ": "vtk-dicom"}
DISSENT = re.compile(r"(pydicom|GDCM|dcmtk|vtk-dicom)(?: \(as '.*?'\))?: ([A-Z?]{2}(?: or [A-Z]{2})*)")

# Explicit VRs that agree with each source and with the merged result, of 1566 in 22 files.
AGREEING = {"pydicom": 1530, "GDCM": 1534, "dcmtk": 1147, "vtk-dicom": 1534, "merged": 1534}


def family(label: str) -> str:
    return next(f for prefix, f in FAMILIES.items() if label.startswith(prefix))


def source_vrs(row) -> dict[str, str]:
    """Each source's VR for a row: the row's own unless the description names its dissent."""
    dissent: dict[str, str] = {}
    for part in row.description.split("; "):
        if part.startswith("VR dissent: "):
            for name, vr in DISSENT.findall(part):
                dissent.setdefault(name, vr)
    return {family(s): dissent.get(family(s), row.vr) for s in row.sources}


@pytest.fixture(scope="module")
def indexes():
    tables: dict[str, dict] = {f: {} for f in [*FAMILIES.values(), "merged"]}
    for row in compile_dictionary.read_tsv(TSV):
        if not row.creator:
            continue
        key = (row.group, row.element, unicode_.normalize_creator(row.creator), row.block_offset)
        tables["merged"][key] = row.vr
        for name, vr in source_vrs(row).items():
            tables[name][key] = vr
    return tables


@pytest.fixture(scope="module")
def seen():
    return evidence.private_elements()


def test_source_vrs_read_back_from_a_row():
    row = compile_dictionary.parse_line(
        "0009\t0041\tSPI Release 1\tK\tN\tSH\t1\t0\t1\tGDCM (pydicom 3.0.2)|GDCM 3.2.6|dcmtk 3.6.7\t"
        "VR dissent: dcmtk (as 'SPI RELEASE 1'): US or SS, pydicom: LO"
    )
    assert source_vrs(row) == {"pydicom": "LO", "GDCM": "SH", "dcmtk": "US or SS"}


def test_merged_agrees_with_real_files_at_least_as_often_as_any_source(indexes, seen):
    explicit = [s for s in seen if s.vr is not None]
    agree = Counter()
    for name, index in indexes.items():
        for s in explicit:
            agree[name] += (
                evidence.find(index, s.group, s.element, s.creator, unicode_.normalize_creator) == s.vr
            )
    print(f"{len(explicit)} explicit VRs in {len({s.file for s in explicit})} files: {dict(agree)}")
    assert len(explicit) == 1566
    assert agree["merged"] >= max(agree[f] for f in FAMILIES.values())
    assert dict(agree) == AGREEING
