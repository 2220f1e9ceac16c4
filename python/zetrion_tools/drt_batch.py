"""DRTs of many spectra on a pool of threads, as one table of peaks.

The deconvolution runs in the compiled core without the interpreter lock,
so threads run spectra side by side on every core.
"""

from __future__ import annotations

import math
import time
from collections.abc import Hashable, Iterator, Sequence
from concurrent.futures import FIRST_COMPLETED, Future, ThreadPoolExecutor, wait
from typing import Any

import pandas as pd  # type: ignore[import-untyped, unused-ignore]

from .batch import iter_spectra, thread_count
from .drt_analysis import drt
from .drt_peaks import PEAK_COLUMNS, peak_rows

__all__ = ["DRT_MANY_COLUMNS", "drt_many"]

DRT_MANY_COLUMNS = ["id", *PEAK_COLUMNS, "r_inf", "polarisation", "lam", "signed", "message", "time"]
"""The columns of :func:`drt_many`'s table."""

PEAK_OPTIONS = frozenset({"prominence", "separate", "shape", "max_peaks"})

Item = tuple[Hashable, Any, Any, "str | None"]


class Worker:
    """The per-spectrum work, shared by the threads."""

    def __init__(self, drt_kwargs: dict[str, Any], peak_kwargs: dict[str, Any]) -> None:
        self.drt_kwargs = drt_kwargs
        self.peak_kwargs = peak_kwargs

    def one(self, item: Item) -> list[list[Any]]:
        sid, f, z, problem = item
        blank = [math.nan] * (len(PEAK_COLUMNS) - 1)
        if problem is not None:
            return [[sid, 0, *blank, math.nan, math.nan, math.nan, False, problem, 0.0]]
        t0 = time.perf_counter()
        try:
            r = drt(f, z, check_sign=False, **self.drt_kwargs)
            table = peak_rows(r, **self.peak_kwargs)
        except Exception as e:  # recorded against the spectrum; the batch goes on
            message = str(e) if isinstance(e, ValueError) and str(e) else f"{type(e).__name__}: {e}"
            return [[sid, 0, *blank, math.nan, math.nan, math.nan, False, message, time.perf_counter() - t0]]
        elapsed = time.perf_counter() - t0
        tail = [r.r_inf, r.polarisation, r.lam, r.signed, "", elapsed]
        if not table:
            return [[sid, 0, *blank, *tail[:-2], "no peak", elapsed]]
        return [[sid, *row, *tail] for row in table]

    def chunk(self, items: list[Item]) -> list[list[Any]]:
        return [row for item in items for row in self.one(item)]


def chunked(items: Iterator[Item], size: int) -> Iterator[list[Item]]:
    """Consecutive lists of ``size`` items (the last may be shorter)."""
    chunk: list[Item] = []
    for item in items:
        chunk.append(item)
        if len(chunk) == size:
            yield chunk
            chunk = []
    if chunk:
        yield chunk


def drt_many(
    spectra: Any,
    threads: int | None = None,
    progress: bool = True,
    *,
    ids: Sequence[Hashable] | None = None,
    chunksize: int | None = None,
    **options: Any,
) -> pd.DataFrame:
    """The DRT of every spectrum in a batch, as one table of peaks.

    Parameters
    ----------
    spectra : iterable or pandas.DataFrame
        ``(f, z)`` pairs, ``(id, f, z)`` triples, Spectrum objects, dicts, or
        a long-form frame, as :func:`zetrion_tools.fit_many` takes them.
    threads : int, optional
        Worker threads; one per available core by default.
    progress : bool
        Show a tqdm progress bar on stderr.
    ids : sequence, optional
        Ids for the spectra instead of their own.
    chunksize : int, optional
        Spectra handed to a thread at a time.
    **options
        Settings of :func:`zetrion_tools.drt` (``lam``, ``rule``, ``basis``,
        ``derivative``, ``signed`` ...) and of
        :func:`zetrion_tools.drt_peaks.find_peaks` (``prominence``,
        ``separate``, ``shape``, ``max_peaks``).

    Returns
    -------
    pandas.DataFrame
        Columns :data:`DRT_MANY_COLUMNS`: one row per peak, in input order;
        a spectrum without peaks, or one that failed, has one row with peak
        0, NaN values and the reason in ``message``.
    """
    n_threads = thread_count(threads)
    peak_kwargs = {k: v for k, v in options.items() if k in PEAK_OPTIONS}
    drt_kwargs = {k: v for k, v in options.items() if k not in PEAK_OPTIONS}
    if "check_sign" in drt_kwargs:
        raise TypeError("drt_many does not take check_sign")
    worker = Worker(drt_kwargs, peak_kwargs)
    total = len(spectra) if hasattr(spectra, "__len__") and not isinstance(spectra, pd.DataFrame) else None
    size = chunksize or max(1, min(64, (total or 256) // (8 * n_threads) or 1))
    items = iter_spectra(spectra, ids)
    bar = progress_bar(total, progress)
    try:
        if n_threads == 1:
            rows: list[list[Any]] = []
            for chunk in chunked(items, size):
                rows.extend(worker.chunk(chunk))
                if bar is not None:
                    bar.update(len(chunk))
        else:
            rows = run_pool(worker, chunked(items, size), n_threads, bar)
    finally:
        if bar is not None:
            bar.close()
    frame = pd.DataFrame(rows, columns=DRT_MANY_COLUMNS)
    frame["peak"] = frame["peak"].astype("int64")
    frame["signed"] = frame["signed"].astype(bool)
    return frame


def progress_bar(total: int | None, progress: bool) -> Any:
    """A tqdm bar on stderr, or None (no tqdm, or not wanted)."""
    if not progress:
        return None
    try:
        from tqdm.auto import tqdm  # type: ignore[import-untyped, unused-ignore]
    except ImportError:
        return None
    return tqdm(total=total, disable=None, desc="drt", unit="spectra", smoothing=0.1)


def run_pool(worker: Worker, chunks: Iterator[list[Item]], n_threads: int, bar: Any) -> list[list[Any]]:
    """Runs the chunks on a thread pool, keeping input order."""
    results: list[list[list[Any]]] = []
    sizes: list[int] = []
    pending: dict[Future[list[list[Any]]], int] = {}
    pool = ThreadPoolExecutor(max_workers=n_threads, thread_name_prefix="zetrion-drt")

    def collect(done: set[Future[list[list[Any]]]]) -> None:
        for fut in done:
            k = pending.pop(fut)
            results[k] = fut.result()
            if bar is not None:
                bar.update(sizes[k])

    try:
        for k, chunk in enumerate(chunks):
            results.append([])
            sizes.append(len(chunk))
            pending[pool.submit(worker.chunk, chunk)] = k
            if len(pending) >= 3 * n_threads:
                collect(wait(pending, return_when=FIRST_COMPLETED)[0])
        while pending:
            collect(wait(pending, return_when=FIRST_COMPLETED)[0])
    except BaseException:
        pool.shutdown(wait=True, cancel_futures=True)
        raise
    pool.shutdown(wait=True)
    return [row for chunk_rows in results for row in chunk_rows]
