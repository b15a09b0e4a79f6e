"""The committed dictionary text: its format, its invariants, and the tags a user will ask for.

These read data/dictionary.tsv and the tools beside it from the source tree; they need neither
pydicom nor dcmtk.
"""

from __future__ import annotations

import re
from pathlib import Path

import pytest

from conftest import load_file_module

ROOT = Path(__file__).resolve().parents[1]
TSV = ROOT / "data" / "dictionary.tsv"


compile_dictionary = load_file_module("_quillet_compile_dictionary", ROOT / "tools" / "compile_dictionary.py")
regen = load_file_module("_quillet_regen_dictionary", ROOT / "tools" / "regen_dictionary.py")
unicode_ = load_file_module("_quillet_unicode", ROOT / "src" / "quillet" / "_unicode.py")


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


# The choices of VRs that the standard writes, in its order; nothing else may stand for one.
STANDARD_CHOICES = {"OB or OW", "US or SS", "US or SS or OW", "US or OW"}
DESCRIPTION_PART = re.compile(r"VR: none|name guessed \([^()]+\)|(VR|VM) dissent: .+")
PRIVATE_SOURCES = re.compile(
    r"(GDCM \(pydicom [0-9.]+\)|GDCM [0-9.]+|dcmtk [0-9.]+|vtk-dicom [0-9.]+)( \(name guessed\))?"
)


def test_row_invariants(rows):
    bad = []
    for row in rows:
        where = f"({row.group:04X},{row.element:04X}) {row.creator!r}"
        if row.block_offset and (not row.creator or row.element > 0xFF):
            bad.append(f"{where}: block offset on a public tag or beyond the low byte")
        if (row.vr == "??") != (row.description == "VR: none"):
            bad.append(f"{where}: '??' is for the elements without VR, and says so")
        if " or " in row.vr and row.vr not in STANDARD_CHOICES:
            bad.append(f"{where}: VR {row.vr!r} is not a choice as the standard writes it")
        if len(set(row.sources)) != len(row.sources):
            bad.append(f"{where}: a source listed twice")
        if not row.creator and row.group % 2:
            bad.append(f"{where}: a public tag in an odd (private) group")
        if row.creator and row.element <= 0xFF and not row.block_offset:
            bad.append(f"{where}: a fixed private element where only creator elements stand")
        if not row.keyword.isascii() or not (row.keyword.isalnum() or row.keyword == ""):
            bad.append(f"{where}: keyword {row.keyword!r} is not a DICOM keyword")
        if row.keyword[:1].isdigit():
            bad.append(f"{where}: keyword {row.keyword!r} starts with a digit")
        if row.description and not all(DESCRIPTION_PART.fullmatch(p) for p in row.description.split("; ")):
            bad.append(f"{where}: description {row.description!r}")
    assert bad == []


def test_private_row_invariants(rows):
    bad = []
    for row in (r for r in rows if r.creator):
        where = f"({row.group:04X},{row.element:04X}) {row.creator!r}"
        if not all(PRIVATE_SOURCES.fullmatch(s) for s in row.sources):
            bad.append(f"{where}: sources {row.sources}")
        if row.name.strip().lower() in ("", "unknown") and row.name:
            bad.append(f"{where}: placeholder name {row.name!r}")
        if row.name.startswith("?") or row.name.endswith("?"):
            bad.append(f"{where}: name {row.name!r} keeps a guess's marks")
        if row.name and not row.keyword:
            bad.append(f"{where}: a name without a keyword")
        guessed = row.description.startswith("name guessed")
        if guessed and not any(s.endswith("(name guessed)") for s in row.sources):
            bad.append(f"{where}: a guessed name that no source item calls a guess")
    assert bad == []


