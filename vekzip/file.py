"""GzipFile, VekzipFile and open(): gzip's file objects, writing with vek.

Writes are gathered into chunks of ``chunk_size`` bytes and compressed
through the engine, so that without flush() calls the file holds exactly
``vekzip.compress(everything_written, ...)`` with the same arguments,
whatever the sizes of the writes and the number of threads. With threads
above 1 the chunks are compressed on threads - 1 workers while write()
returns, and by the caller whenever the workers are behind; a chunk a
thread and one or two more in flight at the most. GzipFile's header holds
the file's name, as gzip's; VekzipFile's is vek's fixed 10 bytes (no name,
time 0). Reading goes through vekzip.reader (indexed files) or
vekzip.gzip_reader.
"""

from __future__ import annotations

import _thread
import builtins
import io
import os
import sys

import vekzip

from . import _engine, gzip_header

TYPE_CHECKING = False  # typing itself costs a command-line start about 10 ms
if TYPE_CHECKING:
    from typing import IO, Any, Union

    StrOrBytesPath = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]

# gzip's modes, each with the one it opens a named file in: "+" is taken, as
# gzip takes it, though a GzipFile only ever reads or only writes.
_MODE_SPELLINGS = ("", "b", "+", "+b", "b+")
WRITE_MODES = {letter + rest: letter + "b" for letter in "wxa" for rest in _MODE_SPELLINGS}
READ_MODES = {"r" + rest: "rb" for rest in _MODE_SPELLINGS}
# gzip's values for GzipFile.mode, which changed in Python 3.13.
READ, WRITE = ("rb", "wb") if sys.version_info >= (3, 13) else (1, 2)

# How many times this process image has been forked into a child: a writer
# made before a fork belongs to the parent, and its lock, threads and stream
# are not the child's to use.
_forks = [0]
os.register_at_fork(after_in_child=lambda: _forks.__setitem__(0, _forks[0] + 1))


