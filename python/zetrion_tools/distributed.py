"""Fit many spectra on a Dask cluster.

A ``zetrion.Circuit`` cannot be pickled (it wraps a C++ tree), so what
travels to the workers is the circuit's notation and plain arrays; each
worker process builds its own circuit and fits its share with `fit_many`,
one thread per task (Dask runs as many tasks side by side as a worker has
threads). The rows are those of `fit_many`, so a table fitted here and one
fitted on a single machine can be compared or concatenated directly.

Three entry points:

* `fit_bag` maps fits over a ``dask.bag.Bag`` of spectra;
* `fit_partitions` maps fits over the partitions of a long-form
  ``dask.dataframe.DataFrame`` (spectrum id, frequency, real, imag);
* `fit_distributed` takes an ordinary list of spectra, scatters it over the
  cluster of a ``distributed.Client`` and returns a pandas frame in input
  order.

Dask is an optional dependency (``pip install "zetrion[dask]"``).
"""

from __future__ import annotations

from collections.abc import Hashable, Iterable, Sequence
from typing import TYPE_CHECKING, Any

import numpy as np
import pandas as pd  # type: ignore[import-untyped, unused-ignore]

from .batch import check_fit_arguments, empty_result, fit_many, iter_spectra, settle_start_rule
from .options import FitOptions, resolve_options

if TYPE_CHECKING:
    import dask.bag
    import dask.dataframe
    import distributed

__all__ = ["fit_bag", "fit_distributed", "fit_partitions", "to_records"]

def _param_names(notation: str) -> list[str]:
    import zetrion

    if not isinstance(notation, str):
        raise TypeError(
            "distributed fits take the circuit as a notation string (a Circuit cannot be pickled); "
            f"got {type(notation).__name__}"
        )
    names: list[str] = zetrion.Circuit(notation).param_names()
    return names


def to_records(spectra: Any, ids: Sequence[Hashable] | None = None) -> list[dict[str, Any]]:
    """Turn spectra into picklable records ``{"id", "frequencies", "impedance"}``.

    Parameters
    ----------
    spectra : iterable or pandas.DataFrame
        Anything `zetrion_tools.batch.fit_many` accepts.
    ids : sequence, optional
        Ids to use instead of the spectra's own.

    Returns
    -------
    list of dict
        One record per spectrum, arrays as NumPy arrays. An entry that is not
        a spectrum keeps its problem under ``"problem"`` so that the fit
        records it rather than failing the whole graph.
    """
    records: list[dict[str, Any]] = []
    for sid, f, z, problem in iter_spectra(spectra, ids):
        rec: dict[str, Any] = {"id": sid, "frequencies": f, "impedance": z}
        if problem is not None:
            rec["problem"] = problem
        records.append(rec)
    return records


def _fit_records(
    records: Iterable[Any],
    notation: str,
    method: str,
    checks: bool,
    fit_kwargs: dict[str, Any],
) -> list[dict[str, Any]]:
    """Fit one partition of a bag on a worker; a list of row dicts."""
    records = list(records)  # a partition may come as an iterator; it is walked twice
    table = fit_many(notation, records, method=method, threads=1, progress=False, checks=checks, **fit_kwargs)
    rows: list[dict[str, Any]] = [{str(k): v for k, v in r.items()} for r in table.to_dict(orient="records")]
    # entries that carried no id of their own were numbered within this
    # partition; leave the numbering to whoever knows the global order
    for rec, row in zip(records, rows, strict=True):
        if not has_own_id(rec):
            row["id"] = None
    return rows


def has_own_id(entry: Any) -> bool:
    """Whether an input entry names itself (an ``id`` key, an ``(id, f, z)``
    triple or a file's path), so that its row keeps that name."""
    if isinstance(entry, dict):
        return "id" in entry
    if isinstance(entry, (tuple, list)):
        return len(entry) == 3
    return getattr(entry, "path", None) is not None


def fit_bag(
    notation: str,
    bag: dask.bag.Bag,
    method: str = "levenberg_marquardt",
    checks: bool = True,
    options: FitOptions | None = None,
    **fit_kwargs: Any,
) -> dask.bag.Bag:
    """Map fits over a Dask bag of spectra (lazily).

    Parameters
    ----------
    notation : str
        Circuit notation or preset name; each worker builds its own circuit.
    bag : dask.bag.Bag
        Spectra as ``fit_many`` accepts them one by one: ``(id, f, z)``
        triples, dicts such as those of `to_records`, ``(f, z)`` pairs or
        Spectrum objects.
    method, checks, **fit_kwargs
        As for `zetrion_tools.batch.fit_many`.

    Returns
    -------
    dask.bag.Bag
        One dict per spectrum, in bag order, with the columns of
        `zetrion_tools.batch.result_columns`. A spectrum without an id of its
        own (a bare ``(f, z)`` pair) gets ``id`` None; number such rows by
        their position in the computed list (`fit_distributed` gives every
        spectrum an id before it builds its bag).
    """
    _param_names(notation)  # a bad notation fails here, not on every worker
    method, fit_kwargs = resolve_options(options, method, fit_kwargs)
    check_fit_arguments(method, fit_kwargs)
    fit_kwargs = settle_start_rule(notation, fit_kwargs)  # warn here, once, not on every worker
    untyped: Any = bag  # Dask ships without type annotations
    result: dask.bag.Bag = untyped.map_partitions(_fit_records, notation, method, checks, dict(fit_kwargs))
    return result


