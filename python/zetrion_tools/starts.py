"""Starting values for any circuit, read from the spectrum.

A fit started from the element defaults lands in the right basin only when
the circuit is small or the defaults happen to suit the data. Here the
spectrum is read once for what every element kind needs:

- the high-frequency intercept (series resistance) and any inductance there;
- the arcs: time constants and resistances from the peaks of ``-Im Z``
  against log frequency (or, where fewer peaks stand out than the circuit has
  arcs, time constants spread over the measured band);
- the low-frequency tail: its magnitude and slope (capacitive, diffusive or
  resistive).

Each relaxing part of the circuit (a parallel group, a K/Zarc, a Gerischer,
a transmission line) takes one time constant and a resistance, in reading
order (fastest first); inside a group the resistive branch takes the
resistance, the capacitive branch the capacitance that gives the time
constant, and a nested group the next, slower time constant. Series
elements outside the arcs take the intercept, the inductance or the tail.
Because the order in which a notation lists its arcs says nothing about
their speed, further starts assign the time constants in other orders.
Every start is polished by the engine's solver and the lowest cost wins.
"""

from __future__ import annotations

import functools
import itertools
import math
from collections.abc import Iterator, Sequence
from dataclasses import dataclass, field
from typing import Any, Literal

import numpy as np
import numpy.typing as npt

import zetrion

from . import _engine

__all__ = [
    "ArcShape",
    "SpectrumFeatures",
    "arc_count",
    "arc_shapes",
    "cheapest_variant",
    "data_starts",
    "dead_arc",
    "flat_arc",
    "neighbour_starts",
    "read_features",
]

FloatArray = npt.NDArray[np.float64]
ComplexArray = npt.NDArray[np.complex128]

# Element kinds that relax with a time constant of their own and take an arc.
_RELAXING = frozenset({"K", "Zarc", "G", "Gs", "TLMQ", "T"})
_CAPACITIVE = frozenset({"C", "CPE"})
# Finite-length diffusion in series with the rest: its knee is a time
# constant of the spectrum like an arc's, so it takes one too.
_DIFFUSING = frozenset({"Wo", "Ws"})
_ALPHA = 0.85  # a typical CPE exponent, for the arcs' capacitances


@dataclass(frozen=True)
class SpectrumFeatures:
    """What a start needs to know about a spectrum (angular frequencies, ohm)."""

    w_lo: float
    w_hi: float
    r_inf: float  # real part at the highest frequency
    r_low: float  # real part at the lowest frequency
    inductance: float  # from a positive imaginary part at the top, else 0
    z_scale: float  # median |Z|
    tail: complex  # impedance at the lowest frequency
    tail_slope: float  # d log|Z| / d log w over the lowest points
    peaks: tuple[tuple[float, float], ...] = field(default_factory=tuple)  # (tau, height), fastest first


def _peaks(w: FloatArray, y: FloatArray, floor: FloatArray | None = None) -> tuple[tuple[float, float], ...]:
    """Local maxima of ``-Im Z`` in log frequency that stand out (and rise above
    ``floor`` where given), as (tau, height)."""
    if y.size < 3:
        return ()
    smooth = y.copy()
    if y.size >= 5:
        smooth[1:-1] = 0.25 * y[:-2] + 0.5 * y[1:-1] + 0.25 * y[2:]
    top = float(np.max(smooth))
    if not top > 0:
        return ()
    # a peak is the highest point within a fifth of a decade either side
    reach = np.log10(w)
    out = []
    for i in range(1, y.size - 1):
        near = np.abs(reach - reach[i]) <= 0.2
        if smooth[i] >= np.max(smooth[near]) and smooth[i] > smooth[i + 1] and smooth[i] > 0.05 * top:
            if floor is not None and not smooth[i] > floor[i]:
                continue
            out.append((1.0 / w[i], float(smooth[i])))
    return tuple(sorted(out))


def _slope(x: FloatArray, y: FloatArray) -> float:
    """The least-squares slope of y on x, in closed form (a LAPACK fit would
    wake the BLAS threads for four points)."""
    dx = x - x.mean()
    den = float(dx @ dx)
    return float(dx @ (y - y.mean())) / den if den > 0 else 0.0


