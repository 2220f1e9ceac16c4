"""Distribution of relaxation times: accuracy against closed-form DRTs, the
signed DRT of an inductive loop, lambda rules, input checks, peaks, batches,
records, plots and the command line."""

from __future__ import annotations

import math
import warnings

import numpy as np
import pandas as pd
import pytest

from zetrion_tools import cli
from zetrion_tools.checks import DataError
from zetrion_tools.drt_analysis import BASES, LAMBDA_RULES, detect_inductive_loop, drt, load_drt
from zetrion_tools.drt_batch import DRT_MANY_COLUMNS, drt_many
from zetrion_tools.drt_peaks import PEAK_COLUMNS, find_peaks

F = np.logspace(6, -2, 81)
W = 2 * np.pi * F


def zarc(r: float, tau0: float, phi: float) -> np.ndarray:
    return r / (1 + (1j * W * tau0) ** phi)


def zarc_gamma(tau: np.ndarray, r: float, tau0: float, phi: float) -> np.ndarray:
    x = phi * np.log(tau / tau0)
    return r / (2 * np.pi) * np.sin((1 - phi) * np.pi) / (np.cosh(x) - np.cos((1 - phi) * np.pi))


def noisy(z: np.ndarray, seed: int, level: float = 0.01) -> np.ndarray:
    rng = np.random.default_rng(seed)
    return z + level * np.abs(z) * (rng.standard_normal(z.size) + 1j * rng.standard_normal(z.size))


def rel_l2(a: np.ndarray, b: np.ndarray) -> float:
    return float(np.linalg.norm(a - b) / np.linalg.norm(b))


ONE = 10 + zarc(100, 1e-3, 0.8)
TWO = 10 + zarc(50, 1e-4, 0.8) + zarc(50, 1e-1, 0.8)
LOOP = 40 + zarc(100, 1e-3, 0.8) - zarc(30, 1.0, 0.9)
TAU = 1 / W


class TestAccuracy:
    @pytest.mark.parametrize("noise", [0.0, 0.01])
    def test_zarc_shape_and_resistances(self, noise: float) -> None:
        z = noisy(ONE, 1, noise)
        r = drt(F, z)
        assert rel_l2(r.gamma_at(TAU), zarc_gamma(TAU, 100, 1e-3, 0.8)) < (0.03 if noise == 0 else 0.2)
        assert r.polarisation == pytest.approx(100, rel=0.03)
        assert r.r_inf == pytest.approx(10, abs=0.5 if noise else 0.05)
        assert not r.signed and r.signed_reason == "no inductive loop"
        assert np.all(r.gamma >= 0)

    def test_adaptive_smoothing_beats_plain_tikhonov_on_noisy_spectra(self) -> None:
        exact = {
            "one": (ONE, zarc_gamma(TAU, 100, 1e-3, 0.8)),
            "two": (TWO, zarc_gamma(TAU, 50, 1e-4, 0.8) + zarc_gamma(TAU, 50, 1e-1, 0.8)),
            "loop": (LOOP, zarc_gamma(TAU, 100, 1e-3, 0.8) - zarc_gamma(TAU, 30, 1.0, 0.9)),
        }
        gains = []
        for seed, (z0, g) in enumerate(exact.values()):
            for level in (0.01, 0.03):
                z = noisy(z0, 20 + seed, level)
                adaptive = rel_l2(drt(F, z).gamma_at(TAU), g)
                plain = rel_l2(drt(F, z, adaptive=False).gamma_at(TAU), g)
                gains.append(adaptive / plain)
        assert max(gains) < 1.05 and float(np.mean(gains)) < 0.92, gains

    def test_lambda_of_the_adaptive_solves(self) -> None:
        z = noisy(TWO, 8)
        r = drt(F, z)
        plain = drt(F, z, adaptive=False)
        assert r.rule_lam == pytest.approx(plain.lam) and plain.rule_lam == plain.lam
        assert r.lam == pytest.approx(3 * r.rule_lam)  # a rule's lambda, scaled for the re-solves
        given = drt(F, z, lam=2e-3)
        assert given.lam == given.rule_lam == 2e-3
        # one re-solve already moves gamma; False is the plain solution itself
        assert not np.allclose(drt(F, z, adaptive=1).gamma, plain.gamma)
        np.testing.assert_array_equal(drt(F, z, adaptive=False).gamma, plain.gamma)

    def test_fit_and_residuals_describe_the_data(self) -> None:
        r = drt(F, TWO, lam=1e-6)
        assert np.allclose(r.residuals, (r.z_fit - TWO) / np.abs(TWO))
        assert np.max(np.abs(r.residuals)) < 2e-3
        assert np.allclose(r.gamma_at(r.tau[::7]), r.gamma[::7], rtol=1e-12, atol=1e-12)
        assert r.frequency == pytest.approx(1 / (2 * np.pi * r.tau))

    def test_parts_of_the_spectrum_agree(self) -> None:
        whole = drt(F, ONE, lam=1e-4).gamma_at(TAU)
        for part in ("real", "imag"):
            r = drt(F, ONE, lam=1e-4, data=part)
            assert rel_l2(r.gamma_at(TAU), whole) < 0.25, part
        assert drt(F, ONE, lam=1e-4, data="imag").r_inf == pytest.approx(10, abs=0.5)

    def test_bases_and_penalties(self) -> None:
        exact = zarc_gamma(TAU, 100, 1e-3, 0.8)
        for basis in ("gaussian", "c2_matern", "c4_matern", "inverse_quadratic", "piecewise_linear"):
            for derivative in (1, 2):
                r = drt(F, ONE, lam=1e-5, basis=basis, derivative=derivative)
                assert rel_l2(r.gamma_at(TAU), exact) < 0.15, (basis, derivative)
        assert set(BASES) >= {"gaussian", "c0_matern", "cauchy", "inverse_quadric"}


