"""One linear Kramers-Kronig test at a given number M of RC elements.

The spectrum as the linear fits see it (:class:`Design`), the time
constants of the RC chain, the fit itself (:func:`solve`) and the
completion of the one-part fits, whose design lacks what the other part
determines (:func:`complete`).
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
from numpy.typing import ArrayLike, NDArray

__all__ = [
    "TINY",
    "Design",
    "SingleFit",
    "complete",
    "design",
    "log_spaced",
    "lstsq",
    "over_fit_measure",
    "rc_columns",
    "solve",
    "split_complex",
    "time_constants",
]

# Resistances below this fraction of max |Z| are rounding (a purely ohmic
# spectrum leaves R_k ~ 1e-16 of random sign) and count as zero in mu.
TINY = 1e-12


@dataclass(frozen=True, eq=False)
class Design:
    """A spectrum as the linear fits see it: every column divided by |Z|.

    Attributes
    ----------
    fit_type : str
        ``"complex"``, ``"real"`` or ``"imag"``.
    w, mod : ndarray of float64
        Angular frequencies and |Z|.
    b_re, b_im : ndarray of float64
        Real and imaginary parts of ``Z / |Z|``, the right-hand sides.
    col_r0 : ndarray of float64
        Column of the series resistance (real part).
    col_c, col_l : ndarray of float64 or None
        Columns of the series capacitance (coefficient 1/C) and inductance
        (imaginary part), None when not fitted.
    t_min, t_max : float
        Time constants of the first and the last RC element.
    z : ndarray of complex128
        The measured impedances.
    mod_max : float
        Largest |Z|, the scale of what counts as a zero resistance.
    """

    fit_type: str
    w: NDArray[np.float64]
    mod: NDArray[np.float64]
    b_re: NDArray[np.float64]
    b_im: NDArray[np.float64]
    col_r0: NDArray[np.float64]
    col_c: NDArray[np.float64] | None
    col_l: NDArray[np.float64] | None
    t_min: float
    t_max: float
    z: NDArray[np.complex128]
    mod_max: float

    @property
    def series(self) -> list[NDArray[np.float64]]:
        """The reactive series columns present: [1/C], [L]."""
        return [col for col in (self.col_c, self.col_l) if col is not None]


def design(
    f: NDArray[np.float64],
    z: NDArray[np.complex128],
    fit_type: str,
    add_cap: bool,
    add_inductance: bool,
) -> Design:
    """The :class:`Design` of checked frequencies f and impedances z (no Z == 0)."""
    w = 2.0 * np.pi * f
    mod = np.abs(z)
    return Design(
        fit_type=fit_type,
        w=w,
        mod=mod,
        b_re=z.real / mod,
        b_im=z.imag / mod,
        col_r0=1.0 / mod,
        col_c=-1.0 / (w * mod) if add_cap else None,  # coefficient is 1/C
        col_l=w / mod if add_inductance else None,
        t_min=1.0 / (2.0 * np.pi * f.max()),
        t_max=1.0 / (2.0 * np.pi * f.min()),
        z=z,
        mod_max=float(mod.max()),
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
    return log_spaced(1.0 / (2.0 * np.pi * fa.max()), 1.0 / (2.0 * np.pi * fa.min()), M)


def log_spaced(t_min: float, t_max: float, M: int) -> NDArray[np.float64]:
    """M time constants log-spaced from t_min to t_max (t_max alone for M == 1)."""
    ts = np.empty(M)
    ts[0] = t_min
    if M > 2:
        # written as 10**(log10(t_min) + k/(M-1) * log10(t_max/t_min)) so the
        # values match other implementations bit for bit
        k = np.arange(1, M - 1)
        ts[1:-1] = 10.0 ** (np.log10(t_min) + (k / (M - 1)) * np.log10(t_max / t_min))
    ts[-1] = t_max
    return ts


def rc_columns(
    w: NDArray[np.float64], mod: NDArray[np.float64], taus: NDArray[np.float64]
) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """Real and imaginary parts of 1 / (1 + j w tau) / |Z|, one column per tau."""
    x = np.multiply.outer(w, taus)
    d = 1.0 / ((1.0 + x * x) * mod[:, None])
    return d, -x * d


def over_fit_measure(r: NDArray[np.float64], scale: float) -> float:
    """mu = 1 - (negative mass) / (positive mass) of the resistances r.

    Resistances within ``TINY * scale`` of zero count as zero.
    """
    # a plain loop: there are few R_k, and NumPy's per-call cost would
    # exceed the work
    tiny = TINY * scale
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


def lstsq(a: NDArray[np.float64], b: NDArray[np.float64]) -> NDArray[np.float64]:
    """Least-squares solution of a x = b by SVD."""
    # the same singular-value cut-off as numpy.linalg.pinv's default, so
    # that nearly dependent RC columns (large M) are treated alike
    return np.asarray(np.linalg.lstsq(a, b, rcond=1e-15)[0], dtype=np.float64)


@dataclass(frozen=True, eq=False)
class SingleFit:
    """The fitted circuit at one M.

    ``rc`` holds the real and imaginary RC columns when they were built
    (None after a complex screen, whose ``fitted`` values hold
    ``Z_fit / |Z|`` with real and imaginary parts interleaved instead).
    """

    M: int
    time_constants: NDArray[np.float64]
    series_resistance: float
    resistances: NDArray[np.float64]
    inverse_capacitance: float
    inductance: float
    rc: tuple[NDArray[np.float64], NDArray[np.float64]] | None = None
    fitted: NDArray[np.float64] | None = None

    def z_fit(self, d: Design) -> NDArray[np.complex128]:
        """Impedance of the fitted circuit at the measured frequencies."""
        if self.fitted is not None:
            return self.fitted.view(np.complex128) * d.mod
        assert self.rc is not None
        rc_re, rc_im = self.rc
        z_fit: NDArray[np.complex128] = (
            self.series_resistance
            + d.mod * ((rc_re + 1j * rc_im) @ self.resistances)
            + 1j * d.w * self.inductance
            - 1j * self.inverse_capacitance / d.w
        )
        return z_fit


def _reactive_from_imag(
    d: Design, a_im: NDArray[np.float64], rk: NDArray[np.float64]
) -> NDArray[np.float64]:
    """After a real-part fit: what the RC chain leaves of the imaginary part
    is reactive, fitted by the series C and L columns (empty without them)."""
    series = d.series
    if not series:
        return np.zeros(0)
    return lstsq(np.column_stack(series), d.b_im - a_im @ rk)


def _r0_from_real(d: Design, a_re: NDArray[np.float64], rk: NDArray[np.float64]) -> float:
    """After an imaginary-part fit: R_0 as the |Z|^-2 weighted mean of
    Re(Z) - Re(RC chain)."""
    wts = 1.0 / d.mod**2
    return float(np.sum(wts * (d.z.real - d.mod * (a_re @ rk))) / np.sum(wts))


def _single_fit(
    d: Design,
    taus: NDArray[np.float64],
    rc: tuple[NDArray[np.float64], NDArray[np.float64]],
    r0: float,
    rk: NDArray[np.float64],
    rest: NDArray[np.float64],
) -> SingleFit:
    """Assemble a :class:`SingleFit`; ``rest`` holds [1/C], [L] in that order."""
    return SingleFit(
        M=taus.size,
        time_constants=taus,
        series_resistance=r0,
        resistances=np.ascontiguousarray(rk),
        inverse_capacitance=float(rest[0]) if d.col_c is not None else 0.0,
        inductance=float(rest[-1]) if d.col_l is not None else 0.0,
        rc=rc,
    )


def solve(d: Design, M: int) -> SingleFit:
    """The linear fit with M RC elements, solved by SVD."""
    taus = log_spaced(d.t_min, d.t_max, M)
    a_re, a_im = rc_columns(d.w, d.mod, taus)
    n = a_re.shape[0]
    series = d.series
    if d.fit_type == "complex":
        # columns: R_0, R_1..R_M, [1/C], [L]; R_0 has no imaginary part and
        # the reactive elements no real part
        top = np.column_stack([d.col_r0, a_re] + [np.zeros(n)] * len(series))
        bottom = np.column_stack([np.zeros(n), a_im] + series)
        x = lstsq(np.vstack([top, bottom]), np.concatenate([d.b_re, d.b_im]))
        r0, rk = float(x[0]), x[1 : M + 1]
        rest = x[M + 1 :]
    elif d.fit_type == "real":
        x = lstsq(np.column_stack([d.col_r0, a_re]), d.b_re)
        r0, rk = float(x[0]), x[1:]
        rest = _reactive_from_imag(d, a_im, rk)
    else:
        x = lstsq(np.column_stack([a_im] + series), d.b_im)
        rk, rest = x[:M], x[M:]
        r0 = _r0_from_real(d, a_re, rk)
    return _single_fit(d, taus, (a_re, a_im), r0, rk, rest)


def complete(d: Design, taus: NDArray[np.float64], coef: NDArray[np.float64]) -> SingleFit:
    """The fit from a one-part screen's coefficients (fixed columns, then R_k).

    What the screen left out is completed as :func:`solve` does: L and C
    from the imaginary part after a real-part fit, R_0 from the real part
    after an imaginary-part fit.
    """
    a_re, a_im = rc_columns(d.w, d.mod, taus)
    if d.fit_type == "real":
        r0, rk = float(coef[0]), coef[1:]
        rest = _reactive_from_imag(d, a_im, rk)
    else:
        n_series = len(d.series)
        rest, rk = coef[:n_series], coef[n_series:]
        r0 = _r0_from_real(d, a_re, rk)
    assert rk.size == a_re.shape[1]
    return _single_fit(d, taus, (a_re, a_im), r0, rk, rest)


def split_complex(
    d: Design, taus: NDArray[np.float64], coef: NDArray[np.float64], fitted: NDArray[np.float64]
) -> SingleFit:
    """The fit from a complex screen's coefficients: R_0, [1/C], [L], R_k.

    The complex design holds both parts, so everything is read off; the
    screen's fitted values give Z_fit.
    """
    n_series = (d.col_c is not None) + (d.col_l is not None)
    return SingleFit(
        M=taus.size,
        time_constants=taus,
        series_resistance=float(coef[0]),
        resistances=coef[1 + n_series :],
        inverse_capacitance=float(coef[1]) if d.col_c is not None else 0.0,
        inductance=float(coef[n_series]) if d.col_l is not None else 0.0,
        fitted=fitted,
    )
