"""Ametek Parstat text export (``Frequency (Hz)``, ``Zre (ohms)``, ``Zim (ohms)``)."""

from __future__ import annotations

from pathlib import Path
from typing import Any

import numpy as np

from ..spectrum import Spectrum
from ..text import Source, Table, column_index, columns, require_points, split_fields, warn_truncated

__all__ = ["read_parstat"]


def read_parstat(src: Source, path: Path) -> list[Spectrum]:
    lines = src.lines
    names = [n.strip() for n in split_fields(lines[0], "\t")]
    fi = column_index(names, ["Frequency (Hz)"], path, "frequency")
    ri = column_index(names, ["Zre (ohms)"], path, "real impedance")
    ii = column_index(names, ["Zim (ohms)"], path, "imaginary impedance")
    table = Table(names, src, 1, len(lines), lambda s: s.split("\t"))
    (f, zr, zi), truncated = columns(table, [fi, ri, ii], names, path)
    if truncated:
        warn_truncated(path, f.size)
    # rows logged at frequency 0 are the DC record before the sweep
    keep = f != 0
    meta: dict[str, Any] = {"columns": names, "dc_rows_skipped": int(np.count_nonzero(~keep))}
    f, zr, zi = f[keep], zr[keep], zi[keep]
    require_points(path, f)
    return [Spectrum(f, zr + 1j * zi, meta, "parstat", path)]
