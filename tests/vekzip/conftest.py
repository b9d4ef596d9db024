import pytest


@pytest.fixture(scope="session")
def client():
    """A real Dask cluster of two worker processes, for every suite here."""
    distributed = pytest.importorskip("distributed")
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None)
    client = distributed.Client(cluster)
    try:
        yield client
    finally:
        client.close()
        cluster.close()
