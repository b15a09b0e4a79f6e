"""Regenerate data/dictionary.tsv from pydicom's and dcmtk's dictionaries.

    python tools/regen_dictionary.py [--dcmtk-dir DIR] [--dcmtk-version V] [--out TSV]
                                     [--check] [--show N]

Run it with an interpreter that can ``import pydicom``; dcmtk's ``dicom.dic`` and
``private.dic`` are found under ``--dcmtk-dir``, or else in the places where dcmtk packages
install them.  The script prints every conflict it resolved, the disagreements between the two
sources with who won, the ranges it expanded or left out, and what changed against the
committed file.  It refuses (exit status 2) data it cannot store faithfully: a text holding a
tab or a line break, a text too long for its field, two different creators whose hashes
collide, or two rows for one key.

How the two sources are merged, and why
---------------------------------------
* Keys.  One row per exact index key (group, element, folded creator).  Private tags in a
  source's "xx" form are keyed by the element's low byte and flagged block_offset; those a
  source gives with a fixed element keep the whole element, unflagged.

* Public tags: pydicom wins every field it has (keyword, name, VR, retired).  Its dictionary
  is generated from a newer edition of the standard than dcmtk's, and the standard renames
  keywords, changes VRs and retires attributes from edition to edition, so where the two
  differ the newer text is the current one.  dcmtk has no human-readable name, so a tag that
  only dcmtk lists (DICONDE and DICOS additions, chiefly) gets dcmtk's keyword and no name.

* Private tags: pydicom's private dictionary (taken from GDCM) wins, being the larger and more
  recently maintained collection, with one exception: a placeholder never beats a real value
  (the name or keyword "Unknown", the VR "UN").  pydicom gives a name but no keyword; dcmtk
  gives a keyword-like name.  dcmtk's keyword is kept as the row's keyword when it spells
  pydicom's name without blanks and punctuation, or when pydicom's name is a placeholder;
  otherwise the two name different things and pydicom's name stands alone.

* Within one source, several definitions can land on one key.  They are ranked, and the first
  rule that tells two apart decides:
    1. a definition of this very tag beats one expanded from a range (pydicom's own lookup
       asks its exact dictionary before its repeaters);
    2. the "xx" form beats a fixed element below 0x0100 with the same low byte: no data element
       of a private block can stand there, so the fixed form is a misprint of the other;
    3. a real name or keyword beats the placeholder "Unknown";
    4. for creators that differ only in case or spacing (they fold to one key): the spelling
       under which the source lists more tags wins, as the fuller block is the curated one;
    5. the spelling that sorts first (byte order), so that the choice is stable;
    6. the later line of the file (dcmtk's own loader lets later entries override).
  The winner's creator text is the one stored.

* Repeating groups.  Group masks (50xx, 60xx, 7Fxx) cover the even groups only: odd groups
  are private.  Private group ranges (70xx in pydicom, 7001-o-70FF in dcmtk) cover the odd
  ones.  Element masks cover every value.  A range of more than MAX_RANGE_TAGS exact tags (a
  whole group, such as (1010,xxxx), or the generic group lengths of every group) would fill
  the index with rows that say nothing tag-specific, so it is left out and counted, and so is
  a private element mask over a whole block (pydicom's (0019,10xx) and the like), which
  names no single data element.

* Fixed private elements below 0x0100 (pydicom's private dictionary has some 1,600, keyed
  like '0021003F').  In a data set (gggg,0010)-(gggg,00FF) are the private creator elements
  and the elements below them are reserved, so no private data element can stand there: such
  an entry is the block offset it stands for, written as a fixed element.  It is stored as
  that offset, unless an "xx" entry of the same creator (in either source) already holds the
  offset, and then it is dropped; both are counted.

* Keywords are DICOM keywords, letters and digits only.  dcmtk's private.dic spells some
  with blanks ("End NumberForBaseline"), which dcmtk itself drops when it loads the file, and
  some with hyphens or underscores ("X-RayControlMOde", "K_Factor"); every character that is
  not an ASCII letter or digit is dropped, and the rows changed are listed and counted.

* Tags that no data set can hold where a source puts them (a creator on an even group, say)
  are refused by the package's writer; such rows are left out, listed and counted.

* VR.  A single code of the standard's 34 is kept; anything else ("US or SS", "OB or OW",
  dcmtk's "ox", "xs", "lt", "px", the "no VR" of items) becomes "??", and the row's
  description keeps the source's wording ("VR: US or SS").  dcmtk's "up" (a file offset
  stored as UL) is UL.

* VM (value multiplicity).  Taken as each source writes it ("1", "1-n", "2-2n"), blanks
  removed.  pydicom's wins wherever it has one, public and private alike: it is the reference
  that quillet.vm is checked against, and the newer edition.  dcmtk's fills the rows that only
  dcmtk lists.  Every difference is counted and listed as for VR.
"""

