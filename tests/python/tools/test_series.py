"""Series of spectra: the warm-start chain, shared parameters, Arrhenius, the command line."""

from __future__ import annotations

import json
import math
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
from scipy.optimize import least_squares

import zetrion
from zetrion_tools import cli
from zetrion_tools.fitting import FitSetupError, fit
from zetrion_tools.io import Spectrum
from zetrion_tools.options import FitOptions
from zetrion_tools.series import arrhenius, fit_series, series_spectra

CIRCUIT = "R0-(R1,CPE1)"
F = np.geomspace(1e5, 1e-2, 45)


def drifting(count=8, noise=0.005, alpha=0.82, seed=3):
    """A cell whose resistances grow along the series while its CPE exponent stays put."""
    rng = np.random.default_rng(seed)
    truth, pairs = [], []
    for i in range(count):
        values = [10.0 + 0.5 * i, 100.0 * (1 + 0.15 * i), 2e-5 * (1 + 0.03 * i), alpha]
        z = zetrion.Circuit(CIRCUIT).with_values(values).impedance(F)
        z = z + noise * np.abs(z) * (rng.standard_normal(F.size) + 1j * rng.standard_normal(F.size))
        truth.append(values)
        pairs.append((F, z))
    return truth, pairs


class TestChain:
    def test_follows_the_series_from_each_previous_optimum(self):
        truth, pairs = drifting(noise=0.0)
        res = fit_series(CIRCUIT, pairs, along={"cycle": range(1, 9)})
        t = res.table
        assert list(t["cycle"]) == list(range(1, 9))
        assert list(t["start"]) == ["automatic"] + ["previous"] * 7
        assert t["success"].all()
        for i, values in enumerate(truth):
            for name, v in zip(res.param_names, values):
                assert t.loc[i, name] == pytest.approx(v, rel=1e-5)
        assert res.shared == () and res.independent is t

    def test_same_optimum_as_separate_fits(self):
        _, pairs = drifting()
        res = fit_series(CIRCUIT, pairs)
        for i, (f, z) in enumerate(pairs):
            alone = fit(CIRCUIT, f, z)
            assert res.table.loc[i, "chi_square"] == pytest.approx(alone.chi_square, rel=1e-6)
            assert res.table.loc[i, "R1.r_stderr"] == pytest.approx(alone.stderr["R1.r"], rel=1e-3)

    def test_a_lost_warm_start_falls_back_to_the_automatic_path(self):
        # One arc shrinks a hundredfold in size and time constant, the other
        # grows a hundredfold in size: from the previous optimum the solver
        # does not find its way within its budget.
        two = "R0-(R1,C1)-(R2,C2)"
        before = zetrion.Circuit(two).with_values([10, 100, 1e-6, 100, 1e-3]).impedance(F)
        after = zetrion.Circuit(two).with_values([10, 1e-2, 1e-6, 1e4, 1e-5]).impedance(F)
        res = fit_series(two, [(F, before), (F, after)])
        assert list(res.table["start"]) == ["automatic", "fallback"]
        assert res.table["success"].all()
        assert res.table.loc[1, "R2.r"] == pytest.approx(1e4, rel=1e-6)
        plain = fit_series(two, [(F, before), (F, after)], fallback=False)
        assert plain.table.loc[1, "start"] == "previous"
        assert not plain.table.loc[1, "success"]
        assert "previous optimum" in plain.table.loc[1, "message"]

    def test_a_bad_spectrum_is_a_failed_row_and_the_chain_goes_on(self):
        truth, pairs = drifting(count=4, noise=0.0)
        broken = (F, np.full(F.size, np.nan + 0j))
        res = fit_series(CIRCUIT, [pairs[0], broken, pairs[2], pairs[3]])
        t = res.table
        assert list(t["success"]) == [True, False, True, True]
        assert t.loc[1, "message"] and math.isnan(t.loc[1, "R1.r"])
        assert res.fitted(1) is None
        np.testing.assert_allclose(res.fitted(3).impedance(F), pairs[3][1], rtol=1e-6)
        assert t.loc[2, "start"] == "previous"
        assert t.loc[3, "R1.r"] == pytest.approx(truth[3][1], rel=1e-5)

    def test_fixed_bounds_and_keywords_reach_every_fit(self):
        _, pairs = drifting(count=3)
        res = fit_series(CIRCUIT, pairs, fixed={"R0.r": 10.0}, bounds={"CPE1.alpha": (0.5, 0.8)}, weight="unit")
        assert (res.table["R0.r"] == 10.0).all() and (res.table["R0.r_stderr"] == 0.0).all()
        assert (res.table["CPE1.alpha"] <= 0.8).all()
        for i, (f, z) in enumerate(pairs):
            alone = fit(CIRCUIT, f, z, fixed={"R0.r": 10.0}, bounds={"CPE1.alpha": (0.5, 0.8)}, weight="unit")
            assert res.table.loc[i, "chi_square"] == pytest.approx(alone.chi_square, rel=1e-6)


