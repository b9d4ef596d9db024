"""vekzip.compress: one stream for every thread count, byte for byte what
one vek.compressobj gives for the same chunks; checked by real inflaters."""

import array
import errno
import os
import random
import shutil
import signal
import subprocess
import threading
import time
import zlib

import pytest

import vekzip
from vekzip import _engine
from corpus import corpus_files

WBITS = {"gzip": 31, "zlib": 15, "raw": -15}


try:
    import vek  # Python 3.10 only
except ImportError:
    vek = None
GZIP, ZLIB = vekzip.FORMATS["gzip"], vekzip.FORMATS["zlib"]


def serial(data, level, fmt, chunk_size):
    """The stream one vek.compressobj gives for these chunks; where vek is
    not built (after Python 3.10), one thread's straight path instead."""
    view = memoryview(data).cast("B")
    chunks = [bytes(view[i : i + chunk_size]) for i in range(0, len(view), chunk_size)]
    if vek is None:
        c = vekzip.compressobj(level, format=fmt, chunk_size=chunk_size)
        return b"".join(c.compress(chunk) for chunk in chunks) + c.flush()
    c = vek.compressobj(0 if level == 0 else 1, vekzip.FORMATS[fmt])
    return b"".join(c.compress(chunk) for chunk in chunks) + c.flush()


def inflate(data, fmt):
    d = zlib.decompressobj(WBITS[fmt])
    out = d.decompress(data) + d.flush()
    assert d.eof and not d.unused_data
    return out


def mixed(seed, n):
    """Text, binary, wide bytes (stored runs) and repeats, so that chunks end
    in every state: a stored run, an open block, any pending bits."""
    rng = random.Random(seed)
    parts, size = [], 0
    while size < n:
        kind, run = rng.randrange(4), rng.randrange(1, 5000)
        if kind == 0:
            part = bytes(rng.choice(b"etaoin shrdlu\n") for _ in range(run))
        elif kind == 1:
            part = rng.randbytes(run)
        elif kind == 2:
            part = bytes(rng.randrange(0x90, 0x100) for _ in range(run))
        else:
            part = (parts[-1] if parts else b"seed")[: rng.randrange(4, 300)] * 3
        parts.append(part)
        size += len(part)
    return b"".join(parts)[:n]


@pytest.mark.parametrize("fmt", ["gzip", "zlib", "raw"])
@pytest.mark.parametrize("level", [0, 1])
def test_every_thread_count_gives_the_serial_stream(fmt, level):
    data = mixed(level * 3 + len(fmt), 400_000)
    for chunk_size in (1 << 10, 65_535, 65_536, 100_003, 1 << 20):
        expected = serial(data, level, fmt, chunk_size)
        for threads in (1, 2, 3, 8):
            assert vekzip.compress(data, level, format=fmt, threads=threads, chunk_size=chunk_size) == expected, (
                chunk_size,
                threads,
            )
        assert inflate(expected, fmt) == data


def test_tiny_chunks_and_tiny_inputs():
    for n in (0, 1, 2, 3, 4, 5, 31, 200):
        data = mixed(n, n)
        for chunk_size in (1, 2, 3, 7):
            for fmt in WBITS:
                expected = serial(data, 1, fmt, chunk_size)
                for threads in (1, 2, 4):
                    got = vekzip.compress(data, format=fmt, threads=threads, chunk_size=chunk_size)
                    assert got == expected, (n, chunk_size, fmt, threads)
                assert inflate(expected, fmt) == data


