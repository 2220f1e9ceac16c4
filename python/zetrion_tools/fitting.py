"""Fits with fixed parameters, user bounds and more starting points.

:func:`fit` runs the same compiled fit as ``zetrion.Circuit.fit`` (the
multi-start bounded Levenberg-Marquardt search, or a global method, on the
same weighted residuals), through the companion's private engine, which adds
what the module's surface does not offer: parameters held at given values,
narrower ranges, per-point standard deviations and further starting points.
With nothing held, the default bounds and one start it returns exactly what
``Circuit.fit`` returns: the same values, chi-square and standard errors.

Standard errors and covariance have one definition on both faces: ``s^2
(J^T J)^-1`` over the free parameters, with ``s^2 = chi_square / dof`` and
``J`` the central-difference Jacobian of the weighted residuals at the
optimum, inverted exactly (LU with partial pivoting). When that matrix is
exactly singular, or there are no degrees of freedom, the errors are NaN.
A combination of parameters the data cannot determine (two resistors in
series, an arc outside the band) usually leaves the matrix nearly, not
exactly, singular: its inverse is then large and meaningless, and
:attr:`ConstrainedFit.undetermined` names the combination instead.
"""

from __future__ import annotations

import dataclasses
import functools
import math
import warnings
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import numpy.typing as npt

import zetrion

from . import _engine
from .checks import check_spectrum
from .engine import fit_methods, has_learned_model, weightings
from .options import FitOptions
from .arcs import order_fit
from .quality import Flag, FitQuality, assess_fit
from .starts import arc_count, cheapest_variant, data_starts, dead_arc, flat_arc, neighbour_starts

__all__ = ["ConstrainedFit", "FitSetupError", "fit"]

FloatArray = npt.NDArray[np.float64]
ComplexArray = npt.NDArray[np.complex128]

# Starts read from the data that an automatic fit tries at most, and the
# lag-one autocorrelation of the residuals above which a fit is taken for a
# side valley (noise gives about 0 +- 2/sqrt(points)).
_AUTO_STARTS = 16
_STREAK = 0.5
# An automatic fit from the data first screens this many starts (and their
# scaled variants) with short runs, and goes on to whole fits from all of
# them only when the residuals' lag-one autocorrelation exceeds
# _RETRY_STREAK: 0.15 lies above what 99 % of settled fits of 20 or more
# points show.
_FIRST_STARTS = 8
_FIRST_PATIENCE = 10
# Screened ends the first round polishes by whole fits.
_FIRST_POLISH = 2
_RETRY_STREAK = 0.15
# Points per free parameter below which a spectrum counts as sparse.
_SPARSE = 5
# Solver budget of each whole fit from a neighbouring valley (budget units).
_LOOK_PATIENCE = 40
# Screening budget of the starts that revive a dead arc in well-sampled
# data, and how many of their ends are polished.
_DEAD_PATIENCE = 10
_DEAD_POLISH = 4
# Budget of each screening run, in solver budget units (evaluations per
# parameter and one): enough to settle into a basin, far short of a full fit.
_SCREEN_PATIENCE = 40
# fit()'s own defaults of the settings FitOptions can carry instead
_KEYWORD_DEFAULTS: tuple[Any, ...] = ("modulus", "levenberg_marquardt", None, None, 1e-8, 1e-8, {})


class FitSetupError(ValueError):
    """A fit that cannot be set up: unknown names, empty or contradictory bounds."""


