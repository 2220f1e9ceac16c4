import math

import numpy as np
import pytest

import zetrion
from zetrion import Circuit

from conftest import TWO_PI

F = [1.0, 2.0]
Z = [10 - 1j, 11 - 2j]
FRAME_MISSING_F = (
    'expected a dataframe with a "Frequency / Hz" or "frequency_hertz" column, or frequencies and impedances as two arguments'
)
NO_PAIR = (
    'no impedance columns: expected "Real Impedance / ohm" or "real_impedance_ohm" together with '
    '"Imaginary Impedance / ohm" or "imaginary_impedance_ohm", or "Absolute Impedance / ohm" or '
    '"absolute_impedance_ohm" together with "Phase / deg" or "phase_degree"'
)


def unit_residuals(frames_or_f, z=None):
    """Residuals of a zero resistor under unit weighting: -Z, interleaved."""
    return Circuit("R0").residuals([0.0], frames_or_f, z, weight="unit")


def as_points(r):
    return [complex(-r[i], -r[i + 1]) for i in range(0, len(r), 2)]


def test_two_sequences_are_used_unchanged():
    assert as_points(unit_residuals([1.0, -2.0, 0.0], [1 + 1j, 2, 3j])) == [1 + 1j, 2 + 0j, 3j]
    assert len(unit_residuals(np.array(F), np.array(Z))) == 4


def test_frame_rectangular_and_polar():
    frame = {"frequency_hertz": [1, 2], "real_impedance_ohm": [10, 11], "imaginary_impedance_ohm": [-1, -2]}
    assert as_points(unit_residuals(frame)) == [10 - 1j, 11 - 2j]
    polar = {"Frequency / Hz": [1.0], "Absolute Impedance / ohm": [2.0], "Phase / deg": [90.0]}
    (z,) = as_points(unit_residuals(polar))
    assert z == complex(2 * math.cos(90 * 0.017453292519943295), 2.0)
    assert z.real != 0.0
    both = dict(polar, **{"Real Impedance / ohm": [5.0], "Imaginary Impedance / ohm": [6.0]})
    assert as_points(unit_residuals(both)) == [5 + 6j]
    first_name = {"Frequency / Hz": [1.0], "frequency_hertz": [-1.0], "real_impedance_ohm": [1], "imaginary_impedance_ohm": [0]}
    assert len(unit_residuals(first_name)) == 2


def test_frame_rows_without_positive_frequency_are_dropped():
    frame = {
        "frequency_hertz": [1.0, 0.0, -3.0, math.nan, 5.0],
        "real_impedance_ohm": [1, 2, 3, 4, 5],
        "imaginary_impedance_ohm": [0, 0, 0, 0, 0],
    }
    assert as_points(unit_residuals(frame)) == [1 + 0j, 5 + 0j]


def test_pandas_frame():
    pd = pytest.importorskip("pandas")
    df = pd.DataFrame({"Frequency / Hz": F, "Real Impedance / ohm": [10.0, 11.0], "Imaginary Impedance / ohm": [-1.0, -2.0]})
    assert as_points(unit_residuals(df)) == Z


@pytest.mark.parametrize(
    "frame,message",
    [
        ([1.0, 2.0], FRAME_MISSING_F),
        ({"f": [1]}, FRAME_MISSING_F),
        ({"frequency_hertz": "ab"}, 'column "frequency_hertz" is not numeric'),
        ({"frequency_hertz": [1]}, NO_PAIR),
        ({"frequency_hertz": [1], "real_impedance_ohm": [1]}, NO_PAIR),
        (
            {"frequency_hertz": [1], "real_impedance_ohm": [1], "imaginary_impedance_ohm": [1], "phase_degree": ["x"]},
            'column "phase_degree" is not numeric',
        ),
        (
            {"frequency_hertz": [1], "real_impedance_ohm": [1, 2], "imaginary_impedance_ohm": [1]},
            "real and imaginary impedance columns must have the same length",
        ),
        (
            {"frequency_hertz": [1], "absolute_impedance_ohm": [1, 2], "phase_degree": [1]},
            "absolute impedance and phase columns must have the same length",
        ),
        (
            {"frequency_hertz": [1] * 10, "real_impedance_ohm": [1] * 9, "imaginary_impedance_ohm": [1] * 9},
            'frequency column has 10 rows but "Real Impedance / ohm" or "real_impedance_ohm" and '
            '"Imaginary Impedance / ohm" or "imaginary_impedance_ohm" have 9',
        ),
        (
            {"frequency_hertz": [0, -1], "real_impedance_ohm": [1, 1], "imaginary_impedance_ohm": [1, 1]},
            'no measured points: every row of the "Frequency / Hz" or "frequency_hertz" column is zero or negative',
        ),
        (
            {"frequency_hertz": [], "real_impedance_ohm": [], "imaginary_impedance_ohm": []},
            'no measured points: every row of the "Frequency / Hz" or "frequency_hertz" column is zero or negative',
        ),
    ],
)
def test_frame_errors(frame, message):
    with pytest.raises(ValueError) as info:
        unit_residuals(frame)
    assert str(info.value) == message


