"""The dictionaries that data/dictionary.tsv is made from, each read through its own interface.

``tools/regen_dictionary.py`` merges what these readers return; the rules of the merge are
written there.  Each reader gives every definition as a :class:`Def`, in the source's own terms
(its creator spelling, its VR wording, its names), and leaves deciding to the merge:

* pydicom (``_dicom_dict``, ``_private_dict``): the public dictionary, generated from the
  standard, and a private one, generated from an older GDCM.
* dcmtk's data dictionaries ``dicom.dic`` and ``private.dic``, text files that dcmtk's own
  loader reads.
* GDCM, through its Python binding (the ``python-gdcm`` wheel): ``PrivateDict.PrintXML`` lists
  every private entry's key, and ``PrivateDict.GetDictEntry`` gives each entry's fields.
* vtk-dicom, through its Python binding (Debian's ``python3-vtk-dicom``, built for Debian's own
  interpreter, so it runs in a child process of that interpreter: ``tools/vtk_dicom_probe.py``).
  Its binding can look entries up but not list them, so it is asked about every creator
  spelling and group that the other sources name, all 256 offsets of each; a creator that
  only vtk-dicom knows is not found.

Nothing here needs the quillet package; the readers import pydicom and GDCM when called.
"""

from __future__ import annotations

import collections
import itertools
import json
import os
import re
import shutil
import subprocess
import sys
from collections.abc import Callable, Iterable
from dataclasses import dataclass, field, replace
from pathlib import Path

TOOLS = Path(__file__).resolve().parent
MAX_RANGE_TAGS = 4096
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
# Debian's interpreter, the one its python3-vtk-dicom is built for.
VTK_DICOM_PYTHON = "/usr/bin/python3"
# The entry GDCM adds after its last one to mark the end of its table; it names no element.
GDCM_SENTINEL = "GDCM Private Sentinel"


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
    family: str = ""  # the source's short name: pydicom, GDCM, dcmtk, vtk-dicom
    guessed: bool = False  # the source marked its name as a guess ("?Name?"); the marks are gone
    low_fixed: bool = False  # given as a fixed element below 0x0100, stored as the offset it is

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


# --- texts as the sources write them ----------------------------------------------------


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


def unmark_guess(name: str) -> tuple[str, bool]:
    """GDCM writes a name it guessed between question marks ("?Patient's Name?"), or with
    marks at one end ("?MRSlabType", "VEPRO UID ??"): the name without the marks, and whether
    there were any.  A name of marks alone ("?", "???") names nothing and comes back empty."""
    bare = name.strip().strip("?").strip()
    return bare, bare != name.strip() and bool(bare)


# --- pydicom ----------------------------------------------------------------------------


@dataclass(frozen=True)
class Mask:
    """One of the standard's repeating groups or element ranges, as pydicom writes it: eight
    hexadecimal digits of group and element with "x" for a digit that varies ("60xx0010")."""

    mask: str
    keyword: str
    name: str
    vr: str  # a code, or the choices in the standard's wording ("OB or OW")
    vm: str
    retired: bool
    source: str


def read_pydicom_masks() -> list[Mask]:
    """pydicom's repeaters, in its order: the rows that expanding them into exact tags leaves
    out (whole groups such as (1010,xxxx)) are answered from these."""
    import pydicom
    from pydicom import _dicom_dict, _version

    label = f"DICOM {_version.__dicom_version__} (pydicom {pydicom.__version__})"
    return [
        Mask(
            mask.upper().replace("X", "x"),
            keyword,
            name,
            vr_wording(vr),
            vm_text(vm),
            retired == "Retired",
            label,
        )
        for mask, (vr, vm, name, retired, keyword) in _dicom_dict.RepeatersDictionary.items()
    ]


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
                family="pydicom",
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
            family="pydicom",
        )
        # A wild group digit means a repeating group: even groups only, odd ones are private.
        groups = mask_values(mask[:4], "even" if "x" in mask[:4].lower() else None)
        public += expand(template, groups, mask_values(mask[4:]), f"pydicom {mask}", report, "pydicom public")

    private: list[Def] = []
    line = 0
    for creator, entries in _private_dict.private_dictionaries.items():
        for mask, (vr, vm, raw_name, retired) in entries.items():
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
                    f"left out pydicom {mask} {creator!r} ({raw_name}): an element "
                    "mask over a whole private block names no single element",
                )
                continue
            name, guessed = unmark_guess(raw_name)
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
                family="pydicom",
                guessed=guessed,
            )
            groups = mask_values(group_digits, "odd" if "x" in group_digits.lower() else None)
            private += expand(template, groups, elements, origin, report, "pydicom private")
    return public, private


