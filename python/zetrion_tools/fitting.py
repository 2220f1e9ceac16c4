"""Fits with fixed parameters and user bounds.

``zetrion.Circuit.fit`` fits every parameter of a circuit within the
physical-validity bounds of its elements. Here SciPy's bounded trust-region
least squares (``scipy.optimize.least_squares``, method ``"trf"``) drives the
circuit's own weighted residuals and Jacobian (``Circuit.residuals`` and
``Circuit.jacobian``), so that parameters can be held at given values and the
others confined to narrower ranges, while the cost, weighting and statistics
stay the ones the core fit reports.

The search space mirrors the core's: a parameter whose physical upper bound is
open (resistances, capacitances, time constants, ...) is searched as
``log10(value - lo)`` above its physical lower bound ``lo``, so that one step
can move it by decades; exponents bounded to a finite range are searched
linearly. Like the core, the fit is restarted from a few deterministic
starting points, tried in order of their initial cost, and stops at the first
plausible result.
"""

from __future__ import annotations

import math
import warnings
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import numpy.typing as npt
from scipy.optimize import least_squares  # type: ignore[import-untyped, unused-ignore]

import zetrion

from .checks import check_spectrum

__all__ = ["ConstrainedFit", "fit", "FitSetupError"]

_LN10 = math.log(10.0)
_TWO_PI = 6.283185307179586

FloatArray = npt.NDArray[np.float64]
ComplexArray = npt.NDArray[np.complex128]


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
        Standard error of every parameter. Fixed parameters report ``0.0``
        (they are held, not estimated); free parameters report NaN when the
        errors cannot be computed (no degrees of freedom, singular
        curvature).
    fixed : dict of str to float
        The parameters held fixed and their values.
    free : tuple of str
        The fitted parameters, in the order of ``covariance`` and
        ``correlation``.
    bounds : dict of str to (float, float)
        The bounds each free parameter was confined to: the element's
        physical-validity bounds narrowed by the user's.
    covariance, correlation : ndarray
        ``s^2 (J^T J)^-1`` over the free parameters, with ``s^2 =
        chi_square / dof`` as the core fit computes its standard errors,
        and the matching correlation matrix. NaN when unavailable.
    frequencies : ndarray of float64
        The measured frequencies (Hz).
    impedance : ndarray of complex128
        The measured impedances (ohm).
    z_fit : ndarray of complex128
        The fitted circuit's impedance at ``frequencies``.
    residuals : ndarray of float64
        The weighted residual vector at the optimum, ``[re0, im0, re1, ...]``,
        model minus measurement divided by the point weight (``|Z|`` for
        ``weight="modulus"``, 1 for ``"unit"``): what ``Circuit.residuals``
        returns.
    cost : float
        ``0.5 * sum(residuals**2)``, as ``FitResult.cost``.
    chi_square : float
        ``sum(residuals**2)`` (twice the cost), as ``FitResult.chi_square``.
    dof : int
        Degrees of freedom, ``2 * len(frequencies) - len(free)``.
    reduced_chi_square : float
        ``chi_square / dof`` (NaN when ``dof <= 0``).
    success : bool
        Whether the optimiser converged (``least_squares`` status > 0) to a
        finite cost.
    message : str
        What the optimiser said; on failure, a plain account of why.
    weight : str
        The weighting, ``"modulus"`` or ``"unit"``.
    method : str
        Always ``"least_squares_trf"``.
    settings : dict
        The optimiser settings used (tolerances, evaluation budget, starts).
    start : dict of str to float
        The starting values of the first run.
    start_source : str
        Where they came from: ``"learned guess"`` or ``"circuit values"``.
    nfev : int
        Residual-vector evaluations in all (each one evaluates the circuit at
        every frequency): the optimiser's, two per parameter for each
        Jacobian, the starting-point costs, the unconstrained pre-fit and the
        final statistics; comparable with ``FitResult.impedance_evals``.
    starts : int
        Number of optimiser runs made.
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
        return "\n".join(lines)


@dataclass
class _Space:
    """How one free parameter maps between solver and physical space."""

    index: int
    log: bool
    origin: float  # physical lower bound of the element; x = log10(v - origin) when log
    lo: float  # effective physical bounds
    hi: float

    def to_x(self, v: float) -> float:
        if self.log:
            return math.log10(max(v - self.origin, 1e-300))
        return v

    def to_v(self, x: float) -> float:
        if self.log:
            # a trial step may reach far beyond any double; it lands on the bound
            v = self.origin + float(10.0 ** min(x, 308.0))
        else:
            v = float(x)
        # the log map can round a hair past a bound; bounds are promises
        return min(max(v, self.lo), self.hi)

    def x_bounds(self) -> tuple[float, float]:
        if not self.log:
            return self.lo, self.hi
        xlo = -math.inf if self.lo <= self.origin else math.log10(self.lo - self.origin)
        xhi = math.inf if math.isinf(self.hi) else math.log10(self.hi - self.origin)
        return xlo, xhi


