"""quillet.datadict and Dictionary's queries beside pydicom.datadict, call for call.

    python benchmarks/datadict.py [--number N] [--repeat R]

Every function of quillet.datadict against pydicom's of the same name, for a public hit, a
private hit, a miss and a repeating group where the function takes such a tag; the single-field
queries of quillet.Dictionary beside pydicom's matching functions; Dict.lookup and Dictionary.entry
beside pydicom's get_entry; what search() costs per entry it returns; and the CPU time of
importing each module and answering once, in a fresh interpreter (the median of 21). Each per-call
time is the best of `repeat` runs of `number` calls, quillet's and pydicom's runs taking turns; the
ratio is quillet's over pydicom's.
"""

from __future__ import annotations

import argparse
import contextlib
import os
import statistics
import subprocess
import sys
import timeit

# (function, arguments) per case; the same arguments for both modules.
PUBLIC, PRIVATE, MISS, REPEATER = 0x00100010, (0x00291010, "SIEMENS CSA HEADER"), 0x00100011, 0x60020010
CASES: list[tuple[str, str, tuple[object, ...]]] = (
    [
        (name, case, args)
        for name in (
            "get_entry",
            "dictionary_VR",
            "dictionary_VM",
            "dictionary_description",
            "dictionary_keyword",
            "dictionary_is_retired",
            "dictionary_has_tag",
            "keyword_for_tag",
        )
        for case, args in (("public", (PUBLIC,)), ("miss", (MISS,)), ("repeating", (REPEATER,)))
    ]
    + [
        (name, case, args)
        for name in (
            "get_private_entry",
            "private_dictionary_VR",
            "private_dictionary_VM",
            "private_dictionary_description",
        )
        for case, args in (("private", PRIVATE), ("miss", ((0x00291099, "SIEMENS CSA HEADER"))))
    ]
    + [
        ("tag_for_keyword", "public", ("PatientName",)),
        ("tag_for_keyword", "miss", ("PatientNme",)),
        ("tag_for_keyword", "repeating", ("OverlayRows",)),
        ("repeater_has_tag", "public", (PUBLIC,)),
        ("repeater_has_tag", "repeating", (REPEATER,)),
        ("repeater_has_keyword", "public", ("PatientName",)),
        ("repeater_has_keyword", "repeating", ("OverlayRows",)),
        ("mask_match", "public", (PUBLIC,)),
        ("mask_match", "repeating", (REPEATER,)),
    ]
)


def per_call(mine: object, peer: object, number: int, repeat: int) -> tuple[float, float]:
    """Seconds per call of each, the best of `repeat` runs of `number` calls; the runs of the two
    alternate, so that a slow spell of the machine falls on both rather than on one."""

    def timer(call: object) -> timeit.Timer:
        def run() -> None:
            with contextlib.suppress(KeyError):
                call()  # type: ignore[operator]

        return timeit.Timer(run)

    timers = timer(mine), timer(peer)
    best = [float("inf"), float("inf")]
    for _ in range(repeat):
        for side, t in enumerate(timers):
            best[side] = min(best[side], t.timeit(number) / number)
    return best[0], best[1]


def first_use(code: str, runs: int = 21) -> float:
    """CPU seconds of `code` in a fresh interpreter, the median of `runs`: counted in the
    interpreter from its first statement, so that its own start (tens of milliseconds, and
    varying by more than the figure) is left out rather than subtracted."""
    script = f"import time\nstart = time.process_time()\n{code}\nprint(time.process_time() - start)"
    command = [sys.executable, "-c", script]
    env = os.environ | {"PYTHONWARNINGS": "ignore"}

    def once() -> float:
        return float(subprocess.run(command, capture_output=True, text=True, check=True, env=env).stdout)

    times = [once() for _ in range(runs)]
    return statistics.median(times)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--number", type=int, default=20000)
    parser.add_argument("--repeat", type=int, default=9)
    args = parser.parse_args(argv)
    import pydicom
    from pydicom import datadict as theirs

    import quillet
    from quillet import datadict as ours

    n, r = args.number, args.repeat
    print(f"quillet {quillet.__version__}, pydicom {pydicom.__version__}, Python {sys.version.split()[0]}")
    print(f"{'function':<32} {'case':<10} {'quillet':>9} {'pydicom':>9} {'ratio':>6}")
    worst = 0.0
    for name, case, call_args in CASES:
        mine, peer = getattr(ours, name), getattr(theirs, name)
        a, b = per_call(lambda f=mine, x=call_args: f(*x), lambda f=peer, x=call_args: f(*x), n, r)
        worst = max(worst, a / b)
        print(f"{name:<32} {case:<10} {a * 1e9:>6.0f} ns {b * 1e9:>6.0f} ns {a / b:>6.2f}")
    print(f"the slowest against pydicom: {worst:.2f}x")

    d = quillet.Dictionary()
    h = quillet.open_default()
    print(f"\n{'query':<44} {'quillet':>9} {'pydicom':>9} {'ratio':>6}")
    for label, mine, peer in (
        (
            "Dictionary.keyword(tag) / keyword_for_tag",
            lambda: d.keyword(PUBLIC),
            lambda: theirs.keyword_for_tag(PUBLIC),
        ),
        (
            "Dictionary.name(tag) / dictionary_description",
            lambda: d.name(PUBLIC),
            lambda: theirs.dictionary_description(PUBLIC),
        ),
        ("Dictionary.vr(tag) / dictionary_VR", lambda: d.vr(PUBLIC), lambda: theirs.dictionary_VR(PUBLIC)),
        ("Dictionary.vm(tag) / dictionary_VM", lambda: d.vm(PUBLIC), lambda: theirs.dictionary_VM(PUBLIC)),
        (
            "Dictionary.tag(keyword) / tag_for_keyword",
            lambda: d.tag("PatientName"),
            lambda: theirs.tag_for_keyword("PatientName"),
        ),
        (
            "Dictionary.vr(private) / private_dictionary_VR",
            lambda: d.vr(*PRIVATE),
            lambda: theirs.private_dictionary_VR(*PRIVATE),
        ),
        ("Dictionary.entry(tag) / get_entry", lambda: d.entry(PUBLIC), lambda: theirs.get_entry(PUBLIC)),
        (
            "Dict.lookup(group, element) / get_entry",
            lambda: h.lookup(0x0010, 0x0010),
            lambda: theirs.get_entry(PUBLIC),
        ),
    ):
        a, b = per_call(mine, peer, n, r)
        print(f"{label:<44} {a * 1e9:>6.0f} ns {b * 1e9:>6.0f} ns {a / b:>6.2f}")

    found = len(d.search("a", limit=None))
    took = min(timeit.repeat(lambda: d.search("a", limit=None), number=3, repeat=r)) / 3
    print(
        f"\nsearch('a', limit=None): {found} entries in {took * 1e3:.1f} ms, {took / found * 1e9:.0f} ns each"
    )

    ours_first = first_use("import quillet.datadict as d; d.dictionary_VR(0x00100010)")
    theirs_first = first_use("import pydicom.datadict as d; d.dictionary_VR(0x00100010)")
    print(
        "import and first answer, CPU in a fresh interpreter (median of 21): "
        f"quillet.datadict {ours_first * 1e3:.2f} ms, pydicom.datadict {theirs_first * 1e3:.1f} ms"
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
