"""The ``quillet`` command: look a tag up, describe a dictionary file, compile your own.

quillet lookup 0010,0010
quillet lookup PatientName
quillet lookup 1.2.840.10008.1.2.1
quillet lookup 0029,1010 --creator "SIEMENS CSA HEADER"
quillet search "patient birth"
quillet info
quillet build my-private.csv -o my-private.qlet
quillet dump image.dcm

Exit status: 0 found (or done), 1 not found, 2 anything else the user can put right (bad
input, an unreadable, corrupt or unwritable file, an output that cannot take the answer). Each
such error is one line on standard error; no traceback.
"""

from __future__ import annotations

import argparse
import contextlib
import os
import re
import signal
import statistics
import sys
import time
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, NoReturn

from . import Dict, __version__, _uid_cli, writer
from . import open as open_dict
from ._build_input import decode, read_csv, read_json, to_entry, unlimited_csv_fields
from ._terminal import BadInput, complain, emit, json_line, park_stdout, shown
from .writer import Entry

if TYPE_CHECKING:
    from collections.abc import Mapping

    from ._annotate import Annotation
    from ._types import TagInfo
    from .dictionary import Dictionary

EXIT_FOUND = 0
EXIT_NOT_FOUND = 1
EXIT_BAD_INPUT = 2


