"""Peaks of a distribution of relaxation times.

:func:`find_peaks` lists the maxima of gamma (and, for a signed DRT, its
negative minima) with their time constant, frequency, height, width and
area over ln tau, the area being the resistance the peak accounts for. With
``separate=True`` overlapping peaks are separated by fitting one shape per
peak to gamma (a Gaussian in ln tau, or the exact DRT of a ZARC), and areas
and widths are those of the fitted shapes.
"""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, Any, Literal

import numpy as np
import numpy.typing as npt
import pandas as pd  # type: ignore[import-untyped, unused-ignore]
from scipy import optimize, signal  # type: ignore[import-untyped, unused-ignore]

if TYPE_CHECKING:
    from .drt_analysis import DrtResult

__all__ = ["PEAK_COLUMNS", "find_peaks", "peak_rows", "zarc_gamma", "gaussian_gamma"]

FloatArray = npt.NDArray[np.float64]

PEAK_COLUMNS = ["peak", "tau", "frequency", "height", "area", "width_decades", "share"]
"""The columns of :func:`find_peaks`' table."""

LN10 = math.log(10.0)


def gaussian_gamma(y: FloatArray, height: float, centre: float, sigma: float) -> FloatArray:
    """A Gaussian peak in ln tau (``y``): height, centre (ln tau) and sigma (ln tau)."""
    return np.asarray(height * np.exp(-0.5 * ((y - centre) / sigma) ** 2), dtype=np.float64)


def zarc_gamma(y: FloatArray, r: float, centre: float, phi: float) -> FloatArray:
    """The exact DRT of ``r / (1 + (i w tau0)^phi)`` at ln tau ``y`` (``centre`` = ln tau0)."""
    s = math.sin((1.0 - phi) * math.pi)
    c = math.cos((1.0 - phi) * math.pi)
    x = np.clip(phi * (y - centre), -700.0, 700.0)
    return np.asarray(r / (2.0 * math.pi) * s / (np.cosh(x) - c), dtype=np.float64)


def _detect(y: FloatArray, g: FloatArray, prominence: float) -> list[tuple[int, int]]:
    """(index, sign) of the peaks of gamma, positive maxima and negative minima."""
    scale = float(np.max(np.abs(g))) if g.size else 0.0
    if scale <= 0:
        return []
    found: list[tuple[int, int]] = []
    for sign in (1, -1):
        idx, _ = signal.find_peaks(sign * g, prominence=prominence * scale)
        found.extend((int(i), sign) for i in idx if sign * g[i] > 0)
    found.sort()
    return found


def _shoulders(y: FloatArray, g: FloatArray, count: int) -> list[tuple[int, int]]:
    """``count`` starting points for separation: the maxima of -gamma'' (peaks and
    shoulders), the highest gamma first."""
    curv = -np.gradient(np.gradient(g, y), y)
    idx, _ = signal.find_peaks(curv)
    idx = [int(i) for i in idx if g[i] > 0.05 * float(np.max(g))]
    idx.sort(key=lambda i: -g[i])
    return sorted((i, 1) for i in idx[:count])


def _basins(y: FloatArray, g: FloatArray, peaks: list[tuple[int, int]]) -> list[tuple[float, float]]:
    """Area and width (decades) of each peak over its basin between neighbouring peaks."""
    out: list[tuple[float, float]] = []
    for k, (i, sign) in enumerate(peaks):
        lo = 0 if k == 0 else peaks[k - 1][0] + int(np.argmin(sign * g[peaks[k - 1][0] : i + 1]))
        hi = g.size - 1 if k == len(peaks) - 1 else i + int(np.argmin(sign * g[i : peaks[k + 1][0] + 1]))
        seg = np.clip(sign * g[lo : hi + 1], 0.0, None)
        area = sign * float(np.sum(0.5 * (seg[1:] + seg[:-1]) * np.diff(y[lo : hi + 1])))
        width, _, _, _ = signal.peak_widths(sign * g, [i], rel_height=0.5)
        step = float(y[1] - y[0]) if y.size > 1 else 0.0
        out.append((area, float(width[0]) * step / LN10))
    return out