from __future__ import annotations

import argparse
import collections
import importlib.util
import itertools
import os
import re
import shutil
import subprocess
import sys
from collections.abc import Callable
from dataclasses import dataclass, field, replace
from pathlib import Path
from types import ModuleType
from typing import TYPE_CHECKING, Any

ROOT = Path(__file__).resolve().parents[1]
MAX_RANGE_TAGS = 4096
PLACEHOLDER_NAMES = frozenset({"Unknown", ""})
PLACEHOLDER_VR = "UN"
# dcmtk's internal VR names that are not standard codes, in the standard's wording.
DCMTK_VRS = {
    "ox": "OB or OW",
    "px": "OB or OW",
    "xs": "US or SS",
    "lt": "US or SS or OW",
    "na": "NONE",
    "up": "UL",
}
# Where dcmtk packages put their data dictionaries (the folder name carries the library's
# soname or version, hence the patterns).
DCMTK_SEARCH = (
    "/usr/share/libdcmtk*",
    "/usr/share/dcmtk*",
    "/usr/local/share/dcmtk*",
    "/opt/homebrew/share/dcmtk*",
    "/usr/local/share/libdcmtk*",
)


def _load_by_path(name: str, path: Path) -> ModuleType:
    if name in sys.modules:  # loaded already, by a test say: keep one copy of its classes
        return sys.modules[name]
    spec = importlib.util.spec_from_file_location(name, path)
    if spec is None or spec.loader is None:
        raise SystemExit(f"cannot load {path}")
    module = importlib.util.module_from_spec(spec)
    sys.modules[name] = module
    spec.loader.exec_module(module)
    return module


if TYPE_CHECKING:  # mypy reads the two files as the modules they are
    import compile_dictionary as _tsv

    from quillet import _unicode
else:
    # The package's __init__ needs the compiled extension; these two files need nothing.
    _unicode = _load_by_path("_quillet_unicode", ROOT / "src" / "quillet" / "_unicode.py")
    _tsv = _load_by_path("_quillet_compile_dictionary", ROOT / "tools" / "compile_dictionary.py")
normalize_creator = _unicode.normalize_creator
hash_creator = _unicode.hash_creator
Row = _tsv.Row
SINGLE_VRS = _tsv.VR_CODES - {"??"}
# An exact key: group, element, and the folded creator (None for a public tag).
Key = tuple[int, int, str | None]


class Refused(Exception):
    """Data that cannot be stored faithfully; the run stops with status 2."""


@dataclass
class Def:
    """One definition of one exact key, as one source gives it."""

    group: int
    element: int
    creator: str | None  # None for a public tag
    keyword: str
    name: str
    vr_text: str  # the source's VR, in the standard's wording
    retired: bool
    block_offset: bool
    source: str  # the label stored in the row's sources
    origin: str  # where it came from, for messages
    expanded: bool = False
    line: int = 0  # position in the source, for "later wins"
    vm: str = ""  # value multiplicity as the source writes it ("1", "1-n", "2-2n")

    @property
    def key(self) -> Key:
        folded = None if self.creator is None else normalize_creator(self.creator)
        return (self.group, self.element, folded)

    @property
    def vr(self) -> str:
        return self.vr_text if self.vr_text in SINGLE_VRS else "??"

    def definition(self) -> tuple[str, str, str, bool, bool]:
        return (self.keyword, self.name, self.vr_text, self.retired, self.block_offset)


@dataclass
class Report:
    lines: dict[str, list[str]] = field(default_factory=lambda: collections.defaultdict(list))
    counts: collections.Counter[str] = field(default_factory=collections.Counter)

    def say(self, section: str, text: str) -> None:
        self.lines[section].append(text)


def tag_text(group: int, element: int, creator: str | None, block_offset: bool) -> str:
    elem = f"xx{element:02X}" if block_offset else f"{element:04X}"
    text = f"({group:04X},{elem})"
    return text if creator is None else f"{text} {creator!r}"


# --- expanding ranges -------------------------------------------------------------------


def mask_values(digits: str, parity: str | None = None) -> list[int]:
    """Every 16-bit value matching hex `digits` with 'x' wild, kept to `parity` if given."""
    choices = ["0123456789ABCDEF" if ch in "xX" else ch for ch in digits]
    values = [int("".join(p), 16) for p in itertools.product(*choices)]
    keep: dict[str | None, Callable[[int], bool]] = {
        None: lambda v: True,
        "even": lambda v: v % 2 == 0,
        "odd": lambda v: v % 2 == 1,
    }
    return [v for v in values if keep[parity](v)]


