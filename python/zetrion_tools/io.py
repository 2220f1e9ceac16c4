"""Readers for impedance spectra exported by instrument software.

``read(path)`` recognises a file by its content (the extension is only a
hint) and returns a :class:`Spectrum`: frequencies in Hz, complex impedances
in ohm with the capacitive sign (negative imaginary part), and the metadata the
file carries (date, instrument, electrode area, ...).

Supported native exports: Gamry Framework ``.DTA``, BioLogic EC-Lab ``.mpt``,
Metrohm Autolab (the Z60W/ZView text export and the NOVA column export), CH
Instruments text, Ametek Parstat text, Princeton Applied Research PowerSuite
text, Ametek VersaStudio ``.par`` and Scribner ZPlot/ZView ``.z``. Anything
else with recognisable column names (frequency; real and imaginary parts or
modulus and phase; units in the header) is read as delimited text, see
:func:`read_delimited`.

Instrument files are untrusted input: everything that is not understood ends
in a :class:`ReadError` (a ``ValueError``) naming the file, the line and what
to do; a file whose measurement stops early is read up to where it stops, with
a :class:`ReadWarning`.
"""

from __future__ import annotations

import math
import re
import sys
import warnings
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np
from numpy.typing import NDArray

if TYPE_CHECKING:
    import pandas as pd  # type: ignore[import-untyped, unused-ignore]

__all__ = [
    "FORMATS",
    "ReadError",
    "ReadWarning",
    "Spectrum",
    "detect_format",
    "read",
    "read_delimited",
    "to_frame",
]

#: Format names accepted by ``read(..., format=...)``; the instrument names are
#: the ones impedance.py's ``readFile`` uses, so scripts can switch over.
FORMATS = (
    "gamry",
    "biologic",
    "autolab",
    "chinstruments",
    "parstat",
    "powersuite",
    "versastudio",
    "zplot",
    "delimited",
)

# Refuse to slurp anything larger: no impedance export comes near this, and an
# untrusted path should not be able to exhaust memory.
MAX_BYTES = 256 * 1024 * 1024


class ReadError(ValueError):
    """A file could not be read as an impedance spectrum."""


class ReadWarning(UserWarning):
    """A file was read, but not all of it or not without doubt."""


@dataclass(frozen=True, eq=False)
class Spectrum:
    """One impedance spectrum read from a file.

    Attributes
    ----------
    frequencies : ndarray of float64
        Frequencies in Hz, in file order.
    impedance : ndarray of complex128
        Impedances in ohm; a capacitive response has a negative imaginary part
        whatever convention the file used.
    metadata : dict
        What the file says about the measurement. Keys used where the file
        has them: ``date``, ``time``, ``instrument``, ``serial``, ``software``,
        ``technique``, ``area_cm2``, ``columns``, ``points_expected``,
        ``aborted``, ``notes``; plus ``header`` (raw key/value pairs).
    format : str
        The format the file was read as (one of :data:`FORMATS`).
    path : pathlib.Path or None
        Where it was read from.
    """

    frequencies: NDArray[np.float64]
    impedance: NDArray[np.complex128]
    metadata: dict[str, Any] = field(default_factory=dict)
    format: str = "unknown"
    path: Path | None = None

    def __post_init__(self) -> None:
        f = np.asarray(self.frequencies, dtype=np.float64)
        z = np.asarray(self.impedance, dtype=np.complex128)
        if f.ndim != 1 or z.ndim != 1 or f.shape != z.shape:
            raise ValueError(
                f"frequencies and impedance must be 1-D of equal length, got shapes "
                f"{f.shape} and {z.shape}"
            )
        object.__setattr__(self, "frequencies", f)
        object.__setattr__(self, "impedance", z)

    def __len__(self) -> int:
        return int(self.frequencies.size)

    def __repr__(self) -> str:
        where = f", path={str(self.path)!r}" if self.path is not None else ""
        if len(self):
            span = f"{self.frequencies.min():.4g}..{self.frequencies.max():.4g} Hz"
        else:
            span = "empty"
        return f"Spectrum(format={self.format!r}, points={len(self)}, {span}{where})"

    def to_frame(self) -> pd.DataFrame:
        """Return the spectrum as a pandas DataFrame, see :func:`to_frame`."""
        return to_frame(self)


def to_frame(spectrum: Spectrum) -> pd.DataFrame:
    """Tabulate a spectrum.

    Parameters
    ----------
    spectrum : Spectrum

    Returns
    -------
    pandas.DataFrame
        Columns ``frequency_Hz``, ``z_real_ohm``, ``z_imag_ohm``,
        ``z_modulus_ohm`` and ``phase_deg`` (capacitive = negative), one row
        per point; ``attrs`` holds the format, path and metadata.
    """
    import pandas as pd

    z = spectrum.impedance
    frame = pd.DataFrame(
        {
            "frequency_Hz": spectrum.frequencies,
            "z_real_ohm": z.real,
            "z_imag_ohm": z.imag,
            "z_modulus_ohm": np.abs(z),
            "phase_deg": np.degrees(np.angle(z)),
        }
    )
    frame.attrs["format"] = spectrum.format
    frame.attrs["path"] = None if spectrum.path is None else str(spectrum.path)
    frame.attrs["metadata"] = dict(spectrum.metadata)
    return frame


# ---------------------------------------------------------------------------
# entry points


