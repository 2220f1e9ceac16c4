"""The zetrion command line, run in-process through main(argv) and once as a
separate program: one row per file, failures as rows, exit codes scripts can
rely on."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import types
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

import zetrion
from zetrion_tools import cli

pytest.importorskip("zetrion_tools.io")

DATA_FILES = [
    "Circuit2_EIS_1.z",
    "exampleDataAutolab.txt",
    "exampleDataBioLogic.mpt",
    "exampleDataBioLogic_MissingFreq.mpt",
    "exampleDataCHInstruments.txt",
    "exampleDataGamry.DTA",
    "exampleDataGamryABORT.DTA",
    "exampleDataParstat.txt",
    "exampleDataPowersuite.txt",
    "exampleDataVersaStudio.par",
    "exampleDataZPlot.z",
]
BROKEN = "exampleDataBioLogic_MissingFreq.mpt"


@pytest.fixture(scope="module")
def instrument_dir() -> Path:
    """The real instrument exports: the repository's copy, else the shared folder."""
    here = Path(__file__).resolve()
    repo = here.parents[3]
    for candidate in (
        here.parents[1] / "data" / "instrument-files",
        repo.parent / "shared" / "data" / "instrument-files",
        repo.parents[1] / "shared" / "data" / "instrument-files",
        Path("/work/shared/data/instrument-files"),
    ):
        if (candidate / "exampleDataGamry.DTA").is_file():
            return candidate
    pytest.skip("instrument files not found")


@pytest.fixture
def files(instrument_dir) -> list[str]:
    return [str(instrument_dir / n) for n in DATA_FILES if (instrument_dir / n).is_file()]


def write_csv_spectrum(path: Path, values, noise=0.0, seed=0, notation="randles") -> None:
    f = np.geomspace(1e5, 1e-1, 35)
    z = zetrion.Circuit(notation).with_values(values).impedance(f)
    z = z * (1 + noise * np.random.default_rng(seed).standard_normal(f.size))
    pd.DataFrame({"freq": f, "Re(Z)": z.real, "Im(Z)": z.imag}).to_csv(path, index=False)