def test_private_keywords_unique_within_a_creator(rows):
    # Rows that share a keyword under one creator are one attribute over a range of groups.
    attributes: dict[tuple[str, str], set[tuple[int, bool, str]]] = {}
    for row in rows:
        if row.creator and row.keyword:
            key = (unicode_.normalize_creator(row.creator), row.keyword)
            attributes.setdefault(key, set()).add((row.element, row.block_offset, row.name))
    assert {k: v for k, v in attributes.items() if len(v) > 1} == {}


# (group, element, creator, keyword, name, vr, retired, block_offset); None = not checked.
KNOWN = [
    (0x0010, 0x0010, "", "PatientName", "Patient's Name", "PN", False, False),
    (0x0008, 0x0018, "", "SOPInstanceUID", "SOP Instance UID", "UI", False, False),
    (0x0000, 0x0001, "", "CommandLengthToEnd", None, "UL", True, False),
    (0x7FE0, 0x0010, "", "PixelData", "Pixel Data", "OB or OW", False, False),
    (0xFFFE, 0xE000, "", "Item", "Item", "??", False, False),
    (0x0028, 0x3006, "", "LUTData", None, "US or OW", False, False),
    # Repeating groups expanded, even groups only; a more specific entry beats the range.
    (0x6000, 0x3000, "", "OverlayData", "Overlay Data", "OB or OW", False, False),
    (0x60FE, 0x0010, "", "OverlayRows", "Overlay Rows", "US", False, False),
    (0x501E, 0x3000, "", "CurveData", "Curve Data", "OB or OW", True, False),
    (0x0020, 0x31FF, "", "SourceImageIDs", None, "CS", True, False),
    (0x0028, 0x0400, "", "TransformLabel", None, "LO", True, False),
    (0x0028, 0x0410, "", "RowsForNthOrderCoefficients", None, "US", True, False),
    # Private: the low byte with block_offset, the stored creator spelling of the sources.
    (0x0029, 0x0010, "SIEMENS CSA HEADER", "CSAImageHeaderInfo", "CSA Image Header Info", "OB", False, True),
    (0x0029, 0x0010, "siemens  csa header", "CSAImageHeaderInfo", None, "OB", False, True),
    # A name that only GDCM and pydicom give, with vtk-dicom's keyword for it.
    (0x0019, 0x000C, "SIEMENS MR HEADER", "BValue", "B_value", "IS", False, True),
    # A private group range (odd groups) and a fixed private element that another source
    # lists as the block offset: one entry.
    (0x70FF, 0x0004, "DLX_ANNOT_01", "TextAnnotation", None, "ST", False, True),
    (0x0025, 0x0010, "CMR42 CIRCLECVI", "WorkspaceID", None, "LO", False, True),
    # Block-specific definitions stay fixed elements beside the offset.
    (0x0019, 0x1005, "PHILIPS MR/PART", None, None, "DS", False, False),
    (0x01F1, 0x1026, "ELSCINT1", None, "Pitch", "FD", False, False),
    (0x01F1, 0x0026, "ELSCINT1", "Pitch", "Pitch", "DS", False, True),
    # Folded creators with conflicting definitions: one row, decided as for VRs.
    (0x0009, 0x0015, "SPI RELEASE 1", "UID", "UID", "LO", False, True),
    (0x0011, 0x0020, "SPI Release 1", "Pregnancy", "Pregnancy", "LO", False, True),
    (0x0029, 0x0000, "MITRA OBJECT DOCUMENT 1.0", None, "IMPAX object document", "OB", False, True),
    # Entries that only GDCM's own dictionary (and vtk-dicom) hold, and names it put in the
    # place of a placeholder.
    (0x2005, 0x0055, "Philips MR Imaging DD 005", None, "ImageVelocityEncodingDirection", "FD", False, True),
    (
        0x2005,
        0x000F,
        "Philips MR Imaging DD 005",
        None,
        "Acquisition Parameters (Philips) Sequence",
        "SQ",
        False,
        True,
    ),
    # VRs where sources disagree, decided as real files have them.
    (0x0013, 0x0012, "GEMS_GENIE_1", None, None, "SL", False, True),
    (0x0051, 0x000A, "SIEMENS MR HEADER", None, None, "LO", False, True),
    (0x0051, 0x000B, "SIEMENS MR HEADER", None, None, "LO", False, True),
    (0x0051, 0x000C, "SIEMENS MR HEADER", None, None, "LO", False, True),
    (0x0051, 0x000E, "SIEMENS MR HEADER", None, None, "LO", False, True),
    (0x0021, 0x003F, "SIEMENS MR SDS 01", "AutoAlignData", None, "UT", False, True),
    (0x0021, 0x0067, "SIEMENS MR SDI 02", None, "DataRole XML", "ST", False, True),
    (0x0019, 0x0000, "SIEMENS MED SMS USG S2000", None, None, "SH", False, True),
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


def _def(
    creator, name, *, element=0x15, expanded=False, block_offset=True, line=0, family="pydicom", vr="LO", **kw
):
    return regen.Def(
        0x0009,
        element,
        creator,
        kw.pop("keyword", ""),
        name,
        vr,
        False,
        block_offset,
        f"{family} 1.0",
        f"line {line}",
        expanded=expanded,
        line=line,
        family=family,
        **kw,
    )


@pytest.mark.parametrize(
    "defs, winner",
    [
        # A placeholder loses to a real name, whatever the order of input.
        ([_def("C", "Unknown", line=2), _def("C", "Real", line=1)], "Real"),
        # An exact definition beats one expanded from a range.
        ([_def("C", "Range", expanded=True), _def("C", "Exact")], "Exact"),
        # The "xx" form beats a fixed element below 0x0100 that stands for the same offset.
        ([_def("C", "Fixed", low_fixed=True, line=2), _def("C", "Offset", line=1)], "Offset"),
        # Otherwise the later line, as dcmtk's own loader does.
        ([_def("C", "First", line=1), _def("C", "Second", line=2)], "Second"),
    ],
)
def test_resolution_within_a_source(defs, winner):
    chosen = regen.resolve_within("test", defs, regen.Report())
    assert [d.name for d in chosen.values()] == [winner]


def test_spellings_that_fold_alike_stay_apart_within_a_source():
    defs = [_def("SPI RELEASE 1", "A"), _def("SPI Release 1", "B")]
    chosen = regen.resolve_within("test", defs, regen.Report())
    assert sorted(d.name for d in chosen.values()) == ["A", "B"]


def _decide(*defs):
    sources = {}
    for d in defs:
        sources.setdefault(d.family, []).append(d)
    resolved = {f: regen.resolve_within(f, ds, regen.Report()) for f, ds in sources.items()}
    order = {f: n for n, f in enumerate(regen.PRIVATE_ORDER)}
    rows = regen.merge_private(dict(sorted(resolved.items(), key=lambda i: order[i[0]])), regen.Report())
    (row,) = rows.values()
    return row


@pytest.mark.parametrize(
    "defs, vr, description",
    [
        # The VR most sources hold wins, and the dissent is named.
        (
            [
                _def("C", "N", vr="UL"),
                _def("C", "N", vr="SL", family="GDCM"),
                _def("C", "", vr="SL", family="vtk-dicom"),
            ],
            "SL",
            "VR dissent: pydicom: UL",
        ),
        # On a tie, the first source in the order pydicom, GDCM, dcmtk, vtk-dicom.
        (
            [_def("C", "N", vr="SH", family="vtk-dicom"), _def("C", "N", vr="LO", family="dcmtk")],
            "LO",
            "VR dissent: vtk-dicom: SH",
        ),
        # UN is no vote: a single real VR beats two sources that do not know it.
        (
            [
                _def("C", "N", vr="UN"),
                _def("C", "N", vr="UN", family="GDCM"),
                _def("C", "", vr="UT", family="vtk-dicom"),
            ],
            "UT",
            "VR dissent: pydicom: UN, GDCM: UN",
        ),
        # A source counts once per value, however many spellings it holds it under.
        (
            [
                _def("SPI RELEASE 1", "N", vr="CS"),
                _def("SPI Release 1", "N", vr="CS"),
                _def("SPI Release 1", "N", vr="LO", family="GDCM"),
                _def("SPI RELEASE 1", "", vr="LO", family="dcmtk"),
            ],
            "LO",
            "VR dissent: pydicom: CS",
        ),
        # A dissent under another spelling than the stored one says which.
        (
            [
                _def("SPI Release 1", "N", vr="CS"),
                _def("SPI RELEASE 1", "N", vr="LO", family="GDCM"),
                _def("SPI RELEASE 1", "", vr="LO", family="dcmtk"),
            ],
            "LO",
            "VR dissent: pydicom (as 'SPI Release 1'): CS",
        ),
    ],
)
def test_private_vr_by_votes(defs, vr, description):
    row = _decide(*defs)
    assert (row.vr, row.description) == (vr, description)


@pytest.mark.parametrize(
    "defs, name, keyword, description, sources",
    [
        # A real name beats a placeholder; a source's keyword is kept.
        (
            [
                _def("C", "", keyword=""),
                _def("C", "Real Name", family="GDCM"),
                _def("C", "", keyword="RealNm", family="dcmtk"),
            ],
            "Real Name",
            "RealNm",
            "",
            ("pydicom 1.0", "GDCM 1.0", "dcmtk 1.0"),
        ),
        # A guessed name keeps its text, and both the description and the source say it.
        (
            [_def("C", "Flip Angle", family="GDCM", guessed=True)],
            "Flip Angle",
            "FlipAngle",
            "name guessed (GDCM)",
            ("GDCM 1.0 (name guessed)",),
        ),
        # A keyword that spells a name votes for it: two against one.
        (
            [
                _def("C", "Old Name"),
                _def("C", "New Name", family="GDCM"),
                _def("C", "", keyword="NewName", family="dcmtk"),
            ],
            "New Name",
            "NewName",
            "",
            ("pydicom 1.0", "GDCM 1.0", "dcmtk 1.0"),
        ),
    ],
)
def test_private_names_and_keywords(defs, name, keyword, description, sources):
    row = _decide(*defs)
    assert (row.name, row.keyword, row.description, row.sources) == (name, keyword, description, sources)


def test_shared_keywords_get_their_tags_unless_one_source_gave_it():
    defs = {
        "pydicom": [_def("C", "Private Data", element=0x10), _def("C", "Private Data", element=0x11)],
        "dcmtk": [_def("C", "", keyword="PrivateData", element=0x12, family="dcmtk")],
    }
    resolved = {f: regen.resolve_within(f, ds, regen.Report()) for f, ds in defs.items()}
    rows = regen.merge_private(resolved, regen.Report())
    assert sorted(r.keyword for r in rows.values()) == [
        "PrivateData",
        "PrivateData0009xx10",
        "PrivateData0009xx11",
    ]


def test_low_fixed_elements_become_offsets():
    fixed = [_def("C", "Fixed", block_offset=False), _def("D", "Alone", element=0x20, block_offset=False)]
    placed = regen.place_low_fixed_elements({"a": fixed}, regen.Report())
    assert [(d.name, d.block_offset, d.low_fixed) for d in placed["a"]] == [
        ("Fixed", True, True),
        ("Alone", True, True),
    ]


def _fixed(creator, element, family):
    return _def(creator, "X", element=element, block_offset=False, family=family)


@pytest.mark.parametrize(
    "fixed, offset_in_other, joined",
    [
        # A fixed element of block 0x10 and the offset another source lists: one entry.
        ([_fixed("C", 0x1005, "dcmtk")], True, [True]),
        # No source lists the offset: nothing to join.
        ([_fixed("C", 0x1005, "dcmtk")], False, [False]),
        # Block 0x11 is not where the other source's offset lands by itself.
        ([_fixed("C", 0x1105, "dcmtk")], True, [False]),
        # Blocks 10xx and 11xx of one creator differ: block-specific, kept.
        ([_fixed("C", 0x1005, "dcmtk"), _fixed("C", 0x1105, "dcmtk")], True, [False, False]),
    ],
)
def test_one_attribute_in_two_forms(fixed, offset_in_other, joined):
    other = [_def("C", "X", element=0x05, family="GDCM")] if offset_in_other else []
    out = regen.join_forms({"dcmtk": fixed, "GDCM": other}, regen.Report())
    assert [d.block_offset for d in out["dcmtk"]] == joined


def test_both_forms_in_one_source_stay_apart():
    pydicom = [
        _def("ELSCINT1", "Fixed", element=0x1026, block_offset=False),
        _def("ELSCINT1", "Offset", element=0x26),
    ]
    out = regen.join_forms(
        {"pydicom": pydicom, "GDCM": [_def("ELSCINT1", "O", element=0x26, family="GDCM")]}, regen.Report()
    )
    assert [(d.element, d.block_offset) for d in out["pydicom"]] == [(0x1026, False), (0x26, True)]


@pytest.mark.parametrize(
    "name, keyword",
    [
        ("Patient's Name", "PatientName"),
        ("Physician(s) of Record", "PhysiciansOfRecord"),
        ("Frame Numbers of Interest (FOI)", "FrameNumbersOfInterest"),
        ("Image Position (Patient)", "ImagePositionPatient"),
        ("Copy of Patient's Birth Date (0010,1030)", "CopyOfPatientBirthDate"),
        ("X-Ray Tube Current in mA", "XRayTubeCurrentInmA"),
        ("2D Mating Point", "TwoDMatingPoint"),
        ("2nd Flip Angle [degree]", "SecondFlipAngle"),
        ("Table Speed [mm/rotation]", "TableSpeed"),
        ("B_value", "BValue"),
        ("\u03b3 Raw Data Table Sequence", "GammaRawDataTableSequence"),
        ("Pre Stenosis %", "PreStenosis"),
        ("CSA Image Header Version", "CSAImageHeaderVersion"),
        ("", ""),
    ],
)
def test_keyword_from_name(name, keyword):
    assert regen.keyword_from_name(name) == keyword


def test_keywords_made_as_the_standard_makes_them():
    # Public names and keywords are the standard's; the rule must make all but its few
    # irregular ones ("Sub-operations" -> "Suboperations" beside "In-plane" -> "InPlane").
    public = [r for r in compile_dictionary.read_tsv(TSV) if not r.creator and r.name and r.keyword]
    differ = [r for r in public if regen.keyword_from_name(r.name) != r.keyword]
    assert len(differ) <= len(public) // 100, [(r.name, r.keyword) for r in differ[:20]]


@pytest.mark.parametrize(
    "name, kept, guessed",
    [
        ("?Patient's Name?", "Patient's Name", True),
        ("?MRSlabType", "MRSlabType", True),
        ("VEPRO UID ??", "VEPRO UID", True),
        ("???", "", False),
        ("User data 20 (?Diffusion Direction X?)", "User data 20 (?Diffusion Direction X?)", False),
    ],
)
def test_guess_marks(name, kept, guessed):
    assert regen._sources.unmark_guess(name) == (kept, guessed)


@pytest.mark.parametrize(
    "text, column",
    [
        ("OW or OB", "OB or OW"),
        ("SS or US", "US or SS"),
        ("NONE", "??"),
        ("UN", "UN"),
    ],
)
def test_vr_choices_in_the_standards_wording(text, column):
    wordings = {frozenset({"OB", "OW"}): "OB or OW", frozenset({"US", "SS"}): "US or SS"}
    assert regen.vr_column(text, wordings) == column


def test_vr_choice_the_standard_never_writes_is_refused():
    with pytest.raises(regen.Refused, match="OB or UN"):
        regen.vr_column("OB or UN", {frozenset({"OB", "OW"}): "OB or OW"})