def read(
    path: str | Path,
    format: str | None = None,
    *,
    negative_imag: bool | None = None,
    encoding: str | None = None,
) -> Spectrum:
    """Read an impedance spectrum from an instrument export or delimited text.

    Parameters
    ----------
    path : str or pathlib.Path
        The file.
    format : str, optional
        Force a format (one of :data:`FORMATS`) instead of recognising it.
    negative_imag : bool, optional
        Delimited text only: ``True`` if the imaginary (or phase) column holds
        -Z'' (as many programs export it), ``False`` if it holds Z''. Left out,
        a column named with a leading minus (``-Z''``, ``-Im(Z)``, ``-Phase``)
        is taken as negated and any other as Z''. The native formats state
        their convention, so passing it for them is an error.
    encoding : str, optional
        Text encoding; by default UTF-8 (with or without byte-order mark),
        falling back to Latin-1, which the older Windows programs write.

    Returns
    -------
    Spectrum

    Raises
    ------
    ReadError
        Unrecognised format, a missing column, a cell that is not a number,
        a binary file, or no data.
    OSError
        The file cannot be opened.

    Warns
    -----
    ReadWarning
        The measurement ended early (aborted sweep, truncated file) and only
        the measured part was read; or delimited text whose imaginary sign
        looks flipped.
    """
    p = Path(path)
    text = _load_text(p, encoding)
    fmt = format.lower() if format is not None else detect_format(text, p.suffix)
    if fmt not in FORMATS:
        raise ReadError(f"unknown format {format!r}; choose one of {', '.join(FORMATS)}")
    if fmt == "delimited":
        return _read_delimited_text(text, p, negative_imag=negative_imag)
    if negative_imag is not None:
        raise ReadError(
            f"{p.name}: the {fmt} format states its own sign convention; "
            "negative_imag applies to delimited text only"
        )
    try:
        return _READERS[fmt](text, p)
    except ReadError:
        raise
    except (IndexError, KeyError, ValueError) as exc:
        # the readers raise ReadError themselves; this keeps any case they
        # miss on untrusted input a clear error naming the file
        raise ReadError(f"{p.name}: not a readable {fmt} file ({exc})") from exc


def read_delimited(
    path: str | Path,
    *,
    negative_imag: bool | None = None,
    encoding: str | None = None,
) -> Spectrum:
    """Read delimited text (CSV, TSV, semicolon or whitespace separated).

    The first line that names a frequency column and impedance columns is the
    header (a leading ``#`` is allowed, as NumPy's ``savetxt`` writes it);
    the rows below it are the data. Recognised names, case and spacing
    ignored, with the unit after a ``/`` or in brackets:

    - frequency: ``f``, ``freq``, ``frequency`` (Hz, mHz, kHz, MHz) or
      ``omega``/``w`` (rad/s);
    - real part: ``Z'``, ``Re(Z)``, ``Zre``, ``Zreal``, ``Z_real``, ``real``;
    - imaginary part: ``Z''``, ``Z"``, ``Im(Z)``, ``Zim``, ``Zimag``,
      ``Zimg``, ``imag``, optionally with a leading minus;
    - or modulus ``|Z|``, ``Zmod``, ``modulus`` and phase ``phase``,
      ``Zphz``, ``phi`` (deg or rad).

    Impedance units ohm, mohm, kohm and Mohm (or with Ω) are converted to
    ohm; an area-specific unit (ohm cm²) is kept and recorded in
    ``metadata["impedance_unit"]``. A decimal comma is accepted when the
    separator is not a comma.

    Parameters
    ----------
    path : str or pathlib.Path
    negative_imag : bool, optional
        ``True`` if the imaginary (or phase) column holds -Z''; see
        :func:`read`.
    encoding : str, optional

    Returns
    -------
    Spectrum
        With ``format == "delimited"``.
    """
    p = Path(path)
    return _read_delimited_text(_load_text(p, encoding), p, negative_imag=negative_imag)


def detect_format(text: str, suffix: str = "") -> str:
    """Name the format of a file's text (see :data:`FORMATS`).

    Parameters
    ----------
    text : str
        The file's content (the first few kilobytes suffice).
    suffix : str, optional
        The file's extension, used when the content alone does not decide.

    Returns
    -------
    str

    Raises
    ------
    ReadError
        Nothing recognisable.
    """
    head = text[:20000]
    lines = head.splitlines()
    first = lines[0].strip().strip('"') if lines else ""
    if first.startswith("EXPLAIN") or re.search(r"^ZCURVE\tTABLE", head, re.M):
        return "gamry"
    names = [c.strip() for c in first.split("\t")]
    # EC-Lab writes tab-separated columns, with or without its header block;
    # the same column names in a comma- or semicolon-separated file (a
    # script's or a spreadsheet's re-export) are delimited text
    if first.startswith("EC-Lab ASCII FILE") or {"freq/Hz", "Re(Z)/Ohm"} <= set(names):
        return "biologic"
    if first.startswith("ZPLOT2 ASCII") or first.startswith("ZPlotW Data File"):
        return "zplot"
    if first.startswith("Z60W Data File"):
        return "autolab"
    if "<Application>" in head and ("VersaStudio" in head or "<Segment" in text):
        return "versastudio"
    if re.search(r"^Freq/Hz,\s*Z'/ohm", head, re.M) and (
        "A.C. Impedance" in head or "Instrument Model" in head
    ):
        return "chinstruments"
    if {"Frequency (Hz)", "Zre (ohms)", "Zim (ohms)"} <= set(names):
        return "parstat"
    if names[:3] == ["Frequency", "Zre", "Zimg"]:
        return "powersuite"
    hint = {
        ".dta": "gamry",
        ".mpt": "biologic",
        ".z": "zplot",
        ".par": "versastudio",
    }.get(suffix.lower())
    header = _find_header(lines)
    if hint == "biologic" and header is not None and "\t" not in first:
        # an .mpt name on a file that is not tab-separated: EC-Lab never
        # writes one, so trust the delimited header over the extension
        return "delimited"
    if hint is not None:
        return hint
    if header is not None:
        return "delimited"
    raise ReadError(
        "unrecognised file: not a Gamry, BioLogic, Autolab, CH Instruments, Parstat, "
        "PowerSuite, VersaStudio or ZPlot export, and no header line naming a "
        "frequency and impedance columns (e.g. 'freq,Re(Z),Im(Z)') was found; "
        "add such a header or pass format=..."
    )


