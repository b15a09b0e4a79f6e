"""quillet.writer: input checks, atomic writes, the bytes it lays out, and round trips."""

import dataclasses
import os
import random
import struct

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import quillet
from quillet import _layout, writer
from quillet._unicode import hash_creator, normalize_creator
from quillet.writer import Entry, to_bytes, write_dictionary

GOOD = Entry(0x0010, 0x0010, keyword="PatientName", name="Patient's Name", vr="PN")
ACME = Entry(0x0029, 0x10, creator="ACME")
# Found by search: FNV-1a of "II7AVYR" is 0, and the two 8-letter words share a hash.
HASH_ZERO = "ii7avyr"
COLLIDING = ("bewpfyts", "YLXRESED")

# The one-entry file of 124 bytes, field by field.
WORKED = (
    b"QLET"
    + struct.pack("<H", 2)
    + bytes(26)
    + struct.pack("<IIHH", 0, 0, 0x10, 0x10)
    + struct.pack("<7I6H4B", 0, 2, 0, 4, 2, 6, 3, 0x10, 0x10, 2, 2, 0, 0, 18, 0, 0, 0)
    + b"KwNmDsA|B"
    + bytes(3)
    + struct.pack("<iIiIiI", -68, 1, -64, 1, -28, 9)
)
WORKED_ENTRY = Entry(0x10, 0x10, keyword="Kw", name="Nm", vr="PN", description="Ds", sources=("A", "B"))


def expected(entry):
    """What a lookup returns for `entry`: its fields but the VM, which only the companion holds."""
    fields = dataclasses.asdict(entry)
    del fields["vm"]
    return fields | {"sources": list(entry.sources)}


def bad(**changes):
    return [GOOD, dataclasses.replace(ACME, **changes)]


@pytest.mark.parametrize(
    "entries, message",
    [
        (bad(vr="XX"), "entry 1 (0029,0010 'ACME'): vr: 'XX' is not one of AE"),
        (bad(vr=None), "vr: None"),
        (bad(keyword="k" * 65536), "keyword: is 65536 bytes"),
        (bad(name="é" * 32768), "name: is 65536 bytes"),
        (bad(creator="C" * 65536), "creator: is 65536 bytes"),
        (bad(keyword=b"Kw"), "keyword: must be a str, not bytes"),
        (bad(description="\udc80"), "description: cannot be encoded as UTF-8"),
        (bad(creator="AC\ud800"), "creator: cannot be encoded"),
        (bad(creator=" \t\u3000"), "creator: is only white space"),
        (bad(creator=HASH_ZERO), "creator: hashes to 0"),
        (bad(sources=("A|B",)), "sources[0]: 'A|B' contains '|'"),
        (bad(sources=("A", "")), "sources[1]: is empty"),
        (bad(sources=("A", 5)), "sources[1]: must be a str"),
        (bad(sources="AB"), "sources: must be a sequence of texts, not str"),
        (bad(group=0x10000), "entry 1 (65536,0010 'ACME'): group: must be an int"),
        (bad(group=-1), "group: must be an int"),
        (bad(element=True), "element: must be an int from 0 to 65535, not True"),
        (bad(group=41.0), "group: must be an int"),
        (bad(retired=1), "retired: must be a bool"),
        ([GOOD, {"group": 16}], "entry 1: entry: must be a quillet.writer.Entry, not dict"),
        (
            [ACME, GOOD, dataclasses.replace(ACME, creator=" acme ")],
            "entry 2 (0029,0010 ' acme '): same tag and creator as entry 0 (0029,0010 'ACME')",
        ),
        ([GOOD, dataclasses.replace(GOOD, keyword="Other")], "same tag and creator as entry 0"),
        (
            [Entry(9, 1, creator=COLLIDING[0]), Entry(11, 1, creator=COLLIDING[1])],
            "entry 1 (000B,0001 'YLXRESED'): creator: folds to 'YLXRESED', which hashes to 0x831C47DF "
            "like 'BEWPFYTS' of entry 0",
        ),
    ],
)
def test_bad_input_is_refused_and_nothing_written(tmp_path, entries, message):
    path = tmp_path / "d.qlet"
    path.write_bytes(b"old")
    with pytest.raises(ValueError) as info:
        write_dictionary(path, entries)
    assert message in str(info.value)
    assert path.read_bytes() == b"old" and os.listdir(tmp_path) == ["d.qlet"]