class TestInductiveLoop:
    def test_detected_and_signed(self) -> None:
        assert detect_inductive_loop(F, noisy(LOOP, 2))
        r = drt(F, noisy(LOOP, 2))
        assert r.signed and r.signed_reason == "inductive loop detected"
        exact = zarc_gamma(TAU, 100, 1e-3, 0.8) - zarc_gamma(TAU, 30, 1.0, 0.9)
        assert rel_l2(r.gamma_at(TAU), exact) < 0.3
        assert r.gamma_at([1.0])[0] < -0.5 * zarc_gamma(np.array([1.0]), 30, 1.0, 0.9)[0]
        assert r.polarisation == pytest.approx(70, rel=0.03)

    def test_non_negative_drt_cannot_follow_the_loop(self) -> None:
        r = drt(F, LOOP, signed=False)
        exact = zarc_gamma(TAU, 100, 1e-3, 0.8) - zarc_gamma(TAU, 30, 1.0, 0.9)
        assert np.all(r.gamma >= 0)
        assert rel_l2(r.gamma_at(TAU), exact) > 0.3
        assert r.signed_reason == "given"

    def test_noise_alone_is_not_a_loop(self) -> None:
        found = [detect_inductive_loop(F, noisy(ONE, seed)) for seed in range(40)]
        assert sum(found) == 0


class TestLambda:
    def test_every_lambda_gives_finite_non_negative_gamma(self) -> None:
        z = noisy(TWO, 3)
        for lam in np.logspace(-8, 1, 19):
            r = drt(F, z, lam=float(lam), derivative=2)
            assert np.all(np.isfinite(r.gamma)) and np.all(r.gamma >= 0), lam
            assert r.lambda_rule == "given" and r.lam == lam and r.lambda_scan[0].size == 0
            s = drt(F, z, lam=float(lam), signed=True)
            assert np.all(np.isfinite(s.gamma)), lam

    @pytest.mark.parametrize("rule", LAMBDA_RULES)
    def test_rules_choose_inside_the_range(self, rule: str) -> None:
        r = drt(F, noisy(TWO, 4), rule=rule, lambda_range=(1e-7, 1.0))
        assert 1e-7 <= r.lam <= 1.0
        assert r.lambda_rule == rule
        lambdas, scores = r.lambda_scan
        assert lambdas.size == scores.size > 50
        assert r.polarisation == pytest.approx(100, rel=0.05)

    def test_gcv_on_noisier_data_regularises_more(self) -> None:
        quiet = drt(F, noisy(ONE, 5, 0.001), noise_floor=0).lam
        loud = drt(F, noisy(ONE, 5, 0.03), noise_floor=0).lam
        assert loud > 10 * quiet


