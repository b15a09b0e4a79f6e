"""quillet against pydicom: open, memory, lookups, instruction counts, the result-building floor.

    python benchmarks/run.py --ext-dir DIR [--quick] [--out FILE]

Run it through scripts/bench.sh, which installs quillet into the development environment (.venv,
which has pydicom 3), builds the extension with symbols for callgrind and the floor helper (both
in DIR), and then calls this. Every figure comes from this one run on this one interpreter.
Times are medians of repeated runs, because single figures are noisy whenever anything else
runs on the machine; instruction counts come from callgrind and repeat exactly.
"""

from __future__ import annotations

import argparse
import datetime as _dt
import importlib.util
import json
import math
import os
import platform
import random
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import timeit
from collections.abc import Callable
from pathlib import Path
from types import ModuleType
from typing import IO, TYPE_CHECKING, Any

if TYPE_CHECKING:
    from quillet import Dict

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from cases import CASES, statements  # noqa: E402

ROOT = HERE.parent
WORK = ROOT / "build" / "bench"
SYNTHETIC_SIZES_OPEN = (10**3, 10**4, 10**5, 10**6)
SYNTHETIC_SIZES_LOOKUP = (10**2, 10**3, 10**4, 10**5, 10**6)
# Bumped when the synthetic files change shape, so cached ones are made again.
SYNTHETIC_VERSION = 2


# ---- the things compared ---------------------------------------------------------------------


def dictionary_path() -> str:
    """The bundled dictionary: the package's own when it ships one, else a compiled copy."""
    import quillet

    path = getattr(quillet, "DEFAULT_PATH", None)
    if path is not None and os.path.exists(path):
        return str(os.fspath(path))
    out = WORK / "dictionary.qlet"
    src = ROOT / "data" / "dictionary.tsv"
    if not out.exists() or out.stat().st_mtime < src.stat().st_mtime:
        WORK.mkdir(parents=True, exist_ok=True)
        subprocess.run(
            [sys.executable, str(ROOT / "tools" / "compile_dictionary.py"), str(src), str(out)],
            check=True,
            stdout=subprocess.DEVNULL,
        )
    return str(out)


def open_bundled(path: str) -> Dict:
    import quillet

    if (
        getattr(quillet, "DEFAULT_PATH", None) is not None
        and hasattr(quillet, "open_default")
        and os.fspath(quillet.DEFAULT_PATH) == path
    ):
        return quillet.open_default()
    return quillet.open(path)


def pydicom_dict_files() -> list[Path]:
    spec = importlib.util.find_spec("pydicom")
    if spec is None or spec.origin is None:
        raise SystemExit("pydicom is not installed")
    base = Path(spec.origin).parent
    return [base / "_dicom_dict.py", base / "_private_dict.py"]


def load_pydicom_dicts() -> list[ModuleType]:
    """Builds pydicom's dictionaries the way its import does (from the cached bytecode), but
    without importing the rest of the package, which would cost far more than the dictionaries."""
    mods = []
    for i, f in enumerate(pydicom_dict_files()):
        spec = importlib.util.spec_from_file_location(f"_bench_pydicom_dict_{i}_{time.perf_counter_ns()}", f)
        if spec is None or spec.loader is None:
            raise SystemExit(f"cannot load {f}")
        mod = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(mod)
        mods.append(mod)
    return mods


def synthetic_path(n: int) -> Path:
    return WORK / "synthetic" / f"v{SYNTHETIC_VERSION}-{n}.qlet"


def synthetic_key(i: int) -> tuple[int, int]:
    # Public tags in the even groups from 0x0100 upwards (odd ones are private), 65536 elements
    # each: unique keys for up to 10^6.
    return 0x0100 + 2 * (i >> 16), i & 0xFFFF


def make_synthetic(n: int) -> Path:
    out = synthetic_path(n)
    if out.exists():
        return out
    from quillet.writer import Entry, write_dictionary

    out.parent.mkdir(parents=True, exist_ok=True)
    entries = (
        Entry(
            *synthetic_key(i),
            keyword=f"Synthetic{i % 1000}",
            name=f"Synthetic {i % 1000}",
            vr="LO",
            sources=("benchmark",),
        )
        for i in range(n)
    )
    write_dictionary(out, entries)
    return out


# ---- measuring -------------------------------------------------------------------------------


def median_time(fn: Callable[[], object], repeat: int) -> float:
    """Median wall time of fn() in seconds. What fn returns is dropped after the clock stops,
    so that closing a handle (unmapping) or freeing the dictionaries is not counted."""
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter_ns()
        kept = fn()
        times.append(time.perf_counter_ns() - t0)
        del kept
    return statistics.median(times) / 1e9


