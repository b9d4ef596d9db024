import pytest

from corpus import corpus_files


@pytest.fixture(scope="session")
def corpus():
    files = corpus_files()
    if not files:
        pytest.skip("the shared corpus is not beside the checkout")
    return files


@pytest.fixture(scope="session")
def client():
    """A real Dask cluster of two worker processes, for every suite that needs one."""
    distributed = pytest.importorskip("distributed")
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None)
    client = distributed.Client(cluster)
    try:
        yield client
    finally:
        client.close()
        cluster.close()
