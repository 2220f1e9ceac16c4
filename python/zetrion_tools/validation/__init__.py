"""Linear Kramers-Kronig validation of impedance spectra.

The test follows Schönleber, Klotz and Ivers-Tiffée, "A Method for Improving
the Robustness of linear Kramers-Kronig Validity Tests", Electrochimica Acta
131 (2014) 20-27 (doi:10.1016/j.electacta.2014.01.034). A chain of M RC
elements with fixed time constants, log-spaced between 1/omega_max and
1/omega_min, plus a series resistance (and optionally an inductance and a
capacitance) is Kramers-Kronig compliant by construction. It is linear in its
resistances, so it is fitted by linear least squares to the spectrum divided by
|Z|. Data that it cannot reproduce within the noise violate causality,
linearity or stationarity.

By default (:mod:`zetrion_tools.validation.auto`) the test runs on the
impedance and on the admittance, with and without the capacitance and the
inductance, chooses M at the start of the plateau of the fit against M and
keeps the set-up with the smallest information criterion; the result carries
a verdict (:mod:`zetrion_tools.validation.verdict`).

The classic test (``mode="impedance.py"``, or ``rule="mu"`` on the
impedance with the series elements given) chooses M as the smallest count
whose

    mu = 1 - sum(|R_k| for R_k < 0) / sum(|R_k| for R_k >= 0)

falls to the threshold c: more RC elements fit better, until they start to
fit the noise, which shows as resistances of alternating sign. For speed,
its trials M = 1, 2, ... are screened in batches: the RC columns of a
batch's trials are built in one vectorised step (their time constants
differ with M, so each M has its own block of the one array) and their
normal equations are solved in one batched call (see
:mod:`zetrion_tools.validation.screen`).

Modules: ``result`` (:class:`LinKKResult`), ``test`` (one classic test at a
given M: the design, the solve, the completion of one-part fits), ``screen``
(the batched screening over M), ``auto`` (the default test) and ``verdict``.
"""

from __future__ import annotations

import dataclasses
import math
from typing import Any, Literal, Union

import numpy as np
from numpy.typing import ArrayLike, NDArray

from ..checks import check_spectrum
from .auto import Setup, Trial, best_test, setups
from .result import LinKKResult, residuals
from .screen import DEFAULT_BATCHES, ScreenInputs, Screening, screen
from .test import Design, SingleFit, complete, design, over_fit_measure, solve, split_complex, time_constants
from .verdict import judge

__all__ = ["LinKKResult", "linkk", "time_constants"]

FitType = Literal["real", "imag", "complex"]
Extra = Union[bool, Literal["auto"]]
Representation = Literal["auto", "impedance", "admittance"]
Mode = Literal["auto", "impedance.py"]

# Trials per screening batch (the last size repeats).
_BATCHES = DEFAULT_BATCHES


def _screen(*fields: Any) -> Screening:
    """The batched screening, given the fields of a ScreenInputs in order.

    :func:`linkk` reaches the screening through this name, so that it can be
    swapped as a whole.
    """
    return screen(ScreenInputs(*fields))


def _check_options(
    fit_type: str, max_M: int, c: float | None, outlier_sigma: float, outlier_floor: float
) -> None:
    if fit_type not in ("real", "imag", "complex"):
        raise ValueError(f"fit_type must be 'real', 'imag' or 'complex', got {fit_type!r}")
    if isinstance(max_M, bool) or not isinstance(max_M, (int, np.integer)) or max_M < 1:
        raise ValueError(f"max_M must be a positive int, got {max_M!r}")
    if c is not None and not (math.isfinite(c) and 0.0 < c <= 1.0):
        raise ValueError(f"c must lie in (0, 1] or be None, got {c!r}")
    if not (outlier_sigma > 0 and outlier_floor >= 0):
        raise ValueError("outlier_sigma must be positive and outlier_floor not negative")


def _check_choices(
    add_cap: Any, add_inductance: Any, representation: str, rule: str, mode: str, max_residual: float
) -> None:
    for name, value in (("add_cap", add_cap), ("add_inductance", add_inductance)):
        if not (isinstance(value, (bool, np.bool_)) or value == "auto"):
            raise ValueError(f"{name} must be True, False or 'auto', got {value!r}")
    for name, value, allowed in (
        ("representation", representation, ("auto", "impedance", "admittance")),
        ("rule", rule, ("auto", "mu")),
        ("mode", mode, ("auto", "impedance.py")),
    ):
        if value not in allowed:
            raise ValueError(f"{name} must be one of {', '.join(map(repr, allowed))}, got {value!r}")
    if not (math.isfinite(max_residual) and max_residual > 0):
        raise ValueError(f"max_residual must be positive, got {max_residual!r}")


