"""VekzipFile and open(): the gzip-style file writer.

Writes are gathered into chunks of ``chunk_size`` bytes and compressed
through the engine, so that without flush() calls the file holds exactly
``vekzip.compress(everything_written, ...)`` with the same arguments,
whatever the sizes of the writes and the number of threads. With threads
above 1 the chunks are compressed in the background while write() returns,
about two chunks a thread in flight at the most. The gzip header is vek's
fixed 10 bytes (no name, time 0), so the output is reproducible.
"""

from __future__ import annotations

import _thread
import builtins
import io
import os

import vekzip

from . import gzip_header

TYPE_CHECKING = False  # typing itself costs a command-line start about 10 ms
if TYPE_CHECKING:
    from typing import IO, Any, Union

    StrOrBytesPath = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]

WRITE_MODES = {"w": "wb", "wb": "wb", "x": "xb", "xb": "xb", "a": "ab", "ab": "ab"}
TEXT_MODES = {"wt": "wb", "xt": "xb", "at": "ab"}
READ_MODES = {"r": "rb", "rb": "rb", "rt": "rt"}

# How many times this process image has been forked into a child: a writer
# made before a fork belongs to the parent, and its lock, threads and stream
# are not the child's to use.
_forks = [0]
os.register_at_fork(after_in_child=lambda: _forks.__setitem__(0, _forks[0] + 1))


