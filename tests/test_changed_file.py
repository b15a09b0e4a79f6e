"""Files that change under an open handle.

A handle maps its file shared and read-only, so a rewrite in place is visible to it at once;
lookups must then never read outside the mapping. Shrinking the file is another matter: the
pages past the new end cannot be read at all, and the process gets SIGBUS.

Each scenario runs in a child process (this file run as a script), so that a crash fails one
test instead of ending the whole run.
"""

from __future__ import annotations

import ast
import os
import random
import signal
import subprocess
import sys
from pathlib import Path

import pytest

from quillet import _layout as L
from quillet.writer import Entry, to_bytes

CREATORS = ["ACME 1.1", "Other"]


def entries() -> list[Entry]:
    out = [
        Entry(
            0x0008,
            e,
            keyword=f"Kw{e}",
            name=f"Name {e}",
            vr="LO",
            description="d" * (e % 7),
            sources=("PS3.6", f"s{e}"),
        )
        for e in range(1, 400)
    ]
    out += [
        Entry(0x0029, e, creator=c, keyword=f"P{e}", vr="DS", block_offset=True)
        for c in CREATORS
        for e in range(0x10, 0x30)
    ]
    return out


def keys() -> list[tuple]:
    return [(0x0008, e) for e in range(0, 402, 7)] + [
        (0x0029, e, c) for c in CREATORS for e in (0x10, 0x20, 0x2F)
    ]


# ---- the child: rewrite, look up, report -------------------------------------------------------


def _probe(h) -> str:
    """Every key once; each answer must be None, a complete dict, or the internal error."""
    seen = set()
    for args in keys():
        try:
            r = h.lookup(*args)
            seen.add("none" if r is None else "dict")
            assert r is None or (list(r) == list(L.RESULT_KEYS) and isinstance(r["sources"], list))
        except Exception:
            raise
        except BaseException as e:
            assert type(e).__bases__ == (BaseException,)
            seen.add("internal")
    len(h), repr(h)
    return ",".join(sorted(seen))


def _rewrite(path: str, at: int, data: bytes) -> None:
    with open(path, "r+b") as f:
        f.seek(at)
        f.write(data)
        f.flush()


def child_rewrite(path: str, seeds: int) -> None:
    import quillet

    original = Path(path).read_bytes()
    size = len(original)
    h = quillet.open(path)
    before = [h.lookup(*k) for k in keys()]
    outcomes: dict[str, int] = {}
    # Regions of the file: the writer lays out header, index, records, pool, then the root.
    n, head, root = len(entries()), L.HEADER_LEN, size - L.ROOT_LEN
    records = head + L.INDEX_ENTRY_LEN * n
    pool = records + L.RECORD_LEN * n
    regions = {
        "root": (root, size),
        "index": (head, records),
        "records": (records, pool),
        "pool": (pool, root),
        "body": (head, size),
        "header": (0, head),
    }
    for seed in range(seeds):
        rng = random.Random(seed)
        name = list(regions)[seed % len(regions)]
        lo, hi = regions[name]
        data = bytearray(original)
        if seed % 3 == 0:  # the whole region random
            data[lo:hi] = rng.randbytes(hi - lo)
        else:  # a few random 32-bit words, which keeps most of the structure plausible
            for _ in range(rng.randint(1, 6)):
                at = rng.randrange(lo, hi - 4) & ~3
                data[at : at + 4] = rng.choice(
                    [
                        rng.randbytes(4),
                        (0xFFFF_FFF0).to_bytes(4, "little"),
                        (rng.randrange(-size, size) & 0xFFFF_FFFF).to_bytes(4, "little"),
                    ]
                )
        _rewrite(path, 0, data)
        got = _probe(h)
        outcomes[got] = outcomes.get(got, 0) + 1
    _rewrite(path, 0, original)
    assert [h.lookup(*k) for k in keys()] == before  # back to the original bytes, back to the answers
    print(sorted(outcomes.items()))