def read_features(f: FloatArray, z: ComplexArray) -> SpectrumFeatures:
    """Read a checked spectrum (any frequency order) for starting values."""
    order = np.argsort(f)
    w = 2 * math.pi * np.asarray(f, dtype=np.float64)[order]
    zz = np.asarray(z, dtype=np.complex128)[order]
    mag = np.abs(zz)
    z_scale = float(np.median(mag)) or 1.0
    k = min(4, w.size)
    slope = 0.0
    if k >= 2 and np.all(mag[:k] > 0):
        slope = _slope(np.log(w[:k]), np.log(mag[:k]))
    top_im = float(zz[-1].imag)
    return SpectrumFeatures(
        w_lo=float(w[0]),
        w_hi=float(w[-1]),
        r_inf=float(zz[-1].real),
        r_low=float(zz[0].real),
        inductance=top_im / float(w[-1]) if top_im > 0 else 0.0,
        z_scale=z_scale,
        tail=complex(zz[0]),
        tail_slope=slope,
        peaks=_merged(_peaks(w, -zz.imag), _steps(w, zz.real, mag)),
    )


def _steps(w: FloatArray, re: FloatArray, mag: FloatArray) -> tuple[tuple[float, float], ...]:
    """Arcs seen as steps of the real part: peaks of ``-d Re Z / d ln w``.

    An arc's step stays visible where a capacitive tail swamps its ``-Im Z``
    peak; for an R-C arc the peak of ``-d Re / d ln w`` is R/2 at w = 1/tau,
    as high as the ``-Im Z`` peak. A step smaller than a twentieth of ``|Z|``
    there is not told from the scatter of a percent of noise and is left out
    (under a steep capacitive tail the derivative is noise alone).
    """
    if w.size < 4:
        return ()
    # differences over two intervals: a derivative of noisy data needs the calm
    lw = np.log(w)
    d = -(re[2:] - re[:-2]) / (lw[2:] - lw[:-2])
    return _peaks(w[1:-1], d, 0.05 * mag[1:-1])


def _merged(a: tuple[tuple[float, float], ...], b: tuple[tuple[float, float], ...]) -> tuple[tuple[float, float], ...]:
    """The peaks of both lists, one per third of a decade (the first list's kept)."""
    out = list(a)
    for tau, h in b:
        if all(abs(math.log10(tau / t)) > 0.33 for t, _ in out):
            out.append((tau, h))
    return tuple(sorted(out))


def _leaves(series: Sequence[Any]) -> Iterator[tuple[str, int]]:
    for node in series:
        if isinstance(node, tuple):
            yield node
        else:
            for branch in node:
                yield from _leaves(branch)


def _arc_count(series: Sequence[Any], top: bool = True) -> int:
    n = 0
    for node in series:
        if isinstance(node, tuple):
            n += node[0] in _RELAXING or (top and node[0] in _DIFFUSING)
        else:
            n += 1 + sum(_arc_count(b, False) for b in node)
    return n


def arc_count(circuit: zetrion.Circuit) -> int:
    """How many time constants of its own the circuit's starts place: parallel
    groups, relaxing elements, and finite diffusion in series."""
    return _arc_count(_engine.structure(circuit))


