"""Property tests of the Python surface: whatever is passed -- odd sequence
and frame objects, NumPy arrays of every dtype and layout, random keyword
values for fit -- a call ends in a valid result or a clean Python exception,
never a crash, a SystemError or an internal error.

The default profile keeps the suite quick; a longer search (examples per
test from HYPOTHESIS_EXAMPLES, default 20 000):
    HYPOTHESIS_PROFILE=fuzz python3 -m pytest -q test_properties.py
"""

import math
import os
import signal

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import zetrion
from zetrion import Circuit

settings.register_profile("quick", max_examples=60, deadline=None,
                          suppress_health_check=[HealthCheck.too_slow])
settings.register_profile("fuzz", max_examples=int(os.environ.get("HYPOTHESIS_EXAMPLES", "20000")), deadline=None,
                          suppress_health_check=list(HealthCheck))
PROFILE = os.environ.get("HYPOTHESIS_PROFILE", "quick")
# Warnings are clean outcomes too (NumPy's complex-to-real cast, the
# no-model warning of a fit that cannot guess).
pytestmark = pytest.mark.filterwarnings("ignore:Casting complex values", "ignore::UserWarning")


class OddError(Exception):
    """What the odd objects below raise on purpose."""


class Timeout(Exception):
    """A call that ran past its budget (a fit asked for a huge effort)."""


# ---- odd objects --------------------------------------------------------------------------------

class OddNumber:
    def __init__(self, float_, complex_):
        self.float_, self.complex_ = float_, complex_

    def __float__(self):
        if isinstance(self.float_, BaseException):
            raise self.float_
        return self.float_

    def __complex__(self):
        if isinstance(self.complex_, BaseException):
            raise self.complex_
        return self.complex_

    def __index__(self):
        raise OddError("no index")


class OddSequence:
    def __init__(self, length, items, fail_at):
        self.length, self.items, self.fail_at = length, items, fail_at

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length

    def __getitem__(self, i):
        if isinstance(i, slice):
            raise OddError("no slices")
        if i == self.fail_at:
            raise OddError(f"item {i}")
        if i >= len(self.items):
            raise IndexError(i)
        return self.items[i]


conversion_results = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True),
    st.complex_numbers(allow_nan=True, allow_infinity=True),
    st.just(OddError("conversion")),
    st.sampled_from(["1.0", None, 3, 2**70]),
)
plain_items = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True),
    st.complex_numbers(allow_nan=True, allow_infinity=True),
    st.integers(min_value=-(2**80), max_value=2**80),
    st.booleans(),
    st.sampled_from([None, "1.5", b"1", [1.0], (), {}]),
)
items = st.one_of(plain_items, st.builds(OddNumber, conversion_results, conversion_results))
lengths = st.one_of(st.integers(min_value=-5, max_value=60), st.sampled_from([10**12, 2**62, -(2**62)]),
                    st.just(OddError("len")), st.just(1.5))
odd_sequences = st.builds(OddSequence, lengths, st.lists(items, max_size=40), st.integers(min_value=-1, max_value=40))

FRAME_KEYS = ["Frequency / Hz", "frequency_hertz", "Real Impedance / ohm", "real_impedance_ohm",
              "Imaginary Impedance / ohm", "imaginary_impedance_ohm", "Absolute Impedance / ohm",
              "absolute_impedance_ohm", "Phase / deg", "phase_degree", "other"]


# ---- NumPy arrays of every dtype and layout --------------------------------------------------------

DTYPES = [np.bool_, np.int8, np.uint8, np.int16, np.uint16, np.int32, np.uint32, np.int64, np.uint64,
          np.float16, np.float32, np.float64, np.longdouble, np.complex64, np.complex128, np.clongdouble,
          object, "U3", "S3", "datetime64[s]", "timedelta64[ms]", "V8", [("a", "<f8"), ("b", "<i4")], ">f8", ">c16"]


@st.composite
def arrays(draw):
    dtype = np.dtype(draw(st.sampled_from(DTYPES)))
    shape = draw(st.sampled_from([(), (0,), (1,), (5,), (40,), (3, 4), (40, 1), (2, 0)]))
    size = int(np.prod(shape)) if shape else 1
    raw = draw(st.lists(st.floats(allow_nan=True, allow_infinity=True, width=32), min_size=size, max_size=size))
    base = np.array(raw if raw else [0.0], dtype=np.float64)[:size]
    with np.errstate(all="ignore"):
        if dtype.kind in "fc" or dtype.kind in "iub":
            a = base.astype(dtype) if dtype.kind in "fc" else np.nan_to_num(base).clip(-100, 100).astype(dtype)
        elif dtype.kind == "O":
            a = np.array(list(base), dtype=object)
        elif dtype.kind in "Mm":
            a = np.nan_to_num(base).clip(-1e6, 1e6).astype(np.int64).astype(dtype)
        else:
            a = np.zeros(size, dtype=dtype)
    a = a.reshape(shape)
    layout = draw(st.sampled_from(["plain", "reversed", "strided", "fortran", "readonly"]))
    if a.ndim >= 1 and layout == "reversed":
        a = a[::-1]
    elif a.ndim >= 1 and layout == "strided":
        a = np.repeat(a, 2, axis=0)[::2]
    elif layout == "fortran":
        a = np.asfortranarray(a)
    elif layout == "readonly":
        a.flags.writeable = False
    return a


