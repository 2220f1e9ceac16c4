"""Instrument-file and delimited-text readers, checked against impedance.py's reader."""

from __future__ import annotations

import warnings
from pathlib import Path

import numpy as np
import pytest

from zetrion_tools.io import ReadError, ReadWarning, Spectrum, detect_format, read, read_delimited

from instrument_data import DATA

# file -> impedance.py's instrument name (which is also our format name)
FILES = {
    "exampleDataGamry.DTA": "gamry",
    "exampleDataGamryABORT.DTA": "gamry",
    "exampleDataBioLogic.mpt": "biologic",
    "exampleDataAutolab.txt": "autolab",
    "exampleDataCHInstruments.txt": "chinstruments",
    "exampleDataParstat.txt": "parstat",
    "exampleDataPowersuite.txt": "powersuite",
    "exampleDataVersaStudio.par": "versastudio",
    "exampleDataZPlot.z": "zplot",
    "exampleDataZPlot_noComments.z": "zplot",
    "Circuit2_EIS_1.z": "zplot",
    "Circuit3_EIS_1.z": "zplot",
}


def quiet_read(path: Path, **kwargs: object) -> Spectrum:
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ReadWarning)
        return read(path, **kwargs)  # type: ignore[arg-type]


@pytest.mark.parametrize("name", sorted(FILES))
def test_every_instrument_file_matches_impedance_py(name: str) -> None:
    from impedance.preprocessing import readFile

    f_ref, z_ref = readFile(str(DATA / name), instrument=FILES[name])
    s = quiet_read(DATA / name)
    assert s.format == FILES[name]
    assert s.path == DATA / name
    assert s.frequencies.dtype == np.float64 and s.impedance.dtype == np.complex128
    assert s.frequencies.shape == f_ref.shape
    np.testing.assert_allclose(s.frequencies, f_ref, rtol=1e-12, atol=0)
    # impedance.py also returns Z'' with the capacitive sign (it negates
    # BioLogic's -Im(Z) column), so the two agree point for point
    np.testing.assert_allclose(s.impedance.real, z_ref.real, rtol=1e-12, atol=0)
    np.testing.assert_allclose(s.impedance.imag, z_ref.imag, rtol=1e-12, atol=0)
    # forcing the format gives the same result as recognising it
    forced = quiet_read(DATA / name, format=FILES[name])
    np.testing.assert_array_equal(forced.impedance, s.impedance)


def test_recognition_is_by_content_not_extension(tmp_path: Path) -> None:
    for name, fmt in FILES.items():
        copy = tmp_path / (name.replace(".", "_") + ".dat")
        copy.write_bytes((DATA / name).read_bytes())
        assert quiet_read(copy).format == fmt, name


def test_metadata_carried_by_the_files() -> None:
    gamry = quiet_read(DATA / "exampleDataGamry.DTA")
    assert gamry.metadata["date"] == "4/23/2018"
    assert gamry.metadata["time"] == "16:43:15"
    assert gamry.metadata["instrument"] == "REF3000-34128"
    assert gamry.metadata["area_cm2"] == 1.0
    assert gamry.metadata["ac_amplitude_mV_rms"] == 10.0
    assert gamry.metadata["aborted"] is False
    assert "Zreal" in gamry.metadata["columns"]

    bio = quiet_read(DATA / "exampleDataBioLogic.mpt")
    assert bio.metadata["area_cm2"] == 0.001
    assert bio.metadata["date"] == "02/04/2018"
    assert bio.metadata["instrument"].startswith("SP-150")
    assert bio.metadata["cycles"] == 1

    versa = quiet_read(DATA / "exampleDataVersaStudio.par")
    assert versa.metadata["instrument"].startswith("VersaSTAT4")
    assert versa.metadata["serial"] == "16334007"
    assert versa.metadata["area_cm2"] == 1.0
    assert versa.metadata["date"] == "Thursday, July 19, 2018"

    chi = quiet_read(DATA / "exampleDataCHInstruments.txt")
    assert chi.metadata["instrument"] == "CHI660E"
    assert chi.metadata["date"] == "Feb. 20, 2020"

    zplot = quiet_read(DATA / "Circuit2_EIS_1.z")
    assert zplot.metadata["date"] == "10-12-2018"
    assert zplot.metadata["points_expected"] == len(zplot) == 56

    parstat = quiet_read(DATA / "exampleDataParstat.txt")
    assert parstat.metadata["dc_rows_skipped"] > 0
    assert np.all(parstat.frequencies > 0)