def _circuit_from(circuit_or_notation: zetrion.Circuit | str) -> tuple[zetrion.Circuit, str | None]:
    if isinstance(circuit_or_notation, str):
        return zetrion.Circuit(circuit_or_notation), circuit_or_notation.strip()
    if isinstance(circuit_or_notation, zetrion.Circuit):
        return circuit_or_notation, None
    raise TypeError(
        "circuit_or_notation must be a zetrion.Circuit or a notation string such as "
        f"'R0-(R1,CPE1)', not {type(circuit_or_notation).__name__}"
    )


def _has_default_values(circuit: zetrion.Circuit) -> bool:
    """True when every value is its element kind's default.

    A circuit built from notation and not given values carries the defaults;
    such a circuit gets the learned guess, as ``Circuit.fit`` gives it.
    """
    defaults: dict[str, float] = {}
    for label in {name.rsplit(".", 1)[0] for name in circuit.param_names()}:
        try:
            element = zetrion.Circuit(label)
        except ValueError:
            # a label the notation cannot spell: treat the values as given
            return False
        defaults.update(zip(element.param_names(), element.param_values()))
    return all(
        defaults.get(name, math.nan) == value
        for name, value in zip(circuit.param_names(), circuit.param_values())
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


def _effective_bounds(
    names: Sequence[str],
    core_bounds: Sequence[tuple[float, float]],
    bounds: Mapping[str, tuple[float, float]],
) -> list[tuple[float, float]]:
    out = list(core_bounds)
    for name, pair in bounds.items():
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


def _start_values(
    circuit: zetrion.Circuit,
    f: FloatArray,
    z: ComplexArray,
    guess_init: bool | None,
    weights: str | None,
) -> tuple[list[float], str]:
    """Starting values: the learned guess where a model exists, else the circuit's values."""
    want_guess = guess_init is True or (
        guess_init is None and (weights is not None or _has_default_values(circuit))
    )
    if not want_guess:
        return list(circuit.param_values()), "circuit values"
    try:
        guess = circuit.guess(f, z, weights) if weights is not None else circuit.guess(f, z)
    except ValueError:
        if guess_init is True or weights is not None:
            raise
        warnings.warn(
            "no learned model for this circuit: starting from its element default values; "
            "give starting values with Circuit.with_named_values({...}) for a better start",
            UserWarning,
            stacklevel=3,
        )
        return list(circuit.param_values()), "circuit values"
    return [float(v) for v in guess], "learned guess"


def _candidates(v0: FloatArray, spaces: list[_Space]) -> list[FloatArray]:
    """Deterministic starting points in physical space, the first being ``v0``.

    Open (log-searched) parameters are scaled by 3, 1/3, 8 and 1/8; bounded
    ones are placed at 20, 40, 60 and 80 % of their range.
    """
    out = [v0.copy()]
    for factor in (3.0, 1.0 / 3.0, 8.0, 0.125):
        v = v0.copy()
        for s in spaces:
            if s.log:
                v[s.index] = s.origin + (v0[s.index] - s.origin) * factor
        out.append(v)
    for frac in (0.2, 0.4, 0.6, 0.8):
        v = v0.copy()
        for s in spaces:
            if not s.log and math.isfinite(s.lo) and math.isfinite(s.hi):
                v[s.index] = s.lo + (s.hi - s.lo) * frac
        out.append(v)
    for v in out:
        for s in spaces:
            v[s.index] = min(max(v[s.index], s.lo), s.hi)
    return out


def fit(
    circuit_or_notation: zetrion.Circuit | str,
    f: Any,
    z: Any,
    *,
    fixed: Mapping[str, float] | None = None,
    bounds: Mapping[str, tuple[float, float]] | None = None,
    weight: str = "modulus",
    guess_init: bool | None = None,
    weights: str | None = None,
    start: Mapping[str, float] | None = None,
    ftol: float = 1e-8,
    xtol: float = 1e-8,
    gtol: float = 1e-8,
    max_nfev: int | None = None,
    n_starts: int = 9,
    prefit: bool = True,
    check_sign: bool = True,
) -> ConstrainedFit:
    """Fit a circuit with some parameters held fixed and others bounded.

    Parameters
    ----------
    circuit_or_notation : zetrion.Circuit or str
        The circuit, or its notation or preset name (``"randles"``,
        ``"R0-(R1,CPE1)"``).
    f : array_like of float
        Frequencies in Hz, all positive and finite.
    z : array_like of complex
        Measured impedances in ohm (capacitive: negative imaginary part).
    fixed : mapping of str to float, optional
        Parameters held at the given values, e.g. ``{"R0.r": 0.02}``. They
        override the starting values and must lie within their bounds.
    bounds : mapping of str to (float, float), optional
        Narrower ranges for some parameters, e.g. ``{"CPE1.alpha": (0.7,
        1)}``. Each is intersected with the element's physical-validity
        bounds (``Circuit.param_bounds()``); use ``math.inf`` for an open
        side. An empty range is an error.
    weight : {"modulus", "unit"}
        Weighting of the residuals, as in ``Circuit.fit``.
    guess_init : bool, optional
        ``None`` (default): start from the learned guess when the circuit
        carries its element defaults (a notation, or a circuit never given
        values) and a model exists for its topology, else from the circuit's
        values. ``True`` always guesses (and raises when it cannot);
        ``False`` never does.
    weights : str, optional
        Path of a ``.eisnn`` weight file for the learned guess.
    start : mapping of str to float, optional
        Starting values for some parameters, overriding the guess.
    ftol, xtol, gtol : float
        Tolerances of ``least_squares``.
    max_nfev : int, optional
        Residual evaluations allowed per start; default ``200 * (n_free + 1)``
        as the core fit allows.
    n_starts : int
        Most optimiser runs. The starting points (below) are tried in order
        of their cost, and the fit stops at the first plausible result
        (converged, finite, no free parameter stuck at a physical bound or
        run off by six decades). ``1`` runs only from the cheapest start.
    prefit : bool
        Also consider, as a starting point, the unconstrained optimum of a
        default ``Circuit.fit`` from the same start (before the fixed values
        are applied), with the fixed values put back and the bounded ones moved into their ranges. Starting points
        are tried in order of their cost, so this one usually goes first.
    check_sign : bool
        Warn when the imaginary sign of ``z`` looks flipped (as some
        instruments export it); pass ``False`` for a truly inductive
        spectrum.

    Returns
    -------
    ConstrainedFit

    Raises
    ------
    FitSetupError
        Unknown parameter names, empty bounds, a fixed value outside its
        bounds, nothing left to fit.
    zetrion_tools.checks.DataError
        A spectrum that cannot be fitted (lengths differ, NaN/inf, frequency
        not positive or repeated, fewer points than free parameters); a
        ``ValueError`` like the others.
    ValueError
        An unknown weighting, or a learned guess that was required and
        failed.

    Warns
    -----
    zetrion_tools.checks.DataWarning
        An imaginary part whose sign looks flipped, or zero impedances.

    Examples
    --------
    >>> result = fit("randles", f, z, fixed={"R0.r": 10.0},
    ...              bounds={"CPE1.alpha": (0.7, 1.0)})  # doctest: +SKIP
    >>> print(result)  # doctest: +SKIP
    """
    circuit, notation = _circuit_from(circuit_or_notation)
    names = list(circuit.param_names())
    repeated = sorted({n for n in names if names.count(n) > 1})
    if repeated:
        raise FitSetupError(
            f"the circuit names several parameters {', '.join(repeated)} (two parts with the same "
            "labels joined by Series/Parallel); build it from notation with distinct labels"
        )
    bounds = dict(bounds or {})
    _check_names("bounds", bounds, names)
    fixed = _numbers("fixed", fixed or {}, names)
    start = _numbers("start", start or {}, names)
    if weight not in ("modulus", "unit"):
        raise ValueError(f'unknown weight {weight!r}, expected "modulus" or "unit"')
    if int(n_starts) < 1:
        raise ValueError("n_starts must be at least 1")

    core_bounds = [(float(lo), float(hi)) for lo, hi in circuit.param_bounds()]
    eff = _effective_bounds(names, core_bounds, bounds)
    for name, value in fixed.items():
        lo, hi = eff[names.index(name)]
        if not (lo <= value <= hi):
            raise FitSetupError(f"fixed value {name} = {value:g} lies outside its bounds ({lo:g}, {hi:g})")

    free_idx = [i for i, n in enumerate(names) if n not in fixed]
    if not free_idx:
        raise FitSetupError("every parameter is fixed: nothing left to fit")
    freq, imp = check_spectrum(f, z, n_params=len(free_idx), check_sign=check_sign)
    f_list, z_list = freq.tolist(), imp.tolist()

    v0_list, source = _start_values(circuit, freq, imp, guess_init, weights)
    v0 = np.array(v0_list, dtype=np.float64)
    for name, value in start.items():
        v0[names.index(name)] = value
    unconstrained_start = v0.copy()
    for name, value in fixed.items():
        v0[names.index(name)] = value

    spaces = [
        _Space(i, math.isinf(core_bounds[i][1]) or math.isnan(core_bounds[i][1]), core_bounds[i][0], *eff[i])
        for i in free_idx
    ]
    x_lo = np.array([s.x_bounds()[0] for s in spaces])
    x_hi = np.array([s.x_bounds()[1] for s in spaces])
    budget = int(max_nfev) if max_nfev is not None else 200 * (len(free_idx) + 1)

    def physical(x: FloatArray, base: FloatArray) -> list[float]:
        v = base.copy()
        for s, xi in zip(spaces, x):
            v[s.index] = s.to_v(float(xi))
        return v.tolist()  # type: ignore[no-any-return]

    def make_fun(base: FloatArray) -> tuple[Any, Any]:
        def fun(x: FloatArray) -> FloatArray:
            r = np.asarray(circuit.residuals(physical(x, base), f_list, z_list, weight), dtype=np.float64)
            # a non-finite model value would stop the optimiser with an error;
            # a huge residual steers it away instead
            out: FloatArray = np.nan_to_num(r, nan=1e150, posinf=1e150, neginf=-1e150)
            return out

        def jac(x: FloatArray) -> FloatArray:
            v = physical(x, base)
            j = np.asarray(circuit.jacobian(v, f_list, z_list, weight), dtype=np.float64)[:, free_idx]
            scale = np.array([(v[s.index] - s.origin) * _LN10 if s.log else 1.0 for s in spaces])
            out: FloatArray = np.nan_to_num(j * scale)
            return out

        return fun, jac

    evals = [0]  # residual-vector evaluations outside the optimiser's own count

    def cost_at(v: FloatArray) -> float:
        evals[0] += 1
        r = np.asarray(circuit.residuals(v.tolist(), f_list, z_list, weight))
        c = 0.5 * float(r @ r)
        return c if math.isfinite(c) else math.inf

    candidates = _candidates(v0, spaces)
    if prefit:
        # The unconstrained optimum reached from the same start as a default
        # fit, with the fixed values put back and the bounded ones pulled into
        # their boxes, usually lies next to the constrained one: starting
        # there avoids the side valleys a start far away can run into (the
        # fixed values enter only afterwards, since they can push the core's
        # own path into another valley). Costs one core fit.
        try:
            free_fit = circuit.with_values(unconstrained_start.tolist()).fit(f_list, z_list, weight=weight)
        except ValueError:
            free_fit = None
        if free_fit is not None:
            evals[0] += free_fit.impedance_evals
            v = np.array(free_fit.circuit.param_values(), dtype=np.float64)
            for name, value in fixed.items():
                v[names.index(name)] = value
            for sp in spaces:
                v[sp.index] = min(max(v[sp.index], sp.lo), sp.hi)
            candidates.append(v)
    order = sorted(range(len(candidates)), key=lambda k: cost_at(candidates[k]))

    best: tuple[bool, float, FloatArray, str] | None = None
    total_nfev = 0
    runs = 0
    for k in order[: int(n_starts)]:
        base = candidates[k]
        x0 = np.array([s.to_x(float(base[s.index])) for s in spaces])
        x0 = np.clip(x0, x_lo, x_hi)
        fun, jac = make_fun(base)
        sol = least_squares(
            fun,
            x0,
            jac=jac,
            bounds=(x_lo, x_hi),
            method="trf",
            ftol=ftol,
            xtol=xtol,
            gtol=gtol,
            max_nfev=budget,
        )
        runs += 1
        # each Jacobian evaluates the residuals twice per circuit parameter
        total_nfev += int(sol.nfev) + 2 * len(names) * int(sol.njev or 0)
        v = np.array(physical(sol.x, base))
        c = cost_at(v)
        ok = bool(sol.status > 0) and math.isfinite(c)
        if best is None or (ok and not best[0]) or (ok == best[0] and c < best[1]):
            best = (ok, c, v, str(sol.message))
        if ok and _plausible(v, v0, spaces, core_bounds):
            break
    assert best is not None
    success, _, v_best, message = best
    if not success:
        message = (
            f"the optimiser did not converge in {runs} start(s) ({message}); "
            "try other starting values (start={...}), a larger max_nfev, or fewer free parameters"
        )

    return _outcome(
        circuit,
        notation,
        names,
        v_best,
        fixed,
        free_idx,
        {names[s.index]: (s.lo, s.hi) for s in spaces},
        freq,
        imp,
        f_list,
        z_list,
        weight,
        success,
        message,
        settings={
            "ftol": ftol,
            "xtol": xtol,
            "gtol": gtol,
            "max_nfev": budget,
            "n_starts": int(n_starts),
            "prefit": prefit,
            "guess_init": guess_init,
            "weights": weights,
        },
        start={n: float(v0[i]) for i, n in enumerate(names)},
        source=source,
        nfev=total_nfev + evals[0] + 1 + 2 * len(names),
        runs=runs,
    )


def _plausible(
    v: FloatArray, v0: FloatArray, spaces: list[_Space], core_bounds: Sequence[tuple[float, float]]
) -> bool:
    for s in spaces:
        p = float(v[s.index])
        lo, hi = core_bounds[s.index]
        if s.log:
            ratio = p / max(abs(float(v0[s.index])), 1e-300)
            if not (p > 100.0 * lo and math.isfinite(ratio) and 1e-6 <= ratio < 1e6):
                return False
        else:
            # pinned against a physical bound it was not asked to sit on
            tol = (hi - lo) * 1e-6
            if (abs(p - lo) <= tol and s.lo == lo) or (abs(hi - p) <= tol and s.hi == hi):
                return False
    return True


def _covariance(j: FloatArray, s2: float) -> FloatArray:
    """``s2 (J^T J)^-1``, or NaN when the parameters are not all determined.

    Computed from the singular values of J with its columns scaled to unit
    norm, so that parameters of very different magnitude do not pass for
    degenerate; a scaled singular value below 1e-10 of the largest means that
    some combination of parameters leaves the residuals unchanged (two
    resistors in series, an arc outside the measured band), and then no
    error estimate is honest. The central-difference Jacobian would turn such
    a matrix into a large, meaningless inverse rather than an exact singular
    one.
    """
    n = j.shape[1]
    nan = np.full((n, n), np.nan)
    if not np.all(np.isfinite(j)):
        return nan
    norms = np.linalg.norm(j, axis=0)
    if np.any(norms == 0):
        return nan
    _, sv, vt = np.linalg.svd(j / norms, full_matrices=False)
    if sv[-1] <= 1e-10 * sv[0]:
        return nan
    inv = (vt.T / sv**2) @ vt
    out: FloatArray = s2 * inv / np.outer(norms, norms)
    return out


def _outcome(
    circuit: zetrion.Circuit,
    notation: str | None,
    names: list[str],
    v: FloatArray,
    fixed: dict[str, float],
    free_idx: list[int],
    used_bounds: dict[str, tuple[float, float]],
    freq: FloatArray,
    imp: ComplexArray,
    f_list: list[float],
    z_list: list[complex],
    weight: str,
    success: bool,
    message: str,
    *,
    settings: dict[str, Any],
    start: dict[str, float],
    source: str,
    nfev: int,
    runs: int,
) -> ConstrainedFit:
    values = v.tolist()
    r = np.asarray(circuit.residuals(values, f_list, z_list, weight), dtype=np.float64)
    chi_square = float(r @ r)
    cost = 0.5 * chi_square
    n_free = len(free_idx)
    dof = r.size - n_free
    cov = np.full((n_free, n_free), np.nan)
    if dof > 0:
        j = np.asarray(circuit.jacobian(values, f_list, z_list, weight), dtype=np.float64)[:, free_idx]
        cov = _covariance(j, chi_square / dof)
    diag = np.diag(cov)
    with np.errstate(invalid="ignore", divide="ignore"):
        err = np.sqrt(np.where(diag >= 0, diag, np.nan))
        corr = cov / np.outer(err, err)
    stderr = {n: 0.0 for n in names}
    for k, i in enumerate(free_idx):
        stderr[names[i]] = float(err[k])
    fitted = circuit.with_values(values)
    return ConstrainedFit(
        circuit=fitted,
        notation=notation,
        params=dict(zip(names, (float(x) for x in values))),
        stderr=stderr,
        fixed=dict(fixed),
        free=tuple(names[i] for i in free_idx),
        bounds=used_bounds,
        covariance=cov,
        correlation=corr,
        frequencies=freq,
        impedance=imp,
        z_fit=np.asarray(fitted.impedance(f_list), dtype=np.complex128),
        residuals=r,
        cost=cost,
        chi_square=chi_square,
        dof=dof,
        reduced_chi_square=chi_square / dof if dof > 0 else math.nan,
        success=success,
        message=message,
        weight=weight,
        method="least_squares_trf",
        settings=settings,
        start=start,
        start_source=source,
        nfev=nfev,
        starts=runs,
    )
