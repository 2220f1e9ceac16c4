"""Synthetic training spectra that look like instrument measurements.

For any circuit notation the parser accepts, `draw` returns spectra with a
random log-spaced sweep, parameters drawn per element kind so that the
feature of every element shows inside the sweep, and relative complex noise.
Three distributions are available:

``"standard"``
    What custom models are trained on by default: upper frequency
    1 kHz - 1 MHz, lower 1 mHz - 10 Hz, 5 - 20 points per decade (at least 8),
    noise 0 - 3 %, series resistance 0.1 ohm - 1 kohm, time constants at
    least 0.2 decades inside the band and a decade apart.
``"wide"``
    What instruments produce: 4 - 20 points per decade (at least 10), noise
    0 - 5 % with a few outlying points, series resistance 1 mohm - 10 kohm,
    time constants as close as half a decade and up to half a decade beyond
    either end of the band, Warburg tails from barely visible to dominant and
    the open-Warburg knee from 1.5 decades below the band to well inside it.
``"legacy"``
    The rule the built-in models were trained on (arcs paired with their
    resistors by label number; only R, C, CPE, L, W and Wo are placed). Kept
    so that their held-out sets stay reproducible.

The rules per element kind are tabulated in training/README.md.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, replace
from typing import Union

import numpy as np
import numpy.typing as npt

import zetrion

from ..engine import presets

from .eisnn import kind_of

TWO_PI = 6.283185307179586
FloatArray = npt.NDArray[np.float64]
ComplexArray = npt.NDArray[np.complex128]
DISTRIBUTIONS = ("standard", "wide", "legacy")

# The module's preset names and the notation each stands for.
PRESETS = presets()


def resolve(notation: str) -> str:
    """The notation itself, or the one a preset name (any case, padded) stands for."""
    return PRESETS.get(notation.strip().lower(), notation)


# Kinds that bring their own characteristic frequency and get a slot of
# their own, like a parallel group does.
SLOT_KINDS = ("K", "Zarc", "G", "Gs", "Tlmq", "T")


@dataclass(frozen=True)
class Ranges:
    """The knobs that differ between the standard and the wide distribution."""

    ppd: tuple[float, float]
    min_points: int
    noise_max: float
    outliers: bool
    series_decades: tuple[float, float]  # log10 of the series resistance, ohm
    arc_gap: float  # decades between neighbouring time constants
    edge: float  # decades between a time constant and the band edge (negative: outside)
    warburg_decades: tuple[float, float]  # log10 of |Z_W(w_lo)| / branch resistance
    wo_z0_decades: tuple[float, float]  # log10 of z0 / branch resistance
    wo_knee_below: float  # lowest knee, decades below the lowest angular frequency
    wo_knee_gap: float  # highest knee, decades below the branch's own arc


STANDARD = Ranges((5.0, 20.0), 8, 0.03, False, (-1.0, 3.0), 1.0, 0.2, (-0.7, 0.7), (-0.3, 1.0), 0.5, 1.0)
WIDE = Ranges((4.0, 20.0), 10, 0.05, True, (-3.0, 4.0), 0.5, -0.5, (-1.3, 1.3), (-1.0, 1.3), 1.5, 0.5)


@dataclass
class Spectrum:
    """One drawn spectrum and the parameters it was drawn from."""

    f: FloatArray  # Hz, in sweep order
    z: ComplexArray  # ohm
    truth: FloatArray  # parameters in param_names() order
    noise: float


# ---- notation structure ----------------------------------------------------

Node = Union[str, "list[list[Node]]"]  # an element label, or a group: a list of branches


def parse(notation: str) -> list[Node]:
    """The series list of a notation (already validated by `zetrion.Circuit`)."""
    text = notation.strip()
    pos = 0

    def series() -> list[Node]:
        nonlocal pos
        out = [term()]
        while pos < len(text) and text[pos] == "-":
            pos += 1
            out.append(term())
        return out

    def term() -> Node:
        nonlocal pos
        if text.startswith("(", pos) or text.startswith("p(", pos):
            pos += 1 if text[pos] == "(" else 2
            branches = [series()]
            while text[pos] == ",":
                pos += 1
                branches.append(series())
            pos += 1  # ")"
            return branches
        start = pos
        while pos < len(text) and (text[pos].isalpha() or text[pos].isdigit()):
            pos += 1
        return text[start:pos]

    return series()


def _slots(series: list[Node], out: list[object]) -> list[object]:
    """Groups and slot elements in reading order (the fastest comes first)."""
    for node in series:
        if isinstance(node, str):
            if kind_of(node) in SLOT_KINDS:
                out.append(node)
        else:
            out.append(id(node))
            for branch in node:
                _slots(branch, out)
    return out


# ---- sweeps and noise -----------------------------------------------------


def _sweep(rng: np.random.Generator, ranges: Ranges) -> FloatArray:
    f_hi = 10 ** rng.uniform(3, 6)
    f_lo = 10 ** rng.uniform(-3, 1)
    ppd = rng.uniform(*ranges.ppd)
    n = max(int(round(math.log10(f_hi / f_lo) * ppd)) + 1, ranges.min_points)
    f = np.geomspace(f_hi, f_lo, n)  # instruments mostly sweep downwards
    if rng.random() < 0.3:
        f = f[::-1].copy()
    return f


def _slot_frequencies(rng: np.random.Generator, count: int, lw_lo: float, lw_hi: float, ranges: Ranges) -> FloatArray:
    """log10 angular frequencies, fastest first, `arc_gap` apart where the band allows."""
    if count == 0:
        return np.empty(0)
    lo, hi = lw_lo + ranges.edge, lw_hi - ranges.edge
    gap = min(ranges.arc_gap, (hi - lo) / (count - 1)) if count > 1 else 0.0
    free = max(hi - lo - gap * (count - 1), 0.0)
    cuts = np.sort(rng.uniform(0.0, free, count))[::-1]
    lw: FloatArray = lo + cuts + gap * (count - 1 - np.arange(count))
    return lw


# ---- parameters per element kind -------------------------------------------


class _Drawer:
    def __init__(self, rng: np.random.Generator, ranges: Ranges, w_lo: float, w_hi: float) -> None:
        self.rng, self.ranges = rng, ranges
        self.w_lo, self.w_hi = w_lo, w_hi
        self.lw_lo, self.lw_hi = math.log10(w_lo), math.log10(w_hi)
        self.values: dict[str, float] = {}
        self.r_series = 10 ** rng.uniform(*ranges.series_decades)
        self.slot_w: dict[object, float] = {}
        self.top_r_seen = False

    def arc_resistance(self) -> float:
        # From a tenth of the series resistance to 300 times it, so that the
        # feature stands out of the noise without hiding everything else.
        return self.r_series * 10 ** self.rng.uniform(-1.0, 2.5)

    def series(self, series: list[Node], r_ref: float | None, w_group: float | None) -> None:
        group_r_seen = False
        for node in series:
            if isinstance(node, str):
                if kind_of(node) == "R" and r_ref is not None:
                    # The first resistor of a group is the arc's resistance.
                    r = r_ref if not group_r_seen else r_ref * 10 ** self.rng.uniform(-1.0, 1.0)
                    group_r_seen = True
                    self.values[node + ".r"] = r
                else:
                    self.element(node, r_ref, w_group)
            else:
                r_arc = self.arc_resistance()
                w = self.slot_w[id(node)]
                for branch in node:
                    self.series(branch, r_arc, w)

    def knee_tau(self, w_group: float | None) -> float:
        """Diffusion time constant: the knee 1/tau below the branch's arc."""
        rg = self.ranges
        lw_low = self.lw_lo - rg.wo_knee_below
        lw_high = math.log10(w_group) - rg.wo_knee_gap if w_group else self.lw_hi - 1.0
        lw_high = max(lw_high, lw_low + 0.1)
        return float(1.0 / 10 ** self.rng.uniform(lw_low, lw_high))

    def element(self, label: str, r_ref: float | None, w_group: float | None) -> None:
        rng, v, rg = self.rng, self.values, self.ranges
        kind = kind_of(label)
        in_group = r_ref is not None
        ref = r_ref if r_ref is not None else self.r_series * 10 ** rng.uniform(0.0, 2.0)
        w = self.slot_w.get(label, w_group)
        if kind == "R":  # only at the top level here
            v[label + ".r"] = self.r_series if not self.top_r_seen else self.r_series * 10 ** rng.uniform(-1.0, 1.0)
            self.top_r_seen = True
        elif kind == "C":
            # In a group: the arc's time constant. In series: a blocking
            # capacitor whose reactance at the lowest frequency is visible.
            v[label + ".c"] = 1.0 / (w * ref) if in_group and w else 1.0 / (self.w_lo * ref)
        elif kind == "Cpe":
            a = rng.uniform(0.5, 1.0)
            v[label + ".q"] = (1.0 / w) ** a / ref if in_group and w else 1.0 / (self.w_lo**a * ref)
            v[label + ".alpha"] = a
        elif kind in ("L", "La"):
            # |Z| at the top frequency (or the group's corner) comparable to
            # the series resistance: a visible inductive tail.
            target = ref if in_group else self.r_series * 10 ** rng.uniform(-1.3, 0.7)
            corner = w if in_group and w else self.w_hi
            if kind == "L":
                v[label + ".l"] = target / corner
            else:
                a = rng.uniform(0.5, 1.0)
                v[label + ".l"] = target ** (1.0 / a) / corner
                v[label + ".alpha"] = a
        elif kind == "W":
            # A diffusion tail at the lowest frequency, from barely visible to dominant.
            v[label + ".aw"] = ref * 10 ** rng.uniform(*rg.warburg_decades) * math.sqrt(self.w_lo)
        elif kind in ("Wo", "Ws"):
            v[label + ".z0"] = ref * 10 ** rng.uniform(*rg.wo_z0_decades)
            v[label + ".tau"] = self.knee_tau(w_group)
        elif kind in ("G", "Gs"):
            # Gerischer: the knee 1/tg at the element's own slot.
            r = self.arc_resistance()
            v[label + ".rg"] = r
            v[label + ".tg"] = 1.0 / self.slot_w[label]
            if kind == "Gs":
                # The finite length shows below the knee for phi up to about 3.
                v[label + ".phi"] = 10 ** rng.uniform(-0.5, 0.5)
        elif kind in ("K", "Zarc"):
            v[label + ".r"] = self.arc_resistance()
            v[label + ".tau_k"] = 1.0 / self.slot_w[label]
            if kind == "Zarc":
                v[label + ".gamma"] = rng.uniform(0.5, 1.0)
        elif kind == "Tlmq":
            # Transmission line: the 45-degree branch turns capacitive where
            # r_ion * qs * w^gamma = 1, placed at the element's slot.
            r = self.arc_resistance()
            g = rng.uniform(0.5, 1.0)
            v[label + ".r_ion"] = r
            v[label + ".qs"] = 1.0 / (r * self.slot_w[label] ** g)
            v[label + ".gamma"] = g
        elif kind == "T":
            # beta = sqrt(k_tau + j w tau) turns from resistive to diffusive
            # where w tau = max(k_tau, 1), placed at the element's slot.
            k = 10 ** rng.uniform(-1.0, 1.0)
            a = self.arc_resistance()
            v[label + ".a"] = a
            v[label + ".b"] = a * 10 ** rng.uniform(-1.0, 0.0)
            v[label + ".k_tau"] = k
            v[label + ".tau"] = max(k, 1.0) / self.slot_w[label]
        else:  # pragma: no cover - every kind of the catalogue is handled above
            raise ValueError(f"no drawing rule for element {label!r}")


