"""Fit-quality flags: a fit says which parameters the data cannot determine,
which sit at a bound or outside a plausible range, and when the circuit
misses the data; records and batch rows carry the same verdict."""

from __future__ import annotations

import math
import warnings

import numpy as np
import pytest

import zetrion
from zetrion_tools import fit, fit_many, load_record, make_record, save_record
from zetrion_tools.quality import assess, jacobian_undetermined, noise_ratio

F = np.geomspace(1e5, 1e-2, 50)
ONE_ARC = "R0-(R1,C1)"
TWO_ARCS = "R0-(R1,C1)-(R2,C2)"


def noisy(notation: str, values: list[float], seed: int, level: float = 0.005) -> np.ndarray:
    rng = np.random.default_rng(seed)
    z = zetrion.Circuit(notation).with_values(values).impedance(F)
    return z * (1 + level * (rng.standard_normal(F.size) + 1j * rng.standard_normal(F.size)))


def one_arc(seed: int) -> np.ndarray:
    rng = np.random.default_rng(100 + seed)
    return noisy(ONE_ARC, [10 ** rng.uniform(-1, 1), 10 ** rng.uniform(0, 3), 10 ** rng.uniform(-6, -3)], seed)


class TestWhatTheDataCannotDetermine:
    @pytest.mark.parametrize("seed", range(6))
    def test_two_arcs_on_one_arc_data_name_the_extra_arc(self, seed):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            r = fit(TWO_ARCS, F, one_arc(seed))
        assert r.success  # the solver converged: success keeps its meaning
        assert not r.trustworthy
        doubted = set(r.quality.doubtful())
        # at least one arc's resistance and capacitance are named, and the
        # series resistance, which the data fix, is still vouched for
        assert {"R1.r", "C1.c"} <= doubted or {"R2.r", "C2.c"} <= doubted, r.quality.summary()
        assert "R0.r" in r.vouched
        assert all(f.kind in ("undetermined", "uncertain", "at_bound", "implausible", "outside_band") for f in r.flags)
        named = {p for f in r.flags for p in f.params}
        assert doubted == named

    def test_right_model_vouches_for_every_parameter(self):
        z = noisy(ONE_ARC, [2.0, 50.0, 2e-5], seed=3)
        r = fit(ONE_ARC, F, z, start={"R0.r": 1, "R1.r": 10, "C1.c": 1e-5})
        assert r.trustworthy, r.quality.summary()
        assert r.vouched == ("R0.r", "R1.r", "C1.c")
        assert 0.5 < r.quality.noise_ratio < 2.0
        assert "trustworthy" in str(r)

    def test_series_resistors_are_one_undetermined_combination(self):
        z = noisy("R0-(R1,C1)", [2.0, 50.0, 2e-5], seed=4)
        r = fit("R0-R2-(R1,C1)", F, z, start={"R0.r": 1, "R2.r": 1, "R1.r": 40, "C1.c": 1e-5})
        flag = next(f for f in r.flags if f.kind == "undetermined")
        assert set(flag.params) == {"R0.r", "R2.r"}
        assert "R0.r" not in r.vouched and "R2.r" not in r.vouched
        assert {"R1.r", "C1.c"} <= set(r.vouched)

    def test_jacobian_reading_matches_the_engine(self):
        c = zetrion.Circuit("R0-R2-(R1,C1)")
        values = [1.0, 1.0, 50.0, 2e-5]
        z = c.with_values(values).impedance(F)
        (combo,) = jacobian_undetermined(c.jacobian(values, F, z), c.param_names())
        assert set(combo) == {"R0.r", "R2.r"}
        assert combo["R0.r"] == pytest.approx(-combo["R2.r"], rel=1e-6)
        assert jacobian_undetermined(np.full((4, 2), np.nan), ["a", "b"]) == ()


