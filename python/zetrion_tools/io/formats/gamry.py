"""Gamry Framework ``.DTA`` (EISPOT and EISGALV): tagged header, ``ZCURVE`` table."""

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
    split_fields,
    warn,
    warn_truncated,
)

__all__ = ["read_gamry"]


def _header(lines: list[str]) -> tuple[dict[str, str], list[str], int | None]:
    """Tags before the table, the NOTES block, and the line of ``ZCURVE``."""
    header: dict[str, str] = {}
    notes: list[str] = []
    i = 0
    while i < len(lines):
        line = lines[i]
        if line and not line[0].isspace():
            parts = line.split("\t", 3)
            tag = parts[0].strip()
            if tag == "ZCURVE":
                return header, notes, i
            if len(parts) >= 3:
                header[tag] = parts[2].strip()
            elif len(parts) == 2:
                header[tag] = parts[1].strip()
            if len(parts) >= 3 and parts[1] == "NOTES":
                count = int(parts[2]) if parts[2].strip().isdecimal() else 0
                count = min(count, len(lines))
                notes = [s.strip() for s in lines[i + 1 : i + 1 + count]]
                i += count
        i += 1
    return header, notes, None


def _metadata(header: dict[str, str], notes: list[str], names: list[str]) -> dict[str, Any]:
    meta: dict[str, Any] = {
        "columns": [n.strip() for n in names if n.strip()],
        "header": header,
    }
    for key, tag in (
        ("technique", "TAG"),
        ("title", "TITLE"),
        ("date", "DATE"),
        ("time", "TIME"),
        ("instrument", "PSTAT"),
    ):
        if tag in header:
            meta[key] = header[tag]
    for key, tag in (
        ("area_cm2", "AREA"),
        ("dc_potential_V", "VDC"),
        ("ac_amplitude_mV_rms", "VAC"),
        ("dc_current_A", "IDC"),
        ("ac_current_A_rms", "IAC"),
        ("frequency_initial_Hz", "FREQINIT"),
        ("frequency_final_Hz", "FREQFINAL"),
        ("points_per_decade", "PTSPERDEC"),
    ):
        v = float_or_none(header.get(tag, ""))
        if v is not None:
            meta[key] = v
    if "FRAMEWORKVERSION" in header:
        meta["software"] = f"Gamry Framework {header['FRAMEWORKVERSION']}"
    if any(notes):
        meta["notes"] = "\n".join(n for n in notes if n)
    return meta


def read_gamry(src: Source, path: Path) -> list[Spectrum]:
    lines = src.lines
    header, notes, start = _header(lines)
    if start is None:
        raise ReadError(
            f"{path.name}: Gamry file without a ZCURVE table; it holds no impedance "
            "sweep (was it an EIS experiment?)"
        )
    if start + 2 >= len(lines):
        raise ReadError(f"{path.name}: the ZCURVE table has no column header")
    names = lines[start + 1].split("\t")
    j = start + 3
    while j < len(lines) and lines[j][:1].isspace() and not lines[j].isspace():
        j += 1
    # tags after the table (EXPERIMENTABORTED is written there)
    for line in lines[j:]:
        parts = line.split("\t", 3)
        if line and not line[0].isspace() and len(parts) >= 3:
            header.setdefault(parts[0].strip(), parts[2].strip())
    table = Table(names, src, start + 3, j, lambda s: split_fields(s, "\t"), decimal_comma=True)
    cols = [
        column_index(names, ["Freq"], path, "frequency"),
        column_index(names, ["Zreal"], path, "real impedance"),
        column_index(names, ["Zimag"], path, "imaginary impedance"),
    ]
    (f, zr, zi), truncated = columns(table, cols, ["Freq", "Zreal", "Zimag"], path)
    require_points(path, f)
    if truncated:
        warn_truncated(path, f.size)
    meta = _metadata(header, notes, names)
    aborted = header.get("EXPERIMENTABORTED", "F").upper().startswith("T")
    meta["aborted"] = aborted
    if aborted:
        final = meta.get("frequency_final_Hz")
        target = f" of a sweep down to {final:g} Hz" if final is not None else ""
        warn(
            f"{path.name}: the experiment was aborted; read the {f.size} points "
            f"measured (lowest {f.min():g} Hz){target}"
        )
    return [Spectrum(f, zr + 1j * zi, meta, "gamry", path)]