@dataclass(frozen=True)
class ConstrainedFit:
    """Outcome of :func:`fit`.

    Attributes
    ----------
    circuit : zetrion.Circuit
        The circuit with the fitted values (fixed ones included).
    notation : str or None
        The notation or preset name the circuit was built from, when
        :func:`fit` was given one (a ``Circuit`` object carries none).
    params : dict of str to float
        Every parameter's value, in ``circuit.param_names()`` order.
    stderr : dict of str to float
        Standard error of every parameter (see the module's definition).
        Fixed parameters report ``0.0``; free ones NaN when the errors cannot
        be computed (no degrees of freedom, exactly singular curvature).
    fixed : dict of str to float
        The parameters held fixed and their values.
    free : tuple of str
        The fitted parameters, in the order of ``covariance`` and
        ``correlation``.
    bounds : dict of str to (float, float)
        The range each free parameter was confined to: the element's
        validity bounds narrowed by the user's.
    covariance, correlation : ndarray
        ``s^2 (J^T J)^-1`` over the free parameters and the matching
        correlation matrix; NaN when unavailable.
    undetermined : tuple of dict
        Combinations of free parameters the data cannot determine, each as
        ``{name: weight}``: a unit vector in the space where every Jacobian
        column has unit norm, along which the residuals change by less than
        a millionth of what their most sensitive direction does (weights
        below 0.05 left out). Empty when every parameter is determined.
    quality : FitQuality
        Whether to believe the fit (:mod:`zetrion_tools.quality`): its
        flags and the parameters it vouches for; also as :attr:`flags`,
        :attr:`vouched` and :attr:`trustworthy`.
    frequencies, impedance : ndarray
        The measured spectrum (Hz, ohm).
    z_fit : ndarray of complex128
        The fitted circuit's impedance at ``frequencies``.
    residuals : ndarray of float64
        The weighted residual vector at the optimum, ``[re0, im0, re1, ...]``:
        model minus measurement divided by the point weight.
    cost, chi_square : float
        ``0.5 * sum(residuals**2)`` and twice that, as ``FitResult`` has them.
    dof : int
        Degrees of freedom, ``2 * len(frequencies) - len(free)``.
    reduced_chi_square : float
        ``chi_square / dof`` (NaN when ``dof <= 0``).
    success : bool
        Whether the solver converged.
    message : str
        On failure, a plain account of why; empty otherwise.
    weight : str
        The weighting: a core weighting name, or ``"sigma"`` for per-point
        standard deviations.
    method : str
        The fit method (``"levenberg_marquardt"`` unless another was asked).
    settings : dict
        The settings used (tolerances, iteration budget, starts, ...).
    start : dict of str to float
        The starting values of the start that won.
    start_source : str
        Where they came from: ``"learned guess"``, ``"circuit values"``,
        ``"given values"`` or the name of a further start.
    nfev : int
        Residual-vector evaluations in all, as ``FitResult.impedance_evals``.
    iterations : int
        The winning run's iterations, as ``FitResult.iterations``.
    starts : int
        Number of starting points fitted from.
    """

    circuit: zetrion.Circuit
    notation: str | None
    params: dict[str, float]
    stderr: dict[str, float]
    fixed: dict[str, float]
    free: tuple[str, ...]
    bounds: dict[str, tuple[float, float]]
    covariance: FloatArray
    correlation: FloatArray
    frequencies: FloatArray
    impedance: ComplexArray
    z_fit: ComplexArray
    residuals: FloatArray
    cost: float
    chi_square: float
    dof: int
    reduced_chi_square: float
    success: bool
    message: str
    weight: str
    method: str
    settings: dict[str, Any] = field(default_factory=dict)
    start: dict[str, float] = field(default_factory=dict)
    start_source: str = "circuit values"
    nfev: int = 0
    starts: int = 0
    undetermined: tuple[dict[str, float], ...] = ()
    iterations: int = 0
    # the verdict, worked out on first use: judging costs as much as a quick
    # fit's whole bookkeeping, and many callers only want the values
    _verdict: list[FitQuality] = field(default_factory=list, init=False, repr=False, compare=False)

    @property
    def quality(self) -> FitQuality:
        """Whether to believe the fit (:mod:`zetrion_tools.quality`)."""
        if not self._verdict:
            self._verdict.append(assess_fit(self))
        return self._verdict[0]

    @property
    def flags(self) -> tuple[Flag, ...]:
        """Every reason to doubt the fit (see :mod:`zetrion_tools.quality`)."""
        return self.quality.flags

    @property
    def vouched(self) -> tuple[str, ...]:
        """The fitted parameters the fit can vouch for."""
        return self.quality.vouched

    @property
    def trustworthy(self) -> bool:
        """Converged, and no flag raised: every fitted value can be believed."""
        return self.quality.trustworthy

    def __str__(self) -> str:
        lines = [
            f"ConstrainedFit: {'converged' if self.success else 'FAILED'} "
            f"({self.starts} start{'s' if self.starts != 1 else ''}, {self.nfev} evaluations)",
            f"  chi_square = {self.chi_square:.6g}, reduced = {self.reduced_chi_square:.6g} "
            f"(dof {self.dof}, weight {self.weight!r})",
        ]
        if not self.success:
            lines.append(f"  {self.message}")
        width = max((len(n) for n in self.params), default=0)
        units = dict(zip(self.circuit.param_names(), self.circuit.param_units()))
        for name, value in self.params.items():
            note = "  (fixed)" if name in self.fixed else f" +- {self.stderr[name]:.3g}"
            lines.append(f"  {name:<{width}} = {value:<12.6g} [{units.get(name, '')}]{note}")
        for combo in self.undetermined:
            terms = " ".join(f"{w:+.2f}*{n}" for n, w in combo.items())
            lines.append(f"  undetermined: {terms}")
        lines.append(f"  {self.quality.summary()}")
        return "\n".join(lines)


