"""Texts made safe to show: the one escaping that the command's output and the package's
messages share, so that a file name or a dictionary text can neither send commands to a
terminal nor break a message across lines."""

_NAMED = {"\n": "\\n", "\r": "\\r", "\t": "\\t"}


def _escape(ch: str) -> str:
    if ch in _NAMED:
        return _NAMED[ch]
    code = ord(ch)
    return f"\\x{code:02x}" if code < 0x100 else f"\\u{code:04x}" if code < 0x10000 else f"\\U{code:08x}"


def shown(text: str) -> str:
    """`text` safe to print: control characters, line breaks, lone surrogates and other
    invisible code points written as escapes, so that neither a dictionary file nor a file
    name can send commands to a terminal or break a message across lines."""
    if text.isprintable():
        return text
    return "".join(ch if ch.isprintable() or ch == " " else _escape(ch) for ch in text)