def test_two_sequence_errors():
    with pytest.raises(ValueError, match="^frequencies and impedances must have the same length$"):
        unit_residuals([1.0, 2.0], [1 + 1j])
    with pytest.raises(TypeError, match="^Can't extract `str` to `Vec`$"):
        unit_residuals("12", [1j, 2j])
    with pytest.raises(TypeError, match="^Can't extract `str` to `Vec`$"):
        unit_residuals([1.0, 2.0], "12")
    with pytest.raises(TypeError, match="^'int' object cannot be converted to 'Sequence'$"):
        unit_residuals([1.0], 5)
    with pytest.raises(TypeError, match="^'float' object cannot be converted to 'Sequence'$"):
        unit_residuals(1.0, [1j])
    with pytest.raises(TypeError):
        unit_residuals([1.0], ["x"])


def test_residual_values_and_weighting():
    c = Circuit("R0-(R1,C1)")
    p = [2.0, 30.0, 1e-4]
    f = [0.5, 50.0, 5e3]
    z = [25 - 3j, 3 + 4j, 2.5 - 0.01j]
    model = c.with_values(p).impedance(f)
    unit = c.residuals(p, f, z, weight="unit")
    assert unit == pytest.approx([v for m, d in zip(model, z) for v in ((m - d).real, (m - d).imag)], rel=1e-15)
    weighted = c.residuals(p, f, z)
    mods = [abs(d) for d in z]
    assert weighted == pytest.approx([u / mods[i // 2] for i, u in enumerate(unit)], rel=1e-15)
    assert c.residuals(p, f, z, "modulus") == weighted
    # Zero measurement: weight 1e-30.
    assert Circuit("R0").residuals([1.0], [1.0], [0j]) == [1.0 / 1e-30, 0.0]
    # Stored values play no part, extra parameters are ignored.
    assert c.with_values([9, 9, 9]).residuals(p + [7.0], f, z, weight="unit") == unit


def test_residual_argument_errors():
    c = Circuit("R0")
    with pytest.raises(ValueError, match='^unknown weight scheme "abs", expected "modulus" or "unit"$'):
        c.residuals([1.0], F, Z, weight="abs")
    for bad in ("Modulus", " unit", ""):
        with pytest.raises(ValueError, match="^unknown weight scheme "):
            c.jacobian([1.0], F, Z, weight=bad)
    with pytest.raises(TypeError, match="^argument 'weight': "):
        c.residuals([1.0], F, Z, weight=None)
    with pytest.raises(TypeError, match="^argument 'params': Can't extract `str` to `Vec`$"):
        c.residuals("1", F, Z)
    with pytest.raises(TypeError):
        c.residuals([1.0])
    with pytest.raises(ValueError, match="^impedance_from_iter: not enough values supplied$"):
        Circuit("R0-C1").residuals([1.0], F, Z)
    with pytest.raises(ValueError, match="^impedance_from_iter: not enough values supplied$"):
        Circuit("R0-C1").jacobian([1.0], F, Z)


def test_jacobian_against_analytic_derivatives():
    c = Circuit("R0-(R1,CPE1)")
    p = [5.0, 80.0, 2e-5, 0.8]
    f = np.geomspace(0.01, 1e5, 25)
    z = c.with_values([4.0, 100.0, 1e-5, 0.9]).impedance(f)
    jac = np.array(c.jacobian(p, f, z, weight="unit"))
    assert jac.shape == (50, 4)
    w = f * TWO_PI
    jw_a = (1j * w) ** p[3]
    denom = 1 + p[1] * p[2] * jw_a
    d_r1 = 1 / denom**2
    d_q = -p[1] ** 2 * jw_a / denom**2
    d_alpha = -p[1] ** 2 * p[2] * jw_a * np.log(1j * w) / denom**2
    for k, d in [(1, d_r1), (2, d_q), (3, d_alpha)]:
        analytic = np.column_stack([d.real, d.imag]).ravel()
        assert np.allclose(jac[:, k], analytic, rtol=1e-6, atol=1e-9 * np.abs(analytic).max())
    assert np.allclose(jac[0::2, 0], 1.0, rtol=1e-9) and np.all(jac[1::2, 0] == 0.0)


def test_jacobian_shapes():
    c = Circuit("R0-(R1,C1)")
    assert c.jacobian([], F, Z) == []
    rows = c.jacobian([1.0, 2.0, 3.0, 4.0], F, Z)
    assert len(rows) == 4 and all(len(r) == 4 for r in rows)
    assert [r[3] for r in rows] == [0.0] * 4
    assert zetrion.Series([]).jacobian([1.0], F, Z) == [[0.0]] * 4


def test_scipy_least_squares_drives_the_circuit():
    optimize = pytest.importorskip("scipy.optimize")
    c = Circuit("R0-(R1,C1)")
    truth = [12.0, 250.0, 3e-5]
    f = np.geomspace(0.1, 1e5, 40)
    z = c.with_values(truth).impedance(f)
    fit = optimize.least_squares(
        lambda p: c.residuals(p, f, z), [10.0, 200.0, 1e-5], jac=lambda p: c.jacobian(p, f, z), x_scale="jac"
    )
    assert fit.x == pytest.approx(truth, rel=1e-6)
