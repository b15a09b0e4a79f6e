"""quillet.writer: input checks, atomic writes, the bytes it lays out, and round trips."""

import dataclasses
import errno
import os
import random
import re
import signal
import socket
import stat
import struct
import subprocess
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import quillet
from quillet import _layout, writer
from quillet._unicode import hash_creator, normalize_creator
from quillet.writer import Entry, to_bytes, write_dictionary, write_file

from conftest import example_body

GOOD = Entry(0x0010, 0x0010, keyword="PatientName", name="Patient's Name", vr="PN")
ACME = Entry(0x0029, 0x10, creator="ACME", block_offset=True)
# Found by search: FNV-1a of "II7AVYR" is 0, and the two 8-letter words share a hash.
HASH_ZERO = "ii7avyr"
COLLIDING = ("bewpfyts", "YLXRESED")

# The one-entry file of 124 bytes, field by field.
WORKED = (
    b"QLET"
    + struct.pack("<H", 2)
    + bytes(26)
    + struct.pack("<IIHH", 0, 0, 0x10, 0x10)
    + struct.pack("<7I6H4B", 0, 2, 0, 4, 2, 6, 3, 0x10, 0x10, 2, 2, 0, 0, 18, 0, 0, 0)
    + b"KwNmDsA|B"
    + bytes(3)
    + struct.pack("<iIiIiI", -68, 1, -64, 1, -28, 9)
)
WORKED_ENTRY = Entry(0x10, 0x10, keyword="Kw", name="Nm", vr="PN", description="Ds", sources=("A", "B"))


def expected(entry):
    """What a lookup returns for `entry`: its fields but the VM, which only the companion holds."""
    fields = dataclasses.asdict(entry)
    del fields["vm"]
    return fields | {"sources": list(entry.sources)}


def bad(**changes):
    return [GOOD, dataclasses.replace(ACME, **changes)]


