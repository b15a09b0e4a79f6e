"""The companion file: keyword -> tag, entries by keyword, search, VM, and refusing a bad pair."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import textwrap

import pytest

import quillet
import quillet.companion
from quillet import _companion_layout as C
from quillet import writer
from quillet.cli import main
from quillet.writer import Entry, companion_path, to_files, write_dictionary

ENTRIES = [
    Entry(0x0010, 0x0010, keyword="PatientName", name="Patient's Name", vr="PN", vm="1"),
    Entry(0x0010, 0x0020, keyword="PatientID", name="Patient ID", vr="LO", vm="1"),
    Entry(0x6002, 0x0010, keyword="OverlayRows", name="Overlay Rows", vr="US", vm="1"),
    Entry(0x6000, 0x0010, keyword="OverlayRows", name="Overlay Rows", vr="US", vm="1"),
    Entry(0x0008, 0x0001, name="Length to End", vr="US or SS or OW", vm="1-n"),
    Entry(0x0029, 0x10, creator="ACME 1.0", keyword="PatientName", name="Name", block_offset=True, vm="2-2n"),
    Entry(
        0x0019,
        0x11,
        creator="acme  1.0",
        keyword="Dose",
        name="Dose at 10 \u212a",
        vr="??",
        block_offset=True,
    ),
    Entry(0x0029, 0x10, creator="Beta", keyword="Dose", name="Straße Dose", block_offset=True),
]


@pytest.fixture(scope="module")
def pair(tmp_path_factory):
    path = tmp_path_factory.mktemp("pair") / "d.qlet"
    write_dictionary(path, ENTRIES, companion=True)
    return quillet.open_companion(companion_path(path))


def key(e):
    return (e["group"], e["element"], e["creator"])


@pytest.mark.parametrize(
    "keyword, tag",
    [
        ("PatientName", (0x0010, 0x0010)),  # public first, although a private entry shares it
        ("OverlayRows", (0x6000, 0x0010)),  # the lowest group of a repeating group
        ("patientname", None),  # keywords are case-sensitive
        ("PatientNam", None),
        ("PatientNameX", None),
        ("Dose", None),  # private entries only
        ("", None),  # an entry without keyword is not found by its empty keyword
    ],
)
def test_tag_for_keyword(pair, keyword, tag):
    assert pair.tag_for_keyword(keyword) == tag


@pytest.mark.parametrize(
    "keyword, keys",
    [
        ("PatientName", [(0x10, 0x10, ""), (0x29, 0x10, "ACME 1.0")]),
        ("OverlayRows", [(0x6000, 0x10, ""), (0x6002, 0x10, "")]),
        ("Dose", [(0x19, 0x11, "acme  1.0"), (0x29, 0x10, "Beta")]),
        ("dose", []),
        ("", []),
    ],
)
def test_entries_for_keyword_are_the_lookups(pair, keyword, keys):
    found = pair.entries_for_keyword(keyword)
    assert [key(e) for e in found] == keys
    assert found == [pair.dict.lookup(g, e, c or None) for g, e, c in keys]


@pytest.mark.parametrize(
    "args, vm",
    [
        ((0x10, 0x10), "1"),
        ((0x08, 0x01), "1-n"),
        ((0x29, 0x10, "acme   1.0"), "2-2n"),  # the creator folded, as lookups fold it
        ((0x29, 0x10, "Beta"), None),  # an entry without VM
        ((0x29, 0x10), None),  # the private entry is not found without its creator
        ((0x10, 0x10, "ACME 1.0"), None),
        ((0x10, 0x11), None),
    ],
)
def test_vm_answers_for_the_entry_lookup_finds(pair, args, vm):
    assert pair.vm(*args) == vm


PUBLIC_ORDER = [(0x8, 0x1, ""), (0x10, 0x10, ""), (0x10, 0x20, ""), (0x6000, 0x10, ""), (0x6002, 0x10, "")]


@pytest.mark.parametrize(
    "args, vrs",
    [
        ((0x10, 0x10), ("PN",)),  # one VR: the record's own
        ((0x8, 0x1), ("US", "SS", "OW")),  # choices, in the order given
        ((0x19, 0x11, "ACME 1.0"), ()),  # "??" without choices: none, as for items
        ((0x29, 0x10, "beta"), ("UN",)),
        ((0x10, 0x11), None),
        ((0x29, 0x10), None),
    ],
)
def test_vrs_answer_for_the_entry_lookup_finds(pair, args, vrs):
    assert pair.vrs(*args) == vrs
    entry = pair.dict.lookup(*args)
    assert entry is None if vrs is None else entry["vr"] == (vrs[0] if len(vrs) == 1 else "??")


class _Count:
    """An integer that is not an int, as numpy's are."""

    def __init__(self, n):
        self.n = n

    def __index__(self):
        return self.n


