"""DRTs on Dask's local schedulers give the rows drt_many gives here."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest

pytest.importorskip("dask.bag")

import dask.bag as db

from zetrion_tools.drt_batch import DRT_MANY_COLUMNS, drt_many
from zetrion_tools.drt_dask import drt_bag, drt_distributed

F = np.logspace(5, -2, 50)
W = 2 * np.pi * F


def two_arcs(r1: float, t1: float, r2: float, t2: float) -> np.ndarray:
    return 5 + r1 / (1 + (1j * W * t1) ** 0.9) + r2 / (1 + (1j * W * t2) ** 0.85)


@pytest.fixture(scope="module")
def spectra():
    rng = np.random.default_rng(5)
    out = []
    for k in range(9):
        z = two_arcs(*rng.uniform(10, 50, 1), 10 ** rng.uniform(-5, -4), *rng.uniform(10, 50, 1), 10 ** rng.uniform(-2, -1))
        out.append((f"s{k}", F, z * (1 + 0.002 * rng.standard_normal(F.size))))
    out[4] = ("s4", F, np.full(F.size, np.nan + 0j))  # a failed row, not a failed graph
    return out


@pytest.fixture(scope="module")
def local(spectra):
    return drt_many(spectra, threads=1, progress=False)


def same_rows(a: pd.DataFrame, b: pd.DataFrame) -> None:
    assert list(a.columns) == list(b.columns) == DRT_MANY_COLUMNS
    assert list(a["id"]) == list(b["id"])
    numeric = ["peak", "tau", "frequency", "height", "area", "r_inf", "polarisation", "lam"]
    np.testing.assert_allclose(a[numeric].to_numpy(float), b[numeric].to_numpy(float), rtol=1e-12, equal_nan=True)
    assert list(a["message"]) == list(b["message"])


@pytest.mark.parametrize("scheduler", ["synchronous", "threads"])
def test_drt_distributed_matches_drt_many(spectra, local, scheduler):
    table = drt_distributed(spectra, scheduler=scheduler, npartitions=4, progress=False)
    same_rows(table, local)
    assert (table["id"] == "s4").sum() == 1 and table.loc[table["id"] == "s4", "message"].iloc[0] != ""
    # both arcs found in every good spectrum: they are two decades apart at least
    good = table[table["id"] != "s4"]
    assert good.groupby("id")["peak"].max().min() >= 2


def test_pairs_get_position_ids_and_options_reach_the_workers(spectra):
    pairs = [(f, z) for _, f, z in spectra]
    table = drt_distributed(pairs, scheduler="synchronous", npartitions=3, progress=False, lam=1e-2)
    assert sorted(set(table["id"])) == list(range(len(pairs)))  # numbered over the whole batch, not per piece
    assert np.allclose(table.loc[table["message"] == "", "lam"], 1e-2)
    empty = drt_distributed([], scheduler="synchronous", progress=False)
    assert empty.empty and list(empty.columns) == DRT_MANY_COLUMNS


def test_bag_keeps_order_and_leaves_bare_pairs_without_id(spectra, local):
    bag = db.from_sequence([(f, z) for _, f, z in spectra], npartitions=3)
    rows = drt_bag(bag).compute(scheduler="synchronous")
    assert {r["id"] for r in rows} == {None}
    assert [r["tau"] for r in rows] == pytest.approx(list(local["tau"]), nan_ok=True)
    named = drt_bag(db.from_sequence(spectra, npartitions=2)).compute(scheduler="synchronous")
    assert [r["id"] for r in named] == list(local["id"])


def test_bad_options_fail_before_any_work(spectra):
    bag = db.from_sequence(spectra, npartitions=2)
    with pytest.raises(TypeError, match="lamda"):
        drt_bag(bag, lamda=1e-3)
    with pytest.raises(TypeError, match="check_sign"):
        drt_distributed(spectra, scheduler="synchronous", check_sign=False)


def test_on_a_distributed_client_given_or_running(spectra, local):
    distributed = pytest.importorskip("distributed")
    with distributed.Client(processes=False, n_workers=1, threads_per_worker=2, dashboard_address=None) as client:
        same_rows(drt_distributed(spectra, client, progress=False), local)
        table = drt_distributed(spectra, progress=False)  # the running client is found
        assert table.attrs["npartitions"] == min(len(spectra), 8)  # four per worker thread
        same_rows(table, local)
