"""The outcome of a linear Kramers-Kronig test: residuals, outliers, circuit."""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
from numpy.typing import NDArray

__all__ = ["LinKKResult", "Residuals", "residuals"]


@dataclass(frozen=True, eq=False)
class LinKKResult:
    """Outcome of :func:`~zetrion_tools.validation.linkk`.

    Attributes
    ----------
    M : int
        Number of RC elements used.
    mu : float
        Over-fitting measure at that M (see :mod:`zetrion_tools.validation`).
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
    representation : str
        ``"impedance"`` or ``"admittance"``: what the chain was fitted to.
        For the admittance the circuit is the dual one: ``series_resistance``
        is then the parallel resistance 1/G_0 (``inf`` for a blocking
        spectrum), ``resistances`` those of the series R-C branches (in
        parallel, tau_k = R_k C_k), ``capacitance`` and ``inductance`` the
        parallel ones (``inf`` when not included).
    verdict : str
        ``"valid"``, ``"outliers"`` (valid apart from a few points) or
        ``"invalid"``; see ``advice``.
    advice : str
        The verdict in words: the residual level and what to do.
    limit : float
        The largest relative residual taken as valid.
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
    representation: str = "impedance"
    verdict: str = ""
    advice: str = ""
    limit: float = float("nan")

    @property
    def max_residual(self) -> float:
        """Largest absolute relative residual, real or imaginary."""
        return float(
            max(np.max(np.abs(self.residuals_real)), np.max(np.abs(self.residuals_imag)))
        )

    @property
    def noise(self) -> float:
        """Root mean square of the relative residuals (real and imaginary):
        the noise of the measurement when the spectrum is valid."""
        sq = np.mean(self.residuals_real**2 + self.residuals_imag**2) / 2.0
        return float(np.sqrt(sq))

    def __repr__(self) -> str:
        return (
            f"LinKKResult(M={self.M}, mu={self.mu:.4f}, fit_type={self.fit_type!r}, "
            f"representation={self.representation!r}, max_residual={self.max_residual:.3%}, "
            f"outliers={int(self.outliers.sum())}, verdict={self.verdict!r})"
        )


@dataclass(frozen=True, eq=False)
class Residuals:
    """Relative residuals ``(Z - Z_fit) / |Z|`` and the points that stand out."""

    real: NDArray[np.float64]
    imag: NDArray[np.float64]
    outliers: NDArray[np.bool_]
    threshold: tuple[float, float]


def _median_columns(pairs: NDArray[np.float64]) -> tuple[float, float]:
    """Medians of the two columns of an (n, 2) array, with one sort."""
    parts = np.sort(pairs, axis=0)
    n = parts.shape[0]
    med = parts[n // 2] if n % 2 else 0.5 * (parts[n // 2 - 1] + parts[n // 2])
    return float(med[0]), float(med[1])


def residuals(
    z: NDArray[np.complex128],
    z_fit: NDArray[np.complex128],
    mod: NDArray[np.float64],
    outlier_sigma: float,
    outlier_floor: float,
) -> Residuals:
    """Residuals of z_fit, with outliers beyond ``outlier_sigma`` robust
    standard deviations of each part (never below ``outlier_floor``)."""
    err = (z - z_fit) / mod
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
    return Residuals(res_re, res_im, outliers, (thr_re, thr_im))
