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

__all__ = ["fit_drt_panel", "plot_drt", "plot_drt_summary"]

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


def fit_drt_panel(ax: Axes, f: Any, z: Any, fitted: Any, drt: Any) -> DrtResult:
    """The DRT panel of :func:`zetrion_tools.plotting.plot_fit`.

    ``drt`` is True (the data's DRT with the default settings) or a
    :class:`~zetrion_tools.drt_analysis.DrtResult` already computed. The
    fitted circuit's own DRT is laid over it (dashed, its single time
    constants as vertical lines scaled to the panel) when it can be had;
    returns the data's DRT.
    """
    from .drt_analysis import DrtResult
    from .drt_analysis import drt as data_drt

    if isinstance(drt, DrtResult):
        result = drt
    elif drt is True:
        result = data_drt(f, z, check_sign=False)
    else:
        raise TypeError(f"drt must be True, False or a DrtResult, not {type(drt).__name__}")
    plot_drt(result, ax=ax, label="DRT of the data")
    fit_gamma = circuit_gamma(fitted, result.tau)
    if fit_gamma is not None:
        gamma, deltas = fit_gamma
        ax.semilogx(result.tau, gamma, "--", color="C1", label="DRT of the fit")
        top = max(float(np.max(np.abs(result.gamma))), 1e-300)
        for tau0, _ in deltas:
            ax.axvline(tau0, color="C1", ls=":", lw=1.0)
        ax.set_ylim(top=max(ax.get_ylim()[1], 1.1 * top))
        ax.legend(fontsize=8)
    return result


def circuit_gamma(fitted: Any, tau: Any) -> tuple[Any, list[tuple[float, float]]] | None:
    """gamma of a fit's circuit on ``tau`` and its deltas, or None when it has none to give."""
    import zetrion

    from .drt_circuit import circuit_drt

    circuit = fitted if isinstance(fitted, zetrion.Circuit) else getattr(fitted, "circuit", None)
    if not isinstance(circuit, zetrion.Circuit):
        return None
    try:
        cd = circuit_drt(circuit, tau, notation=getattr(fitted, "notation", None))
    except (ValueError, RuntimeError):  # e.g. a circuit with no finite DRT in this band
        return None
    return cd.gamma, [(float(t), float(r)) for t, r in cd.deltas]


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
