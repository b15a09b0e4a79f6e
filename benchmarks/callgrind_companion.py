"""Runs N keyword or VM queries of one kind, to be counted under callgrind.

    python callgrind_companion.py CASE N

CASE is one of :data:`STATEMENTS`. The bundled companion is opened before the loop, so that
subtracting two runs of N and 2N iterations leaves the cost of one call as users make it.
"""

from __future__ import annotations

import sys

# quillet's module-level functions on the bundled dictionary against pydicom's, same arguments.
STATEMENTS = {
    "quillet tag_for_keyword": "quillet.tag_for_keyword('PatientName')",
    "pydicom tag_for_keyword": "datadict.tag_for_keyword('PatientName')",
    "quillet vm": "quillet.vm(0x0010, 0x0010)",
    "pydicom dictionary_VM": "datadict.dictionary_VM(0x00100010)",
}


def main() -> None:
    case, n = sys.argv[1], int(sys.argv[2])
    from pydicom import datadict

    import quillet

    quillet.tag_for_keyword("PatientName")  # first use: open the companion outside the loop
    env = {"quillet": quillet, "datadict": datadict, "rng": range(n)}
    exec(f"for _ in rng:\n    {STATEMENTS[case]}", env)


if __name__ == "__main__":
    main()
