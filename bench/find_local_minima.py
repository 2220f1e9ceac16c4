#!/usr/bin/env python3
"""Searches for spectra on which the default Levenberg-Marquardt fit from a
poor start (the element defaults) ends in a local minimum, and prints them
as test data: notation, true parameters, frequency range and the costs.

    python3 bench/find_local_minima.py [--tries 300]
"""

import argparse
import warnings

import numpy as np

import zetrion

CASES = ["R0-(R1,CPE1)-(R2,CPE2)", "R0-(R1,C1)-(R2,C2)", "R0-(R1-W1,CPE1)"]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--tries", type=int, default=300)
    args = ap.parse_args()
    warnings.simplefilter("ignore")
    rng = np.random.default_rng(77)
    f = np.geomspace(1e5, 1e-2, 50)
    for notation in CASES:
        c = zetrion.Circuit(notation)
        found = 0
        for _ in range(args.tries):
            truth = []
            for name in c.param_names():
                if name.endswith(".alpha"):
                    truth.append(round(float(rng.uniform(0.6, 1.0)), 3))
                elif name.endswith((".c", ".q")):
                    truth.append(float(f"{10 ** rng.uniform(-7, -2):.3g}"))
                else:
                    truth.append(float(f"{10 ** rng.uniform(0, 3.5):.3g}"))
            z = c.with_values(truth).impedance(f)
            r = c.fit(f, z, guess_init=False)
            if r.cost > 1e-6:
                print(f"{notation!r}, {truth!r}, cost from defaults {r.cost:.3g}")
                found += 1
                if found == 3:
                    break


if __name__ == "__main__":
    main()