class _Signalled(BaseException):
    """SIGTERM or SIGHUP arrived: unwind (removing temporaries), then die of the signal."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


# ---- tags and dictionaries ------------------------------------------------------------------

_TAG = re.compile(
    r"(?P<open>\()?\s*(?P<group>[0-9A-Fa-f]{4})\s*,?\s*"
    r"(?P<element>[0-9A-Fa-f]{4}|[xX]{2}[0-9A-Fa-f]{2})\s*(?P<close>\))?"
)


@dataclass(frozen=True)
class Tag:
    """A TAG argument: the numbers, whether it was written in the block form (gggg,xxee),
    and the text as the user wrote it, for messages."""

    group: int
    element: int
    block_form: bool
    text: str

    @property
    def private(self) -> bool:
        return self.group % 2 == 1 and self.group > 0x0008


def read_tag(text: str) -> Tag:
    m = _TAG.fullmatch(text.strip())
    if not m or (m["open"] is None) != (m["close"] is None):
        raise BadInput(
            f"not a tag: {text!r} (expected GGGG,EEEE, (GGGG,EEEE) or GGGGEEEE in hexadecimal, "
            "or GGGG,xxEE inside a private block)"
        )
    element = m["element"]
    block_form = element[:2] in ("xx", "XX", "xX", "Xx")
    return Tag(int(m["group"], 16), int(element[2:] if block_form else element, 16), block_form, text)


def parse_tag(text: str) -> tuple[int, int]:
    """'0010,0010', '(0010,0010)', '00100010' or, for a private block, '0029,xx10'."""
    tag = read_tag(text)
    return tag.group, tag.element


def text_argument(option: str, value: str | None) -> str | None:
    """An argument that is text, not a file name: it must have been valid UTF-8.

    The interpreter decodes the command line as it decodes file names (in the locale's
    encoding, undecodable bytes kept as lone surrogates); the bytes are taken back and read as
    UTF-8, so that valid UTF-8 is text whatever the locale says."""
    if value is None:
        return None
    try:
        value.encode("utf-8")
        return value
    except UnicodeEncodeError:
        pass
    try:
        return os.fsencode(value).decode("utf-8")
    except (UnicodeError, ValueError):
        raise BadInput(f"{option}: {value!r} is not valid UTF-8") from None


def _fault_free_path(path: str) -> str:
    """`path` as the extension writes it into its messages: lone surrogates as U+FFFD."""
    return re.sub("[\ud800-\udfff]", "\ufffd", path)


def _open(path: str | os.PathLike[str]) -> Dict:
    text = os.fspath(path)
    try:
        return open_dict(path)
    except OSError as exc:  # "cannot open {path}: ...", the path as the extension shows it
        message, prefix = str(exc), f"cannot open {_fault_free_path(text)}: "
        if message.startswith(prefix):  # shown as every other path the command prints
            message = f"cannot open {shown(text)}: {message[len(prefix) :]}"
        raise BadInput(message) from None
    except ValueError as exc:  # a format version this build does not read
        raise BadInput(f"cannot open {shown(text)}: {exc}") from None


@contextlib.contextmanager
def _no_fault_report() -> Iterator[None]:
    """Keep the extension's own report of an internal fault off standard error: the command
    reports the fault itself, in one line that names the file."""
    try:
        sys.stderr.flush()
        saved = os.dup(2)
    except (OSError, ValueError, AttributeError):
        yield
        return
    try:
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, 2)
        os.close(null)
        yield
    finally:
        os.dup2(saved, 2)
        os.close(saved)


# Where the extensions' internal-error classes live: a fault that only a corrupt file can cause.
_INTERNAL_ERRORS = ("quillet._quillet", "quillet._companion")


def query[T](paths: list[str], call: Callable[[], T]) -> T:
    """Run a query of the dictionaries at `paths`; a fault that only a corrupt file can cause
    becomes a BadInput naming them."""
    try:
        with _no_fault_report():
            return call()
    except BaseException as exc:
        if type(exc).__module__ in _INTERNAL_ERRORS:  # an extension's internal error
            raise BadInput(f"{_where(paths)}: corrupt dictionary: {exc}") from None
        raise


def tag_text(e: Mapping[str, Any]) -> str:
    element = f"xx{e['element']:02X}" if e["block_offset"] else f"{e['element']:04X}"
    return f"({e['group']:04X},{element})"


def vr_text(vr: str, vrs: tuple[str, ...] | None) -> str:
    """The VR for people: the choices where the entry has several, as the standard writes them."""
    if vr != "??":
        return vr
    if vrs is None:
        return "??  (several or none; the dictionary has no companion to say which)"
    return " or ".join(vrs) if vrs else "none"


def describe(e: TagInfo) -> str:
    lines = [
        f"{tag_text(e)} {shown(e['keyword']) or '(no keyword)'}",
        f"  name:     {shown(e['name']) or '-'}",
        f"  vr:       {vr_text(e['vr'], e['vrs'])}",
        *([f"  vm:       {shown(e['vm'])}"] if e["vm"] else []),
        f"  retired:  {'yes' if e['retired'] else 'no'}",
        f"  creator:  {shown(e['creator']) or '- (public)'}",
        f"  sources:  {shown('; '.join(e['sources'])) or '-'}",
    ]
    if e["description"]:
        lines.append(f"  note:     {shown(e['description'])}")
    return "\n".join(lines)


def _paths(args: argparse.Namespace) -> list[str]:
    """The dictionary files of --dict, in the order they answer; none for the bundled one."""
    return [str(p) for p in args.dict or []]


def _where(paths: list[str]) -> str:
    return ", ".join(paths) if paths else "the bundled dictionary"


def _dictionary(args: argparse.Namespace, *, strict: bool) -> Dictionary:
    """The layers of --dict (or the bundled dictionary). Without `strict`, a companion that cannot
    be used costs its layer the VM, the VR choices and keywords, which one line says."""
    from .dictionary import Dictionary

    paths = _paths(args)
    try:
        d = Dictionary(*paths, strict=strict)
    except OSError as exc:
        raise BadInput(_open_message(exc, paths)) from None
    except ValueError as exc:  # another format version, or a companion that does not belong
        raise BadInput(
            str(exc) if str(exc).startswith("cannot ") else f"cannot open {_where(paths)}: {exc}"
        ) from None
    for problem in d.problems:
        complain(f"{problem}; its value multiplicity, VR choices and keywords are left out")
    return d


def _open_message(exc: OSError, paths: list[str]) -> str:
    """An open error, its path shown as every path the command prints."""
    message = str(exc)
    for path in paths:
        prefix = f"cannot open {_fault_free_path(path)}: "
        if message.startswith(prefix):
            return f"cannot open {shown(path)}: {message[len(prefix) :]}"
    return message


_KEYWORD = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")


def _listed(creators: list[str]) -> str:
    return "; ".join(repr(c) for c in creators[:20]) + (
        f" and {len(creators) - 20} more" if len(creators) > 20 else ""
    )


def cmd_lookup(args: argparse.Namespace) -> int:
    creator = text_argument("--creator", args.creator)
    paths = _paths(args)
    text = args.tag.strip()
    if _uid_cli.is_uid_text(text):
        return _uid_cli.lookup(_dictionary(args, strict=True), text, args.json, _where(paths))
    keyword = None if _TAG.fullmatch(text) else _KEYWORD.fullmatch(text)
    d = _dictionary(args, strict=keyword is not None)
    if keyword is not None:
        word = keyword.group(0)
        tag = query(paths, lambda: d.tag(word, creator))
        if tag is None and creator is None:  # a UID's keyword, then: ExplicitVRLittleEndian
            info = _uid_cli.ask(lambda: query(paths, lambda: _uid_cli.by_keyword(d, word)))
            if info is not None:
                return _uid_cli.show(info, args.json)
        if tag is None:
            under = f" under creator {creator!r}" if creator is not None else ""
            owners = [] if creator is not None else sorted({e["creator"] for e in d.entries(word)} - {""})
            if owners:
                raise BadInput(
                    f"{word} is a private keyword; give its creator with --creator: {_listed(owners)}"
                )
            complain(f"no entry with keyword {word!r}{under} in {_where(paths)}")
            return EXIT_NOT_FOUND
        found = tag
        entry = query(paths, lambda: d.entry(found, creator))
    else:
        parsed = read_tag(args.tag)
        if parsed.private and creator is None and (parsed.block_form or parsed.element >= 0x1000):
            owners = query(paths, lambda: d.creators(text))
            defined = (
                f"; defined under {_listed(owners)}"
                if owners
                else "; no creator in the dictionary defines it"
            )
            block = "an element inside a private block"
            raise BadInput(f"{parsed.text} is {block}; give its creator with --creator{defined}")
        entry = query(paths, lambda: d.entry(text, creator))
    if entry is None:
        under = f" under creator {creator!r}" if creator is not None else ""
        complain(f"{args.tag}{under} is not in {_where(paths)}")
        return EXIT_NOT_FOUND
    emit(json_line(entry) if args.json else describe(entry))
    return EXIT_FOUND


def cmd_search(args: argparse.Namespace) -> int:
    if args.limit < 0:
        raise BadInput(f"--limit must not be negative, not {args.limit}")
    text = text_argument("TEXT", args.text)
    assert text is not None
    creator = text_argument("--creator", args.creator)
    paths = _paths(args)
    d = _dictionary(args, strict=True)
    if not any(hasattr(layer, "index") for layer in d._layers):
        from .writer import companion_path

        missing = [companion_path(p) for p in paths]
        raise BadInput(
            f"search needs the companion of {_where(paths)} ({', '.join(missing)}), which is not there "
            "(quillet build writes it beside the dictionary)"
        )
    found = query(paths, lambda: d.search(text, creator=creator, limit=args.limit or None))
    if creator is None:  # registered UIDs too, which have no creator
        uids = _uid_cli.ask(lambda: query(paths, lambda: d.search_uids(text, limit=args.limit or None)))
        found = _uid_cli.merge(found, uids, text, args.limit or None)
    for entry in found:
        if "uid" in entry:
            emit(json_line(entry) if args.json else _uid_cli.search_line(entry))
        elif args.json:
            emit(json_line(entry))
        else:
            under = f"  [{shown(entry['creator'])}]" if entry["creator"] else ""
            emit(
                f"{tag_text(entry)} {shown(entry['keyword']) or '(no keyword)'}: "
                f"{shown(entry['name']) or '-'}{under}"
            )
    return EXIT_FOUND if found else EXIT_NOT_FOUND


def cmd_dump(args: argparse.Namespace) -> int:
    from . import _dump

    d = _dictionary(args, strict=False)
    paths = _paths(args)
    failed = 0
    for source in args.files:
        try:
            dataset = _dump.read(source)
        except BadInput as exc:
            complain(str(exc))
            failed += 1
            continue
        if len(args.files) > 1 and not args.json:
            emit(f"# {shown(source)}")
        previous: tuple[tuple[int, int], ...] = ()

        def annotated(ds: Any = dataset) -> list[Annotation]:
            return list(d.annotate(ds))

        try:
            for a in query(paths, annotated):
                if not args.json:
                    for item in _dump.item_lines(previous, a.path):
                        emit(item)
                previous = a.path
                emit(_dump.json_object(a) if args.json else _dump.line(a))
        except (ValueError, TypeError) as exc:  # a JSON data set whose shape is wrong
            complain(f"{source}: {exc}")
            failed += 1
    return EXIT_BAD_INPUT if failed else EXIT_FOUND


def cmd_info(args: argparse.Namespace) -> int:
    if args.repeat < 1:
        raise BadInput(f"--repeat must be at least 1, not {args.repeat}")
    if args.path is not None:
        path = os.fspath(args.path)
    else:
        from . import DEFAULT_PATH

        path = os.fspath(DEFAULT_PATH)
    d = _open(path)
    times = []
    for _ in range(args.repeat):
        t = time.perf_counter()
        open_dict(path)
        times.append(time.perf_counter() - t)
    emit(
        "\n".join(
            [
                f"file:     {shown(path)}",
                f"entries:  {len(d)}",
                f"size:     {os.stat(path).st_size} bytes",
                f"open:     {statistics.median(times) * 1e6:.0f} us (median of {args.repeat}, "
                "file in the page cache)",
            ]
        )
    )
    return EXIT_FOUND


# ---- build: checking and writing ----------------------------------------------------------------


@contextlib.contextmanager
def _cleanup_on_signals() -> Iterator[None]:
    """Turn SIGTERM and SIGHUP into an exception while building, so that the writer's own
    clean-up removes its temporary file before the process ends of the signal."""

    def handler(signum: int, frame: object) -> None:
        raise _Signalled(signum)

    saved = {}
    for name in ("SIGTERM", "SIGHUP"):
        signum = getattr(signal, name, None)
        if signum is not None:
            with contextlib.suppress(ValueError):  # not the main thread: leave signals alone
                saved[signum] = signal.signal(signum, handler)
    try:
        yield
    finally:
        for signum, old in saved.items():
            signal.signal(signum, old)


def _same_file(a: str, b: str) -> bool:
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


def _read(source: str) -> bytes:
    try:
        with open(source, "rb") as f:
            return f.read()
    except OSError as exc:
        raise BadInput(f"cannot read {source}: {exc.strerror}") from None


def cmd_build(args: argparse.Namespace) -> int:
    source, output = args.source, args.output
    try:
        companion = writer.companion_target(output)
    except OSError as exc:
        raise BadInput(f"cannot write {output}: {exc.strerror}") from None
    for out in (output, companion):
        if _same_file(source, out):
            raise BadInput(f"the output {out} is the input file {source}; nothing written")
    text = decode(source, _read(source))
    if source.lower().endswith(".json"):
        rows, problems = read_json(source, text)
    else:
        with unlimited_csv_fields():
            rows, problems = read_csv(source, text)

    entries: list[Entry] = []
    lines: list[int] = []
    for line, row in rows:
        try:
            entries.append(to_entry(row))
            lines.append(line)
        except ValueError as exc:
            problems.append((line, str(exc)))
    if not entries and not problems:
        raise BadInput(f"{source}: no entries; nothing written")
    uids, uid_problems = (None, []) if args.uids is None else _uid_cli.read_uids(args.uids, _read(args.uids))
    try:
        if problems or uid_problems:  # the writer's problems are reported with the rows' own
            writer.check(entries, companion=True)
        else:
            writer.write_dictionary(output, entries, companion=True, uids=uids)
    except writer.InvalidEntries as exc:
        for p in exc.problems:
            other = f" line {lines[p.other[0]]}" if p.other is not None else ""
            problems.append((lines[p.position], p.text + other))
    except ValueError as exc:  # an output name that leaves no room for its companion
        raise BadInput(str(exc)) from None
    except OSError as exc:
        raise BadInput(f"cannot write {os.fsdecode(exc.filename or output)}: {exc.strerror}") from None
    if problems or uid_problems:
        problems.sort(key=lambda p: p[0])
        for where, line, message in [
            *((source, *p) for p in problems),
            *((args.uids, *p) for p in uid_problems),
        ]:
            complain(f"{where}:{line}: {message}", prefix=False)
        bad = len({line for line, _ in problems}) + len({line for line, _ in uid_problems})
        complain(f"{bad} bad row(s); nothing written")
        return EXIT_BAD_INPUT
    done = f"wrote {len(entries)} entries to {shown(output)} and its companion {shown(companion)}"
    if uids is not None:
        done += f", and {len(uids)} UIDs to {shown(writer.uids_path(writer.companion_target(output)))}"
    try:
        emit(done)
    except BadInput as exc:  # the files are there all the same; say so with the failure
        raise BadInput(f"{exc} ({done})") from None
    return EXIT_FOUND


# ---- the parser and the one place where errors become exit statuses ------------------------------


def parser() -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(
        prog="quillet",
        description="Answer DICOM data-dictionary questions from a precompiled .qlet dictionary. "
        "Without --dict, the standard dictionary that ships with quillet is used. "
        "Exit status: 0 found, 1 not in the dictionary, 2 bad input or any other error.",
    )
    top.add_argument("--version", action="version", version=f"quillet {__version__}")
    sub = top.add_subparsers(dest="command", required=True, metavar="COMMAND")

    p = sub.add_parser(
        "lookup",
        help="show what the dictionary knows about a tag or a UID",
        description="Show the dictionary entry of a tag. TAG is hexadecimal: 0010,0010, (0010,0010) or "
        "00100010, or a keyword such as PatientName (matched exactly; with --creator, the private "
        "keyword under that creator). For a private tag give its creator; an element inside the "
        "creator's block may be written as found in a data set (0029,1010) or in the dictionary's "
        "form (0029,xx10); without --creator, the creators that define it are listed. What no entry "
        "holds is answered by the rules every toolkit knows: private creator elements (gggg,0010-00FF), "
        "group lengths and the standard's repeating groups. The value multiplicity (vm) and the VRs of "
        "an element that may take several are shown when the dictionary has a companion file beside it. "
        "A TAG with dots is a registered UID (1.2.840.10008.1.2.1), and a keyword that no tag has may be "
        "a UID's (ExplicitVRLittleEndian). "
        "Exit status: 0 found, 1 not in the dictionary, 2 bad input or any other error.",
    )
    p.add_argument("tag", metavar="TAG", help="the tag, e.g. 0010,0010, or a keyword")
    p.add_argument(
        "--creator", metavar="TEXT", help="private creator of the block, e.g. 'SIEMENS CSA HEADER'"
    )
    p.add_argument(
        "--dict",
        metavar="PATH",
        action="append",
        help="a dictionary file; give it several times for layers, the first answering first "
        "(default: the bundled dictionary)",
    )
    p.add_argument(
        "--json", action="store_true", help="print the entry, with its vm and vrs, as one JSON object"
    )
    p.set_defaults(run=cmd_lookup)

    p = sub.add_parser(
        "search",
        help="find entries by a part of their keyword or name",
        description="List the entries and registered UIDs whose keyword or name contains TEXT, ignoring "
        "case, one a line: "
        "first those whose keyword is TEXT, then those whose keyword or name starts with it, then the "
        "rest; ties public entries first, by tag. Needs the dictionary's companion file. "
        "Exit status: 0 found, 1 nothing found, 2 bad input or any other error.",
    )
    p.add_argument("text", metavar="TEXT", help="a part of a keyword or name, e.g. 'birth date'")
    p.add_argument("--creator", metavar="TEXT", help="only the entries of this private creator")
    p.add_argument(
        "--dict",
        metavar="PATH",
        action="append",
        help="a dictionary file; several for layers, the first answering first (default: the bundled one)",
    )
    p.add_argument(
        "--limit", type=int, default=50, metavar="N", help="at most N entries (0: all; default 50)"
    )
    p.add_argument("--json", action="store_true", help="print each entry, with its vm, as one JSON object")
    p.set_defaults(run=cmd_search)

    p = sub.add_parser(
        "dump",
        help="name every element of DICOM or DICOM JSON files",
        description="Print every element of each FILE, one a line, indented by the depth of its sequence: "
        "the tag, the VR, the keyword (or name; an unknown private element's creator and 'unknown'), and "
        "the value in short. FILE is a DICOM file, read with pydicom (pip install 'quillet[dicom]') "
        "without its pixel data, or a data set of the DICOM JSON model. A private element takes the "
        "creator that its own item reserved its block for. A file that cannot be read is one line on "
        "standard error, and the others are dumped all the same. Exit status: 0 every file dumped, 2 any "
        "could not be read.",
    )
    p.add_argument("files", metavar="FILE", nargs="+", help="a DICOM file or a DICOM JSON file")
    p.add_argument(
        "--dict",
        metavar="PATH",
        action="append",
        help="a dictionary file; several for layers, the first answering first (default: the bundled one)",
    )
    p.add_argument("--json", action="store_true", help="one JSON object per element, every field exact")
    p.set_defaults(run=cmd_dump)

    p = sub.add_parser(
        "info",
        help="entry count, size and open time of a dictionary file",
        description="Print the number of entries, the file size and how long opening it takes "
        "(the median of several opens, the file being in the page cache after the first).",
    )
    p.add_argument("path", metavar="PATH", nargs="?", help="dictionary file (default: bundled)")
    p.add_argument("--repeat", type=int, default=21, help=argparse.SUPPRESS)
    p.set_defaults(run=cmd_info, dict=None)

    p = sub.add_parser(
        "build",
        help="compile your own dictionary from CSV or JSON",
        description="Compile a dictionary from a CSV file (UTF-8, a header row naming the columns) "
        "or, for a name ending in .json, a JSON array of objects. Fields: group and element "
        "(required), creator (empty for a public tag), keyword, name, vr (two letters, or ?? for "
        "several; default UN), vm (value multiplicity such as 1-n, optional), description, retired "
        "and block_offset (yes/no, true/false or 1/0; "
        "left empty or out: no), sources (items separated by |, or in JSON an array of strings). "
        "Group and element are hexadecimal digits, 0010 or 0x0010; in JSON they must be strings "
        '("0010"): a JSON number is refused, so that 16 and "16" cannot name different tags. '
        "A private element inside a creator's block is written by its low byte with the block's "
        "creator: element xx10 (or 10 with block_offset yes) for (0029,1010) under that creator. "
        "Every bad row is reported with its line number, and then nothing is written; an input "
        "without entries is an error too. An existing output is replaced only once the new file is "
        "complete; see the README for links, permissions and temporary files. The companion file "
        "that keyword lookups, search and vm need is written beside OUT, with the suffix .qlix. "
        "With --uids, the registered UIDs of the same vendor or site are written beside OUT too, with "
        "the suffix .qlud: columns uid (required), keyword, name, type (such as Transfer Syntax or SOP "
        "Class), info, retired, sources and, for a transfer syntax, encoding (implicit or explicit, "
        "little or big, then deflated and encapsulated where they hold: 'explicit little encapsulated').",
    )
    p.add_argument("source", metavar="SOURCE", help="a .csv or .json file")
    p.add_argument("--uids", metavar="FILE", help="registered UIDs, a .csv or .json file")
    p.add_argument("-o", "--output", metavar="OUT", required=True, help="the .qlet file to write")
    p.set_defaults(run=cmd_build)
    return top


def _die_of(signum: int) -> NoReturn:
    """End the process by `signum` with its default action, as the signal alone would."""
    signal.signal(signum, signal.SIG_DFL)
    os.kill(os.getpid(), signum)
    raise SystemExit(128 + signum)  # only if the signal did not end the process


def main(argv: list[str] | None = None) -> int:
    args = parser().parse_args(argv)
    try:
        if args.run is cmd_build:
            with _cleanup_on_signals():
                return int(args.run(args))
        return int(args.run(args))
    except BadInput as exc:
        complain(str(exc))
    except BrokenPipeError:
        # The reader went away, as with `quillet lookup ... | head -c1`: end quietly, as cat does.
        park_stdout()
        if hasattr(signal, "SIGPIPE"):
            _die_of(signal.SIGPIPE)
    except OSError as exc:  # a file that went away or changed under the command, say
        complain(f"{os.fsdecode(exc.filename)}: {exc.strerror}" if exc.filename else str(exc))
    except _Signalled as exc:
        _die_of(exc.signum)
    except KeyboardInterrupt:
        return 128 + 2
    except MemoryError:
        complain("out of memory (is the input larger than this machine can hold?)")
    except RecursionError:
        complain("the input is nested too deeply")
    except Exception as exc:  # a fault of quillet itself: still one line, and the status of an error
        complain(f"internal error: {type(exc).__name__}: {exc} (please report it)")
    return EXIT_BAD_INPUT


if __name__ == "__main__":
    sys.exit(main())
