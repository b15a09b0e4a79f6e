"""The command's build time from CSV and from JSON, and the start-up cost of the package.

    python benchmarks/build_and_startup.py [--entries N] [--runs N] [--starts N] [--quick]

Run it with the interpreter that has quillet installed (the test or bench venv). Two figures:

* `quillet build` on the same N entries (200,000 by default) written once as CSV and once as
  JSON: process CPU time per build, median of the runs, the two formats taking turns. The
  target is JSON at most 2x CSV.
* What `import quillet; quillet.open_default()` adds to a fresh interpreter, as process CPU
  time against `python -c pass`, averaged over many starts of each taking turns in batches.
  The target is under 3 ms.

CPU time (user + system, from getrusage of the finished children) is used rather than wall time
because the machine is shared: other jobs stretch wall time but not the CPU a process uses.
"""

from __future__ import annotations

import argparse
import csv
import json
import resource
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path


def rows(n: int) -> list[dict[str, object]]:
    """n distinct entries, one in ten private (blocks of 256 under creators of their own)."""
    out: list[dict[str, object]] = []
    for i in range(n):
        if i % 10 == 0:
            block = i // 2560
            out.append(
                {
                    "group": f"{0x1001 + 2 * block:04X}",
                    "element": f"xx{(i // 10) % 256:02X}",
                    "creator": f"VENDOR {block}",
                    "keyword": f"Private{i}",
                    "name": f"Private {i}",
                    "vr": "DS",
                    "sources": ["benchmark"],
                }
            )
        else:
            out.append(
                {
                    "group": f"{0x0100 + 2 * (i >> 16):04X}",
                    "element": f"{i & 0xFFFF:04X}",
                    "keyword": f"Synthetic{i}",
                    "name": f"Synthetic {i}",
                    "vr": "LO",
                    "description": "a benchmark entry",
                    "sources": ["benchmark", "synthetic"],
                }
            )
    return out


def write_inputs(folder: Path, n: int) -> tuple[Path, Path]:
    data = rows(n)
    as_json = folder / f"entries-{n}.json"
    as_json.write_text("[\n" + ",\n".join(json.dumps(r) for r in data) + "\n]\n", encoding="utf-8")
    as_csv = folder / f"entries-{n}.csv"
    columns = ["group", "element", "creator", "keyword", "name", "vr", "description", "sources"]
    with as_csv.open("w", encoding="utf-8", newline="") as f:
        w = csv.writer(f)
        w.writerow(columns)
        for r in data:
            w.writerow(["|".join(v) if isinstance(v, list) else v for v in (r.get(c, "") for c in columns)])
    return as_csv, as_json


def child_cpu(argv: list[str]) -> tuple[float, float]:
    """(CPU seconds, wall seconds) of one child process running `argv`."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    t0 = time.perf_counter()
    subprocess.run(argv, check=True, stdout=subprocess.DEVNULL)
    wall = time.perf_counter() - t0
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime), wall


def section_build(n: int, runs: int) -> str:
    with tempfile.TemporaryDirectory(prefix="quillet-bench-") as tmp:
        folder = Path(tmp)
        inputs = write_inputs(folder, n)
        cpu: dict[str, list[float]] = {"csv": [], "json": []}
        wall: dict[str, list[float]] = {"csv": [], "json": []}
        for _ in range(runs):
            for source in inputs:
                kind = source.suffix[1:]
                c, w = child_cpu(
                    [
                        sys.executable,
                        "-m",
                        "quillet",
                        "build",
                        str(source),
                        "-o",
                        str(folder / f"{kind}.qlet"),
                    ]
                )
                cpu[kind].append(c)
                wall[kind].append(w)
        same = (folder / "csv.qlet").read_bytes() == (folder / "json.qlet").read_bytes()
        sizes = {s.suffix[1:]: s.stat().st_size for s in inputs}
    c_csv, c_json = statistics.median(cpu["csv"]), statistics.median(cpu["json"])
    w_csv, w_json = statistics.median(wall["csv"]), statistics.median(wall["json"])
    verdict = "met" if c_json <= 2 * c_csv else "NOT met"
    lines = [
        f"### quillet build, {n:,} entries (median of {runs} runs, CPU time of the process)",
        "",
        "| input | size | CPU | wall |",
        "|---|---|---|---|",
        f"| CSV | {sizes['csv'] / 2**20:.1f} MiB | {c_csv:.2f} s | {w_csv:.2f} s |",
        f"| JSON | {sizes['json'] / 2**20:.1f} MiB | {c_json:.2f} s | {w_json:.2f} s |",
        "",
        f"JSON/CSV: {c_json / c_csv:.2f}x (target at most 2x: {verdict}); "
        f"the two files {'are' if same else 'are NOT'} byte for byte the same.",
    ]
    return "\n".join(lines) + "\n"


def section_startup(starts: int, batch: int) -> str:
    bare = [sys.executable, "-c", "pass"]
    imported = [sys.executable, "-c", "import quillet"]
    opened = [sys.executable, "-c", "import quillet; quillet.open_default()"]
    per: dict[str, list[float]] = {"bare": [], "import": [], "open": []}
    for _ in range(max(1, starts // batch)):
        for name, argv in (("bare", bare), ("import", imported), ("open", opened)):
            total = sum(child_cpu(argv)[0] for _ in range(batch))
            per[name].append(total / batch)
    base, imp, both = (statistics.median(per[k]) for k in ("bare", "import", "open"))
    extra_import = statistics.median(i - b for i, b in zip(per["import"], per["bare"], strict=True))
    extra_open = statistics.median(o - b for o, b in zip(per["open"], per["bare"], strict=True))
    lines = [
        f"### Start-up: CPU time over a bare interpreter ({len(per['bare'])} batches of {batch} starts each)",
        "",
        "| what | CPU per process | over `python -c pass` |",
        "|---|---|---|",
        f"| `python -c pass` | {base * 1e3:.2f} ms | |",
        f"| `import quillet` | {imp * 1e3:.2f} ms | {extra_import * 1e3:.2f} ms |",
        f"| `import quillet; quillet.open_default()` | {both * 1e3:.2f} ms | {extra_open * 1e3:.2f} ms |",
        "",
        f"Target under 3 ms for import and open together: {'met' if extra_open < 3e-3 else 'NOT met'}. "
        "Medians over the batches of each batch's mean.",
    ]
    return "\n".join(lines) + "\n"


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    ap.add_argument("--entries", type=int, default=200_000)
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--starts", type=int, default=600, help="starts of each kind for the start-up figure")
    ap.add_argument("--quick", action="store_true", help="20,000 entries, 2 runs, 120 starts")
    opts = ap.parse_args()
    if opts.quick:
        opts.entries, opts.runs, opts.starts = 20_000, 2, 120
    print(section_build(opts.entries, opts.runs), flush=True)
    print(section_startup(opts.starts, 20), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
