"""Fits with fixed parameters and user bounds (zetrion_tools.fitting)."""

from __future__ import annotations

import math
import warnings

import numpy as np
import pytest

import zetrion
from zetrion_tools.checks import DataError, DataWarning
from zetrion_tools.fitting import ConstrainedFit, FitSetupError, fit

from scipy.optimize import least_squares


def noisy(notation: str, values: list[float], seed: int, n: int = 60, noise: float = 0.01):
    f = np.geomspace(1e5, 1e-2, n)
    z = zetrion.Circuit(notation).with_values(values).impedance(f)
    rng = np.random.default_rng(seed)
    z = z + noise * np.abs(z) * (rng.standard_normal(n) + 1j * rng.standard_normal(n))
    return f, z


RANDLES = [10.0, 100.0, 30.0, 1e-5, 0.85]
SEI = [5.0, 20.0, 1e-5, 0.9, 80.0, 40.0, 1e-4, 0.8]


def assert_same_optimum(res, ref, ref_chi):
    """Same optimum: no worse a cost, and every parameter within 1 % of its standard error."""
    assert res.chi_square <= ref_chi * (1 + 1e-9)
    assert res.chi_square == pytest.approx(ref_chi, rel=1e-6)
    for name, v in ref.items():
        assert abs(res.params[name] - v) <= 0.01 * res.stderr[name] + 1e-12 * abs(v), name


def reference(notation, f, z, start, fixed, bounds=None, weight="modulus"):
    """Independent optimiser: SciPy on the circuit's impedance in physical space.

    MINPACK's Levenberg-Marquardt without bounds, the reflective trust region
    with them; both with Jacobian-based scaling and tight tolerances, and the
    residuals built here from ``Circuit.impedance`` rather than taken from
    ``Circuit.residuals``.
    """
    circuit = zetrion.Circuit(notation)
    names = circuit.param_names()
    free = [n for n in names if n not in fixed]
    w = np.abs(z) if weight == "modulus" else np.ones(len(z))

    def full(x):
        values = dict(fixed)
        values.update(zip(free, x))
        return [values[n] for n in names]

    def resid(x):
        d = (circuit.with_values(full(x)).impedance(f) - z) / w
        return np.column_stack([d.real, d.imag]).ravel()

    x0 = np.array([start[n] for n in free])
    tol = dict(xtol=1e-14, ftol=1e-14, gtol=1e-14, x_scale="jac", max_nfev=20000)
    if bounds:
        lo = [bounds.get(n, (-np.inf, np.inf))[0] for n in free]
        hi = [bounds.get(n, (-np.inf, np.inf))[1] for n in free]
        x0 = np.clip(x0, np.nextafter(lo, np.inf), np.nextafter(hi, -np.inf))
        out = least_squares(resid, x0, bounds=(lo, hi), method="trf", **tol)
    else:
        out = least_squares(resid, x0, method="lm", **tol)
    r = resid(out.x)
    return dict(zip(names, full(out.x))), float(r @ r)


class TestSameOptimum:
    """One parameter held at its optimal value: the others land on the full fit's optimum."""

    @pytest.mark.parametrize(
        "notation, values, seed",
        [("randles", RANDLES, 1), ("sei_randles", SEI, 2), ("two_rq", [3.0, 50.0, 1e-5, 0.9, 200.0, 1e-3, 0.75], 3)],
    )
    def test_fix_each_parameter_at_core_optimum(self, notation, values, seed):
        f, z = noisy(notation, values, seed)
        core = zetrion.Circuit(notation).fit(f, z)
        assert core.success
        for name, value in core.params.items():
            res = fit(notation, f, z, fixed={name: value})
            assert res.success, res.message
            assert res.params[name] == value
            assert res.fixed == {name: value}
            assert res.chi_square <= core.chi_square * (1 + 1e-7)
            for other, v in core.params.items():
                assert res.params[other] == pytest.approx(v, rel=2e-5), (name, other)

    def test_fixed_off_optimum_matches_scipy_reference(self):
        f, z = noisy("randles", RANDLES, 4)
        core = zetrion.Circuit("randles").fit(f, z)
        fixed = {"R0.r": 9.0}  # away from the optimum, so the others must move
        res = fit("randles", f, z, fixed=fixed)
        ref, ref_chi = reference("randles", f, z, core.params, fixed)
        assert res.success
        assert_same_optimum(res, ref, ref_chi)
        assert res.chi_square > core.chi_square  # the constraint costs something

    def test_unit_weighting_matches_scipy_reference(self):
        f, z = noisy("rq", [2.0, 30.0, 1e-4, 0.9], 5)
        res = fit("rq", f, z, fixed={"CPE1.alpha": 0.88}, weight="unit")
        start = dict(zip(zetrion.Circuit("rq").param_names(), [2.0, 30.0, 1e-4, 0.9]))
        ref, ref_chi = reference("rq", f, z, start, {"CPE1.alpha": 0.88}, weight="unit")
        assert_same_optimum(res, ref, ref_chi)


