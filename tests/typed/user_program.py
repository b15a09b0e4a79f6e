"""A program that uses every query of the public API, as a user writes it: mypy --strict must
accept it with no `type: ignore`, and it must run (tests/test_stubs.py does both)."""

from __future__ import annotations

import tempfile
from pathlib import Path

import quillet
from quillet import VM, Dict, Dictionary, Entry, LookupResult, Tag, TagInfo
from quillet.writer import write_dictionary


def describe(info: TagInfo | None) -> str:
    if info is None:
        return "-"
    vrs: tuple[str, ...] | None = info["vrs"]
    vm: str | None = info["vm"]
    return f"{info['keyword']} {info['vr']} {vrs} {vm} {info['sources']}"


def main() -> None:
    d: Dictionary = quillet.Dictionary()
    tags: list[Tag] = [0x00100010, (0x0029, 0x1010), "(7FE0,0010)", "0029,xx10"]
    for tag in tags:
        print(describe(d.entry(tag, "SIEMENS CSA HEADER")))
        keyword: str | None = d.keyword(tag)
        name: str | None = d.name(tag)
        vr: str | None = d.vr(tag)
        vm: str | None = d.vm(tag)
        vrs: tuple[str, ...] | None = d.vrs(tag)
        fits: bool | None = d.vm_allows(tag, 2)
        print(keyword, name, vr, vm, vrs, fits)
    number: int | None = d.tag("PatientName")
    private: int | None = d.tag("CSAImageHeaderInfo", creator="SIEMENS CSA HEADER")
    found: list[TagInfo] = d.search("birth", limit=5) + d.entries("OverlayRows")
    creators: list[str] = d.creators(0x00291010)
    print(number, private, len(found), creators[:2], VM.parse("2-2n").allows(4), d.paths, d.problems)

    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / "acme.qlet"
        entries = [Entry(0x0029, 0x10, creator="ACME", keyword="AcmeDose", vr="DS", block_offset=True)]
        write_dictionary(path, entries, companion=True)
        mine = Dictionary(path, bundled=True)
        mine.add([Entry(0x0029, 0x11, creator="ACME", keyword="AcmeMore", block_offset=True)])
        print(mine.keyword(0x00291011, "ACME"))
        handle: Dict = quillet.open(path)
        result: LookupResult | None = handle.lookup(0x0029, 0x10, "ACME")
        legacy: LookupResult | None = quillet.lookup_element(handle, 0x0029, 0x1010, "ACME")
        print(result == legacy, quillet.tag_for_keyword("PatientName"), quillet.vm(0x0010, 0x0010))
        print(
            quillet.vrs(0x7FE0, 0x0010),
            len(quillet.search("patient")),
            len(quillet.entries_for_keyword("Rows")),
        )


if __name__ == "__main__":
    main()
