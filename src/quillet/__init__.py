"""quillet: DICOM data-dictionary lookups over a memory-mapped, precompiled file."""

from ._quillet import Dict, __version__, open

__all__ = ["Dict", "open", "__version__"]
