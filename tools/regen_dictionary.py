"""Regenerate data/dictionary.tsv and data/uids.tsv from pydicom, dcmtk, GDCM and vtk-dicom.

    python tools/regen_dictionary.py [--dcmtk-dir DIR] [--dcmtk-version V]
                                     [--vtk-dicom-python PYTHON] [--out TSV] [--check]
                                     [--dcuid DCUID_H] [--show N] [--quiet]

Run it with an interpreter that can ``import pydicom`` and ``import gdcm`` (python-gdcm), with
dcmtk's ``dicom.dic`` and ``private.dic`` installed (or ``--dcmtk-dir``) and Debian's
python3-vtk-dicom for ``--vtk-dicom-python`` (default /usr/bin/python3);
``scripts/check-data.sh`` sets all of that up at the pinned versions.  How each source is read
is in ``tools/dictionary_sources.py``; the registered UIDs (pydicom's, GDCM's and those of
dcmtk's ``dcuid.h``, from Debian's libdcmtk-dev, or ``--dcuid``) are read and merged by
``tools/uid_sources.py``, whose rules are written there.  The script prints every rule's count, every
disagreement it decided, how often each source and the result agree with the VRs that real
files hold (``tools/dictionary_evidence.py``), and what changed against the committed file.  It
refuses (exit status 2) data it cannot store faithfully: a text holding a tab or a line break, a
text too long for its field, two different creators whose hashes collide, two rows for one key,
or a choice of VRs that the standard never writes.

Sources and keys
----------------
* One row per exact index key (group, element, folded creator).  Private tags in a source's
  "xx" form are keyed by the element's low byte and flagged block_offset; those a source gives
  with a fixed element keep the whole element, unflagged.

* Public tags: pydicom wins every field it has (keyword, name, VR, retired, VM).  Its dictionary
  is generated from a newer edition of the standard than dcmtk's, and the standard renames
  keywords, changes VRs and retires attributes from edition to edition, so where the two
  differ the newer text is the current one.  dcmtk has no human-readable name, so a tag that
  only dcmtk lists (DICONDE and DICOS additions, chiefly) gets dcmtk's keyword and no name.
  GDCM and vtk-dicom are read for their private dictionaries only.

* Private tags come from four sources, in this order, which is the order that breaks ties:
  pydicom (its private dictionary, generated from an older GDCM), GDCM itself, dcmtk, and
  vtk-dicom.  pydicom and GDCM give names; dcmtk and vtk-dicom give keyword-like names, which
  are read as keywords.  No entry is written by hand: every row comes from at least one source,
  and its sources lists every source that holds it, with its version.

* Within one source, several definitions can land on one key under one creator spelling.  The
  first rule that tells two apart decides: a definition of this very tag beats one expanded
  from a range (pydicom's own lookup asks its exact dictionary before its repeaters); the "xx"
  form beats a fixed element below 0x0100 (rule 1); a real name or keyword beats a
  placeholder; the later line of the file wins (dcmtk's own loader lets later entries
  override).  Definitions under creator spellings that fold alike stay apart here and are
  decided below, as different sources' are.

* Repeating groups.  Group masks (50xx, 60xx, 7Fxx) cover the even groups only: odd groups
  are private.  Private group ranges (70xx in pydicom, 7001-o-70FF in dcmtk) cover the odd
  ones.  Element masks cover every value.  A range of more than MAX_RANGE_TAGS exact tags (a
  whole group, such as (1010,xxxx), or the generic group lengths of every group) would fill
  the index with rows that say nothing tag-specific, so it is left out and counted, and so is
  a private element mask over a whole block (pydicom's (0019,10xx) and the like), which
  names no single data element.

* Tags that no data set can hold where a source puts them (a creator on an even group, a
  private group below 0009) are refused by the package's writer; such rows are left out,
  listed and counted.

Private entries: the rules, each counted in the report ("rule 2, ...: N")
--------------------------------------------------------------------------
1. Low fixed elements.  In a data set (gggg,0010)-(gggg,00FF) are the private creator elements
   and the elements below them are reserved, so no private data element can stand there.  A
   fixed private element below 0x0100 (pydicom has some 1,600, keyed like '0021003F') is the
   block offset it stands for, and is read as that offset; where the same source lists the
   offset in the "xx" form too, that form is the source's definition.

2. One attribute, two forms.  A fixed element of block 0x10 ((0019,1000) in dcmtk) and the
   block offset ((0019,xx00)) that another source lists under the same creator are one
   entry, a block offset: a creator's first block is 0x10 wherever no other creator came
   first, which is how the source that wrote the fixed form saw it.  A source that is truly
   block-specific for a creator in a group keeps its fixed elements there: one that lists the
   creator's fixed elements in more than one block of the group (PHILIPS MR/PART's blocks 10xx
   and 11xx differ), or some offset in both forms (ELSCINT1's (01F1,1026) beside (01F1,xx26)).

3. Creators that differ only in case or blanks ("SPI RELEASE 1" and "SPI Release 1") fold to
   one key, so their entries are one entry: every spelling that any source holds it under is a
   holding of its own, decided with the other sources' as the rules below say, and the
   creator text stored is the spelling most sources hold it under.

4. Votes.  Where holdings disagree on a field, the value that most sources hold wins (a source
   holding one value under two spellings counts once); on a tie, the value of the first source
   in the order above; within one source, the value of the spelling under which it lists more
   tags, then of the spelling that sorts first.  Every field of a private entry is decided so:
   the creator spelling, the name, the VR, the VM, and whether it is retired.

5. Names.  A real name beats a placeholder: an empty name, "Unknown", or question marks alone
   (GDCM's "?") name nothing, take no part in the vote and are never stored.  GDCM marks a
   name it guessed with question marks ("?Name?", "?Name", "Name ??"): the name is kept without
   them, and where only guessed names stand for the winner, the description says "name
   guessed (GDCM)" and the guessing source's sources item says "(name guessed)".  A keyword
   of dcmtk or vtk-dicom that spells a name (the same letters and digits, case aside) is one
   more vote for that name.

6. VR.  "UN", the VR of an element whose VR is unknown, is a placeholder like an empty VR: it
   takes no part in the vote and is stored only where no source gives more.  Every other VR
   differing from the chosen one is named in the description ("VR dissent: pydicom: UL"), as
   is every VM differing from the chosen one ("VM dissent: dcmtk: 1-n").

7. Keywords.  A keyword that a source gives is kept, in the source's spelling made a keyword
   by the rule below ("K_Factor" -> "KFactor"); where sources give several, one that spells the
   chosen name (the same letters and digits, case aside) comes first, then the vote decides.
   An entry that no source gives a keyword for gets one made from its real name as the
   standard makes keywords from names (:func:`keyword_from_name`).
   Within one folded creator every keyword is unique: where entries share one, each of them
   gets its tag appended, "0019xx10" for a block offset and "00191010" for a fixed element,
   except that if exactly one of them has it from a source (or is a range's), that one keeps
   it bare.  The rows that one range of groups expanded into (DLX_ANNOT_01's 7001-70FF) are
   one attribute, as a repeating group's are in the standard, and share their keyword.

Both parts
----------
* VR.  A single code of the standard's 34 is kept.  A choice of several ("US or SS", dcmtk's
  "xs", pydicom's private "OB_OW") is written in the standard's wording, its codes in the order
  the standard lists them: the wordings of pydicom's public dictionary are the standard's.
  "??" is left for the elements that have no VR (items and delimiters, dcmtk's "na"), whose
  description says "VR: none".  dcmtk's "up" (a file offset stored as UL) is UL.

* VM (value multiplicity).  Taken as each source writes it ("1", "1-n", "2-2n"), blanks
  removed.  For public tags pydicom's wins wherever it has one: it is the reference that
  quillet.vm is checked against, and the newer edition; dcmtk's fills the rows that only dcmtk
  lists.

* Keywords are DICOM keywords, letters and digits only.  A public keyword of dcmtk's with
  other characters loses them, listed and counted.
"""