class GzipFile(io.BufferedIOBase):
    """gzip.GzipFile, compressing with vek: one gzip member (or zlib or raw
    DEFLATE stream) written, or a gzip file read.

    ``filename`` (a path) or ``fileobj`` (a binary file object, left open by
    close()) names the file. ``mode``: "r"/"rb" reads (through ISA-L's
    reader when installed, else the standard library's; a file written with
    index=True on ``threads`` threads, seekably); "w"/"wb", "x"/"xb" or
    "a"/"ab" (a new gzip member after what the file holds; gzip only)
    write. Without one, the mode of ``fileobj``, else "rb", as gzip.

    The header holds the file's name as gzip writes it (FNAME, without
    ".gz") and ``mtime``, which defaults to 0 (gzip's is the current time),
    so that the same data gives the same bytes on every run. ``fname``
    names it otherwise. ``index=True`` makes the file splittable (see
    vekzip.index).

    One writer may be shared by threads: each write is whole. A write or
    flush that fails (the file raising, an interrupt) fails the writer:
    later calls raise, and close() leaves the stream without its end, so
    that a reader sees an incomplete file, never one that looks complete
    with other content.
    """

    # VekzipFile leaves the name out: its bytes depend on the data alone.
    _name_in_header = True
    myfileobj: IO[bytes] | None = None
    fileobj: IO[bytes] | None = None

    def __init__(
        self,
        filename: StrOrBytesPath | None = None,
        mode: str | None = None,
        compresslevel: int = 1,
        fileobj: IO[bytes] | None = None,
        mtime: float | None = None,
        *,
        format: str | int = "gzip",
        threads: int = 1,
        chunk_size: int | None = None,
        fname: str | bytes | None = None,
        index: bool = False,
    ) -> None:
        self._closed = True  # until it is complete: close() then has nothing to end
        self._buffer: Any = None
        given_mode = mode
        if mode is None:
            # As gzip: the mode of fileobj, else reading; never writing by
            # default, which would truncate a file someone meant to read.
            mode = getattr(fileobj, "mode", "rb") if fileobj is not None else "rb"
            if not isinstance(mode, str) or mode[:1] not in ("w", "x", "a"):
                mode = "rb"
            mode = mode[:1] + "b"
        if mode not in READ_MODES and mode not in WRITE_MODES:
            raise ValueError(f"Invalid mode: {mode!r} (gzip's 'r', 'w', 'x', 'a', with or without 'b')")
        if fileobj is None and filename is None:
            raise TypeError("GzipFile needs a filename or a fileobj")
        vekzip._boolean(index, "index")
        if mode in READ_MODES:
            self._init_read(filename, fileobj, format, threads)
        else:
            if given_mode is None:
                import warnings

                warnings.warn("GzipFile was opened for writing, but this will change in future Python releases.  "
                              "Specify the mode argument for opening it for writing.", FutureWarning, 2)
            self._init_write(filename, WRITE_MODES[mode], compresslevel, fileobj, mtime,
                             format, threads, chunk_size, fname, index)
        self._closed = False

    def _init_read(self, filename: Any, fileobj: Any, format: str | int, threads: int) -> None:
        if vekzip.format_code(format) != vekzip.FORMATS["gzip"]:
            raise ValueError("vek has no decompressor; only gzip files are read (ISA-L's reader, else gzip's)")
        threads = vekzip.thread_count(threads)
        if fileobj is not None and not hasattr(fileobj, "read"):
            raise TypeError(f"fileobj must be a binary file object, not {type(fileobj).__name__}")
        _check_binary(fileobj)
        if fileobj is None:
            fileobj = self.myfileobj = builtins.open(filename, "rb")  # type: ignore[arg-type]
        try:
            from .reader import open_indexed

            raw = open_indexed(fileobj, threads)
            if raw is None:  # no sound index: the whole file in sequence
                from .gzip_reader import sequential_reader

                # gzip's buffer size: a read that stops short of a damaged
                # end gets its bytes before the error, as with gzip.
                self._buffer = io.BufferedReader(sequential_reader(fileobj))
            else:
                raw._last_mtime = _first_mtime(fileobj)  # type: ignore[attr-defined]
                self._buffer = io.BufferedReader(raw, buffer_size=1 << 17)
        except BaseException:
            if self.myfileobj is not None:
                self.myfileobj.close()
            raise
        self.fileobj = fileobj
        self.name = _name(filename, fileobj)
        self.mode = READ

    def _init_write(self, filename: Any, binary_mode: str, compresslevel: int, fileobj: Any, mtime: Any,
                    format: str | int, threads: int, chunk_size: int | None, fname: Any, index: bool) -> None:
        if binary_mode == "ab" and vekzip.format_code(format) != vekzip.FORMATS["gzip"]:
            raise ValueError("appending makes a new gzip member; zlib and raw streams cannot be appended to")
        if fileobj is not None and not hasattr(fileobj, "write"):
            raise TypeError(f"fileobj must be a binary file object, not {type(fileobj).__name__}")
        _check_binary(fileobj)
        if isinstance(fileobj, _WRITABLE_KNOWN) and not fileobj.writable():
            # Fails here, as gzip's header write fails it, not at close
            # after all the data was given.
            raise io.UnsupportedOperation("fileobj is not open for writing")
        # Every argument is checked and the threads are running before the
        # file is opened: a writer that cannot be made truncates nothing.
        level, fmt = vekzip.vek_level(compresslevel), vekzip.format_code(format)
        threads, chunk_size = vekzip.thread_count(threads), vekzip.chunk_bytes(chunk_size, index)
        name = _name(filename, fileobj)
        stored_name = _fname_bytes(fname) if fname is not None else _gzip_name(name) if self._name_in_header else None
        self._mtime = 0 if mtime is None else vekzip._mtime(mtime)
        header = b""
        if fmt != vekzip.FORMATS["gzip"]:
            if mtime is not None or fname is not None:
                raise ValueError("mtime and fname are fields of the gzip header; zlib and raw streams have none")
        elif stored_name or self._mtime:
            header = gzip_header.make_header(stored_name, self._mtime)
        self._compressor = vekzip._streaming(level, fmt, threads, chunk_size, header, index)
        # What a failed writer leaves when none of its output reached the
        # file: an empty file (or nothing appended) reads as a valid empty
        # stream, a lone header as a cut one. A raw stream of no bytes is
        # already refused as cut.
        self._cut_stream = {vekzip.FORMATS["gzip"]: header or gzip_header.make_header(),
                            vekzip.FORMATS["zlib"]: b"\x78\x01"}.get(fmt, b"")
        self._owns_file = fileobj is None
        if fileobj is None:
            try:
                # Unbuffered: nothing of ours waits in a buffer that a forked
                # child could write out a second time.
                fileobj = self.myfileobj = builtins.open(filename, binary_mode, buffering=0)
            except BaseException:
                self._compressor.abandon()
                raise
        self.fileobj = fileobj
        # io's own files copy what write() gives them (or write it out) and
        # keep nothing: they are given views of the engine's output area,
        # which spares a new bytes object and its fresh pages on every call.
        self._writes_views = type(fileobj) in _COPYING_FILES
        self.name = name
        self.mode = WRITE
        # Reentrant only so that a call made inside one of the same thread's
        # own (a signal handler writing to the file it interrupted) can be
        # told apart and refused, as io's buffered files refuse it, where a
        # plain lock would wait for ever; the lock itself stays C's, which
        # an interrupt cannot leave held.
        self._lock = _thread.RLock()
        self._fork = _forks[0]
        self._written = 0  # uncompressed bytes taken
        self._produced = 0  # compressed bytes written to the file
        self._since_sync = False
        self._failed = False

    @property
    def compress(self) -> Any:
        """The compressor (gzip's name for it)."""
        return self._compressor

    @compress.setter
    def compress(self, compressor: Any) -> None:
        self._compressor = compressor

    @property
    def raw(self) -> Any:
        """The reader under the buffer (vekzip.reader.IndexedReader for an
        indexed file read on threads), as io.BufferedReader.raw."""
        return self._reading("raw").raw

    @property
    def mtime(self) -> int | None:
        """The time in the header: read from the file (None until the first
        read), or written."""
        if self.mode == WRITE:
            return self._mtime
        return getattr(self._buffer.raw, "_last_mtime", None)

    # Reading, through the buffered reader.
    def _reading(self, what: str) -> Any:
        self._check_open()
        if self.mode != READ:
            import errno

            raise OSError(errno.EBADF, f"{what}() on write-only GzipFile object")
        return self._buffer

    def read(self, size: int | None = -1) -> bytes:
        return self._reading("read").read(size)  # type: ignore[no-any-return]

    def read1(self, size: int = -1) -> bytes:
        return self._reading("read1").read1(io.DEFAULT_BUFFER_SIZE if size < 0 else size)  # type: ignore[no-any-return]

    def readinto(self, buffer: Any) -> int:
        return self._reading("readinto").readinto(buffer)  # type: ignore[no-any-return]

    def peek(self, n: int = 0) -> bytes:
        return self._reading("peek").peek(n)  # type: ignore[no-any-return]

    def readline(self, size: int | None = -1) -> bytes:
        return self._reading("readline").readline(size)  # type: ignore[no-any-return]

    def rewind(self) -> None:
        self._reading("rewind").seek(0)

    def seek(self, offset: int, whence: int = io.SEEK_SET) -> int:
        self._check_open()
        if self.mode == READ:
            return self._buffer.seek(offset, whence)  # type: ignore[no-any-return]
        # Writing: forward only, the gap filled with zeros, as gzip.
        if whence == io.SEEK_CUR:
            offset += self._written
        elif whence != io.SEEK_SET:
            raise ValueError("Seek from end not supported")
        if offset < self._written:
            raise OSError("Negative seek in write mode")
        gap = offset - self._written
        zeros = bytes(min(gap, 1 << 20))
        while gap:
            gap -= self.write(memoryview(zeros)[: min(gap, len(zeros))])
        return self._written

    # The file object's surface.
    @property
    def closed(self) -> bool:
        return self._closed

    def writable(self) -> bool:
        return self.mode == WRITE

    def readable(self) -> bool:
        return self.mode == READ

    def seekable(self) -> bool:
        return True

    def fileno(self) -> int:
        """The file's descriptor; AttributeError once closed, as gzip."""
        return self.fileobj.fileno()  # type: ignore[union-attr]

    def tell(self) -> int:
        """The uncompressed bytes read or written so far."""
        self._check_open()
        if self.mode == READ:
            return self._buffer.tell()  # type: ignore[no-any-return]
        return self._written

    @property
    def compressed_size(self) -> int:
        """The compressed bytes handed to the underlying file so far."""
        return self._produced

    def write(self, data: Any) -> int:  # type: ignore[override]
        """Takes any C-contiguous bytes-like object and returns its length."""
        self._check_open()
        if self.mode != WRITE:
            import errno

            raise OSError(errno.EBADF, "write() on read-only GzipFile object")
        with memoryview(data) as view:  # a TypeError here changes nothing
            if not view.c_contiguous:
                raise BufferError("VekzipFile takes C-contiguous data")
            size = view.nbytes
            self._check_process()
            self._refuse_reentry()
            with self._lock:
                self._check_usable()
                if size:
                    # The engine owns the input once it has it; until its
                    # output is in the file, a failure leaves the stream unfit.
                    self._failed = True
                    engine = self._viewing_engine()
                    self._put(engine.compress_out(view) if engine else self._compressor.compress(view))
                    self._written += size
                    self._since_sync = True
                    self._failed = False
        return size

    def _viewing_engine(self) -> _engine.Compressor | None:
        """The engine's compressor when its output can go to the file as a
        view; None for an indexed file, a compressor set from outside, or a
        file that may keep what it is given."""
        compressor = self._compressor
        return compressor if self._writes_views and type(compressor) is _engine.Compressor else None

    def _reads_descriptors(self) -> bool:
        """Whether _write_from can be used (not for an indexed file)."""
        return type(self._compressor) is _engine.Compressor

    def _write_from(self, fd: int, limit: int) -> tuple[int, int]:
        """For the tool: up to ``limit`` bytes read from descriptor ``fd``
        straight into the engine's chunk area and written as write() would
        write them: (bytes read, 0), or the errno of a read that failed after
        them in place of 0; nothing read is the end."""
        self._check_open()
        self._check_process()
        compressor = self._compressor
        if type(compressor) is not _engine.Compressor:
            raise TypeError("only the engine's own compressor reads a descriptor")
        self._refuse_reentry()
        with self._lock:
            self._check_usable()
            self._failed = True
            got, error, out = compressor.compress_from(fd, limit)
            self._put(out if self._writes_views else bytes(out))
            self._written += got
            self._since_sync = self._since_sync or got > 0
            self._failed = False
        return got, error

    def flush(self, zlib_mode: int = 2) -> None:  # zlib.Z_SYNC_FLUSH, as gzip
        """Compresses everything written so far, ends it with a sync point
        (the open block closed, the output aligned to a byte), writes it and
        flushes the underlying file: its bytes then inflate to all that was
        written. Nothing new since the last flush writes nothing."""
        self._check_open()
        if self.mode == READ:
            return
        self._check_process()
        self._refuse_reentry()
        with self._lock:
            self._check_usable()
            self._failed = True
            if self._since_sync and zlib_mode != vekzip.Z_NO_FLUSH:
                engine = self._viewing_engine()
                self._put(engine.flush_out(zlib_mode) if engine else self._compressor.flush(zlib_mode))
                self._since_sync = False
            self._flush_file()
            self._failed = False

    def close(self) -> None:
        """Ends the stream (with its trailer) and closes a file this object
        opened itself. A second close does nothing; an error in writing the
        end is raised, never reported as success. A writer that failed
        earlier is closed without its end."""
        if self._closed:
            return
        if self.mode == READ:
            self._closed = True
            try:
                self._buffer.close()
            finally:
                self._release_file()
            return
        if self._fork != _forks[0]:
            # A forked child's copy: its lock and threads are the parent's.
            self._abandon()
            return
        self._refuse_reentry()
        with self._lock:
            if self._closed:
                return
            self._closed = True
            try:
                if not self._failed:
                    self._failed = True
                    engine = self._viewing_engine()
                    self._put(engine.flush_out() if engine else self._compressor.flush())  # the end, Z_FINISH
                    if not self._owns_file:
                        self._flush_file()
                    self._failed = False
            finally:
                if self._failed:
                    self._compressor.abandon()
                    self._leave_detectably_incomplete()
                self._release_file()

    def __repr__(self) -> str:
        return f"<vekzip.{type(self).__name__} {self.name!r} {self.mode!r} {'closed' if self._closed else 'open'}>"

    def _release_file(self) -> None:
        """Forgets the file, closing it if this object opened it."""
        mine, self.myfileobj, self.fileobj = self.myfileobj, None, None
        if mine is not None:
            mine.close()

    def _check_open(self) -> None:
        if self._closed:
            raise ValueError("I/O operation on closed file")

    def _check_process(self) -> None:
        if self._fork != _forks[0]:
            raise RuntimeError(f"this {type(self).__name__} belongs to the process that opened it; "
                               "a child made by fork() cannot write to it")

    def _refuse_reentry(self) -> None:
        if self._lock._is_owned():  # type: ignore[attr-defined]
            raise RuntimeError(f"reentrant call inside {self!r}")

    def _check_usable(self) -> None:
        self._check_open()
        if self._failed:
            raise ValueError("an earlier write or flush failed: this file is incomplete and takes nothing more")

    def _abandon(self) -> None:
        """Closes without ending the stream: for a writer whose output is
        being thrown away after a failure. Its threads are stopped."""
        if not self._closed:
            self._closed = True
            self._compressor.abandon()
            self._release_file()

    def _leave_detectably_incomplete(self) -> None:
        if self._produced == 0 and self._cut_stream:
            try:
                self._put(self._cut_stream)
            except BaseException:  # noqa: B036 - the file that failed may refuse this too;
                pass  # the failure itself was raised already, close() does not raise it again

    def _flush_file(self) -> None:
        flush = getattr(self.fileobj, "flush", None)  # gzip asks only for write()
        if flush is not None:
            flush()

    def _put(self, out: bytes | memoryview) -> None:
        if not out:
            return
        file = self.fileobj
        written = file.write(out)  # type: ignore[union-attr]
        # A raw file may take only part; None means all (or nothing to say).
        if written is not None and written < len(out):
            rest = memoryview(out)[written:]
            while rest:
                written = file.write(rest)  # type: ignore[union-attr]
                if written is None:
                    raise BlockingIOError(0, "the file would block", len(out) - len(rest))
                rest = rest[written:]
        self._produced += len(out)


