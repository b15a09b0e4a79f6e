"""Integrity validation at open: each placement rule and record check, with its exact text.

Messages carry process addresses. A mapping starts on a page boundary and the body 32 bytes
into it, so for these small files an address maps back to a body position exactly; the
expected texts below write addresses as @position.
"""

from __future__ import annotations

import mmap
import struct

import pytest

import quillet
from quillet import _layout as L

from conftest import HEX, example_body

PREFIX = "archive integrity check failed: "


def failure(write, data) -> str:
    path = write(data)
    with pytest.raises(OSError) as e:
        quillet.open(path)
    text = str(e.value)
    head = f"cannot open {path}: {PREFIX}"
    assert text.startswith(head), text
    return HEX.sub(lambda m: f"@{(int(m.group(), 16) - 32) % mmap.PAGESIZE}", text[len(head) :])


def body_of(size: int, fill: int = 0) -> bytes:
    return L.header() + bytes([fill]) * size


def root(index=(0, 0), records=(0, 0), strings=(0, 0)) -> list[tuple[int, int]]:
    """Root references given as (target body position, count), relative to a root at 0."""
    return [index, records, strings]


def with_root(body: L.Body, **refs) -> L.Body:
    """Packs once to learn the positions, then replaces chosen references by absolute targets."""
    body.pack()
    at = body.positions["root"]
    current = {
        "index": (body.positions["index"], len(body.index)),
        "records": (body.positions["records"], len(body.records)),
        "strings": (body.positions["strings"], len(body.strings)),
    }
    current.update(refs)
    body.root = [
        (current[name][0] - (at + 8 * i), current[name][1])
        for i, name in enumerate(("index", "records", "strings"))
    ]
    return body


def test_empty_body(write):
    assert failure(write, body_of(0)) == (
        "context error: pointer out of bounds: base @0 offset -24 not in range @0..@0"
    )


def test_body_one_short_of_a_root(write):
    assert failure(write, body_of(23)) == (
        "context error: pointer out of bounds: base @0 offset -1 not in range @0..@23"
    )


def test_misaligned_root(write):
    assert failure(write, body_of(25)) == "context error: unaligned pointer: ptr @1 unaligned for alignment 4"


def test_root_of_zeros_after_room_for_it(write):
    # L = 28 places the root at 4; all-zero references then point at the root's own fields.
    assert failure(write, body_of(28)) == (
        "check bytes error: check failed for struct member records: "
        "subtree pointer out of bounds: ptr @12 not in range @4..@4"
    )


def test_bare_root_is_valid(write):
    refs = struct.pack("<iIiIiI", 0, 0, -8, 0, -16, 0)
    h = quillet.open(write(L.header() + refs))
    assert len(h) == 0 and not h and repr(h) == "<quillet.Dict len=0>"
    assert h.lookup(0x10, 0x10) is None


@pytest.mark.parametrize(
    "refs, text",
    [
        (
            (1, 0, -8, 0, -16, 0),
            "check bytes error: check failed for struct member index: "
            "unaligned pointer: ptr @1 unaligned for alignment 4",
        ),
        (
            (4, 0, -8, 0, -16, 0),
            "check bytes error: check failed for struct member index: "
            "subtree pointer out of bounds: ptr @4 not in range @0..@0",
        ),
        (
            (-4, 0, -8, 0, -16, 0),
            "check bytes error: check failed for struct member index: "
            "pointer out of bounds: base @0 offset -4 not in range @0..@24",
        ),
        (
            (25, 0, -8, 0, -16, 0),
            "check bytes error: check failed for struct member index: "
            "pointer out of bounds: base @0 offset 25 not in range @0..@24",
        ),
        (
            (0, 0, -4, 0, -16, 0),
            "check bytes error: check failed for struct member records: "
            "subtree pointer out of bounds: ptr @4 not in range @0..@0",
        ),
        (
            (0, 0, -8, 0, -15, 0),
            "check bytes error: check failed for struct member strings: "
            "subtree pointer out of bounds: ptr @1 not in range @0..@0",
        ),
        (
            (0, 1, -8, 0, -16, 0),
            "check bytes error: check failed for struct member index: "
            "subtree pointer out of bounds: ptr @0 not in range @0..@0",
        ),
        (
            (0, 3, -8, 0, -16, 0),
            "check bytes error: check failed for struct member index: "
            "pointer overran buffer: ptr @0 size 36 in range @0..@24",
        ),
        (
            (0, 0, -8, 0, -16, 1),
            "check bytes error: check failed for struct member strings: "
            "subtree pointer out of bounds: ptr @0 not in range @0..@0",
        ),
    ],
)
def test_bare_root_with_other_offsets(write, refs, text):
    assert failure(write, L.header() + struct.pack("<iIiIiI", *refs)) == text


def _three_records() -> L.Body:
    body = example_body()
    body.records = [L.RawRecord(group=0x10, element=0x10) for _ in range(3)]
    body.strings = b"x" * 8
    return body


