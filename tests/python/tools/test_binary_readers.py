"""The binary readers: BioLogic EC-Lab .mpr and Zahner .ism.

The .mpr reader is checked against EC-Lab's own text export of the same
measurement (every column the export shows), against the relations between
the columns the file holds (which pin down the column IDs the export does
not show), and the .ism reader against Zahner's zahner_analysis where it is
installed. Damaged files (cut at every byte, random bytes changed, length
fields set to huge values) must end in a ReadError or read a subset of the
intact file's points, never in another exception. The quick profile samples;
the long one sweeps every byte:
    ZETRION_READER_FUZZ=long python3 -m pytest -q tools/test_binary_readers.py
"""

from __future__ import annotations

import os
import random
import struct
import warnings
from decimal import ROUND_HALF_UP, Decimal
from pathlib import Path

import numpy as np
import pytest

from zetrion_tools import cli
from zetrion_tools.io import ReadError, ReadWarning, Spectrum, SweepsWarning, read, read_all

from instrument_data import DATA

LONG = os.environ.get("ZETRION_READER_FUZZ", "") == "long"
BIN = DATA / "binary"
V1150 = BIN / "v1150_PEIS.mpr"
LPSCL = BIN / "PEIS_LPSCl_IonBlocking_-25C.mpr"
LPSCL_EXPORT = DATA / "more" / "PEIS_LPSCl_IonBlocking_-25C.txt"
MPR = [V1150, LPSCL]
ISM = sorted((BIN / "zahner").glob("*.ism"))
DATA_MODULE = 0x1AD0  # where both files' data module header starts


def quiet_all(path: Path) -> list[Spectrum]:
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ReadWarning)
        return read_all(path)


def printed(v: float, digits: int = 8) -> float:
    """``v`` as EC-Lab prints it: ``digits`` significant digits, halves rounded up."""
    x = Decimal(float(v))
    return float(x.quantize(Decimal(1).scaleb(x.adjusted() - digits + 1), rounding=ROUND_HALF_UP))


def export_table() -> dict[str, np.ndarray]:
    lines = LPSCL_EXPORT.read_text(encoding="latin-1").splitlines()
    names = lines[64].rstrip("\t").split("\t")
    rows = np.array([[float(c) for c in line.split("\t")[: len(names)]] for line in lines[65:]])
    return {n: rows[:, k] for k, n in enumerate(names)}


class TestMprAgainstItsExport:
    def test_every_exported_column_is_the_stored_value(self) -> None:
        (s,) = read_all(LPSCL)
        exported = export_table()
        assert len(s) == 79 and set(exported) <= set(s.metadata["columns"])
        for name, values in exported.items():
            # float32 columns are printed with 8 digits, the double time with 16
            digits = 16 if name == "time/s" else 8
            ours = [printed(v, digits) for v in s.metadata["data"][name]]
            assert ours == values.tolist(), name

    def test_spectrum_and_metadata_match_the_text_reader(self) -> None:
        (s,) = read_all(LPSCL)
        (t,) = read_all(LPSCL_EXPORT)
        np.testing.assert_allclose(s.frequencies, t.frequencies, rtol=5e-8)
        np.testing.assert_allclose(s.impedance.real, t.impedance.real, rtol=5e-8)
        np.testing.assert_allclose(s.impedance.imag, t.impedance.imag, rtol=5e-8)
        assert (s.metadata["date"], s.metadata["time"]) == (t.metadata["date"], t.metadata["time"])
        assert s.metadata["software_version"] in t.metadata["software"]
        assert f"SN {s.metadata['serial']}" in t.metadata["header"]["Device"]
        assert s.metadata["source_file"].endswith("\\" + t.metadata["header"]["File"])
        assert s.metadata["technique_name"] == t.metadata["technique"]
        # the export's header: fi 7.000 MHz, ff 100.000 mHz, Nd 10, Va 14.1 mV
        assert s.metadata["settings"] == {
            "f_initial_Hz": 7e6,
            "f_final_Hz": 0.1,
            "points_per_decade": 10,
            "amplitude_mV": 14.1,
            "wait_periods": 0.1,
        }


