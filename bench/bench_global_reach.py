#!/usr/bin/env python3
"""How often each global fit method reaches the optimum, against its SciPy
counterpart on the same problem.

Held-out spectra of every preset are drawn with the training generator
(seeds from 900000, never used in training; relative noise 0.5 - 2 %). Each
is fitted from the element defaults, as a new user would, by every global
method at its defaults, and by the SciPy counterpart given:
  * the same cost: 0.5 * sum r^2 of zetrion's modulus-weighted residuals, in
    the same solver space (closed parameters as they are, open ones as log10
    of the distance above the lower bound);
  * the same box: four decades either side of each default for open
    parameters, the bounds for closed ones;
  * the same budget: as many cost evaluations as our method reported
    (impedance_evals, polish included);
  * the same polish where ours has one: a Levenberg-Marquardt run
    (least_squares(method="lm")) from the method's best point, whose
    evaluations are not counted against SciPy.
A fit reaches the optimum when its cost is at most 1.01 times the lower of
the cost at the true parameters and the cost of the default fit (learned
guess, multi-start Levenberg-Marquardt).

  particle_swarm          no SciPy counterpart (shown alone)
  nelder_mead             minimize(method="Nelder-Mead", maxfev=budget) + lm
  simulated_annealing     dual_annealing(maxfun=budget, no local search) + lm
  differential_evolution  differential_evolution(maxiter from budget, polish=False, tol=0) + lm
  basin_hopping           basinhopping(niter=20, minimizer L-BFGS-B)

    python3 bench/bench_global_reach.py [--count 2] [--circuits rc,two_rq] [--methods nelder_mead]
"""

from __future__ import annotations

import argparse
import math
import os
import pathlib
import sys
import time
import warnings

import numpy as np
from scipy import optimize

ROOT = pathlib.Path(__file__).resolve().parents[1]
from zetrion_tools.training import spectra  # noqa: E402
from zetrion_tools.training.train import MODELS  # noqa: E402

import zetrion  # noqa: E402

SEED = 900000
METHODS = ["particle_swarm", "nelder_mead", "simulated_annealing", "differential_evolution", "basin_hopping"]


class Problem:
    """One spectrum and circuit: cost in solver space, box and start point."""

    def __init__(self, c: zetrion.Circuit, f: np.ndarray, z: np.ndarray) -> None:
        self.c, self.f, self.z = c, f, z
        self.start = np.array(c.param_values())
        b = c.param_bounds()
        self.lo = np.array([x[0] for x in b])
        self.hi = np.array([x[1] for x in b])
        self.closed = np.isfinite(self.hi)
        self.x0 = np.where(self.closed, self.start, np.log10(np.maximum(self.start - self.lo, 1e-300)))
        box = []
        for v, l, h, cl in zip(self.start, self.lo, self.hi, self.closed):
            if cl:
                box.append((l, h))
            else:
                s = max(abs(v), 1e-6)
                box.append((math.log10(max(max(s * 1e-4, l) - l, 1e-300)), math.log10(max(s * 1e4 - l, 1e-300))))
        self.box = box
        self.nfev = 0

    def physical(self, x: np.ndarray) -> np.ndarray:
        with np.errstate(over="ignore"):
            return np.where(self.closed, x, self.lo + 10.0 ** np.asarray(x))

    def residuals(self, x: np.ndarray) -> np.ndarray:
        self.nfev += 1
        r = np.asarray(self.c.residuals(list(self.physical(x)), self.f, self.z))
        return np.where(np.isfinite(r), r, 1e150)

    def cost(self, x: np.ndarray) -> float:
        r = self.residuals(x)
        return 0.5 * float(r @ r)

    def physical_cost(self, p: list[float]) -> float:
        r = np.asarray(self.c.residuals(list(np.clip(p, self.lo, self.hi)), self.f, self.z))
        return 0.5 * float(r @ r)

    def polish(self, x: np.ndarray) -> float:
        try:
            r = optimize.least_squares(self.residuals, x, method="lm")
            return min(self.cost(x), self.cost(r.x))
        except Exception:
            return self.cost(x)


def scipy_run(method: str, pr: Problem, budget: int) -> float | None:
    pr.nfev = 0
    if method == "nelder_mead":
        r = optimize.minimize(pr.cost, pr.x0, method="Nelder-Mead", options={"maxfev": budget, "maxiter": budget})
        return pr.polish(r.x)
    if method == "simulated_annealing":
        r = optimize.dual_annealing(pr.cost, pr.box, maxfun=budget, no_local_search=True, x0=pr.x0)
        return pr.polish(r.x)
    if method == "differential_evolution":
        popsize = 15
        maxiter = max(budget // (popsize * len(pr.x0)) - 1, 1)
        r = optimize.differential_evolution(pr.cost, pr.box, popsize=popsize, maxiter=maxiter, tol=0, polish=False)
        return pr.polish(r.x)
    if method == "basin_hopping":
        r = optimize.basinhopping(pr.cost, pr.x0, niter=20)
        return float(r.fun)
    return None


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--count", type=int, default=2, help="spectra per preset")
    ap.add_argument("--circuits", help="comma-separated presets (default: all)")
    ap.add_argument("--methods", help="comma-separated methods (default: all five)")
    args = ap.parse_args()
    warnings.simplefilter("ignore")
    chosen = args.circuits.split(",") if args.circuits else list(MODELS)
    methods = args.methods.split(",") if args.methods else METHODS
    print(f"load average {os.getloadavg()[0]:.1f}; {args.count} spectra per preset; "
          "reached = cost <= 1.01 x min(cost at truth, default fit)")
    totals = {m: [0, 0, 0] for m in methods}  # ours, scipy, scipy counted
    t_start = time.perf_counter()
    for k, name in enumerate(chosen):
        notation = MODELS[name][0]
        c = zetrion.Circuit(notation)
        data = spectra.draw(notation, args.count, SEED + 100 * k, noise_min=0.005, noise_max=0.02)
        hits = {m: [0, 0, 0] for m in methods}
        misses: dict[str, list[str]] = {m: [] for m in methods}
        for i, s in enumerate(data):
            pr = Problem(c, s.f, s.z)
            ref = min(pr.physical_cost(list(s.truth)), zetrion.Circuit(name).fit(s.f, s.z).cost)
            limit = 1.01 * ref
            for m in methods:
                ours = c.fit(s.f, s.z, guess_init=False, method=m)
                ok = ours.cost <= limit
                hits[m][0] += ok
                if not ok:
                    misses[m].append(f"#{i}: {ours.cost / ref:.3g}x")
                theirs = scipy_run(m, pr, int(ours.impedance_evals))
                if theirs is not None:
                    hits[m][1] += theirs <= limit
                    hits[m][2] += 1
        print(f"-- {name} {notation}")
        for m in methods:
            h = hits[m]
            sc = f"{h[1]}/{h[2]}" if h[2] else "-"
            extra = f"   ours missed {', '.join(misses[m])}" if misses[m] else ""
            print(f"   {m:<24} zetrion {h[0]}/{args.count}   SciPy {sc:>5}{extra}")
            for j in range(3):
                totals[m][j] += h[j]
        sys.stdout.flush()
    n = args.count * len(chosen)
    print(f"== all presets ({n} spectra, {time.perf_counter() - t_start:.0f} s)")
    for m in methods:
        h = totals[m]
        sc = f"{h[1]}/{h[2]} ({100 * h[1] / h[2]:.0f} %)" if h[2] else "-"
        print(f"   {m:<24} zetrion {h[0]}/{n} ({100 * h[0] / n:.0f} %)   SciPy {sc}")


if __name__ == "__main__":
    main()