class VekzipFile(io.BufferedIOBase):
    """A write-only binary file object that compresses what is written into
    one gzip member (or zlib or raw DEFLATE stream), as gzip.GzipFile does.

    ``filename`` (a path) or ``fileobj`` (a binary file object, left open by
    close()) names the destination. ``mode``: "w"/"wb", "x"/"xb" or
    "a"/"ab" (a new gzip member after what the file holds; gzip only);
    without one, the mode of ``fileobj`` if it has a writing one, else "wb".

    ``index=True`` makes the file splittable (see vekzip.index): readers
    that know the index inflate it on several threads and seek in it.

    ``mtime`` and ``fname`` go into the gzip header (MTIME, FNAME), as gzip
    writes them by default; without them the header is vek's fixed 10
    bytes (no name, time 0), so that the output is reproducible.

    One writer may be shared by threads: each write is whole. A write or
    flush that fails (the file raising, an interrupt) fails the writer:
    later calls raise, and close() leaves the stream without its end, so
    that a reader sees an incomplete file, never one that looks complete
    with other content.
    """

    def __init__(
        self,
        filename: StrOrBytesPath | None = None,
        mode: str | None = None,
        compresslevel: int = 1,
        fileobj: IO[bytes] | None = None,
        *,
        format: str | int = "gzip",
        threads: int = 1,
        chunk_size: int | None = None,
        mtime: int | None = None,
        fname: str | bytes | None = None,
        index: bool = False,
    ) -> None:
        self._closed = True  # until it is complete: close() then has nothing to end
        if mode is None:
            # As gzip: the mode of fileobj, else reading; never writing by
            # default, which would truncate a file someone meant to read.
            mode = getattr(fileobj, "mode", "rb")
            if not isinstance(mode, str) or mode.replace("+", "").rstrip("b") not in ("w", "x", "a"):
                mode = "rb"
        if mode not in WRITE_MODES:
            raise ValueError(f"VekzipFile writes only, in mode 'w', 'x' or 'a' (with 'b'), not {mode!r}; "
                             "vekzip.open reads gzip files")
        binary_mode = WRITE_MODES[mode]
        if binary_mode == "ab" and vekzip.format_code(format) != vekzip.FORMATS["gzip"]:
            raise ValueError("appending makes a new gzip member; zlib and raw streams cannot be appended to")
        if fileobj is None and filename is None:
            raise TypeError("VekzipFile needs a filename or a fileobj")
        # Every argument is checked and the threads are running before the
        # file is opened: a writer that cannot be made truncates nothing.
        level, fmt = vekzip.vek_level(compresslevel), vekzip.format_code(format)
        threads, chunk_size = vekzip.thread_count(threads), vekzip.chunk_bytes(chunk_size, index)
        header = b""
        if mtime is not None or fname is not None:
            if fmt != vekzip.FORMATS["gzip"]:
                raise ValueError("mtime and fname are fields of the gzip header; zlib and raw streams have none")
            header = gzip_header.make_header(_fname_bytes(fname), vekzip._integer(mtime or 0, "mtime"))
        self._compressor = vekzip._streaming(level, fmt, threads, chunk_size, header, bool(index))
        self._owns_file = fileobj is None
        if fileobj is None:
            try:
                # Unbuffered: nothing of ours waits in a buffer that a forked
                # child could write out a second time.
                fileobj = builtins.open(filename, binary_mode, buffering=0)  # type: ignore[arg-type]
            except BaseException:
                self._compressor.abandon()
                raise
        self._file: IO[bytes] = fileobj
        self.name = filename if filename is not None else getattr(fileobj, "name", "")
        self.mode = binary_mode
        self._lock = _thread.allocate_lock()
        self._fork = _forks[0]
        self._written = 0  # uncompressed bytes taken
        self._produced = 0  # compressed bytes written to the file
        self._since_sync = False
        self._failed = False
        self._closed = False

    # The file object's surface.
    @property
    def closed(self) -> bool:
        return self._closed

    def writable(self) -> bool:
        self._check_open()
        return True

    def readable(self) -> bool:
        self._check_open()
        return False

    def seekable(self) -> bool:
        self._check_open()
        return self._seekable_for_text

    # io.TextIOWrapper asks once, when it is made, whether the buffer is
    # seekable; told no, it leaves out the byte-order mark of encodings
    # such as UTF-16, and the text could not be read back. open() lets it
    # see the start of a seekable stream for that moment only.
    _seekable_for_text = False

    def fileno(self) -> int:
        self._check_open()
        return self._file.fileno()

    def tell(self) -> int:
        """The uncompressed bytes written so far."""
        self._check_open()
        return self._written

    @property
    def compressed_size(self) -> int:
        """The compressed bytes handed to the underlying file so far."""
        return self._produced

    def write(self, data: Any) -> int:  # type: ignore[override]
        """Takes any C-contiguous bytes-like object and returns its length."""
        with memoryview(data) as view:  # a TypeError here changes nothing
            if not view.c_contiguous:
                raise BufferError("VekzipFile takes C-contiguous data")
            size = view.nbytes
            self._check_process()
            with self._lock:
                self._check_usable()
                if size:
                    # The engine owns the input once it has it; until its
                    # output is in the file, a failure leaves the stream unfit.
                    self._failed = True
                    self._put(self._compressor.compress(view))
                    self._written += size
                    self._since_sync = True
                    self._failed = False
        return size

    def flush(self) -> None:
        """Compresses everything written so far, ends it with a sync point
        (the open block closed, the output aligned to a byte), writes it and
        flushes the underlying file: its bytes then inflate to all that was
        written. Nothing new since the last flush writes nothing."""
        self._check_process()
        with self._lock:
            self._check_usable()
            self._failed = True
            if self._since_sync:
                self._put(self._compressor.flush(vekzip.Z_SYNC_FLUSH))
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
        if self._fork != _forks[0]:
            # A forked child's copy: its lock and threads are the parent's.
            self._abandon()
            return
        with self._lock:
            if self._closed:
                return
            self._closed = True
            try:
                if not self._failed:
                    self._failed = True
                    self._put(self._compressor.flush(vekzip.Z_FINISH))
                    if not self._owns_file:
                        self._flush_file()
                    self._failed = False
            finally:
                if self._failed:
                    self._compressor.abandon()
                if self._owns_file:
                    self._file.close()

    def __repr__(self) -> str:
        return f"<vekzip.VekzipFile {self.name!r} {self.mode!r} {'closed' if self._closed else 'open'}>"

    def _check_open(self) -> None:
        if self._closed:
            raise ValueError("I/O operation on closed file")

    def _check_process(self) -> None:
        if self._fork != _forks[0]:
            raise RuntimeError("this VekzipFile belongs to the process that opened it; "
                               "a child made by fork() cannot write to it")

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
            if self._owns_file:
                self._file.close()

    def _flush_file(self) -> None:
        flush = getattr(self._file, "flush", None)  # gzip asks only for write()
        if flush is not None:
            flush()

    def _put(self, out: bytes) -> None:
        if not out:
            return
        written = self._file.write(out)
        # A raw file may take only part; None means all (or nothing to say).
        if written is not None and written < len(out):
            rest = memoryview(out)[written:]
            while rest:
                written = self._file.write(rest)
                if written is None:
                    raise BlockingIOError(0, "the file would block", len(out) - len(rest))
                rest = rest[written:]
        self._produced += len(out)


