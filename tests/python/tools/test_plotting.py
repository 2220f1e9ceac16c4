"""Plots: what each draws, on which axes, with which labels (Agg backend)."""

from __future__ import annotations

import numpy as np
import pytest

import zetrion

matplotlib = pytest.importorskip("matplotlib")
matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

from zetrion_tools.fitting import fit  # noqa: E402
from zetrion_tools.plotting import bode, nyquist, plot_fit, plot_residuals  # noqa: E402

F = np.geomspace(1e5, 1e-2, 40)
Z = zetrion.Circuit("randles").with_values([10.0, 100.0, 30.0, 1e-5, 0.85]).impedance(F)


@pytest.fixture(autouse=True)
def _close():
    yield
    plt.close("all")


def test_nyquist_draws_minus_imaginary_on_equal_axes():
    ax = nyquist(Z)
    x, y = ax.lines[0].get_data()
    np.testing.assert_array_equal(x, Z.real)
    np.testing.assert_array_equal(y, -Z.imag)
    assert ax.get_aspect() == 1.0
    assert "Z'" in ax.get_xlabel() and "-Z''" in ax.get_ylabel() and "\u03a9" in ax.get_ylabel()
    assert [t.get_text() for t in ax.get_legend().get_texts()] == ["data"]


def test_nyquist_on_given_axes_adds_a_line():
    fig, ax = plt.subplots()
    assert nyquist(Z, ax=ax, label="a") is ax
    nyquist(Z * 2, ax=ax, label="b", line=True, color="k")
    assert len(ax.lines) == 2 and ax.lines[1].get_linestyle() == "-"
    assert ax.lines[0].get_marker() == "o"


def test_bode_magnitude_and_phase():
    ax_m, ax_p = bode(F, Z)
    f_m, mag = ax_m.lines[0].get_data()
    _, phase = ax_p.lines[0].get_data()
    np.testing.assert_allclose(mag, np.abs(Z))
    np.testing.assert_allclose(phase, -np.degrees(np.angle(Z)))
    assert ax_m.get_xscale() == ax_m.get_yscale() == "log" and ax_p.get_xscale() == "log"
    assert ax_p.get_xlabel() == "f / Hz" and "|Z|" in ax_m.get_ylabel() and "phase" in ax_p.get_ylabel()
    with pytest.raises(ValueError, match="frequencies"):
        bode(F[:-1], Z)


def test_residuals_are_relative_percent():
    z_fit = Z * (1 + 0.02)
    ax = plot_residuals(F, Z, z_fit)
    _, re = ax.lines[0].get_data()
    _, im = ax.lines[1].get_data()
    expected = 100 * (z_fit - Z) / np.abs(Z)
    np.testing.assert_allclose(re, expected.real)
    np.testing.assert_allclose(im, expected.imag)
    assert "%" in ax.get_ylabel()
    with pytest.raises(ValueError, match="same length"):
        plot_residuals(F, Z, z_fit[:-1])


@pytest.mark.parametrize("kind", ["core", "constrained", "circuit"])
def test_plot_fit_accepts_every_result(kind, tmp_path):
    rng = np.random.default_rng(0)
    z = Z * (1 + 0.01 * rng.standard_normal(Z.size))
    if kind == "core":
        result = zetrion.Circuit("randles").fit(F, z)
    elif kind == "constrained":
        result = fit("randles", F, z, fixed={"R0.r": 10.0})
    else:
        result = zetrion.Circuit("randles").with_values([10.0, 100.0, 30.0, 1e-5, 0.85])
    fig, axes = plot_fit(F, z, result)
    assert set(axes) == {"nyquist", "magnitude", "phase", "residuals"}
    n = axes["nyquist"]
    labels = [t.get_text() for t in n.get_legend().get_texts()]
    assert labels == ["data", "fit"]
    fx, fy = n.lines[1].get_data()
    assert len(fx) > len(F)  # the fit is drawn on a fine grid
    circuit = result if kind == "circuit" else result.circuit
    _, re = axes["residuals"].lines[0].get_data()
    np.testing.assert_allclose(re, (100 * (circuit.impedance(F) - z) / np.abs(z)).real)
    title = fig.get_suptitle()
    assert ("chi-square" in title) == (kind != "circuit")
    fig.savefig(tmp_path / "fit.png")
    assert (tmp_path / "fit.png").stat().st_size > 10_000


def test_plot_fit_reuses_a_figure_and_rejects_other_objects():
    fig = plt.figure()
    fig.add_subplot(1, 1, 1)
    out, axes = plot_fit(F, Z, zetrion.Circuit("randles").with_values([10.0, 100.0, 30.0, 1e-5, 0.85]), fig=fig, title="x")
    assert out is fig and len(fig.axes) == 4
    with pytest.raises(TypeError, match="FitResult"):
        plot_fit(F, Z, "randles")  # type: ignore[arg-type]
