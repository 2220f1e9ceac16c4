"""Fit one circuit to many spectra on one machine.

`fit_many` spreads the fits over a pool of threads: ``Circuit.fit`` releases
the interpreter lock around its numeric work, so threads run fits side by
side without the cost of pickling data to other processes. One ``Circuit``
serves every thread (circuits are immutable). The spectra are read and
checked in the calling thread, chunk by chunk, while the workers fit the
chunks submitted before; each worker turns its fits into plain rows, and a
single data frame is built at the end, so the batch layer adds little to the
time of the fits themselves.

Spectra may come as ``(f, z)`` pairs, :class:`zetrion_tools.io.Spectrum`
objects, dicts, or a long-form data frame (one row per measured point); see
`iter_spectra` and `frame_to_spectra`.
"""

from __future__ import annotations

import functools
import math
import os
import threading
import time
import warnings
from collections.abc import Hashable, Iterable, Iterator, Mapping, Sequence
from concurrent.futures import FIRST_COMPLETED, Future, ThreadPoolExecutor, wait
from typing import TYPE_CHECKING, Any, NoReturn, cast

import numpy as np
import numpy.typing as npt
import pandas as pd  # type: ignore[import-untyped, unused-ignore]
import zetrion

from .checks import inspect_spectrum
from .io.frames import arrays_or_problem, columns_by_name, reader_note
from .engine import fit_methods, has_learned_model
from .options import FitOptions, resolve_options
from .row_fits import QUALITY_COLUMNS, Constraints, core_row_fit, failed_quality, needs_companion, quality_cells

if TYPE_CHECKING:
    from tqdm import tqdm as _Tqdm  # type: ignore[import-untyped, unused-ignore]

__all__ = [
    "FIT_METHODS",
    "FitInterrupted",
    "fit_many",
    "frame_to_spectra",
    "has_learned_guess",
    "iter_spectra",
    "result_columns",
    "spectra_to_frame",
]

#: Methods accepted by ``Circuit.fit``, in the core's order.
FIT_METHODS = fit_methods()


# Column names recognised in long-form frames and in dicts, most specific first.
_ID_NAMES = ("spectrum_id", "spectrum", "id", "file", "path")
_FREQ_NAMES = ("frequency", "frequency_hertz", "Frequency / Hz", "frequencies", "freq", "f")
_REAL_NAMES = ("real", "z_real", "real_impedance_ohm", "Real Impedance / ohm", "zreal", "re")
_IMAG_NAMES = ("imag", "z_imag", "imaginary_impedance_ohm", "Imaginary Impedance / ohm", "zimag", "im")
_Z_NAMES = ("impedance", "impedances", "z")

# (id, frequencies, impedances, problem, what the file's reader said of it):
# problem is a message when the entry could not be read as a spectrum, else None
_Item = tuple[Hashable, Any, Any, "str | None", str]


def result_columns(param_names: Sequence[str]) -> list[str]:
    """Columns of the frame that `fit_many` returns, in order.

    Parameters
    ----------
    param_names : sequence of str
        The circuit's parameter names (``Circuit.param_names()``).

    Returns
    -------
    list of str
        ``id``, one column per parameter value, one ``<name>_stderr`` column
        per parameter, then ``chi_square``, ``success``, ``message``,
        ``iterations``, ``n_points``, ``time`` (seconds spent in the fit),
        then the verdict of :mod:`zetrion_tools.quality`: ``trustworthy``,
        ``flags`` (short codes joined by ``"; "``) and ``vouched`` (the
        parameters the fit vouches for, joined by commas).
    """
    return [
        "id",
        *param_names,
        *(f"{n}_stderr" for n in param_names),
        "chi_square",
        "success",
        "message",
        "iterations",
        "n_points",
        "time",
        *QUALITY_COLUMNS,
    ]


def _first_present(keys: Iterable[Any], names: Sequence[str]) -> str | None:
    present = set(keys)
    for n in names:
        if n in present:
            return n
    return None


