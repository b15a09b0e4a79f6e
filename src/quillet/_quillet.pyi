import os
from types import TracebackType
from typing import Final, Literal, final

from ._types import LookupResult

__all__ = ["Dict", "__version__", "open"]
__version__: Final[str]

@final
class Dict:
    """Opaque handle holding an mmap'd dictionary."""

    def lookup(self, group: int, element: int, creator: str | None = None) -> LookupResult | None:
        """Look up a tag. Returns a dict or `None`.

        `element` is the low byte for private tags (the "xx" form)."""
    def __enter__(self) -> Dict:
        """Context-manager support (no-op - mmap is released on drop)."""
    def __exit__(
        self,
        _exc_type: type[BaseException] | None = None,
        _exc: BaseException | None = None,
        _tb: TracebackType | None = None,
    ) -> Literal[False]: ...
    def __len__(self) -> int: ...

def open(path: str | os.PathLike[str]) -> Dict:
    """Open a `.qlet` file. Raises `IOError` on missing file or corruption,
    `ValueError` on unsupported version."""
