"""Axis labelling for the plots: SI prefixes on the unit, clean log ticks.

:func:`si_axis` puts a :class:`SIFormatter` on an axis: the data stay in
base units (ohm, siemens, farad), and at each draw the formatter picks the
prefix that suits the visible range, divides the tick labels by it and
writes it into the axis label, so that megaohm data read ``Z' / MΩ`` with
ticks 0, 1, 2 rather than an offset of ``1e6``, and milliohm data ``mΩ``
rather than ``0.015``. A linear axis takes the prefix of its largest value,
a log axis that of the middle of its range (the geometric mean of its
limits), or none where it spans more than four decades (labelled as powers
of ten). A log axis spanning less than a decade gets evenly
spread major ticks with plain labels instead of the crowded labelled minor
ticks matplotlib would show.

matplotlib is imported by this module; the plotting functions import it
only when they draw.
"""

from __future__ import annotations

import math
from typing import Any, Literal

import numpy as np
from matplotlib import ticker
from matplotlib.axes import Axes
from matplotlib.axis import Axis

__all__ = ["PREFIXES", "SIFormatter", "prefix_for", "si_axis"]

#: SI prefixes by power of ten, pico to tera.
PREFIXES: dict[int, str] = {
    -12: "p", -9: "n", -6: "\u00b5", -3: "m", 0: "", 3: "k", 6: "M", 9: "G", 12: "T",
}

# a log axis spanning more decades than this is labelled 10^n in base units:
# one prefix cannot keep every label short
_MAX_PREFIXED_DECADES = 4.0


def prefix_for(magnitude: float) -> int:
    """The power of ten (a multiple of 3, -12 to 12) whose prefix suits ``magnitude``.

    The scaled value lies in [1, 1000) where the range allows; zero, NaN and
    infinity give 0 (no prefix).
    """
    if not math.isfinite(magnitude) or magnitude <= 0.0:
        return 0
    # a hair of tolerance: 999.9999999 is 1 k, not 999.99 of the smaller unit
    power = 3 * math.floor(math.log10(magnitude * (1.0 + 1e-9)) / 3.0)
    return int(min(max(power, -12), 12))


def _decimals(values: list[float]) -> int:
    """The fewest decimals (up to 6) that write every value exactly enough."""
    span = max((abs(v) for v in values), default=1.0) or 1.0
    for d in range(7):
        if all(abs(round(v, d) - v) <= 1e-9 * span for v in values):
            return d
    return 6


class SIFormatter(ticker.Formatter):
    """Tick labels in the prefixed unit that suits the axis's visible range.

    A label the user set after the plot was drawn (``ax.set_xlabel(...)``)
    is left as it is; only the label this formatter wrote is rewritten.

    Parameters
    ----------
    quantity : str
        What the axis shows, e.g. ``"Z'"``; the label reads
        ``"{quantity} / {prefix}{unit}"``.
    unit : str
        The base unit of the data (``"Ω"``, ``"S"``, ``"F"``); empty for none.
    log : bool
        The axis is logarithmic.
    """

    def __init__(self, quantity: str, unit: str, *, log: bool = False) -> None:
        super().__init__()
        self.quantity = quantity
        self.unit = unit
        self.log = log
        self.power = 0
        self.decimals = 0
        self.scientific = False
        self._written: str | None = None

    def label_text(self) -> str:
        """The axis label for the current prefix."""
        if not self.unit:
            return self.quantity
        return f"{self.quantity} / {PREFIXES[self.power]}{self.unit}"

    def _view(self) -> tuple[float, float]:
        axis: Axis | None = self.axis  # type: ignore[assignment]
        if axis is None:
            return (1.0, 1.0)
        lo, hi = (float(v) for v in axis.get_view_interval())
        return (min(lo, hi), max(lo, hi))

    def set_locs(self, locs: Any) -> None:
        ticks = [float(v) for v in locs]
        lo, hi = self._view()
        if self.log:
            lo, hi = max(lo, np.finfo(float).tiny), max(hi, np.finfo(float).tiny)
            self.scientific = math.log10(hi / lo) > _MAX_PREFIXED_DECADES
            self.power = 0 if self.scientific else prefix_for(math.sqrt(lo * hi))
        else:
            self.power = prefix_for(max(abs(lo), abs(hi)))
        scale = 10.0**self.power
        visible = [v / scale for v in ticks if not self.log or lo * (1 - 1e-9) <= v <= hi * (1 + 1e-9)]
        self.decimals = _decimals(visible)
        self._relabel()

    def _relabel(self) -> None:
        axis: Axis | None = self.axis  # type: ignore[assignment]
        if axis is None:
            return
        current = axis.label.get_text()
        if self._written is None or current == self._written:
            text = self.label_text()
            if text != current:
                axis.set_label_text(text)
            self._written = text

    def __call__(self, x: float, pos: int | None = None) -> str:
        if self.scientific:
            if x <= 0:
                return ""
            exponent = math.log10(x)
            if abs(exponent - round(exponent)) > 1e-9:
                return ""
            return f"$\\mathdefault{{10^{{{int(round(exponent))}}}}}$"
        value = x / 10.0**self.power
        # a log axis's labels differ in size: each gets the decimals it needs
        decimals = _decimals([value]) if self.log else self.decimals
        text = f"{value:.{decimals}f}"
        return "0" if text.lstrip("-").strip("0.") == "" else text.replace("-", "\u2212")


def si_axis(
    ax: Axes,
    which: Literal["x", "y"],
    quantity: str,
    unit: str,
) -> SIFormatter:
    """Label an axis of ``ax`` with SI-prefixed units (see the module docstring).

    Parameters
    ----------
    ax : matplotlib Axes
    which : {"x", "y"}
    quantity : str
        What the axis shows, e.g. ``"-Z''"``.
    unit : str
        The base unit of the plotted values, e.g. ``"Ω"``.

    Returns
    -------
    SIFormatter
        The formatter set on the axis.
    """
    axis = ax.xaxis if which == "x" else ax.yaxis
    log = axis.get_scale() == "log"
    formatter = SIFormatter(quantity, unit, log=log)
    axis.set_major_formatter(formatter)
    if log:
        axis.set_major_locator(_LogTicks())
        axis.set_minor_formatter(ticker.NullFormatter())
    axis.set_label_text(formatter.label_text())
    formatter._written = formatter.label_text()
    return formatter


class _LogTicks(ticker.Locator):
    """Decades on a log axis spanning one or more; evenly spread ticks on a shorter one."""

    def __init__(self) -> None:
        self._decades = ticker.LogLocator(base=10.0)
        self._linear = ticker.MaxNLocator(nbins=4, steps=[1, 2, 2.5, 5, 10])

    def set_axis(self, axis: Any) -> None:
        super().set_axis(axis)
        self._decades.set_axis(axis)
        self._linear.set_axis(axis)

    def __call__(self) -> Any:
        if self.axis is None:
            return []
        lo, hi = (float(v) for v in self.axis.get_view_interval())
        return self.tick_values(lo, hi)

    def tick_values(self, vmin: float, vmax: float) -> Any:
        lo, hi = min(vmin, vmax), max(vmin, vmax)
        if lo > 0 and math.log10(hi / lo) < 1.0:
            ticks = np.asarray(self._linear.tick_values(lo, hi), dtype=np.float64)
            ticks = ticks[ticks > 0]
            if ticks.size >= 2:
                return ticks
        return self._decades.tick_values(vmin, vmax)
