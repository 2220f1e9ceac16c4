"""The automatic linear Kramers-Kronig test: representation, series elements and M chosen from the data.

The classic choice of M (the smallest M whose mu falls to c) stops early on
spectra whose relaxations are sharp, such as physical dummy circuits: with
time constants that fall between the true ones, the chain needs resistances
of both signs long before it fits the data, mu drops, and the test stops at
residuals of tens of percent. Following the ideas of Yrjänä and Bobacka
(Electrochim. Acta 504 (2024) 144951) the choice here looks at the whole
curve of the fit against M instead:

- the pseudo chi-square ``chi2(M) = sum |Z - Z_fit|^2 / |Z|^2`` falls
  steeply while the chain is too short and levels off at the noise of the
  measurement (or at the size of what violates Kramers-Kronig);
- past some M the chain fits the noise with resistances of alternating
  sign, whose norm then grows by orders of magnitude: the trials stop
  there (``GROWTH`` times the smallest norm seen so far), and at ``max_M``;
- M is the smallest count whose chi2 lies within ``KAPPA`` times the
  lowest chi2 of the trials: the start of the plateau.

The test runs on the impedance and on the admittance (the dual circuit:
a conductance, series R-C branches in parallel, a parallel capacitance and
inductance), with and without the reactive extra elements when they are
left to ``"auto"``; the set-up with the smallest information criterion
``2N ln(chi2 / 2N) + 2 (unknowns)`` is kept, so an extra element or a
longer chain must pay for itself in fit.
"""

from __future__ import annotations

import itertools
import math
from dataclasses import dataclass

import numpy as np
from numpy.typing import NDArray

from .test import TINY, log_spaced, over_fit_measure

__all__ = ["GROWTH", "KAPPA", "Setup", "Trial", "best_test", "run_setup", "setups"]

# M is the smallest count whose chi2 is within KAPPA times the lowest.
KAPPA = 2.0
# The trials stop once the resistances' norm exceeds GROWTH times the
# smallest norm seen: the chain has started to fit the noise.
GROWTH = 10.0


@dataclass(frozen=True)
class Setup:
    """One variant of the test: what is fitted and how.

    ``representation`` is ``"impedance"`` (series R_0, RC elements, series C
    and L) or ``"admittance"`` (parallel G_0, series R-C branches, parallel
    C and L); ``add_cap``/``add_inductance`` add the capacitance and the
    inductance of that circuit.
    """

    representation: str
    add_cap: bool
    add_inductance: bool
    fit_type: str = "complex"

    @property
    def extras(self) -> int:
        return int(self.add_cap) + int(self.add_inductance)


@dataclass(frozen=True, eq=False)
class Trial:
    """The fit of one set-up at one M.

    ``coef`` holds the constant term (R_0 or G_0), the M branch
    coefficients (R_k or G_k = 1/R_k), then the capacitance term (1/C for
    the impedance, C for the admittance) and the inductance term (L or 1/L)
    when present, all in the units of the data. ``z_fit`` is the fitted
    impedance; ``chi2`` the sum of squared relative residuals.
    """

    setup: Setup
    M: int
    time_constants: NDArray[np.float64]
    coef: NDArray[np.float64]
    z_fit: NDArray[np.complex128]
    chi2: float
    mu: float
    norm: float


def setups(representation: str, add_cap: bool | str, add_inductance: bool | str, fit_type: str) -> list[Setup]:
    """Every set-up the options leave open (``"auto"`` tries both)."""
    reps = ("impedance", "admittance") if representation == "auto" else (representation,)
    caps = (False, True) if add_cap == "auto" else (bool(add_cap),)
    inds = (False, True) if add_inductance == "auto" else (bool(add_inductance),)
    return [Setup(r, c, i, fit_type) for r, c, i in itertools.product(reps, caps, inds)]


def _columns(w: NDArray[np.float64], taus: NDArray[np.float64], s: Setup) -> NDArray[np.complex128]:
    """The complex basis: constant, M branches, [capacitance], [inductance].

    The reactive columns are scaled to order one at the edges of the range
    of time constants (undone on the coefficients by :func:`_unscale`).
    """
    wt = np.multiply.outer(w, taus)
    cols = [np.ones((w.size, 1), dtype=np.complex128)]
    if s.representation == "impedance":
        cols.append(1.0 / (1.0 + 1j * wt))
        cap, ind = -1j / (w * taus[-1]), 1j * w * taus[0]
    else:
        cols.append(1j * wt / (1.0 + 1j * wt))
        cap, ind = 1j * w * taus[0], -1j / (w * taus[-1])
    if s.add_cap:
        cols.append(cap[:, None])
    if s.add_inductance:
        cols.append(ind[:, None])
    return np.hstack(cols)


def _unscale(coef: NDArray[np.float64], taus: NDArray[np.float64], s: Setup) -> NDArray[np.float64]:
    out = coef.copy()
    k = 1 + taus.size
    if s.add_cap:
        out[k] *= 1.0 / taus[-1] if s.representation == "impedance" else taus[0]
        k += 1
    if s.add_inductance:
        out[k] *= taus[0] if s.representation == "impedance" else 1.0 / taus[-1]
    return out


