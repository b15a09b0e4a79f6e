"""The quillet command: answers, exit statuses and messages, and compiling a user's own dictionary."""

from __future__ import annotations

import json
import os
import shutil
import signal
import stat
import subprocess
import sys

import pytest

import quillet
from quillet import _layout as L
from quillet import writer
from quillet.cli import main, parse_tag
from quillet.writer import Entry

from conftest import example_body


def run(capsys, *argv):
    code = main(list(argv))
    out, err = capsys.readouterr()
    return code, out, err


def command(*argv, stdout=subprocess.PIPE, env=None):
    """(exit status, stdout, stderr) of `python -m quillet ARGV` in a process of its own."""
    p = subprocess.run(
        [sys.executable, "-m", "quillet", *argv],
        stdout=stdout,
        stderr=subprocess.PIPE,
        env=None if env is None else os.environ | env,
    )
    out = p.stdout.decode("utf-8", "backslashreplace") if p.stdout is not None else ""
    return p.returncode, out, p.stderr.decode("utf-8", "backslashreplace")


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
    assert json.loads(out) == quillet.open_default().lookup(0x10, 0x10) | {"vm": "1", "vrs": ["PN"]}


def test_info(capsys):
    code, out, _ = run(capsys, "info")
    assert code == 0
    assert f"entries:  {len(quillet.open_default())}" in out
    assert f"size:     {quillet.DEFAULT_PATH.stat().st_size} bytes" in out


# ---- exit statuses and messages ---------------------------------------------------------------

EVIL = Entry(0x0010, 0x0010, keyword="Evil\x1b]0;owned\x07", name="a\x9b2Jb", description="two\nlines")


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    """The files the table below refers to as {name}."""
    d = tmp_path_factory.mktemp("cli")
    small = [
        Entry(0x0010, 0x0010, keyword="PatientName", vr="PN"),
        Entry(0x0029, 0x10, creator="ACME", keyword="Size", name="Größe", block_offset=True),
    ]
    (d / "small.qlet").write_bytes(writer.to_bytes(small))
    shutil.copy(d / "small.qlet", os.fsdecode(os.fsencode(str(d)) + b"/\xff.qlet"))
    faulty = example_body()
    faulty.index[0].record = 1  # one past the records: opens, then faults on lookup
    (d / "faulty.qlet").write_bytes(L.pack_file(faulty))
    (d / "v1.qlet").write_bytes(L.header(version=1) + bytes(24))
    (d / "evil.qlet").write_bytes(writer._to_bytes([EVIL], dicom_rules=False))
    (d / "in.csv").write_text("group,element\n0010,0010\n")
    (d / "in-link.csv").symlink_to("in.csv")
    (d / "latin1.csv").write_bytes(b"group,element,name\n0010,0010,Gr\xf6\xdfe\n")
    (d / "folder").mkdir()
    if os.geteuid() == 0:
        os.mknod(d / "device", stat.S_IFCHR | 0o666, os.makedev(1, 3))
    return {"tmp": str(d)}


