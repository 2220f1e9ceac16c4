#!/usr/bin/env python3
"""Cost of a fit with a fixed parameter against a default fit, per preset.

For each preset, draws held-out synthetic spectra (seeds from 900000; relative
noise 0.5 - 2 %) and fits each
  1. with zetrion's default ``Circuit.fit`` (learned guess, multi-start LM),
  2. with ``zetrion_tools.fitting.fit`` holding one parameter (cycling through
     them) at the value the default fit found,
  3. the same with one parameter fixed and one bounded to a box around its
     optimum that excludes part of its range,
and prints the median over spectra of each fit's best-of-3 time, the ratio of the medians (the bar is at
most 10x the default fit) and the share of fixed fits that reach the default
fit's optimum (chi-square within 1e-6 relative, or lower). Timings on a shared
machine are noisy: rerun on an idle one before quoting them.

    python3 bench/bench_fixed_fit.py [--count 20] [--circuits rc,randles]
"""

from __future__ import annotations

import argparse
import pathlib
import statistics
import sys
import time
import warnings

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "python"))
from zetrion_tools.training import spectra  # noqa: E402
from zetrion_tools.training.train import MODELS  # noqa: E402

import zetrion  # noqa: E402
from zetrion_tools.fitting import fit  # noqa: E402

SEED = 900000


def timed(fn, repeat=3):
    """Result and best-of-``repeat`` wall time: the least disturbed by other load."""
    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        out = fn()
        best = min(best, time.perf_counter() - t0)
    return out, best


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--count", type=int, default=20)
    ap.add_argument("--circuits", help="comma-separated presets (default: all eleven)")
    args = ap.parse_args()
    warnings.simplefilter("ignore")
    chosen = set(args.circuits.split(",")) if args.circuits else set(MODELS)
    print(f"{'preset':<16} {'default ms':>10} {'fixed ms':>9} {'ratio':>6} {'fix+bound ms':>12} {'ratio':>6} {'same optimum':>13}")
    all_ratios = []
    for k, (name, (notation, _)) in enumerate(MODELS.items()):
        if name not in chosen:
            continue
        c = zetrion.Circuit(name)
        names = c.param_names()
        data = spectra.draw(notation, args.count, SEED + 100 * k, noise_min=0.005, noise_max=0.02)
        t_core, t_fixed, t_bound, same = [], [], [], 0
        for i, s in enumerate(data):
            core, dt = timed(lambda: c.fit(s.f, s.z))
            t_core.append(dt)
            held = names[i % len(names)]
            res, dt = timed(lambda: fit(name, s.f, s.z, fixed={held: core.params[held]}))
            t_fixed.append(dt)
            if res.success and res.chi_square <= core.chi_square * (1 + 1e-6):
                same += 1
            other = names[(i + 1) % len(names)]
            v = core.params[other]
            lo, hi = c.param_bounds()[names.index(other)]
            box = (max(lo, v * 0.9), min(hi, v * 1.5)) if hi > v * 1.5 else (max(lo, v * 0.5), v)
            _, dt = timed(lambda: fit(name, s.f, s.z, fixed={held: core.params[held]}, bounds={other: box}))
            t_bound.append(dt)
        mc, mf, mb = (1e3 * statistics.median(t) for t in (t_core, t_fixed, t_bound))
        all_ratios.append(mf / mc)
        print(f"{name:<16} {mc:10.3f} {mf:9.3f} {mf / mc:6.1f} {mb:12.3f} {mb / mc:6.1f} {100 * same / len(data):12.1f}%")
    if all_ratios:
        print(f"\nworst ratio of medians (fixed / default): {max(all_ratios):.1f}x (bar: 10x)")


if __name__ == "__main__":
    main()
