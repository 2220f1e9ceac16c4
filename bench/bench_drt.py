#!/usr/bin/env python3
"""Distribution of relaxation times: accuracy, parity and speed against pyDRTtools.

1. Accuracy: four analytic models with closed-form DRTs (one ZARC; two
   ZARCs; a ZARC in series with a parallel R-L whose inductance is dispersed,
   R_L || (L (i w)^0.9), the low-frequency inductive loop whose exact DRT is
   a negative ZARC-shaped peak; a Gerischer), noiseless and with 1 % noise,
   81 points 1 MHz - 10 mHz. The relative L2 error of gamma over ln tau on
   the 81 time constants 1 / (2 pi f), and the area under gamma against the
   polarisation resistance, for zetrion_tools.drt (default settings) and
   pyDRTtools' simple_run (its defaults: Gaussian, FWHM coefficient 0.5,
   first-derivative penalty, GCV, non-negative).
   A second set checks that the defaults carry over: other ZARC exponents
   and time constants, an RC beside a ZARC, 5 - 20 points per decade,
   noiseless, 1 % and 3 % noise; the defaults against plain Tikhonov
   regularisation (adaptive=False) and pyDRTtools.
2. Parity: pyDRTtools' tutorial spectra with the settings of its published
   results (second-derivative penalty, GCV, plain Tikhonov), gamma against
   the published DRT (its coefficients on tau = 1/f expanded on its own
   Gaussian basis).
3. Speed: lambda by GCV, against simple_run in this process, on the four
   analytic models (1 % noise) and pyDRTtools' seven tutorial spectra.
4. Throughput: 1000 spectra through drt_many on 2 threads.
5. Robustness: every lambda from 1e-8 to 10 on every model.

    python3 bench/bench_drt.py [--no-peer] [--only accuracy,second,parity,speed,batch,robust]
"""

from __future__ import annotations

import argparse
import contextlib
import io
import math
import os
import pathlib
import sys
import time
import warnings

import numpy as np

DATA = pathlib.Path("/work/shared/data/field-files/drt-reference/pyDRTtools/tutorial")
F = np.logspace(6, -2, 81)
W = 2 * np.pi * F
TAU = 1 / W  # where the errors are measured


def zarc_z(r: float, tau0: float, phi: float) -> np.ndarray:
    return r / (1 + (1j * W * tau0) ** phi)


def zarc_g(tau: np.ndarray, r: float, tau0: float, phi: float) -> np.ndarray:
    x = phi * np.log(tau / tau0)
    return r / (2 * np.pi) * np.sin((1 - phi) * np.pi) / (np.cosh(x) - np.cos((1 - phi) * np.pi))


def gerischer_g(tau: np.ndarray, r: float, tau0: float) -> np.ndarray:
    out = np.zeros_like(tau)
    inside = tau < tau0
    out[inside] = r / np.pi / np.sqrt(tau0 / tau[inside] - 1)
    return out


MODELS = {
    "ZARC": (
        10 + zarc_z(100, 1e-3, 0.8),
        lambda t: zarc_g(t, 100, 1e-3, 0.8),
        100.0,
    ),
    "2 ZARC": (
        10 + zarc_z(50, 1e-4, 0.8) + zarc_z(50, 1e-1, 0.8),
        lambda t: zarc_g(t, 50, 1e-4, 0.8) + zarc_g(t, 50, 1e-1, 0.8),
        100.0,
    ),
    "ZARC+RL loop": (
        10 + zarc_z(100, 1e-3, 0.8) + 30 - zarc_z(30, 1.0, 0.9),
        lambda t: zarc_g(t, 100, 1e-3, 0.8) - zarc_g(t, 30, 1.0, 0.9),
        70.0,
    ),
    "Gerischer": (
        10 + 100 / np.sqrt(1 + 1j * W * 1e-3),
        lambda t: gerischer_g(t, 100, 1e-3),
        100.0,
    ),
}


def noisy(z: np.ndarray, seed: int) -> np.ndarray:
    rng = np.random.default_rng(seed)
    return z + 0.01 * np.abs(z) * (rng.standard_normal(z.size) + 1j * rng.standard_normal(z.size))