class TestBounds:
    def test_active_bound_is_honoured_and_matches_scipy_reference(self):
        f, z = noisy("randles", RANDLES, 6)
        bounds = {"CPE1.alpha": (0.7, 0.8), "R0.r": (10.5, 20.0)}
        res = fit("randles", f, z, bounds=bounds)
        assert res.success
        for name, (lo, hi) in bounds.items():
            assert lo <= res.params[name] <= hi
        assert res.params["CPE1.alpha"] == pytest.approx(0.8, abs=1e-9)
        assert res.params["R0.r"] == pytest.approx(10.5, rel=1e-9)
        start = dict(zip(zetrion.Circuit("randles").param_names(), RANDLES))
        ref, ref_chi = reference("randles", f, z, start, {}, bounds)
        assert_same_optimum(res, ref, ref_chi)

    def test_bounds_on_log_searched_parameter_from_outside_start(self):
        # the start (learned guess, near 100 ohm) lies outside the box
        f, z = noisy("randles", RANDLES, 7)
        res = fit("randles", f, z, bounds={"R1.r": (150.0, 400.0)}, fixed={"R0.r": 10.0})
        assert 150.0 <= res.params["R1.r"] <= 400.0
        assert res.params["R1.r"] == pytest.approx(150.0, rel=1e-6)

    def test_every_bound_holds_on_random_boxes(self):
        f, z = noisy("sei_randles", SEI, 8)
        names = zetrion.Circuit("sei_randles").param_names()
        rng = np.random.default_rng(9)
        for _ in range(6):
            bounds = {}
            for name, v in zip(names, SEI):
                if name.endswith("alpha"):
                    lo = rng.uniform(0.5, 0.95)
                    bounds[name] = (lo, min(1.0, lo + rng.uniform(0.01, 0.2)))
                else:
                    lo = v * 10 ** rng.uniform(-1, 0.5)
                    bounds[name] = (lo, lo * 10 ** rng.uniform(0.1, 1))
            res = fit("sei_randles", f, z, bounds=bounds)
            for name, (lo, hi) in bounds.items():
                assert lo <= res.params[name] <= hi, (name, res.params[name], lo, hi)
            assert np.all(np.isfinite(res.residuals))


class TestResult:
    def test_statistics_match_core_definitions(self):
        f, z = noisy("randles", RANDLES, 10)
        core = zetrion.Circuit("randles").fit(f, z)
        res = fit("randles", f, z)
        assert isinstance(res, ConstrainedFit)
        assert res.start_source == "learned guess"
        assert res.chi_square == pytest.approx(core.chi_square, rel=1e-8)
        assert res.chi_square == 2 * res.cost
        assert res.dof == 2 * len(f) - 5
        assert res.reduced_chi_square == pytest.approx(res.chi_square / res.dof)
        for name in core.params:
            assert res.stderr[name] == pytest.approx(core.stderr[name], rel=1e-4)
        r = np.asarray(res.circuit.residuals(res.circuit.param_values(), f, z))
        np.testing.assert_array_equal(r, res.residuals)
        np.testing.assert_array_equal(res.z_fit, res.circuit.impedance(f))
        assert np.allclose(np.diag(res.correlation), 1.0)
        assert np.allclose(res.covariance, res.covariance.T)
        assert np.all(np.abs(res.correlation) <= 1 + 1e-12)

    def test_fixed_parameters_report_zero_error_and_are_left_out_of_covariance(self):
        f, z = noisy("randles", RANDLES, 11)
        res = fit("randles", f, z, fixed={"R0.r": 10.0, "CPE1.alpha": 0.85})
        assert res.free == ("R1.r", "W1.aw", "CPE1.q")
        assert res.covariance.shape == (3, 3)
        assert res.stderr["R0.r"] == 0.0 and res.stderr["CPE1.alpha"] == 0.0
        assert all(res.stderr[n] > 0 for n in res.free)
        assert "(fixed)" in str(res)

    def test_undetermined_combination_is_named(self):
        # two resistors in series: only their sum is determined
        f = np.geomspace(1e4, 1, 10)
        z = zetrion.Circuit("R0-(R1,C1)").with_values([3.0, 5.0, 1e-3]).impedance(f)
        res = fit("R0-R2-(R1,C1)", f, z, guess_init=False)
        core = zetrion.Circuit("R0-R2-(R1,C1)").fit(f, z, guess_init=False)
        assert res.success
        assert res.params["R0.r"] + res.params["R2.r"] == pytest.approx(3.0, rel=1e-6)
        # one definition of the errors on both faces, and the combination named
        assert res.chi_square == core.chi_square
        for name, v in core.params.items():
            assert res.params[name] == v
            assert res.stderr[name] == core.stderr[name] or math.isnan(core.stderr[name])
        assert len(res.undetermined) == 1
        combo = res.undetermined[0]
        assert set(combo) == {"R0.r", "R2.r"}
        assert combo["R0.r"] == pytest.approx(-combo["R2.r"], rel=1e-3)
        assert "undetermined" in str(res)

    def test_determined_fit_names_nothing(self):
        f, z = noisy("randles", RANDLES, 16)
        assert fit("randles", f, z).undetermined == ()

    def test_failure_is_reported_not_raised(self):
        f, z = noisy("randles", RANDLES, 12)
        res = fit("randles", f, z, max_nfev=1, guess_init=False)
        assert not res.success
        assert "did not converge" in res.message and "max_nfev" in res.message

    def test_start_values_from_circuit_or_guess(self):
        f, z = noisy("randles", RANDLES, 13)
        given = zetrion.Circuit("randles").with_values([9.0, 90.0, 25.0, 2e-5, 0.8])
        res = fit(given, f, z, n_starts=1)
        assert res.start_source == "circuit values"
        assert res.start["R1.r"] == 90.0
        res = fit(zetrion.Circuit("randles"), f, z, n_starts=1)
        assert res.start_source == "learned guess"
        res = fit("randles", f, z, fixed={"R0.r": 11.0}, start={"R1.r": 95.0})
        assert res.start["R0.r"] == 11.0 and res.start["R1.r"] == 95.0

    def test_circuit_without_model_starts_from_defaults_with_warning(self):
        f, z = noisy("R0-(R1,C1)-W2", [5.0, 50.0, 1e-5, 20.0], 14)
        with pytest.warns(UserWarning, match="no learned model"):
            res = fit("R0-(R1,C1)-W2", f, z)
        assert res.start_source == "circuit values"
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            fit("R0-(R1,C1)-W2", f, z, guess_init=False)
        with pytest.raises(ValueError):
            fit("R0-(R1,C1)-W2", f, z, guess_init=True)


