"""Private data elements of real files, the evidence that the bundled dictionary is judged by.

The files are those that pydicom ships as its test data (``pydicom/data/test_files``), from
many vendors' devices.  Each is read with pydicom, element by element, items of sequences too;
a private data element's creator is the value of the creator element that reserved its block in
the same data set or item.  Where the file was written with explicit VRs, the VR that the writer
put there is what the element really is: a dictionary that gives another VR for that element
disagrees with the file.  An explicit "UN" says only that the writer did not know, so it is no
evidence.

``tools/regen_dictionary.py`` reports these counts for each source and for the merged result,
and ``tests/test_data_evidence.py`` holds the committed dictionary to them; both look entries up
with :func:`find`, the lookup that quillet makes: a fixed element first, then the offset in the
block.
"""

from __future__ import annotations

import logging
import warnings
from collections.abc import Callable, Iterator, Mapping
from dataclasses import dataclass
from pathlib import Path
from typing import Any


@dataclass(frozen=True)
class Seen:
    """One private data element of one file."""

    file: str
    group: int
    element: int
    creator: str
    vr: str | None  # as written in the file, None where the file gives none (implicit VR)


def test_files_root() -> Path:
    import pydicom

    return Path(pydicom.__file__).parent / "data" / "test_files"


def test_files() -> list[Path]:
    return sorted(p for p in test_files_root().rglob("*") if p.is_file())


def _explicit_vr(ds: Any, tag: int) -> str | None:
    raw = ds.get_item(tag)
    # Elements not yet converted keep the VR as read; a converted one may have had its "UN"
    # replaced from pydicom's dictionary, so only its data set's encoding can vouch for it.
    implicit = getattr(raw, "is_implicit_VR", None)
    if implicit is None:
        encoding = getattr(ds, "original_encoding", None)
        implicit = True if encoding is None else encoding[0]
    return None if implicit or raw.VR in (None, "UN") else str(raw.VR)


def _walk(ds: Any, name: str) -> Iterator[Seen]:
    for tag in list(ds.keys()):
        group, element = tag.group, tag.element
        if group % 2 and element >= 0x1000:
            reserved = ds.get((group << 16) | (element >> 8))
            if reserved is not None and isinstance(reserved.value, str) and reserved.value:
                yield Seen(name, group, element, reserved.value, _explicit_vr(ds, tag))
        elem = ds[tag]
        if elem.VR == "SQ":
            for item in elem.value:
                yield from _walk(item, name)


def private_elements(files: list[Path] | None = None) -> list[Seen]:
    """Every private data element with a creator in `files` (default: pydicom's test files)
    that pydicom reads as DICOM: a file without the preamble and meta header is read anyway
    when it is named ``*.dcm``, anything else pydicom cannot read is no DICOM file."""
    from pydicom import dcmread
    from pydicom.errors import InvalidDicomError

    files = test_files() if files is None else files
    root = test_files_root()
    seen: list[Seen] = []
    # pydicom warns and logs about the oddities that many of these files exist to show.
    log = logging.getLogger("pydicom")
    level = log.level
    log.setLevel(logging.ERROR)
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            for path in files:
                try:
                    ds = dcmread(path)
                except InvalidDicomError:
                    if path.suffix != ".dcm":
                        continue
                    ds = dcmread(path, force=True)
                name = path.relative_to(root).as_posix() if path.is_relative_to(root) else str(path)
                seen += _walk(ds, name)
    finally:
        log.setLevel(level)
    return seen


def find[T](
    index: Mapping[tuple[int, int, str, bool], T],
    group: int,
    element: int,
    creator: str,
    fold: Callable[[str], str],
) -> T | None:
    """The entry of `index` (keyed by group, element or offset, folded creator, and whether it
    is a block offset) for a private data element: its fixed element first, then its offset."""
    folded = fold(creator)
    fixed = index.get((group, element, folded, False))
    return fixed if fixed is not None else index.get((group, element & 0xFF, folded, True))
