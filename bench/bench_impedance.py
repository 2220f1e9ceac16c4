#!/usr/bin/env python3
"""Impedance evaluation speed: tree walk vs hand-written floor, Python-level
zetrion vs impedance.py, and the worker pool vs the serial loop.

Builds bench/impedance_floor.cpp with CMake and Ninja (ZETRION_BENCH=ON,
ZETRION_PYTHON=OFF), runs it, then times `Circuit.impedance` from Python and
impedance.py's `CustomCircuit.predict` on the same circuits, parameter values
and frequencies, and prints one table.

    python3 bench/bench_impedance.py [--build-dir DIR] [--quick] [--strict]

zetrion is imported from the normal module path, or else from the repository's
_build directory (or --python-build DIR). --strict exits with status 1 when a
target is missed.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
import warnings

import numpy as np

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# Same circuits and values as impedance_floor.cpp.
CIRCUITS = [
    ("R0-(R1-W1,CPE1)", "R0-p(R1-W1,CPE1)", [18.5, 140.0, 32.0, 2.7e-5, 0.87]),
    (
        "R0-(R1,CPE1)-(R2-Wo2,CPE2)",
        "R0-p(R1,CPE1)-p(R2-Wo2,CPE2)",
        [11.0, 42.0, 7.5e-6, 0.92, 175.0, 55.0, 3.2, 2.9e-4, 0.76],
    ),
]
PY_SIZES = (100, 10_000)
ZETRION_ONLY_SIZES = (1_000_000,)  # impedance.py is far too slow there

TARGET_FLOOR_RATIO = 1.5  # tree walk / hand-written, at most
TARGET_VS_IMPEDANCE_PY = 100.0  # impedance.py / zetrion at 10 000 frequencies, at least
TARGET_POOL_SPEEDUP = 1.6  # serial / pool at 100 000 frequencies, at least


def log_frequencies(n):
    # Matches log_frequencies() in impedance_floor.cpp.
    return 10.0 ** (-3.0 + 9.0 * np.arange(n) / (n - 1))


def build_and_run_floor(build_dir, quick):
    subprocess.run(
        ["cmake", "-S", REPO, "-B", build_dir, "-G", "Ninja",
         "-DZETRION_PYTHON=OFF", "-DZETRION_BENCH=ON", "-DCMAKE_BUILD_TYPE=Release"],
        check=True, stdout=subprocess.DEVNULL,
    )
    subprocess.run(["ninja", "-C", build_dir, "impedance_floor"], check=True, stdout=subprocess.DEVNULL)
    cmd = [os.path.join(build_dir, "impedance_floor")] + (["--quick"] if quick else [])
    out = subprocess.run(cmd, check=True, capture_output=True, text=True).stdout
    timings, ratios, info = {}, {}, {}
    for line in out.splitlines():
        d = json.loads(line)
        if d["kind"] == "timing":
            timings[(d["circuit"], d["impl"], d["n"])] = d
        elif d["kind"] == "ratio":
            ratios[(d["circuit"], d["num"], d["den"], d["n"])] = d["median"]
        elif d["kind"] == "info":
            info.update(d)
    return timings, ratios, info


def time_call(fn, n, samples, min_sample_s):
    """Median and min ns per frequency of fn() over `samples` samples."""
    fn()
    reps = 1
    while True:
        t0 = time.perf_counter()
        for _ in range(reps):
            fn()
        dt = time.perf_counter() - t0
        if dt >= min_sample_s:
            break
        reps = max(reps * 2, int(reps * min_sample_s / max(dt, 1e-9)))
    per = []
    for _ in range(samples):
        t0 = time.perf_counter_ns()
        for _ in range(reps):
            fn()
        per.append((time.perf_counter_ns() - t0) / (reps * n))
    return statistics.median(per), min(per)


def import_zetrion(python_build):
    try:
        import zetrion  # noqa: F401
    except ImportError:
        sys.path.insert(0, python_build)
        import zetrion  # noqa: F401
    return sys.modules["zetrion"]


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--build-dir", help="CMake build directory for the C++ benchmark (default: a temporary one)")
    ap.add_argument("--python-build", default=os.path.join(REPO, "_build"),
                    help="directory holding the zetrion extension if it is not importable")
    ap.add_argument("--quick", action="store_true", help="fewer and shorter samples")
    ap.add_argument("--strict", action="store_true", help="exit 1 when a target is missed")
    args = ap.parse_args()

    zetrion = import_zetrion(args.python_build)
    try:
        from impedance.models.circuits import CustomCircuit
    except ImportError:
        CustomCircuit = None

    if args.build_dir:
        timings, ratios, info = build_and_run_floor(args.build_dir, args.quick)
    else:
        with tempfile.TemporaryDirectory(prefix="zetrion-bench-") as d:
            timings, ratios, info = build_and_run_floor(d, args.quick)

    samples, min_s = (5, 0.05) if args.quick else (11, 0.2)
    rows = []
    failures = []
    for ours, theirs, values in CIRCUITS:
        circuit = zetrion.Circuit(ours).with_values(values)
        ref = None
        if CustomCircuit is not None:
            ref = CustomCircuit(theirs, initial_guess=list(values))
        for n in PY_SIZES + ZETRION_ONLY_SIZES:
            f = log_frequencies(n)
            tree = timings[(ours, "tree", n)]
            hand = timings[(ours, "hand", n)]
            floor_ratio = ratios[(ours, "tree", "hand", n)]
            py_med, py_min = time_call(lambda: circuit.impedance(f), n, samples, min_s)
            impy_med = None
            if ref is not None and n in PY_SIZES:
                z_ours = circuit.impedance(f)
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore", UserWarning)  # "Simulating circuit based on initial parameters"
                    z_ref = ref.predict(f)
                    np.testing.assert_allclose(z_ours, z_ref, rtol=1e-9, atol=0)
                    impy_med, _ = time_call(lambda: ref.predict(f), n, max(3, samples // 2), min_s)
            rows.append((ours, n, tree["median_ns"], hand["median_ns"], floor_ratio, py_med, impy_med))
            if floor_ratio > TARGET_FLOOR_RATIO:
                failures.append(f"{ours} n={n}: tree walk {floor_ratio:.2f}x the floor (target <= {TARGET_FLOOR_RATIO})")
            if n == 10_000 and impy_med is not None and impy_med / py_med < TARGET_VS_IMPEDANCE_PY:
                failures.append(f"{ours} n={n}: {impy_med / py_med:.0f}x faster than impedance.py "
                                f"(target >= {TARGET_VS_IMPEDANCE_PY:.0f})")

    print(f"pool workers: {info.get('pool_workers')}, cpus: {os.cpu_count()}, "
          f"pool from {info.get('parallel_sweep_min')} frequencies (Python calls at 10 000 and 1 000 000 use it)")
    print("ns per frequency (median of samples); C++ columns are serial")
    hdr = f"{'circuit':<28} {'n':>9} {'C++ tree':>9} {'C++ hand':>9} {'tree/hand':>9} " \
          f"{'zetrion py':>11} {'impedance.py':>13} {'impy/zetrion':>13}"
    print(hdr)
    print("-" * len(hdr))
    for ours, n, tree, hand, fr, py, impy in rows:
        impy_s = f"{impy:13.1f}" if impy is not None else f"{'-':>13}"
        ratio_s = f"{impy / py:13.0f}" if impy is not None else f"{'-':>13}"
        print(f"{ours:<28} {n:>9} {tree:9.1f} {hand:9.1f} {fr:9.2f} {py:11.1f} {impy_s} {ratio_s}")
    print()
    print("worker pool at 100 000 frequencies (C++, ns per frequency, median)")
    for ours, _, _ in CIRCUITS:
        s = timings[(ours, "serial", 100_000)]
        p = timings[(ours, "pool", 100_000)]
        speedup = ratios[(ours, "serial", "pool", 100_000)]
        print(f"{ours:<28} serial {s['median_ns']:7.1f}  pool {p['median_ns']:7.1f}  speed-up {speedup:.2f}x "
              f"(from mins {s['min_ns'] / p['min_ns']:.2f}x)")
        if speedup < TARGET_POOL_SPEEDUP:
            failures.append(f"{ours}: pool speed-up {speedup:.2f}x (target >= {TARGET_POOL_SPEEDUP})")
    print()
    print(f"targets: tree/hand <= {TARGET_FLOOR_RATIO}; impedance.py/zetrion >= {TARGET_VS_IMPEDANCE_PY:.0f} at 10 000; "
          f"pool speed-up >= {TARGET_POOL_SPEEDUP} at 100 000")
    if CustomCircuit is None:
        print("impedance.py not installed: its columns are empty")
    for msg in failures:
        print("MISSED:", msg)
    if not failures:
        print("all targets met")
    return 1 if (failures and args.strict) else 0


if __name__ == "__main__":
    sys.exit(main())
