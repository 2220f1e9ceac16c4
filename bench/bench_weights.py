#!/usr/bin/env python3
"""Two sets of guesser weights, side by side: fit success and fit time.

For each chosen preset, draws the spectra `bench_fit.py` draws (seeds from
800000, noise 0.5 - 2 %; `--distribution wide` for the wide rule instead) and
runs the default fit from each set's guess, alternating A and B spectrum by
spectrum in one process so that both see the same machine. Prints the share
of fits that reach the optimum (cost at most 1.01 times the cost at the true
parameters) and the median and 95th-percentile fit time, guess included, with
the ratio of the medians B / A.

    python3 bench/bench_weights.py OLD_DIR NEW_DIR [--circuits two_rq,sei_randles] [--count 200] [--repeat 3]

OLD_DIR and NEW_DIR hold NAME.eisnn files (for example the committed weights
extracted with `git show REV:weights/NAME.eisnn` and the retrained ones).
"""

from __future__ import annotations

import argparse
import pathlib
import sys
import time
import warnings

import numpy as np

ROOT = pathlib.Path(__file__).resolve().parents[1]
from zetrion_tools.training.train import MODELS  # noqa: E402

import zetrion  # noqa: E402
from bench_fit import bench_spectra  # noqa: E402  (this folder is on the path when run as a script)


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("a", type=pathlib.Path, help="folder of the first set of weights (A)")
    ap.add_argument("b", type=pathlib.Path, help="folder of the second set (B)")
    ap.add_argument("--circuits", help="comma-separated presets (default: those with a file in both folders)")
    ap.add_argument("--count", type=int, default=200)
    ap.add_argument("--repeat", type=int, default=3, help="timed fits per spectrum and set; the fastest counts")
    ap.add_argument("--distribution", choices=("legacy", "wide"), default="legacy")
    args = ap.parse_args()
    warnings.simplefilter("ignore")
    names = args.circuits.split(",") if args.circuits else [n for n in MODELS if (args.a / f"{n}.eisnn").exists() and (args.b / f"{n}.eisnn").exists()]
    print(f"{'preset':<16} {'A optimum':>9} {'B optimum':>9}  {'A median ms':>11} {'B median ms':>11} {'B/A':>6}  {'A p95':>7} {'B p95':>7}")
    for name in names:
        if name not in MODELS:
            sys.exit(f"unknown preset {name!r}")
        c = zetrion.Circuit(name)
        wa, wb = str(args.a / f"{name}.eisnn"), str(args.b / f"{name}.eisnn")
        data = bench_spectra(name, args.count, args.distribution)
        for w in (wa, wb):  # load both files before timing
            c.guess(data[0].f, data[0].z, weights=w)
        hits = {wa: 0, wb: 0}
        times: dict[str, list[float]] = {wa: [], wb: []}
        for s in data:
            r = np.asarray(c.residuals(list(s.truth), s.f, s.z))
            limit = 1.01 * 0.5 * float(r @ r)
            for w in (wa, wb):
                best = float("inf")
                for _ in range(args.repeat):
                    t0 = time.perf_counter()
                    res = c.fit(s.f, s.z, weights=w)
                    best = min(best, time.perf_counter() - t0)
                hits[w] += res.cost <= limit
                times[w].append(best)
        ta, tb = np.array(times[wa]) * 1e3, np.array(times[wb]) * 1e3
        n = len(data)
        print(f"{name:<16} {100 * hits[wa] / n:8.1f}% {100 * hits[wb] / n:8.1f}%  {np.median(ta):11.3f} {np.median(tb):11.3f} "
              f"{np.median(tb) / np.median(ta):6.3f}  {np.percentile(ta, 95):7.2f} {np.percentile(tb, 95):7.2f}")


if __name__ == "__main__":
    main()
