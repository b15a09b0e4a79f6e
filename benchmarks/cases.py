"""The tags every lookup benchmark asks for, the same for quillet and for pydicom."""

from __future__ import annotations

from dataclasses import dataclass


@dataclass(frozen=True)
class Case:
    label: str
    quillet_args: tuple[int, int] | tuple[int, int, str]
    pydicom_tag: int


CASES = {
    # Patient's Name: the public tag every DICOM reader asks for first.
    "public": Case("public hit (0010,0010)", (0x0010, 0x0010), 0x00100010),
    # A private tag that both dictionaries hold under the same creator; quillet stores the
    # element's low byte, pydicom takes the full tag of the first block (xx = 10).
    "private": Case(
        "private hit (0029,xx10) SIEMENS CSA HEADER", (0x0029, 0x10, "SIEMENS CSA HEADER"), 0x00291010
    ),
    # In no dictionary: pydicom raises KeyError (after trying its repeater masks), quillet
    # returns None.
    "miss": Case("miss (0010,0011)", (0x0010, 0x0011), 0x00100011),
}


def statements(case: str) -> tuple[str, str]:
    """The quillet and the pydicom statement of a case, with literal arguments, as a user would
    write them: `q` is a Dict's bound lookup, `ge` and `gp` are pydicom's get_entry and
    get_private_entry."""
    c = CASES[case]
    q = "q(" + ", ".join(f"{a:#06x}" if isinstance(a, int) else repr(a) for a in c.quillet_args) + ")"
    if case == "public":
        p = f"ge({c.pydicom_tag:#010x})"
    elif case == "private":
        p = f"gp({c.pydicom_tag:#010x}, {c.quillet_args[-1]!r})"
    else:
        p = f"try:\n    ge({c.pydicom_tag:#010x})\nexcept KeyError:\n    pass"
    return q, p
