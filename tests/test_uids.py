"""Registered UIDs: the bundled ones against pydicom, what is no UID, UID files of one's own in
layers, refusing corrupt files, and the command."""

from __future__ import annotations

import json
import os

import pytest

import quillet
from quillet import _companion
from quillet import _uid_layout as U
from quillet.cli import main
from quillet.writer import Entry, InvalidEntries, UidEntry, check_uids, uids_to_bytes, write_dictionary

pydicom_uid = pytest.importorskip("pydicom.uid")
UID_dictionary = pytest.importorskip("pydicom._uid_dict").UID_dictionary


def test_every_uid_of_pydicom_as_pydicom_gives_it():
    d = quillet.Dictionary()
    wrong = []
    for uid, (name, kind, info, retired, keyword) in UID_dictionary.items():
        got = d.uid(uid)
        want = {"name": name, "type": kind, "info": info, "retired": retired == "Retired", "keyword": keyword}
        if got is None or {k: got[k] for k in want} != want:  # type: ignore[literal-required]
            wrong.append((uid, got))
            continue
        u = pydicom_uid.UID(uid)
        enc = got["encoding"]
        if u.is_transfer_syntax != (enc is not None) or (
            enc is not None
            and (
                enc["implicit_vr"],
                enc["little_endian"],
                enc["deflated"],
                enc["encapsulated"],
                enc["encapsulated"],
            )
            != (u.is_implicit_VR, u.is_little_endian, u.is_deflated, u.is_encapsulated, u.is_compressed)
        ):
            wrong.append((uid, enc))
        if keyword and d.uid_for_keyword(keyword) != uid:
            wrong.append((keyword, d.uid_for_keyword(keyword)))
    assert wrong == []


@pytest.mark.parametrize(
    "text, why",
    [
        ("", "it is empty"),
        ("1.2.840.10008.1.2 ", "' ' at index 17: a UID holds only digits and dots"),
        ("1.2.840.10008.1.2\0", "'\\x00' at index 17: a UID holds only digits and dots"),
        ("1.2.٣", "'٣' at index 4: a UID holds only digits and dots"),  # a digit, but not 0-9
        ("1." + "2" * 63, "it is 65 characters long, more than the 64 a UID may have"),
        (".1.2", "an empty component at index 0"),
        ("1..2", "an empty component at index 2"),
        ("1.2.", "an empty component at index 4"),
        ("1.2.840.010008", "the component '010008' at index 8 starts with 0"),
        ("00", "the component '00' at index 0 starts with 0"),
    ],
)
def test_text_that_is_no_uid_says_why(text, why):
    with pytest.raises(ValueError) as info:
        quillet.uid(text)
    assert str(info.value) == f"not a UID: {text!r} ({why})"
    with pytest.raises(InvalidEntries) as refused:
        check_uids([UidEntry(text)])
    assert str(refused.value).endswith(f"uid: not a UID: {why}")


@pytest.mark.parametrize("text", ["1.2.3", "0.0", "1." + "2" * 62, "1.2.840.10008.1.2.4.50.0"])
def test_a_uid_nobody_registers_is_none(text):
    assert quillet.uid(text) is None


def test_arguments_that_are_not_text():
    with pytest.raises(TypeError) as info:
        quillet.uid(1.2)  # type: ignore[arg-type]
    assert info.value.__notes__ == ["while processing 'uid'"]
    with pytest.raises(TypeError):
        quillet.uid_for_keyword(None)  # type: ignore[arg-type]
    with pytest.raises(TypeError):
        quillet.search_uids(b"jpeg")  # type: ignore[arg-type]


@pytest.mark.parametrize(
    "text, first",
    [
        ("explicitvrlittleendian", "1.2.840.10008.1.2.1"),  # the keyword, whatever its case
        ("JPEG Baseline", "1.2.840.10008.1.2.4.50"),  # a name's start
        ("baseline (process 1)", "1.2.840.10008.1.2.4.50"),  # inside a name
    ],
)
def test_search_best_first(text, first):
    assert quillet.search_uids(text)[0]["uid"] == first


def test_search_limits_and_nothing():
    assert len(quillet.search_uids("storage", limit=3)) == 3
    assert len(quillet.search_uids("storage", limit=None)) > 200
    assert quillet.search_uids("x\0y") == []
    assert quillet.search_uids("no such words anywhere") == []


# ---- files of one's own ----------------------------------------------------------------------