from __future__ import annotations

import argparse
import collections
import importlib.util
import os
import re
import sys
import unicodedata
from collections.abc import Iterable
from dataclasses import dataclass, replace
from pathlib import Path
from types import ModuleType
from typing import TYPE_CHECKING, Any

ROOT = Path(__file__).resolve().parents[1]
PLACEHOLDER_NAMES = frozenset({"", "unknown"})  # compared case-blind
PLACEHOLDER_VRS = frozenset({"", "UN"})
# The private sources in the order that breaks ties.
PRIVATE_ORDER = ("pydicom", "GDCM", "dcmtk", "vtk-dicom")
# The sources whose names are keywords.
KEYWORD_SOURCES = frozenset({"dcmtk", "vtk-dicom"})


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


if TYPE_CHECKING:  # mypy reads the files as the modules they are
    import compile_dictionary as _tsv
    import compile_uids as _uid_tsv
    import dictionary_evidence as _evidence
    import dictionary_sources as _sources
    import uid_sources as _uid_sources

    from quillet import _unicode
else:
    # The package's __init__ needs the compiled extension; these files need nothing.
    _unicode = _load_by_path("_quillet_unicode", ROOT / "src" / "quillet" / "_unicode.py")
    _tsv = _load_by_path("_quillet_compile_dictionary", ROOT / "tools" / "compile_dictionary.py")
    _sources = _load_by_path("_quillet_dictionary_sources", ROOT / "tools" / "dictionary_sources.py")
    _evidence = _load_by_path("_quillet_dictionary_evidence", ROOT / "tools" / "dictionary_evidence.py")
    _uid_sources = _load_by_path("_quillet_uid_sources", ROOT / "tools" / "uid_sources.py")
    _uid_tsv = _load_by_path("_quillet_compile_uids", ROOT / "tools" / "compile_uids.py")
normalize_creator = _unicode.normalize_creator
hash_creator = _unicode.hash_creator
Row = _tsv.Row
Def = _sources.Def
Report = _sources.Report
Refused = _sources.Refused
tag_text = _sources.tag_text
mask_values = _sources.mask_values
SINGLE_VRS = _tsv.VR_CODES - {"??"}
# An exact key: group, element, and the folded creator (None for a public tag).
Key = tuple[int, int, str | None]


def key_of(d: Def) -> Key:
    return (d.group, d.element, None if d.creator is None else normalize_creator(d.creator))


def _compact(text: str) -> str:
    return re.sub(r"[^0-9a-z]", "", text.lower())


