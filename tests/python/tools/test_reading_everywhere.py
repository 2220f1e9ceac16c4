"""One reading of spectra: the same column names understood by the reader, the
companion's fit, Lin-KK, fit_many and the command line; --format; the
reader's warnings carried to fit_many's rows; the start-rule warnings."""

from __future__ import annotations

import re
import warnings

import numpy as np
import pandas as pd
import pytest

import zetrion
import zetrion_tools as zt
from zetrion_tools import cli
from zetrion_tools.checks import DataError
from zetrion_tools.io import ReadError

from instrument_data import DATA

NOTATION = "R0-(R1,CPE1)"
VALUES = [10.0, 100.0, 1e-4, 0.9]
START = dict(zip(zetrion.Circuit(NOTATION).param_names(), [9.0, 90.0, 2e-4, 0.85]))
F = np.geomspace(1e4, 0.1, 30)
Z = zetrion.Circuit(NOTATION).with_values(VALUES).impedance(F)


def module_frame_names() -> list[str]:
    """The column names zetrion.Circuit.fit reads from a data frame, as its own messages list them."""
    said = []
    for frame in ({}, {"frequency_hertz": [1.0]}):
        with pytest.raises(ValueError) as info:
            zetrion.Circuit("R0").fit(frame)
        said.append(str(info.value))
    names = re.findall(r'"([^"]+)"', " ".join(said))
    assert len(names) == 10, names  # five quantities, two names each
    return names


def layouts() -> dict[str, dict[str, np.ndarray]]:
    """Column layouts, each holding the spectrum F, Z."""
    names = module_frame_names()
    freq, real, imag, absolute, phase = (names[k : k + 2] for k in range(0, 10, 2))
    deg = np.degrees(np.angle(Z))
    out: dict[str, dict[str, np.ndarray]] = {}
    for k, style in enumerate(("label", "identifier")):
        out[f"module {style}, parts"] = {freq[k]: F, real[k]: Z.real, imag[k]: Z.imag}
        out[f"module {style}, polar"] = {freq[k]: F, absolute[k]: np.abs(Z), phase[k]: deg}
    out["EC-Lab names"] = {"freq/Hz": F, "Re(Z)/Ohm": Z.real, "-Im(Z)/Ohm": -Z.imag}
    out["Gamry names"] = {"Freq": F, "Zreal": Z.real, "Zimag": Z.imag}
    out["NOVA names, kilo units"] = {"Frequency (kHz)": F / 1e3, "Z' (k\u03a9)": Z.real / 1e3, "-Z'' (k\u03a9)": -Z.imag / 1e3}
    out["snake case with units"] = {"frequency_hz": F, "z_real_ohm": Z.real, "z_imag_ohm": Z.imag}
    out["spaced, polar"] = {"Frequency [Hz]": F, "|Z| [Ohm]": np.abs(Z), "Phase angle (deg)": deg}
    return out


LAYOUTS = layouts()


@pytest.mark.parametrize("layout", list(LAYOUTS))
class TestEveryEntryPoint:
    def test_file_and_frame_read_alike(self, layout, tmp_path):
        frame = pd.DataFrame(LAYOUTS[layout])
        path = tmp_path / "spectrum.csv"
        frame.to_csv(path, index=False)
        s = zt.read(path)
        np.testing.assert_allclose(s.frequencies, F, rtol=1e-12)
        np.testing.assert_allclose(s.impedance, Z, rtol=1e-9)
        for data in (frame, LAYOUTS[layout], s):
            f, z = zt.check_spectrum(data)
            np.testing.assert_allclose(f, F, rtol=1e-12)
            np.testing.assert_allclose(z, Z, rtol=1e-9)

    def test_fit_linkk_and_fit_many(self, layout, tmp_path):
        frame = pd.DataFrame(LAYOUTS[layout])
        reference = zt.fit(NOTATION, F, Z, start=START)
        res = zt.fit(NOTATION, frame, start=START)
        assert res.params == pytest.approx(reference.params, rel=1e-6)
        kk = zt.linkk(frame)
        np.testing.assert_allclose(kk.z_fit, zt.linkk(F, Z).z_fit, rtol=1e-9)
        circuit = zetrion.Circuit(NOTATION).with_values([9.0, 90.0, 2e-4, 0.85])
        table = zt.fit_many(circuit, [frame, LAYOUTS[layout], (F, Z)], threads=1, progress=False)
        assert table["success"].all() and (table["message"] == "").all()
        for name in circuit.param_names():
            assert table[name].to_numpy() == pytest.approx([table[name].iloc[2]] * 3, rel=1e-9)

    def test_long_form_frame_of_several_spectra(self, layout):
        one = pd.DataFrame(LAYOUTS[layout])
        long = pd.concat([one.assign(spectrum_id="a"), one.assign(spectrum_id="b")], ignore_index=True)
        split = zt.batch.frame_to_spectra(long)
        assert [sid for sid, _, _ in split] == ["a", "b"]
        for _, f, z in split:
            np.testing.assert_allclose(f, F, rtol=1e-12)
            np.testing.assert_allclose(z, Z, rtol=1e-9)
        circuit = zetrion.Circuit(NOTATION).with_values([9.0, 90.0, 2e-4, 0.85])
        table = zt.fit_many(circuit, long, threads=1, progress=False)
        assert table["id"].tolist() == ["a", "b"] and table["R1.r"].to_numpy() == pytest.approx([100.0] * 2, rel=1e-6)

    def test_command_line(self, layout, tmp_path):
        frame = pd.DataFrame(LAYOUTS[layout])
        path = tmp_path / "spectrum.csv"
        frame.to_csv(path, index=False)
        out = tmp_path / "fit.csv"
        assert cli.main(["fit", str(path), "-c", "randles", "-o", str(out), "-q", "--strict"]) == 0
        assert pd.read_csv(out)["n_points"].tolist() == [F.size]


