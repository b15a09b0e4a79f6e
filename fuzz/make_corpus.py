"""Regenerate the fuzzers' seed corpus in fuzz/corpus/ from the package's own writer.

    python fuzz/make_corpus.py           # rewrite fuzz/corpus/file, creator, companion and uids
    python fuzz/make_corpus.py --check   # exit 1 if the committed corpus differs

Seeds are small on purpose: libFuzzer mutates every seed many times a second, and a large
seed slows each execution. The files are real dictionaries (the 124-byte worked example,
writer-made files with public and private entries, a slice of the bundled dictionary when
data/dictionary.tsv is present) and variants of them that a reader must refuse or that sit
on an edge of what it accepts. The writer and the layout layer are loaded from the source
tree, so no build of the extension is needed.

fuzz_companion's seeds are pairs, a dictionary and its companion behind a u32 length;
fuzz_uids's are UID files, whole and cut, and a slice of data/uids.tsv.

The header bytes 8 to 31 are ignored by the reader; fuzz_file reads them as one more key to
look up (group, element, then a length byte and a creator), and byte 6 as a request to copy
the file off its page alignment. Some seeds set them. tests/test_differential.py runs every
seed, with the same extra key, through the extension and the reference model.
"""

from __future__ import annotations

import argparse
import dataclasses
import importlib
import importlib.machinery
import importlib.util
import struct
import sys
from pathlib import Path
from types import ModuleType

ROOT = Path(__file__).resolve().parents[1]
CORPUS = ROOT / "fuzz" / "corpus"
TSV = ROOT / "data" / "dictionary.tsv"


def _load(name: str) -> ModuleType:
    """A module of src/quillet without running the package's __init__ (it needs the build)."""
    package = "_quillet_source_tree"
    if package not in sys.modules:
        module = importlib.util.module_from_spec(
            importlib.machinery.ModuleSpec(package, None, is_package=True)
        )
        module.__path__ = [str(ROOT / "src" / "quillet")]
        sys.modules[package] = module
    return importlib.import_module(f"{package}.{name}")


L = _load("_layout")
W = _load("writer")
Entry = W.Entry


def with_header_key(
    data: bytes, group: int, element: int, creator: bytes | None = None, shift: int | None = None
) -> bytes:
    """`data` with fuzz_file's controls written into the header bytes the reader ignores."""
    rest = bytearray(data[6:32])
    if shift is not None:
        rest[0] = 0xF8 | shift
    rest[2:6] = struct.pack("<HH", group, element)
    if creator is not None:
        assert len(creator) <= 19
        rest[6] = len(creator) + 1
        rest[7 : 7 + len(creator)] = creator
    return data[:6] + bytes(rest) + data[32:]


