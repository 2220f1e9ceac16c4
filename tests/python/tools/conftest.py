def pytest_configure(config):
    config.addinivalue_line("markers", "cluster: starts a Dask LocalCluster of worker processes (a few seconds)")
