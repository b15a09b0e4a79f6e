"""The extension against the reference model of tests/model.py, on generated files and keys.

Each example is one file: valid ones from the writer, hand-laid bodies whose every field may be
out of range, byte-level damage to either, and every seed and regression input of the fuzz
target for files. Both readers must agree on everything a caller can see: refusal and its
message, `len`, `repr`, and each lookup's dict or exception.
"""

from __future__ import annotations

import itertools
import mmap
import re
import struct
import tempfile
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import quillet
from quillet import _layout as L
from quillet._unicode import hash_creator
from quillet.writer import Entry, _to_bytes

from conftest import addresses
from model import Internal, Model, Refused

# Derandomized and without an example database: every run tries the same files.
SETTINGS = dict(
    deadline=None,
    derandomize=True,
    database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)

# Few distinct values, so that generated keys collide with the file's own entries.
CREATORS = ["ACME 1.1", "acme  1.1", "\tAcme\u00a01.1 ", "straße", "STRASSE", "X", "", " ", "A\u200bB"]
GROUP_LIST = [0x0008, 0x0010, 0x0029, 0xFFFE]
ELEMENT_LIST = [0x0000, 0x0010, 0x0011, 0x1010, 0xE000]
GROUPS, ELEMENTS = st.sampled_from(GROUP_LIST), st.sampled_from(ELEMENT_LIST)
creators = st.none() | st.sampled_from(CREATORS)


@pytest.fixture(scope="module")
def folder():
    with tempfile.TemporaryDirectory() as d:
        yield Path(d)


_names = itertools.count()

# ---- running both readers ---------------------------------------------------------------------

AT = re.compile(r"@(\d+)")


def _same_message(got: str, expected: str) -> None:
    """`got` carries addresses, `expected` body positions. The mapping starts on a page boundary
    and the body 32 bytes into it, so every address must be that one base plus its position."""
    found, positions = addresses(got), [int(p) for p in AT.findall(expected)]
    assert len(found) == len(positions), (got, expected)
    bases = {a - L.HEADER_LEN - p for a, p in zip(found, positions, strict=True)}
    assert len(bases) <= 1 and all(b % mmap.PAGESIZE == 0 for b in bases), (got, expected)
    assert AT.sub("@", expected) == re.sub(r"0x[0-9a-f]+", "@", got), (got, expected)


def _module_call(h, args):
    try:
        return ("ok", h.lookup(*args))
    except Exception as e:
        return (type(e), str(e), getattr(e, "__notes__", None))
    except BaseException as e:
        assert type(e).__bases__ == (BaseException,), e
        assert len(e.args) == 1
        return ("internal", e.args[0], None)


def _model_call(m, args):
    try:
        return ("ok", m.lookup(*args))
    except Internal as e:
        return ("internal", str(e), None)
    except Exception as e:
        return (type(e), str(e), getattr(e, "__notes__", None))


def agree(folder: Path, data: bytes, keys) -> bool:
    """Both readers on one file; returns whether it was accepted."""
    path = folder / f"{next(_names)}.qlet"
    path.write_bytes(data)
    try:
        try:
            model = Model(data)
        except Refused as r:
            with pytest.raises(r.kind) as e:
                quillet.open(path)
            assert type(e.value) is r.kind
            if r.kind is ValueError:
                assert str(e.value) == r.text
            else:
                prefix = f"cannot open {path}: "
                assert str(e.value).startswith(prefix)
                _same_message(str(e.value)[len(prefix) :], r.text)
            return False
        h = quillet.open(path)
        assert len(h) == len(model) and repr(h) == f"<quillet.Dict len={len(model)}>"
        for args in keys(model):
            assert _module_call(h, args) == _model_call(model, args), args
        del h
        return True
    finally:
        path.unlink()


