"""BioLogic EC-Lab ``.mpr`` (the binary file EC-Lab writes while it measures).

The file is a 52-byte banner (``BIO-LOGIC MODULAR FILE``) followed by
modules, each a 65-byte header (``MODULE``, a short and a long name, the
length of its data, a version and a date) and its data:

- ``VMP Set``: the settings; the first byte names the technique, and for
  PEIS the sweep parameters sit at fixed places;
- ``VMP data``: the table, as a row count, a column count, the column IDs
  (a table of at most 500) and, from byte 1007 on, the rows, each the
  columns' values side by side (little-endian; the type and width of each
  column follow from its ID);
- ``VMP LOG``: when the acquisition started (an OLE date), the EC-Lab and
  firmware versions, the instrument's serial number, the original file name;
- ``VMP loop``: loop indexes (not needed: the rows carry the cycle number).

The column IDs below were identified by matching an EC-Lab 11.61 file against
its text export and, for the columns an export leaves out, by the relations
between the columns (|Z|/Phase against Re/-Im, Cs and Cp against -Im and the
frequency, |Ewe|/|I| against |Z|, P against <Ewe><I>, the harmonics of Ewe
and I against their THD). The NSD and NSR columns of Ewe and I obey no such
relation; which is which follows EC-Lab's order of the quality columns
(THD, NSD, NSR). A file holding any other ID is refused with a
:class:`ReadError` naming it, unless it is the only unknown one, whose width
then follows from the row length; it is read as ``column <ID>`` (4 or 8
bytes as a float, 1 or 2 as an unsigned integer) and listed in
``metadata["unidentified_columns"]``.

Every column is kept: ``metadata["data"]`` maps the EC-Lab column name
(``"freq/Hz"``, ``"<Ewe>/V"``; the unit after the slash) to its values for
the cycle, ``metadata["columns"]`` lists the names in file order.
"""

from __future__ import annotations

import datetime as _dt
import math
import struct
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import numpy as np
from numpy.typing import NDArray

from .spectrum import ReadError, Spectrum
from .text import warn

__all__ = ["MPR_MAGIC", "read_mpr"]

MPR_MAGIC = b"BIO-LOGIC MODULAR FILE\x1a"
_BANNER = 0x34
_HEADER = 65  # "MODULE", short name, long name, 0xffffffff, length, 0, version, date
_ID_TABLE = 500
_ROWS_AT = 6 + 2 * _ID_TABLE + 1  # the rows follow the ID table and one byte

#: column ID -> (EC-Lab column name, little-endian type)
COLUMNS: dict[int, tuple[str, str]] = {
    4: ("time/s", "<f8"),
    13: ("(Q-Qo)/mA.h", "<f8"),
    24: ("cycle number", "<f8"),
    32: ("freq/Hz", "<f4"),
    33: ("|Ewe|/V", "<f4"),
    34: ("|I|/A", "<f4"),
    35: ("Phase(Z)/deg", "<f4"),
    36: ("|Z|/Ohm", "<f4"),
    37: ("Re(Z)/Ohm", "<f4"),
    38: ("-Im(Z)/Ohm", "<f4"),
    39: ("I Range", "<u2"),
    70: ("P/W", "<f4"),
    76: ("<I>/mA", "<f4"),
    77: ("<Ewe>/V", "<f4"),
    131: ("Ns", "<u2"),
    169: ("Cs/µF", "<f4"),
    172: ("Cp/µF", "<f4"),
    473: ("THD Ewe/%", "<f4"),
    474: ("THD I/%", "<f4"),
    476: ("NSD Ewe/%", "<f4"),
    477: ("NSD I/%", "<f4"),
    479: ("NSR Ewe/%", "<f4"),
    480: ("NSR I/%", "<f4"),
    **{486 + k: (f"|Ewe h{k + 2}|/V", "<f4") for k in range(6)},
    **{492 + k: (f"|I h{k + 2}|/A", "<f4") for k in range(6)},
}

_BY_WIDTH = {8: "<f8", 4: "<f4", 2: "<u2", 1: "<u1"}
_TECHNIQUES = {0x1D: ("PEIS", "Potentio Electrochemical Impedance Spectroscopy")}
_FREQ_UNITS = {0: 1e6, 1: 1e3, 2: 1.0, 3: 1e-3, 4: 1e-6}  # MHz, kHz, Hz, mHz, µHz


@dataclass
class _Module:
    name: str
    version: int
    date: str
    data: bytes
    complete: bool


@dataclass
class _Table:
    ids: list[int]
    names: list[str]
    values: dict[str, NDArray[Any]] = field(default_factory=dict)
    unidentified: list[int] = field(default_factory=list)
    truncated: bool = False


