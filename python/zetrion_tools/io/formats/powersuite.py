"""Princeton Applied Research PowerSuite text export (``Frequency``, ``Zre``, ``Zimg``)."""

from __future__ import annotations

from pathlib import Path

from ..spectrum import Spectrum
from ..text import Source, Table, column_index, columns, require_points, warn_truncated

__all__ = ["read_powersuite"]


def read_powersuite(src: Source, path: Path) -> list[Spectrum]:
    lines = src.lines
    names = [n.strip() for n in lines[0].split("\t")]
    fi = column_index(names, ["Frequency"], path, "frequency")
    ri = column_index(names, ["Zre"], path, "real impedance")
    ii = column_index(names, ["Zimg"], path, "imaginary impedance")
    table = Table(names, src, 1, len(lines), lambda s: s.split("\t"))
    (f, zr, zi), truncated = columns(table, [fi, ri, ii], names, path)
    require_points(path, f)
    if truncated:
        warn_truncated(path, f.size)
    return [Spectrum(f, zr + 1j * zi, {"columns": names}, "powersuite", path)]