class TestInput:
    @pytest.mark.parametrize(
        "f, z",
        [
            (F, np.where(np.arange(81) == 5, np.nan, ONE)),
            (F, np.where(np.arange(81) == 5, np.inf, ONE)),
            (F[:-1], ONE),
            (F[:3], ONE[:3]),
            (np.where(np.arange(81) == 2, -1.0, F), ONE),
        ],
        ids=["nan", "inf", "mismatched", "too-short", "negative-frequency"],
    )
    def test_bad_spectra_raise_data_error(self, f: np.ndarray, z: np.ndarray) -> None:
        with pytest.raises(DataError):
            drt(f, z)

    @pytest.mark.parametrize(
        "kwargs",
        [
            {"basis": "square"},
            {"rule": "oracle"},
            {"derivative": 3},
            {"lam": -1.0},
            {"lam": math.nan},
            {"fwhm_coeff": 0.0},
            {"lambda_range": (1.0, 1e-3)},
            {"signed": "maybe"},
            {"data": "phase"},
            {"density": 0},
            {"rule": "re_im", "data": "real"},
            {"centres": "tau"},
            {"adaptive": -1},
            {"adaptive": 2.5},
            {"adaptive_floor": 0.0},
        ],
    )
    def test_bad_settings_raise_value_error(self, kwargs: dict[str, object]) -> None:
        with pytest.raises(ValueError):
            drt(F, ONE, **kwargs)  # type: ignore[arg-type]


class TestPeaks:
    def test_two_separate_peaks(self) -> None:
        table = drt(F, noisy(TWO, 6)).peaks()
        assert list(table.columns) == PEAK_COLUMNS
        assert len(table) == 2
        assert table["tau"].to_numpy() == pytest.approx([1e-4, 1e-1], rel=0.3)
        assert table["area"].to_numpy() == pytest.approx([50, 50], rel=0.1)
        assert table["frequency"].to_numpy() == pytest.approx(1 / (2 * np.pi * table["tau"].to_numpy()))
        assert table["share"].sum() == pytest.approx(1, abs=0.05)

    def test_overlapping_peaks_separated_by_shapes(self) -> None:
        z = 10 + zarc(30, 1e-3, 0.7) + zarc(70, 2e-2, 0.7)
        r = drt(F, z, lam=1e-6)
        basins = find_peaks(r)
        assert len(find_peaks(r, separate=True)) == 1  # gamma shows one maximum
        fitted = find_peaks(r, separate=True, shape="zarc", n_peaks=2)
        assert len(fitted) == 2
        assert fitted["area"].to_numpy() == pytest.approx([30, 70], rel=0.08)
        assert fitted["tau"].to_numpy() == pytest.approx([1e-3, 2e-2], rel=0.25)
        err_fit = np.abs(fitted["area"].to_numpy() - [30, 70]).sum()
        assert len(basins) == 1 and err_fit < 10
        gauss = find_peaks(r, separate=True, shape="gaussian", n_peaks=2)
        assert gauss["area"].sum() == pytest.approx(100, rel=0.1)  # Gaussians miss the ZARC tails

    def test_negative_peak_of_a_signed_drt(self) -> None:
        table = drt(F, LOOP, signed=True).peaks()
        neg = table[table["area"] < 0]
        assert len(neg) == 1
        assert neg["tau"].iloc[0] == pytest.approx(1.0, rel=0.5)
        assert neg["area"].iloc[0] == pytest.approx(-30, rel=0.2)

    def test_max_peaks_keeps_the_largest(self) -> None:
        z = 10 + zarc(5, 1e-5, 0.9) + zarc(80, 1e-2, 0.9)
        table = drt(F, z, lam=1e-6).peaks(max_peaks=1)
        assert len(table) == 1 and table["tau"].iloc[0] == pytest.approx(1e-2, rel=0.3)