# (argv, exit status, the one line on stderr); {tmp} is the folder of the files above.
STATUSES = {
    "version": (["--version"], 0, ""),
    "keyword not found": (["lookup", "zz"], 1, "no entry with keyword 'zz' in "),
    "neither tag nor keyword": (["lookup", "zz!"], 2, "not a tag: 'zz!'"),
    "not found": (
        ["lookup", "0010,9999", "--dict", "{tmp}/small.qlet"],
        1,
        "0010,9999 is not in {tmp}/small.qlet",
    ),
    "not found under a creator": (
        ["lookup", "(0029,1010)", "--creator", "NOBODY", "--dict", "{tmp}/small.qlet"],
        1,
        "(0029,1010) under creator 'NOBODY' is not in {tmp}/small.qlet",
    ),
    "private element without creator": (
        ["lookup", "0029,1010", "--dict", "{tmp}/small.qlet"],
        2,
        "0029,1010 is an element inside a private block; give its creator with --creator; no creator in "
        "the dictionary defines it",
    ),
    "open bracket": (
        ["lookup", "(0010,0010"],
        2,
        "not a tag: '(0010,0010' (expected GGGG,EEEE, (GGGG,EEEE) or",
    ),
    "close bracket": (["lookup", "0010,0010)"], 2, "not a tag: '0010,0010)' (expected"),
    "no tag": (["lookup", "10010,0010"], 2, "not a tag: '10010,0010' (expected"),
    "block form without creator": (
        ["lookup", "0029,xx10", "--dict", "{tmp}/small.qlet"],
        2,
        "0029,xx10 is an element inside a private block; give its creator with --creator",
    ),
    "creator not UTF-8": (
        ["lookup", "0010,0010", "--creator", b"AC\xffME"],
        2,
        "--creator: 'AC\\udcffME' is not valid UTF-8",
    ),
    "missing dictionary": (
        ["lookup", "0010,0010", "--dict", "{tmp}/none.qlet"],
        2,
        "cannot open {tmp}/none.qlet: io error: No such file or directory (os error 2)",
    ),
    "other version": (
        ["lookup", "0010,0010", "--dict", "{tmp}/v1.qlet"],
        2,
        "cannot open {tmp}/v1.qlet: unsupported .qlet version 1",
    ),
    "fault on lookup": (
        ["lookup", "0010,0010", "--dict", "{tmp}/faulty.qlet"],
        2,
        "{tmp}/faulty.qlet: corrupt dictionary: index out of bounds: the len is 1 but the index is 1",
    ),
    "info of a missing file": (
        ["info", "{tmp}/none.qlet"],
        2,
        "cannot open {tmp}/none.qlet: io error: No such",
    ),
    "output is input": (
        ["build", "{tmp}/in.csv", "-o", "{tmp}/in.csv"],
        2,
        "the output {tmp}/in.csv is the input file {tmp}/in.csv; nothing written",
    ),
    "output is input through a link": (
        ["build", "{tmp}/in.csv", "-o", "{tmp}/in-link.csv"],
        2,
        "the output {tmp}/in-link.csv is the input file {tmp}/in.csv; nothing written",
    ),
    "output is a folder": (
        ["build", "{tmp}/in.csv", "-o", "{tmp}/folder"],
        2,
        "cannot write {tmp}/folder: is a directory; nothing written",
    ),
    "output is a device": (
        ["build", "{tmp}/in.csv", "-o", "{tmp}/device"],
        2,
        "cannot write {tmp}/device: is a character device, not a regular file; nothing written",
    ),
    "output folder missing": (
        ["build", "{tmp}/in.csv", "-o", "{tmp}/none/out.qlet"],
        2,
        "cannot write {tmp}/none/out.qlet: No such file or directory",
    ),
    "input missing": (
        ["build", "{tmp}/none.csv", "-o", "{tmp}/out.qlet"],
        2,
        "cannot read {tmp}/none.csv: No such file or directory",
    ),
    "input not UTF-8": (
        ["build", "{tmp}/latin1.csv", "-o", "{tmp}/out.qlet"],
        2,
        "{tmp}/latin1.csv:2:13: not UTF-8 (invalid start byte)",
    ),
}


@pytest.mark.parametrize("case", STATUSES)
def test_exit_status_and_one_line(files, case):
    argv, status, line = STATUSES[case]
    if "{tmp}/device" in argv and not os.path.exists(files["tmp"] + "/device"):
        pytest.skip("making a device node needs root")
    argv = [a.format(**files) if isinstance(a, str) else a for a in argv]
    before = {n: os.lstat(os.path.join(files["tmp"], n)) for n in os.listdir(files["tmp"])}
    code, out, err = command(*argv)
    line = line.format(**files)
    assert code == status, err
    if status == 0:
        assert (out, err) == (f"quillet {quillet.__version__}\n", "")
    else:
        assert out == "" and err.startswith(f"quillet: {line}") and err.count("\n") == 1, err
    after = {n: os.lstat(os.path.join(files["tmp"], n)) for n in os.listdir(files["tmp"])}
    assert after.keys() == before.keys()  # nothing written, no temporary left
    assert all(stat.S_IFMT(after[n].st_mode) == stat.S_IFMT(before[n].st_mode) for n in after)


