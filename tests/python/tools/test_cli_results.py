"""The command line keeps every result: odd file names, a results file among
the inputs, unwritable outputs, failures of the process itself and Ctrl-C."""

from __future__ import annotations

import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

import zetrion
from zetrion_tools import cli

pytest.importorskip("zetrion_tools.io")

TRUTH = [10.0, 100.0, 20.0, 1e-5, 0.9]


def write_spectrum(path: Path, k: int = 0) -> None:
    f = np.geomspace(1e5, 1e-1, 35)
    z = zetrion.Circuit("randles").with_values(TRUTH).impedance(f) * (1 + 0.01 * k)
    pd.DataFrame({"freq": f, "Re(Z)": z.real, "Im(Z)": z.imag}).to_csv(path, index=False)


@pytest.fixture
def folder(tmp_path: Path) -> Path:
    d = tmp_path / "data"
    d.mkdir()
    for k, name in enumerate(["a.csv", "b.csv"]):
        write_spectrum(d / name, k)
    return d


def odd_name(folder: Path) -> Path:
    """A file whose name is not UTF-8 (Latin-1 bytes), as old instruments write them."""
    path = Path(os.fsdecode(os.fsencode(folder) + b"/cell\xe9\xff.csv"))
    try:
        write_spectrum(path, 2)
    except (OSError, UnicodeError):
        pytest.skip("this file system refuses names that are not UTF-8")
    return path


class TestOddFileNames:
    def test_fit_keeps_every_row_and_escapes_the_name(self, folder, tmp_path, capsys):
        odd_name(folder)
        out = tmp_path / "r.csv"
        assert cli.main(["fit", str(folder), "-c", "randles", "--out", str(out)]) == 0
        text = out.read_bytes().decode("utf-8")  # valid UTF-8 throughout
        table = pd.read_csv(out)
        assert len(table) == 3 and table["success"].all()
        assert any(f.endswith("cell\\xe9\\xff.csv") for f in table["file"]), list(table["file"])
        assert "\\xe9\\xff" in text
        assert "3 fitted" in capsys.readouterr().err

    def test_fit_to_standard_output(self, folder, capsys):
        odd_name(folder)
        assert cli.main(["fit", str(folder), "-c", "randles", "-q"]) == 0
        assert "cell\\xe9\\xff.csv" in capsys.readouterr().out

    def test_check_keeps_every_row_and_escapes_the_name(self, folder, tmp_path, capsys):
        odd_name(folder)
        out = tmp_path / "c.csv"
        assert cli.main(["check", str(folder), "--out", str(out), "-q"]) == 0
        table = pd.read_csv(out)
        assert len(table) == 3 and (table["verdict"] != "error").all()
        assert "cell\\xe9\\xff.csv" in capsys.readouterr().out