def _modules(raw: bytes, name: str) -> list[_Module]:
    """The modules in file order; a module cut off by the file's end comes last, incomplete."""
    if not raw.startswith(MPR_MAGIC):
        raise ReadError(f"{name}: not an EC-Lab .mpr file (no BIO-LOGIC MODULAR FILE banner)")
    out: list[_Module] = []
    pos = _BANNER
    while pos < len(raw):
        head = raw[pos : pos + _HEADER]
        if len(head) < _HEADER:
            break  # cut inside a module header
        if not head.startswith(b"MODULE"):
            raise ReadError(f"{name}: no module header at byte {pos}; not a readable .mpr file")
        if head[41:45] != b"\xff\xff\xff\xff":
            raise ReadError(
                f"{name}: module header at byte {pos} in a layout older than EC-Lab "
                "11.50's, which this reader does not know; export the measurement as text (.mpt)"
            )
        length, _, version = struct.unpack_from("<III", head, 45)
        start = pos + _HEADER
        data = raw[start : start + length]
        out.append(
            _Module(
                head[6:16].decode("latin-1").strip(),
                version,
                head[57:65].decode("latin-1").strip("\x00 "),
                data,
                len(data) == length,
            )
        )
        pos = start + length
    return out


def _columns(ids: list[int], name: str) -> tuple[list[str], list[str], list[int]]:
    """Names and types of the identified columns, and the IDs not identified."""
    if len(set(ids)) != len(ids):
        raise ReadError(f"{name}: a column ID appears twice in the data module")
    names, types, unknown = [], [], []
    for cid in ids:
        if cid in COLUMNS:
            names.append(COLUMNS[cid][0])
            types.append(COLUMNS[cid][1])
        else:
            names.append(f"column {cid}")
            types.append("")
            unknown.append(cid)
    return names, types, unknown


def _fill_unknown(types: list[str], unknown: list[int], room: int, rows: int, name: str) -> None:
    """Give the one unidentified column the width the row length leaves it."""
    if len(unknown) > 1 or rows == 0:
        ids = ", ".join(str(c) for c in unknown)
        raise ReadError(
            f"{name}: data columns with IDs {ids} are not known to this reader, so the row "
            "layout cannot be worked out; export the measurement as text (.mpt)"
        )
    known = sum(np.dtype(t).itemsize for t in types if t)
    width, rest = divmod(room - rows * known, rows)
    if rest or width not in _BY_WIDTH:
        raise ReadError(
            f"{name}: data column ID {unknown[0]} is not known to this reader and the row "
            f"length leaves it no valid width; export the measurement as text (.mpt)"
        )
    types[types.index("")] = _BY_WIDTH[width]