ACME = [
    UidEntry(
        "1.2.826.0.1.3680043.10.99.1", keyword="AcmeDoseStorage", name="Acme Dose Storage", type="SOP Class"
    ),
    UidEntry(
        "1.2.826.0.1.3680043.10.99.2",
        keyword="AcmeStrasse",
        name="Acme Straße Syntax",
        type="Transfer Syntax",
        encoding="explicit big deflated",
        sources=("Acme conformance statement",),
        retired=True,
    ),
    # The standard's own UID, renamed by the site: its layer answers first.
    UidEntry("1.2.840.10008.1.2.1", keyword="SiteLE", name="Site little endian", type="Transfer Syntax"),
]


@pytest.fixture
def acme(tmp_path):
    path = tmp_path / "acme.qlet"
    write_dictionary(
        path, [Entry(0x0009, 0x10, creator="ACME", keyword="AcmeDose", block_offset=True)], uids=ACME
    )
    return path


def test_layers_answer_in_order(acme):
    d = quillet.Dictionary(acme, bundled=True)
    assert d.uid("1.2.840.10008.1.2.1")["keyword"] == "SiteLE"  # type: ignore[index]
    assert d.uid("1.2.840.10008.1.2.4.50")["keyword"] == "JPEGBaseline8Bit"  # type: ignore[index]
    assert d.uid_for_keyword("SiteLE") == "1.2.840.10008.1.2.1"
    assert d.uid_for_keyword("ExplicitVRLittleEndian") == "1.2.840.10008.1.2.1"  # the bundled layer's
    assert d.uid("1.2.826.0.1.3680043.10.99.2") == {
        "uid": "1.2.826.0.1.3680043.10.99.2",
        "keyword": "AcmeStrasse",
        "name": "Acme Straße Syntax",
        "type": "Transfer Syntax",
        "info": "",
        "retired": True,
        "sources": ["Acme conformance statement"],
        "encoding": {"implicit_vr": False, "little_endian": False, "deflated": True, "encapsulated": False},
    }
    # One entry per UID, the first layer's, ranked with the rest.
    found = d.search_uids("little endian", limit=None)
    assert [e["uid"] for e in found].count("1.2.840.10008.1.2.1") == 1
    assert d.search_uids("STRASSE")[0]["uid"] == "1.2.826.0.1.3680043.10.99.2"
    alone = quillet.Dictionary(acme)
    assert alone.uid("1.2.840.10008.1.2.4.50") is None
    assert [e["keyword"] for e in alone.search_uids("", limit=None)] == [
        "AcmeDoseStorage",
        "AcmeStrasse",
        "SiteLE",
    ]


def test_a_dictionary_without_uids_answers_none(tmp_path):
    path = tmp_path / "plain.qlet"
    write_dictionary(path, [Entry(0x0010, 0x0010, keyword="PatientName")])
    d = quillet.Dictionary(path)
    assert d.uid("1.2.840.10008.1.2") is None
    assert d.uid_for_keyword("ImplicitVRLittleEndian") is None
    assert d.search_uids("") == []
    with pytest.raises(ValueError, match="not a UID"):
        d.uid("1.2.x")


def test_found_beside_the_file_a_link_names(acme, tmp_path):
    os.mkdir(tmp_path / "elsewhere")
    link = tmp_path / "elsewhere" / "link.qlet"
    link.symlink_to(acme)
    assert quillet.Dictionary(link).uid_for_keyword("AcmeDoseStorage") == "1.2.826.0.1.3680043.10.99.1"


def test_opened_on_first_use_only(acme):
    (acme.with_suffix(".qlud")).write_bytes(b"QLUD")
    d = quillet.Dictionary(acme)  # the tags need no UID file
    assert d.keyword("0009,1010", "ACME") == "AcmeDose"
    with pytest.raises(OSError, match=r"acme\.qlud: file too small \(4 bytes\)"):
        d.uid("1.2.3")


def test_rewriting_without_uids_keeps_them_and_the_file_is_the_same_in_any_order(acme, tmp_path):
    write_dictionary(acme, [Entry(0x0010, 0x0010, keyword="PatientName")])
    assert quillet.Dictionary(acme).uid_for_keyword("AcmeStrasse") is not None
    assert uids_to_bytes(ACME) == uids_to_bytes(ACME[::-1])


