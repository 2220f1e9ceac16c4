"""Data checks before a fit: each fault gets an error or warning that says what to do."""

from __future__ import annotations

import warnings

import numpy as np
import pytest

from zetrion_tools.checks import DataError, DataWarning, check_spectrum
from zetrion_tools.io import ReadWarning, read

from instrument_data import DATA, INSTRUMENT_FILES

F = np.logspace(-2, 5, 50)
RANDLES = 10.0 + 1.0 / (1.0 / 100.0 + (2j * np.pi * F) ** 0.9 * 1e-5)


def load(name: str) -> tuple[np.ndarray, np.ndarray]:
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ReadWarning)
        s = read(DATA / name)
    return s.frequencies, s.impedance


def test_clean_data_come_back_as_contiguous_copies() -> None:
    f_list = F.tolist()
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        f, z = check_spectrum(f_list, RANDLES[::-1][::-1], n_params=5)
    assert f.dtype == np.float64 and z.dtype == np.complex128
    assert f.flags.c_contiguous and z.flags.c_contiguous
    np.testing.assert_array_equal(z, RANDLES)
    z[0] = 0
    assert RANDLES[0] != 0  # a copy, not a view


class TestErrors:
    @pytest.mark.parametrize(
        ("f", "z", "match"),
        [
            (np.r_[F[:3], np.nan, F[4:]], RANDLES, r"NaN or infinite values in 1 frequencies \(index 3\).*drop"),
            (F, np.r_[RANDLES[:-1], np.inf], r"1 impedances \(index 49\)"),
            (np.r_[0.0, F[1:]], RANDLES, r"zero or negative \(index 0.*keep = f > 0"),
            (-F, RANDLES, r"50 frequencies are zero or negative"),
            (np.r_[F[:10], F[5], F[11:]], RANDLES, r"occur more than once \(indices 5, 10.*average"),
            (F, RANDLES[:-1], r"50 frequencies but 49 impedances"),
            (F.reshape(5, 10), RANDLES.reshape(5, 10), r"must be 1-D"),
            ([], [], r"empty"),
            (["a", "b"], [1, 2], r"frequencies must be real numbers"),
            (F, ["x"] * 50, r"impedances must be numbers"),
            (F + 0j, RANDLES, r"frequencies are complex"),
            (F, np.r_[RANDLES[:7], 0, RANDLES[8:]], r"exactly zero at index 7 \(at 0.1 Hz\).*keep = z != 0"),
            (np.r_[1e308, F[1:]], RANDLES, r"frequency 1e\+308 Hz at index 0 is too large.*2\*pi\*f overflows"),
            (F, np.r_[RANDLES[:-1], 1.5e308 - 1.5e308j], r"at index 49 is too large.*\|Z\| overflows"),
        ],
        ids=["nan-f", "inf-z", "zero-f", "negative-f", "repeated-f", "lengths", "2d", "empty",
             "text-f", "text-z", "complex-f", "zero-z", "huge-f", "huge-z"],
    )
    def test_bad_data(self, f: object, z: object, match: str) -> None:
        with pytest.raises(DataError, match=match):
            check_spectrum(f, z)  # type: ignore[arg-type]

    def test_fewer_points_than_parameters(self) -> None:
        check_spectrum(F[:5], RANDLES[:5], n_params=5)
        with pytest.raises(DataError, match="4 points for 5 parameters.*fix some parameters"):
            check_spectrum(F[:4], RANDLES[:4], n_params=5)
        with pytest.raises(TypeError):
            check_spectrum(F, RANDLES, n_params=2.5)  # type: ignore[arg-type]

    def test_data_error_is_a_value_error(self) -> None:
        assert issubclass(DataError, ValueError)
        assert issubclass(DataWarning, UserWarning)


