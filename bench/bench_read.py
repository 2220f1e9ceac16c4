"""Reader cost: time and peak memory of ``read`` on large and hostile files.

Three measurements, each case in a fresh interpreter so that its peak
resident memory (``ru_maxrss``) is its own:

- a large delimited file (``--mb`` megabytes of ``freq,Re(Z),Im(Z)`` rows)
  read by ``zetrion_tools.io.read`` and, as the peer in the same kind of
  process, by ``pandas.read_csv`` and ``numpy.loadtxt``; the ratios of time
  and memory against pandas are printed, memory also as a multiple of the
  file size;
- a large Gamry ``.DTA`` (the shipped export's table repeated) read by
  ``read`` and by impedance.py's ``readGamry``;
- hostile header lines (a line of N bytes of ``(``, ``( ``, ``a(`` or
  ``\t(`` before a valid table, read as delimited text) at growing N: the
  time per byte should stay flat (a reader linear in the file's size), so
  the ratio of the largest to the smallest per-byte cost is printed (about
  1 when linear, N2/N1 when quadratic).

Run: python3 bench/bench_read.py [--mb 200] [--hostile 20000,200000]
(the installed ``zetrion_tools`` is measured).
"""

from __future__ import annotations

import argparse
import json
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
DATA = ROOT / "tests" / "python" / "data" / "instrument-files"

CHILD = r"""
import json, resource, sys, time, warnings
kind, path = sys.argv[1], sys.argv[2]
warnings.simplefilter("ignore")
import numpy as np
if kind == "zetrion":
    from zetrion_tools.io import read
elif kind == "pandas":
    import pandas as pd
elif kind == "impedance":
    from impedance.preprocessing import readGamry
base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
t0 = time.perf_counter()
if kind == "zetrion":
    n = len(read(path))
elif kind == "pandas":
    n = len(pd.read_csv(path))
elif kind == "numpy":
    n = len(np.loadtxt(path, delimiter=",", skiprows=1))
else:
    n = len(readGamry(path)[0])
dt = time.perf_counter() - t0
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(json.dumps({"n": n, "seconds": dt, "peak_kb": peak, "base_kb": base}))
"""


def run(kind: str, path: Path) -> dict[str, float]:
    out = subprocess.run(
        [sys.executable, "-c", CHILD, kind, str(path)], capture_output=True, text=True, check=True
    )
    return json.loads(out.stdout.strip().splitlines()[-1])  # type: ignore[no-any-return]


def big_csv(path: Path, mb: int) -> None:
    row = b"%.15e,%.15e,%.15e\n"
    block = b"".join(row % (1e5 / (1 + k), 10.0 + k * 1e-3, -5.0 - k * 1e-3) for k in range(10000))
    with path.open("wb") as fh:
        fh.write(b"freq,Re(Z),Im(Z)\n")
        while fh.tell() < mb * 1024 * 1024:
            fh.write(block)


def big_gamry(path: Path, mb: int) -> None:
    text = (DATA / "exampleDataGamry.DTA").read_bytes()
    start = text.index(b"ZCURVE")
    head_end = text.index(b"\n", text.index(b"\n", text.index(b"\n", start) + 1) + 1) + 1
    rows = text[head_end:]
    with path.open("wb") as fh:
        fh.write(text[:head_end])
        while fh.tell() < mb * 1024 * 1024:
            fh.write(rows)


def report(label: str, size: int, mine: dict[str, float], peer: dict[str, float], peer_name: str) -> None:
    mem = (mine["peak_kb"] - mine["base_kb"]) * 1024
    pmem = (peer["peak_kb"] - peer["base_kb"]) * 1024
    print(
        f"{label}: {size / 2**20:.0f} MiB, {mine['n']} points | read {mine['seconds']:.2f} s, "
        f"+{mem / 2**20:.0f} MiB ({mem / size:.1f}x file) | {peer_name} {peer['seconds']:.2f} s, "
        f"+{pmem / 2**20:.0f} MiB | time ratio {mine['seconds'] / peer['seconds']:.2f}, "
        f"memory ratio {mem / max(pmem, 1):.2f}"
    )


def hostile(sizes: list[int]) -> None:
    import time
    import warnings

    from zetrion_tools.io import ReadError, read

    table = "freq,Re(Z),Im(Z)\n1,2,-3\n10,2,-1\n"
    with tempfile.TemporaryDirectory() as tmp:
        for unit in ("(", "( ", "a(", "\t("):
            per_byte = []
            for n in sizes:
                p = Path(tmp) / "h.csv"
                p.write_text(unit * (n // len(unit)) + "\n" + table)
                t0 = time.perf_counter()
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore")
                    try:
                        read(p, format="delimited")
                    except ReadError:
                        pass
                dt = time.perf_counter() - t0
                per_byte.append(dt / n)
                print(f"  header of {n} bytes of {unit!r}: {dt * 1e3:.1f} ms")
            print(f"hostile {unit!r}: per-byte cost ratio largest/smallest {per_byte[-1] / per_byte[0]:.2f}")


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--mb", type=int, default=200)
    ap.add_argument("--hostile", default="2500,20000,200000")
    ap.add_argument("--skip-large", action="store_true")
    args = ap.parse_args()
    hostile([int(s) for s in args.hostile.split(",")])
    if args.skip_large:
        return
    with tempfile.TemporaryDirectory() as tmp:
        csv = Path(tmp) / "big.csv"
        big_csv(csv, args.mb)
        mine = run("zetrion", csv)
        report("delimited", csv.stat().st_size, mine, run("pandas", csv), "pandas.read_csv")
        report("delimited", csv.stat().st_size, mine, run("numpy", csv), "numpy.loadtxt")
        csv.unlink()
        dta = Path(tmp) / "big.DTA"
        big_gamry(dta, args.mb)
        report("gamry", dta.stat().st_size, run("zetrion", dta), run("impedance", dta), "impedance.py readGamry")


if __name__ == "__main__":
    main()