def is_placeholder_name(name: str) -> bool:
    return name.strip().casefold() in PLACEHOLDER_NAMES


# --- VR wording ---------------------------------------------------------------------------


def standard_wordings(public: Iterable[Def]) -> dict[frozenset[str], str]:
    """The standard's wording of each choice of VRs, as pydicom's public dictionary writes it."""
    return {frozenset(d.vr_text.split(" or ")): d.vr_text for d in public if " or " in d.vr_text}


def vr_column(text: str, wordings: dict[frozenset[str], str]) -> str:
    """A VR as the dictionary text stores it: one code, a choice in the standard's wording,
    "??" for none, or "" where the source gives none."""
    if text.upper() == "NONE":
        return "??"
    codes = text.split(" or ")
    if len(codes) == 1 and (text in SINGLE_VRS or text in ("", "??")):
        return "" if text == "??" else text
    wording = wordings.get(frozenset(codes))
    if wording is None or len(codes) != len(set(codes)):
        raise Refused(f"VR {text!r}: the standard writes no choice of these codes")
    return wording


def in_standard_wording(defs: list[Def], wordings: dict[frozenset[str], str], report: Report) -> list[Def]:
    out = []
    for d in defs:
        text = vr_column(d.vr_text, wordings)
        if text != d.vr_text and text not in ("??", ""):
            report.counts[f"VR choices: {d.family} texts put in the standard's wording"] += 1
        out.append(d if text == d.vr_text else replace(d, vr_text=text))
    return out


# --- keywords -----------------------------------------------------------------------------

_DIGITS = ("Zero", "One", "Two", "Three", "Four", "Five", "Six", "Seven", "Eight", "Nine")
_ORDINALS = {"1st": "First", "2nd": "Second", "3rd": "Third", "4th": "Fourth", "5th": "Fifth"}


def _ascii_letters(text: str) -> str:
    """Greek letters by their names (gamma -> "Gamma"), accents dropped (e acute -> "e")."""
    out = []
    for ch in unicodedata.normalize("NFKC", text):
        if ch.isascii():
            out.append(ch)
        elif unicodedata.name(ch, "").startswith("GREEK"):
            out.append(" " + unicodedata.name(ch).split()[-1].capitalize() + " ")
        else:
            out.append(unicodedata.normalize("NFKD", ch).encode("ascii", "ignore").decode())
    return "".join(out)


def keyword_from_name(name: str) -> str:
    """A keyword made from a name the way the standard makes its keywords: apostrophes and
    "'s" go ("Patient's Name" -> "PatientName"), a plural "(s)" stays an "s", words in brackets
    stay ("Image Position (Patient)") but an abbreviation in capitals or anything that is not
    words goes ("Frame Numbers of Interest (FOI)", "Copy of ... (0010,1030)"), and so does a
    unit in square brackets ("Table Height [mm]"), every
    character that is no letter or digit separates words ("X-Ray" -> "XRay"), and each word is
    capitalised unless it holds a capital already (units such as "mA" and "dB" keep their
    case).  A keyword starts with a letter, so a leading ordinal or number is spelt ("2D" ->
    "TwoD", "2nd" -> "Second")."""
    text = _ascii_letters(name)
    text = re.sub(r"\(s\)", "s", text)
    text = re.sub(r"\((?![A-Za-z ]*\))[^()]*\)|\(\s*[A-Z]{2,}\s*\)|\[[^\[\]]*\]", " ", text)
    text = re.sub(r"'s\b", "", text).replace("'", "")
    words = [w for w in re.split(r"[^A-Za-z0-9]+", text) if w]
    if words:
        ordinal = re.match(r"(\d+(?:st|nd|rd|th))(.*)", words[0])
        if ordinal and ordinal.group(1) in _ORDINALS:
            words[0] = _ORDINALS[ordinal.group(1)] + ordinal.group(2)
    keyword = "".join(w if any(c.isupper() for c in w) else w[0].upper() + w[1:] for w in words)
    digits = re.match(r"\d+", keyword)
    if digits:
        keyword = "".join(_DIGITS[int(c)] for c in digits.group()) + keyword[digits.end() :]
    return keyword


def dicom_keyword(text: str) -> str:
    """A keyword as DICOM spells them: only its ASCII letters and digits."""
    return re.sub(r"[^A-Za-z0-9]", "", text)


# --- resolving within one source ------------------------------------------------------------

_RULES = (
    "a definition of this very tag beats one expanded from a range",
    "the 'xx' form beats a fixed element below 0x0100",
    "a real name beats a placeholder",
    "the later line wins",
)


def resolve_within(source: str, defs: list[Def], report: Report) -> dict[tuple[Key, str | None], Def]:
    """One definition per key and creator spelling from one source, by the ranked rules of the
    module docstring."""
    by_key: dict[tuple[Key, str | None], list[Def]] = collections.defaultdict(list)
    for d in defs:
        by_key[(key_of(d), d.creator)].append(d)

    def rank(d: Def) -> tuple[bool, bool, bool, int]:
        return (d.expanded, d.low_fixed, is_placeholder_name(d.name or d.keyword), -d.line)

    chosen = {}
    for key, cands in by_key.items():
        cands.sort(key=rank)
        winner = chosen[key] = cands[0]
        for loser in cands[1:]:
            if loser.definition() == winner.definition():
                report.counts[f"{source}: identical duplicates merged"] += 1
                continue
            rule = next(i for i, (a, b) in enumerate(zip(rank(winner), rank(loser), strict=True)) if a != b)
            report.counts[f"{source}: same key conflicts resolved"] += 1
            report.say(
                "conflicts",
                f"{source}: {tag_text(winner.group, winner.element, winner.creator, winner.block_offset)}"
                f" [{winner.origin}] {describe(winner)} beats [{loser.origin}] "
                f"{describe(loser)}: {_RULES[rule]}",
            )
    return chosen


