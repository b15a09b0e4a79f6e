"""Check that the Python and the C++ sides state the same file layout and result keys.

    python tools/check_layout.py

The format is written once per language: in C++ by ``src/archive/layout.hpp`` (body),
``src/dictfile/mapped_dict.hpp`` (header) and ``src/module/convert.cpp`` (result keys); in
Python by ``src/quillet/_layout.py``, from which the writer, the command and the tests take it.
The companion file is written the same way, in ``src/companion/format.hpp`` and
``src/quillet/_companion_layout.py``, and so is the UID file, in ``src/uids/format.hpp`` and
``src/quillet/_uid_layout.py``; the result type ``UidInfo`` restates the keys of
``src/module/uids_module.cpp``. The result type ``LookupResult``, the writer's ``Entry`` and the
benchmark's C helper restate the result keys because they cannot import them. This reads all of
them without building anything and compares: every number the C++ sources define, the fields of
each structure (offset and width), the root's members, the VR table, the result keys in their
order, and the companion's magic, version, header and sections. Prints each disagreement and
exits with 1, or prints one line and exits with 0.
"""

from __future__ import annotations

import ast
import importlib.util
import re
import struct
import sys
from pathlib import Path
from types import ModuleType

ROOT = Path(__file__).resolve().parents[1]
LAYOUT_PY = ROOT / "src" / "quillet" / "_layout.py"
TYPES = ROOT / "src" / "quillet" / "_types.py"
WRITER = ROOT / "src" / "quillet" / "writer.py"
LAYOUT_HPP = ROOT / "src" / "archive" / "layout.hpp"
HEADER_HPP = ROOT / "src" / "dictfile" / "mapped_dict.hpp"
CONVERT_CPP = ROOT / "src" / "module" / "convert.cpp"
FLOOR_C = ROOT / "benchmarks" / "floor" / "_bench_floor.c"
COMPANION_PY = ROOT / "src" / "quillet" / "_companion_layout.py"
COMPANION_HPP = ROOT / "src" / "companion" / "format.hpp"
UIDS_PY = ROOT / "src" / "quillet" / "_uid_layout.py"
UIDS_HPP = ROOT / "src" / "uids" / "format.hpp"
UIDS_CPP = ROOT / "src" / "module" / "uids_module.cpp"

# The record's unused and padding bytes are never read, so only Python, which writes them, names them.
UNREAD = frozenset({"unused", "padding"})

# Numbers of _layout.py that C++ has no use for: the code of "??", which C++ reaches as the last
# entry of the table.
PYTHON_ONLY: frozenset[str] = frozenset()

_NAMESPACE = re.compile(r"^namespace (\w+) \{")
_SCALAR = re.compile(r"^inline constexpr [\w:]+ (k\w+) = (\d+);")
_FIELD = re.compile(r"^inline constexpr Field (k\w+)\{(\d+), (\d+)\};")
_STRING = re.compile(r'^inline constexpr std::string_view (k\w+) =\s*"([^"]*)";', re.MULTILINE)
_MAGIC = re.compile(r"^inline constexpr std::uint8_t (kMagic)\[\d+\] = \{([^}]*)\};", re.MULTILINE)
_MEMBER = re.compile(r'\{"(\w+)", (\w+), &DictRoot::(\w+), (\w+), (\w+)\}')
_STRINGS_OF = r"{}\[[^\]]*\] = \{{([^}}]*)\}};"


class Problems(list[str]):
    def differ(self, what: str, python: object, cpp: object) -> None:
        if python != cpp:
            self.append(f"{what}: Python has {python!r}, C++ has {cpp!r}")


def load_layout(path: Path = LAYOUT_PY) -> ModuleType:
    """A layout module by path: importing the package would need the compiled extension."""
    spec = importlib.util.spec_from_file_location(f"_quillet_reference_{path.stem}", path)
    if spec is None or spec.loader is None:
        raise SystemExit(f"cannot load {path.relative_to(ROOT)}")
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module  # dataclasses look their module up while they are made
    spec.loader.exec_module(module)
    return module


def python_name(cpp: str) -> str:
    """kVecRefLen -> vec_ref_len."""
    return re.sub(r"(?<!^)(?=[A-Z])", "_", cpp[1:]).lower()


