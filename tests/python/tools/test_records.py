"""Fit records: JSON round trip, checks of untrusted files, tables."""

from __future__ import annotations

import dataclasses
import json
import math
import os

import numpy as np
import pytest

import zetrion
from zetrion_tools.fitting import fit
from zetrion_tools.records import (
    FitRecord,
    RecordError,
    data_checksum,
    load_record,
    make_record,
    records_to_frame,
    save_record,
)


def spectrum(notation="sei_randles", values=(5.0, 20.0, 1e-5, 0.9, 80.0, 40.0, 1e-4, 0.8), seed=0, n=50):
    f = np.geomspace(1e5, 1e-2, n)
    z = zetrion.Circuit(notation).with_values(list(values)).impedance(f)
    rng = np.random.default_rng(seed)
    return f, z * (1 + 0.01 * (rng.standard_normal(n) + 1j * rng.standard_normal(n)))


@pytest.fixture(scope="module")
def core_fit():
    f, z = spectrum()
    return f, z, zetrion.Circuit("sei_randles").fit(f, z)


class TestRoundTrip:
    def test_core_fit_round_trips_bit_for_bit(self, core_fit, tmp_path):
        f, z, result = core_fit
        path = tmp_path / "fit.json"
        saved = save_record(result, path, f, z, notation="sei_randles", metadata={"cell": "A3"})
        loaded = load_record(path)
        assert loaded == saved
        fitted = result.circuit
        # values and impedances identical to the last bit, at the data and elsewhere
        assert loaded.circuit.param_values() == fitted.param_values()
        for grid in (f, np.geomspace(1e7, 1e-4, 333)):
            a, b = loaded.circuit.impedance(grid), fitted.impedance(grid)
            assert a.tobytes() == b.tobytes()
        assert loaded.stderr == result.stderr
        assert loaded.method == "levenberg_marquardt" and loaded.metadata == {"cell": "A3"}
        assert loaded.matches(f, z) and not loaded.matches(f, z * (1 + 1e-15))
        assert loaded.n_points == len(f) and loaded.chi_square == result.chi_square

    def test_awkward_values_survive(self, tmp_path):
        # values whose shortest decimal is long, tiny and huge magnitudes, and
        # one sitting exactly on a bound
        f, z = spectrum("rq", (0.1 + 0.2, 1e-12, 1 / 3 * 1e-7, 1.0), n=20)
        values = [0.1 + 0.2, 1e-12, math.nextafter(1 / 3 * 1e-7, 1), 1.0]
        result = fit(zetrion.Circuit("rq").with_values(values), f, z, fixed={"CPE1.alpha": 1.0}, n_starts=1)
        path = tmp_path / "rq.json"
        save_record(result, path, notation="rq")
        loaded = load_record(path)
        assert loaded.circuit.param_values() == result.circuit.param_values()
        assert loaded.fixed == ("CPE1.alpha",) and loaded.stderr["CPE1.alpha"] == 0.0
        assert loaded.method == "levenberg_marquardt" and loaded.settings["n_starts"] == 1

    def test_saving_replaces_a_record_whole_and_leaves_no_partial_file(self, core_fit, tmp_path):
        f, z, result = core_fit
        path = tmp_path / "fit.json"
        path.write_text("old")
        save_record(result, path, f, z, notation="sei_randles")
        assert load_record(path).notation == "sei_randles"
        assert sorted(p.name for p in tmp_path.iterdir()) == ["fit.json"]
        with pytest.raises(OSError):
            save_record(result, tmp_path / "missing" / "fit.json", f, z, notation="sei_randles")

    def test_constrained_fit_carries_notation_and_data(self, tmp_path):
        f, z = spectrum()
        result = fit("sei_randles", f, z, fixed={"R0.r": 5.0})
        record = save_record(result, tmp_path / "c.json")
        assert record.notation == "sei_randles" and record.data_sha256 == data_checksum(f, z)
        assert load_record(tmp_path / "c.json").circuit.impedance(f).tobytes() == result.z_fit.tobytes()

    def test_nan_stderr_is_written_as_null_and_read_back(self, tmp_path):
        f = np.geomspace(1e4, 1, 10)
        z = zetrion.Circuit("rc").with_values([3.0, 5.0, 1e-3]).impedance(f)
        result = fit("R0-R2-(R1,C1)", f, z, guess_init=False)
        # errors that cannot be computed are NaN (an exactly singular curvature)
        result = dataclasses.replace(result, stderr={n: math.nan for n in result.stderr})
        path = tmp_path / "nan.json"
        save_record(result, path)
        text = path.read_text()
        assert "NaN" not in text and "null" in text
        json.loads(text)  # standard JSON
        loaded = load_record(path)
        assert all(math.isnan(loaded.stderr[n]) for n in result.free)

    def test_frame_of_records(self, core_fit, tmp_path):
        f, z, result = core_fit
        a = make_record(result, f, z, notation="sei_randles")
        f2, z2 = spectrum("randles", (10.0, 100.0, 30.0, 1e-5, 0.85), seed=3)
        b = save_record(fit("randles", f2, z2), tmp_path / "b.json")
        frame = records_to_frame([a, tmp_path / "b.json"])
        assert list(frame["notation"]) == ["sei_randles", "randles"]
        assert frame.loc[0, "R2.r"] == result.params["R2.r"]
        assert frame.loc[1, "W1.aw"] == b.params["W1.aw"]
        assert math.isnan(frame.loc[0, "W1.aw"]) and math.isnan(frame.loc[1, "W2.aw"])
        assert frame.loc[1, "source"].endswith("b.json") and frame.loc[0, "source"] == ""
        assert "R0.r stderr" in frame.columns


