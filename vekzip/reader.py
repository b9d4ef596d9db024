"""Reading an indexed gzip file on several threads, seekable, never other
bytes than a sequential gzip reader gives.

The index only says where chunks might start; each chunk is proven before
its bytes are trusted. Chunk 0 starts at the member's first DEFLATE byte, a
block boundary. If chunk i starts at a byte-aligned block boundary of the
sequential stream, a fresh raw inflater given only its bytes decodes what
the sequential decoder decodes there (zlib refuses any match that reaches
before the chunk: "invalid distance too far back"). Inflating chunk i must
then consume all its bytes and give the length, CRC-32 and last byte the
index lists, and end:
- a chunk that is not the member's last, at a byte-aligned block boundary
  that is not after a final block, as zlib's own inflater state says (its
  data_type after inflating with Z_BLOCK: between blocks, no bit of the
  input left unread, not in the final block; Python's zlib hides that
  state, so vekzip's engine holds the inflater). Then chunk i+1 starts at a
  byte-aligned block boundary of the sequential stream.
- the member's last chunk, with the end of the DEFLATE stream exactly at
  its last byte; the member's trailer agrees with the chunks' CRC-32s and
  lengths (vekzip.index checks that when it reads the index).
So the bytes of chunk k are used only once chunks 0 to k-1 are proven: a
read far into a file first proves the chunks before it (inflating them on
the threads, their bytes thrown away), once per reader. When a proof fails
the reader goes on with Python's gzip reader from the start of the file,
so the result is gzip's bytes or gzip's refusal.

Memory is bounded whatever the file declares: a chunk is inflated in
pieces of at most PIECE bytes from input read INPUT_PIECE bytes at a time,
and each chunk in flight holds at most AHEAD_PIECES pieces it has made and
not yet handed over; at most `threads` chunks are in flight. The inflater
is zlib, the one gzip.decompress uses, so that the same streams are
accepted and refused. A vekzip built without zlib's headers has no such
inflater and reads every file in sequence.

One reader may be used by several threads: each call is whole (a lock).
close() from another thread stops a read that waits for a chunk, which then
raises ValueError("I/O operation on closed file"), as later calls do.
"""

from __future__ import annotations

import bisect
import collections
import gzip
import io
import os
import threading
import weakref
import zlib
from concurrent.futures import ThreadPoolExecutor

from . import _engine
from . import index as index_format

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, BinaryIO, Iterator

PIECE = 1 << 20
INPUT_PIECE = 1 << 18
AHEAD_PIECES = 2
# zlib's raw inflater that tells block boundaries; None in a build without zlib.
ChunkInflater = getattr(_engine, "ChunkInflater", None)


class CorruptChunk(gzip.BadGzipFile):
    """A chunk that cannot be proven to be what a sequential reader reads,
    or (from the sequential reader) a damaged file, in gzip's words."""


class _Cancelled(Exception):
    """A chunk in flight was given up (a seek elsewhere, or close())."""


def inflate_pieces(file: BinaryIO, chunk: index_format.Chunk, read_lock: threading.Lock) -> Iterator[bytes]:
    """The chunk's bytes in pieces of at most PIECE bytes; the iteration
    ends normally only when the chunk is proven (see above), and raises
    CorruptChunk otherwise. Given that the chunk starts where the sequential
    stream is at a block boundary, every piece is what it reads there."""
    where = f"chunk at byte {chunk.offset}"
    if ChunkInflater is None:
        raise CorruptChunk("this vekzip was built without zlib's headers and cannot prove chunks")
    d = ChunkInflater()
    offset, remaining = chunk.offset, chunk.length
    produced, crc, last = 0, 0, 0
    tail = b""
    while True:
        if not tail and remaining:
            n = min(INPUT_PIECE, remaining)
            tail = read_range(file, offset, n, read_lock)
            offset, remaining = offset + n, remaining - n
        try:
            out = d.decompress(tail, PIECE)
        except zlib.error:
            raise CorruptChunk(f"{where} does not inflate on its own") from None
        tail = d.unconsumed_tail
        if out:
            produced += len(out)
            if produced > chunk.size:
                raise CorruptChunk(f"{where} inflates to more than the index says")
            crc, last = zlib.crc32(out, crc), out[-1]
            yield out
        if d.eof or not tail and not remaining and len(out) < PIECE:
            break  # the stream's end, or all the input taken and nothing more to give
    if produced != chunk.size or crc != chunk.crc or last != chunk.last_byte:
        raise CorruptChunk(f"{where} does not inflate to what the index says")
    if chunk.final:
        if not d.eof or d.unused_data or tail or remaining:
            raise CorruptChunk(f"{where} does not end where its member's stream ends")
        return
    if d.eof:
        raise CorruptChunk(f"{where} ends its stream before the member's end")
    if tail or remaining or not d.at_block_boundary:
        raise CorruptChunk(f"{where} does not end at a byte-aligned block boundary")


