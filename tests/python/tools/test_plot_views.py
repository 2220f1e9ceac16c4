"""Plot axes a reader can use (labels inside the image, SI prefixes, clean log
ticks), the admittance and capacitance views, and Brug's effective capacitance."""

from __future__ import annotations

import io
import math

import numpy as np
import pytest

import zetrion
from zetrion_tools import read
from zetrion_tools.capacitance import complex_capacitance, effective_capacitance, effective_capacitances
from zetrion_tools.fitting import fit

from instrument_data import DATA

matplotlib = pytest.importorskip("matplotlib")
matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

from zetrion_tools.plotting import bode, nyquist, plot_capacitance, plot_fit  # noqa: E402

F = np.geomspace(1e5, 1e-2, 50)


def arc(r0: float, r1: float, q: float, alpha: float = 0.9, f=F):
    return zetrion.Circuit("R0-(R1,CPE1)").with_values([r0, r1, q, alpha]).impedance(f)


@pytest.fixture(autouse=True)
def _close():
    yield
    plt.close("all")


def rendered(fig):
    """Save as a PNG with the default bounding box; returns the renderer used."""
    fig.savefig(io.BytesIO(), format="png")
    return fig.canvas.get_renderer()


def tick_texts(axis) -> list[str]:
    lo, hi = sorted(axis.get_view_interval())
    return [t.get_text() for t, v in zip(axis.get_ticklabels(), axis.get_ticklocs()) if lo <= v <= hi]


def inside(fig, artist, renderer) -> bool:
    box = artist.get_window_extent(renderer)
    return box.x0 >= 0 and box.y0 >= 0 and box.x1 <= fig.bbox.width and box.y1 <= fig.bbox.height


class TestLabelsInsideTheImage:
    def test_standalone_plots_of_an_instrument_file(self):
        s = read(DATA / "exampleDataAutolab.txt")
        ax = nyquist(s.impedance)
        ax_m, ax_p = bode(s.frequencies, s.impedance)
        ax_c, _ = plot_capacitance(s.frequencies, s.impedance)
        for a in (ax, ax_m, ax_p, ax_c):
            r = rendered(a.figure)
            for label in (a.yaxis.label, a.xaxis.label):
                if label.get_text():
                    assert inside(a.figure, label, r), label.get_text()
            lo, hi = sorted(a.yaxis.get_view_interval())
            for t, v in zip(a.yaxis.get_ticklabels(), a.yaxis.get_ticklocs()):
                if lo <= v <= hi and t.get_text():
                    assert inside(a.figure, t, r), t.get_text()

    @pytest.mark.parametrize("scale", [1e-3, 1.0, 1e6])
    def test_wide_tick_labels(self, scale):
        ax = nyquist(arc(1.0, 1234.5, 1e-5) * scale)
        r = rendered(ax.figure)
        assert inside(ax.figure, ax.yaxis.label, r)


