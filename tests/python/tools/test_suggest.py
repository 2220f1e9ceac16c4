"""Ranked circuit suggestions: the ranking, the library and its narrowing,
equivalent circuits, flags, bad input and the command line."""

from __future__ import annotations

import math
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

import zetrion
from zetrion_tools import DataError, suggest_circuits
from zetrion_tools.cli import main
from zetrion_tools.suggest_library import SpectrumShape, candidate_circuits, read_shape

F = np.logspace(5, -2, 57)


def spectrum(notation: str, values: dict[str, float], noise: float = 0.01, seed: int = 0) -> np.ndarray:
    """The circuit's impedance at F with relative complex noise."""
    z = np.asarray(zetrion.Circuit(notation).with_named_values(values).impedance(F), dtype=np.complex128)
    rng = np.random.default_rng(seed)
    return z + noise * np.abs(z) * (rng.standard_normal(z.size) + 1j * rng.standard_normal(z.size)) / math.sqrt(2)


ONE_ARC = {"R0.r": 10.0, "R1.r": 100.0, "CPE1.q": 1e-5, "CPE1.alpha": 0.85}
TWO_RC = {"R0.r": 5.0, "R1.r": 40.0, "C1.c": 1e-6, "R2.r": 80.0, "C2.c": 1e-3}


@pytest.fixture(scope="module")
def one_arc() -> np.ndarray:
    return spectrum("R0-(R1,CPE1)", ONE_ARC)


class TestRanking:
    def test_one_arc_ranks_an_arc_first_from_the_library(self, one_arc):
        r = suggest_circuits(F, one_arc, threads=2)
        assert r.top(1)[0] in ("R0-(R1,CPE1)", "R0-(R1,C1)")
        assert r.table["rank"].tolist() == list(range(1, len(r.table) + 1))
        assert len(r.table) > 10 and r.shape is not None and r.shape.peaks >= 1
        # the estimated noise is the drawn one (1 % of |Z|, split over two parts)
        assert 0.5 < r.noise / (0.01 / math.sqrt(2)) < 1.5
        best = r.best
        assert best.params["R1.r"] == pytest.approx(100.0, rel=0.05)

    def test_a_smaller_circuit_that_fits_as_well_ranks_above_a_larger_one(self, one_arc):
        big, small = "R0-(R1,CPE1)-(R2,CPE2)", "R0-(R1,CPE1)"
        r = suggest_circuits(F, one_arc, [big, small])
        t = r.table.set_index("notation")
        assert t.loc[big, "chi_square"] <= t.loc[small, "chi_square"] * 1.001  # fits at least as well
        assert r.top(1) == [small]
        assert t.loc[big, "delta"] > 0 and t.loc[small, "delta"] == 0
        assert t.loc[small, "weight"] > t.loc[big, "weight"]
        # BIC and AIC from the same chi-square and noise level
        for name in (big, small):
            k, chi2 = t.loc[name, "n_params"], t.loc[name, "chi_square"]
            assert t.loc[name, "bic"] - t.loc[name, "aic"] == pytest.approx(k * (math.log(2 * F.size) - 2))
            assert t.loc[name, "aic"] == pytest.approx(chi2 / r.noise**2 + 2 * k)

    def test_a_missing_arc_is_not_made_up_by_the_penalty(self):
        z = spectrum("R0-(R1,C1)-(R2,C2)", TWO_RC)
        r = suggest_circuits(F, z, ["R0-(R1,C1)", "R0-(R1,C1)-(R2,C2)"], criterion="aic")
        assert r.top(1) == ["R0-(R1,C1)-(R2,C2)"]
        assert list(r.table["aic"]) == sorted(r.table["aic"])

    def test_equivalent_circuits_are_not_both_at_the_top(self):
        z = spectrum("R0-(R1,C1)-(R2,C2)", TWO_RC)
        cands = ["R0-(R1,C1)-(R2,C2)", "R0-(C1,R1-(C2,R2))", "R0-K1-K2", "R0-(R1,C1)"]
        r = suggest_circuits(F, z, cands)
        distinct = r.top(3)
        assert len(distinct) == 2 and "R0-(R1,C1)" in distinct
        repeats = r.table[r.table["equivalent_to"] != ""]
        assert len(repeats) == 2
        assert set(repeats["equivalent_to"]) == {distinct[0]}
        assert (repeats["weight"] == 0).all()
        assert repeats.index.min() > r.table[r.table["notation"] == "R0-(R1,C1)"].index[0]

    def test_flags_carry_each_fits_verdict(self, one_arc):
        r = suggest_circuits(F, one_arc, ["R0-R9-(R1,CPE1)", "R0-(R1,CPE1)"], noise=0.007)
        assert r.noise == 0.007 and r.noise_source == "given"
        flags = r.table.set_index("notation")["flags"]
        assert "undetermined" in flags["R0-R9-(R1,CPE1)"] and "R9.r" in flags["R0-R9-(R1,CPE1)"]
        assert flags["R0-(R1,CPE1)"] == ""
        # a blocking electrode fitted with an arc: the arc's resistance runs off
        blocking = spectrum("R0-C1", {"R0.r": 10.0, "C1.c": 1e-4})
        r = suggest_circuits(F, blocking, ["R0-(R1,C1)", "R0-C1"])
        flags = r.table.set_index("notation")["flags"]
        fits = r.fits["R0-(R1,C1)"]
        assert flags["R0-(R1,C1)"] == "; ".join(fits.quality.codes) and "R1.r" in flags["R0-(R1,C1)"]
        assert flags["R0-C1"] == "" and r.top(1) == ["R0-C1"]

    def test_top_limits_rows_and_the_result_prints(self, one_arc):
        r = suggest_circuits(F, one_arc, ["R0-(R1,CPE1)", "R0-(R1,C1)", "R0-(R1-W1,CPE1)"], top=2)
        assert len(r.table) == 2 and list(r.table.columns[:3]) == ["rank", "notation", "n_params"]
        assert "R0-(R1,CPE1)" in str(r) and "BIC" in str(r)
        assert repr(r).startswith("SuggestResult(2 candidates, best 'R0-(R1,CPE1)'")