class TestInputs:
    def test_every_accepted_form_gives_the_same_series(self):
        _, pairs = drifting(count=3)
        cube = np.stack([np.stack([f.astype(complex), z]) for f, z in pairs])  # (3, 2, N) as AutoEIS stores it
        forms = [
            pairs,
            cube,
            np.transpose(cube, (0, 2, 1)),
            list(cube),
            [Spectrum(f, z, metadata={"temperature": 300 + 10 * i}) for i, (f, z) in enumerate(pairs)],
        ]
        for form in forms:
            members = series_spectra(form)
            assert len(members) == 3
            np.testing.assert_array_equal(members[2].impedance, pairs[2][1])
            np.testing.assert_array_equal(members[1].frequencies, F)
        res = fit_series(CIRCUIT, forms[-1], along="temperature")
        assert list(res.table["temperature"]) == [300, 310, 320]
        assert list(res.values("R1.r")[0]) == [300, 310, 320]
        dated = fit_series(CIRCUIT, pairs, {"date": ["mon", "tue", "wed"]})
        assert list(dated.values("R1.r")[0]) == [0, 1, 2]  # not numbers: their positions
        with pytest.raises(KeyError, match="unknown parameter"):
            dated.values("R9.r")

    @pytest.mark.parametrize(
        ("spectra", "along", "kwargs", "error", "text"),
        [
            ([], None, {}, ValueError, "no spectrum"),
            ("file.mpt", None, {}, TypeError, "sequence"),
            (np.zeros((3, 4, 5)), None, {}, ValueError, "shape"),
            ([(F, np.ones(3))], None, {}, ValueError, "equal length"),
            ([42], None, {}, TypeError, "spectrum #0"),
            (None, [1, 2], {}, ValueError, "2 values for 3"),
            (None, "temperature", {}, ValueError, "metadata"),
            (None, None, {"shared": ["CPE9.alpha"]}, FitSetupError, "unknown parameter"),
            (None, None, {"shared": ["R0.r"], "fixed": {"R0.r": 1.0}}, FitSetupError, "fixed and shared"),
            (None, None, {"fixed": {"nope": 1.0}}, FitSetupError, "unknown parameter"),
            (None, None, {"sigma": [0.1, 0.2]}, ValueError, "one entry per spectrum"),
            (None, None, {"ftol": 1e-9, "options": FitOptions()}, TypeError, "not both"),
        ],
    )
    def test_bad_input_raises_clear_errors(self, spectra, along, kwargs, error, text):
        _, pairs = drifting(count=3)
        with pytest.raises(error, match=text):
            fit_series(CIRCUIT, pairs if spectra is None else spectra, along, **kwargs)