def load_peer():
    os.environ.setdefault("MPLBACKEND", "Agg")
    os.environ.setdefault("QT_QPA_PLATFORM", "offscreen")
    try:
        import matplotlib

        matplotlib.use("Agg", force=True)
        import matplotlib.pyplot as plt

        keep = plt.switch_backend
        plt.switch_backend = lambda *a, **k: None  # its GUI module asks for Qt on import
        try:
            with contextlib.redirect_stdout(io.StringIO()), warnings.catch_warnings():
                warnings.simplefilter("ignore")
                from pyDRTtools import basics, runs
        finally:
            plt.switch_backend = keep
        return runs, basics
    except Exception as e:  # not installed, or cvxopt/PyQt5 missing
        print(f"pyDRTtools unavailable: {type(e).__name__}: {e}")
        return None


def peer_run(peer, f, z, **kw):
    runs, basics = peer
    order = np.argsort(f)[::-1]  # it expects descending frequencies
    e = runs.EIS_object(f[order], z[order].real, z[order].imag)
    with contextlib.redirect_stdout(io.StringIO()), warnings.catch_warnings():
        warnings.simplefilter("ignore")
        runs.simple_run(e, **kw)
    return e


def peer_gamma(peer, e, tau):
    _, basics = peer
    _, g = basics.x_to_gamma(e.x, tau, e.tau, e.epsilon, "Gaussian")
    return np.asarray(g)


def rel_l2(a, b):
    return float(np.linalg.norm(a - b) / np.linalg.norm(b))


def accuracy(peer) -> None:
    from zetrion_tools.drt_analysis import drt

    print("\n== accuracy: relative L2 error of gamma over ln tau (81 points, 1 MHz - 10 mHz)")
    print(f"{'model':<14}{'noise':>6}{'zetrion':>10}{'pyDRTtools':>12}{'ours<=peer':>11}{'area/Rp':>10}{'lambda':>10}  signed")
    errs, peer_errs, areas = [], [], []
    for k, (name, (z0, exact, rp)) in enumerate(MODELS.items()):
        for noise in (0, 1):
            z = noisy(z0, 100 + k) if noise else z0
            r = drt(F, z)
            e_ours = rel_l2(r.gamma_at(TAU), exact(TAU))
            e_peer = rel_l2(peer_gamma(peer, peer_run(peer, F, z), TAU), exact(TAU)) if peer else math.nan
            errs.append(e_ours)
            peer_errs.append(e_peer)
            areas.append(r.polarisation / rp)
            ok = "yes" if not peer or e_ours <= e_peer else "NO"
            print(f"{name:<14}{noise:>5}%{e_ours:>10.3f}{e_peer:>12.3f}{ok:>11}{r.polarisation / rp:>10.4f}{r.lam:>10.2e}  {r.signed}")
    print(f"mean over the eight cases: zetrion {np.mean(errs):.3f}, pyDRTtools {np.mean(peer_errs):.3f}")
    print(f"area within {max(abs(a - 1) for a in areas) * 100:.2f} % of the polarisation resistance in every case")


def rc_g(tau: np.ndarray, f: np.ndarray, r: float, tau0: float) -> np.ndarray:
    """An RC's delta, spread over the sampling cell of tau0 (for an L2 error on samples)."""
    y = np.log(tau)
    cell = np.abs(np.diff(np.log(1 / (2 * np.pi * f)))).mean()
    out = np.zeros_like(tau)
    out[np.argmin(np.abs(y - np.log(tau0)))] = r / cell
    return out


def second_models(f: np.ndarray) -> dict[str, tuple[np.ndarray, object]]:
    w = 2 * np.pi * f

    def zarc(r: float, t: float, p: float) -> np.ndarray:
        return r / (1 + (1j * w * t) ** p)

    return {
        "ZARC 0.7 @ 10 ms": (5 + zarc(40, 1e-2, 0.7), lambda t: zarc_g(t, 40, 1e-2, 0.7)),
        "ZARC 0.9 @ 10 us": (5 + zarc(40, 1e-5, 0.9), lambda t: zarc_g(t, 40, 1e-5, 0.9)),
        "ZARCs 0.75, 2 decades": (
            5 + zarc(20, 1e-4, 0.75) + zarc(60, 1e-2, 0.85),
            lambda t: zarc_g(t, 20, 1e-4, 0.75) + zarc_g(t, 60, 1e-2, 0.85),
        ),
    }


