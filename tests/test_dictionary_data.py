"""The committed dictionary text: its format, its invariants, and the tags a user will ask for.

These read data/dictionary.tsv and the tools beside it from the source tree; they need neither
pydicom nor dcmtk.
"""

from __future__ import annotations

import importlib.util
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
TSV = ROOT / "data" / "dictionary.tsv"


def _load(name: str, path: Path):
    if name not in sys.modules:
        spec = importlib.util.spec_from_file_location(name, path)
        module = importlib.util.module_from_spec(spec)
        sys.modules[name] = module
        spec.loader.exec_module(module)
    return sys.modules[name]


compile_dictionary = _load("_quillet_compile_dictionary", ROOT / "tools" / "compile_dictionary.py")
regen = _load("_quillet_regen_dictionary", ROOT / "tools" / "regen_dictionary.py")
unicode_ = _load("_quillet_unicode", ROOT / "src" / "quillet" / "_unicode.py")


@pytest.fixture(scope="module")
def rows():
    return compile_dictionary.read_tsv(TSV)


@pytest.fixture(scope="module")
def by_key(rows):
    return {regen.row_key(r): r for r in rows}


def test_rows_sorted_with_one_row_per_key(rows, by_key):
    keys = [regen.sort_key(r) for r in rows]
    assert keys == sorted(keys)
    assert len(by_key) == len(rows)


def test_distinct_creators_have_distinct_hashes(rows):
    hashes: dict[int, set[str]] = {}
    for row in rows:
        if row.creator:
            hashes.setdefault(unicode_.hash_creator(row.creator), set()).add(
                unicode_.normalize_creator(row.creator)
            )
    assert 0 not in hashes
    assert {h: c for h, c in hashes.items() if len(c) > 1} == {}


def test_row_invariants(rows):
    bad = []
    for row in rows:
        where = f"({row.group:04X},{row.element:04X}) {row.creator!r}"
        if row.block_offset and (not row.creator or row.element > 0xFF):
            bad.append(f"{where}: block offset on a public tag or beyond the low byte")
        if (row.vr == "??") != row.description.startswith("VR: "):
            bad.append(f"{where}: '??' and its 'VR: ...' description go together")
        if len(set(row.sources)) != len(row.sources):
            bad.append(f"{where}: a source listed twice")
        if not row.creator and row.group % 2:
            bad.append(f"{where}: a public tag in an odd (private) group")
        if row.creator and row.element <= 0xFF and not row.block_offset:
            bad.append(f"{where}: a fixed private element where only creator elements stand")
        if not row.keyword.isascii() or not (row.keyword.isalnum() or row.keyword == ""):
            bad.append(f"{where}: keyword {row.keyword!r} is not a DICOM keyword")
    assert bad == []


# (group, element, creator, keyword, name, vr, retired, block_offset); None = not checked.
KNOWN = [
    (0x0010, 0x0010, "", "PatientName", "Patient's Name", "PN", False, False),
    (0x0008, 0x0018, "", "SOPInstanceUID", "SOP Instance UID", "UI", False, False),
    (0x0000, 0x0001, "", "CommandLengthToEnd", None, "UL", True, False),
    (0x7FE0, 0x0010, "", "PixelData", "Pixel Data", "??", False, False),
    (0xFFFE, 0xE000, "", "Item", "Item", "??", False, False),
    # Repeating groups expanded, even groups only; a more specific entry beats the range.
    (0x6000, 0x3000, "", "OverlayData", "Overlay Data", "??", False, False),
    (0x60FE, 0x0010, "", "OverlayRows", "Overlay Rows", "US", False, False),
    (0x501E, 0x3000, "", "CurveData", "Curve Data", "??", True, False),
    (0x0020, 0x31FF, "", "SourceImageIDs", None, "CS", True, False),
    (0x0028, 0x0400, "", "TransformLabel", None, "LO", True, False),
    (0x0028, 0x0410, "", "RowsForNthOrderCoefficients", None, "US", True, False),
    # Private: the low byte with block_offset, the stored creator spelling of both sources.
    (0x0029, 0x0010, "SIEMENS CSA HEADER", "CSAImageHeaderInfo", "CSA Image Header Info", "OB", False, True),
    (0x0029, 0x0010, "siemens  csa header", "CSAImageHeaderInfo", None, "OB", False, True),
    (0x0019, 0x000C, "SIEMENS MR HEADER", None, "B_value", "IS", False, True),
    # A private group range (odd groups) and a fixed private element.
    (0x70FF, 0x0004, "DLX_ANNOT_01", "TextAnnotation", None, "ST", False, True),
    (0x0025, 0x1010, "CMR42 CIRCLECVI", "WorkspaceID", None, "LO", False, False),
    # Folded creators with conflicting definitions: one row, resolved as the script says.
    (0x0009, 0x0015, "SPI RELEASE 1", None, "UID", "LO", False, True),
    (0x0029, 0x0000, "MITRA OBJECT DOCUMENT 1.0", None, "IMPAX object document", "OB", False, True),
]


@pytest.mark.parametrize("group, element, creator, keyword, name, vr, retired, block_offset", KNOWN)
def test_known_entries(by_key, group, element, creator, keyword, name, vr, retired, block_offset):
    key = (group, element, unicode_.normalize_creator(creator) if creator else None)
    row = by_key.get(key)
    assert row is not None, f"no row for {key}"
    expected = dict(keyword=keyword, name=name, vr=vr, retired=retired, block_offset=block_offset)
    got = {f: getattr(row, f) for f, v in expected.items() if v is not None}
    assert got == {f: v for f, v in expected.items() if v is not None}


