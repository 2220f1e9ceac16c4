"""Series of spectra: parameter trajectories along time, cycle, temperature, bias.

:func:`fit_series` fits one circuit to a series of spectra measured on one
cell as something changed (ageing cycles, temperature, DC bias, state of
charge). The spectra are fitted in order, each starting from the optimum of
the one before, which follows a slowly moving cell far more cheaply and
reliably than fitting every spectrum from scratch; when such a warm start
fails, or ends clearly worse than the spectrum before (reduced chi-square
more than four times larger), the spectrum is fitted again by the automatic
path of :func:`zetrion_tools.fit` (learned guess, starts read from the data)
and the better of the two kept.

With ``shared=[...]`` the chosen parameters (a CPE exponent, a series
resistance) take one value for the whole series: after the chain above, the
compiled engine solves the whole series as one least-squares problem
(the shared values plus one block of parameters per spectrum), and every
standard error comes from that problem's Jacobian.

Standard errors follow :mod:`zetrion_tools.fitting`: ``s^2 (J^T J)^-1``
with ``s^2`` the reduced chi-square, of each spectrum for independent fits
and of the whole series for a global fit.
"""

from __future__ import annotations

import math
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import numpy.typing as npt
import pandas as pd  # type: ignore[import-untyped, unused-ignore]
import zetrion

from . import _engine
from .checks import DataError, check_spectrum
from .engine import EngineError
from .fitting import ConstrainedFit, FitSetupError, fit
from .options import FitOptions

__all__ = ["ArrheniusFit", "SeriesFit", "arrhenius", "fit_series", "series_spectra"]

FloatArray = npt.NDArray[np.float64]
ComplexArray = npt.NDArray[np.complex128]

# A warm start that ends with a reduced chi-square this many times the
# previous spectrum's is taken for a fit that lost its way.
_JUMP = 4.0
# Series at least this long show a progress bar unless told otherwise.
_PROGRESS_FROM = 20
# Boltzmann's constant (eV/K) and one electronvolt per particle in kJ/mol.
_K_B = 8.617333262e-5
_EV_KJ_MOL = 96.48533212


@dataclass(frozen=True)
class SeriesSpectrum:
    """One member of a series: its data, where it came from and its metadata."""

    frequencies: FloatArray
    impedance: ComplexArray
    label: str
    metadata: Mapping[str, Any] = field(default_factory=dict)


@dataclass(frozen=True)
class SeriesFit:
    """Outcome of :func:`fit_series`.

    Attributes
    ----------
    table : pandas.DataFrame
        One row per spectrum, in series order: the series variable (column
        named by ``along``), ``label``, every parameter and its
        ``<name>_stderr``, ``chi_square``, ``reduced_chi_square``,
        ``success``, ``message`` and ``start`` (``"automatic"`` for the
        first spectrum, ``"previous"`` for a warm start, ``"fallback"`` when
        the automatic path replaced a warm start).
    along : str
        The name of the series variable.
    param_names : tuple of str
        The circuit's parameters, in column order.
    shared : tuple of str
        The parameters shared across the series (empty: independent fits).
    circuit : zetrion.Circuit
        The circuit fitted (see :meth:`fitted` for each spectrum's values).
    independent : pandas.DataFrame
        The chain's table, the same as ``table`` when nothing is shared.
    global_fit : dict
        For a shared fit: ``success``, ``message``, ``chi_square`` (whole
        series), ``dof``, ``iterations`` and ``nfev`` of the one problem;
        empty otherwise.
    """

    table: pd.DataFrame
    along: str
    param_names: tuple[str, ...]
    circuit: zetrion.Circuit | None = None
    shared: tuple[str, ...] = ()
    independent: pd.DataFrame | None = None
    global_fit: dict[str, Any] = field(default_factory=dict)

    def values(self, name: str) -> tuple[FloatArray, FloatArray, FloatArray]:
        """The series variable (its position where it is not numeric), a
        parameter's values and their standard errors."""
        if name not in self.param_names:
            raise KeyError(f"unknown parameter {name!r}; this circuit has {', '.join(self.param_names)}")
        t = self.table
        try:
            along = np.asarray(t[self.along], dtype=np.float64)
        except (TypeError, ValueError):
            along = np.arange(len(t), dtype=np.float64)
        return (
            along,
            np.asarray(t[name], dtype=np.float64),
            np.asarray(t[f"{name}_stderr"], dtype=np.float64),
        )

    def fitted(self, row: int) -> zetrion.Circuit | None:
        """The circuit with one spectrum's fitted values (None where its fit failed)."""
        values = [float(self.table[n].iloc[row]) for n in self.param_names]
        if self.circuit is None or not all(math.isfinite(v) for v in values):
            return None
        return self.circuit.with_values(values)

    def plot(self, params: Sequence[str] | None = None, **kwargs: Any) -> Any:
        """The trajectories of some parameters (all by default); see :func:`plot_series`."""
        from .series_plot import plot_series

        return plot_series(self, params, **kwargs)

    def arrhenius(self, name: str, *, celsius: bool = False, quantity: str = "resistance") -> ArrheniusFit:
        """The activation energy of a parameter along a temperature series; see :func:`arrhenius`."""
        t, v, e = self.values(name)
        ok = np.isfinite(t) & np.isfinite(v) & (v > 0)
        errors = e[ok] if np.all(np.isfinite(e[ok]) & (e[ok] > 0)) else None
        return arrhenius(t[ok], v[ok], errors, celsius=celsius, quantity=quantity)