class TestMakingRecords:
    def test_missing_notation_or_data(self, core_fit):
        f, z, result = core_fit
        with pytest.raises(RecordError, match="notation="):
            make_record(result, f, z)
        with pytest.raises(RecordError, match="spectrum"):
            make_record(result, notation="sei_randles")
        with pytest.raises(RecordError, match="parameters"):
            make_record(result, f, z, notation="randles")
        with pytest.raises(RecordError, match="does not parse"):
            make_record(result, f, z, notation="R0-X1")
        with pytest.raises(RecordError, match="JSON"):
            make_record(result, f, z, notation="sei_randles", metadata={"when": object()})
        with pytest.raises(TypeError):
            make_record("not a fit", f, z, notation="rc")  # type: ignore[arg-type]


def good_doc(core_fit):
    f, z, result = core_fit
    return make_record(result, f, z, notation="sei_randles").to_dict()


BAD = [
    (lambda d: d.pop("format"), "not a zetrion fit record"),
    (lambda d: d.update(version=2), "unsupported record version"),
    (lambda d: d.update(version=True), "unsupported record version"),
    (lambda d: d.update(notation="R0-(R1,X1)"), "does not parse"),
    (lambda d: d.update(notation=7), "notation"),
    (lambda d: d.update(notation="randles"), "do not match"),
    (lambda d: d["parameters"].pop(), "do not match"),
    (lambda d: d["parameters"][0].update(value="10"), "must be a number"),
    (lambda d: d["parameters"][0].update(value=True), "must be a number"),
    (lambda d: d["parameters"][0].update(value=-1.0), "outside its bounds"),
    (lambda d: d["parameters"][3].update(value=1.5), "outside its bounds"),
    (lambda d: d["parameters"][1].update(stderr="x"), "stderr"),
    (lambda d: d["parameters"][1].update(stderr=-0.5), "stderr of R1.r = -0.5 is negative"),
    (lambda d: d["parameters"][0].update(value=10**400), "must be finite"),
    (lambda d: d.update(chi_square=-1e-3), "chi_square = -0.001 is negative"),
    (lambda d: d["parameters"][1].update(fixed="yes"), "fixed"),
    (lambda d: d.update(parameters={"R0.r": 1}), "must be a list"),
    (lambda d: d.update(weight="abs"), "weight"),
    (lambda d: d.update(success=1), "success"),
    (lambda d: d["data"].update(sha256="zz"), "sha256"),
    (lambda d: d["data"].update(n_points=0), "n_points"),
    (lambda d: d.update(data=[]), "data"),
    (lambda d: d.update(settings=[1]), "settings"),
    (lambda d: d.update(software={"zetrion": 1}), "software"),
]