def _find_column(frame: pd.DataFrame, given: str | None, names: Sequence[str], what: str) -> str:
    if given is not None:
        if given not in frame.columns:
            raise KeyError(f"no column {given!r} in the frame; its columns are {list(frame.columns)}")
        return given
    found = _first_present(frame.columns, names)
    if found is None:
        raise KeyError(
            f"no {what} column: expected one of {list(names)} (or name it explicitly); "
            f"the frame's columns are {list(frame.columns)}"
        )
    return found


def frame_to_spectra(
    frame: pd.DataFrame,
    *,
    id_column: str | None = None,
    frequency_column: str | None = None,
    real_column: str | None = None,
    imag_column: str | None = None,
) -> list[tuple[Hashable, npt.NDArray[np.float64], npt.NDArray[np.complex128]]]:
    """Split a long-form frame of spectra into ``(id, f, z)`` triples.

    Parameters
    ----------
    frame : pandas.DataFrame
        One row per measured point, with a spectrum id, the frequency in Hz
        and the real and imaginary parts of the impedance in ohm (capacitive
        = negative imaginary part).
    id_column, frequency_column, real_column, imag_column : str, optional
        Column names. Unset, the id is looked up among ``spectrum_id``,
        ``spectrum``, ``id``, ``file``, ``path``; the others among
        ``frequency``, ``real``, ``imag`` and the like, else by the names a
        delimited file may use, units converted (``freq/Hz``, ``Z' / kΩ``,
        ``Phase / deg``; see :func:`zetrion_tools.io.read_delimited`).

    Returns
    -------
    list of (id, f, z)
        One triple per distinct id, in order of first appearance; the points
        of a spectrum keep their order in the frame.

    Raises
    ------
    KeyError
        A column is missing.
    """
    idc = _find_column(frame, id_column, _ID_NAMES, "spectrum id")
    f_all, z_all = _point_columns(frame, idc, frequency_column, real_column, imag_column)
    if len(frame) == 0:
        return []
    # One pass over whole columns rather than a groupby: grouping by code with
    # a stable sort keeps both the order of the spectra and of their points.
    codes, uniques = pd.factorize(frame[idc], sort=False, use_na_sentinel=False)
    order = np.argsort(codes, kind="stable")
    bounds = np.flatnonzero(np.diff(codes[order])) + 1
    f_all, z_all = f_all[order], z_all[order]
    ids = list(uniques)
    return [
        (_plain(ids[k]), f, z)
        for k, (f, z) in enumerate(zip(np.split(f_all, bounds), np.split(z_all, bounds), strict=True))
    ]


def _point_columns(frame: pd.DataFrame, idc: str, *given: str | None) -> tuple[Any, Any]:
    """Frequencies and impedances of every row of a long-form frame, in frame order."""
    known = [_first_present(frame.columns, names) for names in (_FREQ_NAMES, _REAL_NAMES, _IMAG_NAMES)]
    if given == (None, None, None) and None in known and (named := columns_by_name(frame, idc)) is not None:
        return named  # named as in a file, units and all
    fc, rc, ic = (_find_column(frame, g, n, w) for g, n, w in zip(
        given, (_FREQ_NAMES, _REAL_NAMES, _IMAG_NAMES), ("frequency", "real-part", "imaginary-part")))
    f, re, im = (pd.to_numeric(frame[c], errors="coerce").to_numpy(dtype=np.float64, na_value=np.nan)
                 for c in (fc, rc, ic))
    return f, re + 1j * im


def _plain(value: Any) -> Hashable:
    """A NumPy scalar id as the Python scalar it holds, so ids print plainly."""
    if isinstance(value, np.generic):
        item: Hashable = value.item()
        return item
    hashable: Hashable = value
    return hashable