# ---------------------------------------------------------------------------
# shared helpers


def _load_text(path: Path, encoding: str | None) -> str:
    size = path.stat().st_size
    if size > MAX_BYTES:
        raise ReadError(
            f"{path.name}: {size} bytes is larger than any impedance export "
            f"({MAX_BYTES} bytes accepted)"
        )
    raw = path.read_bytes()
    if b"\x00" in raw[:65536]:
        raise ReadError(
            f"{path.name}: binary file; export the measurement as text "
            "(e.g. EC-Lab .mpt instead of .mpr)"
        )
    if encoding is not None:
        try:
            return raw.decode(encoding)
        except (UnicodeDecodeError, LookupError) as exc:
            raise ReadError(f"{path.name}: cannot decode as {encoding}: {exc}") from exc
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError:
        text = raw.decode("latin-1")
    return text.lstrip("\ufeff")


def _number(token: str, decimal_comma: bool) -> float:
    t = token.strip().strip('"')
    if decimal_comma and "," in t and "." not in t:
        t = t.replace(",", ".")
    if "_" in t:  # Python's float() would accept "1_0"
        raise ValueError(t)
    return float(t)


@dataclass
class _Table:
    """Rows of a data table: (line number, fields)."""

    names: list[str]
    rows: list[tuple[int, list[str]]]
    decimal_comma: bool = False


def _columns(
    table: _Table,
    wanted: Sequence[int],
    labels: Sequence[str],
    path: Path,
    *,
    tolerate_short_last: bool = True,
) -> tuple[list[NDArray[np.float64]], bool]:
    """Convert the wanted columns to float arrays.

    Returns the arrays and whether a short final row (a file cut off while it
    was written) was dropped. Any other bad cell is an error.
    """
    need = max(wanted) + 1
    out: list[list[float]] = [[] for _ in wanted]
    truncated = False
    last = len(table.rows) - 1
    for r, (lineno, fields) in enumerate(table.rows):
        if len(fields) < need:
            if r == last and tolerate_short_last:
                truncated = True
                break
            raise ReadError(
                f"{path.name}, line {lineno}: {len(fields)} fields where "
                f"{len(table.names) or need} are expected"
            )
        values = []
        for col, label in zip(wanted, labels):
            try:
                values.append(_number(fields[col], table.decimal_comma))
            except ValueError:
                if r == last and tolerate_short_last:
                    truncated = True
                    break
                raise ReadError(
                    f"{path.name}, line {lineno}: {label} cell {fields[col].strip()!r} "
                    "is not a number"
                ) from None
        else:
            for dst, v in zip(out, values):
                dst.append(v)
            continue
        break
    return [np.array(v, dtype=np.float64) for v in out], truncated


def _index(names: Sequence[str], candidates: Sequence[str], path: Path, what: str) -> int:
    stripped = [n.strip() for n in names]
    for c in candidates:
        if c in stripped:
            return stripped.index(c)
    shown = ", ".join(repr(n) for n in stripped if n)
    raise ReadError(
        f"{path.name}: no {what} column ({' or '.join(repr(c) for c in candidates)}); "
        f"the header names {shown}"
    )


def _warn(message: str) -> None:
    """Issue a ReadWarning attributed to the caller of this module."""
    level = 2
    frame = sys._getframe(1)
    while frame.f_back is not None and frame.f_globals.get("__name__") == __name__:
        frame = frame.f_back
        level += 1
    warnings.warn(message, ReadWarning, stacklevel=level)


def _warn_truncated(path: Path, n: int) -> None:
    _warn(
        f"{path.name}: the last data row is incomplete (file cut off?); "
        f"read the {n} complete points before it"
    )


def _require_points(path: Path, f: NDArray[np.float64]) -> None:
    if f.size == 0:
        raise ReadError(f"{path.name}: the file holds no impedance data points")


def _split_fields(line: str, sep: str) -> list[str]:
    fields = line.split(sep)
    while fields and not fields[-1].strip():
        fields.pop()
    return fields


def _float_or_none(text: str) -> float | None:
    m = re.search(r"[-+]?(?:\d+\.?\d*|\.\d+)(?:[eE][-+]?\d+)?", text)
    if m is None:
        return None
    try:
        return float(m.group(0))
    except ValueError:  # pragma: no cover - regex guarantees a float
        return None


# ---------------------------------------------------------------------------
# Gamry Framework .DTA