class TestMprColumns:
    @pytest.mark.parametrize("path", MPR, ids=lambda p: p.name)
    def test_columns_obey_the_relations_between_them(self, path: Path) -> None:
        for s in read_all(path) if path != V1150 else quiet_all(path):
            d = s.metadata["data"]
            re, mim, w = d["Re(Z)/Ohm"], d["-Im(Z)/Ohm"], 2 * np.pi * d["freq/Hz"]
            np.testing.assert_allclose(d["|Z|/Ohm"], np.hypot(re, mim), rtol=2e-7)
            np.testing.assert_allclose(d["Phase(Z)/deg"], np.degrees(np.arctan2(-mim, re)), atol=1e-5)
            np.testing.assert_allclose(d["Cs/µF"], 1e6 / (w * mim), rtol=1e-6)
            np.testing.assert_allclose(d["Cp/µF"], 1e6 * mim / (w * (re**2 + mim**2)), rtol=1e-6)
            np.testing.assert_allclose(d["|Ewe|/V"] / d["|I|/A"], d["|Z|/Ohm"], rtol=1e-6)
            np.testing.assert_array_equal(s.impedance, re - 1j * mim)

    def test_quality_columns_of_the_1150_file(self) -> None:
        for s in quiet_all(V1150):
            d = s.metadata["data"]
            np.testing.assert_allclose(d["P/W"], d["<Ewe>/V"] * d["<I>/mA"] / 1000, rtol=1e-6)
            # THD from the harmonics h2..h7 of each signal: the Ewe harmonics
            # belong to |Ewe| and the current's to |I|, not the other way round
            for sig, mag in (("Ewe", "|Ewe|/V"), ("I", "|I|/A")):
                unit = "V" if sig == "Ewe" else "A"
                h = np.sqrt(sum(d[f"|{sig} h{k}|/{unit}"] ** 2 for k in range(2, 8)))
                ratio = 100 * h / d[mag] / d[f"THD {sig}/%"]
                assert np.all((ratio > 0.85) & (ratio <= 1.0)), (sig, ratio.min(), ratio.max())

    def test_four_cycles_of_21_points(self) -> None:
        spectra = read_all(V1150)
        assert [len(s) for s in spectra] == [21] * 4
        assert [s.metadata["cycle"] for s in spectra] == [1, 2, 3, 4]
        assert all(np.all(s.metadata["data"]["cycle number"] == s.metadata["cycle"]) for s in spectra)
        times = [s.metadata["data"]["time/s"] for s in spectra]
        assert all(a[-1] < b[0] for a, b in zip(times, times[1:]))
        with pytest.warns(SweepsWarning, match="read_all"):
            first = read(V1150)
        np.testing.assert_array_equal(first.impedance, spectra[0].impedance)
        m = first.metadata
        assert (m["technique"], m["software"], m["acquired"]) == ("PEIS", "EC-Lab 11.50", "2024-01-10T11:02:29.886")
        assert m["settings"]["f_final_Hz"] == 100.0 and m["settings"]["amplitude_mV"] == 10.0
        assert len(m["columns"]) == len(m["column_ids"]) == 35

    def test_unknown_column_ids(self, tmp_path: Path) -> None:
        raw = bytearray(LPSCL.read_bytes())
        ids_at = DATA_MODULE + 65 + 6
        ids = list(struct.unpack_from("<16H", raw, ids_at))
        path = tmp_path / "x.mpr"
        # one unknown ID: the row length leaves it the 8 bytes of the charge column
        one = bytearray(raw)
        struct.pack_into("<H", one, ids_at + 2 * ids.index(13), 999)
        path.write_bytes(bytes(one))
        (s,) = read_all(path)
        assert s.metadata["unidentified_columns"] == [999]
        np.testing.assert_array_equal(s.metadata["data"]["column 999"], read(LPSCL).metadata["data"]["(Q-Qo)/mA.h"])
        # two unknown IDs: refused, naming both
        struct.pack_into("<H", one, ids_at + 2 * ids.index(131), 998)
        path.write_bytes(bytes(one))
        with pytest.raises(ReadError, match="IDs 998, 999"):
            read(path)

    def test_a_file_cut_inside_its_rows_reads_the_complete_ones(self, tmp_path: Path) -> None:
        raw = LPSCL.read_bytes()
        path = tmp_path / "cut.mpr"
        path.write_bytes(raw[: DATA_MODULE + 65 + 1007 + 10 * 72 + 30])  # 10 rows and part of one
        with pytest.warns(ReadWarning, match=r"rows are cut off .*read the 10 complete points"):
            (s,) = read_all(path)
        np.testing.assert_array_equal(s.impedance, read(LPSCL).impedance[:10])
        assert "date" not in s.metadata  # the log module after the rows is gone

    def test_older_and_foreign_layouts_are_refused(self, tmp_path: Path) -> None:
        raw = bytearray(LPSCL.read_bytes())
        path = tmp_path / "x.mpr"
        struct.pack_into("<I", raw, DATA_MODULE + 53, 3)  # data module version 3
        path.write_bytes(bytes(raw))
        with pytest.raises(ReadError, match=r"before 11\.50.*\.mpt"):
            read(path)
        path.write_bytes(b"\x00\x01" * 500)
        with pytest.raises(ReadError, match="not an EC-Lab .mpr"):
            read(path)