def test_output_troubles(files):
    """What the command prints cannot go where it should: the answer's line is the error."""
    small = f"{files['tmp']}/small.qlet"
    lookup = ("lookup", "0029,1010", "--creator", "acme", "--dict", small)
    code, out, err = command(*lookup, env={"PYTHONIOENCODING": "ascii"})
    assert (code, out) == (2, "")
    assert err == (
        "quillet: standard output (ascii) cannot represent U+00F6 of the answer; set PYTHONIOENCODING=utf-8\n"
    )
    with open("/dev/full", "wb") as full:  # writing to it only ever fails
        code, _, err = command(*lookup, stdout=full)
    assert (code, err) == (2, "quillet: cannot write to standard output: No space left on device\n")
    # A reader that went away: the command ends as cat does, killed by SIGPIPE, and says nothing.
    read, write = os.pipe()
    os.close(read)
    with open(write, "wb") as closed:
        code, _, err = command(*lookup, stdout=closed)
    assert (code, err) == (-signal.SIGPIPE, "")
    # A path that is not UTF-8 is still a path.
    code, out, err = command("lookup", "0010,0010", "--dict", os.fsencode(files["tmp"]) + b"/\xff.qlet")
    assert (code, out.splitlines()[0], err) == (0, "(0010,0010) PatientName", "")


def test_texts_cannot_command_the_terminal(files):
    evil = f"{files['tmp']}/evil.qlet"
    code, out, err = command("lookup", "0010,0010", "--dict", evil)
    assert (code, err) == (0, "")
    assert "(0010,0010) Evil\\x1b]0;owned\\x07" in out and "a\\x9b2Jb" in out and "two\\nlines" in out
    code, out, _ = command("lookup", "0010,0010", "--dict", evil, "--json")
    assert code == 0 and out.count("\n") == 1 and out.isascii() and "\x1b" not in out
    r = json.loads(out)
    assert (r["keyword"], r["name"], r["description"]) == (EVIL.keyword, EVIL.name, EVIL.description)


def test_module_entry_point():
    p = subprocess.run(
        [sys.executable, "-m", "quillet", "lookup", "7FE0,0010"], capture_output=True, text=True
    )
    assert p.returncode == 0 and p.stdout.startswith("(7FE0,0010) PixelData")
    p = subprocess.run([sys.executable, "-m", "quillet", "lookup", "--help"], capture_output=True, text=True)
    assert p.returncode == 0 and "Exit status" in p.stdout


# ---- build: what it reads ----------------------------------------------------------------------

ROW = '{"group": "0010", "element": "0010"}'
LONG = "d" * 200_000  # beyond the csv module's own limit of 131072 per field

