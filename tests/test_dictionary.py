"""quillet.Dictionary: tags as data sets hold them, layers, entries added in-process, the rules."""

from __future__ import annotations

import pytest

import quillet
from quillet import VM, Dictionary
from quillet.writer import Entry, InvalidEntries, write_dictionary, write_file

OWN = [
    Entry(0x0010, 0x0010, keyword="PatientName", name="Own Name", vr="PN", vm="1"),
    Entry(
        0x0029, 0x10, creator="ACME 1", keyword="AcmeDose", name="Dose", vr="DS", vm="2-2n", block_offset=True
    ),
    Entry(0x0029, 0x1010, creator="ACME 1", keyword="AcmeWhole", name="Whole", vr="US or SS", vm="1"),
    Entry(
        0x0011, 0x20, creator="ACME 1", keyword="AcmePixels", name="Pixels", vr="OB or OW", block_offset=True
    ),
]


@pytest.fixture(scope="module")
def bundled():
    return Dictionary()


@pytest.fixture(scope="module")
def own(tmp_path_factory):
    path = tmp_path_factory.mktemp("own") / "own.qlet"
    write_dictionary(path, OWN, companion=True)
    return path


@pytest.mark.parametrize(
    "tag, creator, keyword",
    [
        (0x00100010, None, "PatientName"),
        ((0x10, 0x10), None, "PatientName"),
        ([0x10, 0x10], None, "PatientName"),
        ("0010,0010", None, "PatientName"),
        (" ( 0010 , 0010 ) ", None, "PatientName"),
        ("00100010", None, "PatientName"),
        ("7fe00010", None, "PixelData"),
        (0x00100010, "ANY CREATOR", "PatientName"),  # a public tag has none to ask for
        (0x00291010, "siemens  csa header", "CSAImageHeaderInfo"),  # in block 10, folded creator
        (0x00292310, "SIEMENS CSA HEADER", "CSAImageHeaderInfo"),  # in any block
        ("0029,xx10", "SIEMENS CSA HEADER", "CSAImageHeaderInfo"),  # the offset itself
        (0x00291010, None, None),  # a private element needs its creator
        (0x00290010, "SIEMENS CSA HEADER", "PrivateCreator"),  # never the block's xx10 entry
        (0x00290005, "SIEMENS CSA HEADER", None),
        ("0010,xx10", None, None),  # the block form is for private groups
    ],
)
def test_tags_as_data_sets_hold_them(bundled, tag, creator, keyword):
    assert bundled.keyword(tag, creator) == keyword
    entry = bundled.entry(tag, creator)
    assert (entry and entry["keyword"]) == keyword


@pytest.mark.parametrize(
    "tag, exc, message",
    [
        (-1, OverflowError, "out of range integral type conversion attempted"),
        (2**32, OverflowError, "out of range integral type conversion attempted"),
        ((0x10000, 0), OverflowError, "out of range integral type conversion attempted"),
        ((1, 2, 3), TypeError, "a tag pair holds a group and an element, not 3 items"),
        ((1.0, 2), TypeError, "'float' object cannot be interpreted as an integer"),
        (1.5, TypeError, "a tag is an int, a (group, element) pair or a str, not 'float'"),
        (b"00100010", TypeError, "a tag is an int, a (group, element) pair or a str, not 'bytes'"),
        ("(0010,0010", ValueError, "not a tag: '(0010,0010' (expected GGGG,EEEE, (GGGG,EEEE) or GGGGEEEE"),
        ("0010,001", ValueError, "not a tag: '0010,001'"),
        ("\udcff", UnicodeEncodeError, None),
    ],
)
@pytest.mark.parametrize("query", ["entry", "keyword", "vrs", "vm_allows"])
def test_bad_tags_are_refused_alike(bundled, own, tag, exc, message, query):
    for d in (bundled, Dictionary(own, bundled=False), Dictionary(bundled=False)):
        with pytest.raises(exc) as info:
            getattr(d, query)(*((tag, 1) if query == "vm_allows" else (tag,)))
        assert message is None or str(info.value).startswith(message)
        assert info.value.__notes__ == ["while processing 'tag'"]


@pytest.mark.parametrize(
    "tag, creator, keyword, vr, vm, retired, source",
    [
        (0x00290010, "ANY", "PrivateCreator", "LO", "1", False, "rule: private creator element"),
        (0x000900FF, None, "PrivateCreator", "LO", "1", False, "rule: private creator element"),
        (0x00090000, None, "PrivateGroupLength", "UL", "1", True, "rule: private group length"),
        (0x00080000, None, "GroupLength", "UL", "1", True, "rule: group length"),
        (0x10100006, None, "ZonalMap", "US", "1-n", True, "rule: repeating group 1010xxxx"),
        (0x00020000, None, "FileMetaInformationGroupLength", "UL", "1", False, "DICOM"),  # an entry wins
        (0x00030010, None, None, None, None, None, None),  # groups 0001-0007 hold no data elements
        (0x00070000, None, None, None, None, None, None),
        (0x0009000F, None, None, None, None, None, None),  # reserved below the creator elements
        (0x00080001 + 0x9998, None, None, None, None, None, None),
    ],
)
def test_rules_answer_what_no_entry_holds(bundled, tag, creator, keyword, vr, vm, retired, source):
    entry = bundled.entry(tag, creator)
    if keyword is None:
        assert entry is None and bundled.vr(tag, creator) is None
        return
    assert (entry["keyword"], entry["vr"], entry["vm"], entry["retired"]) == (keyword, vr, vm, retired)
    assert entry["sources"][0].startswith(source) and (entry["group"] << 16) | entry["element"] == tag
    assert bundled.vm(tag, creator) == vm and bundled.vrs(tag, creator) == (vr,)


