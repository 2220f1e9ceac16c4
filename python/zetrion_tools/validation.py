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
equations are solved in one batched call (see ``_screen``).
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from functools import lru_cache
from typing import Literal, cast

import numpy as np
from numpy.typing import ArrayLike, NDArray

from .checks import check_spectrum

__all__ = ["LinKKResult", "linkk", "time_constants"]

FitType = Literal["real", "imag", "complex"]


@dataclass(frozen=True, eq=False)
class LinKKResult:
    """Outcome of :func:`linkk`.

    Attributes
    ----------
    M : int
        Number of RC elements used.
    mu : float
        Over-fitting measure at that M (see module docstring).
    z_fit : ndarray of complex128
        Impedance of the fitted KK-compliant circuit at the measured
        frequencies.
    residuals_real, residuals_imag : ndarray of float64
        ``(Z - Z_fit) / |Z|``, real and imaginary parts.
    outliers : ndarray of bool
        Points whose residual stands out (see ``outlier_threshold``).
    outlier_threshold : tuple of float
        The real and imaginary residual magnitudes above which a point was
        flagged.
    series_resistance : float
        R_0 in ohm.
    resistances : ndarray of float64
        R_k of the RC elements, in ohm.
    time_constants : ndarray of float64
        tau_k of the RC elements, in s.
    inductance : float
        Series inductance in H (0 when not included).
    capacitance : float
        Series capacitance in F (``inf`` when not included, i.e. a short).
    fit_type : str
        Which parts of the data were fitted.
    mu_history : ndarray of float64
        mu for M = 1, 2, ..., M (one value when M was fixed).
    """

    M: int
    mu: float
    z_fit: NDArray[np.complex128]
    residuals_real: NDArray[np.float64]
    residuals_imag: NDArray[np.float64]
    outliers: NDArray[np.bool_]
    outlier_threshold: tuple[float, float]
    series_resistance: float
    resistances: NDArray[np.float64]
    time_constants: NDArray[np.float64]
    inductance: float
    capacitance: float
    fit_type: str
    mu_history: NDArray[np.float64]

    @property
    def max_residual(self) -> float:
        """Largest absolute relative residual, real or imaginary."""
        return float(
            max(np.max(np.abs(self.residuals_real)), np.max(np.abs(self.residuals_imag)))
        )

    def __repr__(self) -> str:
        return (
            f"LinKKResult(M={self.M}, mu={self.mu:.4f}, fit_type={self.fit_type!r}, "
            f"max_residual={self.max_residual:.3%}, outliers={int(self.outliers.sum())})"
        )


def time_constants(f: ArrayLike, M: int) -> NDArray[np.float64]:
    """Time constants of the M RC elements for frequencies f.

    Log-spaced from ``1 / omega_max`` to ``1 / omega_min``; with ``M == 1``
    the single element takes ``1 / omega_min``.

    Parameters
    ----------
    f : array_like
        Frequencies in Hz.
    M : int
        Number of RC elements.

    Returns
    -------
    ndarray of float64
    """
    fa = np.asarray(f, dtype=np.float64)
    return _taus(1.0 / (2.0 * np.pi * fa.max()), 1.0 / (2.0 * np.pi * fa.min()), M)


def _taus(t_min: float, t_max: float, M: int) -> NDArray[np.float64]:
    ts = np.empty(M)
    ts[0] = t_min
    if M > 2:
        # written as 10**(log10(t_min) + k/(M-1) * log10(t_max/t_min)) so the
        # values match other implementations bit for bit
        k = np.arange(1, M - 1)
        ts[1:-1] = 10.0 ** (np.log10(t_min) + (k / (M - 1)) * np.log10(t_max / t_min))
    ts[-1] = t_max
    return ts


def _rc_columns(
    w: NDArray[np.float64], mod: NDArray[np.float64], taus: NDArray[np.float64]
) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """Real and imaginary parts of 1 / (1 + j w tau) / |Z|, one column per tau."""
    x = np.multiply.outer(w, taus)
    d = 1.0 / ((1.0 + x * x) * mod[:, None])
    return d, -x * d


# Resistances below this fraction of max |Z| are rounding (a purely ohmic
# spectrum leaves R_k ~ 1e-16 of random sign) and count as zero in mu.
_TINY = 1e-12