def _screened_fit(d: Design, c: float | None, max_M: int) -> tuple[SingleFit, list[float]]:
    """The fit at the M the screen picks, and mu of every M it tried."""
    # screen M = 1, 2, ... in batches; the pick comes back solved to
    # least-squares accuracy
    inputs = ScreenInputs.of(
        d, np.inf if c is None else c, max_M if c is None else 1, max_M, _BATCHES
    )
    picked = _screen(*inputs.values())
    if picked.fitted is not None:
        fit = split_complex(d, picked.time_constants, picked.coef, picked.fitted)
    else:
        fit = complete(d, picked.time_constants, picked.coef)
    return fit, picked.history


def _exact_continuation(
    d: Design, fit: SingleFit, history: list[float], c: float | None, max_M: int
) -> tuple[SingleFit, float]:
    """The screen's fit, or a larger M if its exact mu is still above c.

    Rounding in the screen may put mu just below c where the exact fit does
    not: carry on one M at a time with SVD solves. ``history`` is updated
    in place with the exact mu values.
    """
    mu = over_fit_measure(fit.resistances, d.mod_max)
    while c is not None and mu > c and fit.M < max_M:
        history[-1] = mu
        fit = solve(d, fit.M + 1)
        mu = over_fit_measure(fit.resistances, d.mod_max)
        history.append(mu)
    history[-1] = mu
    return fit, mu


def linkk(
    f: ArrayLike | Any,
    z: ArrayLike | None = None,
    c: float | None = 0.85,
    max_M: int = 50,
    fit_type: FitType = "complex",
    add_cap: Extra = "auto",
    add_inductance: Extra = "auto",
    *,
    representation: Representation = "auto",
    rule: Literal["auto", "mu"] = "auto",
    mode: Mode = "auto",
    outlier_sigma: float = 5.0,
    outlier_floor: float = 0.0075,
    max_residual: float = 0.015,
) -> LinKKResult:
    """Linear Kramers-Kronig test with automatic choice of the RC count.

    Parameters
    ----------
    f : array_like
        Frequencies in Hz (positive, distinct); or, with ``z`` left out, the
        spectrum as a data frame, a dict of columns or a Spectrum (see
        :func:`zetrion_tools.checks.check_spectrum`).
    z : array_like, optional
        Complex impedances in ohm (capacitive = negative imaginary part).
    c : float or None, optional
        Threshold for mu (default 0.85), used by ``rule="mu"``: M grows
        from 1 until mu <= c or M == max_M. ``None`` fits exactly ``max_M``
        elements, whatever the rule.
    max_M : int, optional
        Largest number of RC elements (default 50; fewer when the data
        cannot determine so many).
    fit_type : {"complex", "real", "imag"}, optional
        Fit both parts (default), the real part only (the purely reactive
        elements are then fitted to what is left of the imaginary part), or
        the imaginary part only (the constant term then follows from what is
        left of the real part).
    add_cap, add_inductance : bool or "auto", optional
        Include the capacitance and the inductance of the test circuit
        (series ones for the impedance, parallel ones for the admittance).
        ``"auto"`` (default) tries with and without and keeps what the data
        need (see :mod:`zetrion_tools.validation.auto`).
    representation : {"auto", "impedance", "admittance"}, optional
        Test the impedance, the admittance, or both keeping the better
        (default).
    rule : {"auto", "mu"}, optional
        How M is chosen: the start of the plateau of the fit against M
        (default), or the classic smallest M whose mu falls to ``c``.
    mode : {"auto", "impedance.py"}, optional
        ``"impedance.py"`` reproduces impedance.py's ``linKK`` to rounding:
        the impedance, the mu rule, no series capacitance unless
        ``add_cap=True``, a series inductance unless
        ``add_inductance=False``.
    outlier_sigma : float, optional
        A point is flagged when its real or imaginary residual exceeds
        ``outlier_sigma`` robust standard deviations of that part's
        residuals (``1.4826 * median(|residual|)``: the noise the test
        measures, which a few outlying points cannot inflate). Default 5.
    outlier_floor : float, optional
        Residuals below this are never flagged (default 0.0075, i.e.
        0.75 % of |Z|, half the default ``max_residual``): no point is worth
        dropping for less.
    max_residual : float, optional
        The largest relative residual the verdict takes as valid (default
        0.015, i.e. 1.5 %).

    Returns
    -------
    LinKKResult
        With ``verdict`` and ``advice`` saying what the residuals mean.

    Raises
    ------
    DataError
        Invalid data (see :func:`zetrion_tools.checks.check_spectrum`).
    ValueError
        Invalid options.

    Notes
    -----
    The impedance model is

    .. math::

        \\hat Z = R_0 + \\sum_{k=1}^M \\frac{R_k}{1 + j\\omega\\tau_k}
                  + j\\omega L + \\frac{1}{j\\omega C}

    fitted to ``Z / |Z|`` (every point weighted by its modulus); the
    admittance model is its dual, fitted to ``Y / |Y|``.
    """
    _check_options(fit_type, max_M, c, outlier_sigma, outlier_floor)
    _check_choices(add_cap, add_inductance, representation, rule, mode, max_residual)
    fa, za = check_spectrum(f, z, check_sign=False)
    if not za.all():
        raise ValueError("Lin-KK weights points by 1/|Z|: drop points with Z == 0")
    if mode == "impedance.py":
        representation = "impedance" if representation == "auto" else representation
        rule = "mu"
        add_cap = False if add_cap == "auto" else add_cap
        add_inductance = True if add_inductance == "auto" else add_inductance
    classic = representation == "impedance" and rule == "mu" and "auto" not in (add_cap, add_inductance)
    if classic:
        kk = _classic(fa, za, c, max_M, fit_type, bool(add_cap), bool(add_inductance))
    else:
        kk = _automatic(fa, za, c, max_M, fit_type, setups(representation, add_cap, add_inductance, fit_type), rule)
    res = residuals(za, kk.z_fit, np.abs(za), outlier_sigma, outlier_floor)
    v = judge(fa, res.real, res.imag, res.outliers, max_residual)
    return dataclasses.replace(
        kk, residuals_real=res.real, residuals_imag=res.imag, outliers=res.outliers,
        outlier_threshold=res.threshold, verdict=v.status, advice=v.text, limit=max_residual,
    )