@functools.lru_cache(maxsize=256)
def _parsed(notation: str) -> zetrion.Circuit:
    # Circuits are immutable: one parse serves every fit of a notation.
    return zetrion.Circuit(notation)


def _circuit_from(circuit_or_notation: zetrion.Circuit | str) -> tuple[zetrion.Circuit, str | None]:
    if isinstance(circuit_or_notation, str):
        return _parsed(circuit_or_notation), circuit_or_notation.strip()
    if isinstance(circuit_or_notation, zetrion.Circuit):
        return circuit_or_notation, None
    raise TypeError(
        "circuit_or_notation must be a zetrion.Circuit or a notation string such as "
        f"'R0-(R1,CPE1)', not {type(circuit_or_notation).__name__}"
    )


def _check_names(kind: str, given: Mapping[str, Any], names: Sequence[str]) -> None:
    unknown = [k for k in given if k not in names]
    if unknown:
        raise FitSetupError(
            f"unknown parameter(s) in {kind}: {', '.join(repr(k) for k in unknown)}; "
            f"this circuit has {', '.join(names)}"
        )


def _numbers(kind: str, given: Mapping[str, Any], names: Sequence[str]) -> dict[str, float]:
    _check_names(kind, given, names)
    out: dict[str, float] = {}
    for name, value in given.items():
        try:
            out[name] = float(value)
        except (TypeError, ValueError) as exc:
            raise FitSetupError(f"{kind}[{name!r}] must be a number, got {value!r}") from exc
        if not math.isfinite(out[name]):
            raise FitSetupError(f"{kind}[{name!r}] must be finite, got {value!r}")
    return out


def _bound_pair(name: str, pair: Any) -> tuple[float, float]:
    try:
        lo, hi = (float(pair[0]), float(pair[1]))
    except (TypeError, ValueError, IndexError) as exc:
        raise FitSetupError(f"bounds[{name!r}] must be a pair (lo, hi) of numbers, got {pair!r}") from exc
    if math.isnan(lo) or math.isnan(hi):
        raise FitSetupError(f"bounds[{name!r}] contains NaN")
    if lo >= hi:
        raise FitSetupError(
            f"bounds[{name!r}] = ({lo:g}, {hi:g}) is empty (lo must be below hi); "
            "to hold a parameter at one value use fixed={...}"
        )
    return lo, hi


def _effective_bounds(
    names: Sequence[str],
    core_bounds: Sequence[tuple[float, float]],
    bounds: Mapping[str, Any],
) -> list[tuple[float, float]]:
    """The element's validity bounds narrowed by the user's, checked."""
    out = list(core_bounds)
    for name, pair in bounds.items():
        lo, hi = _bound_pair(name, pair)
        i = names.index(name)
        core_lo, core_hi = core_bounds[i]
        new_lo, new_hi = max(lo, core_lo), min(hi, core_hi)
        if new_lo >= new_hi:
            raise FitSetupError(
                f"bounds[{name!r}] = ({lo:g}, {hi:g}) lies outside the parameter's valid range "
                f"({core_lo:g}, {core_hi:g})"
            )
        out[i] = (new_lo, new_hi)
    return out


