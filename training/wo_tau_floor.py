"""How closely can any estimator place the open-Warburg knee of a wide spectrum?

    python3 training/wo_tau_floor.py [--count 500] [--weights PATH] [--validation]

For each held-out spectrum of `sei_randles_wo` drawn by the wide rule, the
profile chi-square of log10(Wo2.tau) is traced on a 0.05-decade grid (every
other parameter refitted with SciPy's least_squares, the noise level known),
and turned into a posterior with the drawing rule's own prior: the knee
uniform between 1.5 decades below the band and half a decade below the arc,
and z0 between 0.1 and 20 times the branch resistance.  The posterior median
is the estimate that minimises the expected absolute error; its error against
the truth, and the posterior's own expected error, say how well the spectrum
can tell the knee at all.  The learned guess is printed beside it.

The estimate knows more than a guesser can (the noise level, the arc's slot
frequency through the prior range) and uses the profile for the marginal
likelihood, so its errors are, if anything, optimistic.
"""

from __future__ import annotations

import argparse
import math
import pathlib
import sys
import warnings

import numpy as np
from scipy.optimize import least_squares

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "python"))
sys.path.insert(0, str(HERE))

import zetrion  # noqa: E402
from evaluate import held_out_seed  # noqa: E402
from zetrion_tools.training import spectra  # noqa: E402

NAME = "sei_randles_wo"
STEP = 0.05  # decades of tau between profile points
STOP = 40.0  # chi-square rise above the best at which a direction is abandoned


def floor_one(c: zetrion.Circuit, s: spectra.Spectrum) -> tuple[float, float, float]:
    """(posterior-median error, posterior expected |error|, knee decades below the band)."""
    names = c.param_names()
    it, iz, ir2 = names.index("Wo2.tau"), names.index("Wo2.z0"), names.index("R2.r")
    iq2, ia2 = names.index("CPE2.q"), names.index("CPE2.alpha")
    lin = {i for i, n in enumerate(names) if n.endswith(".alpha")}
    free = [i for i in range(len(names)) if i != it]
    t = np.asarray(s.truth, float)
    var = max(s.noise, 1e-4) ** 2 / 2  # per component of the relative residual
    lo = np.array([0.3 if i in lin else -np.inf for i in free])
    hi = np.array([1.0 if i in lin else np.inf for i in free])

    def values(x: np.ndarray, lt: float) -> list[float]:
        v = t.copy()
        v[it] = 10**lt
        for j, i in enumerate(free):
            v[i] = x[j] if i in lin else 10 ** min(x[j], 300.0)
        return list(v)

    def profile(lt: float, x0: np.ndarray) -> tuple[float, np.ndarray]:
        r = least_squares(lambda x: np.asarray(c.residuals(values(x, lt), s.f, s.z)), np.clip(x0, lo + 1e-9, hi - 1e-9),
                          bounds=(lo, hi), xtol=1e-10, ftol=1e-10, max_nfev=400)
        return float(np.sum(r.fun**2)) / var, r.x

    lw_lo = math.log10(2 * math.pi * float(s.f.min()))
    lw_arc = math.log10((t[ir2] * t[iq2]) ** (-1.0 / t[ia2]))
    lw_low = lw_lo - spectra.WIDE.wo_knee_below
    lw_high = max(lw_arc - spectra.WIDE.wo_knee_gap, lw_low + 0.1)
    lt_min, lt_max = -lw_high, -lw_low
    lt0 = math.log10(t[it])
    x_truth = np.array([t[i] if i in lin else math.log10(t[i]) for i in free])
    chi0, x0 = profile(lt0, x_truth)
    grid = {lt0: (chi0, x0)}
    best = chi0
    for direction in (1, -1):  # walk outwards, each point started from its neighbour
        x, lt = x0, lt0
        while lt_min - STEP <= lt + direction * STEP <= lt_max + STEP:
            lt += direction * STEP
            chi, x = profile(lt, x)
            grid[lt] = (chi, x)
            best = min(best, chi)
            if chi - best > STOP:
                break
    lts = np.array(sorted(grid))
    chis = np.array([grid[v][0] for v in lts])
    zr = np.array([grid[v][1][free.index(iz)] - grid[v][1][free.index(ir2)] for v in lts])  # log10 z0 / R2
    z_lo, z_hi = spectra.WIDE.wo_z0_decades
    prior = (lts >= lt_min) & (lts <= lt_max) & (zr >= z_lo) & (zr <= z_hi)
    post = prior * np.exp(-(chis - chis.min()) / 2)
    if post.sum() == 0:
        post = np.exp(-(chis - chis.min()) / 2)
    cdf = np.cumsum(post) / post.sum()
    med = float(np.interp(0.5, cdf, lts))
    return abs(med - lt0), float(np.sum(post * np.abs(lts - med)) / post.sum()), lw_lo + lt0


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--count", type=int, default=500)
    ap.add_argument("--weights", default=str(HERE.parent / "weights" / f"{NAME}.eisnn"))
    ap.add_argument("--validation", action="store_true", help="the validation set instead of the held-out one")
    args = ap.parse_args()
    notation = spectra.resolve(NAME)
    c = zetrion.Circuit(notation)
    it = c.param_names().index("Wo2.tau")
    rows = []
    data = spectra.draw(notation, args.count, held_out_seed(NAME, "wide", args.validation), distribution="wide")
    for k, s in enumerate(data):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            bayes, expected, below = floor_one(c, s)
        net = abs(math.log10(c.guess(s.f, s.z, weights=args.weights)[it] / s.truth[it]))
        rows.append((bayes, expected, net, below))
        if (k + 1) % 50 == 0:
            print(f"{k + 1}/{len(data)} spectra", file=sys.stderr, flush=True)
    a = np.array(rows)
    which = "validation" if args.validation else "held-out"
    print(f"Wo2.tau on {len(a)} wide {which} spectra of {NAME}: median absolute error in decades")
    print(f"{'knee':28} {'n':>4} {'posterior median':>17} {'posterior spread':>17} {'learned guess':>14}")
    for label, m in (("all", a[:, 3] > -np.inf), ("> 0.5 decades below band", a[:, 3] > 0.5),
                     ("0 - 0.5 decades below", (a[:, 3] > 0) & (a[:, 3] <= 0.5)), ("inside the band", a[:, 3] <= 0)):
        if not m.any():
            continue
        print(f"{label:28} {int(m.sum()):4d} {np.median(a[m, 0]):17.3f} {np.median(a[m, 1]):17.3f} {np.median(a[m, 2]):14.3f}")


if __name__ == "__main__":
    main()
