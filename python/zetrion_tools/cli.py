"""The ``zetrion`` command line: fit and check spectra from instrument files.

Exit status: 0 when the command ran (failed files are rows in the table, not
errors); 1 with ``--strict`` when any file failed; 2 for a usage error (bad
option, unknown circuit, no input file found, output not writable); 130 when
interrupted and 141 when the output pipe closed early, as shells report them.

A results file is written beside itself under a temporary name and moved into
place once complete, so a run that fails or is interrupted never leaves a
truncated table where the previous one was; an interrupted ``zetrion fit``
writes the rows it had fitted. File names that are not valid UTF-8 are
written with their odd bytes escaped (``\xff``).
"""

from __future__ import annotations

import argparse
import glob
import math
import os
import stat
import sys
import tempfile
import threading
import warnings
from collections.abc import Iterator, Sequence
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np

from .batch import FIT_METHODS, printable
from .check_cli import EPILOG as _EPILOG_CHECK
from .check_cli import SKIPPED, add_check_options, check_options, is_side_file, kk_columns
from .cli_format import add_format_option, chosen_format
from .drt_cli import add_drt_parser, run_drt
from .fit_cli import add_fit_options, fit_constraints
from .series_cli import add_series_parser, run_series
from .suggest_cli import add_suggest_parser, run_suggest

if TYPE_CHECKING:
    import pandas as pd  # type: ignore[import-untyped, unused-ignore]

__all__ = ["main"]

EXIT_OK = 0
EXIT_FAILURES = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130  # as a shell reports a process ended by SIGINT
EXIT_PIPE = 141  # as a shell reports a process ended by SIGPIPE

# Errors of the process itself, never recorded as a file's failed row.
_FATAL = (MemoryError, RecursionError)

# Extensions picked up when a directory is given; a file named explicitly is
# always read, whatever its extension (the reader goes by content).
DATA_SUFFIXES = frozenset({".dta", ".mpt", ".mpr", ".ism", ".txt", ".z", ".par", ".csv", ".tsv", ".dat"})

_EPILOG_MAIN = """\
examples:
  zetrion fit data/*.DTA --circuit randles --out results.csv
  zetrion fit runs/ --circuit "R0-(R1,CPE1)-(R2-W2,CPE2)" --plots figures/ --strict
  zetrion check data/ --strict
  zetrion train "R0-(R1,CPE1)-(R2,CPE2)" --help

exit status: 0 ran (failed files are rows in the table), 1 a file failed
under --strict, 2 usage error.
"""

_EPILOG_FIT = """\
examples:
  zetrion fit cell.DTA --circuit randles
  zetrion fit data/ "more/**/*.mpt" --circuit randles --out results.csv --plots figs/
  zetrion fit data/ --circuit "L0-R0-(R1,CPE1)" --method differential_evolution --threads 4
  zetrion fit data/ --circuit two_rq --fix R0.r=0.02 --bound CPE1.alpha=0.7:1 --weight proportional

Directories are searched (not recursively) for files ending in
.DTA .mpt .mpr .ism .txt .z .par .csv .tsv .dat; quoted glob patterns are expanded
(** reaches into subfolders). Every file gives one row: its fitted
parameters, standard errors, chi-square, or the reason it failed, and the
verdict: trustworthy, flags (what the data cannot determine, values at a
bound or implausible, a misfit) and the parameters the fit vouches for.
Arcs that can swap places come in ascending time constant.

exit status: 0 ran, 1 some file failed and --strict was given, 2 usage error.
"""



class _UsageError(Exception):
    """A problem with the command line itself (exit status 2)."""


def _version() -> str:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("zetrion")
    except PackageNotFoundError:
        return "unknown"