def describe(d: Def) -> str:
    parts = [repr(d.keyword or d.name), d.vr_text]
    if d.retired:
        parts.append("retired")
    return " ".join(parts)


# --- public entries ---------------------------------------------------------------------------


def make_row(d: Def, **changes: Any) -> Row:
    row = Row(
        d.group,
        d.element,
        d.creator or "",
        d.keyword,
        d.name,
        d.vr_text or "UN",
        d.retired,
        d.block_offset,
        (d.source,),
        "VR: none" if d.vr_text == "??" else "",
        d.vm,
    )
    return replace(row, **changes)


def merge_public(pyd: dict[Key, Def], dcm: dict[Key, Def], report: Report) -> dict[Key, Row]:
    rows: dict[Key, Row] = {}
    # One message per pair of source lines: a range expands one disagreement into many rows.
    grouped: dict[tuple[str, str, str, str, str, str], list[str]] = collections.defaultdict(list)
    for key in sorted(pyd.keys() | dcm.keys(), key=lambda k: (k[0], k[1])):
        p, d = pyd.get(key), dcm.get(key)
        if p is None or d is None:
            only = p or d
            assert only is not None  # every key comes from one of the two
            report.counts[f"public: only in {'pydicom' if p else 'dcmtk'}"] += 1
            rows[key] = make_row(only)
            continue
        report.counts["public: in both"] += 1
        where = tag_text(p.group, p.element, None, False)
        changes: dict[str, Any] = {"sources": (p.source, d.source)}
        differences = [
            (name, getattr(p, attr), getattr(d, attr))
            for name, attr in (
                ("keyword", "keyword"),
                ("vr", "vr_text"),
                ("retired", "retired"),
                ("vm", "vm"),
            )
            if getattr(p, attr) != getattr(d, attr)
        ]
        for field_name, ours, theirs in differences:
            winner = "pydicom"
            if field_name == "vm" and not ours:
                winner = "dcmtk (pydicom has none)"
                changes["vm"] = theirs
            report.counts[f"public disagreements: {field_name}, {winner} won (rows)"] += 1
            grouped[(field_name, winner, p.origin, d.origin, repr(ours), repr(theirs))].append(where)
        rows[key] = make_row(p, **changes)
    for (field_name, winner, p_origin, d_origin, ours, theirs), wheres in grouped.items():
        report.counts[f"public disagreements: {field_name}, {winner} won (source lines)"] += 1
        more = f" (and {len(wheres) - 1} more rows of the same lines)" if len(wheres) > 1 else ""
        report.say(
            "disagreements",
            f"public {wheres[0]}{more} {field_name}: pydicom {ours} "
            f"[{p_origin}], dcmtk {theirs} [{d_origin}] -> {winner}",
        )
    return rows


# --- private entries: placing the forms ----------------------------------------------------


def place_low_fixed_elements(sources: dict[str, list[Def]], report: Report) -> dict[str, list[Def]]:
    """Each source's private definitions, with the fixed elements below 0x0100 made the block
    offsets they stand for (rule 1)."""
    placed: dict[str, list[Def]] = {}
    for source, defs in sources.items():
        placed[source] = []
        for d in defs:
            if d.creator is None or d.block_offset or d.element > 0xFF:
                placed[source].append(d)
            else:
                report.counts["rule 1, low fixed elements: stored as block offsets"] += 1
                placed[source].append(replace(d, block_offset=True, low_fixed=True))
    return placed


def join_forms(sources: dict[str, list[Def]], report: Report) -> dict[str, list[Def]]:
    """Each source's definitions, with the fixed elements of block 0x10 that another source
    lists as block offsets made offsets (rule 2)."""
    offsets = {key_of(d) for defs in sources.values() for d in defs if d.block_offset}
    joined: dict[str, list[Def]] = {}
    for source, defs in sources.items():
        # Per group and creator: the blocks of the source's fixed elements, and whether it
        # lists one offset in both forms.
        blocks: dict[tuple[int, str], set[int]] = collections.defaultdict(set)
        both: set[tuple[int, str]] = set()
        own = {key_of(d) for d in defs if d.block_offset}
        for d in defs:
            if d.creator is not None and not d.block_offset:
                folded = normalize_creator(d.creator)
                blocks[(d.group, folded)].add(d.element >> 8)
                if (d.group, d.element & 0xFF, folded) in own:
                    both.add((d.group, folded))
        joined[source] = []
        for d in defs:
            offset = replace(d, element=d.element & 0xFF, block_offset=True)
            if d.creator is None or d.block_offset or d.element >> 8 != 0x10 or key_of(offset) not in offsets:
                joined[source].append(d)
                continue
            where = tag_text(d.group, d.element, d.creator, False)
            block = (d.group, normalize_creator(d.creator))
            if blocks[block] != {0x10} or block in both:
                why = "both forms of one offset" if block in both else "fixed elements in several blocks"
                report.counts["rule 2, one attribute in two forms: block-specific, kept fixed"] += 1
                report.say("forms", f"{source}: {where} kept fixed: the source lists {why} of this group")
                joined[source].append(d)
            else:
                report.counts["rule 2, one attribute in two forms: fixed elements made block offsets"] += 1
                report.say("forms", f"{source}: {where} is the block offset that another source lists")
                joined[source].append(offset)
    return joined


