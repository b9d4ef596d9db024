import gzip
import pathlib
import zlib

import pytest

import vek

CORPUS = pathlib.Path(__file__).resolve().parents[2].parent / "shared" / "corpus"

# format argument -> what reads it back
RAW_FORMATS = [2, 3, 4, -1, 7, 2**31 - 1]


def inflate(data: bytes, fmt: int) -> bytes:
    """Reads a vek stream back with the standard library, insisting that it
    is complete and that nothing follows it."""
    wbits = {vek.VEK_FMT_GZIP: 31, vek.VEK_FMT_ZLIB: 15}.get(fmt, -15)
    d = zlib.decompressobj(wbits)
    out = d.decompress(data) + d.flush()
    assert d.eof, "stream is not complete"
    assert d.unused_data == b"", "bytes after the end of the stream"
    if fmt == vek.VEK_FMT_GZIP:
        assert gzip.decompress(data) == out
    return out


def compress_pieces(pieces, level=1, fmt=2) -> bytes:
    c = vek.compressobj(level, fmt)
    return b"".join(c.compress(p) for p in pieces) + c.flush()


def corpus_files():
    if not CORPUS.is_dir():
        return []
    return sorted(p for p in CORPUS.rglob("*") if p.is_file() and p.name != "README.md")


@pytest.fixture(scope="session")
def corpus():
    files = corpus_files()
    if not files:
        pytest.skip("the shared corpus is not beside the checkout")
    return files
