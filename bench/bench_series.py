#!/usr/bin/env python3
"""Series of spectra: speed of the warm-start chain and of the global fit with
shared parameters, against peers run in this same process, and agreement with
the maker's own fits on Zahner's example files.

1. AutoEIS's battery-cycling series (130 spectra x 57 points, one per ageing
   cycle) with R0-(R1,CPE1)-(R2,CPE2): ``fit_series`` (bar: under 1.5 s), then
   the global fit with both CPE exponents shared (bar: under 5 s). Peers:
   impedance.py fitting the same chain (each spectrum from the previous
   optimum; the first 20 spectra, it takes seconds each), and SciPy's sparse trust-region least squares on the same stacked
   problem from the same starts (the global fit's peer).
2. pymultieis' redox series (100 synthetic spectra x 41 points) with a
   Randles circuit: the chain, and a global fit with the double-layer
   capacitance shared.
3. Zahner's diode bias series (13 .ism files, 0-300 mV) with (R0,C0)-L0, the
   maker's model; read with zetrion_tools.read when it reads .ism, else with
   zahner_analysis (MIT, a bench-only dependency). Where the maker's fit
   results are present (fit_result.json beside the data) each parameter the
   maker reports as significant (significance >= 0.5) is compared (bar: within
   1 %). The series' own folder carries no fit results in this checkout, so
   the single-spectrum example with results (BasicIntroduction, R||C) is
   compared as a series of one.

    PYTHONPATH=python python3 bench/bench_series.py [--rounds 3]
"""

from __future__ import annotations

import argparse
import json
import math
import time
import warnings
from pathlib import Path
from typing import Any

import numpy as np

import zetrion
from zetrion_tools import _engine
from zetrion_tools.series import fit_series

DATA = Path(__file__).resolve().parents[1] / ".." / "shared" / "data" / "field-files"
if not DATA.exists():
    DATA = Path("/work/shared/data/field-files")
BATTERY = "R0-(R1,CPE1)-(R2,CPE2)"


def best_of(rounds: int, fn: Any) -> tuple[float, Any]:
    best, out = math.inf, None
    for _ in range(rounds):
        t0 = time.perf_counter()
        out = fn()
        best = min(best, time.perf_counter() - t0)
    return best, out


def impedance_py_chain(circuit: str, spectra: list[tuple[np.ndarray, np.ndarray]], first: list[float]) -> list[float]:
    """impedance.py's CustomCircuit along the series, each fit from the previous optimum."""
    from impedance.models.circuits import CustomCircuit

    notation = "R0-p(R1,CPE1)-p(R2,CPE2)"
    guess, chis = list(first), []
    for f, z in spectra:
        c = CustomCircuit(notation, initial_guess=guess)
        c.fit(f, z, bounds=([0, 0, 0, 0, 0, 0, 0], [np.inf, np.inf, np.inf, 1, np.inf, np.inf, 1]))
        guess = list(c.parameters_)
        r = (c.predict(f) - z) / np.abs(z)
        chis.append(float(np.sum(r.real**2 + r.imag**2)))
    return chis


def scipy_global(circuit: str, spectra: list[tuple[np.ndarray, np.ndarray]], starts: np.ndarray,
                 shared: list[int]) -> tuple[float, np.ndarray]:
    """The stacked problem in SciPy: shared columns plus a block per spectrum, sparse Jacobian."""
    from scipy.optimize import least_squares
    from scipy.sparse import lil_matrix

    c = zetrion.Circuit(circuit)
    n, count = starts.shape[1], len(spectra)
    own = [j for j in range(n) if j not in shared]
    x0 = np.concatenate([np.median(starts[:, shared], axis=0), starts[:, own].ravel()])

    def values(x: np.ndarray, i: int) -> np.ndarray:
        v = np.empty(n)
        v[shared] = x[: len(shared)]
        v[own] = x[len(shared) + i * len(own): len(shared) + (i + 1) * len(own)]
        return v

    def resid(x: np.ndarray) -> np.ndarray:
        out = []
        for i, (f, z) in enumerate(spectra):
            d = (c.with_values(list(values(x, i))).impedance(f) - z) / np.abs(z)
            out.append(np.column_stack([d.real, d.imag]).ravel())
        return np.concatenate(out)

    rows = [2 * f.size for f, _ in spectra]
    sparsity = lil_matrix((sum(rows), x0.size), dtype=int)
    start = 0
    for i, m in enumerate(rows):
        sparsity[start: start + m, : len(shared)] = 1
        sparsity[start: start + m, len(shared) + i * len(own): len(shared) + (i + 1) * len(own)] = 1
        start += m
    lo = np.concatenate([np.zeros(len(shared)), np.zeros(count * len(own))])
    hi = np.full(x0.size, np.inf)
    alpha = [k for k, j in enumerate(shared) if c.param_names()[j].endswith(".alpha")]
    hi[alpha] = 1.0
    r = least_squares(resid, np.clip(x0, lo + 1e-12, hi), jac_sparsity=sparsity, bounds=(lo, hi), x_scale="jac",
                      ftol=1e-10, xtol=1e-10)
    return 2 * r.cost, r.x


