"""Check that the C++ sources keep their layers: includes point only down, Python only on top.

    python tools/check_layers.py [SRC_DIR]

Each folder of ``src/`` is one layer (the order is written at the top of CMakeLists.txt) with
one namespace. A file may include headers of its own folder and of the folders below it, never
of one above; only ``src/module``, the CPython extension, may include ``Python.h``; and what a
file declares lies in its folder's namespace (or one nested in it). Prints every breach and
exits with status 1; prints one line and exits with 0 when there is none.
"""

from __future__ import annotations

import re
import sys
from pathlib import Path

# Each layer's folder and namespace, lowest first; the same order as the comment at the top of
# CMakeLists.txt.
NAMESPACES = {
    "common": "quillet",
    "archive": "quillet::archive",
    "dictfile": "quillet::dictfile",
    "lookup": "quillet::lookup",
    "companion": "quillet::companion",
    "uids": "quillet::uids",
    "module": "quillet::py",
}
LAYERS = tuple(NAMESPACES)
PYTHON_LAYERS = frozenset({"module"})
_INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]', re.MULTILINE)
_NAMESPACE = re.compile(r"^namespace ([\w:]+) \{", re.MULTILINE)
_SUFFIXES = {".hpp", ".cpp", ".inc", ".h"}


def problems(src: Path) -> list[str]:
    found = []
    for path in sorted(p for p in src.rglob("*") if p.suffix in _SUFFIXES):
        layer = path.relative_to(src).parts[0]
        if layer not in LAYERS:
            found.append(f"{path}: folder {layer!r} is not a known layer")
            continue
        rank = LAYERS.index(layer)
        text = path.read_text(encoding="utf-8")
        own = NAMESPACES[layer]
        for match in _NAMESPACE.finditer(text):
            name = match.group(1)
            # The layer a namespace belongs to is the one whose namespace is its longest prefix.
            owners = [ns for ns in NAMESPACES.values() if name == ns or name.startswith(ns + "::")]
            if owners and max(owners, key=len) != own:
                line = text.count("\n", 0, match.start()) + 1
                found.append(f"{path}:{line}: namespace {name} in {layer}, whose namespace is {own}")
        for match in _INCLUDE.finditer(text):
            quote, target = match.groups()
            line = text.count("\n", 0, match.start()) + 1
            where = f"{path}:{line}"
            if target == "Python.h" and layer not in PYTHON_LAYERS:
                found.append(f"{where}: includes Python.h, but {layer} is part of the core")
            if quote != '"':
                continue
            other = target.split("/")[0]
            if other not in LAYERS:
                found.append(f"{where}: {target!r} is not inside a layer folder")
            elif LAYERS.index(other) > rank:
                found.append(f"{where}: {layer} includes {target!r} of {other}, a layer above it")
    return found


def main(argv: list[str]) -> int:
    src = Path(argv[1]) if len(argv) > 1 else Path(__file__).resolve().parents[1] / "src"
    found = problems(src)
    for line in found:
        print(line)
    if found:
        return 1
    print(
        f"check_layers: {' < '.join(LAYERS)}; every include points down, every file in its layer's namespace"
    )
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
