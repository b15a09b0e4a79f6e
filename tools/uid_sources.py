"""The registered UIDs that data/uids.tsv is made from, and how their sources are merged.

``tools/regen_dictionary.py`` calls :func:`build` and writes (or checks) what it returns
through ``tools/compile_uids.py``'s text format.  The sources, in the order that decides:

* pydicom's UID dictionary (``pydicom._uid_dict.UID_dictionary``), generated from the standard:
  every field of a UID it holds is pydicom's (name, keyword, type, info, retired), and so is
  the encoding of a transfer syntax, as pydicom's ``UID`` properties give it
  (``is_implicit_VR``, ``is_little_endian``, ``is_deflated``, ``is_encapsulated``, which is
  ``is_compressed``).
* GDCM, through its Python binding: ``gdcm.UIDs.GetUIDString``/``GetUIDName`` over the numbers
  of its table.  It adds the private UIDs of vendors that pydicom lacks, with a name and
  nothing else: the keyword is made from the name as the standard makes keywords, and the type
  is read from the name (below).
* dcmtk's ``dcuid.h`` (Debian's libdcmtk-dev): its ``#define UID_<identifier> "<uid>"`` lines.
  It gives no names: a UID that only dcmtk lists gets dcmtk's identifier as its keyword
  (``RETIRED_`` in front of it marks a retired UID) and its type read from that identifier.

A type "read from the name": "Transfer Syntax" for a name or keyword that speaks of a syntax or
of an endianness, "SOP Class" for one that ends in "Storage" or "SOP Class", else none; the
item of the source it was read from says "(type from the name)".  Encodings are claimed only
where pydicom gives them: no private transfer syntax has one.

Every entry's sources list each source that holds the UID, pydicom first.  A UID that the
standard's rules refuse (more than 64 characters, anything but digits and dots, an empty
component or one with a leading zero) is refused, and so are two entries with one keyword.
"""

from __future__ import annotations

import re
from collections.abc import Callable
from dataclasses import dataclass, field
from pathlib import Path

# Where dcmtk's development package puts the header that lists its UIDs.
DCUID_SEARCH = (
    "/usr/include/dcmtk/dcmdata/dcuid.h",
    "/usr/local/include/dcmtk/dcmdata/dcuid.h",
    "/opt/homebrew/include/dcmtk/dcmdata/dcuid.h",
)
_DEFINE = re.compile(r'^#define\s+UID_(\w+)\s+"([^"]*)"', re.MULTILINE)
_UID = re.compile(r"(?:0|[1-9][0-9]*)(?:\.(?:0|[1-9][0-9]*))*")
TYPE_FROM_NAME = "(type from the name)"


class UidRefused(Exception):
    """UID data that cannot be stored faithfully; the run stops with status 2."""


@dataclass
class Uid:
    """One registered UID as the merge decides it; the fields of a row of data/uids.tsv."""

    uid: str
    keyword: str
    name: str
    type: str
    info: str
    retired: bool
    encoding: str  # "" or, for a transfer syntax, as tools/compile_uids.py writes it
    sources: list[str] = field(default_factory=list)


def is_uid(text: str) -> bool:
    return len(text) <= 64 and _UID.fullmatch(text) is not None


def uid_order(text: str) -> tuple[int, ...]:
    """UIDs in the order of their components as numbers: 1.2.10 after 1.2.9."""
    return tuple(int(part) for part in text.split("."))


def encoding_text(implicit_vr: bool, little_endian: bool, deflated: bool, encapsulated: bool) -> str:
    words = ["implicit" if implicit_vr else "explicit", "little" if little_endian else "big"]
    return " ".join(words + ["deflated"] * deflated + ["encapsulated"] * encapsulated)


def type_from_name(text: str) -> str:
    lowered = text.casefold()
    if "syntax" in lowered or "endian" in lowered:
        return "Transfer Syntax"
    if lowered.endswith("storage") or lowered.replace(" ", "").endswith("sopclass"):
        return "SOP Class"
    return ""


def read_pydicom() -> tuple[str, list[Uid]]:
    import pydicom
    import pydicom.uid
    from pydicom import _uid_dict, _version

    label = f"DICOM {_version.__dicom_version__} (pydicom {pydicom.__version__})"
    found = []
    for uid, (name, kind, info, retired, keyword) in _uid_dict.UID_dictionary.items():
        u = pydicom.uid.UID(uid)
        encoding = ""
        if u.is_transfer_syntax:
            encoding = encoding_text(u.is_implicit_VR, u.is_little_endian, u.is_deflated, u.is_encapsulated)
        found.append(Uid(uid, keyword, name, kind, info, retired == "Retired", encoding, [label]))
    return label, found


