#!/usr/bin/env python3
"""Ranked circuit suggestions on spectra of known circuits.

Twelve circuits (presets and others: Warburgs of every kind, a Gerischer, a
nested ladder, a series inductance), spectra drawn with the training tool's
standard rule (every element visible in the band) with 1 % noise, held-out
seeds (from 910000). Each spectrum goes through
``zetrion_tools.suggest_circuits`` with its default library, on two threads.

The circuit ranked first counts as right when it is the generating circuit,
or when it has no more parameters and its cost is within 2 % of the cost at
the true values (an equivalent circuit, or a simpler one that fits as well);
the same test over the first three distinct suggestions gives the top-three
share. Prints both shares per circuit and overall, the median and 90th
percentile seconds per spectrum, and the machine's load average.

    python3 bench/bench_suggest.py [--count 10] [--threads 2] [--show-misses]
"""

from __future__ import annotations

import argparse
import os
import statistics
import time
import warnings

import numpy as np

import zetrion
from zetrion_tools.suggest import suggest_circuits
from zetrion_tools.training import spectra

CIRCUITS = [
    "R0-(R1,C1)",
    "R0-(R1,CPE1)",
    "L0-R0-(R1,CPE1)",
    "R0-(R1,CPE1)-(R2,CPE2)",
    "R0-(R1,C1)-(R2,C2)",
    "R0-(R1-W1,CPE1)",
    "R0-(R1,CPE1)-(R2-W2,CPE2)",
    "R0-(R1,CPE1)-(R2-Wo2,CPE2)",
    "R0-(R1,CPE1)-W2",
    "R0-(R1-Ws1,CPE1)",
    "R0-(R1,CPE1)-G2",
    "R0-(CPE1,R1-(CPE2,R2))",
]
SEED = 910000


def cost_at(notation: str, values: list[float], f: np.ndarray, z: np.ndarray) -> float:
    r = np.asarray(zetrion.Circuit(notation).residuals(list(values), f, z), dtype=np.float64)
    return 0.5 * float(r @ r)


def right(notation: str, truth: str, fit_cost: float, target: float) -> bool:
    """The generating circuit, or one no larger that fits within 2 % of the truth's cost."""
    if notation == truth:
        return True
    size = len(zetrion.Circuit(notation).param_names())
    return size <= len(zetrion.Circuit(truth).param_names()) and fit_cost <= target


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--count", type=int, default=10, help="spectra per circuit")
    ap.add_argument("--threads", type=int, default=2)
    ap.add_argument("--show-misses", action="store_true")
    args = ap.parse_args()
    warnings.simplefilter("ignore")
    print(f"load average before: {os.getloadavg()[0]:.1f} (1 min) on {os.cpu_count()} cpus")
    print(f"{'circuit':<30} {'first':>7} {'top 3':>7} {'median s':>9} {'cpu s':>6}")
    firsts = tops = total = 0
    times: list[float] = []
    loads: list[float] = []
    cpu: list[float] = []
    noise: list[float] = []
    for k, truth in enumerate(CIRCUITS):
        data = spectra.draw(truth, args.count, SEED + 100 * k, noise=0.01, distribution="standard")
        hit1 = hit3 = 0
        mine: list[float] = []
        mark = len(cpu)
        for s in data:
            target = 1.02 * cost_at(truth, list(s.truth), s.f, s.z)
            loads.append(os.getloadavg()[0])
            t0, c0 = time.perf_counter(), time.process_time()
            r = suggest_circuits(s.f, s.z, threads=args.threads)
            mine.append(time.perf_counter() - t0)
            cpu.append(time.process_time() - c0)
            noise.append(r.noise)
            top = r.top(3)
            ok = [right(n, truth, r.fits[n].cost, target) for n in top]
            hit1 += ok[0]
            hit3 += any(ok)
            if args.show_misses and not ok[0]:
                print(f"   miss {truth}: {top} shape {r.shape} noise {r.noise:.4g}")
                print(r.table[["notation", "n_params", "chi_square", "bic", "flags"]].head(4).to_string())
                print(r.table[r.table.notation == truth][["notation", "chi_square", "bic", "flags"]].to_string())
                print("   cost at truth", target / 1.02, "fit", r.fits[top[0]].cost)
        n = len(data)
        firsts, tops, total = firsts + hit1, tops + hit3, total + n
        times += mine
        print(f"{truth:<30} {hit1:>3}/{n:<3} {hit3:>3}/{n:<3} {statistics.median(mine):9.2f} {statistics.median(cpu[mark:]):6.2f}")
    q90 = float(np.quantile(times, 0.9))
    print(
        f"\nall {total} spectra: ranked first {100 * firsts / total:.1f} % (bar 80 %), in the top three "
        f"{100 * tops / total:.1f} % (bar 95 %); median {statistics.median(times):.2f} s per spectrum "
        f"(bar 1.5 s), 90th percentile {q90:.2f} s, {args.threads} threads; load average during the run "
        f"{statistics.median(loads):.1f} (median of 1-minute readings, {os.cpu_count()} cpus)"
    )
    print(
        f"processor time per spectrum (both threads together): median {statistics.median(cpu):.2f} s, "
        f"i.e. {statistics.median(cpu) / args.threads:.2f} s of wall time on {args.threads} idle cores; "
        f"noise estimate median {statistics.median(noise):.4g} (drawn: 0.01 / sqrt(2) = 0.00707)"
    )


if __name__ == "__main__":
    main()
