"""Accuracy and usefulness of a guesser on held-out spectra.

Held-out spectra use seeds from 900000 on, never used in training. For each
parameter it reports the median absolute error of the guess (decades for
positive parameters, absolute for exponents), and the share of fits that
reach the global optimum (final cost at most 1.01 times the cost at the true
parameters, modulus weighting) from the learned guess and from the element
defaults.
"""

from __future__ import annotations

import time
import warnings
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field

import numpy as np
import numpy.typing as npt

import zetrion

from . import spectra

HELD_OUT_SEED = 900000
EXPONENTS = (".alpha", ".gamma")


@dataclass
class Evaluation:
    """Held-out figures of one model."""

    notation: str
    count: int
    distribution: str
    median_error: dict[str, float]  # per parameter: decades, or absolute for exponents
    noise_bands: dict[str, list[float]] = field(default_factory=dict)
    hit_guess: int | None = None  # fits from the learned guess that reach the optimum
    hit_default: int | None = None  # fits from the element defaults that do
    guess_ms: float = 0.0
    fit_ms_guess: float = 0.0
    misses: list[int] = field(default_factory=list)  # indices of held-out spectra missed from the guess

    @property
    def success_guess(self) -> float | None:
        return None if self.hit_guess is None else self.hit_guess / self.count

    @property
    def success_default(self) -> float | None:
        return None if self.hit_default is None else self.hit_default / self.count

    def report(self) -> str:
        """A printable table."""
        lines = [f"== {self.notation}: {self.count} held-out spectra ({self.distribution}); guess median {self.guess_ms:.3f} ms"]
        lines.append(f"{'parameter':>14} {'median err':>11} {'noise<1%':>9} {'1-2%':>9} {'2-3%':>9} {'>3%':>9}  unit")
        for n, med in self.median_error.items():
            unit = "abs" if n.endswith(EXPONENTS) else "decades"
            cols = " ".join(f"{v:9.4f}" for v in self.noise_bands.get(n, []))
            lines.append(f"{n:>14} {med:11.4f} {cols}  {unit}")
        if self.hit_guess is not None and self.hit_default is not None:
            lines.append(
                f"global optimum reached: from guess {self.hit_guess}/{self.count} ({100 * self.hit_guess / self.count:.1f} %), "
                f"from defaults {self.hit_default}/{self.count} ({100 * self.hit_default / self.count:.1f} %); "
                f"median fit from guess {self.fit_ms_guess:.2f} ms"
            )
        return "\n".join(lines)


def errors(names: Sequence[str], guess: Sequence[float], truth: Sequence[float] | npt.NDArray[np.float64]) -> list[float]:
    """Absolute guess errors: decades for positive parameters, plain for exponents."""
    out = []
    for n, g, t in zip(names, guess, truth):
        if n.endswith(EXPONENTS):
            out.append(abs(g - t))
        else:
            out.append(abs(float(np.log10(g)) - float(np.log10(t))) if g > 0 and np.isfinite(g) else np.inf)
    return out


def _median(a: npt.NDArray[np.float64]) -> float:
    return float(np.median(a)) if a.size else float("nan")


def evaluate(
    notation: str,
    weights: str | None,
    count: int = 500,
    seed: int = HELD_OUT_SEED,
    distribution: str = "standard",
    fits: bool = True,
    progress: Callable[[int, int], None] | None = None,
) -> Evaluation:
    """Guess errors and fit success of `weights` on `count` held-out spectra.

    Parameters
    ----------
    notation : str
        The circuit the model was trained for.
    weights : str or None
        Path of an EISNN001 file; None uses the module's built-in model.
    count, seed : int
        Held-out spectra drawn from `seed` (keep it at 900000 or above).
    distribution : {"standard", "wide", "legacy"}
        The drawing rule of the held-out spectra.
    fits : bool
        Also run the default fit from the guess and from the element defaults.
    """
    notation = spectra.resolve(notation)
    c = zetrion.Circuit(notation)
    names = c.param_names()
    data = spectra.draw(notation, count, seed, distribution=distribution)
    errs, noises, guess_times, fit_times = [], [], [], []
    hit_guess = hit_default = 0
    misses = []
    for i, s in enumerate(data):
        t0 = time.perf_counter()
        g = c.guess(s.f, s.z, weights=weights)
        guess_times.append(time.perf_counter() - t0)
        errs.append(errors(names, g, s.truth))
        noises.append(s.noise)
        if fits:
            truth_cost = 0.5 * float(np.sum(np.square(c.residuals(list(s.truth), s.f, s.z))))
            limit = 1.01 * truth_cost + 1e-300
            t0 = time.perf_counter()
            r = c.fit(s.f, s.z, weights=weights)
            fit_times.append(time.perf_counter() - t0)
            if r.cost <= limit:
                hit_guess += 1
            else:
                misses.append(i)
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                r0 = c.fit(s.f, s.z, guess_init=False)
            hit_default += r0.cost <= limit
        if progress is not None:
            progress(i + 1, count)
    e = np.array(errs, dtype=np.float64).reshape(len(data), len(names))
    nz = np.array(noises)
    bands = [(0.0, 0.01), (0.01, 0.02), (0.02, 0.03), (0.03, 1.0)]
    result = Evaluation(
        notation,
        count,
        distribution,
        {n: _median(e[:, j]) for j, n in enumerate(names)},
        {n: [_median(e[(nz >= lo) & (nz < hi), j]) for lo, hi in bands] for j, n in enumerate(names)},
        guess_ms=1e3 * float(np.median(guess_times)),
        misses=misses,
    )
    if fits:
        result.hit_guess, result.hit_default = hit_guess, hit_default
        result.fit_ms_guess = 1e3 * float(np.median(fit_times))
    return result
