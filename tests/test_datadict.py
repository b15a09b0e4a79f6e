"""quillet.datadict against pydicom.datadict: pydicom's own tests, and every entry of pydicom's."""

from __future__ import annotations

import os
import re
import subprocess
import sys
import tarfile
import textwrap
from collections import Counter

import pytest

pydicom = pytest.importorskip("pydicom")
from pydicom import datadict as theirs  # noqa: E402
from pydicom._dicom_dict import DicomDictionary, RepeatersDictionary  # noqa: E402
from pydicom._private_dict import private_dictionaries  # noqa: E402

from quillet import datadict as ours  # noqa: E402

# Tests of pydicom's that quillet.datadict must pass, its imports redirected, and the helper its
# test_util gives them.
SAVE_PRIVATE_DICT = '''
import contextlib, copy
import quillet

@contextlib.contextmanager
def save_private_dict():
    """The entries added meanwhile are taken away again."""
    d = quillet._bundled_dictionary()
    saved = copy.deepcopy(d._added)
    try:
        yield
    finally:
        d._added = saved
        d._arrange()
'''


PIP_DOWNLOAD = [sys.executable, "-m", "pip", "download", "--no-deps", "--no-binary", ":all:", "--quiet"]


def test_pydicoms_own_dictionary_tests_pass(tmp_path):
    # pydicom's source distribution, as pip downloads it into the test environment; nothing of it
    # is kept in this repository.
    version = pydicom.__version__
    got = subprocess.run(
        [*PIP_DOWNLOAD, "-d", str(tmp_path), f"pydicom=={version}"],
        capture_output=True,
        text=True,
    )
    if got.returncode != 0 and os.environ.get("QUILLET_OFFLINE") == "1":
        pytest.skip("QUILLET_OFFLINE=1: pydicom's source distribution cannot be downloaded")
    assert got.returncode == 0, got.stderr
    (archive,) = tmp_path.glob("pydicom-*.tar.gz")
    with tarfile.open(archive) as tar:
        member = tar.getmember(f"pydicom-{version}/tests/test_dictionary.py")
        source = tar.extractfile(member).read().decode("utf-8")  # type: ignore[union-attr]
    redirected, n = re.subn(r"\bfrom pydicom\.datadict import\b", "from quillet.datadict import", source)
    redirected, m = re.subn(r"\bfrom \.test_util import\b", "from quillet_test_util import", redirected)
    assert (n, m) == (2, 1), "pydicom's imports are not where they were"
    (tmp_path / "test_dictionary.py").write_text(redirected, encoding="utf-8")
    (tmp_path / "quillet_test_util.py").write_text(textwrap.dedent(SAVE_PRIVATE_DICT), encoding="utf-8")
    ran = subprocess.run(
        [
            sys.executable,
            "-m",
            "pytest",
            "-q",
            "-p",
            "no:cacheprovider",
            "-W",
            "ignore",
            "test_dictionary.py",
        ],
        capture_output=True,
        text=True,
        cwd=tmp_path,
    )
    assert ran.returncode == 0, ran.stdout + ran.stderr
    assert re.search(r"\b(\d+) passed\b", ran.stdout) and " failed" not in ran.stdout


# ---- every entry of pydicom's dictionaries ----------------------------------------------------------

FUNCTIONS = (
    "get_entry",
    "dictionary_VR",
    "dictionary_VM",
    "dictionary_description",
    "dictionary_keyword",
    "dictionary_is_retired",
    "dictionary_has_tag",
    "keyword_for_tag",
    "repeater_has_tag",
)


def answers(module, call):
    try:
        return call(module)
    except Exception as exc:
        return type(exc), str(exc).strip("'\"")


def test_every_public_entry_gets_pydicoms_answers():
    differ: Counter[str] = Counter()
    for tag, entry in DicomDictionary.items():
        for name in FUNCTIONS:
            if answers(ours, lambda m, name=name, t=tag: getattr(m, name)(t)) != answers(
                theirs, lambda m, name=name, t=tag: getattr(m, name)(t)
            ):
                differ[f"{name} {tag:08X}"] += 1
        if entry[4] and ours.tag_for_keyword(entry[4]) != theirs.tag_for_keyword(entry[4]):
            differ[f"tag_for_keyword {entry[4]}"] += 1
    # pydicom's keyword table maps the empty keyword to the last of its entries that have none;
    # quillet knows no empty keyword.
    assert theirs.tag_for_keyword("") is not None and ours.tag_for_keyword("") is None
    assert not differ, sorted(differ)[:20]


