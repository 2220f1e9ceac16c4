"""Fit records: a fit saved to JSON, loaded back to a circuit, gathered into a table.

A record holds what is needed to rebuild and to judge a fit: the circuit
notation, the parameter names, values and standard errors, the method and
its settings, the weighting and the statistics, and a SHA-256 checksum of the
measured data (so that a record can be matched to the spectrum it came from
without storing the spectrum). Values are written as JSON numbers in
Python's shortest round-trip form, so a loaded record rebuilds a circuit
with bit-for-bit the same values, and therefore the same impedances.

Record files are treated as untrusted input: :func:`load_record` checks the
size, the structure, every type and every value, and raises
:class:`RecordError` with a plain message for anything it cannot vouch for.
"""

from __future__ import annotations

import datetime as _dt
import hashlib
import json
import math
import os
from collections.abc import Iterable, Mapping
from dataclasses import dataclass, field
from importlib import metadata
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np

import zetrion

from .engine import weightings
from .quality import Flag, FitQuality

if TYPE_CHECKING:
    import pandas as pd  # type: ignore[import-untyped, unused-ignore]

    from .fitting import ConstrainedFit

__all__ = [
    "FitRecord",
    "RecordError",
    "data_checksum",
    "make_record",
    "save_record",
    "load_record",
    "records_to_frame",
]

FORMAT = "zetrion-fit-record"
FORMAT_VERSION = 1
# A record is a few kilobytes; anything far larger is not one.
MAX_BYTES = 4 * 1024 * 1024


class RecordError(ValueError):
    """A record that cannot be made, or a file that is not a valid record."""


def data_checksum(f: Any, z: Any) -> str:
    """SHA-256 of a spectrum, as hexadecimal.

    Computed over the frequencies as little-endian float64 followed by the
    impedances as little-endian complex128, so it identifies the exact
    numbers fitted, independent of the file they were read from.
    """
    ff = np.ascontiguousarray(np.asarray(f, dtype="<f8"))
    zz = np.ascontiguousarray(np.asarray(z, dtype="<c16"))
    if ff.ndim != 1 or zz.ndim != 1 or ff.size != zz.size:
        raise RecordError("frequencies and impedances must be one-dimensional and of the same length")
    digest = hashlib.sha256()
    digest.update(ff.tobytes())
    digest.update(zz.tobytes())
    return digest.hexdigest()


