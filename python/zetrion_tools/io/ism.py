"""Zahner Thales/Zennium ``.ism`` impedance files (binary, big-endian).

Layout: a 6-byte version (``00 00 ff ff ff fe`` in every file seen), a
6-byte count ``n - 1``, then five arrays of ``n`` values each: frequency
(Hz), |Z| (ohm) and phase (rad) as doubles, the time of each point as a
double (seconds since 1980-01-01) and a 16-bit significance. After them come
length-prefixed strings with the upper and lower case swapped (date as
``ddmmyy``, system, potential, current, temperature, time window, four
comment lines, electrode area, one more), a 16-bit acquisition flag, 32
doubles of settings (the amplitude in mV or mA at index 25) and, when the flag
and setting 27 say so, the potential and current measured at each point.

A Zahner sweep starts at a middle frequency, runs to one end of the range and
then over the whole range to the other; the points of that first stretch are
measured again later. As Zahner's own software does, the spectrum keeps the
one sweep from the highest to the lowest frequency (in the order measured)
and drops the points before it (``metadata["dropped_points"]``).
"""

from __future__ import annotations

import datetime as _dt
import math
import struct
from pathlib import Path
from typing import Any

import numpy as np
from numpy.typing import NDArray

from .spectrum import ReadError, Spectrum

__all__ = ["ISM_MAGIC", "read_ism"]

ISM_MAGIC = b"\x00\x00\xff\xff\xff\xfe"
_EPOCH = _dt.datetime(1980, 1, 1)
_STRINGS = (
    "date_code",
    "system",
    "potential",
    "current",
    "temperature",
    "time_window",
    "comment_1",
    "comment_2",
    "comment_3",
    "comment_4",
    "electrode_area",
    "quantities",
)


class _Short(Exception):
    """The file ends inside the metadata."""


class _Cursor:
    def __init__(self, raw: bytes, pos: int) -> None:
        self.raw, self.pos = raw, pos

    def take(self, n: int) -> bytes:
        if n < 0 or self.pos + n > len(self.raw):
            raise _Short
        out = self.raw[self.pos : self.pos + n]
        self.pos += n
        return out

    def string(self) -> str:
        (length,) = struct.unpack(">h", self.take(2))
        return self.take(max(length, 0)).decode("latin-1").swapcase().strip("\x00 ")


def _stamp(seconds: float) -> str | None:
    if not math.isfinite(seconds) or abs(seconds) > 3e9:  # 1980 +- 95 years
        return None
    return (_EPOCH + _dt.timedelta(seconds=abs(seconds))).isoformat(timespec="milliseconds")


def _date(code: str) -> str | None:
    """'ddmmyy' -> ISO date (years 70-99 in the 1900s, as Zahner reads them)."""
    if len(code) < 6 or not code[:6].isdigit():
        return None
    day, month, year = int(code[:2]), int(code[2:4]), int(code[4:6])
    try:
        return _dt.date(year + (1900 if year >= 70 else 2000), month, day).isoformat()
    except ValueError:
        return None


def _metadata(raw: bytes, pos: int, n: int) -> tuple[dict[str, Any], dict[str, NDArray[np.float64]]]:
    """Strings, settings and the per-point potential and current after the arrays."""
    meta: dict[str, Any] = {"metadata_complete": False}
    tracks: dict[str, NDArray[np.float64]] = {}
    cur = _Cursor(raw, pos)
    try:
        for key in _STRINGS:
            text = cur.string()
            if text:
                meta[key] = text
        (flag,) = struct.unpack(">h", cur.take(2))
        k = np.frombuffer(cur.take(32 * 8), dtype=">f8").astype(np.float64)
        if math.isfinite(k[25]):
            meta["amplitude"] = float(k[25]) / 1000.0
        if flag > 256 and math.isfinite(k[27]) and int(k[27]) & 0x8000:
            pairs = np.frombuffer(cur.take(16 * n), dtype=">f8").astype(np.float64)
            tracks["Voltage/V"], tracks["Current/A"] = pairs[0::2], pairs[1::2]
        meta["metadata_complete"] = True
    except _Short:
        pass
    if "date_code" in meta:
        iso = _date(meta["date_code"])
        if iso is not None:
            meta["date"] = iso
    return meta, tracks


def read_ism(raw: bytes, path: Path) -> list[Spectrum]:
    """The spectrum of a Zahner ``.ism`` file's bytes (a list of one)."""
    name = path.name
    if len(raw) < 12:
        raise ReadError(f"{name}: too short for a Zahner .ism file")
    n = int.from_bytes(raw[6:12], "big", signed=True) + 1
    if n < 1 or 12 + 34 * n > len(raw):
        raise ReadError(
            f"{name}: the header announces {n} points but the file holds "
            f"{max(len(raw) - 12, 0) // 34} at most (cut off, or not a Zahner .ism file)"
        )
    arrays = np.frombuffer(raw, dtype=">f8", count=4 * n, offset=12).astype(np.float64)
    freq, modulus, phase, seconds = (arrays[k * n : (k + 1) * n] for k in range(4))
    significance = np.frombuffer(raw, dtype=">i2", count=n, offset=12 + 32 * n).astype(np.int64)
    meta, tracks = _metadata(raw, 12 + 34 * n, n)
    # the one sweep across the range: from one end's index to the other's
    lo, hi = int(np.argmin(freq)), int(np.argmax(freq))
    a, b = min(lo, hi), max(lo, hi) + 1
    with np.errstate(all="ignore"):  # inf and NaN in a damaged file stay inf and NaN
        z = modulus * np.cos(phase) + 1j * modulus * np.sin(phase)
    data: dict[str, NDArray[Any]] = {
        "frequency/Hz": freq,
        "|Z|/Ohm": modulus,
        "phase/rad": phase,
        "time/s": seconds,
        "significance": significance,
        **tracks,
    }
    meta["data"] = {key: col[a:b].copy() for key, col in data.items()}
    meta["columns"] = list(data)
    meta["dropped_points"] = n - (b - a)
    # the measurement's span, the points measured twice included
    for key, value in (("start", np.min(seconds)), ("end", np.max(seconds))):
        stamp = _stamp(float(value))
        if stamp is not None:
            meta[key] = stamp
    return [Spectrum(freq[a:b].copy(), z[a:b], meta, "zahner-ism", path)]