class TestBrokenFiles:
    def test_missing_frequency_column_is_a_clear_error(self) -> None:
        with pytest.raises(ReadError, match=r"no frequency column.*freq/Hz"):
            read(DATA / "exampleDataBioLogic_MissingFreq.mpt")

    def test_aborted_gamry_run_reads_what_was_measured_and_warns(self) -> None:
        from impedance.preprocessing import readFile

        with pytest.warns(ReadWarning, match="aborted"):
            s = read(DATA / "exampleDataGamryABORT.DTA")
        f_ref, _ = readFile(str(DATA / "exampleDataGamryABORT.DTA"), instrument="gamry")
        assert s.metadata["aborted"] is True
        assert len(s) == f_ref.size
        # the sweep was meant to reach 1 mHz
        assert s.frequencies.min() > s.metadata["frequency_final_Hz"]

    def test_zplot_files_that_end_before_the_announced_count_warn(self) -> None:
        with pytest.warns(ReadWarning, match="21 points measured of 56"):
            s = read(DATA / "exampleDataZPlot.z")
        assert len(s) == 21

    def test_file_cut_off_inside_a_row(self, tmp_path: Path) -> None:
        text = (DATA / "exampleDataGamry.DTA").read_text(encoding="latin-1")
        table = text.index("ZCURVE")
        cut = text[: text.index("\n\t40\t", table) + 13]  # a few fields of point 40
        path = tmp_path / "cut.DTA"
        path.write_text(cut, encoding="latin-1")
        with pytest.warns(ReadWarning, match="incomplete"):
            s = read(path)
        full = quiet_read(DATA / "exampleDataGamry.DTA")
        assert len(s) == 40
        np.testing.assert_array_equal(s.impedance, full.impedance[:40])

    def test_non_numeric_cell_names_line_and_column(self, tmp_path: Path) -> None:
        lines = (DATA / "exampleDataGamry.DTA").read_text(encoding="latin-1").splitlines()
        k = next(i for i, ln in enumerate(lines) if ln.startswith("ZCURVE")) + 8
        fields = lines[k].split("\t")
        fields[4] = "n/a"  # Zreal
        lines[k] = "\t".join(fields)
        path = tmp_path / "bad.DTA"
        path.write_text("\n".join(lines), encoding="latin-1")
        with pytest.raises(ReadError, match=rf"line {k + 1}: Zreal cell 'n/a' is not a number"):
            read(path)

    @pytest.mark.parametrize(
        "content",
        [b"", b"hello\nworld\n", b"1,2,3\n4,5,6\n", b"\x00\x01binary\x00" * 10],
        ids=["empty", "prose", "headerless", "binary"],
    )
    def test_unrecognised_content(self, tmp_path: Path, content: bytes) -> None:
        path = tmp_path / "x.csv"
        path.write_bytes(content)
        with pytest.raises(ReadError):
            read(path)

    def test_wrong_forced_format_and_bad_options(self) -> None:
        with pytest.raises(ReadError):
            read(DATA / "exampleDataGamry.DTA", format="biologic")
        with pytest.raises(ReadError, match="unknown format"):
            read(DATA / "exampleDataGamry.DTA", format="eclab")
        with pytest.raises(ReadError, match="negative_imag applies to delimited text"):
            read(DATA / "exampleDataGamry.DTA", negative_imag=True)

    def test_header_only_file(self, tmp_path: Path) -> None:
        path = tmp_path / "h.csv"
        path.write_text("freq,Re(Z),Im(Z)\n")
        with pytest.raises(ReadError, match="no impedance data"):
            read(path)


