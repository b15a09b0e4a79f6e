"""quillet: DICOM data-dictionary lookups over a memory-mapped, precompiled file.

>>> import quillet
>>> d = quillet.open_default()
>>> d.lookup(0x0010, 0x0010)["keyword"]
'PatientName'
"""

from __future__ import annotations

from pathlib import Path

from ._quillet import Dict, __version__, open

__all__ = ["DEFAULT_PATH", "Dict", "__version__", "open", "open_default"]

#: The standard dictionary (public tags and known private ones) that ships with the package.
DEFAULT_PATH: Path = Path(__file__).with_name("dictionary.qlet")


def open_default() -> Dict:
    """Open the bundled dictionary; the same as ``quillet.open(quillet.DEFAULT_PATH)``."""
    return open(DEFAULT_PATH)