@pytest.mark.parametrize("limit", [2**63, 2**200, _Count(10**30)])
def test_search_limit_beyond_the_entries_means_all(pair, limit):
    assert pair.search("", limit=limit) == pair.search("", limit=None)
    assert len(pair.search("", limit=_Count(2))) == 2


@pytest.mark.parametrize(
    "text, options, keys",
    [
        # Exact keyword first, then prefix, then substring; ties public by tag, then by creator.
        ("patientname", {}, [(0x10, 0x10, ""), (0x29, 0x10, "ACME 1.0")]),
        ("patient", {}, [(0x10, 0x10, ""), (0x10, 0x20, ""), (0x29, 0x10, "ACME 1.0")]),
        ("name", {}, [(0x29, 0x10, "ACME 1.0"), (0x10, 0x10, "")]),
        ("dose", {}, [(0x19, 0x11, "acme  1.0"), (0x29, 0x10, "Beta")]),
        ("rows", {}, [(0x6000, 0x10, ""), (0x6002, 0x10, "")]),
        # Full case folding, as Unicode does it: ß, ẞ and SS are alike, and so are k and the
        # Kelvin sign.
        ("straße", {}, [(0x29, 0x10, "Beta")]),
        ("STRASSE DOSE", {}, [(0x29, 0x10, "Beta")]),
        ("STRAẞE", {}, [(0x29, 0x10, "Beta")]),
        ("10 k", {}, [(0x19, 0x11, "acme  1.0")]),
        # One creator only, folded as lookups fold it.
        ("dose", {"creator": " ACME 1.0 "}, [(0x19, 0x11, "acme  1.0")]),
        ("patient", {"creator": "beta"}, []),
        ("dose", {"creator": "nobody"}, []),
        ("patient", {"limit": 2}, [(0x10, 0x10, ""), (0x10, 0x20, "")]),
        ("patient", {"limit": 0}, []),
        ("", {}, [*PUBLIC_ORDER, (0x19, 0x11, "acme  1.0"), (0x29, 0x10, "ACME 1.0"), (0x29, 0x10, "Beta")]),
        ("", {"limit": None, "creator": "beta"}, [(0x29, 0x10, "Beta")]),
        ("'s n", {}, [(0x10, 0x10, "")]),
        ("patient\0name", {}, []),
        ("zzz", {}, []),
    ],
)
def test_search(pair, text, options, keys):
    found = pair.search(text, **options)
    assert [key(e) for e in found] == keys
    assert found == [pair.dict.lookup(g, e, c or None) for g, e, c in keys]