class TestDelimitedText:
    f = np.logspace(-1, 5, 25)
    z = 5.0 + 80.0 / (1.0 + (2j * np.pi * f * 1e-3) ** 0.9)

    def write(self, tmp_path: Path, header: str, rows: list[str], name: str = "d.txt") -> Path:
        path = tmp_path / name
        path.write_text(header + "\n" + "\n".join(rows) + "\n", encoding="utf-8")
        return path

    def test_impedance_py_savecsv_round_trip(self, tmp_path: Path) -> None:
        from impedance.preprocessing import saveCSV

        saveCSV(str(tmp_path / "s"), self.f, self.z)
        s = read(tmp_path / "s.csv")
        assert s.format == "delimited"
        np.testing.assert_allclose(s.frequencies, self.f, rtol=1e-15)
        np.testing.assert_allclose(s.impedance, self.z, rtol=1e-15)

    def test_negated_imaginary_column_named_in_header(self, tmp_path: Path) -> None:
        rows = [f"{a:.17g}\t{b.real:.17g}\t{-b.imag:.17g}" for a, b in zip(self.f, self.z)]
        s = read(self.write(tmp_path, "Frequency (Hz)\tZ' (Ω)\t-Z'' (Ω)", rows))
        np.testing.assert_allclose(s.impedance, self.z, rtol=1e-15)
        assert s.metadata["imag_column_negated"] is True

    def test_units_semicolons_and_decimal_commas(self, tmp_path: Path) -> None:
        rows = [
            f"{a / 1e3:.12e};{b.real / 1e3:.12e};{b.imag / 1e3:.12e}".replace(".", ",")
            for a, b in zip(self.f, self.z)
        ]
        s = read(self.write(tmp_path, "f / kHz;Zre / kOhm;Zim / kOhm", rows, "eu.csv"))
        np.testing.assert_allclose(s.frequencies, self.f, rtol=1e-11)
        np.testing.assert_allclose(s.impedance, self.z, rtol=1e-11)

    def test_modulus_and_phase(self, tmp_path: Path) -> None:
        rows = [
            f"{a:.17g},{abs(b):.17g},{np.degrees(np.angle(b)):.17g}" for a, b in zip(self.f, self.z)
        ]
        s = read(self.write(tmp_path, "freq,|Z| (ohm),Phase (deg)", rows, "p.csv"))
        np.testing.assert_allclose(s.impedance, self.z, rtol=1e-13)
        rows = [f"{a:.17g},{abs(b):.17g},{-np.angle(b):.17g}" for a, b in zip(self.f, self.z)]
        s = read(self.write(tmp_path, "freq,Zmod,-Phase (rad)", rows, "q.csv"))
        np.testing.assert_allclose(s.impedance, self.z, rtol=1e-13)

    def test_angular_frequency_and_whitespace(self, tmp_path: Path) -> None:
        rows = [f"{2 * np.pi * a:.17g}   {b.real:.17g}  {b.imag:.17g}" for a, b in zip(self.f, self.z)]
        s = read(self.write(tmp_path, "# omega/rad/s  Zreal  Zimag", rows, "w.dat"))
        np.testing.assert_allclose(s.frequencies, self.f, rtol=1e-14)
        np.testing.assert_allclose(s.impedance, self.z, rtol=1e-15)

    def test_stated_sign_convention_and_flip_warning(self, tmp_path: Path) -> None:
        rows = [f"{a:.17g},{b.real:.17g},{-b.imag:.17g}" for a, b in zip(self.f, self.z)]
        path = self.write(tmp_path, "freq,Z',Z''", rows, "neg.csv")
        with pytest.warns(ReadWarning, match="negative_imag=True"):
            flipped = read(path)
        np.testing.assert_allclose(flipped.impedance, np.conj(self.z), rtol=1e-15)
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            s = read_delimited(path, negative_imag=True)
            plain = read(self.write(tmp_path, "freq,Z',Z''", [
                f"{a:.17g},{b.real:.17g},{b.imag:.17g}" for a, b in zip(self.f, self.z)
            ], "pos.csv"))
        np.testing.assert_allclose(s.impedance, self.z, rtol=1e-15)
        np.testing.assert_allclose(plain.impedance, self.z, rtol=1e-15)

    def test_nova_style_export(self, tmp_path: Path) -> None:
        # Autolab NOVA: semicolons, decimal commas, Ω and ° units, -Z'' and
        # -Phase beside each other; the real/imaginary pair wins
        rows = [
            f"{k};{a:.10e};{b.real:.10e};{-b.imag:.10e};{abs(b):.10e};"
            f"{-np.degrees(np.angle(b)):.10e};{k * 0.5}".replace(".", ",")
            for k, (a, b) in enumerate(zip(self.f, self.z))
        ]
        header = "Index;Frequency (Hz);Z' (Ω);-Z'' (Ω);Z (Ω);-Phase (°);Time (s)"
        path = self.write(tmp_path, header, rows, "nova.txt")
        s = read(path)
        np.testing.assert_allclose(s.impedance, self.z, rtol=1e-9)
        assert read(path, format="autolab").format == "autolab"

    def test_blank_separated_header_with_units_and_misaligned_rows(self, tmp_path: Path) -> None:
        rows = [f"{a:.17g}   {b.real:.17g}   {b.imag:.17g}" for a, b in zip(self.f, self.z)]
        s = read(self.write(tmp_path, "Frequency (Hz)   Zre (kohm)   Zim (kohm)", rows, "ws.dat"))
        np.testing.assert_allclose(s.impedance, 1e3 * self.z, rtol=1e-15)
        # a row with more fields than the header names cannot be mapped
        # to columns: refuse rather than guess
        rows[2] += "   7"
        with pytest.raises(ReadError, match="line 4: 4 fields under a header of 3 columns"):
            read(self.write(tmp_path, "f Z' Z''", rows, "ws2.dat"))

    def test_ec_lab_column_names_outside_an_ec_lab_file(self, tmp_path: Path) -> None:
        # EC-Lab's column names in a comma- or semicolon-separated file (a
        # re-export, or a script copying EC-Lab's naming) are plain delimited
        # text; the minus in '-Im(Z)/Ohm' states that the column holds -Z''
        neg = [f"{a:.17g},{b.real:.17g},{-b.imag:.17g}" for a, b in zip(self.f, self.z)]
        pos = [f"{a:.17g},{b.real:.17g},{b.imag:.17g}" for a, b in zip(self.f, self.z)]
        cases = [
            ("freq/Hz,Re(Z)/Ohm,-Im(Z)/Ohm", neg, "neg.csv", True),
            ("freq/Hz,Re(Z)/Ohm,Im(Z)/Ohm", pos, "pos.csv", False),
            # EC-Lab's name on a file it did not write
            ("freq/Hz,Re(Z)/Ohm,-Im(Z)/Ohm", neg, "named.mpt", True),
            (
                "freq/Hz;Re(Z)/Ohm;-Im(Z)/Ohm",
                [r.replace(",", ";").replace(".", ",") for r in neg],
                "eu.txt",
                True,
            ),
        ]
        for header, rows, name, negated in cases:
            with warnings.catch_warnings():
                warnings.simplefilter("error")
                s = read(self.write(tmp_path, header, rows, name))
            assert s.format == "delimited", name
            assert s.metadata["imag_column_negated"] is negated, name
            np.testing.assert_allclose(s.frequencies, self.f, rtol=1e-15)
            np.testing.assert_allclose(s.impedance, self.z, rtol=1e-15)

    def test_ec_lab_export_without_its_header_block_stays_biologic(self, tmp_path: Path) -> None:
        # EC-Lab can leave out its header block; the tab-separated column
        # line alone still identifies the export
        rows = [
            f"{a:.17g}\t{b.real:.17g}\t{-b.imag:.17g}\t1".replace(".", ",")
            for a, b in zip(self.f, self.z)
        ]
        path = self.write(tmp_path, "freq/Hz\tRe(Z)/Ohm\t-Im(Z)/Ohm\tcycle number", rows, "bare.txt")
        assert detect_format(path.read_text()) == "biologic"
        s = read(path)
        assert s.format == "biologic" and s.metadata["cycles"] == 1
        np.testing.assert_allclose(s.impedance, self.z, rtol=1e-15)

    def test_missing_column_and_bad_cells(self, tmp_path: Path) -> None:
        rows = [f"{a:.17g},{b.real:.17g}" for a, b in zip(self.f, self.z)]
        with pytest.raises(ReadError, match="no header line naming"):
            read(self.write(tmp_path, "freq,Z'", rows, "m.csv"))
        rows = [f"{a:.17g},{b.real:.17g},{b.imag:.17g}" for a, b in zip(self.f, self.z)]
        rows[3] = "1e3,abc,2"
        with pytest.raises(ReadError, match="line 5"):
            read(self.write(tmp_path, "freq,Z',Z''", rows, "b.csv"))
        with pytest.raises(ReadError, match="unit 'ohm m'"):
            read(self.write(tmp_path, "freq,Z' (ohm m),Z'' (ohm m)", rows[:2], "u.csv"))