def _fit_frame(
    part: pd.DataFrame,
    notation: str,
    method: str,
    checks: bool,
    fit_kwargs: dict[str, Any],
    columns: dict[str, str | None],
) -> pd.DataFrame:
    """Fit the spectra of one long-form partition on a worker."""
    from .batch import frame_to_spectra

    names = _param_names(notation)
    if len(part) == 0:
        return empty_result(names)
    spectra = frame_to_spectra(
        part,
        id_column=columns["id"],
        frequency_column=columns["frequency"],
        real_column=columns["real"],
        imag_column=columns["imag"],
    )
    return fit_many(notation, spectra, method=method, threads=1, progress=False, checks=checks, **fit_kwargs)


def fit_partitions(
    notation: str,
    frame: dask.dataframe.DataFrame,
    method: str = "levenberg_marquardt",
    checks: bool = True,
    *,
    id_column: str = "spectrum_id",
    frequency_column: str | None = None,
    real_column: str | None = None,
    imag_column: str | None = None,
    grouped: bool = False,
    options: FitOptions | None = None,
    **fit_kwargs: Any,
) -> dask.dataframe.DataFrame:
    """Map fits over the partitions of a long-form Dask DataFrame (lazily).

    Parameters
    ----------
    notation : str
        Circuit notation or preset name.
    frame : dask.dataframe.DataFrame
        One row per measured point: ``id_column``, frequency, real and
        imaginary part (column names as in
        `zetrion_tools.batch.frame_to_spectra`).
    method, checks, **fit_kwargs
        As for `zetrion_tools.batch.fit_many`.
    id_column, frequency_column, real_column, imag_column : str, optional
        Column names.
    grouped : bool
        Declare that every spectrum already lies within one partition (for
        example a frame read from one file per batch of spectra). Otherwise
        the frame is first shuffled on ``id_column`` so that it does.

    Returns
    -------
    dask.dataframe.DataFrame
        The rows of `zetrion_tools.batch.fit_many`, one per spectrum; order
        follows the partitions (sort by ``id`` to compare).
    """
    names = _param_names(notation)
    method, fit_kwargs = resolve_options(options, method, fit_kwargs)
    check_fit_arguments(method, fit_kwargs)
    fit_kwargs = settle_start_rule(notation, fit_kwargs)
    if id_column not in frame.columns:
        raise KeyError(f"no column {id_column!r} in the frame; its columns are {list(frame.columns)}")
    columns = {"id": id_column, "frequency": frequency_column, "real": real_column, "imag": imag_column}
    if not grouped:
        # A spectrum split over two partitions would be fitted as two halves.
        frame = frame.shuffle(on=id_column)
    meta = empty_result(names)
    meta["id"] = meta["id"].astype(frame[id_column].dtype)
    untyped: Any = frame  # Dask ships without type annotations
    result: dask.dataframe.DataFrame = untyped.map_partitions(
        _fit_frame, notation, method, checks, dict(fit_kwargs), columns, meta=meta, enforce_metadata=False
    )
    return result


def fit_distributed(
    notation: str,
    spectra: Any,
    client: distributed.Client | None = None,
    method: str = "levenberg_marquardt",
    checks: bool = True,
    *,
    ids: Sequence[Hashable] | None = None,
    npartitions: int | None = None,
    progress: bool = True,
    options: FitOptions | None = None,
    **fit_kwargs: Any,
) -> pd.DataFrame:
    """Fit spectra held in this process on a Dask cluster; a pandas frame.

    Parameters
    ----------
    notation : str
        Circuit notation or preset name.
    spectra : iterable or pandas.DataFrame
        Anything `zetrion_tools.batch.fit_many` accepts.
    client : distributed.Client, optional
        The cluster to use, e.g. ``Client("tcp://scheduler:8786")``; by
        default the current client (``distributed.get_client``).
    method, checks, **fit_kwargs
        As for `zetrion_tools.batch.fit_many`.
    ids : sequence, optional
        Ids for the rows instead of the spectra's own.
    npartitions : int, optional
        Pieces the batch is cut into; by default four per worker thread, at
        most one per spectrum.
    progress : bool
        Show Dask's progress bar while the cluster works (in a terminal).

    Returns
    -------
    pandas.DataFrame
        The same table as `zetrion_tools.batch.fit_many`, in input order.
    """
    import dask.bag as db
    from distributed import get_client

    names = _param_names(notation)
    method, fit_kwargs = resolve_options(options, method, fit_kwargs)
    check_fit_arguments(method, fit_kwargs)
    cluster: Any = client if client is not None else get_client()  # Dask ships without type annotations
    records = to_records(spectra, ids)
    for k, rec in enumerate(records):  # position ids become explicit before the batch is cut
        rec["id"] = rec["id"] if rec["id"] is not None else k
    if not records:
        return empty_result(names)
    if npartitions is None:
        n_threads = sum(cluster.nthreads().values()) or 1
        npartitions = min(len(records), 4 * n_threads)
    from_sequence: Any = db.from_sequence
    bag = from_sequence(records, npartitions=npartitions)
    rows_bag = fit_bag(notation, bag, method=method, checks=checks, **fit_kwargs)
    future = cluster.compute(rows_bag)
    if progress:
        import sys

        import distributed as dist

        dask_progress: Any = dist.progress

        if sys.stderr.isatty():
            dask_progress(future)
    rows = future.result()
    table = pd.DataFrame(rows, columns=empty_result(names).columns)
    table["id"] = [rec["id"] for rec in records]
    table.attrs.update(notation=notation, method=method, npartitions=npartitions)
    return table.astype({"success": bool, "iterations": np.int64, "n_points": np.int64})
