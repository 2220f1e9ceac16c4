"""Linear Kramers-Kronig test: agreement with impedance.py and detection of invalid data."""

from __future__ import annotations

import contextlib
import io
import warnings
from typing import Any

import numpy as np
import pytest

from zetrion_tools.checks import DataError
from zetrion_tools.io import ReadWarning, read
from zetrion_tools.validation import linkk, time_constants

from instrument_data import DATA, INSTRUMENT_FILES


def load(name: str) -> tuple[np.ndarray, np.ndarray]:
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ReadWarning)
        s = read(DATA / name)
    return s.frequencies, s.impedance


@pytest.fixture
def peer_linkk(monkeypatch: pytest.MonkeyPatch) -> Any:
    """impedance.py's linKK, runnable under NumPy 2.

    It builds circuit strings from ``repr`` of NumPy scalars, which NumPy 2
    writes as ``np.float64(...)``, and evaluates them in a namespace without
    ``np``; supply the name there. Its progress prints are swallowed.
    """
    import impedance.validation as iv

    monkeypatch.setitem(iv.circuit_elements, "np", np)

    def run(*args: Any, **kwargs: Any) -> Any:
        with contextlib.redirect_stdout(io.StringIO()):
            return iv.linKK(*args, **kwargs)

    return run


@pytest.mark.parametrize("add_cap", [False, True], ids=["", "cap"])
@pytest.mark.parametrize("fit_type", ["real", "imag", "complex"])
@pytest.mark.parametrize("name", INSTRUMENT_FILES)
def test_same_as_impedance_py_on_every_file(
    peer_linkk: Any, name: str, fit_type: str, add_cap: bool
) -> None:
    f, z = load(name)
    M, mu, z_fit, res_re, res_im = peer_linkk(f, z, c=0.85, fit_type=fit_type, add_cap=add_cap)
    ours = linkk(f, z, c=0.85, fit_type=fit_type, add_cap=add_cap, mode="impedance.py")  # type: ignore[arg-type]
    assert ours.M == M
    assert ours.mu == pytest.approx(mu, abs=1e-6)
    np.testing.assert_allclose(ours.residuals_real, res_re, rtol=0, atol=1e-6)
    np.testing.assert_allclose(ours.residuals_imag, res_im, rtol=0, atol=1e-6)
    np.testing.assert_allclose(ours.z_fit, z_fit, rtol=1e-5)
    assert ours.mu_history.size == ours.M and ours.mu_history[-1] == ours.mu
    assert np.all(ours.mu_history[:-1] > 0.85)


@pytest.mark.parametrize("name", ["exampleDataGamry.DTA", "exampleDataAutolab.txt"])
def test_fixed_count_matches_impedance_py(peer_linkk: Any, name: str) -> None:
    f, z = load(name)
    M, mu, _, res_re, res_im = peer_linkk(f, z, c=None, max_M=15, fit_type="complex")
    ours = linkk(f, z, c=None, max_M=15, mode="impedance.py")
    assert ours.M == M == 15
    assert ours.mu == pytest.approx(mu, abs=1e-6)
    np.testing.assert_allclose(ours.residuals_real, res_re, atol=1e-6)
    np.testing.assert_allclose(ours.residuals_imag, res_im, atol=1e-6)


def test_time_constants_span_the_inverse_angular_frequencies() -> None:
    f = np.logspace(-1, 4, 30)
    taus = time_constants(f, 6)
    assert taus[0] == 1 / (2 * np.pi * 1e4) and taus[-1] == 1 / (2 * np.pi * 0.1)
    np.testing.assert_allclose(np.diff(np.log10(taus)), 1.0)
    assert time_constants(f, 1)[0] == taus[-1]


