"""Lookups: argument conversion, the search, the result dict, and faults of corrupt files."""

from __future__ import annotations

import pytest

import quillet
from quillet import _layout as L
from quillet._unicode import hash_creator
from quillet.writer import Entry, _to_bytes

from conftest import example_body


@pytest.fixture
def opened(write):
    def _opened(data):
        if isinstance(data, list):
            # The reader must also cope with tags that the writer refuses as impossible in DICOM.
            data = _to_bytes(data, dicom_rules=False)
        return quillet.open(write(data))

    return _opened


def internal_error(call):
    """Runs `call`, which must fail with the internal-error exception; returns it."""
    with pytest.raises(BaseException) as e:
        call()
    exc = e.value
    assert type(exc).__bases__ == (BaseException,)
    assert not isinstance(exc, Exception)
    return exc


# ---- the worked example and the result's shape -----------------------------------------------


def test_worked_example(opened):
    h = opened(example_body())
    r = h.lookup(0x0010, 0x0010)
    expected = {
        "group": 16,
        "element": 16,
        "creator": "",
        "keyword": "Kw",
        "name": "Nm",
        "vr": "PN",
        "description": "Ds",
        "retired": False,
        "block_offset": False,
        "sources": ["A", "B"],
    }
    assert r == expected and list(r) == list(expected)  # the keys in this order
    assert r["retired"] is False and r["block_offset"] is False
    assert h.lookup(0x0010, 0x0010, None) == r == h.lookup(0x0010, 0x0010, creator=None)
    assert h.lookup(0x0010, 0x0010) is not r  # a new dict each time
    r["keyword"] = "changed"
    assert h.lookup(0x0010, 0x0010)["keyword"] == "Kw"


def test_flags_are_the_bool_singletons(opened):
    h = opened([Entry(1, 1, retired=True, block_offset=True)])
    r = h.lookup(1, 1)
    assert r["retired"] is True and r["block_offset"] is True


def test_numbers_are_unsigned(opened):
    h = opened([Entry(0xFFFE, 0xE000)])
    r = h.lookup(0xFFFE, 0xE000)
    assert (r["group"], r["element"]) == (65534, 57344)


@pytest.mark.parametrize("code", range(35))
def test_every_vr_code(opened, code):
    body = example_body()
    body.records[0].vr = code
    assert opened(body).lookup(0x10, 0x10)["vr"] == L.VR_TABLE[2 * code : 2 * code + 2]


@pytest.mark.parametrize(
    "text, items",
    [
        (b"A|B", ["A", "B"]),
        (b"A||B", ["A", "B"]),
        (b"|A|", ["A"]),
        (b"", []),
        (b"|||", []),
        (b" A | B ", [" A ", " B "]),
        (b"one", ["one"]),
        (b"a|b|c|d|e|f", list("abcdef")),  # more pieces than the first allocation holds
        ("é|ß".encode(), ["é", "ß"]),
        (b"A|\xff", []),  # invalid UTF-8 anywhere empties the whole list
    ],
)
def test_sources_split(opened, text, items):
    body = example_body()
    body.strings = b"KwNmDs" + text
    body.records[0].sources_len = len(text)
    assert opened(body).lookup(0x10, 0x10)["sources"] == items


@pytest.mark.parametrize(
    "raw",
    [b"\xff", b"\xc0\xaf", b"\xe0\x80\xaf", b"\xed\xa0\x80", b"\xf4\x90\x80\x80", b"Kw\xc3", b"\x80"],
    ids=["ff", "overlong2", "overlong3", "surrogate", "above-max", "truncated", "continuation"],
)
def test_invalid_utf8_reads_as_empty(opened, raw):
    body = example_body()
    body.strings = raw + b"NmDsA|B"
    rec = body.records[0]
    rec.keyword_len = len(raw)
    rec.name_off, rec.description_off, rec.sources_off = len(raw), len(raw) + 2, len(raw) + 4
    r = opened(body).lookup(0x10, 0x10)
    assert r["keyword"] == "" and r["name"] == "Nm" and r["sources"] == ["A", "B"]