def test_layers_answer_first_to_last(own, bundled):
    d = Dictionary(own, bundled=True)
    assert d.paths == (str(own), str(quillet.DEFAULT_PATH))
    assert d.name(0x00100010) == "Own Name"  # the first layer shadows the bundled entry
    assert d.name(0x00100020) == "Patient ID"  # what it lacks, the bundled one answers
    assert d.keyword(0x00291010, "acme 1") == "AcmeWhole"  # the element's own entry first
    assert d.keyword(0x00291110, "acme 1") == "AcmeDose"  # then its offset's, in any block
    assert d.vrs(0x00291010, "acme 1") == ("US", "SS") and d.vr(0x00291010, "acme 1") == "??"
    assert d.vm_allows(0x00292010, 4, "ACME 1") and not d.vm_allows(0x00292010, 3, "ACME 1")
    assert [e["name"] for e in d.entries("PatientName") if not e["creator"]] == ["Own Name"]
    assert d.tag("AcmeDose", "ACME 1") == 0x00291010 and d.tag("AcmeDose") is None
    assert sorted(d.creators("0029,1010"), key=str.upper) == sorted(
        ["ACME 1", *bundled.creators("0029,1010")], key=str.upper
    )
    found = d.search("dose", limit=None)
    ranks = [
        0
        if e["keyword"].casefold() == "dose"
        else 1
        if "dose" in e["keyword"][:4].casefold() or e["name"].casefold().startswith("dose")
        else 2
        for e in found
    ]
    assert ranks == sorted(ranks) and ("Dose", "ACME 1") in [(e["name"], e["creator"]) for e in found]
    assert len({(e["group"], e["element"], e["creator"].upper()) for e in found}) == len(found)
    assert d.search("Own Name")[0]["name"] == "Own Name"
    assert Dictionary(own).paths == (str(own),)  # a path alone: no bundled layer


def test_a_layer_without_companion_answers_tags(tmp_path):
    path = tmp_path / "bare.qlet"
    write_file(path, quillet.writer.to_bytes(OWN))
    d = Dictionary(path)
    entry = d.entry(0x00111020, "ACME 1")
    assert (entry["vr"], entry["vm"], entry["vrs"]) == ("??", None, None)  # no companion to say
    assert d.vrs(0x00100010) == ("PN",) and d.tag("PatientName") is None and d.search("") == []
    (tmp_path / "bare.qlix").write_bytes(b"QLIX")  # one that cannot be used
    with pytest.raises(OSError, match="file too small"):
        Dictionary(path)
    lenient = Dictionary(path, strict=False)
    assert lenient.keyword(0x00100010) == "PatientName" and len(lenient.problems) == 1


def test_added_entries_lie_on_top(bundled):
    d = Dictionary()
    assert d.keyword(0x00191010, "NEW VENDOR") is None
    d.add([Entry(0x0019, 0x10, creator="New Vendor", keyword="Speed", vr="FD", vm="3", block_offset=True)])
    assert d.keyword(0x00191010, "new  vendor") == "Speed" and d.vm_allows(0x00191010, 3, "NEW VENDOR")
    assert d.keyword(0x00100010) == "PatientName"  # the files still answer the rest
    d.add([Entry(0x0019, 0x10, creator="NEW VENDOR", keyword="Velocity", vr="FD", block_offset=True)])
    assert d.keyword(0x00191010, "New Vendor") == "Velocity" and d.entries("Speed") == []
    d.add([Entry(0x0010, 0x0010, keyword="Renamed", vr="PN")])
    assert d.keyword(0x00100010) == "Renamed" and bundled.keyword(0x00100010) == "PatientName"
    assert d.tag("Velocity", "new vendor") == 0x00191010 and d.search("veloc")[0]["keyword"] == "Velocity"
    with pytest.raises(InvalidEntries):  # all checked first: nothing of a bad batch is added
        d.add(
            [Entry(0x0019, 0x11, creator="NEW VENDOR", keyword="Fine", block_offset=True), Entry(0x29, 0x10)]
        )
    assert d.keyword(0x00191011, "NEW VENDOR") is None


@pytest.mark.parametrize(
    "text, vm, counts",
    [
        ("1", VM(1, 1, 1), {1: True, 0: False, 2: False}),
        ("1-3", VM(1, 3, 1), {1: True, 3: True, 4: False}),
        ("1-n", VM(1, None, 1), {0: False, 1: True, 99: True}),
        ("2-2n", VM(2, None, 2), {2: True, 3: False, 4: True, 0: False}),
        ("3-3n", VM(3, None, 3), {3: True, 6: True, 7: False}),
        ("0-n", VM(0, None, 1), {0: True, 5: True}),
    ],
)
def test_vm_parsed_once_into_minimum_maximum_and_step(text, vm, counts):
    assert VM.parse(text) == vm and str(vm) == text
    assert {n: vm.allows(n) for n in counts} == counts


@pytest.mark.parametrize("text", ["", "n", "1-", "3-1", "1-0n", "one", " 1"])
def test_vm_that_is_no_vm(text):
    with pytest.raises(ValueError, match="not a value multiplicity"):
        VM.parse(text)