@pytest.mark.parametrize(
    "entries, message",
    [
        (bad(vr="XX"), "entry 1 (0029,0010 'ACME'): vr: 'XX' is not one of AE"),
        (bad(vr=None), "vr: None"),
        (bad(vr="OB or XX"), "vr: 'OB or XX' is not one of AE"),
        (bad(vr="OB or ??"), "nor choices of them written as 'OB or OW'"),
        (bad(vr="ob or ow"), "vr: 'ob or ow' is not one of"),
        (bad(vr="OB or OB"), "vr: 'OB or OB' names a VR twice"),
        (bad(keyword="k" * 65536), "keyword: is 65536 bytes"),
        (bad(name="é" * 32768), "name: is 65536 bytes"),
        (bad(creator="C" * 65536), "creator: is 65536 bytes"),
        (bad(keyword=b"Kw"), "keyword: must be a str, not bytes"),
        (bad(description="\udc80"), "description: cannot be encoded as UTF-8"),
        (bad(creator="AC\ud800"), "creator: cannot be encoded"),
        (bad(creator=" \u3000\u2003"), "creator: is only white space"),
        (bad(creator=HASH_ZERO), "creator: hashes to 0"),
        (bad(sources=("A|B",)), "sources[0]: 'A|B' contains '|'"),
        (bad(sources=("A", "")), "sources[1]: is empty"),
        (bad(sources=("A", 5)), "sources[1]: must be a str"),
        (bad(sources="AB"), "sources: must be a list or tuple of texts, in a stable order, not str"),
        # A set's order, and with it the file, would change from one run to the next.
        (bad(sources={"A", "B"}), "sources: must be a list or tuple of texts, in a stable order, not set"),
        # Control characters: C0, DEL and C1, in any text.
        (bad(keyword="Evil\x1b[2J"), "keyword: holds the control character U+001B at index 4"),
        (bad(description="a\x00b"), "description: holds the control character U+0000 at index 1"),
        (bad(creator="ACME\t1"), "creator: holds the control character U+0009 at index 4"),
        (bad(sources=("ok", "x\x9b")), "sources[1]: holds the control character U+009B at index 1"),
        (bad(name="\x7f"), "name: holds the control character U+007F"),
        # Tags that DICOM cannot have.
        ([Entry(0x0010, 0x10, creator="ACME")], "creator: given for group 0010, which is even"),
        ([Entry(0x0029, 0x10, keyword="Dose")], "creator: missing: group 0029 is private"),
        ([Entry(0xFFFF, 0x10)], "creator: missing: group FFFF is private"),
        ([Entry(0x0010, 0x10, block_offset=True)], "block_offset: only a private tag"),
        # A private group's creator elements and the reserved ones below them hold no data.
        (
            [Entry(0x0029, 0x10, creator="ACME")],
            "element: (0029,0010) is a private creator element, which holds a creator's name: an element "
            "inside the creator's block is given by its offset with block_offset (element xx10)",
        ),
        ([Entry(0x0029, 0x05, creator="ACME")], "element: (0029,0005) lies below every creator's block"),
        (bad(element=0x1010, block_offset=True), "block_offset: element 1010 is above 00FF"),
        (bad(group=0x10000), "entry 1 (65536,0010 'ACME'): group: must be an int"),
        (bad(group=-1), "group: must be an int"),
        (bad(element=True), "element: must be an int from 0 to 65535, not True"),
        (bad(group=41.0), "group: must be an int"),
        (bad(retired=1), "retired: must be a bool"),
        ([GOOD, {"group": 16}], "entry 1: entry: must be a quillet.writer.Entry, not dict"),
        (
            [ACME, GOOD, dataclasses.replace(ACME, creator=" acme ")],
            "entry 2 (0029,0010 ' acme '): same tag and creator as entry 0 (0029,0010 'ACME')",
        ),
        ([GOOD, dataclasses.replace(GOOD, keyword="Other")], "same tag and creator as entry 0"),
        (
            [
                Entry(9, 1, creator=COLLIDING[0], block_offset=True),
                Entry(11, 1, creator=COLLIDING[1], block_offset=True),
            ],
            "entry 1 (000B,0001 'YLXRESED'): creator: folds to 'YLXRESED', which hashes to 0x831C47DF "
            "like 'BEWPFYTS', so lookups could not tell it from the creator of "
            "entry 0 (0009,0001 'bewpfyts')",
        ),
    ],
)
def test_bad_input_is_refused_and_nothing_written(tmp_path, entries, message):
    path = tmp_path / "d.qlet"
    path.write_bytes(b"old")
    with pytest.raises(ValueError) as info:
        write_dictionary(path, entries)
    assert message in str(info.value)
    assert path.read_bytes() == b"old" and os.listdir(tmp_path) == ["d.qlet"]


def test_every_problem_is_listed():
    entries = [GOOD, dataclasses.replace(ACME, vr="XX"), GOOD, ACME, ACME, dataclasses.replace(GOOD, name=5)]
    with pytest.raises(writer.InvalidEntries) as info:
        to_bytes(entries)
    assert [(p.position, p.text, p.other and p.other[0]) for p in info.value.problems] == [
        (
            1,
            f"vr: 'XX' is not one of {' '.join(_layout.VR_CODES)}, nor choices of them written as 'OB or OW'",
            None,
        ),
        (2, "same tag and creator as", 0),
        (4, "same tag and creator as", 3),
        (5, "name: must be a str, not int", None),
    ]
    assert str(info.value).endswith("(and 3 more problems)")


def test_pool_that_offsets_cannot_reach_is_refused(monkeypatch):
    # Room for GOOD's 25 bytes of texts but not for ACME's 4 more.
    monkeypatch.setattr(writer, "_MAX_ROOT_POS", 2 * 56 + 3 + 28)
    to_bytes([GOOD, Entry(0x28, 0x10, keyword="Kw")])
    with pytest.raises(
        ValueError,
        match=r"entry 1 \(0029,0010 'ACME'\): creator: the string "
        r"pool would exceed 28 bytes",
    ):
        to_bytes([GOOD, ACME])


# ---- the file on disk ------------------------------------------------------------------------

TEMP = re.compile(r"d\.qlet\.quillet-[0-9a-f]{8}\.tmp")


def _fail_on(step, error):
    real = getattr(os, step)

    def fail(*args, **kwargs):
        # os.write of the standard streams must still work while the writer's own fails.
        if step == "write" and args[0] < 3:
            return real(*args, **kwargs)
        raise error

    return fail


