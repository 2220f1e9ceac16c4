"""Plots of impedance spectra and fits: Nyquist, Bode, residuals, all together.

matplotlib is optional (``pip install "zetrion[plot]"``) and is imported only
when a plot is drawn. Every function draws on the axes it is given, or on a
new figure when none is, and returns what it drew on so that the caller can
restyle or save it. A new figure is laid out so that labels stay inside it
when it is saved. Conventions: impedances in ohm with capacitive behaviour
as a negative imaginary part, drawn as ``-Z''`` upwards in the Nyquist plane;
phase drawn as ``-phase`` in degrees for the same reason. The data are
plotted in base units (ohm, siemens, farad) and the axes show them with the
SI prefix that suits the range (``Z' / mΩ``, ``|Z| / MΩ``, see
:mod:`zetrion_tools.plot_axes`). Besides impedance: the admittance plane
(``nyquist(z, kind="admittance")``) and the complex capacitance against
frequency (:func:`plot_capacitance`).
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

import zetrion

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

    from .fitting import ConstrainedFit

__all__ = ["nyquist", "bode", "plot_capacitance", "plot_residuals", "plot_fit"]

OHM = "\u03a9"


def _pyplot() -> Any:
    try:
        import matplotlib.pyplot as plt
    except ImportError as exc:  # pragma: no cover - depends on the environment
        raise ImportError(
            "plotting needs matplotlib, which is not installed: "
            'pip install "zetrion[plot]" (or pip install matplotlib)'
        ) from exc
    return plt


def _new_axes(rows: int, figsize: tuple[float, float]) -> Any:
    """A new figure's axes, laid out so that tick and axis labels stay inside the figure."""
    _, axes = _pyplot().subplots(rows, 1, sharex=rows > 1, figsize=figsize, layout="constrained")
    return axes


def _complex(z: Any) -> npt.NDArray[np.complex128]:
    out = np.asarray(z, dtype=np.complex128)
    if out.ndim != 1:
        raise ValueError("impedances must be a one-dimensional sequence")
    return out


def _real(f: Any, n: int) -> npt.NDArray[np.float64]:
    out = np.asarray(f, dtype=np.float64)
    if out.ndim != 1 or out.size != n:
        raise ValueError(f"frequencies must be a one-dimensional sequence of {n} values, like the impedances")
    return out


def nyquist(
    z: Any,
    *,
    ax: Axes | None = None,
    label: str | None = "data",
    line: bool = False,
    kind: str = "impedance",
    **plot_kwargs: Any,
) -> Axes:
    """Nyquist plot: ``-Z''`` against ``Z'`` on equal axes (or ``Y''`` against ``Y'``).

    Parameters
    ----------
    z : array_like of complex
        Impedances in ohm.
    kind : {"impedance", "admittance"}
        ``"admittance"`` draws ``Y = 1/Z`` instead, in siemens: ``Y''``
        (positive for a capacitive response) against ``Y'``.
    ax : matplotlib Axes, optional
        Axes to draw on; a new figure is made when omitted.
    label : str or None
        Legend entry.
    line : bool
        Draw a line (a fitted curve) instead of markers (measured points).
    **plot_kwargs
        Passed to ``Axes.plot``.

    Returns
    -------
    matplotlib Axes
    """
    zz = _complex(z)
    if kind not in ("impedance", "admittance"):
        raise ValueError(f"kind must be 'impedance' or 'admittance', not {kind!r}")
    if ax is None:
        ax = _new_axes(1, (5.0, 4.5))
    assert ax is not None
    from .plot_axes import si_axis

    style: dict[str, Any] = {"linestyle": "-"} if line else {"marker": "o", "linestyle": "none", "markersize": 4}
    style.update(plot_kwargs)
    if kind == "admittance":
        with np.errstate(divide="ignore", invalid="ignore"):
            yy = 1.0 / zz
        ax.plot(yy.real, yy.imag, label=label, **style)
        si_axis(ax, "x", "Y'", "S")
        si_axis(ax, "y", "Y''", "S")
    else:
        ax.plot(zz.real, -zz.imag, label=label, **style)
        si_axis(ax, "x", "Z'", OHM)
        si_axis(ax, "y", "-Z''", OHM)
    # one unit is as long on both axes, so that semicircles look like circles
    ax.set_aspect("equal", adjustable="datalim")
    ax.grid(True, alpha=0.3)
    if label:
        ax.legend()
    return ax


