"""Naming whole data sets: Dictionary.annotate on pydicom's data sets and the DICOM JSON model."""

from __future__ import annotations

import logging
import os
import warnings
from collections import Counter

import pytest

import quillet

pydicom = pytest.importorskip("pydicom")
from pydicom import Dataset, dcmread  # noqa: E402
from pydicom.errors import InvalidDicomError  # noqa: E402
from pydicom.sequence import Sequence  # noqa: E402
from test_against_pydicom import shipped_test_files  # noqa: E402


@pytest.fixture(scope="module")
def d():
    return quillet.Dictionary()


def fields(a):
    return (a.path, a.tag, a.vr, a.creator, a.entry and a.entry["keyword"], a.unreserved)


def nested_json():
    """A data set whose private elements test which item's reservation counts."""
    item = {
        "00290010": {"vr": "LO", "Value": ["SIEMENS CSA HEADER"]},
        "00291010": {"vr": "OB", "InlineBinary": "AAAA"},
        "00291110": {"vr": "OB", "InlineBinary": "AAAA"},  # block 11 reserved only by the parent
    }
    return {
        "00100010": {"vr": "PN", "Value": [{"Alphabetic": "Doe^John"}]},
        "00290011": {"vr": "LO", "Value": ["SIEMENS MEDCOM HEADER"]},
        "00081140": {"vr": "SQ", "Value": [item, {}]},
        "00291008": {"vr": "CS", "Value": ["X"]},  # block 10 of the top level is reserved by no one
        "00290010": {"vr": "UN"},
    }


def test_creators_come_from_the_elements_own_item(d):
    got = [fields(a) for a in d.annotate(nested_json())]
    assert got == [
        ((), 0x00081140, "SQ", None, "ReferencedImageSequence", False),
        (((0x00081140, 0),), 0x00290010, "LO", None, "PrivateCreator", False),
        (((0x00081140, 0),), 0x00291010, "OB", "SIEMENS CSA HEADER", "CSAImageHeaderInfo", False),
        (((0x00081140, 0),), 0x00291110, "OB", None, None, True),
        ((), 0x00100010, "PN", None, "PatientName", False),
        ((), 0x00290010, "UN", None, "PrivateCreator", False),
        ((), 0x00290011, "LO", None, "PrivateCreator", False),
        ((), 0x00291008, "CS", None, None, True),
    ]


def test_a_pydicom_data_set_is_named_as_its_json_is(d):
    ds = Dataset()
    ds.PatientName = "Doe^John"
    block = ds.private_block(0x0029, "SIEMENS CSA HEADER", create=True)
    block.add_new(0x10, "OB", b"\0\0")
    inner = Dataset()
    inner.add_new(0x00290010, "LO", "SIEMENS MEDCOM HEADER")
    inner.add_new(0x00291008, "CS", "X")
    ds.ReferencedImageSequence = Sequence([inner, Dataset()])
    from_ds = [fields(a) for a in d.annotate(ds)]
    assert from_ds == [fields(a) for a in d.annotate(ds.to_json_dict())]
    private = [(a.path, a.tag, a.creator) for a in d.annotate(ds) if a.tag >> 16 == 0x29 and a.tag & 0xF000]
    assert private == [
        (((0x00081140, 0),), 0x00291008, "SIEMENS MEDCOM HEADER"),
        ((), 0x00291010, "SIEMENS CSA HEADER"),
    ]


def test_any_depth_is_walked():
    depth = 10_000
    ds = {"00100010": {"vr": "PN", "Value": [{"Alphabetic": "Deep"}]}}
    for _ in range(depth):
        ds = {"00081140": {"vr": "SQ", "Value": [ds]}}
    walked = list(quillet.Dictionary().annotate(ds))
    assert len(walked) == depth + 1 and walked[-1].depth == depth
    assert walked[-1].entry["keyword"] == "PatientName"