def range_values(low: int, high: int, restriction: str) -> list[int]:
    steps: dict[str, Callable[[int], bool]] = {
        "even": lambda v: v % 2 == 0,
        "odd": lambda v: v % 2 == 1,
        "any": lambda v: True,
    }
    step_ok = steps[restriction]
    return [v for v in range(low, high + 1) if step_ok(v)]


def expand(
    template: Def, groups: list[int], elements: list[int], what: str, report: Report, counter: str
) -> list[Def]:
    total = len(groups) * len(elements)
    if total > MAX_RANGE_TAGS:
        report.counts[f"{counter}: ranges left out"] += 1
        report.counts[f"{counter}: tags in ranges left out"] += total
        report.say(
            "ranges",
            f"left out {what} ({template.keyword or template.name}): "
            f"{total} tags, more than {MAX_RANGE_TAGS}",
        )
        return []
    if total > 1:
        report.counts[f"{counter}: ranges expanded"] += 1
        report.counts[f"{counter}: rows from expanded ranges"] += total
    return [replace(template, group=g, element=e, expanded=total > 1) for g in groups for e in elements]


# --- reading the sources ----------------------------------------------------------------


def vr_wording(vr: str) -> str:
    """A source's VR text in the standard's wording ("OB_OW" -> "OB or OW")."""
    vr = DCMTK_VRS.get(vr, vr).strip()
    return " or ".join(part.strip() for part in re.split(r"\s+or\s+|_|/", vr))


def vm_text(vm: str) -> str:
    """A source's value multiplicity as stored: blanks removed, "N" written "n" ("2-2N" -> "2-2n")."""
    text = re.sub(r"\s+", "", vm).replace("N", "n")
    if "|" in text:
        raise Refused(f"value multiplicity {vm!r} holds '|'")
    return text


def read_pydicom(report: Report) -> tuple[list[Def], list[Def]]:
    import pydicom
    from pydicom import _dicom_dict, _private_dict, _version

    edition = _version.__dicom_version__
    public_label = f"DICOM {edition} (pydicom {pydicom.__version__})"
    private_label = f"GDCM (pydicom {pydicom.__version__})"
    report.say(
        "sources",
        f"pydicom {pydicom.__version__}: public dictionary from DICOM "
        f"{edition}, private dictionary from GDCM "
        f"({Path(pydicom.__file__).parent})",
    )

    public: list[Def] = []
    for line, (tag, (vr, vm, name, retired, keyword)) in enumerate(_dicom_dict.DicomDictionary.items()):
        public.append(
            Def(
                tag >> 16,
                tag & 0xFFFF,
                None,
                keyword,
                name,
                vr_wording(vr),
                retired == "Retired",
                False,
                public_label,
                f"pydicom {tag:08X}",
                line=line,
                vm=vm_text(vm),
            )
        )
    report.counts["pydicom public: exact entries"] = len(public)
    for line, (mask, (vr, vm, name, retired, keyword)) in enumerate(_dicom_dict.RepeatersDictionary.items()):
        report.counts["pydicom public: repeater masks"] += 1
        template = Def(
            0,
            0,
            None,
            keyword,
            name,
            vr_wording(vr),
            retired == "Retired",
            False,
            public_label,
            f"pydicom repeater {mask}",
            line=line,
            vm=vm_text(vm),
        )
        # A wild group digit means a repeating group: even groups only, odd ones are private.
        groups = mask_values(mask[:4], "even" if "x" in mask[:4].lower() else None)
        public += expand(template, groups, mask_values(mask[4:]), f"pydicom {mask}", report, "pydicom public")

    private: list[Def] = []
    line = 0
    for creator, entries in _private_dict.private_dictionaries.items():
        for mask, (vr, vm, name, retired) in entries.items():
            line += 1
            report.counts["pydicom private: entries"] += 1
            group_digits, elem_digits = mask[:4], mask[4:].lower()
            origin = f"pydicom {mask} {creator!r}"
            if "x" not in elem_digits:
                block_offset, elements = False, [int(elem_digits, 16)]
            elif elem_digits[:2] == "xx" and "x" not in elem_digits[2:]:
                block_offset, elements = True, [int(elem_digits[2:], 16)]
            else:
                report.counts["pydicom private: block-wide element masks left out"] += 1
                report.say(
                    "ranges",
                    f"left out pydicom {mask} {creator!r} ({name}): an element "
                    "mask over a whole private block names no single element",
                )
                continue
            template = Def(
                0,
                0,
                creator,
                "",
                name,
                vr_wording(vr),
                retired == "Retired",
                block_offset,
                private_label,
                origin,
                line=line,
                vm=vm_text(vm),
            )
            groups = mask_values(group_digits, "odd" if "x" in group_digits.lower() else None)
            private += expand(template, groups, elements, origin, report, "pydicom private")
    return public, private


