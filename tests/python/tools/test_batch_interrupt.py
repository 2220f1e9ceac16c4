"""fit_many under Ctrl-C and failing input: it stops promptly, keeps the rows
already fitted, and lets the errors of the process itself through."""

from __future__ import annotations

import os
import signal
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest

import zetrion
from zetrion_tools.batch import FitInterrupted, fit_many

F = np.geomspace(1e5, 1e-2, 40)
C = zetrion.Circuit("randles")
Z = C.with_values([10.0, 100.0, 20.0, 1e-5, 0.9]).impedance(F)


def stalling(n: int, then: BaseException, pause: float = 0.0):
    """n spectra, a pause for the fits to finish, then an error from the input."""
    for k in range(n):
        yield (f"s{k}", F, Z * (1 + 0.01 * k))
    time.sleep(pause)
    raise then


class TestRowsAlreadyFittedAreKept:
    @pytest.mark.parametrize("threads", [1, 2])
    def test_ctrl_c_while_reading_the_input(self, threads):
        with pytest.raises(FitInterrupted) as info:
            fit_many("randles", stalling(5, KeyboardInterrupt(), pause=1.0), threads=threads, chunksize=1,
                     progress=False)
        assert isinstance(info.value, KeyboardInterrupt)  # code catching Ctrl-C still sees one
        partial = info.value.partial
        assert list(partial["id"]) == [f"s{k}" for k in range(5)]
        assert partial["success"].all()
        assert partial.attrs["interrupted"] == "KeyboardInterrupt"
        assert partial.attrs["notation"] == "randles"

    @pytest.mark.parametrize("threads", [1, 2])
    def test_a_failing_generator_keeps_what_it_gave(self, threads):
        # no pause: the chunks handed to the workers still finish before the error propagates
        with pytest.raises(OSError, match="disk went away") as info:
            fit_many("randles", stalling(7, OSError("disk went away")), threads=threads, chunksize=2,
                     progress=False)
        partial = info.value.partial  # type: ignore[attr-defined]
        assert list(partial["id"]) == [f"s{k}" for k in range(7)]
        assert partial["success"].all()
        assert any(".partial" in note for note in info.value.__notes__)

    def test_an_empty_partial_has_the_columns_of_a_result(self):
        with pytest.raises(FitInterrupted) as info:
            fit_many("randles", stalling(0, KeyboardInterrupt()), threads=2, progress=False)
        full = fit_many("randles", [(F, Z)], threads=1, progress=False)
        assert len(info.value.partial) == 0
        assert list(info.value.partial.columns) == list(full.columns)


class _Poisoned:
    """A spectrum whose frequencies fail as the process would, not as bad data."""

    def __init__(self, error: type[BaseException]) -> None:
        self.error = error
        self.impedance = Z

    @property
    def frequencies(self):
        return self

    def __array__(self, *args, **kwargs):
        raise self.error("raised while reading the frequencies")

    def __len__(self) -> int:
        return F.size


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("error", [MemoryError, RecursionError])
def test_memory_and_recursion_errors_propagate(threads, error):
    batch = [(F, Z), _Poisoned(error), (F, Z)]
    with pytest.raises(error) as info:
        fit_many("randles", batch, threads=threads, chunksize=1, progress=False)
    assert len(info.value.partial) <= 2  # type: ignore[attr-defined]
    # a failure of the data is still only that spectrum's row
    table = fit_many("randles", [(F, Z), _Poisoned(ValueError), (F, Z)], threads=threads, progress=False)
    assert list(table["success"]) == [True, False, True]


CHILD = """
import os, signal, sys, time
import numpy as np
import zetrion
from zetrion_tools.batch import FitInterrupted, fit_many

signal.signal(signal.SIGINT, signal.default_int_handler)
c = zetrion.Circuit("randles")
f = np.geomspace(1e5, 1e-2, 40)
z = c.with_values([10.0, 100.0, 20.0, 1e-5, 0.9]).impedance(f)

def spectra():
    print("ready", flush=True)
    for _ in range(8):
        yield f, z

try:
    # a budget no fit uses up: without the interrupt this never returns
    fit_many(c, spectra(), method="particle_swarm", threads=int(sys.argv[1]), chunksize=1, progress=False,
             generations=10**9)
    print("finished", flush=True)
except FitInterrupted as e:
    print("interrupted", time.monotonic(), len(e.partial), flush=True)
os._exit(0)  # the fits still running in workers would keep an orderly exit waiting
"""


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="POSIX signals")
@pytest.mark.parametrize("threads", [1, 2, 3])
def test_ctrl_c_does_not_wait_for_the_running_fits(threads):
    p = subprocess.Popen([sys.executable, "-c", textwrap.dedent(CHILD), str(threads)], stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, text=True)
    try:
        assert p.stdout is not None
        assert p.stdout.readline().strip() == "ready"
        time.sleep(0.5)
        sent = time.monotonic()
        os.kill(p.pid, signal.SIGINT)
        out, err = p.communicate(timeout=30)
    finally:
        if p.poll() is None:
            p.kill()
            p.wait()
    words = out.split()
    assert words and words[0] == "interrupted", out + err
    # Speed is measured by bench/bench_interrupt.py; here only that it did
    # not wait for fits that would run forever.
    assert float(words[1]) - sent < 10