class TestErrors:
    def test_unrecognised_columns_are_named(self):
        frame = pd.DataFrame({"time": F, "a": Z.real, "b": Z.imag})
        for call in (lambda: zt.fit(NOTATION, frame), lambda: zt.linkk(frame), lambda: zt.check_spectrum(frame)):
            with pytest.raises(DataError, match="'time', 'a', 'b'"):
                call()
        with pytest.raises(DataError, match="no impedances"):
            zt.fit(NOTATION, F)
        row = zt.fit_many(NOTATION, [frame], threads=1, progress=False, guess_init=False)
        assert not row["success"][0] and "'time'" in row["message"][0]

    def test_a_unit_that_is_not_understood(self):
        frame = pd.DataFrame({"Frequency (Hz)": F, "Z' (Ohm m)": Z.real, "Z'' (Ohm m)": Z.imag})
        with pytest.raises(DataError, match="not an impedance unit"):
            zt.check_spectrum(frame)


class TestFormatOption:
    def test_forces_the_reader(self, tmp_path, capsys):
        # a CSV export under a ZPlot extension: recognised as ZPlot by its name
        path = tmp_path / "export.z"
        pd.DataFrame(LAYOUTS["Gamry names"]).to_csv(path, index=False)
        out = tmp_path / "fit.csv"
        assert cli.main(["fit", str(path), "-c", NOTATION, "-o", str(out), "-q", "--format", "delimited"]) == 0
        row = pd.read_csv(out).iloc[0]
        assert row["format"] == "delimited" and row["success"] and row["R1.r"] == pytest.approx(100.0, rel=1e-6)
        checked = tmp_path / "check.csv"
        assert cli.main(["check", str(path), "-q", "--format", "delimited", "-o", str(checked)]) == 0
        row = pd.read_csv(checked).iloc[0]
        assert row["format"] == "delimited" and row["n_points"] == F.size
        drt_out = tmp_path / "drt.csv"
        assert cli.main(["drt", str(path), "-q", "--format", "delimited", "-o", str(drt_out)]) == 0
        assert pd.read_csv(drt_out)["message"].isna().all()
        # the same file forced to another format is that file's failed row
        cli.main(["fit", str(path), "-c", NOTATION, "-o", str(out), "-q", "--format", "gamry"])
        assert not pd.read_csv(out)["success"][0]

    def test_unknown_format_is_a_usage_error(self, tmp_path):
        path = tmp_path / "a.csv"
        pd.DataFrame(LAYOUTS["Gamry names"]).to_csv(path, index=False)
        assert cli.main(["check", str(path), "--format", "excel"]) == 2

    def test_the_reader_suggests_only_what_exists(self, tmp_path, capsys):
        path = tmp_path / "notes.txt"
        path.write_text("nothing to see\n1 2 3\n")
        with pytest.raises(ReadError) as info:
            zt.read(path)
        text = str(info.value)
        options = re.findall(r"--[a-z][a-z-]+", text)
        assert "--format" in options and "format=" in text
        for command in ("fit", "check", "drt", "suggest"):
            capsys.readouterr()
            try:
                cli.main([command, "--help"])
            except SystemExit:
                pass
            shown = capsys.readouterr().out
            assert all(option in shown for option in options), command


class TestReaderWarningsTravel:
    def test_an_aborted_sweep_reaches_the_batch_row(self):
        with pytest.warns(zt.io.ReadWarning) as caught:
            s = zt.read(DATA / "exampleDataGamryABORT.DTA")
        said = [str(w.message) for w in caught]
        assert s.metadata["warnings"] == said
        table = zt.fit_many("randles", [s], threads=1, progress=False)
        assert all(text in table["message"][0] for text in said)
        clean = zt.read(DATA / "exampleDataGamry.DTA")
        assert "warnings" not in clean.metadata
        assert zt.fit_many("randles", [clean], threads=1, progress=False)["message"][0] == ""

    def test_a_cut_off_csv(self, tmp_path):
        path = tmp_path / "cut.csv"
        text = pd.DataFrame(LAYOUTS["EC-Lab names"]).to_csv(index=False)
        path.write_text(text[: text.rstrip().rfind(",") + 1])  # the last row stops inside
        with pytest.warns(zt.io.ReadWarning, match="incomplete"):
            s = zt.read(path)
        row = zt.fit_many(zetrion.Circuit(NOTATION).with_values(VALUES), [s], threads=1, progress=False)
        assert "incomplete" in row["message"][0] and row["success"][0]


class TestStartWarnings:
    def test_every_start_value_given_means_no_warning(self):
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            zt.fit("R0-(R1,C1)-W2", F, Z, start={"R0.r": 10.0, "R1.r": 90.0, "C1.c": 1e-4, "W2.aw": 5.0})

    def test_no_model_warnings_say_how_to_get_one(self):
        with pytest.warns(UserWarning) as caught:
            zt.fit_many("R0-(R1,C1)-W2", [(F, Z)], threads=1, progress=False)
        text = " ".join(str(w.message) for w in caught)
        assert "zetrion-train" in text and "weights=" in text
        with pytest.warns(UserWarning, match="zetrion-train.*weights="):
            zt.fit("R0-(R1,C1)-W2", F, Z, n_starts=1)
