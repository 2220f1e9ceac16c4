#!/usr/bin/env python3
"""Ctrl-C latency of a batch: the time from SIGINT to ``fit_many`` raising
``FitInterrupted``, and to a ``zetrion fit`` process having exited, both on 2
threads with particle swarm fits of ``sei_randles_wo`` (seconds each). Every
trial starts a fresh child process, lets it fit for a while, sends SIGINT at
a different moment and times the answer; the bar is 0.5 s. For ``fit_many``
the exit of a plain script is timed too: the interpreter waits at exit for
fits still running in worker threads, which nothing outside can stop.

    PYTHONPATH=python python3 bench/bench_interrupt.py [--trials 5]
"""

from __future__ import annotations

import argparse
import os
import signal
import statistics
import subprocess
import sys
import tempfile
import textwrap
import time
from pathlib import Path

import numpy as np
import pandas as pd  # type: ignore[import-untyped, unused-ignore]

import zetrion

BAR = 0.5
NOTATION = "sei_randles_wo"
VALUES = [5.0, 20.0, 1e-5, 0.9, 80.0, 40.0, 5.0, 1e-3, 0.8]

FIT_MANY_CHILD = """
import signal, sys, time
import numpy as np
import zetrion
from zetrion_tools.batch import FitInterrupted, fit_many

signal.signal(signal.SIGINT, signal.default_int_handler)  # live even when started in the background
truth = zetrion.Circuit(sys.argv[1]).with_values(eval(sys.argv[2]))
f = np.geomspace(1e5, 1e-2, 60)
rng = np.random.default_rng(0)
spectra = [(f, truth.impedance(f) * (1 + 0.01 * rng.standard_normal(f.size))) for _ in range(200)]
print("ready", flush=True)
try:
    fit_many(sys.argv[1], spectra, method="particle_swarm", threads=2, progress=False, seed=1)
    print("finished", flush=True)
except FitInterrupted as e:
    print("interrupted", time.monotonic(), len(e.partial), flush=True)
"""


def write_files(folder: Path, n: int) -> None:
    truth = zetrion.Circuit(NOTATION).with_values(VALUES)
    f = np.geomspace(1e5, 1e-2, 60)
    rng = np.random.default_rng(0)
    for k in range(n):
        z = truth.impedance(f) * (1 + 0.01 * rng.standard_normal(f.size))
        pd.DataFrame({"freq": f, "Re(Z)": z.real, "Im(Z)": z.imag}).to_csv(folder / f"cell{k:03d}.csv", index=False)


def interrupt(p: subprocess.Popen[str], delay: float) -> tuple[float, float]:
    time.sleep(delay)
    sent = time.monotonic()
    os.kill(p.pid, signal.SIGINT)
    try:
        p.wait(timeout=120)
    finally:
        if p.poll() is None:
            p.kill()
            p.wait()
    return sent, time.monotonic()


def trial_fit_many(delay: float) -> tuple[float, float, int]:
    p = subprocess.Popen([sys.executable, "-c", FIT_MANY_CHILD, NOTATION, repr(VALUES)], stdout=subprocess.PIPE,
                         text=True)
    assert p.stdout is not None
    assert p.stdout.readline().strip() == "ready"
    sent, ended = interrupt(p, delay)
    words = p.stdout.read().split()
    assert words[:1] == ["interrupted"], words
    return float(words[1]) - sent, ended - sent, int(words[2])


def trial_cli(folder: Path, delay: float) -> tuple[float, int, int]:
    out = folder / "results.csv"
    out.unlink(missing_ok=True)
    cmd = [sys.executable, "-m", "zetrion_tools.cli", "fit", str(folder / "data"), "-c", NOTATION,
           "-m", "particle_swarm", "--seed", "1", "-j", "2", "-q", "--out", str(out)]
    # a background process inherits SIGINT ignored; start it as a shell's foreground job would have it
    p = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                         preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    sent, ended = interrupt(p, delay)
    rows = len(pd.read_csv(out)) if out.exists() and out.stat().st_size else -1  # -1: no table left
    return ended - sent, p.returncode, rows


def summary(name: str, values: list[float]) -> None:
    worst = max(values)
    print(f"{name:<44} median {statistics.median(values):7.3f} s   max {worst:7.3f} s   "
          f"max/bar {worst / BAR:6.2f}   {'ok' if worst <= BAR else 'OVER THE BAR'}")


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--trials", type=int, default=5, help="interrupts per path (default 5)")
    args = ap.parse_args()
    delays = [3.0 + 0.37 * k for k in range(args.trials)]  # start-up, then at varied points of the fits

    raised, exited, kept = [], [], []
    for d in delays:
        r, e, n = trial_fit_many(d)
        raised.append(r)
        exited.append(e)
        kept.append(n)
    cli, codes, rows = [], [], []
    with tempfile.TemporaryDirectory() as tmp:
        folder = Path(tmp)
        (folder / "data").mkdir()
        write_files(folder / "data", 200)
        for d in delays:
            t, code, n = trial_cli(folder, d)
            cli.append(t)
            codes.append(code)
            rows.append(n)

    print(f"Ctrl-C on 2 threads, particle swarm on {NOTATION}; {args.trials} trials each; "
          f"load average {os.getloadavg()[0]:.2f}; bar {BAR} s")
    summary("fit_many: SIGINT -> FitInterrupted", raised)
    print(f"  rows kept in .partial: {kept}")
    print(f"  (a script's exit, waiting for the worker fits: median {statistics.median(exited):.3f} s, "
          f"max {max(exited):.3f} s)")
    summary("zetrion fit: SIGINT -> process exit", cli)
    print(f"  exit statuses {codes}; rows in --out {rows} (-1: no table)")


if __name__ == "__main__":
    main()