def _mu(r: NDArray[np.float64], scale: float) -> float:
    # a plain loop: there are few R_k, and NumPy's per-call cost would
    # exceed the work
    tiny = _TINY * scale
    pos = neg = 0.0
    for v in r.tolist():
        if v > tiny:
            pos += v
        elif v < -tiny:
            neg -= v
    if pos == 0.0:
        # no positive mass: either nothing fitted at all (a purely ohmic
        # spectrum, mu = 0, nothing to over-fit) or only negative mass
        return 0.0 if neg == 0.0 else -np.inf
    return 1.0 - neg / pos


def _lstsq(a: NDArray[np.float64], b: NDArray[np.float64]) -> NDArray[np.float64]:
    # the same singular-value cut-off as numpy.linalg.pinv's default, so
    # that nearly dependent RC columns (large M) are treated alike
    return np.asarray(np.linalg.lstsq(a, b, rcond=1e-15)[0], dtype=np.float64)


def linkk(
    f: ArrayLike,
    z: ArrayLike,
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
        Frequencies in Hz (positive, distinct).
    z : array_like
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
    if fit_type not in ("real", "imag", "complex"):
        raise ValueError(f"fit_type must be 'real', 'imag' or 'complex', got {fit_type!r}")
    if isinstance(max_M, bool) or not isinstance(max_M, (int, np.integer)) or max_M < 1:
        raise ValueError(f"max_M must be a positive int, got {max_M!r}")
    if c is not None and not (math.isfinite(c) and 0.0 < c <= 1.0):
        raise ValueError(f"c must lie in (0, 1] or be None, got {c!r}")
    if not (outlier_sigma > 0 and outlier_floor >= 0):
        raise ValueError("outlier_sigma must be positive and outlier_floor not negative")
    fa, za = check_spectrum(f, z, check_sign=False)
    if not za.all():
        raise ValueError("Lin-KK weights points by 1/|Z|: drop points with Z == 0")

    w = 2.0 * np.pi * fa
    mod = np.abs(za)
    mod_max = float(mod.max())
    b_re = za.real / mod
    b_im = za.imag / mod
    t_min = 1.0 / (2.0 * np.pi * fa.max())
    t_max = 1.0 / (2.0 * np.pi * fa.min())

    col_r0 = 1.0 / mod
    col_l = w / mod if add_inductance else None
    col_c = -1.0 / (w * mod) if add_cap else None  # coefficient is 1/C

    # screen M = 1, 2, ... in batches; the pick comes back solved to
    # least-squares accuracy (see _screen)
    history, M, taus, coef, fitted = _screen(
        fit_type, w, mod, b_re, b_im, col_r0, col_c, col_l, t_min, t_max,
        np.inf if c is None else c, max_M if c is None else 1, max_M, mod_max,
    )
    if fitted is not None:
        # the complex fit's design holds both parts: take R_0, the reactive
        # elements and R_k straight from its coefficients
        n_series = (col_c is not None) + (col_l is not None)
        r0, rk = float(coef[0]), coef[1 + n_series :]
        inv_c = float(coef[1]) if col_c is not None else 0.0
        ind = float(coef[n_series]) if col_l is not None else 0.0
    else:
        rc_re, rc_im = _rc_columns(w, mod, taus)
        r0, rk, inv_c, ind = _finish(fit_type, coef, rc_re, rc_im, col_c, col_l, b_im, za, mod)
    mu = _mu(rk, mod_max)
    while c is not None and mu > c and M < max_M:
        # rounding in the screen put mu just below c where the exact fit
        # does not: carry on one M at a time with SVD solves
        fitted = None
        history[-1] = mu
        M += 1
        taus = _taus(t_min, t_max, M)
        rc_re, rc_im = _rc_columns(w, mod, taus)
        r0, rk, inv_c, ind = _solve(
            fit_type, rc_re, rc_im, col_r0, col_c, col_l, b_re, b_im, za, mod
        )
        mu = _mu(rk, mod_max)
        history.append(mu)
    history[-1] = mu
    if fitted is not None:
        # Z_fit / |Z| with real and imaginary parts interleaved, as complex
        z_fit = fitted.view(np.complex128) * mod
    else:
        z_fit = r0 + mod * ((rc_re + 1j * rc_im) @ rk) + 1j * w * ind - 1j * inv_c / w
    err = (za - z_fit) / mod
    # (real, imaginary) pairs, one row per point
    pairs = err.view(np.float64).reshape(-1, 2)
    res_re, res_im = pairs.T.copy()
    # robust spread of each part about zero; the real and imaginary parts
    # get their own scale because a one-part fit leaves the other part larger
    size = np.abs(pairs)
    med_re, med_im = _median_columns(size)
    thr_re = max(outlier_sigma * 1.4826 * med_re, outlier_floor)
    thr_im = max(outlier_sigma * 1.4826 * med_im, outlier_floor)
    outliers = (size[:, 0] > thr_re) | (size[:, 1] > thr_im)
    return LinKKResult(
        M=M,
        mu=float(mu),
        z_fit=z_fit,
        residuals_real=res_re,
        residuals_imag=res_im,
        outliers=outliers,
        outlier_threshold=(thr_re, thr_im),
        series_resistance=float(r0),
        resistances=rk,
        time_constants=taus,
        inductance=float(ind),
        capacitance=float(np.inf) if inv_c == 0 else float(1.0 / inv_c),
        fit_type=fit_type,
        mu_history=np.array(history),
    )


# Trials per batch. Most spectra stop at a handful of RC elements, and a
# batch's work grows with the square of its size (every trial is padded to
# the largest), so the first batch is small; later ones are larger to keep
# the number of NumPy calls down.
_BATCHES = (6, 8)  # the last size repeats


@lru_cache(maxsize=64)
def _batch_layout(
    first: int, last: int, nf: int
) -> tuple[NDArray[np.float64], NDArray[np.float64], NDArray[np.bool_], NDArray[np.bool_], NDArray[np.float64]]:
    """Fixed parts of a batch of trials M = first..last, padded to ``last``.

    Returns positions u (tau = 10**(log10 t_min + u log10(t_max/t_min))),
    the real slots as 0/1 of shape (batch, 1, last), the masks of the slots
    that are exactly t_min and t_max, and what to add to the normal
    equations (with ``nf`` fixed columns first): a unit diagonal for every
    padded unknown, so that it solves to zero without touching the others.
    """
    counts = np.arange(first, last + 1)
    k = np.arange(last)
    with np.errstate(divide="ignore", invalid="ignore"):
        u = np.where(counts[:, None] > 1, k[None, :] / (counts[:, None] - 1), 1.0)
    valid = k[None, :] < counts[:, None]
    at_min = (k[None, :] == 0) & (counts[:, None] > 1)
    at_max = k[None, :] == counts[:, None] - 1
    u = np.where(valid, u, 0.0)
    pad = np.zeros((counts.size, nf + last, nf + last))
    diag = np.arange(nf, nf + last)
    pad[:, diag, diag] = ~valid
    validf = valid.astype(np.float64)[:, None, :]
    for arr in (u, validf, at_min, at_max, pad):
        arr.setflags(write=False)
    return u, validf, at_min, at_max, pad


def _screen(
    fit_type: str,
    w: NDArray[np.float64],
    mod: NDArray[np.float64],
    b_re: NDArray[np.float64],
    b_im: NDArray[np.float64],
    col_r0: NDArray[np.float64],
    col_c: NDArray[np.float64] | None,
    col_l: NDArray[np.float64] | None,
    t_min: float,
    t_max: float,
    c: float,
    first: int,
    max_M: int,
    mod_max: float,
) -> tuple[list[float], int, NDArray[np.float64], NDArray[np.float64], NDArray[np.float64] | None]:
    """mu for M = first, first + 1, ... up to the first M with mu <= c.

    Returns the mu values, the chosen M (max_M when none reaches c), its time
    constants, its coefficients (fixed columns first, then R_k) and, for the
    complex fit, the fitted Z / |Z| with real and imaginary parts
    interleaved (None for the one-part fits, whose design lacks a part).

    Trial counts are taken in batches, six first and then twelve at a time.
    A batch stacks the design matrices of its trials, zero-padded to the
    largest, forms all normal equations with one batched product (a padded
    unknown gets a unit diagonal and solves to zero) and solves them in one
    call. mu depends only on the R_k, so the one-part fits skip what they
    fit afterwards (L and C for "real", R_0 for "imag"). The normal
    equations are accurate enough to screen; the chosen M's solution gets
    one step of iterative refinement, and is re-solved by SVD when that step
    shows it was inaccurate (ill-conditioned designs at large M).
    """
    n = w.size
    reactive = [col for col in (col_c, col_l) if col is not None]
    # The inductance and capacitance columns span many decades; scale them
    # to at most 1/|Z| like the RC columns (undone on the coefficients).
    # |L column| * |Z| = w and |C column| * |Z| = 1/w
    col_scale = [1.0 / t_max if col is col_c else t_min for col in reactive]
    re_rows: slice | None
    im_rows: slice | None
    if fit_type == "complex":
        # real and imaginary rows alternate, so that the fitted values read
        # as complex numbers
        nf, rows, re_rows, im_rows = 1 + len(reactive), 2 * n, slice(0, None, 2), slice(1, None, 2)
        fixed = np.zeros((rows, nf))
        fixed[re_rows, 0] = col_r0
        for j, (col, sc) in enumerate(zip(reactive, col_scale)):
            fixed[im_rows, 1 + j] = col * sc
        scale = np.array([1.0] + col_scale)
        rhs = np.empty(rows)
        rhs[re_rows] = b_re
        rhs[im_rows] = b_im
    elif fit_type == "real":
        nf, rows, re_rows, im_rows = 1, n, slice(None), None
        fixed = col_r0[:, None]
        scale = np.ones(1)
        rhs = b_re
    else:
        nf, rows, re_rows, im_rows = len(reactive), n, None, slice(None)
        fixed = np.zeros((n, nf))
        for j, (col, sc) in enumerate(zip(reactive, col_scale)):
            fixed[:, j] = col * sc
        scale = np.array(col_scale)
        rhs = b_im
    inv_mod = (1.0 / mod)[:, None]
    # with -w, x * d below is the imaginary part itself, and x * x unchanged
    neg_w = -w
    tiny = _TINY * mod_max
    log_min = np.log10(t_min)
    log_span = np.log10(t_max / t_min)
    history: list[float] = []
    n_batch = 0
    while True:
        size = _BATCHES[min(n_batch, len(_BATCHES) - 1)]
        n_batch += 1
        last = min(max_M, first + size - 1)
        u, validf, at_min, at_max, pad = _batch_layout(first, last, nf)
        batch = u.shape[0]
        taus = 10.0 ** (log_min + u * log_span)
        taus[at_min] = t_min
        taus[at_max] = t_max
        x = np.multiply.outer(taus, neg_w).transpose(0, 2, 1)  # (batch, n, last)
        d = 1.0 + x * x
        np.divide(inv_mod, d, out=d)  # Re of 1/(1 + j w tau) / |Z|
        d *= validf
        a = np.empty((batch, rows, nf + last))
        a[:, :, :nf] = fixed
        if re_rows is not None:
            a[:, re_rows, nf:] = d
        if im_rows is not None:
            np.multiply(x, d, out=a[:, im_rows, nf:])
        at = a.transpose(0, 2, 1)
        gram = at @ a
        gram += pad
        proj = at @ rhs
        try:
            sol = np.linalg.solve(gram, proj[:, :, None])[:, :, 0]
        except np.linalg.LinAlgError:
            sol = np.stack([np.linalg.lstsq(g, q, rcond=None)[0] for g, q in zip(gram, proj)])
        rk = sol[:, nf:]
        rk = np.where(np.abs(rk) > tiny, rk, 0.0)
        total = np.abs(rk).sum(axis=1)
        net = rk.sum(axis=1)
        pos = total + net  # twice the positive mass
        neg = net - total  # minus twice the negative mass
        if pos.all():
            mus = 1.0 + neg / pos
        else:
            mus = np.divide(neg, pos, out=np.where(neg < 0, -np.inf, -1.0), where=pos > 0) + 1.0
        hit = np.flatnonzero(mus <= c)
        if hit.size or last == max_M:
            b = int(hit[0]) if hit.size else batch - 1
            history.extend(mus[: b + 1].tolist())
            m = first + b
            p = nf + m
            a_b = a[b, :, :p]
            coef = sol[b, :p]
            try:
                step = np.linalg.solve(gram[b, :p, :p], a_b.T @ (rhs - a_b @ coef))
                coef = coef + step
                accurate = bool(np.max(np.abs(step)) <= 1e-9 * np.max(np.abs(coef)))
            except np.linalg.LinAlgError:
                accurate = False
            if not accurate:
                coef = _lstsq(a_b, rhs)
            fitted = a_b @ coef if fit_type == "complex" else None
            coef[:nf] *= scale
            return history, m, taus[b, :m].copy(), cast(NDArray[np.float64], coef), fitted
        history.extend(mus.tolist())
        first = last + 1


def _median_columns(pairs: NDArray[np.float64]) -> tuple[float, float]:
    """Medians of the two columns of an (n, 2) array, with one sort."""
    parts = np.sort(pairs, axis=0)
    n = parts.shape[0]
    med = parts[n // 2] if n % 2 else 0.5 * (parts[n // 2 - 1] + parts[n // 2])
    return float(med[0]), float(med[1])


def _reactive_from_imag(
    series: list[NDArray[np.float64]],
    a_im: NDArray[np.float64],
    b_im: NDArray[np.float64],
    rk: NDArray[np.float64],
) -> NDArray[np.float64]:
    """After a real-part fit: what the RC chain leaves of the imaginary part
    is reactive, fitted by the series C and L columns (empty without them)."""
    if not series:
        return np.zeros(0)
    return _lstsq(np.column_stack(series), b_im - a_im @ rk)


def _r0_from_real(
    a_re: NDArray[np.float64],
    rk: NDArray[np.float64],
    z: NDArray[np.complex128],
    mod: NDArray[np.float64],
) -> float:
    """After an imaginary-part fit: R_0 as the |Z|^-2 weighted mean of
    Re(Z) - Re(RC chain)."""
    wts = 1.0 / mod**2
    return float(np.sum(wts * (z.real - mod * (a_re @ rk))) / np.sum(wts))


def _parts(
    r0: float,
    rk: NDArray[np.float64],
    rest: NDArray[np.float64],
    col_c: NDArray[np.float64] | None,
    col_l: NDArray[np.float64] | None,
) -> tuple[float, NDArray[np.float64], float, float]:
    """R_0, R_k, 1/C (0 if absent) and L (0 if absent)."""
    inv_c = float(rest[0]) if col_c is not None else 0.0
    ind = float(rest[-1]) if col_l is not None else 0.0
    return r0, np.ascontiguousarray(rk), inv_c, ind


def _finish(
    fit_type: str,
    coef: NDArray[np.float64],
    a_re: NDArray[np.float64],
    a_im: NDArray[np.float64],
    col_c: NDArray[np.float64] | None,
    col_l: NDArray[np.float64] | None,
    b_im: NDArray[np.float64],
    z: NDArray[np.complex128],
    mod: NDArray[np.float64],
) -> tuple[float, NDArray[np.float64], float, float]:
    """R_0, R_k, 1/C and L from the screen's coefficients of a one-part fit.

    What the screen left out is completed as :func:`_solve` does. (The
    complex fit's coefficients hold everything; :func:`linkk` splits them.)
    """
    series = [col for col in (col_c, col_l) if col is not None]
    if fit_type == "real":
        r0, rk = float(coef[0]), coef[1:]
        rest = _reactive_from_imag(series, a_im, b_im, rk)
    else:
        rest, rk = coef[: len(series)], coef[len(series) :]
        r0 = _r0_from_real(a_re, rk, z, mod)
    assert rk.size == a_re.shape[1]
    return _parts(r0, rk, rest, col_c, col_l)


def _solve(
    fit_type: str,
    a_re: NDArray[np.float64],
    a_im: NDArray[np.float64],
    col_r0: NDArray[np.float64],
    col_c: NDArray[np.float64] | None,
    col_l: NDArray[np.float64] | None,
    b_re: NDArray[np.float64],
    b_im: NDArray[np.float64],
    z: NDArray[np.complex128],
    mod: NDArray[np.float64],
) -> tuple[float, NDArray[np.float64], float, float]:
    """One linear fit; returns R_0, R_k, 1/C (0 if absent) and L (0 if absent)."""
    n, m = a_re.shape
    series = [col for col in (col_c, col_l) if col is not None]
    if fit_type == "complex":
        # columns: R_0, R_1..R_M, [1/C], [L]; R_0 has no imaginary part and
        # the reactive elements no real part
        top = np.column_stack([col_r0, a_re] + [np.zeros(n)] * len(series))
        bottom = np.column_stack([np.zeros(n), a_im] + series)
        x = _lstsq(np.vstack([top, bottom]), np.concatenate([b_re, b_im]))
        r0, rk = float(x[0]), x[1 : m + 1]
        rest = x[m + 1 :]
    elif fit_type == "real":
        x = _lstsq(np.column_stack([col_r0, a_re]), b_re)
        r0, rk = float(x[0]), x[1:]
        rest = _reactive_from_imag(series, a_im, b_im, rk)
    else:
        x = _lstsq(np.column_stack([a_im] + series), b_im)
        rk, rest = x[:m], x[m:]
        r0 = _r0_from_real(a_re, rk, z, mod)
    return _parts(r0, rk, rest, col_c, col_l)
