"""The same bytes on every interpreter, thread count and way in: a digest
of what vekzip.compress, vekzip.compressobj (with sync flushes) and
vekzip.open write for fixed inputs, in every format and level, recorded
where vek itself wrote the same bytes (Python 3.10) and checked on every
Python. An optimisation that changes one output byte fails here too."""

import hashlib
import io

import pytest

import vekzip

try:
    import vek  # Python 3.10 only
except ImportError:
    vek = None

# sha256 of every output below, in order.
RECORDED = "ccaa1a1b0e7aed15d240b091e5b795bc3e148588a3bb4b0e7ea1594a24c1e026"


class Xorshift:
    """Inputs that no library version can change."""

    def __init__(self, seed):
        self.state = seed * 0x9E3779B97F4A7C15 % 2**64 or 1

    def next(self):
        x = self.state
        x ^= (x << 13) % 2**64
        x ^= x >> 7
        x ^= (x << 17) % 2**64
        self.state = x
        return x


def sample(seed, n):
    """Text, wide bytes (stored runs), noise and repeats, in runs."""
    rng = Xorshift(seed)
    words = [b"vek", b"deflate", b"chunk", b"stream", b"\xc3\xa9t\xc3\xa9", b"zwei", b"1999", b"\n"]
    out = bytearray()
    while len(out) < n:
        kind, run = rng.next() % 4, 1 + rng.next() % 3000
        if kind == 0:
            while run > 0:
                word = words[rng.next() % len(words)]
                out += word + b" "
                run -= len(word) + 1
        elif kind == 1:
            out += bytes(0x90 + rng.next() % 0x70 for _ in range(run))
        elif kind == 2:
            out += bytes(rng.next() % 256 for _ in range(run))
        else:
            start = rng.next() % max(1, len(out))
            out += bytes(out[start : start + run]) * 2
    return bytes(out[:n])


INPUTS = [sample(seed, n) for seed, n in ((1, 0), (2, 1), (3, 77), (4, 5_000), (5, 150_000), (6, 700_000))]


def outputs():
    for data in INPUTS:
        for fmt in ("gzip", "zlib", "raw"):
            for level in (0, 1):
                for chunk_size in (4096, 65_536, 1 << 20):
                    one = vekzip.compress(data, level, format=fmt, chunk_size=chunk_size)
                    assert vekzip.compress(data, level, format=fmt, threads=3, chunk_size=chunk_size) == one
                    yield one
                c = vekzip.compressobj(level, format=fmt, threads=2, chunk_size=20_000)
                third = len(data) // 3
                yield (
                    c.compress(data[:third]) + c.flush(vekzip.Z_SYNC_FLUSH)
                    + c.compress(data[third:]) + c.flush()
                )
                sink = io.BytesIO()
                with vekzip.open(sink, "wb", level, format=fmt, chunk_size=50_000) as f:
                    for at in range(0, len(data), 7_000):
                        f.write(data[at : at + 7_000])
                yield sink.getvalue()


def test_outputs_are_the_recorded_bytes():
    digest = hashlib.sha256()
    for out in outputs():
        digest.update(out)
    assert digest.hexdigest() == RECORDED


@pytest.mark.skipif(vek is None, reason="vek is built for Python 3.10 only")
def test_the_recorded_bytes_are_vek_s():
    for data in INPUTS:
        for fmt in ("gzip", "zlib", "raw"):
            for level in (0, 1):
                c = vek.compressobj(level, vekzip.FORMATS[fmt])
                pieces = [data[at : at + 4096] for at in range(0, len(data), 4096)]
                expected = b"".join(c.compress(p) for p in pieces) + c.flush()
                assert vekzip.compress(data, level, format=fmt, chunk_size=4096) == expected