class _Filler:
    """Writes one start: each arc takes the next (tau, R) of its plan."""

    def __init__(
        self,
        feats: SpectrumFeatures,
        arcs: Sequence[tuple[float, float]],
        n_params: int,
        diffusion: float = 1.0,
        apart: bool = False,
    ) -> None:
        self.x = feats
        self.arcs = list(arcs)
        self.next_arc = 0
        self.v = [math.nan] * n_params
        self.diffusion = diffusion  # scale of every diffusion element's magnitude and time
        # a branch's finite diffusion takes its group's arc, and the group's
        # own R-C pair a time constant near the fast end of the band
        self.apart = apart

    def diffusing(self, code: str, i: int, magnitude: float, tau: float) -> None:
        self.v[i] = magnitude * self.diffusion
        if code != "W":
            self.v[i + 1] = tau * self.diffusion

    def take_arc(self) -> tuple[float, float]:
        tau, r = self.arcs[min(self.next_arc, len(self.arcs) - 1)]
        self.next_arc += 1
        return tau, r

    def relaxing(self, code: str, i: int, tau: float, r: float) -> None:
        v = self.v
        if code in ("K", "Zarc"):
            v[i], v[i + 1] = r, tau
            if code == "Zarc":
                v[i + 2] = _ALPHA
        elif code in ("G", "Gs"):
            v[i], v[i + 1] = r, tau
            if code == "Gs":
                v[i + 2] = 1.0
        elif code == "TLMQ":
            v[i], v[i + 1], v[i + 2] = r, tau**_ALPHA / r, _ALPHA
        else:  # T
            v[i], v[i + 1], v[i + 2], v[i + 3] = r, r, 1.0, tau

    def series_leaf(self, code: str, i: int, share: float) -> None:
        """An element in series outside every arc."""
        x, v = self.x, self.v
        tail = max(abs(x.tail), 1e-12)
        if code == "R":
            v[i] = max(x.r_inf, 1e-3 * x.z_scale) * share
        elif code in ("L", "La"):
            l_est = x.inductance if x.inductance > 0 else 1e-3 * x.z_scale / x.w_hi
            v[i] = l_est
            if code == "La":
                v[i + 1] = 0.9
        elif code == "C":
            v[i] = 1.0 / (x.w_lo * max(abs(x.tail.imag), 1e-3 * x.z_scale))
        elif code == "CPE":
            alpha = min(max(-x.tail_slope, 0.5), 0.95)
            v[i], v[i + 1] = 1.0 / (tail * x.w_lo**alpha), alpha
        elif code == "W":
            self.diffusing(code, i, max(abs(x.tail.imag), 1e-3 * x.z_scale) * math.sqrt(x.w_lo), 0.0)
        elif code in _DIFFUSING:
            tau, r = self.take_arc()
            self.diffusing(code, i, r, tau)
        elif code in _RELAXING:
            self.relaxing(code, i, *self.take_arc())

    def branch_leaf(self, code: str, i: int, tau: float, r: float, capacitive: bool) -> None:
        """An element in a branch of an arc with time constant tau and resistance r."""
        v = self.v
        if code == "R":
            v[i] = r
        elif code == "C":
            v[i] = tau / r if capacitive else 10 * tau / r
        elif code == "CPE":
            v[i], v[i + 1] = tau**_ALPHA / r, _ALPHA
        elif code in ("L", "La"):
            v[i] = 1e-3 * r * tau
            if code == "La":
                v[i + 1] = 0.9
        elif code == "W":
            self.diffusing(code, i, r * math.sqrt(self.x.w_lo), 0.0)
        elif code in ("Wo", "Ws"):
            # a branch's diffusion starts where its arc ends
            self.diffusing(code, i, r, 3 * tau)
        else:
            self.relaxing(code, i, *self.take_arc())

    def group(self, branches: Sequence[Sequence[Any]]) -> None:
        tau, r = self.take_arc()
        own_tau = tau
        if self.apart and any(isinstance(n, tuple) and n[0] in _DIFFUSING for b in branches for n in b):
            lo, hi = math.log10(1.0 / self.x.w_hi), math.log10(1.0 / self.x.w_lo)
            own_tau = min(10 ** (lo + 0.15 * (hi - lo)), tau / 100)
        for branch in branches:
            capacitive = all(isinstance(n, tuple) and n[0] in _CAPACITIVE for n in branch)
            for node in branch:
                if isinstance(node, tuple) and node[0] in _DIFFUSING and own_tau != tau:
                    self.diffusing(node[0], node[1], r, tau)
                elif isinstance(node, tuple):
                    self.branch_leaf(node[0], node[1], own_tau, r, capacitive)
                else:
                    self.group(node)

    def fill(self, structure: Sequence[Any]) -> list[float]:
        bare_r = sum(1 for n in structure if isinstance(n, tuple) and n[0] == "R")
        for node in structure:
            if isinstance(node, tuple):
                self.series_leaf(node[0], node[1], 1.0 / max(bare_r, 1))
            else:
                self.group(node)
        return self.v