def spectra_to_frame(
    spectra: Iterable[Any],
    *,
    id_column: str = "spectrum_id",
) -> pd.DataFrame:
    """Build a long-form frame (id, frequency, real, imag) from spectra.

    The inverse of `frame_to_spectra`; handy for writing many spectra to one
    CSV or Parquet file, or for building a Dask DataFrame of spectra.

    Parameters
    ----------
    spectra : iterable
        Anything `iter_spectra` accepts.
    id_column : str
        Name of the id column.

    Returns
    -------
    pandas.DataFrame
        Columns ``id_column``, ``frequency``, ``real``, ``imag``.

    Raises
    ------
    ValueError
        An entry could not be read as a spectrum.
    """
    ids: list[Any] = []
    fs: list[npt.NDArray[np.float64]] = []
    zs: list[npt.NDArray[np.complex128]] = []
    for sid, f, z, problem in iter_spectra(spectra):
        if problem is not None:
            raise ValueError(f"spectrum {sid!r}: {problem}")
        fa = np.asarray(f, dtype=np.float64).ravel()
        za = np.asarray(z, dtype=np.complex128).ravel()
        if fa.shape != za.shape:
            raise ValueError(f"spectrum {sid!r}: {fa.size} frequencies but {za.size} impedances")
        ids.extend([sid] * fa.size)
        fs.append(fa)
        zs.append(za)
    f_all = np.concatenate(fs) if fs else np.empty(0)
    z_all = np.concatenate(zs) if zs else np.empty(0, dtype=np.complex128)
    return pd.DataFrame({id_column: ids, "frequency": f_all, "real": z_all.real, "imag": z_all.imag})


def _from_mapping(entry: Mapping[str, Any], index: int) -> _Item:
    keys = list(entry.keys())
    sid: Hashable = entry["id"] if "id" in entry else index
    if entry.get("problem"):  # a record that already failed to read (see distributed.to_records)
        return sid, None, None, str(entry["problem"]), ""
    fk, zk, rk, ik = (_first_present(keys, n) for n in (_FREQ_NAMES, _Z_NAMES, _REAL_NAMES, _IMAG_NAMES))
    if fk is None or (zk is None and (rk is None or ik is None)):
        # columns named as in a file ('freq/Hz', 'Re(Z)/Ohm', 'Phase / deg' ...)
        return (sid, *arrays_or_problem({k: v for k, v in entry.items() if k != "id"}), "")
    if zk is not None:
        return sid, entry[fk], entry[zk], None, ""
    assert rk is not None and ik is not None
    try:
        z = np.asarray(entry[rk], dtype=np.float64) + 1j * np.asarray(entry[ik], dtype=np.float64)
    except (TypeError, ValueError) as e:
        return sid, None, None, f"impedance values are not numeric: {e}", ""
    return sid, entry[fk], z, None, ""


def iter_spectra(spectra: Any, ids: Sequence[Hashable] | None = None) -> Iterator[tuple[Hashable, Any, Any, str | None]]:
    """Read the entries of a batch as ``(id, f, z, problem)`` tuples.

    Accepted entries:

    * a pair ``(f, z)``, or a triple ``(id, f, z)``;
    * an object with ``frequencies`` and ``impedance`` attributes such as
      :class:`zetrion_tools.io.Spectrum` (its id is its file path when it
      has one);
    * a dict with a frequency key (``frequencies``, ``frequency``, ``f``,
      ``frequency_hertz`` ...) and either ``impedance``/``z`` or real and
      imaginary keys, optionally ``id``.

    A pandas DataFrame as a whole is read in long form by `frame_to_spectra`.

    Parameters
    ----------
    spectra : iterable or pandas.DataFrame
        The batch.
    ids : sequence, optional
        Ids to use instead of the entries' own, one per entry.

    Yields
    ------
    (id, f, z, problem)
        ``problem`` is a message when the entry is not a spectrum (``f`` and
        ``z`` are then None), else None. Ids default to the entry's position.
    """
    yield from (item[:4] for item in _entries(spectra, ids))


def _entries(spectra: Any, ids: Sequence[Hashable] | None) -> Iterator[_Item]:
    """`iter_spectra`'s entries, each with what its reader said (a Spectrum's warnings)."""
    if isinstance(spectra, pd.DataFrame):
        items: Iterable[Any] = frame_to_spectra(spectra)
    elif isinstance(spectra, (str, bytes)) or not isinstance(spectra, Iterable):
        raise TypeError(
            f"spectra must be an iterable of spectra or a long-form DataFrame, not {type(spectra).__name__}"
        )
    else:
        items = spectra
    id_iter = iter(ids) if ids is not None else None
    for index, entry in enumerate(items):
        item = _read_entry(entry, index)
        if id_iter is not None:
            try:
                item = (next(id_iter), *item[1:])
            except StopIteration:
                raise ValueError("fewer ids than spectra") from None
        yield item


