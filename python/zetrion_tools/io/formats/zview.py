"""The Scribner Z60W / ZPlotW text layout (quoted header, comma-separated rows).

Autolab's FRA software and older ZPlot versions write it; :mod:`.autolab`
and :mod:`.zplot` hand such files here.
"""

from __future__ import annotations

import re
from pathlib import Path
from typing import Any

from ..spectrum import ReadError, Spectrum
from ..text import Source, Table, columns, float_or_none, require_points, warn

__all__ = ["LEGACY_COLUMNS", "is_legacy", "read_legacy_zview"]

LEGACY_COLUMNS = ("Freq", "Ampl", "Bias", "Time", "Z'", "Z''", "GD", "Err", "Range")

_DATE = re.compile(r"Date:\s*(\S+)(?:\s+Time:\s*(\S+))?")
_OCP = re.compile(r"Open Circuit Potential \(V\):\s*(\S+)")
_NUMBERS_ONLY = re.compile(r"[-\d.,eE+\s]+")


def is_legacy(first_line: str) -> bool:
    """Whether a file's first line is the Z60W or ZPlotW signature."""
    return first_line.strip().strip('"').startswith(("Z60W", "ZPlotW"))


def _split(line: str) -> list[str]:
    return [s.strip() for s in line.split(",")]


def _comments(lines: list[str], meta: dict[str, Any]) -> None:
    comment_lines: list[str] = []
    for raw in lines:
        c = raw.strip().strip('"').strip()
        m = _DATE.match(c)
        ocp = _OCP.match(c)
        if ocp:
            value = float_or_none(ocp.group(1))
            if value is not None:
                meta["open_circuit_potential_V"] = value
        elif m:
            meta["date"] = m.group(1)
            if m.group(2):
                meta["time"] = m.group(2)
        elif c and not _NUMBERS_ONLY.fullmatch(c):
            comment_lines.append(c)
    if comment_lines:
        meta["notes"] = "\n".join(comment_lines)


def read_legacy_zview(src: Source, path: Path, fmt: str) -> list[Spectrum]:
    """Read the quoted-header, comma-separated layout of Z60W and ZPlotW files."""
    lines = src.lines
    head = None
    for k, line in enumerate(lines):
        if line.lstrip().lstrip('"').lstrip().startswith("Freq") and "Z'" in line:
            head = k
            break
    if head is None:
        raise ReadError(f"{path.name}: no column header line starting with 'Freq'")
    header_text = lines[head].strip().strip('"')
    positions = [header_text.find(c) for c in ("Freq", "Z'", "Z''")]
    if min(positions) < 0 or not positions[0] < positions[1] <= positions[2]:
        raise ReadError(
            f"{path.name}: column header {header_text[:200]!r} is not the Freq, Ampl, Bias, "
            "Time, Z', Z'' layout of this format"
        )
    expected = None
    count = lines[head - 1].strip() if head >= 1 else ""
    if count.isdecimal() and len(count) < 10:
        expected = int(count)
    table = Table(list(LEGACY_COLUMNS), src, head + 1, len(lines), _split)
    (f, zr, zi), truncated = columns(table, [0, 4, 5], ["Freq", "Z'", "Z''"], path)
    require_points(path, f)
    meta: dict[str, Any] = {
        "columns": list(LEGACY_COLUMNS),
        "software": lines[0].strip().strip('"'),
    }
    _comments(lines[1:head], meta)
    if expected is not None:
        meta["points_expected"] = expected
    if truncated or (expected is not None and f.size < expected):
        warn(
            f"{path.name}: the file ends early; read the {f.size} points measured"
            + (f" of {expected} announced" if expected is not None else "")
        )
    return [Spectrum(f, zr + 1j * zi, meta, fmt, path)]
