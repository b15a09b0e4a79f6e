"""Creator folding shared by the writer and by the generator of the C++ case tables.

The reader folds a private creator before hashing it; a file is only useful if its producer
folds exactly the same way, so this module is the one place that says which code points
separate words.
"""

from __future__ import annotations

# Unicode White_Space: these, and only these, split a creator into words.
# U+001C..U+001F and U+200B are deliberately absent.
WHITE_SPACE: frozenset[str] = frozenset(
    [chr(c) for c in range(0x09, 0x0E)]
    + ["\u0020", "\u0085", "\u00a0", "\u1680"]
    + [chr(c) for c in range(0x2000, 0x200B)]
    + ["\u2028", "\u2029", "\u202f", "\u205f", "\u3000"]
)

FNV_OFFSET = 0x811C9DC5
FNV_PRIME = 0x01000193


def normalize_creator(creator: str) -> str:
    """Fold runs of white space to one blank, trim, and apply full default upper-casing."""
    words: list[str] = []
    word: list[str] = []
    for ch in creator:
        if ch in WHITE_SPACE:
            if word:
                words.append("".join(word))
                word = []
        else:
            word.append(ch)
    if word:
        words.append("".join(word))
    # str.upper() is Unicode's full default mapping without tailoring ("ß" -> "SS").
    return " ".join(words).upper()


def fnv1a32(data: bytes) -> int:
    h = FNV_OFFSET
    for b in data:
        h = ((h ^ b) * FNV_PRIME) & 0xFFFFFFFF
    return h


def hash_creator(creator: str | None) -> int:
    """Index hash of a creator: 0 for none, FNV-1a 32 of the folded UTF-8 text otherwise."""
    if creator is None:
        return 0
    return fnv1a32(normalize_creator(creator).encode("utf-8"))