@pytest.mark.parametrize(
    "entries, problem",
    [
        ([UidEntry("1.2", keyword="A"), UidEntry("1.2")], "uid 1 ('1.2'): the same UID as uid 0 ('1.2')"),
        (
            [UidEntry("1.2", keyword="A"), UidEntry("1.3", keyword="A")],
            "uid 1 ('1.3'): keyword: the same as that of uid 0 ('1.2')",
        ),
        ([UidEntry("1.2", encoding="explicit little")], "encoding: only a transfer syntax has one, not a ''"),
        (
            [UidEntry("1.2", type="Transfer Syntax", encoding="little explicit")],
            "encoding: 'little explicit' does not start with 'implicit' or 'explicit'",
        ),
        (
            [UidEntry("1.2", type="Transfer Syntax", encoding="explicit little encapsulated deflated")],
            "after the byte order only 'deflated', then 'encapsulated', may follow",
        ),
        ([UidEntry("1.2", name="a\nb")], "name: holds the control character U+000A at index 1"),
        ([UidEntry("1.2", sources=("a|b",))], "sources[0]: 'a|b' is empty or contains '|'"),
        ([UidEntry("1.2", retired=1)], "retired: must be a bool, not 1"),  # type: ignore[arg-type]
        ([UidEntry(12)], "uid 0: uid: must be a str, not int"),  # type: ignore[arg-type]
    ],
)
def test_the_writer_refuses(entries, problem):
    with pytest.raises(InvalidEntries) as info:
        check_uids(entries)
    assert problem in str(info.value)


# ---- files a reader must refuse --------------------------------------------------------------


def _craft(**changes):
    """A small valid file's sections with `changes`, packed."""
    f = U.UidFile(
        entries=[(0, 3, 3, 1, 4, 1, 5, 0, 5, 0, 5, 0, 0), (6, 3, 9, 1, 10, 1, 5, 0, 5, 0, 5, 0, 0)],
        keywords=[0, 1],
        items=[(0, 0, 1, 1), (1, 4, 1, 1)],
        pool=b"1.2AaX1.3Bb",
        text=b"a\0a\0b\0b\0",
    )
    for name, value in changes.items():
        setattr(f, name, value)
    return f.pack()


def _flags(flags):
    return [(0, 3, 3, 1, 4, 1, 5, 0, 5, 0, 5, 0, flags)]


@pytest.mark.parametrize(
    "data, message",
    [
        (b"QLUD\1\0", "file too small (6 bytes) to contain a UID file header"),
        (b"QLIX" + bytes(44), "bad magic bytes [81, 76, 73, 88]"),
        (_craft(sections=[(48, 100)] + [(48, 0)] * 4), "the entries section lies outside the file"),
        (_craft(sections=[(8, 0)] * 5), "the entries section lies outside the file"),
        (_craft(pool=b"1.2AaX1.3B"), "entries[1] has a text that lies outside the pool"),
        (_craft(pool=b"1.2AaX1.xBb"), "entries[1] holds no valid UID"),
        (_craft(pool=b"1.2AaX1.2Bb"), "entries are not sorted by UID at entries[1]"),
        (_craft(pool=b"1.3AaX1.2Bb"), "entries are not sorted by UID at entries[1]"),
        (_craft(entries=_flags(64), keywords=[0], items=[]), "entries[0] has unknown flags"),
        (
            _craft(entries=_flags(4), keywords=[0], items=[]),
            "entries[0] has the bits of an encoding without one",
        ),
        (_craft(keywords=[0, 2]), "keywords[1] names entry 2 of 2"),
        (_craft(keywords=[1, 0]), "keywords are not sorted at keywords[1]"),
        (_craft(keywords=[0, 0]), "keywords are not sorted at keywords[1]"),
        (_craft(items=[(2, 0, 1, 1)]), "items[0] names entry 2 of 2"),
        (_craft(items=[(0, 6, 1, 1)]), "items[0] lies outside the search text"),
        (_craft(items=[(0, 0, 2, 1)]), "items[0] does not end its texts with NUL"),
    ],
)
def test_corrupt_files_are_refused(tmp_path, data, message):
    path = tmp_path / "bad.qlud"
    path.write_bytes(data)
    if not message.startswith(("file too small", "bad magic")):
        message = f"UID file integrity check failed: {message}"
    with pytest.raises(OSError) as info:
        _companion.open_uids(path, "bad.qlud")
    assert str(info.value) == f"cannot open bad.qlud: {message}"