@pytest.mark.parametrize(
    "step, error",
    [
        ("open", OSError(errno.EROFS, "Read-only file system")),
        ("write", OSError(errno.ENOSPC, "No space left on device")),
        ("fsync", OSError(errno.EIO, "Input/output error")),
        ("replace", OSError(errno.EXDEV, "Invalid cross-device link")),
        ("replace", KeyboardInterrupt()),
    ],
)
def test_failed_write_keeps_old_file_and_names_the_target(tmp_path, monkeypatch, step, error):
    path = tmp_path / "d.qlet"
    path.write_bytes(b"old")
    monkeypatch.setattr(os, step, _fail_on(step, error))
    with pytest.raises(type(error)) as info:
        write_dictionary(path, [GOOD])
    monkeypatch.undo()
    assert path.read_bytes() == b"old" and os.listdir(tmp_path) == ["d.qlet"]
    if isinstance(error, OSError):  # the user's file, not the temporary, and the system's reason
        assert (info.value.errno, info.value.strerror, info.value.filename) == (
            error.errno,
            error.strerror,
            str(path),
        )


def _device(p):
    if os.geteuid() != 0:
        pytest.skip("making a device node needs root")
    os.mknod(p, stat.S_IFCHR | 0o666, os.makedev(1, 3))  # our own node, with /dev/null's numbers


def _socket(p):
    s = socket.socket(socket.AF_UNIX)
    s.bind(str(p))
    s.close()


def _owned(p):
    if os.geteuid() != 0:
        pytest.skip("giving a file away needs root")
    p.write_bytes(b"old")
    os.chown(p, 4321, 8765)
    p.chmod(0o640)


def _link(p):
    real = p.with_name("real.qlet")
    real.write_bytes(b"old")
    real.chmod(0o640)
    p.symlink_to("real.qlet")


REFUSED = {
    # a target that is not a regular file: (make it, error, text, how it must still be)
    "directory": (os.mkdir, IsADirectoryError, "is a directory; nothing written", stat.S_ISDIR),
    "device": (_device, FileExistsError, "is a character device, not a regular file", stat.S_ISCHR),
    "fifo": (os.mkfifo, FileExistsError, "is a FIFO, not a regular file", stat.S_ISFIFO),
    "socket": (_socket, FileExistsError, "is a socket, not a regular file", stat.S_ISSOCK),
    "dangling link": (
        lambda p: p.symlink_to("gone.qlet"),
        FileNotFoundError,
        "is a symbolic link to gone.qlet, which does not exist",
        stat.S_ISLNK,
    ),
    "link loop": (lambda p: p.symlink_to(p.name), OSError, "Too many levels of symbolic links", stat.S_ISLNK),
}


@pytest.mark.parametrize("kind", REFUSED)
def test_target_that_is_no_regular_file_is_refused_untouched(tmp_path, kind):
    make, error, text, still = REFUSED[kind]
    path = tmp_path / "d.qlet"
    make(path)
    before = sorted(os.listdir(tmp_path)), path.lstat()
    with pytest.raises(error) as info:
        write_dictionary(path, [GOOD])
    assert text in info.value.strerror and info.value.filename == str(path)
    after = path.lstat()
    assert sorted(os.listdir(tmp_path)) == before[0] and still(after.st_mode)
    assert (after.st_ino, after.st_rdev, after.st_mtime_ns) == (
        before[1].st_ino,
        before[1].st_rdev,
        before[1].st_mtime_ns,
    )


KEPT = {
    # (make the old target, the file the data must land in, its mode, its owner and group)
    "new file": (lambda p: None, "d.qlet", 0o666 & ~0o022, None),
    "private mode": (lambda p: (p.write_bytes(b"old"), p.chmod(0o600)), "d.qlet", 0o600, None),
    "odd mode": (lambda p: (p.write_bytes(b"old"), p.chmod(0o751)), "d.qlet", 0o751, None),
    "owner and group": (_owned, "d.qlet", 0o640, (4321, 8765)),
    "symbolic link": (_link, "real.qlet", 0o640, None),
}


