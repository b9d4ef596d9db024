"""One indexed gzip file split by Dask on a real cluster: a partition per
chunk, lines and CSV rows whole whatever the chunk boundaries cut, and the
result equal to reading the whole file at once."""

import gzip
import random

import pytest

import vekzip

pytest.importorskip("dask.dataframe")
pd = pytest.importorskip("pandas")
import vekzip.dask  # noqa: E402


def test_text_and_csv_partitions_on_a_cluster(tmp_path, client):
    rng = random.Random(3)
    rows = [f"{i},{rng.random():.6f},{'x' * rng.randrange(0, 300)}\n" for i in range(6000)]
    text = "id,value,padding\n" + "".join(rows)
    path = tmp_path / "table.csv.gz"
    # Small chunks, so that many boundaries fall inside lines.
    path.write_bytes(vekzip.compress(text.encode(), index=True, chunk_size=20_000))
    chunk_count = len(vekzip.index.read_index(open(path, "rb")))
    assert chunk_count > 20

    bag = vekzip.dask.read_text(path)
    assert bag.npartitions == chunk_count
    assert bag.compute() == gzip.open(path, "rt", newline="").readlines()

    import dask

    with dask.config.set({"dataframe.convert-string": False}):  # pandas' own dtypes, as read below
        frame = vekzip.dask.read_csv(path)
        assert frame.npartitions == chunk_count
        got = frame.compute().reset_index(drop=True)
    pd.testing.assert_frame_equal(got, pd.read_csv(gzip.open(path)))


def test_a_file_without_an_index_is_refused(tmp_path):
    path = tmp_path / "plain.gz"
    path.write_bytes(vekzip.compress(b"a\nb\n"))
    with pytest.raises(ValueError, match="not an indexed gzip file"):
        vekzip.dask.read_text(path)