# One input and what the command says about it: a fault of the whole input in one line, or every
# bad row, each by its first line, and then how many there were.
BAD_INPUTS = {
    "json trailing comma": ("x.json", f"[{ROW},]", ["quillet: {src}:1:38: a comma after the last item"]),
    "json missing comma": (
        "x.json",
        f"[{ROW}\n {ROW}]",
        ["quillet: {src}:2:2: expected ',' or ']' after an item"],
    ),
    "json after the array": (
        "x.json",
        f"[{ROW}] x",
        ["quillet: {src}:1:40: text after the end of the array"],
    ),
    "json not closed": ("x.json", f"[{ROW}\n", ["quillet: {src}:2:1: the array is not closed"]),
    "json invalid": ("x.json", '[{"group": }]', ["quillet: {src}:1:12: Expecting value"]),
    "json not an array": ("x.json", ROW, ["quillet: {src}:1:1: expected a JSON array of objects"]),
    "json nested deeply": ("x.json", "[" * 100_000, ["quillet: {src}:1:2: nested too deeply"]),
    "json empty": ("x.json", "[ ]", ["quillet: {src}: no entries; nothing written"]),
    "json rows": (
        "x.json",
        "[\n"
        ' {"group": 16, "element": "0010"},\n'
        ' {"group": "0010", "element": "0011", "sources": 5},\n'
        ' {"group": "0010", "element": "0012", "keyword": ["a"]},\n'
        ' {"group": "0010", "element": "0013", "retired": "maybe"},\n'
        ' {"group": "0010", "element": "0014", "group": "0011"},\n'
        ' {"group": "0010", "element": "0015", "nme": "x"},\n'
        ' {"group": NaN, "element": "0016"},\n'
        " 7,\n"
        ' {"group": "0010", "element": "0017", "sources": ["a", {"b": 1}]},\n'
        f" {ROW}\n"
        "]",
        [
            '{src}:2: group: expected hexadecimal digits in a string, such as "0010", not a number '
            '(16 and "16" would otherwise name different tags)',
            "{src}:3: sources: expected a string with items separated by | or an array, not a number",
            "{src}:4: keyword: expected a string, not an array",
            "{src}:5: retired: expected yes/no, true/false or 1/0, not 'maybe'",
            "{src}:6: field(s) given twice: 'group'",
            "{src}:7: unknown field(s): 'nme'",
            '{src}:8: group: expected hexadecimal digits in a string, such as "0010", not NaN',
            "{src}:9: expected an object, not a number",
            "{src}:10: sources[1]: expected a string, not an object",
            "quillet: 9 bad row(s); nothing written",
        ],
    ),
    "csv rows": (
        "x.csv",
        "group,element,keyword,retired\n"
        "0010,0010,A,no,extra\n"
        '0010,0011,"two\nlines",maybe\n'
        "0010,0010,Dup\n"
        "0010,0010,Dup2\n"
        "0010,0010,Dup3\n"
        "0010,zz,B\n",
        [
            "{src}:2: 5 fields, more than the 4 columns of the header",
            "{src}:3: retired: expected yes/no, true/false or 1/0, not 'maybe'",
            "{src}:6: same tag and creator as line 5",
            "{src}:7: same tag and creator as line 5",
            "{src}:8: element: expected 1 to 4 hexadecimal digits, or xx and 2 of them inside a private "
            "block, not 'zz'",
            "quillet: 5 bad row(s); nothing written",
        ],
    ),
    "csv header once": (
        "x.csv",
        "group,element,keywrd,vr\n0010,0010,A,PN\n0010,0011,B,XX\n0010,0012,C,PN\n",
        [
            "{src}:1: header: unknown column(s) 'keywrd' (the columns are group, element, creator, "
            "keyword, name, vr, description, retired, block_offset, sources, vm)",
            "{src}:3: vr: 'XX' is not one of " + " ".join(L.VR_CODES),
            "quillet: 2 bad row(s); nothing written",
        ],
    ),
    "csv header without the tag": (
        "x.csv",
        "keyword,vr\nA,PN\nB,PN\n",
        ["{src}:1: header: missing column(s) group, element (the columns are", "quillet: 1 bad row(s)"],
    ),
    "csv unclosed quote": (
        "x.csv",
        'group,element,name\n0010,0010,"open\n',
        ["{src}:2: unexpected end of data", "quillet: 1 bad row(s)"],
    ),
    "csv empty": ("x.csv", "", ["quillet: {src}: empty; expected a header row naming the columns"]),
    "csv no rows": ("x.csv", "group,element\n\n", ["quillet: {src}: no entries; nothing written"]),
    "csv block form and no": (
        "x.csv",
        "group,element,creator,block_offset\n0029,xx10,ACME,no\n",
        ["{src}:2: element: xx10 is an element inside a block, but block_offset says no", "quillet: 1 bad"],
    ),
    "csv private without creator": (
        "x.csv",
        "group,element\n0029,xx10\n",
        [
            "{src}:2: creator: missing: group 0029 is private (odd, above 0008) and needs one",
            "quillet: 1 bad",
        ],
    ),
    "csv control character": (
        "x.csv",
        "group,element,keyword\n0010,0010,a\x1b[2Jb\n",
        ["{src}:2: keyword: holds the control character U+001B at index 1", "quillet: 1 bad row(s)"],
    ),
}