def per_call(stmt: str, env: dict[str, Any], number: int, repeat: int) -> float:
    """Median over `repeat` runs of the time per call of `stmt`, in seconds."""
    t = timeit.Timer(stmt, globals=env)
    return statistics.median(t.repeat(repeat=repeat, number=number)) / number


def child(args: list[str], stdin: str | None = None) -> dict[str, Any]:
    """Runs this file in a fresh interpreter in child mode and returns the JSON it prints."""
    out = subprocess.run(
        [sys.executable, __file__, "--child", *args], input=stdin, text=True, capture_output=True, check=True
    )
    result: dict[str, Any] = json.loads(out.stdout.strip().splitlines()[-1])
    return result


def smaps() -> dict[str, int]:
    """Pss and private memory of this process in bytes, from the kernel's roll-up."""
    out = {}
    with open("/proc/self/smaps_rollup") as f:
        for line in f:
            m = re.match(r"(\w+):\s+(\d+) kB", line)
            if m:
                out[m.group(1)] = int(m.group(2)) * 1024
    return out


def run_child(mode: str, rest: list[str]) -> None:
    """The child side of child(): prints one JSON line."""
    if mode == "open-quillet":
        path = rest[0]
        t0 = time.perf_counter_ns()
        import quillet  # what t1 - t0 measures

        t1 = time.perf_counter_ns()
        d = open_bundled(path)
        t2 = time.perf_counter_ns()
        assert len(d) > 0
        print(json.dumps({"import": (t1 - t0) / 1e9, "open": (t2 - t1) / 1e9}))
    elif mode == "open-pydicom":
        t0 = time.perf_counter_ns()
        mods = load_pydicom_dicts()
        t1 = time.perf_counter_ns()
        import pydicom.datadict  # noqa: F401  (the whole package, as users import it)

        t2 = time.perf_counter_ns()
        assert len(mods[0].DicomDictionary) > 0
        print(json.dumps({"open": (t1 - t0) / 1e9, "package": (t2 - t1) / 1e9}))
    elif mode in ("mem-quillet", "mem-pydicom"):
        # Waits for a line on stdin between opening and measuring, so that the parent can have
        # all its children hold the dictionary before any of them measures.
        wait = rest[0] == "wait"
        held: Dict | list[ModuleType]  # kept until measured
        if mode == "mem-quillet":
            import quillet

            before = smaps()
            held = open_bundled(rest[1])
            for c in CASES.values():
                held.lookup(*c.quillet_args)
        else:
            import importlib.machinery  # noqa: F401  (already loaded; what the loader needs)

            before = smaps()
            held = load_pydicom_dicts()
        if wait:
            print("ready", flush=True)
            sys.stdin.readline()
        after = smaps()
        print(
            json.dumps(
                {
                    k: after.get(k, 0) - before.get(k, 0)
                    for k in ("Pss", "Private_Dirty", "Private_Clean", "Rss")
                }
            ),
            flush=True,
        )
        if wait:
            sys.stdin.readline()
        del held
    elif mode == "companion-first":
        # First use of the bundled companion in a fresh process, and what it adds to memory.
        import quillet

        before = smaps()
        t0 = time.perf_counter_ns()
        first = quillet.tag_for_keyword("PatientName")
        t1 = time.perf_counter_ns()
        assert first == (0x0010, 0x0010)
        quillet.vm(0x0010, 0x0010)
        # Searches that scan every entry's texts, keeping the default 50 results.
        quillet.search("a")
        quillet.search("zzq")
        after = smaps()
        print(
            json.dumps(
                {"first": (t1 - t0) / 1e9}
                | {
                    k: after.get(k, 0) - before.get(k, 0)
                    for k in ("Pss", "Private_Dirty", "Private_Clean", "Rss")
                }
            )
        )
    elif mode == "pydicom-first":
        t0 = time.perf_counter_ns()
        from pydicom import datadict

        datadict.tag_for_keyword("PatientName")
        t1 = time.perf_counter_ns()
        print(json.dumps({"first": (t1 - t0) / 1e9}))
    else:
        raise SystemExit(f"unknown child mode {mode}")


# ---- the sections ----------------------------------------------------------------------------