class TestSynthetic:
    f = np.logspace(-2, 5, 71)
    w = 2 * np.pi * f
    z = 10 + 100 / (1 + (1j * w * 1e-3) ** 0.85) + 40 / (1 + 1j * w * 0.5)
    rng = np.random.default_rng(7)
    noisy = z + 1e-3 * np.abs(z) * (rng.standard_normal(f.size) + 1j * rng.standard_normal(f.size))

    def test_valid_spectrum_fits_to_the_noise_and_flags_nothing(self) -> None:
        for fit_type in ("complex", "imag"):
            r = linkk(self.f, self.noisy, fit_type=fit_type)  # type: ignore[arg-type]
            assert r.verdict == "valid", r.advice
            assert r.max_residual < 5e-3
            assert not r.outliers.any()

    def test_result_parts_rebuild_the_fitted_impedance(self) -> None:
        r = linkk(self.f, self.noisy, add_cap=True, mode="impedance.py")
        rebuilt = (
            r.series_resistance
            + np.sum(r.resistances / (1 + 1j * np.outer(self.w, r.time_constants)), axis=1)
            + 1j * self.w * r.inductance
            + 1 / (1j * self.w * r.capacitance)
        )
        np.testing.assert_allclose(rebuilt, r.z_fit, rtol=1e-12)
        np.testing.assert_allclose(r.time_constants, time_constants(self.f, r.M))
        plain = linkk(self.f, self.noisy, add_inductance=False, mode="impedance.py")
        assert plain.inductance == 0.0 and plain.capacitance == np.inf

    def test_local_non_kk_distortion_is_flagged(self) -> None:
        # three points whose real part jumps by 3 % with no imaginary
        # counterpart: no causal, linear, stationary system does that
        bad = [34, 35, 36]
        z = self.noisy.copy()
        z[bad] += 0.03 * np.abs(self.z[bad])
        r = linkk(self.f, z)
        flagged = set(np.flatnonzero(r.outliers).tolist())
        assert set(bad) <= flagged <= set(range(29, 42))
        assert np.argmax(np.abs(r.residuals_real)) in bad
        imag = linkk(self.f, z, fit_type="imag")
        assert set(np.flatnonzero(imag.outliers).tolist()) == set(bad)

    def test_drift_during_the_slow_end_of_the_sweep_is_flagged(self) -> None:
        # the system changed while the last (lowest-frequency) points were
        # measured: their impedance grows by up to 5 %
        z = self.noisy.copy()
        z[:10] *= 1 + 0.05 * np.linspace(1, 0, 10)
        r = linkk(self.f, z)
        assert r.verdict != "valid" and "0.01 Hz" in r.advice
        worst = np.argsort(np.hypot(r.residuals_real, r.residuals_imag))[-5:]
        assert worst.max() < 10
        classic = linkk(self.f, z, mode="impedance.py", outlier_sigma=4, outlier_floor=1e-3)
        flagged = np.flatnonzero(classic.outliers)
        assert flagged.size >= 5 and flagged.max() < 10

    def test_outlier_floor_and_sigma(self) -> None:
        r = linkk(self.f, self.z)  # exact data: residuals are rounding
        assert r.max_residual < 1e-3 and not r.outliers.any()
        assert r.outlier_threshold == (0.0075, 0.0075)
        loose = linkk(self.f, self.noisy, outlier_sigma=0.5, outlier_floor=0)
        assert loose.outliers.sum() > self.f.size // 4


def test_bad_arguments_and_data() -> None:
    f = np.logspace(0, 4, 20)
    z = 5 + 50 / (1 + 1j * 2 * np.pi * f * 1e-3)
    with pytest.raises(ValueError, match="fit_type"):
        linkk(f, z, fit_type="both")  # type: ignore[arg-type]
    with pytest.raises(ValueError, match="max_M"):
        linkk(f, z, max_M=0)
    with pytest.raises(ValueError, match="c must"):
        linkk(f, z, c=1.5)
    with pytest.raises(DataError, match="NaN"):
        linkk(np.r_[f[:-1], np.nan], z)
    zz = z.copy()
    zz[3] = 0
    with pytest.raises(ValueError, match="exactly zero"), warnings.catch_warnings():
        warnings.simplefilter("ignore")
        linkk(f, zz)
    # a purely resistive spectrum: nothing to fit but R_0
    flat = linkk(f, np.full(f.size, 7.0 + 0j))
    assert flat.M == 1 and flat.mu == 0.0
    np.testing.assert_allclose(flat.z_fit, 7.0, rtol=1e-12)


def test_exact_solves_take_over_when_the_screen_stops_too_early(
    monkeypatch: pytest.MonkeyPatch,
) -> None:
    # the batched screen may, through rounding, accept an M whose exact mu
    # is just above c; the SVD-based continuation must then find the M an
    # exact search finds. Force the worst case: a screen that accepts M = 1.
    import zetrion_tools.validation as v

    f, z = load("exampleDataGamry.DTA")
    expected = linkk(f, z, mode="impedance.py")
    screen = v._screen

    def eager(*args: Any) -> Any:
        args = list(args)
        args[10] = 1.0  # c: accept the first M
        return screen(*args)

    monkeypatch.setattr(v, "_screen", eager)
    forced = linkk(f, z, mode="impedance.py")
    assert forced.M == expected.M
    assert forced.mu == pytest.approx(expected.mu, abs=1e-9)
    np.testing.assert_allclose(forced.residuals_real, expected.residuals_real, atol=1e-9)


@pytest.mark.parametrize("fit_type", ["complex", "real", "imag"])
def test_batching_of_the_screen_does_not_change_the_outcome(
    monkeypatch: pytest.MonkeyPatch, fit_type: str
) -> None:
    # trials are screened in zero-padded batches; a padded unknown must not
    # leak into a trial's fit. One trial per batch has no padding at all.
    import zetrion_tools.validation as v

    f, z = load("exampleDataGamry.DTA")  # M from 19 to 27: several batches
    batched = linkk(f, z, fit_type=fit_type, add_cap=True, mode="impedance.py")  # type: ignore[arg-type]
    monkeypatch.setattr(v, "_BATCHES", (1,))
    single = linkk(f, z, fit_type=fit_type, add_cap=True, mode="impedance.py")  # type: ignore[arg-type]
    assert single.M == batched.M > 18
    # the normal equations differ only in rounding (mu within about 2e-12
    # here); a padded unknown that leaks shifts mu by 1e-9 and more
    np.testing.assert_allclose(single.mu_history, batched.mu_history, rtol=0, atol=1e-10)
    np.testing.assert_allclose(single.residuals_real, batched.residuals_real, rtol=0, atol=1e-12)
    np.testing.assert_allclose(single.residuals_imag, batched.residuals_imag, rtol=0, atol=1e-12)