def _solve(a: NDArray[np.complex128], b: NDArray[np.complex128], fit_type: str) -> NDArray[np.float64]:
    """Real coefficients of the weighted basis a fitted to b.

    ``"real"`` fits the real parts with the columns that have one, then what
    is left of the imaginary part with the purely reactive columns;
    ``"imag"`` the other way round.
    """
    if fit_type == "complex":
        stacked = np.vstack([a.real, a.imag])
        return np.asarray(np.linalg.lstsq(stacked, np.concatenate([b.real, b.imag]), rcond=None)[0])
    first, second = (a.real, a.imag) if fit_type == "real" else (a.imag, a.real)
    rhs1, rhs2 = (b.real, b.imag) if fit_type == "real" else (b.imag, b.real)
    used = np.abs(first).max(axis=0) > 0
    coef = np.zeros(a.shape[1])
    coef[used] = np.linalg.lstsq(first[:, used], rhs1, rcond=None)[0]
    rest = ~used
    if rest.any():
        left = rhs2 - second[:, used] @ coef[used]
        coef[rest] = np.linalg.lstsq(second[:, rest], left, rcond=None)[0]
    return coef


def fit_at(w: NDArray[np.float64], z: NDArray[np.complex128], M: int, s: Setup) -> Trial:
    """The fit of set-up s with M branches to the impedances z at angular frequencies w."""
    taus = log_spaced(1.0 / w.max(), 1.0 / w.min(), M)
    target = z if s.representation == "impedance" else 1.0 / z
    mod = np.abs(target)
    basis = _columns(w, taus, s)
    coef = _solve(basis / mod[:, None], target / mod, s.fit_type)
    fitted = basis @ coef
    with np.errstate(divide="ignore", invalid="ignore"):
        z_fit = fitted if s.representation == "impedance" else 1.0 / fitted
    rel = (z - z_fit) / np.abs(z)
    chi2 = float(np.sum(rel.real**2 + rel.imag**2)) if np.isfinite(rel).all() else math.inf
    branch = coef[1 : M + 1]
    # a conductance G_k has the sign of the resistance 1/G_k it stands for
    scale = float(mod.max())
    mu = over_fit_measure(branch, scale)
    return Trial(s, M, taus, _unscale(coef, taus, s), z_fit.astype(np.complex128), chi2, mu,
                 float(np.linalg.norm(branch)))


def _largest_M(n: int, s: Setup, max_M: int) -> int:
    """The most branches the data leave room for: at least two equations
    more than unknowns (sparse spectra need a dense chain)."""
    equations = 2 * n if s.fit_type == "complex" else n
    return max(1, min(max_M, equations - 3 - s.extras))


def run_setup(
    w: NDArray[np.float64], z: NDArray[np.complex128], s: Setup, max_M: int, c: float | None = None
) -> tuple[list[Trial], int]:
    """The trials M = 1, 2, ... of set-up s and the index of the chosen one.

    ``c`` None: the plateau rule of this module. A number: the classic rule,
    the first M whose mu falls to c (the last trial when none does).
    """
    trials: list[Trial] = []
    smallest = math.inf
    for M in range(1, _largest_M(z.size, s, max_M) + 1):
        t = fit_at(w, z, M, s)
        if c is not None:
            trials.append(t)
            if t.mu <= c:
                break
            continue
        if M >= 3 and t.norm > GROWTH * smallest:
            break
        if M >= 2:
            smallest = min(smallest, t.norm)
        trials.append(t)
    return trials, len(trials) - 1 if c is not None else choose(trials)


def choose(trials: list[Trial]) -> int:
    """Index of the smallest M whose chi2 is within KAPPA of the lowest."""
    chi2 = np.array([t.chi2 for t in trials])
    lowest = float(np.min(chi2))
    # noise-free data: below rounding every M fits equally well
    limit = max(KAPPA * lowest, TINY * chi2.size)
    return int(np.flatnonzero(chi2 <= limit)[0])


def criterion(t: Trial, n: int) -> float:
    """Information criterion of a trial: fit against the number of unknowns."""
    rows = 2 * n
    unknowns = 1 + t.M + t.setup.extras
    return rows * math.log(max(t.chi2, 1e-300) / rows) + 2.0 * unknowns


def best_test(
    w: NDArray[np.float64],
    z: NDArray[np.complex128],
    candidates: list[Setup],
    max_M: int,
    c: float | None = None,
    fixed: bool = False,
) -> tuple[Trial, list[Trial]]:
    """The chosen trial over all set-ups, and the trials of its set-up up to it.

    ``fixed``: every set-up is fitted at ``max_M`` alone.
    """
    best: tuple[float, Trial, list[Trial]] | None = None
    for s in candidates:
        if fixed:
            trials, k = [fit_at(w, z, _largest_M(z.size, s, max_M), s)], 0
        else:
            trials, k = run_setup(w, z, s, max_M, c)
        score = criterion(trials[k], z.size)
        if best is None or score < best[0]:
            best = (score, trials[k], trials[: k + 1])
    assert best is not None
    return best[1], best[2]