def draw_parameters(notation: str, rng: np.random.Generator, w_lo: float, w_hi: float, ranges: Ranges = STANDARD) -> FloatArray:
    """Physical parameters, in `param_names()` order, whose features show between w_lo and w_hi (rad/s)."""
    notation = resolve(notation)
    tree = parse(notation)
    d = _Drawer(rng, ranges, w_lo, w_hi)
    slots = _slots(tree, [])
    lw = _slot_frequencies(rng, len(slots), d.lw_lo, d.lw_hi, ranges)
    d.slot_w = {s: float(10**x) for s, x in zip(slots, lw)}
    d.series(tree, None, None)
    names = zetrion.Circuit(notation).param_names()
    return np.array([d.values[n] for n in names])


def _legacy_parameters(notation: str, rng: np.random.Generator, w_lo: float, w_hi: float) -> FloatArray:
    """The built-in models' rule, unchanged (same draws in the same order)."""
    c = zetrion.Circuit(notation)
    names = c.param_names()
    leaves: list[tuple[str, str, list[str]]] = []
    for name in names:
        label, param = name.rsplit(".", 1)
        if leaves and leaves[-1][1] == label:
            leaves[-1][2].append(param)
        else:
            leaves.append((label.rstrip("0123456789"), label, [param]))
    lw_lo, lw_hi = math.log10(w_lo), math.log10(w_hi)
    values: dict[str, float] = {}
    r_series = 10 ** rng.uniform(-1, 3)
    arc_labels = sorted({lbl for kind, lbl, _ in leaves if kind in ("C", "CPE", "Cpe")}, key=lambda s: int(s.lstrip("CPEcpe") or 0))
    n_arcs = len(arc_labels)
    arc_w: dict[str, float] = {}
    if n_arcs:
        span = (lw_hi - 0.2) - (lw_lo + 0.2)
        gaps = 1.0 * (n_arcs - 1)
        free = max(span - gaps, 0.0)
        cuts = np.sort(rng.uniform(0.0, free, n_arcs))[::-1]
        lw = lw_lo + 0.2 + cuts + gaps - 1.0 * np.arange(n_arcs)
        arc_w = {lbl: float(10 ** lw[i]) for i, lbl in enumerate(arc_labels)}
    for kind, label, params in leaves:
        num = label[len(kind) :]
        if kind == "R":
            values[label + ".r"] = r_series if num == "0" else r_series * 10 ** rng.uniform(-1.0, 2.5)
    for kind, label, params in leaves:
        num = label[len(kind) :]
        r_arc = values.get("R" + num + ".r", 10 ** rng.uniform(0, 3))
        if kind == "C":
            values[label + ".c"] = 1.0 / (arc_w[label] * r_arc)
        elif kind in ("CPE", "Cpe"):
            a = rng.uniform(0.5, 1.0)
            values[label + ".q"] = (1.0 / arc_w[label]) ** a / r_arc
            values[label + ".alpha"] = a
        elif kind == "L":
            values[label + ".l"] = r_series * 10 ** rng.uniform(-1.3, 0.7) / w_hi
        elif kind == "W":
            values[label + ".aw"] = r_arc * 10 ** rng.uniform(-0.7, 0.7) * math.sqrt(w_lo)
        elif kind in ("Wo", "Ws"):
            arc = arc_w.get("CPE" + num, arc_w.get("C" + num)) if n_arcs else None
            lw_arc = math.log10(arc) if arc else lw_lo + 1.0
            values[label + ".z0"] = r_arc * 10 ** rng.uniform(-0.3, 1.0)
            values[label + ".tau"] = 1.0 / 10 ** rng.uniform(lw_lo - 0.5, max(lw_arc - 1.0, lw_lo - 0.4))
        elif kind != "R":
            defaults = zetrion.Circuit(label).param_values()
            for p, dv in zip(params, defaults):
                values[label + "." + p] = dv if p in ("alpha", "gamma") else dv * 10 ** rng.uniform(-1, 1)
    return np.array([values[n] for n in names])