class TestPrefixes:
    @pytest.mark.parametrize(
        "values, prefix",
        [((2e5, 3e6, 1e-10), "M"), ((0.003, 0.012, 20.0), "m"), ((0.2, 30.0, 1e-4), ""), ((5e3, 9e4, 1e-8), "k")],
    )
    def test_nyquist_axes_read_in_the_prefixed_unit(self, values, prefix):
        z = arc(*values)
        ax = nyquist(z)
        rendered(ax.figure)
        assert ax.get_xlabel() == f"Z' / {prefix}\u03a9" and ax.get_ylabel() == f"-Z'' / {prefix}\u03a9"
        scale = {"M": 1e6, "k": 1e3, "": 1.0, "m": 1e-3}[prefix]
        for axis in (ax.xaxis, ax.yaxis):
            assert axis.get_offset_text().get_text() == ""  # no '1e6' above the axis
            texts = tick_texts(axis)
            values_shown = [float(t.replace("\u2212", "-")) for t in texts]
            # the labels are the tick positions in the prefixed unit, in a readable range
            np.testing.assert_allclose(values_shown, [v / scale for v in axis.get_ticklocs() if
                                                      min(axis.get_view_interval()) <= v <= max(axis.get_view_interval())],
                                       rtol=1e-6, atol=1e-9)
            assert max(abs(v) for v in values_shown) < 1000
            assert any(abs(v) >= 1 for v in values_shown)
        # the data themselves stay in ohm
        np.testing.assert_array_equal(ax.lines[0].get_data()[0], z.real)

    def test_the_prefix_follows_the_zoom_and_a_users_label_stays(self):
        ax = nyquist(arc(10.0, 5000.0, 1e-6))
        rendered(ax.figure)
        assert ax.get_xlabel() == "Z' / k\u03a9"
        ax.set_aspect("auto")
        ax.set_xlim(0, 500)
        rendered(ax.figure)
        assert ax.get_xlabel() == "Z' / \u03a9"
        ax.set_ylabel("my label")
        rendered(ax.figure)
        assert ax.get_ylabel() == "my label"

    def test_log_magnitude_under_one_decade_has_few_plain_labels(self):
        z = arc(100.0, 20.0, 1e-5)  # |Z| from 100 to 120 ohm
        ax_m, _ = bode(F, z)
        rendered(ax_m.figure)
        texts = tick_texts(ax_m.yaxis)
        assert 2 <= len(texts) <= 6
        assert all(t and "$" not in t and "10^" not in t for t in texts)
        assert [float(t) for t in texts] == sorted(float(t) for t in texts)
        assert all(not t.get_text() for t in ax_m.yaxis.get_minorticklabels())
        assert ax_m.get_ylabel() == "|Z| / \u03a9"

    def test_log_magnitude_of_megaohms(self):
        ax_m, ax_p = bode(F, arc(1e6, 4e6, 1e-10))
        rendered(ax_m.figure)
        assert ax_m.get_ylabel() == "|Z| / M\u03a9"
        assert ax_p.get_xlabel() == "f / Hz"  # seven decades: written as powers of ten

    def test_plot_fit_keeps_one_frequency_label(self):
        z = arc(10.0, 100.0, 1e-5)
        res = fit("R0-(R1,CPE1)", F, z, start={"R0.r": 9, "R1.r": 90, "CPE1.q": 2e-5, "CPE1.alpha": 0.85})
        fig, axes = plot_fit(F, z, res)
        rendered(fig)
        assert axes["magnitude"].get_xlabel() == "" and axes["phase"].get_xlabel() == "f / Hz"


class TestAdmittanceAndCapacitance:
    def test_admittance_plane(self):
        z = arc(10.0, 100.0, 1e-5)
        ax = nyquist(z, kind="admittance")
        x, y = ax.lines[0].get_data()
        np.testing.assert_allclose(x + 1j * y, 1.0 / z)
        rendered(ax.figure)
        assert ax.get_xlabel() == "Y' / mS" and ax.get_ylabel() == "Y'' / mS"
        with pytest.raises(ValueError, match="kind"):
            nyquist(z, kind="modulus")

    def test_complex_capacitance_of_a_series_rc(self):
        r, c = 50.0, 2e-6
        z = r + 1.0 / (1j * 2 * np.pi * F * c)
        wrc = 2 * np.pi * F * r * c
        cap = complex_capacitance(F, z)
        np.testing.assert_allclose(cap.real, c / (1 + wrc**2), rtol=1e-12)
        np.testing.assert_allclose(-cap.imag, c * wrc / (1 + wrc**2), rtol=1e-12)
        ax_re, ax_im = plot_capacitance(F, z)
        np.testing.assert_allclose(ax_re.lines[0].get_data()[1], cap.real)
        np.testing.assert_allclose(ax_im.lines[0].get_data()[1], -cap.imag)
        rendered(ax_re.figure)
        # a log axis takes the prefix of the middle of its range (C' runs from 0.5 nF to 2 uF)
        assert ax_re.get_ylabel() == "C' / nF" and ax_im.get_xlabel() == "f / Hz"
        with pytest.raises(ValueError):
            complex_capacitance(F[:-1], z)