def _table(module: _Module, name: str) -> _Table:
    d = module.data
    if module.version < 11:
        raise ReadError(
            f"{name}: data module version {module.version} (EC-Lab before 11.50) is not "
            "supported; export the measurement as text (.mpt)"
        )
    if len(d) < _ROWS_AT:
        raise ReadError(f"{name}: the data module is cut off before its rows")
    rows, ncol = struct.unpack_from("<IH", d, 0)
    if not 0 < ncol <= _ID_TABLE:
        raise ReadError(f"{name}: {ncol} data columns; not a readable .mpr file")
    ids = list(struct.unpack_from(f"<{ncol}H", d, 6))
    names, types, unknown = _columns(ids, name)
    room = len(d) - _ROWS_AT
    if unknown:
        if not module.complete:
            raise ReadError(f"{name}: data column ID {unknown[0]} unknown in a cut-off file")
        _fill_unknown(types, unknown, room, rows, name)
    dtype = np.dtype([(f"c{k}", t) for k, t in enumerate(types)])
    width = dtype.itemsize
    if module.complete and room != rows * width:
        raise ReadError(
            f"{name}: the data module holds {room} bytes of rows, not {rows} rows of "
            f"{width} bytes; not a readable .mpr file"
        )
    count = min(rows, room // width)
    table = _Table(ids, names, unidentified=unknown, truncated=count < rows)
    arr = np.frombuffer(d, dtype=dtype, count=count, offset=_ROWS_AT)
    with np.errstate(all="ignore"):  # a signalling NaN in a damaged file is just a NaN
        for k, col in enumerate(names):
            values = arr[f"c{k}"]
            kind = np.float64 if values.dtype.kind == "f" else np.int64
            table.values[col] = values.astype(kind)
    return table


def _pascal(d: bytes, at: int) -> str | None:
    """A length-prefixed string at ``at``, or None if it does not fit."""
    if at >= len(d) or at + 1 + d[at] > len(d):
        return None
    return d[at + 1 : at + 1 + d[at]].decode("latin-1").strip("\x00 ")


def _log_metadata(d: bytes) -> dict[str, Any]:
    """Start of acquisition, versions, serial number and file name from the LOG module."""
    meta: dict[str, Any] = {}
    if len(d) >= 0x251:
        (ole,) = struct.unpack_from("<d", d, 0x249)
        if math.isfinite(ole) and 1.0 < ole < 2958465.0:  # the years 1900..9999
            when = _dt.datetime(1899, 12, 30) + _dt.timedelta(days=ole)
            when = when.replace(microsecond=round(when.microsecond, -3) % 1_000_000)
            meta["acquired"] = when.isoformat(timespec="milliseconds")
            meta["date"] = when.strftime("%m/%d/%Y")
            meta["time"] = when.strftime("%H:%M:%S.") + f"{when.microsecond // 1000:03d}"
    for key, at in (
        ("source_file", 0x251),
        ("software_version", 0x3B7),
        ("firmware_version", 0x3BE),
        ("serial", 0x3CF),
    ):
        text = _pascal(d, at)
        if text and text.isprintable():
            meta[key] = text
    if "software_version" in meta:
        meta["software"] = f"EC-Lab {meta['software_version']}"
    return meta


def _peis_settings(d: bytes, f: NDArray[np.float64]) -> dict[str, Any]:
    """The PEIS sweep parameters, when the frequencies measured bear them out."""
    if len(d) < 0x187E or f.size == 0:
        return {}
    fi, ufi, ff, uff, nd = struct.unpack_from("<fBfBi", d, 0x1862)
    va, pw = struct.unpack_from("<ff", d, 0x1872)
    if ufi not in _FREQ_UNITS or uff not in _FREQ_UNITS:
        return {}
    f_initial, f_final = fi * _FREQ_UNITS[ufi], ff * _FREQ_UNITS[uff]
    top, bottom = float(np.max(f)), float(np.min(f))
    # the sweep starts at fi; an aborted one may stop above ff
    if not (math.isclose(top, f_initial, rel_tol=0.05) and bottom >= f_final * 0.95):
        return {}
    return {
        "f_initial_Hz": f_initial,
        "f_final_Hz": f_final,
        "points_per_decade": nd,
        "amplitude_mV": round(va, 6),
        "wait_periods": round(pw, 6),
    }


def _metadata(mods: list[_Module], table: _Table) -> dict[str, Any]:
    meta: dict[str, Any] = {"columns": list(table.names), "column_ids": list(table.ids)}
    if table.unidentified:
        meta["unidentified_columns"] = list(table.unidentified)
    by_name = {m.name: m for m in mods}
    settings = by_name.get("VMP Set")
    if settings is not None and settings.data:
        code = settings.data[0]
        meta["technique_code"] = code
        if code in _TECHNIQUES:
            meta["technique"], meta["technique_name"] = _TECHNIQUES[code]
            f = table.values.get("freq/Hz")
            if code == 0x1D and f is not None:
                found = _peis_settings(settings.data, f)
                if found:
                    meta["settings"] = found
    log = by_name.get("VMP LOG")
    if log is not None:
        meta.update(_log_metadata(log.data))
    meta["modules"] = [f"{m.name} (version {m.version}, {m.date})" for m in mods]
    return meta


def _sweeps(cycle: NDArray[Any] | None, n: int) -> list[tuple[int, int, float | None]]:
    if cycle is None or n == 0:
        return [(0, n, None)]
    edges = np.flatnonzero(cycle[1:n] != cycle[: n - 1]) + 1
    bounds = [0, *edges.tolist(), n]
    return [(a, b, float(cycle[a])) for a, b in zip(bounds[:-1], bounds[1:])]


def read_mpr(raw: bytes, path: Path) -> list[Spectrum]:
    """The spectra of an EC-Lab ``.mpr`` file's bytes, one per cycle."""
    name = path.name
    mods = _modules(raw, name)
    data = [m for m in mods if m.name == "VMP data"]
    if not data:
        raise ReadError(f"{name}: the .mpr file holds no data module (cut off?)")
    table = _table(data[0], name)
    v = table.values
    for col in ("freq/Hz", "Re(Z)/Ohm", "-Im(Z)/Ohm"):
        if col not in v:
            raise ReadError(f"{name}: no {col} column; not an impedance measurement")
    f = v["freq/Hz"]
    if f.size == 0:
        raise ReadError(f"{name}: the file holds no impedance data points")
    if table.truncated:
        warn(f"{name}: the data rows are cut off (file cut off?); read the {f.size} complete points")
    z = v["Re(Z)/Ohm"] - 1j * v["-Im(Z)/Ohm"]
    meta = _metadata(mods, table)
    sweeps = _sweeps(v.get("cycle number"), f.size)
    out = []
    for a, b, cycle in sweeps:
        m = dict(meta)
        m["data"] = {k: col[a:b].copy() for k, col in v.items()}
        if cycle is not None:
            m["cycle"] = int(cycle) if cycle.is_integer() else cycle
            m["cycles"] = len(sweeps)
        out.append(Spectrum(f[a:b].copy(), z[a:b].copy(), m, "biologic-mpr", path))
    return out