@dataclass(frozen=True)
class FitRecord:
    """A fit, as saved and loaded.

    Attributes
    ----------
    notation : str
        Circuit notation or preset name; ``zetrion.Circuit(notation)``
        rebuilds the topology.
    param_names : tuple of str
        Parameter names in the circuit's flat order.
    params : dict of str to float
        Fitted values.
    stderr : dict of str to float
        Standard errors (NaN where unknown; 0 for parameters held fixed).
    method : str
        Fitting method, e.g. ``"levenberg_marquardt"`` or ``"basin_hopping"``.
    settings : dict
        Method settings (JSON values only).
    weight : str
        Residual weighting: ``"modulus"``, ``"unit"``, or ``"sigma"`` (per-point
        standard deviations).
    success : bool
        The fit's success flag.
    chi_square : float
        Sum of squared weighted residuals at the fitted values.
    n_points : int
        Number of measured points.
    data_sha256 : str
        :func:`data_checksum` of the measured spectrum.
    fixed : tuple of str
        Parameters held fixed in the fit.
    created : str
        UTC time the record was made, ISO 8601.
    software : dict of str to str
        Versions of the software that made the fit.
    metadata : dict
        Free-form JSON values supplied by the caller (sample, file, ...).
    quality : FitQuality or None
        The verdict on the fit (:mod:`zetrion_tools.quality`): its flags and
        the parameters it vouches for; ``None`` in a record written without
        one.
    """

    notation: str
    param_names: tuple[str, ...]
    params: dict[str, float]
    stderr: dict[str, float]
    method: str
    settings: dict[str, Any]
    weight: str
    success: bool
    chi_square: float
    n_points: int
    data_sha256: str
    fixed: tuple[str, ...] = ()
    created: str = ""
    software: dict[str, str] = field(default_factory=dict)
    metadata: dict[str, Any] = field(default_factory=dict)
    quality: FitQuality | None = None

    @property
    def trustworthy(self) -> bool:
        """Whether the fit was judged and no flag raised."""
        return self.quality is not None and self.quality.trustworthy

    @property
    def circuit(self) -> zetrion.Circuit:
        """A new ``zetrion.Circuit`` with the recorded values."""
        return zetrion.Circuit(self.notation).with_values([self.params[n] for n in self.param_names])

    def matches(self, f: Any, z: Any) -> bool:
        """Whether ``f`` and ``z`` are exactly the spectrum this fit was made on."""
        return data_checksum(f, z) == self.data_sha256

    def to_dict(self) -> dict[str, Any]:
        """The record as JSON-ready values (non-finite standard errors as ``None``)."""
        return {
            "format": FORMAT,
            "version": FORMAT_VERSION,
            "notation": self.notation,
            "parameters": [
                {
                    "name": n,
                    "value": self.params[n],
                    "stderr": self.stderr[n] if math.isfinite(self.stderr[n]) else None,
                    "fixed": n in self.fixed,
                }
                for n in self.param_names
            ],
            "method": self.method,
            "settings": self.settings,
            "weight": self.weight,
            "success": self.success,
            "chi_square": self.chi_square if math.isfinite(self.chi_square) else None,
            "data": {"n_points": self.n_points, "sha256": self.data_sha256},
            "created": self.created,
            "software": self.software,
            "metadata": self.metadata,
            **({"quality": self.quality.to_dict()} if self.quality is not None else {}),
        }


def _software() -> dict[str, str]:
    try:
        version = metadata.version("zetrion")
    except metadata.PackageNotFoundError:
        version = "unknown"
    return {"zetrion": version, "numpy": np.__version__}


def _carried(result: Any) -> dict[str, Any]:
    """What a fit carries for its record; None where it does not know."""
    from .fitting import ConstrainedFit

    if isinstance(result, ConstrainedFit):
        return {
            "notation": result.notation, "f": result.frequencies, "z": result.impedance,
            "method": result.method, "settings": result.settings, "weight": result.weight,
            "fixed": tuple(result.fixed), "params": dict(result.params), "stderr": dict(result.stderr),
            "names": tuple(result.circuit.param_names()), "quality": result.quality,
        }
    if isinstance(result, zetrion.FitResult):
        params = dict(result.params)
        return {
            "notation": None, "f": None, "z": None, "method": "levenberg_marquardt", "settings": {},
            "weight": "modulus", "fixed": (), "params": params,
            "stderr": dict(result.stderr) if result.stderr is not None else {n: math.nan for n in params},
            "names": tuple(result.circuit.param_names()), "quality": None,
        }
    raise TypeError(f"expected a zetrion.FitResult or a ConstrainedFit, not {type(result).__name__}")


def _judged(result: zetrion.FitResult, f: Any, z: Any, weight: str) -> tuple[dict[str, float], dict[str, float], FitQuality]:
    """A core fit's values and errors with its blocks ordered, and its verdict."""
    from .row_fits import core_row_fit

    names = result.circuit.param_names()
    row = core_row_fit(result.circuit, np.asarray(f, dtype=np.float64), np.asarray(z, dtype=np.complex128), result, weight)
    return dict(zip(names, row.values)), dict(zip(names, row.errors)), row.quality


def _string_list(value: Any, allowed: Iterable[str] | None, what: str) -> tuple[str, ...]:
    _expect(isinstance(value, list) and all(isinstance(v, str) for v in value), f"{what} must be a list of strings")
    if allowed is not None:
        known = set(allowed)
        _expect(all(v in known for v in value), f"{what} names a parameter the circuit does not have")
    return tuple(value)


