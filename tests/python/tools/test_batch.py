"""fit_many: the rows of a batch are the fits of its spectra, whatever the
input form, thread count or chunking, and a bad spectrum costs only its row."""

from __future__ import annotations

from dataclasses import dataclass
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

import zetrion
from zetrion_tools.batch import fit_many, frame_to_spectra, result_columns, spectra_to_frame

F = np.geomspace(1e5, 1e-2, 40)
NAMES = zetrion.Circuit("randles").param_names()


def randles_spectra(n: int, seed: int = 7) -> list[tuple[np.ndarray, np.ndarray]]:
    rng = np.random.default_rng(seed)
    c = zetrion.Circuit("randles")
    out = []
    for _ in range(n):
        v = [10 ** rng.uniform(-1, 1), 10 ** rng.uniform(0, 2), 10 ** rng.uniform(0, 1.5), 10 ** rng.uniform(-6, -4), rng.uniform(0.7, 0.95)]
        z = c.with_values(v).impedance(F)
        out.append((F, z * (1 + 0.003 * rng.standard_normal(F.size))))
    return out


@pytest.fixture(scope="module")
def spectra() -> list[tuple[np.ndarray, np.ndarray]]:
    return randles_spectra(24)


@pytest.fixture(scope="module")
def direct(spectra):
    """Each spectrum fitted on its own with Circuit.fit: the reference."""
    c = zetrion.Circuit("randles")
    return [c.fit(f, z) for f, z in spectra]


def assert_rows_match(table: pd.DataFrame, reference) -> None:
    assert len(table) == len(reference)
    for k, r in enumerate(reference):
        got = table.iloc[k]
        for n in NAMES:
            assert got[n] == pytest.approx(r.params[n], rel=1e-12), (k, n)
            assert got[f"{n}_stderr"] == pytest.approx(r.stderr[n], rel=1e-9, nan_ok=True), (k, n)
        assert got["chi_square"] == pytest.approx(r.chi_square, rel=1e-12)
        assert bool(got["success"]) == r.success
        assert got["iterations"] == r.iterations


class TestSameFitsAsSingleCalls:
    @pytest.mark.parametrize("threads, chunksize", [(1, None), (2, 1), (3, 5)])
    def test_rows_in_input_order(self, spectra, direct, threads, chunksize):
        # chunks of one on several threads finish out of order; rows must not
        table = fit_many("randles", spectra, threads=threads, chunksize=chunksize, progress=False)
        assert list(table.columns) == result_columns(NAMES)
        assert list(table["id"]) == list(range(len(spectra)))
        assert_rows_match(table, direct)
        assert (table["message"] == "").all()
        assert (table["n_points"] == F.size).all()
        assert (table["time"] > 0).all()

    def test_generator_longer_than_the_queue(self, spectra, direct):
        # a generator is read a few chunks ahead; all of it must still arrive
        table = fit_many("randles", (s for s in spectra), threads=2, chunksize=1, progress=False)
        assert_rows_match(table, direct)

    def test_fit_options_reach_the_core(self, spectra):
        c = zetrion.Circuit("randles")
        opts = dict(num_particles=12, generations=15, seed=5, weight="unit")
        ref = [c.fit(f, z, method="particle_swarm", **opts) for f, z in spectra[:4]]
        table = fit_many("randles", spectra[:4], method="particle_swarm", threads=2, progress=False, **opts)
        assert_rows_match(table, ref)

    def test_circuit_with_start_values_is_used_as_given(self, spectra):
        start = zetrion.Circuit("randles").with_values([1.0, 10.0, 3.0, 1e-5, 0.85])
        ref = [start.fit(f, z) for f, z in spectra[:3]]
        table = fit_many(start, spectra[:3], threads=2, progress=False)
        assert_rows_match(table, ref)


@dataclass(frozen=True)
class FakeSpectrum:
    frequencies: np.ndarray
    impedance: np.ndarray
    path: Path | None


class TestInputForms:
    def test_every_form_gives_the_same_parameters(self, spectra, direct):
        few = spectra[:4]
        ref = direct[:4]
        forms = {
            "pairs": few,
            "triples": [(f"s{k}", f, z) for k, (f, z) in enumerate(few)],
            "dicts": [{"id": f"s{k}", "frequencies": f, "impedance": z} for k, (f, z) in enumerate(few)],
            "dicts re/im": [{"id": f"s{k}", "f": f, "real": z.real, "imag": z.imag} for k, (f, z) in enumerate(few)],
            "spectra": [FakeSpectrum(f, z, Path(f"s{k}")) for k, (f, z) in enumerate(few)],
            "frame": spectra_to_frame([(f"s{k}", f, z) for k, (f, z) in enumerate(few)]),
        }
        for name, batch in forms.items():
            table = fit_many("randles", batch, threads=2, progress=False)
            assert_rows_match(table, ref)
            expected_ids = list(range(4)) if name == "pairs" else [f"s{k}" for k in range(4)]
            assert list(table["id"]) == expected_ids, name

    def test_long_frame_with_interleaved_rows(self, spectra, direct):
        frame = spectra_to_frame([(k, f, z) for k, (f, z) in enumerate(spectra[:3])])
        # rows of the three spectra interleaved: ids in first-seen order, points in frame order
        shuffled = frame.sort_values("frequency", kind="stable").reset_index(drop=True)
        parts = frame_to_spectra(shuffled)
        assert [p[0] for p in parts] == [0, 1, 2]
        for sid, f, z in parts:
            order = np.argsort(F, kind="stable")
            np.testing.assert_array_equal(f, F[order])
            np.testing.assert_array_equal(z, spectra[sid][1][order])

    def test_frame_column_names_and_missing_column(self):
        frame = pd.DataFrame({"cell": [1, 1], "frequency_hertz": [1.0, 2.0], "z_real": [1.0, 1.0], "z_imag": [0.0, -1.0]})
        with pytest.raises(KeyError, match="spectrum id"):
            frame_to_spectra(frame)
        [(sid, f, z)] = frame_to_spectra(frame, id_column="cell")
        assert sid == 1 and list(f) == [1.0, 2.0] and list(z) == [1.0, 1 - 1j]

    def test_explicit_ids(self, spectra):
        table = fit_many("randles", spectra[:2], ids=["a", "b"], threads=1, progress=False)
        assert list(table["id"]) == ["a", "b"]
        with pytest.raises(ValueError, match="fewer ids"):
            fit_many("randles", spectra[:2], ids=["a"], threads=1, progress=False)


