"""Replacing files on disk safely: what :func:`quillet.writer.write_file` and
:func:`quillet.writer.write_dictionary` do with the bytes they made.

A file is replaced, never edited: its new content goes to a temporary beside it, which is
flushed and then renamed over it.  :class:`Replacement` splits that into preparing (the
temporary written and flushed, nothing visible changed) and committing (the rename), so that a
dictionary and its companion can both be prepared before either is replaced.
"""

from __future__ import annotations

import contextlib
import errno
import os
import re
import stat
import sys
import zlib
from collections.abc import Iterator

# Temporaries are "NAME.quillet-XXXXXXXX.tmp" beside the target; a NAME longer than this many
# bytes is cut and given a hash of the whole, so that the temporary's name stays far below the
# 255 bytes that file systems allow whatever the target is called.
_STEM_MAX = 100
_TMP_MARK, _TMP_END = ".quillet-", ".tmp"
_TMP_RANDOM = re.compile("[0-9a-f]{8}")


def _stem(name: str) -> str:
    if len(os.fsencode(name)) <= _STEM_MAX:
        return name
    digest = f"~{zlib.crc32(os.fsencode(name)):08x}"
    cut = name
    while len(os.fsencode(cut)) > _STEM_MAX - len(digest):
        cut = cut[:-1]
    return cut + digest


def _kind(mode: int) -> str:
    for test, what in (
        (stat.S_ISDIR, "a directory"),
        (stat.S_ISCHR, "a character device"),
        (stat.S_ISBLK, "a block device"),
        (stat.S_ISFIFO, "a FIFO"),
        (stat.S_ISSOCK, "a socket"),
    ):
        if test(mode):
            return what
    return "of an unknown kind"


def resolve(path: str) -> tuple[str, os.stat_result | None]:
    """The regular file that writing `path` replaces, after links, and its status (None if it
    does not exist yet); refuses anything else with an OSError naming `path`."""
    try:
        st = os.lstat(path)
    except FileNotFoundError:
        return path, None
    target = path
    if stat.S_ISLNK(st.st_mode):
        try:
            target = os.path.realpath(path, strict=True)
        except FileNotFoundError:
            # Creating the file a dangling link names could put it anywhere; the user decides.
            raise FileNotFoundError(
                errno.ENOENT,
                f"is a symbolic link to {os.readlink(path)}, which does not exist; nothing written",
                path,
            ) from None
        st = os.stat(target)
    if stat.S_ISDIR(st.st_mode):
        raise IsADirectoryError(errno.EISDIR, "is a directory; nothing written", path)
    if not stat.S_ISREG(st.st_mode):
        raise FileExistsError(
            errno.EEXIST, f"is {_kind(st.st_mode)}, not a regular file; nothing written", path
        )
    return target, st


def told_about(exc: OSError, path: str) -> OSError:
    """The error of a step on a temporary (or any other file), told about `path` instead."""
    if exc.filename == path:
        return exc
    return OSError(exc.errno, exc.strerror or str(exc), path)


# ---- locks: a temporary in use is never swept --------------------------------------------------
#
# A writer holds an exclusive lock on its temporary until the rename; a sweeper removes only
# temporaries it can lock, which the kernel unlocks when their writer dies however it dies. A
# temporary exists for a moment before its writer locks it, so a writer creates and locks it
# under a shared lock of the folder, and a sweeper sweeps only under an exclusive one: no sweeper
# ever sees a live temporary unlocked.

if sys.platform != "win32":
    import fcntl

    def _lock(fd: int, how: int) -> bool:
        try:
            fcntl.flock(fd, how)
        except OSError:
            return False
        return True

    @contextlib.contextmanager
    def _folder_lock(folder: str, exclusive: bool) -> Iterator[bool]:
        """Hold the folder's lock: True when held. A shared one is waited for (sweeps are short),
        an exclusive one is not (another writer at work makes sweeping now pointless)."""
        try:
            fd = os.open(folder, os.O_RDONLY | getattr(os, "O_DIRECTORY", 0) | getattr(os, "O_CLOEXEC", 0))
        except OSError:
            yield False
            return
        try:
            yield _lock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB if exclusive else fcntl.LOCK_SH)
        finally:
            os.close(fd)  # drops the lock

    def _lock_temporary(fd: int) -> bool:
        return _lock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)

    def _locked_by_another(fd: int) -> bool:
        return not _lock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)

else:

    @contextlib.contextmanager
    def _folder_lock(folder: str, exclusive: bool) -> Iterator[bool]:
        # Windows removes no file that another process holds open, which says the same.
        yield True

    def _lock_temporary(fd: int) -> bool:
        return True

    def _locked_by_another(fd: int) -> bool:
        return False