_DCMTK_TAG = re.compile(
    r"\((?P<g1>[0-9A-Fa-f]{4})(?:-(?:(?P<gr>[oeuOEU])-)?(?P<g2>[0-9A-Fa-f]{4}))?,"
    r'(?:"(?P<creator>[^"]*)",)?'
    r"(?P<e1>[0-9A-Fa-f]{2}|[0-9A-Fa-f]{4})(?:-(?:(?P<er>[oeuOEU])-)?(?P<e2>[0-9A-Fa-f]{2,4}))?\)"
)
_RESTRICTION = {None: "even", "e": "even", "o": "odd", "u": "any"}  # dcmtk's default is even


def dcmtk_range(low: int, high: str | None, restriction: str | None) -> list[int]:
    if high is None:
        return [low]
    return range_values(low, int(high, 16), _RESTRICTION[restriction and restriction.lower()])


def find_dcmtk_dir(option: Path | None) -> Path:
    if option is not None:
        candidates = [option]
    else:
        import glob

        candidates = [Path(p) for pattern in DCMTK_SEARCH for p in sorted(glob.glob(pattern))]
        if os.environ.get("DCMDICTPATH"):  # dcmtk's own variable naming its dictionaries
            candidates = [
                Path(p).parent for p in os.environ["DCMDICTPATH"].split(os.pathsep) if p
            ] + candidates
    for folder in candidates:
        if (folder / "dicom.dic").is_file() and (folder / "private.dic").is_file():
            return folder
    raise Refused(
        "cannot find dcmtk's dicom.dic and private.dic; install dcmtk or pass "
        "--dcmtk-dir (searched: " + ", ".join(map(str, candidates or DCMTK_SEARCH)) + ")"
    )


def dcmtk_version(folder: Path, option: str | None) -> str:
    if option:
        return option
    # dcmdump reports "$dcmtk: dcmdump v3.6.7 2022-04-22 $".
    if shutil.which("dcmdump"):
        out = subprocess.run(["dcmdump", "--version"], capture_output=True, text=True).stdout
        found = re.search(r"\$dcmtk: \S+ v(\d+\.\d+\.\d+)", out)
        if found:
            return found.group(1)
    if shutil.which("dpkg-query"):
        owner = subprocess.run(
            ["dpkg-query", "-S", str(folder / "dicom.dic")], capture_output=True, text=True
        ).stdout.split(":")[0]
        if owner:
            out = subprocess.run(
                ["dpkg-query", "-W", "-f", "${Version}", owner], capture_output=True, text=True
            ).stdout
            found = re.match(r"(\d+\.\d+\.\d+)", out)
            if found:
                return found.group(1)
    raise Refused("cannot tell dcmtk's version; pass --dcmtk-version")


def read_dcmtk_file(
    path: Path, report: Report, labels: dict[str, str], counter: str, private_file: bool
) -> list[Def]:
    defs: list[Def] = []
    try:
        text = path.read_text(encoding="utf-8")
    except UnicodeDecodeError as exc:  # guessing another encoding would alter texts silently
        raise Refused(f"{path}: not UTF-8 ({exc})") from None
    for number, raw in enumerate(text.split("\n"), start=1):
        line = raw.rstrip("\r")
        if not line.strip() or line.startswith("#"):
            continue
        fields = line.split("\t")
        origin = f"{path.name}:{number}"
        if len(fields) < 4:
            raise Refused(f"{origin}: cannot read {line!r}")
        tag, vr, keyword = fields[0], fields[1], fields[2]
        version = fields[4].strip() if len(fields) > 4 else ""
        found = _DCMTK_TAG.fullmatch(tag)
        if not found:
            raise Refused(f"{origin}: cannot read the tag {tag!r}")
        report.counts[f"{counter}: lines"] += 1
        if version.upper() == "ILLEGAL":
            report.counts[f"{counter}: ILLEGAL lines left out"] += 1
            report.say(
                "ranges", f"left out {origin} {tag} {keyword}: dcmtk names data that no valid data set holds"
            )
            continue
        label = labels.get(version) or labels["*"]
        creator = found["creator"]
        if private_file and creator is None:
            raise Refused(f"{origin}: a private entry without creator")
        retired = version.endswith("/retired") or keyword.startswith("RETIRED_")
        keyword = keyword.removeprefix("RETIRED_")
        if creator is not None and keyword in PLACEHOLDER_NAMES:
            keyword = ""
        g1, e1 = int(found["g1"], 16), int(found["e1"], 16)
        groups = dcmtk_range(g1, found["g2"], found["gr"])
        elements = dcmtk_range(e1, found["e2"], found["er"])
        # In private.dic two hex digits are the offset in the creator's block, four a fixed
        # element.
        block_offset = creator is not None and len(found["e1"]) == 2
        template = Def(
            0,
            0,
            creator,
            keyword,
            "",
            vr_wording(vr),
            retired,
            block_offset,
            label,
            origin,
            line=number,
            vm=vm_text(fields[3]),
        )
        defs += expand(template, groups, elements, f"{origin} {tag}", report, counter)
    return defs