# ---- reading the series -------------------------------------------------


def _pair(entry: Any, index: int) -> SeriesSpectrum:
    """One entry of a list: a Spectrum, an (f, z) pair or a 2 x N array."""
    f = getattr(entry, "frequencies", None)
    if f is not None and hasattr(entry, "impedance"):
        path = getattr(entry, "path", None)
        meta = dict(getattr(entry, "metadata", {}) or {})
        return SeriesSpectrum(np.asarray(f, np.float64), np.asarray(entry.impedance, np.complex128),
                              str(path) if path is not None else f"#{index}", meta)
    if isinstance(entry, np.ndarray) and entry.ndim == 2:
        if entry.shape[0] == 2:
            return SeriesSpectrum(entry[0].real.astype(np.float64), entry[1].astype(np.complex128), f"#{index}")
        if entry.shape[1] == 2:
            return SeriesSpectrum(entry[:, 0].real.astype(np.float64), entry[:, 1].astype(np.complex128), f"#{index}")
    if isinstance(entry, (tuple, list)) and len(entry) == 2:
        return SeriesSpectrum(np.asarray(entry[0]).astype(np.float64), np.asarray(entry[1]).astype(np.complex128),
                              f"#{index}")
    raise TypeError(
        f"spectrum #{index}: expected a Spectrum, an (f, z) pair or a 2 x N array, not {type(entry).__name__}"
    )


def series_spectra(spectra: Any) -> list[SeriesSpectrum]:
    """The members of a series, in order.

    Parameters
    ----------
    spectra : sequence or ndarray
        A list of :class:`zetrion_tools.Spectrum`, of ``(f, z)`` pairs or of
        2 x N arrays (row 0 frequencies, row 1 impedances); or one 3-D array
        of shape ``(count, 2, N)`` (or ``(count, N, 2)``), frequencies in the
        real part of the first row.

    Returns
    -------
    list of SeriesSpectrum

    Raises
    ------
    TypeError, ValueError
        Anything else, an empty series, or a 3-D array of another shape.
    """
    if isinstance(spectra, np.ndarray):
        if spectra.ndim != 3 or 2 not in spectra.shape[1:]:
            raise ValueError(f"a series array must have shape (count, 2, N) or (count, N, 2), not {spectra.shape}")
        entries: list[Any] = list(spectra)
    elif isinstance(spectra, (str, bytes)) or not isinstance(spectra, Sequence):
        raise TypeError(f"spectra must be a sequence of spectra or a 3-D array, not {type(spectra).__name__}")
    else:
        entries = list(spectra)
    if not entries:
        raise ValueError("the series holds no spectrum")
    out = [_pair(e, i) for i, e in enumerate(entries)]
    for i, s in enumerate(out):
        if s.frequencies.ndim != 1 or s.frequencies.shape != s.impedance.shape:
            raise ValueError(f"spectrum #{i}: frequencies and impedances must be 1-D of equal length")
    return out


