"""Long runs and failure paths leave no trace: memory, descriptors, mappings and references.

Counts are short by default; QUILLET_LONG=1 runs the long versions (a million lookups, ten
thousand opens), which carry the `slow` mark.

Python objects are counted with sys.getallocatedblocks(); memory that the C++ side takes from
malloc (fault texts, load errors) with glibc's mallinfo2(), which counts bytes in use exactly
and needs no debug build.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import gc
import os
import pathlib
import sys

import pytest

import quillet
from quillet import _layout as L
from quillet.writer import Entry, to_bytes

from conftest import example_body, open_fds

LONG = os.environ.get("QUILLET_LONG") == "1"
# Under AddressSanitizer freed memory sits in quarantine and its allocator maps memory of its
# own, so the malloc total and resident memory are not flat by design; the rest still holds.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")
SCALES = [
    pytest.param(1, id="short"),
    pytest.param(
        10, id="long", marks=[pytest.mark.slow, pytest.mark.skipif(not LONG, reason="QUILLET_LONG=1")]
    ),
]


class _Mallinfo2(ctypes.Structure):
    _fields_ = [
        (n, ctypes.c_size_t)
        for n in (
            "arena",
            "ordblks",
            "smblks",
            "hblks",
            "hblkhd",
            "usmblks",
            "fsmblks",
            "uordblks",
            "fordblks",
            "keepcost",
        )
    ]


_libc = ctypes.CDLL(ctypes.util.find_library("c"))
_mallinfo2 = getattr(_libc, "mallinfo2", None)
if _mallinfo2 is not None:
    _mallinfo2.restype = _Mallinfo2


def malloc_in_use() -> int:
    if _mallinfo2 is None or SANITIZED:
        return 0
    info = _mallinfo2()
    return info.uordblks + info.hblkhd


def resident() -> int:
    if SANITIZED:
        return 0
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def mappings() -> int:
    """Mappings of dictionary files in this process."""
    with open("/proc/self/maps") as f:
        return sum(".qlet" in line for line in f)


def totals() -> tuple[int, int]:
    gc.collect()
    return sys.getallocatedblocks(), malloc_in_use()


def assert_flat(call, n: int) -> None:
    """`call` n times after a warm-up (free lists, caches, interned texts fill once) must
    leave the Python block count and the malloc total where they were."""
    for _ in range(max(n // 10, 50)):
        call()
    # A leak of one object or one C++ string per call shows as n blocks or n * 16 bytes in every
    # round; noise that does not grow with n (free lists settling, lazily made objects, and on a
    # free-threaded build memory whose release waits for a quiescent point) settles within a
    # round or two, so one flat round of three is enough.
    for _ in range(3):
        blocks, heap = totals()
        for _ in range(n):
            call()
        blocks2, heap2 = totals()
        if blocks2 - blocks < n // 10 and heap2 - heap < 4096:
            return
    assert blocks2 - blocks < n // 10, (blocks, blocks2)
    assert heap2 - heap < 4096, (heap, heap2)


def raises(call, kind):
    def _run():
        try:
            call()
        except kind:
            pass
        else:  # pragma: no cover
            raise AssertionError("did not raise")

    return _run


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    d = tmp_path_factory.mktemp("leaks")
    items = [
        Entry(0x0008, e, keyword=f"Kw{e}", name=f"Name {e}", vr="LO", sources=("a", "b"))
        for e in range(1, 500)
    ]
    items += [Entry(0x0029, 0x10, creator="ACME 1.1", keyword="Priv", vr="DS", block_offset=True)]
    good = d / "good.qlet"
    good.write_bytes(to_bytes(items))
    bad_record = example_body()
    bad_record.records[0].retired = 2
    faulty = example_body()
    faulty.index.append(L.RawIndexEntry(0x20, 0x20, record=1))  # record number past the records
    faulty.index.append(L.RawIndexEntry(0x30, 0x30, record=0))
    faulty.records[0].name_off = 50  # a text past the pool, read by every lookup of that record
    out = {"good": good, "dir": d, "missing": d / "missing.qlet"}
    for name, data in {
        "empty": b"",
        "small": L.header()[:20],
        "magic": b"PK\3\4" + bytes(40),
        "version": L.header(version=3) + bytes(24),
        "integrity": L.pack_file(bad_record),
        "faulty": L.pack_file(faulty),
    }.items():
        out[name] = d / f"{name}.qlet"
        out[name].write_bytes(data)
    return out


# ---- long runs --------------------------------------------------------------------------------


@pytest.mark.parametrize("scale", SCALES)
def test_many_lookups_stay_flat(files, scale):
    n = 100_000 * scale
    h = quillet.open(files["good"])
    keys = [(0x0008, e) for e in range(0, 520)] + [(0x0029, 0x10, "acme 1.1"), (0x0029, 0x10, "nobody")]

    def batch():
        for k in keys:
            h.lookup(*k)

    batch()
    rss, fds, blocks, heap = resident(), open_fds(), *totals()
    for _ in range(n // len(keys)):
        batch()
    blocks2, heap2 = totals()
    assert open_fds() == fds
    assert blocks2 - blocks < 100 and heap2 - heap < 4096, (blocks, blocks2, heap, heap2)
    # Resident memory: a few pages of slack for the allocator, far below one byte per lookup.
    assert resident() - rss < 1 << 20


@pytest.mark.parametrize("scale", SCALES)
def test_many_opens_stay_flat(files, scale):
    n = 1_000 * scale
    path = str(files["good"])
    gc.collect()
    before = (open_fds(), mappings())

    def once():
        with quillet.open(path) as h:
            h.lookup(0x0008, 0x0001)

    for _ in range(50):
        once()
    rss = resident()
    assert_flat(once, n)
    assert (open_fds(), mappings()) == before
    assert resident() - rss < 1 << 20
    # Many handles alive at once each hold their own descriptor and mapping, and give them back.
    handles = [quillet.open(path) for _ in range(100)]
    assert (open_fds(), mappings()) == (before[0] + 100, before[1] + 100)
    del handles
    gc.collect()
    assert (open_fds(), mappings()) == before


# ---- failure paths ----------------------------------------------------------------------------


class Bytes:
    def __fspath__(self):
        return b"/nonexistent"


@pytest.mark.parametrize(
    "case",
    [
        "missing",
        "dir",
        "empty",
        "small",
        "magic",
        "version",
        "integrity",
        "bytes",
        "pathlike-bytes",
        "int",
        "none",
        "nul",
    ],
)
def test_open_failures(files, case):
    arg = {
        "bytes": os.fsencode(files["good"]),
        "pathlike-bytes": Bytes(),
        "int": 12345678,
        "none": None,
        "nul": str(files["good"]) + "\0x",
    }.get(case)
    if arg is None and case != "none":
        arg = str(files[case])
    if case == "missing":
        arg = pathlib.Path(arg)  # the path protocol's own object must be let go too
    kind = {
        "version": ValueError,
        "bytes": TypeError,
        "pathlike-bytes": TypeError,
        "int": TypeError,
        "none": TypeError,
    }.get(case, OSError)
    gc.collect()
    refs, fds, maps = sys.getrefcount(arg), open_fds(), mappings()
    assert_flat(raises(lambda: quillet.open(arg), kind), 1000)
    assert_flat(raises(lambda: quillet.open(path=arg), kind), 1000)
    assert sys.getrefcount(arg) == refs
    assert (open_fds(), mappings()) == (fds, maps)


def _internal(call):
    def _run():
        try:
            call()
        except Exception:  # pragma: no cover
            raise
        except BaseException as e:
            assert type(e).__bases__ == (BaseException,)

    return _run


@pytest.mark.parametrize(
    "case",
    [
        "too-many",
        "unexpected-kw",
        "twice",
        "missing",
        "overflow",
        "huge",
        "float",
        "bytes-creator",
        "int-creator",
        "surrogate",
        "record-number",
        "text-bounds",
        "found",
        "not-found",
    ],
)
def test_lookup_paths(files, capfd, case):
    h = quillet.open(files["faulty" if case in ("record-number", "text-bounds") else "good"])
    # Texts and ints made here, not shared constants, so that their counts are their own.
    group, element, creator, blob = 0x0029, 0x10, "".join(["acme ", "x" * 20]), bytes([65, 67])
    huge, big = 2**70 + 1, int("70000")
    inputs = [creator, blob, huge, big]
    refs = [sys.getrefcount(x) for x in inputs]
    te, oe = TypeError, OverflowError
    call = {
        "too-many": raises(lambda: h.lookup(group, element, creator, blob), te),
        "unexpected-kw": raises(lambda: h.lookup(group, element, colour=creator), te),
        "twice": raises(lambda: h.lookup(group, element, group=group), te),
        "missing": raises(lambda: h.lookup(element=element), te),
        "overflow": raises(lambda: h.lookup(big, element), oe),
        "huge": raises(lambda: h.lookup(group, huge, creator), oe),
        "float": raises(lambda: h.lookup(1.5, element), te),
        "bytes-creator": raises(lambda: h.lookup(group, element, blob), te),
        "int-creator": raises(lambda: h.lookup(group, element, big), te),
        "surrogate": raises(lambda: h.lookup(group, element, "acme\ud800"), UnicodeEncodeError),
        "record-number": _internal(lambda: h.lookup(0x20, 0x20)),
        "text-bounds": _internal(lambda: h.lookup(0x10, 0x10)),
        "found": lambda: h.lookup(group, element, "ACME 1.1"),
        "not-found": lambda: h.lookup(group, element, creator),
    }[case]
    assert_flat(call, 2000)
    assert [sys.getrefcount(x) for x in inputs] == refs
    assert len(h) in (3, 500)
    capfd.readouterr()  # the internal faults' reports


# ---- the companion ----------------------------------------------------------------------------


@pytest.fixture(scope="module")
def pair(tmp_path_factory):
    from quillet.writer import write_dictionary

    d = tmp_path_factory.mktemp("companion")
    items = [Entry(0x0008, e, keyword=f"Kw{e % 50}", name=f"Name {e}", vm="1-n") for e in range(1, 300)]
    items += [Entry(0x0029, 0x10, creator="ACME 1.1", keyword="Kw1", vm="2", block_offset=True)]
    write_dictionary(d / "good.qlet", items, companion=True)
    data = (d / "good.qlix").read_bytes()
    (d / "bad.qlix").write_bytes(data[:96] + b"\xff" * (len(data) - 96))  # corrupt sections
    return d


@pytest.mark.parametrize(
    "call",
    [
        lambda c, d: c.tag_for_keyword("Kw1"),
        lambda c, d: c.entries_for_keyword("Kw1"),
        lambda c, d: c.search("name 1", limit=None),
        lambda c, d: c.search("kw", creator="acme 1.1"),
        lambda c, d: c.vm(0x0029, 0x10, "ACME 1.1"),
        lambda c, d: c.vm(8, 1, None),
        lambda c, d: raises(lambda: c.vm(0x10000, 0), OverflowError)(),
        lambda c, d: raises(lambda: c.tag_for_keyword(b"x"), TypeError)(),
        lambda c, d: raises(lambda: quillet.open_companion(d / "bad.qlix", d / "good.qlet"), OSError)(),
        lambda c, d: raises(lambda: quillet.open_companion(d / "none.qlix", d / "good.qlet"), OSError)(),
        lambda c, d: quillet.open_companion(d / "good.qlix").vm(8, 1),
    ],
    ids=[
        "tag",
        "entries",
        "search",
        "search-creator",
        "vm",
        "vm-public",
        "vm-overflow",
        "tag-type",
        "open-corrupt",
        "open-missing",
        "open",
    ],
)
def test_companion_calls_stay_flat(pair, call):
    c = quillet.open_companion(pair / "good.qlix")
    fds = open_fds()
    assert_flat(lambda: call(c, pair), 2000)
    assert open_fds() == fds


# ---- the Dictionary: its stack in C, and the Python around it ---------------------------------


@pytest.fixture(scope="module")
def layered(pair):
    from quillet import Dictionary

    d = Dictionary(pair / "good.qlet", bundled=True)
    d.add([Entry(0x0019, 0x10, creator="Added", keyword="Added", vr="DS", block_offset=True)])
    return d


@pytest.mark.parametrize(
    "call",
    [
        lambda d: d.entry(0x00291010, "ACME 1.1"),
        lambda d: d.keyword(0x00080001),
        lambda d: d.vrs("7FE0,0010"),
        lambda d: d.vm((0x0019, 0x1010), "added"),  # an added entry
        lambda d: d.entry(0x00191010, "ADDED"),
        lambda d: d.entry(0x00290010, "ANY"),  # a rule, through the subclass
        lambda d: d.vr(0x00100011),  # no entry, no rule
        lambda d: d.tag("Kw1"),
        lambda d: d.tag("Added", "added"),
        lambda d: d.search("kw", limit=None),
        lambda d: raises(lambda: d.vr(2**40), OverflowError)(),
        lambda d: raises(lambda: d.vr("(0010"), ValueError)(),
        lambda d: raises(lambda: d.vr(0x00100010, b"x"), TypeError)(),
    ],
    ids=[
        "entry",
        "keyword",
        "vrs",
        "added-vm",
        "added-entry",
        "rule",
        "miss",
        "tag",
        "added-tag",
        "search",
        "overflow",
        "bad-text",
        "creator-type",
    ],
)
def test_dictionary_calls_stay_flat(layered, call):
    assert_flat(lambda: call(layered), 2000)


def test_dictionaries_are_released(pair):
    from quillet import Dictionary

    fds = open_fds()
    assert_flat(lambda: Dictionary(pair / "good.qlet").keyword(0x00080001), 300)
    gc.collect()
    assert open_fds() == fds
