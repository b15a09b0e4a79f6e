"""UIDs as text: what makes one, and the words of a transfer syntax's encoding.

Shared by the writer, the queries and the command; it imports nothing, so that the first
question about a UID costs no more than it must.
"""

from __future__ import annotations

MAX_LEN = 64
_DIGITS = frozenset("0123456789")

#: The words of an encoding, in the order they are written; the first two are required.
ENCODING_WORDS = (("implicit", "explicit"), ("little", "big"), ("deflated",), ("encapsulated",))


def problem(text: str) -> str | None:
    """Why `text` is no UID as the standard defines them, or None for a UID: 1 to 64
    characters, digits and dots only, no empty component, and no component of more than one
    digit that starts with 0."""
    if not text:
        return "it is empty"
    for i, ch in enumerate(text):
        if ch != "." and ch not in _DIGITS:
            return f"{ch!r} at index {i}: a UID holds only digits and dots"
    if len(text) > MAX_LEN:
        return f"it is {len(text)} characters long, more than the {MAX_LEN} a UID may have"
    at = 0
    for part in text.split("."):
        if not part:
            return f"an empty component at index {at}"
        if len(part) > 1 and part[0] == "0":
            return f"the component {part!r} at index {at} starts with 0"
        at += len(part) + 1
    return None


def encoding_flags(text: str) -> tuple[bool, bool, bool, bool]:
    """(implicit VR, little endian, deflated, encapsulated) of an encoding's words, such as
    "explicit little" or "explicit little encapsulated"; ValueError for anything else."""
    words = text.split()
    wanted = " or ".join(f"'{w}'" for w in ENCODING_WORDS[0])
    if not words or words[0] not in ENCODING_WORDS[0]:
        raise ValueError(f"{text!r} does not start with {wanted}")
    if len(words) < 2 or words[1] not in ENCODING_WORDS[1]:
        raise ValueError(f"{text!r}: the second word must be 'little' or 'big'")
    rest = words[2:]
    if rest not in ([], ["deflated"], ["encapsulated"], ["deflated", "encapsulated"]):
        raise ValueError(f"{text!r}: after the byte order only 'deflated', then 'encapsulated', may follow")
    return words[0] == "implicit", words[1] == "little", "deflated" in rest, "encapsulated" in rest