def _along(along: Any, members: list[SeriesSpectrum]) -> tuple[str, list[Any]]:
    """The series variable's name and values."""
    n = len(members)
    if along is None:
        return "index", list(range(n))
    if isinstance(along, str):
        missing = [m.label for m in members if along not in m.metadata]
        if missing:
            raise ValueError(
                f"along={along!r}: not in the metadata of {len(missing)} spectrum(s), e.g. {missing[0]}; "
                "give the values as a sequence instead"
            )
        return along, [m.metadata[along] for m in members]
    if isinstance(along, Mapping):
        if len(along) != 1:
            raise ValueError("along as a mapping must hold exactly one name: {name: values}")
        ((name, values),) = along.items()
        return str(name), _along_values(values, n)
    return "along", _along_values(along, n)


def _along_values(values: Any, n: int) -> list[Any]:
    if isinstance(values, (str, bytes)) or not hasattr(values, "__len__"):
        raise TypeError("along must be None, a metadata key, a sequence of values or {name: values}")
    out = list(values)
    if len(out) != n:
        raise ValueError(f"along has {len(out)} values for {n} spectra")
    return out


# ---- the fits -----------------------------------------------------------


def _options(options: FitOptions | None, fit_options: dict[str, Any]) -> FitOptions:
    if options is not None:
        if fit_options:
            raise TypeError("give the fit settings either as options=FitOptions(...) or as keywords, not both")
        return options
    method = fit_options.pop("method", "levenberg_marquardt")
    return FitOptions.from_keywords(method, fit_options)


def _sigmas(sigma: Any, n: int) -> list[Any]:
    """Each spectrum's sigma: one for all (None, a number) or one entry per spectrum."""
    if sigma is None or np.ndim(sigma) == 0:
        return [sigma] * n
    values = list(sigma)
    if len(values) != n:
        raise ValueError(f"sigma must be one value, or one entry per spectrum ({n}), got {len(values)}")
    return values


def _sigma_weights(sigma: Any, n: int) -> list[float]:
    """A spectrum's sigma as the engine's point weights (one value for all points, or one per point)."""
    w = np.asarray(sigma, dtype=np.float64).reshape(-1)
    if w.size not in (1, n):
        raise FitSetupError(f"sigma must have one value per point ({n}), got {w.size}")
    if not (np.all(np.isfinite(w)) and np.all(w > 0)):
        raise FitSetupError("sigma must be positive and finite at every point")
    return [float(v) for v in np.broadcast_to(w, (n,))]


def _engine_settings(names: Sequence[str], fixed: Mapping[str, float] | None,
                     bounds: Mapping[str, tuple[float, float]] | None, options: FitOptions) -> dict[str, Any]:
    """The engine's keywords for held parameters, ranges, weighting and tolerances."""
    fixed, bounds = fixed or {}, bounds or {}
    out: dict[str, Any] = {"held": [1.0 if n in fixed else 0.0 for n in names], "weight": options.weight,
                           "ftol": options.ftol, "xtol": options.xtol}
    if bounds:
        out["lower"] = [float(bounds[n][0]) if n in bounds else -math.inf for n in names]
        out["upper"] = [float(bounds[n][1]) if n in bounds else math.inf for n in names]
    if options.max_iterations is not None:
        out["max_iterations"] = options.max_iterations
    return out


@dataclass(frozen=True)
class _Row:
    """One spectrum's outcome in the chain."""

    values: list[float]
    stderr: list[float]
    chi_square: float
    reduced: float
    success: bool
    message: str
    start: str

    @classmethod
    def of_fit(cls, r: ConstrainedFit, names: Sequence[str], start: str) -> _Row:
        return cls([r.params[n] for n in names], [r.stderr[n] for n in names], r.chi_square,
                   r.reduced_chi_square, r.success, r.message, start)

    @classmethod
    def failed(cls, count: int, message: str) -> _Row:
        nan = [math.nan] * count
        return cls(nan, nan, math.nan, math.nan, False, message, "")


