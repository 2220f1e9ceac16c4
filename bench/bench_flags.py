"""Fit verdicts and arc order on held-out synthetic spectra.

Three checks, each on spectra drawn with the training tool's generator
(zetrion_tools.training.spectra.draw, the "standard" distribution, seeds the
built-in models never saw):

1. Two arcs fitted to one-arc data (rq spectra fitted with two_rq): how many
   fits converge, how many the flags call untrustworthy, and in how many the
   flags name a whole arc (its resistance and its CPE) as not determined.
2. Ordinary fits (rq, two_rq, randles spectra fitted with their own circuit):
   how many are trustworthy, and how many name the parameters they vouch for.
3. Arc order: two_rq spectra fitted by Circuit.fit (the solver's own order),
   by zetrion_tools.fit and by fit_many; the share of fits whose arc 1 is the
   faster one (ascending time constant is the documented order).

Also the cost of the verdict and the ordering, next to the time of the
companion fits they follow, on the same spectra in this process.

Run: python3 bench/bench_flags.py [--count N]
"""

from __future__ import annotations

import argparse
import math
import time
import warnings

import numpy as np

import zetrion
from zetrion_tools import fit, fit_many
from zetrion_tools.arcs import time_constant
from zetrion_tools.engine import presets
from zetrion_tools.training.spectra import draw

SEED = 20261208  # held out: not a seed the training runs use


def quiet_fit(notation: str, f: np.ndarray, z: np.ndarray, **kw):  # type: ignore[no-untyped-def]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return fit(notation, f, z, **kw)


def extra_arcs(count: int) -> None:
    two = presets()["two_rq"]
    arcs = (("R1.r", "CPE1.q"), ("R2.r", "CPE2.q"))
    converged = doubted = named = vouch_r0 = 0
    example = ""
    for s in draw("rq", count, SEED, distribution="standard"):
        r = quiet_fit(two, s.f, s.z)
        converged += r.success
        doubted += not r.trustworthy
        bad = set(r.quality.doubtful())
        hit = any(set(arc) <= bad for arc in arcs)
        named += hit
        vouch_r0 += "R0.r" in r.vouched
        if hit and not example:
            example = r.quality.summary()
    print(f"1. two arcs on one-arc data ({count} rq spectra fitted with {two}):")
    print(f"   converged {converged}/{count}; not trustworthy {doubted}/{count}; "
          f"a whole arc named as not determined {named}/{count}; R0.r still vouched for {vouch_r0}/{count}")
    print(f"   e.g. {example}")


def ordinary(count: int) -> None:
    print("2. each circuit fitted to its own spectra:")
    for preset in ("rq", "two_rq", "randles"):
        notation = presets()[preset]
        trusted = said = 0
        sizes = []
        for s in draw(preset, count, SEED + 1, distribution="standard"):
            r = quiet_fit(notation, s.f, s.z)
            trusted += r.trustworthy
            said += bool(r.vouched) or bool(r.flags)
            sizes.append(len(r.vouched) / len(r.free))
        print(f"   {preset:8s} trustworthy {trusted}/{count}; verdict with vouched list {said}/{count}; "
              f"mean share of parameters vouched for {np.mean(sizes):.2f}")


def fast_first(notation: str, values: dict[str, float]) -> bool:
    t1 = time_constant("(R1,CPE1)", [values["R1.r"], values["CPE1.q"], values["CPE1.alpha"]])
    t2 = time_constant("(R1,CPE1)", [values["R2.r"], values["CPE2.q"], values["CPE2.alpha"]])
    # a block without a peak (a shorted arc) goes last
    return bool(t1 <= t2 or np.isnan(t2))


def arc_order(count: int) -> None:
    notation = presets()["two_rq"]
    spectra = draw("two_rq", count, SEED + 2, distribution="standard")
    circuit = zetrion.Circuit(notation)
    raw = sum(fast_first(notation, dict(circuit.fit(s.f, s.z).params)) for s in spectra)
    ours = sum(fast_first(notation, quiet_fit(notation, s.f, s.z).params) for s in spectra)
    table = fit_many(notation, [(s.f, s.z) for s in spectra], progress=False, threads=1)
    rows = sum(fast_first(notation, dict(row)) for _, row in table.iterrows())
    print(f"3. arc order on {count} held-out two_rq spectra: arc 1 the faster in")
    print(f"   Circuit.fit {raw}/{count}; zetrion_tools.fit {ours}/{count}; fit_many rows {rows}/{count}")


def overhead(count: int) -> None:
    from zetrion_tools.arcs import order_fit
    from zetrion_tools.quality import assess_fit

    notation = presets()["two_rq"]
    spectra = draw("two_rq", count, SEED + 3, distribution="standard")
    t0 = time.perf_counter()
    fits = [quiet_fit(notation, s.f, s.z) for s in spectra]
    fitting = time.perf_counter() - t0
    judging = math.inf
    for _ in range(3):
        t0 = time.perf_counter()
        for r in fits:
            assess_fit(order_fit(r))
        judging = min(judging, time.perf_counter() - t0)
    print(f"4. cost: {count} two_rq companion fits take {fitting * 1e3 / count:.2f} ms each; ordering their arcs "
          f"and judging them {judging * 1e3 / count:.3f} ms each ({judging / fitting:.1%} of the fit)")
    from zetrion_tools.row_fits import core_row_fit

    for preset in ("randles", "two_rq"):
        c = zetrion.Circuit(preset)
        spectra = draw(preset, count, SEED + 4, distribution="standard")
        t0 = time.perf_counter()
        results = [c.fit(s.f, s.z) for s in spectra]
        fitting = time.perf_counter() - t0
        t0 = time.perf_counter()
        for s, r in zip(spectra, results):
            core_row_fit(c, s.f, s.z, r, "modulus")
        judging = time.perf_counter() - t0
        print(f"   fit_many rows ({preset}): Circuit.fit {fitting * 1e3 / count:.2f} ms, ordering and judging "
              f"{judging * 1e3 / count:.3f} ms per spectrum ({judging / fitting:.1%})")


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--count", type=int, default=50)
    args = p.parse_args()
    extra_arcs(args.count)
    ordinary(args.count)
    arc_order(args.count)
    overhead(min(args.count, 30))


if __name__ == "__main__":
    main()