@pytest.mark.parametrize("kind", KEPT)
def test_replacement_keeps_link_mode_and_owner(tmp_path, kind):
    make, lands_in, mode, owner = KEPT[kind]
    path = tmp_path / "d.qlet"
    make(path)
    old_umask = os.umask(0o022)
    try:
        write_dictionary(path, [GOOD])
    finally:
        os.umask(old_umask)
    target = tmp_path / lands_in
    assert target.read_bytes() == to_bytes([GOOD]) and not target.is_symlink()
    assert path.is_symlink() == (kind == "symbolic link")
    st = target.stat()
    assert stat.S_IMODE(st.st_mode) == mode
    if owner is not None:
        assert (st.st_uid, st.st_gid) == owner
    assert not [n for n in os.listdir(tmp_path) if n.endswith(".tmp")]


def test_long_target_names_get_a_short_visible_temporary(tmp_path, monkeypatch):
    names = []
    real_open = os.open

    def recording_open(path, *args, **kwargs):
        names.append(os.path.basename(path))
        return real_open(path, *args, **kwargs)

    monkeypatch.setattr(os, "open", recording_open)
    long = "é" * 125 + ".qlet"  # 255 bytes: as long as a name may be
    for name in (long, "d.qlet"):
        write_dictionary(tmp_path / name, [GOOD])
    monkeypatch.undo()
    temporaries = [n for n in names if n.endswith(".tmp")]
    assert len(temporaries) == 2 and not any(n.startswith(".") for n in temporaries)
    assert TEMP.fullmatch(temporaries[1])
    assert temporaries[0].startswith("é" * 45) and len(temporaries[0].encode()) <= 120
    assert sorted(os.listdir(tmp_path)) == sorted([long, "d.qlet"])


# A writer held just before its data reaches the disk, by the library or by the command.
HELD_WRITE = """
import os, sys, time
from quillet import cli
from quillet.writer import Entry, write_dictionary

def hold(fd):
    print("holding", flush=True)
    time.sleep(120)

os.fsync = hold
if sys.argv[1] == "library":
    write_dictionary(sys.argv[2], [Entry(0x10, 0x10, keyword="Killed")])
else:
    cli.main(["build", sys.argv[3], "-o", sys.argv[2]])
"""