@pytest.mark.parametrize(
    "dataset, exc, message",
    [
        ({"0010001": {"vr": "PN"}}, ValueError, "not a tag of the DICOM JSON model: '0010001'"),
        ({"0010001G": {"vr": "PN"}}, ValueError, "not a tag of the DICOM JSON model"),
        (
            {"00081140": {"vr": "SQ", "Value": [[1]]}},
            TypeError,
            "a data set of the DICOM JSON model is a dict",
        ),
        (
            "00100010",
            TypeError,
            "annotate takes a pydicom Dataset or a dict of the DICOM JSON model, not str",
        ),
    ],
)
def test_what_is_no_data_set(d, dataset, exc, message):
    with pytest.raises(exc, match=message):
        list(d.annotate(dataset))


# ---- every element of pydicom's test files ------------------------------------------------------


def read_all() -> list[tuple[str, Dataset]]:
    log = logging.getLogger("pydicom")
    level = log.level
    log.setLevel(logging.ERROR)
    out = []
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            for path in shipped_test_files():
                try:
                    ds = dcmread(path, stop_before_pixels=True)
                except InvalidDicomError:
                    if not path.endswith(".dcm"):
                        continue
                    try:
                        ds = dcmread(path, force=True, stop_before_pixels=True)
                    except Exception:
                        continue
                except Exception:
                    continue
                out.append((os.path.basename(path), ds))
    finally:
        log.setLevel(level)
    return out


def pydicom_walk(ds):
    """(tag, private_creator, name) of every element, as pydicom's own walk gives them."""
    for elem in ds.iterall():
        yield int(elem.tag), elem.private_creator, elem.name


def name_difference(a, pydicom_name: str) -> str | None:
    """Why quillet's name differs from pydicom's DataElement.name, or None where they agree."""
    private = (a.tag >> 16) % 2 == 1
    ours = a.entry["name"] if a.entry else ""
    theirs = pydicom_name[1:-1] if private and pydicom_name.startswith("[") else pydicom_name
    if ours == theirs:
        return None
    if a.entry is None:
        if pydicom_name == "Private tag data":
            return "private: unknown to both" + (", its block reserved by no creator" if a.unreserved else "")
        if pydicom_name == "Private Creator" and ((a.tag >> 16) <= 7 or a.tag & 0xFFF0 == 0):
            return "pydicom calls a private creator what lies below the creator elements or in 0001-0007"
        return "unexplained: pydicom names what quillet does not"
    if private and pydicom_name in ("Private tag data", "Private Creator"):
        return "private: quillet names what pydicom calls " + repr(pydicom_name)
    if a.entry["sources"][0].startswith("rule: "):
        return "a rule answers: " + a.entry["sources"][0][6:]
    if private:
        return "private: another name decided by the sources' votes"
    return "public: the name differs"


def test_every_element_of_the_test_files(d, capsys):
    files = read_all()
    counts, kinds, bad = Counter(), Counter(), []
    for name, ds in files:
        try:
            as_json = ds.to_json_dict()  # also decodes every element in place
        except Exception:
            counts["files that pydicom cannot write as JSON"] += 1
            as_json = None
        annotated = list(d.annotate(ds))
        walk = list(pydicom_walk(ds))
        assert [a.tag for a in annotated] == [tag for tag, _, _ in walk], name
        for a, (tag, creator, pydicom_name) in zip(annotated, walk, strict=True):
            counts["elements"] += 1
            group, element = tag >> 16, tag & 0xFFFF
            if group % 2 == 1 and group > 8 and element >= 0x1000:
                counts["private data elements"] += 1
                if creator is None and a.creator is not None and a.vr == "SQ":
                    # pydicom decodes sequences while reading, before any reservation is seen,
                    # and leaves their private_creator unset; its reservation is there all the same.
                    reserved = ds if not a.path else None
                    counts["private sequences that pydicom gives no private_creator"] += 1
                    if reserved is not None:
                        assert reserved[(group << 16) | (element >> 8)].value == a.creator
                elif a.creator != (creator or None):
                    bad.append(f"{name} {tag:08X}: creator {a.creator!r}, pydicom {creator!r}")
            kind = name_difference(a, pydicom_name)
            if kind is not None:
                kinds[kind] += 1
        if as_json is not None:
            counts["files compared with their JSON"] += 1
            assert [fields(a) for a in d.annotate(as_json)] == [fields(a) for a in annotated], name
    with capsys.disabled():
        print(f"\n  {len(files)} files: {dict(counts)}; names that differ from pydicom's: {dict(kinds)}")
    assert not bad, "\n".join(bad[:20])
    assert counts["private data elements"] > 1000
    assert not [
        k
        for k in kinds
        if k in ("public: the name differs", "unexplained: pydicom names what quillet does not")
    ]


