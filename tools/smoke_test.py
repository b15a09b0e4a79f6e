"""Check an installed quillet on any system: what a built wheel must do on Windows and macOS too.

    python tools/smoke_test.py

The test suite relies on Linux in places (``/proc``, Linux's error texts), so the wheels built
for Windows and macOS run these checks instead: the bundled dictionary answers, the errors
have their shape with the system's own code for a missing file (2 on Windows, Linux and
macOS), and file names outside ASCII, lone surrogates on Windows included, reach the system
unchanged. A file that a ``Dict`` holds can be renamed and deleted meanwhile, as on POSIX.
Prints one line per check and exits with 1 at the first failure.
"""

from __future__ import annotations

import os
import shutil
import sys
import tempfile
from collections.abc import Callable
from pathlib import Path

import quillet


def _oserror(path: str) -> str:
    try:
        quillet.open(path)
    except OSError as exc:
        assert type(exc) is OSError, type(exc)
        return str(exc)
    raise AssertionError(f"{path!r} opened")


def _answers(d: quillet.Dict) -> None:
    hit = d.lookup(0x0010, 0x0010)
    assert hit is not None and hit["keyword"] == "PatientName", hit
    csa = d.lookup(0x0029, 0x10, "siemens  csa header")
    assert csa is not None and csa["creator"] == "SIEMENS CSA HEADER", csa
    assert d.lookup(0x0010, 0x9999) is None


def bundled() -> None:
    d = quillet.open_default()
    assert len(d) > 0 and repr(d) == f"<quillet.Dict len={len(d)}>", repr(d)
    _answers(d)


def errors(folder: Path) -> None:
    missing = str(folder / "missing.qlet")
    text = _oserror(missing)
    assert text.startswith(f"cannot open {missing}: io error: ") and text.endswith(" (os error 2)"), text
    assert not text.endswith("  (os error 2)") and "\n" not in text, repr(text)
    empty = folder / "empty.qlet"
    empty.write_bytes(b"")
    assert _oserror(str(empty)) == f"cannot open {empty}: file too small (0 bytes) to contain a header"
    assert _oserror("a\0b").endswith(": io error: file name contained an unexpected NUL byte")
    assert _oserror(str(folder)).startswith(f"cannot open {folder}: io error: ")


def names(folder: Path) -> None:
    candidates = ["W\u00f6rterbuch-\u5b57\u5178-\U0001f4d6.qlet"]
    if os.name == "nt":
        candidates.append("lone-\ud800-high.qlet")  # any UTF-16 name is a Windows file name
    elif sys.platform.startswith("linux"):
        candidates.append("byte-\udc80.qlet")  # the byte 0x80, through surrogateescape
    for name in candidates:
        path = os.path.join(folder, name)
        shutil.copyfile(quillet.DEFAULT_PATH, path)
        _answers(quillet.open(path))
        os.remove(path)


def renamed_and_deleted(folder: Path) -> None:
    live, moved = folder / "live.qlet", folder / "moved.qlet"
    shutil.copyfile(quillet.DEFAULT_PATH, live)
    d = quillet.open(live)
    os.rename(live, moved)
    _answers(d)
    os.remove(moved)
    _answers(d)
    assert not moved.exists()
    del d  # on Windows a folder goes only once nothing in it is open


CHECKS: list[tuple[str, Callable[[Path], None]]] = [
    ("the bundled dictionary answers", lambda _: bundled()),
    ("errors: missing (os error 2), empty, NUL, a directory", errors),
    ("file names outside ASCII", names),
    ("renamed and deleted while open", renamed_and_deleted),
]


def main() -> int:
    print(f"smoke_test: quillet {quillet.__version__} from {Path(quillet.__file__).parent}")
    passed = 0
    for title, check in CHECKS:
        with tempfile.TemporaryDirectory(ignore_cleanup_errors=True) as tmp:
            try:
                check(Path(tmp))
            except Exception as exc:
                print(f"FAILED {title}: {type(exc).__name__}: {exc}")
                print(f"smoke_test: {passed} passed, 1 failed")
                return 1
        passed += 1
        print(f"ok     {title}")
    print(f"smoke_test: {passed} passed, 0 failed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