@dataclass
class _Chain:
    """The warm-start chain's state and settings."""

    circuit: zetrion.Circuit
    names: tuple[str, ...]
    options: FitOptions
    kwargs: dict[str, Any]  # fit()'s fixed, bounds, check_sign
    start: dict[str, float]
    fallback: bool
    engine: dict[str, Any]  # the same settings in the engine's terms
    previous: _Row | None = None
    reference: float = math.nan  # reduced chi-square the automatic path last settled

    def fit_one(self, s: SeriesSpectrum, sigma: Any) -> _Row:
        """A spectrum's fit, warm-started where there is a fit before it."""
        if self.previous is None:
            row = self._automatic(s, sigma, "automatic")
            self.reference = row.reduced
            return row
        warm = self._warm(s, sigma, self.previous)
        if not self.fallback or not _lost(warm, self.reference):
            return warm
        auto = self._automatic(s, sigma, "fallback")
        best = auto if _better(auto, warm) else warm
        self.reference = best.reduced
        return best

    def _automatic(self, s: SeriesSpectrum, sigma: Any, how: str) -> _Row:
        r = fit(self.circuit, s.frequencies, s.impedance, sigma=sigma, start=self.start, options=self.options,
                **self.kwargs)
        return _Row.of_fit(r, self.names, how)

    def _warm(self, s: SeriesSpectrum, sigma: Any, previous: _Row) -> _Row:
        """One Levenberg-Marquardt run in the engine from the previous optimum."""
        free = len(self.names) - int(sum(self.engine["held"]))
        f, z = check_spectrum(s.frequencies, s.impedance, n_params=free, check_sign=self.kwargs["check_sign"])
        weights = None if sigma is None else [_sigma_weights(sigma, f.size)]
        out = _engine.fit_shared(self.circuit, [(f, z)], [previous.values], point_weights=weights, **self.engine)
        dof = out["residuals"] - out["unknowns"]
        chi = float(out["chi_square"][0])
        ok = bool(out["success"])
        message = "" if ok else f"the solver did not converge from the previous optimum: {out['message']}"
        return _Row(out["params"][0], out["stderr"][0], chi, chi / dof if dof > 0 else math.nan, ok, message,
                    "previous")


def _lost(warm: _Row, reference: float) -> bool:
    """Whether a warm start looks lost: no convergence, or far worse than the
    last fit the automatic path settled (a sudden jump or a slow drift into a side valley)."""
    if not warm.success or not math.isfinite(warm.reduced):
        return True
    floor = 1e-20  # exact data: any ratio of nothing to nothing
    return warm.reduced > _JUMP * max(reference if math.isfinite(reference) else floor, floor)


def _better(a: _Row, b: _Row) -> bool:
    if a.success != b.success:
        return a.success
    return a.chi_square < b.chi_square * (1 - 1e-9)


def _progress(total: int, progress: bool | None) -> Any:
    from tqdm.auto import tqdm  # type: ignore[import-untyped, unused-ignore]

    disable: bool | None = not progress if progress is not None else (None if total >= _PROGRESS_FROM else True)
    return tqdm(total=total, desc="series", unit="spectrum", disable=disable)


def _run_chain(chain: _Chain, members: list[SeriesSpectrum], sigmas: list[Any], progress: bool | None) -> list[_Row]:
    """Every spectrum's outcome, in order."""
    out: list[_Row] = []
    with _progress(len(members), progress) as bar:
        for s, sigma in zip(members, sigmas):
            try:
                row = chain.fit_one(s, sigma)
            except (DataError, EngineError) as exc:  # this spectrum's problem, not the series'
                row = _Row.failed(len(chain.names), str(exc))
            if row.success:
                chain.previous = row
            out.append(row)
            bar.update(1)
    return out


def _chain_table(names: Sequence[str], along: tuple[str, list[Any]], members: list[SeriesSpectrum],
                 rows: list[_Row]) -> pd.DataFrame:
    values = np.array([r.values for r in rows], dtype=np.float64).reshape(len(rows), len(names))
    errors = np.array([r.stderr for r in rows], dtype=np.float64).reshape(len(rows), len(names))
    columns: dict[str, Any] = {along[0]: along[1], "label": [s.label for s in members]}
    columns.update({n: values[:, j] for j, n in enumerate(names)})
    columns.update({f"{n}_stderr": errors[:, j] for j, n in enumerate(names)})
    columns.update(
        chi_square=[r.chi_square for r in rows],
        reduced_chi_square=[r.reduced for r in rows],
        success=[bool(r.success) for r in rows],
        message=[r.message for r in rows],
        start=[r.start for r in rows],
        n_points=[int(s.frequencies.size) for s in members],
    )
    return pd.DataFrame(columns)


