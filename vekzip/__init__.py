"""vekzip: vek for Python programs and the command line.

``compress`` turns any bytes-like object into a gzip member, a zlib stream or
raw DEFLATE, on one thread or many. vek keeps no history between calls, so
the input is compressed in chunks of ``chunk_size`` bytes, each on its own
thread, and the chunks' bits are joined into one stream: the result is the
same for every thread count, byte for byte, and equals what one
``vek.compressobj`` gives for the same chunks in order.
"""

from __future__ import annotations

import operator
import os

from . import _engine

TYPE_CHECKING = False  # typing itself costs a command-line start about 10 ms
if TYPE_CHECKING:
    from typing import Union

    Buffer = Union[bytes, bytearray, memoryview]

__all__ = [
    "READ", "WRITE", "BadGzipFile", "GzipFile", "VekzipFile", "compress", "compressobj", "decompress", "open",
    "register_archive_format", "register_fsspec",
]

# vek's format numbers (vek.VEK_FMT_GZIP, _ZLIB, _DEFLATE), so that vekzip
# needs no vek, which exists for Python 3.10 only.
FORMATS = {"gzip": 0, "zlib": 1, "raw": 2}
DEFAULT_CHUNK_SIZE = 4 << 20
# An indexed file is read a chunk at a time: smaller chunks make a seek cost
# about a millisecond, for 0.05 points of ratio.
DEFAULT_INDEXED_CHUNK_SIZE = 1 << 20
# More threads than this is a mistake, not a machine: each may hold two
# chunks in flight.
MAX_THREADS = 1024
# zlib's flush modes (zlib.Z_SYNC_FLUSH and the others are the same numbers).
Z_NO_FLUSH, Z_PARTIAL_FLUSH, Z_SYNC_FLUSH, Z_FULL_FLUSH, Z_FINISH, Z_BLOCK = range(6)


def _integer(value: object, name: str) -> int:
    """An int, or an object that is one (numpy's integers); not a bool."""
    if not isinstance(value, bool):
        try:
            return operator.index(value)  # type: ignore[arg-type]
        except TypeError:
            pass
    raise TypeError(f"{name} must be an integer, not {type(value).__name__}")


def _boolean(value: object, name: str) -> bool:
    """True or False only: index="yes" is a mistake, not a wish."""
    if not isinstance(value, bool):
        raise TypeError(f"{name} must be True or False, not {value!r}")
    return value


def _mtime(value: object) -> int:
    """A gzip header's time: seconds since 1970 (a float is truncated, as
    gzip does), 0 to 2**32 - 1."""
    seconds = int(value) if isinstance(value, float) else _integer(value, "mtime")
    if not 0 <= seconds < 1 << 32:
        raise ValueError(f"mtime must be 0 to 2**32 - 1 seconds, not {value!r}")
    return seconds


def format_code(format: str | int) -> int:
    """vek's number of a format name ("gzip", "zlib", "raw") or number."""
    if isinstance(format, str):
        if format in FORMATS:
            return FORMATS[format]
    elif not isinstance(format, bool):
        try:
            number = operator.index(format)  # type: ignore[arg-type]
        except TypeError:
            number = None
        if number in FORMATS.values():
            return number  # type: ignore[return-value]
    raise ValueError(f"format must be 'gzip', 'zlib', 'raw' or 0, 1, 2 (vek.VEK_FMT_*), not {format!r}")


def vek_level(compresslevel: int) -> int:
    """gzip's levels in vek's two settings: 0 stores, 1 to 9 and -1 compress."""
    level = _integer(compresslevel, "compresslevel")
    if level == 0:
        return 0
    if level == -1 or 1 <= level <= 9:
        return 1
    raise ValueError(f"compresslevel must be 0 (store), 1 to 9 or -1 (compress), not {level}")


def thread_count(threads: int) -> int:
    """0 means the CPUs this process may use."""
    count = _integer(threads, "threads")
    if not 0 <= count <= MAX_THREADS:
        raise ValueError(f"threads must be 0 (all CPUs) to {MAX_THREADS}, not {count}")
    return count or len(os.sched_getaffinity(0))


def chunk_bytes(chunk_size: int | None, index: bool = False) -> int:
    """None means the default: 4 MiB, or 1 MiB for an indexed file."""
    if chunk_size is None:
        return DEFAULT_INDEXED_CHUNK_SIZE if index else DEFAULT_CHUNK_SIZE
    size = _integer(chunk_size, "chunk_size")
    if not 1 <= size <= 1 << 62:
        raise ValueError(f"chunk_size must be 1 to 2**62 bytes, not {size}")
    return size