def _parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="zetrion",
        description="Fit and check electrochemical impedance spectra from instrument files.",
        epilog=_EPILOG_MAIN,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    p.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    sub = p.add_subparsers(dest="command", metavar="COMMAND")

    fit = sub.add_parser(
        "fit",
        help="fit a circuit to every file, one row per file",
        description="Fit one equivalent circuit to every spectrum file; write one row per file.",
        epilog=_EPILOG_FIT,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    fit.add_argument("files", nargs="+", metavar="FILE", help="files, directories or glob patterns")
    fit.add_argument(
        "--circuit", "-c", required=True, help='circuit notation or preset, e.g. randles or "R0-(R1,CPE1)"'
    )
    fit.add_argument(
        "--method",
        "-m",
        default="levenberg_marquardt",
        choices=FIT_METHODS,
        metavar="METHOD",
        help=f"fit method: {', '.join(FIT_METHODS)} (default levenberg_marquardt)",
    )
    add_fit_options(fit)
    fit.add_argument("--seed", type=int, default=None, metavar="N", help="seed of the global methods")
    fit.add_argument("--out", "-o", default="-", metavar="CSV", help="CSV file for the results (default: standard output)")
    fit.add_argument("--plots", metavar="DIR", help="write a Nyquist and Bode figure of data and fit per file")
    fit.add_argument("--threads", "-j", type=int, default=None, metavar="N", help="fit threads (default: one per core)")
    fit.add_argument("--no-checks", action="store_true", help="skip the data checks before each fit")
    add_format_option(fit)
    fit.add_argument("--strict", action="store_true", help="exit with status 1 when any file failed")
    fit.add_argument("--quiet", "-q", action="store_true", help="no progress bar or summary on stderr")

    check = sub.add_parser(
        "check",
        help="data checks and Kramers-Kronig test of every file",
        description="Run the data checks and the linear Kramers-Kronig test on every spectrum file.",
        epilog=_EPILOG_CHECK,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    check.add_argument("files", nargs="+", metavar="FILE", help="files, directories or glob patterns")
    add_check_options(check)
    check.add_argument("--out", "-o", default=None, metavar="CSV", help="also write the table to this CSV file")
    add_format_option(check)
    check.add_argument("--strict", action="store_true", help="exit with status 1 when any check failed")
    check.add_argument("--quiet", "-q", action="store_true", help="no progress bar on stderr")

    add_drt_parser(sub)
    add_series_parser(sub)
    add_suggest_parser(sub)

    sub.add_parser(
        "train",
        help="train a guesser model for a circuit (see zetrion train --help)",
        add_help=False,
        prefix_chars="\0",  # hand every option, --help included, to the training tool
    ).add_argument("args", nargs=argparse.REMAINDER)
    return p


def expand_inputs(patterns: Sequence[str], skip: Path | None = None) -> list[Path]:
    """Files named by the arguments: paths, directories and glob patterns.

    A name that matches nothing is kept, so that it shows up as a failed row
    ("no such file") rather than vanishing.

    Parameters
    ----------
    patterns : sequence of str
        Command-line arguments.
    skip : pathlib.Path, optional
        A file left out where a directory or a pattern would pick it up: the
        run's own results file, which a rerun must not read back as data.

    Returns
    -------
    list of pathlib.Path
        In argument order; a directory's files sorted by name; no duplicates.
    """
    out: list[Path] = []
    seen: set[Path] = set()

    def add(p: Path, found: bool = True) -> None:
        if found and skip is not None and same_file(p, skip):
            return
        key = p.resolve() if p.exists() else p
        if key not in seen:
            seen.add(key)
            out.append(p)

    for arg in patterns:
        p = Path(arg)
        if p.is_dir():
            for child in sorted(p.iterdir()):
                if child.is_file() and not child.name.startswith(".") and child.suffix.lower() in DATA_SUFFIXES:
                    add(child)
        elif p.exists() or not glob.has_magic(arg):
            add(p, found=False)
        else:
            matches = sorted(glob.glob(arg, recursive=True))
            files = [Path(m) for m in matches if Path(m).is_file()]
            if not files:
                add(p, found=False)
            for m in files:
                add(m)
    return out


def same_file(a: Path, b: Path) -> bool:
    """Whether two paths name one file (through links, when both exist)."""
    try:
        return os.path.samefile(a, b)
    except OSError:
        return a.resolve() == b.resolve()


def _escaped(row: dict[str, Any]) -> dict[str, Any]:
    return {k: printable(v) if isinstance(v, str) else v for k, v in row.items()}


def _read_file(path: Path, fmt: str | None = None) -> tuple[Any, Any, str, str, str]:
    """(f, z, format, note, sweeps) of one file's first sweep; raises with a
    readable message. ``sweeps``: what the reader said of the other sweeps
    the file holds, empty when it holds one."""
    from .io import SweepsWarning, read

    if not path.exists():
        raise FileNotFoundError(f"no such file: {path}")
    if not path.is_file():
        raise IsADirectoryError(f"not a file: {path}")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        spectrum = read(path, fmt)
    sweeps = "; ".join(str(w.message) for w in caught if issubclass(w.category, SweepsWarning))
    note = "; ".join(str(w.message) for w in caught if not issubclass(w.category, SweepsWarning))
    return spectrum.frequencies, spectrum.impedance, spectrum.format, note, sweeps


def _read_sweeps(path: Path, fmt: str | None = None) -> list[tuple[str, Any, Any, str, str]]:
    """(id suffix, f, z, format, note) for every sweep of one file.

    A file with one sweep gives one entry with an empty suffix; a file that
    holds several (cycles of an EC-Lab file, segments of a VersaStudio one)
    gives one per sweep, named `` [cycle N]``.
    """
    f, z, found, note, sweeps_note = _read_file(path, fmt)
    if not sweeps_note:
        return [("", f, z, found, note)]
    from .io import read_all

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # the first read said all there is to say
        sweeps = read_all(path, fmt)
    return [
        (f" [cycle {s.metadata.get('cycle', k + 1)}]", s.frequencies, s.impedance, s.format, note)
        for k, s in enumerate(sweeps)
    ]


def _error_text(exc: BaseException) -> str:
    text = str(exc)
    if isinstance(exc, (ValueError, OSError)) and text:
        return text
    return f"{type(exc).__name__}: {text}" if text else type(exc).__name__


class _Output:
    """Where a table goes: standard output (``-``), nowhere (None) or a file.

    A regular file, or a new one, is written under a hidden temporary name in
    its own folder, made when the run starts (so an unwritable place is a
    usage error before any fit) and moved over the target once the table is
    complete. A device or a FIFO (``/dev/null``, a pipe) is written directly.
    Every failure to write is a `_UsageError` naming the target.
    """

    def __init__(self, target: str | None) -> None:
        self.target = target
        self.final: Path | None = None  # the regular file replaced at the end
        self._temp: Path | None = None
        self._special = False
        if target is None or target == "-":
            return
        path = Path(target)
        try:
            mode = os.stat(path).st_mode
        except OSError:
            mode = None
        if mode is not None and stat.S_ISDIR(mode):
            raise _UsageError(f"cannot write {printable(target)}: it is a directory")
        self._special = mode is not None and not stat.S_ISREG(mode)
        if not self._special:
            self.final = path.resolve()  # through a link to the file it names

    def open(self) -> None:
        """Make the temporary file beside the target."""
        if self.final is None:
            return
        if self.final.exists() and not os.access(self.final, os.W_OK):  # as opening it would refuse
            raise _UsageError(f"cannot write {printable(str(self.target))}: Permission denied")
        try:
            self.final.parent.mkdir(parents=True, exist_ok=True)
            fd, name = tempfile.mkstemp(dir=self.final.parent, prefix=f".{self.final.name}.", suffix=".partial")
            os.close(fd)
        except OSError as exc:
            raise _UsageError(f"cannot write {printable(str(self.target))}: {exc.strerror or exc}") from exc
        self._temp = Path(name)

    def write(self, table: pd.DataFrame) -> None:
        if self.target is None:
            return
        if self.target == "-":
            table.to_csv(sys.stdout, index=False)
            sys.stdout.flush()
            return
        try:
            if self._special:
                with open(self.target, "w", newline="", encoding="utf-8") as fh:
                    table.to_csv(fh, index=False)
                return
            assert self._temp is not None and self.final is not None
            with open(self._temp, "w", newline="", encoding="utf-8") as fh:
                table.to_csv(fh, index=False)
            os.chmod(self._temp, _mode_for(self.final))
            os.replace(self._temp, self.final)
            self._temp = None
        except OSError as exc:
            raise _UsageError(f"cannot write {printable(str(self.target))}: {exc.strerror or exc}") from exc
        finally:
            self.discard()

    def discard(self) -> None:
        """Remove the temporary file, leaving the target as it was."""
        if self._temp is not None:
            self._temp.unlink(missing_ok=True)
            self._temp = None


def _mode_for(target: Path) -> int:
    """The permissions a replaced file keeps, or a new one gets under the umask."""
    try:
        return stat.S_IMODE(os.stat(target).st_mode)
    except OSError:
        umask = os.umask(0)
        os.umask(umask)
        return 0o666 & ~umask


def _inputs(args: argparse.Namespace, output: _Output) -> list[Path]:
    """The input files; the results file is never one of them."""
    files = expand_inputs(args.files, skip=output.final)
    if not files:
        raise _UsageError("no input files found")
    if output.final is not None and any(same_file(p, output.final) for p in files):
        raise _UsageError(f"--out {printable(str(args.out))} is one of the input files; name another file for the results")
    return files


def _check_fit_options(args: argparse.Namespace) -> Any:
    """The circuit, once the options are known to be sound."""
    import zetrion

    try:
        circuit = zetrion.Circuit(args.circuit)
    except ValueError as exc:
        raise _UsageError(f"--circuit {args.circuit!r}:\n{exc}") from exc
    if args.threads is not None and args.threads < 1:
        raise _UsageError("--threads must be at least 1")
    if args.seed is not None and not 0 <= args.seed < 2**64:
        raise _UsageError("--seed must lie in 0 .. 2**64 - 1")
    return circuit


def _plots_folder(arg: str | None) -> Path | None:
    """The figures' folder, made and proven writable before any fit."""
    if arg is None:
        return None
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        raise _UsageError("--plots needs matplotlib (pip install 'zetrion[plot]')") from None
    folder = Path(arg)
    try:
        folder.mkdir(parents=True, exist_ok=True)
        with tempfile.TemporaryFile(dir=folder):
            pass
    except OSError as exc:
        raise _UsageError(f"--plots {printable(arg)}: cannot write there: {exc.strerror or exc}") from exc
    return folder


class _Spectra:
    """The files of a run read one by one, as `fit_many` asks for them.

    A file that cannot be read becomes a failed row; its format, the
    reader's warnings and (for plots) its data are kept by id.
    """

    def __init__(self, files: list[Path], keep_data: bool, fmt: str | None = None) -> None:
        self.files = files
        self.fmt = fmt
        self.keep_data = keep_data
        self.formats: dict[str, str] = {}
        self.notes: dict[str, str] = {}
        self.data: dict[str, tuple[Path, Any, Any]] = {}

    def __iter__(self) -> Iterator[dict[str, Any]]:
        for path in self.files:
            key = printable(str(path))  # the id as the table will hold it
            try:
                sweeps = _read_sweeps(path, self.fmt)
            except _FATAL:
                raise
            except Exception as exc:
                yield {"id": key, "problem": _error_text(exc)}
                continue
            # a file that holds several sweeps gives a row per sweep
            for suffix, f, z, fmt, note in sweeps:
                sweep_key = key + suffix
                self.formats[sweep_key] = fmt
                if note:
                    self.notes[sweep_key] = note
                if self.keep_data:
                    self.data[sweep_key] = (path, f, z)
                yield {"id": sweep_key, "frequencies": f, "impedance": z}

    def finish(self, table: pd.DataFrame) -> pd.DataFrame:
        """The fit table as the command writes it: ``file`` and ``format`` first."""
        table = table.rename(columns={"id": "file"})
        table.insert(1, "format", [self.formats.get(k, "") for k in table["file"]])
        # reader warnings (e.g. an aborted sweep) go before what the fit says
        table["message"] = [
            printable("; ".join(t for t in (self.notes.get(k, ""), m) if t))
            for k, m in zip(table["file"], table["message"], strict=True)
        ]
        return table


def _cmd_fit(args: argparse.Namespace) -> int:
    from .batch import FitInterrupted, fit_many

    circuit = _check_fit_options(args)
    try:
        constraints = fit_constraints(args, circuit)
    except ValueError as exc:
        raise _UsageError(str(exc)) from None
    output = _Output(args.out)
    files = _inputs(args, output)
    plots = _plots_folder(args.plots)
    output.open()
    spectra = _Spectra(files, keep_data=plots is not None, fmt=chosen_format(args))
    interrupted = False
    try:
        try:
            # one file per chunk: a fit costs far more than handing it out, and
            # the fits start as soon as the first file is read
            table = fit_many(args.circuit, iter(spectra), method=args.method, threads=args.threads, chunksize=1,
                             progress=not args.quiet, checks=not args.no_checks, weight=args.weight, seed=args.seed,
                             **constraints)
        except FitInterrupted as exc:  # keep what was fitted
            table, interrupted = exc.partial, True
        table = spectra.finish(table)
        output.write(table)
    finally:
        output.discard()  # whatever went wrong, no temporary file stays behind
    if plots is not None and not interrupted:
        _write_plots(table, circuit, spectra.data, plots, quiet=args.quiet)
    failed = int((~table["success"]).sum())
    where = "" if args.out == "-" else f" -> {printable(args.out)}"
    if not args.quiet:
        doubtful = int((table["success"] & ~table["trustworthy"].astype(bool)).sum())
        print(f"zetrion fit: {len(table)} spectra, {len(table) - failed} fitted, {failed} failed{where}; "
              f"{doubtful} fitted but not trustworthy (see the flags column)", file=sys.stderr)
        for _, row in table[~table["success"]].iterrows():
            print(f"  {row['file']}: {row['message']}", file=sys.stderr)
    if interrupted:
        print(f"zetrion fit: interrupted; the {len(table)} rows finished of {len(files)} files are written{where}",
              file=sys.stderr)
        return EXIT_INTERRUPTED
    return EXIT_FAILURES if (args.strict and failed) else EXIT_OK


def _write_plots(
    table: pd.DataFrame,
    circuit: Any,
    data: dict[str, tuple[Path, Any, Any]],
    folder: Path,
    *,
    quiet: bool,
) -> None:
    """One PNG per file in ``folder`` (checked by `_plots_folder` beforehand)."""
    import matplotlib

    matplotlib.use("Agg")  # files only; no display needed
    import matplotlib.pyplot as plt
    from tqdm.auto import tqdm  # type: ignore[import-untyped, unused-ignore]

    names = circuit.param_names()
    rows = table[table["file"].isin(list(data))]
    used: set[str] = set()
    for _, row in tqdm(rows.iterrows(), total=len(rows), desc="plots", unit="fig", disable=True if quiet else None):
        path, f, z = data[row["file"]]
        values = [float(row[n]) for n in names]
        fitted = circuit.with_values(values) if all(math.isfinite(v) for v in values) else None
        stem = path.name  # the figure is named as its file, odd bytes and all
        name = stem
        k = 1
        while name in used:  # files of the same name in different folders
            k += 1
            name = f"{stem}-{k}"
        used.add(name)
        shown = printable(stem)
        title = f"{shown}: chi-square {row['chi_square']:.4g}" if row["success"] else f"{shown}: {row['message']}"
        fig = _figure(f, z, fitted, title=title)
        try:
            fig.savefig(folder / f"{name}.png", dpi=100)
        except OSError as exc:
            raise _UsageError(f"--plots: cannot write {printable(name)}.png: {exc.strerror or exc}") from exc
        finally:
            plt.close(fig)


def _figure(f: Any, z: Any, fitted: Any, title: str) -> Any:
    """Data and fit (the fit may be None): the package's plot_fit where present."""
    try:
        from .plotting import plot_fit
    except ImportError:  # an installation without the plotting module
        plot_fit = None  # type: ignore[assignment]
    if plot_fit is not None and fitted is not None:
        fig, _ = plot_fit(f, z, fitted, title=title)
        return fig
    import matplotlib.pyplot as plt

    f = np.asarray(f, dtype=float)
    z = np.asarray(z, dtype=complex)
    z_fit = fitted.impedance(f) if fitted is not None else None
    fig, (ax_n, ax_m) = plt.subplots(1, 2, figsize=(10, 4.2))
    ax_p = ax_m.twinx()
    ax_n.plot(z.real, -z.imag, "o", ms=3.5, label="data")
    ax_m.loglog(f, np.abs(z), "o", ms=3.5, color="C0", label="|Z| data")
    ax_p.semilogx(f, -np.angle(z, deg=True), "s", ms=3, color="C1", label="-phase data")
    if z_fit is not None:
        ax_n.plot(z_fit.real, -z_fit.imag, "-", color="C3", label="fit")
        ax_m.loglog(f, np.abs(z_fit), "-", color="C3", label="|Z| fit")
        ax_p.semilogx(f, -np.angle(z_fit, deg=True), "--", color="C3", label="-phase fit")
    ax_n.set_xlabel("Z' / ohm")
    ax_n.set_ylabel("-Z'' / ohm")
    ax_n.set_aspect("equal", adjustable="datalim")
    ax_n.grid(alpha=0.3)
    ax_n.legend()
    ax_m.set_xlabel("frequency / Hz")
    ax_m.set_ylabel("|Z| / ohm")
    ax_p.set_ylabel("-phase / deg")
    ax_m.grid(alpha=0.3, which="both")
    handles = ax_m.get_legend_handles_labels()
    extra = ax_p.get_legend_handles_labels()
    ax_m.legend(handles[0] + extra[0], handles[1] + extra[1], fontsize="small")
    fig.suptitle(title)
    fig.tight_layout()
    return fig


def _check_one(path: Path, options: dict[str, Any], fmt: str | None = None) -> dict[str, Any]:
    from .checks import check_spectrum

    row: dict[str, Any] = {
        "file": str(path), "format": "", "n_points": 0, "M": math.nan, "mu": math.nan,
        "max_residual": math.nan, "representation": "", "n_flagged": math.nan, "verdict": "error", "message": "",
    }
    if is_side_file(path):
        row.update(verdict=SKIPPED, message="not a spectrum (licence, read-me or notes file)")
        return row
    try:
        f, z, found, note, sweeps_note = _read_file(path, fmt)
        note = "; ".join(t for t in (note, sweeps_note) if t)
    except _FATAL:
        raise
    except Exception as exc:
        row["message"] = _error_text(exc)
        return row
    row["format"] = found
    row["n_points"] = len(f)
    notes = [note] if note else []
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            f, z = check_spectrum(f, z)
        except (ValueError, TypeError) as exc:
            row["message"] = "; ".join([*notes, _error_text(exc)])
            return row
    notes.extend(str(w.message) for w in caught)
    try:
        columns, status, message = kk_columns(f, z, options)
    except _FATAL:
        raise
    except Exception as exc:
        row["message"] = "; ".join([*notes, f"Lin-KK failed: {_error_text(exc)}"])
        return row
    row.update(columns)
    row["verdict"] = "warning" if status == "ok" and notes else status
    row["message"] = "; ".join([*notes, message] if message else notes)
    return row


def _cmd_check(args: argparse.Namespace) -> int:
    import pandas as pd  # type: ignore[import-untyped, unused-ignore]
    from tqdm.auto import tqdm  # type: ignore[import-untyped, unused-ignore]

    try:
        options = check_options(args)
    except ValueError as exc:
        raise _UsageError(str(exc)) from exc
    output = _Output(args.out)
    files = _inputs(args, output)
    output.open()
    try:
        rows = [
            _check_one(p, options, chosen_format(args))
            for p in tqdm(files, desc="checking", unit="file", disable=True if args.quiet else None)
        ]
        table = pd.DataFrame([_escaped(row) for row in rows])
        output.write(table)
    finally:
        output.discard()  # whatever went wrong, no temporary file stays behind
    shown = table.assign(
        file=[Path(p).name for p in table["file"]],
        mu=table["mu"].map(lambda v: "" if math.isnan(v) else f"{v:.3f}"),
        M=table["M"].map(lambda v: "" if math.isnan(v) else f"{int(v)}"),
        max_residual=table["max_residual"].map(lambda v: "" if math.isnan(v) else f"{100 * v:.3g} %"),
    )
    print(shown[["file", "format", "n_points", "M", "mu", "max_residual", "representation", "verdict"]].to_string(index=False))
    problems = table[~table["verdict"].isin(["ok", SKIPPED])]
    for _, row in problems.iterrows():
        print(f"  {Path(row['file']).name}: {row['verdict']}: {row['message']}")
    failed = int(table["verdict"].isin(["kk-fail", "error"]).sum())
    return EXIT_FAILURES if (args.strict and failed) else EXIT_OK


def _cmd_train(rest: Sequence[str]) -> int:
    import importlib

    try:
        # imported by name: the training tool is an optional part of the package
        train_main = importlib.import_module("zetrion_tools.training.cli").main
    except ImportError as exc:
        print(
            f"zetrion train: the training tool is not available in this installation ({exc}).\n"
            "It needs the training extra: pip install 'zetrion[train]'",
            file=sys.stderr,
        )
        return EXIT_USAGE
    try:
        return int(train_main(list(rest)) or 0)
    except SystemExit as exc:  # its argparse ends --help and usage errors this way
        return exc.code if isinstance(exc.code, int) else (EXIT_OK if exc.code is None else EXIT_USAGE)


def main(argv: Sequence[str] | None = None) -> int:
    """Run the ``zetrion`` command line.

    Parameters
    ----------
    argv : sequence of str, optional
        Arguments without the program name; by default ``sys.argv[1:]``.

    Returns
    -------
    int
        Exit status: 0 ran, 1 failures under ``--strict``, 2 usage error.
    """
    status = _run(list(sys.argv[1:] if argv is None else argv))
    if argv is None and status == EXIT_INTERRUPTED and threading.active_count() > 1:
        # Fits running in worker threads cannot be stopped from outside, and
        # an orderly exit would wait for them: the results are written, so
        # leave now.
        sys.stdout.flush()
        sys.stderr.flush()
        os._exit(status)
    return status


def _run(argv: list[str]) -> int:
    parser = _parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as exc:  # --help, --version (0) or a usage error (2)
        return int(exc.code) if isinstance(exc.code, int) else EXIT_USAGE
    try:
        if args.command == "fit":
            return _cmd_fit(args)
        if args.command == "check":
            return _cmd_check(args)
        if args.command == "train":
            return _cmd_train(args.args)
        if args.command == "drt":
            return run_drt(args)
        if args.command == "series":
            return run_series(args)
        if args.command == "suggest":
            return run_suggest(args)
    except _UsageError as exc:
        print(f"zetrion {args.command}: error: {exc}", file=sys.stderr)
        return EXIT_USAGE
    except KeyboardInterrupt:
        print("zetrion: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # the reader of our output went away (`zetrion check ... | head`):
        # stop quietly, and keep Python from complaining at exit
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_PIPE
    parser.print_help(sys.stderr)
    return EXIT_USAGE


if __name__ == "__main__":
    sys.exit(main())