class Table:
    def __init__(self, title: str, columns: list[str]) -> None:
        self.title, self.columns = title, columns
        self.rows: list[list[str]] = []

    def add(self, *cells: object) -> None:
        self.rows.append([str(c) for c in cells])

    def render(self) -> str:
        lines = [
            f"### {self.title}",
            "",
            "| " + " | ".join(self.columns) + " |",
            "|" + "|".join("---" for _ in self.columns) + "|",
        ]
        lines += ["| " + " | ".join(r) + " |" for r in self.rows]
        return "\n".join(lines) + "\n"


def fmt_t(s: float) -> str:
    if s >= 1e-3:
        return f"{s * 1e3:.2f} ms"
    if s >= 1e-6:
        return f"{s * 1e6:.1f} us"
    return f"{s * 1e9:.0f} ns"


def fmt_b(b: float) -> str:
    if abs(b) >= 1 << 20:
        return f"{b / (1 << 20):.2f} MiB"
    return f"{b / 1024:.0f} KiB"


def ratio(a: float, b: float) -> str:
    return f"{a / b:.3g}" if b else "n/a"


class Targets:
    def __init__(self) -> None:
        self.items: list[tuple[str, str, str]] = []

    def check(self, name: str, value: float, limit: float, ok: bool, shown: str) -> None:
        self.items.append((name, shown, "met" if ok else "NOT met"))

    def render(self) -> str:
        t = Table("Targets", ["target", "measured", "verdict"])
        for row in self.items:
            t.add(*row)
        return t.render()


def section_open(path: str, repeat: int, targets: Targets) -> str:
    fresh_q = [child(["open-quillet", path]) for _ in range(repeat)]
    fresh_p = [child(["open-pydicom"]) for _ in range(repeat)]
    q_open = statistics.median(r["open"] for r in fresh_q)
    q_both = statistics.median(r["open"] + r["import"] for r in fresh_q)
    p_open = statistics.median(r["open"] for r in fresh_p)
    p_pkg = statistics.median(r["package"] for r in fresh_p)

    def reopen() -> Dict:
        return open_bundled(path)

    q_in = median_time(reopen, repeat * 20)
    p_in = median_time(load_pydicom_dicts, repeat)

    t = Table("Open", ["what", "quillet", "pydicom", "quillet/pydicom"])
    t.add(
        "fresh process: open vs building the dictionaries",
        fmt_t(q_open),
        fmt_t(p_open),
        ratio(q_open, p_open),
    )
    t.add(
        "fresh process: import quillet + open vs the same",
        fmt_t(q_both),
        fmt_t(p_open),
        ratio(q_both, p_open),
    )
    t.add(
        "in-process, again: open vs rebuilding the dictionaries", fmt_t(q_in), fmt_t(p_in), ratio(q_in, p_in)
    )
    t.add("for scale: `import pydicom.datadict` (whole package)", "", fmt_t(p_pkg), "")
    targets.check(
        "open at least 100x faster than building pydicom's dictionaries (fresh process)",
        p_open / q_open,
        100,
        p_open / q_open >= 100,
        f"{p_open / q_open:.0f}x",
    )

    s = Table(
        "Open of synthetic files (in the page cache): validation cost per record",
        ["records", "file size", "open (best)", "ns/record", "records/s (best)"],
    )
    best = 0.0
    for n in SYNTHETIC_SIZES_OPEN:
        f = str(make_synthetic(n))
        import quillet

        quillet.open(f)  # bring it into the page cache
        times = []
        for _ in range(max(5, repeat * (20 if n < 10**6 else 4))):
            t0 = time.perf_counter_ns()
            kept = quillet.open(f)
            times.append((time.perf_counter_ns() - t0) / 1e9)
            del kept  # unmapping is not part of opening
        dt, fast = statistics.median(times), min(times)
        rate = n / dt
        best = rate if n == SYNTHETIC_SIZES_OPEN[-1] else best
        s.add(
            f"{n:,}",
            fmt_b(os.path.getsize(f)),
            f"{fmt_t(dt)} ({fmt_t(fast)})",
            f"{dt / n * 1e9:.2f}",
            f"{rate / 1e6:.0f} M ({n / fast / 1e6:.0f} M)",
        )
    targets.check(
        "validation at least 100M records/s (10^6 records, cached)",
        best,
        100e6,
        best >= 100e6,
        f"{best / 1e6:.0f} M records/s",
    )
    return t.render() + "\n" + s.render()