class TestBatch:
    def test_many_spectra_in_order_with_failures_as_rows(self) -> None:
        good = [(f"s{i}", F, noisy(TWO, 10 + i)) for i in range(6)]
        bad = ("broken", F, np.full(81, np.nan, dtype=complex))
        spectra = good[:3] + [bad] + good[3:]
        one = drt_many(spectra, threads=1, progress=False)
        two = drt_many(spectra, threads=2, progress=False, chunksize=1)
        assert list(one.columns) == DRT_MANY_COLUMNS
        pd.testing.assert_frame_equal(one.drop(columns="time"), two.drop(columns="time"))
        ids = list(dict.fromkeys(one["id"]))
        assert ids == [s[0] for s in spectra]
        row = one[one["id"] == "broken"]
        assert len(row) == 1 and row["peak"].iloc[0] == 0 and "NaN" in row["message"].iloc[0]
        assert (one[one["id"] == "s0"]["peak"].tolist()) == [1, 2]

    def test_long_frames_and_spectrum_objects(self) -> None:
        from types import SimpleNamespace

        frame = pd.DataFrame(
            {
                "spectrum_id": np.repeat(["a", "b"], 81),
                "frequency": np.tile(F, 2),
                "real": np.r_[ONE.real, TWO.real],
                "imag": np.r_[ONE.imag, TWO.imag],
            }
        )
        table = drt_many(frame, progress=False)
        assert table.groupby("id")["peak"].max().to_dict() == {"a": 1, "b": 2}
        objs = [SimpleNamespace(frequencies=F, impedance=ONE, path="cell.DTA")]
        assert drt_many(objs, progress=False)["id"].tolist() == ["cell.DTA"]

    def test_options_reach_the_drt_and_the_peaks(self) -> None:
        frame = drt_many([(F, TWO)], progress=False, lam=1e-3, separate=True)
        assert frame["lam"].tolist() == [1e-3, 1e-3]
        with pytest.raises(ValueError):
            drt_many([(F, TWO)], threads=0)


class TestRecordsPlotsCli:
    def test_json_round_trip(self, tmp_path) -> None:
        r = drt(F, noisy(LOOP, 7))
        path = tmp_path / "r.json"
        r.save(str(path))
        back = load_drt(str(path))
        for name in ("tau", "gamma", "coefficients", "frequencies", "impedance", "z_fit", "residuals"):
            np.testing.assert_allclose(getattr(back, name), getattr(r, name), rtol=1e-15)
        assert (back.lam, back.rule_lam, back.signed, back.settings) == (r.lam, r.rule_lam, r.signed, r.settings)
        np.testing.assert_allclose(back.gamma_at(TAU), r.gamma_at(TAU))
        with pytest.raises(ValueError):
            load_drt({"kind": "something else"})

    def test_plots(self) -> None:
        matplotlib = pytest.importorskip("matplotlib")
        matplotlib.use("Agg")
        from zetrion_tools.drt_plot import plot_drt, plot_drt_summary

        r = drt(F, TWO)
        ax = plot_drt(r, x="frequency")
        assert len(ax.lines) == 2  # gamma and the peak markers
        assert ax.get_xscale() == "log"
        fig = plot_drt_summary(r)
        assert len(fig.axes) == 3
        with pytest.raises(ValueError):
            plot_drt(r, x="omega")  # type: ignore[arg-type]

    def test_command_line(self, tmp_path, capsys) -> None:
        for i, z in enumerate([ONE, TWO]):
            np.savetxt(tmp_path / f"s{i}.csv", np.c_[F, z.real, z.imag], delimiter=",", header="freq,Zreal,Zimag")
        (tmp_path / "junk.csv").write_text("not a spectrum\n")
        out = tmp_path / "peaks.csv"
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            code = cli.main(["drt", str(tmp_path), "--out", str(out), "--json", str(tmp_path / "j"), "-q"])
        assert code == 0
        frame = pd.read_csv(out)
        assert sorted(set(frame["id"].map(lambda p: p.split("/")[-1]))) == ["junk.csv", "s0.csv", "s1.csv"]
        assert frame[frame["id"].str.endswith("s1.csv")]["peak"].tolist() == [1, 2]
        assert len(list((tmp_path / "j").glob("*.json"))) == 2
        assert cli.main(["drt", str(tmp_path), "--out", str(out), "--strict", "-q"]) == 1
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            cli.main(["drt", str(tmp_path / "s0.csv"), "--plain", "--derivative", "2", "--json", str(tmp_path / "p"), "-q", "-o", str(out)])
        settings = load_drt(str(next((tmp_path / "p").glob("*.json")))).settings
        assert (settings["adaptive"], settings["derivative"]) == (False, 2)


