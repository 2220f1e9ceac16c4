"""Weightings beside modulus and unit (proportional, Boukamp), and held and
bounded parameters in batches and on the command line."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest

import zetrion
from zetrion_tools import FitOptions, cli, fit, fit_many
from zetrion_tools.engine import circuit_weightings, weightings
from zetrion_tools.fitting import FitSetupError

F = np.geomspace(1e5, 1e-2, 40)
RC = "R0-(R1,C1)"
TRUE = [2.0, 50.0, 2e-5]
START = {"R0.r": 1.0, "R1.r": 30.0, "C1.c": 1e-5}


def noisy(seed: int, level: float = 0.01) -> np.ndarray:
    rng = np.random.default_rng(seed)
    z = zetrion.Circuit(RC).with_values(TRUE).impedance(F)
    return z * (1 + level * (rng.standard_normal(F.size) + 1j * rng.standard_normal(F.size)))


class TestWeightings:
    def test_names_listed_once_by_the_core(self):
        assert weightings() == ("modulus", "unit", "proportional", "boukamp")
        assert circuit_weightings() == ("modulus", "unit")
        # Circuit.fit itself takes only its own, with its own message
        with pytest.raises(ValueError, match='expected "modulus" or "unit"$'):
            zetrion.Circuit(RC).fit(F, noisy(0), weight="proportional")
        with pytest.raises(ValueError, match="proportional"):
            fit(RC, F, noisy(0), weight="nonsense")
        from zetrion_tools import _engine

        with pytest.raises(ValueError, match='expected "modulus", "unit", "proportional" or "boukamp"$'):
            _engine.fit(zetrion.Circuit(RC), F, noisy(0), weight="nonsense")

    def test_proportional_divides_each_part_by_itself(self):
        z = noisy(1)
        r = fit(RC, F, z, weight="proportional", start=START)
        assert r.weight == "proportional" and r.success
        m = np.abs(z)
        sigma_re = np.maximum(np.abs(z.real), 1e-3 * m)
        sigma_im = np.maximum(np.abs(z.imag), 1e-3 * m)
        expected = np.empty(2 * F.size)
        expected[0::2] = (r.z_fit.real - z.real) / sigma_re
        expected[1::2] = (r.z_fit.imag - z.imag) / sigma_im
        np.testing.assert_allclose(r.residuals, expected, rtol=1e-9, atol=1e-15)
        assert r.chi_square == pytest.approx(float(np.sum(expected**2)), rel=1e-9)
        modulus = fit(RC, F, z, start=START)
        assert r.params["R1.r"] != modulus.params["R1.r"]  # a different objective

    def test_boukamp_is_the_modulus_objective(self):
        z = noisy(2)
        a = fit(RC, F, z, weight="boukamp", start=START)
        b = fit(RC, F, z, weight="modulus", start=START)
        assert a.weight == "boukamp"
        for n in a.params:
            assert a.params[n] == pytest.approx(b.params[n], rel=1e-9)
        assert a.chi_square == pytest.approx(b.chi_square, rel=1e-9)

    def test_floor_keeps_a_vanishing_part_from_taking_over(self):
        # a pure resistance plus a far arc: Z'' is ~0 at high frequency
        z = noisy(3)
        z[0] = complex(z[0].real, 0.0)
        r = fit(RC, F, z, weight="proportional", start=START)
        assert np.all(np.isfinite(r.residuals)) and r.success

    def test_batch_and_options_take_them(self):
        spectra = [(F, noisy(s)) for s in range(3)]
        c = zetrion.Circuit(RC).with_values(list(START.values()))
        table = fit_many(c, spectra, threads=1, progress=False, weight="proportional")
        singles = [fit(c, f, z, weight="proportional") for f, z in spectra]
        np.testing.assert_allclose(table["R1.r"], [s.params["R1.r"] for s in singles], rtol=1e-9)
        assert FitOptions(weight="boukamp").weight == "boukamp"


class TestHeldAndBoundedInBatches:
    def test_fixed_and_bounds_reach_every_fit(self):
        spectra = [(F, noisy(s)) for s in range(4)]
        c = zetrion.Circuit(RC).with_values(list(START.values()))
        table = fit_many(c, spectra, threads=2, progress=False, fixed={"R0.r": 2.5}, bounds={"R1.r": (10.0, 45.0)})
        assert table["success"].all()
        assert (table["R0.r"] == 2.5).all() and (table["R0.r_stderr"] == 0.0).all()
        assert (table["R1.r"] <= 45.0).all()
        assert all("R0.r" not in v.split(",") for v in table["vouched"])
        single = fit(c, *spectra[1], fixed={"R0.r": 2.5}, bounds={"R1.r": (10.0, 45.0)})
        assert table["R1.r"].iloc[1] == pytest.approx(single.params["R1.r"], rel=1e-9)

    def test_bad_names_fail_once_before_the_batch(self):
        with pytest.raises(FitSetupError, match="unknown parameter"):
            fit_many(RC, [(F, noisy(0))], progress=False, fixed={"R9.r": 1.0})
        with pytest.raises(FitSetupError, match="pair"):
            fit_many(RC, [(F, noisy(0))], progress=False, bounds={"R1.r": 3})


class TestCommandLine:
    @pytest.fixture()
    def csv_file(self, tmp_path):
        z = noisy(5)
        path = tmp_path / "cell.csv"
        pd.DataFrame({"frequency": F, "real": z.real, "imag": z.imag}).to_csv(path, index=False)
        return path

    def test_fix_bound_and_weight(self, csv_file, tmp_path, capsys):
        out = tmp_path / "rows.csv"
        status = cli.main([
            "fit", str(csv_file), "--circuit", RC, "--fix", "R0.r=2.5", "--bound", "R1.r=10:45",
            "--bound", "C1.c=:1e-3", "--weight", "proportional", "--out", str(out), "-q",
        ])
        assert status == 0, capsys.readouterr().err
        row = pd.read_csv(out).iloc[0]
        assert row["R0.r"] == 2.5 and row["R1.r"] <= 45.0
        assert {"trustworthy", "flags", "vouched"} <= set(row.index)
        assert "R0.r" not in str(row["vouched"]).split(",")

    def test_summary_counts_fits_not_to_believe(self, csv_file, capsys):
        # two arcs on one-arc data: fitted, but not trustworthy
        assert cli.main(["fit", str(csv_file), "--circuit", "two_rc", "--out", "-"]) == 0
        assert "1 fitted but not trustworthy" in capsys.readouterr().err

    @pytest.mark.parametrize(
        "args, message",
        [
            (["--fix", "R0.r"], "NAME=VALUE"),
            (["--fix", "R0.r=abc"], "not a number"),
            (["--bound", "R1.r=5:1"], "empty"),
            (["--fix", "R9.r=1"], "no such parameter"),
            (["--fix", "R0.r=1", "--fix", "R0.r=2"], "twice"),
            (["--bound", "R1.r=1:2", "--fix", "R1.r=3"], "outside"),
            (["--weight", "square"], "invalid choice"),
        ],
    )
    def test_usage_errors(self, csv_file, capsys, args, message):
        assert cli.main(["fit", str(csv_file), "--circuit", RC, "-q", *args]) == 2
        assert message in capsys.readouterr().err


def test_dask_partitions_hold_and_bound_too():
    dd = pytest.importorskip("dask.dataframe")
    from zetrion_tools.batch import spectra_to_frame
    from zetrion_tools.distributed import fit_partitions

    frame = dd.from_pandas(spectra_to_frame([(F, noisy(s)) for s in range(3)]), npartitions=1)
    lazy = fit_partitions(RC, frame, grouped=True, fixed={"R0.r": 2.5}, bounds={"R1.r": (10.0, 45.0)}, guess_init=False)
    table = lazy.compute(scheduler="synchronous")
    assert (table["R0.r"] == 2.5).all() and (table["R1.r"] <= 45.0).all() and table["success"].all()
    assert list(table.columns[-3:]) == ["trustworthy", "flags", "vouched"]
