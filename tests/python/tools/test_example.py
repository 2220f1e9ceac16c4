"""The README's main job: examples/fit_example.py fits the bundled measured spectrum."""

from __future__ import annotations

import pathlib
import runpy

import pytest

import zetrion_tools as zt

pytest.importorskip("matplotlib")

EXAMPLE = pathlib.Path(__file__).resolve().parents[3] / "examples" / "fit_example.py"


def test_main_example_fits_the_dummy_cell(tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    monkeypatch.setenv("MPLBACKEND", "Agg")
    runpy.run_path(str(EXAMPLE), run_name="__main__")
    out = capsys.readouterr().out
    assert "success=true" in out
    record = zt.load_record(tmp_path / "fit_example.json")
    # the dummy cell: about 1.5 kohm in series with 4.6 kohm || 20 nF
    assert record.params["R0.r"] == pytest.approx(1500, rel=0.01)
    assert record.params["R1.r"] == pytest.approx(4630, rel=0.01)
    assert record.params["C1.c"] == pytest.approx(2.0e-8, rel=0.02)
    assert record.chi_square < 1e-3
    assert (tmp_path / "fit_example.png").stat().st_size > 20_000
