import gzip
import os
import zlib

import vek

# Under valgrind every example costs fifty times as much: the memcheck run
# asks for a fraction of the usual hypothesis examples.
EXAMPLE_SCALE = float(os.environ.get("VEK_EXAMPLE_SCALE", "1"))


def examples(usual: int) -> int:
    return max(5, round(usual * EXAMPLE_SCALE))


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

