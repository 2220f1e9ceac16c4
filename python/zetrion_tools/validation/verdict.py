"""What a Kramers-Kronig test says about a spectrum, in words: the verdict and what to do."""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
from numpy.typing import NDArray

__all__ = ["MAX_FLAGGED", "Verdict", "judge"]

# At most this share of the points may stand out for the rest to pass.
MAX_FLAGGED = 0.05


@dataclass(frozen=True)
class Verdict:
    """``status`` is ``"valid"``, ``"outliers"`` (valid apart from a few
    points that stand out) or ``"invalid"``; ``text`` gives the residual
    level and what to do."""

    status: str
    text: str


def _hz(v: float) -> str:
    return f"{v:.3g} Hz"


def _where(f: NDArray[np.float64], size: NDArray[np.float64], limit: float) -> str:
    """Where the misfit lies in the frequency range, and the advice that goes with it.

    An end of the range is named when its third of the (log) range holds at
    least two thirds of the squared residuals.
    """
    logf = np.log10(f)
    lo, hi = float(logf.min()), float(logf.max())
    third = (hi - lo) / 3.0
    mass = size**2
    total = float(mass.sum())
    bad = size > limit
    low_end = logf <= lo + third
    high_end = logf >= hi - third
    if float(mass[low_end].sum()) >= 2.0 / 3.0 * total:
        edge = _hz(float(10 ** logf[(bad & low_end) if (bad & low_end).any() else low_end].max()))
        return (
            f"at the low-frequency end (up to {edge}): the system changed during the sweep (drift) "
            "or had not settled; let it rest at open circuit before measuring, shorten the "
            f"low-frequency range or the time per point, or drop the points up to {edge}"
        )
    if float(mass[high_end].sum()) >= 2.0 / 3.0 * total:
        edge = _hz(float(10 ** logf[(bad & high_end) if (bad & high_end).any() else high_end].min()))
        return (
            f"at the high-frequency end (from {edge}): instrument or cable artefacts; shorten "
            f"and twist the leads, check the current range, or drop the points from {edge} up"
        )
    return (
        "across the spectrum: the response is not linear (lower the excitation amplitude), "
        "not stationary, or too noisy (more cycles per point); check also the sign and the "
        "units of the imaginary part"
    )


def judge(
    f: NDArray[np.float64],
    res_re: NDArray[np.float64],
    res_im: NDArray[np.float64],
    outliers: NDArray[np.bool_],
    limit: float,
) -> Verdict:
    """The verdict on relative residuals of a test.

    Valid: every residual within ``limit``. Outliers: a few points (at most
    5 %) stand out and everything else is within ``limit``. Invalid:
    anything else.
    """
    size = np.maximum(np.abs(res_re), np.abs(res_im))
    worst = float(size.max())
    rms = float(np.sqrt(np.mean(res_re**2 + res_im**2) / 2.0))
    level = f"largest residual {100 * worst:.3g} %, rms {100 * rms:.2g} % (limit {100 * limit:.3g} %)"
    n_out = int(outliers.sum())
    if worst <= limit:
        note = f"; {n_out} point(s) stand out from the noise but stay within the limit" if n_out else ""
        return Verdict("valid", f"valid: {level}{note}; the spectrum can be fitted as it is")
    rest = size[~outliers]
    if 0 < n_out <= MAX_FLAGGED * f.size and (rest.size == 0 or float(rest.max()) <= limit):
        freqs = ", ".join(_hz(float(v)) for v in np.sort(f[outliers])[::-1])
        return Verdict(
            "outliers",
            f"valid apart from {n_out} point(s) that stand out ({freqs}): {level}; repeat those "
            "points or drop them before fitting (result.outliers marks them)",
        )
    return Verdict("invalid", f"invalid: {level}, {_where(f, size, limit)}")