def _point_weights(sigma: Any, n: int) -> list[float] | None:
    """Per-point standard deviations as the engine's point weights."""
    if sigma is None:
        return None
    s = np.asarray(sigma, dtype=np.float64).reshape(-1)
    if s.size == 1:
        s = np.full(n, float(s[0]))
    if s.size != n:
        raise FitSetupError(f"sigma must have one value per point ({n}), got {s.size}")
    if not np.all(np.isfinite(s)) or np.any(s <= 0):
        raise FitSetupError("sigma must be positive and finite at every point")
    return [float(v) for v in s]


@dataclass(frozen=True)
class _Setup:
    """A fit's request, checked and in the engine's terms."""

    circuit: zetrion.Circuit
    notation: str | None
    names: list[str]
    fixed: dict[str, float]
    free_idx: list[int]
    bounds: list[tuple[float, float]]
    start: dict[str, float]
    freq: FloatArray
    imp: ComplexArray
    point_weights: list[float] | None
    narrowed: bool  # some range narrower than the element's


def _setup(
    circuit_or_notation: zetrion.Circuit | str,
    f: Any,
    z: Any,
    fixed: Mapping[str, float] | None,
    bounds: Mapping[str, Any] | None,
    start: Mapping[str, float] | None,
    sigma: Any,
    check_sign: bool,
) -> _Setup:
    circuit, notation = _circuit_from(circuit_or_notation)
    names = list(circuit.param_names())
    bounds = dict(bounds or {})
    _check_names("bounds", bounds, names)
    fixed_values = _numbers("fixed", fixed or {}, names)
    start_values = _numbers("start", start or {}, names)
    core_bounds = [(float(lo), float(hi)) for lo, hi in circuit.param_bounds()]
    eff = _effective_bounds(names, core_bounds, bounds)
    for name, value in fixed_values.items():
        lo, hi = eff[names.index(name)]
        if not (lo <= value <= hi):
            raise FitSetupError(f"fixed value {name} = {value:g} lies outside its bounds ({lo:g}, {hi:g})")
    free_idx = [i for i, n in enumerate(names) if n not in fixed_values]
    if not free_idx:
        raise FitSetupError("every parameter is fixed: nothing left to fit")
    freq, imp = check_spectrum(f, z, n_params=len(free_idx), check_sign=check_sign)
    weights = _point_weights(sigma, freq.size)
    narrowed = eff != core_bounds
    return _Setup(circuit, notation, names, fixed_values, free_idx, eff, start_values, freq, imp, weights, narrowed)


def _engine_call(s: _Setup, options: dict[str, Any], extra_starts: list[list[float]]) -> dict[str, Any]:
    n = len(s.names)
    # only what is set: every keyword costs the binding a lookup
    given: dict[str, Any] = {k: v for k, v in options.items() if v is not None}
    if s.start:
        given["start"] = [s.start.get(name, math.nan) for name in s.names]
    if s.fixed:
        given["fixed"] = [s.fixed.get(name, math.nan) for name in s.names]
    if s.narrowed:
        given["lower"], given["upper"] = [lo for lo, _ in s.bounds], [hi for _, hi in s.bounds]
    if s.point_weights is not None:
        given["point_weights"] = s.point_weights
    if extra_starts:
        given["extra_starts"] = extra_starts
    try:
        out: dict[str, Any] = _engine.fit(s.circuit, s.freq, s.imp, **given)
    except _engine.EngineError as exc:
        if exc.kind == "limits":
            raise FitSetupError(str(exc)) from None
        raise
    assert len(out["params"]) == n
    return out


def _no_model_warning() -> None:
    warnings.warn(
        "no learned model for this circuit: starting from its element default values. Give starting "
        "values (start={...} or Circuit.with_named_values({...})), or train a model for this circuit with "
        "zetrion-train and pass its file as weights=...; guess_init=False silences this",
        UserWarning,
        stacklevel=3,
    )