def peak_frequency(f_lo: float, f_hi: float, curve) -> float:
    """Angular frequency of a curve's maximum, located on a fine grid."""
    f = np.geomspace(f_lo, f_hi, 200001)
    return float(2 * np.pi * f[np.argmax(curve(f))])


class TestBrug:
    def test_parallel_cpe_matches_the_arc_apex(self):
        # without a series resistance the apex of -Z'' lies at w = 1 / (R C_eff)
        r, q, alpha = 200.0, 3e-5, 0.8
        w = peak_frequency(1e-2, 1e5, lambda f: -arc(1e-9, r, q, alpha, f).imag)
        assert effective_capacitance(q, alpha, r_parallel=r) == pytest.approx(1 / (w * r), rel=1e-3)

    def test_blocking_cpe_matches_the_admittance_apex(self):
        # R_s in series with a CPE: Y'' peaks at w = 1 / (R_s C_eff)
        rs, q, alpha = 20.0, 4e-6, 0.85
        circuit = zetrion.Circuit("R0-CPE1").with_values([rs, q, alpha])
        w = peak_frequency(1e-1, 1e7, lambda f: (1 / circuit.impedance(f)).imag)
        assert effective_capacitance(q, alpha, r_series=rs) == pytest.approx(1 / (w * rs), rel=1e-3)
        assert effective_capacitances(circuit)["CPE1"] == pytest.approx(1 / (w * rs), rel=1e-3)

    def test_both_resistances_and_the_ideal_case(self):
        q, alpha, rs, rp = 1e-4, 0.9, 10.0, 100.0
        expected = q ** (1 / alpha) * (1 / rs + 1 / rp) ** ((alpha - 1) / alpha)
        assert effective_capacitance(q, alpha, rs, rp) == pytest.approx(expected, rel=1e-14)
        assert effective_capacitance(q, 1.0, rs, rp) == q
        assert math.isnan(effective_capacitance(q, alpha))
        for bad in ((0.0, 0.9), (q, 0.0), (q, 1.2)):
            with pytest.raises(ValueError):
                effective_capacitance(*bad, rs)
        with pytest.raises(ValueError):
            effective_capacitance(q, alpha, -1.0)

    def test_the_resistances_read_from_a_fitted_circuit(self):
        values = [10.0, 100.0, 30.0, 1e-5, 0.85]  # R0, R1, W1, CPE1 of the Randles circuit
        z = zetrion.Circuit("randles").with_values(values).impedance(F)
        res = fit("randles", F, z, start=dict(zip(zetrion.Circuit("randles").param_names(), values)))
        got = effective_capacitances(res)
        p = res.params
        assert list(got) == ["CPE1"]
        assert got["CPE1"] == pytest.approx(
            effective_capacitance(p["CPE1.q"], p["CPE1.alpha"], p["R0.r"], p["R1.r"]), rel=1e-12
        )
        two = zetrion.Circuit("R0-(R1,CPE1)-(R2,CPE2)-Zarc3").with_values(
            [5.0, 10.0, 1e-3, 0.8, 20.0, 1e-6, 0.9, 30.0, 1e-2, 0.7]
        )
        got = effective_capacitances(two)
        assert list(got) == ["CPE1", "CPE2", "Zarc3"]
        assert got["CPE2"] == pytest.approx(effective_capacitance(1e-6, 0.9, 5.0, 20.0), rel=1e-12)
        # a Zarc is R parallel to a CPE of Q = tau^gamma / R
        assert got["Zarc3"] == pytest.approx(effective_capacitance(1e-2**0.7 / 30.0, 0.7, 5.0, 30.0), rel=1e-12)
        with pytest.raises(TypeError):
            effective_capacitances("R0-(R1,CPE1)")