def _compressor(
    level: int, fmt: int, threads: int, chunk_size: int, header: bytes = b"", index: bool = False
) -> _engine.Compressor:
    """The engine's compressor (a gzip header of the caller's in place of
    vek's fixed one); one place, so that tests can hand in a failing one."""
    return _engine.Compressor(level, fmt, threads, chunk_size, header, index)


class IndexedCompressor:
    """A compressor whose stream ends with its index (see vekzip.index): the
    engine marks and records the chunks, the finishing flush adds the
    index members."""

    def __init__(self, engine: _engine.Compressor) -> None:
        import _thread

        self._engine = engine
        self._indexed = False
        self._lock = _thread.allocate_lock()  # one index, also when threads share the object
        self._pid = os.getpid()
        # The stream's first bytes, until they hold the header: an empty
        # stream has no chunk recorded, and its one chunk starts there.
        self._head = b""

    @property
    def chunk_size(self) -> int:
        return self._engine.chunk_size

    def compress(self, data: Buffer) -> bytes:
        return self._kept(self._engine.compress(data))

    def flush(self, mode: int = Z_FINISH) -> bytes:
        if os.getpid() != self._pid:  # before the lock, which a parent's thread may hold
            raise RuntimeError("this stream belongs to the process that made it; after fork() a child "
                               "cannot use it (make a new one there)")
        with self._lock:
            out = self._kept(self._engine.flush(mode))
            if mode == Z_FINISH and not self._indexed:
                from .gzip_header import parse_header
                from .index import index_members

                self._indexed = True
                records = self._engine.chunks()
                if not records:
                    header = parse_header(self._head)
                    records = [(header.length if header else 10, 0, 0, 0)]
                out += index_members(self._engine.written, records)
                self._head = b""
            return out

    def _kept(self, out: bytes) -> bytes:
        if not self._indexed and len(self._head) < 1 << 17:
            self._head += out[: (1 << 17) - len(self._head)]
        return out

    def abandon(self) -> None:
        self._engine.abandon()


def _check_indexable(fmt: int, index: bool) -> None:
    if index and fmt != FORMATS["gzip"]:
        raise ValueError("index=True makes a splittable gzip file; zlib and raw streams have no index")


def _streaming(
    level: int, fmt: int, threads: int, chunk_size: int, header: bytes = b"", index: bool = False
) -> _engine.Compressor | IndexedCompressor:
    _check_indexable(fmt, index)
    engine = _compressor(level, fmt, threads, chunk_size, header, index)
    return IndexedCompressor(engine) if index else engine


# zlib's wbits for the containers vek writes: vek's window is 32 KiB, so
# zlib's smaller windows (9 to 14) cannot be promised to a reader.
WBITS_FORMATS = {15: "zlib", -15: "raw", 31: "gzip"}
DEFLATED = 8


def _format_of_wbits(wbits: object, method: object, mem_level: object, strategy: object, zdict: object) -> str:
    if _integer(method, "method") != DEFLATED:
        raise ValueError("method must be DEFLATED (8)")
    if not 1 <= _integer(mem_level, "memLevel") <= 9:
        raise ValueError("memLevel must be 1 to 9")
    if not 0 <= _integer(strategy, "strategy") <= 4:
        raise ValueError("strategy must be one of zlib's Z_* strategies, 0 to 4")
    if zdict is not None:
        raise ValueError("vek keeps no history, so it takes no preset dictionary (zdict)")
    bits = _integer(wbits, "wbits")
    if bits not in WBITS_FORMATS:
        raise ValueError(f"wbits must be 15 (zlib), -15 (raw) or 31 (gzip), not {bits}: vek's window is 32 KiB, "
                         "which a reader made with a smaller wbits refuses")
    return WBITS_FORMATS[bits]