def zahner() -> object:
    return pytest.importorskip("zahner_analysis.file_import.ism_import")


class TestIsm:
    @pytest.mark.parametrize("path", ISM, ids=lambda p: p.name)
    def test_identical_to_zahner_analysis(self, path: Path) -> None:
        ref = zahner().IsmImport(str(path))  # type: ignore[attr-defined]
        (s,) = read_all(path)
        ascending = s.frequencies[0] < s.frequencies[-1]
        order = slice(None) if ascending else slice(None, None, -1)
        np.testing.assert_array_equal(s.frequencies[order], ref.getFrequencyArray())
        np.testing.assert_array_equal(s.impedance[order], ref.getComplexImpedanceArray())
        for track in ref.getTrackTypesList():
            np.testing.assert_array_equal(s.metadata["data"][track][order], ref.getTrack(track))
        assert s.metadata["metadata_complete"] is not ref.metaDataAcqParsingErrorOccurred
        if not ref.metaDataAcqParsingErrorOccurred:
            assert s.metadata["amplitude"] == ref.getAmplitude()
            assert s.metadata["date"] == ref.measurementDate.date().isoformat()
            assert s.metadata.get("potential", "") == ref.getStartVoltageString()
            assert s.metadata["start"][:19] == ref.getMeasurementStartDateTime().isoformat()[:19]

    def test_the_sweep_without_its_repeated_start(self) -> None:
        (s,) = read_all(BIN / "zahner" / "rc-data.ism")
        m = s.metadata
        assert (len(s), m["dropped_points"]) == (55, 20)  # 75 samples, the first 20 measured again
        assert np.all(np.diff(s.frequencies) < 0) and s.frequencies[0] == 1e5
        assert (m["date"], m["potential"], m["current"]) == ("2024-07-16", "0.9995V, Ampl: 10mV", "10.006nA")
        assert (m["comment_1"], m["comment_4"], m["amplitude"]) == ("First Line", "Last Line", 0.01)
        np.testing.assert_allclose(np.abs(s.impedance), m["data"]["|Z|/Ohm"], rtol=1e-15)
        assert m["data"]["Voltage/V"].shape == (55,)

    def test_a_file_without_metadata_still_reads(self) -> None:
        (s,) = read_all(BIN / "zahner" / "500uR_measurement_pro_short_compensated.ism")
        assert len(s) == 160 and not s.metadata["metadata_complete"] and "date" not in s.metadata


class TestDispatch:
    def test_content_decides_not_the_extension(self, tmp_path: Path) -> None:
        for src, fmt in ((LPSCL, "biologic-mpr"), (BIN / "zahner" / "ZHIT.ism", "zahner-ism")):
            path = tmp_path / (src.stem + ".dat")
            path.write_bytes(src.read_bytes())
            assert read(path).format == fmt
            np.testing.assert_array_equal(read(path).impedance, read(src).impedance)
            assert read(src, format=fmt).format == fmt
            with pytest.raises(ReadError, match="sign convention"):
                read(src, negative_imag=True)

    def test_other_binaries_are_still_refused(self, tmp_path: Path) -> None:
        path = tmp_path / "x.bin"
        path.write_bytes(bytes(range(256)) * 40)
        with pytest.raises(ReadError, match="binary file; export the measurement as text"):
            read(path)
        path = path.rename(tmp_path / "x.ism")
        with pytest.raises(ReadError, match="announces .* points"):
            read(path)

    def test_the_command_line_reads_them(self, tmp_path: Path, capsys: pytest.CaptureFixture[str]) -> None:
        folder = tmp_path / "in"
        folder.mkdir()
        for src in (V1150, BIN / "zahner" / "000_mvdc.ism"):
            (folder / src.name).write_bytes(src.read_bytes())
        out = tmp_path / "fit.csv"
        assert cli.main(["fit", str(folder), "-c", "randles", "-o", str(out), "-q", "-j", "1"]) == 0
        import pandas as pd

        table = pd.read_csv(out)
        rows = {Path(p).name: n for p, n in zip(table["file"], table["n_points"])}
        assert rows == {"000_mvdc.ism": 38, **{f"v1150_PEIS.mpr [cycle {k}]": 21 for k in range(1, 5)}}
        assert table["format"].tolist().count("biologic-mpr") == 4


