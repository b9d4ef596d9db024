"""Calls that cannot complete leave the object as it was: a buffer that
cannot grow, a result that cannot be allocated, and inputs beyond the core's
32-bit lengths."""

import os
import subprocess
import sys
import textwrap
import zlib

import pytest

import vek
from conftest import inflate

LIMITED = textwrap.dedent(
    """
    import os, resource, sys, zlib
    import vek

    def limit_address_space(extra):
        with open("/proc/self/status") as f:
            vm = next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmSize:"))
        resource.setrlimit(resource.RLIMIT_AS, (vm + extra, resource.RLIM_INFINITY))

    def unlimit():
        resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))

    def inflate(data, fmt):
        return zlib.decompress(data, {0: 31, 1: 15}.get(fmt, -15))

    N = 256 << 20
    fmt, level = int(sys.argv[1]), int(sys.argv[2])
    data = os.urandom(N)

    # The buffer cannot grow: MemoryError, and the object is as it was.
    c = vek.compressobj(level, fmt)
    head = c.compress(b"head ")
    limit_address_space(N // 2)
    try:
        c.compress(data)
        sys.exit("expected MemoryError")
    except MemoryError:
        pass
    small = c.compress(b"still usable")
    unlimit()
    assert inflate(head + small + c.flush(), fmt) == b"head still usable"

    # The result cannot be allocated: RuntimeError caused by MemoryError,
    # and the stream is as before the call.
    c = vek.compressobj(level, fmt)
    first = c.compress(data)
    limit_address_space(N // 2)
    try:
        c.compress(data)
        sys.exit("expected RuntimeError")
    except RuntimeError as e:
        assert str(e) == "Could not allocate bytes object!", e
        assert isinstance(e.__cause__, MemoryError), repr(e.__cause__)
    unlimit()
    tail = c.compress(b"tail")
    assert inflate(first + tail + c.flush(), fmt) == data + b"tail"
    print("ok")
    """
)


@pytest.mark.parametrize("fmt", [0, 1, 2])
@pytest.mark.parametrize("level", [0, 1])
def test_failed_allocation_leaves_the_object_usable(fmt, level):
    result = subprocess.run(
        [sys.executable, "-c", LIMITED, str(fmt), str(level)], capture_output=True, text=True
    )
    assert result.returncode == 0 and result.stdout.strip() == "ok", result.stderr


def huge_enabled():
    return os.environ.get("VEK_HUGE_TESTS", "1") != "0"


@pytest.mark.skipif(not huge_enabled(), reason="VEK_HUGE_TESTS=0")
@pytest.mark.parametrize("level, fmt", [(0, 0), (1, 1)])
def test_input_over_2_gib_is_split_not_refused(level, fmt):
    # A prime-sized block, so that a piece started at a wrong offset shows.
    block = os.urandom(1_000_003)
    n = 2**31 + 5_000_000
    data = (block * (n // len(block) + 1))[:n]
    c = vek.compressobj(level, fmt)
    out = c.compress(data) + c.flush()
    d = zlib.decompressobj({0: 31, 1: 15}[fmt])
    offset = 0
    for start in range(0, len(out), 64 << 20):
        piece = d.decompress(out[start : start + (64 << 20)])
        assert piece == data[offset : offset + len(piece)], f"differs after {offset} bytes"
        offset += len(piece)
    piece = d.flush()
    assert piece == data[offset:]
    assert offset + len(piece) == n and d.eof and not d.unused_data


def test_every_output_path_writes_the_same_bytes():
    # Calls whose output fits the thread's small area, calls that write
    # straight into their result, and calls that reuse a grown buffer. A
    # stored call leaves no bits pending, so a used object must give what a
    # new one gives; compressed calls must round-trip at every size.
    used = vek.compressobj(0, 2)
    used.compress(os.urandom(1 << 20))
    for n in (0, 1, 4095, 4096, 59_500, 59_600, 65_000, 65_505, 65_510, 65_520, 65_536, 70_000, 200_000):
        data = os.urandom(n)
        assert used.compress(data) == vek.compressobj(0, 2).compress(data), n
        text = (b"around the small-call limit %d " % n) * (n // 30 + 1)
        c = vek.compressobj(1, 1)
        assert inflate(c.compress(text[:n]) + c.flush(), 1) == text[:n]
