#!/usr/bin/env python3
"""Batch fitting throughput: spectra per second fitting the same synthetic
randles spectra with bare ``Circuit.fit`` calls in a loop, with ``fit_many``
on 1 and 2 threads (and a bare two-thread pool, the ceiling the core allows),
and with ``fit_distributed`` on a Dask LocalCluster of two one-thread worker
processes; the two-thread/one-thread ratio and the batch layer's overhead per
fit against the bare loop. Everything runs in this one process, interleaved
over a few rounds; the best round of each path is reported, with the CPU
share the process got (under 1.0 per thread means the machine was busy). The
overhead is given from wall time and from the process's CPU time (the least
over the rounds), which a busy machine disturbs less.

    PYTHONPATH=python python3 bench/bench_batch.py [--n 1000] [--rounds 3] [--no-dask]
"""

from __future__ import annotations

import argparse
import os
import time
from collections.abc import Callable
from concurrent.futures import ThreadPoolExecutor
from typing import Any

import numpy as np

import zetrion
from zetrion_tools.batch import fit_many


def make_spectra(n: int, seed: int = 1) -> list[tuple[np.ndarray, np.ndarray]]:
    rng = np.random.default_rng(seed)
    c = zetrion.Circuit("randles")
    f = np.geomspace(1e5, 1e-2, 50)
    out = []
    for _ in range(n):
        v = [
            10 ** rng.uniform(-1, 1),
            10 ** rng.uniform(0, 2.5),
            10 ** rng.uniform(0, 1.5),
            10 ** rng.uniform(-6, -4),
            rng.uniform(0.7, 0.95),
        ]
        z = c.with_values(v).impedance(f)
        z = z + 0.005 * np.abs(z) * (rng.standard_normal(50) + 1j * rng.standard_normal(50))
        out.append((f, z))
    return out


def timed(fn: Callable[[], object]) -> tuple[float, float]:
    w0, c0 = time.perf_counter(), time.process_time()
    fn()
    return time.perf_counter() - w0, time.process_time() - c0


def layer_cost(specs: list[tuple[np.ndarray, np.ndarray]], circuit: zetrion.Circuit) -> tuple[float, float]:
    """CPU seconds per spectrum of what fit_many does around a fit: the data
    check, and turning the result into a row (with the fit itself replaced
    by a stored result, so that only the batch layer's own work is timed)."""
    from zetrion_tools.batch import _Fitter

    result = circuit.fit(*specs[0])

    class Stored:
        def fit(self, *args: object, **kwargs: object) -> object:
            return result

    fitter = _Fitter(circuit, "levenberg_marquardt", True, {})
    rows = _Fitter(circuit, "levenberg_marquardt", True, {})
    rows.circuit = Stored()  # type: ignore[assignment]
    reps = 20
    c0 = time.process_time()
    for _ in range(reps):
        prepared = [fitter.prepare((k, f, z, None)) for k, (f, z) in enumerate(specs)]
    c1 = time.process_time()
    for _ in range(reps):
        [rows.fit(*entry) for entry in prepared]
    c2 = time.process_time()
    per = reps * len(specs)
    return (c1 - c0) / per, (c2 - c1) / per


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--n", type=int, default=1000, help="spectra (default 1000)")
    ap.add_argument("--rounds", type=int, default=3, help="interleaved rounds (default 3)")
    ap.add_argument("--no-dask", action="store_true", help="skip the LocalCluster path")
    args = ap.parse_args()

    specs = make_spectra(args.n)
    circuit = zetrion.Circuit("randles")
    n = len(specs)

    def bare_loop() -> None:
        for f, z in specs:
            circuit.fit(f, z)

    def bare_pool2() -> None:
        with ThreadPoolExecutor(2) as ex:
            list(ex.map(lambda s: circuit.fit(s[0], s[1]), specs))

    paths: dict[str, Callable[[], object]] = {
        "bare Circuit.fit loop": bare_loop,
        "fit_many 1 thread, no checks": lambda: fit_many("randles", specs, threads=1, progress=False, checks=False),
        "fit_many 1 thread": lambda: fit_many("randles", specs, threads=1, progress=False),
        "bare 2-thread pool": bare_pool2,
        "fit_many 2 threads": lambda: fit_many("randles", specs, threads=2, progress=False),
    }

    cluster = client = None
    if not args.no_dask:
        import distributed

        from zetrion_tools.distributed import fit_distributed

        dask: Any = distributed  # Dask ships without type annotations
        cluster = dask.LocalCluster(n_workers=2, processes=True, threads_per_worker=1, dashboard_address=None)
        client = dask.Client(cluster)
        fit_distributed("randles", specs[:20], client, progress=False)  # workers import zetrion once
        paths["Dask LocalCluster 2x1"] = lambda: fit_distributed("randles", specs, client, progress=False)

    # same fits on every path: a fair comparison needs identical work
    ref = fit_many("randles", specs[:50], threads=1, progress=False)
    two = fit_many("randles", specs[:50], threads=2, progress=False)
    assert np.allclose(ref["R1.r"], two["R1.r"], rtol=1e-12, equal_nan=True)

    best: dict[str, tuple[float, float]] = {}
    best_cpu: dict[str, float] = {}
    for _ in range(args.rounds):
        for name, fn in paths.items():
            wall, cpu = timed(fn)
            if name not in best or wall < best[name][0]:
                best[name] = (wall, cpu)
            best_cpu[name] = min(best_cpu.get(name, cpu), cpu)

    print(f"{n} randles spectra, 50 points each; best of {args.rounds} rounds; load average {os.getloadavg()[0]:.2f}")
    print(f"{'path':<30} {'spectra/s':>10} {'ms/fit':>8} {'cpu/wall':>9}")
    for name, (wall, cpu) in best.items():
        print(f"{name:<30} {n / wall:10.1f} {1e3 * wall / n:8.3f} {cpu / wall:9.2f}")
    base = best["bare Circuit.fit loop"][0]
    # CPU time of the one-thread paths is steadier than wall time on a busy machine
    base_cpu = best_cpu["bare Circuit.fit loop"]
    for label, key in (("no checks", "fit_many 1 thread, no checks"), ("with checks", "fit_many 1 thread")):
        over = (best[key][0] - base) / n
        over_cpu = (best_cpu[key] - base_cpu) / n
        print(
            f"batch-layer overhead per fit ({label}): wall {1e6 * over:.1f} us = {100 * over / (base / n):.1f} %, "
            f"cpu {1e6 * over_cpu:.1f} us = {100 * over_cpu / (base_cpu / n):.1f} % of a fit"
        )
    direct = layer_cost(specs[:200], circuit)
    fit_cpu = base_cpu / n
    print(
        f"batch-layer work per spectrum timed alone (CPU): checks {1e6 * direct[0]:.1f} us, "
        f"row {1e6 * direct[1]:.1f} us = {100 * sum(direct) / fit_cpu:.1f} % of a fit ({1e6 * fit_cpu:.0f} us CPU)"
    )
    print(f"fit_many 2 threads / 1 thread: {best['fit_many 1 thread'][0] / best['fit_many 2 threads'][0]:.2f}x")
    print(f"bare pool 2 threads / bare loop: {base / best['bare 2-thread pool'][0]:.2f}x")
    if "Dask LocalCluster 2x1" in best:
        print(f"Dask LocalCluster / fit_many 1 thread: {best['fit_many 1 thread'][0] / best['Dask LocalCluster 2x1'][0]:.2f}x")
    if client is not None and cluster is not None:
        client.close()
        cluster.close()


if __name__ == "__main__":
    main()
