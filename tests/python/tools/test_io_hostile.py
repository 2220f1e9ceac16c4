"""The readers on hostile and damaged input.

Truncation at every byte, control characters, hostile header lines, special
files, oversized files, memory, UTF-16. Each property is checked against the
full shipped export: a damaged file may be refused (ReadError) or read in
part with a ReadWarning, but never yields a point the full file does not
hold, and never costs more than linear time.

The default profile is quick (a few seconds); the long one sweeps every
byte of every export:
    ZETRION_READER_FUZZ=long python3 -m pytest -q tools/test_io_hostile.py
"""

from __future__ import annotations

import os
import subprocess
import sys
import threading
import time
import warnings
from pathlib import Path

import numpy as np
import pytest

from zetrion_tools.io import MAX_BYTES, ReadError, ReadWarning, Spectrum, read, read_all

from instrument_data import DATA, INSTRUMENT_FILES

LONG = os.environ.get("ZETRION_READER_FUZZ", "") == "long"


def points(s: Spectrum) -> list[tuple[float, complex]]:
    return list(zip(s.frequencies.tolist(), s.impedance.tolist()))


# the single-sweep exports, and files of several sweeps and other formats
FUZZED = [
    *INSTRUMENT_FILES,
    "more/ex1.mpt",
    "more/PEIS_LPSCl_IonBlocking_-25C_RelaxIS.txt",
    "more/EISGALV_EISTest3.DTA",
]


def full(name: str) -> list[tuple[float, complex]]:
    """Every point of every sweep of the undamaged file."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ReadWarning)
        return [p for s in read_all(DATA / name) for p in points(s)]


def outcome(path: Path, **kwargs: object) -> tuple[list[tuple[float, complex]] | None, list[str]]:
    """Points read (None on ReadError) and the warnings given."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            s = read(path, **kwargs)  # type: ignore[arg-type]
        except ReadError:
            return None, [str(w.message) for w in caught]
    return points(s), [str(w.message) for w in caught]


def cut_points(size: int) -> list[int]:
    if LONG:
        return list(range(1, size))
    # every byte of the last rows, where a cut leaves a shorter number,
    # and a sample elsewhere
    return sorted(set(range(max(1, size - 200), size)) | set(range(1, size, 997)))


class TestTruncation:
    @pytest.mark.parametrize("name", FUZZED)
    def test_a_cut_file_never_yields_a_point_the_full_file_lacks(self, tmp_path: Path, name: str) -> None:
        raw = (DATA / name).read_bytes()
        whole = set(full(name))
        path = tmp_path / ("cut" + Path(name).suffix)
        readable = 0
        for n in cut_points(len(raw)):
            path.write_bytes(raw[:n])
            got, _ = outcome(path)
            if got is None:
                continue
            readable += 1
            invented = [p for p in got if p not in whole]
            assert not invented, f"{name} cut at byte {n}: {invented[:2]}"
        assert readable > 0

    def test_gamry_cut_inside_a_number_drops_that_row_with_a_warning(self, tmp_path: Path) -> None:
        raw = (DATA / "exampleDataGamry.DTA").read_bytes()
        path = tmp_path / "cut.DTA"
        path.write_bytes(raw[:31645])  # inside the Zimag cell of a row
        with pytest.warns(ReadWarning, match="incomplete"):
            s = read(path)
        reference = read(DATA / "exampleDataGamry.DTA")
        np.testing.assert_array_equal(s.impedance, reference.impedance[: len(s)])

    @pytest.mark.parametrize(
        "name", ["exampleDataPowersuite.txt", "exampleDataBioLogic.mpt", "exampleDataCHInstruments.txt"]
    )
    def test_cut_just_before_the_end_of_the_last_number(self, tmp_path: Path, name: str) -> None:
        text = (DATA / name).read_bytes().rstrip(b"\r\n")
        reference = full(name)
        path = tmp_path / ("cut" + Path(name).suffix)
        # one and two characters short of the file's last number
        for drop in (1, 2):
            path.write_bytes(text[:-drop])
            got, caught = outcome(path)
            assert got is not None and got == reference[: len(got)], (name, drop)
            if len(got) < len(reference):
                assert any("incomplete" in m for m in caught)

    def test_biologic_export_without_a_final_line_break_reads_every_point(self) -> None:
        raw = (DATA / "exampleDataBioLogic.mpt").read_bytes()
        assert not raw.endswith((b"\n", b"\r"))
        from impedance.preprocessing import readFile

        f_ref, _ = readFile(str(DATA / "exampleDataBioLogic.mpt"), instrument="biologic")
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            assert len(read(DATA / "exampleDataBioLogic.mpt")) == f_ref.size

    def test_delimited_text_without_a_final_line_break(self, tmp_path: Path) -> None:
        # a fixed %e column: the unterminated last row is recognisably whole
        rows = [f"{10.0**k:.6e},{k + 1.0:.6e},{-k - 0.5:.6e}" for k in range(6)]
        path = tmp_path / "fixed.csv"
        path.write_text("freq,Re(Z),Im(Z)\n" + "\n".join(rows))
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            assert len(read(path)) == 6
        # a column of varying width: a last cell cut short cannot be told
        # apart, so the row is dropped with a warning rather than trusted
        rows = ["1,2.5,-1.25", "10,3,-1", "100,2.75,-0.5", "1000,2.5,-0.12"]
        path.write_text("freq,Re(Z),Im(Z)\n" + "\n".join(rows)[:-1])
        with pytest.warns(ReadWarning, match="incomplete"):
            assert len(read(path)) == 3