@pytest.mark.parametrize(
    "call, exc, message, note",
    [
        (lambda p: p.tag_for_keyword(1), TypeError, "'int' object is not an instance of 'str'", "keyword"),
        (
            lambda p: p.entries_for_keyword(b"x"),
            TypeError,
            "'bytes' object is not an instance of 'str'",
            "keyword",
        ),
        (lambda p: p.tag_for_keyword("\ud800"), UnicodeEncodeError, None, "keyword"),
        (
            lambda p: p.vm(0x10000, 0),
            OverflowError,
            "out of range integral type conversion attempted",
            "group",
        ),
        (lambda p: p.vm(0, -1), OverflowError, "out of range integral type conversion attempted", "element"),
        (lambda p: p.vm(0, 0, 5), TypeError, "'int' object is not an instance of 'str'", "creator"),
        (
            lambda p: p.search("x", creator=b"A"),
            TypeError,
            "'bytes' object is not an instance of 'str'",
            "creator",
        ),
        (lambda p: p.search(b"x"), TypeError, "'bytes' object is not an instance of 'str'", "text"),
        (lambda p: p.search("\udcff"), UnicodeEncodeError, None, "text"),
        (lambda p: p.search("x", limit=-1), ValueError, "limit must not be negative, not -1", "limit"),
        (
            lambda p: p.search("x", limit=-(2**70)),
            ValueError,
            f"limit must not be negative, not {-(2**70)}",
            "limit",
        ),
        (
            lambda p: p.search("x", limit=1.0),
            TypeError,
            "'float' object cannot be interpreted as an integer",
            "limit",
        ),
        (
            lambda p: p.search("x", limit=True),
            TypeError,
            "'bool' object is not a count; give an int or None",
            "limit",
        ),
        # Arguments are checked before anything is opened, each under its own name.
        (
            lambda p: quillet.open_companion("x.qlix", b"x.qlet"),
            TypeError,
            "'bytes' object is not an instance of 'str'",
            "dict_path",
        ),
        (lambda p: quillet.open_companion(3), TypeError, None, "path"),
    ],
)
def test_argument_errors(pair, call, exc, message, note):
    with pytest.raises(exc) as info:
        call(pair)
    if message is not None:
        assert str(info.value) == message
    assert getattr(info.value, "__notes__", []) == ([f"while processing '{note}'"] if note else [])


# ---- a companion that does not belong, or is corrupt ------------------------------------------


def sound(entries=ENTRIES) -> tuple[bytes, C.Companion]:
    """A dictionary file and the parts of its companion, to corrupt one at a time."""
    qlet, packed = to_files(entries)
    checked = writer._check_all(entries, dicom_rules=True)
    writer._pack_body(checked)  # sorts the entries into record order
    comp = writer._companion(checked)
    comp.digest = packed[8:24]
    assert comp.pack() == packed
    return qlet, comp


def corrupt(comp: C.Companion, **changes) -> C.Companion:
    for name, value in changes.items():
        setattr(comp, name, value(getattr(comp, name)) if callable(value) else value)
    return comp


def swapped(values):
    return [values[1], values[0], *values[2:]]


OPEN = "cannot open {c}: "
BROKEN = OPEN + "companion integrity check failed: "