def second_set(peer) -> None:
    from zetrion_tools.drt_analysis import drt

    print("\n== second set: other models, 1e5 - 0.1 Hz at 5, 10, 20 points per decade, 0 / 1 / 3 % noise")
    print(f"{'model':<24}{'ppd':>4}{'noise':>6}{'default':>9}{'plain':>8}{'pyDRTtools':>12}")
    rows = []
    for ppd in (5, 10, 20):
        f = np.logspace(5, -1, 6 * ppd + 1)
        tau = 1 / (2 * np.pi * f)
        for k, (name, (z0, exact)) in enumerate(second_models(f).items()):
            g = exact(tau)
            for noise in (0.0, 0.01, 0.03):
                rng = np.random.default_rng(1000 + 10 * ppd + k)
                z = z0 + noise * np.abs(z0) * (rng.standard_normal(f.size) + 1j * rng.standard_normal(f.size))
                e1 = rel_l2(drt(f, z).gamma_at(tau), g)
                e0 = rel_l2(drt(f, z, adaptive=False).gamma_at(tau), g)
                ep = rel_l2(peer_gamma(peer, peer_run(peer, f, z), tau), g) if peer else math.nan
                rows.append((e1, e0, ep))
                print(f"{name:<24}{ppd:>4}{noise * 100:>5.0f}%{e1:>9.3f}{e0:>8.3f}{ep:>12.3f}")
    m = np.mean(rows, axis=0)
    worse = sum(1 for e1, _, ep in rows if e1 > ep)
    print(f"mean over {len(rows)} cases: default {m[0]:.3f}, plain Tikhonov {m[1]:.3f}, pyDRTtools {m[2]:.3f}; "
          f"default worse than pyDRTtools in {worse} case(s)")


def parity(peer) -> None:
    import pandas as pd

    from zetrion_tools.drt_analysis import drt

    print("\n== parity with pyDRTtools' published tutorial DRTs (its settings: Gaussian, FWHM coeff 0.5, 2nd")
    print("   derivative, GCV, plain Tikhonov, centres at tau = 1/f as pyDRTtools places them)")
    tau_pub = np.logspace(-6, 2, 81)
    eps = 0.5 * 2 * math.sqrt(math.log(2)) / (math.log(10) / 10)
    fine = np.logspace(-6, 2, 801)
    basis = np.exp(-((eps * (np.log(fine)[:, None] - np.log(tau_pub)[None, :])) ** 2))
    cases = [("1ZARC.csv", "1ZARC_DRT-RR.csv")] + [(f"2ZARC{i}.csv", f"2ZARC_DRT-RR_{i}.csv") for i in range(6)]
    worst = 0.0
    for data, result in cases:
        d = pd.read_csv(DATA / "data" / data)
        f = d["Freq"].to_numpy()
        z = d["Real"].to_numpy() + 1j * d["Imag"].to_numpy()
        g_pub = basis @ pd.read_csv(DATA / "results" / result).iloc[:, 0].to_numpy()
        r = drt(f, z, derivative=2, rule="gcv", signed=False, centres="f", adaptive=False)
        err = rel_l2(r.gamma_at(fine), g_pub)
        worst = max(worst, err)
        line = f"{data:<12} L2 vs published {err:.4f}  lambda {r.lam:.3e}"
        if peer:
            e = peer_run(peer, f, z, der_used="2nd order", cv_type="GCV")
            line += f"  (pyDRTtools today: lambda {float(np.squeeze(e.lambda_value)):.3e}, L2 vs published {rel_l2(peer_gamma(peer, e, fine), g_pub):.4f})"
        print(line)
    print(f"worst L2 difference {worst:.4f} (bar 0.05)")


def timed(fn, reps: int) -> tuple[float, float]:
    """Best wall and CPU seconds per call over three rounds of ``reps`` calls."""
    walls, cpus = [], []
    for _ in range(3):
        c0, t0 = time.process_time(), time.perf_counter()
        for _ in range(reps):
            fn()
        walls.append((time.perf_counter() - t0) / reps)
        cpus.append((time.process_time() - c0) / reps)
    return min(walls), min(cpus)


def speed_cases() -> list[tuple[str, np.ndarray, np.ndarray]]:
    """The four analytic models with 1 % noise and pyDRTtools' tutorial spectra."""
    import pandas as pd

    cases = [(name, F, noisy(z0, 7)) for name, (z0, _, _) in MODELS.items()]
    for name in ["1ZARC.csv"] + [f"2ZARC{i}.csv" for i in range(6)]:
        d = pd.read_csv(DATA / "data" / name)
        cases.append((name, d["Freq"].to_numpy(), d["Real"].to_numpy() + 1j * d["Imag"].to_numpy()))
    return cases