class TestShared:
    def test_recovers_the_shared_exponent(self):
        truth, pairs = drifting(count=10, noise=0.01, alpha=0.78, seed=5)
        res = fit_series(CIRCUIT, pairs, shared=["CPE1.alpha"])
        t = res.table
        assert res.shared == ("CPE1.alpha",) and res.global_fit["success"]
        assert t["CPE1.alpha"].nunique() == 1
        alpha, err = t.loc[0, "CPE1.alpha"], t.loc[0, "CPE1.alpha_stderr"]
        assert abs(alpha - 0.78) < 4 * err and err < 0.01
        # one exponent from ten spectra: tighter than any single spectrum's
        assert err < res.independent["CPE1.alpha_stderr"].min()
        for i, values in enumerate(truth):
            assert t.loc[i, "R1.r"] == pytest.approx(values[1], rel=0.05)
        assert res.global_fit["dof"] == 10 * 2 * F.size - (1 + 10 * 3)

    def test_sharing_nothing_in_the_engine_agrees_with_independent_fits(self):
        from zetrion_tools import _engine

        _, pairs = drifting(count=4)
        alone = fit_series(CIRCUIT, pairs)
        names = list(alone.param_names)
        starts = [[alone.table.loc[i, n] * (1.2 if n != "CPE1.alpha" else 0.95) for n in names] for i in range(4)]
        out = _engine.fit_shared(zetrion.Circuit(CIRCUIT), pairs, starts)
        assert out["success"] and out["unknowns"] == 16
        pooled = out["total_chi_square"] / (out["residuals"] - out["unknowns"])
        for i in range(4):
            row = alone.table.loc[i]
            assert out["chi_square"][i] == pytest.approx(row["chi_square"], rel=1e-7)
            for j, n in enumerate(names):
                assert out["params"][i][j] == pytest.approx(row[n], rel=1e-5)
                # the same curvature, the series' pooled variance instead of the spectrum's own
                scale = math.sqrt(pooled / row["reduced_chi_square"])
                assert out["stderr"][i][j] == pytest.approx(row[f"{n}_stderr"] * scale, rel=1e-4)

    def test_stderr_agree_with_scipy_on_the_stacked_problem(self):
        _, pairs = drifting(count=3, noise=0.01, seed=9)
        res = fit_series(CIRCUIT, pairs, shared=["CPE1.alpha", "R0.r"], weight="unit", ftol=1e-12, xtol=1e-12)
        circuit = zetrion.Circuit(CIRCUIT)

        def stacked(x):
            out = []
            for i, (f, z) in enumerate(pairs):
                values = [x[0], x[2 + 2 * i], x[3 + 2 * i], x[1]]
                d = circuit.with_values(values).impedance(f) - z
                out.append(np.column_stack([d.real, d.imag]).ravel())
            return np.concatenate(out)

        t = res.table
        x0 = [t.loc[0, "R0.r"], t.loc[0, "CPE1.alpha"]]
        for i in range(3):
            x0 += [t.loc[i, "R1.r"], t.loc[i, "CPE1.q"]]
        ref = least_squares(stacked, x0, method="lm", xtol=1e-15, ftol=1e-15, gtol=1e-15, x_scale="jac")
        # the covariance from a central-difference Jacobian at SciPy's optimum, inverted by SVD
        # (SciPy's own forward-difference Jacobian is good to about 1e-3 only)
        steps = 1e-6 * np.abs(ref.x)
        jac = np.column_stack([(stacked(ref.x + h * e) - stacked(ref.x - h * e)) / (2 * h)
                               for h, e in zip(steps, np.eye(ref.x.size))])
        _, sv, vt = np.linalg.svd(jac, full_matrices=False)
        cov = (vt.T / sv**2) @ vt * (2 * ref.cost) / (ref.fun.size - ref.x.size)
        err = np.sqrt(np.diag(cov))
        np.testing.assert_allclose(ref.x, x0, rtol=1e-5)
        assert t.loc[0, "R0.r_stderr"] == pytest.approx(err[0], rel=1e-5)
        assert t.loc[2, "CPE1.alpha_stderr"] == pytest.approx(err[1], rel=1e-5)
        for i in range(3):
            assert t.loc[i, "R1.r_stderr"] == pytest.approx(err[2 + 2 * i], rel=1e-5)
            assert t.loc[i, "CPE1.q_stderr"] == pytest.approx(err[3 + 2 * i], rel=1e-5)
        assert res.global_fit["chi_square"] == pytest.approx(2 * ref.cost, rel=1e-8)

    def test_failed_spectra_stay_out_of_the_shared_problem(self):
        _, pairs = drifting(count=4, noise=0.0)
        pairs[2] = (F, np.full(F.size, np.nan + 0j))
        res = fit_series(CIRCUIT, pairs, shared=["CPE1.alpha"], sigma=0.5)
        assert list(res.table["success"]) == [True, True, False, True]
        assert res.table.loc[3, "CPE1.alpha"] == pytest.approx(0.82, rel=1e-6)


class TestArrhenius:
    def test_recovers_a_known_activation_energy(self):
        t = np.array([280.0, 300.0, 320.0, 340.0, 360.0])
        ea = 0.45  # eV
        r = 3e-5 * np.exp(ea / (8.617333262e-5 * t))
        a = arrhenius(t, r)
        assert a.ea_ev == pytest.approx(ea, rel=1e-9)
        assert a.ea_kj_mol == pytest.approx(ea * 96.48533212, rel=1e-9)
        assert a.ea_ev_stderr < 1e-9
        sigma = arrhenius(t - 273.15, 1 / r, celsius=True, quantity="conductance")
        assert sigma.ea_ev == pytest.approx(ea, rel=1e-9)

    def test_uncertainty_from_given_errors(self):
        t = np.array([300.0, 320.0, 340.0, 360.0])
        r = 2.0 * np.exp(0.3 / (8.617333262e-5 * t))
        a = arrhenius(t, r, 0.02 * r)
        # two-parameter line through ln r with sigma 0.02: var(slope) = 0.02^2 / sum((x - xbar)^2)
        x = 1 / t
        expected = 8.617333262e-5 * 0.02 / math.sqrt(np.sum((x - x.mean()) ** 2))
        assert a.ea_ev_stderr == pytest.approx(expected, rel=1e-9)

    @pytest.mark.parametrize(
        ("t", "v", "text"),
        [([300.0], [1.0], "two"), ([300.0, 310.0], [1.0, -1.0], "positive"), ([-300.0, 310.0], [1.0, 2.0], "zero"),
         ([300.0, 310.0], [1.0], "2 temperatures")],
    )
    def test_bad_input(self, t, v, text):
        with pytest.raises(ValueError, match=text):
            arrhenius(t, v)

    def test_from_a_temperature_series(self):
        temps = [300.0, 320.0, 340.0, 360.0]
        pairs = []
        for tk in temps:
            r1 = 5e-3 * math.exp(0.35 / (8.617333262e-5 * tk))
            pairs.append((F, zetrion.Circuit(CIRCUIT).with_values([10.0, r1, 2e-5, 0.85]).impedance(F)))
        res = fit_series(CIRCUIT, pairs, {"T": temps})
        assert res.arrhenius("R1.r").ea_ev == pytest.approx(0.35, rel=1e-4)