# --- private entries: deciding ---------------------------------------------------------------


@dataclass(frozen=True)
class Holding:
    """One source's definition of a key under one creator spelling, with its place in the
    order that breaks ties."""

    d: Def
    source_rank: int
    spelling_rank: int

    @property
    def order(self) -> tuple[int, int]:
        return (self.source_rank, self.spelling_rank)


def vote(ballots: list[tuple[Holding, Any]]) -> tuple[Any, bool]:
    """The value that most sources hold, a source counted once per value, and whether another
    value had as many; on a tie the value of the holding that comes first wins (rule 4)."""
    sources: dict[Any, set[int]] = collections.defaultdict(set)
    first: dict[Any, tuple[int, int]] = {}
    for holding, value in ballots:
        sources[value].add(holding.source_rank)
        first[value] = min(first.get(value, holding.order), holding.order)
    ranked = sorted(sources, key=lambda v: (-len(sources[v]), first[v]))
    return ranked[0], len(ranked) > 1 and len(sources[ranked[0]]) == len(sources[ranked[1]])


@dataclass
class Decided:
    """The fields of one private entry and how they were decided, for the report."""

    row: Row
    from_source_keyword: bool = False
    range: tuple[str, str] | None = None  # (source, origin) of the range it was expanded from


def decide(holdings: list[Holding], report: Report) -> Decided:
    """One private row from every holding of one key (rules 3 to 7; keyword uniqueness comes
    later, over the whole creator)."""
    holdings = sorted(holdings, key=lambda h: h.order)
    first = holdings[0].d
    count = report.counts

    spellings = {h.d.creator for h in holdings}
    creator, _ = vote([(h, h.d.creator) for h in holdings])
    if len(spellings) > 1:
        count["rule 3, folded creators: entries held under several spellings"] += 1
        if (
            len(
                {(h.d.name, h.d.keyword, h.d.vr_text, h.d.vm) for h in holdings if h.d.family == first.family}
            )
            > 1
        ):
            count["rule 3, folded creators: entries whose spellings disagree within one source"] += 1

    # Names (rule 5).
    named = [h for h in holdings if h.d.family not in KEYWORD_SOURCES and not is_placeholder_name(h.d.name)]
    placeholders = [
        h for h in holdings if h.d.family not in KEYWORD_SOURCES and is_placeholder_name(h.d.name)
    ]
    candidates = {_compact(h.d.name): h.d.name for h in reversed(named)}
    ballots = [(h, h.d.name) for h in named]
    ballots += [
        (h, candidates[_compact(h.d.keyword)])
        for h in holdings
        if h.d.family in KEYWORD_SOURCES and h.d.keyword and _compact(h.d.keyword) in candidates
    ]
    name = vote(ballots)[0] if ballots else ""
    if name and placeholders:
        count["rule 5, names: a placeholder lost to a real name"] += 1
    if len({n for _, n in ballots}) > 1:
        count["rule 5, names: real names disagreed, decided by votes"] += 1
    name_guessed = bool(name) and all(h.d.guessed for h, n in ballots if n == name)
    if name_guessed:
        count["rule 5, names: guessed names kept without their marks"] += 1

    # VR and VM (rules 4 and 6).
    real_vrs = [(h, h.d.vr_text) for h in holdings if h.d.vr_text not in PLACEHOLDER_VRS]
    vr, tie = vote(real_vrs) if real_vrs else ("UN", False)
    given_vrs = {h.d.vr_text for h in holdings} - {""}
    if real_vrs and len(given_vrs) > 1:
        how = "by the order of sources (a tie)" if tie else "by a majority"
        count[f"rule 6, VR: sources disagreed, decided {how}"] += 1
        if "UN" in given_vrs:
            count["rule 6, VR: 'UN' lost to a real VR"] += 1
    vms = [(h, h.d.vm) for h in holdings if h.d.vm]
    vm = vote(vms)[0] if vms else ""
    if len({v for _, v in vms}) > 1:
        count["rule 4, VM: sources disagreed, decided by votes"] += 1
    retired = vote([(h, h.d.retired) for h in holdings])[0]
    if len({h.d.retired for h in holdings}) > 1:
        count["rule 4, retired: sources disagreed, decided by votes"] += 1

    # The description: what was guessed, and every source that holds another VR or VM.
    notes: list[str] = []
    if name_guessed:
        notes.append(
            "name guessed (" + ", ".join(sorted({h.d.family for h, n in ballots if n == name})) + ")"
        )
    notes += dissent("VR", vr, [(h, h.d.vr_text) for h in holdings], creator)
    notes += dissent("VM", vm, [(h, h.d.vm) for h in holdings], creator)

    keyword, from_source = choose_keyword(holdings, name)
    # Every source that holds the key, once, in the order of sources; "(name guessed)" where
    # that source marked its name as a guess.
    guessing: dict[str, bool] = {}
    for h in holdings:
        guessing[h.d.source] = guessing.get(h.d.source, False) or h.d.guessed
    sources = tuple(label + (" (name guessed)" if guessed else "") for label, guessed in guessing.items())
    row = Row(
        first.group,
        first.element,
        creator or "",
        keyword,
        name,
        vr,
        retired,
        first.block_offset,
        sources,
        "; ".join(notes),
        vm,
    )
    expanded = next((h.d for h in holdings if h.d.expanded), None)
    return Decided(row, from_source, None if expanded is None else (expanded.family, expanded.origin))