# The io classes whose writable() is sure to say whether write() works; other
# file objects are taken at their word by trying.
_WRITABLE_KNOWN = (io.FileIO, io.BufferedReader, io.BufferedWriter, io.BufferedRandom)


def _check_binary(fileobj: Any) -> None:
    if isinstance(fileobj, io.TextIOBase):
        raise TypeError("fileobj must be a binary file object, not a text file")


# io's own writers: each copies what write() gives it, or writes it out,
# and holds nothing of it afterwards.
_COPYING_FILES = (io.FileIO, io.BufferedWriter, io.BufferedRandom, io.BytesIO)


def _fname_bytes(fname: str | bytes | None) -> bytes | None:
    if fname is None or isinstance(fname, bytes):
        return fname
    if not isinstance(fname, str):
        raise TypeError(f"fname must be str or bytes, not {type(fname).__name__}")
    return gzip_header.name_field(fname)


class VekzipFile(GzipFile):
    """GzipFile whose header is vek's fixed 10 bytes (no name, time 0) unless
    ``fname`` or ``mtime`` are given: the bytes depend on the data alone,
    and without flush() the file holds exactly ``vekzip.compress`` of
    everything written."""

    _name_in_header = False


def _name(filename: Any, fileobj: Any) -> Any:
    """GzipFile.name as gzip gives it: the path as str (or bytes), else the
    file object's name when it is one, else ""."""
    if filename is not None:
        return os.fspath(filename)
    name = getattr(fileobj, "name", "")
    return name if isinstance(name, (str, bytes)) else ""