def test_an_entry_without_keyword_in_the_keyword_table(tmp_path):
    path = tmp_path / "bad.qlud"
    path.write_bytes(
        _craft(pool=b"1.2XaX1.3Bb", entries=[(0, 3, 3, 0, 4, 1, 5, 0, 5, 0, 5, 0, 0)], keywords=[0], items=[])
    )
    with pytest.raises(OSError, match=r"keywords\[0\] names an entry without a keyword$"):
        _companion.open_uids(path, "bad.qlud")


def test_another_version_is_a_value_error(tmp_path):
    path = tmp_path / "v2.qlud"
    path.write_bytes(_craft(version=2))
    with pytest.raises(ValueError, match=r"^cannot open v2\.qlud: unsupported UID file version 2$"):
        _companion.open_uids(path, "v2.qlud")


def test_every_truncation_opens_or_is_refused(tmp_path):
    data = uids_to_bytes(ACME)
    path = tmp_path / "t.qlud"
    opened = 0
    for n in range(len(data)):
        path.write_bytes(data[:n])
        try:
            _companion.open_uids(path, "t.qlud")
            opened += 1
        except OSError:
            pass
    path.write_bytes(data)
    assert len(_companion.open_uids(path, "t.qlud")) == 3
    assert opened <= 3  # only the padding after the last section may go


# ---- the command -----------------------------------------------------------------------------


def run(capsys, *argv):
    status = main(list(argv))
    out, err = capsys.readouterr()
    return status, out, err


def test_lookup_a_uid_and_its_keyword(capsys):
    status, out, _ = run(capsys, "lookup", "1.2.840.10008.1.2.4.50")
    assert status == 0
    assert out.splitlines()[:4] == [
        "1.2.840.10008.1.2.4.50 JPEGBaseline8Bit",
        "  name:     JPEG Baseline (Process 1)",
        "  type:     Transfer Syntax",
        "  encoding: explicit VR, little endian, encapsulated (compressed)",
    ]
    status, out, _ = run(capsys, "lookup", "ExplicitVRLittleEndian", "--json")
    assert status == 0 and json.loads(out)["uid"] == "1.2.840.10008.1.2.1"


@pytest.mark.parametrize(
    "text, status, message",
    [
        ("1.2.3.4", 1, "quillet: 1.2.3.4 is a UID, but not one registered in the bundled dictionary\n"),
        ("1.2.03", 2, "quillet: not a UID: '1.2.03' (the component '03' at index 4 starts with 0)\n"),
        ("1.2.a", 2, "quillet: not a UID: '1.2.a' ('a' at index 4: a UID holds only digits and dots)\n"),
        ("1.." + "1" * 70, 2, None),
    ],
)
def test_lookup_tells_bad_input_from_not_registered(capsys, text, status, message):
    got, out, err = run(capsys, "lookup", text)
    assert (got, out) == (status, "")
    assert err == message if message is not None else err.startswith("quillet: not a UID:")


def test_search_lists_uids_beside_tags(capsys):
    status, out, _ = run(capsys, "search", "CTImageStorage", "--limit", "2")
    assert status == 0
    assert out.splitlines() == [
        "1.2.840.10008.5.1.4.1.1.2 CTImageStorage: CT Image Storage  [SOP Class]",
        "1.2.840.10008.5.1.4.1.1.2.1 EnhancedCTImageStorage: Enhanced CT Image Storage  [SOP Class]",
    ]
    status, out, _ = run(capsys, "search", "PatientName", "--limit", "1", "--json")
    assert "group" in json.loads(out)  # the tag's entry, ranked as well as a UID's would be


def test_build_with_uids(tmp_path, capsys):
    tags = tmp_path / "tags.csv"
    tags.write_text("group,element,keyword\n0010,0010,PatientName\n")
    uids = tmp_path / "uids.csv"
    uids.write_text(
        "uid,keyword,name,type,encoding\n"
        "1.2.826.0.1.3680043.10.99.2,AcmeLE,Acme LE,Transfer Syntax,explicit little\n"
    )
    out = tmp_path / "acme.qlet"
    status, stdout, _ = run(capsys, "build", str(tags), "--uids", str(uids), "-o", str(out))
    assert status == 0 and stdout.endswith(f"and 1 UIDs to {tmp_path / 'acme.qlud'}\n")
    status, stdout, _ = run(capsys, "lookup", "AcmeLE", "--dict", str(out))
    assert status == 0 and "encoding: explicit VR, little endian" in stdout

    uids.write_text(
        "uid,keyword,type,encoding\n"
        "1.2.03,A,,\n"
        "1.2.3,B,Transfer Syntax,explicit little\n"
        "1.2.4,C,SOP Class,explicit little\n"
        "1.2.5,B,,\n"
    )
    status, _, err = run(capsys, "build", str(tags), "--uids", str(uids), "-o", str(tmp_path / "x.qlet"))
    assert status == 2
    assert err.splitlines() == [
        f"{uids}:2: uid: not a UID: the component '03' at index 4 starts with 0",
        f"{uids}:4: encoding: only a transfer syntax has one, not a 'SOP Class'",
        f"{uids}:5: keyword: the same as that of line 3",
        "quillet: 3 bad row(s); nothing written",
    ]
    assert not (tmp_path / "x.qlet").exists() and not (tmp_path / "x.qlud").exists()