def keys_for(extra):
    """Lookups for a file: each index entry's own tag (with each creator, so that stored hashes
    are hit), its neighbours, and the drawn `extra` keys."""

    def keys(model: Model):
        out = list(extra)
        for i in range(min(len(model), 8)):
            entry = model.entry(i)
            g, e = entry.group, entry.element
            out += [(g, e), (g, e, None), (g, (e + 1) & 0xFFFF)]
            out += [(g, e, c) for c in CREATORS[:4]]
        return out

    return keys


extra_keys = st.lists(st.tuples(GROUPS, ELEMENTS) | st.tuples(GROUPS, ELEMENTS, creators), max_size=4)
odd_keys = st.sampled_from(
    [
        (65536, 0),
        (0, -1),
        (2**70, 0),
        (1.0, 0),
        (0, 0, b"x"),
        (0, 0, 7),
        (0x29, 0x10, "\ud800"),
        (True, False, "X"),
    ]
)

# ---- valid files from the writer --------------------------------------------------------------


def to_bytes(items: list[Entry]) -> bytes:
    # Any key at all, also those that the writer refuses as impossible in DICOM: the two
    # readers must agree on every file the format allows.
    return _to_bytes(items, dicom_rules=False)


texts = st.sampled_from(["", "a", "Kw", "a|b", "|x||y|", " é ", "ß\U0001f600", "Zz Zz"])
entries = st.builds(
    lambda g, e, c, kw, nm, ds, src, vr, ret, blk: Entry(
        g,
        e,
        creator=c or "",
        keyword=kw,
        name=nm,
        description=ds,
        sources=src,
        vr=vr,
        retired=ret,
        block_offset=blk,
    ),
    GROUPS,
    ELEMENTS,
    st.sampled_from([c for c in CREATORS if c.strip()] + [None]),
    texts,
    texts,
    texts,
    st.sampled_from([(), ("a",), ("b c", "."), ("x", "x", "yy")]),
    st.sampled_from(list(L.VR_CODES)),
    st.booleans(),
    st.booleans(),
)


def _unique(items: list[Entry]) -> list[Entry]:
    seen, out = set(), []
    for it in items:
        key = (it.group, it.element, hash_creator(it.creator) if it.creator else 0)
        if key not in seen:
            seen.add(key)
            out.append(it)
    return out


@settings(max_examples=800, **SETTINGS)
@given(st.lists(entries, max_size=24).map(_unique), extra_keys, odd_keys)
def test_valid_files(folder, items, extra, odd):
    assert agree(folder, to_bytes(items), keys_for([*extra, odd]))


# ---- hand-laid bodies: every field drawn, valid or not ----------------------------------------


def _pick(b: int, n: int) -> int:
    """A byte drawn by hypothesis, as a value mostly in 0..n and sometimes far beyond it."""
    return (0xFFFF, 0xFFFF_FFFF, n + 1, n + 7)[b % 4] if b >= 248 else b % (n + 1)


def _record(raw: bytes, pool: int) -> L.RawRecord:
    # One drawn blob per record rather than one draw per field: generation stays cheap, and
    # shrinking still moves every field towards 0.
    (g, e, kw, kw_n, nm, nm_n, cr, cr_n, ds, ds_n, src, src_n, vr, flags, unused, pad) = raw
    return L.RawRecord(
        group=GROUP_LIST[g % 4],
        element=ELEMENT_LIST[e % 5],
        keyword_off=_pick(kw, pool),
        keyword_len=_pick(kw_n, pool) & 0xFFFF,
        name_off=_pick(nm, pool),
        name_len=_pick(nm_n, pool) & 0xFFFF,
        creator_off=_pick(cr, pool),
        creator_len=(0, 0, 1, 3)[cr_n % 4],
        description_off=_pick(ds, pool),
        description_len=_pick(ds_n, pool),
        sources_off=_pick(src, pool),
        sources_len=_pick(src_n, pool),
        vr=vr % 35 if vr < 252 else (35, 255)[vr % 2],
        block_offset=(0, 0, 0, 1, 1, 0, 1, 2)[flags & 7],
        retired=(0, 0, 1, 1, 0, 0, 1, 7)[flags >> 3 & 7],
        unused=unused * 257,
        padding=pad,
    )