# Positions of _three_records: index 0..12, records 12..144, strings 144..152, root at 152.
@pytest.mark.parametrize(
    "refs, text",
    [
        # A non-empty array that starts inside the root.
        (
            dict(strings=(152, 4)),
            "check bytes error: check failed for struct member strings: "
            "subtree pointer out of bounds: ptr @152 not in range @144..@152",
        ),
        # One that starts before the root but runs into it.
        (
            dict(strings=(148, 8)),
            "check bytes error: check failed for struct member strings: "
            "subtree pointer overran range: ptr @148 size 8 in range @144..@152",
        ),
        # One that runs past the end of the file.
        (
            dict(strings=(170, 8)),
            "check bytes error: check failed for struct member strings: "
            "pointer overran buffer: ptr @170 size 8 in range @0..@176",
        ),
        # An empty array aimed at the end of the body, and one aimed at the root.
        (
            dict(strings=(176, 0)),
            "check bytes error: check failed for struct member strings: "
            "subtree pointer out of bounds: ptr @176 not in range @144..@152",
        ),
        (dict(strings=(152, 0)), None),
        # Records placed before the index.
        (
            dict(index=(132, 1), records=(0, 3)),
            "check bytes error: check failed for struct member records: "
            "subtree pointer out of bounds: ptr @0 not in range @144..@152",
        ),
        # Strings overlapping the last record.
        (
            dict(strings=(140, 8)),
            "check bytes error: check failed for struct member strings: "
            "subtree pointer out of bounds: ptr @140 not in range @144..@152",
        ),
        # An empty records array after the start of the pool breaks the pool's placement.
        (
            dict(records=(148, 0), index=(0, 0)),
            "check bytes error: check failed for struct member strings: "
            "subtree pointer out of bounds: ptr @144 not in range @148..@152",
        ),
        # Records that do not start on a multiple of four.
        (
            dict(records=(14, 3)),
            "check bytes error: check failed for struct member records: "
            "unaligned pointer: ptr @14 unaligned for alignment 4",
        ),
        # Gaps between arrays are allowed.
        (dict(index=(0, 0), records=(16, 2), strings=(146, 3)), None),
    ],
)
def test_array_placement(write, refs, text):
    data = with_root(_three_records(), **refs)
    if text is None:
        quillet.open(write(data))
    else:
        assert failure(write, data) == text


def _bad_records(**fields_at) -> L.Body:
    body = _three_records()
    for i, fields in fields_at.items():
        for name, value in fields.items():
            setattr(body.records[int(i[1:])], name, value)
    return body


FIELD = (
    "check bytes error: check failed for struct member records: check failed for slice index {}: "
    "check failed for struct member {}: {}"
)


@pytest.mark.parametrize(
    "bad, text",
    [
        (
            dict(r0=dict(block_offset=2, retired=2)),
            FIELD.format(0, "element_is_block_offset", "check failed for bool: expected 0 or 1, found 2"),
        ),
        (
            dict(r1=dict(retired=2, vr=200)),
            FIELD.format(1, "retired", "check failed for bool: expected 0 or 1, found 2"),
        ),
        (dict(r2=dict(vr=35)), FIELD.format(2, "vr", "invalid tag for enum: 35")),
        (dict(r2=dict(vr=255)), FIELD.format(2, "vr", "invalid tag for enum: 255")),
        (
            dict(r1=dict(block_offset=255)),
            FIELD.format(1, "element_is_block_offset", "check failed for bool: expected 0 or 1, found 255"),
        ),
        (dict(r2=dict(retired=3), r1=dict(vr=99)), FIELD.format(1, "vr", "invalid tag for enum: 99")),
    ],
)
def test_record_checks(write, bad, text):
    assert failure(write, _bad_records(**bad)) == text


def test_retired_two_in_the_eighth_record(write):
    body = example_body()
    body.records = [L.RawRecord() for _ in range(8)]
    body.records[7].retired = 2
    assert failure(write, body) == (
        "check bytes error: check failed for struct member records: check failed for slice index 7: "
        "check failed for struct member retired: check failed for bool: expected 0 or 1, found 2"
    )


def test_what_validation_does_not_check(write):
    # vr 34, ignored bytes, a record number past the end, an unsorted index, texts beyond the
    # pool and invalid UTF-8 are all for the lookup to meet, not for open to refuse.
    body = example_body()
    body.records[0].vr = 34
    body.records[0].unused = 0xFFFF
    body.records[0].padding = 0xFF
    body.records[0].keyword_off = 10_000
    body.index = [L.RawIndexEntry(0x20, 0, record=99), L.RawIndexEntry(0x10, 0x10)]
    body.strings = b"\xff\xfe" + body.strings[2:]
    assert len(quillet.open(write(body))) == 2


def test_file_length_not_a_multiple_of_four(write):
    data = L.pack_file(example_body()) + b"\0"
    assert failure(write, data).startswith("context error: unaligned pointer: ptr @")
