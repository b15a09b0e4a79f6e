"""``quillet dump``: reading a data set from a file, and writing its annotated elements out.

A DICOM file (Part 10, or a bare data set) is read with pydicom, the optional extra
``quillet[dicom]``, without its pixel data; a file of the DICOM JSON model needs nothing more.
"""

from __future__ import annotations

import base64
import binascii
import json
from typing import TYPE_CHECKING, Any

from ._terminal import BadInput, json_line, shown

if TYPE_CHECKING:
    from ._annotate import Annotation

SHORT = 64  # characters of a value shown on a line, at most


class MissingExtra(BadInput):
    """pydicom is not installed, and a DICOM file needs it."""


def read(path: str) -> Any:
    """The data set in the file at `path`: a dict of the DICOM JSON model, or a pydicom Dataset.
    Raises BadInput naming the file for one that cannot be read."""
    try:
        with open(path, "rb") as f:
            head = f.read(256)
            if head.lstrip()[:1] in (b"{", b"["):
                data = head + f.read()
                return _json(path, data)
    except OSError as exc:
        raise BadInput(f"{path}: cannot read: {exc.strerror}") from None
    try:
        import pydicom
        from pydicom.errors import InvalidDicomError
    except ImportError:
        raise MissingExtra(
            f"{path}: reading a DICOM file needs pydicom, which quillet's extra installs: "
            "pip install 'quillet[dicom]'"
        ) from None
    try:
        try:
            return pydicom.dcmread(path, stop_before_pixels=True)
        except InvalidDicomError:
            # No preamble and meta header: perhaps a bare data set, as some tools write them.
            ds = pydicom.dcmread(path, stop_before_pixels=True, force=True)
    except Exception as exc:  # pydicom's errors are many and of many classes
        raise BadInput(f"{path}: not a DICOM file pydicom can read ({type(exc).__name__}: {exc})") from None
    # Read that way, any bytes make some data set; a real one starts with a command, the file
    # meta information, a directory or the identifying group.
    first = min(ds.keys(), default=None)
    if first is None or first >> 16 not in (0x0000, 0x0002, 0x0004, 0x0008):
        raise BadInput(f"{path}: not a DICOM file (no DICM marker, and it does not start as a data set)")
    return ds


def _json(path: str, data: bytes) -> Any:
    try:
        value = json.loads(data.decode("utf-8-sig"))
    except UnicodeDecodeError as exc:
        raise BadInput(f"{path}: not UTF-8 ({exc.reason})") from None
    except json.JSONDecodeError as exc:
        raise BadInput(f"{path}:{exc.lineno}:{exc.colno}: {exc.msg}") from None
    except RecursionError:
        raise BadInput(f"{path}: nested too deeply") from None
    # DICOMweb's search results are an array of data sets: one file, several of them.
    if isinstance(value, list) and len(value) == 1:
        value = value[0]
    if not isinstance(value, dict):
        raise BadInput(f"{path}: not a data set of the DICOM JSON model (a JSON object of GGGGEEEE keys)")
    return value


# ---- values, in short -----------------------------------------------------------------------------


def _plural(n: int, what: str) -> str:
    return f"<{n} {what}{'' if n == 1 else 's'}>"


def _json_value(obj: Any) -> str:
    if not isinstance(obj, dict):
        return ""
    if "InlineBinary" in obj:
        try:
            return _plural(len(base64.b64decode(str(obj["InlineBinary"]), validate=False)), "byte")
        except (binascii.Error, ValueError):
            return "<binary, not base64>"
    if "BulkDataURI" in obj:
        return f"<bulk data at {obj['BulkDataURI']}>"
    values = obj.get("Value")
    if not isinstance(values, list):
        return ""
    if obj.get("vr") == "SQ":
        return _plural(len(values), "item")
    parts = []
    for v in values:
        if isinstance(v, dict):  # a person name's groups
            v = "=".join(str(v.get(k, "")) for k in ("Alphabetic", "Ideographic", "Phonetic")).rstrip("=")
        parts.append("" if v is None else str(v))
    return "\\".join(parts)


def _pydicom_value(a: Annotation) -> str:
    try:
        element = a.item[a.tag]  # decoded, as pydicom decodes it
    except Exception as exc:  # a value that pydicom cannot decode is shown as that
        return f"<cannot decode: {type(exc).__name__}>"
    value = element.value
    if element.VR == "SQ":
        return _plural(len(value), "item")
    if isinstance(value, (bytes, bytearray)):
        return _plural(len(value), "byte")
    if value is None:
        return ""
    if isinstance(value, (list, tuple)) or type(value).__name__ == "MultiValue":
        return "\\".join(str(v) for v in value)
    return str(value)


def value_of(a: Annotation) -> str:
    """The element's value in short: at most SHORT characters before escaping."""
    text = _json_value(a.element) if isinstance(a.element, dict) else _pydicom_value(a)
    return text if len(text) <= SHORT else text[: SHORT - 3] + "..."


# ---- lines ----------------------------------------------------------------------------------------


def _tag(tag: int) -> str:
    return f"({tag >> 16:04X},{tag & 0xFFFF:04X})"


def _label(a: Annotation) -> str:
    if a.entry is not None:
        return shown(a.entry["keyword"] or a.entry["name"] or "(no name)")
    if a.unreserved:
        return "(no creator) unknown"
    if a.creator is not None:
        return f"[{shown(a.creator)}] unknown"
    return "unknown"


def line(a: Annotation) -> str:
    """dcmdump's way: the tag, the VR, the keyword (or name), the value; indented by depth."""
    vr = a.vr or (a.entry["vr"].lower() if a.entry else "--")
    return f"{'  ' * a.depth}{_tag(a.tag)} {vr:<2} {_label(a):<36} {shown(value_of(a))}".rstrip()


def item_lines(previous: tuple[tuple[int, int], ...], path: tuple[tuple[int, int], ...]) -> list[str]:
    """The items that `path` opens since `previous`, each a line one blank deeper than its
    sequence, so that the elements of an item line up beneath it."""
    common = 0
    while common < min(len(previous), len(path)) and previous[common] == path[common]:
        common += 1
    return [f"{'  ' * level} (FFFE,E000) item {path[level][1] + 1}" for level in range(common, len(path))]


def json_object(a: Annotation) -> str:
    """Every field of the annotation, exact, and the value in short."""
    return json_line(
        {
            "path": [[f"{tag:08X}", n] for tag, n in a.path],
            "tag": f"{a.tag:08X}",
            "vr": None if a.vr is None else str(a.vr),
            "creator": a.creator,
            "unreserved": a.unreserved,
            "entry": a.entry,
            "value": value_of(a),
        }
    )