def dissent(what: str, chosen: str, held: list[tuple[Holding, str]], creator: str | None) -> list[str]:
    """ "VR dissent: pydicom: UL, dcmtk (as 'Spelling'): SH": every source holding another value
    than the chosen one, once per value, with its creator spelling where it is not the stored
    one; nothing where all agree."""
    parts: list[str] = []
    for h, value in held:
        if value in (chosen, ""):
            continue
        aside = f" (as {h.d.creator!r})" if h.d.creator != creator else ""
        part = f"{h.d.family}{aside}: {value}"
        if not any(p.startswith(h.d.family) and p.endswith(f": {value}") for p in parts):
            parts.append(part)
    return [f"{what} dissent: " + ", ".join(parts)] if parts else []


def choose_keyword(holdings: list[Holding], name: str) -> tuple[str, bool]:
    """The entry's keyword (rule 7) and whether a source gave it."""
    given = [
        (h, keyword_from_name(h.d.keyword)) for h in holdings if h.d.family in KEYWORD_SOURCES and h.d.keyword
    ]
    if given:
        spelling = [(h, k) for h, k in given if _compact(k) == _compact(name)]
        return vote(spelling or given)[0], True
    return (keyword_from_name(name), False) if name else ("", False)


def unique_keywords(decided: list[Decided], report: Report) -> list[Row]:
    """Rows whose keywords are unique within each folded creator (rule 7).  The rows that one
    range of groups expanded into are one attribute (as a repeating group's are in the
    standard) and share their keyword."""
    sharing: dict[tuple[str, str], dict[tuple[str, str] | int, list[Decided]]] = collections.defaultdict(dict)
    for item in decided:
        if item.row.keyword:
            attribute: tuple[str, str] | int = item.range or id(item)
            sharing[(normalize_creator(item.row.creator), item.row.keyword)].setdefault(attribute, []).append(
                item
            )
    renamed: dict[int, str] = {}
    for (_, keyword), attributes in sharing.items():
        if len(attributes) == 1:
            continue
        bare = [a for a, items in attributes.items() if items[0].from_source_keyword or items[0].range]
        for attribute, items in attributes.items():
            if len(bare) == 1 and attribute == bare[0]:
                continue
            for item in items:
                row = item.row
                tag = f"{row.group:04X}" + (
                    f"xx{row.element:02X}" if row.block_offset else f"{row.element:04X}"
                )
                renamed[id(item)] = keyword + tag
                report.counts["rule 7, keywords: shared within a creator, the tag appended"] += 1
    return [
        replace(item.row, keyword=renamed[id(item)]) if id(item) in renamed else item.row for item in decided
    ]


def merge_private(sources: dict[str, dict[tuple[Key, str | None], Def]], report: Report) -> dict[Key, Row]:
    """One row per private key from the resolved definitions of every source (rules 3 to 7)."""
    holdings: dict[Key, list[Holding]] = collections.defaultdict(list)
    for source_rank, (_, defs) in enumerate(sources.items()):
        # Within one source, the spelling under which it lists more tags comes first.
        tags = collections.Counter(d.creator for d in defs.values())
        ranks = {c: n for n, c in enumerate(sorted(tags, key=lambda c: (-tags[c], (c or "").encode())))}
        for (key, _), d in defs.items():
            holdings[key].append(Holding(d, source_rank, ranks[d.creator]))
    decided = {
        key: decide(holdings[key], report) for key in sorted(holdings, key=lambda k: (k[0], k[1], k[2] or ""))
    }
    for key, item in decided.items():
        families = {h.d.family for h in holdings[key]}
        report.counts["private: held by " + " + ".join(f for f in PRIVATE_ORDER if f in families)] += 1
        if item.row.keyword and not item.from_source_keyword:
            report.counts["rule 7, keywords: made from the name"] += 1
        elif item.row.keyword:
            report.counts["rule 7, keywords: given by a source"] += 1
    rows = unique_keywords(list(decided.values()), report)
    return {row_key(row): row for row in rows}


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
        if not _tsv.is_vr_text(row.vr):
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
    # The placement is all that is asked here, so a choice of VRs stands in as the "??" it is
    # stored as.
    asked = [replace(row, vr="??") if " or " in row.vr else row for row in rows]
    for row, entry in zip(rows, _tsv.to_entries(asked, writer), strict=True):
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


MASKS_PY = ROOT / "src" / "quillet" / "_masks.py"
UIDS_TSV = ROOT / "data" / "uids.tsv"