@pytest.mark.parametrize(
    "by, signum",
    [
        ("library", signal.SIGKILL),
        ("library", signal.SIGTERM),  # the library installs no handlers: as good as a kill
        ("command", signal.SIGKILL),
        ("command", signal.SIGTERM),
        ("command", signal.SIGHUP),
    ],
)
def test_killed_write_leaves_old_file_whole_and_next_write_sweeps(tmp_path, by, signum):
    path = tmp_path / "d.qlet"
    old, newer, newest = (
        to_bytes([dataclasses.replace(GOOD, keyword=k)]) for k in ("Old", "Newer", "Newest")
    )
    path.write_bytes(old)
    source = tmp_path / "in.csv"
    source.write_text("group,element,keyword\n0010,0010,Killed\n")
    child = subprocess.Popen(
        [sys.executable, "-c", HELD_WRITE, by, str(path), str(source)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        assert child.stdout.readline() == "holding\n", child.stderr.read()
        (held,) = [n for n in os.listdir(tmp_path) if n.endswith(".tmp")]
        assert TEMP.fullmatch(held)
        # A write meanwhile goes through, and leaves the live writer's temporary alone.
        write_file(path, newer)
        assert path.read_bytes() == newer and (tmp_path / held).exists()
        child.send_signal(signum)
        child.wait(timeout=60)
    finally:
        child.kill()
        child.wait()
    assert child.returncode == -signum and child.stderr.read() == ""
    assert path.read_bytes() == newer
    cleaned = by == "command" and signum != signal.SIGKILL
    assert (tmp_path / held).exists() == (not cleaned)
    write_file(path, newest)
    assert path.read_bytes() == newest and sorted(os.listdir(tmp_path)) == ["d.qlet", "in.csv"]


# ---- a dictionary and its companion, replaced together ------------------------------------------


def _pair_answers(path):
    """The keyword a companion beside `path` answers for (0010,0010), checked against its dictionary."""
    pair = quillet.open_companion(writer.companion_path(path), path)
    return pair.entries_for_keyword(pair.dict.lookup(0x10, 0x10)["keyword"])[0]["keyword"]


@pytest.mark.parametrize("name, link_to", [("y.qlix", None), ("d.qlet", "y.qlix")])
def test_output_whose_companion_is_itself_is_refused(tmp_path, name, link_to):
    if link_to is not None:  # a link whose target would become its own companion
        (tmp_path / link_to).write_bytes(b"old")
        (tmp_path / name).symlink_to(link_to)
    before = sorted(os.listdir(tmp_path))
    with pytest.raises(ValueError, match=r"would be that file itself|leaves no room for one"):
        write_dictionary(tmp_path / name, [GOOD], companion=True)
    assert sorted(os.listdir(tmp_path)) == before
    assert link_to is None or (tmp_path / link_to).read_bytes() == b"old"


@pytest.mark.parametrize("kind", ["directory", "fifo"])
def test_companion_target_refused_before_either_file_is_touched(tmp_path, kind):
    make, error, text, _ = REFUSED[kind]
    path = tmp_path / "d.qlet"
    write_dictionary(path, [GOOD], companion=True)
    (tmp_path / "d.qlix").unlink()
    make(tmp_path / "d.qlix")
    before = path.read_bytes()
    with pytest.raises(error) as info:
        write_dictionary(path, [dataclasses.replace(GOOD, keyword="New")], companion=True)
    assert text in info.value.strerror and info.value.filename == str(tmp_path / "d.qlix")
    assert path.read_bytes() == before and sorted(os.listdir(tmp_path)) == ["d.qlet", "d.qlix"]


def test_failure_between_the_two_files_says_which_was_written(tmp_path, monkeypatch):
    path = tmp_path / "d.qlet"
    write_dictionary(path, [GOOD], companion=True)
    real_replace, calls = os.replace, []

    def second_fails(src, dst):
        calls.append(dst)
        if len(calls) == 2:
            raise OSError(errno.ENOSPC, "No space left on device")
        return real_replace(src, dst)

    monkeypatch.setattr(os, "replace", second_fails)
    with pytest.raises(OSError) as info:
        write_dictionary(path, [dataclasses.replace(GOOD, keyword="New")], companion=True)
    monkeypatch.undo()
    assert info.value.filename == str(tmp_path / "d.qlix")
    assert info.value.strerror == (
        f"No space left on device; the dictionary {path} was written, but not its companion"
    )
    # The new dictionary and the old companion: refused together, never misread.
    assert quillet.open(path).lookup(0x10, 0x10)["keyword"] == "New"
    with pytest.raises(ValueError, match="built from other data"):
        quillet.open_companion(tmp_path / "d.qlix")
    assert sorted(os.listdir(tmp_path)) == ["d.qlet", "d.qlix"]


def test_companion_goes_beside_the_file_a_link_replaces(tmp_path):
    (tmp_path / "versions").mkdir()
    real = tmp_path / "versions" / "site-7.qlet"
    write_dictionary(real, [GOOD], companion=True)
    site = tmp_path / "site.qlet"
    site.symlink_to("versions/site-7.qlet")
    write_dictionary(site, [dataclasses.replace(GOOD, keyword="Newer")], companion=True)
    assert sorted(os.listdir(tmp_path)) == ["site.qlet", "versions"]
    assert _pair_answers(real) == "Newer"


@pytest.mark.parametrize(
    "companion, left",
    [(None, ["d.qlet", "d.qlix"]), (True, ["d.qlet", "d.qlix"]), (False, ["d.qlet"])],
)
def test_no_stale_companion_is_left_beside_a_new_dictionary(tmp_path, companion, left):
    path = tmp_path / "d.qlet"
    write_dictionary(path, [GOOD], companion=True)
    write_dictionary(path, [dataclasses.replace(GOOD, keyword="Newer")], companion=companion)
    assert sorted(os.listdir(tmp_path)) == left
    if "d.qlix" in left:
        assert _pair_answers(path) == "Newer"
    # Without a companion beside it, the default writes none.
    write_dictionary(tmp_path / "e.qlet", [GOOD])
    assert not (tmp_path / "e.qlix").exists()


CONCURRENT_WRITER = """
import sys
from quillet.writer import Entry, write_dictionary
path, me, rounds = sys.argv[1], sys.argv[2], int(sys.argv[3])
lost = 0
for n in range(rounds):
    try:
        write_dictionary(path, [Entry(0x10, 0x10, keyword=f"W{me}x{n}")])
    except OSError as exc:
        lost += 1
        print(exc, file=sys.stderr)
print(lost)
"""


def test_concurrent_writers_of_one_file_lose_no_write(tmp_path):
    # Each writer sweeps the temporaries that dead writers left, while the others create theirs.
    path = tmp_path / "d.qlet"
    rounds = 300 if os.environ.get("QUILLET_LONG") == "1" else 60
    writers = [
        subprocess.Popen(
            [sys.executable, "-c", CONCURRENT_WRITER, str(path), str(me), str(rounds)],
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
        )
        for me in range(6)
    ]
    results = [w.communicate(timeout=300) for w in writers]
    assert [(out, err) for out, err in results] == [("0\n", "")] * len(writers)
    assert quillet.open(path).lookup(0x10, 0x10)["keyword"].startswith("W")
    assert os.listdir(tmp_path) == ["d.qlet"]


def test_worked_example_bytes():
    body = example_body()
    assert len(WORKED) == 124
    assert _layout.pack_file(body) == WORKED == to_bytes([WORKED_ENTRY])


@pytest.mark.parametrize(
    "entries, body",
    [
        ([], struct.pack("<iIiIiI", 0, 0, -8, 0, -16, 0)),
        # No texts at all: the empty pool still points just past the records.
        (
            [Entry(1, 2, vr="??")],
            struct.pack("<IIHH", 0, 0, 1, 2)
            + struct.pack("<7I6H4B", *[0] * 7, 1, 2, 0, 0, 0, 0, 34, 0, 0, 0)
            + struct.pack("<iIiIiI", -56, 1, -52, 1, -16, 0),
        ),
    ],
)
def test_small_bodies(entries, body):
    assert to_bytes(entries) == _layout.header() + body


def test_index_sorted_and_texts_shared():
    entries = [
        Entry(0x0029, 0x10, creator=c, keyword="Dose", name="Dose", description="mGy", sources=("ACME",))
        for c in ("ACME", "Beta", "gamma", "Ωmega")
    ]
    entries += [
        Entry(g, e, keyword=f"K{g}.{e}", description="mGy")
        for g in (0x0028, 0x0029, 0xFFFE)
        for e in (0, 0x10, 0xE000)
    ]
    # Public and private keys of one (group, element) side by side: only the layout is at stake.
    data = writer._to_bytes(entries, dicom_rules=False)
    shuffled = entries[:]
    random.Random(7).shuffle(shuffled)
    assert writer._to_bytes(shuffled, dicom_rules=False) == data and len(data) % 4 == 0

    body, n = data[32:], len(entries)
    root = len(body) - 24
    refs = [struct.unpack_from("<iI", body, root + 8 * i) for i in range(3)]
    assert [root + 8 * i + off for i, (off, _) in enumerate(refs)] == [0, 12 * n, 56 * n]
    texts = {t for e in entries for t in (e.keyword, e.name, e.creator, e.description)}
    assert refs[2][1] == sum(len(t.encode()) for t in texts | {"ACME"})  # each text stored once
    index = [struct.unpack_from("<IIHH", body, 12 * i) for i in range(n)]
    assert [(g, e, h) for h, _, g, e in index] == sorted(
        (e.group, e.element, hash_creator(e.creator) if e.creator else 0) for e in entries
    )
    for i, (_, record, group, element) in enumerate(index):
        assert record == i and struct.unpack_from("<HH", body, 12 * n + 44 * i + 28) == (group, element)


# Round trips through the reader.


def test_worked_example_reads(tmp_path):
    path = tmp_path / "w.qlet"
    path.write_bytes(WORKED)
    d = quillet.open(path)
    assert len(d) == 1 and d.lookup(0x10, 0x10) == expected(WORKED_ENTRY)


def test_empty_dictionary_reads(tmp_path):
    write_dictionary(tmp_path / "e.qlet", [])
    d = quillet.open(tmp_path / "e.qlet")
    assert len(d) == 0 and not d and d.lookup(0x10, 0x10) is None


@pytest.mark.parametrize(
    "stored, asked, found",
    [
        *[("acme  corp", a, True) for a in ("ACME CORP", " ACME CORP ", "Acme\tCorp", "acme\xa0corp")],
        *[("acme  corp", a, False) for a in ("ACME\u200bCORP", None, "", " \t")],
        ("straße", "STRASSE", True),
        ("ﬃ lab", "FFI LAB", True),
    ],
)
def test_reader_folds_creators_like_writer(tmp_path, stored, asked, found):
    entry = Entry(0x0029, 0x10, creator=stored, keyword="Dose", block_offset=True)
    write_dictionary(tmp_path / "c.qlet", [entry])
    got = quillet.open(tmp_path / "c.qlet").lookup(0x0029, 0x10, asked)
    assert got == (expected(entry) if found else None)


@pytest.mark.parametrize("field", ["keyword", "name", "creator", "description", "sources"])
def test_invalid_utf8_reads_as_empty(tmp_path, field):
    # Pool: "Kw" "Nm" "ACME" "Ds" "A|B", then an encoded surrogate, which strict UTF-8 refuses.
    pool = b"KwNmACMEDsA|B\xed\xa0\x80"
    refs = {
        "keyword": (0, 2),
        "name": (2, 2),
        "creator": (4, 4),
        "description": (8, 2),
        "sources": (10, 3),
    } | {field: (13, 3)}
    record = _layout.RawRecord(
        group=0x29,
        element=0x10,
        vr=18,
        **{f"{f}_{part}": v for f, ref in refs.items() for part, v in zip(("off", "len"), ref, strict=True)},
    )
    # A stored creator that is not UTF-8 folds to no requested text, so that record is reached
    # only by a lookup without creator.
    asked = None if field == "creator" else "ACME"
    body = _layout.Body([_layout.RawIndexEntry(0x29, 0x10, hash_creator(asked))], [record], pool)
    (tmp_path / "u.qlet").write_bytes(_layout.pack_file(body))
    want = expected(
        Entry(
            0x29, 0x10, creator="ACME", keyword="Kw", name="Nm", vr="PN", description="Ds", sources=("A", "B")
        )
    )
    want[field] = [] if field == "sources" else ""
    assert quillet.open(tmp_path / "u.qlet").lookup(0x29, 0x10, asked) == want


# Any text the writer takes: no surrogates, no control characters.
_text = st.text(st.characters(exclude_categories=("Cs", "Cc")), max_size=6)
_creator = st.one_of(
    st.sampled_from(["ACME", "acme 1.0", "straße", "Ünï  Cörp"]),
    _text.filter(lambda c: normalize_creator(c) != "" and hash_creator(c) != 0),
)
_texts = {
    "keyword": _text,
    "name": _text,
    "description": _text,
    "vr": st.sampled_from(list(_layout.VR_CODES)),
    "retired": st.booleans(),
    "sources": st.lists(
        st.text(
            st.characters(exclude_categories=("Cs", "Cc"), exclude_characters="|"), min_size=1, max_size=4
        ),
        max_size=3,
    ).map(tuple),
}
_public = st.builds(
    Entry,
    st.sampled_from([0, 0x0008, 0xFFFE]) | st.integers(0, 0x7FFF).map(lambda g: 2 * g),
    st.sampled_from([0, 0x10]) | st.integers(0, 0xFFFF),
    **_texts,
)
_private = st.one_of(
    st.builds(
        Entry,
        st.sampled_from([0x0009, 0x0029, 0xFFFF]) | st.integers(5, 0x7FFF).map(lambda g: 2 * g + 1),
        st.integers(0, 0xFF),
        creator=_creator,
        block_offset=st.just(True),
        **_texts,
    ),
    st.builds(
        Entry, st.sampled_from([0x0029, 0x7FE1]), st.integers(0x100, 0xFFFF), creator=_creator, **_texts
    ),
)
_entries = st.lists(
    _public | _private,
    max_size=25,
    unique_by=lambda e: (e.group, e.element, hash_creator(e.creator) if e.creator else 0),
)


@settings(max_examples=60, deadline=None)
@given(entries=_entries)
def test_round_trip(tmp_path_factory, entries):
    path = tmp_path_factory.mktemp("rt") / "d.qlet"
    write_dictionary(path, entries)
    d = quillet.open(path)
    assert len(d) == len(entries)
    for e in entries:
        assert d.lookup(e.group, e.element, e.creator or None) == expected(e)
