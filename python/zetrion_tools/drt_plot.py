"""Plots of a distribution of relaxation times.

:func:`plot_drt` draws gamma against tau (or frequency) with its peaks
marked; :func:`plot_drt_summary` adds the spectrum with the DRT's own fit
and the residuals. matplotlib is imported only when a plot is drawn.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Literal

import numpy as np

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

    from .drt_analysis import DrtResult

__all__ = ["plot_drt", "plot_drt_summary"]

OHM = "\u03a9"


def pyplot() -> Any:
    """matplotlib.pyplot, or a clear ImportError."""
    try:
        import matplotlib.pyplot as plt
    except ImportError as exc:  # pragma: no cover - depends on the environment
        raise ImportError("plotting needs matplotlib: pip install matplotlib") from exc
    return plt


def plot_drt(
    result: DrtResult,
    *,
    ax: Axes | None = None,
    x: Literal["tau", "frequency"] = "tau",
    peaks: bool = True,
    label: str | None = "DRT",
    **peak_options: Any,
) -> Axes:
    """gamma against tau (s) or frequency (Hz) on a log axis, peaks marked.

    ``peak_options`` go to :func:`zetrion_tools.drt_peaks.find_peaks`.
    Returns the axes drawn on (a new figure's when ``ax`` is None).
    """
    if x not in ("tau", "frequency"):
        raise ValueError("x must be 'tau' or 'frequency'")
    if ax is None:
        _, ax = pyplot().subplots(figsize=(6, 4))
    xs = result.tau if x == "tau" else result.frequency
    ax.semilogx(xs, result.gamma, "-", label=label)
    if result.signed:
        ax.axhline(0.0, color="0.6", lw=0.8)
    if peaks:
        table = result.peaks(**peak_options)
        if not table.empty:
            px = table["tau"] if x == "tau" else table["frequency"]
            ax.plot(px, table["height"], "v", color="C3", label="peaks")
            for _, row in table.iterrows():
                ax.annotate(
                    f"{row['area']:.3g} {OHM}",
                    (px[_], row["height"]),
                    textcoords="offset points",
                    xytext=(0, 6),
                    ha="center",
                    fontsize=8,
                )
    ax.set_xlabel(r"$\tau$ / s" if x == "tau" else "f / Hz")
    ax.set_ylabel(rf"$\gamma$ / {OHM}")
    ax.set_title(f"DRT ({result.lambda_rule}, $\\lambda$ = {result.lam:.2g})", fontsize=10)
    if label is not None:
        ax.legend(fontsize=8)
    return ax


def plot_drt_summary(result: DrtResult, **peak_options: Any) -> Figure:
    """Nyquist plot of data and DRT fit, the residuals, and gamma (three panels)."""
    plt = pyplot()
    fig, (a1, a2, a3) = plt.subplots(1, 3, figsize=(14, 4))
    z, zf = result.impedance, result.z_fit
    a1.plot(z.real, -z.imag, "o", ms=3, label="data")
    a1.plot(zf.real, -zf.imag, "-", label="DRT fit")
    a1.set_xlabel(f"Z' / {OHM}")
    a1.set_ylabel(f"-Z'' / {OHM}")
    a1.set_aspect("equal", adjustable="datalim")
    a1.legend(fontsize=8)
    f = result.frequencies
    a2.semilogx(f, 100 * np.real(result.residuals), ".-", label="real")
    a2.semilogx(f, 100 * np.imag(result.residuals), ".-", label="imag")
    a2.axhline(0.0, color="0.6", lw=0.8)
    a2.set_xlabel("f / Hz")
    a2.set_ylabel("residual / % of |Z|")
    a2.legend(fontsize=8)
    plot_drt(result, ax=a3, **peak_options)
    fig.tight_layout()
    out: Figure = fig
    return out
