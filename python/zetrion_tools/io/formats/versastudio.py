"""Ametek VersaStudio ``.par``: XML-like sections, segments of comma-separated rows.

Every segment holding frequency and impedance columns is one sweep.
"""

from __future__ import annotations

import re
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from ..spectrum import ReadError, Spectrum
from ..text import Source, Table, column_index, columns, float_or_none, warn

__all__ = ["read_versastudio"]

_TAG = re.compile(r"<(/?)([A-Za-z]\w{0,100})>")


@dataclass
class _Segment:
    name: str
    names: list[str] = field(default_factory=list)
    start: int = 0
    stop: int = 0
    closed: bool = False


def _scan(lines: list[str]) -> tuple[dict[str, dict[str, str]], list[_Segment]]:
    """Sections (key=value pairs) and data segments of the file."""
    sections: dict[str, dict[str, str]] = {}
    segments: list[_Segment] = []
    current: str | None = None
    seg: _Segment | None = None
    for k, raw in enumerate(lines):
        line = raw.strip()
        m = _TAG.fullmatch(line)
        if m:
            closing, name = m.group(1) == "/", m.group(2)
            if seg is not None and seg.names:
                seg.stop, seg.closed = k, closing
                segments.append(seg)
            seg = None
            current = None if closing else name
            if current is not None:
                sections.setdefault(current, {})
                if current.startswith("Segment"):
                    seg = _Segment(current)
            continue
        if current is None:
            continue
        if seg is not None:
            if seg.names:
                continue  # a data row
            if line.startswith("Definition="):
                seg.names = [n.strip() for n in line[len("Definition=") :].split(",")]
                seg.start = k + 1
            elif "=" in line:
                key, _, value = line.partition("=")
                sections[current][key] = value
        elif "=" in line:
            key, _, value = line.partition("=")
            sections[current].setdefault(key.strip(), value.strip())
    if seg is not None and seg.names:
        seg.stop = len(lines)  # no closing tag
        segments.append(seg)
    return sections, segments


def _metadata(sections: dict[str, dict[str, str]], names: list[str], segment: str) -> dict[str, Any]:
    app = sections.get("Application", {})
    inst = sections.get("Instrument", {})
    exp = sections.get("Experiment", {})
    meta: dict[str, Any] = {
        "columns": names,
        "segment": segment,
        "header": {k: v for k, v in sections.items() if not k.startswith("Segment")},
    }
    if app.get("Name"):
        meta["software"] = f"{app['Name']} {app.get('Version', '')}".strip()
    if inst.get("Type"):
        meta["instrument"] = f"{inst['Type']} {inst.get('Model', '')}".strip()
    if inst.get("SN"):
        meta["serial"] = inst["SN"]
    if exp.get("DateAcquired"):
        meta["date"] = exp["DateAcquired"]
    if exp.get("TimeAcquired"):
        meta["time"] = exp["TimeAcquired"]
    for sec_name, sec in sections.items():
        if sec_name.startswith("Action"):
            area = float_or_none(sec.get("Working Electrode Area (cm2)", ""))
            if area is not None and "area_cm2" not in meta:
                meta["area_cm2"] = area
            if "Start Frequency (Hz)" in sec and "technique" not in meta:
                meta["technique"] = sec.get("Name", "")
    return meta


def _read_segment(src: Source, path: Path, seg: _Segment) -> Spectrum | None:
    names = seg.names
    fi = column_index(names, ["Frequency(Hz)"], path, "frequency")
    ri = column_index(names, ["Z Real"], path, "real impedance")
    ii = column_index(names, ["Z Imag"], path, "imaginary impedance")
    table = Table(names, src, seg.start, seg.stop, lambda s: s.strip().split(","))
    (f, zr, zi), truncated = columns(
        table, [fi, ri, ii], ["Frequency(Hz)", "Z Real", "Z Imag"], path
    )
    if f.size == 0:
        return None
    if truncated or not seg.closed:
        warn(
            f"{path.name}: {seg.name} is not closed (file cut off?); read the {f.size} "
            "points measured"
        )
    return Spectrum(f, zr + 1j * zi, {}, "versastudio", path)


def read_versastudio(src: Source, path: Path) -> list[Spectrum]:
    sections, segments = _scan(src.lines)
    eis = [s for s in segments if "Frequency(Hz)" in s.names and "Z Real" in s.names]
    if not eis:
        raise ReadError(
            f"{path.name}: VersaStudio file without a segment holding Frequency(Hz), "
            "Z Real and Z Imag columns (no impedance measurement)"
        )
    out = []
    for number, seg in enumerate(eis, start=1):
        s = _read_segment(src, path, seg)
        if s is None:
            continue
        meta = _metadata(sections, seg.names, seg.name)
        if len(eis) > 1:
            meta["cycle"] = number
        out.append(Spectrum(s.frequencies, s.impedance, meta, "versastudio", path))
    if not out:
        raise ReadError(f"{path.name}: the file holds no impedance data points")
    return out
