"""Reading an indexed gzip file on several threads, seekable: each chunk is
inflated on its own (ISA-L's inflater when installed, else zlib; both
release the interpreter lock) and checked against its length and CRC-32, a
few chunks ahead of the reader. A seek costs at most one chunk's
inflating. Files without a sound index are read in sequence instead
(vekzip.open decides), so nothing is ever read wrongly.
"""

from __future__ import annotations

import bisect
import io
import os
import threading

from . import index as index_format
from .inflate import zlib_module

TYPE_CHECKING = False
if TYPE_CHECKING:
    from concurrent.futures import Future
    from typing import Any, BinaryIO


class CorruptChunk(OSError):
    """A chunk that does not inflate to what the index says."""


def inflate_chunk(file: BinaryIO, chunk: index_format.Chunk, read_lock: threading.Lock) -> bytes:
    """The chunk's bytes, inflated and checked."""
    compressed = read_range(file, chunk.offset, chunk.length, read_lock)
    d = zlib_module.decompressobj(-15)
    try:
        data = d.decompress(compressed, chunk.size + 1) if chunk.size else d.decompress(compressed, 1)
    except zlib_module.error:  # type: ignore[misc]
        raise CorruptChunk(f"chunk at byte {chunk.offset} does not inflate: invalid compressed data") from None
    if len(data) != chunk.size or zlib_module.crc32(data) != chunk.crc:
        raise CorruptChunk(f"chunk at byte {chunk.offset} does not inflate to what the index says")
    return data


def read_range(file: BinaryIO, offset: int, length: int, read_lock: threading.Lock) -> bytes:
    """`length` bytes at `offset`, from any thread: pread where the file has
    a descriptor, else seek and read under a lock."""
    try:
        fd = file.fileno()
    except (OSError, AttributeError, io.UnsupportedOperation):
        fd = -1
    if fd >= 0:
        parts, done = [], 0
        while done < length:
            part = os.pread(fd, length - done, offset + done)
            if not part:
                break
            parts.append(part)
            done += len(part)
        data = b"".join(parts)
    else:
        with read_lock:
            file.seek(offset)
            data = file.read(length)
    if len(data) != length:
        raise CorruptChunk(f"the file ends inside the chunk at byte {offset}")
    return data


class IndexedReader(io.RawIOBase):
    """The uncompressed bytes of an indexed file, inflated `threads` chunks
    at a time ahead of the position."""

    def __init__(self, file: BinaryIO, chunks: list[index_format.Chunk], threads: int, owns_file: bool,
                 name: Any = "") -> None:
        super().__init__()
        self._file, self._owns_file, self.name = file, owns_file, name
        self._chunks = chunks
        self._starts = [c.start for c in chunks]
        self._size = chunks[-1].start + chunks[-1].size if chunks else 0
        self._position = 0
        self._threads = max(1, threads)
        self._pool: Any = None
        self._read_lock = threading.Lock()
        self._ready: dict[int, Future[bytes] | bytes] = {}
        self._last = -1  # the chunk read last: reading on from it starts the pool
        self._pid = os.getpid()

    @property
    def chunks(self) -> list[index_format.Chunk]:
        return self._chunks

    def readable(self) -> bool:
        return True

    def seekable(self) -> bool:
        return True

    def tell(self) -> int:
        self._check()
        return self._position

    def seek(self, offset: int, whence: int = io.SEEK_SET) -> int:
        self._check()
        base = {io.SEEK_SET: 0, io.SEEK_CUR: self._position, io.SEEK_END: self._size}[whence]
        if base + offset < 0:
            raise ValueError(f"negative seek position {base + offset}")
        self._position = base + offset
        return self._position

    def readinto(self, buffer: Any) -> int:
        self._check()
        rest = self._rest_of_chunk()
        with memoryview(buffer) as out:
            n = min(len(out), len(rest))
            out[:n] = rest[:n]
        self._position += n
        return n

    def readall(self) -> bytes:
        self._check()
        parts = []
        while rest := self._rest_of_chunk():
            parts.append(rest)
            self._position += len(rest)
        return b"".join(parts)

    def _rest_of_chunk(self) -> memoryview:
        """The bytes from the position to the end of its chunk (none at the end)."""
        if self._position >= self._size:
            return memoryview(b"")
        number = max(0, bisect.bisect_right(self._starts, self._position) - 1)
        return memoryview(self._chunk(number))[self._position - self._chunks[number].start :]

    def close(self) -> None:
        if self.closed:
            return
        try:
            if self._pool is not None and os.getpid() == self._pid:
                self._pool.shutdown(wait=True, cancel_futures=True)
            self._ready.clear()
            if self._owns_file:
                self._file.close()
        finally:
            super().close()

    def _check(self) -> None:
        if self.closed:
            raise ValueError("I/O operation on closed file")
        if os.getpid() != self._pid:
            raise RuntimeError("this reader belongs to the process that opened it; after fork() open the file again")

    def _chunk(self, number: int) -> bytes:
        """The chunk inflated; while the reading goes on in order, the next
        ones are started on the pool."""
        sequential = number == self._last + 1 or number == self._last
        self._last = number
        # Keep only the chunks ahead: a seek back inflates again.
        for old in [k for k in self._ready if k < number or k > number + self._threads]:
            item = self._ready.pop(old)
            if not isinstance(item, bytes):
                item.cancel()
        if self._threads > 1 and sequential:
            if self._pool is None:
                from concurrent.futures import ThreadPoolExecutor

                self._pool = ThreadPoolExecutor(self._threads, thread_name_prefix="vekzip-read")
            for k in range(number, min(number + self._threads + 1, len(self._chunks))):
                if k not in self._ready:
                    self._ready[k] = self._pool.submit(inflate_chunk, self._file, self._chunks[k], self._read_lock)
        pending = self._ready.get(number)
        if pending is None:
            data = inflate_chunk(self._file, self._chunks[number], self._read_lock)
        elif isinstance(pending, bytes):
            data = pending
        else:
            data = pending.result()
        self._ready[number] = data
        return data


def open_indexed(file: Any, threads: int) -> IndexedReader | None:
    """An IndexedReader over a path or a seekable binary file when it has a
    sound index, else None (the file, if opened here, closed again)."""
    owns = isinstance(file, (str, bytes)) or hasattr(file, "__fspath__")
    source = open(file, "rb") if owns else file
    try:
        if not source.seekable():
            raise index_format.NoIndex("not seekable")
        start = source.tell()
        try:
            chunks = index_format.read_index(source)
        finally:
            source.seek(start)
        if not chunks:
            raise index_format.NoIndex("nothing indexed")
    except (index_format.NoIndex, OSError):
        if owns:
            source.close()
        return None
    except BaseException:
        if owns:
            source.close()
        raise
    name = file if owns else getattr(file, "name", "")
    return IndexedReader(source, chunks, threads, owns, name)
