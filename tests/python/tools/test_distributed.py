"""The Dask path on a real LocalCluster of two worker processes: every
spectrum gets the parameters fit_many gives it on one machine."""

from __future__ import annotations

import numpy as np
import pytest

pytest.importorskip("distributed")

import dask.bag as db
from distributed import Client, LocalCluster

import zetrion
from zetrion_tools.batch import fit_many, spectra_to_frame
from zetrion_tools.distributed import fit_bag, fit_distributed, fit_partitions

pytestmark = pytest.mark.cluster

F = np.geomspace(1e4, 1e-1, 30)
NAMES = zetrion.Circuit("randles").param_names()


@pytest.fixture(scope="module")
def client():
    # a few seconds to start; shared by every test of this file
    cluster = LocalCluster(n_workers=2, processes=True, threads_per_worker=1, dashboard_address=None)
    c = Client(cluster)
    yield c
    c.close()
    cluster.close()


@pytest.fixture(scope="module")
def spectra():
    rng = np.random.default_rng(11)
    c = zetrion.Circuit("randles")
    out = []
    for k in range(30):
        v = [10 ** rng.uniform(-1, 1), 10 ** rng.uniform(0, 2), 10 ** rng.uniform(0, 1.5), 10 ** rng.uniform(-6, -4), rng.uniform(0.7, 0.95)]
        z = c.with_values(v).impedance(F) * (1 + 0.003 * rng.standard_normal(F.size))
        out.append((f"cell{k:02d}", F, z))
    out[7] = ("cell07", F, np.full(F.size, np.nan + 0j))  # one bad spectrum: a failed row, not a failed graph
    return out


@pytest.fixture(scope="module")
def local(spectra):
    return fit_many("randles", spectra, threads=2, progress=False)


def assert_same_fits(table, local):
    table = table.set_index("id").loc[list(local["id"])].reset_index()
    assert list(table["id"]) == list(local["id"])
    np.testing.assert_array_equal(table["success"].to_numpy(), local["success"].to_numpy())
    ok = local["success"].to_numpy()
    cols = [*NAMES, *(f"{n}_stderr" for n in NAMES), "chi_square"]
    np.testing.assert_allclose(table.loc[ok, cols].to_numpy(float), local.loc[ok, cols].to_numpy(float), rtol=1e-12)
    assert list(table.loc[~ok, "message"]) == list(local.loc[~ok, "message"])


def test_fit_distributed_matches_fit_many(client, spectra, local):
    assert not local.loc[7, "success"] and local["success"].sum() == len(spectra) - 1
    table = fit_distributed("randles", spectra, client, npartitions=5, progress=False)
    assert list(table["id"]) == [s[0] for s in spectra]  # input order, like fit_many
    assert_same_fits(table, local)
    # the work really went to both worker processes
    assert len(client.run(lambda: 1)) == 2


def test_bag_of_pairs_keeps_bag_order(client, spectra, local):
    bag = db.from_sequence([(f, z) for _, f, z in spectra], npartitions=4)
    rows = client.compute(fit_bag("randles", bag)).result()
    assert [r["id"] for r in rows] == [None] * len(spectra)  # pairs carry no id of their own
    for r, sid in zip(rows, local["id"]):
        r["id"] = sid
    import pandas as pd

    assert_same_fits(pd.DataFrame(rows), local)


def test_partitions_of_a_long_frame(client, spectra, local):
    dd = pytest.importorskip("dask.dataframe")
    frame = spectra_to_frame(spectra)
    # 3 partitions of a frame cut by rows: spectra straddle partition edges
    ddf = dd.from_pandas(frame, npartitions=3, sort=False)
    table = client.compute(fit_partitions("randles", ddf)).result()
    assert sorted(table["id"]) == sorted(local["id"])
    assert_same_fits(table, local)


def test_circuit_objects_are_refused_with_a_reason(client, spectra):
    with pytest.raises(TypeError, match="notation"):
        fit_distributed(zetrion.Circuit("randles"), spectra[:2], client)


def test_bag_built_lazily_from_a_mapped_bag(client, spectra, local):
    # partitions that come out of an earlier map arrive as iterators
    bag = db.from_sequence(list(range(len(spectra))), npartitions=3).map(lambda k: spectra[k])
    rows = client.compute(fit_bag("randles", bag)).result()
    import pandas as pd

    assert_same_fits(pd.DataFrame(rows), local)