@pytest.mark.parametrize(
    "text", ["1.2.3", "0", "1.0.2", "1.2.03", "1..2", "1.2.", "1.x", "1." + "2" * 63, "1." + "2" * 62]
)
def test_the_reader_and_the_writer_agree_on_what_a_uid_is(tmp_path, text):
    """A file whose UID the writer would refuse is refused by the reader too, and only then."""
    data = text.encode("ascii")
    path = tmp_path / "one.qlud"
    path.write_bytes(U.UidFile(entries=[(0, len(data), 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0)], pool=data).pack())
    from quillet._uid_text import problem

    if problem(text) is None:
        assert len(_companion.open_uids(path, "one.qlud")) == 1
    else:
        with pytest.raises(OSError, match=r"entries\[0\] holds no valid UID$"):
            _companion.open_uids(path, "one.qlud")


def test_no_descriptor_is_left_open(tmp_path):
    from conftest import open_fds

    good, bad = tmp_path / "good.qlud", tmp_path / "bad.qlud"
    good.write_bytes(uids_to_bytes(ACME))
    bad.write_bytes(uids_to_bytes(ACME)[:-60])
    before = open_fds()
    for _ in range(50):
        f = _companion.open_uids(good, "good.qlud")
        assert f.get("1.2.840.10008.1.2.1") is not None
        del f
        with pytest.raises(OSError):
            _companion.open_uids(bad, "bad.qlud")
    assert open_fds() == before


def test_written_beside_the_file_a_link_names(tmp_path):
    os.mkdir(tmp_path / "real")
    link = tmp_path / "link.qlet"
    write_dictionary(tmp_path / "real" / "d.qlet", [])
    link.symlink_to(tmp_path / "real" / "d.qlet")
    write_dictionary(link, [Entry(0x0010, 0x0010, keyword="PatientName")], uids=ACME[:1])
    assert (tmp_path / "real" / "d.qlud").is_file() and not (tmp_path / "link.qlud").exists()


def test_results_are_fresh_each_time():
    first = quillet.uid("1.2.840.10008.1.2.1")
    first["sources"].append("mine")  # type: ignore[index]
    first["encoding"]["deflated"] = True  # type: ignore[index]
    again = quillet.uid("1.2.840.10008.1.2.1")
    assert "mine" not in again["sources"] and again["encoding"]["deflated"] is False  # type: ignore[index]


def test_build_reads_uids_from_json(tmp_path, capsys):
    tags = tmp_path / "tags.csv"
    tags.write_text("group,element,keyword\n0010,0010,PatientName\n")
    uids = tmp_path / "uids.json"
    uids.write_text(
        '[{"uid": "1.2.826.0.1.3680043.10.99.3", "keyword": "AcmeRaw", "retired": "yes",\n'
        '  "sources": ["Acme"]},\n'
        ' {"uid": "1.2.826.0.1.3680043.10.99.4", "colour": "red"}]\n'
    )
    status, _, err = run(capsys, "build", str(tags), "--uids", str(uids), "-o", str(tmp_path / "a.qlet"))
    assert (status, err.splitlines()[0]) == (2, f"{uids}:3: unknown field(s): 'colour'")
    uids.write_text('[{"uid": "1.2.826.0.1.3680043.10.99.3", "retired": "yes", "sources": ["Acme"]}]')
    assert run(capsys, "build", str(tags), "--uids", str(uids), "-o", str(tmp_path / "a.qlet"))[0] == 0
    got = quillet.Dictionary(tmp_path / "a.qlet").uid("1.2.826.0.1.3680043.10.99.3")
    assert got is not None and (got["retired"], got["sources"]) == (True, ["Acme"])
