"""Low-level helpers shared by the readers: loading, line splitting, tables.

Everything here treats the file as untrusted: only regular files are read,
and no more than :data:`MAX_BYTES` of them; lines break only at ``\\r\\n``,
``\\n`` and ``\\r`` (never at the other characters that Python's
``str.splitlines`` treats as line breaks, such as form feed or ``\\x85``);
and every loop is linear in the size of the file.
"""

from __future__ import annotations

import os
import re
import stat
import sys
import warnings
from array import array
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager
from contextvars import ContextVar
from dataclasses import dataclass
from pathlib import Path

import numpy as np
from numpy.typing import NDArray

from .spectrum import ReadError, ReadWarning

__all__ = [
    "MAX_BYTES",
    "Source",
    "Table",
    "column_index",
    "columns",
    "decode",
    "float_or_none",
    "load_text",
    "number",
    "read_limited",
    "recording_warnings",
    "require_points",
    "split_fields",
    "split_lines",
    "warn",
    "warn_truncated",
]

# Refuse to slurp anything larger: no impedance export comes near this, and an
# untrusted path should not be able to exhaust memory.
MAX_BYTES = 256 * 1024 * 1024

_CHUNK = 1 << 20
_LINE_BREAK = re.compile(r"\r\n|\r|\n")


