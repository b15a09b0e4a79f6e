"""What the command writes for people and programs: escaped texts, one-line JSON, and the
answer and the errors on the standard streams."""

from __future__ import annotations

import contextlib
import json
import os
import sys

from ._show import shown

__all__ = ["BadInput", "complain", "emit", "json_line", "park_stdout", "shown"]


class BadInput(Exception):
    """Input the user can correct; reported on one line with exit status 2."""


def _json_escape(ch: str) -> str:
    code = ord(ch)
    if code < 0x10000:
        return f"\\u{code:04x}"
    code -= 0x10000
    return f"\\u{0xD800 + (code >> 10):04x}\\u{0xDC00 + (code & 0x3FF):04x}"


def json_line(value: object) -> str:
    """One line of JSON that parses back to exactly `value`, with every code point that
    :func:`shown` would escape written as a JSON escape instead (only strings can hold them)."""
    text = json.dumps(value, ensure_ascii=False)
    if text.isprintable():
        return text
    return "".join(ch if ch.isprintable() or ch == " " else _json_escape(ch) for ch in text)


def emit(text: str) -> None:
    """Print a line of the answer; failures to do so become the command's errors."""
    if sys.stdout is None:  # started with standard output closed
        raise BadInput("cannot write to standard output: it is closed")
    try:
        sys.stdout.write(text + "\n")
        sys.stdout.flush()
    except UnicodeEncodeError as exc:
        raise BadInput(
            f"standard output ({sys.stdout.encoding}) cannot represent U+{ord(exc.object[exc.start]):04X} "
            "of the answer; set PYTHONIOENCODING=utf-8"
        ) from None
    except BrokenPipeError:
        raise
    except OSError as exc:
        park_stdout()
        raise BadInput(f"cannot write to standard output: {exc.strerror}") from None


def complain(text: str, *, prefix: bool = True) -> None:
    """One line on standard error, if there is one: with it closed, the exit status says it all."""
    if sys.stderr is None:
        return
    with contextlib.suppress(OSError, ValueError):
        sys.stderr.write(f"{'quillet: ' if prefix else ''}{shown(text)}\n")
        sys.stderr.flush()


def park_stdout() -> None:
    """Point standard output at the null device, so that the interpreter's last flush of what
    could not be written does not fail once more on the way out."""
    with contextlib.suppress(OSError, ValueError, AttributeError):
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, sys.stdout.fileno())
        os.close(null)