def _quality(doc: Any, names: list[str], fixed: list[str], source: str) -> FitQuality | None:
    """The verdict of a record, checked; None where the record has none."""
    if doc is None:
        return None
    _expect(isinstance(doc, dict), f"{source}: \"quality\" must be an object")
    flags: list[Flag] = []
    entries = doc.get("flags", [])
    _expect(isinstance(entries, list) and len(entries) <= 1000, f"{source}: quality.flags must be a list")
    for entry in entries:
        _expect(isinstance(entry, dict), f"{source}: each of quality.flags must be an object")
        kind, message = entry.get("kind"), entry.get("message", "")
        _expect(isinstance(kind, str) and isinstance(message, str), f"{source}: a flag needs a kind and a message")
        params = _string_list(entry.get("params", []), names, f"{source}: a flag's params")
        flags.append(Flag(kind, params, message))
    vouched = _string_list(doc.get("vouched", []), names, f"{source}: quality.vouched")
    ratio = doc.get("noise_ratio")
    noise = math.nan if ratio is None else _number(ratio, f"{source}: quality.noise_ratio")
    fitted = tuple(n for n in names if n not in fixed)
    return FitQuality(flags=tuple(flags), vouched=vouched, fitted=fitted, noise_ratio=noise)


def _check_notation(notation: str | None, names: tuple[str, ...]) -> None:
    """The notation rebuilds a circuit with the fit's parameters."""
    if notation is None:
        raise RecordError(
            "the fit does not carry its circuit notation: pass notation='...' "
            "(the notation or preset name the circuit was built from)"
        )
    try:
        rebuilt = zetrion.Circuit(notation)
    except ValueError as exc:
        raise RecordError(f"notation {notation!r} does not parse: {str(exc).splitlines()[0]}") from exc
    if tuple(rebuilt.param_names()) != names:
        raise RecordError(f"notation {notation!r} has parameters {rebuilt.param_names()}, but the fit has {list(names)}")


def make_record(
    result: zetrion.FitResult | ConstrainedFit,
    f: Any = None,
    z: Any = None,
    *,
    notation: str | None = None,
    method: str | None = None,
    settings: Mapping[str, Any] | None = None,
    weight: str | None = None,
    metadata: Mapping[str, Any] | None = None,
) -> FitRecord:
    """Build a :class:`FitRecord` from a core ``FitResult`` or a ``ConstrainedFit``.

    Parameters
    ----------
    result : zetrion.FitResult or ConstrainedFit
        The fit.
    f, z : array_like, optional
        The measured spectrum, for the checksum. A ``ConstrainedFit`` carries
        its own; a ``FitResult`` does not, so they are required for one.
    notation : str, optional
        Circuit notation or preset name, with the fit's parameter names. A
        ``ConstrainedFit`` made from a notation carries it; a ``FitResult``
        or a fit of a ``Circuit`` object needs it.
    method : str, optional
        Method name; defaults to the ``ConstrainedFit``'s, for a ``FitResult``
        to ``Circuit.fit``'s default ``"levenberg_marquardt"``.
    settings : mapping, optional
        Method settings to record (JSON values). Defaults to the
        ``ConstrainedFit``'s; empty for a ``FitResult``.
    weight : str, optional
        Weighting; defaults to the ``ConstrainedFit``'s, else ``"modulus"``.
    metadata : mapping, optional
        Free-form JSON values to keep with the record.

    Returns
    -------
    FitRecord

    Raises
    ------
    RecordError
        Missing notation or data, a notation whose parameters differ from
        the fit's, values that are not JSON.
    TypeError
        ``result`` is neither kind of fit.
    """
    carried = _carried(result)
    notation = notation if notation is not None else carried["notation"]
    f, z = (carried["f"], carried["z"]) if f is None and z is None else (f, z)
    method = method if method is not None else carried["method"]
    settings = settings if settings is not None else carried["settings"]
    weight = weight if weight is not None else carried["weight"]
    names, params, stderr = carried["names"], carried["params"], carried["stderr"]
    if f is None or z is None:  # a FitResult does not carry its spectrum
        raise RecordError("pass the measured spectrum (f, z): the record keeps its checksum")
    _check_notation(notation, names)
    quality = carried["quality"]
    if quality is None and isinstance(result, zetrion.FitResult):  # ordered and judged as a batch row
        params, stderr, quality = _judged(result, f, z, weight)
    assert notation is not None and method is not None and settings is not None and weight is not None
    record = FitRecord(
        notation=notation,
        param_names=names,
        params={n: float(params[n]) for n in names},
        stderr={n: float(stderr.get(n, math.nan)) for n in names},
        method=method,
        settings=dict(settings),
        weight=weight,
        success=bool(result.success),
        chi_square=float(result.chi_square),
        n_points=int(np.asarray(f).size),
        data_sha256=data_checksum(f, z),
        fixed=carried["fixed"],
        created=_dt.datetime.now(_dt.timezone.utc).isoformat(timespec="seconds"),
        software=_software(),
        metadata=dict(metadata or {}),
        quality=quality,
    )
    try:
        json.dumps(record.to_dict(), allow_nan=False)
    except (TypeError, ValueError) as exc:
        raise RecordError(f"settings and metadata must hold JSON values only: {exc}") from exc
    return record


