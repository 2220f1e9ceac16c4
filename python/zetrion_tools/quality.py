"""Whether to believe a fit: flags for what the data cannot determine.

A converged fit (``success``) says only that the solver stopped where it
should. :func:`assess` says whether the values mean anything, with one
:class:`Flag` per reason to doubt them:

``not_converged``
    The solver did not converge.
``misfit``
    The residuals are far above the noise of the data: the circuit does
    not describe the spectrum, and no parameter can be vouched for. The
    noise is read from the residuals themselves (see :func:`noise_ratio`).
``undetermined``
    A combination of parameters the data cannot determine (flat direction
    of the Jacobian), or a parameter without a standard error.
``uncertain``
    A standard error larger than the value itself.
``at_bound``
    A parameter at (or within a thousandth of) an end of its range: the
    range, not the data, holds it there.
``implausible``
    A value outside the physically plausible range for its unit (a
    resistance below a micro-ohm, a capacitance above ten kilofarad, ...).
``outside_band``
    A time constant more than a decade outside the measured band: the
    feature it describes is not in the data.

The parameters named by any flag are not vouched for; the others are listed
in :attr:`FitQuality.vouched`. A fit is ``trustworthy`` when it has no flag.
"""

from __future__ import annotations

import math
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

import zetrion

if TYPE_CHECKING:
    from .fitting import ConstrainedFit

__all__ = [
    "PLAUSIBLE_RANGES",
    "Flag",
    "FitQuality",
    "assess",
    "assess_fit",
    "jacobian_undetermined",
    "noise_ratio",
    "unassessed",
]

FloatArray = npt.NDArray[np.float64]

#: Plausible magnitudes by parameter unit (the element table's units), as
#: ``(lowest, highest)``. Units not listed (exponents, the transmission
#: line's areas) are checked against their validity bounds only.
PLAUSIBLE_RANGES: dict[str, tuple[float, float]] = {
    "ohm": (1e-6, 1e12),
    "F": (1e-15, 1e4),
    "H": (1e-13, 1.0),
    "s": (1e-10, 1e7),
    "ohm^-1*s^alpha": (1e-15, 1e4),
    "F*s^(gamma-1)": (1e-15, 1e4),
    "ohm*s^-0.5": (1e-6, 1e12),
}
# An exponent bounded to [0, 1] (CPE alpha, Zarc gamma, ...) below this
# describes no physical dispersion.
_LOWEST_EXPONENT = 0.3
# Relative distance to a bound counted as "at" it.
_NEAR_BOUND = 1e-3
# A standard error above half the value leaves it within two standard errors
# of zero: the data do not establish it.
_LARGEST_RELATIVE_ERROR = 0.5
# Residuals this many times above the noise level mark a misfit; relative
# residuals below the floor are exact data and never do.
_MISFIT_RATIO = 4.0
_EXACT_FLOOR = 1e-9
# A singular value of the column-scaled Jacobian below this fraction of the
# largest marks a flat direction (the engine's own definition).
_FLAT = 1e-6
_MIN_WEIGHT = 0.05


@dataclass(frozen=True)
class Flag:
    """One reason to doubt a fit: its kind, the parameters it names and a plain account."""

    kind: str
    params: tuple[str, ...]
    message: str

    @property
    def code(self) -> str:
        """Short form for tables: ``kind(name,name)``, or the kind alone."""
        return f"{self.kind}({','.join(self.params)})" if self.params else self.kind

    def __str__(self) -> str:
        return f"{self.kind}: {self.message}"

    def to_dict(self) -> dict[str, Any]:
        return {"kind": self.kind, "params": list(self.params), "message": self.message}