def test_damaged_files_fail_only_with_read_errors(tmp_path: Path) -> None:
    # truncations, overwritten bytes, deleted lines and stray separators in
    # real exports: a reader may read them or refuse them, but only with
    # ReadError (a ValueError), never another exception
    import random

    rng = random.Random(12)
    sources = [DATA / name for name in FILES] + [DATA / "exampleDataBioLogic_MissingFreq.mpt"]
    for trial in range(300):
        src = rng.choice(sources)
        data = bytearray(src.read_bytes())
        kind = trial % 4
        if kind == 0:
            data = data[: rng.randrange(len(data))]
        elif kind == 1:
            for _ in range(rng.randrange(1, 20)):
                data[rng.randrange(len(data))] = rng.randrange(32, 127)
        elif kind == 2:
            lines = bytes(data).split(b"\n")
            del lines[rng.randrange(len(lines))]
            data = bytearray(b"\n".join(lines))
        else:
            for _ in range(rng.randrange(1, 6)):
                data[rng.randrange(len(data))] = rng.choice(b'\t,;\r\n"-eE.')
        path = tmp_path / f"damaged{src.suffix}"
        path.write_bytes(bytes(data))
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", ReadWarning)
                s = read(path)
        except ReadError:
            continue
        assert s.frequencies.shape == s.impedance.shape and len(s) > 0


