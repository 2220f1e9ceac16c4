"""One options object for single, batch and distributed fits."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest

import zetrion
from zetrion_tools import FitOptions, fit, fit_many


def spectra(n=3):
    f = np.geomspace(1e5, 1e-2, 40)
    out = []
    for k in range(n):
        c = zetrion.Circuit("randles").with_values([10.0 + k, 100.0, 30.0, 1e-5, 0.85])
        rng = np.random.default_rng(k)
        out.append((f, c.impedance(f) * (1 + 0.01 * rng.standard_normal(f.size))))
    return out


class TestFitOptions:
    @pytest.mark.parametrize(
        "kwargs, error, match",
        [
            ({"method": "newton"}, ValueError, "unknown fit method"),
            ({"weight": "abs"}, ValueError, "unknown weight"),
            ({"method_options": {"particles": 5}}, TypeError, "unknown method option"),
            ({"method_options": {"weight": "unit"}}, TypeError, "unknown method option"),
        ],
    )
    def test_names_are_checked_when_made(self, kwargs, error, match):
        with pytest.raises(error, match=match):
            FitOptions(**kwargs)

    def test_round_trip_through_keywords(self):
        opts = FitOptions(method="nelder_mead", weight="unit", seed=3, method_options={"nelder_mead_iterations": 50})
        assert FitOptions.from_keywords(opts.method, opts.core_kwargs()) == opts


class TestShared:
    def test_batch_with_options_equals_batch_with_keywords(self):
        data = spectra()
        opts = FitOptions(weight="unit", ftol=1e-10)
        a = fit_many("randles", data, progress=False, options=opts, threads=1)
        b = fit_many("randles", data, progress=False, weight="unit", ftol=1e-10, threads=1)
        pd.testing.assert_frame_equal(a.drop(columns="time"), b.drop(columns="time"))

    def test_single_fit_with_options_equals_keywords(self):
        f, z = spectra(1)[0]
        opts = FitOptions(weight="unit", xtol=1e-10)
        a, b = fit("randles", f, z, options=opts), fit("randles", f, z, weight="unit", xtol=1e-10)
        assert a.params == b.params and a.weight == b.weight == "unit"

    def test_options_and_keywords_together_are_refused(self):
        f, z = spectra(1)[0]
        with pytest.raises(TypeError, match="not both"):
            fit("randles", f, z, options=FitOptions(), weight="unit")
        with pytest.raises(TypeError, match="not both"):
            fit_many("randles", [(f, z)], progress=False, options=FitOptions(), weight="unit")