def _shared_names(shared: Sequence[str] | None, names: Sequence[str], fixed: Mapping[str, float]) -> tuple[str, ...]:
    if shared is None:
        return ()
    if isinstance(shared, str):
        shared = [shared]
    unknown = [n for n in shared if n not in names]
    if unknown:
        raise FitSetupError(
            f"unknown parameter(s) in shared: {', '.join(map(repr, unknown))}; this circuit has {', '.join(names)}"
        )
    held = [n for n in shared if n in fixed]
    if held:
        raise FitSetupError(f"{', '.join(map(repr, held))} both fixed and shared: a fixed value is already shared")
    return tuple(dict.fromkeys(shared))


def _global_starts(rows: list[_Row]) -> list[list[float]]:
    """Each usable spectrum's starting vector: its own optimum."""
    return [list(r.values) for r in rows]


def _point_weights(sigmas: list[Any], members: list[SeriesSpectrum]) -> list[list[float]] | None:
    if all(s is None for s in sigmas):
        return None
    if any(s is None for s in sigmas):
        raise ValueError("give sigma for every spectrum of a shared fit, or for none")
    return [_sigma_weights(s, m.frequencies.size) for s, m in zip(sigmas, members)]


def _global(circuit: zetrion.Circuit, members: list[SeriesSpectrum], rows: list[_Row], shared: tuple[str, ...],
            engine: dict[str, Any], sigmas: list[Any]) -> dict[str, Any]:
    """The whole series as one problem in the engine, from the chain's optima."""
    names = circuit.param_names()
    usable = [i for i, r in enumerate(rows) if all(math.isfinite(v) for v in r.values)]
    if not usable:
        raise ValueError("no spectrum of the series could be fitted: nothing to share values across")
    weights = _point_weights([sigmas[i] for i in usable], [members[i] for i in usable])
    kwargs = dict(engine, shared=[1.0 if n in shared else 0.0 for n in names], point_weights=weights)
    spectra = [(members[i].frequencies, members[i].impedance) for i in usable]
    out: dict[str, Any] = _engine.fit_shared(circuit, spectra, _global_starts([rows[i] for i in usable]), **kwargs)
    out["usable"] = usable
    return out


def _global_table(independent: pd.DataFrame, names: Sequence[str], out: dict[str, Any]) -> pd.DataFrame:
    table = independent.copy()
    usable = np.asarray(out["usable"], dtype=np.intp)
    count = len(table)
    params = np.full((count, len(names)), math.nan)
    errors = np.full((count, len(names)), math.nan)
    chi = np.full(count, math.nan)
    params[usable] = np.asarray(out["params"], dtype=np.float64).reshape(usable.size, len(names))
    errors[usable] = np.asarray(out["stderr"], dtype=np.float64).reshape(usable.size, len(names))
    chi[usable] = out["chi_square"]
    for j, n in enumerate(names):
        table[n] = params[:, j]
        table[f"{n}_stderr"] = errors[:, j]
    table["chi_square"] = chi
    # each spectrum's share of the whole problem's degrees of freedom
    dof = out["residuals"] - out["unknowns"]
    scale = dof / out["residuals"] if out["residuals"] and dof > 0 else math.nan
    table["reduced_chi_square"] = chi / (2 * np.asarray(independent["n_points"], dtype=np.float64) * scale)
    inside = np.zeros(count, dtype=bool)
    inside[usable] = True
    table["success"] = inside & bool(out["success"])
    failed = f"the shared fit failed: {out['message']}"
    table["message"] = [
        m if not inside[i] else ("" if out["success"] else failed) for i, m in enumerate(independent["message"])
    ]
    return table