@pytest.mark.parametrize("case", BAD_INPUTS)
def test_build_reports_bad_input_and_writes_nothing(tmp_path, capsys, case):
    name, text, expected = BAD_INPUTS[case]
    src, out = tmp_path / name, tmp_path / "out.qlet"
    src.write_text(text, encoding="utf-8")
    code, stdout, err = run(capsys, "build", str(src), "-o", str(out))
    assert (code, stdout) == (2, "") and sorted(os.listdir(tmp_path)) == [name]
    got, want = err.splitlines(), [e.format(src=src) for e in expected]
    assert len(got) == len(want) and all(g.startswith(w) for g, w in zip(got, want, strict=True)), err


CSV = (
    "\ufeffgroup,element,creator,keyword,vr,description,retired,block_offset,sources\n"
    f"0029,xx10,ACME 1.1,Dose,DS,{LONG},,,manual|site\n"
    "0x0010,0010,,PatientName,PN\n"  # fields left off the end take their defaults
    "0029,1011,ACME 1.1,Whole,US,,yes,no,\n"
)
JSON = (
    "\ufeff[\n"
    '  {"group": "0029", "element": "xx10", "creator": "ACME 1.1", "keyword": "Dose", "vr": "DS", '
    f'"description": "{LONG}", "sources": ["manual", "site"]}},\n'
    '  {"group": "0x0010", "element": "0010", "keyword": "PatientName", "vr": "PN"},\n'
    '  {"group": "0029", "element": "1011", "creator": "ACME 1.1", "keyword": "Whole", "vr": "US", '
    '"retired": true, "block_offset": "no"}\n'
    "]\n"
)


def test_build_csv_and_json_alike(tmp_path, capsys):
    made = {}
    for name, text in (("acme.csv", CSV), ("acme.json", JSON)):
        src, out = tmp_path / name, tmp_path / f"{name}.qlet"
        src.write_text(text, encoding="utf-8")
        code, stdout, err = run(capsys, "build", str(src), "-o", str(out))
        companion = tmp_path / f"{name}.qlix"
        assert (code, err, stdout) == (0, "", f"wrote 3 entries to {out} and its companion {companion}\n")
        made[name] = out.read_bytes() + companion.read_bytes()
    assert made["acme.csv"] == made["acme.json"]
    d = quillet.open(tmp_path / "acme.csv.qlet")
    dose = d.lookup(0x29, 0x10, "acme 1.1")
    assert (dose["block_offset"], dose["retired"], dose["sources"], len(dose["description"])) == (
        True,
        False,
        ["manual", "site"],
        len(LONG),
    )
    assert d.lookup(0x10, 0x10)["retired"] is False
    whole = d.lookup(0x29, 0x1011, "ACME 1.1")
    assert (whole["retired"], whole["block_offset"]) == (True, False)


# ---- build: file systems that refuse the write -------------------------------------------------

# Runs in a mount namespace of its own (unshare -rm): the small file systems it mounts exist only
# for this process and vanish with it.
NAMESPACED = r"""
set -e
mount -t tmpfs -o size=64k tmpfs "$DIR"
printf 'old' > "$DIR/out.qlet"
case "$KIND" in
  full) dd if=/dev/zero of="$DIR/filler" bs=4k 2>/dev/null || true ;;
  read-only) mount -o remount,ro "$DIR" ;;
esac
set +e
"$PY" -m quillet build "$SRC" -o "$DIR/out.qlet" 2>"$DIR.err"
echo "status=$?"
echo "old=$(cat "$DIR/out.qlet")"
ls "$DIR"
"""