def battery(rounds: int) -> None:
    cube = np.load(DATA / "series" / "autoeis" / "battery_data.npy")
    print(f"AutoEIS battery series: {cube.shape[0]} spectra x {cube.shape[2]} points, {BATTERY}")
    t_chain, chain = best_of(rounds, lambda: fit_series(BATTERY, cube, {"cycle": range(1, len(cube) + 1)},
                                                        progress=False))
    t = chain.table
    starts = t["start"].value_counts().to_dict()
    print(f"  chain:  {t_chain:.3f} s (bar 1.5 s)  converged {int(t['success'].sum())}/{len(t)}  starts {starts}  "
          f"median reduced chi2 {t['reduced_chi_square'].median():.3g}")
    shared = ["CPE1.alpha", "CPE2.alpha"]
    t_glob, glob = best_of(rounds, lambda: fit_series(BATTERY, cube, shared=shared, progress=False))
    g = glob.global_fit
    names = list(chain.param_names)
    starts_arr = t[names].to_numpy(dtype=float)
    spectra = [(c[0].real, c[1]) for c in cube]
    flags = [1.0 if n in shared else 0.0 for n in names]
    circuit = zetrion.Circuit(BATTERY)
    t_only, _ = best_of(rounds, lambda: _engine.fit_shared(circuit, spectra, starts_arr.tolist(), shared=flags,
                                                           ftol=1e-8, xtol=1e-8))
    a1, a2 = glob.table.loc[0, "CPE1.alpha"], glob.table.loc[0, "CPE2.alpha"]
    e1, e2 = glob.table.loc[0, "CPE1.alpha_stderr"], glob.table.loc[0, "CPE2.alpha_stderr"]
    print(f"  global: {t_glob:.3f} s in all (bar 5 s), the shared problem alone {t_only:.3f} s; "
          f"{'converged' if g['success'] else 'FAILED'} in {g['iterations']} iterations, "
          f"{len(shared) + (len(chain.param_names) - len(shared)) * len(cube)} unknowns; chi2 {g['chi_square']:.5g} vs {t['chi_square'].sum():.5g} independent")
    print(f"          shared CPE1.alpha = {a1:.4f} +- {e1:.2g}, CPE2.alpha = {a2:.4f} +- {e2:.2g}")
    try:
        k = 20  # impedance.py takes seconds per spectrum here: the first 20 of the chain
        t_imp, chis = best_of(1, lambda: impedance_py_chain(BATTERY, spectra[:k], list(starts_arr[0])))
        per_imp, per_z = t_imp / k, t_chain / len(spectra)
        print(f"  impedance.py chain, first {k} spectra: {per_imp * 1e3:.1f} ms per spectrum vs zetrion "
              f"{per_z * 1e3:.2f} ms -> {per_imp / per_z:.0f}x; chi2 sum {sum(chis):.5g} vs zetrion "
              f"{t['chi_square'].iloc[:k].sum():.5g}")
    except ImportError:
        print("  impedance.py not installed: no chain peer")
    idx = [names.index(s) for s in shared]
    t_sp, (chi_sp, _) = best_of(1, lambda: scipy_global(BATTERY, spectra, starts_arr, idx))
    print(f"  SciPy sparse global fit from the same starts: {t_sp:.3f} s, chi2 {chi_sp:.5g} -> "
          f"zetrion's shared problem {t_sp / max(t_only, 1e-9):.1f}x faster")