@pytest.mark.parametrize(
    "make, exc, message",
    [
        (lambda c: c.pack()[:95], OSError, OPEN + "file too small (95 bytes) to contain a companion header"),
        (lambda c: b"", OSError, OPEN + "file too small (0 bytes) to contain a companion header"),
        (lambda c: corrupt(c, magic=b"QLET").pack(), OSError, OPEN + "bad magic bytes [81, 76, 69, 84]"),
        (lambda c: corrupt(c, version=1).pack(), ValueError, "unsupported companion version 1"),
        (
            lambda c: corrupt(c, digest=bytes(16)).pack(),
            ValueError,
            "cannot use {c} with {d}: the companion was built from other data than the dictionary",
        ),
        (
            lambda c: corrupt(c, record_count=9).pack(),
            OSError,
            BROKEN + "it describes 9 records, but the dictionary has 8",
        ),
        (
            lambda c: corrupt(c, sections=[(128, 8), (10**6, 1), *[(128, 0)] * 8]).pack(),
            OSError,
            BROKEN + "the vm_texts section lies outside the file",
        ),
        (
            lambda c: corrupt(c, sections=[(0, 8)] + [(128, 0)] * 9).pack(),
            OSError,
            BROKEN + "the vm_codes section lies outside the file",
        ),
        (
            lambda c: corrupt(c, vm_codes=lambda v: v[:-1]).pack(),
            OSError,
            BROKEN + "vm_codes holds 7 codes for 8 records",
        ),
        (
            lambda c: corrupt(c, vm_codes=lambda v: [v[0], 4, *v[2:]]).pack(),
            OSError,
            BROKEN + "vm_codes[1] is 4, but there are 3 VM texts",
        ),
        (
            lambda c: corrupt(c, vm_texts=lambda v: [(v[0][0], 10**4), *v[1:]]).pack(),
            OSError,
            BROKEN + "vm_texts[0] lies outside the pool",
        ),
        (
            lambda c: corrupt(c, keywords=lambda v: [8, *v[1:]]).pack(),
            OSError,
            BROKEN + "keywords[0] names record 8 of 8",
        ),
        (
            lambda c: corrupt(c, items=lambda v: [(8, *v[0][1:]), *v[1:]]).pack(),
            OSError,
            BROKEN + "items[0] names record 8 of 8",
        ),
        (
            lambda c: corrupt(c, items=lambda v: [*v[:-1], (v[-1][0], 10**4, 1, 1)]).pack(),
            OSError,
            BROKEN + "items[7] lies outside the search text",
        ),
        (
            lambda c: corrupt(
                c, items=lambda v: [(v[0][0], v[0][1], v[0][2] + 1, v[0][3] - 1), *v[1:]]
            ).pack(),
            OSError,
            BROKEN + "items[0] does not end its texts with NUL",
        ),
        (
            lambda c: corrupt(c, creators=lambda v: [(*v[0][:2], 10**4, *v[0][3:]), *v[1:]]).pack(),
            OSError,
            BROKEN + "creators[0] lies outside the pool",
        ),
        (
            lambda c: corrupt(c, creators=lambda v: [(*v[0][:3], 7, 2), *v[1:]]).pack(),
            OSError,
            BROKEN + "creators[0] names items beyond the last",
        ),
        (
            lambda c: corrupt(c, slots=lambda v: v[:-1]).pack(),
            OSError,
            BROKEN + "slots holds 7 slots, not a power of two",
        ),
        (
            lambda c: corrupt(c, slots=lambda v: [8, *v[1:]]).pack(),
            OSError,
            BROKEN + "slots[0] is 8, but there are 7 keyword entries",
        ),
        (
            lambda c: corrupt(c, creators=swapped).pack(),
            OSError,
            BROKEN + "creators are not sorted by hash at creators[1]",
        ),
        # Runs of occupied slots longer than a probe may go: in a row, around the end, all full.
        (
            lambda c: corrupt(c, slots=[0] * 63 + [1] * 129 + [0] * 64).pack(),
            OSError,
            BROKEN + "slots holds more than 128 occupied slots in a row, up to slots[191]",
        ),
        (
            lambda c: corrupt(c, slots=[1] * 64 + [0] * 127 + [1] * 65).pack(),
            OSError,
            BROKEN + "slots holds more than 128 occupied slots in a row, around the end of the table",
        ),
        (lambda c: corrupt(c, slots=[1] * 8).pack(), OSError, BROKEN + "slots holds no empty slot"),
        (
            lambda c: corrupt(c, vr_codes=lambda v: v[:-1]).pack(),
            OSError,
            BROKEN + "vr_codes holds 7 codes for 8 records",
        ),
        (
            lambda c: corrupt(c, vr_codes=lambda v: [2, *v[1:]]).pack(),
            OSError,
            BROKEN + "vr_codes[0] is 2, but there are 1 VR sets",
        ),
        (
            lambda c: corrupt(c, vr_sets=lambda v: [(v[0][0], 10**4)]).pack(),
            OSError,
            BROKEN + "vr_sets[0] lies outside the pool",
        ),
        (
            lambda c: corrupt(c, pool=lambda p: p[:-1] + b"\x22").pack(),
            OSError,
            BROKEN + "vr_sets[0] holds VR code 34, not one of the 34 VRs",
        ),
    ],
)
def test_refused(tmp_path, no_fd_leak, make, exc, message):
    qlet, comp = sound()
    d, c = tmp_path / "d.qlet", tmp_path / "d.qlix"
    d.write_bytes(qlet)
    c.write_bytes(make(comp))
    with pytest.raises(exc) as info:
        quillet.open_companion(c)
    assert type(info.value) is exc and str(info.value) == message.format(c=c, d=d)


