"""Bad input of every kind ends in a clear Python exception: never a crash,
an abort, a read out of bounds, a hang, or a silently non-finite result."""

import os
import pathlib
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import zetrion
from zetrion import Circuit

from zetrion_tools.training import eisnn  # noqa: E402

F = np.geomspace(1e4, 1e-1, 30)
RC = Circuit("R0-(R1,C1)")
Z = RC.with_values([10, 100, 1e-4]).impedance(F)


class Liar:
    """A sequence whose length is absurd and whose items cannot be read."""

    def __len__(self):
        return 10**12

    def __getitem__(self, i):
        raise RuntimeError("no items here")


class Raises:
    """A number whose conversions raise the given exception."""

    def __init__(self, exc):
        self.exc = exc

    def __float__(self):
        raise self.exc

    def __complex__(self):
        raise self.exc


def run_isolated(code, timeout=60):
    """Runs code in a fresh interpreter: a crash or a hang fails the test
    instead of taking the suite down with it."""
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=timeout)


# ---- frequencies the guesser cannot place ------------------------------------------------------

@pytest.mark.parametrize("bad", [0.0, -5.0, float("nan"), float("inf"), float("-inf")])
@pytest.mark.parametrize("at", [0, 1, 29])
def test_guess_names_an_unusable_frequency(bad, at):
    f = F.copy()
    f[at] = bad
    for call in (lambda: RC.guess(f, Z), lambda: RC.fit(f, Z), lambda: RC.fit(f, Z, guess_init=True)):
        with pytest.raises(ValueError, match=rf"^frequency \S+ Hz at index {at} cannot be used for a guess"):
            call()


def test_infinite_frequency_in_a_frame_is_refused_when_guessing():
    pd = pytest.importorskip("pandas")
    f = F.copy()
    f[3] = np.inf
    frame = pd.DataFrame({"frequency_hertz": f, "real_impedance_ohm": Z.real, "imaginary_impedance_ohm": Z.imag})
    with pytest.raises(ValueError, match="index 3 cannot be used"):
        RC.guess(frame)
    # A frame drops rows at or below zero, so these still guess.
    f[3] = 0.0
    frame["frequency_hertz"] = f
    assert all(np.isfinite(RC.guess(frame)))


def test_guess_with_only_usable_frequencies_is_finite():
    assert all(np.isfinite(RC.guess(F, Z)))


# ---- sequences that lie about their length ------------------------------------------------------

def test_absurd_lengths_are_refused_not_reserved():
    c = RC.with_values([10, 100, 1e-4])
    calls = [
        lambda s: c.impedance(s),
        lambda s: c.fit(s, Z),
        lambda s: c.fit(F, s),
        lambda s: c.guess(s, Z),
        lambda s: c.residuals(s, F, Z),
        lambda s: c.jacobian([1, 2, 3], s, Z),
        lambda s: c.with_values(s),
    ]
    for call in calls:
        for seq in (Liar(), range(10**12)):
            with pytest.raises((ValueError, RuntimeError)):
                call(seq)
    with pytest.raises(ValueError, match="reports 1000000000000 items") as info:
        c.residuals(range(10**12), F, Z)
    with pytest.raises(ValueError, match="expected a sequence of frequencies") as info:
        c.impedance(Liar())
    assert "1000000000000 items" in str(info.value.__cause__)


def test_jacobian_checks_the_vector_before_allocating():
    f = np.geomspace(1e5, 1e-2, 200_000)
    z = np.ones_like(f, dtype=complex)
    with pytest.raises(ValueError, match="not enough values"):
        RC.jacobian([1.0, 2.0], f, z)
    # Values beyond the parameter count give zero columns; a result that
    # cannot be held is a MemoryError, not an abort.
    with pytest.raises(MemoryError):
        RC.jacobian(np.ones(10**6), f, z)
    assert RC.jacobian([1.0, 2.0, 3.0, 4.0], F, Z)[0][3] == 0.0


# ---- conversion errors keep their cause, interrupts pass ----------------------------------------

def test_conversion_errors_keep_their_cause():
    with pytest.raises(ValueError, match="expected a sequence of frequencies") as info:
        RC.impedance([1.0, None])
    assert isinstance(info.value.__cause__, TypeError)
    frame = {"frequency_hertz": [1.0, Raises(ArithmeticError("odd"))]}
    with pytest.raises(ValueError, match='column "frequency_hertz" is not numeric') as info:
        RC.impedance(frame)
    assert isinstance(info.value.__cause__, ArithmeticError)


