#!/usr/bin/env python3
"""A folder of a thousand spectra, fitted three ways.

1. Writes N synthetic randles spectra (random parameters, 0.5 % noise) as
   CSV files into a folder, with the true parameters in ``truth.csv``.
2. Fits the folder from the command line: ``zetrion fit DIR --circuit
   randles --out results_cli.csv``.
3. Fits the same files from Python with ``fit_many`` (tqdm progress bar).
4. Fits them again on a Dask ``LocalCluster`` of two worker processes with
   ``fit_distributed``.

The three tables agree parameter for parameter; the script prints the time
of each path and how close the fits came to the true values.

    python3 examples/batch/fit_folder.py [--n 1000] [--folder examples/batch/spectra] [--no-dask]
"""

from __future__ import annotations

import argparse
import shutil
import subprocess
import sys
import time
from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd
from tqdm.auto import tqdm

import zetrion
from zetrion_tools import fit_many, read

HERE = Path(__file__).resolve().parent


def write_spectra(folder: Path, n: int, seed: int = 2024) -> pd.DataFrame:
    """N randles spectra as CSV files (freq, Re(Z), Im(Z)); the truth as a frame."""
    folder.mkdir(parents=True, exist_ok=True)
    for old in folder.glob("cell_*.csv"):
        old.unlink()
    rng = np.random.default_rng(seed)
    circuit = zetrion.Circuit("randles")
    names = circuit.param_names()
    f = np.geomspace(1e5, 1e-2, 50)
    truth = []
    # Ranges where the arc closes below 100 kHz, so that the series
    # resistance shows in the data: where it does not, R0.r is not
    # determined by the spectrum and no fit can recover it.
    for k in tqdm(range(n), desc="writing", unit="file"):
        values = [
            10 ** rng.uniform(-1, 1),  # R0.r: 0.1 .. 10 ohm
            10 ** rng.uniform(0, 2.5),  # R1.r: 1 .. 300 ohm
            10 ** rng.uniform(0, 1.5),  # W1.aw: 1 .. 30 ohm s^-1/2
            10 ** rng.uniform(-5, -3),  # CPE1.q
            rng.uniform(0.8, 0.95),  # CPE1.alpha
        ]
        z = circuit.with_values(values).impedance(f)
        z = z + 0.005 * np.abs(z) * (rng.standard_normal(f.size) + 1j * rng.standard_normal(f.size))
        path = folder / f"cell_{k:04d}.csv"
        pd.DataFrame({"freq": f, "Re(Z)": z.real, "Im(Z)": z.imag}).to_csv(path, index=False, float_format="%.12g")
        truth.append({"file": str(path), **dict(zip(names, values))})
    table = pd.DataFrame(truth)
    table.to_csv(folder / "truth.csv", index=False)
    return table


def fit_from_command_line(folder: Path, out: Path) -> pd.DataFrame:
    script = shutil.which("zetrion")
    cmd = [script] if script else [sys.executable, "-m", "zetrion_tools.cli"]
    # *.csv leaves truth.csv out: it is not a spectrum
    run = subprocess.run([*cmd, "fit", str(folder / "cell_*.csv"), "--circuit", "randles", "--out", str(out)])
    if run.returncode != 0:
        raise SystemExit(f"zetrion fit exited with status {run.returncode}")
    return pd.read_csv(out, keep_default_na=False)


def fit_from_python(files: list[Path]) -> pd.DataFrame:
    spectra = [read(p) for p in tqdm(files, desc="reading", unit="file")]
    table = fit_many("randles", spectra)  # progress bar on stderr
    renamed: pd.DataFrame = table.rename(columns={"id": "file"})
    return renamed


def fit_on_dask(files: list[Path]) -> pd.DataFrame:
    import distributed

    from zetrion_tools.distributed import fit_distributed

    spectra = [read(p) for p in files]
    # Point Client at a real scheduler instead, e.g. Client("tcp://scheduler:8786").
    dask: Any = distributed  # Dask ships without type annotations
    with dask.LocalCluster(n_workers=2, processes=True, threads_per_worker=1, dashboard_address=None) as cluster:
        with dask.Client(cluster) as client:
            t0 = time.perf_counter()
            table = fit_distributed("randles", spectra, client)
            print(f"Dask LocalCluster (2 workers): {len(files) / (time.perf_counter() - t0):.0f} spectra/s")
    return table.rename(columns={"id": "file"})


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--n", type=int, default=1000, help="number of spectra (default 1000)")
    ap.add_argument("--folder", type=Path, default=HERE / "spectra", help="where to write them")
    ap.add_argument("--no-dask", action="store_true", help="skip the Dask LocalCluster run")
    args = ap.parse_args()

    truth = write_spectra(args.folder, args.n)
    files = [Path(p) for p in truth["file"]]
    names = zetrion.Circuit("randles").param_names()

    t0 = time.perf_counter()
    cli = fit_from_command_line(args.folder, args.folder / "results_cli.csv")
    print(f"command line: {args.n / (time.perf_counter() - t0):.0f} spectra/s (reading files and start-up included)")

    t0 = time.perf_counter()
    py = fit_from_python(files)
    print(f"Python fit_many: {args.n / (time.perf_counter() - t0):.0f} spectra/s (reading files included)")
    py.to_csv(args.folder / "results_python.csv", index=False)

    tables = {"command line": cli}
    if not args.no_dask:
        tables["Dask"] = fit_on_dask(files)
    for label, other in tables.items():
        a = py.set_index("file").loc[[str(p) for p in files], names].to_numpy(float)
        b = other.set_index("file").loc[[str(p) for p in files], names].to_numpy(float)
        print(f"{label} vs fit_many: largest relative difference {np.nanmax(np.abs(a - b) / np.abs(a)):.1e}")

    merged = truth.merge(py, on="file", suffixes=("_true", ""))
    print(f"fitted: {int(py['success'].sum())} of {len(py)}")
    for n in names:
        err = np.abs(merged[n] / merged[f"{n}_true"] - 1)
        print(f"  {n:<11} median relative error {np.median(err):.2%}, 95th percentile {np.percentile(err, 95):.2%}")


if __name__ == "__main__":
    main()
