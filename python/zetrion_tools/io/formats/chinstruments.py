"""CH Instruments text export (``Freq/Hz, Z'/ohm, Z"/ohm, ...``)."""

from __future__ import annotations

from pathlib import Path
from typing import Any

from ..spectrum import ReadError, Spectrum
from ..text import (
    Source,
    Table,
    column_index,
    columns,
    float_or_none,
    require_points,
    warn_truncated,
)

__all__ = ["read_chinstruments"]


def _metadata(lines: list[str], head: int, names: list[str]) -> dict[str, Any]:
    header: dict[str, str] = {}
    for line in lines[1:head]:
        if "=" in line:
            key, _, value = line.partition("=")
        elif ":" in line:
            key, _, value = line.partition(":")
        else:
            continue
        header.setdefault(key.strip(), value.strip())
    meta: dict[str, Any] = {"columns": names, "header": header}
    stamp = lines[0].split()
    if len(stamp) >= 4:
        meta["date"] = " ".join(stamp[:3])
        meta["time"] = stamp[3]
    if len(lines) > 1 and lines[1].strip():
        meta["technique"] = lines[1].strip()
    if "Instrument Model" in header:
        meta["instrument"] = header["Instrument Model"]
    amp = float_or_none(header.get("Amplitude (V)", ""))
    if amp is not None:
        meta["ac_amplitude_V"] = amp
    return meta


def read_chinstruments(src: Source, path: Path) -> list[Spectrum]:
    lines = src.lines
    head = None
    for k, line in enumerate(lines):
        if line.startswith("Freq/Hz"):
            head = k
            break
    if head is None:
        raise ReadError(f"{path.name}: no 'Freq/Hz, Z'/ohm, ...' column header")
    names = [n.strip() for n in lines[head].split(",")]
    fi = column_index(names, ["Freq/Hz"], path, "frequency")
    ri = column_index(names, ["Z'/ohm"], path, "real impedance")
    ii = column_index(names, ['Z"/ohm', "Z''/ohm"], path, "imaginary impedance")
    table = Table(names, src, head + 1, len(lines), lambda s: s.split(","))
    (f, zr, zi), truncated = columns(table, [fi, ri, ii], names, path)
    require_points(path, f)
    if truncated:
        warn_truncated(path, f.size)
    meta = _metadata(lines, head, names)
    return [Spectrum(f, zr + 1j * zi, meta, "chinstruments", path)]