def read_dcmtk(folder: Path, version: str, report: Report) -> tuple[list[Def], list[Def]]:
    dicom = folder / "dicom.dic"
    head = dicom.read_bytes()[:4000].decode("ascii", "replace")
    found = re.search(r"PS ?3\.6-(\d{4}[a-z]?)", head)
    if not found:
        raise Refused(f"{dicom}: no 'PS 3.6-<edition>' in its header comment")
    edition = found.group(1)
    report.say("sources", f"dcmtk {version}: dicom.dic from DICOM {edition}, private.dic ({folder})")
    public_labels = {
        "DICOM": f"DICOM {edition} (dcmtk {version})",
        "DICOM/retired": f"DICOM {edition} (dcmtk {version})",
        "DICOM/DICONDE": f"DICONDE (dcmtk {version})",
        "DICOM/DICOS": f"DICOS (dcmtk {version})",
        "*": f"dcmtk {version}",
    }
    public = read_dcmtk_file(dicom, report, public_labels, "dcmtk public", False)
    private = read_dcmtk_file(
        folder / "private.dic", report, {"*": f"dcmtk {version}"}, "dcmtk private", True
    )
    return public, private


# --- cleaning private data -------------------------------------------------------------


def place_low_fixed_elements(sources: dict[str, list[Def]], report: Report) -> dict[str, list[Def]]:
    """Each source's private definitions, with the fixed elements below 0x0100 made block
    offsets or dropped, as the module docstring says."""
    offsets = {d.key for defs in sources.values() for d in defs if d.block_offset}
    placed: dict[str, list[Def]] = {}
    for source, defs in sources.items():
        placed[source] = []
        for d in defs:
            if d.creator is None or d.block_offset or d.element > 0xFF:
                placed[source].append(d)
            elif d.key in offsets:
                report.counts[
                    f"{source}: fixed elements below 0x0100 dropped, an 'xx' entry holds the offset"
                ] += 1
            else:
                report.counts[f"{source}: fixed elements below 0x0100 stored as block offsets"] += 1
                placed[source].append(replace(d, block_offset=True))
    return placed


def dicom_keyword(text: str) -> str:
    """A keyword as DICOM spells them: only its ASCII letters and digits."""
    return re.sub(r"[^A-Za-z0-9]", "", text)


def clean_keywords(rows: list[Row], report: Report) -> list[Row]:
    cleaned = []
    for row in rows:
        keyword = dicom_keyword(row.keyword)
        if keyword != row.keyword:
            report.counts["rows: keywords made DICOM keywords"] += 1
            where = tag_text(row.group, row.element, row.creator or None, row.block_offset)
            report.say("keywords", f"{where}: {row.keyword!r} -> {keyword!r}")
            row = replace(row, keyword=keyword)
        cleaned.append(row)
    return cleaned


# --- resolving and merging --------------------------------------------------------------

_RULES = (
    "a definition of this very tag beats one expanded from a range",
    "the 'xx' form beats a fixed element below 0x0100",
    "a real name beats the placeholder 'Unknown'",
    "the creator spelling with more tags in this source wins",
    "the spelling that sorts first wins",
    "the later line wins",
)


def resolve_within(source: str, defs: list[Def], report: Report) -> dict[Key, Def]:
    """One definition per key from one source, by the ranked rules of the module docstring."""
    per_spelling: collections.Counter[str | None] = collections.Counter(
        d.creator for d in defs if d.creator is not None
    )
    by_key: dict[Key, list[Def]] = collections.defaultdict(list)
    for d in defs:
        by_key[d.key].append(d)

    def rank(d: Def) -> tuple[bool, bool, bool, int, bytes, int]:
        misplaced_fixed = d.creator is not None and not d.block_offset and d.element < 0x100
        placeholder = (d.name or d.keyword) in PLACEHOLDER_NAMES
        return (
            d.expanded,
            misplaced_fixed,
            placeholder,
            -per_spelling[d.creator],
            (d.creator or "").encode(),
            -d.line,
        )

    chosen: dict[Key, Def] = {}
    folded_pairs: dict[tuple[str, ...], collections.Counter[str]] = collections.defaultdict(
        collections.Counter
    )
    for key, cands in by_key.items():
        cands.sort(key=rank)
        winner = cands[0]
        chosen[key] = winner
        for loser in cands[1:]:
            spelling = loser.creator != winner.creator
            if spelling:
                # Spellings of one key fold alike, so both are texts here, never None.
                pair = tuple(sorted({winner.creator or "", loser.creator or ""}))
                folded_pairs[pair]["same" if loser.definition() == winner.definition() else "conflict"] += 1
            if loser.definition() == winner.definition():
                report.counts[f"{source}: identical duplicates merged"] += 1
                continue
            rule = next(i for i, (a, b) in enumerate(zip(rank(winner), rank(loser), strict=True)) if a != b)
            kind = "creator folding" if spelling else "same key"
            report.counts[f"{source}: {kind} conflicts resolved"] += 1
            where = tag_text(winner.group, winner.element, winner.creator, winner.block_offset)
            report.say(
                "conflicts",
                f"{source}: {where}"
                f" [{winner.origin}] {describe(winner)} beats [{loser.origin}] "
                f"{describe(loser)}: {_RULES[rule]}",
            )
    for (a, b), n in sorted(folded_pairs.items()):
        report.counts[f"{source}: creator spellings folded together"] += 1
        report.say(
            "conflicts",
            f"{source}: creators {a!r} and {b!r} fold to one key: "
            f"{n['same']} tags defined alike, {n['conflict']} in conflict",
        )
    return chosen