def _statistics(s: _Setup, out: dict[str, Any]) -> dict[str, Any]:
    values = [float(v) for v in out["params"]]
    k = len(s.free_idx)
    if out["covariance"] is None:
        cov = corr = np.full((k, k), np.nan)
    else:
        # a handful of numbers: plain Python is quicker than array calls here
        flat = out["covariance"]
        err = [math.sqrt(flat[i * k + i]) if flat[i * k + i] > 0 else math.nan for i in range(k)]
        cells = [flat[i * k + j] / (err[i] * err[j]) for i in range(k) for j in range(k)]
        cov = np.array(flat, dtype=np.float64).reshape(k, k)
        corr = np.array(cells, dtype=np.float64).reshape(k, k)
    stderr = {n: 0.0 for n in s.names}
    core_err = out["stderr"]
    for i in s.free_idx:
        stderr[s.names[i]] = float(core_err[i]) if core_err is not None else math.nan
    free_names = [s.names[i] for i in s.free_idx]
    undetermined = tuple(
        {free_names[j]: float(v[j]) for j in np.argsort(-np.abs(v)) if abs(v[j]) >= 0.05}
        for v in (np.asarray(c, dtype=np.float64) for c in out["undetermined"])
    )
    return {"values": values, "cov": cov, "corr": corr, "stderr": stderr, "undetermined": undetermined}