def bode(
    f: Any,
    z: Any,
    *,
    axes: tuple[Axes, Axes] | None = None,
    label: str | None = "data",
    line: bool = False,
    **plot_kwargs: Any,
) -> tuple[Axes, Axes]:
    """Bode plot: ``|Z|`` and ``-phase`` against frequency, on two stacked axes.

    Parameters
    ----------
    f : array_like of float
        Frequencies in Hz.
    z : array_like of complex
        Impedances in ohm.
    axes : (Axes, Axes), optional
        Axes for the magnitude and the phase; a new figure with two rows
        sharing the frequency axis is made when omitted.
    label : str or None
        Legend entry.
    line : bool
        Draw lines (a fitted curve) instead of markers.
    **plot_kwargs
        Passed to ``Axes.plot``.

    Returns
    -------
    (Axes, Axes)
        The magnitude and phase axes.
    """
    zz = _complex(z)
    ff = _real(f, zz.size)
    if axes is None:
        ax_mag, ax_phase = _new_axes(2, (5.5, 5.0))
    else:
        ax_mag, ax_phase = axes
    from .plot_axes import si_axis

    style: dict[str, Any] = {"linestyle": "-"} if line else {"marker": "o", "linestyle": "none", "markersize": 4}
    style.update(plot_kwargs)
    ax_mag.plot(ff, np.abs(zz), label=label, **style)
    ax_mag.set_xscale("log")
    ax_mag.set_yscale("log")
    si_axis(ax_mag, "y", "|Z|", OHM)
    ax_phase.plot(ff, -np.degrees(np.angle(zz)), label=label, **style)
    ax_phase.set_xscale("log")
    ax_phase.set_ylabel("-phase / \u00b0")
    si_axis(ax_phase, "x", "f", "Hz")
    for a in (ax_mag, ax_phase):
        a.grid(True, which="both", alpha=0.3)
    if label:
        ax_mag.legend()
    return ax_mag, ax_phase


def plot_capacitance(
    f: Any,
    z: Any,
    *,
    axes: tuple[Axes, Axes] | None = None,
    label: str | None = "data",
    line: bool = False,
    log: bool = True,
    **plot_kwargs: Any,
) -> tuple[Axes, Axes]:
    """Complex capacitance against frequency: ``C'`` and ``C''`` on two stacked axes.

    ``C = 1 / (jωZ) = C' - jC''`` (:func:`zetrion_tools.capacitance.complex_capacitance`):
    ``C'`` levels off at the capacitance of a double layer or a coating at
    low frequency, and ``C''`` peaks at a relaxation's characteristic
    frequency.

    Parameters
    ----------
    f : array_like of float
        Frequencies in Hz.
    z : array_like of complex
        Impedances in ohm.
    axes : (Axes, Axes), optional
        Axes for ``C'`` and ``C''``; a new figure with two rows sharing the
        frequency axis is made when omitted.
    label : str or None
        Legend entry.
    line : bool
        Draw lines (a fitted curve) instead of markers.
    log : bool
        Logarithmic capacitance axes (default); points that are not positive
        (an inductive stretch) are then left out.
    **plot_kwargs
        Passed to ``Axes.plot``.

    Returns
    -------
    (Axes, Axes)
        The ``C'`` and ``C''`` axes.
    """
    from .capacitance import complex_capacitance
    from .plot_axes import si_axis

    zz = _complex(z)
    ff = _real(f, zz.size)
    cap = complex_capacitance(ff, zz)
    if axes is None:
        ax_re, ax_im = _new_axes(2, (5.5, 5.0))
    else:
        ax_re, ax_im = axes
    style: dict[str, Any] = {"linestyle": "-"} if line else {"marker": "o", "linestyle": "none", "markersize": 4}
    style.update(plot_kwargs)
    for ax, values, name in ((ax_re, cap.real, "C'"), (ax_im, -cap.imag, "C''")):
        ax.plot(ff, values, label=label, **style)
        ax.set_xscale("log")
        if log:
            ax.set_yscale("log")
        si_axis(ax, "y", name, "F")
        ax.grid(True, which="both", alpha=0.3)
    si_axis(ax_im, "x", "f", "Hz")
    if label:
        ax_re.legend()
    return ax_re, ax_im


def plot_residuals(
    f: Any,
    z: Any,
    z_fit: Any,
    *,
    ax: Axes | None = None,
) -> Axes:
    """Relative residuals of a fit, real and imaginary parts, in percent.

    ``100 * (Z_fit - Z) / |Z|`` per point, the quantity a modulus-weighted
    fit minimises, against frequency.

    Parameters
    ----------
    f : array_like of float
        Frequencies in Hz.
    z, z_fit : array_like of complex
        Measured and fitted impedances at ``f``.
    ax : matplotlib Axes, optional
        Axes to draw on; a new figure is made when omitted.

    Returns
    -------
    matplotlib Axes
    """
    zz = _complex(z)
    zf = _complex(z_fit)
    ff = _real(f, zz.size)
    if zf.size != zz.size:
        raise ValueError("z and z_fit must have the same length")
    if ax is None:
        ax = _new_axes(1, (5.5, 2.8))
    assert ax is not None
    rel = 100.0 * (zf - zz) / np.abs(zz)
    ax.plot(ff, rel.real, "o-", markersize=3, linewidth=0.8, label="Z'")
    ax.plot(ff, rel.imag, "s-", markersize=3, linewidth=0.8, label="Z''")
    ax.axhline(0.0, color="0.4", linewidth=0.8)
    ax.set_xscale("log")
    from .plot_axes import si_axis

    si_axis(ax, "x", "f", "Hz")
    ax.set_ylabel("(fit - data) / |Z| / %")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(ncols=2)
    return ax