class TestFailuresAreRows:
    def test_bad_spectra_do_not_stop_the_batch(self, spectra, direct):
        bad_nan = (F, np.full(F.size, np.nan + 0j))
        bad_short = (F[:3], spectra[0][1][:3])
        batch = [
            spectra[0],
            bad_nan,
            "not a spectrum",
            spectra[1],
            bad_short,
            (F, spectra[2][1][:-1]),
            (None, None),
            {"f": ["x"] * F.size, "z": spectra[0][1]},
            spectra[2],
        ]
        table = fit_many("randles", batch, threads=2, chunksize=2, progress=False)
        assert list(table["success"]) == [True, False, False, True, False, False, False, False, True]
        assert_rows_match(table.iloc[[0, 3, 8]].reset_index(drop=True), [direct[0], direct[1], direct[2]])
        failed = table[~table["success"]]
        assert failed["message"].str.len().min() > 0
        assert failed[NAMES].isna().all().all()
        assert "str" in table.loc[2, "message"]

    def test_checks_catch_what_the_core_would_fit_quietly(self, spectra):
        # a zero frequency is a data error before the fit, not a silent fit
        f = F.copy()
        f[-1] = 0.0
        table = fit_many("randles", [(f, spectra[0][1])], threads=1, progress=False)
        assert not table.loc[0, "success"]
        assert "frequenc" in table.loc[0, "message"].lower()

    def test_data_warning_is_noted_against_its_spectrum(self, spectra):
        checks = pytest.importorskip("zetrion_tools.checks")
        f, z = spectra[0]
        with pytest.warns(checks.DataWarning):  # what a single check says
            checks.check_spectrum(f, np.conj(z))
        table = fit_many("randles", [spectra[1], (f, np.conj(z)), spectra[2]], threads=2, chunksize=1, progress=False)
        assert table.loc[0, "message"] == "" and table.loc[2, "message"] == ""
        assert table.loc[1, "message"] != ""


def test_circuit_without_a_model_warns_once_and_fits_from_defaults(spectra):
    import warnings

    notation = "R0-(R1,CPE1)-W1"
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        table = fit_many(notation, spectra[:6], threads=2, chunksize=1, progress=False)
    assert [str(w.message).startswith("There is no learned model") for w in caught] == [True]
    c = zetrion.Circuit(notation)
    ref = [c.fit(f, z, guess_init=False) for f, z in spectra[:6]]
    for k, r in enumerate(ref):
        assert table.loc[k, "chi_square"] == pytest.approx(r.chi_square, rel=1e-12)


class TestUsageErrorsRaise:
    def test_options_that_would_fail_every_fit(self, spectra):
        with pytest.raises(ValueError, match="unknown fit method"):
            fit_many("randles", spectra[:1], method="LM", progress=False)
        with pytest.raises(TypeError, match="max_iteration"):
            fit_many("randles", spectra[:1], max_iteration=3, progress=False)
        with pytest.raises(ValueError, match="weight"):
            fit_many("randles", spectra[:1], weight="abs", progress=False)
        with pytest.raises(ValueError, match="threads"):
            fit_many("randles", spectra[:1], threads=0, progress=False)
        with pytest.raises(ValueError, match="unknown element"):
            fit_many("R0-X1", spectra[:1], progress=False)
        with pytest.raises(TypeError):
            fit_many("randles", 42, progress=False)

    def test_empty_batch_has_the_columns_and_dtypes(self):
        table = fit_many("randles", [], progress=False)
        assert len(table) == 0
        assert list(table.columns) == result_columns(NAMES)
        assert table["success"].dtype == bool and table["R0.r"].dtype == np.float64



class TestProgress:
    class Terminal(__import__("io").StringIO):
        def isatty(self) -> bool:
            return True

    def test_bar_on_a_terminal_and_none_when_asked(self, spectra, monkeypatch):
        import sys

        term = self.Terminal()
        monkeypatch.setattr(sys, "stderr", term)
        fit_many("randles", spectra[:10], threads=2, chunksize=3, progress=True)
        assert "10/10" in term.getvalue() and "fitting randles" in term.getvalue()
        quiet = self.Terminal()
        monkeypatch.setattr(sys, "stderr", quiet)
        fit_many("randles", spectra[:10], threads=2, progress=False)
        assert quiet.getvalue() == ""