def _read_entry(entry: Any, index: int) -> _Item:
    if hasattr(entry, "frequencies") and hasattr(entry, "impedance"):
        path = getattr(entry, "path", None)
        sid = str(path) if path is not None else index
        return sid, entry.frequencies, entry.impedance, None, reader_note(entry)
    if isinstance(entry, Mapping):
        return _from_mapping(entry, index)
    if isinstance(entry, pd.DataFrame):  # one spectrum, a point per row
        return (index, *arrays_or_problem(entry), "")
    if isinstance(entry, (tuple, list)):
        if len(entry) == 2:
            return index, entry[0], entry[1], None, ""
        if len(entry) == 3:
            return entry[0], entry[1], entry[2], None, ""
        return index, None, None, f"a spectrum tuple has 2 items (f, z) or 3 (id, f, z), not {len(entry)}", ""
    return index, None, None, f"cannot read a spectrum from a {type(entry).__name__}", ""


class _Fitter:
    """The per-spectrum work of a batch, shared by every worker thread."""

    def __init__(
        self,
        circuit: zetrion.Circuit,
        method: str,
        checks: bool,
        fit_kwargs: dict[str, Any],
        constraints: Constraints | None = None,
    ) -> None:
        self.circuit = circuit
        self.names: list[str] = circuit.param_names()
        self.n_params = len(self.names)
        self.method = method
        self.checks = checks
        self.fit_kwargs = fit_kwargs
        self.weight = str(fit_kwargs.get("weight", "modulus"))
        self.constraints = constraints
        self.nan_row = [math.nan] * (2 * self.n_params)

    def prepare(self, item: _Item) -> tuple[Hashable, Any, Any, str | None, str]:
        """Check one spectrum; returns it with its problem and notes.

        The checks' warnings come back as texts (no Python warnings
        machinery, which is slow and not thread-safe), so this runs in the
        worker threads beside the fits and each note stays with its spectrum.
        """
        sid, f, z, problem, said = item
        if problem is not None or not self.checks:
            return sid, f, z, problem, said
        notes: list[str] = [said] if said else []  # the reader's first, then the checks'
        try:
            f, z, checked = inspect_spectrum(f, z, self.n_params)
            notes.extend(checked)
        except (MemoryError, RecursionError):  # the process's trouble, not this spectrum's
            raise
        except Exception as e:  # whatever the data provoke is this spectrum's failure
            problem = str(e) if isinstance(e, ValueError) and str(e) else f"{type(e).__name__}: {e}"
            problem = f"{said}; {problem}" if said else problem
        return sid, f, z, problem, "; ".join(notes)

    def fit(self, sid: Hashable, f: Any, z: Any, problem: str | None, note: str) -> list[Any]:
        """Fit one prepared spectrum and return its result row."""
        n_points = _length(f)
        if problem is not None:
            return [sid, *self.nan_row, math.nan, False, problem, 0, n_points, 0.0, *failed_quality()]
        t0 = time.perf_counter()
        try:
            if self.constraints is not None:
                r = self.constraints.fit(f, z)
            else:
                # the method was checked against the core's names when the batch started
                core = self.circuit.fit(f, z, method=cast(Any, self.method), **self.fit_kwargs)
                r = core_row_fit(self.circuit, f, z, core, self.weight)
        except (MemoryError, RecursionError):  # the process's trouble, not this spectrum's
            raise
        except Exception as e:  # recorded against the spectrum; the batch goes on
            message = f"{type(e).__name__}: {e}" if not isinstance(e, ValueError) else str(e)
            elapsed = time.perf_counter() - t0
            return [sid, *self.nan_row, math.nan, False, message, 0, n_points, elapsed, *failed_quality()]
        elapsed = time.perf_counter() - t0
        message = note if r.success else ("the fit did not converge" + (f"; {note}" if note else ""))
        return [sid, *r.values, *r.errors, r.chi_square, r.success, message, r.iterations, n_points, elapsed,
                *quality_cells(r.quality)]

    def fit_chunk(self, chunk: list[_Item], out: list[list[Any]], stop: threading.Event | None = None) -> int:
        """Check and fit a chunk of spectra, appending one row each to ``out``.

        Rows are appended as they are made, so that an interrupted batch
        keeps the rows of a chunk it was part-way through. Stops before the
        next spectrum once ``stop`` is set; returns the number of rows made.
        """
        for item in chunk:
            if stop is not None and stop.is_set():
                break
            out.append(self.fit(*self.prepare(item)))
        return len(out)