@pytest.mark.parametrize(
    "group, element, creator",
    [
        (0x6001, 0x0010, ""),  # odd groups are private, not overlays
        (0x1010, 0x1234, ""),  # a whole-group range is left out
        (0x0019, 0x1010, "GEMS_ACQU_01"),  # a mask over a whole private block is left out
    ],
)
def test_left_out(by_key, group, element, creator):
    assert (group, element, unicode_.normalize_creator(creator) if creator else None) not in by_key


@pytest.mark.parametrize(
    "line, problem",
    [
        ("0010\t0010\t\tK\tN\tPN\t1-n\t0\t0\tS", "10 fields"),
        ("0010\t0010\t\tK\tN\tPN\t1-n\t0\t0\tS\t\t", "12 fields"),
        ("10\t0010\t\tK\tN\tPN\t1-n\t0\t0\tS\t", "group must be four"),
        ("0010\t001a\t\tK\tN\tPN\t1-n\t0\t0\tS\t", "element must be four"),
        ("0010\t0010\t\tK\tN\tpn\t1\t0\t0\tS\t", "vr 'pn'"),
        ("0010\t0010\t\tK\tN\tOB or OB\t1\t0\t0\tS\t", "vr 'OB or OB'"),
        ("0010\t0010\t\tK\tN\tOB or ??\t1\t0\t0\tS\t", "vr 'OB or \\?\\?'"),
        ("0010\t0010\t\tK\tN\tOB/OW\t1\t0\t0\tS\t", "vr 'OB/OW'"),
        ("0010\t0010\t\tK\tN\tPN\t1\tyes\t0\tS\t", "retired must be 0 or 1"),
        ("0010\t0010\t\tK\tN\tPN\t1-n\t0\t0\t\t", "sources ''"),
        ("0010\t0010\t\tK\tN\tPN\t1-n\t0\t0\tA||B\t", "sources 'A||B'"),
        ("0010\t0010\t\tK\tN\r\tPN\t1-n\t0\t0\tS\t", "carriage return"),
    ],
)
def test_parser_rejects(line, problem):
    with pytest.raises(ValueError, match=problem):
        compile_dictionary.parse_line(line)


def test_parser_keeps_texts_verbatim():
    line = "0029\t0010\t ACME  corp \tK\tN\tOB\t2-2n\t0\t1\tA|B C\t"
    row = compile_dictionary.parse_line(line)
    assert row.creator == " ACME  corp " and row.sources == ("A", "B C") and row.vm == "2-2n"
    assert row.to_line() == line


def test_a_choice_of_vrs_reaches_the_writer_as_written():
    row = compile_dictionary.parse_line("0028\t3006\t\tLUTData\tLUT Data\tUS or SS or OW\t1-n\t0\t0\tS\t")
    (entry,) = compile_dictionary.to_entries([row], compile_dictionary.load_writer())
    assert entry.vr == "US or SS or OW"


def test_writer_accepts_every_row(rows):
    writer = compile_dictionary.load_writer()
    data = writer.to_bytes(compile_dictionary.to_entries(rows, writer))
    assert data[:4] == b"QLET"


@pytest.mark.parametrize(
    "digits, parity, first, last, count",
    [
        ("60xx", "even", 0x6000, 0x60FE, 128),
        ("70xx", "odd", 0x7001, 0x70FF, 128),
        ("04x0", None, 0x0400, 0x04F0, 16),
        ("xxx5", None, 0x0005, 0xFFF5, 4096),
        ("0010", None, 0x0010, 0x0010, 1),
    ],
)
def test_mask_expansion(digits, parity, first, last, count):
    values = regen.mask_values(digits, parity)
    assert (values[0], values[-1], len(values)) == (first, last, count)


def _def(creator, name, *, element=0x15, expanded=False, block_offset=True, line=0):
    return regen.Def(
        0x0009,
        element,
        creator,
        "",
        name,
        "LO",
        False,
        block_offset,
        "S",
        f"line {line}",
        expanded=expanded,
        line=line,
    )


@pytest.mark.parametrize(
    "defs, winner",
    [
        # The spelling with more tags wins a folding conflict, whatever the order of input.
        (
            [
                _def("SPI RELEASE 1", "A"),
                _def("SPI Release 1", "B"),
                _def("SPI Release 1", "X", element=0x20),
            ],
            "B",
        ),
        (
            [
                _def("SPI Release 1", "B"),
                _def("SPI RELEASE 1", "A"),
                _def("SPI Release 1", "X", element=0x20),
            ],
            "B",
        ),
        # A placeholder loses even to the smaller block.
        ([_def("M", "Unknown"), _def("M", "Y", element=0x20), _def("m", "Real")], "Real"),
        # An exact definition beats one expanded from a range.
        ([_def("C", "Range", expanded=True), _def("C", "Exact")], "Exact"),
        # The "xx" form beats a fixed element below 0x0100 with the same key.
        ([_def("C", "Fixed", block_offset=False), _def("C", "Offset")], "Offset"),
        # Otherwise the later line, as dcmtk's own loader does.
        ([_def("C", "First", line=1), _def("C", "Second", line=2)], "Second"),
    ],
)
def test_resolution_within_a_source(defs, winner):
    chosen = regen.resolve_within("test", defs, regen.Report())
    assert chosen[(0x0009, 0x15, unicode_.normalize_creator(defs[0].creator))].name == winner


def test_low_fixed_elements_become_offsets_unless_one_exists():
    fixed = [_def("C", "Fixed", block_offset=False), _def("D", "Alone", element=0x20, block_offset=False)]
    # The offset of C's fixed element is held in the other source.
    placed = regen.place_low_fixed_elements({"a": fixed, "b": [_def("C", "Offset")]}, regen.Report())
    assert [(d.name, d.block_offset) for d in placed["a"]] == [("Alone", True)]
    assert [d.name for d in placed["b"]] == ["Offset"]