CONTROL = ["\x0b", "\x0c", "\x1c", "\x1d", "\x1e", "\x85", "\u2028"]


class TestControlCharacters:
    def test_form_feed_in_a_biologic_header_keeps_the_header_count(self, tmp_path: Path) -> None:
        lines = (DATA / "exampleDataBioLogic.mpt").read_text(encoding="latin-1").split("\n")
        reference = full("exampleDataBioLogic.mpt")
        for ch in CONTROL:
            edited = list(lines)
            edited[5] = edited[5] + ch + "remark"
            path = tmp_path / "h.mpt"
            path.write_text("\n".join(edited), encoding="utf-8")
            got, caught = outcome(path)
            assert got == reference, repr(ch)
            assert not caught

    def test_control_character_in_a_gamry_row_never_drops_the_rest(self, tmp_path: Path) -> None:
        lines = (DATA / "exampleDataGamry.DTA").read_text(encoding="latin-1").split("\n")
        reference = full("exampleDataGamry.DTA")
        row = next(i for i, ln in enumerate(lines) if ln.startswith("ZCURVE")) + 4
        for ch in CONTROL:
            for where in (0, 1, len(lines[row]) // 2):
                edited = list(lines)
                edited[row] = edited[row][:where] + ch + edited[row][where:]
                path = tmp_path / "t.DTA"
                path.write_text("\n".join(edited), encoding="latin-1" if ch < "\u0100" else "utf-8")
                got, _ = outcome(path)
                # either the whole table or a clear error: never a few points
                assert got is None or got == reference, (repr(ch), where, None if got is None else len(got))

    @pytest.mark.parametrize("name", INSTRUMENT_FILES)
    def test_inserted_control_characters(self, tmp_path: Path, name: str) -> None:
        import random

        rng = random.Random(name)
        text = (DATA / name).read_bytes().decode("latin-1")
        reference = full(name)
        whole = set(reference)
        path = tmp_path / ("c" + Path(name).suffix)
        for _ in range(300 if LONG else 25):
            i = rng.randrange(len(text))
            ch = rng.choice(CONTROL)
            path.write_text(text[:i] + ch + text[i:], encoding="latin-1" if ch < "\u0100" else "utf-8")
            got, caught = outcome(path)
            if got is None or got == reference:
                continue
            # anything else is a part of the file, and said so
            assert caught and set(got) <= whole, (name, i, repr(ch))


HOSTILE = ["(", "( ", "a(", "\t(", "[ (", "Freq (", '"', "  ", "f,(", "Z' [k"]


def _timed_read(path: Path, fmt: str | None) -> float:
    best = float("inf")
    for _ in range(3):
        t0 = time.perf_counter()
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            try:
                read(path, format=fmt)
            except ReadError:
                pass
        best = min(best, time.perf_counter() - t0)
    return best


class TestHostileHeaders:
    """A line of tens of kB of brackets or quotes costs time linear in its length."""

    @pytest.mark.parametrize("unit", HOSTILE)
    def test_delimited_header_detection_is_linear(self, tmp_path: Path, unit: str) -> None:
        table = "freq,Re(Z),Im(Z)\n1,2,-3\n10,2,-1\n100,1.5,-0.5\n"
        cost = []
        for n in (4000, 40000):
            path = tmp_path / f"h{n}.csv"
            path.write_text(unit * (n // len(unit)) + "\n" + table)
            cost.append(_timed_read(path, "delimited") + _timed_read(path, None))
        # linear: about 10x for 10x the bytes; quadratic: 100x. The floor
        # keeps timer noise and a busy machine on tiny times from deciding.
        assert cost[1] < 25 * max(cost[0], 5e-3), (unit, cost)

    @pytest.mark.parametrize("name", INSTRUMENT_FILES)
    def test_instrument_headers_with_a_hostile_line(self, tmp_path: Path, name: str) -> None:
        lines = (DATA / name).read_bytes().decode("latin-1").split("\n")
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", ReadWarning)
            fmt = read(DATA / name).format
        for unit in ("( ", '"', " "):
            cost = []
            # both sizes push the file's own header past what detection
            # looks at, so that both take the same path
            for n in (30000, 300000):
                edited = [*lines[:2], unit * (n // len(unit)), *lines[2:]]
                path = tmp_path / f"h{n}{Path(name).suffix}"
                path.write_bytes("\n".join(edited).encode("latin-1"))
                cost.append(_timed_read(path, fmt) + _timed_read(path, None))
            assert cost[1] < 25 * max(cost[0], 5e-3), (name, unit, cost)


class TestSpecialFiles:
    def _in_child(self, code: str) -> str:
        """Run ``code`` in a child limited to 1 GiB and 20 s; return its output.

        Under AddressSanitizer (the sanitizer run preloads it) the address
        space cannot be capped: its shadow memory alone reserves terabytes.
        There only the time limit holds.
        """
        prelude = (
            "import resource; resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))\n"
            if "libasan" not in os.environ.get("LD_PRELOAD", "")
            else ""
        )
        try:
            out = subprocess.run(
                [sys.executable, "-c", prelude + code], capture_output=True, text=True, timeout=20
            )
        except subprocess.TimeoutExpired:
            return "timeout"
        return out.stdout.strip() + out.stderr.strip()[-300:]

    @pytest.mark.skipif(not os.path.exists("/dev/zero"), reason="needs /dev/zero")
    def test_devices_are_refused_not_read(self, tmp_path: Path) -> None:
        link = tmp_path / "zero.csv"
        link.symlink_to("/dev/zero")
        code = (
            "from zetrion_tools.io import read, ReadError\n"
            "from zetrion_tools.records import load_record, RecordError\n"
            "for f, p in ((read, '/dev/zero'), (read, %r), (load_record, '/dev/zero')):\n"
            "    try:\n"
            "        f(p)\n"
            "    except (ReadError, RecordError) as e:\n"
            "        print('refused', 'regular file' in str(e))\n" % str(link)
        )
        assert self._in_child(code) == "refused True\nrefused True\nrefused True"

    @pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="needs FIFOs")
    def test_a_fifo_is_refused_without_waiting_for_a_writer(self, tmp_path: Path) -> None:
        from zetrion_tools.records import RecordError, load_record

        fifo = tmp_path / "pipe.csv"
        os.mkfifo(fifo)
        results: list[BaseException | None] = []

        def attempt() -> None:
            for fn in (read, load_record):
                try:
                    fn(fifo)
                    results.append(None)
                except (ReadError, RecordError) as exc:
                    results.append(exc)

        worker = threading.Thread(target=attempt, daemon=True)
        worker.start()
        worker.join(5.0)
        if worker.is_alive():
            # release the blocked open before failing
            fd = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
            os.close(fd)
            worker.join(5.0)
        assert len(results) == 2 and all(isinstance(r, ValueError) for r in results), results

    def test_oversized_and_directory_paths(self, tmp_path: Path) -> None:
        big = tmp_path / "big.csv"
        with big.open("wb") as fh:
            fh.truncate(MAX_BYTES + 1)  # sparse: no disk used
        with pytest.raises(ReadError, match="accepted"):
            read(big)
        with pytest.raises(ReadError, match="regular file"):
            read(tmp_path)
        with pytest.raises(FileNotFoundError):
            read(tmp_path / "missing.csv")


class TestEncodings:
    @pytest.mark.parametrize("codec", ["utf-16", "utf-16-le", "utf-16-be", "utf-32", "utf-8-sig"])
    @pytest.mark.parametrize("name", ["exampleDataBioLogic.mpt", "exampleDataGamry.DTA", "exampleDataZPlot.z"])
    def test_unicode_encodings_read_like_the_original(self, tmp_path: Path, name: str, codec: str) -> None:
        text = (DATA / name).read_bytes().decode("latin-1")
        path = tmp_path / ("u" + Path(name).suffix)
        path.write_bytes(text.encode(codec))  # 'utf-16' writes a BOM; -le/-be do not
        assert outcome(path)[0] == full(name)

    def test_binary_is_still_refused(self, tmp_path: Path) -> None:
        path = tmp_path / "b.csv"
        path.write_bytes(bytes(range(256)) * 40)
        with pytest.raises(ReadError, match="binary"):
            read(path)


def test_memory_is_a_few_times_the_file_size(tmp_path: Path) -> None:
    path = tmp_path / "big.csv"
    block = "".join(f"{1e5 / (k + 1):.15e},{10 + k * 1e-3:.15e},{-5 - k * 1e-3:.15e}\n" for k in range(5000))
    with path.open("w") as fh:
        fh.write("freq,Re(Z),Im(Z)\n")
        while fh.tell() < 24 * 2**20:
            fh.write(block)
    code = (
        "import resource, sys\n"
        "from zetrion_tools.io import read\n"
        "base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss\n"
        "n = len(read(sys.argv[1]))\n"
        "print(n, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - base)\n"
    )
    out = subprocess.run([sys.executable, "-c", code, str(path)], capture_output=True, text=True, check=True)
    n, grown_kb = map(int, out.stdout.split())
    size = path.stat().st_size
    assert n == sum(1 for _ in path.open()) - 1
    assert grown_kb * 1024 < 5 * size, f"{grown_kb * 1024 / size:.1f}x the file size"
