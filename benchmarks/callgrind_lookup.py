"""Runs N lookups of one kind, to be counted under callgrind.

    python callgrind_lookup.py PEER CASE N DICT_PATH EXT_DIR

PEER is "quillet", "pydicom", or one of the floor helper's "make", "make_hashed",
"make_presized" (which build the public hit's result). CASE is "public", "private" or "miss".
EXT_DIR comes first on sys.path, so that the extension built with symbols and the floor helper
are the ones imported. The loop is the same code for every peer, so that subtracting two runs
of N and 2N iterations leaves the cost of one call.
"""

from __future__ import annotations

import sys
import textwrap

from cases import CASES, statements


def main() -> None:
    peer, case, n, path, ext_dir = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4], sys.argv[5]
    sys.path.insert(0, ext_dir)
    import _quillet

    d = _quillet.open(path)
    env: dict[str, object] = {"rng": range(n)}
    if peer == "quillet":
        env["q"] = d.lookup
        stmt = statements(case)[0]
    elif peer.startswith("make"):
        import _bench_floor

        _bench_floor.prepare(d.lookup(*CASES["public"].quillet_args))
        env["q"] = getattr(_bench_floor, peer)
        stmt = "q(0x0010, 0x0010)"
    else:
        from pydicom.datadict import get_entry, get_private_entry

        env["ge"], env["gp"] = get_entry, get_private_entry
        stmt = statements(case)[1]
    exec("for _ in rng:\n" + textwrap.indent(stmt, "    "), env)


if __name__ == "__main__":
    main()
