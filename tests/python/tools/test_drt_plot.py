"""The DRT panel of the combined fit figure (Agg backend)."""

from __future__ import annotations

import numpy as np
import pytest

import zetrion

matplotlib = pytest.importorskip("matplotlib")
matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

from zetrion_tools.drt_analysis import drt  # noqa: E402
from zetrion_tools.fitting import fit  # noqa: E402
from zetrion_tools.plotting import plot_fit  # noqa: E402

F = np.geomspace(1e5, 1e-2, 50)
VALUES = [10.0, 40.0, 1e-6, 0.9, 60.0, 1e-3, 0.85]
NOTATION = "R0-(R1,CPE1)-(R2,CPE2)"


@pytest.fixture(autouse=True)
def _close():
    yield
    plt.close("all")


@pytest.fixture(scope="module")
def spectrum():
    z = zetrion.Circuit(NOTATION).with_values(VALUES).impedance(F)
    return z * (1 + 0.002 * np.random.default_rng(3).standard_normal(F.size))


def test_panel_shows_the_data_drt_and_the_fit_drt_over_it(spectrum, tmp_path):
    result = fit(NOTATION, F, spectrum)
    fig, axes = plot_fit(F, spectrum, result, drt=True)
    assert set(axes) == {"nyquist", "magnitude", "phase", "residuals", "drt"}
    ax = axes["drt"]
    labels = [t.get_text() for t in ax.get_legend().get_texts()]
    assert "DRT of the data" in labels and "DRT of the fit" in labels
    data = drt(F, spectrum)
    tau, gamma = ax.lines[0].get_data()
    np.testing.assert_allclose(tau, data.tau)
    np.testing.assert_allclose(gamma, data.gamma, rtol=1e-9, atol=1e-12)
    fit_line = next(line for line in ax.lines if line.get_label() == "DRT of the fit")
    _, fit_gamma = fit_line.get_data()
    # two arcs of 40 and 60 ohm: the fit's DRT has their areas, and the
    # data's peaks sit where the fit's do
    area = np.trapezoid(fit_gamma, np.log(data.tau))
    assert area == pytest.approx(100.0, rel=0.03)
    assert data.polarisation == pytest.approx(area, rel=0.05)
    assert ax.get_xscale() == "log"
    fig.savefig(tmp_path / "fit_drt.png")
    assert (tmp_path / "fit_drt.png").stat().st_size > 10_000


def test_panel_takes_a_drt_computed_before_and_stays_off_by_default(spectrum):
    circuit = zetrion.Circuit(NOTATION).with_values(VALUES)
    given = drt(F, spectrum, lam=1e-1)
    _, axes = plot_fit(F, spectrum, circuit, drt=given)
    _, gamma = axes["drt"].lines[0].get_data()
    np.testing.assert_array_equal(gamma, given.gamma)  # drawn as given, not recomputed
    # a bare Circuit carries no notation: its DRT comes numerically, still drawn
    assert any(line.get_label() == "DRT of the fit" for line in axes["drt"].lines)
    fig, axes = plot_fit(F, spectrum, circuit)
    assert "drt" not in axes and len(fig.axes) == 4
    with pytest.raises(TypeError, match="DrtResult"):
        plot_fit(F, spectrum, circuit, drt="yes")
