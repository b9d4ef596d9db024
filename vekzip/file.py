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

import builtins
import gzip
import io
import os
TYPE_CHECKING = False  # typing itself costs a command-line start about 10 ms

import vekzip

if TYPE_CHECKING:
    from typing import IO, Any, Union

    StrOrBytesPath = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]

WRITE_MODES = {"w": "wb", "wb": "wb", "x": "xb", "xb": "xb", "a": "ab", "ab": "ab"}
TEXT_MODES = {"wt": "wb", "xt": "xb", "at": "ab"}
READ_MODES = {"r": "rb", "rb": "rb", "rt": "rt"}


class VekzipFile(io.BufferedIOBase):
    """A write-only binary file object that compresses what is written into
    one gzip member (or zlib or raw DEFLATE stream), as gzip.GzipFile does.

    ``filename`` (a path) or ``fileobj`` (a binary file object, left open by
    close()) names the destination. ``mode``: "w"/"wb", "x"/"xb" or
    "a"/"ab" (a new gzip member after what the file holds; gzip only);
    without one, the mode of ``fileobj`` if it has a writing one, else "wb".
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
        chunk_size: int = vekzip.DEFAULT_CHUNK_SIZE,
    ) -> None:
        self._closed = True  # until it is complete: close() then has nothing to end
        if mode is None:
            mode = getattr(fileobj, "mode", "wb")
            if not isinstance(mode, str) or mode.replace("+", "").rstrip("b") not in ("w", "x", "a"):
                mode = "wb"
        if mode not in WRITE_MODES:
            raise ValueError(f"VekzipFile writes only, in mode 'w', 'x' or 'a' (with 'b'), not {mode!r}; "
                             "vekzip.open reads gzip files through the standard library")
        level, fmt = vekzip.vek_level(compresslevel), vekzip.format_code(format)
        threads, self._chunk_size = vekzip.thread_count(threads), vekzip.chunk_bytes(chunk_size)
        binary_mode = WRITE_MODES[mode]
        if binary_mode == "ab" and fmt != vekzip.FORMATS["gzip"]:
            raise ValueError("appending makes a new gzip member; zlib and raw streams cannot be appended to")
        if fileobj is None and filename is None:
            raise TypeError("VekzipFile needs a filename or a fileobj")
        self._owns_file = fileobj is None
        if fileobj is None:
            fileobj = builtins.open(filename, binary_mode)  # type: ignore[arg-type]
        self._file: IO[bytes] = fileobj
        self.name = filename if filename is not None else getattr(fileobj, "name", "")
        self.mode = binary_mode
        self._stream = vekzip._stream(level, fmt, threads)
        # Input not yet handed to the engine: the first `_filled` bytes of a
        # chunk-sized area, filled in place so that gathering costs one copy.
        self._threads = threads
        self._pending = bytearray(self._chunk_size)
        self._filled = 0
        self._written = 0  # uncompressed bytes taken
        self._produced = 0  # compressed bytes written to the file
        self._since_sync = False
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
        """Takes any bytes-like object and returns its length."""
        self._check_open()
        view = memoryview(data).cast("B")
        size = len(view)
        if size == 0:
            return 0
        # The engine may read a chunk after write() returns: an immutable
        # object is passed in place, anything else copied.
        share = type(data) is bytes
        taken = 0
        if self._filled:
            taken = min(size, self._chunk_size - self._filled)
            self._pending[self._filled : self._filled + taken] = view[:taken]
            self._filled += taken
            if self._filled == self._chunk_size:
                self._hand_over_pending()
        while size - taken >= self._chunk_size:
            chunk = view[taken : taken + self._chunk_size]
            self._compress(chunk if share else bytes(chunk))
            taken += self._chunk_size
        rest = size - taken
        if rest:  # the area is empty here: either just handed over or never filled
            self._pending[:rest] = view[taken:]
            self._filled = rest
        self._written += size
        self._since_sync = True
        return size

    def flush(self) -> None:
        """Compresses everything written so far, ends it with a sync point
        (the open block closed, the output aligned to a byte), writes it and
        flushes the underlying file: its bytes then inflate to all that was
        written. Nothing new since the last flush writes nothing."""
        self._check_open()
        if self._since_sync:
            if self._filled:
                self._hand_over_pending()
            self._put(self._stream.sync())
            self._since_sync = False
        self._file.flush()

    def close(self) -> None:
        """Ends the stream (with its trailer) and closes a file this object
        opened itself. A second close does nothing; an error in writing the
        end is raised, never reported as success."""
        if self._closed:
            return
        self._closed = True
        try:
            if self._filled:
                self._hand_over_pending()
            self._put(self._stream.finish())
            if not self._owns_file:
                self._file.flush()
        finally:
            if self._owns_file:
                self._file.close()

    def __repr__(self) -> str:
        return f"<vekzip.VekzipFile {self.name!r} {self.mode!r} {'closed' if self._closed else 'open'}>"

    def _check_open(self) -> None:
        if self._closed:
            raise ValueError("I/O operation on closed file")

    def _abandon(self) -> None:
        """Closes without ending the stream: for a writer whose output is
        being thrown away after a failure."""
        if not self._closed:
            self._closed = True
            if self._owns_file:
                self._file.close()

    def _hand_over_pending(self) -> None:
        self._compress(memoryview(self._pending)[: self._filled])
        self._filled = 0
        # On worker threads the engine may read the area after this returns:
        # new writes gather in another one. On one thread it is done with it.
        if self._threads > 1:
            self._pending = bytearray(self._chunk_size)

    def _compress(self, chunk: bytes | bytearray | memoryview) -> None:
        self._put(self._stream.write(chunk))

    def _put(self, out: bytes) -> None:
        if out:
            self._file.write(out)
            self._produced += len(out)


def open(
    file: StrOrBytesPath | IO[bytes],
    mode: str = "wb",
    compresslevel: int = 1,
    *,
    format: str | int = "gzip",
    threads: int = 1,
    chunk_size: int = vekzip.DEFAULT_CHUNK_SIZE,
    encoding: str | None = None,
    errors: str | None = None,
    newline: str | None = None,
) -> Any:
    """A compressed file, as gzip.open gives one: ``file`` is a path or a
    binary file object. Writing ("w", "x", "a", with "b" or "t") compresses
    with vek through a VekzipFile ("t" wraps it in io.TextIOWrapper).
    Reading ("r", "rb", "rt"): vek has no decompressor, so the standard
    library's gzip reads the file (gzip format only)."""
    if mode in READ_MODES:
        if vekzip.format_code(format) != vekzip.FORMATS["gzip"]:
            raise ValueError("vek has no decompressor; only gzip files are read, through the standard library")
        return gzip.open(file, mode, encoding=encoding, errors=errors, newline=newline)  # type: ignore[arg-type]
    text = mode in TEXT_MODES
    if not text and (encoding is not None or errors is not None or newline is not None):
        raise ValueError("encoding, errors and newline are for text modes")
    binary_mode = TEXT_MODES.get(mode, mode)
    if binary_mode not in WRITE_MODES:
        raise ValueError(f"invalid mode: {mode!r}")
    options = dict(format=format, threads=threads, chunk_size=chunk_size)
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