def _sweep(folder: str, stem: str) -> None:
    """Remove the temporaries that killed writes of this target left behind: those that no
    writer holds locked."""
    prefix = stem + _TMP_MARK
    with _folder_lock(folder, exclusive=True) as held:
        if not held:
            return
        try:
            names = [
                n
                for n in os.listdir(folder)
                if n.startswith(prefix)
                and n.endswith(_TMP_END)
                and _TMP_RANDOM.fullmatch(n[len(prefix) : -len(_TMP_END)])
            ]
        except OSError:
            return
        for name in names:
            path = os.path.join(folder, name)
            flags = os.O_RDONLY | getattr(os, "O_NOFOLLOW", 0) | getattr(os, "O_NONBLOCK", 0)
            try:
                fd = os.open(path, flags | getattr(os, "O_CLOEXEC", 0))
            except OSError:
                continue
            try:
                st = os.fstat(fd)
                if not stat.S_ISREG(st.st_mode) or _locked_by_another(fd):
                    continue
                # The name must still be this file: its writer may have renamed it meanwhile.
                now = os.lstat(path)
                if (now.st_dev, now.st_ino) == (st.st_dev, st.st_ino):
                    os.unlink(path)
            except OSError:
                pass
            finally:
                os.close(fd)


def _keep_owner_and_mode(fd: int, tmp: str, old: os.stat_result) -> None:
    """Give the new file the old one's owner and group where this process may, then its
    permission bits (after the owner: a change of owner clears set-id bits)."""
    if hasattr(os, "fchown"):
        mine = os.fstat(fd)
        if (mine.st_uid, mine.st_gid) != (old.st_uid, old.st_gid):
            for uid in (old.st_uid, -1):
                try:
                    os.fchown(fd, uid, old.st_gid)
                    break
                except PermissionError:
                    continue
    mode = stat.S_IMODE(old.st_mode)
    if hasattr(os, "fchmod") and os.name == "posix":
        os.fchmod(fd, mode)
    else:
        os.chmod(tmp, mode)


class Replacement:
    """The new content of one file, written to a locked temporary beside it and flushed; the
    file itself is unchanged until :meth:`commit`.  :meth:`discard` (also on any failure of
    preparing) removes the temporary.  Errors are OSErrors naming `path`, never the temporary.
    """

    def __init__(self, path: str | os.PathLike[str], data: bytes) -> None:
        self.shown = os.fsdecode(path)
        self.target, old = resolve(self.shown)
        folder, name = os.path.split(self.target)
        self.folder = folder or os.curdir
        stem = _stem(name)
        _sweep(self.folder, stem)
        self._fd = -1
        self._tmp = ""
        flags = (
            os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_BINARY", 0) | getattr(os, "O_CLOEXEC", 0)
        )
        try:
            with _folder_lock(self.folder, exclusive=False):
                self._tmp = os.path.join(self.folder, f"{stem}{_TMP_MARK}{os.urandom(4).hex()}{_TMP_END}")
                # A replacement starts private and gets the old mode once written; a new file
                # gets the umask's mode from the start, as any new file would.
                self._fd = os.open(self._tmp, flags, 0o600 if old is not None else 0o666)
                if not _lock_temporary(self._fd):
                    raise OSError(errno.ENOLCK, "cannot lock the temporary file", self._tmp)
            view = memoryview(data)
            while view:
                view = view[os.write(self._fd, view) :]
            if old is not None:
                _keep_owner_and_mode(self._fd, self._tmp, old)
            os.fsync(self._fd)
        except OSError as exc:
            self.discard()
            raise told_about(exc, self.shown) from None
        except BaseException:
            self.discard()
            raise

    def commit(self) -> None:
        """Rename the temporary over the file; on failure the temporary is removed and the file
        is as it was."""
        try:
            resolve(self.shown)  # nothing may have put a directory or device there meanwhile
            if os.name != "posix":  # Windows renames no open file; POSIX keeps the lock to the end
                os.close(self._fd)
                self._fd = -1
            os.replace(self._tmp, self.target)
            self._tmp = ""
        except OSError as exc:
            self.discard()
            raise told_about(exc, self.shown) from None
        except BaseException:
            self.discard()
            raise
        finally:
            self._close()
        sync_folder(self.folder)

    def discard(self) -> None:
        if self._tmp:
            with contextlib.suppress(OSError):
                os.unlink(self._tmp)
            self._tmp = ""
        self._close()

    def _close(self) -> None:
        if self._fd >= 0:
            os.close(self._fd)
            self._fd = -1


def sync_folder(folder: str) -> None:
    """Make a rename or removal in `folder` durable; best effort."""
    if os.name == "posix":
        with contextlib.suppress(OSError):
            dir_fd = os.open(folder, os.O_RDONLY)
            try:
                os.fsync(dir_fd)
            finally:
                os.close(dir_fd)