def _entry(raw: bytes, n_rec: int) -> L.RawIndexEntry:
    g, e, c, r = raw
    return L.RawIndexEntry(
        GROUP_LIST[g % 4],
        ELEMENT_LIST[e % 5],
        hash_creator(CREATORS[c % 16]) if c % 16 < len(CREATORS) else 0,
        r % (n_rec + 2) if r < 250 else 0xFFFF_FFFF,
    )


POOLS = st.binary(max_size=24) | st.sampled_from([b"KwNmDsA|B", b"\xc0\xaf|\xed\xa0\x80", "ß|€".encode()])


@st.composite
def bodies(draw) -> L.Body:
    pool = draw(POOLS)
    records = [_record(r, len(pool)) for r in draw(st.lists(st.binary(min_size=16, max_size=16), max_size=5))]
    index = [_entry(r, len(records)) for r in draw(st.lists(st.binary(min_size=4, max_size=4), max_size=10))]
    order = draw(st.integers(0, 3))
    if order:  # mostly sorted, as the search expects; sometimes not
        index.sort(key=lambda e: (e.group, e.element, e.creator_hash))
    body = L.Body(index=index, records=records, strings=pool)
    root = draw(st.none() | st.none() | st.binary(min_size=6, max_size=6))
    if root is not None:  # references moved a little from where they belong, or aimed anywhere
        body.pack()
        at, pos = body.positions["root"], body.positions
        true = [(pos["index"], len(index)), (pos["records"], len(records)), (pos["strings"], len(pool))]
        body.root = []
        for k, (target, count) in enumerate(true):
            b, c = root[k], root[k + 3]
            target = (
                target + (b % 7 - 3) * 4
                if b < 100
                else target
                if b < 140
                else target + b % 7 - 3
                if b < 170
                else b % (at + 37) - 4
            )
            count = max(count + c % 5 - 2, 0) if c < 160 else (c % 14 if c < 250 else 0xFFFF_FFFF)
            body.root.append((target - (at + 8 * k), count))
    return body


@settings(max_examples=1500, **SETTINGS)
@given(bodies(), extra_keys)
def test_hand_laid_bodies(folder, body, extra):
    agree(folder, L.pack_file(body), keys_for(extra))


# ---- colliding creators: the hash narrows the search, the stored text decides ----------------

# "BEWPFYTS" and "YLXRESED" share a hash, and "II7AVYR" hashes to 0, the hash of public entries:
# the writer refuses both, so these files are laid out by hand. The pool's texts are the stored
# creators; the last one is not UTF-8.
CLASHING = [b"BEWPFYTS", b" ylxresed", b"YLXRESED", b"II7AVYR", b"x", b"STRASSE", b"\xffX"]
CLASH_POOL = b"".join(CLASHING)
CLASH_REFS = [(CLASH_POOL.index(t), len(t)) for t in CLASHING] + [
    (0, 0),  # no creator stored
    (len(CLASH_POOL) + 1, 2),  # starts beyond the pool
    (len(CLASH_POOL) - 1, 2),  # ends beyond it
]
CLASH_HASHES = [hash_creator("BEWPFYTS"), 0, hash_creator("X"), hash_creator("STRASSE")]
ASKED = [None, "BEWPFYTS", "bewpfyts  ", "YLXRESED", "II7AVYR", "X", "straße", "\xffx", ""]


@st.composite
def clashing_bodies(draw) -> L.Body:
    refs = draw(st.lists(st.sampled_from(CLASH_REFS), min_size=1, max_size=6))
    # The VR tells the records apart in the answers.
    records = [
        L.RawRecord(group=0x29, element=0x10, creator_off=off, creator_len=n, vr=i)
        for i, (off, n) in enumerate(refs)
    ]
    entries = draw(
        st.lists(
            st.tuples(
                st.sampled_from([0x10, 0x11]), st.sampled_from(CLASH_HASHES), st.integers(0, len(records))
            ),
            min_size=1,
            max_size=10,
        )
    )
    # Sorted by key only: entries of equal key keep the drawn order, which decides who is latest.
    index = sorted(
        (L.RawIndexEntry(0x29, e, h, r) for e, h, r in entries), key=lambda x: (x.element, x.creator_hash)
    )
    return L.Body(index=index, records=records, strings=CLASH_POOL)