def read_limited(path: Path, limit: int, error: type[Exception]) -> bytes:
    """The bytes of a regular file of at most ``limit`` bytes.

    Devices, FIFOs, sockets and directories are refused with ``error``
    before anything is read from them (a FIFO would block, ``/dev/zero``
    never ends), whatever a symbolic link in front of them is called; so is
    a file that turns out longer than ``limit`` while it is read.
    """
    try:
        before = os.stat(path)
    except FileNotFoundError:
        raise
    if not stat.S_ISREG(before.st_mode):
        raise error(f"{path}: not a regular file (a device, FIFO, socket or directory)")
    if before.st_size > limit:
        raise error(f"{path}: {before.st_size} bytes is too large (at most {limit} accepted)")
    # O_NONBLOCK: if the path was swapped for a FIFO since the stat above,
    # opening it must not wait for a writer
    fd = os.open(path, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_BINARY", 0))
    try:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            raise error(f"{path}: not a regular file (a device, FIFO, socket or directory)")
        chunks: list[bytes] = []
        total = 0
        while True:
            chunk = os.read(fd, min(_CHUNK, limit + 1 - total))
            if not chunk:
                break
            chunks.append(chunk)
            total += len(chunk)
            if total > limit:
                raise error(f"{path}: too large (at most {limit} bytes accepted)")
    finally:
        os.close(fd)
    return b"".join(chunks)


def _utf16_without_bom(raw: bytes) -> str | None:
    """'utf-16-le'/'utf-16-be' if the text is plainly UTF-16 without a mark."""
    head = raw[:4096]
    if len(head) < 4 or len(head) % 2:
        head = head[: len(head) - len(head) % 2]
    if len(head) < 4:
        return None
    even, odd = head[0::2], head[1::2]
    if not odd.strip(b"\x00") and b"\x00" not in even:
        return "utf-16-le"
    if not even.strip(b"\x00") and b"\x00" not in odd:
        return "utf-16-be"
    return None


def decode(raw: bytes, name: str, encoding: str | None) -> str:
    """Text of a file's bytes: a byte-order mark decides, then UTF-8, then Latin-1."""
    if encoding is not None:
        try:
            return raw.decode(encoding).lstrip("\ufeff")
        except (UnicodeDecodeError, LookupError) as exc:
            raise ReadError(f"{name}: cannot decode as {encoding}: {exc}") from exc
    for bom, codec in (
        (b"\xff\xfe\x00\x00", "utf-32-le"),
        (b"\x00\x00\xfe\xff", "utf-32-be"),
        (b"\xff\xfe", "utf-16-le"),
        (b"\xfe\xff", "utf-16-be"),
    ):
        if raw.startswith(bom):
            try:
                return raw[len(bom) :].decode(codec)
            except UnicodeDecodeError as exc:
                raise ReadError(f"{name}: marked as {codec} but not valid {codec}: {exc}") from exc
    if b"\x00" in raw[:65536]:
        codec_guess = _utf16_without_bom(raw)
        if codec_guess is not None:
            try:
                return raw.decode(codec_guess)
            except UnicodeDecodeError:
                pass
        raise ReadError(
            f"{name}: binary file; export the measurement as text "
            "(of the binary files, only BioLogic .mpr and Zahner .ism are read)"
        )
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError:
        text = raw.decode("latin-1")
    return text[1:] if text.startswith("\ufeff") else text


def load_text(path: Path, encoding: str | None) -> str:
    """Read and decode a file, refusing non-regular and oversized files."""
    return decode(read_limited(path, MAX_BYTES, ReadError), path.name, encoding)


@dataclass
class Source:
    """A file's lines, and whether its last line was ended by a line break."""

    lines: list[str]
    terminated: bool


def split_lines(text: str) -> Source:
    """Split at ``\\r\\n``, ``\\n`` and ``\\r`` only (see the module docstring)."""
    if "\r" in text:
        lines = _LINE_BREAK.split(text)
    else:
        lines = text.split("\n")
    terminated = not lines[-1]
    if terminated:
        lines.pop()
    return Source(lines, terminated or not lines)


def number(token: str, decimal_comma: bool) -> float:
    """A cell as a float; raises ValueError for anything that is not a number."""
    if "_" in token:  # Python's float() would accept "1_0"
        raise ValueError(token)
    try:
        return float(token)
    except ValueError:
        t = token.strip().strip('"')
        if decimal_comma and "," in t and "." not in t:
            t = t.replace(",", ".")
        return float(t)


def _shape(token: str) -> tuple[bool, int, bool, int]:
    """(has exponent, exponent digits, has a decimal point, mantissa digits)."""
    t = token.strip().strip('"').lower()
    mantissa, e, exponent = t.partition("e")
    digits = sum(c.isdigit() for c in mantissa)
    return bool(e), sum(c.isdigit() for c in exponent), "." in mantissa or "," in mantissa, digits


def _complete_cell(token: str, above: list[str]) -> bool:
    """Whether a cell at the very end of a file can be taken as written in full.

    A file cut inside a number leaves a shorter number that still parses. It
    is told apart only where the column is written in a fixed form (the same
    exponent form, decimal point and count of mantissa digits in the rows
    above, as EC-Lab's or NumPy's ``%e`` output): the cell must have that
    form. In a column of varying form it cannot be told apart and is not
    trusted.
    """
    shapes = {_shape(cell) for cell in above}
    return len(above) >= 2 and len(shapes) == 1 and _shape(token) in shapes


@dataclass
class Table:
    """The data rows of a table: ``source.lines[start:stop]``.

    Blank lines are skipped (and lines starting with ``#`` where
    ``comments``); ``split`` turns a line into fields. A row with a field
    count other than ``width`` (or above ``max_width``) is an error, except
    for the last row, which may be short (a file cut off while it was
    written) and is then dropped.
    """

    names: Sequence[str]
    source: Source
    start: int
    stop: int
    split: Callable[[str], list[str]]
    decimal_comma: bool = False
    width: int | None = None
    max_width: int | None = None
    comments: bool = False

    def is_row(self, line: str) -> bool:
        if not line or line.isspace():
            return False
        return not (self.comments and line.lstrip().startswith("#"))

    def last_row(self) -> int:
        for k in range(self.stop - 1, self.start - 1, -1):
            if self.is_row(self.source.lines[k]):
                return k
        return -1


def _check_width(table: Table, fields: list[str], lineno: int, path: Path) -> None:
    bound = table.width if table.width is not None else table.max_width
    if bound is None:
        return
    if len(fields) > bound or (table.width is not None and len(fields) != bound):
        raise ReadError(
            f"{path.name}, line {lineno}: {len(fields)} fields under a header of "
            f"{bound} columns; the header does not describe the data"
        )


def _parse_row(
    table: Table, fields: list[str], wanted: Sequence[int], labels: Sequence[str], lineno: int, path: Path
) -> list[float]:
    need = max(wanted) + 1
    if len(fields) < need:
        raise ReadError(
            f"{path.name}, line {lineno}: {len(fields)} fields where "
            f"{len(table.names) or need} are expected"
        )
    values = []
    for col, label in zip(wanted, labels):
        try:
            values.append(number(fields[col], table.decimal_comma))
        except ValueError:
            raise ReadError(
                f"{path.name}, line {lineno}: {label} cell {fields[col].strip()!r} is not a number"
            ) from None
    return values


def _rows_above(table: Table, k: int, count: int) -> list[list[str]]:
    """The fields of up to ``count`` rows above line ``k``, nearest first."""
    rows: list[list[str]] = []
    j = k - 1
    while j >= table.start and len(rows) < count:
        if table.is_row(table.source.lines[j]):
            rows.append(table.split(table.source.lines[j]))
        j -= 1
    return rows


def _final_row(
    table: Table, fields: list[str], wanted: Sequence[int], k: int
) -> list[float] | None:
    """The values of the table's last row, or None if it is incomplete."""
    if len(fields) < max(wanted) + 1:
        return None
    try:
        values = [number(fields[c], table.decimal_comma) for c in wanted]
    except ValueError:
        return None
    if k == len(table.source.lines) - 1 and not table.source.terminated:
        # the file ends inside this line: it is complete only if it has all
        # the fields of the rows above and its last cell, if one of ours,
        # has the fixed form that cell has in the rows above
        above = _rows_above(table, k, 3)
        expected = len(above[0]) if above else (table.width or len(fields))
        if len(fields) < expected:
            return None
        last = len(fields) - 1
        cells = [row[last] for row in above if len(row) > last]
        if last in wanted and not _complete_cell(fields[last], cells):
            return None
    return values


def columns(
    table: Table, wanted: Sequence[int], labels: Sequence[str], path: Path
) -> tuple[list[NDArray[np.float64]], bool]:
    """Convert the wanted columns of the table's rows to float arrays.

    Returns the arrays and whether an incomplete final row (a file cut off
    while it was written) was dropped. Any other bad row is an error.
    """
    lines = table.source.lines
    last = table.last_row()
    out = [array("d") for _ in wanted]
    split = table.split
    exact, most = table.width, table.max_width
    pairs = list(zip(wanted, (a.append for a in out)))
    comments = table.comments
    for k in range(table.start, last):
        line = lines[k]
        if not line or line.isspace() or (comments and line.lstrip().startswith("#")):
            continue
        fields = split(line)
        if (exact is not None and len(fields) != exact) or (most is not None and len(fields) > most):
            _check_width(table, fields, k + 1, path)
        done = 0
        try:
            if "_" in line:  # float() would accept "1_0"; let number() refuse it
                raise ValueError(line)
            for col, append in pairs:
                append(float(fields[col]))
                done += 1
        except (ValueError, IndexError):
            # quotes, a decimal comma, or a bad cell: the careful path
            for a in out[:done]:
                a.pop()
            for (_, append), v in zip(pairs, _parse_row(table, fields, wanted, labels, k + 1, path)):
                append(v)
    truncated = False
    if last >= 0:
        fields = split(lines[last])
        if table.max_width is not None:
            _check_width(table, fields, last + 1, path)
        values = _final_row(table, fields, wanted, last)
        if values is None:
            truncated = True
        else:
            for (_, append), v in zip(pairs, values):
                append(v)
    return [np.frombuffer(a, dtype=np.float64) if len(a) else np.zeros(0) for a in out], truncated


def column_index(names: Sequence[str], candidates: Sequence[str], path: Path, what: str) -> int:
    """Position of the first of ``candidates`` among the column names."""
    stripped = [n.strip() for n in names]
    for c in candidates:
        if c in stripped:
            return stripped.index(c)
    shown = ", ".join(repr(n) for n in stripped if n)
    raise ReadError(
        f"{path.name}: no {what} column ({' or '.join(repr(c) for c in candidates)}); "
        f"the header names {shown}"
    )


# the texts of the warnings issued while a file is read, kept with the
# spectrum it gives (a context variable: readers run in several threads)
_RECORDED: ContextVar[list[str] | None] = ContextVar("zetrion_read_warnings", default=None)


@contextmanager
def recording_warnings() -> Iterator[list[str]]:
    """Collect the texts of the reader warnings issued inside the block.

    The warnings are still issued; the list also gets their texts, in order,
    so that a spectrum can carry what its reader said about it.
    """
    texts: list[str] = []
    token = _RECORDED.set(texts)
    try:
        yield texts
    finally:
        _RECORDED.reset(token)


def warn(message: str, category: type[ReadWarning] = ReadWarning) -> None:
    """Issue a ReadWarning (or a subclass) attributed to the first caller outside the readers."""
    texts = _RECORDED.get()
    if texts is not None:
        texts.append(message)
    level = 2
    frame = sys._getframe(1)
    while frame.f_back is not None and str(frame.f_globals.get("__name__", "")).startswith(
        __package__ or "zetrion_tools.io"
    ):
        frame = frame.f_back
        level += 1
    warnings.warn(message, category, stacklevel=level)


def warn_truncated(path: Path, n: int) -> None:
    warn(
        f"{path.name}: the last data row is incomplete (file cut off?); "
        f"read the {n} complete points before it"
    )


def require_points(path: Path, f: NDArray[np.float64]) -> None:
    if f.size == 0:
        raise ReadError(f"{path.name}: the file holds no impedance data points")


def split_fields(line: str, sep: str) -> list[str]:
    """Split at ``sep``, dropping empty trailing fields."""
    fields = line.split(sep)
    if fields[-1] and not fields[-1].isspace():
        return fields
    while fields and not fields[-1].strip():
        fields.pop()
    return fields


_FLOAT = re.compile(r"[-+]?(?:\d+\.?\d*|\.\d+)(?:[eE][-+]?\d+)?")


def float_or_none(text: str) -> float | None:
    """The first number in a header value ('1.0 cm^2' -> 1.0), or None."""
    m = _FLOAT.search(text[:256])
    if m is None:
        return None
    try:
        return float(m.group(0))
    except ValueError:  # pragma: no cover - the pattern guarantees a float
        return None
