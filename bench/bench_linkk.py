"""Lin-KK speed: zetrion_tools.validation.linkk against impedance.py's linKK.

Both run in this process on the same spectra (the classic test, mode="impedance.py"; every instrument file in
tests/python/data/instrument-files that holds a full spectrum), with the same
c, max_M, fit type and series capacitance setting; each timing is the best of
several repeats (the same number for both). impedance.py prints progress every 10 RC elements; that
output is swallowed (it is part of its cost, as a user would pay it). Under
NumPy 2 impedance.py's linKK needs ``np`` in the namespace its circuit strings
are evaluated in; it is added here.

Run: PYTHONPATH=python python3 bench/bench_linkk.py [--repeat N] [--fit-type T]
"""

from __future__ import annotations

import argparse
import contextlib
import io as _io
import sys
import time
import warnings
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parents[1]

from zetrion_tools.io import read  # noqa: E402
from zetrion_tools.validation import linkk  # noqa: E402

DATA = ROOT / "tests" / "python" / "data" / "instrument-files"


def best_of(fn, repeat: int) -> float:  # type: ignore[no-untyped-def]
    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
    return best


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--fit-type", default="complex", choices=["real", "imag", "complex"])
    ap.add_argument("--add-cap", action="store_true")
    args = ap.parse_args()

    import impedance.validation as iv

    iv.circuit_elements.setdefault("np", np)

    print(f"fit_type={args.fit_type} add_cap={args.add_cap} c=0.85 max_M=50, best of {args.repeat}")
    print(f"{'file':32s} {'N':>4s} {'M':>3s} {'zetrion_tools':>14s} {'impedance.py':>13s} {'ratio':>7s}")
    ratios = []
    for path in sorted(DATA.iterdir()):
        if path.suffix.lower() in (".md",) or path.name.startswith("LICENSE") or "Missing" in path.name:
            continue
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            s = read(path)
        f, z = s.frequencies, s.impedance

        def ours() -> None:
            linkk(f, z, fit_type=args.fit_type, add_cap=args.add_cap, mode="impedance.py")

        def peer() -> None:
            with contextlib.redirect_stdout(_io.StringIO()):
                iv.linKK(f, z, fit_type=args.fit_type, add_cap=args.add_cap)

        ours()  # warm-up
        peer()
        t_ours = best_of(ours, args.repeat)
        t_peer = best_of(peer, args.repeat)
        M = linkk(f, z, fit_type=args.fit_type, add_cap=args.add_cap, mode="impedance.py").M
        ratios.append(t_peer / t_ours)
        print(f"{path.name:32s} {f.size:4d} {M:3d} {t_ours * 1e3:11.3f} ms {t_peer * 1e3:10.2f} ms {ratios[-1]:6.0f}x")
    geo = float(np.exp(np.mean(np.log(ratios))))
    print(f"ratio (impedance.py / zetrion_tools): min {min(ratios):.0f}x, geometric mean {geo:.0f}x")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
