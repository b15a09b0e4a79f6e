"""Value multiplicity: how many values an element holds, parsed from the standard's notation."""

from __future__ import annotations

import re
from functools import lru_cache
from typing import NamedTuple

__all__ = ["VM"]

# "3", "1-3", "1-n", "2-2n" (a multiple of 2, at least 2), "0-n".
_VM = re.compile(r"(?P<low>\d+)(?:-(?:(?P<high>\d+)|(?P<step>\d*)n))?")


class VM(NamedTuple):
    """A value multiplicity: at least `minimum` values, at most `maximum` (``None``: no
    bound), in steps of `step` from the minimum ("2-2n" is pairs: 2, 4, 6, ...)."""

    minimum: int
    maximum: int | None
    step: int

    @staticmethod
    def parse(text: str) -> VM:
        """The VM that `text` writes: "3", "1-3", "1-n", "2-2n", "0-n".  Raises ``ValueError``
        for any other text.  Each text is parsed once, then remembered."""
        return _parse(text)

    def allows(self, count: int) -> bool:
        """Whether `count` values fit."""
        if count < self.minimum or (self.maximum is not None and count > self.maximum):
            return False
        return (count - self.minimum) % self.step == 0

    def __str__(self) -> str:
        if self.maximum == self.minimum:
            return str(self.minimum)
        if self.maximum is not None:
            return f"{self.minimum}-{self.maximum}"
        if self.step == 1:
            return f"{self.minimum}-n"
        return f"{self.minimum}-{self.step}n"


@lru_cache(maxsize=256)
def _parse(text: str) -> VM:
    m = _VM.fullmatch(text) if isinstance(text, str) else None
    if m is None:
        raise ValueError(f"not a value multiplicity: {text!r} (expected such as 1, 1-3, 1-n or 2-2n)")
    low = int(m["low"])
    if m["high"] is not None:
        high = int(m["high"])
        if high < low:
            raise ValueError(f"not a value multiplicity: {text!r} (its maximum is below its minimum)")
        return VM(low, high, 1)
    if m["step"] is None:
        return VM(low, low, 1)
    step = int(m["step"]) if m["step"] else 1
    if step == 0:
        raise ValueError(f"not a value multiplicity: {text!r} (a step of 0)")
    return VM(low, None, step)
