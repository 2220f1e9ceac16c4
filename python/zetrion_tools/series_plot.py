"""Figures of a series fit: each parameter with its standard error along the series."""

from __future__ import annotations

import math
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

import numpy as np

if TYPE_CHECKING:
    from .series import ArrheniusFit, SeriesFit

__all__ = ["plot_arrhenius", "plot_series"]


def _pyplot() -> Any:
    try:
        import matplotlib.pyplot as plt
    except ImportError:
        raise ImportError("plots need matplotlib: pip install 'zetrion[plot]'") from None
    return plt


def plot_series(
    result: SeriesFit,
    params: Sequence[str] | None = None,
    *,
    columns: int = 2,
    log: bool | None = None,
    title: str | None = None,
) -> Any:
    """Plot parameter trajectories: value +- standard error against the series variable.

    Parameters
    ----------
    result : SeriesFit
        What :func:`zetrion_tools.fit_series` returned.
    params : sequence of str, optional
        The parameters to show (default: every one). Fixed parameters are
        left out of the default set.
    columns : int
        Panels per row.
    log : bool, optional
        Logarithmic value axes; by default for a parameter whose values span
        more than two decades.
    title : str, optional
        A title over the panels.

    Returns
    -------
    matplotlib.figure.Figure
        One panel per parameter; shared parameters are drawn as a line with
        a band of one standard error. Failed spectra are left out.
    """
    plt = _pyplot()
    names = list(params) if params is not None else [n for n in result.param_names if _varies_or_shared(result, n)]
    if not names:
        raise ValueError("no parameter to plot")
    cols = max(1, min(columns, len(names)))
    rows = math.ceil(len(names) / cols)
    fig, axes = plt.subplots(rows, cols, figsize=(4.2 * cols, 2.9 * rows), squeeze=False, sharex=True)
    for ax, name in zip(axes.flat, names):
        _panel(ax, result, name, log)
    for ax in list(axes.flat)[len(names):]:
        ax.set_visible(False)
    for ax in axes[-1]:
        ax.set_xlabel(result.along)
    if title:
        fig.suptitle(title)
    fig.tight_layout()
    return fig


def _varies_or_shared(result: SeriesFit, name: str) -> bool:
    _, v, e = result.values(name)
    return name in result.shared or bool(np.any(np.nan_to_num(e) > 0)) or np.unique(v[np.isfinite(v)]).size > 1


def _panel(ax: Any, result: SeriesFit, name: str, log: bool | None) -> None:
    x, v, e = result.values(name)
    ok = np.isfinite(x) & np.isfinite(v) & np.asarray(result.table["success"], dtype=bool)
    x, v, e = x[ok], v[ok], np.nan_to_num(e[ok], nan=0.0)
    if name in result.shared and v.size:
        ax.axhline(v[0], color="C1")
        ax.axhspan(v[0] - e[0], v[0] + e[0], color="C1", alpha=0.25, label="shared")
        ax.legend(loc="best", fontsize="small")
    else:
        ax.errorbar(x, v, yerr=e, fmt="o", ms=3, capsize=2, color="C0")
    positive = v.size > 0 and bool(np.all(v > 0))
    if (log is None and positive and v.max() > 100 * v.min()) or (log and positive):
        ax.set_yscale("log")
    ax.set_ylabel(name)
    ax.grid(True, alpha=0.3)


def plot_arrhenius(fit: ArrheniusFit, temperatures: Any, values: Any, errors: Any = None, *, ax: Any = None,
                   celsius: bool = False) -> Any:
    """Plot ``ln(value)`` against ``1000/T`` with the fitted line; returns the axes."""
    plt = _pyplot()
    if ax is None:
        _, ax = plt.subplots(figsize=(4.5, 3.4))
    t = np.asarray(temperatures, dtype=np.float64) + (273.15 if celsius else 0.0)
    v = np.asarray(values, dtype=np.float64)
    y = np.log(v)
    yerr = None if errors is None else np.asarray(errors, dtype=np.float64) / v
    ax.errorbar(1000.0 / t, y, yerr=yerr, fmt="o", ms=4, capsize=2)
    grid = np.linspace((1.0 / t).min(), (1.0 / t).max(), 50)
    ax.plot(1000.0 * grid, fit.ln_prefactor + fit.slope * grid, "-",
            label=f"Ea = {fit.ea_ev:.3g} +- {fit.ea_ev_stderr:.2g} eV")
    ax.set_xlabel("1000 / T (1/K)")
    ax.set_ylabel("ln value")
    ax.legend(loc="best", fontsize="small")
    return ax
