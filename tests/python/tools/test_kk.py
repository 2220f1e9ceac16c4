"""The Kramers-Kronig test at its defaults: real spectra pass, spoilt ones fail, outliers scale with the noise."""

from __future__ import annotations

import warnings
from pathlib import Path

import numpy as np
import pytest

from zetrion_tools import cli
from zetrion_tools.io import read
from zetrion_tools.validation import linkk

DATA = Path(__file__).resolve().parents[1] / "data"
KK = DATA / "kk"
INSTRUMENT = DATA / "instrument-files"


def load(path: Path) -> tuple[np.ndarray, np.ndarray]:
    if path.name == "LIB_data.txt":  # headerless columns f, Re, Im
        a = np.loadtxt(path)
        return a[:, 0], a[:, 1] + 1j * a[:, 2]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        s = read(path)
    return s.frequencies, s.impedance


DUMMY = [INSTRUMENT / "Circuit2_EIS_1.z", INSTRUMENT / "Circuit3_EIS_1.z", KK / "Circuit1_EIS_1.z"]
CELLS = [
    KK / "LIB_data.txt",
    KK / "autoeis_battery_cycle0.csv",
    KK / "autoeis_battery_cycle60.csv",
    KK / "autoeis_battery_cycle129.csv",
    KK / "battery_cell.csv",
    INSTRUMENT / "more" / "PEIS_LPSCl_IonBlocking_-25C.txt",
]


@pytest.mark.parametrize("path", DUMMY, ids=lambda p: p.name)
def test_dummy_cells_fit_within_one_percent(path: Path) -> None:
    f, z = load(path)
    r = linkk(f, z)
    assert r.verdict == "valid", r.advice
    assert r.max_residual < 0.01
    assert not r.outliers.any()
    # the classic test stops early on these, at residuals of tens of percent
    assert linkk(f, z, mode="impedance.py").max_residual > 0.1


@pytest.mark.parametrize("path", CELLS, ids=lambda p: p.name)
def test_battery_and_blocking_cells_pass_with_few_points_flagged(path: Path) -> None:
    f, z = load(path)
    r = linkk(f, z)
    assert r.verdict == "valid", r.advice
    assert r.max_residual < 0.015
    assert r.outliers.sum() <= 0.05 * f.size
    assert "valid" in r.advice and "%" in r.advice


def _drift(f: np.ndarray, z: np.ndarray, amount: float) -> np.ndarray:
    """The cell changing during a sweep from high to low frequency: |Z| grows
    with the time spent, most of which goes to the slowest points."""
    order = np.argsort(f)[::-1]
    t = np.cumsum(1.0 / f[order])
    out = z.copy()
    out[order] = z[order] * (1.0 + amount * t / t[-1])
    return out


def _flip(z: np.ndarray) -> np.ndarray:
    out = z.copy()
    k = int(np.argmin(z.imag))  # the most capacitive point
    out[k] = np.conj(out[k])
    return out


def _truncated_arc(f: np.ndarray, z: np.ndarray) -> np.ndarray:
    """An arc that exists only below its own characteristic frequency."""
    mid = float(np.sqrt(f.max() * f.min()))
    size = 0.3 * float(np.abs(z).max() - np.abs(z).min())
    arc = size / (1.0 + 1j * f / mid)
    out = z.copy()
    low = f < mid
    out[low] += arc[low]
    return out


@pytest.mark.parametrize("spoil", ["drift", "flip", "arc"])
@pytest.mark.parametrize("path", [DUMMY[1], CELLS[1], CELLS[4]], ids=lambda p: p.name)
def test_spoilt_spectra_fail(path: Path, spoil: str) -> None:
    f, z = load(path)
    bad = {"drift": lambda: _drift(f, z, 0.2), "flip": lambda: _flip(z), "arc": lambda: _truncated_arc(f, z)}[spoil]()
    r = linkk(f, bad)
    assert r.verdict == "invalid", r.advice
    assert r.max_residual > 0.015
    assert r.advice.startswith("invalid: largest residual")


def test_both_representations_pass_a_valid_spectrum_and_rebuild_their_circuit() -> None:
    f, z = load(DUMMY[1])
    w = 2 * np.pi * f
    for rep in ("impedance", "admittance"):
        r = linkk(f, z, representation=rep)  # type: ignore[arg-type]
        assert r.representation == rep
        assert r.max_residual < 0.015, rep
    y = linkk(f, z, representation="admittance", add_cap=True, add_inductance=False)
    # the dual circuit: 1/R_0 in parallel with series R_k-C_k branches and C
    branches = 1.0 / (y.resistances + 1.0 / (1j * np.outer(w, y.time_constants / y.resistances)))
    rebuilt = 1.0 / (1.0 / y.series_resistance + branches.sum(axis=1) + 1j * w * y.capacitance)
    np.testing.assert_allclose(rebuilt, y.z_fit, rtol=1e-9)


def test_series_capacitance_is_added_when_the_data_need_it() -> None:
    # a blocking electrode: no intercept at low frequency
    f = np.logspace(-2, 5, 60)
    w = 2 * np.pi * f
    z = 5 + 50 / (1 + 1j * w * 1e-4) + 1 / (1j * w * 2e-3)
    r = linkk(f, z, representation="impedance")
    assert r.capacitance == pytest.approx(2e-3, rel=1e-3)
    assert r.max_residual < 1e-3
    # without it the chain cannot follow the capacitive tail
    assert linkk(f, z, mode="impedance.py").max_residual > 0.05
    # a resistive cell needs none
    plain = linkk(f, 5 + 50 / (1 + 1j * w * 1e-4), representation="impedance", add_inductance=False)
    assert plain.capacitance == np.inf or plain.capacitance > 1e6