def _length(x: Any) -> int:
    try:
        return len(x)
    except TypeError:
        return 0


def thread_count(threads: int | None) -> int:
    """The worker threads to use: ``threads``, or one per available core."""
    if threads is None:
        try:
            return max(1, len(os.sched_getaffinity(0)))
        except AttributeError:  # not on Linux
            return max(1, os.cpu_count() or 1)
    if isinstance(threads, bool) or not isinstance(threads, int) or threads < 1:
        raise ValueError(f"threads must be a positive integer or None, not {threads!r}")
    return threads


def _make_circuit(notation: str | zetrion.Circuit) -> zetrion.Circuit:
    if isinstance(notation, zetrion.Circuit):
        return notation
    if not isinstance(notation, str):
        raise TypeError(f"notation must be a str or a zetrion.Circuit, not {type(notation).__name__}")
    return zetrion.Circuit(notation)


@functools.lru_cache(maxsize=256)
def has_learned_guess(notation: str) -> bool:
    """Whether fits of this circuit can start from a learned guess.

    Parameters
    ----------
    notation : str
        Circuit notation or preset name.

    Returns
    -------
    bool
        True when a built-in model covers the circuit's topology.
    """
    return has_learned_model(notation)


def settle_start_rule(notation: str | zetrion.Circuit, fit_kwargs: dict[str, Any]) -> dict[str, Any]:
    """Fit options with the start rule settled once for the whole batch.

    A fresh circuit without a learned model would make every fit warn; say
    it once here and let the fits start from the defaults without warning,
    which is what each of them would have done.
    """
    if not isinstance(notation, str) or "guess_init" in fit_kwargs or fit_kwargs.get("weights") is not None:
        return fit_kwargs
    if has_learned_guess(notation):
        return fit_kwargs
    warnings.warn(
        f"There is no learned model to guess initial parameters for {notation!r}: every fit starts from "
        "the default values. Pass a circuit with start values, fit_many(Circuit(...).with_values([...]), ...), "
        "or train a model for this circuit with zetrion-train and pass its file as weights=...; "
        "guess_init=False silences this.",
        UserWarning,
        stacklevel=3,
    )
    return {**fit_kwargs, "guess_init": False}


def check_fit_arguments(method: str, fit_kwargs: Mapping[str, Any]) -> None:
    """Refuse an unknown method, weighting or fit option before a batch starts.

    A wrong option would fail every fit alike: say so once, before starting.
    The names are checked as :class:`~zetrion_tools.options.FitOptions` checks
    them; held and bounded parameters (``fixed``, ``bounds``) pass on to
    `fit_many`, which checks them against the circuit.
    """
    FitOptions.from_keywords(method, {k: v for k, v in fit_kwargs.items() if k not in ("fixed", "bounds")})


def _progress_bar(total: int | None, progress: bool, desc: str) -> _Tqdm[Any] | None:
    if not progress:
        return None
    try:
        from tqdm.auto import tqdm  # type: ignore[import-untyped, unused-ignore]
    except ImportError:
        return None
    # disable=None lets tqdm switch itself off when stderr is not a terminal
    return tqdm(total=total, disable=None, desc=desc, unit="spectra", smoothing=0.1)