def fit_series(
    circuit: zetrion.Circuit | str,
    spectra: Any,
    along: Any = None,
    *,
    shared: Sequence[str] | None = None,
    fixed: Mapping[str, float] | None = None,
    bounds: Mapping[str, tuple[float, float]] | None = None,
    sigma: Any = None,
    start: Mapping[str, float] | None = None,
    options: FitOptions | None = None,
    fallback: bool = True,
    check_sign: bool = True,
    progress: bool | None = None,
    **fit_options: Any,
) -> SeriesFit:
    """Fit one circuit to a series of spectra, each from the optimum of the one before.

    Parameters
    ----------
    circuit : zetrion.Circuit or str
        The circuit, or its notation or preset name.
    spectra : sequence or ndarray
        The series in order: Spectrum objects, ``(f, z)`` pairs, 2 x N
        arrays, or one ``(count, 2, N)`` array (see :func:`series_spectra`).
    along : str, sequence or mapping, optional
        The series variable (time, cycle, temperature, bias, state of
        charge): a metadata key of the Spectrum objects (``"cycle"``), the
        values themselves, or ``{name: values}``. Default: the index.
    shared : sequence of str, optional
        Parameters that take one value across the whole series, e.g.
        ``["CPE1.alpha"]``: the series is then solved once more as one
        problem in the engine, from the chain's optima.
    fixed, bounds, start
        As in :func:`zetrion_tools.fit`, for every spectrum; ``start`` is
        used by the first spectrum and by fallbacks.
    sigma : float, or sequence with one entry per spectrum, optional
        Standard deviations of the points (see :func:`zetrion_tools.fit`).
    options : FitOptions, optional
        Method, weighting, start rule and solver settings; or give them as
        keywords (``weight="unit"``, ``method=...``, ``ftol=...``). A shared
        fit uses the weighting, tolerances and ``max_iterations``.
    fallback : bool
        Refit a spectrum by the automatic path when its warm start fails or
        ends clearly worse than the spectrum before.
    check_sign : bool
        Warn when a spectrum's imaginary sign looks flipped.
    progress : bool, optional
        A progress bar on stderr; by default for series of 20 spectra or more.

    Returns
    -------
    SeriesFit

    Raises
    ------
    FitSetupError
        Unknown names in ``fixed``, ``bounds``, ``start`` or ``shared``; a
        parameter both fixed and shared; empty bounds.
    TypeError, ValueError
        Spectra or ``along`` in a form not understood, or of the wrong count.

    A spectrum whose data cannot be fitted (or whose fit fails) becomes a row
    with ``success`` False and the reason; the chain goes on from the last
    good fit.
    """
    opts = _options(options, dict(fit_options))
    if isinstance(circuit, str):
        circuit = zetrion.Circuit(circuit)
    members = series_spectra(spectra)
    along_name, along_values = _along(along, members)
    names = tuple(circuit.param_names())
    shared_names = _shared_names(shared, names, fixed or {})
    sigmas = _sigmas(sigma, len(members))
    engine = _engine_settings(names, fixed, bounds, opts)
    chain = _Chain(circuit, names, opts, {"fixed": fixed, "bounds": bounds, "check_sign": check_sign},
                   dict(start or {}), fallback, engine)
    rows = _run_chain(chain, members, sigmas, progress)
    independent = _chain_table(names, (along_name, along_values), members, rows)
    if not shared_names:
        return SeriesFit(independent, along_name, names, circuit, (), independent)
    out = _global(circuit, members, rows, shared_names, engine, sigmas)
    info = {
        "success": bool(out["success"]),
        "message": str(out["message"]),
        "chi_square": float(out["total_chi_square"]),
        "dof": int(out["residuals"] - out["unknowns"]),
        "iterations": int(out["iterations"]),
        "nfev": int(out["impedance_evals"]),
    }
    table = _global_table(independent, names, out)
    return SeriesFit(table, along_name, names, circuit, shared_names, independent, info)


# ---- Arrhenius ------------------------------------------------------------


@dataclass(frozen=True)
class ArrheniusFit:
    """A weighted straight line through ``ln(value)`` against ``1/T``.

    Attributes
    ----------
    ea_ev, ea_ev_stderr : float
        The activation energy and its standard error, in eV.
    ea_kj_mol, ea_kj_mol_stderr : float
        The same in kJ/mol.
    ln_prefactor, ln_prefactor_stderr : float
        The intercept ``ln A`` (at ``1/T = 0``) and its standard error.
    slope : float
        ``d ln(value) / d(1/T)`` in K.
    reduced_chi_square : float
        Of the line (NaN with two points).
    points : int
    """

    ea_ev: float
    ea_ev_stderr: float
    ea_kj_mol: float
    ea_kj_mol_stderr: float
    ln_prefactor: float
    ln_prefactor_stderr: float
    slope: float
    reduced_chi_square: float
    points: int


