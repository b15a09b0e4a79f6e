"""quillet: DICOM data-dictionary lookups over a memory-mapped, precompiled file.

>>> import quillet
>>> d = quillet.open_default()
>>> d.lookup(0x0010, 0x0010)["keyword"]
'PatientName'
"""

# Importing this package is meant to cost next to nothing beyond the extension itself, so it
# imports no other module: os is loaded by every interpreter at start-up, and pathlib (several
# milliseconds) only when DEFAULT_PATH is first asked for.
import os as _os

from . import _quillet
from ._quillet import Dict, __version__, open

TYPE_CHECKING = False  # typing itself costs milliseconds to import
if TYPE_CHECKING:
    from pathlib import Path

    #: The standard dictionary (public tags and known private ones) that ships with the package.
    DEFAULT_PATH: Path
del TYPE_CHECKING

__all__ = ["DEFAULT_PATH", "Dict", "__version__", "open", "open_default"]

# The build installs the dictionary beside the extension; with an editable install that folder
# is not the one that holds this file, so the extension's own location is the one to trust.
_DEFAULT = _os.path.join(_os.path.dirname(_quillet.__file__), "dictionary.qlet")


def __getattr__(name: str) -> object:
    if name == "DEFAULT_PATH":
        from pathlib import Path

        path = Path(_DEFAULT)
        globals()["DEFAULT_PATH"] = path
        return path
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted(set(globals()) | {"DEFAULT_PATH"})


def open_default() -> Dict:
    """Open the bundled dictionary; the same as ``quillet.open(quillet.DEFAULT_PATH)``."""
    return open(_DEFAULT)
