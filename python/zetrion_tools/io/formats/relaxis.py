"""RelaxIS text export ("Spectrum export": a column line, then per spectrum a
parameter line and its rows).

The column line names ``Data: Frequency``, ``Data: Z'``, ``Data: Z''`` (and
more); each spectrum starts with a line of its parameters
(``DC=-0.08, TM=33.7, ...``), its model and its name, followed by its rows.
Z'' carries the capacitive sign (negative), as written.
"""

from __future__ import annotations

from pathlib import Path
from typing import Any

from ..spectrum import ReadError, Spectrum
from ..text import Source, Table, column_index, columns, number, split_fields, warn_truncated

__all__ = ["is_relaxis", "read_relaxis"]


def is_relaxis(first_line: str) -> bool:
    return first_line.startswith("RelaxIS") and "export" in first_line


def _is_data(line: str) -> bool:
    head = line.split("\t", 1)[0]
    try:
        number(head, False)
    except ValueError:
        return False
    return True


def _parameters(line: str) -> dict[str, Any]:
    """The parameter line: 'DC=-0.08, TM=33.7, ...', the model and the spectrum's name."""
    cells = [c.strip() for c in line.split("\t")]
    out: dict[str, Any] = {}
    values: dict[str, float | str] = {}
    for item in cells[0].split(","):
        key, sep, value = item.partition("=")
        if sep and key.strip():
            try:
                values[key.strip()] = number(value, False)
            except ValueError:
                values[key.strip()] = value.strip()
    if values:
        out["parameters"] = values
    for cell in cells[1:]:
        if cell.startswith("Model:"):
            out["model"] = cell[len("Model:") :].strip()
        elif cell:
            out.setdefault("name", cell)
    return out


def read_relaxis(src: Source, path: Path) -> list[Spectrum]:
    lines = src.lines
    if len(lines) < 3:
        raise ReadError(f"{path.name}: RelaxIS export without a column line")
    names = [n.strip().removeprefix("Data:").strip() for n in split_fields(lines[2], "\t")]
    wanted = [
        column_index(names, ["Frequency"], path, "frequency"),
        column_index(names, ["Z'"], path, "real impedance"),
        column_index(names, ["Z''"], path, "imaginary impedance"),
    ]
    # blocks: a parameter line, then rows up to the next parameter line
    starts = [k for k in range(3, len(lines)) if lines[k].strip() and not _is_data(lines[k])]
    if not starts or starts[0] != 3:
        starts.insert(0, 2)  # rows straight under the column line
    bounds = [*starts, len(lines)]
    base: dict[str, Any] = {"columns": names, "software": lines[0].split(" Spectrum")[0].strip()}
    if lines[1].startswith("Date:"):
        base["date"] = lines[1][len("Date:") :].strip()
    out = []
    for number_, (a, b) in enumerate(zip(bounds[:-1], bounds[1:]), start=1):
        table = Table(names, src, a + 1, b, lambda s: split_fields(s, "\t"))
        (f, zr, zi), truncated = columns(table, wanted, ["Frequency", "Z'", "Z''"], path)
        if f.size == 0:
            continue
        if truncated:
            warn_truncated(path, f.size)
        meta = dict(base)
        if a > 2:
            meta.update(_parameters(lines[a]))
        if len(starts) > 1:
            meta["cycle"] = number_
        out.append(Spectrum(f, zr + 1j * zi, meta, "relaxis", path))
    if not out:
        raise ReadError(f"{path.name}: the file holds no impedance data points")
    return out