def describe(d: Def) -> str:
    parts = [repr(d.keyword or d.name), d.vr_text]
    if d.retired:
        parts.append("retired")
    return " ".join(parts)


def _compact(text: str) -> str:
    return re.sub(r"[^0-9a-z]", "", text.lower())


def make_row(d: Def, **changes: Any) -> Row:
    vr_note = (
        "" if d.vr_text in SINGLE_VRS else ("VR: none" if d.vr_text.upper() == "NONE" else f"VR: {d.vr_text}")
    )
    row = Row(
        d.group,
        d.element,
        d.creator or "",
        d.keyword,
        d.name,
        d.vr,
        d.retired,
        d.block_offset,
        (d.source,),
        vr_note,
        d.vm,
    )
    return replace(row, **changes)


def merge_vm(
    p: Def, d: Def, changes: dict[str, Any], disagree: Callable[[str, str, object, object], None]
) -> None:
    """The value multiplicity of a key that both sources define: pydicom's, as for every other
    field it has, unless it gives none; every difference is counted like one of VR."""
    if p.vm == d.vm:
        return
    if not p.vm:
        disagree("vm", "dcmtk (pydicom has none)", p.vm, d.vm)
        changes["vm"] = d.vm
    else:
        disagree("vm", "pydicom", p.vm, d.vm)


def merge(pyd: dict[Key, Def], dcm: dict[Key, Def], private: bool, report: Report) -> dict[Key, Row]:
    kind = "private" if private else "public"
    rows: dict[Key, Row] = {}
    # One message per pair of source lines: a range expands one disagreement into many rows.
    grouped: dict[tuple[str, str, str, str, str, str], list[str]] = collections.defaultdict(list)
    spellings: collections.Counter[tuple[str, str]] = collections.Counter()
    for key in sorted(pyd.keys() | dcm.keys(), key=lambda k: (k[0], k[1], k[2] or "")):
        p, d = pyd.get(key), dcm.get(key)
        if p is None or d is None:
            only = p or d
            assert only is not None  # every key comes from one of the two
            report.counts[f"{kind}: only in {'pydicom' if p else 'dcmtk'}"] += 1
            rows[key] = make_row(only)
            continue
        report.counts[f"{kind}: in both"] += 1
        where = tag_text(p.group, p.element, p.creator, p.block_offset)
        changes: dict[str, Any] = {"sources": (p.source, d.source)}

        # Called only within this iteration; the defaults bind its p, d and where all the same.
        def disagree(
            field_name: str,
            winner: str,
            ours: object,
            theirs: object,
            p: Def = p,
            d: Def = d,
            where: str = where,
        ) -> None:
            report.counts[f"{kind} disagreements: {field_name}, {winner} won (rows)"] += 1
            grouped[(field_name, winner, p.origin, d.origin, repr(ours), repr(theirs))].append(where)

        if not private:
            if p.keyword != d.keyword:
                disagree("keyword", "pydicom", p.keyword, d.keyword)
            if p.vr != d.vr or (p.vr == "??" and p.vr_text != d.vr_text):
                disagree("vr", "pydicom", p.vr_text, d.vr_text)
            if p.retired != d.retired:
                disagree("retired", "pydicom", p.retired, d.retired)
            merge_vm(p, d, changes, disagree)
        else:
            # A private key holds a folded creator, so both sources give one.
            if p.creator is not None and d.creator is not None and p.creator != d.creator:
                spellings[(p.creator, d.creator)] += 1
            if d.keyword:
                if p.name in PLACEHOLDER_NAMES or _compact(p.name) == _compact(d.keyword):
                    changes["keyword"] = d.keyword
                    if p.name in PLACEHOLDER_NAMES:
                        disagree("name", "dcmtk (placeholder lost)", p.name, d.keyword)
                else:
                    disagree("name", "pydicom", p.name, d.keyword)
            if p.vr != d.vr or (p.vr == "??" and p.vr_text != d.vr_text):
                if p.vr_text == PLACEHOLDER_VR:
                    disagree("vr", "dcmtk (placeholder lost)", p.vr_text, d.vr_text)
                    changes.update(vr=d.vr, description=make_row(d).description)
                else:
                    disagree("vr", "pydicom", p.vr_text, d.vr_text)
            if p.block_offset != d.block_offset:
                disagree("block_offset", "pydicom", p.block_offset, d.block_offset)
            merge_vm(p, d, changes, disagree)
        rows[key] = make_row(p, **changes)
    for (field_name, winner, p_origin, d_origin, ours, theirs), wheres in grouped.items():
        report.counts[f"{kind} disagreements: {field_name}, {winner} won (source lines)"] += 1
        more = f" (and {len(wheres) - 1} more rows of the same lines)" if len(wheres) > 1 else ""
        report.say(
            "disagreements",
            f"{kind} {wheres[0]}{more} {field_name}: pydicom {ours} "
            f"[{p_origin}], dcmtk {theirs} [{d_origin}] -> {winner}",
        )
    for (pyd_spelling, dcm_spelling), n in sorted(spellings.items()):
        report.counts["private: creators spelled differently by the sources"] += 1
        report.say(
            "disagreements",
            f"private creator {pyd_spelling!r} (pydicom) is {dcm_spelling!r} in dcmtk: {n} rows, "
            "pydicom's spelling kept",
        )
    return rows


