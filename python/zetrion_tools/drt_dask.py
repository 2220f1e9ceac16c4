"""DRTs of many spectra on Dask: a bag of spectra, or a batch held here.

The same split as the distributed fits: what travels to the workers is
plain arrays in records (``{"id", "frequencies", "impedance"}``), each task
runs :func:`zetrion_tools.drt_many` on its share with one thread, and the
rows come back as those of ``drt_many``, so that a table computed on a
cluster and one computed here can be compared or concatenated directly.

* :func:`drt_bag` maps DRTs over a ``dask.bag.Bag`` of spectra (lazily);
* :func:`drt_distributed` takes an ordinary batch, cuts it into a bag and
  computes it on a ``distributed.Client`` when one is given or running, or
  else on one of Dask's local schedulers (``"threads"`` by default: the
  deconvolution releases the interpreter lock).

Dask is an optional dependency (``pip install "zetrion[dask]"``).
"""

from __future__ import annotations

import inspect
from collections.abc import Hashable, Iterable, Sequence
from typing import TYPE_CHECKING, Any

import pandas as pd  # type: ignore[import-untyped, unused-ignore]

from .distributed import has_own_id, to_records
from .drt_analysis import drt
from .drt_batch import DRT_MANY_COLUMNS, PEAK_OPTIONS, drt_many

if TYPE_CHECKING:
    import dask.bag
    import distributed

__all__ = ["drt_bag", "drt_distributed"]


def check_drt_options(options: dict[str, Any]) -> None:
    """Raises TypeError for a keyword neither ``drt`` nor the peak table takes."""
    drt_kwargs = {k: v for k, v in options.items() if k not in PEAK_OPTIONS}
    if "check_sign" in drt_kwargs:
        raise TypeError("drt_many does not take check_sign")
    try:
        inspect.signature(drt).bind(None, None, **drt_kwargs)
    except TypeError as exc:
        raise TypeError(f"drt_many: {exc}") from None


def _drt_records(records: Iterable[Any], options: dict[str, Any]) -> list[dict[str, Any]]:
    """The peak rows of one partition, as dicts (run on a worker)."""
    items = list(records)
    spectra = to_records(items)
    # numbered by position here, then given back their own ids; entries
    # without one get None (only the caller knows their global position)
    own = [rec["id"] if has_own_id(item) else None for rec, item in zip(spectra, items, strict=True)]
    table = drt_many(spectra, threads=1, progress=False, ids=list(range(len(spectra))), **options)
    rows: list[dict[str, Any]] = [{str(k): v for k, v in r.items()} for r in table.to_dict(orient="records")]
    for row in rows:
        row["id"] = own[int(row["id"])]
    return rows


def drt_bag(bag: dask.bag.Bag, **options: Any) -> dask.bag.Bag:
    """Map DRTs over a Dask bag of spectra (lazily).

    Parameters
    ----------
    bag : dask.bag.Bag
        Spectra as :func:`zetrion_tools.drt_many` takes them one by one:
        ``(id, f, z)`` triples, dicts such as those of
        :func:`zetrion_tools.distributed.to_records`, ``(f, z)`` pairs or
        Spectrum objects.
    **options
        Settings of :func:`zetrion_tools.drt` and of the peak table, as for
        ``drt_many``; checked here, not on every worker.

    Returns
    -------
    dask.bag.Bag
        One dict per peak row (columns of
        :data:`zetrion_tools.drt_batch.DRT_MANY_COLUMNS`), in bag order. Rows of
        a spectrum without an id of its own (a bare ``(f, z)`` pair) have
        ``id`` None.
    """
    check_drt_options(options)
    untyped: Any = bag  # Dask ships without type annotations
    result: dask.bag.Bag = untyped.map_partitions(_drt_records, dict(options))
    return result


def _current_client() -> Any:
    try:
        from distributed import get_client
    except ImportError:
        return None
    try:
        return get_client()
    except ValueError:  # no client running
        return None


def drt_distributed(
    spectra: Any,
    client: distributed.Client | None = None,
    *,
    scheduler: str | None = None,
    ids: Sequence[Hashable] | None = None,
    npartitions: int | None = None,
    progress: bool = True,
    **options: Any,
) -> pd.DataFrame:
    """The DRTs of a batch held in this process, computed by Dask; a pandas frame.

    Parameters
    ----------
    spectra : iterable or pandas.DataFrame
        Anything :func:`zetrion_tools.drt_many` accepts.
    client : distributed.Client, optional
        The cluster to use. By default the running client, if any;
        otherwise Dask's local ``scheduler``.
    scheduler : str, optional
        A local Dask scheduler (``"threads"``, ``"processes"``,
        ``"synchronous"``) used when there is no client; ``"threads"`` by
        default.
    ids : sequence, optional
        Ids for the spectra instead of their own.
    npartitions : int, optional
        Pieces the batch is cut into; by default four per worker thread
        (eight without a client), at most one per spectrum.
    progress : bool
        Show Dask's progress bar while it works (in a terminal).
    **options
        As for ``drt_many``.

    Returns
    -------
    pandas.DataFrame
        The table of ``drt_many``, in input order.
    """
    import dask.bag as db

    check_drt_options(options)
    cluster = client if client is not None or scheduler is not None else _current_client()
    records = to_records(spectra, ids)
    for k, rec in enumerate(records):  # position ids become explicit before the batch is cut
        rec["id"] = rec["id"] if rec["id"] is not None else k
    if npartitions is None:
        threads = sum(cluster.nthreads().values()) if cluster is not None else 2
        npartitions = max(1, min(len(records), 4 * (threads or 1)))
    from_sequence: Any = db.from_sequence
    rows_bag: Any = drt_bag(from_sequence(records, npartitions=npartitions), **options) if records else None
    rows = [] if rows_bag is None else _compute(rows_bag, cluster, scheduler or "threads", progress)
    frame = pd.DataFrame(rows, columns=DRT_MANY_COLUMNS)
    frame["peak"] = frame["peak"].astype("int64")
    frame["signed"] = frame["signed"].astype(bool)
    frame.attrs.update(npartitions=npartitions)
    return frame


def _compute(bag: Any, cluster: Any, scheduler: str, progress: bool) -> list[dict[str, Any]]:
    import sys

    show = progress and sys.stderr.isatty()
    if cluster is not None:
        future = cluster.compute(bag)
        if show:
            import distributed as dist

            dask_progress: Any = dist.progress
            dask_progress(future)
        rows: list[dict[str, Any]] = future.result()
        return rows
    if show:
        from dask import diagnostics

        bar: Any = getattr(diagnostics, "ProgressBar")  # Dask ships without type annotations
        with bar():
            out: list[dict[str, Any]] = bag.compute(scheduler=scheduler)
        return out
    result: list[dict[str, Any]] = bag.compute(scheduler=scheduler)
    return result