class TestFlippedSign:
    @pytest.mark.parametrize("name", INSTRUMENT_FILES)
    def test_instrument_files_as_exported_do_not_warn(self, name: str) -> None:
        f, z = load(name)
        with warnings.catch_warnings():
            warnings.simplefilter("error", DataWarning)
            check_spectrum(f, z)

    @pytest.mark.parametrize("name", INSTRUMENT_FILES)
    def test_instrument_files_with_the_sign_flipped_warn(self, name: str) -> None:
        f, z = load(name)
        if name == "exampleDataParstat.txt":
            # a battery whose upper third is inductive: flipped, a third of
            # the points look capacitive, and the rule stays silent on
            # purpose (a real low-frequency inductive loop looks like this)
            with warnings.catch_warnings():
                warnings.simplefilter("error", DataWarning)
                check_spectrum(f, np.conj(z))
            return
        with pytest.warns(DataWarning, match="sign looks flipped.*z.conjugate"):
            check_spectrum(f, np.conj(z))
        with warnings.catch_warnings():
            warnings.simplefilter("error", DataWarning)
            check_spectrum(f, np.conj(z), check_sign=False)

    def test_genuinely_inductive_spectra_do_not_warn(self) -> None:
        w = 2 * np.pi * F
        coil = 0.05 + 1j * w * 1e-6  # inductive everywhere, peaking at the top
        # a low-frequency inductive loop (R || L, as in corrosion or batteries)
        # beside the capacitive arc
        loop = RANDLES + (15.0 * 1j * w * 7.5) / (15.0 + 1j * w * 7.5)
        assert np.all(coil.imag > 0)
        assert np.all(loop.imag[F < 0.3] > 0)
        with warnings.catch_warnings():
            warnings.simplefilter("error", DataWarning)
            check_spectrum(F, coil)
            check_spectrum(F, loop)

    @pytest.mark.parametrize("order", ["rising", "falling", "shuffled"])
    def test_the_verdict_does_not_depend_on_point_order(self, order: str) -> None:
        # sorted spectra are settled in one compiled pass, shuffled ones by
        # the full checks: both must come to the same verdict
        idx = {"rising": np.arange(F.size), "falling": np.arange(F.size)[::-1],
               "shuffled": np.random.default_rng(3).permutation(F.size)}[order]
        z = 20.0 + 1.0 / ((2j * np.pi * F) ** 0.93 * 1e-4)
        with pytest.warns(DataWarning, match="flipped"):
            check_spectrum(F[idx], np.conj(z)[idx])
        for inductive in (5, 6):  # the rule's floor of sign-carrying points
            part = np.r_[np.conj(z[:inductive]), z[inductive:]]
            with warnings.catch_warnings():
                warnings.simplefilter("error", DataWarning)
                f_out, z_out = check_spectrum(F[idx], part[idx])
            np.testing.assert_array_equal(z_out, part[idx])

    def test_flipped_blocking_electrode_warns(self) -> None:
        z = 20.0 + 1.0 / ((2j * np.pi * F) ** 0.93 * 1e-4)
        with pytest.warns(DataWarning, match="flipped"):
            check_spectrum(F, np.conj(z))


class TestWhatTheGuessCannotUse:
    """Spectra the checks pass must give a finite learned guess and a fit with finite values."""

    @pytest.mark.parametrize("scale", [1e-300, 1e-150, 1.0, 1e150, 1e300])
    def test_passing_spectra_guess_finite(self, scale: float) -> None:
        import zetrion

        c = zetrion.Circuit("randles")
        f, z = check_spectrum(F, RANDLES * scale, n_params=5)
        guess = c.guess(f, z)
        assert np.all(np.isfinite(guess))

    @pytest.mark.parametrize(
        ("f", "z", "core"),
        [
            (F, np.r_[RANDLES[:7], 0, RANDLES[8:]], r"impedance 0 \+ 0j ohm at index 7 cannot be used for a guess"),
            (np.r_[1e308, F[1:]], RANDLES, r"frequency 1e308 Hz at index 0 cannot be used.*overflows"),
        ],
    )
    def test_refused_before_the_fit_and_never_nan_from_the_core(self, f, z, core) -> None:
        import zetrion

        from zetrion_tools import fit

        with pytest.raises(DataError):
            fit("randles", f, z)  # used to be SciPy's "Initial guess is outside of provided bounds"
        c = zetrion.Circuit("randles")
        with pytest.raises(ValueError, match=core):
            c.guess(f, z)
        with pytest.raises(ValueError, match=core):
            c.fit(f, z)  # used to end with success False and NaN values