def test_spectrum_frame_and_validation() -> None:
    s = quiet_read(DATA / "exampleDataBioLogic.mpt")
    frame = s.to_frame()
    assert list(frame.columns) == [
        "frequency_Hz", "z_real_ohm", "z_imag_ohm", "z_modulus_ohm", "phase_deg"
    ]
    assert len(frame) == len(s)
    np.testing.assert_array_equal(frame["z_imag_ohm"].to_numpy(), s.impedance.imag)
    assert frame.attrs["format"] == "biologic"
    assert "SP-150" in repr(frame.attrs["metadata"]["instrument"])
    with pytest.raises(ValueError, match="equal length"):
        Spectrum(np.ones(3), np.ones(2, complex))


class TestColumnNames:
    """One spectrum written under every common header reads to the same values."""

    f = np.logspace(-2, 4, 31)
    z = 0.02 + 0.05 / (1.0 + (2j * np.pi * f * 0.3) ** 0.85)

    def rows(self, polar: bool, sep: str = ",") -> list[str]:
        if polar:
            return [
                f"{a:.17g}{sep}{abs(b):.17g}{sep}{np.degrees(np.angle(b)):.17g}"
                for a, b in zip(self.f, self.z)
            ]
        return [f"{a:.17g}{sep}{b.real:.17g}{sep}{b.imag:.17g}" for a, b in zip(self.f, self.z)]

    @pytest.mark.parametrize(
        "header, polar",
        [
            ("Frequency / Hz,Real Impedance / ohm,Imaginary Impedance / ohm", False),
            ("frequency_hertz,real_impedance_ohm,imaginary_impedance_ohm", False),
            ("Frequency / Hz,Absolute Impedance / ohm,Phase / deg", True),
            ("frequency_hertz,absolute_impedance_ohm,phase_degree", True),
            ("Freq (Hz),|Z| (Ω),Phase (°)", True),
            ("frequency,impedance_modulus_ohm,phase_deg", True),
            ("f_hz,z_real_ohm,z_imag_ohm", False),
            ("Frequency (Hz),Z' (Ohm),Z'' (Ohm)", False),
        ],
    )
    def test_every_layout_reads_the_same_values(self, tmp_path: Path, header: str, polar: bool) -> None:
        path = tmp_path / "s.csv"
        path.write_text(header + "\n" + "\n".join(self.rows(polar)) + "\n", encoding="utf-8")
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            s = read(path)
        np.testing.assert_allclose(s.frequencies, self.f, rtol=1e-15)
        np.testing.assert_allclose(s.impedance, self.z, rtol=1e-13)

    def test_the_example_battery_file_and_its_frame_agree(self) -> None:
        import pandas as pd

        path = Path(__file__).resolve().parents[3] / "examples" / "data" / "battery_cell.csv"
        s = read(path)
        frame = pd.read_csv(path)
        np.testing.assert_array_equal(s.frequencies, frame["Frequency / Hz"].to_numpy())
        np.testing.assert_array_equal(s.impedance.real, frame["Real Impedance / ohm"].to_numpy())
        np.testing.assert_array_equal(s.impedance.imag, frame["Imaginary Impedance / ohm"].to_numpy())

    def test_unit_suffixes_scale_and_ambiguous_ones_are_refused(self, tmp_path: Path) -> None:
        path = tmp_path / "k.csv"
        rows = [f"{a / 1e3:.17g},{b.real / 1e3:.17g},{b.imag / 1e3:.17g}" for a, b in zip(self.f, self.z)]
        path.write_text("frequency_khz,real_impedance_kohm,imaginary_impedance_kohm\n" + "\n".join(rows) + "\n")
        s = read(path)
        np.testing.assert_allclose(s.frequencies, self.f, rtol=1e-14)
        np.testing.assert_allclose(s.impedance, self.z, rtol=1e-14)
        # 'mhz' in lower case could be milli- or megahertz
        path.write_text("Frequency (mhz),Zre,Zim\n1,2,-3\n2,2,-3\n")
        with pytest.raises(ReadError, match="frequency unit 'mhz'"):
            read(path)


