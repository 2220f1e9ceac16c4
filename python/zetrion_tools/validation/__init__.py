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

M is chosen as the smallest count whose

    mu = 1 - sum(|R_k| for R_k < 0) / sum(|R_k| for R_k >= 0)

falls to the threshold c: more RC elements fit better, until they start to
fit the noise, which shows as resistances of alternating sign.

For speed, the trials M = 1, 2, ... are screened in batches: the RC columns of
a batch's trials are built in one vectorised step (their time constants
differ with M, so each M has its own block of the one array) and their normal
equations are solved in one batched call (see
:mod:`zetrion_tools.validation.screen`).

Modules: ``result`` (:class:`LinKKResult`), ``test`` (one test at a given M:
the design, the solve, the completion of one-part fits) and ``screen`` (the
batched screening over M).
"""

from __future__ import annotations

import math
from typing import Any, Literal

import numpy as np
from numpy.typing import ArrayLike

from ..checks import check_spectrum
from .result import LinKKResult, residuals
from .screen import DEFAULT_BATCHES, ScreenInputs, Screening, screen
from .test import Design, SingleFit, complete, design, over_fit_measure, solve, split_complex, time_constants

__all__ = ["LinKKResult", "linkk", "time_constants"]

FitType = Literal["real", "imag", "complex"]

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
    add_cap: bool = False,
    add_inductance: bool = True,
    *,
    outlier_sigma: float = 4.0,
    outlier_floor: float = 1e-3,
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
        Threshold for mu (default 0.85): M grows from 1 until mu <= c or
        M == max_M. ``None`` fits exactly ``max_M`` elements.
    max_M : int, optional
        Largest number of RC elements (default 50).
    fit_type : {"complex", "real", "imag"}, optional
        Fit both parts (default), the real part only (the series inductance
        and capacitance are then fitted to what is left of the imaginary
        part), or the imaginary part only (the series resistance is then the
        |Z|^-2 weighted mean of what is left of the real part, after
        Boukamp, J. Electrochem. Soc. 142 (1995) 1885).
    add_cap : bool, optional
        Add a series capacitance, for spectra without a low-frequency
        intercept (blocking electrodes).
    add_inductance : bool, optional
        Add a series inductance for the cell and cable (default ``True``).
    outlier_sigma : float, optional
        A point is flagged when its real or imaginary residual exceeds
        ``outlier_sigma`` robust standard deviations of that part's
        residuals, the scale being ``1.4826 * median(|residual|)`` (the
        residuals of a valid spectrum scatter around zero; the median keeps
        the few outlying points from hiding themselves). Default 4.
    outlier_floor : float, optional
        Residuals below this are never flagged (default 1e-3, i.e. 0.1 % of
        |Z|), so that noise-free data do not flag rounding.

    Returns
    -------
    LinKKResult

    Raises
    ------
    DataError
        Invalid data (see :func:`zetrion_tools.checks.check_spectrum`).
    ValueError
        Invalid options.

    Notes
    -----
    The model is

    .. math::

        \\hat Z = R_0 + \\sum_{k=1}^M \\frac{R_k}{1 + j\\omega\\tau_k}
                  + j\\omega L + \\frac{1}{j\\omega C}

    fitted to ``Z / |Z|`` (every point weighted by its modulus). Residuals
    below about 1 % with no trend across frequency indicate valid data.
    """
    _check_options(fit_type, max_M, c, outlier_sigma, outlier_floor)
    fa, za = check_spectrum(f, z, check_sign=False)
    if not za.all():
        raise ValueError("Lin-KK weights points by 1/|Z|: drop points with Z == 0")
    d = design(fa, za, fit_type, add_cap, add_inductance)
    fit, history = _screened_fit(d, c, max_M)
    fit, mu = _exact_continuation(d, fit, history, c, max_M)
    z_fit = fit.z_fit(d)
    res = residuals(za, z_fit, d.mod, outlier_sigma, outlier_floor)
    inv_c = fit.inverse_capacitance
    return LinKKResult(
        M=fit.M,
        mu=float(mu),
        z_fit=z_fit,
        residuals_real=res.real,
        residuals_imag=res.imag,
        outliers=res.outliers,
        outlier_threshold=res.threshold,
        series_resistance=float(fit.series_resistance),
        resistances=fit.resistances,
        time_constants=fit.time_constants,
        inductance=float(fit.inductance),
        capacitance=float(np.inf) if inv_c == 0 else float(1.0 / inv_c),
        fit_type=fit_type,
        mu_history=np.array(history),
    )
