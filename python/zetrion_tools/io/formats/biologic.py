"""BioLogic EC-Lab ``.mpt`` (ASCII export), with or without its header block.

A file of several cycles (a PEIS loop, or a technique repeated) holds one
sweep per value of the ``cycle number`` column; each becomes a spectrum.
"""

from __future__ import annotations

import re
from pathlib import Path
from typing import Any

import numpy as np
from numpy.typing import NDArray

from ..spectrum import ReadError, Spectrum
from ..text import (
    Source,
    Table,
    column_index,
    columns,
    float_or_none,
    require_points,
    split_fields,
    warn_truncated,
)

__all__ = ["read_biologic"]

_NB_HEADER = re.compile(r"\s*Nb header lines\s*:\s*(\d{1,9})")


def _header_count(lines: list[str], path: Path) -> int:
    if not (lines and lines[0].startswith("EC-Lab ASCII FILE")):
        return 1
    m = _NB_HEADER.match(lines[1][:200] if len(lines) > 1 else "")
    if m is None:
        raise ReadError(f"{path.name}: EC-Lab file without 'Nb header lines' on line 2")
    n_header = int(m.group(1))
    if not 2 <= n_header <= len(lines):
        raise ReadError(f"{path.name}: header of {n_header} lines in a file of {len(lines)} lines")
    return n_header


def _metadata(header_lines: list[str], names: list[str]) -> dict[str, Any]:
    header: dict[str, str] = {}
    for line in header_lines:
        if " : " in line:
            key, _, value = line.partition(" : ")
            header.setdefault(key.strip(), value.strip())
    meta: dict[str, Any] = {"columns": [n.strip() for n in names], "header": header}
    if len(header_lines) > 3 and header_lines[3].strip():
        meta["technique"] = header_lines[3].strip()
    if "Acquisition started on" in header:
        stamp = header["Acquisition started on"].split()
        meta["date"] = stamp[0] if stamp else ""
        if len(stamp) > 1:
            meta["time"] = stamp[1]
    if "Device" in header:
        meta["instrument"] = header["Device"]
    for line in header_lines:
        if "(software)" in line:
            meta["software"] = line.replace("(software)", "").strip()
            break
    area = float_or_none(header.get("Electrode surface area", ""))
    if area is not None:
        meta["area_cm2"] = area
    mass = float_or_none(header.get("Characteristic mass", ""))
    if mass is not None:
        meta["mass_g"] = mass
    return meta


def _sweeps(cycle: NDArray[np.float64] | None, n: int) -> list[tuple[int, int, float | None]]:
    """(start, stop, cycle) of each run of rows with one cycle number."""
    if cycle is None or n == 0:
        return [(0, n, None)]
    edges = np.flatnonzero(np.diff(cycle[:n]) != 0) + 1
    bounds = [0, *edges.tolist(), n]
    return [(a, b, float(cycle[a])) for a, b in zip(bounds[:-1], bounds[1:])]


def read_biologic(src: Source, path: Path) -> list[Spectrum]:
    lines = src.lines
    n_header = _header_count(lines, path)
    if n_header > len(lines):
        raise ReadError(f"{path.name}: no column header line")
    names = split_fields(lines[n_header - 1], "\t")
    stripped = [n.strip() for n in names]
    fi = column_index(names, ["freq/Hz"], path, "frequency")
    ri = column_index(names, ["Re(Z)/Ohm"], path, "real impedance")
    sign = -1.0
    if "-Im(Z)/Ohm" in stripped:
        ii = stripped.index("-Im(Z)/Ohm")
    else:
        ii = column_index(names, ["-Im(Z)/Ohm", "Im(Z)/Ohm"], path, "imaginary impedance")
        sign = 1.0
    wanted = [fi, ri, ii]
    labels = ["freq/Hz", "Re(Z)/Ohm", names[ii]]
    has_cycles = "cycle number" in stripped
    if has_cycles:
        wanted.append(stripped.index("cycle number"))
        labels.append("cycle number")
    table = Table(
        names,
        src,
        n_header,
        len(lines),
        lambda s: split_fields(s, "\t"),
        decimal_comma=True,
        max_width=len(names),
    )
    arrays, truncated = columns(table, wanted, labels, path)
    f, zr, zi = arrays[:3]
    require_points(path, f)
    if truncated:
        warn_truncated(path, f.size)
    meta = _metadata(lines[: n_header - 1], names)
    z = zr + 1j * (sign * zi)
    sweeps = _sweeps(arrays[3] if has_cycles else None, f.size)
    out = []
    for a, b, cycle in sweeps:
        m = dict(meta)
        if cycle is not None:
            m["cycle"] = int(cycle) if float(cycle).is_integer() else cycle
            m["cycles"] = len(sweeps)
        out.append(Spectrum(f[a:b].copy(), z[a:b].copy(), m, "biologic", path))
    return out