def child_concurrent(path: str, lookups: int) -> None:
    """Rewrites from another thread while lookups run: the write system call drops the
    interpreter lock, so bytes change in the middle of a lookup's reads."""
    import threading

    import quillet

    original = Path(path).read_bytes()
    size = len(original)
    h = quillet.open(path)
    stop = threading.Event()

    def writer():
        rng = random.Random(7)
        fd = os.open(path, os.O_RDWR)
        try:
            while not stop.is_set():
                data = bytearray(original)
                for _ in range(8):  # words in the root half the time, anywhere in the body else
                    at = (
                        rng.randrange(size - L.ROOT_LEN if rng.random() < 0.5 else L.HEADER_LEN, size - 4)
                        & ~3
                    )
                    data[at : at + 4] = rng.randbytes(4)
                os.pwrite(fd, bytes(data), 0)
        finally:
            os.close(fd)

    thread = threading.Thread(target=writer)
    thread.start()
    try:
        all_keys = keys()
        for i in range(lookups):
            try:
                h.lookup(*all_keys[i % len(all_keys)])
            except Exception:
                raise
            except BaseException as e:
                assert type(e).__bases__ == (BaseException,)
    finally:
        stop.set()
        thread.join()
    print("lived")


def child_truncate(path: str, how: str) -> None:
    import quillet

    size = os.path.getsize(path)
    h = quillet.open(path)
    assert h.lookup(0x0008, 0x0001)["keyword"] == "Kw1"
    page = os.sysconf("SC_PAGE_SIZE")
    if how == "within-last-page":  # the tail of the last page reads as zeros, no signal
        assert (size - 8) // page == (size - 1) // page
        os.truncate(path, size - 8)
        print(_probe(h), flush=True)
    elif how == "and-regrow":  # the lost pages come back as zeros: an empty-looking root
        os.truncate(path, page)
        os.truncate(path, size)
        print(len(h), h.lookup(0x0008, 0x0001), flush=True)
    else:  # the root's page is gone: any lookup, and len, touches it
        os.truncate(path, page)
        print("truncated", flush=True)
        len(h) if how == "len" else h.lookup(0x0008, 0x0001)
        print("survived", flush=True)


def run_child(*args) -> subprocess.CompletedProcess:
    env = dict(
        os.environ, PYTHONPATH=os.pathsep.join([os.path.dirname(__file__), os.environ.get("PYTHONPATH", "")])
    )
    return subprocess.run(
        [sys.executable, __file__, *map(str, args)], capture_output=True, text=True, env=env, timeout=300
    )


# ---- the tests --------------------------------------------------------------------------------


@pytest.fixture
def dict_file(tmp_path):
    path = tmp_path / "d.qlet"
    path.write_bytes(to_bytes(entries()))
    assert os.path.getsize(path) > 4 * 4096  # several pages, so truncation can drop whole ones
    return path


def test_rewritten_in_place(dict_file):
    seeds = 3000 if os.environ.get("QUILLET_LONG") == "1" else 300
    p = run_child("rewrite", dict_file, seeds)
    assert p.returncode == 0, (p.returncode, p.stdout, p.stderr[-2000:])
    outcomes = dict(ast.literal_eval(p.stdout))
    assert sum(outcomes.values()) == seeds
    # Damage must reach both kinds of answer: faults raised, and lookups still answered.
    assert any("internal" in k for k in outcomes) and any("dict" in k for k in outcomes)
    assert "dictionary changed after it was opened" in p.stderr


def test_rewritten_during_lookups(dict_file):
    p = run_child("concurrent", dict_file, 200_000 if os.environ.get("QUILLET_LONG") == "1" else 20_000)
    assert (p.returncode, p.stdout) == (0, "lived\n"), p.stderr[-2000:]


def test_shrunk_within_the_last_page(dict_file):
    p = run_child("truncate", dict_file, "within-last-page")
    assert p.returncode == 0, p.stderr[-2000:]


def test_shrunk_and_regrown(dict_file):
    p = run_child("truncate", dict_file, "and-regrow")
    assert p.returncode == 0, p.stderr[-2000:]
    assert p.stdout.split() == ["0", "None"]  # the zeroed root holds an empty index


@pytest.mark.parametrize("call", ["lookup", "len"])
def test_shrunk_past_the_root_raises_sigbus(dict_file, call):
    # Documented behaviour, as for other memory-mapped stores: a file must not be shrunk while
    # a handle holds it. The signal comes from touching the lost page, not from a wild read.
    p = run_child("truncate", dict_file, call)
    assert p.stdout.split() == ["truncated"]
    assert p.returncode == -signal.SIGBUS, (p.returncode, p.stderr[-2000:])


if __name__ == "__main__":
    what, path, arg = sys.argv[1:4]
    if what == "rewrite":
        child_rewrite(path, int(arg))
    elif what == "concurrent":
        child_concurrent(path, int(arg))
    else:
        child_truncate(path, arg)
