"""Network inputs computed exactly as the module computes them (vectorised
over the points of one spectrum), and the normalised training targets."""

from __future__ import annotations

import math

from collections.abc import Sequence

import numpy as np
import numpy.typing as npt

FloatArray = npt.NDArray[np.float64]

TWO_PI = 6.283185307179586
PI = 3.141592653589793
HALF_PI = 1.5707963267948966


def scales(f: npt.ArrayLike, z: npt.ArrayLike) -> tuple[float, float]:
    """The "reactive_centroid" estimate: (R in ohm, Omega in rad/s)."""
    f = np.asarray(f, dtype=np.float64)
    z = np.asarray(z, dtype=np.complex128)
    m = np.hypot(z.real, z.imag)
    keep = ~(np.fmin(f, m) <= 0)
    with np.errstate(divide="ignore", invalid="ignore"):
        w = np.fmax(-z.imag[keep] / m[keep], 0.0)
    sw = float(np.sum(w))
    if sw >= 1e-9:
        return math.exp(float(np.sum(w * np.log(m[keep]))) / sw), math.exp(float(np.sum(w * np.log(TWO_PI * f[keep]))) / sw)
    omega = math.exp(float(np.mean(np.log(TWO_PI * f))))
    mags = np.sort(m)
    return float(mags[len(mags) // 2]), omega


def features(
    f: npt.ArrayLike, z: npt.ArrayLike, n_grid: int = 64, r: float | None = None, omega: float | None = None
) -> tuple[FloatArray, FloatArray, float, float]:
    """(3 x n_grid feature map, two global features, R, Omega)."""
    f = np.asarray(f, dtype=np.float64)
    z = np.asarray(z, dtype=np.complex128)
    if r is None or omega is None:
        r, omega = scales(f, z)
    order = np.argsort(f, kind="stable")
    lf = np.log10(f[order])
    lm = np.log10(np.hypot(z.real[order], z.imag[order]))
    a = np.arctan2(z.imag[order], z.real[order])
    ph = np.empty_like(a)
    ph[0] = a[0]
    for k in range(1, len(a)):
        d = a[k] - ph[k - 1]
        rr = d - TWO_PI * math.floor((d + PI) / TWO_PI)
        if rr == -PI and a[k] > ph[k - 1]:
            rr = PI
        ph[k] = ph[k - 1] + rr
    step = (lf[-1] - lf[0]) / (n_grid - 1) if n_grid >= 2 else 0.0
    x = lf[0] + step * np.arange(n_grid)
    fmap = np.empty((3, n_grid))
    fmap[0] = np.interp(x, lf, lm) - math.log10(r)
    fmap[1] = np.interp(x, lf, ph) / HALF_PI
    fmap[2] = (x - math.log10(omega / TWO_PI)) * 0.25
    return fmap, np.array([0.125 * (lf[-1] - lf[0]), 0.5 * math.log10(len(f))]), r, omega


def raw_targets(truth: Sequence[float] | FloatArray, scaling: FloatArray, logs: FloatArray, r: float, omega: float) -> FloatArray:
    """The values the network predicts before standardisation: log10 of the
    parameter divided by its physical scale, or the exponent itself."""
    out = np.empty(len(truth))
    for j, (r_exp, w_exp, wa_exp, ai) in enumerate(scaling):
        ai = int(round(ai))
        e = w_exp + (wa_exp * truth[ai] if ai >= 0 else 0.0)
        u = truth[j] / (omega**e * r**r_exp)
        out[j] = math.log10(u) if logs[j] else u
    return out