spectra = st.one_of(arrays(), odd_sequences, st.lists(items, max_size=30),
                    st.dictionaries(st.sampled_from(FRAME_KEYS), st.one_of(arrays(), st.lists(items, max_size=30),
                                                                           odd_sequences), max_size=6))


# ---- the check --------------------------------------------------------------------------------------

def on_alarm(signum, frame):
    raise Timeout()


def outcome(call, budget=0.5):
    """Runs call; a clean exception or a result. Never a SystemError or an
    internal error from the C++ layer."""
    previous = signal.signal(signal.SIGALRM, on_alarm)
    signal.setitimer(signal.ITIMER_REAL, budget)
    try:
        return call()
    except (SystemError, MemoryError):
        raise
    except RuntimeError as e:
        assert "internal error" not in str(e), e
        return e
    except (Exception, Timeout) as e:
        return e
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


RQ = Circuit("R0-(R1,CPE1)")
F = np.geomspace(1e4, 1e-1, 20)
Z = RQ.with_values([10, 100, 1e-4, 0.9]).impedance(F)


@settings(settings.get_profile(PROFILE))
@given(spectra)
def test_impedance_of_anything(x):
    r = outcome(lambda: RQ.impedance(x))
    if not isinstance(r, BaseException):
        assert isinstance(r, np.ndarray) and r.dtype == np.complex128 and r.ndim == 1


@settings(settings.get_profile(PROFILE))
@given(spectra, st.one_of(st.none(), spectra), st.one_of(st.lists(items, max_size=6), arrays(), odd_sequences))
def test_residuals_jacobian_guess_of_anything(f, z, p):
    for call in (lambda: RQ.residuals(p, f, z), lambda: RQ.jacobian(p, f, z), lambda: RQ.guess(f, z),
                 lambda: RQ.with_values(p)):
        r = outcome(call)
        if isinstance(r, list):
            assert all(isinstance(v, (float, list)) for v in r)


@settings(settings.get_profile(PROFILE))
@given(spectra, st.one_of(st.none(), spectra))
def test_fit_of_any_spectrum(f, z):
    r = outcome(lambda: RQ.fit(f, z, max_iterations=20))
    if isinstance(r, zetrion.FitResult):
        assert list(r.params) == RQ.param_names()


FIT_KEYWORDS = ["guess_init", "weights", "weight", "method", "max_iterations", "ftol", "xtol", "num_particles",
                "generations", "nelder_mead_iterations", "de_evaluations", "sa_iterations",
                "sa_initial_temperature", "basin_hopping_hops", "basin_hopping_step_size",
                "basin_hopping_temperature", "seed", "bogus"]
keyword_values = st.one_of(
    st.integers(min_value=-3, max_value=60),
    st.sampled_from([2**32, 2**64, -(2**63), 10**30]),
    st.floats(allow_nan=True, allow_infinity=True),
    st.booleans(),
    st.none(),
    st.sampled_from(["levenberg_marquardt", "particle_swarm", "nelder_mead", "differential_evolution",
                     "simulated_annealing", "basin_hopping", "modulus", "unit", "", "\udcff", "/dev/zero",
                     "/nonexistent.eisnn"]),
    st.builds(OddNumber, conversion_results, conversion_results),
    st.just(np.float32(0.5)), st.just(np.int64(7)), st.just(np.bool_(True)),
)


@settings(settings.get_profile(PROFILE))
@given(st.dictionaries(st.sampled_from(FIT_KEYWORDS), keyword_values, max_size=6),
       st.sampled_from(["R0-(R1,CPE1)", "randles", "R0-T1", "R0"]))
def test_fit_with_random_keywords(kwargs, notation):
    c = Circuit(notation)
    r = outcome(lambda: c.fit(F, Z, **kwargs), budget=0.3)
    if isinstance(r, zetrion.FitResult):
        assert list(r.params) == c.param_names()
        assert math.isnan(r.cost) or r.chi_square == pytest.approx(2 * r.cost)