@dataclass(frozen=True)
class FitQuality:
    """The verdict on a fit.

    Attributes
    ----------
    flags : tuple of Flag
        Every reason to doubt the fit (empty for a fit to believe).
    vouched : tuple of str
        The fitted parameters no flag names, in circuit order; empty when the
        fit failed or misses the data.
    fitted : tuple of str
        The parameters that were fitted (not held).
    noise_ratio : float
        Mean squared relative residual over the noise level read from the
        residuals (about 1 when they are noise); NaN when not measured.
    """

    flags: tuple[Flag, ...] = ()
    vouched: tuple[str, ...] = ()
    fitted: tuple[str, ...] = ()
    noise_ratio: float = math.nan

    @property
    def trustworthy(self) -> bool:
        """Whether no flag was raised."""
        return not self.flags

    @property
    def codes(self) -> tuple[str, ...]:
        """The flags in short form (``undetermined(R2.r,C2.c)``)."""
        return tuple(f.code for f in self.flags)

    def doubtful(self) -> tuple[str, ...]:
        """The fitted parameters that are not vouched for."""
        return tuple(n for n in self.fitted if n not in self.vouched)

    def summary(self) -> str:
        """One line: trustworthy, or what to doubt and what still holds."""
        if self.trustworthy:
            return f"trustworthy: vouches for {', '.join(self.vouched) or 'nothing fitted'}"
        vouched = ", ".join(self.vouched) if self.vouched else "no parameter"
        return f"{'; '.join(self.codes)}; vouches for {vouched}"

    def to_dict(self) -> dict[str, Any]:
        ratio = self.noise_ratio if math.isfinite(self.noise_ratio) else None
        return {
            "trustworthy": self.trustworthy,
            "flags": [f.to_dict() for f in self.flags],
            "vouched": list(self.vouched),
            "noise_ratio": ratio,
        }


def unassessed() -> FitQuality:
    """The verdict of a fit nobody assessed: nothing vouched for."""
    return FitQuality(flags=(Flag("unassessed", (), "the fit was not assessed"),))


def noise_ratio(f: Any, z: Any, z_fit: Any) -> float:
    """How far the residuals lie above the noise of the data.

    The relative residuals ``(z_fit - z) / |z|`` are put in order of
    frequency; their mean square is compared with the noise variance read
    from the differences of neighbouring residuals (von Neumann's estimate,
    half the mean squared difference), which a smooth misfit barely
    touches. Noise gives about 1, a model that misses the data far more.
    Exact data (relative residuals below 1e-9) give 1.
    """
    order = np.argsort(np.asarray(f, dtype=np.float64), kind="stable")
    zz = np.asarray(z, dtype=np.complex128)[order]
    e = (np.asarray(z_fit, dtype=np.complex128)[order] - zz) / np.maximum(np.abs(zz), 1e-300)
    if e.size < 3:
        return math.nan
    # |e|^2 sums the real and imaginary parts' squares alike
    mean_square = float(np.vdot(e, e).real) / e.size
    if not math.isfinite(mean_square):
        return math.nan
    if mean_square <= 2 * _EXACT_FLOOR**2:
        return 1.0
    d = e[1:] - e[:-1]
    noise = float(np.vdot(d, d).real) / d.size / 2.0
    return mean_square / noise if noise > 0 else math.inf


def jacobian_undetermined(jacobian: Any, names: Sequence[str]) -> tuple[dict[str, float], ...]:
    """Flat directions of a Jacobian, as ``{name: weight}`` combinations.

    The columns are scaled to unit norm; each right singular vector whose
    singular value is below a millionth of the largest is a combination the
    residuals do not feel (weights below 0.05 left out, largest first).
    """
    j = np.asarray(jacobian, dtype=np.float64)
    if j.ndim != 2 or j.shape[1] != len(names) or not np.all(np.isfinite(j)):
        return ()
    norms = np.linalg.norm(j, axis=0)
    out: list[dict[str, float]] = []
    dead = norms == 0
    for k in np.flatnonzero(dead):
        out.append({names[int(k)]: 1.0})
    live = np.flatnonzero(~dead)
    if live.size == 0:
        return tuple(out)
    _, s, vt = np.linalg.svd(j[:, live] / norms[live], full_matrices=False)
    for value, v in zip(s, vt):
        if value < _FLAT * s[0]:
            order = np.argsort(-np.abs(v))
            out.append({names[live[i]]: float(v[i]) for i in order if abs(v[i]) >= _MIN_WEIGHT})
    return tuple(out)