def _read_gamry(text: str, path: Path) -> Spectrum:
    lines = text.splitlines()
    header: dict[str, str] = {}
    notes: list[str] = []
    start = None
    i = 0
    while i < len(lines):
        line = lines[i]
        if line and not line[0].isspace():
            parts = line.split("\t")
            tag = parts[0].strip()
            if tag == "ZCURVE":
                start = i
                break
            if len(parts) >= 3:
                header[tag] = parts[2].strip()
            elif len(parts) == 2:
                header[tag] = parts[1].strip()
            if len(parts) >= 3 and parts[1] == "NOTES":
                count = int(parts[2]) if parts[2].strip().isdigit() else 0
                notes = [s.strip() for s in lines[i + 1 : i + 1 + count]]
                i += count
        i += 1
    if start is None:
        raise ReadError(
            f"{path.name}: Gamry file without a ZCURVE table; it holds no impedance "
            "sweep (was it an EIS experiment?)"
        )
    if start + 2 >= len(lines):
        raise ReadError(f"{path.name}: the ZCURVE table has no column header")
    names = lines[start + 1].split("\t")
    rows: list[tuple[int, list[str]]] = []
    j = start + 3
    while j < len(lines) and lines[j][:1].isspace() and lines[j].strip():
        rows.append((j + 1, _split_fields(lines[j], "\t")))
        j += 1
    # tags after the table (EXPERIMENTABORTED is written there)
    for line in lines[j:]:
        parts = line.split("\t")
        if line and not line[0].isspace() and len(parts) >= 3:
            header.setdefault(parts[0].strip(), parts[2].strip())
    table = _Table(names, rows, decimal_comma=True)
    cols = [
        _index(names, ["Freq"], path, "frequency"),
        _index(names, ["Zreal"], path, "real impedance"),
        _index(names, ["Zimag"], path, "imaginary impedance"),
    ]
    (f, zr, zi), truncated = _columns(table, cols, ["Freq", "Zreal", "Zimag"], path)
    _require_points(path, f)
    if truncated:
        _warn_truncated(path, f.size)
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
        ("frequency_initial_Hz", "FREQINIT"),
        ("frequency_final_Hz", "FREQFINAL"),
        ("points_per_decade", "PTSPERDEC"),
    ):
        v = _float_or_none(header.get(tag, ""))
        if v is not None:
            meta[key] = v
    if "FRAMEWORKVERSION" in header:
        meta["software"] = f"Gamry Framework {header['FRAMEWORKVERSION']}"
    if any(notes):
        meta["notes"] = "\n".join(n for n in notes if n)
    aborted = header.get("EXPERIMENTABORTED", "F").upper().startswith("T")
    meta["aborted"] = aborted
    if aborted:
        final = meta.get("frequency_final_Hz")
        target = f" of a sweep down to {final:g} Hz" if final is not None else ""
        _warn(
            f"{path.name}: the experiment was aborted; read the {f.size} points "
            f"measured (lowest {f.min():g} Hz){target}"
        )
    return Spectrum(f, zr + 1j * zi, meta, "gamry", path)


# ---------------------------------------------------------------------------
# BioLogic EC-Lab .mpt


def _read_biologic(text: str, path: Path) -> Spectrum:
    lines = text.splitlines()
    n_header = 1
    if lines and lines[0].startswith("EC-Lab ASCII FILE"):
        m = re.match(r"\s*Nb header lines\s*:\s*(\d+)", lines[1] if len(lines) > 1 else "")
        if m is None:
            raise ReadError(f"{path.name}: EC-Lab file without 'Nb header lines' on line 2")
        n_header = int(m.group(1))
        if not 2 <= n_header <= len(lines):
            raise ReadError(
                f"{path.name}: header of {n_header} lines in a file of {len(lines)} lines"
            )
    header_lines = lines[: n_header - 1]
    names = _split_fields(lines[n_header - 1], "\t")
    fi = _index(names, ["freq/Hz"], path, "frequency")
    ri = _index(names, ["Re(Z)/Ohm"], path, "real impedance")
    sign = -1.0
    try:
        ii = _index(names, ["-Im(Z)/Ohm"], path, "imaginary impedance")
    except ReadError:
        ii = _index(names, ["-Im(Z)/Ohm", "Im(Z)/Ohm"], path, "imaginary impedance")
        sign = 1.0
    rows = [
        (k + 1, _split_fields(lines[k], "\t"))
        for k in range(n_header, len(lines))
        if lines[k].strip()
    ]
    for lineno, fields in rows[:-1]:
        if len(fields) > len(names):
            raise ReadError(
                f"{path.name}, line {lineno}: {len(fields)} fields under a header of "
                f"{len(names)} columns; the header does not describe the data"
            )
    table = _Table(names, rows, decimal_comma=True)
    (f, zr, zi), truncated = _columns(
        table, [fi, ri, ii], ["freq/Hz", "Re(Z)/Ohm", names[ii]], path
    )
    _require_points(path, f)
    if truncated:
        _warn_truncated(path, f.size)
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
    area = _float_or_none(header.get("Electrode surface area", ""))
    if area is not None:
        meta["area_cm2"] = area
    mass = _float_or_none(header.get("Characteristic mass", ""))
    if mass is not None:
        meta["mass_g"] = mass
    if "cycle number" in [n.strip() for n in names]:
        ci = [n.strip() for n in names].index("cycle number")
        (cyc,), _ = _columns(table, [ci], ["cycle number"], path)
        cycles = np.unique(cyc[: f.size])
        meta["cycles"] = int(cycles.size)
    return Spectrum(f, zr + 1j * (sign * zi), meta, "biologic", path)