class TestErrors:
    f, z = noisy("randles", RANDLES, 15, n=20)

    @pytest.mark.parametrize(
        "kwargs, match",
        [
            ({"fixed": {"R9.r": 1.0}}, "unknown parameter.*R9.r.*R0.r"),
            ({"bounds": {"CPE1.alfa": (0.7, 1)}}, "unknown parameter.*CPE1.alfa"),
            ({"start": {"X": 1.0}}, "unknown parameter"),
            ({"fixed": {"R0.r": "ten"}}, "must be a number"),
            ({"fixed": {"R0.r": float("nan")}}, "must be finite"),
            ({"start": {"R0.r": None}}, "must be a number"),
            ({"fixed": {"CPE1.alpha": 1.2}}, "outside its bounds"),
            ({"fixed": {"CPE1.alpha": 0.6}, "bounds": {"CPE1.alpha": (0.7, 1)}}, "outside its bounds"),
            ({"fixed": {"R0.r": -1.0}}, "outside its bounds"),
            ({"bounds": {"CPE1.alpha": (0.9, 0.8)}}, "empty"),
            ({"bounds": {"CPE1.alpha": (0.9, 0.9)}}, "empty.*fixed"),
            ({"bounds": {"CPE1.alpha": (1.5, 2.0)}}, "outside the parameter's valid range"),
            ({"bounds": {"R0.r": (1.0, float("nan"))}}, "NaN"),
            ({"bounds": {"R0.r": 5.0}}, "pair"),
            ({"fixed": dict(zip(zetrion.Circuit("randles").param_names(), RANDLES))}, "nothing left"),
        ],
    )
    def test_setup_errors(self, kwargs, match):
        with pytest.raises(FitSetupError, match=match):
            fit("randles", self.f, self.z, **kwargs)

    def test_bad_data_and_arguments(self):
        f, z = self.f.copy(), self.z.copy()
        z[3] = np.nan
        with pytest.raises(DataError, match="NaN"):
            fit("randles", f, z)
        f[0] = 0.0
        with pytest.raises(DataError, match="zero or negative"):
            fit("randles", f, self.z)
        with pytest.raises(DataError, match="exactly one impedance"):
            fit("randles", self.f[:-1], self.z)
        with pytest.raises(DataError, match="4 points for 5 parameters"):
            fit("randles", self.f[:4], self.z[:4])
        fit("randles", self.f[:4], self.z[:4], fixed={"R0.r": 10.0}, n_starts=1)  # 4 free: enough
        with pytest.warns(DataWarning, match="flipped"):
            fit("randles", self.f, self.z.conjugate(), n_starts=1)
        with pytest.raises(ValueError, match="weight"):
            fit("randles", self.f, self.z, weight="abs")
        with pytest.raises(TypeError, match="notation"):
            fit(42, self.f, self.z)  # type: ignore[arg-type]
        with pytest.raises(ValueError, match="unknown element"):
            fit("R0-X1", self.f, self.z)