def read_gdcm() -> tuple[str, dict[str, str]]:
    """GDCM's UIDs and their names; its table is numbered from 1 and ends at the first gap."""
    import gdcm  # type: ignore[import-not-found]  # python-gdcm ships no type information

    names: dict[str, str] = {}
    number = 1
    while uid := gdcm.UIDs.GetUIDString(number):
        names[uid] = gdcm.UIDs.GetUIDName(number)
        number += 1
    return f"GDCM {gdcm.Version.GetVersion()}", names


def find_dcuid(option: Path | None) -> Path:
    candidates = [option] if option is not None else [Path(p) for p in DCUID_SEARCH]
    for path in candidates:
        if path.is_file():
            return path
    raise UidRefused(
        "cannot find dcmtk's dcuid.h; install libdcmtk-dev or pass --dcuid "
        f"(searched: {', '.join(map(str, candidates))})"
    )


def read_dcmtk(path: Path) -> dict[str, str]:
    """dcmtk's UIDs and its identifiers for them; prefixes (ending in a dot) and roots built
    from other macros are not UIDs and are passed over."""
    found: dict[str, str] = {}
    for identifier, uid in _DEFINE.findall(path.read_text(encoding="latin-1")):
        if is_uid(uid):
            found.setdefault(uid, identifier)
    return found


def build(
    keyword_from_name: Callable[[str], str],
    dcuid: Path | None,
    dcmtk_version: str,
    say: Callable[[str], None],
) -> list[Uid]:
    """Every UID, merged and checked, in the order of :func:`uid_order`; `say` takes the
    report's lines."""
    pyd_label, merged = read_pydicom()
    by_uid = {u.uid: u for u in merged}
    gdcm_label, gdcm_names = read_gdcm()
    dcuid_path = find_dcuid(dcuid)
    dcmtk_label = f"dcmtk {dcmtk_version}"
    dcmtk_ids = read_dcmtk(dcuid_path)
    say(f"{pyd_label}: {len(by_uid)} UIDs")
    say(f"{gdcm_label}: {len(gdcm_names)} UIDs, {len(set(gdcm_names) - set(by_uid))} not in pydicom's")
    for uid, name in gdcm_names.items():
        if uid in by_uid:
            by_uid[uid].sources.append(gdcm_label)
            continue
        kind = type_from_name(name)
        by_uid[uid] = Uid(
            uid,
            keyword_from_name(name),
            name,
            kind,
            "",
            False,
            "",
            [f"{gdcm_label} {TYPE_FROM_NAME}" if kind else gdcm_label],
        )
    added = 0
    for uid, identifier in dcmtk_ids.items():
        if uid in by_uid:
            by_uid[uid].sources.append(dcmtk_label)
            continue
        added += 1
        retired = identifier.startswith("RETIRED_")
        keyword = identifier.removeprefix("RETIRED_")
        kind = type_from_name(keyword)
        by_uid[uid] = Uid(
            uid,
            keyword,
            "",
            kind,
            "",
            retired,
            "",
            [f"{dcmtk_label} {TYPE_FROM_NAME}" if kind else dcmtk_label],
        )
    say(f"{dcmtk_label} ({dcuid_path}): {len(dcmtk_ids)} UIDs, {added} in neither pydicom's nor GDCM's")
    rows = sorted(by_uid.values(), key=lambda u: uid_order(u.uid))
    check(rows)
    return rows


def check(rows: list[Uid]) -> None:
    problems = []
    owners: dict[str, str] = {}
    for u in rows:
        if not is_uid(u.uid):
            problems.append(f"{u.uid!r}: not a UID")
        texts = (u.keyword, u.name, u.type, u.info, *u.sources)
        if any(ch in text for text in texts for ch in "\t\n\r"):
            problems.append(f"{u.uid}: a text holds a tab or a line break")
        if u.keyword and (first := owners.setdefault(u.keyword, u.uid)) != u.uid:
            problems.append(f"{u.uid}: keyword {u.keyword!r} is {first}'s too")
    if problems:
        raise UidRefused("\n".join(problems))