class TestUntrustedFiles:
    @pytest.mark.parametrize("spoil, match", BAD)
    def test_invalid_fields(self, core_fit, tmp_path, spoil, match):
        doc = good_doc(core_fit)
        spoil(doc)
        path = tmp_path / "bad.json"
        path.write_text(json.dumps(doc))
        with pytest.raises(RecordError, match=match):
            load_record(path)

    @pytest.mark.parametrize(
        "content, match",
        [
            (b"", "not valid JSON"),
            (b"{\"format\": ", "not valid JSON"),
            (b"\xff\xfe\x00", "UTF-8"),
            (b"[1, 2, 3]", "JSON object"),
            (b"[" * 100000 + b"]" * 100000, "nested too deeply|JSON object"),
            (b'{"format": "zetrion-fit-record", "version": 1, "x": NaN}', "non-standard JSON number NaN"),
        ],
    )
    def test_not_json_records(self, tmp_path, content, match):
        path = tmp_path / "x.json"
        path.write_bytes(content)
        with pytest.raises(RecordError, match=match):
            load_record(path)

    @pytest.mark.parametrize(
        "where, number, match",
        [
            ("metadata", "1e400", "1e400, which is too large"),
            ("settings", "-1e400", "-1e400, which is too large"),
            ("metadata", "9" * 4301, "not a usable JSON number"),
        ],
    )
    def test_numbers_that_would_not_survive_a_save(self, core_fit, tmp_path, where, number, match):
        doc = good_doc(core_fit)
        doc[where] = {"x": 1}
        text = json.dumps(doc).replace('{"x": 1}', '{"x": ' + number + "}")
        path = tmp_path / "n.json"
        path.write_text(text)
        with pytest.raises(RecordError, match=match):
            load_record(path)
        doc[where] = {"x": 1e300, "y": 10**300}  # large but representable: loads and saves again
        path.write_text(json.dumps(doc))
        save_record(load_record(path), tmp_path / "again.json")

    @pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="POSIX special files")
    def test_special_files_are_refused_without_reading(self, tmp_path):
        fifo = tmp_path / "pipe.json"
        os.mkfifo(fifo)  # an ordinary open would wait for a writer forever
        link = tmp_path / "zero.json"
        link.symlink_to("/dev/zero")  # reports size 0 and never ends
        for target in (fifo, link, tmp_path):
            with pytest.raises(RecordError, match="not a regular file"):
                load_record(target)

    def test_oversized_file_is_refused_before_reading(self, tmp_path, monkeypatch):
        import zetrion_tools.records as records

        monkeypatch.setattr(records, "MAX_BYTES", 100)
        path = tmp_path / "big.json"
        path.write_text(" " * 200 + "{}")
        with pytest.raises(RecordError, match="too large"):
            load_record(path)

    def test_nan_value_written_by_hand_is_refused(self, core_fit, tmp_path):
        text = json.dumps(good_doc(core_fit)).replace('"chi_square": ', '"chi_square": Infinity, "x": ', 1)
        path = tmp_path / "inf.json"
        path.write_text(text)
        with pytest.raises(RecordError, match="Infinity"):
            load_record(path)


def test_record_is_immutable(core_fit):
    f, z, result = core_fit
    record = make_record(result, f, z, notation="sei_randles")
    assert isinstance(record, FitRecord)
    with pytest.raises(AttributeError):
        record.notation = "rc"  # type: ignore[misc]
