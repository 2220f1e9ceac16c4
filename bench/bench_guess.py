#!/usr/bin/env python3
"""Time of one learned guess per built-in model (median over repeated calls
on one 60-point spectrum, the model already built), the one-off cost of
building each model, and the module's import time.

    python3 bench/bench_guess.py
"""

import statistics
import subprocess
import sys
import time

import numpy as np

import zetrion

f = np.geomspace(1e5, 1e-2, 60)
print(f"{'model':<16} {'channels':>8} {'first call ms':>14} {'median ms':>10}")
for name in zetrion.Circuit.ml_circuits():
    c = zetrion.Circuit(name)
    z = c.impedance(f) * 1.0  # defaults give a valid, if plain, spectrum
    t0 = time.perf_counter()
    c.guess(f, z)
    first = time.perf_counter() - t0
    times = []
    for _ in range(200):
        t0 = time.perf_counter()
        c.guess(f, z)
        times.append(time.perf_counter() - t0)
    blob = __import__("pathlib").Path(__file__).resolve().parents[1] / "weights" / f"{name}.eisnn"
    channels = "?"
    if blob.exists():
        data = blob.read_bytes()
        i = data.find(b"channels")
        channels = data[i + 12 : i + 14].decode(errors="replace")
    print(f"{name:<16} {channels:>8} {1e3 * first:14.3f} {1e3 * statistics.median(times):10.3f}")

runs = []
for _ in range(15):
    out = subprocess.run([sys.executable, "-X", "importtime", "-c", "import zetrion"], capture_output=True, text=True)
    for line in out.stderr.splitlines():
        if line.rstrip().endswith("| zetrion"):
            runs.append(int(line.split("|")[1]))
print(f"import zetrion: median {statistics.median(runs) / 1000:.2f} ms (self + cumulative, -X importtime, {len(runs)} runs)")
