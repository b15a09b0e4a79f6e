"""Many threads on one Dict: the same answers as one thread, on builds with and without the GIL.

Set QUILLET_LONG=1 for the long version (several seconds of lookups per thread).
"""

from __future__ import annotations

import os
import random
import subprocess
import sys
import sysconfig
import textwrap
import threading
import time

import pytest

import quillet

THREADS = 8
LONG = os.environ.get("QUILLET_LONG") == "1"
ROUNDS = 200_000 if LONG else 10_000


@pytest.fixture(scope="module")
def d():
    return quillet.open_default()


@pytest.fixture(scope="module")
def queries(d):
    """Public and private hits, misses and bad arguments, with one thread's answers."""
    rng = random.Random(1234)
    entries = [d.lookup(0x10, 0x10), d.lookup(0x29, 0x10, "SIEMENS CSA HEADER"), d.lookup(0x7FE0, 0x10)]
    keys = [(e["group"], e["element"], e["creator"] or None) for e in entries]
    keys += [
        (rng.randrange(0x10000), rng.randrange(0x10000), rng.choice([None, "GEMS_ACQU_01", "x"]))
        for _ in range(200)
    ]
    keys += [(0x0008, rng.randrange(0x0200), None) for _ in range(200)]
    return [(k, d.lookup(*k)) for k in keys]


def _run(workers):
    errors: list[BaseException] = []
    barrier = threading.Barrier(len(workers))

    def wrap(fn):
        def inner():
            barrier.wait()
            try:
                fn()
            except BaseException as exc:  # any failure, reported below
                errors.append(exc)

        return inner

    threads = [threading.Thread(target=wrap(w)) for w in workers]
    start = time.perf_counter()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors, errors
    return time.perf_counter() - start


def test_shared_lookups_agree_with_one_thread(d, queries, capsys):
    def worker(seed):
        def run():
            rng = random.Random(seed)
            for _ in range(ROUNDS):
                key, expected = queries[rng.randrange(len(queries))]
                assert d.lookup(*key) == expected

        return run

    one = _run([worker(0)])
    many = _run([worker(s) for s in range(THREADS)])
    with capsys.disabled():
        print(
            f"\n  {THREADS} threads: {THREADS * ROUNDS / many:,.0f} lookups/s in total; "
            f"1 thread: {ROUNDS / one:,.0f} lookups/s (GIL {'on' if sys._is_gil_enabled() else 'off'})"
        )


def test_opening_and_dropping_while_others_look_up(d, queries):
    path = quillet.DEFAULT_PATH
    n = max(20, ROUNDS // 200)

    def opener():
        for _ in range(n):
            with quillet.open(path) as own:
                assert len(own) == len(d)
            del own

    def looker():
        for i in range(ROUNDS // 4):
            key, expected = queries[i % len(queries)]
            assert d.lookup(*key) == expected
            if i % 97 == 0:
                assert len(d) > 0 and repr(d) == f"<quillet.Dict len={len(d)}>"
                with d as same:
                    assert same is d
                assert d.__exit__(None, None, None) is False

    _run([opener, opener, looker, looker, looker, looker])


def test_errors_in_threads_leave_the_handle_sound(d):
    def bad():
        for i in range(ROUNDS // 4):
            with pytest.raises((OverflowError, TypeError)):
                d.lookup(-1 if i % 2 else 1.5, 0)

    def good():
        for _ in range(ROUNDS // 4):
            assert d.lookup(0x10, 0x10)["keyword"] == "PatientName"

    _run([bad, good, bad, good])


def test_concurrent_first_executions_share_one_class():
    # In a fresh process, so that the class is really created here and not before: each thread
    # makes its own module object from the extension and executes it at the same moment.
    code = textwrap.dedent(
        """
        import _imp, importlib.util, sys, threading
        spec = importlib.util.find_spec("quillet._quillet")
        barrier = threading.Barrier(8)
        seen = []
        def run():
            mod = _imp.create_dynamic(spec)
            barrier.wait()
            _imp.exec_dynamic(mod)
            seen.append(mod.Dict)
        threads = [threading.Thread(target=run) for _ in range(8)]
        [t.start() for t in threads]
        [t.join() for t in threads]
        assert len(seen) == 8 and all(c is seen[0] for c in seen), seen
        import quillet._quillet
        assert quillet._quillet.Dict is seen[0]
        print(sys._is_gil_enabled())
        """
    )
    p = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert p.returncode == 0, p.stderr
    # Executing the module never re-enables the lock on a free-threaded build.
    expect_gil = not sysconfig.get_config_var("Py_GIL_DISABLED")
    assert p.stdout.strip() == str(expect_gil)


def test_first_use_of_the_companion_from_many_threads():
    # In a fresh process, so that the threads race to open the bundled companion; the answers
    # agree, and importing its extension does not re-enable the lock on a free-threaded build.
    code = textwrap.dedent(
        """
        import sys, threading, quillet
        barrier = threading.Barrier(8)
        seen = []
        def run():
            barrier.wait()
            for _ in range(200):
                seen.append((
                    quillet.tag_for_keyword("PatientName"),
                    quillet.vm(0x0029, 0x10, "SIEMENS CSA HEADER"),
                    [e["keyword"] for e in quillet.search("birth date")],
                    len(quillet.entries_for_keyword("OverlayRows")),
                ))
        threads = [threading.Thread(target=run) for _ in range(8)]
        [t.start() for t in threads]
        [t.join() for t in threads]
        assert len(seen) == 1600 and len(set(map(repr, seen))) == 1, set(map(repr, seen))
        assert seen[0][0] == (0x10, 0x10) and seen[0][3] == 256, seen[0]  # PAPYRUS 3.0 too
        print(sys._is_gil_enabled())
        """
    )
    p = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert p.returncode == 0, p.stderr
    assert p.stdout.strip() == str(not sysconfig.get_config_var("Py_GIL_DISABLED"))


def test_a_dictionary_answers_while_entries_are_added():
    # One thread adds private entries, vendor by vendor, while the others ask about public tags,
    # about the vendors added so far, and keyword to tag: nothing added before a question is
    # missed, and the files' answers never change.
    from quillet import Dictionary
    from quillet.writer import Entry

    d = Dictionary()
    vendors = 40 if not LONG else 400
    done: list[int] = []

    def adder():
        for v in range(vendors):
            d.add(
                [
                    Entry(0x0019, e, creator=f"VENDOR {v}", keyword=f"V{v}E{e}", block_offset=True)
                    for e in range(16)
                ]
            )
            done.append(v)

    def asker():
        for i in range(ROUNDS // 4):
            assert d.vr(0x00100010) == "PN" and d.tag("PatientName") == 0x00100010
            if done:
                v = done[-1]
                assert d.keyword(0x00191003 + 0x100 * (i % 5), f"vendor {v}") == f"V{v}E3"
                assert d.tag(f"V{v}E3", f"VENDOR {v}") == 0x00191003

    _run([adder, asker, asker, asker])
