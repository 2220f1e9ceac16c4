"""Interchangeable blocks come back in ascending time constant, with their
values, errors and covariance moved together, in fits, batch rows and
records alike."""

from __future__ import annotations

import numpy as np
import pytest

import zetrion
from zetrion_tools import fit, fit_many, make_record
from zetrion_tools.arcs import arc_permutation, interchangeable_blocks, time_constant

F = np.geomspace(1e5, 1e-2, 50)
TWO_RQ = "R0-(R1,CPE1)-(R2,CPE2)"
# a fast arc (tau ~ 1e-4 s) and a slow one (tau ~ 0.3 s)
FAST = [20.0, 1e-5, 0.9]
SLOW = [50.0, 5e-3, 0.85]


def spectrum(seed: int = 0) -> np.ndarray:
    rng = np.random.default_rng(seed)
    z = zetrion.Circuit(TWO_RQ).with_values([3.0, *FAST, *SLOW]).impedance(F)
    return z * (1 + 0.003 * (rng.standard_normal(F.size) + 1j * rng.standard_normal(F.size)))


class TestStructure:
    def test_blocks_of_one_make_up_at_every_level(self):
        groups = interchangeable_blocks("R0-Zarc1-(R2,C2)-Zarc3-(R4-(R5,C5)-(R6,C6),C4)")
        spans = sorted(tuple((b[1], b[2]) for b in g) for g in groups)
        # Zarc1 and Zarc3; (R5,C5) and (R6,C6) inside the last branch; the
        # single (R2,C2) pairs with nothing at the top level
        assert spans == [((1, 3), (6, 3)), ((10, 2), (12, 2))]

    def test_different_make_ups_do_not_swap(self):
        assert interchangeable_blocks("R0-(R1,C1)-(R2,CPE2)") == ()
        assert interchangeable_blocks("randles") == ()

    @pytest.mark.parametrize(
        "notation, values, expected",
        [
            ("(R1,C1)", [10.0, 1e-3], 1e-2),
            ("(R1,CPE1)", [10.0, 1e-3, 0.8], (10.0 * 1e-3) ** (1 / 0.8)),
            ("Zarc1", [10.0, 2e-4, 0.7], 2e-4),
        ],
    )
    def test_time_constants(self, notation, values, expected):
        assert time_constant(notation, values) == pytest.approx(expected, rel=2e-3)

    def test_no_peak_no_reordering(self):
        assert np.isnan(time_constant("R1", [5.0]))
        assert arc_permutation(zetrion.Circuit("R0-R1"), [5.0, 1.0]) is None

    def test_a_shorted_arc_goes_last(self):
        c = zetrion.Circuit(TWO_RQ)
        shorted = [5.0, 1e80, 0.5]
        assert np.isnan(time_constant("(R1,CPE1)", shorted))
        assert arc_permutation(c, [3.0, *shorted, *SLOW]) == [0, 4, 5, 6, 1, 2, 3]
        assert arc_permutation(c, [3.0, *SLOW, *shorted]) is None
        # a lock keeps even a shorted arc in place
        assert arc_permutation(c, [3.0, *shorted, *SLOW], locked=[False, True] + [False] * 5) is None


class TestFitsComeOrdered:
    @pytest.mark.parametrize("first", [FAST, SLOW])
    def test_either_start_gives_the_fast_arc_first(self, first):
        other = SLOW if first is FAST else FAST
        start = dict(zip(zetrion.Circuit(TWO_RQ).param_names(), [3.0, *first, *other]))
        r = fit(TWO_RQ, F, spectrum(), start=start)
        assert r.params["R1.r"] == pytest.approx(FAST[0], rel=0.02)
        assert r.params["R2.r"] == pytest.approx(SLOW[0], rel=0.02)

    def test_values_errors_and_covariance_move_together(self):
        names = zetrion.Circuit(TWO_RQ).param_names()
        start = dict(zip(names, [3.0, *SLOW, *FAST]))
        raw = fit(TWO_RQ, F, spectrum(), start=start, order_arcs=False)
        done = fit(TWO_RQ, F, spectrum(), start=start)
        assert raw.params["R1.r"] == pytest.approx(SLOW[0], rel=0.02)  # the solver's own order
        moved = {"R1.r": "R2.r", "CPE1.q": "CPE2.q", "CPE1.alpha": "CPE2.alpha"}
        moved.update({v: k for k, v in moved.items()})
        for n in names:
            src = moved.get(n, n)
            assert done.params[n] == raw.params[src]
            assert done.stderr[n] == raw.stderr[src]
        idx = [raw.free.index(moved.get(n, n)) for n in done.free]
        np.testing.assert_array_equal(done.covariance, raw.covariance[np.ix_(idx, idx)])
        np.testing.assert_array_equal(done.correlation, raw.correlation[np.ix_(idx, idx)])
        np.testing.assert_allclose(done.circuit.impedance(F), raw.circuit.impedance(F), rtol=1e-12)
        assert done.chi_square == raw.chi_square

    def test_a_held_parameter_locks_its_block(self):
        names = zetrion.Circuit(TWO_RQ).param_names()
        start = dict(zip(names, [3.0, *SLOW, *FAST]))
        r = fit(TWO_RQ, F, spectrum(), start=start, fixed={"CPE1.alpha": SLOW[2]})
        assert r.params["R1.r"] == pytest.approx(SLOW[0], rel=0.02)


class TestRowsAndRecords:
    def test_batch_rows_share_one_order(self):
        names = zetrion.Circuit(TWO_RQ).param_names()
        spectra = [(F, spectrum(seed)) for seed in range(4)]
        starts = [[3.0, *SLOW, *FAST], [3.0, *FAST, *SLOW]]
        for values in starts:
            table = fit_many(zetrion.Circuit(TWO_RQ).with_values(values), spectra, threads=2, progress=False)
            assert table["success"].all()
            np.testing.assert_allclose(table["R1.r"], FAST[0], rtol=0.03)
            np.testing.assert_allclose(table["R2.r"], SLOW[0], rtol=0.03)
            assert all(set(names) - {"CPE1.alpha", "CPE2.alpha"} <= set(v.split(",")) for v in table["vouched"])

    def test_record_of_a_core_fit_is_ordered(self):
        c = zetrion.Circuit(TWO_RQ).with_values([3.0, *SLOW, *FAST])
        z = spectrum()
        result = c.fit(F, z)
        assert result.params["R1.r"] == pytest.approx(SLOW[0], rel=0.02)
        rec = make_record(result, F, z, notation=TWO_RQ)
        assert rec.params["R1.r"] == pytest.approx(FAST[0], rel=0.02)
        assert rec.stderr["R1.r"] == result.stderr["R2.r"]
        np.testing.assert_allclose(rec.circuit.impedance(F), result.circuit.impedance(F), rtol=1e-12)