class TestMultiSweep:
    path = DATA / "more" / "ex1.mpt"

    def test_each_cycle_is_its_own_spectrum(self) -> None:
        from zetrion_tools import read_all

        sweeps = read_all(self.path)
        assert [len(s) for s in sweeps] == [59, 59]
        assert [s.metadata["cycle"] for s in sweeps] == [1, 2]
        # both cycles sweep the same frequencies, downwards
        np.testing.assert_array_equal(sweeps[0].frequencies, sweeps[1].frequencies)
        assert np.all(np.diff(sweeps[0].frequencies) < 0)
        # the rows of the file, in order, split at the cycle change
        raw = [ln.split("\t") for ln in self.path.read_text(encoding="latin-1").splitlines()[61:]]
        f_all = np.array([float(r[0]) for r in raw])
        np.testing.assert_array_equal(np.concatenate([s.frequencies for s in sweeps]), f_all)
        assert sweeps[0].metadata["software"].startswith("EC-Lab")

    def test_read_returns_the_first_cycle_and_names_read_all(self) -> None:
        from zetrion_tools.io import read_all

        with pytest.warns(ReadWarning, match=r"2 sweeps; read cycle 1 .*read_all"):
            s = read(self.path)
        np.testing.assert_array_equal(s.impedance, read_all(self.path)[0].impedance)

    def test_single_sweep_files_give_a_list_of_one(self) -> None:
        from zetrion_tools.io import read_all

        for name in ("exampleDataBioLogic.mpt", "exampleDataGamry.DTA", "exampleDataVersaStudio.par"):
            sweeps = read_all(DATA / name)
            assert len(sweeps) == 1
            np.testing.assert_array_equal(sweeps[0].impedance, quiet_read(DATA / name).impedance)

    def test_versastudio_segments_are_sweeps(self, tmp_path: Path) -> None:
        from zetrion_tools.io import read_all

        text = (DATA / "exampleDataVersaStudio.par").read_text(encoding="latin-1")
        start = text.index("<Segment1>")
        stop = text.index("</Segment1>") + len("</Segment1>")
        second = text[start:stop].replace("Segment1", "Segment2")
        path = tmp_path / "two.par"
        path.write_text(text[:stop] + "\n" + second + text[stop:], encoding="latin-1")
        sweeps = read_all(path)
        assert [s.metadata["segment"] for s in sweeps] == ["Segment1", "Segment2"]
        assert [s.metadata["cycle"] for s in sweeps] == [1, 2]
        np.testing.assert_array_equal(sweeps[0].impedance, sweeps[1].impedance)
        with pytest.warns(ReadWarning, match="read_all"):
            read(path)


