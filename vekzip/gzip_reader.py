"""The sequential gzip reader behind GzipFile: ISA-L's when installed (the
inflater vekzip reads with everywhere, about twice zlib's speed), else
CPython's own gzip._GzipReader. Either is the raw stream under gzip's
io.BufferedReader: every member in turn, each checked, zeros after the last
skipped, BadGzipFile or EOFError as gzip raises them."""

from __future__ import annotations

import gzip
import io

from .inflate import INFLATER

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

READ_BUFFER_SIZE = 128 << 10
BadGzipFile = gzip.BadGzipFile


def sequential_reader(fileobj: Any) -> Any:
    """The raw reader of the gzip members from fileobj's position on."""
    if INFLATER == "ISA-L":
        return _FaultsAsGzip(fileobj)
    return gzip._GzipReader(fileobj)  # type: ignore[attr-defined]


def decompress(data: Any) -> bytes:
    """gzip.decompress: all the members, through the same reader."""
    from .inflate import gzip_module

    try:
        return gzip_module.decompress(data)  # type: ignore[no-any-return]
    except ISAL_FAULTS:
        if INFLATER != "ISA-L":
            raise
        # Faults are rare and their exception is part of the answer: gzip's
        # own reader gives it.
        return gzip.decompress(data)


if INFLATER == "ISA-L":
    from isal import igzip_lib

    _BAD_DATA: Any = igzip_lib.IsalError
    # ISA-L says EOFError of anything after a member that is not a gzip
    # header (gzip: BadGzipFile) and IsalError of bad DEFLATE data (gzip:
    # zlib.error, which IsalError is not).
    ISAL_FAULTS: tuple[Any, ...] = (EOFError, gzip.BadGzipFile, _BAD_DATA)
else:
    _BAD_DATA = ()
    ISAL_FAULTS = ()


class _FaultsAsGzip:
    """ISA-L's reader until it meets a fault; then gzip's own reader goes
    over the file again from where reading began, skips what was already
    given, and reads on, so a damaged file fails at gzip's place with gzip's
    exception. A file that cannot seek keeps ISA-L's fault, with bad data
    reported as zlib.error.

    Not an io.RawIOBase: the buffered reader above asks whether its raw
    file is closed on every line, and a plain attribute answers that in a
    fraction of the time of io's property (a quarter of readline's time)."""

    def __init__(self, fileobj: Any) -> None:
        self.closed = False
        from isal.isal_zlib import _GzipReader

        self._fileobj = fileobj
        try:
            self._start: int | None = fileobj.tell() if fileobj.seekable() else None
        except (AttributeError, OSError):
            self._start = None
        self._reader: Any = _GzipReader(fileobj, READ_BUFFER_SIZE)
        self._position = 0  # what was given: gzip's reader skips as much

    def readable(self) -> bool:
        return True

    def writable(self) -> bool:
        return False

    def isatty(self) -> bool:
        return False

    def flush(self) -> None:
        pass

    def read(self, size: int = -1) -> bytes:
        if size is None or size < 0:
            return self.readall()
        buffer = bytearray(size)
        return bytes(buffer[: self.readinto(buffer)])

    def readall(self) -> bytes:
        pieces = []
        while piece := self.read(READ_BUFFER_SIZE):
            pieces.append(piece)
        return b"".join(pieces)

    def seekable(self) -> bool:
        return bool(self._reader.seekable())

    @property
    def _last_mtime(self) -> int | None:
        return self._reader._last_mtime  # type: ignore[no-any-return]

    def readinto(self, buffer: Any) -> int:
        try:
            count: int = self._reader.readinto(buffer)
        except ISAL_FAULTS as fault:
            self._to_gzip(fault)
            count = self._reader.readinto(buffer)
        self._position += count
        return count

    def seek(self, offset: int, whence: int = io.SEEK_SET) -> int:
        try:
            self._position = self._reader.seek(offset, whence)
        except ISAL_FAULTS as fault:
            self._to_gzip(fault)
            self._position = self._reader.seek(offset, whence)
        return self._position

    def tell(self) -> int:
        return self._position

    def close(self) -> None:
        self.closed = True
        self._reader.close()

    def _to_gzip(self, fault: BaseException) -> None:
        if isinstance(self._reader, gzip._GzipReader):  # type: ignore[attr-defined]
            raise fault  # gzip's own fault
        if self._start is None:
            if isinstance(fault, _BAD_DATA):
                import zlib

                raise zlib.error(str(fault)) from fault
            raise fault
        given = self._position
        try:
            self._fileobj.seek(self._start)
        except (OSError, ValueError):
            raise fault from None  # a file that says it seeks but cannot
        reader = self._reader = gzip._GzipReader(self._fileobj)  # type: ignore[attr-defined]
        while given:
            count = len(reader.read(min(given, READ_BUFFER_SIZE)))
            if not count:  # gzip's reader ends sooner: nothing more to give
                break
            given -= count