def test_valid_non_ascii_texts(opened):
    h = opened([Entry(9, 9, keyword="Größe", name="\U0001f600 ok", description="ü" * 300, sources=["Ω"])])
    r = h.lookup(9, 9)
    assert (r["keyword"], r["name"], r["description"], r["sources"]) == (
        "Größe",
        "\U0001f600 ok",
        "ü" * 300,
        ["Ω"],
    )


def test_absent_creator_ignores_its_offset(opened):
    body = example_body()
    body.records[0].creator_off = 0xFFFF_FFFF
    assert opened(body).lookup(0x10, 0x10)["creator"] == ""


def test_shared_pool_bytes(opened):
    body = example_body()
    body.records[0].name_off = 0  # keyword and name use the same bytes
    assert opened(body).lookup(0x10, 0x10)["name"] == "Kw"


# ---- texts outside the pool: internal faults -------------------------------------------------


@pytest.mark.parametrize(
    "fields, text",
    [
        (dict(keyword_off=9, keyword_len=0), None),  # empty, right at the end: fine
        (dict(keyword_off=10, keyword_len=0), "range start index 10 out of range for slice of length 9"),
        (dict(keyword_off=8, keyword_len=2), "range end index 10 out of range for slice of length 9"),
        (
            dict(name_off=0xFFFF_FFFF, name_len=0xFFFF),
            "range start index 4294967295 out of range for slice of length 9",
        ),
        (
            dict(description_off=1, description_len=0xFFFF_FFFF),
            "range end index 4294967296 out of range for slice of length 9",
        ),
        (dict(sources_off=20), "range start index 20 out of range for slice of length 9"),
        (dict(creator_off=50, creator_len=1), "range start index 50 out of range for slice of length 9"),
        # Several broken texts: the first in key order is reported.
        (
            dict(creator_off=30, creator_len=1, keyword_off=40),
            "range start index 30 out of range for slice of length 9",
        ),
        (dict(sources_off=30, name_off=40), "range start index 40 out of range for slice of length 9"),
    ],
)
def test_texts_beyond_the_pool(opened, capfd, fields, text):
    body = example_body()
    for k, v in fields.items():
        setattr(body.records[0], k, v)
    h = opened(body)
    if text is None:
        assert h.lookup(0x10, 0x10)["keyword"] == ""
        return
    exc = internal_error(lambda: h.lookup(0x10, 0x10))
    assert exc.args == (text,)
    assert text in capfd.readouterr().err
    assert len(h) == 1 and h.lookup(0x11, 0x11) is None  # the handle still works


def test_record_number_out_of_range(opened, capfd):
    body = example_body()
    body.index.append(L.RawIndexEntry(0x20, 0x20, record=1))
    h = opened(body)
    exc = internal_error(lambda: h.lookup(0x20, 0x20))
    assert exc.args == ("index out of bounds: the len is 1 but the index is 1",)
    assert "index out of bounds: the len is 1 but the index is 1" in capfd.readouterr().err
    assert h.lookup(0x10, 0x10)["keyword"] == "Kw"
    # The class is made once and kept.
    assert type(internal_error(lambda: h.lookup(0x20, 0x20))) is type(exc)
    assert type(exc).__name__ not in dir(quillet._quillet)


# ---- the search ------------------------------------------------------------------------------


def test_empty_index(opened):
    h = opened([])
    assert len(h) == 0 and not h
    for key in [(0, 0), (0x10, 0x10), (0xFFFF, 0xFFFF)]:
        assert h.lookup(*key) is None and h.lookup(*key, "X") is None