@settings(max_examples=400, **SETTINGS)
@given(clashing_bodies())
def test_colliding_creators(folder, body):
    assert agree(folder, L.pack_file(body), lambda m: [(0x29, e, c) for e in (0x10, 0x11) for c in ASKED])


# ---- damage at the byte level -----------------------------------------------------------------


@st.composite
def damaged(draw) -> bytes:
    base = draw(st.sampled_from(["writer", "body"]))
    if base == "writer":
        data = bytearray(to_bytes(draw(st.lists(entries, max_size=12).map(_unique))))
    else:
        data = bytearray(L.pack_file(draw(bodies())))
    for _ in range(draw(st.integers(1, 4))):
        how = draw(st.sampled_from(["byte", "word", "truncate", "append", "header"]))
        if how == "byte" and data:
            data[draw(st.integers(0, len(data) - 1))] = draw(st.integers(0, 255))
        elif how == "word" and len(data) >= 4:  # a random 32-bit value, 4-aligned like the fields
            at = draw(st.integers(0, len(data) // 4 - 1)) * 4
            data[at : at + 4] = struct.pack("<I", draw(st.integers(0, 0xFFFF_FFFF)))
        elif how == "truncate":
            del data[draw(st.integers(0, len(data))) :]
        elif how == "append":
            data += draw(st.binary(min_size=1, max_size=8))
        elif how == "header" and len(data) >= 6:
            at = draw(st.integers(0, 5))
            data[at] = draw(st.integers(0, 255))
    return bytes(data)


@settings(max_examples=1200, **SETTINGS)
@given(damaged(), extra_keys)
def test_damaged_files(folder, data, extra):
    agree(folder, data, keys_for(extra))


def test_large_file_messages(folder):
    # A body beyond a page: addresses no longer fold back to positions modulo the page size,
    # so the message comparison must rely on one common base.
    items = [Entry(0x10, e, keyword=f"k{e}", vr="LO") for e in range(200)]
    data = bytearray(to_bytes(items))
    assert agree(folder, bytes(data), keys_for([]))
    at = L.HEADER_LEN + L.INDEX_ENTRY_LEN * 200 + L.RECORD_LEN * 150  # deep in the records
    record = L.RawRecord.unpack_from(data, at)
    record.retired = 9
    data[at : at + L.RECORD_LEN] = record.pack()
    data[-4:] = struct.pack("<I", 10**6)  # and a pool that runs past the file
    assert not agree(folder, bytes(data), keys_for([]))


# ---- the file fuzzer's seeds, and every input that ever crashed it ----------------------------

FUZZ = Path(__file__).resolve().parents[1] / "fuzz"
FUZZ_INPUTS = sorted((FUZZ / "corpus" / "file").glob("*.bin")) + sorted(
    (FUZZ / "regressions" / "file").glob("*")
)
assert FUZZ_INPUTS, f"no seed corpus in {FUZZ}"


def header_key(data: bytes) -> tuple:
    """The key fuzz_file reads from header bytes the reader ignores: group and element at bytes
    8 and 10; byte 12 is 0 for no creator, else 1 + the length of the creator after it."""
    if len(data) < 32:
        return (0, 0)
    group, element, c = struct.unpack_from("<HHB", data, 8)
    if c == 0:
        return (group, element)
    return (group, element, data[13 : 13 + (c - 1) % 20].decode("utf-8", "replace"))


@pytest.mark.parametrize("path", FUZZ_INPUTS, ids=lambda p: f"{p.parent.name}/{p.name}")
def test_fuzz_inputs(folder, path):
    data = path.read_bytes()
    agree(folder, data, keys_for([header_key(data)]))
