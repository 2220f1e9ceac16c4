#!/usr/bin/env python3
"""Global fit methods with their defaults on "randles" (60 points), against
the SciPy counterpart on the same residuals and the same search space where
one exists: differential_evolution, basinhopping, minimize(Nelder-Mead) and
dual_annealing (for simulated annealing). Prints wall time and final cost of
each, and the speed ratio. Particle swarm has no SciPy counterpart; its time
for the default 201 000 evaluations is printed alone.

    python3 bench/bench_global.py
"""

import math
import time
import warnings

import numpy as np
from scipy import optimize

import zetrion

warnings.simplefilter("ignore")
c = zetrion.Circuit("randles")
f = np.geomspace(1e5, 1e-2, 60)
truth = [12.0, 85.0, 40.0, 2.2e-5, 0.88]
rng = np.random.default_rng(9)
z = c.with_values(truth).impedance(f) * (1 + 0.01 * (rng.normal(size=60) + 1j * rng.normal(size=60)))
start = c.param_values()  # element defaults
bounds = c.param_bounds()
lo = np.array([b[0] for b in bounds])
closed = np.array([math.isfinite(b[1]) for b in bounds])


def physical(x):
    return np.where(closed, x, lo + 10.0 ** np.asarray(x))


def cost(x):
    r = np.asarray(c.residuals(list(physical(x)), f, z))
    return 0.5 * float(r @ r)


def box():
    out = []
    for v, (l, h), cl in zip(start, bounds, closed):
        if cl:
            out.append((l, h))
        else:
            s = max(abs(v), 1e-6)
            out.append((math.log10(max(max(s * 1e-4, l) - l, 1e-300)), math.log10(max(s * 1e4 - l, 1e-300))))
    return out


x0 = np.where(closed, start, np.log10(np.maximum(np.array(start) - lo, 1e-300)))
search = box()


def timed(fn):
    t0 = time.perf_counter()
    out = fn()
    return out, time.perf_counter() - t0


rows = []
for method, scipy_name, scipy_fn in [
    ("differential_evolution", "differential_evolution", lambda: optimize.differential_evolution(cost, search, seed=1, polish=True)),
    ("basin_hopping", "basinhopping", lambda: optimize.basinhopping(cost, x0, niter=20, seed=1)),
    ("nelder_mead", "minimize(Nelder-Mead)", lambda: optimize.minimize(cost, x0, method="Nelder-Mead", options={"maxiter": 2000})),
    ("simulated_annealing", "dual_annealing", lambda: optimize.dual_annealing(cost, search, seed=1)),
]:
    ours, t_ours = timed(lambda: c.fit(f, z, guess_init=False, method=method, seed=1))
    ref, t_ref = timed(scipy_fn)
    rows.append((method, t_ours, ours.cost, scipy_name, t_ref, float(ref.fun)))

print(f"{'method':<24} {'zetrion s':>10} {'cost':>11}   {'SciPy':<22} {'SciPy s':>9} {'cost':>11} {'speed-up':>9}")
for m, t1, c1, s, t2, c2 in rows:
    print(f"{m:<24} {t1:10.4f} {c1:11.4e}   {s:<22} {t2:9.3f} {c2:11.4e} {t2 / t1:8.0f}x")
pso, t_pso = timed(lambda: c.fit(f, z, guess_init=False, method="particle_swarm", seed=1))
print(f"particle_swarm: {t_pso:.3f} s for {pso.impedance_evals} evaluations, cost {pso.cost:.4e}")
