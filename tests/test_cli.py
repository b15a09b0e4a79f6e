"""The quillet command: answers, exit statuses, and compiling a user's own dictionary."""

from __future__ import annotations

import json
import subprocess
import sys

import pytest

import quillet
from quillet.cli import main, parse_tag


def run(capsys, *argv):
    code = main(list(argv))
    out, err = capsys.readouterr()
    return code, out, err


@pytest.mark.parametrize(
    "text, tag",
    [
        ("0010,0010", (0x10, 0x10)),
        ("(0010,0010)", (0x10, 0x10)),
        ("00100010", (0x10, 0x10)),
        ("(7fe0, 0010)", (0x7FE0, 0x10)),
        ("0029,xx10", (0x29, 0x10)),
        ("FFFE,E000", (0xFFFE, 0xE000)),
    ],
)
def test_tag_forms(text, tag):
    assert parse_tag(text) == tag


def test_lookup_public(capsys):
    code, out, err = run(capsys, "lookup", "0010,0010")
    assert code == 0 and err == ""
    assert out.splitlines()[0] == "(0010,0010) PatientName"
    assert "  vr:       PN" in out


def test_lookup_private_as_found_in_a_data_set(capsys):
    code, out, _ = run(capsys, "lookup", "0029,1010", "--creator", "siemens  csa header")
    assert code == 0
    assert out.splitlines()[0] == "(0029,xx10) CSAImageHeaderInfo"
    assert "creator:  SIEMENS CSA HEADER" in out


def test_lookup_json(capsys):
    code, out, _ = run(capsys, "lookup", "(0010,0010)", "--json")
    assert code == 0
    assert json.loads(out) == quillet.open_default().lookup(0x10, 0x10) | {"vm": "1"}


@pytest.mark.parametrize(
    "argv, code, message",
    [
        (["lookup", "0010,9999"], 1, "quillet: (0010,9999) is not in "),
        (["lookup", "0029,1010"], 1, "quillet: (0029,1010) is not in "),
        (
            ["lookup", "0029,1010", "--creator", "NOBODY"],
            1,
            "quillet: (0029,1010) under creator 'NOBODY' is not in ",
        ),
        (["lookup", "zz!"], 2, "quillet: not a tag: 'zz!'"),
        (["lookup", "zz"], 1, "quillet: no entry with keyword 'zz' in "),
        (["lookup", "10010,0010"], 2, "quillet: not a tag:"),
        (
            ["lookup", "0010,0010", "--dict", "/nonexistent.qlet"],
            2,
            "quillet: cannot open /nonexistent.qlet: io error: No such file or directory (os error 2)",
        ),
    ],
)
def test_lookup_failures(capsys, argv, code, message):
    got, out, err = run(capsys, *argv)
    assert (got, out) == (code, "")
    assert err.startswith(message) and err.count("\n") == 1


def test_info(capsys):
    code, out, _ = run(capsys, "info")
    assert code == 0
    assert f"entries:  {len(quillet.open_default())}" in out
    assert f"size:     {quillet.DEFAULT_PATH.stat().st_size} bytes" in out


def test_build_csv(tmp_path, capsys):
    src = tmp_path / "acme.csv"
    src.write_text(
        "group,element,creator,keyword,name,vr,retired,block_offset,sources\n"
        "0029,0010,ACME 1.1,AcmeDose,Dose,DS,no,yes,ACME manual|site notes\n"
        "0x0010,0010,,PatientName,Patient's Name,PN,,,\n"
    )
    out = tmp_path / "acme.qlet"
    code, stdout, err = run(capsys, "build", str(src), "-o", str(out))
    assert (code, err) == (0, "") and "wrote 2 entries" in stdout
    r = quillet.open(out).lookup(0x29, 0x10, "acme 1.1")
    assert (r["keyword"], r["block_offset"], r["sources"]) == (
        "AcmeDose",
        True,
        ["ACME manual", "site notes"],
    )


def test_build_reports_every_bad_row_and_writes_nothing(tmp_path, capsys):
    src = tmp_path / "bad.csv"
    src.write_text(
        "group,element,keyword,vr,retired\n"
        "0010,0010,Good,PN,no\n"
        "0010,zz,BadElement,PN,no\n"
        "0010,0020,BadVr,XX,no\n"
        "0010,0030,BadFlag,PN,maybe\n"
    )
    out = tmp_path / "bad.qlet"
    code, stdout, err = run(capsys, "build", str(src), "-o", str(out))
    assert code == 2 and stdout == "" and not out.exists()
    lines = err.splitlines()
    assert [l.split(":")[1] for l in lines[:3]] == ["3", "4", "5"]
    assert "element" in lines[0] and "vr" in lines[1] and "retired" in lines[2]
    assert lines[-1] == "quillet: 3 bad row(s); nothing written"


def test_build_json_and_duplicates_by_line(tmp_path, capsys):
    src = tmp_path / "dup.json"
    src.write_text(
        '[\n  {"group": 16, "element": 16, "keyword": "A"},\n\n  {"group": "0010", "element": "0010"}\n]\n'
    )
    out = tmp_path / "dup.qlet"
    code, _, err = run(capsys, "build", str(src), "-o", str(out))
    assert code == 2 and not out.exists()
    assert "line 2" in err and "line 4" in err


@pytest.mark.parametrize(
    "text, message", [("{}", "expected a JSON array"), ("[1]", ":1: expected an object"), ("[{", ":1:")]
)
def test_build_json_shape_errors(tmp_path, capsys, text, message):
    src = tmp_path / "x.json"
    src.write_text(text)
    code, _, err = run(capsys, "build", str(src), "-o", str(tmp_path / "x.qlet"))
    assert code == 2 and message in err


def test_module_entry_point():
    p = subprocess.run(
        [sys.executable, "-m", "quillet", "lookup", "7FE0,0010"], capture_output=True, text=True
    )
    assert p.returncode == 0 and p.stdout.startswith("(7FE0,0010) PixelData")
    p = subprocess.run([sys.executable, "-m", "quillet", "lookup", "--help"], capture_output=True, text=True)
    assert p.returncode == 0 and "Exit status" in p.stdout