def section_memory(path: str, targets: Targets) -> str:
    def one(mode: str, extra: list[str]) -> dict[str, Any]:
        return child([mode, "nowait", *extra])

    def pipes(p: subprocess.Popen[str]) -> tuple[IO[str], IO[str]]:
        assert p.stdin is not None and p.stdout is not None  # both made as PIPE
        return p.stdin, p.stdout

    def many(mode: str, extra: list[str], k: int = 8) -> list[dict[str, Any]]:
        procs = [
            subprocess.Popen(
                [sys.executable, __file__, "--child", mode, "wait", *extra],
                stdin=subprocess.PIPE,
                stdout=subprocess.PIPE,
                text=True,
            )
            for _ in range(k)
        ]
        for p in procs:
            assert pipes(p)[1].readline().strip() == "ready"
        for p in procs:
            pipes(p)[0].write("\n")
            pipes(p)[0].flush()
        res = [json.loads(pipes(p)[1].readline()) for p in procs]
        for p in procs:
            stdin = pipes(p)[0]
            stdin.write("\n")
            stdin.flush()
            stdin.close()
            p.wait()
        return res

    # A file written moments ago (by pip, say) still has dirty pages in the page cache, and the
    # kernel reports such pages of a mapping held by one process as private dirty; write them
    # back first so that only what the process itself dirtied is counted as private.
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)
    q1, p1 = one("mem-quillet", [path]), one("mem-pydicom", [])
    q8, p8 = many("mem-quillet", [path]), many("mem-pydicom", [])
    t = Table(
        "Memory added to a process (from /proc/self/smaps_rollup)",
        ["what", "quillet", "pydicom", "quillet/pydicom"],
    )
    t.add(
        "private dirty, one process",
        fmt_b(q1["Private_Dirty"]),
        fmt_b(p1["Private_Dirty"]),
        ratio(q1["Private_Dirty"], p1["Private_Dirty"]),
    )
    t.add("Pss, one process", fmt_b(q1["Pss"]), fmt_b(p1["Pss"]), ratio(q1["Pss"], p1["Pss"]))
    qp, pp = sum(r["Pss"] for r in q8), sum(r["Pss"] for r in p8)
    qd, pd = sum(r["Private_Dirty"] for r in q8), sum(r["Private_Dirty"] for r in p8)
    t.add("8 processes at once: total Pss", fmt_b(qp), fmt_b(pp), ratio(qp, pp))
    t.add("8 processes at once: total private dirty", fmt_b(qd), fmt_b(pd), ratio(qd, pd))
    targets.check(
        "at most 64 KiB private memory added per process",
        q1["Private_Dirty"],
        65536,
        q1["Private_Dirty"] <= 65536,
        fmt_b(q1["Private_Dirty"]) + " private dirty",
    )
    return t.render()


def lookup_env(path: str, floor_dir: str) -> dict[str, Any]:
    sys.path.insert(0, floor_dir)
    import _bench_floor
    from pydicom.datadict import get_entry, get_private_entry

    d = open_bundled(path)
    _bench_floor.prepare(d.lookup(*CASES["public"].quillet_args))
    return {"q": d.lookup, "ge": get_entry, "gp": get_private_entry, "fl": _bench_floor}


def interleaved[K](
    stmts: dict[K, str], env: dict[str, Any], number: int, repeat: int
) -> tuple[dict[K, float], dict[K, float]]:
    """Median and best time per call of each statement, the statements taking turns within
    every repeat so that all of them see the same load on a shared machine."""
    timers = {k: timeit.Timer(s, globals=env) for k, s in stmts.items()}
    runs: dict[K, list[float]] = {k: [] for k in stmts}
    for _ in range(repeat):
        for k, t in timers.items():
            runs[k].append(t.timeit(number) / number)
    return {k: statistics.median(v) for k, v in runs.items()}, {k: min(v) for k, v in runs.items()}