def _gzip_name(name: str | bytes) -> bytes | None:
    """FNAME as gzip writes it: the last component, Latin-1, without ".gz";
    none when the name is not Latin-1."""
    base = os.path.basename(name)
    try:
        stored = base if isinstance(base, bytes) else base.encode("latin-1")
    except UnicodeEncodeError:
        return None
    return stored[:-3] if stored.endswith(b".gz") else stored


def _first_mtime(fileobj: Any) -> int | None:
    """MTIME of the member at the file's position, which is left as it was."""
    start = fileobj.tell()
    try:
        header = gzip_header.parse_header(fileobj.read(1 << 12))
    except gzip_header.NotGzip:
        header = None
    finally:
        fileobj.seek(start)
    return header.mtime if header is not None else None


def check_text_arguments(encoding: Any, errors: Any, newline: Any) -> None:
    """Raises what io.TextIOWrapper would for these arguments, before any
    file is opened or truncated."""
    io.TextIOWrapper(io.BytesIO(), encoding=encoding, errors=errors, newline=newline)
    if errors is not None:
        import codecs

        codecs.lookup_error(errors)  # the wrapper looks it up only at the first bad character


def open(
    file: StrOrBytesPath | IO[bytes],
    mode: str = "rb",
    compresslevel: int = 1,
    encoding: str | None = None,
    errors: str | None = None,
    newline: str | None = None,
    *,
    format: str | int = "gzip",
    threads: int = 1,
    chunk_size: int | None = None,
    index: bool = False,
) -> Any:
    """A compressed file, as gzip.open gives one: ``file`` is a path or a
    binary file object; a GzipFile, wrapped in io.TextIOWrapper for "t"
    modes. Writing ("w", "x", "a") compresses with vek. Reading ("r"),
    gzip only: a file written with index=True is inflated on ``threads``
    threads, chunk by chunk, each checked, and seeks cost at most one
    chunk's inflating; any other file (or one whose index does not check
    out) is read in sequence by ISA-L's reader when installed
    (``pip install vek[read]``), else the standard library's. Every
    argument is checked before a file is opened or truncated."""
    if not isinstance(mode, str) or mode.replace("t", "", 1) not in READ_MODES | WRITE_MODES \
            or ("t" in mode and "b" in mode):
        raise ValueError(f"Invalid mode: {mode!r}")
    text = "t" in mode
    if text:
        check_text_arguments(encoding, errors, newline)
    else:
        for name, value in (("encoding", encoding), ("errors", errors), ("newline", newline)):
            if value is not None:
                raise ValueError(f"Argument '{name}' not supported in binary mode")
    binary_mode = mode.replace("t", "")
    options = dict(format=format, threads=threads, chunk_size=chunk_size, index=index)
    if isinstance(file, (str, bytes)) or hasattr(file, "__fspath__"):
        f = GzipFile(file, binary_mode, compresslevel, **options)  # type: ignore[arg-type]
    elif hasattr(file, "read") or hasattr(file, "write"):
        f = GzipFile(None, binary_mode, compresslevel, file, **options)  # type: ignore[arg-type]
    else:
        raise TypeError("filename must be a str or bytes object, or a file")
    if text:
        return io.TextIOWrapper(f, encoding=encoding, errors=errors, newline=newline)
    return f
