"""The tutorial's code runs as written, on the bundled Gamry file."""

from __future__ import annotations

import pathlib
import re
import shutil

import pytest

pytest.importorskip("matplotlib")

ROOT = pathlib.Path(__file__).resolve().parents[3]
TUTORIAL = ROOT / "docs" / "tutorial.md"
DATA = ROOT / "examples" / "data" / "exampleDataGamry.DTA"


def code_blocks(text: str) -> list[str]:
    return re.findall(r"^```python\n(.*?)^```", text, flags=re.S | re.M)


def test_tutorial_blocks_run_in_order(tmp_path, monkeypatch):
    blocks = code_blocks(TUTORIAL.read_text(encoding="utf-8"))
    assert len(blocks) >= 8
    (tmp_path / "examples" / "data").mkdir(parents=True)
    shutil.copy(DATA, tmp_path / "examples" / "data")
    monkeypatch.chdir(tmp_path)
    monkeypatch.setenv("MPLBACKEND", "Agg")
    namespace: dict[str, object] = {"__name__": "tutorial"}
    for number, block in enumerate(blocks):
        exec(compile(block, f"{TUTORIAL.name}, block {number}", "exec"), namespace)

    import zetrion_tools as zt

    # what the page promises: a validated, fitted, plotted and saved result
    assert (tmp_path / "gamry_fit.png").stat().st_size > 20_000
    record = zt.load_record(tmp_path / "gamry_fit.json")
    assert record.notation == "randles" and record.success
    kk = namespace["kk"]
    assert 0 < kk.outliers.sum() < len(kk.outliers)  # type: ignore[attr-defined]
    held = namespace["held"]
    assert held.params["R0.r"] == 5.0 and 0.9 <= held.params["CPE1.alpha"] <= 1.0  # type: ignore[attr-defined]


def test_short_version_is_five_lines():
    short = code_blocks(TUTORIAL.read_text(encoding="utf-8"))[0]
    lines = [line for line in short.splitlines() if line.strip() and not line.startswith("import")]
    assert len(lines) == 5