@pytest.mark.parametrize(
    "kind, reason", [("full", "No space left on device"), ("read-only", "Read-only file system")]
)
def test_build_on_a_full_or_read_only_file_system(tmp_path, kind, reason):
    if shutil.which("unshare") is None or subprocess.run(["unshare", "-rm", "true"]).returncode != 0:
        pytest.skip("needs unshare -rm to mount a file system of the test's own")
    (tmp_path / "mnt").mkdir()
    src = tmp_path / "in.csv"
    src.write_text("group,element,description\n" + "".join(f"0010,{e:04X},{'x' * 200}\n" for e in range(400)))
    env = {"DIR": str(tmp_path / "mnt"), "KIND": kind, "SRC": str(src), "PY": sys.executable}
    p = subprocess.run(
        ["unshare", "-rm", "sh", "-c", NAMESPACED], capture_output=True, text=True, env=os.environ | env
    )
    lines = p.stdout.splitlines()
    assert lines[:2] == ["status=2", "old=old"], (p.stdout, p.stderr)
    assert not [n for n in lines[2:] if n.endswith(".tmp")]
    err = (tmp_path / "mnt.err").read_text()
    assert err == f"quillet: cannot write {tmp_path}/mnt/out.qlet: {reason}\n"


# ---- no traceback and the right status, whatever fails ------------------------------------------


def closed(stream: int, *argv) -> tuple[int, str]:
    """(exit status, the other stream's text) of the command started with `stream` (1 or 2) closed."""
    p = subprocess.run(
        [sys.executable, "-m", "quillet", *argv],
        capture_output=True,
        text=True,
        preexec_fn=lambda: os.close(stream),  # in the child, once its streams are in place
    )
    return p.returncode, (p.stderr if stream == 1 else p.stdout)


@pytest.fixture(scope="module")
def built(tmp_path_factory):
    d = tmp_path_factory.mktemp("built")
    (d / "in.csv").write_text("group,element,keyword,vm\n0010,0010,PatientName,1\n")
    writer.write_dictionary(
        d / "small.qlet", [Entry(0x10, 0x10, keyword="PatientName", vm="1")], companion=True
    )
    return d


EVERY_SUBCOMMAND = {
    "lookup": lambda d: ["lookup", "0010,0010", "--dict", f"{d}/small.qlet"],
    "keyword": lambda d: ["lookup", "PatientName", "--dict", f"{d}/small.qlet"],
    "search": lambda d: ["search", "patient", "--dict", f"{d}/small.qlet"],
    "info": lambda d: ["info", f"{d}/small.qlet"],
    "build": lambda d: ["build", f"{d}/in.csv", "-o", f"{d}/out.qlet"],
}


@pytest.mark.parametrize("sub", EVERY_SUBCOMMAND)
def test_closed_standard_streams(built, sub):
    argv = EVERY_SUBCOMMAND[sub](built)
    code, err = closed(1, *argv)
    assert code == 2 and err.startswith("quillet: cannot write to standard output: it is closed"), err
    assert err.count("\n") == 1
    if sub == "build":  # the files are written all the same, and the message says so
        assert f"(wrote 1 entries to {built}/out.qlet and its companion {built}/out.qlix)" in err
    # Without standard error, the status still tells success from failure.
    assert closed(2, *argv)[0] == 0
    missing = [a.replace("small.qlet", "none.qlet").replace("in.csv", "none.csv") for a in argv]
    assert closed(2, *missing)[0] == 2


@pytest.mark.parametrize("sub", EVERY_SUBCOMMAND)
def test_running_out_of_memory_is_one_line(built, capsys, monkeypatch, sub):
    import quillet.cli as cli

    def exhausted(*args, **kwargs):
        raise MemoryError

    monkeypatch.setattr(cli, "emit", exhausted)
    monkeypatch.setattr(cli, "_read", exhausted)  # build: an input larger than memory
    code, out, err = run(capsys, *EVERY_SUBCOMMAND[sub](built))
    assert (code, out, err) == (
        2,
        "",
        "quillet: out of memory (is the input larger than this machine can hold?)\n",
    )