def _near_bound(value: float, lo: float, hi: float) -> str | None:
    """``"lower"`` or ``"upper"`` when ``value`` sits at that end of ``[lo, hi]``."""
    if math.isfinite(lo) and math.isfinite(hi) and (lo <= 0 or hi / lo < 100):
        width = (hi - lo) * _NEAR_BOUND
        if value - lo <= width:
            return "lower"
        return "upper" if hi - value <= width else None
    # a range spanning decades is searched on a log scale: relative distance
    if math.isfinite(lo) and value <= (lo * (1 + _NEAR_BOUND) if lo > 0 else lo):
        return "lower"
    if math.isfinite(hi) and value >= hi / (1 + _NEAR_BOUND):
        return "upper"
    return None


@dataclass
class _Collector:
    flags: list[Flag] = field(default_factory=list)
    doubted: set[str] = field(default_factory=set)

    def add(self, kind: str, params: Sequence[str], message: str) -> None:
        self.flags.append(Flag(kind, tuple(params), message))
        self.doubted.update(params)


def _value_flags(
    out: _Collector,
    values: Mapping[str, float],
    fitted: Sequence[str],
    units: Mapping[str, str],
    bounds: Mapping[str, tuple[float, float]],
    validity: Mapping[str, tuple[float, float]],
) -> None:
    """At a bound, outside the plausible range for the unit."""
    for name in fitted:
        value = values[name]
        lo, hi = bounds[name]
        side = _near_bound(value, lo, hi)
        if side is not None:
            limit = lo if side == "lower" else hi
            out.add("at_bound", [name], f"{name} = {value:.4g} sits at its {side} bound {limit:g}")
        plausible = PLAUSIBLE_RANGES.get(units.get(name, ""))
        v_lo, v_hi = validity[name]
        if plausible is None and v_lo == 0.0 and v_hi == 1.0:  # an exponent
            plausible = (_LOWEST_EXPONENT, 1.0)
        if plausible is not None and not plausible[0] <= abs(value) <= plausible[1]:
            out.add(
                "implausible",
                [name],
                f"{name} = {value:.4g} {units.get(name, '')} lies outside the plausible "
                f"{plausible[0]:g} .. {plausible[1]:g}".rstrip(),
            )


def _band_flags(out: _Collector, values: Mapping[str, float], fitted: Sequence[str],
                units: Mapping[str, str], f: FloatArray) -> None:
    """Time constants more than a decade outside the measured band."""
    timed = [n for n in fitted if units.get(n) == "s"]
    if not timed or f.size == 0:
        return
    shortest = 1.0 / (2 * math.pi * float(np.max(f))) / 10.0
    longest = 10.0 / (2 * math.pi * float(np.min(f)))
    for name in timed:
        if not shortest <= values[name] <= longest:
            out.add(
                "outside_band",
                [name],
                f"{name} = {values[name]:.4g} s lies more than a decade outside the measured band "
                f"({shortest * 10:.3g} .. {longest / 10:.3g} s)",
            )


def _error_flags(
    out: _Collector,
    values: Mapping[str, float],
    stderr: Mapping[str, float],
    fitted: Sequence[str],
    undetermined: Sequence[Mapping[str, float]],
    correlation: FloatArray | None,
) -> None:
    """Flat directions, missing and huge standard errors."""
    for combo in undetermined:
        terms = " ".join(f"{w:+.2f}*{n}" for n, w in combo.items())
        out.add("undetermined", list(combo), f"the data cannot determine {terms}")
    covered = {n for combo in undetermined for n in combo}
    for i, name in enumerate(fitted):
        err, value = stderr.get(name, math.nan), values[name]
        if name in covered:
            continue
        if not math.isfinite(err):
            out.add("undetermined", [name], f"{name} has no standard error (the data do not fix it)")
        elif value != 0 and err > _LARGEST_RELATIVE_ERROR * abs(value):
            partners = _partners(i, fitted, correlation)
            tail = f", tied to {', '.join(partners)}" if partners else ""
            out.add("uncertain", [name], f"{name} = {value:.4g} +- {err:.3g} ({err / abs(value):.0%}){tail}")