class TestCircuitDrt:
    @staticmethod
    def impedance_of(cd, f: np.ndarray) -> np.ndarray:
        w = 2 * np.pi * f
        kernel = 1 / (1 + 1j * w[:, None] * cd.tau[None, :])
        z = np.trapezoid(cd.gamma[None, :] * kernel, np.log(cd.tau), axis=1)
        for tau, r in cd.deltas:
            z = z + r / (1 + 1j * w * tau)
        return cd.r_inf + 1j * w * cd.inductance + z

    @pytest.mark.parametrize(
        "notation, values, resistance",
        [
            ("R0-(R1,C1)", [5, 20, 1e-5], 20),
            ("R0-(R1,CPE1)-(R2,C2)", [5, 20, 1e-4, 0.8, 30, 1e-3], 50),
            ("L0-R0-Zarc1", [1e-6, 5, 20, 1e-3, 0.8], 20),
            ("R0-K1", [5, 20, 1e-3], 20),
            ("R0-p(CPE1,R1)", [5, 1e-4, 0.85, 20], 20),
        ],
    )
    def test_closed_forms_reproduce_the_circuit(self, notation: str, values: list[float], resistance: float) -> None:
        import zetrion
        from zetrion_tools.drt_circuit import circuit_drt

        c = zetrion.Circuit(notation).with_values(values)
        cd = circuit_drt(c, np.geomspace(1e-12, 1e8, 4000), notation=notation)
        assert cd.method == "analytic"
        f = np.geomspace(1e5, 1e-2, 30)
        z = np.asarray(c.impedance(f))
        assert np.max(np.abs(self.impedance_of(cd, f) - z) / np.abs(z)) < 1e-5
        assert cd.polarisation == pytest.approx(resistance, rel=1e-5)

    def test_numeric_for_the_rest_and_against_the_data(self) -> None:
        import zetrion
        from zetrion_tools.drt_circuit import circuit_drt

        notation = "R0-(R1,CPE1)-Gs1"
        c = zetrion.Circuit(notation).with_values([5, 20, 1e-4, 0.8, 30, 1e-3, 0.9])
        cd = circuit_drt(c, TAU, notation=notation)
        assert cd.method == "numeric" and cd.r_inf == pytest.approx(5, rel=0.02)
        low, high = np.asarray(c.impedance([1e-9, 1e12])).real
        assert cd.polarisation == pytest.approx(low - high, rel=0.03)
        data = drt(F, np.asarray(c.impedance(F)))
        assert TAU[np.argmax(cd.gamma)] == pytest.approx(TAU[np.argmax(data.gamma_at(TAU))], rel=0.3)
        forced = circuit_drt("R0-(R1,C1)", TAU, numeric=True)
        assert forced.method == "numeric"
        with pytest.raises(ValueError):
            circuit_drt(c, [1.0])