class TestOutlierRule:
    f = np.logspace(-1, 5, 42)
    w = 2 * np.pi * f
    z = 10 + 100 / (1 + (1j * w * 1e-3) ** 0.9) + 50 / (1 + 1j * w * 0.3)

    def noisy(self, level: float, seed: int = 3) -> np.ndarray:
        rng = np.random.default_rng(seed)
        return self.z * (1 + level * (rng.standard_normal(self.f.size) + 1j * rng.standard_normal(self.f.size)))

    def test_noisy_spectrum_is_not_flagged_point_by_point(self) -> None:
        # 2 % noise: the threshold follows the noise the test measures
        r = linkk(self.f, self.noisy(0.02))
        assert r.outliers.sum() <= 2
        assert min(r.outlier_threshold) > 0.05
        assert r.verdict == "invalid" and r.noise == pytest.approx(0.02, rel=0.4)

    def test_glitch_is_flagged_alone(self) -> None:
        z = self.noisy(0.002)
        z[20] *= 1.05
        r = linkk(self.f, z)
        assert np.flatnonzero(r.outliers).tolist() == [20]
        assert r.verdict == "outliers" and f"{self.f[20]:.3g} Hz" in r.advice

    def test_small_residuals_are_never_flagged(self) -> None:
        r = linkk(self.f, self.noisy(1e-4))
        assert not r.outliers.any() and r.outlier_threshold == (0.0075, 0.0075)
        tight = linkk(self.f, self.noisy(1e-4), outlier_floor=0.0, outlier_sigma=1.0)
        assert tight.outliers.any()


def test_bad_choices_are_refused() -> None:
    f = np.logspace(0, 4, 20)
    z = 5 + 50 / (1 + 1j * 2 * np.pi * f * 1e-3)
    for kwargs, word in (
        ({"add_cap": "yes"}, "add_cap"),
        ({"representation": "Y"}, "representation"),
        ({"rule": "lcurve"}, "rule"),
        ({"mode": "pyimpspec"}, "mode"),
        ({"max_residual": 0.0}, "max_residual"),
    ):
        with pytest.raises(ValueError, match=word):
            linkk(f, z, **kwargs)  # type: ignore[arg-type]


class TestCheckCommand:
    def test_folder_with_licence_files_skips_them(self, tmp_path: Path, capsys: pytest.CaptureFixture[str]) -> None:
        for name in ("Circuit1_EIS_1.z", "LICENSE-impedance.py.txt", "SOURCES.md"):
            (tmp_path / name).write_bytes((KK / name).read_bytes())
        out = tmp_path / "checks.csv"
        assert cli.main(["check", str(tmp_path), "-q", "--strict", "--out", str(out)]) == 0
        import pandas as pd

        table = pd.read_csv(out)
        verdicts = dict(zip(table["file"].map(lambda p: Path(p).name), table["verdict"]))
        assert verdicts == {"Circuit1_EIS_1.z": "ok", "LICENSE-impedance.py.txt": "skipped"}
        capsys.readouterr()

    def test_options_reach_the_test(self, tmp_path: Path, capsys: pytest.CaptureFixture[str]) -> None:
        path = INSTRUMENT / "Circuit3_EIS_1.z"
        f, z = load(path)
        out = tmp_path / "t.csv"
        assert cli.main(["check", str(path), "-q", "--mode", "impedance.py", "--out", str(out)]) == 0
        import pandas as pd

        row = pd.read_csv(out).iloc[0]
        classic = linkk(f, z, mode="impedance.py")
        assert row["M"] == classic.M and row["verdict"] == "kk-fail"
        assert cli.main(["check", str(path), "-q", "--representation", "admittance", "--out", str(out)]) == 0
        assert pd.read_csv(out).iloc[0]["representation"] == "admittance"
        assert cli.main(["check", str(path), "-q", "--max-residual", "-1"]) == 2
        assert "max-residual" in capsys.readouterr().err


@pytest.mark.parametrize("n", [5, 8, 12])
def test_sparse_spectra_are_judged_on_what_they_hold(n: int) -> None:
    # two points a decade or fewer: the chain may need more elements than
    # points, and must still pass clean data and fail a flipped point
    f = np.logspace(0, 4, n)
    rng = np.random.default_rng(1)
    z = (5 + 50 / (1 + 1j * 2 * np.pi * f * 1e-3)) * (1 + 0.003 * (rng.standard_normal(n) + 1j * rng.standard_normal(n)))
    assert linkk(f, z).verdict == "valid"
    assert linkk(f, _flip(z)).verdict == "invalid"


@pytest.mark.parametrize("fit_type", ["real", "imag"])
def test_one_part_fits_pass_valid_spectra_and_fail_spoilt_ones(fit_type: str) -> None:
    for path in (DUMMY[0], CELLS[0]):
        f, z = load(path)
        r = linkk(f, z, fit_type=fit_type)  # type: ignore[arg-type]
        assert r.fit_type == fit_type and r.verdict == "valid", (path.name, r.advice)
        assert linkk(f, _truncated_arc(f, z), fit_type=fit_type).verdict == "invalid"  # type: ignore[arg-type]