def test_companion_of_another_dictionary_or_of_none(tmp_path, no_fd_leak):
    write_dictionary(tmp_path / "a.qlet", ENTRIES, companion=True)
    write_dictionary(tmp_path / "b.qlet", ENTRIES[:-1], companion=True)
    with pytest.raises(ValueError) as info:
        quillet.open_companion(tmp_path / "a.qlix", tmp_path / "b.qlet")
    assert str(info.value) == (
        f"cannot use {tmp_path / 'a.qlix'} with {tmp_path / 'b.qlet'}: "
        "the companion was built from other data than the dictionary"
    )
    # The same entries, but a VM changed: the digest covers the companion's data too.
    write_dictionary(
        tmp_path / "c.qlet",
        [*ENTRIES[:-1], Entry(0x0029, 0x10, creator="Beta", block_offset=True, vm="3")],
        companion=True,
    )
    with pytest.raises(ValueError, match="built from other data"):
        quillet.open_companion(tmp_path / "a.qlix", tmp_path / "c.qlet")
    # A dictionary written without a companion carries no digest, so no companion pairs with it.
    writer.write_file(tmp_path / "a.qlet", writer.to_bytes(ENTRIES))
    with pytest.raises(ValueError) as info:
        quillet.open_companion(tmp_path / "a.qlix")
    assert str(info.value) == (
        f"cannot use {tmp_path / 'a.qlix'} with {tmp_path / 'a.qlet'}: the dictionary carries no digest (it "
        "was written without a companion), so nothing shows that the companion belongs to it"
    )
    (tmp_path / "a.qlet").unlink()
    with pytest.raises(OSError, match=r"^cannot open .*a\.qlet: io error: No such file"):
        quillet.open_companion(tmp_path / "a.qlix")
    with pytest.raises(OSError, match=r"^cannot open .*none\.qlix: io error: No such file"):
        quillet.open_companion(tmp_path / "none.qlix", tmp_path / "b.qlet")


@pytest.mark.parametrize(
    "name, shown",
    [("a\0b.qlix", "a\\x00b.qlix"), ("\udcfe.qlix", "\\udcfe.qlix"), ("a\nb.qlix", "a\\nb.qlix")],
)
def test_paths_in_messages_are_escaped(tmp_path, name, shown):
    write_dictionary(tmp_path / "d.qlet", ENTRIES, companion=True)
    with pytest.raises(OSError) as info:
        quillet.open_companion(os.path.join(tmp_path, name), tmp_path / "d.qlet")
    assert str(info.value).startswith(f"cannot open {tmp_path}/{shown}: io error: ")
    assert str(info.value).isprintable()


def test_rewritten_in_place_never_reads_outside(tmp_path):
    # Validated once at open; a companion overwritten later at the same size gives answers that
    # may be wrong, but every read stays inside the files.
    write_dictionary(tmp_path / "d.qlet", ENTRIES, companion=True)
    pair = quillet.open_companion(tmp_path / "d.qlix")
    path = tmp_path / "d.qlix"
    size = path.stat().st_size
    with open(path, "r+b") as f:
        f.seek(C.HEADER_LEN)
        f.write(b"\xff" * (size - C.HEADER_LEN))
    for keyword in ("PatientName", "Dose", ""):
        pair.tag_for_keyword(keyword)
        pair.entries_for_keyword(keyword)
    for text in ("patient", "", "a"):
        pair.search(text, limit=None)
        pair.search(text, creator="Beta")
    assert pair.vm(0x10, 0x10) is None


def test_files_released_with_the_object(tmp_path, no_fd_leak):
    write_dictionary(tmp_path / "d.qlet", ENTRIES, companion=True)
    pair = quillet.open_companion(tmp_path / "d.qlix")
    assert pair.vm(0x10, 0x10) == "1"
    del pair


# ---- a dictionary replaced while its companion is opened -----------------------------------------
# Two builds of one shape, told apart by their keywords: a companion paired with the other
# build's dictionary would answer with entries whose keywords are not the ones asked for.