def _chunks(items: Iterator[_Item], size: int) -> Iterator[list[_Item]]:
    chunk: list[_Item] = []
    try:
        for item in items:
            chunk.append(item)
            if len(chunk) == size:
                yield chunk
                chunk = []
    except (MemoryError, RecursionError):
        raise
    except Exception:
        # the input failed: what it gave before still gets fitted, then the
        # error goes on from the next request for a chunk
        if chunk:
            yield chunk
        raise
    if chunk:
        yield chunk


def fit_many(
    notation: str | zetrion.Circuit,
    spectra: Any,
    method: str = "levenberg_marquardt",
    threads: int | None = None,
    progress: bool = True,
    checks: bool = True,
    *,
    ids: Sequence[Hashable] | None = None,
    chunksize: int | None = None,
    options: FitOptions | None = None,
    fixed: Mapping[str, float] | None = None,
    bounds: Mapping[str, tuple[float, float]] | None = None,
    **fit_kwargs: Any,
) -> pd.DataFrame:
    """Fit one circuit to many spectra over a pool of threads.

    Parameters
    ----------
    notation : str or zetrion.Circuit
        Circuit notation or preset name (``"randles"``), or a circuit; a
        circuit given values with ``with_values`` starts every fit from them.
    spectra : iterable or pandas.DataFrame
        ``(f, z)`` pairs, ``(id, f, z)`` triples, Spectrum objects, dicts, or
        a long-form frame (spectrum id, frequency, real, imag); see
        `iter_spectra` and `frame_to_spectra`. Generators are consumed
        lazily, a few chunks ahead of the workers.
    method : str
        Fit method of ``Circuit.fit``.
    threads : int, optional
        Worker threads; by default one per core available to the process.
        ``1`` fits in the calling thread.
    progress : bool
        Show a tqdm progress bar on stderr (tqdm hides it itself when stderr
        is not a terminal).
    checks : bool
        Run `zetrion_tools.checks.check_spectrum` on every spectrum first, as
        a single fit does: a spectrum that fails is recorded with the check's
        message and not fitted; a data warning (such as a flipped imaginary
        sign) is noted in the ``message`` column.
    ids : sequence, optional
        Ids for the rows, one per spectrum, instead of the spectra's own.
    chunksize : int, optional
        Spectra handed to a worker at a time; by default chosen from the size
        of the batch (larger chunks cost less, smaller ones balance better).
    options : FitOptions, optional
        The method and the ``Circuit.fit`` settings as one object (the one
        :func:`zetrion_tools.fit` and the distributed fits take), instead of
        ``method`` and keywords.
    fixed, bounds : mapping, optional
        Parameters held at given values, and narrower ranges, as
        :func:`zetrion_tools.fit` takes them (``{"R0.r": 0.02}``,
        ``{"CPE1.alpha": (0.7, 1)}``). With either, or with a weighting only
        the companion applies (``"proportional"``, ``"boukamp"``), every
        spectrum is fitted by :func:`zetrion_tools.fit`.
    **fit_kwargs
        Passed to ``Circuit.fit`` (``weight``, ``max_iterations``, ``seed``,
        ``guess_init`` ...).

    Returns
    -------
    pandas.DataFrame
        One row per spectrum, in input order, with the columns of
        `result_columns`: id, parameter values, standard errors, chi-square,
        success, message (empty when all went well), iterations, points,
        time and the verdict (trustworthy, flags, vouched). Interchangeable
        blocks come in ascending time constant (:mod:`zetrion_tools.arcs`).
        A spectrum that could not be checked or fitted has NaN values,
        ``success`` False and the reason in ``message``.

    Raises
    ------
    FitInterrupted
        Ctrl-C, within a fraction of a second on any number of threads; its
        ``partial`` holds the rows fitted so far (see the batch docs).
    ValueError
        Unknown method, bad notation or a bad ``threads``.
    TypeError
        An option ``Circuit.fit`` does not accept.

    An error of the ``spectra`` iterable (after the spectra it gave are
    fitted), ``MemoryError`` and ``RecursionError`` propagate with the rows
    made so far in a ``partial`` attribute added to them.

    Examples
    --------
    >>> from zetrion_tools import fit_many
    >>> table = fit_many("randles", [(f1, z1), (f2, z2)])  # doctest: +SKIP
    >>> table[["id", "R1.r", "chi_square", "success"]]      # doctest: +SKIP
    """
    circuit = _make_circuit(notation)
    method, fit_kwargs = resolve_options(options, method, fit_kwargs)
    check_fit_arguments(method, fit_kwargs)
    n_threads = thread_count(threads)
    settled = settle_start_rule(notation, dict(fit_kwargs))
    constraints = None
    if needs_companion(fixed, bounds, settled):
        constraints = Constraints(circuit, fixed, bounds, FitOptions.from_keywords(method, settled))
    fitter = _Fitter(circuit, method, checks, settled, constraints)
    if isinstance(spectra, pd.DataFrame):  # rows are points: split first, so the bar counts spectra
        spectra = frame_to_spectra(spectra)
    total = len(spectra) if isinstance(spectra, Sequence) else None
    chunks = _chunks(_entries(spectra, ids), _chunk_size(chunksize, total, n_threads))
    bar = _progress_bar(total, progress, f"fitting {notation if isinstance(notation, str) else 'circuit'}")
    attrs = {"notation": notation if isinstance(notation, str) else repr(notation), "method": method,
             "threads": n_threads}
    try:
        return _run_batch(fitter, chunks, n_threads, bar, attrs)
    finally:
        if bar is not None:
            bar.close()