def _arc_plans(feats: SpectrumFeatures, n_arcs: int) -> list[tuple[str, list[tuple[float, float]]]]:
    """(name, [(tau, R) per arc, fastest first]) for the starts to try."""
    spread = max(feats.r_low - feats.r_inf, 0.1 * feats.z_scale)
    lo, hi = math.log10(1.0 / feats.w_hi), math.log10(1.0 / feats.w_lo)
    taus = np.logspace(lo + 0.15 * (hi - lo), hi - 0.15 * (hi - lo), n_arcs) if n_arcs > 1 else [10 ** (0.5 * (lo + hi))]
    even = [(float(t), spread / n_arcs) for t in taus]
    plans = []
    peaks = sorted(feats.peaks, key=lambda p: -p[1])[:n_arcs]
    if peaks:
        found = sorted((tau, 2.5 * h) for tau, h in peaks)
        # arcs with no peak of their own fall between or beyond the ones seen
        extra = [p for p in even if all(abs(math.log10(p[0] / t)) > 0.5 for t, _ in found)]
        plans.append(("data: arcs from peaks", sorted(found + extra[: n_arcs - len(found)])[:n_arcs]))
    plans.append(("data: arcs over the band", even))
    # an arc much smaller than the rest leaves no peak of its own: one arc
    # takes most of the spread in turn
    if n_arcs > 1:
        for j in range(n_arcs):
            plans.append(
                (f"data: arc {j + 1} dominant", [(t, spread * (0.8 if k == j else 0.2 / (n_arcs - 1))) for k, (t, _) in enumerate(even)])
            )
    return [(name, arcs + [arcs[-1]] * (n_arcs - len(arcs))) for name, arcs in plans]


def data_starts(
    circuit: zetrion.Circuit, f: FloatArray, z: ComplexArray, limit: int = 12, *, rare: bool = True
) -> list[tuple[str, list[float]]]:
    """Starting vectors read from the spectrum, each named, at most ``limit``.

    The first assigns the arcs found in the spectrum in reading order; the
    others spread the arcs over the band, and assign the time constants in
    other orders (every order for up to three arcs, else the reverse and
    rotations). With ``rare``, where room is left, starts for layouts the
    readings seldom show follow (a branch's diffusion far slower than its
    group's arc). Values are clamped into the circuit's bounds.
    """
    structure = _engine.structure(circuit)
    feats = read_features(f, z)
    n_arcs = max(_arc_count(structure), 1)
    n = len(circuit.param_names())
    bounds = circuit.param_bounds()
    orders = list(itertools.permutations(range(n_arcs))) if n_arcs <= 3 else [
        tuple(range(n_arcs)), tuple(reversed(range(n_arcs))),
        *(tuple((k + s) % n_arcs for k in range(n_arcs)) for s in range(1, n_arcs)),
    ]
    plans = [(name, arcs, 1.0) for name, arcs in _arc_plans(feats, n_arcs)]
    if any(code in ("W", "Wo", "Ws") for code, _ in _leaves(structure)):
        # diffusion's size and knee are the least certain readings: try them a decade either way
        first = plans[0]
        plans[1:1] = [(f"{first[0]}, diffusion x{s:g}", first[1], s) for s in (10.0, 0.1)]
    out: list[tuple[str, list[float]]] = []
    # every plan in reading order first, then every plan in the next order, ...
    for k, order in enumerate(orders):
        for name, arcs, scale in plans:
            if len(out) == limit:
                return out
            values = _Filler(feats, [arcs[j] for j in order], n, scale).fill(structure)
            label = name if k == 0 else f"{name}, order {'-'.join(str(j + 1) for j in order)}"
            out.append((label, _clamped(values, bounds, circuit)))
    if rare and _branch_diffusion(structure):
        # where room is left: a diffusion in a group's branch often relaxes far
        # slower than the group's own R-C pair, whose arc may not show at all
        first = plans[0]
        for order in orders[: limit - len(out)]:
            values = _Filler(feats, [first[1][j] for j in order], n, apart=True).fill(structure)
            label = f"{first[0]}, diffusion apart, order {'-'.join(str(j + 1) for j in order)}"
            out.append((label, _clamped(values, bounds, circuit)))
    return out


