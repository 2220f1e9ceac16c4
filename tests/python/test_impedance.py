import math
import sys
import threading

import numpy as np
import pytest

import zetrion
from zetrion import Circuit

from conftest import close, hz


def test_values_of_a_simple_circuit():
    c = Circuit("R0-(R1,C1)").with_values([1, 1, 1])
    z = c.impedance([hz(1.0)])
    assert z.dtype == np.complex128 and z.ndim == 1
    assert close(complex(z[0]), 1.5 - 0.5j, 1e-12)
    assert list(Circuit("(R0,R1)").with_values([2, 2]).impedance([1.0, 1e6])) == [1 + 0j, 1 + 0j]


def test_input_forms(randles):
    f = [0.01, 1.0, 100.0, 1e4]
    expect = randles.impedance(f)
    for form in (tuple(f), np.array(f), [np.float64(x) for x in f]):
        assert list(randles.impedance(form)) == list(expect)
    assert list(randles.impedance(frequencies=f)) == list(expect)
    assert randles.impedance([1, 2]).shape == (2,)
    empty = randles.impedance([])
    assert empty.shape == (0,) and empty.dtype == np.complex128


def test_frames(randles):
    f = [0.01, 1.0, 100.0]
    expect = list(randles.impedance(f))
    assert list(randles.impedance({"Frequency / Hz": f})) == expect
    assert list(randles.impedance({"frequency_hertz": f})) == expect
    # The labelled name wins; values are used unchanged, even non-positive ones.
    z = randles.impedance({"Frequency / Hz": [0.0, -1.0], "frequency_hertz": f})
    assert len(z) == 2
    pd = pytest.importorskip("pandas")
    assert list(randles.impedance(pd.DataFrame({"frequency_hertz": f}))) == expect
    assert list(randles.impedance(pd.Series(f))) == expect


def test_impedance_errors(randles):
    message = 'expected a sequence of frequencies, or a dataframe with a "Frequency / Hz" or "frequency_hertz" column'
    for bad in ("12", 5, None, {"f": [1.0]}, ["a", "b"]):
        with pytest.raises(ValueError) as info:
            randles.impedance(bad)
        assert str(info.value) == message
    with pytest.raises(ValueError, match=r'^column "Frequency / Hz" is not numeric$'):
        randles.impedance({"Frequency / Hz": ["x"]})
    with pytest.raises(TypeError):
        randles.impedance()


def test_non_finite_values_flow_through(randles):
    z = randles.impedance([math.nan, math.inf, 0.0])
    assert all(not (math.isfinite(v.real) and math.isfinite(v.imag)) for v in z)
    z = Circuit("R0").with_values([math.inf]).impedance([1.0])
    assert z[0].real == math.inf


def test_pool_path_matches_serial_path(randles):
    f = np.geomspace(1e-3, 1e6, 999)
    serial = randles.impedance(f)
    pooled = randles.impedance(np.concatenate([f, [1.0]]))
    assert np.array_equal(pooled[:999], serial)
    same = Circuit("R0-(R1,CPE1)-(R2-Wo2,CPE2)")
    assert np.array_equal(same.impedance([1000.0] * 1000), same.impedance([1000.0] * 999)[[0] * 1000])
    big = np.geomspace(1e-3, 1e6, 20000)
    chunks = np.concatenate([randles.impedance(big[i : i + 500]) for i in range(0, len(big), 500)])
    assert np.array_equal(randles.impedance(big), chunks)


def test_result_owns_its_buffer(randles):
    z = randles.impedance(np.geomspace(1, 10, 2000))
    base = z.base
    assert base is not None
    before = sys.getrefcount(base)
    del z
    assert sys.getrefcount(base) == before - 1
    z = randles.impedance([1.0, 2.0])
    z[0] = 5  # writable, owned by the caller
    assert z[0] == 5


@pytest.mark.parametrize("points", [40, 3000])  # small calls keep the interpreter lock, large ones release it
def test_threads_share_one_circuit(randles, points):
    f = np.geomspace(1e-2, 1e5, points)
    expect = randles.impedance(f)
    errors = []

    def work():
        for _ in range(20):
            if not np.array_equal(randles.impedance(f), expect):
                errors.append("mismatch")

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []


def test_lock_is_released_during_evaluation():
    # A long sweep on one thread must not stop another Python thread from running.
    c = Circuit("R0-(R1,CPE1)-(R2-Wo2,CPE2)-(R3,CPE3)")
    f = np.geomspace(1e-3, 1e6, 600)
    ticks = []
    done = threading.Event()

    def ticker():
        while not done.is_set():
            ticks.append(1)

    t = threading.Thread(target=ticker)
    t.start()
    try:
        for _ in range(200):
            c.impedance(f)
    finally:
        done.set()
        t.join()
    assert len(ticks) > 0


def test_array_inputs_read_like_sequences(randles):
    f = np.geomspace(1e-2, 1e5, 40)
    expect = randles.impedance(list(f))
    assert np.array_equal(randles.impedance(f[::-1][::-1]), expect)
    strided = np.repeat(f, 2)[::2]
    assert not strided.flags.c_contiguous or strided.strides[0] != 8
    assert np.array_equal(randles.impedance(strided), expect)
    f32 = f.astype(np.float32)
    assert np.array_equal(randles.impedance(f32), randles.impedance([float(x) for x in f32]))
    big_endian = f.astype(">f8")
    assert np.array_equal(randles.impedance(big_endian), expect)
    import array

    assert np.array_equal(randles.impedance(array.array("d", f)), expect)
    assert np.array_equal(randles.impedance(memoryview(array.array("d", f))), expect)
    assert list(Circuit("R0").impedance(bytes([1, 2]))) == [1 + 0j, 1 + 0j]
    z = randles.impedance(f)
    r_list = randles.residuals(randles.param_values(), list(f), list(z), weight="unit")
    r_arr = randles.residuals(np.array(randles.param_values()), f, z, weight="unit")
    r_c64 = randles.residuals(randles.param_values(), f, z.astype(np.complex64), weight="unit")
    assert r_list == r_arr == [0.0] * 80
    assert r_c64 == randles.residuals(randles.param_values(), f, [complex(v) for v in z.astype(np.complex64)], weight="unit")