def uids_text(args: argparse.Namespace, report: Report) -> str:
    """data/uids.tsv as the sources make it (tools/uid_sources.py)."""
    version = _sources.dcmtk_version(_sources.find_dcmtk_dir(args.dcmtk_dir), args.dcmtk_version)
    merged = _uid_sources.build(keyword_from_name, args.dcuid, version, lambda line: report.say("uids", line))
    return _uid_tsv.to_text(
        [
            _uid_tsv.UidRow(u.uid, u.keyword, u.name, u.type, u.info, u.retired, u.encoding, tuple(u.sources))
            for u in merged
        ]
    )


def masks_module(masks: list[Any]) -> str:
    """The package's table of the standard's repeating groups, as Python source."""
    (source,) = {m.source for m in masks}
    lines = [
        '"""The standard\'s repeating groups and element ranges, as masks: made by',
        "tools/regen_dictionary.py from pydicom's RepeatersDictionary; do not edit.",
        "",
        "Each is (mask, keyword, name, VR, VM, retired): the mask is eight hexadecimal digits of group",
        'and element, "x" where a digit varies; the VR a code, or the choices as the standard writes',
        'them ("OB or OW").',
        '"""',
        "",
        f"SOURCE = {source!r}",
        "MASKS: tuple[tuple[str, str, str, str, str, bool], ...] = (",
        *(f"    {(m.mask, m.keyword, m.name, m.vr, m.vm, m.retired)!r}," for m in masks),
        ")",
        "",
    ]
    return "\n".join(lines)


def write_tsv(path: Path, rows: list[Row]) -> None:
    text = _tsv.HEADER + "\n" + "".join(row.to_line() + "\n" for row in rows)
    tmp = path.with_name(path.name + ".tmp")
    path.parent.mkdir(parents=True, exist_ok=True)
    tmp.write_text(text, encoding="utf-8", newline="")
    os.replace(tmp, path)


def asked_of_vtk_dicom(defs: Iterable[Def]) -> set[tuple[str, int]]:
    """Every spelling of every creator that the other sources name, in every group where they
    name any spelling of it."""
    spellings: dict[str, set[str]] = collections.defaultdict(set)
    groups: dict[str, set[int]] = collections.defaultdict(set)
    for d in defs:
        if d.creator is not None:
            spellings[normalize_creator(d.creator)].add(d.creator)
            groups[normalize_creator(d.creator)].add(d.group)
    return {(c, g) for folded in spellings for c in spellings[folded] for g in groups[folded]}


def build(
    args: argparse.Namespace, report: Report
) -> tuple[list[Row], dict[str, dict[tuple[Key, str | None], Def]]]:
    pyd_public, pyd_private = _sources.read_pydicom(report)
    folder = _sources.find_dcmtk_dir(args.dcmtk_dir)
    dcm_public, dcm_private = _sources.read_dcmtk(
        folder, _sources.dcmtk_version(folder, args.dcmtk_version), report
    )
    gdcm_private = _sources.read_gdcm(report)
    vtk_private = _sources.read_vtk_dicom(
        args.vtk_dicom_python, asked_of_vtk_dicom([*pyd_private, *gdcm_private, *dcm_private]), report
    )
    wordings = standard_wordings(pyd_public)
    public = merge_public(
        resolve_public("pydicom public", in_standard_wording(pyd_public, wordings, report), report),
        resolve_public("dcmtk public", in_standard_wording(dcm_public, wordings, report), report),
        report,
    )
    private_defs = {
        family: in_standard_wording(defs, wordings, report)
        for family, defs in zip(
            PRIVATE_ORDER, (pyd_private, gdcm_private, dcm_private, vtk_private), strict=True
        )
    }
    placed = join_forms(place_low_fixed_elements(private_defs, report), report)
    resolved = {family: resolve_within(f"{family} private", defs, report) for family, defs in placed.items()}
    private = merge_private(resolved, report)
    rows = clean_keywords(sorted([*public.values(), *private.values()], key=sort_key), report)
    check_rows(rows)
    rows = leave_out_what_dicom_cannot_hold(rows, report)
    creators = {normalize_creator(r.creator) for r in rows if r.creator}
    report.counts["rows: public"] = len(public)
    report.counts["rows: private"] = len(private)
    report.counts["rows: distinct folded creators"] = len(creators)
    report.counts["rows: total"] = len(rows)
    report.counts["rows: a choice of VRs"] = sum(" or " in r.vr for r in rows)
    report.counts["rows: no VR (??)"] = sum(r.vr == "??" for r in rows)
    report.counts["rows: without a name"] = sum(not r.name for r in rows)
    report.counts["rows: without a VM"] = sum(not r.vm for r in rows)
    return rows, resolved


def resolve_public(source: str, defs: list[Def], report: Report) -> dict[Key, Def]:
    return {key: d for (key, _), d in resolve_within(source, defs, report).items()}


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


# --- the evidence of real files -------------------------------------------------------------

EvidenceIndex = dict[tuple[int, int, str, bool], tuple[str, bool]]