def test_pool_that_offsets_cannot_reach_is_refused(monkeypatch):
    # Room for GOOD's 25 bytes of texts but not for ACME's 4 more.
    monkeypatch.setattr(writer, "_MAX_ROOT_POS", 2 * 56 + 3 + 28)
    to_bytes([GOOD, Entry(0x29, 0x10, keyword="Kw")])
    with pytest.raises(
        ValueError,
        match=r"entry 1 \(0029,0010 'ACME'\): creator: the string "
        r"pool would exceed 28 bytes",
    ):
        to_bytes([GOOD, ACME])


@pytest.mark.parametrize(
    "step, error", [("fsync", OSError(28, "No space")), ("replace", KeyboardInterrupt())]
)
def test_failed_write_keeps_old_file(tmp_path, monkeypatch, step, error):
    path = tmp_path / "d.qlet"
    path.write_bytes(b"old")

    def fail(*args):
        raise error

    monkeypatch.setattr(os, step, fail)
    with pytest.raises(type(error)):
        write_dictionary(path, [GOOD])
    monkeypatch.undo()
    assert path.read_bytes() == b"old" and os.listdir(tmp_path) == ["d.qlet"]


def test_write_replaces_file_with_usual_permissions(tmp_path):
    path = tmp_path / "d.qlet"
    path.write_bytes(b"old")
    write_dictionary(path, [GOOD])
    assert path.read_bytes() == to_bytes([GOOD]) and os.listdir(tmp_path) == ["d.qlet"]
    if os.name == "posix":
        umask = os.umask(0o22)
        os.umask(umask)
        assert path.stat().st_mode & 0o777 == 0o666 & ~umask


def test_worked_example_bytes():
    body = _layout.Body(
        index=[_layout.RawIndexEntry(0x10, 0x10)],
        records=[
            _layout.RawRecord(
                group=0x10,
                element=0x10,
                keyword_len=2,
                name_off=2,
                name_len=2,
                description_off=4,
                description_len=2,
                sources_off=6,
                sources_len=3,
                vr=18,
            )
        ],
        strings=b"KwNmDsA|B",
    )
    assert len(WORKED) == 124
    assert _layout.pack_file(body) == WORKED == to_bytes([WORKED_ENTRY])


@pytest.mark.parametrize(
    "entries, body",
    [
        ([], struct.pack("<iIiIiI", 0, 0, -8, 0, -16, 0)),
        # No texts at all: the empty pool still points just past the records.
        (
            [Entry(1, 2, vr="??")],
            struct.pack("<IIHH", 0, 0, 1, 2)
            + struct.pack("<7I6H4B", *[0] * 7, 1, 2, 0, 0, 0, 0, 34, 0, 0, 0)
            + struct.pack("<iIiIiI", -56, 1, -52, 1, -16, 0),
        ),
    ],
)
def test_small_bodies(entries, body):
    assert to_bytes(entries) == _layout.header() + body


def test_index_sorted_and_texts_shared():
    entries = [
        Entry(0x0029, 0x10, creator=c, keyword="Dose", name="Dose", description="mGy", sources=("ACME",))
        for c in ("ACME", "Beta", "gamma", "Ωmega")
    ]
    entries += [
        Entry(g, e, keyword=f"K{g}.{e}", description="mGy")
        for g in (0x0028, 0x0029, 0xFFFE)
        for e in (0, 0x10, 0xE000)
    ]
    data = to_bytes(entries)
    shuffled = entries[:]
    random.Random(7).shuffle(shuffled)
    assert to_bytes(shuffled) == data and len(data) % 4 == 0

    body, n = data[32:], len(entries)
    root = len(body) - 24
    refs = [struct.unpack_from("<iI", body, root + 8 * i) for i in range(3)]
    assert [root + 8 * i + off for i, (off, _) in enumerate(refs)] == [0, 12 * n, 56 * n]
    texts = {t for e in entries for t in (e.keyword, e.name, e.creator, e.description)}
    assert refs[2][1] == sum(len(t.encode()) for t in texts | {"ACME"})  # each text stored once
    index = [struct.unpack_from("<IIHH", body, 12 * i) for i in range(n)]
    assert [(g, e, h) for h, _, g, e in index] == sorted(
        (e.group, e.element, hash_creator(e.creator) if e.creator else 0) for e in entries
    )
    for i, (_, record, group, element) in enumerate(index):
        assert record == i and struct.unpack_from("<HH", body, 12 * n + 44 * i + 28) == (group, element)


