#!/usr/bin/env python3
"""Fits of circuits nobody trained a model for, with no starting values.

Ten circuits that are not presets, spectra drawn with the training tool's
standard rule (every time constant inside the band, 5 - 20 points per
decade) with 1 % noise, held-out seeds (from 770000). Each spectrum is
fitted by

- ``Circuit.fit`` from the element defaults (the module alone),
- ``zetrion_tools.fit`` with its automatic starts (data-informed starts),
- impedance.py's ``CustomCircuit.fit`` from the same element defaults (when
  installed and the circuit can be written in its notation),
- pyimpspec's ``fit_circuit(method="auto")`` when it is installed (run side
  by side only; nothing in the package uses it),

and a fit counts as reaching the optimum when its cost is within 1 % of the
cost at the true values (or below it). Prints the share per circuit and
method, the worst circuit, and the median time per fit of the companion.

    python3 bench/bench_any_circuit.py [--count 40] [--peers]
"""

from __future__ import annotations

import argparse
import statistics
import time
import warnings

import numpy as np

import zetrion
from zetrion_tools import fit
from zetrion_tools.training import spectra

CIRCUITS = [
    "R0-(R1,C1)-(R2,C2)-(R3,C3)",
    "L0-R0-(R1,CPE1)-(R2,CPE2)-(R3,CPE3)",
    "R0-(R1,CPE1)-(R2,CPE2)-(R3,CPE3)",
    "R0-(R1,C1)-(R2-Wo2,C2)",
    "R0-(CPE1,R1-(CPE2,R2))",
    "R0-(R1,CPE1)-G1",
    "R0-(R1-Ws1,CPE1)",
    "R0-Zarc1-Zarc2",
    "R0-(R1,CPE1)-Wo1",
    "R0-(R1,C1)-(R2,CPE2)-W2",
]
SEED = 770000


def cost_at(circuit: zetrion.Circuit, values, f, z) -> float:
    r = np.asarray(circuit.residuals(list(values), f, z), dtype=np.float64)
    return 0.5 * float(r @ r)


def impedance_py(notation: str, f, z):
    """impedance.py from zetrion's element defaults; None where it cannot run."""
    try:
        from impedance.models.circuits import CustomCircuit
    except ImportError:
        return None
    if "Zarc" in notation or "L0" in notation:
        return None
    text = notation.replace("(", "p(").replace("CPE", "CPE")
    guess = zetrion.Circuit(notation).param_values()
    try:
        model = CustomCircuit(text, initial_guess=guess)
        model.fit(f, z)
        return list(model.parameters_)
    except Exception:
        return None


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--count", type=int, default=40)
    ap.add_argument("--peers", action="store_true", help="also run impedance.py (slow)")
    args = ap.parse_args()
    warnings.simplefilter("ignore")
    print(f"{'circuit':<38} {'core':>6} {'companion':>9} {'impedance.py':>12} {'median ms':>9}")
    totals = {"core": 0, "companion": 0, "n": 0}
    worst = 1.0
    times: list[float] = []
    for k, notation in enumerate(CIRCUITS):
        circuit = zetrion.Circuit(notation)
        data = spectra.draw(notation, args.count, SEED + 100 * k, noise=0.01, distribution="standard")
        hits = {"core": 0, "companion": 0, "peer": 0}
        peer_ran = 0
        t_circuit = []
        for s in data:
            target = cost_at(circuit, s.truth, s.f, s.z) * 1.01
            try:
                core = circuit.fit(s.f, s.z, guess_init=False)
                hits["core"] += core.cost <= target
            except ValueError:
                pass
            t0 = time.perf_counter()
            res = fit(notation, s.f, s.z, check_sign=False)
            t_circuit.append(time.perf_counter() - t0)
            hits["companion"] += res.cost <= target
            if args.peers:
                values = impedance_py(notation, s.f, s.z)
                if values is not None:
                    peer_ran += 1
                    hits["peer"] += cost_at(circuit, values, s.f, s.z) <= target
        n = len(data)
        totals["n"] += n
        totals["core"] += hits["core"]
        totals["companion"] += hits["companion"]
        worst = min(worst, hits["companion"] / n)
        times.extend(t_circuit)
        peer = f"{hits['peer']}/{peer_ran}" if peer_ran else "n/a"
        print(
            f"{notation:<38} {hits['core']:>3}/{n:<2} {hits['companion']:>6}/{n:<2} {peer:>12} "
            f"{1e3 * statistics.median(t_circuit):9.1f}"
        )
    n = totals["n"]
    print(
        f"\nall: core from defaults {100 * totals['core'] / n:.1f} %, companion {100 * totals['companion'] / n:.1f} % "
        f"(bar 99 %), worst circuit {100 * worst:.1f} % (bar 96 %), median {1e3 * statistics.median(times):.1f} ms "
        "per fit (bar 25 ms)"
    )


if __name__ == "__main__":
    main()