def _arc_flags(out: _Collector, circuit: zetrion.Circuit, fitted: Sequence[str], units: Mapping[str, str]) -> None:
    """An arc whose resistance the data do not establish: the rest of it is not either."""
    if not any(units.get(n) == "ohm" for n in out.doubted):
        return
    from .arcs import parallel_blocks

    names = circuit.param_names()
    for notation, first, count in parallel_blocks(circuit):
        block = names[first : first + count]
        if not any(units.get(n) == "ohm" and n in out.doubted for n in block):
            continue
        rest = [n for n in block if n in fitted and n not in out.doubted]
        if rest:
            size = ", ".join(n for n in block if units.get(n) == "ohm" and n in out.doubted)
            out.add("uncertain", rest, f"the arc {notation} is not established ({size} is not determined)")


def _partners(i: int, fitted: Sequence[str], correlation: FloatArray | None) -> list[str]:
    """Parameters correlated with the i-th above 0.95, with the coefficient."""
    if correlation is None or correlation.shape != (len(fitted), len(fitted)):
        return []
    row = correlation[i]
    return [f"{fitted[j]} (r = {row[j]:+.3f})" for j in range(len(fitted)) if j != i and abs(row[j]) > 0.95]


def assess(
    circuit: zetrion.Circuit,
    f: Any,
    z: Any,
    z_fit: Any,
    *,
    values: Mapping[str, float],
    stderr: Mapping[str, float],
    success: bool,
    fitted: Sequence[str] | None = None,
    bounds: Mapping[str, tuple[float, float]] | None = None,
    undetermined: Sequence[Mapping[str, float]] | None = None,
    correlation: FloatArray | None = None,
    jacobian: Any = None,
) -> FitQuality:
    """The flags of one fit and the parameters it can vouch for.

    Parameters
    ----------
    circuit : zetrion.Circuit
        The fitted circuit (its units and validity bounds are read).
    f, z : array_like
        The measured spectrum.
    z_fit : array_like
        The fitted circuit's impedance at ``f``.
    values, stderr : mapping of str to float
        Fitted values and standard errors by name.
    success : bool
        Whether the solver converged.
    fitted : sequence of str, optional
        The parameters fitted (default: all).
    bounds : mapping of str to (float, float), optional
        The range each fitted parameter was confined to (default: the
        element's validity bounds).
    undetermined : sequence of mapping, optional
        Flat directions as the engine reports them; when ``None`` they are
        read from ``jacobian`` (columns of the fitted parameters) if given.
    correlation : ndarray, optional
        Correlation of the fitted parameters, to name what a huge error is
        tied to.
    jacobian : array_like, optional
        Jacobian of the weighted residuals over the fitted parameters.
    """
    names = list(circuit.param_names())
    fitted = list(names if fitted is None else fitted)
    units = dict(zip(names, circuit.param_units()))
    validity = {n: (float(lo), float(hi)) for n, (lo, hi) in zip(names, circuit.param_bounds())}
    bounds = {n: bounds[n] if bounds is not None and n in bounds else validity[n] for n in fitted}
    freq = np.asarray(f, dtype=np.float64).reshape(-1)
    if undetermined is None:
        undetermined = jacobian_undetermined(jacobian, fitted) if jacobian is not None else ()
    out = _Collector()
    if not success:
        out.add("not_converged", [], "the solver did not converge")
    ratio = noise_ratio(freq, z, z_fit)
    misfit = not ratio <= _MISFIT_RATIO  # NaN counts as a misfit
    if misfit:
        out.add("misfit", [], f"the residuals are {ratio:.3g} times the noise level of the data: "
                "the circuit does not describe this spectrum")
    _error_flags(out, values, stderr, fitted, undetermined, correlation)
    _arc_flags(out, circuit, fitted, units)
    _value_flags(out, values, fitted, units, bounds, validity)
    _band_flags(out, values, fitted, units, freq)
    trusted = success and not misfit
    vouched = tuple(n for n in fitted if trusted and n not in out.doubted)
    return FitQuality(flags=tuple(out.flags), vouched=vouched, fitted=tuple(fitted), noise_ratio=ratio)


def assess_fit(result: ConstrainedFit) -> FitQuality:
    """The flags of a companion fit (:func:`zetrion_tools.fit`)."""
    return assess(
        result.circuit,
        result.frequencies,
        result.impedance,
        result.z_fit,
        values=result.params,
        stderr=result.stderr,
        success=result.success,
        fitted=result.free,
        bounds=result.bounds,
        undetermined=result.undetermined,
        correlation=result.correlation,
    )