@pytest.mark.parametrize("n", [1, 2, 3, 7, 8, 9, 100, 1000, 5000])
def test_every_key_found_and_neighbours_missed(opened, n):
    # Even groups and elements only, so that every odd neighbour is missing.
    entries = [Entry(0x0008 + 2 * (i // 50), 2 * (i % 50) + 2, keyword=f"k{i}") for i in range(n)]
    h = opened(entries)
    assert len(h) == n and repr(h) == f"<quillet.Dict len={n}>"
    for i, e in enumerate(entries):
        assert h.lookup(e.group, e.element)["keyword"] == f"k{i}"
        for g, el in [
            (e.group, e.element - 1),
            (e.group, e.element + 1),
            (e.group - 1, e.element),
            (e.group + 1, e.element),
        ]:
            assert h.lookup(g, el) is None
    assert h.lookup(0, 0) is None and h.lookup(0xFFFF, 0xFFFF) is None


def test_last_of_equal_keys_wins(opened):
    body = example_body()
    body.records = [L.RawRecord(group=0x10, element=0x10, keyword_len=1, keyword_off=i) for i in range(3)]
    body.strings = b"abc"
    body.index = [L.RawIndexEntry(0x10, 0x10, record=i) for i in range(3)]
    assert opened(body).lookup(0x10, 0x10)["keyword"] == "c"


# ---- creators --------------------------------------------------------------------------------

PRIVATE = [
    Entry(0x0029, 0x10, creator="ACME CORP", keyword="AcmeTen"),
    Entry(0x0029, 0x10, creator="STRASSE", keyword="Street"),
    Entry(0x0029, 0x10, creator="ACME\u200bCORP", keyword="ZeroWidth"),
    Entry(0x0029, 0x10, keyword="NoCreator"),
    Entry(0x0029, 0x1010, creator="ACME CORP", keyword="WholeElement"),
]


@pytest.mark.parametrize(
    "creator, keyword",
    [
        ("acme  corp", "AcmeTen"),
        (" ACME CORP ", "AcmeTen"),
        ("Acme\tCorp", "AcmeTen"),
        ("acme\u00a0corp", "AcmeTen"),
        ("acme\u3000\u2028corp\n", "AcmeTen"),
        ("ACME\u200bCORP", "ZeroWidth"),
        ("acme\u200bcorp", "ZeroWidth"),
        ("ACME\x1cCORP", None),  # U+001C is no white space here
        ("straße", "Street"),
        ("STRASSE", "Street"),
        (None, "NoCreator"),
        ("", None),
        (" \t ", None),
        ("ACME", None),
    ],
)
def test_private_lookup_by_creator(opened, creator, keyword):
    r = opened(PRIVATE).lookup(0x0029, 0x10, creator)
    assert (r["keyword"] if r else None) == keyword


def test_block_byte_is_part_of_the_element(opened):
    h = opened(PRIVATE)
    assert h.lookup(0x0029, 0x1010, "acme corp")["keyword"] == "WholeElement"
    assert h.lookup(0x0029, 0x1110, "acme corp") is None


def test_public_tag_with_any_creator_is_missed(opened):
    h = opened([Entry(0x10, 0x10)])
    for creator in ["", " ", "X", "ACME"]:
        assert h.lookup(0x10, 0x10, creator) is None


def test_private_entry_with_creator_missed_without_one(opened):
    h = opened([Entry(0x29, 0x10, creator="ACME")])
    assert h.lookup(0x29, 0x10) is None
    r = h.lookup(0x29, 0x10, "acme")
    assert r["creator"] == "ACME"  # the stored text, not the one asked with


def test_empty_creator_hashes_to_the_offset_basis(opened):
    body = example_body()
    body.index = [L.RawIndexEntry(0x10, 0x10, creator_hash=0x811C9DC5)]
    h = opened(body)
    assert hash_creator("") == hash_creator("  \t") == 0x811C9DC5
    assert h.lookup(0x10, 0x10, "") is not None and h.lookup(0x10, 0x10, "\u2003") is not None
    assert h.lookup(0x10, 0x10) is None


# "BEWPFYTS" and "YLXRESED" share a hash; "II7AVYR" hashes to 0, like every public tag.
COLLIDING = L.Body(
    index=[
        L.RawIndexEntry(0x10, 0x10, 0, 4),
        L.RawIndexEntry(0x29, 0x10, hash_creator("BEWPFYTS"), 0),
        L.RawIndexEntry(0x29, 0x10, hash_creator("BEWPFYTS"), 1),
        L.RawIndexEntry(0x29, 0x11, hash_creator("BEWPFYTS"), 2),
        L.RawIndexEntry(0x29, 0x12, hash_creator("BEWPFYTS"), 3),
    ],
    records=[
        L.RawRecord(0x29, 0x10, keyword_off=0, keyword_len=1, creator_off=0, creator_len=8),
        L.RawRecord(0x29, 0x10, keyword_off=1, keyword_len=1, creator_off=8, creator_len=8),
        L.RawRecord(0x29, 0x11, keyword_off=2, keyword_len=1),  # stores no creator
        L.RawRecord(0x29, 0x12, creator_off=17, creator_len=8),  # its creator lies beyond the pool
        L.RawRecord(0x10, 0x10, keyword_off=3, keyword_len=1),
    ],
    strings=b"BEWPFYTSYLXRESED",
)
BEYOND_POOL = "range start index 17 out of range for slice of length 16"


@pytest.mark.parametrize(
    "key, keyword",
    [
        ((0x29, 0x10, "YLXRESED"), "E"),
        ((0x29, 0x10, " bewpfyts"), "B"),  # the earlier of two equal keys, as the later one differs
        ((0x29, 0x11, "YLXRESED"), "W"),  # no stored creator: the hash decides, as it always did
        ((0x29, 0x11, "BEWPFYTS"), "W"),
        ((0x10, 0x10, "II7AVYR"), None),
        ((0x10, 0x10), "P"),
        ((0x29, 0x12, "BEWPFYTS"), BEYOND_POOL),  # the same internal error as converting it
    ],
)
def test_creator_is_compared_not_only_hashed(opened, key, keyword):
    h = opened(COLLIDING)
    if keyword == BEYOND_POOL:
        assert internal_error(lambda: h.lookup(*key)).args == (keyword,)
        return
    r = h.lookup(*key)
    assert (r["keyword"] if r else None) == keyword


@pytest.mark.parametrize("key", [(0x29, 0x10, "ACME 7ZNFEXT8"), (0x10, 0x10, "XKHYJV20Y")])
def test_bundled_dictionary_refuses_crafted_creators(key):
    # The first hashes like SIEMENS CSA HEADER, the second to 0.
    with quillet.open_default() as d:
        assert d.lookup(*key) is None


def test_creator_str_subclass(opened):
    class Name(str):
        pass

    assert opened(PRIVATE).lookup(0x29, 0x10, Name("acme corp"))["keyword"] == "AcmeTen"


# ---- argument conversion ---------------------------------------------------------------------


class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


@pytest.mark.parametrize(
    "args, exc, text, note",
    [
        ((65536, 0), OverflowError, "out of range integral type conversion attempted", "group"),
        ((-1, 0), OverflowError, "out of range integral type conversion attempted", "group"),
        ((0, 65536), OverflowError, "out of range integral type conversion attempted", "element"),
        ((0, -1), OverflowError, "out of range integral type conversion attempted", "element"),
        ((2**70, 0), OverflowError, "Python int too large to convert to C long", "group"),
        ((1.0, 0), TypeError, "'float' object cannot be interpreted as an integer", "group"),
        ((0, "16"), TypeError, "'str' object cannot be interpreted as an integer", "element"),
        ((1.5, 2**70, b"x"), TypeError, "'float' object cannot be interpreted as an integer", "group"),
        ((0, 0, b"ACME"), TypeError, "'bytes' object is not an instance of 'str'", "creator"),
        ((0, 0, 7), TypeError, "'int' object is not an instance of 'str'", "creator"),
        ((0, 0, Index), TypeError, "'type' object is not an instance of 'str'", "creator"),
        ((Index(70000), 0), OverflowError, "out of range integral type conversion attempted", "group"),
    ],
)
def test_conversion_errors(opened, args, exc, text, note):
    h = opened(PRIVATE)
    with pytest.raises(exc) as e:
        h.lookup(*args)
    assert type(e.value) is exc and str(e.value) == text
    assert e.value.__notes__ == [f"while processing '{note}'"]


def test_lone_surrogate_creator(opened):
    with pytest.raises(UnicodeEncodeError) as e:
        opened(PRIVATE).lookup(0x29, 0x10, "\ud800")
    assert e.value.__notes__ == ["while processing 'creator'"]


def test_class_creator_qualname(opened):
    class Outer:
        class Inner:
            pass

    with pytest.raises(TypeError) as e:
        opened(PRIVATE).lookup(0, 0, Outer.Inner())
    assert (
        str(e.value)
        == "'test_class_creator_qualname.<locals>.Outer.Inner' object is not an instance of 'str'"
    )


@pytest.mark.parametrize(
    "group, element", [(0, 0), (65535, 65535), (True, False), (Index(0x29), Index(0x10))]
)
def test_accepted_integers(opened, group, element):
    h = opened(
        [
            Entry(0, 0, keyword="zero"),
            Entry(1, 0, keyword="one"),
            Entry(0xFFFF, 0xFFFF, keyword="max"),
            Entry(0x29, 0x10, keyword="idx"),
        ]
    )
    assert h.lookup(group, element) is not None


def test_failed_lookup_leaves_handle_usable(opened):
    h = opened(PRIVATE)
    for bad in [(-1, 0), (0, 0, b"x"), (1.0, 1)]:
        with pytest.raises((OverflowError, TypeError)):
            h.lookup(*bad)
    assert h.lookup(0x29, 0x10)["keyword"] == "NoCreator"


# ---- lookup_element: the tag as it stands in a data set ---------------------------------------

IN_DATA_SETS = [
    Entry(0x0029, 0x10, creator="ACME", keyword="Offset", block_offset=True),
    Entry(0x0029, 0x1010, creator="ACME", keyword="Whole"),
    Entry(0x0029, 0x1011, creator="ACME", keyword="WholeOnly"),
    Entry(0x0021, 0x3F, creator="ACME", keyword="FixedLow"),  # not an offset: never a data element
    Entry(0x0021, 0x103F, creator="ACME", keyword="Text"),
    Entry(0x0021, 0x40, creator="ACME", keyword="FixedLowAlone"),
    Entry(0x0010, 0x1010, keyword="PatientAge"),
    Entry(0x0010, 0x10, keyword="PatientName"),
    Entry(0x0009, 0x10, keyword="CreatorElement"),
]


@pytest.mark.parametrize(
    "args, keyword",
    [
        ((0x29, 0x1010, "acme"), "Whole"),  # the entry of this very element before the block's
        ((0x29, 0x2010, "ACME"), "Offset"),  # in any other block, the offset
        ((0x29, 0x1011, "ACME"), "WholeOnly"),
        ((0x21, 0x103F, "ACME"), "Text"),
        ((0x21, 0x1040, "ACME"), None),
        ((0x21, 0x3F, "ACME"), None),  # below 0x0100 a private group holds no data element
        ((0x29, 0x1010, "OTHER"), None),
        ((0x29, 0x10, "ACME"), None),  # the creator element: no offset entry is its
        ((0x10, 0x1010), "PatientAge"),  # even groups are public: never cut to the low byte
        ((0x10, 0x10), "PatientName"),
        ((0x09, 0x10), None),
        ((0x09, 0x0FFF), None),
    ],
)
def test_lookup_element(opened, args, keyword):
    h = opened(IN_DATA_SETS)
    r = quillet.lookup_element(h, *args)
    assert (r["keyword"] if r else None) == keyword
    if r is not None:  # returned as stored: the element is the entry's own, not the one asked for
        assert r == h.lookup(r["group"], r["element"], *args[2:])


@pytest.mark.parametrize(
    "args, exc, note",
    [
        ((0x10029, 0x1010, "ACME"), OverflowError, "group"),
        ((0x29, 0x11010, "ACME"), OverflowError, "element"),
        ((1.0, 0x1010, "ACME"), TypeError, "group"),
        ((0x29, 0x1010, b"ACME"), TypeError, "creator"),
    ],
)
def test_lookup_element_errors_are_the_lookups(opened, args, exc, note):
    h = opened(IN_DATA_SETS)
    with pytest.raises(exc) as raised:
        h.lookup(*args)
    with pytest.raises(exc) as got:
        quillet.lookup_element(h, *args)
    assert str(got.value) == str(raised.value) and got.value.__notes__ == [f"while processing '{note}'"]