def draw(
    notation: str,
    count: int,
    seed: int,
    noise_max: float | None = None,
    noise: float | None = None,
    noise_min: float = 0.0,
    distribution: str = "legacy",
) -> list[Spectrum]:
    """`count` spectra of the circuit, reproducible from `seed`.

    Parameters
    ----------
    notation : str
        Any circuit notation the parser accepts.
    count, seed : int
        How many spectra, and the seed of the random generator.
    noise_max, noise, noise_min : float, optional
        The relative noise level is uniform in [noise_min, noise_max] per
        spectrum (noise_max defaults to the distribution's), or `noise` exactly.
    distribution : {"legacy", "standard", "wide"}
        Which drawing rule; see the module docstring.
    """
    if distribution not in DISTRIBUTIONS:
        raise ValueError(f"distribution must be one of {DISTRIBUTIONS}, got {distribution!r}")
    notation = resolve(notation)
    ranges = WIDE if distribution == "wide" else STANDARD
    n_max = ranges.noise_max if noise_max is None else noise_max
    rng = np.random.default_rng(seed)
    circuit = zetrion.Circuit(notation)
    out: list[Spectrum] = []
    while len(out) < count:
        f = _sweep(rng, ranges)
        w_lo, w_hi = TWO_PI * float(f.min()), TWO_PI * float(f.max())
        if distribution == "legacy":
            truth = _legacy_parameters(notation, rng, w_lo, w_hi)
        else:
            truth = draw_parameters(notation, rng, w_lo, w_hi, ranges)
        z = np.asarray(circuit.with_values(list(truth)).impedance(f), dtype=np.complex128)
        sigma = rng.uniform(noise_min, n_max) if noise is None else noise
        z = z * (1 + sigma / math.sqrt(2) * (rng.normal(size=f.size) + 1j * rng.normal(size=f.size)))
        if ranges.outliers and rng.random() < 0.3:
            # A few points off by 5 - 15 %, as a contact glitch or a range switch gives.
            k = int(rng.integers(1, 4))
            idx = rng.choice(f.size, size=k, replace=False)
            z[idx] *= 1 + rng.uniform(0.05, 0.15, k) * np.exp(1j * rng.uniform(0, TWO_PI, k))
        if not np.all(np.isfinite(z)):
            continue
        out.append(Spectrum(f, z, truth, float(sigma)))
    return out