# --- checking and writing ---------------------------------------------------------------


def sort_key(row: Row) -> tuple[int, int, str]:
    return (row.group, row.element, normalize_creator(row.creator) if row.creator else "")


def row_key(row: Row) -> Key:
    return (row.group, row.element, normalize_creator(row.creator) if row.creator else None)


def check_rows(rows: list[Row]) -> None:
    """Refuse anything that the file could not hold or that lookups could not tell apart."""
    problems = []
    seen: dict[Key, Row] = {}
    hashes: dict[int, str] = {}
    for row in rows:
        where = tag_text(row.group, row.element, row.creator or None, row.block_offset)
        for name in ("creator", "keyword", "name", "description"):
            text = getattr(row, name)
            if any(ch in text for ch in "\t\n\r"):
                problems.append(f"{where}: {name} {text!r} holds a tab or line break")
            if name != "description" and len(text.encode("utf-8")) > 0xFFFF:
                problems.append(f"{where}: {name} is longer than 65535 bytes of UTF-8")
        if not row.sources or any(not s or "|" in s or "\t" in s or "\n" in s for s in row.sources):
            problems.append(f"{where}: sources {row.sources!r} must be non-empty, without '|'")
        if row.keyword != dicom_keyword(row.keyword):
            problems.append(f"{where}: keyword {row.keyword!r} is not a DICOM keyword")
        if row.vr not in _tsv.VR_CODES:
            problems.append(f"{where}: VR {row.vr!r}")
        if row.creator:
            folded = normalize_creator(row.creator)
            if not folded:
                problems.append(f"{where}: creator is only white space")
            h = hash_creator(row.creator)
            if hashes.setdefault(h, folded) != folded:
                problems.append(f"creators {hashes[h]!r} and {folded!r} both hash to 0x{h:08X}")
        key = row_key(row)
        if key in seen:
            problems.append(f"{where}: two rows for one key")
        seen[key] = row
    if problems:
        raise Refused("\n".join(problems))


def leave_out_what_dicom_cannot_hold(rows: list[Row], report: Report) -> list[Row]:
    """Drop the rows that the package's writer refuses as making no sense in DICOM (a creator
    on an even group, a private group without creator, a block offset on a public tag or above
    0xFF, a control character in a text), listing and counting each: a source that places a
    tag where no data set can hold it has misprinted it, and guessing the right place would
    invent data.  Run after check_rows, so the writer's other checks have passed already."""
    writer = _tsv.load_writer()
    kept = []
    for row, entry in zip(rows, _tsv.to_entries(rows, writer), strict=True):
        try:
            writer._check(0, entry, True)
        except writer._Bad as exc:
            where = tag_text(row.group, row.element, row.creator or None, row.block_offset)
            report.counts["rows left out: no such tag in DICOM"] += 1
            report.say("refused by the writer", f"left out {where} ({row.name or row.keyword}): {exc}")
            continue
        kept.append(row)
    return kept