# ---------------------------------------------------------------- damage


def outcome(path: Path) -> list[tuple[float, complex]] | None:
    """Every point read (None on ReadError); any other exception fails the test."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ReadWarning)
        warnings.simplefilter("error", RuntimeWarning)  # no NumPy noise from damaged values
        try:
            spectra = read_all(path)
        except ReadError:
            return None
    return [p for s in spectra for p in zip(s.frequencies.tolist(), s.impedance.tolist())]


DAMAGED = [*MPR, *(BIN / "zahner" / n for n in ("rc-data.ism", "li-ion-battery.ism", "ZHIT.ism"))]


def cuts(raw: bytes) -> list[int]:
    if LONG:
        return list(range(len(raw)))
    # every byte of each module header and of the last rows, a sample elsewhere
    headers = {0, *(k for k in range(len(raw)) if raw.startswith(b"MODULE", k))}
    near = {k for h in headers for k in range(h, min(h + 90, len(raw)))}
    tail = set(range(max(0, len(raw) - 120), len(raw)))
    return sorted(near | tail | set(range(0, len(raw), max(29, len(raw) // 300))))


@pytest.mark.parametrize("src", DAMAGED, ids=lambda p: p.name)
class TestDamagedFiles:
    def test_a_cut_file_never_yields_a_point_the_full_file_lacks(self, tmp_path: Path, src: Path) -> None:
        raw = src.read_bytes()
        whole = set(outcome(src) or [])
        path = tmp_path / ("cut" + src.suffix)
        readable = 0
        for n in cuts(raw):
            path.write_bytes(raw[:n])
            got = outcome(path)
            if got is not None:
                readable += 1
                assert set(got) <= whole, f"{src.name} cut at byte {n}"
        assert readable > 0

    def test_changed_bytes_end_in_a_read_error_or_a_spectrum(self, tmp_path: Path, src: Path) -> None:
        raw = src.read_bytes()
        rng = random.Random(src.name)
        path = tmp_path / ("flip" + src.suffix)
        for _ in range(3000 if LONG else 150):
            mutated = bytearray(raw)
            for _ in range(rng.randint(1, 8)):
                # the headers more often than the numbers: that is where lengths live
                at = rng.randrange(min(len(raw), 1200)) if rng.random() < 0.5 else rng.randrange(len(raw))
                mutated[at] = rng.randrange(256)
            path.write_bytes(bytes(mutated))
            outcome(path)

    def test_huge_length_fields(self, tmp_path: Path, src: Path) -> None:
        raw = src.read_bytes()
        path = tmp_path / ("big" + src.suffix)
        if src.suffix == ".mpr":
            # the first module's length, the data module's length, row count, column count
            fields = [(0x34 + 45, "<I"), (DATA_MODULE + 45, "<I"), (DATA_MODULE + 65, "<I"), (DATA_MODULE + 69, "<H")]
        else:
            n = int.from_bytes(raw[6:12], "big") + 1
            # the point count, the first string's length, the next string's
            fields = [(6, ">Q"), (12 + 34 * n, ">H"), (12 + 34 * n + 2, ">I")]
        for at, fmt in fields:
            size = struct.calcsize(fmt)
            for value in (0xFF, 0x7FFF, 0xFFFF, 0x7FFFFFFF, 0xFFFFFFFF, 2**47 - 1):
                mutated = bytearray(raw)
                if fmt == ">Q":  # the 6-byte count, written with the two bytes before it kept
                    mutated[6:12] = value.to_bytes(6, "big")
                else:
                    struct.pack_into(fmt, mutated, at, value & ((1 << (8 * size)) - 1))
                path.write_bytes(bytes(mutated))
                outcome(path)