# ---------------------------------------------------------------------------
# Scribner Z60W / ZPlotW text (Autolab FRA and older ZPlot exports) and ZPLOT2


_LEGACY_COLUMNS = ("Freq", "Ampl", "Bias", "Time", "Z'", "Z''", "GD", "Err", "Range")


def _read_legacy_zview(text: str, path: Path, fmt: str) -> Spectrum:
    """The quoted-header, comma-separated layout of Z60W and ZPlotW files."""
    lines = text.splitlines()
    head = None
    for k, line in enumerate(lines):
        if re.match(r'\s*"?\s*Freq', line) and "Z'" in line:
            head = k
            break
    if head is None:
        raise ReadError(f"{path.name}: no column header line starting with 'Freq'")
    header_text = lines[head].strip().strip('"')
    positions = [header_text.find(c) for c in ("Freq", "Z'", "Z''")]
    if min(positions) < 0 or not positions[0] < positions[1] <= positions[2]:
        raise ReadError(
            f"{path.name}: column header {header_text!r} is not the Freq, Ampl, Bias, "
            "Time, Z', Z'' layout of this format"
        )
    expected = None
    if head >= 1 and lines[head - 1].strip().isdigit():
        expected = int(lines[head - 1].strip())
    rows = [
        (k + 1, [s.strip() for s in lines[k].split(",")])
        for k in range(head + 1, len(lines))
        if lines[k].strip()
    ]
    table = _Table(list(_LEGACY_COLUMNS), rows)
    (f, zr, zi), truncated = _columns(table, [0, 4, 5], ["Freq", "Z'", "Z''"], path)
    _require_points(path, f)
    comments = [ln.strip().strip('"').strip() for ln in lines[1:head]]
    meta: dict[str, Any] = {"columns": list(_LEGACY_COLUMNS), "software": lines[0].strip().strip('"')}
    comment_lines: list[str] = []
    for c in comments:
        m = re.match(r"Date:\s*(\S+)(?:\s+Time:\s*(\S+))?", c)
        ocp = re.match(r"Open Circuit Potential \(V\):\s*(\S+)", c)
        if ocp:
            value = _float_or_none(ocp.group(1))
            if value is not None:
                meta["open_circuit_potential_V"] = value
        elif m:
            meta["date"] = m.group(1)
            if m.group(2):
                meta["time"] = m.group(2)
        elif c and not re.fullmatch(r"[-\d.,eE+\s]+", c):
            comment_lines.append(c)
    if comment_lines:
        meta["notes"] = "\n".join(comment_lines)
    if expected is not None:
        meta["points_expected"] = expected
    if truncated or (expected is not None and f.size < expected):
        _warn(
            f"{path.name}: the file ends early; read the {f.size} points measured"
            + (f" of {expected} announced" if expected is not None else "")
        )
    return Spectrum(f, zr + 1j * zi, meta, fmt, path)


def _read_autolab(text: str, path: Path) -> Spectrum:
    first = text.lstrip().splitlines()[0] if text.strip() else ""
    if first.strip().strip('"').startswith(("Z60W", "ZPlotW")):
        return _read_legacy_zview(text, path, "autolab")
    # NOVA column export: named columns, handled by the delimited reader
    spectrum = _read_delimited_text(text, path, negative_imag=None)
    return Spectrum(
        spectrum.frequencies, spectrum.impedance, spectrum.metadata, "autolab", path
    )


def _read_zplot(text: str, path: Path) -> Spectrum:
    lines = text.splitlines()
    if not lines or not lines[0].startswith("ZPLOT2 ASCII"):
        return _read_legacy_zview(text, path, "zplot")
    end = None
    for k, line in enumerate(lines):
        if line.strip() == "End Comments":
            end = k
            break
    if end is None or end == 0:
        raise ReadError(f"{path.name}: ZPlot file without an 'End Comments' line")
    names = [n.strip() for n in lines[end - 1].split("\t")]
    fi = _index(names, ["Freq(Hz)"], path, "frequency")
    ri = _index(names, ["Z'(a)"], path, "real impedance")
    ii = _index(names, ["Z''(b)"], path, "imaginary impedance")
    rows = [
        (k + 1, [s.strip() for s in re.split(r"\t|,", lines[k])])
        for k in range(end + 1, len(lines))
        if lines[k].strip()
    ]
    table = _Table(names, rows)
    (f, zr, zi), truncated = _columns(table, [fi, ri, ii], ["Freq(Hz)", "Z'(a)", "Z''(b)"], path)
    _require_points(path, f)
    header: dict[str, str] = {}
    for line in lines[1 : end - 1]:
        key, sep, value = line.partition(":")
        if sep:
            header.setdefault(key.strip(), value.strip())
    meta: dict[str, Any] = {"columns": [n for n in names if n], "header": header}
    if "Measured Data, ZPlot" in header:
        meta["software"] = f"ZPlot {header['Measured Data, ZPlot']}"
    for key, tag in (("technique", "Experiment Type"), ("date", "Date"), ("time", "Time")):
        if tag in header:
            meta[key] = header[tag]
    ocp = _float_or_none(header.get("Open Circuit Potential (V)", ""))
    if ocp is not None:
        meta["open_circuit_potential_V"] = ocp
    expected = header.get("Data Points", "")
    if expected.isdigit():
        meta["points_expected"] = int(expected)
    if truncated or (expected.isdigit() and f.size < int(expected)):
        _warn(
            f"{path.name}: the file ends early; read the {f.size} points measured"
            + (f" of {expected} announced" if expected.isdigit() else "")
        )
    return Spectrum(f, zr + 1j * zi, meta, "zplot", path)