def worked_example() -> bytes:
    body = L.Body(
        index=[L.RawIndexEntry(0x0010, 0x0010)],
        records=[
            L.RawRecord(
                group=0x0010,
                element=0x0010,
                keyword_off=0,
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
    data = L.pack_file(body)
    assert len(data) == 124
    return data


def small_public() -> bytes:
    return W.to_bytes(
        [
            Entry(0x0008, 0x0016, keyword="SOPClassUID", name="SOP Class UID", vr="UI", sources=("DICOM",)),
            Entry(
                0x0010,
                0x0010,
                keyword="PatientName",
                name="Patient's Name",
                vr="PN",
                description="The patient's full name.",
                sources=("DICOM", "local"),
            ),
            Entry(0x0010, 0x0020, keyword="PatientID", name="Patient ID", vr="LO"),
            Entry(0x0028, 0x0010, keyword="Rows", name="Rows", vr="US"),
            Entry(0xFFFE, 0xE000, keyword="Item", name="Item", vr="??"),
            Entry(0x0018, 0x1000, keyword="OldThing", name="Old Thing", vr="SH", retired=True),
        ]
    )


def mixed_private() -> bytes:
    return W.to_bytes(
        [
            Entry(0x0010, 0x0010, keyword="PatientName", name="Patient's Name", vr="PN"),
            Entry(
                0x0029,
                0x0010,
                creator="ACME 1.1",
                keyword="AcmeDose",
                name="Dose",
                vr="DS",
                block_offset=True,
                sources=("ACME conformance statement",),
            ),
            Entry(
                0x0029,
                0x0011,
                creator="ACME 1.1",
                keyword="AcmeRate",
                name="Rate",
                vr="FL",
                block_offset=True,
            ),
            Entry(
                0x0029,
                0x0010,
                creator="Other  Vendor",
                keyword="OtherDose",
                name="Other Dose",
                vr="FD",
                block_offset=True,
                sources=("a", "b", "c", "d", "e"),
            ),
            Entry(
                0x0029,
                0x0010,
                creator="straße",
                keyword="Strasse",
                name="Straße",
                vr="UT",
                description="Ünïcödé text ✓",
                block_offset=True,
            ),
            Entry(
                0x0009,
                0x0001,
                creator="SIEMENS CSA HEADER",
                keyword="",
                name="",
                vr="OB",
                retired=True,
                block_offset=True,
            ),
        ]
    )


def tsv_slice(limit_public: int = 40, limit_private: int = 60) -> bytes | None:
    """A few rows of the bundled dictionary text, spread over the file, as a dictionary."""
    if not TSV.exists():
        return None
    lines = TSV.read_text(encoding="utf-8").rstrip("\n").split("\n")[1:]
    rows = [line.split("\t") for line in lines]
    public = [r for r in rows if not r[2]]
    private = [r for r in rows if r[2]]
    picked = public[:: max(1, len(public) // limit_public)][:limit_public]
    picked += private[:: max(1, len(private) // limit_private)][:limit_private]
    return W.to_bytes(tsv_entries(picked))


def tsv_entries(picked: list[list[str]]) -> list:
    return [
        Entry(
            int(g, 16),
            int(e, 16),
            creator=c,
            keyword=k,
            name=n,
            vr=vr,
            retired=rt == "1",
            block_offset=bo == "1",
            sources=tuple(s for s in src.split("|") if s),
            description=d,
            vm=vm,
        )
        for g, e, c, k, n, vr, vm, rt, bo, src, d in picked
    ]


def hand_made() -> dict[str, bytes]:
    """Bodies the writer would never produce but the reader must survive."""
    rec = L.RawRecord
    seeds: dict[str, bytes] = {}
    seeds["empty-dictionary"] = L.pack_file(
        b"".join([L.vecref(0, 0, 0), L.vecref(0, 0, 8), L.vecref(0, 0, 16)])
    )
    # Two entries of equal key: the later one must win.
    seeds["duplicate-keys"] = L.pack_file(
        L.Body(
            index=[L.RawIndexEntry(0x10, 0x10, 0, 0), L.RawIndexEntry(0x10, 0x10, 0, 1)],
            records=[rec(0x10, 0x10, keyword_len=1), rec(0x10, 0x10, keyword_off=1, keyword_len=1)],
            strings=b"AB",
        )
    )
    # Valid layout, broken contents: none of this is checked when the file is opened.
    seeds["record-number-out-of-range"] = L.pack_file(
        L.Body(index=[L.RawIndexEntry(0x10, 0x10, 0, 1)], records=[rec(0x10, 0x10)], strings=b"")
    )
    seeds["strref-beyond-pool"] = L.pack_file(
        L.Body(
            index=[
                L.RawIndexEntry(0x10, 0x10, 0, 0),
                L.RawIndexEntry(0x10, 0x11, 0, 1),
                L.RawIndexEntry(0x10, 0x12, 0, 2),
            ],
            records=[
                rec(0x10, 0x10, keyword_off=5, keyword_len=0),
                rec(0x10, 0x11, description_off=2, description_len=0xFFFFFFFF),
                rec(0x10, 0x12, creator_off=0xFFFFFFFF, creator_len=0, sources_off=4),
            ],
            strings=b"abcd",
        )
    )
    seeds["invalid-utf8"] = L.pack_file(
        L.Body(
            index=[L.RawIndexEntry(0x10, 0x10)],
            records=[
                rec(
                    0x10,
                    0x10,
                    keyword_off=0,
                    keyword_len=2,
                    name_off=2,
                    name_len=3,
                    sources_off=0,
                    sources_len=11,
                    vr=34,
                )
            ],
            strings=b"\xc0\x80\xed\xa0\x80|ok||\xff|",
        )
    )
    seeds["unsorted-index"] = L.pack_file(
        L.Body(
            index=[
                L.RawIndexEntry(0x30, 0x1, 0, 0),
                L.RawIndexEntry(0x10, 0x1, 0, 1),
                L.RawIndexEntry(0x20, 0x1, 0, 0),
            ],
            records=[rec(0x30, 0x1), rec(0x10, 0x1)],
            strings=b"",
        )
    )
    # Gaps between the arrays, and an empty records array placed at the end of the index.
    index = L.RawIndexEntry(0x10, 0x10, 0, 0).pack()
    pool = b"KwNm"
    body = index + bytes(4) + pool + bytes(8)
    root = len(body)
    seeds["gaps-and-empty-records"] = L.pack_file(
        body + b"".join([L.vecref(0, 1, root), L.vecref(12, 0, root + 8), L.vecref(16, 4, root + 16)])
    )
    # Empty arrays aimed exactly at the root: accepted.
    seeds["empty-arrays-at-root"] = L.pack_file(
        bytes(8) + b"".join([L.vecref(8, 0, 8), L.vecref(8, 0, 16), L.vecref(8, 0, 24)])
    )
    return seeds


def malformed(name: str, data: bytes) -> dict[str, bytes]:
    """Variants of a valid file that fail one check each, or land next to one."""
    out: dict[str, bytes] = {}
    for n in sorted({0, 4, 31, 32, 55, 56, len(data) - 1, len(data) - 4}):
        if 0 <= n < len(data):
            out[f"{name}-truncated-{n}"] = data[:n]
    out[f"{name}-bad-magic"] = b"QLEU" + data[4:]
    out[f"{name}-bad-version-3"] = data[:4] + struct.pack("<H", 3) + data[6:]
    out[f"{name}-bad-version-big-endian"] = data[:4] + struct.pack(">H", 2) + data[6:]
    for extra in (1, 2, 3):
        out[f"{name}-root-misaligned-{extra}"] = data + bytes(extra)
    root = len(data) - L.ROOT_LEN
    refs = {m.name: (root + m.at, *L.unpack_vec_ref(data, root + m.at)) for m in L.ROOT_MEMBERS}
    for member, (at, off, count) in refs.items():
        for delta in (-4, -1, 1, 4):
            nudged = bytearray(data)
            nudged[at : at + L.VEC_REF_LEN] = L.vecref(off + delta, count, 0)
            out[f"{name}-{member}-offset{delta:+d}"] = bytes(nudged)
        grown = bytearray(data)
        grown[at : at + L.VEC_REF_LEN] = L.vecref(off, count + 1, 0)
        out[f"{name}-{member}-count+1"] = bytes(grown)
    # Out-of-range byte fields in the first record, found through the root.
    at, off, count = refs["records"]
    if count > 0:
        first = L.RawRecord.unpack_from(data, at + off)
        for field, attribute, value in (
            ("vr", "vr", 35),
            ("block-offset", "block_offset", 2),
            ("retired", "retired", 2),
        ):
            bad = bytearray(data)
            record = dataclasses.replace(first, **{attribute: value})
            bad[at + off : at + off + L.RECORD_LEN] = record.pack()
            out[f"{name}-record-{field}-{value}"] = bytes(bad)
    return out


def file_seeds() -> dict[str, bytes]:
    example = worked_example()
    public = small_public()
    private = mixed_private()
    seeds = {"worked-example": example, "public": public, "private": private}
    seeds.update(hand_made())
    if (tsv := tsv_slice()) is not None:
        seeds["bundled-slice"] = tsv
    seeds.update(malformed("worked-example", example))
    seeds.update(malformed("private", private))
    # The reader's ignored header bytes put to fuzz_file's use.
    seeds["worked-example-shift-1"] = with_header_key(example, 0x10, 0x10, shift=1)
    seeds["worked-example-shift-4"] = with_header_key(example, 0x10, 0x10, shift=4)
    seeds["private-key-folded-creator"] = with_header_key(private, 0x0029, 0x0010, b" acme\t1.1 ")
    seeds["private-key-empty-creator"] = with_header_key(private, 0x0029, 0x0010, b"")
    seeds["private-key-block-byte"] = with_header_key(private, 0x0029, 0x1010, b"ACME 1.1")
    return seeds


CREATORS = [
    "",
    " ",
    " \t\n",
    "ACME 1.1",
    "acme  corp",
    " ACME CORP ",
    "Acme\tCorp",
    "acme\u00a0corp",
    "ACME\u200bCORP",
    "straße",
    "\ufb03",
    "\u0149",
    "\u1fb3",
    "\u0390",
    "\u0131\u0130",
    "a\u0085b\u1680c\u2000d\u200ae\u2028f\u2029g\u202fh\u205fi\u3000j",
    "\x1c\x1d\x1e\x1f",
    "SIEMENS CSA HEADER",
    "GEMS_IDEN_01",
    "Philips Imaging DD 001",
    "ÄÖÜ äöü",
    "Ǆǅǆ",
    "\U0001f600 \U00010428",
    "ǰ",
    "ΐ",
    "ﬀﬁﬂ",
    "ꭰ",
]
BAD_UTF8 = [
    b"\x80",
    b"abc\xff",
    b"\xc0\x80",
    b"\xc2",
    b"\xe2\x80",
    b"\xed\xa0\x80",
    b"\xf4\x90\x80\x80",
    b"\xf0\x9f\x98",
    b"a\xe2\x80 \x80b",
    b"\xc2\x85\xc2",
    b"\xe2 \x80\x80",
]


def creator_seeds() -> dict[str, bytes]:
    seeds = {f"text-{i:02d}": s.encode() for i, s in enumerate(CREATORS)}
    seeds.update({f"bad-utf8-{i:02d}": b for i, b in enumerate(BAD_UTF8)})
    if TSV.exists():
        lines = TSV.read_text(encoding="utf-8").split("\n")[1:]
        creators = sorted({line.split("\t")[2] for line in lines if line.count("\t") >= 2} - {""})
        for i, c in enumerate(creators[:: max(1, len(creators) // 24)][:24]):
            seeds[f"bundled-{i:02d}"] = c.encode()
    return seeds


def companion_seeds() -> dict[str, bytes]:
    """Pairs for fuzz_companion: a u32 length, that many bytes of a dictionary, its companion."""

    def pair(qlet: bytes, companion: bytes) -> bytes:
        return struct.pack("<I", len(qlet)) + qlet + companion

    small = [
        Entry(0x0010, 0x0010, keyword="PatientName", name="Patient's Name", vr="PN", vm="1"),
        Entry(0x6000, 0x0010, keyword="OverlayRows", name="Overlay Rows", vr="US", vm="1"),
        Entry(0x6002, 0x0010, keyword="OverlayRows", name="Overlay Rows", vr="US", vm="1"),
        Entry(0x0029, 0x10, creator="ACME 1.0", keyword="PatientName", block_offset=True, vm="2-2n"),
        Entry(0x0029, 0x11, creator="Beta", keyword="Dose", name="Straße Dose", block_offset=True),
    ]
    qlet, companion = W.to_files(small)
    other_qlet, _ = W.to_files(small[:-1])
    seeds = {
        "small": pair(qlet, companion),
        "empty": pair(*W.to_files([])),
        "no-digest": pair(W.to_bytes(small), companion),
        "other-data": pair(other_qlet, companion),
        "truncated": pair(qlet, companion[: len(companion) // 2]),
        "header-only": pair(qlet, companion[:96]),
    }
    if TSV.exists():
        lines = TSV.read_text(encoding="utf-8").rstrip("\n").split("\n")[1:]
        rows = [line.split("\t") for line in lines[:: max(1, len(lines) // 60)][:60]]
        seeds["tsv-slice"] = pair(*W.to_files(tsv_entries(rows)))
    return seeds


def uid_seeds() -> dict[str, bytes]:
    """UID files for fuzz_uids: small ones of the writer's, and what a reader must refuse."""
    uid_writer = _load("_uid_writer")
    UidEntry = uid_writer.UidEntry
    small = uid_writer.uids_to_bytes(
        [
            UidEntry(
                "1.2.840.10008.1.2.1",
                keyword="ExplicitVRLittleEndian",
                name="Explicit VR Little Endian",
                type="Transfer Syntax",
                encoding="explicit little",
                sources=("DICOM",),
            ),
            UidEntry(
                "1.2.840.10008.1.2.4.50",
                keyword="JPEGBaseline8Bit",
                name="JPEG Baseline",
                type="Transfer Syntax",
                encoding="explicit little encapsulated",
            ),
            UidEntry(
                "1.2.840.10008.5.1.4.1.1.2",
                keyword="CTImageStorage",
                name="CT Image Storage",
                type="SOP Class",
            ),
            UidEntry("1.2.840.10008.1.2.5.0", name="Straße", retired=True),
        ]
    )
    seeds = {
        "small": small,
        "empty": uid_writer.uids_to_bytes([]),
        "truncated": small[: len(small) // 2],
        "header-only": small[:48],
        "version-2": small[:4] + struct.pack("<H", 2) + small[6:],
    }
    tsv = ROOT / "data" / "uids.tsv"
    if tsv.exists():
        rows = [line.split("\t") for line in tsv.read_text(encoding="utf-8").rstrip("\n").split("\n")[1::10]]
        seeds["tsv-slice"] = uid_writer.uids_to_bytes(
            UidEntry(r[0], keyword=r[1], name=r[2], type=r[3], info=r[4], retired=r[5] == "1", encoding=r[6])
            for r in rows
        )
    return seeds


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--check", action="store_true", help="compare, do not write")
    args = parser.parse_args()
    stale = False
    for folder, seeds in (
        ("file", file_seeds()),
        ("creator", creator_seeds()),
        ("companion", companion_seeds()),
        ("uids", uid_seeds()),
    ):
        target = CORPUS / folder
        wanted = {f"{name}.bin": data for name, data in seeds.items()}
        present = {p.name: p.read_bytes() for p in target.glob("*.bin")} if target.exists() else {}
        if args.check:
            if wanted != present:
                differ = sorted(
                    set(wanted) ^ set(present)
                    | {n for n in wanted if n in present and wanted[n] != present[n]}
                )
                print(f"{target.relative_to(ROOT)}: out of date: {', '.join(differ)}")
                stale = True
            continue
        target.mkdir(parents=True, exist_ok=True)
        for name in set(present) - set(wanted):
            (target / name).unlink()
        for name, data in wanted.items():
            if present.get(name) != data:
                (target / name).write_bytes(data)
        size = sum(len(d) for d in wanted.values())
        print(f"{target.relative_to(ROOT)}: {len(wanted)} seeds, {size} bytes")
    return 1 if stale else 0


if __name__ == "__main__":
    sys.exit(main())