def _fname_bytes(fname: str | bytes | None) -> bytes | None:
    if fname is None or isinstance(fname, bytes):
        return fname
    if not isinstance(fname, str):
        raise TypeError(f"fname must be str or bytes, not {type(fname).__name__}")
    return gzip_header.name_field(fname)


def open(
    file: StrOrBytesPath | IO[bytes],
    mode: str = "rb",
    compresslevel: int = 1,
    *,
    format: str | int = "gzip",
    threads: int = 1,
    chunk_size: int | None = None,
    encoding: str | None = None,
    errors: str | None = None,
    newline: str | None = None,
    index: bool = False,
) -> Any:
    """A compressed file, as gzip.open gives one: ``file`` is a path or a
    binary file object. Writing ("w", "x", "a", with "b" or "t") compresses
    with vek through a VekzipFile ("t" wraps it in io.TextIOWrapper).
    Reading ("r", "rb", "rt"), gzip only: a file written with index=True
    is inflated on ``threads`` threads, chunk by chunk, each checked, and
    seeks cost at most one chunk's inflating; any other file (or one whose
    index is cut off) is read in sequence by ISA-L's gzip reader when
    installed (``pip install vek[read]``), else the standard library's."""
    if mode in READ_MODES:
        if vekzip.format_code(format) != vekzip.FORMATS["gzip"]:
            raise ValueError("vek has no decompressor; only gzip files are read (ISA-L's reader, else gzip's)")
        if mode != "rt" and (encoding is not None or errors is not None or newline is not None):
            raise ValueError("encoding, errors and newline are for text modes")
        from .reader import open_indexed

        reader = open_indexed(file, vekzip.thread_count(threads))
        if reader is None:  # no sound index: the whole file in sequence
            from .inflate import open_gzip

            return open_gzip(file, mode, encoding, errors, newline)
        buffered = io.BufferedReader(reader, buffer_size=1 << 17)
        if mode == "rt":
            return io.TextIOWrapper(buffered, encoding=encoding, errors=errors, newline=newline)
        return buffered
    text = mode in TEXT_MODES
    if not text and (encoding is not None or errors is not None or newline is not None):
        raise ValueError("encoding, errors and newline are for text modes")
    binary_mode = TEXT_MODES.get(mode, mode)
    if binary_mode not in WRITE_MODES:
        raise ValueError(f"invalid mode: {mode!r}")
    options = dict(format=format, threads=threads, chunk_size=chunk_size, index=index)
    if isinstance(file, (str, bytes)) or hasattr(file, "__fspath__"):
        writer = VekzipFile(file, binary_mode, compresslevel, **options)  # type: ignore[arg-type]
    elif hasattr(file, "write"):
        writer = VekzipFile(None, binary_mode, compresslevel, file, **options)  # type: ignore[arg-type]
    else:
        raise TypeError("file must be a path or a binary file object")
    if text:
        writer._seekable_for_text = True
        try:
            return io.TextIOWrapper(writer, encoding=encoding, errors=errors, newline=newline)
        finally:
            writer._seekable_for_text = False
    return writer