def _branch_diffusion(series: Sequence[Any]) -> bool:
    """Whether a finite diffusion element sits directly in a parallel group's branch."""
    for node in series:
        if isinstance(node, tuple):
            continue
        for branch in node:
            if any(isinstance(n, tuple) and n[0] in _DIFFUSING for n in branch) or _branch_diffusion(branch):
                return True
    return False


def _clamped(values: list[float], bounds: Sequence[tuple[float, float]], circuit: zetrion.Circuit) -> list[float]:
    defaults = circuit.param_values()
    out = []
    for v, (lo, hi), d in zip(values, bounds, defaults):
        if not math.isfinite(v):
            v = d
        if math.isfinite(hi):
            span = hi - lo
            v = min(max(v, lo + 0.02 * span), hi - 0.02 * span)
        else:
            v = max(v, lo * 10)
        out.append(float(v))
    return out


_OPEN_FACTORS = (1.0, 3.0, 1.0 / 3.0, 8.0, 0.125)
_CLOSED_FRACTIONS = (0.2, 0.4, 0.6, 0.8)


def cheapest_variant(
    circuit: zetrion.Circuit, values: Sequence[float], f: FloatArray, z: ComplexArray, weight: str = "modulus"
) -> list[float]:
    """Of the scaled variants of a start the solver's own fit tries first, the one of lowest cost.

    The variants scale every parameter open above by 3, 1/3, 8 or 1/8 at
    once, or set every exponent to a fifth, two fifths, ... of its range.
    A short run from the start itself and one from this variant often end
    in different valleys; screening both costs little.
    """
    bounds = circuit.param_bounds()
    closed = [math.isfinite(hi) for _, hi in bounds]
    variants = [[v * k if not c else v for v, c in zip(values, closed)] for k in _OPEN_FACTORS]
    variants += [
        [lo + (hi - lo) * q if c else v for v, c, (lo, hi) in zip(values, closed, bounds)] for q in _CLOSED_FRACTIONS
    ]
    # the module's own weightings; any other ranks the variants by modulus
    plain: Literal["modulus", "unit"] = "unit" if weight == "unit" else "modulus"
    best, best_cost = list(values), math.inf
    for vec in variants:
        try:
            r = np.asarray(circuit.residuals(vec, f, z, plain), dtype=np.float64)
        except ValueError:
            continue
        cost = float(r @ r)
        if cost < best_cost:  # the first of equal costs, as a stable sort keeps it
            best, best_cost = vec, cost
    return [float(v) for v in best]


# An arc whose impedance stays below _DEAD of the largest arc's over the
# band, or whose reactance stays below _FLAT of its own impedance (an R-C
# arc's peak 1.3 decades outside the band), has died in the fit: the solver
# has shorted it, parked it, or made it a resistance.
_DEAD = 0.02
_FLAT = 0.05
# Arcs whose -Im peaks lie closer than this (decades) have merged in the fit.
_MERGED = 0.1
# Where a dead arc is tried beside a live one (decades from its time
# constant) and the share of the live arc's size it takes there.
_BESIDE = (-1.5, -0.75, 0.75, 1.5)
_BESIDE_SHARE = 0.25
# A dead arc revived where the fit misses most takes these multiples of the
# misfit there as its size; the misfit is smoothed over this many points.
_REVIVE_SHARES = (2.0, 8.0)
_MISFIT_SMOOTH = 5
# A live arc split in two halves this far either side of its time constant.
_SPLIT = (0.3, 0.7)
_NEIGHBOUR_LIMIT = 12


@dataclass(frozen=True)
class ArcShape:
    """One relaxing part of a fitted circuit, as the band sees it.

    ``tau`` is ``1 / w`` at the peak of its ``-Im Z`` (within a decade of
    the band), ``size`` its largest ``|Z|`` inside the band (ohm), ``swing``
    its largest ``|Im Z|`` there, ``params`` the indices of its parameters
    in the circuit's order.
    """

    notation: str
    params: tuple[int, ...]
    tau: float
    size: float
    swing: float = math.inf

    def flat(self) -> bool:
        """Whether the arc relaxes nowhere in the band: a resistance in all but name."""
        return self.size > 0 and not self.swing >= _FLAT * self.size

    def dead(self, largest: float) -> bool:
        """Whether the arc contributes next to nothing beside the largest one,
        or is flat."""
        return not self.size >= _DEAD * largest or self.flat()