def inflate_chunk(file: BinaryIO, chunk: index_format.Chunk, read_lock: threading.Lock) -> bytes:
    """The chunk's bytes, inflated and proven (CorruptChunk otherwise). They
    are what a sequential reader reads there only when every chunk before
    it in its member is proven too."""
    return b"".join(inflate_pieces(file, chunk, read_lock))


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


class _InlineJob:
    """A chunk inflated on the reading thread, a piece per take()."""

    def __init__(self, pieces: Iterator[bytes], keep: bool) -> None:
        self._pieces, self.keep, self.taken, self._cancelled = pieces, keep, False, False

    def take(self) -> bytes | None:
        """The next piece; None once the chunk is proven."""
        if self._cancelled:
            raise _Cancelled
        self.taken = True
        return next(self._pieces, None)

    def cancel(self) -> None:
        self._cancelled = True  # never close a generator another thread may be running


class _PooledJob:
    """A chunk inflated on a pool thread, at most AHEAD_PIECES pieces ahead
    of whoever takes them (none kept when only its proof is wanted)."""

    def __init__(self, pieces: Iterator[bytes], keep: bool) -> None:
        self._pieces, self.keep, self.taken = pieces, keep, False
        self._ready: collections.deque[bytes] = collections.deque()
        self._changed = threading.Condition(threading.Lock())
        self._done = self._cancelled = False
        self._error: BaseException | None = None
        _pooled_jobs.add(self)

    def run(self) -> None:
        try:
            for piece in self._pieces:
                with self._changed:
                    while self.keep and len(self._ready) >= AHEAD_PIECES and not self._cancelled:
                        self._changed.wait()
                    if self._cancelled:
                        return
                    if self.keep:
                        self._ready.append(piece)
                        self._changed.notify_all()
        except BaseException as error:  # handed to the reading thread
            self._error = error
        finally:
            with self._changed:
                self._done = True
                self._changed.notify_all()

    def take(self) -> bytes | None:
        with self._changed:
            self.taken = True
            while not self._ready and not self._done and not self._cancelled:
                self._changed.wait()
            if self._cancelled:
                raise _Cancelled
            if self._ready:
                piece = self._ready.popleft()
                self._changed.notify_all()
                return piece
            if self._error is not None:
                raise self._error
            return None

    def cancel(self) -> None:
        with self._changed:
            self._cancelled = True
            self._ready.clear()
            self._changed.notify_all()


# Jobs whose pool thread may be waiting for a reader to take its pieces.
# The interpreter joins pool threads at exit, before atexit's functions run:
# a file left open would hold the exit for ever, so its jobs are cancelled
# first. Registered after concurrent.futures' own join, so it runs before.
_pooled_jobs: weakref.WeakSet[_PooledJob] = weakref.WeakSet()


def _cancel_pooled_jobs() -> None:
    for job in list(_pooled_jobs):
        job.cancel()


try:
    threading._register_atexit(_cancel_pooled_jobs)  # type: ignore[attr-defined]
except RuntimeError:  # imported while the interpreter exits: its pools are joined already
    pass


class _Window(io.RawIOBase):
    """The file from byte `start` on, as a file of its own: what the
    sequential reader reads (gzip's reader seeks to 0 to go back)."""

    def __init__(self, file: BinaryIO, start: int, read_lock: threading.Lock) -> None:
        super().__init__()
        self._file, self._start, self._lock, self._at = file, start, read_lock, 0

    def readable(self) -> bool:
        return True

    def seekable(self) -> bool:
        return True

    def seek(self, offset: int, whence: int = io.SEEK_SET) -> int:
        if whence == io.SEEK_END:
            self._at = self._file.seek(0, io.SEEK_END) - self._start + offset
        else:
            self._at = (self._at if whence == io.SEEK_CUR else 0) + offset
        return self._at

    def tell(self) -> int:
        return self._at

    def readinto(self, buffer: Any) -> int:
        with self._lock:
            self._file.seek(self._start + self._at)
            n = self._file.readinto(buffer)  # type: ignore[attr-defined]
        self._at += n or 0
        return n or 0


def _gzip_words(error: BaseException) -> str:
    if isinstance(error, EOFError):
        return "unexpected end of file"
    if isinstance(error, zlib.error):
        return "invalid compressed data--format violated"
    text = str(error)
    if text.startswith("CRC check failed"):
        return "invalid compressed data--crc error"
    if text.startswith("Incorrect length"):
        return "invalid compressed data--length error"
    return text