def section_lookup(path: str, floor_dir: str, repeat: int, number: int, targets: Targets) -> str:
    env = lookup_env(path, floor_dir)
    floors = ("make", "make_hashed", "make_presized")
    todo: dict[tuple[str, str], str] = {}
    for case in CASES:
        todo[case, "q"], todo[case, "p"] = statements(case)
    for name in floors:
        todo[name, "f"] = f"fl.{name}(0x0010, 0x0010)"
    tm, best = interleaved(todo, env, number, repeat)

    t = Table(
        "Lookup (time per call: median, and in brackets the best run)",
        ["what", "quillet", "pydicom", "quillet/pydicom"],
    )
    peer_label = {
        "public": "get_entry(0x00100010)",
        "private": "get_private_entry(0x00291010, creator)",
        "miss": "get_entry(0x00100011) raising KeyError",
    }
    for case in CASES:
        tq, tp = tm[case, "q"], tm[case, "p"]
        bq, bp = best[case, "q"], best[case, "p"]
        t.add(
            f"{CASES[case].label}: `{todo[case, 'q']}` vs `{peer_label[case]}`",
            f"{fmt_t(tq)} ({fmt_t(bq)})",
            f"{fmt_t(tp)} ({fmt_t(bp)})",
            f"{ratio(tq, tp)} ({ratio(bq, bp)})",
        )
    f = Table(
        "Result building: the public hit against its floor (C helper, same ten-key dict)",
        ["what", "time (best)", "lookup/this (best)"],
    )
    hq, hb = tm["public", "q"], best["public", "q"]
    f.add("quillet lookup, public hit", f"{fmt_t(hq)} ({fmt_t(hb)})", "1")
    labels = {
        "make": "floor: plain public API, new key strings",
        "make_hashed": "floor with key hashes stored",
        "make_presized": "floor with key hashes, presized dict (private API)",
    }
    for name in floors:
        f.add(
            labels[name],
            f"{fmt_t(tm[name, 'f'])} ({fmt_t(best[name, 'f'])})",
            f"{ratio(hq, tm[name, 'f'])} ({ratio(hb, best[name, 'f'])})",
        )

    pq, pp = tm["private", "q"], tm["private", "p"]
    mq, mp = tm["miss", "q"], tm["miss", "p"]
    # The lookup stores its keys' hashes too, so the like-for-like floor is make_hashed.
    hp, fl = tm["public", "p"], tm["make_hashed", "f"]
    targets.check(
        "private hit at most 0.7x pydicom's get_private_entry",
        pq / pp,
        0.7,
        pq / pp <= 0.7,
        f"{pq / pp:.2f}x",
    )
    targets.check("miss at most 0.1x pydicom's miss", mq / mp, 0.1, mq / mp <= 0.1, f"{mq / mp:.3f}x")
    targets.check(
        "public hit no slower than pydicom's get_entry(int)", hq / hp, 1, hq / hp <= 1, f"{hq / hp:.2f}x"
    )
    targets.check(
        "lookup at most 1.2x the floor (same dict, key hashes stored as the lookup does)",
        hq / fl,
        1.2,
        hq / fl <= 1.2,
        f"{hq / fl:.2f}x",
    )
    return t.render() + "\n" + f.render()