def save_record(
    result: zetrion.FitResult | ConstrainedFit | FitRecord,
    path: str | os.PathLike[str],
    f: Any = None,
    z: Any = None,
    **kwargs: Any,
) -> FitRecord:
    """Save a fit to a JSON file and return the record written.

    ``result`` may be a core ``FitResult``, a ``ConstrainedFit`` or a ready
    :class:`FitRecord`; the other arguments are those of
    :func:`make_record`.
    """
    record = result if isinstance(result, FitRecord) else make_record(result, f, z, **kwargs)
    text = json.dumps(record.to_dict(), indent=2, allow_nan=False)
    target = Path(path)
    # write beside the target and rename, so that a crash mid-write never
    # leaves a truncated record in place of a good one
    partial = target.with_name(f".{target.name}.{os.getpid()}.partial")
    try:
        partial.write_text(text + "\n", encoding="utf-8")
        os.replace(partial, target)
    finally:
        partial.unlink(missing_ok=True)
    return record


def _reject_constant(name: str) -> float:
    raise RecordError(f"the file holds the non-standard JSON number {name}")


def _finite_float(text: str) -> float:
    # json reads 1e400 as inf, which a later save could not write back
    value = float(text)
    if not math.isfinite(value):
        raise RecordError(f"the file holds the number {text}, which is too large for a double")
    return value


def _expect(cond: bool, message: str) -> None:
    if not cond:
        raise RecordError(message)


def _number(value: Any, what: str) -> float:
    # bool is an int in Python but never a number in a record
    _expect(isinstance(value, (int, float)) and not isinstance(value, bool), f"{what} must be a number")
    try:
        out = float(value)
    except OverflowError:  # an integer beyond the range of a double
        out = math.inf
    _expect(math.isfinite(out), f"{what} must be finite")
    return out