# ---------------------------------------------------------------------------
# CH Instruments, Parstat, PowerSuite


def _read_chinstruments(text: str, path: Path) -> Spectrum:
    lines = text.splitlines()
    head = None
    for k, line in enumerate(lines):
        if line.startswith("Freq/Hz"):
            head = k
            break
    if head is None:
        raise ReadError(f"{path.name}: no 'Freq/Hz, Z'/ohm, ...' column header")
    names = [n.strip() for n in lines[head].split(",")]
    fi = _index(names, ["Freq/Hz"], path, "frequency")
    ri = _index(names, ["Z'/ohm"], path, "real impedance")
    ii = _index(names, ['Z"/ohm', "Z''/ohm"], path, "imaginary impedance")
    rows = [
        (k + 1, lines[k].split(",")) for k in range(head + 1, len(lines)) if lines[k].strip()
    ]
    (f, zr, zi), truncated = _columns(_Table(names, rows), [fi, ri, ii], names, path)
    _require_points(path, f)
    if truncated:
        _warn_truncated(path, f.size)
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
    amp = _float_or_none(header.get("Amplitude (V)", ""))
    if amp is not None:
        meta["ac_amplitude_V"] = amp
    return Spectrum(f, zr + 1j * zi, meta, "chinstruments", path)


def _read_parstat(text: str, path: Path) -> Spectrum:
    lines = text.splitlines()
    names = [n.strip() for n in _split_fields(lines[0], "\t")]
    fi = _index(names, ["Frequency (Hz)"], path, "frequency")
    ri = _index(names, ["Zre (ohms)"], path, "real impedance")
    ii = _index(names, ["Zim (ohms)"], path, "imaginary impedance")
    rows = [(k + 1, lines[k].split("\t")) for k in range(1, len(lines)) if lines[k].strip()]
    (f, zr, zi), truncated = _columns(_Table(names, rows), [fi, ri, ii], names, path)
    if truncated:
        _warn_truncated(path, f.size)
    # rows logged at frequency 0 are the DC record before the sweep
    keep = f != 0
    meta: dict[str, Any] = {"columns": names, "dc_rows_skipped": int(np.count_nonzero(~keep))}
    f, zr, zi = f[keep], zr[keep], zi[keep]
    _require_points(path, f)
    return Spectrum(f, zr + 1j * zi, meta, "parstat", path)


def _read_powersuite(text: str, path: Path) -> Spectrum:
    lines = text.splitlines()
    names = [n.strip() for n in lines[0].split("\t")]
    fi = _index(names, ["Frequency"], path, "frequency")
    ri = _index(names, ["Zre"], path, "real impedance")
    ii = _index(names, ["Zimg"], path, "imaginary impedance")
    rows = [(k + 1, lines[k].split("\t")) for k in range(1, len(lines)) if lines[k].strip()]
    (f, zr, zi), truncated = _columns(_Table(names, rows), [fi, ri, ii], names, path)
    _require_points(path, f)
    if truncated:
        _warn_truncated(path, f.size)
    return Spectrum(f, zr + 1j * zi, {"columns": names}, "powersuite", path)


# ---------------------------------------------------------------------------
# Ametek VersaStudio .par


