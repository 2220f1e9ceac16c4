"""Scribner ZPlot / ZView ``.z``: the ZPLOT2 layout, or the older ZPlotW one."""

from __future__ import annotations

import re
from pathlib import Path
from typing import Any

from ..spectrum import ReadError, Spectrum
from ..text import Source, Table, column_index, columns, float_or_none, require_points, warn
from .zview import read_legacy_zview

__all__ = ["read_zplot"]

_CELL = re.compile(r"\t|,")


def _split(line: str) -> list[str]:
    return [s.strip() for s in _CELL.split(line)]


def _metadata(lines: list[str], names: list[str]) -> dict[str, Any]:
    header: dict[str, str] = {}
    for line in lines:
        key, sep, value = line.partition(":")
        if sep:
            header.setdefault(key.strip(), value.strip())
    meta: dict[str, Any] = {"columns": [n for n in names if n], "header": header}
    if "Measured Data, ZPlot" in header:
        meta["software"] = f"ZPlot {header['Measured Data, ZPlot']}"
    for key, tag in (("technique", "Experiment Type"), ("date", "Date"), ("time", "Time")):
        if tag in header:
            meta[key] = header[tag]
    ocp = float_or_none(header.get("Open Circuit Potential (V)", ""))
    if ocp is not None:
        meta["open_circuit_potential_V"] = ocp
    return meta


def read_zplot(src: Source, path: Path) -> list[Spectrum]:
    lines = src.lines
    if not lines or not lines[0].startswith("ZPLOT2 ASCII"):
        return read_legacy_zview(src, path, "zplot")
    end = None
    for k, line in enumerate(lines):
        if line.strip() == "End Comments":
            end = k
            break
    if end is None or end == 0:
        raise ReadError(f"{path.name}: ZPlot file without an 'End Comments' line")
    names = [n.strip() for n in lines[end - 1].split("\t")]
    fi = column_index(names, ["Freq(Hz)"], path, "frequency")
    ri = column_index(names, ["Z'(a)"], path, "real impedance")
    ii = column_index(names, ["Z''(b)"], path, "imaginary impedance")
    table = Table(names, src, end + 1, len(lines), _split)
    (f, zr, zi), truncated = columns(table, [fi, ri, ii], ["Freq(Hz)", "Z'(a)", "Z''(b)"], path)
    require_points(path, f)
    meta = _metadata(lines[1 : end - 1], names)
    expected = meta["header"].get("Data Points", "")
    if expected.isdecimal() and len(expected) < 10:
        meta["points_expected"] = int(expected)
    else:
        expected = ""
    if truncated or (expected and f.size < int(expected)):
        warn(
            f"{path.name}: the file ends early; read the {f.size} points measured"
            + (f" of {expected} announced" if expected else "")
        )
    return [Spectrum(f, zr + 1j * zi, meta, "zplot", path)]