def evidence_counts(index: EvidenceIndex, seen: list[Any]) -> tuple[int, int, int, int]:
    """Of the private data elements `seen`: how many `index` finds, finds with a real name,
    how many have an explicit VR, and with how many of those it agrees."""
    found = named = explicit = agree = 0
    for s in seen:
        entry = _evidence.find(index, s.group, s.element, s.creator, normalize_creator)
        found += entry is not None
        named += entry is not None and entry[1]
        if s.vr is not None:
            explicit += 1
            agree += entry is not None and entry[0] == s.vr
    return found, named, explicit, agree


def report_evidence(
    rows: list[Row], resolved: dict[str, dict[tuple[Key, str | None], Def]], report: Report
) -> None:
    seen = _evidence.private_elements()
    tables: dict[str, EvidenceIndex] = {}
    creators: dict[str, set[str]] = {}
    entries: dict[str, int] = {}
    for family, defs in resolved.items():
        index: EvidenceIndex = {}
        # Where a source holds a key under two spellings, the one that sorts first answers.
        for d in sorted(defs.values(), key=lambda d: (d.group, d.element, (d.creator or "").encode())):
            real = not is_placeholder_name(d.name) or bool(d.keyword)
            index.setdefault(
                (d.group, d.element, normalize_creator(d.creator or ""), d.block_offset), (d.vr_text, real)
            )
        tables[family] = index
        entries[family] = len(index)
        creators[family] = {k[2] for k in index}
    merged: EvidenceIndex = {
        (r.group, r.element, normalize_creator(r.creator), r.block_offset): (r.vr, bool(r.name or r.keyword))
        for r in rows
        if r.creator
    }
    tables["merged"] = merged
    entries["merged"] = len(merged)
    creators["merged"] = {k[2] for k in merged}
    files = len({s.file for s in seen})
    report.say(
        "evidence",
        f"{len(seen)} private data elements in {files} of pydicom's test files, "
        f"{sum(s.vr is not None for s in seen)} of them with an explicit VR other than UN",
    )
    report.say(
        "evidence", "source: entries, creators; elements found, with a real name; explicit VRs agreeing"
    )
    for family, index in tables.items():
        found, named, explicit, agree = evidence_counts(index, seen)
        report.say(
            "evidence",
            f"{family}: {entries[family]} entries, {len(creators[family])} creators; "
            f"{found} found, {named} with a real name; {agree} of {explicit} VRs agree",
        )


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--dcmtk-dir", type=Path, help="folder holding dcmtk's dicom.dic and private.dic")
    parser.add_argument("--dcmtk-version", help="dcmtk's version, if dcmdump cannot tell it")
    parser.add_argument(
        "--vtk-dicom-python",
        default=_sources.VTK_DICOM_PYTHON,
        help="the interpreter that vtk-dicom's Python binding is installed for",
    )
    parser.add_argument(
        "--out",
        type=Path,
        default=ROOT / "data" / "dictionary.tsv",
        help="the dictionary text to compare with and write",
    )
    parser.add_argument("--dcuid", type=Path, help="dcmtk's dcuid.h, the list of its UIDs")
    parser.add_argument("--check", action="store_true", help="write nothing; exit 1 if the file would change")
    parser.add_argument(
        "--show", type=int, default=40, help="list at most this many added, removed and changed rows each"
    )
    parser.add_argument(
        "--quiet", action="store_true", help="print only the evidence and the changes, not the whole report"
    )
    args = parser.parse_args(argv)
    report = Report()
    try:
        rows, resolved = build(args, report)
        report_evidence(rows, resolved, report)
        uids = uids_text(args, report)
    except (Refused, _uid_sources.UidRefused) as exc:
        print(f"regen_dictionary: refused:\n{exc}", file=sys.stderr)
        return 2
    sections = (
        ("evidence",)
        if args.quiet
        else (
            "sources",
            "ranges",
            "conflicts",
            "forms",
            "disagreements",
            "keywords",
            "refused by the writer",
            "evidence",
            "uids",
        )
    )
    for section in sections:
        print(f"\n== {section} ==")
        for line in report.lines.get(section, []) or ["(none)"]:
            print(line)
    if not args.quiet:
        print("\n== counts ==")
        for name, n in sorted(report.counts.items()):
            print(f"{name}: {n}")
    old = _tsv.read_tsv(args.out) if args.out.exists() else []
    print_changes(old, rows, args.show)
    masks = masks_module(_sources.read_pydicom_masks())
    masks_changed = not MASKS_PY.exists() or MASKS_PY.read_text(encoding="utf-8") != masks
    if masks_changed:
        print(f"\n== {MASKS_PY.relative_to(ROOT)} would change ==")
    uids_changed = not UIDS_TSV.exists() or UIDS_TSV.read_bytes() != uids.encode("utf-8")
    if uids_changed:
        print(f"\n== {UIDS_TSV.relative_to(ROOT)} would change ==")
    if args.check:
        changed = [r.to_line() for r in old] != [r.to_line() for r in rows] or masks_changed or uids_changed
        return 1 if changed else 0
    write_tsv(args.out, rows)
    MASKS_PY.write_text(masks, encoding="utf-8", newline="\n")
    UIDS_TSV.write_text(uids, encoding="utf-8", newline="\n")
    print(
        f"\nwrote {len(rows)} rows to {args.out}, the repeating groups to {MASKS_PY.relative_to(ROOT)} "
        f"and the UIDs to {UIDS_TSV.relative_to(ROOT)}"
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