def family(prefix: str) -> list[Entry]:
    return [
        Entry(0x0010, e, keyword=f"{prefix}{e}", name=f"{prefix} name {e}", vr="LO", vm=str(e % 3 + 1))
        for e in range(1, 40)
    ]


def consistent(pair) -> str:
    """Which build the pair answers for, after checking that its companion and dictionary agree."""
    (prefix,) = {e["keyword"].rstrip("0123456789") for e in pair.search("", limit=None)}
    for e in range(1, 40):
        assert pair.tag_for_keyword(f"{prefix}{e}") == (0x10, e)
        assert pair.search(f"{prefix} name {e}")[0]["keyword"] == f"{prefix}{e}"
        assert pair.vm(0x10, e) == str(e % 3 + 1)
    return prefix


def test_dictionary_replaced_between_its_opening_and_the_companions(tmp_path, monkeypatch):
    for prefix in ("Alpha", "Beta"):
        write_dictionary(tmp_path / f"{prefix}.qlet", family(prefix), companion=True)
    live = tmp_path / "live.qlet"
    opened = quillet.companion._open_dict

    def swap_after_opening(path):
        d = opened(path)
        for suffix in (".qlet", ".qlix"):  # a whole new pair arrives, as a deployment does it
            (tmp_path / f"Beta{suffix}").replace(live.with_suffix(suffix))
        return d

    for suffix in (".qlet", ".qlix"):
        (tmp_path / f"Alpha{suffix}").replace(live.with_suffix(suffix))
    monkeypatch.setattr(quillet.companion, "_open_dict", swap_after_opening)
    # The dictionary that answers is the one the companion is checked against: Alpha's, which
    # the new companion does not belong to.
    with pytest.raises(ValueError, match="built from other data"):
        quillet.open_companion(live.with_suffix(".qlix"))
    monkeypatch.undo()
    assert consistent(quillet.open_companion(live.with_suffix(".qlix"))) == "Beta"


SWAPPER = """
import itertools, os, sys
folder = sys.argv[1]
data = {name: open(os.path.join(folder, name), "rb").read()
        for name in ("Alpha.qlet", "Alpha.qlix", "Beta.qlet", "Beta.qlix")}
print("swapping", flush=True)
for n in itertools.count():  # until killed
    prefix = ("Alpha", "Beta")[n % 2]
    for suffix in (".qlet", ".qlix"):
        with open(os.path.join(folder, "tmp" + suffix), "wb") as f:
            f.write(data[prefix + suffix])
        os.replace(os.path.join(folder, "tmp" + suffix), os.path.join(folder, "live" + suffix))
"""


def test_no_open_pairs_a_companion_with_another_dictionary(tmp_path):
    # Another process replaces the pair over and over, one file after the other, as readers meet
    # it while a writer works: every open either refuses the pair or answers for one build.
    for prefix in ("Alpha", "Beta"):
        write_dictionary(tmp_path / f"{prefix}.qlet", family(prefix), companion=True)
    for suffix in (".qlet", ".qlix"):
        os.link(tmp_path / f"Alpha{suffix}", tmp_path / f"live{suffix}")
    opens = 50_000 if os.environ.get("QUILLET_LONG") == "1" else 10_000
    swapper = subprocess.Popen(
        [sys.executable, "-c", textwrap.dedent(SWAPPER), str(tmp_path)], stdout=subprocess.PIPE, text=True
    )
    answered, refused = set(), 0
    try:
        assert swapper.stdout.readline() == "swapping\n"
        for _ in range(opens):
            try:
                pair = quillet.open_companion(tmp_path / "live.qlix")
            except ValueError:
                refused += 1
                continue
            answered.add(consistent(pair))
    finally:
        swapper.kill()
        swapper.wait()
    assert answered == {"Alpha", "Beta"} and refused < opens


def test_nothing_of_it_at_import():
    code = (
        "import sys, quillet; quillet.open_default()\n"
        "assert 'quillet._companion' not in sys.modules and 'quillet.companion' not in sys.modules\n"
        "assert quillet.tag_for_keyword('PatientName') == (0x10, 0x10)\n"
        "assert 'quillet._companion' in sys.modules"
    )
    subprocess.run([sys.executable, "-c", code], check=True)


