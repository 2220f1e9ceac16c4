"""Synthetic training spectra that look like instrument measurements.

For any circuit notation the parser accepts, `draw` returns spectra with a
random sweep (upper frequency 1 kHz - 1 MHz, lower 1 mHz - 10 Hz, 5 - 20
points per decade, usually swept downwards), random parameters drawn per
element kind so that the features of the circuit show inside the sweep, and
relative complex noise of 0 - 3 %. The distribution is described in
training/README.md.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np

import zetrion

TWO_PI = 6.283185307179586


@dataclass
class Spectrum:
    f: np.ndarray  # Hz, in sweep order
    z: np.ndarray  # ohm
    truth: np.ndarray  # parameters in param_names() order
    noise: float


def _sweep(rng):
    f_hi = 10 ** rng.uniform(3, 6)
    f_lo = 10 ** rng.uniform(-3, 1)
    ppd = rng.uniform(5, 20)
    n = max(int(round(math.log10(f_hi / f_lo) * ppd)) + 1, 8)
    f = np.geomspace(f_hi, f_lo, n)  # instruments mostly sweep downwards
    if rng.random() < 0.3:
        f = f[::-1].copy()
    return f


def _leaves(notation):
    """(kind class name, label, parameter names, branch depth) per leaf, in parameter order."""
    c = zetrion.Circuit(notation)
    names = c.param_names()
    leaves = []
    for name in names:
        label, param = name.rsplit(".", 1)
        if leaves and leaves[-1][1] == label:
            leaves[-1][2].append(param)
        else:
            kind = label.rstrip("0123456789")
            leaves.append([kind, label, [param]])
    return names, leaves


def _draw_parameters(notation, names, leaves, rng, w_lo, w_hi):
    """Physical parameters whose time constants fall inside or near the sweep."""
    lw_lo, lw_hi = math.log10(w_lo), math.log10(w_hi)
    values = {}
    r_series = 10 ** rng.uniform(-1, 3)
    # Time constants of the arcs: inside the band, ordered from fast to slow by
    # label number so that arc k is always the k-th fastest.
    arc_labels = sorted({lbl for kind, lbl, _ in leaves if kind in ("C", "CPE", "Cpe")}, key=lambda s: int(s.lstrip("CPEcpe") or 0))
    n_arcs = len(arc_labels)
    if n_arcs:
        # Arcs well inside the band, at least a decade apart, fastest first.
        span = (lw_hi - 0.2) - (lw_lo + 0.2)
        gaps = 1.0 * (n_arcs - 1)
        free = max(span - gaps, 0.0)
        cuts = np.sort(rng.uniform(0.0, free, n_arcs))[::-1]
        lw = lw_lo + 0.2 + cuts + gaps - 1.0 * np.arange(n_arcs)
        arc_w = {lbl: 10 ** lw[i] for i, lbl in enumerate(arc_labels)}
    for kind, label, params in leaves:
        num = label[len(kind) :]
        if kind == "R":
            # Arc resistances from a tenth of the series resistance to 300
            # times it, so that every arc stands out of 3 % noise.
            values[label + ".r"] = r_series if num == "0" else r_series * 10 ** rng.uniform(-1.0, 2.5)
    for kind, label, params in leaves:
        num = label[len(kind) :]
        r_arc = values.get("R" + num + ".r", 10 ** rng.uniform(0, 3))
        if kind == "C":
            values[label + ".c"] = 1.0 / (arc_w[label] * r_arc)
        elif kind in ("CPE", "Cpe"):
            a = rng.uniform(0.5, 1.0)
            tau = 1.0 / arc_w[label]
            values[label + ".q"] = tau**a / r_arc
            values[label + ".alpha"] = a
        elif kind == "L":
            # a visible inductive tail: |jwL| at the top frequency comparable to R0
            values[label + ".l"] = r_series * 10 ** rng.uniform(-1.3, 0.7) / w_hi
        elif kind == "W":
            # a visible diffusion tail at the lowest frequency
            values[label + ".aw"] = r_arc * 10 ** rng.uniform(-0.7, 0.7) * math.sqrt(w_lo)
        elif kind in ("Wo", "Ws"):
            # The diffusion knee (1 / tau) at least a decade below the branch's
            # arc, so that z0 and tau stay distinguishable from the arc's R.
            arc = arc_w.get("CPE" + num, arc_w.get("C" + num)) if n_arcs else None
            lw_arc = math.log10(arc) if arc else lw_lo + 1.0
            values[label + ".z0"] = r_arc * 10 ** rng.uniform(-0.3, 1.0)
            values[label + ".tau"] = 1.0 / 10 ** rng.uniform(lw_lo - 0.5, max(lw_arc - 1.0, lw_lo - 0.4))
        elif kind == "R":
            pass
        else:
            # Other kinds: their defaults scaled into the band.
            defaults = zetrion.Circuit(label).param_values()
            for p, d in zip(params, defaults):
                values[label + "." + p] = d if p in ("alpha", "gamma") else d * 10 ** rng.uniform(-1, 1)
    return np.array([values[n] for n in names])


def draw(notation, count, seed, noise_max=0.03, noise=None, noise_min=0.0):
    """`count` spectra of the circuit, reproducible from `seed`."""
    rng = np.random.default_rng(seed)
    names, leaves = _leaves(notation)
    circuit = zetrion.Circuit(notation)
    out = []
    while len(out) < count:
        f = _sweep(rng)
        truth = _draw_parameters(notation, names, leaves, rng, TWO_PI * f.min(), TWO_PI * f.max())
        z = circuit.with_values(truth).impedance(f)
        sigma = rng.uniform(noise_min, noise_max) if noise is None else noise
        z = z * (1 + sigma / math.sqrt(2) * (rng.normal(size=f.size) + 1j * rng.normal(size=f.size)))
        if not np.all(np.isfinite(z)):
            continue
        out.append(Spectrum(f, z, truth, sigma))
    return out