class Cpp:
    """The facts of the C++ headers, keyed by name; fields by their namespace."""

    def __init__(self, *headers: Path) -> None:
        self.scalars: dict[str, int] = {}
        self.fields: dict[str, dict[str, tuple[int, int]]] = {}
        self.strings: dict[str, str] = {}
        self.magic = b""
        self.members: list[tuple[str, int, int, int]] = []
        member_rows: list[tuple[str, ...]] = []
        for path in headers:
            text = re.sub(r"//[^\n]*", "", path.read_text(encoding="utf-8"))
            namespace = ""
            for line in text.splitlines():
                if m := _NAMESPACE.match(line):
                    namespace = m.group(1) if m.group(1) != "quillet" else ""
                elif line.startswith("}"):
                    namespace = ""
                elif m := _SCALAR.match(line):
                    self.scalars[m.group(1)] = int(m.group(2))
                elif m := _FIELD.match(line):
                    self.fields.setdefault(namespace, {})[m.group(1)] = (int(m.group(2)), int(m.group(3)))
            self.strings.update(_STRING.findall(text))
            if m := _MAGIC.search(text):
                self.magic = bytes(ord(c) for c in re.findall(r"'(.)'", m.group(2)))
            member_rows += _MEMBER.findall(text)
        self.used_by_members: set[str] = set()
        for name, at, ref, item_len, align in member_rows:
            if ref != name:
                raise SystemExit(f"kRootMembers: member {name!r} points at DictRoot::{ref}")
            self.members.append((name, self.value(at), self.value(item_len), self.value(align)))

    def value(self, token: str) -> int:
        if token.isdigit():
            return int(token)
        if token not in self.scalars:
            raise SystemExit(f"kRootMembers names {token}, which no header defines")
        self.used_by_members.add(token)
        return self.scalars[token]


def strings_in(path: Path, array: str) -> list[str]:
    m = re.search(_STRINGS_OF.format(re.escape(array)), path.read_text(encoding="utf-8"))
    if m is None:
        raise SystemExit(f"cannot find {array} in {path.relative_to(ROOT)}")
    return re.findall(r'"([^"]*)"', m.group(1))


def class_fields(path: Path, name: str) -> list[str]:
    """The annotated fields of class `name`, in order (a dataclass's KW_ONLY marker left out)."""
    tree = ast.parse(path.read_text(encoding="utf-8"))
    for node in tree.body:
        if isinstance(node, ast.ClassDef) and node.name == name:
            return [
                s.target.id
                for s in node.body
                if isinstance(s, ast.AnnAssign) and isinstance(s.target, ast.Name) and s.target.id != "_"
            ]
    raise SystemExit(f"cannot find class {name} in {path.relative_to(ROOT)}")


def python_fields(table: tuple[tuple[str, str], ...]) -> dict[str, tuple[int, int]]:
    """(offset, width) of each field of a table of (name, struct code) that follow each other."""
    out, offset = {}, 0
    for name, code in table:
        width = struct.calcsize("<" + code)
        out[name] = (offset, width)
        offset += width
    return out


# Fields of the writer's Entry after the result's, kept in the companion file only.
COMPANION_ONLY = ("vm",)


def problems() -> Problems:
    py = load_layout()
    cpp = Cpp(LAYOUT_HPP, HEADER_HPP)
    found = Problems()

    for name, value in sorted(cpp.scalars.items()):
        twin = python_name(name).upper()
        if hasattr(py, twin):
            found.differ(twin, getattr(py, twin), value)
        elif name not in cpp.used_by_members:
            found.append(f"{name} has no Python twin {twin} in _layout.py")
    twins = {python_name(name).upper() for name in cpp.scalars}
    for name, value in vars(py).items():
        if name.isupper() and type(value) is int and name not in twins and name not in PYTHON_ONLY:
            found.append(f"{name} of _layout.py has no C++ twin k{name.title().replace('_', '')}")
    found.differ("MAGIC", py.MAGIC, cpp.magic)
    found.differ("VR_TABLE", py.VR_TABLE, cpp.strings.get("kVrTable"))
    found.differ("ROOT_MEMBERS", [tuple(m) for m in py.ROOT_MEMBERS], cpp.members)

    for namespace, lengths in (
        ("record", "RECORD_LEN"),
        ("index_entry", "INDEX_ENTRY_LEN"),
        ("vec_ref", "VEC_REF_LEN"),
    ):
        table = getattr(py, f"{namespace.upper()}_FIELDS")
        fields = python_fields(table)
        found.differ(
            f"size of {namespace.upper()}_FIELDS", getattr(py, lengths), sum(w for _, w in fields.values())
        )
        cpp_fields = {python_name(k): v for k, v in cpp.fields.get(namespace, {}).items()}
        if not cpp_fields:
            found.append(f"no fields of {namespace} found in {LAYOUT_HPP.relative_to(ROOT)}")
        for name in sorted(fields.keys() | cpp_fields.keys()):
            if name in UNREAD and name not in cpp_fields:
                continue
            found.differ(f"{namespace} field {name} (offset, width)", fields.get(name), cpp_fields.get(name))

    keys = list(py.RESULT_KEYS)
    found.differ("result keys", keys, strings_in(CONVERT_CPP, "kKeys"))
    # The writer's Entry holds the result's fields in their order, then what only the companion
    # file keeps (the VM), which a lookup's dict does not carry.
    writer_fields = class_fields(WRITER, "Entry")
    if writer_fields[len(keys) :] == list(COMPANION_ONLY):
        writer_fields = writer_fields[: len(keys)]
    for what, names in (
        (f"keys of the result type LookupResult ({TYPES.name})", class_fields(TYPES, "LookupResult")),
        (f"fields of the writer's Entry ({WRITER.name})", writer_fields),
        (f"keys of the benchmark floor ({FLOOR_C.name})", strings_in(FLOOR_C, "key_text")),
    ):
        if names != keys:
            found.append(f"{what}: {names}, not RESULT_KEYS {keys}")
    companion_problems(found)
    uid_problems(found)
    return found