# ---- quillet dump ---------------------------------------------------------------------------------


def test_dump_of_every_test_file_names_what_it_cannot_read(capsys):
    from quillet.cli import main

    files = shipped_test_files()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        code = main(["dump", *files])
    out, err = capsys.readouterr()
    failed = err.splitlines()
    assert code == (2 if failed else 0)
    assert all(any(line.startswith(f"quillet: {f}") for f in files) for line in failed), failed
    dumped = out.count("\n# ")
    print(f"\n  dump: {len(files)} files, {dumped + 1} dumped, {len(failed)} named as unreadable")
    assert dumped + 1 + len(failed) == len(files)
    assert all(len(line) < 250 for line in out.splitlines())  # values in short


def test_dump_lines_and_json(tmp_path, capsys):
    import json

    from quillet.cli import main

    data = nested_json()
    data["00081030"] = {"vr": "LO", "Value": ["x" * 100 + "\x1b[2J"]}
    path = tmp_path / "set.json"
    path.write_text(json.dumps(data))
    assert main(["dump", str(path)]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert lines[0].startswith("(0008,1030) LO StudyDescription") and lines[0].endswith("x...")
    assert lines[1].startswith("(0008,1140) SQ ReferencedImageSequence") and lines[1].endswith("<2 items>")
    assert lines[2] == " (FFFE,E000) item 1"
    assert lines[4].startswith("  (0029,1010) OB CSAImageHeaderInfo") and lines[4].endswith("<3 bytes>")
    assert lines[5].startswith("  (0029,1110) OB (no creator) unknown")
    assert main(["dump", "--json", str(path)]) == 0
    objects = [json.loads(x) for x in capsys.readouterr().out.splitlines()]
    assert objects[3] | {"entry": None} == {
        "path": [["00081140", 0]],
        "tag": "00291010",
        "vr": "OB",
        "creator": "SIEMENS CSA HEADER",
        "unreserved": False,
        "entry": None,
        "value": "<3 bytes>",
    }
    assert objects[3]["entry"]["keyword"] == "CSAImageHeaderInfo" and objects[3]["entry"]["vm"] == "1"


def test_dump_without_pydicom_reads_json_and_names_the_extra(tmp_path):
    import json
    import subprocess
    import sys

    (tmp_path / "set.json").write_text(
        json.dumps({"00100010": {"vr": "PN", "Value": [{"Alphabetic": "A^B"}]}})
    )
    (tmp_path / "image.dcm").write_bytes(bytes(128) + b"DICM")
    code = "import sys\nsys.modules['pydicom'] = None  # as if not installed\n"
    code += "from quillet.cli import main\nsys.exit(main(sys.argv[1:]))"
    p = subprocess.run(
        [sys.executable, "-c", code, "dump", str(tmp_path / "image.dcm"), str(tmp_path / "set.json")],
        capture_output=True,
        text=True,
    )
    assert p.returncode == 2
    assert p.stderr == (
        f"quillet: {tmp_path / 'image.dcm'}: reading a DICOM file needs pydicom, which quillet's extra "
        "installs: pip install 'quillet[dicom]'\n"
    )
    assert p.stdout == f"# {tmp_path / 'set.json'}\n(0010,0010) PN PatientName                          A^B\n"
