"""The package as installed: what the extension exports, what importing costs in modules, where
its fault reports go, its licences, and an editable install that finds its own dictionary."""

from __future__ import annotations

import importlib.metadata
import os
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

import quillet
from quillet import _companion, _quillet
from quillet import _layout as L

from conftest import example_body

ROOT = Path(__file__).resolve().parents[1]


@pytest.mark.skipif(sys.platform != "linux" or shutil.which("nm") is None, reason="ELF and nm")
@pytest.mark.parametrize("module", [_quillet, _companion], ids=lambda m: m.__name__)
def test_only_the_entry_point_is_exported(module):
    out = subprocess.run(
        ["nm", "-D", "--defined-only", module.__file__], capture_output=True, text=True, check=True
    ).stdout
    assert [line.split()[-1] for line in out.splitlines()] == [f"PyInit_{module.__name__.split('.')[-1]}"]


@pytest.mark.parametrize(
    ("first_use", "loaded"),
    [
        ("import quillet; quillet.open_default()", ["quillet", "quillet._quillet"]),
        # A first question opens the bundled dictionary and its companion, and needs nothing of
        # the UID registry, the writer, the companion's Python module, creator folding or
        # __future__ (annotations are quoted instead).
        (
            "import quillet; quillet.tag_for_keyword('PatientName')",
            ["quillet", "quillet._companion", "quillet._quillet", "quillet.dictionary"],
        ),
        (
            "import quillet.datadict as d; d.dictionary_VR(0x00100010)",
            [
                "quillet",
                "quillet._companion",
                "quillet._masks",
                "quillet._quillet",
                "quillet.datadict",
                "quillet.dictionary",
            ],
        ),
    ],
)
def test_first_use_loads_nothing_else(first_use, loaded):
    # What first use costs beyond a bare interpreter is mostly the modules it pulls in (pathlib
    # alone is several milliseconds): it may add none but these.
    code = f"import sys; bare = set(sys.modules); {first_use}; print(sorted(set(sys.modules) - bare))"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out.strip() == repr(loaded)


def test_default_path_stays_a_path():
    assert isinstance(quillet.DEFAULT_PATH, Path) and quillet.DEFAULT_PATH.is_file()
    assert "DEFAULT_PATH" in dir(quillet)
    assert len(quillet.open(quillet.DEFAULT_PATH)) == len(quillet.open_default())


def test_fault_report_goes_to_the_process_standard_error(tmp_path):
    faulty = example_body()
    faulty.index[0].record = 1
    (tmp_path / "faulty.qlet").write_bytes(L.pack_file(faulty))
    # A program that captures sys.stderr must not swallow the report of a corrupt file.
    code = (
        "import io, sys, quillet\n"
        "sys.stderr = io.StringIO()\n"
        f"d = quillet.open({str(tmp_path / 'faulty.qlet')!r})\n"
        "try:\n    d.lookup(0x10, 0x10)\nexcept BaseException as e:\n    print(type(e).__name__)\n"
    )
    p = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert (p.returncode, p.stdout) == (0, "InternalError\n")
    assert p.stderr == "quillet: internal error: index out of bounds: the len is 1 but the index is 1\n"


def test_licences_ship_in_the_distribution():
    dist = importlib.metadata.distribution("quillet")
    texts = {
        Path(str(f)).name: f.read_text(encoding="utf-8")
        for f in dist.files or ()
        if "licenses" in Path(str(f)).parts
    }
    assert texts.keys() == {"LICENSE", "pydicom.txt", "dcmtk.txt", "gdcm.txt", "vtk-dicom.txt"}
    assert texts["LICENSE"].startswith("MIT License")
    assert "Darcy Mason and pydicom contributors" in texts["pydicom.txt"]
    assert "Mathieu Malaterre" in texts["pydicom.txt"]  # GDCM, whose private dictionary it carries
    assert "OFFIS e.V." in texts["dcmtk.txt"]
    assert "Mathieu Malaterre" in texts["gdcm.txt"]
    assert "David Gobbi" in texts["vtk-dicom.txt"]


# The editable install is the same on every interpreter and build; the plain suite checks it,
# the sanitizer and free-threaded suites (which rerun everything) need not build it again, and
# the suite run against an installed wheel has nothing to build it with.
@pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", "")
    or bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
    or os.environ.get("QUILLET_NO_BUILD") == "1",
    reason="checked by the plain suite",
)
def test_editable_install_finds_its_dictionary(tmp_path):
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", str(venv)], check=True)
    py = venv / "bin" / "python"
    build = ROOT / "build" / "editable-{wheel_tag}"  # kept between runs, like the other builds
    p = subprocess.run(
        [str(py), "-m", "pip", "install", "-q", "-e", str(ROOT), f"-Cbuild-dir={build}"],
        capture_output=True,
        text=True,
        env=os.environ | {"PIP_DISABLE_PIP_VERSION_CHECK": "1"},
    )
    assert p.returncode == 0, p.stderr[-3000:]
    code = (
        "import quillet, pathlib\n"
        "assert pathlib.Path(quillet.__file__).is_relative_to(pathlib.Path(sys.argv[1]))\n"
        "print(quillet.open_default().lookup(0x10, 0x10)['keyword'], quillet.DEFAULT_PATH.is_file())\n"
    )
    p = subprocess.run(
        [str(py), "-c", "import sys\n" + code, str(ROOT / "src")],
        capture_output=True,
        text=True,
        cwd=tmp_path,
    )
    assert (p.returncode, p.stdout) == (0, "PatientName True\n"), p.stderr