class TestMoreFormats:
    more = DATA / "more"

    def test_relaxis_export_matches_the_ec_lab_export_of_the_same_measurement(self) -> None:
        relaxis = read(self.more / "PEIS_LPSCl_IonBlocking_-25C_RelaxIS.txt")
        eclab = read(self.more / "PEIS_LPSCl_IonBlocking_-25C.txt")
        assert relaxis.format == "relaxis" and eclab.format == "biologic"
        assert relaxis.metadata["parameters"]["TM"] == 33.741076
        assert relaxis.metadata["name"].endswith("C01.mpr_1")
        # RelaxIS lists the points upwards in frequency, EC-Lab downwards;
        # both hold the instrument's single-precision values
        np.testing.assert_allclose(relaxis.frequencies[::-1], eclab.frequencies, rtol=1e-7)
        np.testing.assert_allclose(relaxis.impedance[::-1], eclab.impedance, rtol=1e-7)

    def test_relaxis_export_of_two_spectra(self, tmp_path: Path) -> None:
        from zetrion_tools.io import read_all

        lines = (self.more / "PEIS_LPSCl_IonBlocking_-25C_RelaxIS.txt").read_text().splitlines()
        second = [lines[3].replace("TM=33.741076", "TM=40")] + lines[4:]
        path = tmp_path / "two.txt"
        path.write_text("\n".join(lines + second) + "\n")
        sweeps = read_all(path)
        assert [s.metadata["parameters"]["TM"] for s in sweeps] == [33.741076, 40.0]
        np.testing.assert_array_equal(sweeps[0].impedance, sweeps[1].impedance)

    def test_gamry_galvanostatic_eis_matches_impedance_py(self) -> None:
        from impedance.preprocessing import readGamry

        s = read(self.more / "EISGALV_EISTest3.DTA")
        f_ref, z_ref = readGamry(str(self.more / "EISGALV_EISTest3.DTA"))
        assert s.metadata["technique"] == "GALVEIS" and len(s) == 71
        np.testing.assert_array_equal(s.frequencies, f_ref)
        np.testing.assert_array_equal(s.impedance, z_ref)
