"""Naming every element of a data set: quillet's Dictionary.annotate against pydicom's own walk.

    python benchmarks/annotate.py [--repeat N]

For some of pydicom's test files, each freshly read (pydicom decodes an element when it is first
asked for, so a data set walked once is cheaper to walk again): pydicom's
``[e.name for e in ds.iterall()]``, the same walk without the names (what pydicom's element
access costs alone), and ``list(Dictionary().annotate(ds))``; then the annotation of DICOM JSON
data sets of 10,000 and 100,000 elements, which must grow linearly. Times are the best of
`repeat` runs, reading not counted.
"""

from __future__ import annotations

import argparse
import statistics
import sys
import time
import warnings
from collections.abc import Callable
from typing import Any

FILES = ("CT_small.dcm", "MR_small.dcm", "rtplan.dcm", "rtstruct.dcm", "waveform_ecg.dcm")


def best(run: Callable[[Any], object], fresh: Callable[[], Any], repeat: int) -> float:
    times = []
    for _ in range(repeat):
        data = fresh()
        start = time.perf_counter()
        run(data)
        times.append(time.perf_counter() - start)
    return min(times)


def json_data_set(elements: int) -> dict[str, Any]:
    """A flat data set of `elements` elements: public ones, private ones under their creators."""
    ds: dict[str, Any] = {}
    for n in range(elements):
        group = 0x0009 + 2 * (n // 0xEF00) if n % 2 else 0x0010 + 2 * (n // 0xFF00)
        if n % 2:
            element = 0x1000 + n % 0xEF00
            ds[f"{group:04X}{element >> 8:04X}"] = {"vr": "LO", "Value": ["GEMS_IDEN_01"]}
        else:
            element = 0x0010 + n % 0xFF00
        ds[f"{group:04X}{element:04X}"] = {"vr": "LO", "Value": ["x"]}
    return ds


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--repeat", type=int, default=7)
    args = parser.parse_args(argv)
    import pydicom
    from pydicom.data import get_testdata_file

    import quillet

    d = quillet.Dictionary()
    warnings.simplefilter("ignore")
    print(f"quillet {quillet.__version__}, pydicom {pydicom.__version__}, Python {sys.version.split()[0]}")
    head = f"{'file':<20} {'elements':>8} {'pydicom names':>14} {'of it, access':>14} {'quillet':>10}"
    print(f"{head} {'ratio':>6}")
    ratios = []
    for name in FILES:
        found = get_testdata_file(name)
        if not isinstance(found, str):
            continue

        def fresh(path: str = found) -> Any:
            return pydicom.dcmread(path, stop_before_pixels=True, force=True)

        count = sum(1 for _ in fresh().iterall())
        names = best(lambda ds: [e.name for e in ds.iterall()], fresh, args.repeat)
        access = best(lambda ds: list(ds.iterall()), fresh, args.repeat)
        ours = best(lambda ds: list(d.annotate(ds)), fresh, args.repeat)
        ratios.append(ours / names)
        print(
            f"{name:<20} {count:>8} {names * 1e3:>11.2f} ms {access * 1e3:>11.2f} ms "
            f"{ours * 1e3:>7.2f} ms {ours / names:>6.2f}"
        )
    print(f"quillet/pydicom, the median over the files: {statistics.median(ratios):.2f}x")
    for size in (10_000, 100_000):
        data = json_data_set(size)

        def same(data: dict[str, Any] = data) -> dict[str, Any]:
            return data

        took = best(lambda ds: list(d.annotate(ds)), same, max(1, args.repeat // 2))
        each = took / len(data) * 1e6
        print(f"DICOM JSON data set of {len(data):,} elements: {took * 1e3:.0f} ms, {each:.2f} us each")
    return 0


if __name__ == "__main__":
    sys.exit(main())