class IndexedReader(io.RawIOBase):
    """The uncompressed bytes of an indexed file (from byte `start` of
    `file`), each chunk proven before it is used, up to `threads` chunks
    inflated at a time ahead of the position."""

    def __init__(self, file: BinaryIO, chunks: list[index_format.Chunk], threads: int, owns_file: bool,
                 name: Any = "", start: int = 0) -> None:
        super().__init__()
        self._file, self._owns_file, self.name, self._start = file, owns_file, name, start
        self._chunks = chunks
        self._starts = [c.start for c in chunks]
        self._size = chunks[-1].start + chunks[-1].size if chunks else 0
        self._position = 0
        self._threads = max(1, threads)
        self._pool: Any = None
        self._read_lock = threading.Lock()  # the file's position, where there is no pread
        self._lock = threading.RLock()  # one call at a time
        self._jobs: dict[int, _InlineJob | _PooledJob] = {}
        self._proven = 0  # chunks 0 .. _proven-1 are proven
        self._current = -1  # the chunk whose job hands out the bytes at _piece_start
        self._piece = memoryview(b"")
        self._piece_start = 0  # the output position of _piece[0]
        self._continuing = True  # reading on from where the last read ended: read ahead
        self._sequential: Any = None  # gzip's reader, once a chunk could not be proven
        self._closing = False
        self._pid = os.getpid()

    @property
    def chunks(self) -> list[index_format.Chunk]:
        return self._chunks

    def readable(self) -> bool:
        return True

    def seekable(self) -> bool:
        return True

    def tell(self) -> int:
        self._check_process()  # before the lock, which a parent's thread may hold
        with self._lock:
            self._check()
            return self._position

    def seek(self, offset: int, whence: int = io.SEEK_SET) -> int:
        self._check_process()  # before the lock, which a parent's thread may hold
        with self._lock:
            self._check()
            if whence == io.SEEK_SET:
                base = 0
            elif whence == io.SEEK_CUR:
                base = self._position
            elif whence == io.SEEK_END:
                base = self._true_size()
            else:
                raise ValueError(f"invalid whence ({whence}, should be 0, 1 or 2)")
            # As gzip: before the start is the start, past the end the end
            # (known for sure only once every chunk is proven).
            target = max(0, base + offset)
            if target > self._size or self._sequential is not None:
                target = min(target, self._true_size())
            if target != self._position:
                self._continuing = False
            self._position = target
            return self._position

    def readinto(self, buffer: Any) -> int:
        self._check_process()  # before the lock, which a parent's thread may hold
        with self._lock, memoryview(buffer) as out:
            self._check()
            return self._read_into(out.cast("B"))

    def readall(self) -> bytes:
        self._check_process()  # before the lock, which a parent's thread may hold
        with self._lock:
            self._check()
            parts: list[bytes | bytearray] = []
            while True:
                part = bytearray(PIECE)
                with memoryview(part) as view:
                    n = self._read_into(view)
                if not n:
                    return b"".join(parts)
                del part[n:]
                parts.append(part)

    def close(self) -> None:
        if self.closed:
            return
        if os.getpid() != self._pid:
            # A forked child: the locks and jobs may be held by threads of
            # the parent that do not exist here. The descriptors go with
            # the process.
            super().close()
            return
        self._closing = True
        for job in list(self._jobs.values()):
            job.cancel()  # wakes a read on another thread that waits for it
        with self._lock:
            if self.closed:
                return
            try:
                self._jobs.clear()
                self._piece = memoryview(b"")
                if self._pool is not None and os.getpid() == self._pid:
                    self._pool.shutdown(wait=True, cancel_futures=True)
                if self._sequential is not None:
                    self._sequential.close()
                if self._owns_file:
                    self._file.close()
            finally:
                super().close()

    def _check(self) -> None:
        if self.closed or self._closing:
            raise ValueError("I/O operation on closed file")
        self._check_process()

    def _check_process(self) -> None:
        if os.getpid() != self._pid:
            raise RuntimeError("this reader belongs to the process that opened it; after fork() open the file again")

    def _read_into(self, out: memoryview) -> int:
        if self._sequential is None:
            try:
                rest = self._bytes_here()
            except CorruptChunk:
                self._fall_back()
            except _Cancelled:
                raise ValueError("I/O operation on closed file") from None
            else:
                n = min(len(out), len(rest))
                out[:n] = rest[:n]
                self._position += n
                return n
        return self._sequential_read(out)

    # The indexed path.

    def _bytes_here(self) -> memoryview:
        """Some of the bytes from the position on (none at the end of all
        proven chunks)."""
        position = self._position
        at = position - self._piece_start
        if 0 <= at < len(self._piece):
            return self._piece[at:]
        if position >= self._size:
            self._prove(len(self._chunks))
            return memoryview(b"")
        number = bisect.bisect_right(self._starts, position) - 1
        if number != self._current or position < self._piece_start or number not in self._jobs:
            self._begin(number)
        while True:
            if self._closing:
                raise _Cancelled
            piece = self._jobs[number].take()
            if piece is None:
                # Proven, yet the position is past its bytes: the chunk gave
                # fewer than it claims only if it failed, so this is a chunk
                # left behind; look again.
                del self._jobs[number]
                self._proven = max(self._proven, number + 1)
                self._current, self._piece = -1, memoryview(b"")
                return self._bytes_here()
            self._piece_start += len(self._piece)
            self._piece = memoryview(piece)
            at = position - self._piece_start
            if at < len(self._piece):
                return self._piece[at:]

    def _begin(self, number: int) -> None:
        """Make chunk `number`'s job the one that hands out bytes, from its start."""
        continuing = self._continuing or number == self._current + 1
        # A job already taken from is behind; one outside the window, not needed.
        for k in [k for k, job in self._jobs.items() if job.taken or k < self._proven or k >= number + self._threads]:
            self._jobs.pop(k).cancel()
        self._prove(number)
        if number not in self._jobs or not self._jobs[number].keep:
            if number in self._jobs:
                self._jobs.pop(number).cancel()
            self._start_job(number, keep=True)
        if continuing:
            for k in range(number + 1, min(number + self._threads, len(self._chunks))):
                if k not in self._jobs:
                    self._start_job(k, keep=True)
        self._current, self._piece, self._piece_start = number, memoryview(b""), self._chunks[number].start
        self._continuing = True

    def _prove(self, end: int) -> None:
        """Prove chunks up to `end` (not included), `threads` at a time, their
        bytes thrown away; CorruptChunk when one fails."""
        while self._proven < end:
            for k in range(self._proven, min(self._proven + self._threads, end)):
                if k not in self._jobs:
                    self._start_job(k, keep=False)
            job = self._jobs[self._proven]
            while job.take() is not None:
                if self._closing:
                    raise _Cancelled
            del self._jobs[self._proven]
            self._proven += 1

    def _start_job(self, number: int, keep: bool) -> None:
        pieces = inflate_pieces(self._file, self._chunks[number], self._read_lock)
        if self._threads == 1:
            self._jobs[number] = _InlineJob(pieces, keep)
            return
        if self._pool is None:
            self._pool = ThreadPoolExecutor(self._threads, thread_name_prefix="vekzip-read")
        job = _PooledJob(pieces, keep)
        self._jobs[number] = job
        self._pool.submit(job.run)

    def _true_size(self) -> int:
        """The stream's length: the index's once every chunk is proven."""
        if self._sequential is None:
            try:
                self._prove(len(self._chunks))
                return self._size
            except CorruptChunk:
                self._fall_back()
            except _Cancelled:
                raise ValueError("I/O operation on closed file") from None
        try:
            return self._sequential.seek(0, io.SEEK_END)
        except (EOFError, zlib.error, gzip.BadGzipFile) as error:
            raise CorruptChunk(_gzip_words(error)) from None

    # The sequential path, for a file whose chunks cannot all be proven.

    def _fall_back(self) -> None:
        for job in self._jobs.values():
            job.cancel()
        self._jobs.clear()
        self._piece = memoryview(b"")
        window = _Window(self._file, self._start, self._read_lock)
        self._sequential = gzip.GzipFile(fileobj=io.BufferedReader(window, 1 << 17), mode="rb")

    def _sequential_read(self, out: memoryview) -> int:
        try:
            if self._sequential.tell() != self._position:
                self._sequential.seek(self._position)
            n = self._sequential.readinto(out) if self._sequential.tell() == self._position else 0
        except (EOFError, zlib.error, gzip.BadGzipFile) as error:
            raise CorruptChunk(_gzip_words(error)) from None
        self._position += n
        return n


def open_indexed(file: Any, threads: int, start: int | None = None) -> IndexedReader | None:
    """An IndexedReader over a path or a seekable binary file when the file
    has a well-formed index from `start` (a file object's position when
    None, as gzip.open reads from there) to its end, else None (the file,
    if opened here, closed again; a file object left at its position)."""
    if ChunkInflater is None:
        return None
    owns = isinstance(file, (str, bytes)) or hasattr(file, "__fspath__")
    source = open(file, "rb") if owns else file
    try:
        if not source.seekable():
            raise index_format.NoIndex("not seekable")
        position = source.tell()
        begin = position if start is None else start
        try:
            chunks = index_format.read_index(source, begin)
        finally:
            source.seek(position)
    except (index_format.NoIndex, OSError):
        if owns:
            source.close()
        return None
    except BaseException:
        if owns:
            source.close()
        raise
    name = file if owns else getattr(file, "name", "")
    return IndexedReader(source, chunks, threads, owns, name, begin)
