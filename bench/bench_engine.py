#!/usr/bin/env python3
"""One engine under both faces: the companion's fit against ``Circuit.fit``.

1. Cost of holding one parameter: on held-out spectra of randles, two_rq and
   sei_randles (seeds from 990000, 0.5 - 2 % noise), each spectrum is fitted
   by a default ``Circuit.fit`` and by ``zetrion_tools.fit`` with one
   parameter (cycling through them) held at the value the default fit found.
   Prints the median best-of-3 time of each, their ratio (bar: at most 1.3x)
   and how often the held fit reaches the default fit's chi-square within
   1e-6 relative (bar: every time).
2. Parity: on held-out spectra of every preset, ``zetrion_tools.fit(name, f,
   z)`` against ``Circuit(name).fit(f, z)``: the share with the same or a
   lower chi-square, and where the chi-squares are equal, the largest
   relative difference of values and standard errors (bar: 1e-6).

    python3 bench/bench_engine.py [--count 20]
"""

from __future__ import annotations

import argparse
import math
import statistics
import time
import warnings

import zetrion
from zetrion_tools import fit
from zetrion_tools.engine import presets
from zetrion_tools.training import spectra

SEED = 990000


def timed(fn, repeat=3):
    best = math.inf
    for _ in range(repeat):
        t0 = time.perf_counter()
        out = fn()
        best = min(best, time.perf_counter() - t0)
    return out, best


def rel(a: float, b: float) -> float:
    if a == b:
        return 0.0
    return abs(a - b) / max(abs(a), abs(b), 1e-300)


def held_cost(count: int) -> None:
    print(f"{'preset':<12} {'default ms':>10} {'held ms':>8} {'ratio':>6} {'same chi2':>10}")
    for k, name in enumerate(("randles", "two_rq", "sei_randles")):
        c = zetrion.Circuit(name)
        names = c.param_names()
        data = spectra.draw(name, count, SEED + 100 * k, noise_min=0.005, noise_max=0.02)
        t_core, t_held, same = [], [], 0
        for i, s in enumerate(data):
            core, dt = timed(lambda: c.fit(s.f, s.z))
            t_core.append(dt)
            held = names[i % len(names)]
            res, dt = timed(lambda: fit(name, s.f, s.z, fixed={held: core.params[held]}))
            t_held.append(dt)
            same += res.success and res.chi_square <= core.chi_square * (1 + 1e-6)
        mc, mh = 1e3 * statistics.median(t_core), 1e3 * statistics.median(t_held)
        print(f"{name:<12} {mc:10.3f} {mh:8.3f} {mh / mc:6.2f} {same:>5}/{len(data)}")


def parity(count: int) -> None:
    print(f"\n{'preset':<16} {'same or lower':>13} {'equal':>6} {'max rel diff (values, stderr)':>30}")
    for k, name in enumerate(presets()):
        data = spectra.draw(name, count, SEED + 5000 + 100 * k, noise_min=0.005, noise_max=0.02)
        ok = equal = 0
        worst_v = worst_e = 0.0
        for s in data:
            core = zetrion.Circuit(name).fit(s.f, s.z)
            res = fit(name, s.f, s.z, check_sign=False)
            ok += res.chi_square <= core.chi_square * (1 + 1e-12)
            if rel(res.chi_square, core.chi_square) <= 1e-12:
                equal += 1
                worst_v = max([worst_v] + [rel(res.params[n], v) for n, v in core.params.items()])
                if core.stderr is not None:
                    worst_e = max([worst_e] + [rel(res.stderr[n], v) for n, v in core.stderr.items() if math.isfinite(v)])
        print(f"{name:<16} {ok:>7}/{len(data):<5} {equal:>6} {worst_v:14.2e} {worst_e:14.2e}")


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--count", type=int, default=20)
    args = ap.parse_args()
    warnings.simplefilter("ignore")
    held_cost(args.count)
    parity(args.count)


if __name__ == "__main__":
    main()