def test_every_repeating_group_gets_pydicoms_answers():
    differ = []
    for mask in RepeatersDictionary:
        # The first, a middle and the last tag that the mask covers, and odd groups beside them.
        low, high = int(mask.replace("x", "0"), 16), int(mask.replace("x", "F"), 16)
        for tag in {low, high, (low + high) // 2 & ~1, low + 0x10000, high - 0x10000}:
            for name in (*FUNCTIONS, "mask_match", "repeater_has_tag"):
                a = answers(ours, lambda m, name=name, t=tag: getattr(m, name)(t))
                b = answers(theirs, lambda m, name=name, t=tag: getattr(m, name)(t))
                if a != b:
                    differ.append(f"{name}({tag:08X}) {a} != {b}")
        keyword = RepeatersDictionary[mask][4]
        assert ours.repeater_has_keyword(keyword) and ours.tag_for_keyword(keyword) is None
    assert not differ, differ[:20]


# Private entries both dictionaries hold whose VR or VM quillet's sources decided otherwise (a
# real VR beat pydicom's UN, or more sources hold another; tests/test_against_pydicom.py lists
# them by rule), and the two that no data set can hold (a creator in an even group).
PRIVATE_DIFFERENCES = {"VR": 327, "VM": 9, "not in quillet": 2}


def test_every_private_entry_both_hold_has_pydicoms_vr_and_vm():
    counts: Counter[str] = Counter()
    for creator, entries in private_dictionaries.items():
        for mask, (vr, vm, _name, _retired) in entries.items():
            if "x" in mask[:4].lower() or mask[6:].lower() == "xx":
                continue  # whole groups or blocks: no single element to ask about
            tag = int(mask.replace("xx", "10").replace("XX", "10"), 16)
            try:
                got = ours.get_private_entry(tag, creator)
            except KeyError:
                counts["not in quillet"] += 1
                continue
            counts["both"] += 1
            counts["VR"] += got[0] != vr.replace("_", " or ")
            counts["VM"] += got[1] != vm
    print(f"\n  private entries: {dict(counts)}")
    assert counts["both"] > 10000
    assert {k: counts[k] for k in PRIVATE_DIFFERENCES} == PRIVATE_DIFFERENCES


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda m: m.get_entry(2**33), OverflowError, "Unable to create an element tag from '8589934592'"),
        (
            lambda m: m.get_entry(-1),
            ValueError,
            "Unable to create an element tag from '-1': tags must be positive",
        ),
        (lambda m: m.get_entry((1, 2, 3)), ValueError, "Tag must be an int or a 2-tuple"),
        (lambda m: m.get_entry((1, "2")), TypeError, "Unable to create an element tag from '(1, '2')'"),
        (
            lambda m: m.get_entry("NoSuchKeyword"),
            ValueError,
            "unknown DICOM element keyword or an invalid int",
        ),
        (lambda m: m.dictionary_VR("0x00100010"), None, "PN"),
        (lambda m: m.dictionary_VR(("0010", "0010")), None, "PN"),
        (lambda m: m.get_entry(0x00080000), KeyError, "Tag (0008,0000) not found in DICOM dictionary"),
        (lambda m: m.get_entry(0x00290010), KeyError, "Tag (0029,0010) not found in DICOM dictionary"),
        (lambda m: m.add_dict_entry(0x00091001, "DS", "K", "N"), ValueError, "Private tags cannot be added"),
        (
            lambda m: m.add_private_dict_entry("X", 0x00101001, "DS", "N"),
            ValueError,
            "Non-private tags cannot",
        ),
    ],
)
def test_tags_and_faults_as_pydicom_takes_them(call, exc, message):
    if exc is None:
        assert call(ours) == call(theirs) == message
        return
    for module in (ours, theirs):
        with pytest.raises(exc) as info:
            call(module)
        assert message in str(info.value)


def test_an_addition_ends_the_answers_remembered_before_it():
    # dictionary_has_tag remembers its slow answers, the repeating groups' tags': neither an
    # addition nor its removal may leave one of them standing.
    import copy

    import quillet

    d = quillet._bundled_dictionary()
    saved = copy.deepcopy(d._added)
    expansion = 0x60020010  # a row of (60xx,0010), no entry of the standard's own
    try:
        assert not ours.dictionary_has_tag(expansion)
        ours.add_dict_entry(expansion, "US", "AcmeRows", "Acme Rows")
        assert ours.dictionary_has_tag(expansion)
    finally:
        d._added = saved
        d._arrange()
    assert not ours.dictionary_has_tag(expansion)