# --- dcmtk ------------------------------------------------------------------------------

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
        if creator is not None and keyword == "Unknown":
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
            family="dcmtk",
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


# --- GDCM -------------------------------------------------------------------------------

# One line of PrivateDict.PrintXML: the key of one entry.  The texts are printed as they are
# (an owner may hold '&'), so this is no XML to hand to a parser; the fields are read from the
# entry itself through the binding.
_GDCM_ENTRY = re.compile(
    r'\s*<entry group="(?P<group>[0-9a-fA-F]{4})" element="xx(?P<offset>[0-9a-fA-F]{2})" '
    r'vr="[^"]*" vm="[^"]*" owner="(?P<owner>[^"]*)"(?: name="[^"]*")?/>'
)
# PrintXML writes to the C++ standard output, which only a process of its own hands back whole.
_GDCM_PRINT = "import gdcm; gdcm.Global.GetInstance().GetDicts().GetPrivateDict().PrintXML()"


def read_gdcm(report: Report) -> list[Def]:
    try:
        import gdcm  # type: ignore[import-not-found]  # python-gdcm ships no type information
    except ImportError:
        raise Refused("cannot import gdcm: install python-gdcm (scripts/check-data.sh does)") from None
    version = gdcm.Version.GetVersion()
    label = f"GDCM {version}"
    report.say("sources", f"GDCM {version}: its private dictionary ({Path(gdcm.__file__).parent})")
    printed = subprocess.run(
        [sys.executable, "-c", _GDCM_PRINT], capture_output=True, text=True, encoding="utf-8", check=True
    ).stdout
    lines = printed.splitlines()
    if not lines or not lines[0].startswith("<dict") or lines[-1] != "</dict>":
        raise Refused("GDCM's PrintXML: not the list of entries expected")
    table = gdcm.Global.GetInstance().GetDicts().GetPrivateDict()
    defs: list[Def] = []
    for number, line in enumerate(lines[1:-1], start=2):
        found = _GDCM_ENTRY.fullmatch(line)
        if not found:
            raise Refused(f"GDCM's PrintXML line {number}: cannot read {line!r}")
        group, offset, owner = int(found["group"], 16), int(found["offset"], 16), found["owner"]
        report.counts["GDCM private: entries"] += 1
        if owner == GDCM_SENTINEL:
            report.counts["GDCM private: its end-of-table sentinel left out"] += 1
            continue
        entry = table.GetDictEntry(gdcm.PrivateTag(group, offset, owner))
        name, guessed = unmark_guess(entry.GetName())
        defs.append(
            Def(
                group,
                offset,
                owner,
                "",
                name,
                vr_wording(str(entry.GetVR())),
                bool(entry.GetRetired()),
                True,
                label,
                f"GDCM ({group:04X},xx{offset:02X}) {owner!r}",
                line=number,
                vm=vm_text(str(entry.GetVM())),
                family="GDCM",
                guessed=guessed,
            )
        )
    return defs


# --- vtk-dicom --------------------------------------------------------------------------


def read_vtk_dicom(python: str, asked: Iterable[tuple[str, int]], report: Report) -> list[Def]:
    """vtk-dicom's entries for every (creator, odd group) in `asked`, through its binding in
    `python`'s process."""
    pairs = sorted({(creator, group) for creator, group in asked if group % 2})
    if not shutil.which(python) and not Path(python).is_file():
        raise Refused(f"no {python}: install Debian's python3-vtk-dicom (scripts/check-data.sh does)")
    ran = subprocess.run(
        [python, str(TOOLS / "vtk_dicom_probe.py")],
        input=json.dumps(pairs),
        capture_output=True,
        text=True,
        encoding="utf-8",
    )
    if ran.returncode != 0:
        raise Refused(f"vtk-dicom's probe failed under {python}:\n{ran.stderr.strip()}")
    answer = json.loads(ran.stdout)
    label = f"vtk-dicom {answer['version']}"
    report.say(
        "sources",
        f"{label}: asked about {len(pairs)} creator spellings and groups that the other sources "
        f"name, 256 offsets each ({answer['module']})",
    )
    defs = []
    for number, (creator, group, offset, keyword, vr, vm, retired) in enumerate(answer["entries"], start=1):
        report.counts["vtk-dicom private: entries"] += 1
        defs.append(
            Def(
                group,
                offset,
                creator,
                keyword,
                "",
                vr_wording(vr),
                retired,
                True,
                label,
                f"vtk-dicom ({group:04X},xx{offset:02X}) {creator!r}",
                line=number,
                vm=vm_text(vm),
                family="vtk-dicom",
            )
        )
    return defs