class TestLibrary:
    def test_user_candidates_and_extra_circuits(self, one_arc):
        r = suggest_circuits(F, one_arc, [" R0-(R1,C1) ", "R0-(R1,C1)"], extra=["R0-Zarc1"])
        assert sorted(r.table["notation"]) == ["R0-(R1,C1)", "R0-Zarc1"]
        assert r.shape is None  # given candidates: the spectrum is not read for a library
        lib = suggest_circuits(F, one_arc, extra=["R0-Zarc1-W2"], threads=1)
        assert "R0-Zarc1-W2" in set(lib.table["notation"]) and len(lib.table) > 10

    def test_narrowing_follows_the_spectrum(self):
        inductive = spectrum("L0-R0-(R1,CPE1)", {"L0.l": 1e-4, **ONE_ARC}, noise=0.002)
        shape = read_shape(F, inductive)
        assert shape.inductive and shape.tail == "closed"
        assert all(c.startswith(("L0-", "La0-")) for c in candidate_circuits(shape))
        # noise alone puts a point or two above the axis: no inductance
        assert not read_shape(F, spectrum("R0-(R1,CPE1)", ONE_ARC, seed=3)).inductive
        blocking = spectrum("R0-(R1,CPE1)-C2", {**ONE_ARC, "C2.c": 1e-3}, noise=0.002)
        shape = read_shape(F, blocking)
        assert shape.tail == "blocking" and not shape.inductive
        assert "R0-(R1,CPE1)-C2" in candidate_circuits(shape)
        diffusion = spectrum("R0-(R1,CPE1)-W2", {**ONE_ARC, "W2.aw": 300.0}, noise=0.002)
        assert read_shape(F, diffusion).tail == "diffusion"

    def test_arc_counts_follow_the_peaks(self):
        one = candidate_circuits(SpectrumShape(1, False, "closed", 0.0))
        three = candidate_circuits(SpectrumShape(3, False, "closed", 0.0))
        assert not any("R3" in c for c in one) and any("R3" in c for c in three)
        assert "R0-(R1,CPE1)" in three  # fewer arcs are always tried
        assert len(set(one)) == len(one)
        sizes = [len(zetrion.Circuit(c).param_names()) for c in one]
        assert sizes == sorted(sizes)
        for c in one + three:  # every kind the library writes parses
            zetrion.Circuit(c)
        assert any("G" in c for c in one) and not any("TLMQ" in c for c in one)
        assert any("TLMQ" in c for c in candidate_circuits(SpectrumShape(1, False, "blocking", -80.0)))

    def test_a_hinted_inductance_adds_circuits_with_one(self):
        plain = candidate_circuits(SpectrumShape(1, False, "closed", 0.0, inductance_share=0.01))
        hinted = candidate_circuits(SpectrumShape(1, False, "closed", 0.0, inductance_share=0.4))
        assert not any("L" in c for c in plain)
        assert {"L0-R0-(R1,CPE1)", "R0-(R1,CPE1)", "L0-R0-(R1,C1)-(R2,C2)"} <= set(hinted)
        assert set(plain) < set(hinted)

    def test_two_separate_arcs_count_as_two_peaks(self):
        z = spectrum("R0-(R1,C1)-(R2,C2)", TWO_RC, noise=0.002)
        assert read_shape(F, z).peaks == 2
        assert read_shape(F, z, use_drt=False).source == "-Im Z"