def _classic(
    fa: NDArray[np.float64], za: NDArray[np.complex128], c: float | None, max_M: int,
    fit_type: str, add_cap: bool, add_inductance: bool,
) -> LinKKResult:
    """The test as impedance.py runs it (residuals filled in by the caller)."""
    d = design(fa, za, fit_type, add_cap, add_inductance)
    fit, history = _screened_fit(d, c, max_M)
    fit, mu = _exact_continuation(d, fit, history, c, max_M)
    inv_c = fit.inverse_capacitance
    empty = np.zeros(0)
    return LinKKResult(
        M=fit.M, mu=float(mu), z_fit=fit.z_fit(d), residuals_real=empty, residuals_imag=empty,
        outliers=np.zeros(0, dtype=bool), outlier_threshold=(0.0, 0.0),
        series_resistance=float(fit.series_resistance), resistances=fit.resistances,
        time_constants=fit.time_constants, inductance=float(fit.inductance),
        capacitance=float(np.inf) if inv_c == 0 else float(1.0 / inv_c),
        fit_type=fit_type, mu_history=np.array(history), representation="impedance",
    )


def _circuit(t: Trial) -> tuple[float, NDArray[np.float64], float, float]:
    """R_0 (or 1/G_0), the branch resistances, L and C of a trial, in the
    circuit of its representation (see LinKKResult)."""
    s: Setup = t.setup
    coef = t.coef
    k = 1 + t.M
    cap_term = float(coef[k]) if s.add_cap else 0.0
    ind_term = float(coef[k + int(s.add_cap)]) if s.add_inductance else 0.0
    with np.errstate(divide="ignore"):
        if s.representation == "impedance":
            cap = float(np.inf) if cap_term == 0 else 1.0 / cap_term
            return float(coef[0]), coef[1:k].copy(), ind_term, cap
        inv = 1.0 / coef[: k]
        ind = float(np.inf) if ind_term == 0 else 1.0 / ind_term
        return float(inv[0]), inv[1:].astype(np.float64), ind, cap_term if s.add_cap else float(np.inf)


def _automatic(
    fa: NDArray[np.float64], za: NDArray[np.complex128], c: float | None, max_M: int,
    fit_type: str, candidates: list[Setup], rule: str,
) -> LinKKResult:
    """The test over the candidate set-ups (residuals filled in by the caller)."""
    w = 2.0 * np.pi * fa
    best, trials = best_test(w, za, candidates, max_M, c if rule == "mu" else None, fixed=c is None)
    r0, rk, ind, cap = _circuit(best)
    empty = np.zeros(0)
    return LinKKResult(
        M=best.M, mu=float(best.mu), z_fit=best.z_fit, residuals_real=empty, residuals_imag=empty,
        outliers=np.zeros(0, dtype=bool), outlier_threshold=(0.0, 0.0), series_resistance=r0,
        resistances=rk, time_constants=best.time_constants, inductance=ind, capacitance=cap,
        fit_type=fit_type, mu_history=np.array([t.mu for t in trials]),
        representation=best.setup.representation,
    )