def fit(
    circuit_or_notation: zetrion.Circuit | str,
    f: Any,
    z: Any = None,
    *,
    fixed: Mapping[str, float] | None = None,
    bounds: Mapping[str, tuple[float, float]] | None = None,
    weight: str = "modulus",
    sigma: Any = None,
    method: str = "levenberg_marquardt",
    guess_init: bool | None = None,
    weights: str | None = None,
    start: Mapping[str, float] | None = None,
    ftol: float = 1e-8,
    xtol: float = 1e-8,
    max_nfev: int | None = None,
    n_starts: int | None = None,
    check_sign: bool = True,
    order_arcs: bool = True,
    options: FitOptions | None = None,
    **method_options: Any,
) -> ConstrainedFit:
    """Fit a circuit, with some parameters held fixed and others bounded.

    Parameters
    ----------
    circuit_or_notation : zetrion.Circuit or str
        The circuit, or its notation or preset name (``"randles"``,
        ``"R0-(R1,CPE1)"``).
    f : array_like of float
        Frequencies in Hz, all positive and finite; or, with ``z`` left
        out, the spectrum as a data frame (the columns ``Circuit.fit`` reads,
        or any a delimited file may have), a dict of columns or a Spectrum.
    z : array_like of complex, optional
        Measured impedances in ohm (capacitive: negative imaginary part).
    fixed : mapping of str to float, optional
        Parameters held at the given values, e.g. ``{"R0.r": 0.02}``. They
        override the starting values and must lie within their bounds.
    bounds : mapping of str to (float, float), optional
        Narrower ranges for some parameters, e.g. ``{"CPE1.alpha": (0.7,
        1)}``, intersected with the element's validity bounds
        (``Circuit.param_bounds()``); ``math.inf`` for an open side.
    weight : str
        Weighting of the residuals, each point's real and imaginary part
        divided by a standard deviation: ``"modulus"`` (``|Z_i|`` for both
        parts, as ``Circuit.fit``), ``"unit"`` (1), ``"proportional"``
        (``|Z'_i|`` and ``|Z''_i|``, each part relative to itself, neither
        below ``1e-3 |Z_i|``) or ``"boukamp"`` (``|Z_i|``: Boukamp's
        ``1/|Z|^2`` weighting of the squared residuals, the same objective
        as ``"modulus"``). Ignored when ``sigma`` is given.
    sigma : float or array_like, optional
        Standard deviation of each point's real and imaginary parts (one
        value for all, or one per point): the residuals are divided by it,
        and ``weight`` is reported as ``"sigma"``.
    method : str
        A fit method of ``Circuit.fit``; ``method_options`` take its
        numeric options (``num_particles``, ``seed``, ...).
    guess_init : bool, optional
        ``None``: the start rule of ``Circuit.fit`` (the learned guess for a
        circuit never given values, when a model exists; the circuit's
        values otherwise). ``True`` always guesses (and raises when it
        cannot); ``False`` never does.
    weights : str, optional
        Path of a ``.eisnn`` weight file for the learned guess.
    start : mapping of str to float, optional
        Starting values for some parameters, over the guess or the
        circuit's values.
    ftol, xtol : float
        Tolerances of the Levenberg-Marquardt solver.
    max_nfev : int, optional
        Residual evaluations allowed per solver run; default ``200 * (n +
        1)`` for n parameters, as ``Circuit.fit`` allows.
    n_starts : int, optional
        Starting points to fit from. The first is the start above; the
        others are read from the spectrum for every element of the circuit
        (:mod:`zetrion_tools.starts`), and the lowest cost wins. ``None``
        (default) adds them when the first gives no settled fit (not
        converged, or residuals running in streaks, the mark of a side
        valley) or when no model or values gave it; ``1`` never adds them.
    check_sign : bool
        Warn when the imaginary sign of ``z`` looks flipped; pass ``False``
        for a truly inductive spectrum.
    order_arcs : bool
        Put blocks that can swap places (two R-C pairs, two Zarcs in
        series, ...) in ascending time constant, so that arc 1 is always
        the fastest (:mod:`zetrion_tools.arcs`); ``False`` keeps the order
        the solver ended in.
    options : FitOptions, optional
        The method, weighting, start rule and solver settings as one object
        (the one ``fit_many`` and ``fit_distributed`` take), instead of the
        keywords ``method``, ``weight``, ``guess_init``, ``weights``,
        ``ftol``, ``xtol`` and the method's options.

    Returns
    -------
    ConstrainedFit

    Raises
    ------
    FitSetupError
        Unknown parameter names, empty bounds, a fixed value outside its
        bounds, nothing left to fit, bad ``sigma``.
    zetrion_tools.checks.DataError
        A spectrum that cannot be fitted (a ``ValueError``).
    ValueError
        An unknown weighting or method, or a learned guess that was
        required and failed (``zetrion_tools.engine.EngineError``).
    """
    if options is not None:
        if (weight, method, guess_init, weights, ftol, xtol, method_options) != _KEYWORD_DEFAULTS:
            raise TypeError("give the fit settings either as options=FitOptions(...) or as keywords, not both")
        core = options.core_kwargs()
        weight, method = core.pop("weight"), options.method
        guess_init, weights = options.guess_init, options.weights
        ftol, xtol = core.pop("ftol"), core.pop("xtol")
        core.pop("guess_init", None)
        core.pop("weights", None)
        method_options = core
    if weight not in weightings():
        raise ValueError(f"unknown weight {weight!r}, expected one of {', '.join(map(repr, weightings()))}")
    if method not in fit_methods():
        raise ValueError(f"unknown fit method {method!r}, expected one of {', '.join(map(repr, fit_methods()))}")
    if n_starts is not None and int(n_starts) < 1:
        raise ValueError("n_starts must be at least 1")
    s = _setup(circuit_or_notation, f, z, fixed, bounds, start, sigma, check_sign)
    engine_options: dict[str, Any] = {"weight": weight, "method": method, "ftol": ftol, "xtol": xtol}
    engine_options.update(guess_init=guess_init, weights=weights, **method_options)
    if max_nfev is not None:
        engine_options["max_iterations"] = max(1, -(-int(max_nfev) // (len(s.names) + 1)))
    if n_starts != 1 and guess_init is None and weights is None and not _informed(s):
        # nothing but the element defaults to start from: the data decide
        out = _from_data(s, engine_options, n_starts)
        out["no_model"] = False
    else:
        out = _more_starts(s, engine_options, _engine_call(s, engine_options, []), n_starts)
    if n_starts is None and method == "levenberg_marquardt":
        out = _second_look(s, engine_options, out)
    if out["no_model"] and guess_init is None and out["tried"] == 1:
        _no_model_warning()
    used_weight = "sigma" if sigma is not None else weight
    settings = {k: v for k, v in engine_options.items() if k != "weight"}
    settings.update(n_starts=n_starts, max_nfev=max_nfev)
    result = _outcome(s, out, used_weight, method, settings)
    return order_fit(result) if order_arcs else result


def _settled(s: _Setup, out: dict[str, Any], streak: float = _STREAK) -> bool:
    """Whether a fit looks like the optimum: converged, with residuals like noise.

    At the optimum of a circuit that describes the data, the residuals of
    neighbouring frequencies are nearly uncorrelated; a fit caught in a side
    valley misses whole stretches of the spectrum, and its residuals run in
    long streaks of one sign (lag-one autocorrelation near 1).
    """
    if not out["success"] or not math.isfinite(out["cost"]):
        return False
    if out["cost"] <= 1e-24 * s.freq.size:  # exact data: nothing left to run in streaks
        return True
    return bool(out["streak"] < streak)


def _screening(options: dict[str, Any], patience: int) -> dict[str, Any]:
    """Engine options for screened starts: short runs, within the caller's budget."""
    if patience <= 0:  # the whole fit from every start
        return dict(options, guess_init=False)
    patience = min(patience, int(options.get("max_iterations", patience)))
    return dict(options, guess_init=False, screen=patience)


def _informed(s: _Setup) -> bool:
    """Whether the engine's own start carries information: a learned model, the
    circuit's given values, or every value given as start."""
    return (
        len(s.start) == len(s.names)
        or bool(_engine.explicit_values(s.circuit))
        or has_learned_model(s.circuit)
    )


def _screened(s: _Setup, options: dict[str, Any], named: list[tuple[str, list[float]]], patience: int) -> dict[str, Any]:
    """The engine's screened fit from named starts (the caller's start values over
    each): one short solver run from each, the whole fit from the best ends."""
    vectors = [[s.start.get(n, v) for n, v in zip(s.names, vec)] for _, vec in named]
    shifted = dataclasses.replace(s, start=dict(zip(s.names, vectors[0])))
    out = _engine_call(shifted, _screening(options, patience), vectors[1:])
    out["start_source"] = named[out["winner"]][0]
    return out


def _from_data(s: _Setup, options: dict[str, Any], n_starts: int | None) -> dict[str, Any]:
    """The fit from the starts read from the data (screened), the defaults last among them.

    With ``n_starts`` given, that many starts are screened. Otherwise a first
    round screens a few starts briefly; only a fit that then does not look
    settled goes on to whole fits from the full set (its own end among them).
    """
    if n_starts is not None:
        named = _named_starts(s, options, max(n_starts - 1, 1))[:n_starts]
        return _screened(s, options, named, _SCREEN_PATIENCE)
    # the brief first round: the usual readings only, the best two ends polished
    first = dict(options, polish=_FIRST_POLISH)
    out = _screened(s, first, _named_starts(s, options, _FIRST_STARTS - 1, rare=False), _FIRST_PATIENCE)
    if _settled(s, out, _RETRY_STREAK):
        return out
    named = _named_starts(s, options, _AUTO_STARTS - 1)
    named.insert(0, ("first round", [float(v) for v in out["params"]]))
    second = _screened(s, options, named, 0)
    second["tried"] += out["tried"]
    if second["winner"] == 0:
        second["start_source"] = out["start_source"]
    if _better(second, out):
        return second
    out["tried"] = second["tried"]
    return out


def _named_starts(
    s: _Setup, options: dict[str, Any], limit: int, rare: bool = True
) -> list[tuple[str, list[float]]]:
    """Up to ``limit`` starts read from the data and the element defaults, each
    followed by its cheapest scaled variant where that differs (the solver's
    whole fit begins there, a screening run at the start itself)."""
    named = data_starts(s.circuit, s.freq, s.imp, limit=limit, rare=rare)
    named.append(("element defaults", list(s.circuit.param_values())))
    weight = str(options.get("weight", "modulus"))
    out: list[tuple[str, list[float]]] = []
    for name, vec in named:
        out.append((name, vec))
        other = cheapest_variant(s.circuit, vec, s.freq, s.imp, weight)
        if other != vec:
            out.append((f"{name}, scaled", other))
    return out


def _more_starts(s: _Setup, options: dict[str, Any], first: dict[str, Any], n_starts: int | None) -> dict[str, Any]:
    """The fit from the starts read from the data, when it is wanted and does better.

    ``n_starts=None`` tries them when the first start gave no fit that looks
    settled or came from no information (the element defaults); a number
    tries that many starts in all, the first included.
    """
    want = (n_starts - 1) if n_starts is not None else _AUTO_STARTS
    patience = _SCREEN_PATIENCE
    if n_starts is None and not first["no_model"] and _settled(s, first, _RETRY_STREAK):
        # With few points per parameter the streaks say little: where two arcs
        # or more can trade places and shares, a brief round of starts from
        # the data follows even a settled first fit.
        if s.freq.size >= _SPARSE * len(s.free_idx) or arc_count(s.circuit) < 2:
            return first
        want, patience = _FIRST_STARTS - 1, _FIRST_PATIENCE
    if want <= 0:
        return first
    named = _named_starts(s, options, want)[:want]
    out = _screened(s, options, named, patience)
    out["tried"] += first["tried"]
    out["no_model"] = first["no_model"]
    if _better(out, first):
        return out
    first["tried"] = out["tried"]
    return first


def _second_look(s: _Setup, options: dict[str, Any], out: dict[str, Any]) -> dict[str, Any]:
    """The fit from the valleys beside the one reached, where arcs died or merged.

    Two arcs or more can end with one doing the work of both (the other
    shorted, parked outside the band, or on the same time constant), a side
    valley whose residuals look like noise. Whole fits start from the
    neighbouring valleys (:func:`zetrion_tools.starts.neighbour_starts`)
    when sparse data (under ``_SPARSE`` points per free parameter) cannot
    rule one out: some combination of parameters is undetermined, or two
    arcs merged into one time constant. Otherwise, when an arc died, screened
    starts from the same valleys. Other fits pay nothing.
    """
    if not out["success"] or arc_count(s.circuit) < 2:
        return out
    values = [float(v) for v in out["params"]]
    sparse = s.freq.size < _SPARSE * len(s.free_idx)
    named = neighbour_starts(s.circuit, values, s.freq, s.imp, force=bool(out["undetermined"])) if sparse else []
    if named:
        # a start in the right valley settles quickly: a shorter budget
        # bounds the cost of the ones that wander
        budget = min(_LOOK_PATIENCE, int(options.get("max_iterations") or _LOOK_PATIENCE))
        second = _screened(s, dict(options, max_iterations=budget), named, 0)
    elif dead_arc(s.circuit, values, s.freq):
        # mostly a small arc that is really there: screened, the best ends
        # polished. An end with an arc made a resistance only moved a surplus
        # element elsewhere to follow the noise: it is not taken.
        named = neighbour_starts(s.circuit, values, s.freq, s.imp, force=True)
        second = _screened(s, dict(options, polish=_DEAD_POLISH), named, _DEAD_PATIENCE)
        if flat_arc(s.circuit, [float(v) for v in second["params"]], s.freq):
            out["tried"] += second["tried"]
            return out
    else:
        return out
    second["tried"] += out["tried"]
    second["no_model"] = out.get("no_model", False)
    if _better(second, out):
        return second
    out["tried"] = second["tried"]
    return out


def _better(a: dict[str, Any], b: dict[str, Any]) -> bool:
    if a["success"] != b["success"]:
        return bool(a["success"])
    return bool(a["cost"] < b["cost"] * (1 - 1e-9))


def _outcome(s: _Setup, out: dict[str, Any], weight: str, method: str, settings: dict[str, Any]) -> ConstrainedFit:
    st = _statistics(s, out)
    fitted = s.circuit.with_values(st["values"])
    chi_square = float(out["chi_square"])
    dof = 2 * s.freq.size - len(s.free_idx)
    message = ""
    if not out["success"]:
        message = (
            f"the solver did not converge from {out['tried']} start(s); try other starting values "
            "(start={...}), a larger max_nfev, or fewer free parameters"
        )
    return ConstrainedFit(
        circuit=fitted,
        notation=s.notation,
        params=dict(zip(s.names, st["values"])),
        stderr=st["stderr"],
        fixed=dict(s.fixed),
        free=tuple(s.names[i] for i in s.free_idx),
        bounds={s.names[i]: s.bounds[i] for i in s.free_idx},
        covariance=st["cov"],
        correlation=st["corr"],
        frequencies=s.freq,
        impedance=s.imp,
        z_fit=np.frombuffer(out["z_fit"], dtype=np.complex128),
        residuals=np.frombuffer(out["residuals"], dtype=np.float64),
        cost=float(out["cost"]),
        chi_square=chi_square,
        dof=dof,
        reduced_chi_square=chi_square / dof if dof > 0 else math.nan,
        success=bool(out["success"]),
        message=message,
        weight=weight,
        method=method,
        settings=settings,
        start=dict(zip(s.names, (float(v) for v in out["start"]))),
        start_source=str(out["start_source"]),
        nfev=int(out["impedance_evals"]),
        starts=int(out["tried"]),
        undetermined=st["undetermined"],
        iterations=int(out["iterations"]),
    )
