"""vekzip: vek for Python programs and the command line.

``compress`` turns any bytes-like object into a gzip member, a zlib stream or
raw DEFLATE, on one thread or many. vek keeps no history between calls, so
the input is compressed in chunks of ``chunk_size`` bytes, each on its own
thread, and the chunks' bits are joined into one stream: the result is the
same for every thread count, byte for byte, and equals what one
``vek.compressobj`` gives for the same chunks in order.
"""

from __future__ import annotations

import os

import vek

from . import _engine

TYPE_CHECKING = False  # typing itself costs a command-line start about 10 ms
if TYPE_CHECKING:
    from typing import Union

    Buffer = Union[bytes, bytearray, memoryview]

__all__ = ["VekzipFile", "compress", "open", "register_archive_format", "register_fsspec"]

FORMATS = {"gzip": vek.VEK_FMT_GZIP, "zlib": vek.VEK_FMT_ZLIB, "raw": vek.VEK_FMT_DEFLATE}
DEFAULT_CHUNK_SIZE = 4 << 20


def _whole_number(value: object, name: str) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    return value


def format_code(format: str | int) -> int:
    """The vek constant of a format name ("gzip", "zlib", "raw") or constant."""
    if isinstance(format, str):
        if format in FORMATS:
            return FORMATS[format]
    elif not isinstance(format, bool) and isinstance(format, int) and format in FORMATS.values():
        return format
    raise ValueError(f"format must be 'gzip', 'zlib', 'raw' or a VEK_FMT_* constant, not {format!r}")


def vek_level(compresslevel: int) -> int:
    """gzip's levels in vek's two settings: 0 stores, 1 to 9 and -1 compress."""
    level = _whole_number(compresslevel, "compresslevel")
    if level == 0:
        return 0
    if level == -1 or 1 <= level <= 9:
        return 1
    raise ValueError(f"compresslevel must be 0 (store), 1 to 9 or -1 (compress), not {level}")


def thread_count(threads: int) -> int:
    """0 means the CPUs this process may use."""
    count = _whole_number(threads, "threads")
    if count < 0:
        raise ValueError(f"threads must be 0 (all CPUs) or more, not {count}")
    return count or len(os.sched_getaffinity(0))


def chunk_bytes(chunk_size: int) -> int:
    size = _whole_number(chunk_size, "chunk_size")
    if size < 1:
        raise ValueError(f"chunk_size must be at least 1, not {size}")
    return size


def _stream(level: int, fmt: int, threads: int) -> _engine.Stream:
    """The engine's stream; one place, so that tests can hand in a failing one."""
    return _engine.Stream(level, fmt, threads)


def compress(
    data: Buffer,
    compresslevel: int = 1,
    *,
    format: str | int = "gzip",
    threads: int = 1,
    chunk_size: int = DEFAULT_CHUNK_SIZE,
) -> bytes:
    """Compresses ``data`` (any C-contiguous bytes-like object, read in place)
    into one gzip member, zlib stream or raw DEFLATE stream.

    ``compresslevel`` 0 stores; 1 to 9 and -1 compress (vek has one
    compressing setting). ``threads``: 1 or more, or 0 for every CPU this
    process may use; the bytes are the same for any count.
    """
    level, fmt = vek_level(compresslevel), format_code(format)
    threads, size = thread_count(threads), chunk_bytes(chunk_size)
    view = memoryview(data).cast("B")
    chunks = max(1, -(-len(view) // size))
    stream = _stream(level, fmt, min(threads, chunks))
    parts = [stream.write(view[at : at + size]) for at in range(0, len(view), size)]
    parts.append(stream.finish())
    return b"".join(parts)


from .file import VekzipFile, open  # noqa: E402  (the writer uses the names above)


# The integrations import what they integrate with (tarfile, fsspec) only
# when they are used.
def register_fsspec(
    name: str = "vek", *, compresslevel: int = 1, threads: int = 1, replace_gzip: bool = False, client: object = None
) -> None:
    """Registers vek as an fsspec compression, in this process and, given a
    distributed Client, on every worker of its cluster; see README."""
    from .fsspec_compression import register_fsspec as register

    register(name, compresslevel=compresslevel, threads=threads, replace_gzip=replace_gzip, client=client)


def register_archive_format(name: str = "vektar", *, threads: int = 1, compresslevel: int = 1) -> None:
    """Registers `name` ("vektar") with shutil.make_archive: a .tar.gz
    written through VekzipFile."""
    from .archive import register_archive_format as register

    register(name, threads=threads, compresslevel=compresslevel)