class TestBadInput:
    @pytest.mark.parametrize(
        "f, z",
        [
            (F, np.full(F.size, np.nan, dtype=complex)),
            (F[:-1], np.ones(F.size, dtype=complex)),
            (F[:2], np.ones(2, dtype=complex)),
        ],
    )
    def test_bad_spectra_raise_data_errors(self, f, z):
        with pytest.raises(DataError):
            suggest_circuits(f, z)

    @pytest.mark.parametrize(
        "kwargs, match",
        [
            ({"candidates": ["R0-(R1,"]}, "not a circuit notation"),
            ({"candidates": []}, "no candidate"),
            ({"criterion": "hqic"}, "criterion"),
            ({"noise": -1.0}, "noise"),
            ({"top": 0}, "top"),
        ],
    )
    def test_bad_options_raise_value_errors(self, one_arc, kwargs, match):
        with pytest.raises(ValueError, match=match):
            suggest_circuits(F, one_arc, **kwargs)

    def test_a_candidate_that_cannot_be_fitted_is_a_row_not_an_exception(self):
        f = np.logspace(3, 0, 4)
        z = np.asarray(zetrion.Circuit("R0-(R1,C1)").with_values([1.0, 10.0, 1e-3]).impedance(f))
        r = suggest_circuits(f, z, ["R0-(R1,C1)", "R0-(R1,CPE1)-(R2,CPE2)-(R3,CPE3)"])
        rows = r.table.set_index("notation")
        assert rows.loc["R0-(R1,CPE1)-(R2,CPE2)-(R3,CPE3)", "flags"].startswith("failed")
        assert r.top(1) == ["R0-(R1,C1)"]


class TestCommandLine:
    def test_ranking_csv_and_figure(self, one_arc, tmp_path, capsys):
        path = tmp_path / "one_arc.csv"
        pd.DataFrame({"f": F, "re": one_arc.real, "im": one_arc.imag}).to_csv(path, index=False)
        csv, png = tmp_path / "rank.csv", tmp_path / "top3.png"
        status = main(["suggest", str(path), "-q", "--candidates", "R0-(R1,CPE1)", "R0-(R1,C1)",
                       "R0-(R1,CPE1)-(R2,CPE2)", "--out", str(csv), "--plot", str(png)])
        assert status == 0
        out = capsys.readouterr().out
        assert "best: R0-(R1,CPE1)" in out and "R1.r" in out
        table = pd.read_csv(csv)
        assert table["notation"].iloc[0] == "R0-(R1,CPE1)" and len(table) == 3
        assert png.stat().st_size > 10_000

    def test_a_file_of_several_sweeps_is_ranked_on_its_first_and_says_so(self, capsys):
        two_cycles = Path(__file__).resolve().parents[1] / "data" / "instrument-files" / "more" / "ex1.mpt"
        assert main(["suggest", str(two_cycles), "-q", "--candidates", "R0-(R1,CPE1)", "--top", "1"]) == 0
        captured = capsys.readouterr()
        assert "2 sweeps" in captured.err and "best: R0-(R1,CPE1)" in captured.out

    def test_errors(self, tmp_path, capsys):
        bad = tmp_path / "junk.csv"
        bad.write_text("not, a spectrum\n1,2\n")
        assert main(["suggest", str(bad), "-q"]) == 1
        assert main(["suggest", str(tmp_path / "missing.csv"), "-q"]) == 1
        good = tmp_path / "ok.csv"
        pd.DataFrame({"f": F, "re": np.full(F.size, 5.0), "im": -1.0 / F}).to_csv(good, index=False)
        assert main(["suggest", str(good), "-q", "--candidates", "R0-(R1,"]) == 2
        assert main(["suggest", str(good), "-q", "--top", "0"]) == 2
        assert "zetrion suggest: error" in capsys.readouterr().err