class TestFit:
    def test_one_row_per_instrument_file(self, files, tmp_path, capsys):
        out = tmp_path / "results.csv"
        assert cli.main(["fit", *files, "--circuit", "randles", "--out", str(out), "-q"]) == 0
        table = pd.read_csv(out, keep_default_na=False)
        assert list(table["file"]) == files
        by_name = {Path(p).name: row for p, row in zip(table["file"], table.to_dict("records"))}
        broken = by_name.pop(BROKEN)
        assert broken["success"] is False or broken["success"] == "False"
        assert "frequency" in broken["message"].lower()
        for name, row in by_name.items():
            assert str(row["success"]) == "True", (name, row["message"])
            assert float(row["chi_square"]) >= 0
            assert row["format"] != ""
        # the aborted sweep is fitted on what was measured, and says so
        assert "abort" in by_name["exampleDataGamryABORT.DTA"]["message"].lower()

    def test_strict_turns_a_failed_file_into_exit_status_1(self, files, tmp_path):
        out = str(tmp_path / "r.csv")
        broken = [f for f in files if f.endswith(BROKEN)]
        good = [f for f in files if f.endswith("exampleDataGamry.DTA")]
        assert cli.main(["fit", *good, *broken, "-c", "randles", "-o", out, "-q", "--strict"]) == 1
        assert cli.main(["fit", *good, "-c", "randles", "-o", out, "-q", "--strict"]) == 0
        assert cli.main(["fit", str(tmp_path / "missing.DTA"), "-c", "randles", "-o", out, "-q"]) == 0
        assert "no such file" in pd.read_csv(out)["message"][0]

    def test_directory_glob_stdout_and_plots(self, tmp_path, capsys):
        folder = tmp_path / "runs"
        folder.mkdir()
        truth = [10.0, 100.0, 30.0, 1e-5, 0.85]
        write_csv_spectrum(folder / "a.csv", truth)
        write_csv_spectrum(folder / "b.csv", [5.0, 50.0, 10.0, 1e-6, 0.9])
        (folder / "notes.md").write_text("not data\n")
        (folder / "sub").mkdir()
        write_csv_spectrum(folder / "sub" / "c.csv", truth, noise=0.01)
        plots = tmp_path / "figs"
        code = cli.main(["fit", str(folder), str(folder / "**" / "c.csv"), "-c", "randles", "--plots", str(plots), "-j", "2"])
        assert code == 0
        captured = capsys.readouterr()
        table = pd.read_csv(__import__("io").StringIO(captured.out))
        assert [Path(p).name for p in table["file"]] == ["a.csv", "b.csv", "c.csv"]
        assert table["success"].all()
        np.testing.assert_allclose(table.loc[0, ["R0.r", "R1.r", "W1.aw", "CPE1.q", "CPE1.alpha"]].to_numpy(float), truth, rtol=1e-5)
        assert sorted(p.name for p in plots.iterdir()) == ["a.csv.png", "b.csv.png", "c.csv.png"]
        assert (plots / "a.csv.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
        assert "3 spectra, 3 fitted, 0 failed" in captured.err

    def test_a_file_of_several_sweeps_gives_a_row_per_sweep(self, capsys):
        two_cycles = Path(__file__).resolve().parents[1] / "data" / "instrument-files" / "more" / "ex1.mpt"
        assert cli.main(["fit", str(two_cycles), "-c", "randles", "-j", "1"]) == 0
        table = pd.read_csv(__import__("io").StringIO(capsys.readouterr().out))
        assert [Path(p).name for p in table["file"]] == ["ex1.mpt [cycle 1]", "ex1.mpt [cycle 2]"]
        assert list(table["n_points"]) == [59, 59]
        assert table["R1.r"].nunique() == 2  # two measurements, two fits

    @pytest.mark.parametrize(
        "argv",
        [
            ["fit", "x.DTA"],  # no circuit
            ["fit", "x.DTA", "-c", "R0-X1"],  # unknown element
            ["fit", "x.DTA", "-c", "randles", "--method", "LM"],
            ["fit", "x.DTA", "-c", "randles", "--threads", "0"],
            ["fit", "x.DTA", "-c", "randles", "--seed", "-1"],
            ["fit", "-c", "randles"],  # no files
            ["frobnicate"],
            [],
        ],
    )
    def test_usage_errors_exit_2(self, argv, capsys):
        assert cli.main(argv) == 2
        assert capsys.readouterr().err != ""

    def test_empty_directory_and_unwritable_output_are_usage_errors(self, tmp_path, files, capsys):
        assert cli.main(["fit", str(tmp_path), "-c", "randles"]) == 2
        blocker = tmp_path / "file"
        blocker.write_text("")
        assert cli.main(["fit", files[0], "-c", "randles", "-o", str(blocker / "out.csv")]) == 2
        assert "cannot write" in capsys.readouterr().err


class TestHelpAndVersion:
    def test_help_shows_examples_and_exit_codes(self, capsys):
        for argv in (["--help"], ["fit", "--help"], ["check", "--help"]):
            assert cli.main(argv) == 0
            text = capsys.readouterr().out
            assert "examples:" in text and "exit status" in text

    def test_version(self, capsys):
        assert cli.main(["--version"]) == 0
        assert capsys.readouterr().out.startswith("zetrion ")


class TestCheck:
    def test_table_and_verdicts(self, instrument_dir, tmp_path, capsys):
        pytest.importorskip("zetrion_tools.validation")
        names = ["exampleDataGamry.DTA", "exampleDataBioLogic.mpt", BROKEN]
        paths = [str(instrument_dir / n) for n in names]
        out = tmp_path / "checks.csv"
        assert cli.main(["check", *paths, "-q", "--out", str(out)]) == 0
        printed = capsys.readouterr().out
        for col in ("M", "mu", "max_residual", "verdict"):
            assert col in printed
        table = pd.read_csv(out)
        assert list(table["verdict"])[2] == "error"
        assert table.loc[0:1, "M"].ge(1).all() and table.loc[0:1, "max_residual"].gt(0).all()
        assert set(table.loc[0:1, "representation"]) <= {"impedance", "admittance"}
        assert cli.main(["check", *paths, "-q", "--strict"]) == 1

    def test_clean_synthetic_data_passes_and_a_distorted_one_fails_kk(self, tmp_path, capsys):
        pytest.importorskip("zetrion_tools.validation")
        good = tmp_path / "good.csv"
        write_csv_spectrum(good, [10.0, 100.0, 1e-5, 0.85], noise=0.002, notation="rq")
        bad = tmp_path / "bad.csv"
        # a drift: the low-frequency half scaled up, as when the cell changes during the sweep
        frame = pd.read_csv(good)
        frame.loc[frame.index >= 20, ["Re(Z)", "Im(Z)"]] *= 1.3
        frame.to_csv(bad, index=False)
        assert cli.main(["check", str(good), "-q", "--strict"]) == 0
        capsys.readouterr()
        assert cli.main(["check", str(good), str(bad), "-q", "--strict"]) == 1
        lines = capsys.readouterr().out.splitlines()
        assert any("bad.csv" in ln and "kk-fail" in ln for ln in lines)


class TestTrain:
    def test_arguments_are_handed_over_unchanged(self, monkeypatch):
        seen = []
        fake = types.ModuleType("zetrion_tools.training.cli")
        fake.main = lambda argv: seen.append(argv) or 0  # type: ignore[attr-defined]
        pkg = types.ModuleType("zetrion_tools.training")
        pkg.cli = fake  # type: ignore[attr-defined]
        monkeypatch.setitem(sys.modules, "zetrion_tools.training", pkg)
        monkeypatch.setitem(sys.modules, "zetrion_tools.training.cli", fake)
        assert cli.main(["train", "R0-(R1,C1)", "--minutes", "3"]) == 0
        assert seen == [["R0-(R1,C1)", "--minutes", "3"]]

        def parser_exit(argv):  # what an argparse tool does on --help or a usage error
            raise SystemExit(0 if "--help" in argv else 2)

        fake.main = parser_exit  # type: ignore[attr-defined]
        assert cli.main(["train", "--help"]) == 0
        assert cli.main(["train", "--bogus"]) == 2

    def test_missing_training_tool_says_so(self, monkeypatch, capsys):
        monkeypatch.setitem(sys.modules, "zetrion_tools.training", None)
        monkeypatch.setitem(sys.modules, "zetrion_tools.training.cli", None)
        assert cli.main(["train", "R0-(R1,C1)"]) == 2
        assert "training tool is not available" in capsys.readouterr().err


def test_as_a_separate_program(files, tmp_path):
    """The console script when it is installed from this source, else python -m."""
    import zetrion_tools

    pkg_root = str(Path(zetrion_tools.__file__).resolve().parents[1])
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([pkg_root, os.environ.get("PYTHONPATH", "")]))
    script = shutil.which("zetrion")
    if script is not None:
        probe = subprocess.run([script, "--version"], capture_output=True, text=True, env=env, timeout=60)
        if probe.returncode != 0:  # an installed entry point from an older package
            script = None
    cmd = [script] if script is not None else [sys.executable, "-m", "zetrion_tools.cli"]
    out = tmp_path / "r.csv"
    broken = [f for f in files if f.endswith(BROKEN)]
    good = [f for f in files if f.endswith("exampleDataGamry.DTA")]
    run = subprocess.run([*cmd, "fit", *good, *broken, "-c", "randles", "-o", str(out), "--strict"], capture_output=True, text=True, env=env, timeout=120)
    assert run.returncode == 1, run.stderr
    assert "1 fitted, 1 failed" in run.stderr
    assert len(pd.read_csv(out)) == 2
