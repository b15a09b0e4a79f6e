import os
from typing import final

from ._quillet import Dict

@final
class Index:
    """A companion file opened with the dictionary file it belongs to."""

    def tag_for_keyword(self, keyword: str) -> tuple[int, int] | None:
        """The (group, element) of a public keyword, or `None`."""
    def keys_for_keyword(self, keyword: str) -> list[tuple[int, int, str | None]]:
        """(group, element, creator or None) of every entry with this keyword."""
    def vm(self, group: int, element: int, creator: str | None = None) -> str | None:
        """The value multiplicity of the entry a lookup finds, or `None`."""
    def vrs(self, group: int, element: int, creator: str | None = None) -> tuple[str, ...] | None:
        """The VRs of the entry a lookup finds, in the standard's order, or `None`."""
    def search(self, text: str, creator: str | None, limit: int | None) -> list[tuple[int, int, str | None]]:
        """Keys of the entries whose case-folded keyword or name contains `text`, best first."""

def open(path: str | os.PathLike[str], dict: Dict, path_shown: str, dict_shown: str) -> Index:
    """Open the companion at `path`, checked against the opened `Dict` it belongs to."""
