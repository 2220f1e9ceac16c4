"""Kramers-Kronig verdicts at the defaults: zetrion_tools.linkk against impedance.py's linKK and pyimpspec.

For every spectrum: the largest relative residual, the points flagged, the M
chosen and the representation, from

- ``linkk(f, z)`` at its defaults;
- impedance.py's ``validation.linKK(f, z)`` at its defaults (real-part fit,
  c = 0.85, no series capacitance), and ``linkk(..., mode="impedance.py")``
  with the complex fit, as the project's ``zetrion check`` ran it before;
- pyimpspec's default test (``perform_kramers_kronig_test``), when pyimpspec
  is installed (it is not a dependency of the project; ``--no-pyimpspec``
  skips it, which saves minutes).

The spectra are the dummy cells, the Li-ion, battery and ion-blocking cells
of ``tests/python/data`` and ``examples/data``, then copies spoilt on
purpose (a drift of 20 % of |Z| over the sweep, one point with its
imaginary sign flipped, an arc edited in below its characteristic frequency
only), which every test should fail.

Run (with the package installed): python3 bench/bench_kk.py [--no-pyimpspec]
"""

from __future__ import annotations

import argparse
import contextlib
import io as _io
import sys
import time
import warnings
from collections.abc import Callable, Iterator
from pathlib import Path

import numpy as np

from zetrion_tools.io import read
from zetrion_tools.validation import linkk

ROOT = Path(__file__).resolve().parents[1]

DATA = ROOT / "tests" / "python" / "data"
SPECTRA = [
    ("dummy", DATA / "instrument-files" / "Circuit2_EIS_1.z"),
    ("dummy", DATA / "instrument-files" / "Circuit3_EIS_1.z"),
    ("dummy", DATA / "kk" / "Circuit1_EIS_1.z"),
    ("dummy", ROOT / "examples" / "data" / "Circuit3_EIS_1.z"),
    ("Li-ion", DATA / "kk" / "LIB_data.txt"),
    ("Li-ion", DATA / "kk" / "autoeis_battery_cycle0.csv"),
    ("Li-ion", DATA / "kk" / "autoeis_battery_cycle60.csv"),
    ("Li-ion", DATA / "kk" / "autoeis_battery_cycle129.csv"),
    ("battery", ROOT / "examples" / "data" / "battery_cell.csv"),
    ("blocking", DATA / "instrument-files" / "more" / "PEIS_LPSCl_IonBlocking_-25C.txt"),
    ("other", ROOT / "examples" / "data" / "exampleDataGamry.DTA"),
    ("other", DATA / "instrument-files" / "more" / "EISGALV_EISTest3.DTA"),
]


def load(path: Path) -> tuple[np.ndarray, np.ndarray]:
    if path.name == "LIB_data.txt":
        a = np.loadtxt(path)
        return a[:, 0], a[:, 1] + 1j * a[:, 2]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        s = read(path)
    return s.frequencies, s.impedance


def drift(f: np.ndarray, z: np.ndarray) -> np.ndarray:
    order = np.argsort(f)[::-1]
    t = np.cumsum(1.0 / f[order])
    out = z.copy()
    out[order] = z[order] * (1.0 + 0.2 * t / t[-1])
    return out


def flip(f: np.ndarray, z: np.ndarray) -> np.ndarray:
    out = z.copy()
    k = int(np.argmin(z.imag))
    out[k] = np.conj(out[k])
    return out


def arc(f: np.ndarray, z: np.ndarray) -> np.ndarray:
    mid = float(np.sqrt(f.max() * f.min()))
    extra = 0.3 * float(np.abs(z).max() - np.abs(z).min()) / (1.0 + 1j * f / mid)
    out = z.copy()
    out[f < mid] += extra[f < mid]
    return out


SPOILS: dict[str, Callable[[np.ndarray, np.ndarray], np.ndarray]] = {"drift": drift, "flip": flip, "arc": arc}


def cases() -> Iterator[tuple[str, str, np.ndarray, np.ndarray]]:
    for kind, path in SPECTRA:
        f, z = load(path)
        yield kind, path.name, f, z
    for kind, path in SPECTRA[1:2] + SPECTRA[5:6] + SPECTRA[8:9]:
        f, z = load(path)
        for name, spoil in SPOILS.items():
            yield f"{kind}+{name}", path.name, f, spoil(f, z)


def ours(f: np.ndarray, z: np.ndarray) -> str:
    t0 = time.perf_counter()
    r = linkk(f, z)
    dt = time.perf_counter() - t0
    return (f"{100 * r.max_residual:6.2f}% {int(r.outliers.sum()):2d} {r.M:2d} "
            f"{r.representation[:3]} {r.verdict:8s} {1000 * dt:5.0f}ms")


def classic(f: np.ndarray, z: np.ndarray) -> str:
    r = linkk(f, z, mode="impedance.py")
    return f"{100 * r.max_residual:6.2f}% {r.M:2d}"


def impedance_py(f: np.ndarray, z: np.ndarray) -> str:
    import impedance.validation as iv

    iv.circuit_elements.setdefault("np", np)  # it evaluates np.float64(...) strings
    with contextlib.redirect_stdout(_io.StringIO()):
        M, _mu, _zf, re, im = iv.linKK(f, z)
    return f"{100 * max(np.abs(re).max(), np.abs(im).max()):6.2f}% {M:2d}"


def pyimpspec_default(f: np.ndarray, z: np.ndarray) -> str:
    import pyimpspec

    t0 = time.perf_counter()
    r = pyimpspec.perform_kramers_kronig_test(pyimpspec.DataSet(f, z), num_procs=1)
    dt = time.perf_counter() - t0
    _, re, im = r.get_residuals_data()  # in percent
    rep = "adm" if r.admittance else "imp"
    return f"{max(np.abs(re).max(), np.abs(im).max()):6.2f}% {r.num_RC:2d} {rep} {dt:5.1f}s"


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--no-pyimpspec", action="store_true", help="skip pyimpspec (slow)")
    args = ap.parse_args()
    peers: list[tuple[str, Callable[[np.ndarray, np.ndarray], str]]] = [
        ("mode=impedance.py", classic), ("impedance.py linKK", impedance_py)]
    if not args.no_pyimpspec:
        peers.append(("pyimpspec default", pyimpspec_default))
    print("linkk defaults: max residual, points flagged, M, representation, verdict, time")
    print(f"{'case':16s} {'file':34s} {'N':>3s} | {'linkk (defaults)':38s} | " + " | ".join(n for n, _ in peers))
    for kind, name, f, z in cases():
        cells = [ours(f, z)]
        for _, peer in peers:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                try:
                    cells.append(peer(f, z))
                except Exception as exc:  # a peer's failure is a cell, not the end of the bench
                    cells.append(f"failed: {type(exc).__name__}")
        print(f"{kind:16s} {name[:34]:34s} {f.size:3d} | " + " | ".join(cells), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
