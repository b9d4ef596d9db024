"""Splittable gzip (index=True): every gzip reader gets the same bytes; the
index finds every chunk, which inflates on its own; vekzip's reader uses it
on several threads and seeks with it, and reads concatenated, cut, foreign
and damaged files correctly or not at all, never wrongly."""

import gzip
import io
import random
import shutil
import struct
import subprocess
import zlib

import pytest

import vekzip
from vekzip import index as index_format
from vekzip.reader import IndexedReader

SIGNATURE = b"\x00\x00\xff\xff\x00\x00\x00\xff\xff"


def sample(seed, n):
    rng = random.Random(seed)
    words = [bytes(rng.randrange(97, 123) for _ in range(rng.randrange(2, 9))) for _ in range(300)]
    lines = []
    size = 0
    while size < n:
        line = b" ".join(rng.choice(words) for _ in range(rng.randrange(1, 30))) + b"\n"
        if rng.random() < 0.05:
            line = rng.randbytes(rng.randrange(1, 400)) + b"\n"
        lines.append(line)
        size += len(line)
    return b"".join(lines)[:n]


DATA = sample(1, 700_000)


def test_every_reader_sees_the_data_and_the_chunks_start_after_the_marker(tmp_path):
    packed = vekzip.compress(DATA, index=True, chunk_size=50_000)
    assert gzip.decompress(packed) == DATA
    path = tmp_path / "i.gz"
    path.write_bytes(packed)
    if shutil.which("gzip"):
        assert subprocess.run(["gzip", "-dc", str(path)], capture_output=True, check=True).stdout == DATA
        assert subprocess.run(["gzip", "-t", str(path)]).returncode == 0
    with open(path, "rb") as f:
        chunks = index_format.read_index(f)
    assert [c.size for c in chunks] == [50_000] * 14
    for k, chunk in enumerate(chunks):
        if k:
            assert packed[chunk.offset - len(SIGNATURE) : chunk.offset] == SIGNATURE
        # Each chunk alone inflates to its part of the input.
        d = zlib.decompressobj(-15)
        assert d.decompress(packed[chunk.offset : chunk.offset + chunk.length]) == DATA[chunk.start : chunk.start + chunk.size]
    # Markers and index at the default chunk size: well under 0.1% of the output.
    big = DATA * 6
    indexed, plain = vekzip.compress(big, index=True), vekzip.compress(big, chunk_size=1 << 20)
    assert 0 < len(indexed) - len(plain) < 0.001 * len(plain)


def test_indexed_bytes_do_not_depend_on_threads_or_writes():
    expected = vekzip.compress(DATA, index=True, chunk_size=40_000)
    assert vekzip.compress(DATA, index=True, chunk_size=40_000, threads=3) == expected
    rng = random.Random(7)
    for threads in (1, 2):
        sink = io.BytesIO()
        with vekzip.VekzipFile(fileobj=sink, mode="wb", threads=threads, chunk_size=40_000, index=True) as f:
            at = 0
            while at < len(DATA):
                n = rng.choice([1, 999, 40_000, 123_456])
                f.write(memoryview(DATA)[at : at + n])
                at += n
        assert sink.getvalue() == expected
    c = vekzip.compressobj(index=True, chunk_size=40_000)
    assert c.compress(DATA) + c.flush() == expected
    with pytest.raises(ValueError, match="gzip"):
        vekzip.compress(DATA, format="zlib", index=True)


@pytest.mark.parametrize("threads", [1, 2, 4])
def test_reading_on_threads_seeks_lines_and_text(tmp_path, threads):
    path = tmp_path / "r.gz"
    path.write_bytes(vekzip.compress(DATA, index=True, chunk_size=30_000))
    with vekzip.open(path, "rb", threads=threads) as f:
        assert isinstance(f.raw, IndexedReader)
        assert f.read() == DATA
        rng = random.Random(threads)
        for _ in range(60):
            at = rng.randrange(len(DATA) + 10)
            n = rng.choice([1, 1024, 70_000])
            f.seek(at)
            assert f.read(n) == DATA[at : at + n]
            assert f.tell() == min(at + n, max(at, len(DATA)))
        f.seek(-100, io.SEEK_END)
        assert f.read() == DATA[-100:]
        f.seek(0)
        pieces = DATA.split(b"\n")
        assert list(f) == [p + b"\n" for p in pieces[:-1]] + ([pieces[-1]] if pieces[-1] else [])
    with vekzip.open(path, "rt", threads=threads, encoding="latin-1", newline="") as t:
        assert t.read() == DATA.decode("latin-1")


def test_concatenated_cut_foreign_and_damaged_files(tmp_path):
    first = vekzip.compress(DATA[:300_000], index=True, chunk_size=64_000)
    second = vekzip.compress(DATA[300_000:], index=True, chunk_size=25_000)
    index_start = first.rindex(b"\x1f\x8b\x08\x04")
    cases = {
        "concatenated": (first + second, DATA, True),
        "index removed": (first[:index_start], DATA[:300_000], False),
        "foreign": (gzip.compress(DATA), DATA, False),
        "foreign then indexed": (gzip.compress(DATA[:300_000]) + second, DATA, False),
    }
    for name, (packed, expected, indexed) in cases.items():
        path = tmp_path / f"{name}.gz"
        path.write_bytes(packed)
        for threads in (1, 2):
            with vekzip.open(path, "rb", threads=threads) as f:
                assert isinstance(getattr(f, "raw", None), IndexedReader) == indexed, name
                assert f.read() == expected, name

    # An index cut in the middle: an incomplete file, reported, never wrong.
    (tmp_path / "cut.gz").write_bytes(first[:-5])
    with pytest.raises((EOFError, OSError)):
        with vekzip.open(tmp_path / "cut.gz", "rb", threads=2) as f:
            f.read()

    # A damaged chunk fails its own check.
    damaged = bytearray(first)
    damaged[len(first) // 2] ^= 0x20
    (tmp_path / "damaged.gz").write_bytes(bytes(damaged))
    with pytest.raises((EOFError, OSError)):
        with vekzip.open(tmp_path / "damaged.gz", "rb", threads=2) as f:
            f.read()

    # An index that lies (its own CRC made right) is refused, and the file
    # read in sequence: still the right bytes.
    tampered = bytearray(first)
    data_at = index_start + index_format.INDEX_HEADER_SIZE
    entry_at = data_at + index_format.HEAD.size
    tampered[entry_at + 16] ^= 1  # the first chunk's CRC-32
    body_end = len(first) - len(index_format.EMPTY_MEMBER_END) - index_format.TAIL.size
    struct.pack_into("<I", tampered, body_end, zlib.crc32(tampered[data_at:body_end]))
    (tmp_path / "tampered.gz").write_bytes(bytes(tampered))
    with vekzip.open(tmp_path / "tampered.gz", "rb", threads=2) as f:
        assert not isinstance(getattr(f, "raw", None), IndexedReader)
        assert f.read() == DATA[:300_000]


def test_the_tool_writes_and_reads_indexed_files(tmp_path):
    from vekzip import cli

    path = tmp_path / "t.txt"
    path.write_bytes(DATA)
    assert cli.main(["--index", "-k", "--chunk", "64K", "-T", "2", str(path)]) == 0
    packed = (tmp_path / "t.txt.gz").read_bytes()
    assert packed == vekzip.compress(DATA, index=True, chunk_size=64 << 10)
    path.unlink()
    assert cli.main(["-d", "-T", "2", str(tmp_path / "t.txt.gz")]) == 0
    assert path.read_bytes() == DATA
