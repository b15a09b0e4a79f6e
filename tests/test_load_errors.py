"""Opening files: every refusal with its exception class and exact text, and no leaked descriptor."""

from __future__ import annotations

import os
import pathlib
import struct

import pytest

import quillet
from quillet import _layout as L

from conftest import example_body, open_fds

pytestmark = pytest.mark.usefixtures("no_fd_leak")


def oserror(path) -> OSError:
    with pytest.raises(OSError) as e:
        quillet.open(path)
    err = e.value
    assert type(err) is OSError
    assert len(err.args) == 1 and (err.errno, err.strerror, err.filename) == (None, None, None)
    assert err.__cause__ is None and err.__context__ is None
    return err


def test_missing_file(tmp_path):
    path = str(tmp_path / "missing.qlet")
    err = oserror(path)
    assert str(err) == f"cannot open {path}: io error: No such file or directory (os error 2)"
    with pytest.raises(IOError):
        quillet.open(path)
    # The plain class: a handler for the errno subclass must not see it.
    try:
        quillet.open(path)
    except FileNotFoundError:  # pragma: no cover
        pytest.fail("raised a subclass of OSError")
    except OSError:
        pass


def test_directory(tmp_path):
    assert str(oserror(tmp_path)) == f"cannot open {tmp_path}: io error: Is a directory (os error 21)"


def test_fifo_does_not_block(tmp_path):
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    assert str(oserror(fifo)) == f"cannot open {fifo}: io error: No such device (os error 19)"


def test_device():
    assert str(oserror("/dev/null")) == "cannot open /dev/null: io error: No such device (os error 19)"


def test_unreadable(tmp_path):
    if os.geteuid() == 0:
        pytest.skip("root reads any file")
    p = tmp_path / "locked.qlet"
    p.write_bytes(L.pack_file(example_body()))
    p.chmod(0)
    assert str(oserror(p)).endswith("Permission denied (os error 13)")


@pytest.mark.parametrize("path", ["a\0b", "\0"], ids=["inner", "alone"])
def test_nul_in_path_is_io_without_code(path):
    err = oserror(path)
    assert str(err).startswith("cannot open ")
    assert str(err).endswith(": io error: file name contained an unexpected NUL byte")


def test_lone_surrogate_path_is_shown_replaced(tmp_path):
    # U+DC80..U+DCFF escape raw bytes, so this names the file b"\x80x" and is simply missing.
    path = str(tmp_path) + "/\udc80x"
    assert (
        str(oserror(path))
        == f"cannot open {tmp_path}/\ufffdx: io error: No such file or directory (os error 2)"
    )
    # U+D800 has no byte form at all.
    err = oserror("\ud800.qlet")
    assert str(err) == "cannot open \ufffd.qlet: io error: file name cannot be encoded"


@pytest.mark.parametrize("size", [0, 1, 31])
def test_too_small(write, size):
    p = write(L.MAGIC + bytes(size)[: max(0, size - 4)] if size >= 4 else b"Q" * size)
    assert str(oserror(p)) == f"cannot open {p}: file too small ({size} bytes) to contain a header"


def test_too_small_wins_over_bad_magic(write):
    p = write(b"PK\x03\x04" + bytes(20))
    assert "file too small (24 bytes)" in str(oserror(p))


def test_bad_magic(write):
    p = write(b"PK\x03\x04" + struct.pack("<H", 2) + bytes(100))
    assert str(oserror(p)) == f"cannot open {p}: bad magic bytes [80, 75, 3, 4]"


@pytest.mark.parametrize("version", [0, 1, 3, 65535])
def test_unsupported_version(write, version):
    p = write(L.header(version=version) + b"\xff" * 7)
    with pytest.raises(ValueError) as e:
        quillet.open(p)
    assert type(e.value) is ValueError
    assert e.value.args == (f"unsupported .qlet version {version}",)


def test_bad_magic_wins_over_version(write):
    p = write(L.header(magic=b"QLEX", version=7) + bytes(24))
    assert "bad magic bytes [81, 76, 69, 88]" in str(oserror(p))


def test_header_padding_is_ignored(write):
    body = L.pack_file(example_body())
    p = write(L.header(rest=bytes(range(26))) + body[32:])
    assert len(quillet.open(p)) == 1


def test_worked_example_opens():
    data = L.pack_file(example_body())
    assert len(data) == 124


def test_path_forms(write, monkeypatch):
    p = write(example_body())

    class Custom:
        def __fspath__(self):
            return str(p)

    monkeypatch.chdir(p.parent)
    for form in (str(p), p, pathlib.PurePath(p), Custom(), p.name):
        assert len(quillet.open(form)) == 1
    err = oserror("./missing.qlet")
    assert str(err).startswith("cannot open ./missing.qlet: ")


@pytest.mark.parametrize(
    "arg, message",
    [
        (b"/tmp/x.qlet", "'bytes' object is not an instance of 'str'"),
        (42, "expected str, bytes or os.PathLike object, not int"),
        (None, "expected str, bytes or os.PathLike object, not NoneType"),
    ],
)
def test_path_type_errors(arg, message):
    before = open_fds()
    with pytest.raises(TypeError) as e:
        quillet.open(arg)
    assert str(e.value) == message
    assert e.value.__notes__ == ["while processing 'path'"]
    assert open_fds() == before


def test_fspath_returning_bytes_names_the_returned_type():
    class BytesPath:
        def __fspath__(self):
            return b"/tmp/x.qlet"

    with pytest.raises(TypeError) as e:
        quillet.open(BytesPath())
    assert str(e.value) == "'bytes' object is not an instance of 'str'"
    assert e.value.__notes__ == ["while processing 'path'"]


def test_fspath_raising_keeps_its_exception():
    class Broken:
        def __fspath__(self):
            raise KeyError("nope")

    with pytest.raises(KeyError) as e:
        quillet.open(Broken())
    assert e.value.__notes__ == ["while processing 'path'"]


def test_dropping_a_handle_closes_its_file(write):
    p = write(example_body())
    before = open_fds()
    h = quillet.open(p)
    assert open_fds() == before + 1
    with h:
        pass
    assert open_fds() == before + 1  # leaving the block releases nothing
    del h
    assert open_fds() == before


def test_two_opens_are_independent(write):
    p = write(example_body())
    a, b = quillet.open(p), quillet.open(p)
    assert a is not b
    del a
    assert b.lookup(0x10, 0x10)["keyword"] == "Kw"


def test_mapping_is_released(write):
    p = write(example_body())

    def maps() -> int:
        with open("/proc/self/maps") as f:
            return sum(str(p) in line for line in f)

    h = quillet.open(p)
    assert maps() == 1
    del h
    assert maps() == 0
