import math

import pytest

TWO_PI = 6.283185307179586


def hz(omega):
    """Frequency in hertz whose angular frequency is `omega` (up to rounding)."""
    return omega / TWO_PI


@pytest.fixture
def randles():
    import zetrion

    return zetrion.Circuit("randles").with_values([10.0, 100.0, 30.0, 1e-5, 0.85])


def close(a, b, rel=1e-12):
    return math.isclose(a.real, b.real, rel_tol=rel, abs_tol=1e-300) and math.isclose(
        a.imag, b.imag, rel_tol=rel, abs_tol=1e-300
    )
