"""Binary readers: agreement with the reference readings, and read times.

For every file:

- BioLogic ``.mpr`` with an EC-Lab text export of the same measurement: the
  largest relative difference between the binary's values and the export's,
  column by column (the export prints float32 values with 8 significant
  digits, so a few 1e-8 is the most it can agree), and how many values are
  identical once printed the way EC-Lab prints them (8 digits, 16 for the
  double time column); frequencies and
  impedances against ``read`` of the export;
- any ``.mpr``: cycles and points per cycle, and the largest residual of the
  relations between its columns (|Z| against Re/-Im, |Ewe|/|I| against |Z|);
- Zahner ``.ism``: the largest relative difference of frequencies and
  impedances against ``zahner_analysis`` (0 means bit-identical), and the
  time of ``read`` against ``zahner_analysis.IsmImport`` plus its getters,
  both in this process, best of ``--repeat`` rounds.

Run: python3 bench/bench_binary_read.py [--repeat 200] [--data DIR]
(the installed ``zetrion_tools`` is measured; ``zahner_analysis`` is
optional: without it the .ism comparison is skipped).
"""

from __future__ import annotations

import argparse
import time
import warnings
from collections.abc import Callable
from decimal import ROUND_HALF_UP, Decimal
from pathlib import Path

import numpy as np

from zetrion_tools.io import read, read_all

ROOT = Path(__file__).resolve().parents[1]
DATA = ROOT / "tests" / "python" / "data" / "instrument-files"
# .mpr -> its EC-Lab text export
EXPORTS = {"PEIS_LPSCl_IonBlocking_-25C.mpr": DATA / "more" / "PEIS_LPSCl_IonBlocking_-25C.txt"}


def rel(a: np.ndarray, b: np.ndarray) -> float:
    return float(np.max(np.abs(a - b) / np.maximum(np.abs(b), 1e-300)))


def printed(v: float, digits: int) -> float:
    """``v`` as EC-Lab prints it: ``digits`` significant digits, halves rounded up."""
    x = Decimal(float(v))
    return float(x.quantize(Decimal(1).scaleb(x.adjusted() - digits + 1), rounding=ROUND_HALF_UP))


def best(fn: Callable[[], object], repeat: int) -> float:
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times)


def mpr_report(path: Path) -> None:
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        spectra = read_all(path)
    d = {k: np.concatenate([s.metadata["data"][k] for s in spectra]) for k in spectra[0].metadata["columns"]}
    modulus = rel(d["|Z|/Ohm"], np.hypot(d["Re(Z)/Ohm"], d["-Im(Z)/Ohm"]))
    ohm = rel(d["|Ewe|/V"] / d["|I|/A"], d["|Z|/Ohm"])
    print(
        f"{path.name}: {len(spectra)} cycle(s) x {[len(s) for s in spectra]} points, "
        f"{len(d)} columns; |Z| vs hypot(Re,-Im) {modulus:.1e}, |Ewe|/|I| vs |Z| {ohm:.1e}"
    )
    export = EXPORTS.get(path.name)
    if export is None:
        return
    lines = export.read_text(encoding="latin-1").splitlines()
    names = lines[64].rstrip("\t").split("\t")
    rows = np.array([[float(c) for c in line.split("\t")[: len(names)]] for line in lines[65:]])
    for k, name in enumerate(names):
        ours, theirs = d[name], rows[:, k]
        digits = 16 if name == "time/s" else 8  # doubles are printed with 16 digits
        same = sum(printed(a, digits) == b for a, b in zip(ours, theirs))
        print(f"    {name:14s} max rel diff {rel(ours, theirs):.2e}   identical as printed {same}/{len(theirs)}")
    (t,) = read_all(export)
    s = spectra[0]
    print(
        f"    vs read(export): f {rel(s.frequencies, t.frequencies):.2e}, "
        f"Z {rel(s.impedance, t.impedance):.2e}"
    )


def ism_report(paths: list[Path], repeat: int) -> None:
    try:
        from zahner_analysis.file_import.ism_import import IsmImport
    except ImportError:
        print("zahner_analysis not installed: .ism comparison skipped")
        return

    def theirs(p: Path) -> tuple[np.ndarray, np.ndarray]:
        r = IsmImport(str(p))
        return r.getFrequencyArray(), r.getComplexImpedanceArray()

    ratios = []
    for p in paths:
        f_ref, z_ref = theirs(p)
        s = read(p)
        order = slice(None) if s.frequencies[0] < s.frequencies[-1] else slice(None, None, -1)
        ours_t, theirs_t = best(lambda: read(p), repeat), best(lambda: theirs(p), repeat)
        ratios.append(theirs_t / ours_t)
        print(
            f"{p.name:45s} {len(s):4d} pts  f {rel(s.frequencies[order], f_ref):.1e}  "
            f"Z {rel(s.impedance[order], z_ref):.1e}  read {ours_t * 1e6:7.1f} us  "
            f"zahner_analysis {theirs_t * 1e6:7.1f} us  ratio {theirs_t / ours_t:5.2f}"
        )
    print(f"zahner_analysis time / read time: median {np.median(ratios):.2f} over {len(ratios)} files")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=200)
    parser.add_argument("--data", type=Path, default=DATA / "binary")
    args = parser.parse_args()
    for path in sorted(args.data.rglob("*.mpr")):
        mpr_report(path)
    mpr = sorted(args.data.rglob("*.mpr"))
    if mpr:
        t = best(lambda: read_all(mpr[0]), args.repeat)
        print(f"read_all({mpr[0].name}): {t * 1e6:.1f} us")
    ism_report(sorted(args.data.rglob("*.ism")), args.repeat)


if __name__ == "__main__":
    main()