def test_corpus_files_on_two_threads(corpus):
    for path in corpus[:: max(1, len(corpus) // 6)]:
        data = path.read_bytes()
        assert vekzip.compress(data, threads=2, chunk_size=1 << 20) == serial(data, 1, "gzip", 1 << 20), path.name


@pytest.mark.skipif(shutil.which("gzip") is None, reason="GNU gzip is not installed")
def test_gnu_gzip_reads_one_member_made_on_four_threads():
    data = mixed(5, 1_500_000)
    out = vekzip.compress(data, threads=4, chunk_size=100_000)
    assert subprocess.run(["gzip", "-dc"], input=out, capture_output=True, check=True).stdout == data
    assert out.count(b"\x1f\x8b\x08") >= 1 and inflate(out, "gzip") == data  # one member, nothing after it


def test_any_bytes_like_object_is_read_in_place():
    data = mixed(9, 50_000)
    expected = vekzip.compress(data, threads=2, chunk_size=8_000)
    assert vekzip.compress(bytearray(data), threads=2, chunk_size=8_000) == expected
    assert vekzip.compress(memoryview(data), threads=2, chunk_size=8_000) == expected
    words = array.array("I", data[: len(data) // 4 * 4])
    assert vekzip.compress(words, threads=2, chunk_size=8_000) == vekzip.compress(words.tobytes(), chunk_size=8_000)
    with pytest.raises(BufferError):  # as zlib.compress refuses it
        vekzip.compress(memoryview(data)[::2])
    with pytest.raises(TypeError):
        vekzip.compress("text")


def test_levels_formats_threads_and_chunk_sizes_are_checked():
    data = b"levels " * 100
    stored = vekzip.compress(data, 0)
    compressed = vekzip.compress(data, 1)
    for level in (1, 6, 9, -1):
        assert vekzip.compress(data, level) == compressed
    assert stored != compressed and inflate(stored, "gzip") == data
    for level in (10, -2, 100):
        with pytest.raises(ValueError, match="compresslevel"):
            vekzip.compress(data, level)
    for level in ("1", 1.0, None, True):
        with pytest.raises(TypeError):
            vekzip.compress(data, level)
    assert vekzip.compress(data, format=ZLIB) == vekzip.compress(data, format="zlib")
    for fmt in ("deflate", "GZIP", 3, True):
        with pytest.raises(ValueError, match="format"):
            vekzip.compress(data, format=fmt)
    assert vekzip.compress(data, threads=0) == compressed
    with pytest.raises(ValueError, match="threads"):
        vekzip.compress(data, threads=-1)
    with pytest.raises(ValueError, match="chunk_size"):
        vekzip.compress(data, chunk_size=0)


def native_threads():
    # Threads that Python did not start: the engine's. Python threads left
    # by other suites (servers, clusters) come and go on their own.
    return len(os.listdir("/proc/self/task")) - len(threading.enumerate())


def threads_settle_at_most(before):
    """A Python thread leaves threading's list a moment before its task
    ends, so a count may run one high briefly; a thread left behind stays."""
    deadline = time.monotonic() + 5
    while native_threads() > before and time.monotonic() < deadline:
        time.sleep(0.01)
    return native_threads() <= before


@pytest.mark.parametrize("threads", [1, 2, 4])
@pytest.mark.parametrize("fail_at", [0, 3])
def test_a_worker_failure_reaches_the_caller_and_leaves_no_thread(threads, fail_at):
    before = native_threads()
    stream = _engine.Compressor(1, GZIP, threads, 30_000, fail_at=fail_at)
    chunks = [mixed(i, 30_000) for i in range(12)]
    with pytest.raises(MemoryError):
        for chunk in chunks:
            stream.compress(chunk)
        stream.flush()
    with pytest.raises(ValueError, match="earlier failure"):
        stream.compress(b"more")
    assert threads_settle_at_most(before)  # none left behind (another may have ended meanwhile)
    with pytest.raises(MemoryError):
        _engine.compress(b"".join(chunks), 1, GZIP, threads, 30_000, fail_at=fail_at)
    assert threads_settle_at_most(before)


def through_views(stream, data, piece):
    parts = [bytes(stream.compress_out(data[at : at + piece])) for at in range(0, len(data), piece)]
    return b"".join(parts) + bytes(stream.flush_out())


def through_descriptor(stream, path, piece):
    parts = []
    with open(path, "rb", buffering=0) as f:
        while True:
            got, error, out = stream.compress_from(f.fileno(), piece)
            assert error == 0
            parts.append(bytes(out))
            if not got:
                return b"".join(parts) + bytes(stream.flush_out())


@pytest.mark.parametrize("threads", [1, 3])
@pytest.mark.parametrize("piece", [17_000, 45_000])
def test_views_and_descriptor_reads_give_the_serial_stream(tmp_path, threads, piece):
    data = mixed(11, 400_000)
    (tmp_path / "in").write_bytes(data)
    expected = serial(data, 1, "gzip", 30_000)
    assert through_views(_engine.Compressor(1, GZIP, threads, 30_000), data, piece) == expected
    assert through_descriptor(_engine.Compressor(1, GZIP, threads, 30_000), tmp_path / "in", piece) == expected
    assert inflate(expected, "gzip") == data


@pytest.mark.parametrize("threads", [1, 3])
@pytest.mark.parametrize("method", ["compress", "compress_out"])
def test_slices_of_one_buffer_written_in_turn_give_the_serial_stream(threads, method):
    # Slices that follow on in one bytes object are not copied: mixed with
    # bytes that do not follow on, a bytearray changed after its write, and
    # slices across and longer than a chunk.
    sizes = [7_000, 23_000, 1, 45_000, 29_999, 61_000, 10, 5_000] * 3
    data = mixed(12, sum(sizes))
    view = memoryview(data)
    stream = _engine.Compressor(1, GZIP, threads, 30_000)
    write = getattr(stream, method)
    parts, at = [], 0
    for i, size in enumerate(sizes):
        piece = view[at : at + size]
        if i % 5 == 3:
            parts.append(bytes(write(bytes(piece))))
        elif i % 5 == 4:
            changing = bytearray(piece)
            parts.append(bytes(write(changing)))
            changing[:] = bytes(len(changing))
        else:
            parts.append(bytes(write(piece)))
        at += size
    parts.append(bytes(stream.flush()))
    assert at == len(data)
    assert b"".join(parts) == serial(data, 1, "gzip", 30_000)


def test_a_view_still_held_keeps_its_bytes_while_the_stream_goes_on():
    stream = _engine.Compressor(1, GZIP, 2, 30_000)
    held = stream.compress_out(mixed(1, 200_000))
    copy = bytes(held)
    for i in range(2, 8):
        stream.compress_out(mixed(i, 200_000))
    assert held.readonly and bytes(held) == copy


def test_a_read_that_fails_gives_its_errno_and_leaves_the_stream_usable(tmp_path):
    stream = _engine.Compressor(1, GZIP, 2, 30_000)
    stream.compress_out(b"before ")
    fd = os.open(tmp_path, os.O_RDONLY)  # a folder: read() fails with EISDIR
    try:
        got, error, _ = stream.compress_from(fd, 1000)
    finally:
        os.close(fd)
    assert (got, error) == (0, errno.EISDIR)
    assert inflate(bytes(stream.flush_out()), "gzip") == b"before "


def test_a_signal_handler_that_raises_ends_a_blocked_read():
    class Interrupted(Exception):
        pass

    def interrupt(signum, frame):
        raise Interrupted

    stream = _engine.Compressor(1, GZIP, 2, 30_000)
    reading, writing = os.pipe()
    previous = signal.signal(signal.SIGALRM, interrupt)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.05)
        with pytest.raises(Interrupted):
            stream.compress_from(reading, 1000)  # nothing comes: only the signal ends it
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
        os.close(reading)
        os.close(writing)
    with pytest.raises(ValueError, match="earlier failure"):
        stream.compress_out(b"more")


def test_a_finished_stream_takes_nothing_more():
    stream = vekzip.compressobj(format="zlib", threads=2)
    out = stream.compress(b"once ") + stream.flush()
    assert inflate(out, "zlib") == b"once "
    assert stream.flush() == b"" and stream.flush(zlib.Z_SYNC_FLUSH) == b""
    with pytest.raises(ValueError, match="finished"):
        stream.compress(b"x")


def test_an_abandoned_stream_stops_its_threads():
    before = native_threads()
    stream = vekzip.compressobj(threads=4, chunk_size=50_000)
    for i in range(6):
        stream.compress(mixed(i, 50_000))
    del stream
    assert threads_settle_at_most(before)  # none left behind (another may have ended meanwhile)