# Round trips through the reader.


def test_worked_example_reads(tmp_path):
    path = tmp_path / "w.qlet"
    path.write_bytes(WORKED)
    d = quillet.open(path)
    assert len(d) == 1 and d.lookup(0x10, 0x10) == expected(WORKED_ENTRY)


def test_empty_dictionary_reads(tmp_path):
    write_dictionary(tmp_path / "e.qlet", [])
    d = quillet.open(tmp_path / "e.qlet")
    assert len(d) == 0 and not d and d.lookup(0x10, 0x10) is None


@pytest.mark.parametrize(
    "stored, asked, found",
    [
        *[("acme  corp", a, True) for a in ("ACME CORP", " ACME CORP ", "Acme\tCorp", "acme\xa0corp")],
        *[("acme  corp", a, False) for a in ("ACME\u200bCORP", None, "", " \t")],
        ("straße", "STRASSE", True),
        ("ﬃ lab", "FFI LAB", True),
    ],
)
def test_reader_folds_creators_like_writer(tmp_path, stored, asked, found):
    entry = Entry(0x0029, 0x10, creator=stored, keyword="Dose")
    write_dictionary(tmp_path / "c.qlet", [entry])
    got = quillet.open(tmp_path / "c.qlet").lookup(0x0029, 0x10, asked)
    assert got == (expected(entry) if found else None)


@pytest.mark.parametrize("field", ["keyword", "name", "creator", "description", "sources"])
def test_invalid_utf8_reads_as_empty(tmp_path, field):
    # Pool: "Kw" "Nm" "ACME" "Ds" "A|B", then an encoded surrogate, which strict UTF-8 refuses.
    pool = b"KwNmACMEDsA|B\xed\xa0\x80"
    refs = {
        "keyword": (0, 2),
        "name": (2, 2),
        "creator": (4, 4),
        "description": (8, 2),
        "sources": (10, 3),
    } | {field: (13, 3)}
    record = _layout.RawRecord(
        group=0x29,
        element=0x10,
        vr=18,
        **{f"{f}_{part}": v for f, ref in refs.items() for part, v in zip(("off", "len"), ref)},
    )
    body = _layout.Body([_layout.RawIndexEntry(0x29, 0x10, hash_creator("ACME"))], [record], pool)
    (tmp_path / "u.qlet").write_bytes(_layout.pack_file(body))
    want = expected(
        Entry(
            0x29, 0x10, creator="ACME", keyword="Kw", name="Nm", vr="PN", description="Ds", sources=("A", "B")
        )
    )
    want[field] = [] if field == "sources" else ""
    assert quillet.open(tmp_path / "u.qlet").lookup(0x29, 0x10, "ACME") == want


_text = st.text(st.characters(exclude_categories=("Cs",)), max_size=6)
_creator = st.one_of(
    st.sampled_from(["", "ACME", "acme 1.0", "straße", "Ünï  Cörp"]),
    _text.filter(lambda c: normalize_creator(c) != "" and hash_creator(c) != 0),
)
_entries = st.lists(
    st.builds(
        Entry,
        st.sampled_from([0, 0x29, 0xFFFF]) | st.integers(0, 0xFFFF),
        st.sampled_from([0, 0x10]) | st.integers(0, 0xFFFF),
        creator=_creator,
        keyword=_text,
        name=_text,
        description=_text,
        vr=st.sampled_from(list(_layout.VR_CODES)),
        retired=st.booleans(),
        block_offset=st.booleans(),
        sources=st.lists(
            st.text(
                st.characters(exclude_categories=("Cs",), exclude_characters="|"), min_size=1, max_size=4
            ),
            max_size=3,
        ).map(tuple),
    ),
    max_size=25,
    unique_by=lambda e: (e.group, e.element, hash_creator(e.creator) if e.creator else 0),
)


@settings(max_examples=60, deadline=None)
@given(entries=_entries)
def test_round_trip(tmp_path_factory, entries):
    path = tmp_path_factory.mktemp("rt") / "d.qlet"
    write_dictionary(path, entries)
    d = quillet.open(path)
    assert len(d) == len(entries)
    for e in entries:
        assert d.lookup(e.group, e.element, e.creator or None) == expected(e)