def speed(peer) -> None:
    from zetrion_tools.drt_analysis import drt

    print("\n== speed: lambda by GCV, default settings on both sides (best of 3 rounds; ours 100 calls a round)")
    print(f"{'spectrum':<14}{'points':>7}{'ours ms wall':>14}{'CPU':>7}{'peer ms wall':>14}{'CPU':>7}{'x wall':>8}{'x CPU':>7}")
    ratios = []
    for name, f, z in speed_cases():
        drt(f, z)
        wall, cpu = timed(lambda: drt(f, z), 100)
        line = f"{name:<14}{f.size:>7}{wall * 1e3:>14.2f}{cpu * 1e3:>7.2f}"
        if peer:
            pwall, pcpu = timed(lambda: peer_run(peer, f, z), 1)
            wall2, cpu2 = timed(lambda: drt(f, z), 100)  # again, in case the load moved
            wall, cpu = min(wall, wall2), min(cpu, cpu2)
            ratios.append((pwall / wall, pcpu / cpu))
            line = (f"{name:<14}{f.size:>7}{wall * 1e3:>14.2f}{cpu * 1e3:>7.2f}{pwall * 1e3:>14.0f}{pcpu * 1e3:>7.0f}"
                    f"{pwall / wall:>8.0f}{pcpu / cpu:>7.0f}")
        print(line)
    if ratios:
        w, c = np.array(ratios).T
        print(f"faster than simple_run: wall {w.min():.0f}x - {w.max():.0f}x (geometric mean {np.exp(np.log(w).mean()):.0f}x), "
              f"CPU {c.min():.0f}x - {c.max():.0f}x (geometric mean {np.exp(np.log(c).mean()):.0f}x); bar 200x")


def batch() -> None:
    from zetrion_tools.drt_batch import drt_many

    print("\n== throughput: 1000 spectra through drt_many, 2 threads")
    rng = np.random.default_rng(11)
    spectra = []
    for i in range(1000):
        r1, r2 = rng.uniform(10, 100, 2)
        t1, t2 = 10 ** rng.uniform(-5, -3), 10 ** rng.uniform(-2, 0)
        z = 5 + zarc_z(r1, t1, 0.85) + zarc_z(r2, t2, 0.8)
        spectra.append((F, noisy(z, i)))
    drt_many(spectra[:20], threads=2, progress=False)
    for threads in (1, 2):
        c0, t0 = time.process_time(), time.perf_counter()
        frame = drt_many(spectra, threads=threads, progress=False)
        wall, cpu = time.perf_counter() - t0, time.process_time() - c0
        print(f"{threads} thread(s): {wall:.2f} s wall, {cpu:.2f} s CPU, {len(frame)} peak rows, "
              f"{(frame['message'] != '').sum()} spectra without peaks or failed")


def robust() -> None:
    from zetrion_tools.drt_analysis import drt

    print("\n== robustness: lambda 1e-8 ... 10 on every model, non-negative and signed")
    bad = 0
    count = 0
    for name, (z0, _, _) in MODELS.items():
        for lam in np.logspace(-8, 1, 37):
            for signed in (False, True):
                r = drt(F, noisy(z0, 3), lam=float(lam), signed=signed)
                count += 1
                if not np.all(np.isfinite(r.gamma)) or (not signed and np.any(r.gamma < 0)):
                    bad += 1
                    print(f"  {name} lambda {lam:.1e} signed={signed}: non-finite or negative gamma")
    print(f"{count} runs, {bad} with a non-finite (or, non-negative DRT, negative) gamma")


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--no-peer", action="store_true")
    ap.add_argument("--only", default="accuracy,second,parity,speed,batch,robust")
    args = ap.parse_args()
    parts = set(args.only.split(","))
    peer = None if args.no_peer else load_peer()
    if "accuracy" in parts:
        accuracy(peer)
    if "second" in parts:
        second_set(peer)
    if "parity" in parts:
        parity(peer)
    if "speed" in parts:
        speed(peer)
    if "batch" in parts:
        batch()
    if "robust" in parts:
        robust()
    return 0


if __name__ == "__main__":
    sys.exit(main())