def _parameters(
    entries: Any, names: list[str], bounds: list[tuple[float, float]], source: str
) -> tuple[dict[str, float], dict[str, float], list[str]]:
    """Values, standard errors and fixed names of a record's parameter list."""
    _expect(isinstance(entries, list), f"{source}: \"parameters\" must be a list")
    assert isinstance(entries, list)
    got = [e.get("name") if isinstance(e, dict) else None for e in entries]
    _expect(got == names, f"{source}: parameters {got} do not match the notation's {names}")
    params: dict[str, float] = {}
    stderr: dict[str, float] = {}
    fixed: list[str] = []
    for entry, name, (lo, hi) in zip(entries, names, bounds):
        value = _number(entry.get("value"), f"{source}: value of {name}")
        _expect(lo <= value <= hi, f"{source}: value of {name} = {value!r} lies outside its bounds ({lo}, {hi})")
        params[name] = value
        err = entry.get("stderr")
        stderr[name] = math.nan if err is None else _number(err, f"{source}: stderr of {name}")
        _expect(not stderr[name] < 0, f"{source}: stderr of {name} = {err!r} is negative")
        flag = entry.get("fixed", False)
        _expect(isinstance(flag, bool), f"{source}: \"fixed\" of {name} must be true or false")
        if flag:
            fixed.append(name)
    return params, stderr, fixed


def _from_dict(doc: Any, source: str) -> FitRecord:
    _expect(isinstance(doc, dict), f"{source}: a fit record is a JSON object")
    _expect(doc.get("format") == FORMAT, f"{source}: not a zetrion fit record (no \"format\": \"{FORMAT}\")")
    version = doc.get("version")
    _expect(
        isinstance(version, int) and not isinstance(version, bool) and version == FORMAT_VERSION,
        f"{source}: unsupported record version {version!r} (this reader knows {FORMAT_VERSION})",
    )
    notation = doc.get("notation")
    _expect(isinstance(notation, str) and 0 < len(notation) <= 10_000, f"{source}: \"notation\" must be a string")
    try:
        circuit = zetrion.Circuit(notation)
    except ValueError as exc:
        raise RecordError(f"{source}: notation {notation!r} does not parse: {str(exc).splitlines()[0]}") from exc
    names = circuit.param_names()
    params, stderr, fixed = _parameters(doc.get("parameters"), names, circuit.param_bounds(), source)
    method = doc.get("method")
    _expect(isinstance(method, str), f"{source}: \"method\" must be a string")
    settings = doc.get("settings", {})
    _expect(isinstance(settings, dict), f"{source}: \"settings\" must be an object")
    weight = doc.get("weight")
    known = (*weightings(), "sigma")
    _expect(weight in known, f"{source}: \"weight\" must be one of {', '.join(known)}")
    success = doc.get("success")
    _expect(isinstance(success, bool), f"{source}: \"success\" must be true or false")
    chi = doc.get("chi_square")
    chi_square = math.nan if chi is None else _number(chi, f"{source}: chi_square")
    _expect(not chi_square < 0, f"{source}: chi_square = {chi!r} is negative")
    data = doc.get("data")
    _expect(isinstance(data, dict), f"{source}: \"data\" must be an object")
    assert isinstance(data, dict)
    n_points = data.get("n_points")
    _expect(
        isinstance(n_points, int) and not isinstance(n_points, bool) and n_points > 0,
        f"{source}: data.n_points must be a positive integer",
    )
    sha = data.get("sha256")
    _expect(
        isinstance(sha, str) and len(sha) == 64 and all(c in "0123456789abcdef" for c in sha),
        f"{source}: data.sha256 must be 64 lower-case hexadecimal digits",
    )
    created = doc.get("created", "")
    _expect(isinstance(created, str), f"{source}: \"created\" must be a string")
    software = doc.get("software", {})
    _expect(
        isinstance(software, dict) and all(isinstance(v, str) for v in software.values()),
        f"{source}: \"software\" must map names to version strings",
    )
    meta = doc.get("metadata", {})
    _expect(isinstance(meta, dict), f"{source}: \"metadata\" must be an object")
    assert isinstance(notation, str) and isinstance(method, str) and isinstance(weight, str)
    assert isinstance(success, bool) and isinstance(n_points, int) and isinstance(sha, str)
    assert isinstance(created, str) and isinstance(settings, dict) and isinstance(software, dict)
    assert isinstance(meta, dict)
    return FitRecord(
        notation=notation,
        param_names=tuple(names),
        params=params,
        stderr=stderr,
        method=method,
        settings=settings,
        weight=weight,
        success=success,
        chi_square=chi_square,
        n_points=n_points,
        data_sha256=sha,
        fixed=tuple(fixed),
        created=created,
        software=software,
        metadata=meta,
        quality=_quality(doc.get("quality"), names, fixed, source),
    )


