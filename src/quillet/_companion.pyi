import os
from typing import Any, Literal, final, overload

from ._quillet import Dict
from ._types import LookupResult, TagInfo, UidInfo

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
    def get(self, tag: int | tuple[int, int] | str, creator: str | None, what: int) -> Any:
        """The entry, or one field of it, of a tag as it stands in a data set."""
    @overload
    def entries(self, keyword: str, full: Literal[False] = False) -> list[LookupResult]: ...
    @overload
    def entries(self, keyword: str, full: Literal[True]) -> list[TagInfo]: ...
    def tag(self, keyword: str, creator: str | None = None) -> int | None:
        """The tag of a public keyword, or of a private one under `creator`, as an int, or None."""
    def creators(self, tag: int | tuple[int, int] | str) -> list[str]:
        """The creators whose entries answer a private data element."""
    @overload
    def find(
        self, text: str, creator: str | None, limit: int | None, full: Literal[False] = False
    ) -> list[LookupResult]: ...
    @overload
    def find(
        self, text: str, creator: str | None, limit: int | None, full: Literal[True]
    ) -> list[TagInfo]: ...
    def has_creator(self, creator: str, /) -> bool:
        """Whether any entry stands under this private creator (folded)."""
    def search(self, text: str, creator: str | None, limit: int | None) -> list[tuple[int, int, str | None]]:
        """Keys of the entries whose case-folded keyword or name contains `text`, best first."""

def open(path: str | os.PathLike[str], dict: Dict, path_shown: str, dict_shown: str) -> Index:
    """Open the companion at `path`, checked against the opened `Dict` it belongs to."""

@final
class Uids:
    """A UID file: the registered UIDs of a dictionary."""

    def get(self, uid: str) -> UidInfo | None:
        """The entry of a UID, matched exactly, or `None`."""
    def uid_for_keyword(self, keyword: str) -> str | None:
        """The UID whose keyword is `keyword`, or `None`."""
    def find(self, text: str, limit: int | None) -> list[UidInfo]:
        """The entries whose case-folded keyword or name contains `text`, best first."""
    def __len__(self) -> int: ...

def open_uids(path: str | os.PathLike[str], path_shown: str) -> Uids:
    """Open the UID file at `path`."""

def split_tag(tag: int | tuple[int, int] | str) -> tuple[int, int, bool]:
    """(group, element, block_form) of a tag given as an int, a pair or text."""

class Stack:
    """The layers of a dictionary, asked in order; the base of quillet.Dictionary."""

    def entry(self, tag: int | tuple[int, int] | str, creator: str | None = None) -> TagInfo | None:
        """The entry of a tag: the lookup's ten fields, its VM and its VRs, or `None`."""
    def keyword(self, tag: int | tuple[int, int] | str, creator: str | None = None) -> str | None:
        """The keyword of a tag's entry, or `None` without entry."""
    def name(self, tag: int | tuple[int, int] | str, creator: str | None = None) -> str | None:
        """The name of a tag's entry, or `None` without entry."""
    def vr(self, tag: int | tuple[int, int] | str, creator: str | None = None) -> str | None:
        """The VR of a tag's entry ("??" for several or none), or `None`."""
    def vm(self, tag: int | tuple[int, int] | str, creator: str | None = None) -> str | None:
        """The value multiplicity of a tag's entry, or `None` when there is none or it is not known."""
    def vrs(self, tag: int | tuple[int, int] | str, creator: str | None = None) -> tuple[str, ...] | None:
        """The VRs a tag's element may take, in the standard's order, or `None`."""
    def tag(self, keyword: str, creator: str | None = None) -> int | None:
        """The tag of a keyword as an int, or `None`."""
    def _get(self, tag: int | tuple[int, int] | str, creator: str | None, what: int) -> Any:
        """Any of the answers, by number."""
    def _stored(self, tag: int | tuple[int, int] | str, creator: str | None, what: int) -> Any:
        """Any of the answers of the entries alone, by number: NotImplemented where no entry holds the tag."""
    def _public_tag(self, keyword: str, /) -> int | None:
        """The tag of a public keyword as an int, or `None` (also for the keywords set aside)."""
    def _exclude(self, keywords: set[str] | frozenset[str] | None, /) -> None:
        """The keywords (a set) that `_public_tag` does not answer."""
    def _arrange_stack(
        self, layers: tuple[Any, ...], added: dict[int, Any] | None, added_tags: dict[Any, int] | None
    ) -> None:
        """The layers, in order, and the entries added."""