def arrhenius(
    temperatures: Any,
    values: Any,
    errors: Any = None,
    *,
    celsius: bool = False,
    quantity: str = "resistance",
) -> ArrheniusFit:
    """Activation energy from values measured at several temperatures.

    Fits ``ln(value) = ln A + slope / T`` by weighted least squares (weights
    ``(value / error)^2``, the propagated error of the logarithm). For a
    ``"resistance"`` (or a time constant), ``value = A exp(Ea / kT)`` and
    ``Ea = k slope``; for a ``"conductance"`` (conductivity, rate),
    ``value = A exp(-Ea / kT)`` and ``Ea = -k slope``.

    Parameters
    ----------
    temperatures : array_like
        In kelvin, or in degrees Celsius with ``celsius=True``.
    values : array_like
        Positive values, one per temperature.
    errors : array_like, optional
        Their standard errors. Given, they are taken as absolute (the
        uncertainty follows from them alone); omitted, the points are
        weighted alike and the uncertainty follows from their scatter.
    celsius : bool
        Temperatures in degrees Celsius.
    quantity : {"resistance", "conductance"}
        Whether the values rise or fall as an activated process speeds up.

    Returns
    -------
    ArrheniusFit

    Raises
    ------
    ValueError
        Fewer than two points, non-positive values or errors, temperatures
        at or below absolute zero, unequal lengths, an unknown quantity.
    """
    if quantity not in ("resistance", "conductance"):
        raise ValueError(f"quantity must be 'resistance' or 'conductance', not {quantity!r}")
    t = np.asarray(temperatures, dtype=np.float64).reshape(-1) + (273.15 if celsius else 0.0)
    v = np.asarray(values, dtype=np.float64).reshape(-1)
    if t.size != v.size:
        raise ValueError(f"{t.size} temperatures for {v.size} values")
    if t.size < 2:
        raise ValueError("an Arrhenius fit needs at least two temperatures")
    if not (np.all(np.isfinite(t)) and np.all(t > 0)):
        raise ValueError("temperatures must be finite and above absolute zero")
    if not (np.all(np.isfinite(v)) and np.all(v > 0)):
        raise ValueError("values must be positive and finite")
    if errors is None:
        sigma_y = np.ones_like(v)
    else:
        e = np.broadcast_to(np.asarray(errors, dtype=np.float64), v.shape)
        if not (np.all(np.isfinite(e)) and np.all(e > 0)):
            raise ValueError("errors must be positive and finite")
        sigma_y = e / v
    x, y, w = 1.0 / t, np.log(v), 1.0 / sigma_y**2
    design = np.column_stack([np.ones_like(x), x]) * np.sqrt(w)[:, None]
    coef, *_ = np.linalg.lstsq(design, y * np.sqrt(w), rcond=None)
    cov = np.linalg.inv(design.T @ design)
    dof = t.size - 2
    chi2 = float(np.sum(w * (y - coef[0] - coef[1] * x) ** 2))
    red = chi2 / dof if dof > 0 else math.nan
    if errors is None:
        cov = cov * red if dof > 0 else np.full_like(cov, math.nan)
    sign = 1.0 if quantity == "resistance" else -1.0
    ea = sign * _K_B * float(coef[1])
    ea_err = _K_B * math.sqrt(float(cov[1, 1]))
    return ArrheniusFit(
        ea_ev=ea,
        ea_ev_stderr=ea_err,
        ea_kj_mol=ea * _EV_KJ_MOL,
        ea_kj_mol_stderr=ea_err * _EV_KJ_MOL,
        ln_prefactor=float(coef[0]),
        ln_prefactor_stderr=math.sqrt(float(cov[0, 0])),
        slope=float(coef[1]),
        reduced_chi_square=red,
        points=int(t.size),
    )