def test_odd_numbers_given_to_the_command(built, capsys):
    code, out, _ = run(capsys, "search", "patient", "--limit", "9" * 23, "--dict", f"{built}/small.qlet")
    assert (code, out) == (0, "(0010,0010) PatientName: -\n")
    assert run(capsys, "info", f"{built}/small.qlet", "--repeat", "0") == (
        2,
        "",
        "quillet: --repeat must be at least 1, not 0\n",
    )


def test_numbers_of_any_length_in_json_are_refused_by_row(tmp_path, capsys):
    huge = "9" * 5000
    src = tmp_path / "x.json"
    src.write_text(
        f'[{{"group": {huge}, "element": "0010"}},\n'
        f' {{"group": "0010", "element": "0011", "retired": -{huge}.5e3}},\n'
        f' {{"group": "0010", "element": "0012", "sources": ["a", {huge}]}}]'
    )
    code, out, err = run(capsys, "build", str(src), "-o", str(tmp_path / "o.qlet"))
    assert (code, out) == (2, "")
    assert err.splitlines() == [
        f'{src}:1: group: expected hexadecimal digits in a string, such as "0010", not a number (16 and "16" '
        "would otherwise name different tags)",
        f"{src}:2: retired: expected yes/no, true/false or 1/0, not a number",
        f"{src}:3: sources[1]: expected a string, not a number",
        "quillet: 3 bad row(s); nothing written",
    ]


def test_more_vm_texts_than_a_companion_holds(tmp_path, capsys):
    src = tmp_path / "x.csv"
    rows = (f"{0x10 + 2 * (n >> 16):04X},{n & 0xFFFF:04X},{n}\n" for n in range(0x10001))
    src.write_text("group,element,vm\n" + "".join(rows))
    code, out, err = run(capsys, "build", str(src), "-o", str(tmp_path / "o.qlet"))
    assert (code, out) == (2, "")
    assert err.splitlines() == [
        f"{src}:65537: vm: '65535' is distinct VM text number 65536; a companion holds at most 65535",
        "quillet: 1 bad row(s); nothing written",
    ]


@pytest.mark.parametrize(
    "name, text",
    [
        ("wide.csv", ",".join(f"c{n}" for n in range(40_000)) + ",group,element,c1\n"),
        ("wide.json", "[{" + ", ".join(f'"k{n}": "x"' for n in range(40_000)) + ', "k1": "y"}]'),
    ],
)
def test_wide_rows_are_read_in_linear_time(tmp_path, capsys, name, text):
    # Looking for names given twice once took a pass over all the others for each: tens of
    # seconds for these. The message names a few of the thousands.
    src = tmp_path / name
    src.write_text(text)
    code, _, err = run(capsys, "build", str(src), "-o", str(tmp_path / "o.qlet"))
    assert code == 2 and err.startswith(f"{src}:1: ") and "and 39990 more" in err, err
    assert err.count("\n") == 2 and len(err) < 1000


def test_output_named_as_its_own_companion(tmp_path, capsys):
    src = tmp_path / "in.csv"
    src.write_text("group,element\n0010,0010\n")
    code, out, err = run(capsys, "build", str(src), "-o", str(tmp_path / "x.qlix"))
    assert (code, out) == (2, "") and "leaves no room for one" in err
    assert os.listdir(tmp_path) == ["in.csv"]


def _truncated(comp):
    comp.write_bytes(comp.read_bytes()[:50])


def _folder(comp):
    comp.unlink()
    comp.mkdir()


def _another_builds(comp):
    writer.write_dictionary(comp.with_name("o.qlet"), [Entry(0x10, 0x10, keyword="Old")], companion=True)
    comp.with_name("o.qlix").replace(comp)


