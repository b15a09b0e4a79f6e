"""Registered UIDs: the first question's cost and each later one's, quillet beside pydicom.

    python benchmarks/uids.py [--fresh N] [--repeat R]

First use is timed in N fresh interpreters each: for quillet, the first ``Dictionary.uid`` of a
dictionary already made (opening, mapping and validating its UID file, then the query); for
pydicom, ``from pydicom.uid import UID`` (its UID dictionary is a module it imports) and the
first ``UID(text).name``.  Per call, the best of R runs of timeit: a hit and a miss of each,
quillet's keyword lookup beside pydicom's module attribute, and a search.  Prints one table;
medians for first use.
"""

from __future__ import annotations

import argparse
import statistics
import subprocess
import sys
import timeit

JPEG = "1.2.840.10008.1.2.4.50"
MISS = "1.2.826.0.1.3680043.10.99.1"

_QUILLET_FIRST = """
import time, quillet
d = quillet.Dictionary()
t = time.perf_counter()
d.uid("1.2.840.10008.1.2.4.50")
print(time.perf_counter() - t)
"""
_PYDICOM_FIRST = """
import time
t = time.perf_counter()
from pydicom.uid import UID
UID("1.2.840.10008.1.2.4.50").name
print(time.perf_counter() - t)
"""


def fresh(code: str, n: int) -> float:
    """The median of `n` runs of `code`, each in a new interpreter, as it prints it."""
    times = [
        float(subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout)
        for _ in range(n)
    ]
    return statistics.median(times)


def per_call(stmt: str, setup: str, repeat: int) -> float:
    timer = timeit.Timer(stmt, setup=setup)
    number, _ = timer.autorange()
    return min(timer.repeat(repeat, number)) / number


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--fresh", type=int, default=21, help="fresh interpreters for first use")
    parser.add_argument("--repeat", type=int, default=5, help="timeit runs per call, the best kept")
    args = parser.parse_args(argv)

    q = f"import quillet; d = quillet.Dictionary(); d.uid({JPEG!r})"
    p = "from pydicom.uid import UID, UID_dictionary; import pydicom.uid as pu"
    rows = [
        (
            "first use (median, fresh interpreters)",
            fresh(_QUILLET_FIRST, args.fresh),
            fresh(_PYDICOM_FIRST, args.fresh),
        ),
        (
            "a registered UID's entry / name",
            per_call(f"d.uid({JPEG!r})", q, args.repeat),
            per_call(f"UID({JPEG!r}).name", p, args.repeat),
        ),
        (
            "  the same, through the module's shortcut / UID_dictionary[uid]",
            per_call(f"quillet.uid({JPEG!r})", q, args.repeat),
            per_call(f"UID_dictionary[{JPEG!r}]", p, args.repeat),
        ),
        (
            "a UID nobody registers / its name",
            per_call(f"d.uid({MISS!r})", q, args.repeat),
            per_call(f"UID({MISS!r}).name", p, args.repeat),
        ),
        (
            "the UID of a keyword / module attribute",
            per_call("d.uid_for_keyword('JPEGBaseline8Bit')", q, args.repeat),
            per_call("pu.JPEGBaseline8Bit", p, args.repeat),
        ),
        ("search 'jpeg 2000', 50 at most / -", per_call("d.search_uids('jpeg 2000')", q, args.repeat), None),
    ]
    print(f"{'':66} {'quillet':>12} {'pydicom':>12}")
    for what, ours, theirs in rows:
        shown = "-" if theirs is None else f"{theirs * 1e6:10.2f} us"
        print(f"{what:66} {ours * 1e6:10.2f} us {shown:>12}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