def uid_problems(found: Problems) -> None:
    """The UID file's layout, format.hpp against _uid_layout.py: every number, by name; and the
    keys of a UID's result against the result types."""
    py = load_layout(UIDS_PY)
    cpp = Cpp(UIDS_HPP)
    found.differ("UID file magic", py.MAGIC, cpp.magic)
    for name, value in sorted(cpp.scalars.items()):
        twin = python_name(name).upper()
        if not hasattr(py, twin):
            found.append(f"{name} of {UIDS_HPP.relative_to(ROOT)} has no twin {twin} in {UIDS_PY.name}")
        else:
            found.differ(f"UID file {twin}", getattr(py, twin), value)
    found.differ("UID file sections", list(py.SECTIONS), strings_in(UIDS_HPP, "kSectionName"))
    m = re.search(r"kItemLen\[kSectionCount\] = \{([^}]*)\};", UIDS_HPP.read_text(encoding="utf-8"))
    cpp_items = [int(v) for v in re.findall(r"\d+", m.group(1))] if m else []
    formats: dict[str, struct.Struct] = py._FORMATS
    found.differ(
        "UID file item sizes", [formats[n].size if n in formats else 1 for n in py.SECTIONS], cpp_items
    )
    keys = strings_in(UIDS_CPP, "kKeys")
    entry = class_fields(TYPES, "UidInfo")
    found.differ("keys of UidInfo", entry + class_fields(TYPES, "UidEncoding"), keys)


def companion_problems(found: Problems) -> None:
    """The companion file's layout: format.hpp against _companion_layout.py."""
    py = load_layout(COMPANION_PY)
    cpp = Cpp(COMPANION_HPP)
    text = COMPANION_HPP.read_text(encoding="utf-8")
    found.differ("companion magic", py.MAGIC, cpp.magic)
    found.differ("companion version", py.VERSION, cpp.scalars.get("kVersion"))
    found.differ("companion digest length", py.DIGEST_LEN, cpp.scalars.get("kDigestLen"))
    found.differ("dictionary digest mark", py.DICT_HAS_DIGEST, cpp.scalars.get("kDictHasDigest"))
    found.differ("longest run of occupied slots", py.MAX_RUN, cpp.scalars.get("kMaxRun"))
    sections = strings_in(COMPANION_HPP, "kSectionName")
    found.differ("companion sections", list(py.SECTIONS), sections)
    found.differ("companion section count", len(py.SECTIONS), cpp.scalars.get("kSectionCount"))
    header = cpp.scalars.get("kSectionsAt", 0) + 8 * cpp.scalars.get("kSectionCount", 0)
    found.differ("companion header length", py.HEADER_LEN, header)
    m = re.search(r"kItemLen\[kSectionCount\] = \{([^}]*)\};", text)
    cpp_items = [int(v) for v in re.findall(r"\d+", m.group(1))] if m else []
    formats: dict[str, struct.Struct] = py._FORMATS
    py_items = [formats[name].size if name in formats else 1 for name in py.SECTIONS]
    found.differ("companion item sizes", py_items, cpp_items)


def main() -> int:
    found = problems()
    for line in found:
        print(f"check_layout: {line}")
    if found:
        return 1
    print("check_layout: the Python and C++ layouts and result keys agree")
    return 0


if __name__ == "__main__":
    sys.exit(main())