@pytest.mark.parametrize("damage", [_truncated, _folder, _another_builds])
def test_tag_lookup_needs_no_companion(tmp_path, damage):
    path = tmp_path / "d.qlet"
    writer.write_dictionary(path, [Entry(0x10, 0x10, keyword="PatientName", vm="1")], companion=True)
    damage(tmp_path / "d.qlix")
    code, out, err = command("lookup", "0010,0010", "--dict", str(path))
    assert code == 0 and out.startswith("(0010,0010) PatientName\n") and "vm:" not in out
    assert err.startswith("quillet: ") and err.endswith(
        "; its value multiplicity, VR choices and keywords are left out\n"
    ), err
    assert err.count("\n") == 1
    code, _, err = command("search", "x", "--dict", str(path))  # what needs it still says so
    assert code == 2 and err.count("\n") == 1


def test_arguments_decoded_as_the_system_decodes_them(built):
    # Under the C locale the interpreter decodes argv as ASCII with escapes; valid UTF-8 bytes
    # are still text, invalid ones still refused.
    env = {"LC_ALL": "C", "PYTHONUTF8": "0", "PYTHONCOERCECLOCALE": "0"}
    code, _, err = command("search", "θ", "--dict", f"{built}/small.qlet", env=env)
    assert (code, err) == (1, "")
    code, _, err = command("search", b"\xce", "--dict", f"{built}/small.qlet", env=env)
    assert (code, err) == (2, "quillet: TEXT: '\\udcce' is not valid UTF-8\n")


def test_undecodable_file_names_are_shown_alike(tmp_path):
    folder = os.fsencode(str(tmp_path)) + b"/\xfe"
    code, _, err = command("lookup", "0010,0010", "--dict", folder + b".qlet")
    assert (code, err) == (
        2,
        f"quillet: cannot open {tmp_path}/\\udcfe.qlet: io error: No such file or directory (os error 2)\n",
    )
    code, _, err = command("info", folder + b".qlet")
    assert (code, err) == (
        2,
        f"quillet: cannot open {tmp_path}/\\udcfe.qlet: io error: No such file or directory (os error 2)\n",
    )


def test_layers_and_the_creators_a_private_tag_needs(tmp_path, capsys):
    own = tmp_path / "own.qlet"
    writer.write_dictionary(
        own,
        [
            Entry(0x0010, 0x0010, keyword="PatientName", name="Own Name", vr="PN"),
            Entry(
                0x0029, 0x10, creator="ACME 1", keyword="CSAImageHeaderInfo", name="Acme", block_offset=True
            ),
        ],
        companion=True,
    )
    bundled = str(quillet.DEFAULT_PATH)
    code, out, _ = run(capsys, "lookup", "0010,0010", "--dict", str(own), "--dict", bundled)
    assert code == 0 and "  name:     Own Name\n" in out
    code, out, _ = run(capsys, "lookup", "0010,0020", "--dict", str(own), "--dict", bundled)
    assert code == 0 and out.startswith("(0010,0020) PatientID\n")
    code, out, err = run(capsys, "lookup", "0029,1010", "--dict", str(own), "--dict", bundled)
    assert (code, out) == (2, "") and err.startswith(
        "quillet: 0029,1010 is an element inside a private block; give its creator with --creator; defined "
        "under 'ACME 1'; "
    )
    assert "'SIEMENS CSA HEADER'" in err and err.count("\n") == 1
    code, out, err = run(capsys, "lookup", "CSAImageHeaderInfo", "--dict", str(own), "--dict", bundled)
    assert (code, out) == (2, "") and err.startswith(
        "quillet: CSAImageHeaderInfo is a private keyword; give its creator with --creator: 'ACME 1'; "
        "'SIEMENS CSA HEADER'"
    )
    code, out, _ = run(capsys, "lookup", "CSAImageHeaderInfo", "--creator", "acme 1", "--dict", str(own))
    assert code == 0 and out.startswith("(0029,xx10) CSAImageHeaderInfo\n")
    code, out, _ = run(capsys, "lookup", "0029,0010", "--creator", "ACME 1", "--dict", str(own))
    assert code == 0 and out.startswith("(0029,0010) PrivateCreator\n") and "rule: private creator" in out