def redox(rounds: int) -> None:
    root = DATA / "series" / "pymultieis" / "redox_100"
    z = np.load(root / "Z_100.npy")
    f = np.load(root / "freq_100.npy")
    spectra = [(f[:, i], z[:, i]) for i in range(z.shape[1])]
    circuit = "R0-(R1-W1,C1)"
    print(f"pymultieis redox series: {len(spectra)} spectra x {z.shape[0]} points, {circuit}")
    t_chain, chain = best_of(rounds, lambda: fit_series(circuit, spectra, progress=False))
    t = chain.table
    print(f"  chain:  {t_chain:.3f} s  converged {int(t['success'].sum())}/{len(t)}  "
          f"starts {t['start'].value_counts().to_dict()}  max reduced chi2 {t['reduced_chi_square'].max():.3g}")
    t_glob, glob = best_of(rounds, lambda: fit_series(circuit, spectra, shared=["C1.c"], progress=False))
    g = glob.global_fit
    print(f"  global (C1.c shared): {t_glob:.3f} s, {'converged' if g['success'] else 'FAILED'}, "
          f"C1.c = {glob.table.loc[0, 'C1.c']:.5g} +- {glob.table.loc[0, 'C1.c_stderr']:.2g} "
          f"(independent: {t['C1.c'].min():.5g} .. {t['C1.c'].max():.5g})")


def read_ism(path: Path) -> tuple[np.ndarray, np.ndarray, str]:
    try:
        from zetrion_tools import read

        s = read(path)
        return s.frequencies, s.impedance, "zetrion_tools.read"
    except ValueError:
        from zahner_analysis.file_import.ism_import import IsmImport

        ism = IsmImport(str(path))
        return np.asarray(ism.getFrequencyArray()), np.asarray(ism.getComplexImpedanceArray()), "zahner_analysis"


def maker_values(result: Path) -> dict[str, tuple[float, float]]:
    model = json.loads(result.read_text(encoding="utf-8"))["model"]
    return {f"{el}.{p}": (v["value"], v["significance"]) for el, ps in model.items() for p, v in ps.items()}


def compare(names: dict[str, str], fitted: dict[str, float], maker: dict[str, tuple[float, float]]) -> list[str]:
    out = []
    for theirs, ours in names.items():
        value, significance = maker[theirs]
        if significance < 0.5:
            continue
        dev = fitted[ours] / value - 1
        out.append(f"{theirs} {value:.5g} vs {fitted[ours]:.5g} ({100 * dev:+.3f} %{' OK' if abs(dev) < 0.01 else ' OVER 1 %'})")
    return out


def zahner() -> None:
    root = DATA / "zahner-ism" / "ImpedanceVsVoltageSeriesFit"
    files = sorted((root / "measured_spectras").glob("*_mvdc.ism"))
    data = [read_ism(p) for p in files]
    bias = [int(p.name.split("_")[0]) for p in files]
    circuit = "(R0,C0)-L0"
    print(f"Zahner diode bias series: {len(files)} spectra read with {data[0][2]}, {circuit}")
    t0 = time.perf_counter()
    res = fit_series(circuit, [(f, z) for f, z, _ in data], {"bias_mV": bias}, progress=False)
    dt = time.perf_counter() - t0
    t = res.table
    print(f"  chain: {dt:.3f} s  converged {int(t['success'].sum())}/{len(t)}")
    for _, row in t.iterrows():
        print(f"    {row['bias_mV']:4d} mV  R0 {row['R0.r']:.5g}  C0 {row['C0.c']:.5g}  L0 {row['L0.l']:.4g}  "
              f"reduced chi2 {row['reduced_chi_square']:.3g}")
    results = sorted((root / "fitted_spectras").glob("*/fit_result.json")) if (root / "fitted_spectras").exists() else []
    if not results:
        print("  the maker's per-spectrum fit results (fitted_spectras/) are not in this checkout: nothing to compare")
    for path in results:
        mv = int(path.parent.name.split("_")[0])
        row = t[t["bias_mV"] == mv].iloc[0]
        fitted = {n: float(row[n]) for n in res.param_names}
        print(f"    {mv} mV: " + "; ".join(compare({"R0.R": "R0.r", "C0.C": "C0.c", "L0.L": "L0.l"}, fitted,
                                                   maker_values(path))))
    basic = DATA / "zahner-ism" / "BasicIntroduction"
    f, z, how = read_ism(basic / "rc-data.ism")
    one = fit_series("(R0,C0)", [(f, z)], progress=False)
    fitted = {n: float(one.table.loc[0, n]) for n in one.param_names}
    lines = compare({"R0.R": "R0.r", "C0.C": "C0.c"}, fitted, maker_values(basic / "fit_results" / "fit_result.json"))
    print(f"  BasicIntroduction R||C (read with {how}), against the maker's fit: " + "; ".join(lines))


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--rounds", type=int, default=3)
    args = p.parse_args()
    warnings.simplefilter("ignore")
    battery(args.rounds)
    redox(args.rounds)
    zahner()


if __name__ == "__main__":
    main()