def _block_notation(node: Any, names: Sequence[str]) -> str:
    if isinstance(node, tuple):
        return names[node[1]].split(".")[0]
    return "(" + ",".join("-".join(_block_notation(n, names) for n in branch) for branch in node) + ")"


def _arc_blocks(circuit: zetrion.Circuit) -> list[tuple[str, tuple[int, ...]]]:
    """The circuit's top-level relaxing parts: notation and parameter indices."""
    names = list(circuit.param_names())
    out = []
    for node in _engine.structure(circuit):
        if isinstance(node, tuple) and node[0] not in _RELAXING and node[0] not in _DIFFUSING:
            continue
        leaves = [node] if isinstance(node, tuple) else list(_leaves([node]))
        labels = {names[i].split(".")[0] for _, i in leaves}
        idx = tuple(k for k, n in enumerate(names) if n.split(".")[0] in labels)
        out.append((_block_notation(node, names), idx))
    return out


def arc_shapes(circuit: zetrion.Circuit, values: Sequence[float], f: FloatArray) -> list[ArcShape]:
    """Time constant and size of each relaxing part of the circuit at ``values``.

    Each part is evaluated alone, over the band of ``f`` (Hz) and a decade
    either side of it. A part that cannot be evaluated alone is left out.
    """
    f_lo, f_hi = float(np.min(f)), float(np.max(f))
    grid = np.geomspace(10 * f_hi, 0.1 * f_lo, 41)
    band = (grid >= f_lo * (1 - 1e-9)) & (grid <= f_hi * (1 + 1e-9))
    out = []
    for notation, idx in _arc_blocks(circuit):
        try:
            part = _parsed_block(notation).with_values([float(values[i]) for i in idx])
            zz = np.asarray(part.impedance(grid), dtype=np.complex128)
        except ValueError:
            continue
        mag = np.abs(zz[band])
        finite = bool(np.all(np.isfinite(mag)))
        size = float(np.max(mag)) if finite else 0.0
        swing = float(np.max(np.abs(zz[band].imag))) if finite else 0.0
        k = int(np.argmax(np.nan_to_num(-zz.imag, nan=-np.inf)))
        out.append(ArcShape(notation, idx, 1.0 / (2 * math.pi * float(grid[k])), size, swing))
    return out


@functools.lru_cache(maxsize=256)
def _parsed_block(notation: str) -> zetrion.Circuit:
    return zetrion.Circuit(notation)


def dead_arc(circuit: zetrion.Circuit, values: Sequence[float], f: FloatArray) -> bool:
    """Whether some arc of the circuit at ``values`` contributes next to
    nothing beside the largest one over the band of ``f``, or two arcs peak
    at one time constant."""
    shapes = arc_shapes(circuit, values, f)
    largest = max((a.size for a in shapes), default=0.0)
    return len(shapes) >= 2 and (any(a.dead(largest) for a in shapes) or _merged_arcs(shapes))


def flat_arc(circuit: zetrion.Circuit, values: Sequence[float], f: FloatArray) -> bool:
    """Whether some arc of the circuit at ``values`` (of two or more) relaxes
    nowhere in the band of ``f``: a resistance in all but name."""
    shapes = arc_shapes(circuit, values, f)
    return len(shapes) >= 2 and any(a.flat() for a in shapes)


def _merged_arcs(shapes: Sequence[ArcShape]) -> bool:
    """Whether two arcs peak at one time constant (a dead arc alone is no sign:
    most are dead in the data too, and then the fit names them undetermined)."""
    taus = sorted(math.log10(a.tau) for a in shapes)
    return any(b - a < _MERGED for a, b in zip(taus, taus[1:]))