def section_scaling(repeat: int, number: int) -> str:
    import quillet

    t = Table(
        "Lookup over index sizes (synthetic files; 1000 keys in random order)",
        ["entries", "log2 n", "hit", "miss", "hit ns / log2 n"],
    )
    rnd = random.Random(6)
    for n in SYNTHETIC_SIZES_LOOKUP:
        d = quillet.open(str(make_synthetic(n)))
        keys = [synthetic_key(rnd.randrange(n)) for _ in range(1000)]
        misses = [(g, e, "none such") for g, e in keys]
        f = d.lookup

        # Timed within this iteration; the defaults bind its keys and handle all the same.
        def hits(keys: list[tuple[int, int]] = keys, f: Callable[..., object] = f) -> None:
            for g, e in keys:
                f(g, e)

        def miss(misses: list[tuple[int, int, str]] = misses, f: Callable[..., object] = f) -> None:
            for g, e, c in misses:
                f(g, e, c)

        th = statistics.median(timeit.repeat(hits, number=max(1, number // 1000), repeat=repeat)) / (
            max(1, number // 1000) * len(keys)
        )
        tm = statistics.median(timeit.repeat(miss, number=max(1, number // 1000), repeat=repeat)) / (
            max(1, number // 1000) * len(keys)
        )
        lg = math.log2(n)
        t.add(f"{n:,}", f"{lg:.1f}", fmt_t(th), fmt_t(tm), f"{th * 1e9 / lg:.0f}")
    return t.render() + (
        '\nA miss here passes a creator ("none such"), so it also pays for creator '
        "hashing; the hit pays for building the result dict, which does not depend on n.\n"
    )


def section_companion(repeat: int, number: int, targets: Targets, with_callgrind: bool) -> str:
    """Keyword -> tag, VM and search on the bundled dictionary's companion, beside pydicom."""
    from pydicom import _dicom_dict, _private_dict, datadict

    import quillet

    # As for the dictionary's memory: pages of files written moments ago (by pip) are still
    # dirty in the page cache and would count as the process's private dirty memory.
    for f in (quillet.DEFAULT_PATH, quillet.DEFAULT_PATH.with_suffix(".qlix")):
        fd = os.open(f, os.O_RDONLY)
        try:
            os.fsync(fd)
        finally:
            os.close(fd)
    fresh_q = [child(["companion-first"]) for _ in range(repeat)]
    fresh_p = [child(["pydicom-first"]) for _ in range(max(3, repeat // 3))]
    q_first = statistics.median(r["first"] for r in fresh_q)
    p_first = statistics.median(r["first"] for r in fresh_p)
    mem = {
        k: statistics.median(r[k] for r in fresh_q) for k in ("Private_Dirty", "Private_Clean", "Rss", "Pss")
    }

    env = {"quillet": quillet, "datadict": datadict}
    quillet.tag_for_keyword("PatientName")
    stmts = {
        "qt": "quillet.tag_for_keyword('PatientName')",
        "pt": "datadict.tag_for_keyword('PatientName')",
        "qv": "quillet.vm(0x0010, 0x0010)",
        "pv": "datadict.dictionary_VM(0x00100010)",
    }
    tm, best = interleaved(stmts, env, number, repeat)

    # pydicom has no search; for scale, the same test written over its two dictionaries in Python.
    public, private = _dicom_dict.DicomDictionary, _private_dict.private_dictionaries

    def pydicom_scan(text: str) -> list[object]:
        t = text.upper()
        hits = [k for k, v in public.items() if t in v[4].upper() or t in v[2].upper()]
        return hits + [(c, k) for c, e in private.items() for k, v in e.items() if t in v[2].upper()]

    searches = {
        "a word (patient), best 50": (lambda: quillet.search("patient"), lambda: pydicom_scan("patient")),
        "one letter (a), best 50": (lambda: quillet.search("a"), lambda: pydicom_scan("a")),
        "nothing found (zzq)": (lambda: quillet.search("zzq"), lambda: pydicom_scan("zzq")),
    }
    # Every match made into a lookup dict: what building 40,000 results costs, not the search.
    all_matches = (lambda: quillet.search("a", limit=None), lambda: pydicom_scan("a"))
    t = Table("Keywords, VM and search (companion)", ["what", "quillet", "pydicom", "quillet/pydicom"])
    t.add(
        "fresh process: first use (`tag_for_keyword`) vs `from pydicom import datadict` + the same",
        fmt_t(q_first),
        fmt_t(p_first),
        ratio(q_first, p_first),
    )
    t.add(
        "`tag_for_keyword('PatientName')` per call (best)",
        f"{fmt_t(tm['qt'])} ({fmt_t(best['qt'])})",
        f"{fmt_t(tm['pt'])} ({fmt_t(best['pt'])})",
        ratio(tm["qt"], tm["pt"]),
    )
    t.add(
        "`vm(0x0010, 0x0010)` vs `dictionary_VM(0x00100010)` per call (best)",
        f"{fmt_t(tm['qv'])} ({fmt_t(best['qv'])})",
        f"{fmt_t(tm['pv'])} ({fmt_t(best['pv'])})",
        ratio(tm["qv"], tm["pv"]),
    )
    worst = 0.0
    for label, (q, p) in searches.items():
        tq, tp = median_time(q, repeat), median_time(p, max(3, repeat // 3))
        worst = max(worst, tq)
        t.add(f"search, {label} (pydicom: a Python scan)", fmt_t(tq), fmt_t(tp), ratio(tq, tp))
    tq, tp = median_time(all_matches[0], 3), median_time(all_matches[1], 3)
    t.add(
        "for scale: search, one letter (a), all 41,814 matches as dicts", fmt_t(tq), fmt_t(tp), ratio(tq, tp)
    )
    m = Table(
        "Memory that first use and two searches over every entry add to a fresh process (smaps_rollup)",
        ["private dirty", "private clean (file pages mapped by this process only)", "Rss", "Pss"],
    )
    m.add(fmt_b(mem["Private_Dirty"]), fmt_b(mem["Private_Clean"]), fmt_b(mem["Rss"]), fmt_b(mem["Pss"]))
    out = t.render() + "\n" + m.render()

    if with_callgrind and shutil.which("valgrind") is not None:
        from callgrind_companion import STATEMENTS

        c = Table(
            "Instructions per call (callgrind, whole call; exact and repeatable)",
            ["statement", "instructions"],
        )
        counts = {}
        for case in STATEMENTS:
            runs = []
            for n in (2000, 4000):
                f = Path(tempfile.mkdtemp(prefix="quillet-cg-")) / "callgrind.out"
                subprocess.run(
                    [
                        "valgrind",
                        "--tool=callgrind",
                        f"--callgrind-out-file={f}",
                        sys.executable,
                        str(HERE / "callgrind_companion.py"),
                        case,
                        str(n),
                    ],
                    check=True,
                    stdout=subprocess.DEVNULL,
                    stderr=subprocess.DEVNULL,
                    env=dict(os.environ, PYTHONHASHSEED="0"),
                )
                runs.append(callgrind_total(f))
            counts[case] = (runs[1] - runs[0]) / 2000
            c.add(f"`{STATEMENTS[case]}`", f"{counts[case]:.0f}")
        out += "\n" + c.render()

    targets.check("companion: first use within 5 ms", q_first, 5e-3, q_first <= 5e-3, fmt_t(q_first))
    for key, name in (("qt", "tag_for_keyword"), ("qv", "vm")):
        targets.check(
            f"companion: {name} within 1 us per call", tm[key], 1e-6, tm[key] <= 1e-6, fmt_t(tm[key])
        )
    targets.check(
        "companion: a search over all entries within 20 ms (50 results)",
        worst,
        20e-3,
        worst <= 20e-3,
        fmt_t(worst),
    )
    # Private clean pages are the page cache's copy of the two files, which every other process
    # mapping them shares; what a process itself pays is private dirty.
    targets.check(
        "companion: under 2 MiB of private memory after first use",
        mem["Private_Dirty"],
        2 << 20,
        mem["Private_Dirty"] < 2 << 20,
        f"{fmt_b(mem['Private_Dirty'])} private dirty ({fmt_b(mem['Private_Clean'])} clean file pages)",
    )
    return out


# ---- callgrind -------------------------------------------------------------------------------

# Functions whose inclusive costs split a lookup; matched against callgrind's demangled names.
FN_LOOKUP = "quillet::py::(anonymous namespace)::dict_lookup("
FN_BIND = "quillet::py::bind("
FN_SEARCH = "quillet::lookup::find_record(quillet::archive::ByteView"
FN_HASH = "quillet::lookup::hash_creator(std::basic_string_view"
FN_RESULT = "quillet::py::record_to_dict("


def callgrind(peer: str, case: str, n: int, path: str, ext_dir: str) -> Path:
    out = Path(tempfile.mkdtemp(prefix="quillet-cg-")) / "callgrind.out"
    # A fixed hash seed: str hashes decide where keys land in a dict, so a random seed would
    # change the number of probes, and the counts, from one run to the next.
    env = dict(os.environ, PYTHONHASHSEED="0")
    subprocess.run(
        [
            "valgrind",
            "--tool=callgrind",
            f"--callgrind-out-file={out}",
            sys.executable,
            str(HERE / "callgrind_lookup.py"),
            peer,
            case,
            str(n),
            path,
            ext_dir,
        ],
        check=True,
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
        env=env,
    )
    return out


def callgrind_total(f: Path) -> int:
    for line in f.read_text().splitlines():
        if line.startswith("summary:") or line.startswith("totals:"):
            return int(line.split()[1])
    raise ValueError(f"no totals in {f}")


def callgrind_inclusive(f: Path) -> dict[str, tuple[int, int]]:
    """Inclusive cost and call count of every called function: the sum over all call edges into
    it, read from callgrind's raw output (callgrind_annotate splits inlined code by file)."""
    names: dict[str, str] = {}
    totals: dict[str, list[int]] = {}
    pending: tuple[str, int] | None = None  # (callee, calls) waiting for its cost line

    def name_of(spec: str) -> str:
        m = re.match(r"\((\d+)\)(?: (.*))?", spec)
        if not m:
            return spec
        if m.group(2) is not None:
            names[m.group(1)] = m.group(2)
        return names.get(m.group(1), spec)

    callee = ""
    for line in f.read_text().splitlines():
        if line.startswith("fn="):
            name_of(line[3:])
        elif line.startswith("cfn="):
            callee = name_of(line[4:])
        elif line.startswith("calls="):
            pending = (callee, int(line[6:].split()[0]))
        elif pending is not None and line and (line[0].isdigit() or line[0] in "+-*"):
            parts = line.split()
            cost = int(parts[1]) if len(parts) > 1 else 0
            acc = totals.setdefault(pending[0], [0, 0])
            acc[0] += cost
            acc[1] += pending[1]
            pending = None
    return {k: (v[0], v[1]) for k, v in totals.items()}


def find_fn(inc: dict[str, tuple[int, int]], prefix: str) -> tuple[int, int]:
    cost = calls = 0
    for k, (c, n) in inc.items():
        if k.startswith(prefix):
            cost += c
            calls += n
    return cost, calls


def section_callgrind(path: str, ext_dir: str, n: int) -> str:
    if shutil.which("valgrind") is None:
        return "### Instruction counts\n\nvalgrind is not installed; skipped.\n"

    def per_iteration(peer: str, case: str) -> tuple[float, Path]:
        small = callgrind(peer, case, n, path, ext_dir)
        big = callgrind(peer, case, 2 * n, path, ext_dir)
        return (callgrind_total(big) - callgrind_total(small)) / n, big

    t = Table(
        "Instructions per lookup (callgrind, inclusive costs; exact and repeatable)",
        [
            "case",
            "arguments",
            "creator hash",
            "search",
            "result",
            "in dict_lookup",
            "whole call",
            "pydicom whole call",
            "quillet/pydicom",
        ],
    )
    for case in CASES:
        whole, f = per_iteration("quillet", case)
        inc = callgrind_inclusive(f)
        look, calls = find_fn(inc, FN_LOOKUP)
        srch = find_fn(inc, FN_SEARCH)[0]
        hsh = find_fn(inc, FN_HASH)[0]
        res = find_fn(inc, FN_RESULT)[0]

        def per(c: int, calls: int = calls) -> float:
            return c / calls

        args = look - srch - res
        peer, _ = per_iteration("pydicom", case)
        t.add(
            CASES[case].label,
            f"{per(args):.0f}",
            f"{per(hsh):.0f}",
            f"{per(srch - hsh):.0f}",
            f"{per(res):.0f}",
            f"{per(look):.0f}",
            f"{whole:.0f}",
            f"{peer:.0f}",
            ratio(whole, peer),
        )
    fl = Table(
        "Instructions per call of the floor helper (whole call, as the last two columns above)",
        ["floor", "whole call", "quillet public hit / this"],
    )
    q_public, _ = per_iteration("quillet", "public")
    for name, label in (
        ("make", "plain public API"),
        ("make_hashed", "key hashes stored"),
        ("make_presized", "key hashes, presized dict (private API)"),
    ):
        w, _ = per_iteration(name, "public")
        fl.add(label, f"{w:.0f}", ratio(q_public, w))
    note = (
        '\n"arguments" is everything in the method that is not search or result building: argument '
        'binding, the borrow, the int and str conversions. "search" excludes the creator hash. '
        '"whole call" is the cost of one iteration of `for ...: f(args)` measured as the difference '
        f"between {2 * n} and {n} iterations, so it includes the interpreter's call and freeing the result.\n"
    )
    return t.render() + note + "\n" + fl.render()


# ---- main ------------------------------------------------------------------------------------


def main() -> int:
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        run_child(sys.argv[2], sys.argv[3:])
        return 0
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--ext-dir", required=True, help="folder with the symbol build and the floor helper")
    ap.add_argument("--quick", action="store_true", help="fewer repeats (a smoke run)")
    ap.add_argument("--out", help="also write the report to this file")
    ap.add_argument("--no-callgrind", action="store_true")
    opts = ap.parse_args()
    repeat = 5 if opts.quick else 15
    number = 20_000 if opts.quick else 100_000

    path = dictionary_path()
    import pydicom

    import quillet

    targets = Targets()
    parts = [
        f"quillet {quillet.__version__} vs pydicom {pydicom.__version__}, "
        f"CPython {platform.python_version()}, "
        f"{platform.machine()}, {os.cpu_count()} cores, {_dt.datetime.now(_dt.UTC):%Y-%m-%d %H:%M} UTC. "
        f"Times: medians of {repeat} runs. Dictionary: {len(quillet.open(path)):,} entries, "
        f"{fmt_b(os.path.getsize(path))}.\n",
    ]
    sections: list[Callable[[], str]] = [
        lambda: section_open(path, repeat, targets),
        lambda: section_memory(path, targets),
        lambda: section_lookup(path, opts.ext_dir, repeat, number, targets),
        lambda: section_scaling(repeat, number),
        lambda: section_companion(repeat, number, targets, not opts.no_callgrind),
    ]
    for section in sections:
        parts.append(section())
        print(parts[-1], flush=True)
    if not opts.no_callgrind:
        parts.append(section_callgrind(path, opts.ext_dir, 1000 if opts.quick else 2000))
        print(parts[-1], flush=True)
    parts.append(targets.render())
    print(parts[-1], flush=True)
    if opts.out:
        Path(opts.out).write_text("\n".join(parts))
    return 0


if __name__ == "__main__":
    sys.exit(main())
