"""One indexed gzip file split by Dask on a real cluster: a partition per
chunk, lines and CSV rows whole whatever the chunk boundaries cut, and the
result equal to reading the whole file at once."""

import gzip
import random
import re
import zlib

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


def _indexed(tmp_path, text, chunk_size=20_000, encoding="utf-8"):
    path = tmp_path / "data.gz"
    path.write_bytes(vekzip.compress(text.encode(encoding), index=True, chunk_size=chunk_size))
    return path


def _rows(count, width=60, quoted_newlines=False):
    rng = random.Random(count)
    out = []
    for i in range(count):
        text = "y" * rng.randrange(0, width)
        if quoted_newlines and i % 40 == 3:  # 2 KB of lines, a delimiter and quotes in one field
            text = '"' + 'z, "" q\n' * 250 + '"'
        out.append(f"{i},{rng.random():.6f},{text}\n")
    return "".join(out)


# A header of 6 KiB, longer than the 4 KiB chunks its file gets.
LONG_HEADER = ",".join(f"column_with_a_long_name_{i}" for i in range(200)) + "\n"
WIDE_ROWS = "".join(",".join(str(i + j) for j in range(200)) + "\n" for i in range(60))


@pytest.mark.parametrize(
    "text, options, chunk_size",
    [
        ("a,b,c\n" + _rows(5000), {}, 20_000),  # the index: row numbers of the whole file
        (_rows(5000), {"names": ["id", "value", "text"]}, 20_000),  # names must not take a record per partition
        (_rows(5000), {"header": None}, 20_000),
        ("a,b,c\n" + _rows(5000), {"names": ["x", "y", "z"], "header": 0}, 20_000),
        ("a;b;c\n" + _rows(5000).replace(",", ";"), {"sep": ";", "index_col": "a", "usecols": ["a", "c"]}, 20_000),
        ("a,b,c\n" + _rows(5000), {"dtype": {"a": "float64", "c": str}, "na_filter": False}, 20_000),
        ("a,b,c\n" + _rows(3000, quoted_newlines=True), {}, 20_000),  # quoted newlines cut by chunk boundaries
        (LONG_HEADER + WIDE_ROWS, {}, 4096),  # a header longer than a chunk
        ("a,b,c\n" + _rows(5000).replace(",y", ",yes").replace(",0.", ", 0."),
         {"true_values": ["yes"], "false_values": ["no"], "na_values": ["yy"], "keep_default_na": False,
          "skipinitialspace": True, "converters": {"a": str}, "float_precision": "round_trip", "low_memory": False,
          "engine": "c"}, 20_000),
        ("a;b;c\n" + "".join(f"{i};1.234,{i % 10};'x;\n{i}'\n\n# note\n" for i in range(4000)),
         {"sep": ";", "decimal": ",", "thousands": ".", "quotechar": "'", "quoting": 0, "doublequote": True,
          "comment": "#", "skip_blank_lines": True, "na_filter": True}, 20_000),
        ("a,d\n" + "".join(f"{i},2026-{i % 12 + 1:02d}-0{i % 9 + 1} é\n" for i in range(5000)),
         {"parse_dates": ["d"], "date_format": "%Y-%m-%d é", "dayfirst": False, "encoding": "latin-1",
          "encoding_errors": "strict", "delimiter": ","}, 8192),
    ],
    ids=["index", "names", "no-header", "names-over-header", "sep-index-usecols", "dtype", "quoted", "long-header",
         "values", "dialect", "dates"],
)
def test_read_csv_gives_the_frame_pandas_gives_on_the_whole_file(tmp_path, client, text, options, chunk_size):
    import dask

    path = _indexed(tmp_path, text, chunk_size, options.get("encoding", "utf-8"))
    assert len(vekzip.index.read_index(open(path, "rb"))) > 5
    with dask.config.set({"dataframe.convert-string": False}):
        got = vekzip.dask.read_csv(path, **options).compute()
    pd.testing.assert_frame_equal(got, pd.read_csv(gzip.open(path), **options))


def test_a_quoted_field_across_a_boundary_takes_in_only_the_partitions_it_spans(tmp_path, client):
    import dask

    path = _indexed(tmp_path, "a,b,c\n" + _rows(3000, quoted_newlines=True), chunk_size=8192)
    with dask.config.set({"dataframe.convert-string": False}):
        frame = vekzip.dask.read_csv(path)
        sizes = frame.map_partitions(len).compute().tolist()
        got = frame.compute()
    assert 0 in sizes, "some partition began inside a quoted field"
    assert sizes[-1] > 0 and sizes.index(0) < len(sizes) - 1, "the partitions after it read in parallel again"
    pd.testing.assert_frame_equal(got, pd.read_csv(gzip.open(path)))


@pytest.mark.parametrize(
    "options, named",
    [
        ({"skiprows": 2}, "skiprows"),
        ({"nrows": 10}, "nrows"),
        ({"skipfooter": 1}, "skipfooter"),
        ({"header": 1}, "header=1"),
        ({"engine": "python"}, "engine='python'"),
        ({"escapechar": "\\"}, "escapechar"),
        ({"parse_dates": [0]}, "parse_dates without date_format"),
        ({"encoding": "utf-16"}, "encoding='utf-16'"),
    ],
)
def test_read_csv_refuses_options_a_partition_cannot_apply(tmp_path, options, named):
    path = _indexed(tmp_path, "a,b\n" + "1,2\n" * 10_000)
    with pytest.raises(ValueError, match=re.escape(named)):
        vekzip.dask.read_csv(path, **options)


@pytest.mark.parametrize("encoding", ["utf-16-le", "utf-32"])
def test_read_text_refuses_an_encoding_not_cut_at_newline_bytes(tmp_path, encoding):
    # With errors="replace" it gave 1,822 lines of 100,000, silently.
    path = _indexed(tmp_path, "line\n" * 100_000, encoding=encoding)
    with pytest.raises(ValueError, match=re.escape(repr(encoding))):
        vekzip.dask.read_text(path, encoding=encoding, errors="replace")


def _claim_last_byte(path, number, byte):
    """The file with the index saying chunk `number` ends with `byte`, the
    index's own CRC made to match."""
    from vekzip.index import ENTRY, HEAD, TAIL

    data = bytearray(path.read_bytes())
    tail_at = len(data) - 10 - TAIL.size
    _, length, _ = TAIL.unpack_from(data, tail_at)
    body_at = tail_at + TAIL.size - length
    at = body_at + HEAD.size + number * ENTRY.size + ENTRY.size - 1
    data[at] = byte
    TAIL.pack_into(data, tail_at, zlib.crc32(bytes(data[body_at:tail_at])), length, b"VKIX")
    path.write_bytes(bytes(data))


@pytest.mark.parametrize("line_length, claimed", [(100, ord("x")), (101, ord("\n"))])
def test_read_text_refuses_a_last_byte_the_chunk_does_not_end_with(tmp_path, client, line_length, claimed):
    text = "".join(f"{i:0{line_length - 1}d}\n" for i in range(20_000 * 100 // line_length))
    path = _indexed(tmp_path, text)
    chunks = vekzip.index.read_index(open(path, "rb"))
    assert (chunks[3].last_byte == 0x0A) == (line_length == 100)
    _claim_last_byte(path, 3, claimed)
    bag = vekzip.dask.read_text(path)
    for compute in (bag.compute, bag.to_delayed()[4].compute):  # the partition after it, alone too
        with pytest.raises((ValueError, OSError)):
            compute()