def _misfit_peak(circuit: zetrion.Circuit, values: Sequence[float], f: FloatArray, z: ComplexArray) -> tuple[float, float]:
    """Time constant and size of the largest stretch of misfit: where the
    relative misfit, smoothed over neighbouring points, peaks, and the misfit
    there in ohm."""
    fitted = np.asarray(circuit.with_values(list(values)).impedance(f), dtype=np.complex128)
    miss = np.abs(fitted - z)
    rel = np.nan_to_num(miss / np.maximum(np.abs(z), 1e-300), nan=0.0, posinf=0.0)
    width = min(_MISFIT_SMOOTH, rel.size)
    smooth = np.convolve(rel, np.ones(width) / width, mode="same")
    k = int(np.argmax(smooth))
    return 1.0 / (2 * math.pi * float(f[k])), float(np.nan_to_num(miss[k], nan=0.0)) or float(np.abs(z[k]))


def neighbour_starts(
    circuit: zetrion.Circuit, values: Sequence[float], f: FloatArray, z: ComplexArray, force: bool = False
) -> list[tuple[str, list[float]]]:
    """Starts in the neighbouring valleys of a fit whose arcs died or merged.

    With two arcs or more, a fit of sparse or noisy data often ends with one
    arc doing the work of two: the other shorted, parked outside the band or
    sitting on the same time constant. The optimum is then frequently a
    valley away, where a small arc sits beside the large one. Each start
    keeps ``values`` except for one or two arcs: a dead arc placed beside a
    live one (a quarter of its size, 0.75 or 1.5 decades either side), and a
    live arc split in two halves a little either side of its time constant
    (the other half taken by a dead arc or, with none, by its nearest
    neighbour). None unless two arcs have merged or ``force`` is given (the
    caller's sign that the fit left something undetermined).
    """
    shapes = arc_shapes(circuit, values, f)
    if len(shapes) < 2 or not (force or _merged_arcs(shapes)):
        return []
    feats = read_features(f, z)
    structure = _engine.structure(circuit)
    n, bounds = len(values), circuit.param_bounds()
    largest = max(a.size for a in shapes)
    dead = [j for j, a in enumerate(shapes) if a.dead(largest)]
    live = [j for j in range(len(shapes)) if j not in dead]
    out: list[tuple[str, list[float]]] = []

    in_arcs = {i for a in shapes for i in a.params}
    # a series part the fit shorted (at its lower bound, or a millionth of
    # what the data read for it) may be what a dead arc stood in for: it is
    # read from the data again
    read = _Filler(feats, [(a.tau, a.size) for a in shapes], n).fill(structure)
    shorted = [
        i for i in range(n)
        if i not in in_arcs and (0 < bounds[i][0] and values[i] <= 10 * bounds[i][0] or 0 <= values[i] < 1e-6 * read[i])
    ]

    def make(label: str, plan: dict[int, tuple[float, float]]) -> None:
        vec = list(values)
        for j, (tau, r) in plan.items():
            filled = _Filler(feats, [(tau, r)] * len(shapes), n).fill(structure)
            for i in shapes[j].params:
                vec[i] = filled[i]
        for i in shorted:  # series parts read the same whatever the arcs' plan
            vec[i] = read[i]
        out.append((label, _clamped(vec, bounds, circuit)))

    if dead:
        # where the fit misses most, a dead arc may be the feature it lacks
        tau, size = _misfit_peak(circuit, values, f, z)
        for j in dead:
            for share in _REVIVE_SHARES:
                make(f"arc {j + 1} where the fit misses, x{share:g}", {j: (tau, share * size)})
    for j in dead:
        for a in live:
            for step in _BESIDE:
                make(f"arc {j + 1} beside arc {a + 1}, {step:+g} decades",
                     {j: (shapes[a].tau * 10**step, _BESIDE_SHARE * shapes[a].size)})
    for a in live:
        others = dead or sorted((b for b in live if b != a), key=lambda b: abs(math.log10(shapes[b].tau / shapes[a].tau)))[:1]
        for b in others:
            tau, half = shapes[a].tau, 0.5 * shapes[a].size
            for d in _SPLIT:
                for sign in (1, -1):
                    make(f"arc {a + 1} split with arc {b + 1}, {sign * d:+g} decades",
                         {a: (tau * 10 ** (-sign * d), half), b: (tau * 10 ** (sign * d), half)})
    return out[:_NEIGHBOUR_LIMIT]