def _fit_shapes(
    y: FloatArray, g: FloatArray, peaks: list[tuple[int, int]], shape: str
) -> list[tuple[float, float, float, float, float]]:
    """Fits one shape per peak; (tau, height, area, width in decades, centre) each."""
    start: list[float] = []
    lower: list[float] = []
    upper: list[float] = []
    step = float(y[1] - y[0])
    for i, sign in peaks:
        h = float(g[i])
        if shape == "gaussian":
            start += [h, float(y[i]), 1.0]
            lower += [min(0.0, 4 * h), y[0], step / 2]
            upper += [max(0.0, 4 * h), y[-1], y[-1] - y[0]]
        else:
            start += [sign * max(abs(h) * 2.5, 1e-300), float(y[i]), 0.8]
            lower += [-np.inf if sign < 0 else 0.0, y[0], 0.05]
            upper += [0.0 if sign < 0 else np.inf, y[-1], 0.999]
    one = gaussian_gamma if shape == "gaussian" else zarc_gamma

    def model(p: FloatArray) -> FloatArray:
        total = np.zeros_like(y)
        for k in range(len(peaks)):
            total += one(y, p[3 * k], p[3 * k + 1], p[3 * k + 2])
        return total

    x0 = np.clip(np.asarray(start), np.asarray(lower) + 1e-12, np.asarray(upper) - 1e-12)
    fit = optimize.least_squares(lambda p: model(p) - g, x0, bounds=(lower, upper), x_scale="jac")
    out = []
    for k in range(len(peaks)):
        a, c, w = (float(v) for v in fit.x[3 * k : 3 * k + 3])
        curve = one(y, a, c, w)
        i = int(np.argmax(np.abs(curve)))
        if shape == "gaussian":
            area, width = a * w * math.sqrt(2 * math.pi), 2 * math.sqrt(2 * math.log(2)) * w / LN10
        else:
            area = a
            widths, _, _, _ = signal.peak_widths(np.abs(curve), [i], rel_height=0.5)
            width = float(widths[0]) * step / LN10
        out.append((math.exp(c), float(curve[i]), area, width, c))
    return out


def find_peaks(
    result: DrtResult,
    *,
    prominence: float = 0.1,
    min_share: float = 0.05,
    separate: bool = False,
    shape: Literal["gaussian", "zarc"] = "zarc",
    n_peaks: int | None = None,
    max_peaks: int | None = None,
) -> pd.DataFrame:
    """The peaks of a DRT as a table.

    Parameters
    ----------
    result : DrtResult
        The DRT.
    prominence : float
        Minimum prominence of a peak as a share of the largest |gamma|.
    min_share : float
        Peaks whose |area| is below this share of the total |area| of gamma
        are left out (the ripples regularisation leaves on noisy data).
    separate : bool
        Separate overlapping peaks by fitting one ``shape`` per detected peak
        to gamma; areas and widths are then the fitted shapes'.
    shape : str
        ``"zarc"`` (the exact DRT of an R-CPE element, default) or
        ``"gaussian"`` (in ln tau), for ``separate``.
    n_peaks : int, optional
        For ``separate``: fit this many shapes, started from the maxima of
        the curvature of gamma (its peaks and shoulders), for peaks so close
        that gamma shows them as one.
    max_peaks : int, optional
        Keep only the largest peaks by |area|.

    Returns
    -------
    pandas.DataFrame
        Columns :data:`PEAK_COLUMNS`: peak number (from short tau), tau (s),
        frequency (Hz), height (ohm), area (ohm; negative for a negative
        peak), width_decades (full width at half maximum) and share (area
        over the total area of gamma). Empty when gamma has no peak.
    """
    rows = peak_rows(
        result,
        prominence=prominence,
        min_share=min_share,
        separate=separate,
        shape=shape,
        n_peaks=n_peaks,
        max_peaks=max_peaks,
    )
    return pd.DataFrame(rows, columns=PEAK_COLUMNS)


def peak_rows(
    result: DrtResult,
    *,
    prominence: float = 0.1,
    min_share: float = 0.05,
    separate: bool = False,
    shape: Literal["gaussian", "zarc"] = "zarc",
    n_peaks: int | None = None,
    max_peaks: int | None = None,
) -> list[tuple[int, float, float, float, float, float, float]]:
    """The rows of :func:`find_peaks` as tuples in :data:`PEAK_COLUMNS` order."""
    y = np.log(result.tau)
    g = np.asarray(result.gamma, dtype=np.float64)
    peaks = _detect(y, g, prominence)
    total = float(np.sum(0.5 * (g[1:] + g[:-1]) * np.diff(y))) if g.size > 1 else 0.0
    scale = float(np.sum(0.5 * np.abs(g[1:] + g[:-1]) * np.diff(y))) if g.size > 1 else 0.0
    if separate and n_peaks is not None:
        if n_peaks < 1:
            raise ValueError("n_peaks must be at least 1")
        peaks = _shoulders(y, g, n_peaks)
    found: list[tuple[float, float, float, float]] = []  # tau, height, area, width
    if peaks and separate:
        found = [(tau, height, area, width) for tau, height, area, width, _ in _fit_shapes(y, g, peaks, shape)]
    else:
        found = [(float(result.tau[i]), float(g[i]), a, w) for (i, _), (a, w) in zip(peaks, _basins(y, g, peaks))]
    found = [p for p in found if abs(p[2]) >= min_share * scale]
    if max_peaks is not None and len(found) > max_peaks:
        found = sorted(found, key=lambda p: -abs(p[2]))[:max_peaks]
    found.sort(key=lambda p: p[0])
    share = (lambda a: a / total) if total != 0 else (lambda a: math.nan)
    return [
        (k + 1, tau, 1.0 / (2.0 * math.pi * tau), height, area, width, share(area))
        for k, (tau, height, area, width) in enumerate(found)
    ]