def print_changes(old: list[Row], new: list[Row], show: int) -> None:
    before = {row_key(r): r for r in old}
    after = {row_key(r): r for r in new}
    added = [after[k] for k in after.keys() - before.keys()]
    removed = [before[k] for k in before.keys() - after.keys()]
    changed = [(before[k], after[k]) for k in before.keys() & after.keys() if before[k] != after[k]]
    print(
        f"\n== changes against the committed file: {len(added)} added, {len(removed)} removed, "
        f"{len(changed)} changed, {len(after) - len(added) - len(changed)} unchanged =="
    )
    fields_changed: collections.Counter[str] = collections.Counter()
    for label, items in (("added", sorted(added, key=sort_key)), ("removed", sorted(removed, key=sort_key))):
        for row in items[:show]:
            print(f"{label}: {row.to_line()}")
        if len(items) > show:
            print(f"{label}: ... and {len(items) - show} more")
    changed.sort(key=lambda pair: sort_key(pair[1]))
    for number, (a, b) in enumerate(changed):
        diffs = [
            f"{f}: {getattr(a, f)!r} -> {getattr(b, f)!r}"
            for f in _tsv.COLUMNS
            if getattr(a, f) != getattr(b, f)
        ]
        fields_changed.update(f for f in _tsv.COLUMNS if getattr(a, f) != getattr(b, f))
        if number < show:
            print(
                f"changed: {tag_text(b.group, b.element, b.creator or None, b.block_offset)} "
                + "; ".join(diffs)
            )
    if len(changed) > show:
        print(f"changed: ... and {len(changed) - show} more")
    if fields_changed:
        print("changed fields: " + ", ".join(f"{f} {n}" for f, n in fields_changed.most_common()))


def write_tsv(path: Path, rows: list[Row]) -> None:
    text = _tsv.HEADER + "\n" + "".join(row.to_line() + "\n" for row in rows)
    tmp = path.with_name(path.name + ".tmp")
    path.parent.mkdir(parents=True, exist_ok=True)
    tmp.write_text(text, encoding="utf-8", newline="")
    os.replace(tmp, path)


def build(args: argparse.Namespace, report: Report) -> list[Row]:
    pyd_public, pyd_private = read_pydicom(report)
    folder = find_dcmtk_dir(args.dcmtk_dir)
    dcm_public, dcm_private = read_dcmtk(folder, dcmtk_version(folder, args.dcmtk_version), report)
    public = merge(
        resolve_within("pydicom public", pyd_public, report),
        resolve_within("dcmtk public", dcm_public, report),
        False,
        report,
    )
    placed = place_low_fixed_elements({"pydicom private": pyd_private, "dcmtk private": dcm_private}, report)
    private = merge(
        resolve_within("pydicom private", placed["pydicom private"], report),
        resolve_within("dcmtk private", placed["dcmtk private"], report),
        True,
        report,
    )
    rows = clean_keywords(sorted([*public.values(), *private.values()], key=sort_key), report)
    check_rows(rows)
    rows = leave_out_what_dicom_cannot_hold(rows, report)
    creators = {normalize_creator(r.creator) for r in rows if r.creator}
    report.counts["rows: public"] = len(public)
    report.counts["rows: private"] = len(private)
    report.counts["rows: distinct folded creators"] = len(creators)
    report.counts["rows: total"] = len(rows)
    report.counts["rows: multi-VR (??)"] = sum(r.vr == "??" for r in rows)
    report.counts["rows: without a name"] = sum(not r.name for r in rows)
    report.counts["rows: without a VM"] = sum(not r.vm for r in rows)
    return rows


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--dcmtk-dir", type=Path, help="folder holding dcmtk's dicom.dic and private.dic")
    parser.add_argument("--dcmtk-version", help="dcmtk's version, if dcmdump cannot tell it")
    parser.add_argument(
        "--out",
        type=Path,
        default=ROOT / "data" / "dictionary.tsv",
        help="the dictionary text to compare with and write",
    )
    parser.add_argument("--check", action="store_true", help="write nothing; exit 1 if the file would change")
    parser.add_argument(
        "--show", type=int, default=40, help="list at most this many added, removed and changed rows each"
    )
    args = parser.parse_args(argv)
    report = Report()
    try:
        rows = build(args, report)
    except Refused as exc:
        print(f"regen_dictionary: refused:\n{exc}", file=sys.stderr)
        return 2
    for section in ("sources", "ranges", "conflicts", "disagreements", "keywords", "refused by the writer"):
        print(f"\n== {section} ==")
        for line in report.lines.get(section, []) or ["(none)"]:
            print(line)
    print("\n== counts ==")
    for name, n in sorted(report.counts.items()):
        print(f"{name}: {n}")
    old = _tsv.read_tsv(args.out) if args.out.exists() else []
    print_changes(old, rows, args.show)
    if args.check:
        return 1 if [r.to_line() for r in old] != [r.to_line() for r in rows] else 0
    write_tsv(args.out, rows)
    print(f"\nwrote {len(rows)} rows to {args.out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