# ---- the command ---------------------------------------------------------------------------------


def run(capsys, *argv):
    code = main(list(argv))
    out, err = capsys.readouterr()
    return code, out, err


def test_build_writes_companion_with_vm_column(tmp_path, capsys):
    src = tmp_path / "acme.csv"
    src.write_text(
        "group,element,creator,keyword,name,vr,vm,block_offset\n0029,0010,ACME,AcmeDose,Dose,DS,1-3,yes\n"
    )
    code, out, _ = run(capsys, "build", str(src), "-o", str(tmp_path / "acme.qlet"))
    assert (
        code == 0
        and out == f"wrote 1 entries to {tmp_path / 'acme.qlet'} and its companion {tmp_path / 'acme.qlix'}\n"
    )
    pair = quillet.open_companion(tmp_path / "acme.qlix")
    assert pair.vm(0x29, 0x10, "acme") == "1-3"

    code, out, _ = run(
        capsys, "lookup", "AcmeDose", "--creator", "acme", "--dict", str(tmp_path / "acme.qlet")
    )
    assert code == 0 and out.splitlines()[:4] == [
        "(0029,xx10) AcmeDose",
        "  name:     Dose",
        "  vr:       DS",
        "  vm:       1-3",
    ]
    code, out, _ = run(capsys, "search", "dose", "--dict", str(tmp_path / "acme.qlet"))
    assert (code, out) == (0, "(0029,xx10) AcmeDose: Dose  [ACME]\n")


@pytest.mark.parametrize(
    "argv, code, out, err",
    [
        (
            ["search", "birth date"],
            0,
            "(0010,0030) PatientBirthDate: Patient's Birth Date\n"
            "(0010,0033) PatientBirthDateInAlternativeCalendar: "
            "Patient's Birth Date in Alternative Calendar\n"
            "(0055,xx08) CopyOfPatientBirthDate: Copy of Patient's Birth Date (0010,1030)  "
            "[3Z_IMAGE_IMPORT_GENERAL_HIST]\n"
            "(0023,xx55) PatientBirthDate: Patient's Birth Date  [AMICAS0]\n",
            "",
        ),
        (["search", "patientname", "--limit", "1"], 0, "(0010,0010) PatientName: Patient's Name\n", ""),
        (["search", "no such words"], 1, "", ""),
        (["search", "x", "--limit", "-1"], 2, "", "quillet: --limit must not be negative, not -1\n"),
        (["lookup", "OverlayRows"], 0, None, ""),
    ],
)
def test_command(capsys, argv, code, out, err):
    got = run(capsys, *argv)
    assert got[0] == code and got[2] == err
    if out is not None:
        assert got[1] == out


def test_command_prints_the_vr_choices(tmp_path, capsys):
    write_dictionary(tmp_path / "d.qlet", ENTRIES, companion=True)
    for tag, creator, vr in (
        ("0008,0001", [], "US or SS or OW"),
        ("0019,1111", ["--creator", "acme 1.0"], "none"),
    ):
        code, out, _ = run(capsys, "lookup", tag, *creator, "--dict", str(tmp_path / "d.qlet"))
        assert code == 0 and f"  vr:       {vr}\n" in out
    code, out, _ = run(capsys, "lookup", "0008,0001", "--json", "--dict", str(tmp_path / "d.qlet"))
    assert json.loads(out)["vrs"] == ["US", "SS", "OW"]


def test_command_without_companion(tmp_path, capsys):
    write_dictionary(tmp_path / "d.qlet", ENTRIES)
    code, out, err = run(capsys, "lookup", "0010,0010", "--dict", str(tmp_path / "d.qlet"))
    assert code == 0 and "vm:" not in out  # a tag is still found; there is just no VM to show
    code, out, err = run(capsys, "search", "x", "--dict", str(tmp_path / "d.qlet"))
    assert (code, out) == (2, "")
    assert err == (
        f"quillet: search needs the companion of {tmp_path / 'd.qlet'} ({tmp_path / 'd.qlix'}), which is "
        "not there (quillet build writes it beside the dictionary)\n"
    )