def _read_versastudio(text: str, path: Path) -> Spectrum:
    lines = text.splitlines()
    sections: dict[str, dict[str, str]] = {}
    current: str | None = None
    segments: list[tuple[str, list[str], list[tuple[int, list[str]]], bool]] = []
    seg_rows: list[tuple[int, list[str]]] = []
    seg_names: list[str] = []
    for k, raw in enumerate(lines):
        line = raw.strip()
        m = re.fullmatch(r"<(/?)([A-Za-z]\w*)>", line)
        if m:
            closing, name = m.group(1) == "/", m.group(2)
            if not closing:
                current = name
                sections.setdefault(name, {})
                seg_rows, seg_names = [], []
            else:
                if current is not None and current.startswith("Segment") and seg_names:
                    segments.append((current, seg_names, seg_rows, True))
                current = None
            continue
        if current is None:
            continue
        if current.startswith("Segment"):
            if line.startswith("Definition="):
                seg_names = [n.strip() for n in line[len("Definition=") :].split(",")]
            elif seg_names and line:
                seg_rows.append((k + 1, line.split(",")))
            elif "=" in line:
                key, _, value = line.partition("=")
                sections[current][key] = value
        elif "=" in line:
            key, _, value = line.partition("=")
            sections[current].setdefault(key.strip(), value.strip())
    if current is not None and current.startswith("Segment") and seg_names:
        segments.append((current, seg_names, seg_rows, False))  # no closing tag
    eis = [s for s in segments if "Frequency(Hz)" in s[1] and "Z Real" in s[1]]
    if not eis:
        raise ReadError(
            f"{path.name}: VersaStudio file without a segment holding Frequency(Hz), "
            "Z Real and Z Imag columns (no impedance measurement)"
        )
    name, names, rows, closed = eis[0]
    fi = _index(names, ["Frequency(Hz)"], path, "frequency")
    ri = _index(names, ["Z Real"], path, "real impedance")
    ii = _index(names, ["Z Imag"], path, "imaginary impedance")
    (f, zr, zi), truncated = _columns(
        _Table(names, rows), [fi, ri, ii], ["Frequency(Hz)", "Z Real", "Z Imag"], path
    )
    _require_points(path, f)
    if truncated or not closed:
        _warn(
            f"{path.name}: {name} is not closed (file cut off?); read the {f.size} "
            "points measured"
        )
    if len(eis) > 1:
        _warn(
            f"{path.name}: {len(eis)} impedance segments; read {name} only"
        )
    app = sections.get("Application", {})
    inst = sections.get("Instrument", {})
    exp = sections.get("Experiment", {})
    meta: dict[str, Any] = {
        "columns": names,
        "segment": name,
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
            area = _float_or_none(sec.get("Working Electrode Area (cm2)", ""))
            if area is not None and "area_cm2" not in meta:
                meta["area_cm2"] = area
            if "Start Frequency (Hz)" in sec and "technique" not in meta:
                meta["technique"] = sec.get("Name", "")
    return Spectrum(f, zr + 1j * zi, meta, "versastudio", path)


# ---------------------------------------------------------------------------
# delimited text with named columns

_OHM = r"(?i:ohms?|Ω|ω)"
_UNIT_WORDS = re.compile(
    r"^(?:[mkMG]?hz|rad/s|1/s|[mkM]?" + _OHM + r".*|deg|degrees?|°|rad)$", re.I
)


def _split_unit(name: str) -> tuple[str, str]:
    """Split ``'Frequency (Hz)'``, ``'Re(Z)/Ohm'`` or ``"Z' [kΩ]"`` into quantity and unit."""
    n = name.strip().strip('"').strip()
    m = re.match(r"^(.*?)\s*[\(\[]\s*([^\)\]]*?)\s*[\)\]]\s*$", n)
    if m and _UNIT_WORDS.match(m.group(2).replace(" ", "")):
        return m.group(1), m.group(2)
    if "/" in n:
        q, _, u = n.partition("/")
        if _UNIT_WORDS.match(u.strip().replace(" ", "")):
            return q, u.strip()
    return n, ""


def _norm(quantity: str) -> str:
    """Lower-case a quantity name, unify primes and drop spacing; keep a leading minus."""
    q = quantity.strip().lower()
    for a, b in (("″", "''"), ("’", "'"), ("”", "''"), ('"', "''")):
        q = q.replace(a, b)
    negated = q.startswith("-")
    body = re.sub(r"[\s_\-.]", "", q[1:] if negated else q)
    return ("-" if negated else "") + body


_ROLE_NAMES: dict[str, set[str]] = {
    "freq": {"f", "freq", "frequency", "fhz", "frequencyhz"},
    "omega": {"omega", "w", "ω", "angularfrequency"},
    "real": {"z'", "zre", "zreal", "re(z)", "rez", "real", "realz", "zr", "z'(a)", "re", "zrealpart"},
    "imag": {"z''", "zim", "zimag", "zimg", "im(z)", "imz", "imag", "imaginary", "imagz", "zi", "z''(b)", "im"},
    "mod": {"|z|", "zmod", "mod(z)", "modulus", "magnitude", "absz", "abs(z)", "z", "zabs"},
    "phase": {"phase", "phase(z)", "zphz", "phi", "theta", "phaseangle", "phz", "zphase", "φ"},
}


def _classify(name: str) -> tuple[str, bool, str] | None:
    """Role of a column name, whether it is negated, and its unit."""
    quantity, unit = _split_unit(name)
    q = _norm(quantity)
    negated = q.startswith("-")
    q = q.lstrip("-")
    for role, names in _ROLE_NAMES.items():
        if q in names:
            if negated and role not in ("imag", "phase"):
                return None
            return role, negated, unit
    return None


def _find_header(lines: Sequence[str]) -> tuple[int, str, list[str]] | None:
    """Index, separator and names of the first line naming frequency and Z columns."""
    for k, raw in enumerate(lines[:200]):
        line = raw.strip().lstrip("#").strip()
        if not line:
            continue
        for sep in ("\t", ";", ",", None):
            if sep is not None and sep not in line:
                continue
            if sep is None:
                # keep "Frequency (Hz)" together when blanks separate columns
                names = re.findall(r"\S+(?:\s*[\(\[][^\)\]]*[\)\]])?", line)
            else:
                names = [n.strip() for n in line.split(sep)]
            roles = {r[0] for r in (_classify(n) for n in names) if r is not None}
            has_f = bool(roles & {"freq", "omega"})
            if has_f and ({"real", "imag"} <= roles or {"mod", "phase"} <= roles):
                return k, sep if sep is not None else " ", names
    return None


def _ohm_scale(unit: str, path: Path, column: str) -> tuple[float, str]:
    u = unit.replace(" ", "").replace("·", "").replace("*", "")
    if not u:
        return 1.0, "ohm"
    m = re.fullmatch(r"([mkM]?)" + _OHM + r"(.*)", u)
    if m is None:
        raise ReadError(f"{path.name}: column {column!r} has unit {unit!r}, not an impedance unit")
    scale = {"": 1.0, "m": 1e-3, "k": 1e3, "M": 1e6}[m.group(1)]
    rest = m.group(2).lower().replace("^", "").replace("²", "2")
    if rest in ("", "s"):
        return scale, "ohm"
    if rest in ("cm2", "scm2"):
        return scale, "ohm cm^2"
    if rest in ("m2", "sm2"):
        return scale, "ohm m^2"
    raise ReadError(f"{path.name}: column {column!r} has unit {unit!r}, not an impedance unit")


def _read_delimited_text(text: str, path: Path, *, negative_imag: bool | None) -> Spectrum:
    lines = text.splitlines()
    found = _find_header(lines)
    if found is None:
        raise ReadError(
            f"{path.name}: no header line naming a frequency column and either real "
            "and imaginary or modulus and phase columns (e.g. 'freq,Re(Z),Im(Z)' or "
            "'Frequency (Hz);|Z| (ohm);Phase (deg)')"
        )
    head, sep, names = found
    roles: dict[str, tuple[int, bool, str]] = {}
    for k, name in enumerate(names):
        r = _classify(name)
        if r is not None and r[0] not in roles:
            roles[r[0]] = (k, r[1], r[2])
    # a bare 'Z' beside real and imaginary columns is the modulus; ignore it
    use_parts = "real" in roles and "imag" in roles
    fkey = "freq" if "freq" in roles else "omega"
    keys = [fkey, "real", "imag"] if use_parts else [fkey, "mod", "phase"]
    idx = [roles[k][0] for k in keys]

    fcol, _, funit = roles[fkey]
    if fkey == "omega":
        fscale = 1.0 / (2.0 * math.pi)
        if funit and funit.replace(" ", "").lower() not in ("rad/s", "1/s"):
            raise ReadError(f"{path.name}: angular frequency unit {funit!r}; expected rad/s")
    else:
        u = funit.replace(" ", "")
        table_scale = {"": 1.0, "Hz": 1.0, "hz": 1.0, "HZ": 1.0, "kHz": 1e3, "khz": 1e3,
                       "mHz": 1e-3, "MHz": 1e6, "GHz": 1e9, "rad/s": 1.0 / (2.0 * math.pi)}
        if u not in table_scale:
            raise ReadError(f"{path.name}: frequency unit {funit!r} not understood (Hz, mHz, kHz, MHz, rad/s)")
        fscale = table_scale[u]

    splitter: Callable[[str], list[str]]
    if sep == " ":
        splitter = str.split
    else:
        def splitter(s: str) -> list[str]:
            return _split_fields(s, sep)
    rows: list[tuple[int, list[str]]] = []
    for k in range(head + 1, len(lines)):
        s = lines[k].strip()
        if not s or s.startswith("#"):
            continue
        rows.append((k + 1, splitter(lines[k].strip() if sep == " " else lines[k])))
    width = len(_split_fields(sep.join(names), sep)) if sep != " " else len(names)
    for lineno, fields in rows[:-1]:
        if len(fields) != width:
            raise ReadError(
                f"{path.name}, line {lineno}: {len(fields)} fields under a header of "
                f"{width} columns; the header does not describe the data"
            )
    table = _Table(names, rows, decimal_comma=sep != ",")
    (f, a, b), truncated = _columns(table, idx, [names[i] for i in idx], path)
    _require_points(path, f)
    if truncated:
        _warn_truncated(path, f.size)
    f = f * fscale
    meta: dict[str, Any] = {"columns": names}

    if use_parts:
        rs, ru = _ohm_scale(roles["real"][2], path, names[roles["real"][0]])
        is_, iu = _ohm_scale(roles["imag"][2], path, names[roles["imag"][0]])
        if ru != iu:
            raise ReadError(f"{path.name}: real and imaginary columns in different units ({ru}, {iu})")
        z = rs * a + 1j * (is_ * b)
        stated_negative = roles["imag"][1]
        unit = ru
    else:
        ms, unit = _ohm_scale(roles["mod"][2], path, names[roles["mod"][0]])
        pu = roles["phase"][2].replace(" ", "").lower()
        if pu in ("", "deg", "degree", "degrees", "°"):
            phase = np.radians(b)
        elif pu == "rad":
            phase = b
        else:
            raise ReadError(f"{path.name}: phase unit {roles['phase'][2]!r} not understood (deg, rad)")
        z = (ms * a) * np.exp(1j * phase)
        stated_negative = roles["phase"][1]
    flip = stated_negative if negative_imag is None else bool(negative_imag)
    if flip:
        z = np.conj(z)
    meta["imag_column_negated"] = flip
    if unit != "ohm":
        meta["impedance_unit"] = unit
    if negative_imag is None and not stated_negative:
        from .checks import _looks_flipped

        verdict = _looks_flipped(f, z)
        if verdict is not None:
            _warn(
                f"{path.name}: {verdict}; the header does not say the imaginary column "
                "is negated: if it holds -Z'', read it with negative_imag=True"
            )
    return Spectrum(f, z, meta, "delimited", path)


_READERS: dict[str, Callable[[str, Path], Spectrum]] = {
    "gamry": _read_gamry,
    "biologic": _read_biologic,
    "autolab": _read_autolab,
    "chinstruments": _read_chinstruments,
    "parstat": _read_parstat,
    "powersuite": _read_powersuite,
    "versastudio": _read_versastudio,
    "zplot": _read_zplot,
}