def load_record(path: str | os.PathLike[str]) -> FitRecord:
    """Load and validate a record saved by :func:`save_record`.

    ``load_record(path).circuit`` is a ``zetrion.Circuit`` that evaluates to
    exactly the impedances of the fitted circuit.

    Raises
    ------
    RecordError
        The file is not a regular file, is too large, is not UTF-8 JSON, or
        is not a valid record (the message says which field is wrong).
    OSError
        The file cannot be read.
    """
    from .io.text import read_limited

    p = Path(path)
    # only a regular file, and only so much of it: a device or FIFO named
    # as a record must not hang or exhaust memory
    raw = read_limited(p, MAX_BYTES, RecordError)
    try:
        doc = json.loads(raw.decode("utf-8"), parse_constant=_reject_constant, parse_float=_finite_float)
    except UnicodeDecodeError as exc:
        raise RecordError(f"{p}: not a UTF-8 text file") from exc
    except RecordError as exc:
        raise RecordError(f"{p}: {exc}") from exc
    except json.JSONDecodeError as exc:
        raise RecordError(f"{p}: not valid JSON ({exc})") from exc
    except RecursionError as exc:
        raise RecordError(f"{p}: JSON nested too deeply") from exc
    except ValueError as exc:  # e.g. an integer of more digits than Python converts
        raise RecordError(f"{p}: not a usable JSON number ({exc})") from exc
    return _from_dict(doc, str(p))


def records_to_frame(records: Iterable[FitRecord | str | os.PathLike[str]]) -> pd.DataFrame:
    """One row per record: identity, statistics, and every parameter with its error.

    Parameters
    ----------
    records : iterable of FitRecord or path
        Records, or paths of record files (loaded with :func:`load_record`).

    Returns
    -------
    pandas.DataFrame
        Columns ``notation``, ``method``, ``weight``, ``success``,
        ``chi_square``, ``n_points``, ``data_sha256``, ``created``, then for
        each parameter name ``<name>`` and ``<name> stderr`` (NaN where a
        record's circuit has no such parameter), then ``fixed`` (the fixed
        names joined by commas), ``trustworthy``, ``flags`` and ``vouched``
        (the verdict, as in a ``fit_many`` row; a record without one is not
        trustworthy) and ``source`` (the path, where loaded).
    """
    import pandas as pd

    rows: list[dict[str, Any]] = []
    columns: list[str] = []
    for item in records:
        source = ""
        if not isinstance(item, FitRecord):
            source = str(item)
            item = load_record(item)
        row: dict[str, Any] = {
            "notation": item.notation,
            "method": item.method,
            "weight": item.weight,
            "success": item.success,
            "chi_square": item.chi_square,
            "n_points": item.n_points,
            "data_sha256": item.data_sha256,
            "created": item.created,
        }
        for name in item.param_names:
            row[name] = item.params[name]
            row[f"{name} stderr"] = item.stderr[name]
            for col in (name, f"{name} stderr"):
                if col not in columns:
                    columns.append(col)
        row["fixed"] = ",".join(item.fixed)
        row["trustworthy"] = item.trustworthy
        row["flags"] = "; ".join(item.quality.codes) if item.quality is not None else ""
        row["vouched"] = ",".join(item.quality.vouched) if item.quality is not None else ""
        row["source"] = source
        rows.append(row)
    head = ["notation", "method", "weight", "success", "chi_square", "n_points", "data_sha256", "created"]
    return pd.DataFrame(rows, columns=head + columns + ["fixed", "trustworthy", "flags", "vouched", "source"])