@pytest.mark.parametrize("exc", [KeyboardInterrupt, MemoryError])
def test_interrupts_and_memory_errors_are_never_replaced(exc):
    bad = Raises(exc())
    c = RC.with_values([10, 100, 1e-4])
    calls = [
        lambda: c.impedance([1.0, bad]),
        lambda: c.impedance({"Frequency / Hz": [1.0, bad]}),
        lambda: c.fit([1.0, bad], [1, 2]),
        lambda: c.fit([1.0, 2.0], [1, bad]),
        lambda: c.guess([1.0, bad], [1, 2]),
        lambda: c.residuals([1, 2, bad], F, Z),
        lambda: c.with_values([1, 2, bad]),
    ]
    for call in calls:
        with pytest.raises(exc):
            call()

    class Frame:
        def __getitem__(self, key):
            raise exc()

    with pytest.raises(exc):
        c.impedance(Frame())


# ---- weight files ---------------------------------------------------------------------------------

def weights_blob(**tensor_changes):
    meta, tensors = eisnn.random_model("R0-(R1,C1)", RC.param_names())
    meta.update({k: v for k, v in tensor_changes.items() if isinstance(v, str)})
    tensors.update({k: v for k, v in tensor_changes.items() if not isinstance(v, str)})
    return eisnn.write_eisnn(meta, tensors)


def guess_error(path):
    with pytest.raises(ValueError) as info:
        RC.guess(F, Z, weights=str(path))
    return str(info.value)


def test_non_finite_weights_and_metadata_are_refused(tmp_path):
    good = tmp_path / "good.eisnn"
    good.write_bytes(weights_blob())
    assert all(np.isfinite(RC.guess(F, Z, weights=str(good))))
    meta, tensors = eisnn.random_model("R0-(R1,C1)", RC.param_names())
    for i, bad in enumerate([np.nan, np.inf, -np.inf]):
        for name in ("w.stem.bias", "target_std", "scaling"):
            t = tensors[name].copy()
            t.flat[1] = bad
            p = tmp_path / f"t{i}{name}.eisnn"
            p.write_bytes(weights_blob(**{name: t}))
            assert guess_error(p) == f'weight file has a non-finite value (NaN or infinity) in "{name}"'
        for key in ("alpha_min", "alpha_max"):
            p = tmp_path / f"m{i}{key}.eisnn"
            p.write_bytes(weights_blob(**{key: str(bad)}))
            assert guess_error(p) == f'weight file has a non-finite value (NaN or infinity) in "{key}"'
    # Half precision carries infinities and NaN too.
    t = tensors["w.stem.bias"].copy()
    t[0] = np.inf
    blob = eisnn.write_eisnn(meta, dict(tensors, **{"w.stem.bias": t}), {"w.stem.bias": 1})
    p = tmp_path / "half.eisnn"
    p.write_bytes(blob)
    assert "non-finite" in guess_error(p)


def test_weight_files_that_are_not_small_regular_files(tmp_path):
    device = "NUL" if sys.platform == "win32" else "/dev/zero"
    assert guess_error(device) == "reading weights: not a regular file"
    assert guess_error(tmp_path).startswith("reading weights: Is a directory")
    big = tmp_path / "big.eisnn"
    with open(big, "wb") as fh:
        fh.truncate((64 << 20) + 1)  # sparse: nothing is written
    assert "too large for a weight file" in guess_error(big)


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="no FIFOs on this system")
def test_a_fifo_as_weights_blocks_no_one(tmp_path):
    fifo = tmp_path / "pipe.eisnn"
    os.mkfifo(fifo)
    # No writer ever opens the FIFO: the guess must neither wait for one nor
    # hold up another thread's first guess of a built-in model.
    r = run_isolated(f"""
        import threading, numpy as np, zetrion
        f = np.geomspace(1e4, 1e-1, 30)
        z = zetrion.Circuit("R0-(R1,C1)").with_values([10, 100, 1e-4]).impedance(f)
        try:
            zetrion.Circuit("R0-(R1,C1)").guess(f, z, weights={str(fifo)!r})
        except ValueError as e:
            print("fifo:", e)
        t = threading.Thread(target=lambda: print(len(zetrion.Circuit("randles").guess(f, z))))
        t.start(); t.join()
    """, timeout=60)
    assert r.returncode == 0, r.stderr
    assert "fifo: reading weights: not a regular file" in r.stdout
    assert r.stdout.strip().endswith("5")
