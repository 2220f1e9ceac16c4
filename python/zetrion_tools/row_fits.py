"""One spectrum's fit as the numbers of a batch row: ordered, and judged.

A batch fits each spectrum with ``Circuit.fit``, or, when parameters are
held or bounded or the weighting is one only the companion applies, with
:func:`zetrion_tools.fit`. Either way the row gets its interchangeable blocks
in ascending time constant (:mod:`zetrion_tools.arcs`) and the verdict of
:mod:`zetrion_tools.quality`: whether the fit is trustworthy, its flags and
the parameters it vouches for.
"""

from __future__ import annotations

import math
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Any, cast

import zetrion

from .arcs import arc_permutation
from .engine import circuit_weightings
from .fitting import FitSetupError, fit
from .options import FitOptions
from .quality import FitQuality, assess

__all__ = [
    "QUALITY_COLUMNS",
    "Constraints",
    "RowFit",
    "core_row_fit",
    "failed_quality",
    "needs_companion",
    "quality_cells",
]

#: The columns a batch adds for the verdict, after its own.
QUALITY_COLUMNS = ("trustworthy", "flags", "vouched")


@dataclass(frozen=True)
class RowFit:
    """What a row keeps of one fit."""

    values: list[float]
    errors: list[float]
    chi_square: float
    success: bool
    iterations: int
    quality: FitQuality


def quality_cells(quality: FitQuality) -> list[Any]:
    """The verdict's cells: trustworthy, flags (``; ``-joined codes), vouched (``,``-joined)."""
    return [quality.trustworthy, "; ".join(quality.codes), ",".join(quality.vouched)]


def failed_quality() -> list[Any]:
    """The verdict's cells of a spectrum that was not fitted."""
    return [False, "not_fitted", ""]


def core_row_fit(circuit: zetrion.Circuit, f: Any, z: Any, result: zetrion.FitResult, weight: str) -> RowFit:
    """A ``Circuit.fit`` result, its blocks ordered, with its verdict.

    The flat directions are read from the Jacobian at the fitted values, as
    the companion's engine reads them, when a standard error is missing or
    large enough to need explaining (a well-determined fit skips the cost).
    """
    names = list(circuit.param_names())
    values = [float(result.params[n]) for n in names]
    se = result.stderr
    errors = [float(se.get(n, math.nan)) for n in names] if se is not None else [math.nan] * len(names)
    perm = arc_permutation(circuit, values)
    if perm is not None:
        values, errors = [values[j] for j in perm], [errors[j] for j in perm]
    fitted = circuit.with_values(values)
    jacobian = None
    loose = any(not abs(e) <= 0.5 * abs(v) for v, e in zip(values, errors))  # NaN counts
    if loose and weight in circuit_weightings():  # Circuit.fit's own: "modulus" or "unit"
        jacobian = circuit.jacobian(values, f, z, weight=cast(Any, weight))
    quality = assess(
        fitted, f, z, fitted.impedance(f),
        values=dict(zip(names, values)), stderr=dict(zip(names, errors)),
        success=bool(result.success), jacobian=jacobian,
    )
    return RowFit(values, errors, float(result.chi_square), bool(result.success), int(result.iterations), quality)


class Constraints:
    """Held and bounded parameters of a batch, checked once for the circuit."""

    def __init__(
        self,
        circuit: zetrion.Circuit,
        fixed: Mapping[str, float] | None,
        bounds: Mapping[str, Sequence[float]] | None,
        options: FitOptions,
    ) -> None:
        names = list(circuit.param_names())
        for kind, given in (("fixed", fixed or {}), ("bounds", bounds or {})):
            unknown = [k for k in given if k not in names]
            if unknown:
                raise FitSetupError(
                    f"unknown parameter(s) in {kind}: {', '.join(map(repr, unknown))}; "
                    f"this circuit has {', '.join(names)}"
                )
        self.circuit = circuit
        self.names = names
        self.fixed = dict(fixed or {})
        self.bounds: dict[str, tuple[float, float]] = {}
        for name, pair in (bounds or {}).items():
            try:
                self.bounds[name] = (float(pair[0]), float(pair[1]))
            except (TypeError, ValueError, IndexError) as exc:
                raise FitSetupError(f"bounds[{name!r}] must be a pair (lo, hi) of numbers, got {pair!r}") from exc
        self.options = options

    def fit(self, f: Any, z: Any) -> RowFit:
        """The companion's fit of one spectrum (its checks already run by the batch)."""
        r = fit(self.circuit, f, z, fixed=self.fixed, bounds=self.bounds, check_sign=False, options=self.options)
        return RowFit(
            [r.params[n] for n in self.names],
            [r.stderr[n] for n in self.names],
            r.chi_square,
            r.success,
            r.iterations,
            r.quality,
        )


def needs_companion(fixed: Any, bounds: Any, fit_kwargs: Mapping[str, Any]) -> bool:
    """Whether a batch's fits go through the companion's fit rather than ``Circuit.fit``."""
    weight = fit_kwargs.get("weight", "modulus")
    return bool(fixed) or bool(bounds) or weight not in circuit_weightings()