class TestImplausibleAndBounded:
    def test_value_pushed_to_a_user_bound(self):
        z = noisy("R0-(R1,CPE1)", [2.0, 50.0, 2e-5, 0.75], seed=5)
        r = fit("R0-(R1,CPE1)", F, z, bounds={"CPE1.alpha": (0.85, 1.0)})
        assert r.params["CPE1.alpha"] == pytest.approx(0.85, abs=1e-6)
        assert any(f.kind == "at_bound" and f.params == ("CPE1.alpha",) for f in r.flags)
        assert "CPE1.alpha" not in r.vouched

    def test_implausible_values_and_time_constants_outside_the_band(self):
        c = zetrion.Circuit("R0-Wo1")
        values = {"R0.r": 1e-9, "Wo1.z0": 5.0, "Wo1.tau": 3.4e5}
        z = c.with_values(list(values.values())).impedance(F)
        q = assess(c, F, z, z, values=values, stderr={n: 1e-3 * abs(v) for n, v in values.items()}, success=True)
        kinds = {(f.kind, f.params) for f in q.flags}
        assert ("implausible", ("R0.r",)) in kinds
        assert ("outside_band", ("Wo1.tau",)) in kinds
        assert q.vouched == ("Wo1.z0",)

    def test_exponent_near_zero_is_implausible_and_at_its_bound(self):
        c = zetrion.Circuit("R0-(R1,CPE1)")
        values = {"R0.r": 1.0, "R1.r": 10.0, "CPE1.q": 1e-4, "CPE1.alpha": 1e-5}
        z = c.with_values(list(values.values())).impedance(F)
        q = assess(c, F, z, z, values=values, stderr={n: 0.01 * v for n, v in values.items()}, success=True)
        assert {f.kind for f in q.flags if f.params == ("CPE1.alpha",)} == {"at_bound", "implausible"}

    def test_missing_and_huge_standard_errors(self):
        c = zetrion.Circuit(ONE_ARC)
        values = {"R0.r": 2.0, "R1.r": 50.0, "C1.c": 2e-5}
        z = c.with_values(list(values.values())).impedance(F)
        q = assess(c, F, z, z, values=values, stderr={"R0.r": math.nan, "R1.r": 80.0, "C1.c": 1e-7}, success=True)
        assert [(f.kind, f.params) for f in q.flags][:2] == [("undetermined", ("R0.r",)), ("uncertain", ("R1.r",))]
        # the arc whose resistance is not established takes its capacitance with it
        assert q.flags[2].kind == "uncertain" and q.flags[2].params == ("C1.c",)
        assert q.vouched == ()
        q = assess(c, F, z, z, values=values, stderr={"R0.r": 0.01, "R1.r": 0.1, "C1.c": 3e-5}, success=True)
        assert [(f.kind, f.params) for f in q.flags] == [("uncertain", ("C1.c",))]
        assert q.vouched == ("R0.r", "R1.r")


class TestMisfit:
    def test_one_arc_on_two_arc_data_is_a_misfit(self):
        z = noisy(TWO_ARCS, [2.0, 50.0, 2e-5, 30.0, 1e-2], seed=6)
        r = fit(ONE_ARC, F, z)
        assert r.success
        assert r.flags[0].kind == "misfit"
        assert r.vouched == ()
        assert r.quality.noise_ratio > 20

    def test_noise_ratio_of_noise_exact_data_and_a_failed_solver(self):
        z = one_arc(1)
        assert noise_ratio(F, z, z * 1.0) == 1.0
        rng = np.random.default_rng(0)
        noise = z * (1 + 0.01 * rng.standard_normal(F.size))
        assert 0.6 < noise_ratio(F, noise, z) < 1.6
        c = zetrion.Circuit(ONE_ARC)
        values = dict(zip(c.param_names(), [1.0, 1.0, 1e-4]))
        q = assess(c, F, z, z, values=values, stderr=dict.fromkeys(values, 0.01), success=False)
        assert q.flags[0].kind == "not_converged" and q.vouched == ()


class TestVerdictTravels:
    def test_record_keeps_the_verdict(self, tmp_path):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            r = fit(TWO_ARCS, F, one_arc(2))
        path = tmp_path / "fit.json"
        save_record(r, path)
        back = load_record(path)
        assert back.quality is not None
        assert back.quality.codes == r.quality.codes
        assert back.quality.vouched == r.vouched
        assert back.trustworthy is False

    def test_record_of_a_core_fit_is_judged(self):
        z = noisy(ONE_ARC, [2.0, 50.0, 2e-5], seed=7)
        c = zetrion.Circuit(ONE_ARC).with_values([1.0, 40.0, 1e-5])
        rec = make_record(c.fit(F, z), F, z, notation=ONE_ARC)
        assert rec.trustworthy and rec.quality is not None
        assert rec.quality.vouched == ("R0.r", "R1.r", "C1.c")

    def test_hostile_verdicts_are_refused(self, tmp_path):
        z = noisy(ONE_ARC, [2.0, 50.0, 2e-5], seed=8)
        rec = make_record(fit(ONE_ARC, F, z), notation=ONE_ARC)
        doc = rec.to_dict()
        for bad in ({"vouched": ["X9.r"]}, {"flags": [{"kind": 3}]}, {"flags": "no"}, {"noise_ratio": "1"}):
            doc["quality"] = {**rec.to_dict()["quality"], **bad}
            path = tmp_path / "bad.json"
            import json

            path.write_text(json.dumps(doc))
            with pytest.raises(ValueError, match="quality|flag"):
                load_record(path)

    def test_batch_rows_carry_the_verdict(self):
        spectra = [(F, one_arc(s)) for s in range(3)] + [(F, noisy(ONE_ARC, [2.0, 50.0, 2e-5], seed=9))]
        c = zetrion.Circuit(TWO_ARCS).with_values([1.0, 10.0, 1e-5, 100.0, 1e-3])
        table = fit_many(c, spectra, threads=1, progress=False)
        assert list(table.columns[-3:]) == ["trustworthy", "flags", "vouched"]
        assert not table["trustworthy"].any()
        for flags, vouched in zip(table["flags"], table["vouched"]):
            # an extra arc, or an arc out of the band that takes R0 with it
            assert "uncertain(R1.r)" in flags or "uncertain(R2.r)" in flags
            assert 0 < len(vouched.split(",")) < 5
        one = fit_many(ONE_ARC, spectra[-1:], threads=1, progress=False, guess_init=False)
        assert bool(one["trustworthy"].iloc[0]) and one["vouched"].iloc[0] == "R0.r,R1.r,C1.c"