# Sparse, crowded spectra: 4 - 8 points per decade over a band of only 3.5 - 5
# decades, so that neighbouring arcs sit 0.6 decades apart or a little more,
# and relative noise up to 4 %: the hardest spectra a default fit meets.
SPARSE = replace(STANDARD, ppd=(4.0, 8.0), noise_max=0.04, arc_gap=0.6, edge=0.2)


def draw_sparse(notation: str, count: int, seed: int) -> list[Spectrum]:
    """`count` sparse spectra of the circuit (:data:`SPARSE`), reproducible from `seed`."""
    rng = np.random.default_rng(seed)
    circuit = zetrion.Circuit(notation)
    out: list[Spectrum] = []
    while len(out) < count:
        f_hi = 10 ** rng.uniform(3, 6)
        f = np.geomspace(f_hi, f_hi / 10 ** rng.uniform(3.5, 5.0), 2)
        n = max(int(round(math.log10(f[0] / f[1]) * rng.uniform(*SPARSE.ppd))) + 1, SPARSE.min_points)
        f = np.geomspace(f[0], f[1], n)
        w = TWO_PI * f
        truth = draw_parameters(notation, rng, float(w.min()), float(w.max()), SPARSE)
        z = np.asarray(circuit.with_values(list(truth)).impedance(f), dtype=np.complex128)
        sigma = rng.uniform(0.0, SPARSE.noise_max)
        z = z * (1 + sigma / math.sqrt(2) * (rng.normal(size=n) + 1j * rng.normal(size=n)))
        if np.all(np.isfinite(z)):
            out.append(Spectrum(f, z, truth, float(sigma)))
    return out