def compressobj(
    level: int | None = None,
    method: int = DEFLATED,
    wbits: int | None = None,
    memLevel: int = 8,
    strategy: int = 0,
    zdict: object = None,
    *,
    compresslevel: int | None = None,
    format: str | int | None = None,
    threads: int = 1,
    chunk_size: int | None = None,
    index: bool = False,
) -> _engine.Compressor | IndexedCompressor:
    """A streaming compressor in the manner of zlib.compressobj.

    ``compress(data)`` takes any C-contiguous bytes-like object and returns
    the compressed bytes ready so far (often none): input is gathered into
    chunks of ``chunk_size`` bytes, so the stream does not depend on how it
    was cut, and without flushes equals ``compress`` of all of it.
    ``flush(mode=zlib.Z_FINISH)``: Z_NO_FLUSH returns b""; Z_SYNC_FLUSH and
    Z_FULL_FLUSH (and Z_PARTIAL_FLUSH, Z_BLOCK) end what was given with a
    sync point, after which all of it inflates; Z_FINISH ends the stream.
    After the end, ``flush`` returns b"" and ``compress`` raises ValueError.
    ``threads``: 1 compresses on the caller's thread; more start that many
    threads that compress in the background while the caller goes on (and
    the caller helps when they fall behind); the bytes are the same for any
    count. One object may be shared by threads: each call is whole.
    ``index=True`` (gzip only) makes the stream splittable: its chunks can
    be found and inflated apart, and the last flush adds the index (see
    vekzip.index).
    zlib.compressobj's arguments are taken too (``level, method, wbits,
    memLevel, strategy``): ``wbits`` 15 makes a zlib stream, -15 raw
    DEFLATE, 31 gzip; memLevel and strategy are accepted and do not change
    vek's one way of compressing. Without ``wbits`` or ``format``: gzip.
    ``level`` is zlib's name for the level, ``compresslevel`` gzip's.
    """
    if level is not None and compresslevel is not None:
        raise TypeError("compressobj() takes level or compresslevel, not both")
    given = compresslevel if level is None else level
    chosen = _format_of_wbits(31 if wbits is None else wbits, method, memLevel, strategy, zdict)
    if format is None:
        format = chosen
    elif wbits is not None and format_code(format) != FORMATS[chosen]:
        raise ValueError(f"wbits={wbits} makes a {chosen} stream, but format={format!r} was given")
    vek, fmt = vek_level(1 if given is None else given), format_code(format)
    index = _boolean(index, "index")
    return _streaming(vek, fmt, thread_count(threads), chunk_bytes(chunk_size, index), index=index)


def compress(
    data: Buffer,
    compresslevel: int = 1,
    *,
    mtime: float | None = None,
    format: str | int = "gzip",
    threads: int = 1,
    chunk_size: int | None = None,
    index: bool = False,
) -> bytes:
    """Compresses ``data`` (any C-contiguous bytes-like object, read in place)
    into one gzip member, zlib stream or raw DEFLATE stream.

    ``compresslevel`` 0 stores; 1 to 9 and -1 compress (vek has one
    compressing setting). ``threads``: 1 or more (the caller's included),
    or 0 for every CPU this process may use; the bytes are the same for any
    count. ``index=True`` (gzip only) makes the file splittable (see
    vekzip.index). ``mtime`` (gzip only) goes into the header; without it
    the time is 0, so that the same data gives the same bytes.
    """
    level, fmt = vek_level(compresslevel), format_code(format)
    threads, size = thread_count(threads), chunk_bytes(chunk_size, _boolean(index, "index"))
    seconds = None if mtime is None else _mtime(mtime)
    if seconds is not None and fmt != FORMATS["gzip"]:
        raise ValueError("mtime is a field of the gzip header; zlib and raw streams have none")
    if not index:
        out = _engine.compress(data, level, fmt, threads, size)
    else:
        _check_indexable(fmt, index)
        from .index import index_members

        member, records = _engine.compress_indexed(data, level, fmt, threads, size)
        out = member + index_members(len(member), records)
    if seconds:
        # vek's header is fixed: MTIME is bytes 4 to 7, under no header CRC.
        out = out[:4] + seconds.to_bytes(4, "little") + out[8:]
    return out


def decompress(data: Buffer) -> bytes:
    """gzip.decompress: the bytes of every gzip member in ``data``, through
    ISA-L's inflater when installed, else zlib; BadGzipFile or EOFError as
    gzip raises them."""
    from .gzip_reader import decompress as inflate_all

    return inflate_all(data)


from .file import READ, WRITE, GzipFile, VekzipFile, open  # noqa: E402  (the writer uses the names above)

if TYPE_CHECKING:
    from gzip import BadGzipFile as BadGzipFile


def __getattr__(name: str) -> object:
    # gzip's own class, so that code catching gzip.BadGzipFile catches
    # vekzip's too; imported when asked for, as gzip costs a start 3 ms.
    if name == "BadGzipFile":
        import gzip

        return gzip.BadGzipFile
    raise AttributeError(f"module 'vekzip' has no attribute {name!r}")


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