class TestPlotAndCli:
    def test_trajectory_figure(self):
        pytest.importorskip("matplotlib")
        import matplotlib

        matplotlib.use("Agg")
        _, pairs = drifting(count=4)
        res = fit_series(CIRCUIT, pairs, shared=["CPE1.alpha"])
        fig = res.plot()
        assert len([ax for ax in fig.axes if ax.get_visible()]) == 4
        assert fig.axes[0].get_ylabel() == "R0.r"

    def _files(self, tmp_path, count=4):
        _, pairs = drifting(count=count)
        paths = []
        for i, (f, z) in enumerate(pairs):
            p = tmp_path / f"{25 * i:03d}_mvdc.csv"
            pd.DataFrame({"frequency": f, "real": z.real, "imag": z.imag}).to_csv(p, index=False)
            paths.append(str(p))
        return paths

    def test_cli_writes_a_row_per_spectrum_sorted_by_name(self, tmp_path):
        paths = self._files(tmp_path)
        out = tmp_path / "series.csv"
        code = cli.main(["series", *reversed(paths), "-c", CIRCUIT, "--along", "name", "-o", str(out), "-q"])
        assert code == 0
        table = pd.read_csv(out)
        assert list(table["name"]) == [0, 25, 50, 75]
        assert table["success"].all() and list(table["start"])[1:] == ["previous"] * 3

    def test_cli_shared_json_and_plots(self, tmp_path):
        pytest.importorskip("matplotlib")
        paths = self._files(tmp_path)
        out, plots = tmp_path / "fit.json", tmp_path / "figs"
        argv = ["series", *paths, "-c", CIRCUIT, "--values", "1,2,3,4", "--along", "T", "--shared", "CPE1.alpha",
                "--plots", str(plots), "-o", str(out), "-q"]
        assert cli.main(argv) == 0
        doc = json.loads(out.read_text())
        assert doc["shared"] == ["CPE1.alpha"] and doc["global_fit"]["success"]
        assert [row["T"] for row in doc["rows"]] == [1, 2, 3, 4]
        assert (plots / "series.png").read_bytes()[:4] == b"\x89PNG"

    def test_cli_multi_sweep_file_along_cycle(self, capsys):
        two_cycles = Path(__file__).resolve().parents[1] / "data" / "instrument-files" / "more" / "ex1.mpt"
        assert cli.main(["series", str(two_cycles), "-c", "randles", "--along", "cycle", "-q"]) == 0
        table = pd.read_csv(__import__("io").StringIO(capsys.readouterr().out))
        assert list(table["cycle"]) == [1, 2]

    @pytest.mark.parametrize(
        "extra",
        [["-c", "R0-X1"], ["-c", CIRCUIT, "--fixed", "R0.r"], ["-c", CIRCUIT, "--bounds", "R0.r=1"],
         ["-c", CIRCUIT, "--values", "1,2"], ["-c", CIRCUIT, "--along", "temperature"],
         ["-c", CIRCUIT, "--shared", "nope"]],
    )
    def test_cli_usage_errors_exit_2(self, tmp_path, extra, capsys):
        paths = self._files(tmp_path, count=3)
        assert cli.main(["series", *paths, *extra, "-q"]) == 2
        assert "zetrion series: error:" in capsys.readouterr().err

    def test_cli_strict_with_an_unreadable_file(self, tmp_path):
        paths = self._files(tmp_path, count=3)
        bad = tmp_path / "broken.csv"
        bad.write_text("not, an, impedance\nfile\n")
        out = str(tmp_path / "o.csv")
        assert cli.main(["series", *paths, str(bad), "-c", CIRCUIT, "-o", out, "-q"]) == 0
        assert cli.main(["series", *paths, str(bad), "-c", CIRCUIT, "-o", out, "-q", "--strict"]) == 1
        table = pd.read_csv(out)
        assert len(table) == 4 and not table["success"].iloc[-1]