def _fitted_circuit(result_or_circuit: Any) -> zetrion.Circuit:
    if isinstance(result_or_circuit, zetrion.Circuit):
        return result_or_circuit
    circuit = getattr(result_or_circuit, "circuit", None)
    if isinstance(circuit, zetrion.Circuit):
        return circuit
    raise TypeError(
        "expected a zetrion.FitResult, a zetrion_tools ConstrainedFit or a zetrion.Circuit, "
        f"not {type(result_or_circuit).__name__}"
    )


def plot_fit(
    f: Any,
    z: Any,
    result_or_circuit: zetrion.FitResult | ConstrainedFit | zetrion.Circuit,
    *,
    fig: Figure | None = None,
    title: str | None = None,
    points_per_decade: int = 40,
    drt: Any = False,
) -> tuple[Figure, dict[str, Axes]]:
    """Data and fit together: Nyquist, Bode magnitude and phase, residuals.

    The fitted curve is drawn on a fine frequency grid spanning the data;
    the residuals are taken at the measured frequencies.

    Parameters
    ----------
    f : array_like of float
        Measured frequencies in Hz.
    z : array_like of complex
        Measured impedances in ohm.
    result_or_circuit : zetrion.FitResult, ConstrainedFit or zetrion.Circuit
        The fit, or a circuit holding the values to draw.
    fig : matplotlib Figure, optional
        Figure to draw on (it is cleared); a new one is made when omitted.
    title : str, optional
        Figure title; by default the chi-square of the fit when known.
    points_per_decade : int
        Density of the fitted curve.
    drt : bool or DrtResult
        Add a panel with the distribution of relaxation times of the data
        (``True``: computed here with the defaults of ``zetrion_tools.drt``;
        or a DrtResult computed before) and the fitted circuit's own DRT
        laid over it.

    Returns
    -------
    (Figure, dict of str to Axes)
        The axes under the keys ``"nyquist"``, ``"magnitude"``, ``"phase"``
        and ``"residuals"``, and ``"drt"`` with the DRT panel.
    """
    zz = _complex(z)
    ff = _real(f, zz.size)
    circuit = _fitted_circuit(result_or_circuit)
    decades = max(float(np.log10(ff.max() / ff.min())), 0.1)
    f_fine = np.geomspace(ff.max(), ff.min(), max(int(decades * points_per_decade), 2))
    z_fine = circuit.impedance(f_fine)
    z_at = circuit.impedance(ff)

    if fig is None:
        fig = _pyplot().figure(figsize=(11.0, 7.0 if drt is None or drt is False else 9.5), layout="constrained")
    else:
        fig.clear()
    assert fig is not None
    extra = 0 if drt is None or drt is False else 1
    grid = fig.add_gridspec(3 + extra, 2, height_ratios=[1.0, 1.0, 0.8, 1.0][: 3 + extra])
    ax_n = fig.add_subplot(grid[0:2, 0])
    ax_m = fig.add_subplot(grid[0, 1])
    ax_p = fig.add_subplot(grid[1, 1], sharex=ax_m)
    ax_r = fig.add_subplot(grid[2, :])

    nyquist(zz, ax=ax_n, label="data")
    nyquist(z_fine, ax=ax_n, label="fit", line=True)
    bode(ff, zz, axes=(ax_m, ax_p), label="data")
    bode(f_fine, z_fine, axes=(ax_m, ax_p), label="fit", line=True)
    ax_m.tick_params(labelbottom=False)
    ax_m.set_xlabel("")
    plot_residuals(ff, zz, z_at, ax=ax_r)

    axes = {"nyquist": ax_n, "magnitude": ax_m, "phase": ax_p, "residuals": ax_r}
    if extra:
        from .drt_plot import fit_drt_panel

        axes["drt"] = fig.add_subplot(grid[3, :])
        fit_drt_panel(axes["drt"], ff, zz, result_or_circuit, drt)

    if title is None:
        chi = getattr(result_or_circuit, "chi_square", None)
        title = f"fit: chi-square {chi:.4g}" if isinstance(chi, float) else None
    if title:
        fig.suptitle(title)
    return fig, axes
