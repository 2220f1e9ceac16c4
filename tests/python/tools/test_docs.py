"""The documentation site builds with warnings as errors: every page in the
navigation, the API reference of both packages from their stubs and
docstrings, and the examples page with the output of its code."""

from __future__ import annotations

import html
import importlib.util
import os
import pathlib
import re
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[3]

pytestmark = pytest.mark.skipif(
    not all(importlib.util.find_spec(m) for m in ("mkdocs", "material", "mkdocstrings_handlers", "markdown_exec"))
    or not (ROOT / "mkdocs.yml").exists(),
    reason="the docs extra is not installed (pip install '.[docs]')",
)


@pytest.fixture(scope="module")
def site(tmp_path_factory: pytest.TempPathFactory) -> pathlib.Path:
    out = tmp_path_factory.mktemp("site")
    env = dict(os.environ, MPLBACKEND="Agg", NO_MKDOCS_2_WARNING="1")
    r = subprocess.run(
        [sys.executable, "-m", "mkdocs", "build", "--strict", "--site-dir", str(out)],
        cwd=ROOT, env=env, capture_output=True, text=True, timeout=600,
    )
    assert r.returncode == 0, r.stdout + r.stderr
    return out


def text_of(page: pathlib.Path) -> str:
    return html.unescape(re.sub(r"<[^>]+>", "", page.read_text(encoding="utf-8")))


def test_every_page_is_built(site: pathlib.Path) -> None:
    for md in (ROOT / "docs").rglob("*.md"):
        rel = md.relative_to(ROOT / "docs").with_suffix("")
        page = site / ("index.html" if rel.name == "index" else rel / "index.html")
        assert page.exists(), rel


def test_api_reference_covers_both_packages(site: pathlib.Path) -> None:
    core = (site / "api" / "zetrion" / "index.html").read_text(encoding="utf-8")
    for anchor in ("zetrion.Circuit.fit", "zetrion.Circuit.impedance", "zetrion.FitResult.chi_square",
                   "zetrion.Series", "zetrion.Element"):
        assert f'id="{anchor}"' in core, anchor
    tools = (site / "api" / "zetrion_tools" / "index.html").read_text(encoding="utf-8")
    for anchor in ("zetrion_tools.io.read", "zetrion_tools.validation.linkk", "zetrion_tools.fitting.fit",
                   "zetrion_tools.records.save_record", "zetrion_tools.batch.fit_many"):
        assert f'id="{anchor}"' in tools, anchor
    # the docstrings themselves, not only the names
    assert "Outcome of" in text_of(site / "api" / "zetrion_tools" / "index.html")


def test_examples_ran_while_the_site_was_built(site: pathlib.Path) -> None:
    page = site / "examples" / "index.html"
    text = text_of(page)
    assert re.search(r"53 points, 1\.5e\+05 Hz to 1 Hz", text)
    fitted = re.search(r"chi_square (\S+) after (\d+) iterations", text)
    assert fitted and 0 < float(fitted.group(1)) < 1e-2
    assert "element-built circuit:" in text  # examples/evaluate.py's last line
    assert "Matplotlib v" in page.read_text(encoding="utf-8")  # the figure, drawn during the build