class TestResultsFile:
    def test_a_failed_run_leaves_the_previous_results_whole(self, folder, tmp_path, monkeypatch):
        out = tmp_path / "r.csv"
        out.write_text("previous results\n")
        import zetrion_tools.io as io

        def exhausted(path, *args, **kwargs):
            raise MemoryError("no memory left")

        monkeypatch.setattr(io, "read", exhausted)
        with pytest.raises(MemoryError):  # the process's trouble is not a file's failed row
            cli.main(["fit", str(folder), "-c", "randles", "--out", str(out), "-q"])
        with pytest.raises(MemoryError):
            cli.main(["check", str(folder), "--out", str(out), "-q"])
        assert out.read_text() == "previous results\n"
        assert sorted(p.name for p in tmp_path.iterdir()) == ["data", "r.csv"]  # no temporary file left

    def test_rerun_into_the_input_folder_does_not_read_its_results(self, folder, capsys):
        out = folder / "results.csv"
        for _ in range(2):
            assert cli.main(["fit", str(folder), "-c", "randles", "--out", str(out), "-q"]) == 0
            assert len(pd.read_csv(out)) == 2
        assert cli.main(["fit", str(folder / "*.csv"), "-c", "randles", "--out", str(out), "-q"]) == 0
        assert len(pd.read_csv(out)) == 2
        assert cli.main(["check", str(folder), "--out", str(folder / "checks.csv"), "-q"]) == 0
        assert cli.main(["check", str(folder), "--out", str(folder / "checks.csv"), "-q"]) == 0
        assert len(pd.read_csv(folder / "checks.csv")) == 3  # a.csv, b.csv, and the fit's results.csv
        capsys.readouterr()

    @pytest.mark.parametrize("command", [["fit", "-c", "randles"], ["check"]])
    def test_an_input_named_as_output_is_refused(self, folder, command, capsys):
        measurement = folder / "a.csv"
        before = measurement.read_bytes()
        link = folder / "link.csv"
        link.symlink_to(measurement)
        for out in (measurement, link):
            assert cli.main([command[0], str(measurement), *command[1:], "--out", str(out), "-q"]) == 2
            assert "is one of the input files" in capsys.readouterr().err
        assert measurement.read_bytes() == before

    def test_a_replaced_file_keeps_its_permissions(self, folder, tmp_path):
        out = tmp_path / "r.csv"
        out.write_text("old\n")
        out.chmod(0o640)
        assert cli.main(["fit", str(folder), "-c", "randles", "--out", str(out), "-q"]) == 0
        assert out.stat().st_mode & 0o777 == 0o640

    @pytest.mark.skipif(not Path("/dev/full").exists(), reason="needs /dev/full")
    def test_a_full_device_is_a_clear_usage_error(self, folder, capsys):
        assert cli.main(["fit", str(folder), "-c", "randles", "--out", "/dev/full", "-q"]) == 2
        err = capsys.readouterr().err
        assert "cannot write /dev/full" in err and "Traceback" not in err
        assert cli.main(["check", str(folder), "--out", "/dev/full", "-q"]) == 2
        assert Path("/dev/full").is_char_device()  # written to, never replaced
        capsys.readouterr()

    def test_plots_in_a_place_that_cannot_hold_them(self, folder, tmp_path, capsys):
        pytest.importorskip("matplotlib")
        blocker = tmp_path / "a-file"
        blocker.write_text("")
        out = tmp_path / "r.csv"
        for plots in (blocker, blocker / "figures"):
            assert cli.main(["fit", str(folder), "-c", "randles", "--out", str(out), "--plots", str(plots), "-q"]) == 2
            assert "--plots" in capsys.readouterr().err
        assert not out.exists()  # refused before any fit


def test_ctrl_c_writes_the_rows_fitted_and_exits_130(folder, tmp_path, monkeypatch, capsys):
    for k in range(2, 6):
        write_spectrum(folder / f"c{k}.csv", k)
    out = tmp_path / "r.csv"
    out.write_text("previous results\n")
    read = cli._read_file

    def interrupted_at_c4(path, *rest):
        if path.name == "c4.csv":
            time.sleep(0.5)  # the fits already handed out finish meanwhile
            raise KeyboardInterrupt
        return read(path, *rest)

    monkeypatch.setattr(cli, "_read_file", interrupted_at_c4)
    assert cli.main(["fit", str(folder), "-c", "randles", "-j", "2", "--out", str(out)]) == 130
    table = pd.read_csv(out)
    assert sorted(Path(f).name for f in table["file"]) == ["a.csv", "b.csv", "c2.csv", "c3.csv"]
    assert table["success"].all()
    assert "interrupted" in capsys.readouterr().err


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="POSIX signals")
def test_ctrl_c_does_not_wait_for_the_running_fits(folder, tmp_path):
    for k in range(2, 40):
        write_spectrum(folder / f"c{k:02d}.csv", k)
    out = tmp_path / "r.csv"
    out.write_text("previous results\n")
    cmd = [sys.executable, "-m", "zetrion_tools.cli", "fit", str(folder), "-c", "sei_randles_wo",
           "-m", "particle_swarm", "-j", "2", "-q", "--out", str(out)]
    p = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                         preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    try:
        deadline = time.monotonic() + 60
        while not any(n.name.endswith(".partial") for n in tmp_path.iterdir()) and time.monotonic() < deadline:
            time.sleep(0.05)  # the temporary results file appears once the run has started
        time.sleep(1.0)
        os.kill(p.pid, signal.SIGINT)
        _, err = p.communicate(timeout=60)  # seconds per fit, and 40 files: it must not finish them
    finally:
        if p.poll() is None:
            p.kill()
            p.wait()
    assert p.returncode == 130, err
    assert "interrupted" in err
    table = pd.read_csv(out)  # a table, whatever number of rows had finished
    assert list(table.columns[:2]) == ["file", "format"] and len(table) < 40
