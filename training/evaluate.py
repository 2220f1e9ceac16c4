"""Accuracy and usefulness of a trained model on held-out spectra.

    python3 training/evaluate.py rc [--count 500] [--weights PATH]

Held-out spectra use seeds from 900000 on, never used in training. Prints,
per parameter, the median absolute error of the guess (decades for positive
parameters, absolute for exponents), the same split by noise level, and the
share of fits that reach the global optimum (final cost at most 1.01 times
the cost at the true parameters) from the learned guess and from the element
defaults.
"""

from __future__ import annotations

import argparse
import pathlib
import sys
import time
import warnings

import numpy as np

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import spectra  # noqa: E402
from train import MODELS  # noqa: E402

import zetrion  # noqa: E402

HELD_OUT_SEED = 900000


def errors(names, guess, truth):
    out = []
    for n, g, t in zip(names, guess, truth):
        if n.endswith((".alpha", ".gamma")):
            out.append(abs(g - t))
        else:
            out.append(abs(np.log10(g) - np.log10(t)) if g > 0 else np.inf)
    return out


def evaluate(name, count=500, weights=None, fits=True):
    notation = MODELS[name][0]
    path = str(weights or HERE.parent / "weights" / f"{name}.eisnn")
    c = zetrion.Circuit(notation)
    names = c.param_names()
    data = spectra.draw(notation, count, HELD_OUT_SEED + MODELS_INDEX[name])
    errs, noises, guess_times = [], [], []
    hit_guess = hit_default = 0
    for s in data:
        t0 = time.perf_counter()
        g = c.guess(s.f, s.z, weights=path)
        guess_times.append(time.perf_counter() - t0)
        errs.append(errors(names, g, s.truth))
        noises.append(s.noise)
        if fits:
            truth_cost = 0.5 * float(np.sum(np.square(c.residuals(list(s.truth), s.f, s.z))))
            limit = 1.01 * truth_cost + 1e-300
            r = c.fit(s.f, s.z, weights=path)
            hit_guess += r.cost <= limit
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                r0 = c.fit(s.f, s.z, guess_init=False)
            hit_default += r0.cost <= limit
    errs = np.array(errs)
    noises = np.array(noises)
    print(f"== {name} ({notation}), {count} held-out spectra; guess median {1e3 * np.median(guess_times):.3f} ms")
    print(f"{'parameter':>14} {'median err':>11} {'noise<1%':>9} {'1-2%':>9} {'2-3%':>9}  unit")
    bands = [(0, 0.01), (0.01, 0.02), (0.02, 0.031)]
    worst = {}
    for j, n in enumerate(names):
        cols = [np.median(errs[(noises >= lo) & (noises < hi), j]) for lo, hi in bands]
        unit = "abs" if n.endswith((".alpha", ".gamma")) else "decades"
        med = float(np.median(errs[:, j]))
        worst[n] = med
        print(f"{n:>14} {med:11.4f} " + " ".join(f"{v:9.4f}" for v in cols) + f"  {unit}")
    if fits:
        print(f"global optimum reached: from guess {hit_guess}/{count} ({100 * hit_guess / count:.1f} %), "
              f"from defaults {hit_default}/{count} ({100 * hit_default / count:.1f} %)")
    return worst, hit_guess / count if fits else None


MODELS_INDEX = {n: i for i, n in enumerate(MODELS)}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("name")
    ap.add_argument("--count", type=int, default=500)
    ap.add_argument("--weights")
    ap.add_argument("--no-fits", action="store_true")
    args = ap.parse_args()
    names = list(MODELS) if args.name == "all" else [args.name]
    for n in names:
        evaluate(n, args.count, args.weights, not args.no_fits)


if __name__ == "__main__":
    main()
