"""vek as an fsspec compression, locally, in memory and on a real Dask
cluster of two worker processes; everything read back by gzip."""

import gzip

import pytest

import vekzip

fsspec = pytest.importorskip("fsspec")


@pytest.fixture(autouse=True)
def registered():
    vekzip.register_fsspec()
    vekzip.register_fsspec()  # twice is harmless
    yield


@pytest.mark.parametrize("base", ["local", "memory"])
def test_write_append_and_read(tmp_path, base):
    url = f"{tmp_path}/data.vek" if base == "local" else "memory://vekzip-test/data.vek"
    with fsspec.open(url, "wb", compression="vek") as f:
        f.write(b"first part, " * 1000)
    with fsspec.open(url, "ab", compression="vek") as f:
        f.write(b"appended")
    with fsspec.open(url, "rb") as raw:
        assert gzip.decompress(raw.read()) == b"first part, " * 1000 + b"appended"
    with fsspec.open(url, "rt", compression="vek") as f:
        assert f.read().endswith("appended")


def test_replace_gzip_takes_over_gz_paths(tmp_path):
    from fsspec.compression import compr

    original = compr["gzip"]
    try:
        vekzip.register_fsspec(replace_gzip=True)
        path = tmp_path / "table.csv.gz"
        with fsspec.open(str(path), "wb", compression="infer") as f:
            f.write(b"a,b\n1,2\n" * 500)
        assert isinstance(f, vekzip.VekzipFile)
        assert gzip.decompress(path.read_bytes()) == b"a,b\n1,2\n" * 500
    finally:
        vekzip.register_fsspec()
    assert compr["gzip"] is original


@pytest.mark.parametrize(
    "calls, vek_writes_gz",
    [
        ([{"replace_gzip": True}, {}], False),  # the latest call puts fsspec's gzip back
        ([{"replace_gzip": True}, {"name": "other"}], False),
        ([{"name": "gzip"}, {}], False),
    ],
)
def test_the_latest_registration_decides_who_writes_gz(tmp_path, calls, vek_writes_gz):
    try:
        for options in calls:
            vekzip.register_fsspec(**options)
        path = tmp_path / "table.csv.gz"
        with fsspec.open(str(path), "wb", compression="infer") as f:
            f.write(b"a,b\n1,2\n" * 500)
        assert isinstance(f, vekzip.VekzipFile) == vek_writes_gz
        assert gzip.decompress(path.read_bytes()) == b"a,b\n1,2\n" * 500
    finally:
        vekzip.register_fsspec()


def test_pandas_reads_and_writes_vek_through_fsspec_urls():
    pd = pytest.importorskip("pandas")
    frame = pd.DataFrame({"x": range(300), "y": [f"v{i}" for i in range(300)]})
    url = "memory://vekzip-test/frame.csv.vek"
    frame.to_csv(url, index=False, storage_options={"compression": "vek"})
    with fsspec.open(url, "rb") as raw:
        assert pd.read_csv(gzip.open(raw)).equals(frame)
    assert pd.read_csv(url, storage_options={"compression": "vek"}).equals(frame)


def test_dask_bag_and_dataframe_on_a_cluster(tmp_path, client):
    dask_bag = pytest.importorskip("dask.bag")
    dd = pytest.importorskip("dask.dataframe")
    pd = pytest.importorskip("pandas")
    vekzip.register_fsspec(client=client)

    lines = [f"line {i}" for i in range(3000)]
    bag = dask_bag.from_sequence(lines, npartitions=4)
    bag.to_textfiles(str(tmp_path / "bag" / "*.txt.vek"), compression="vek")
    parts = sorted((tmp_path / "bag").iterdir())
    assert len(parts) == 4
    assert [line for p in parts for line in gzip.decompress(p.read_bytes()).decode().splitlines()] == lines

    frame = pd.DataFrame({"x": range(2000), "y": [f"v{i}" for i in range(2000)]})
    dd.from_pandas(frame, npartitions=3).to_csv(str(tmp_path / "csv" / "part-*.csv.vek"), compression="vek", index=False)
    read = [pd.read_csv(gzip.open(p)) for p in sorted((tmp_path / "csv").iterdir())]
    assert pd.concat(read).reset_index(drop=True).equals(frame)

    # A worker that joins later registers too.
    client.cluster.scale(3)
    client.wait_for_workers(3, timeout=120)
    bag.to_textfiles(str(tmp_path / "later" / "*.txt.vek"), compression="vek")
    assert sum(len(gzip.decompress(p.read_bytes()).splitlines()) for p in (tmp_path / "later").iterdir()) == 3000

    # Registering again with other options takes effect on every worker:
    # level 0 stores, so each line is in the files as it is.
    vekzip.register_fsspec(client=client, compresslevel=0)
    bag.to_textfiles(str(tmp_path / "stored" / "*.txt.vek"), compression="vek")
    parts = sorted((tmp_path / "stored").iterdir())
    assert len(parts) == 4 and all(gzip.decompress(p.read_bytes()) in p.read_bytes() for p in parts)
    assert [line for p in parts for line in gzip.decompress(p.read_bytes()).decode().splitlines()] == lines