def _chunk_size(chunksize: int | None, total: int | None, n_threads: int) -> int:
    if chunksize is None:
        # about eight chunks per thread: enough to balance uneven fits, few
        # enough that handing them out costs nothing next to the fits
        return 16 if total is None else max(1, min(64, total // (8 * n_threads) or 1))
    if chunksize < 1:
        raise ValueError(f"chunksize must be at least 1, not {chunksize}")
    return chunksize


def _run_batch(
    fitter: _Fitter,
    chunks: Iterator[list[_Item]],
    n_threads: int,
    bar: _Tqdm[Any] | None,
    attrs: dict[str, Any],
) -> pd.DataFrame:
    """The rows of every chunk as one frame; on Ctrl-C or an error, the rows made so far go with it."""
    done: list[list[list[Any]]] = []  # one list of rows per chunk, in input order
    t_start = time.perf_counter()
    try:
        if n_threads == 1:
            for chunk in chunks:
                done.append([])
                n = fitter.fit_chunk(chunk, done[-1])
                if bar is not None:
                    bar.update(n)
        else:
            _run_pool(fitter, chunks, n_threads, bar, done)
    except BaseException as exc:
        _raise_with_partial(exc, fitter.names, done, {**attrs, "wall_time": time.perf_counter() - t_start})
    frame = _result_frame(fitter.names, [row for rows in done for row in rows])
    frame.attrs.update(attrs, wall_time=time.perf_counter() - t_start)
    return frame


def _run_pool(
    fitter: _Fitter,
    chunks: Iterator[list[_Item]],
    n_threads: int,
    bar: _Tqdm[Any] | None,
    done: list[list[list[Any]]],
) -> None:
    """Fit the chunks over a pool of threads, each chunk into its own list of ``done``.

    On Ctrl-C or an error this returns at once: queued chunks are cancelled
    and running ones stop after their current spectrum. ``Circuit.fit`` can
    only be interrupted in the main thread, so a fit running in a worker
    finishes in the background and its row is dropped. An error raised by
    the input lets the chunks already read finish before it propagates.
    """
    stop = threading.Event()
    pending: set[Future[int]] = set()
    max_pending = 3 * n_threads  # bounds memory when the spectra come from a generator
    pool = ThreadPoolExecutor(max_workers=n_threads, thread_name_prefix="zetrion-fit")
    try:
        input_error: Exception | None = None
        while True:
            try:
                chunk = next(chunks)
            except StopIteration:
                break
            except (MemoryError, RecursionError):
                raise
            except Exception as exc:  # a failing generator: fit what it gave before
                input_error = exc
                break
            done.append([])
            pending.add(pool.submit(fitter.fit_chunk, chunk, done[-1], stop))
            if len(pending) >= max_pending:
                pending = _collect(pending, bar)
        while pending:
            pending = _collect(pending, bar)
        if input_error is not None:
            raise input_error
    except BaseException:
        stop.set()
        pool.shutdown(wait=False, cancel_futures=True)
        raise
    pool.shutdown(wait=True)


def _collect(pending: set[Future[int]], bar: _Tqdm[Any] | None) -> set[Future[int]]:
    """Wait for at least one chunk; re-raise a worker's error; return those still running."""
    finished, running = wait(pending, return_when=FIRST_COMPLETED)
    for fut in finished:
        n = fut.result()
        if bar is not None:
            bar.update(n)
    return running


class FitInterrupted(KeyboardInterrupt):
    """Ctrl-C stopped `fit_many`; the rows fitted before it are in ``partial``.

    A ``KeyboardInterrupt``, so code that does not look for it stops as
    before. ``partial`` is the frame `fit_many` would have returned for the
    spectra whose fits had finished, in input order, with
    ``partial.attrs["interrupted"]`` set.
    """

    def __init__(self, partial: pd.DataFrame) -> None:
        super().__init__(f"fit_many was interrupted after {len(partial)} fitted spectra (see .partial)")
        self.partial = partial


def _raise_with_partial(
    exc: BaseException, names: Sequence[str], done: list[list[list[Any]]], attrs: dict[str, Any]
) -> NoReturn:
    """Re-raise ``exc`` with the rows made so far: Ctrl-C as `FitInterrupted`,
    any other error with a ``partial`` attribute added."""
    try:
        partial = _result_frame(names, [row for rows in done for row in list(rows)])
    except Exception:  # MemoryError included: the original error matters more
        partial = None
    if partial is None:
        raise exc
    partial.attrs.update(attrs, interrupted=type(exc).__name__)
    if isinstance(exc, KeyboardInterrupt) and not isinstance(exc, FitInterrupted):
        raise FitInterrupted(partial) from exc
    if not hasattr(exc, "partial"):
        exc.partial = partial  # type: ignore[attr-defined]
        exc.add_note(f"fit_many: the {len(partial)} rows made before this error are in its .partial attribute")
    raise exc


def _result_frame(names: Sequence[str], rows: list[list[Any]]) -> pd.DataFrame:
    if not rows:
        return empty_result(names)
    # A file name that is not UTF-8 reaches the ids (and messages) with
    # surrogates that no string column can store: escape them in place.
    message = 2 * len(names) + 3
    for row in rows:
        for i in (0, message):
            if isinstance(row[i], str) and not row[i].isascii():
                row[i] = printable(row[i])
    return pd.DataFrame(rows, columns=result_columns(names))


def printable(text: str) -> str:
    """``text`` as it can be written in UTF-8.

    The undecodable bytes of a file name, which Python holds as surrogates,
    become ``\\xNN`` escapes; any other lone surrogate a ``\\uXXXX`` one.
    """
    try:
        return text.encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")
    except UnicodeEncodeError:  # lone surrogates that no file name produced
        return text.encode("utf-8", "backslashreplace").decode("utf-8")


def empty_result(names: Sequence[str]) -> pd.DataFrame:
    """The frame of a batch without spectra, with the dtypes of a full one."""
    cols = result_columns(names)
    data: dict[str, pd.Series[Any]] = {}
    for c in cols:
        if c in ("id", "message"):
            data[c] = pd.Series([], dtype=object)
        elif c in ("success", "trustworthy"):
            data[c] = pd.Series([], dtype=bool)
        elif c in ("flags", "vouched"):
            data[c] = pd.Series([], dtype=object)
        elif c in ("iterations", "n_points"):
            data[c] = pd.Series([], dtype=np.int64)
        else:
            data[c] = pd.Series([], dtype=np.float64)
    return pd.DataFrame(data)
