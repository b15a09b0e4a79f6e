"""Keywords made to collide: what a hostile input costs the writer and a reader.

    python benchmarks/flooding.py [--count N] [--repeat R]

Builds a dictionary of N keywords crafted so that FNV-1a gives every one the same low 16 bits,
the slot where a table of 2^16 slots (the size for 32,768 keywords) starts probing, and one of
N plain keywords of the same length; times the build of each (the writer, entries to bytes) and
`tag_for_keyword` of the last crafted keyword and of a plain one. A companion that places
keywords by an unkeyed FNV-1a puts all crafted ones in one run, so its build is quadratic and
its query linear in N; a keyed hash under a key the input cannot choose puts them anywhere.
Runs against whichever quillet is importable, so the same script measures any version.
"""

from __future__ import annotations

import argparse
import itertools
import random
import string
import sys
import tempfile
import time
import timeit
from pathlib import Path

_P, _OFFSET, _LOW = 0x01000193, 0x811C9DC5, 0xFFFF
_ALNUM = (string.ascii_letters + string.digits).encode()


def _step(state: int, data: bytes) -> int:
    for b in data:
        state = ((state ^ b) * _P) & 0xFFFF_FFFF
    return state


def fnv_colliding_keywords(count: int) -> list[str]:
    """`count` (a power of two) keywords whose FNV-1a hashes agree in their low 16 bits.

    The low 16 bits of FNV-1a's state depend only on the low 16 bits before each byte, so two
    blocks that lead from one such state to the same next one are interchangeable: k blocks,
    each chosen from a colliding pair, give 2^k keywords that all end in the same state."""
    blocks = count.bit_length() - 1
    pairs: list[tuple[bytes, bytes]] = []
    state = _step(_OFFSET, b"K") & _LOW  # every keyword starts with K
    rng = random.Random(1)
    for _ in range(blocks):
        seen: dict[int, bytes] = {}
        while True:
            block = bytes(rng.choice(_ALNUM) for _ in range(3))
            end = _step(state, block) & _LOW
            other = seen.setdefault(end, block)
            if other != block:
                pairs.append((other, block))
                state = end
                break
    return ["K" + b"".join(choice).decode() for choice in itertools.product(*pairs)]


def plain_keywords(count: int, length: int) -> list[str]:
    rng = random.Random(2)
    return ["K" + "".join(rng.choice(string.ascii_letters) for _ in range(length - 1)) for _ in range(count)]


def measure(keywords: list[str], folder: Path, name: str, repeat: int) -> tuple[float, float]:
    """(seconds to build, seconds per tag_for_keyword of the last keyword)."""
    import quillet
    from quillet.writer import Entry, to_files, write_dictionary

    entries = [Entry(0x0012 + 2 * (n >> 16), n & 0xFFFF, keyword=k) for n, k in enumerate(keywords)]
    start = time.perf_counter()
    to_files(entries)
    built = time.perf_counter() - start
    path = folder / f"{name}.qlet"
    write_dictionary(path, entries, companion=True)
    pair = quillet.open_companion(path.with_suffix(".qlix"))
    target = keywords[-1]
    assert pair.tag_for_keyword(target) is not None, target
    per_call = min(timeit.repeat(lambda: pair.tag_for_keyword(target), number=200, repeat=repeat)) / 200
    return built, per_call


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--count", type=int, default=32768, help="keywords, a power of two (default 32768)")
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args(argv)
    import quillet

    crafted = fnv_colliding_keywords(args.count)
    plain = plain_keywords(args.count, len(crafted[0]))
    print(f"quillet {quillet.__version__} ({Path(quillet.__file__).parent}), Python {sys.version.split()[0]}")
    print(f"{args.count} keywords of {len(crafted[0])} characters, crafted to share FNV-1a's low 16 bits")
    rows = []
    with tempfile.TemporaryDirectory() as tmp:
        for name, keywords in (("plain", plain), ("crafted", crafted)):
            rows.append((name, *measure(keywords, Path(tmp), name, args.repeat)))
    print(f"{'keywords':<10} {'build':>10} {'tag_for_keyword':>18}")
    for name, built, per_call in rows:
        print(f"{name:<10} {built:>9.2f}s {per_call * 1e6:>15.2f} us")
    (_, plain_build, plain_call), (_, crafted_build, crafted_call) = rows
    print(f"crafted/plain: build {crafted_build / plain_build:.2f}x, query {crafted_call / plain_call:.2f}x")
    return 0


if __name__ == "__main__":
    sys.exit(main())
