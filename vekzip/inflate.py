"""Reading gzip, zlib and raw DEFLATE, with the fastest well-kept inflater
installed: ISA-L's bindings (``pip install vek[read]``, about twice the
standard library's speed), else the standard library's zlib and gzip.

``inflate`` decompresses a whole stream for the tool (-d, -t) and says what
GNU gzip would say of it: every member of a gzip file in turn, each checked
against its CRC-32 and length, zeros after the last ignored, other bytes
after it reported as trailing garbage.
"""

from __future__ import annotations

import struct

from .gzip_header import MAGIC, TRAILER_SIZE, Header, HeaderParser, NotGzip

try:
    from isal import igzip as gzip_module
    from isal import isal_zlib as zlib_module

    INFLATER = "ISA-L"
except ImportError:  # the standard library: always there
    import gzip as gzip_module  # type: ignore[no-redef]
    import zlib as zlib_module  # type: ignore[no-redef]

    INFLATER = "zlib"

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Callable

BLOCK = 1 << 20
OUT_BLOCK = 16 << 20
WBITS = {"zlib": 15, "raw": -15}


class Corrupt(Exception):
    """The stream is damaged or cut short; the text is gzip's for the case."""

    length_too = False  # a wrong CRC, and a wrong length as well


class Outcome:
    """What a whole stream held: the first member's header (gzip), the bytes
    it gave, and whether bytes other than zeros followed its end."""

    def __init__(self) -> None:
        self.header: Header | None = None
        self.size = 0
        self.trailing_garbage = False
        self.trailing_zeros = False
        self.members = 0
        self.last_crc = 0  # the last member's trailer, as gzip -l reports it
        self.last_size = 0


def open_gzip(file: Any, mode: str, encoding: str | None, errors: str | None, newline: str | None) -> Any:
    """gzip.open, through ISA-L when it is installed."""
    return gzip_module.open(file, mode, encoding=encoding, errors=errors, newline=newline)


def inflate(
    read: Callable[[int], bytes], write: Callable[[bytes], object], fmt: str = "gzip",
    on_header: Callable[[Header | None], object] | None = None, copy_tail: bool = False,
    on_extra: Callable[[int], object] | None = None,
) -> Outcome:
    """Decompresses all that read() gives (a stream in the format) into
    write(). Raises Corrupt with GNU gzip's words (caused by the NotGzip of
    a header refused). on_header() is told of the first header once it is
    read (at the start for zlib and raw streams). With copy_tail (gzip's -f
    to standard output), what follows the last member is written as it is.
    on_extra() is told the length of each member's extra field."""
    if fmt == "gzip":
        return _inflate_members(_Input(read), write, on_header, copy_tail, on_extra)
    if on_header is not None:
        on_header(None)
    outcome = Outcome()
    d = zlib_module.decompressobj(WBITS[fmt])
    data = read(BLOCK)
    if not data:
        raise Corrupt("unexpected end of file")
    while data and not d.eof:
        outcome.size += _feed(d, data, write)
        data = d.unused_data or (read(BLOCK) if not d.eof else b"")
    if not d.eof:
        raise Corrupt("unexpected end of file")
    outcome.trailing_garbage = bool(d.unused_data) or bool(read(BLOCK))
    return outcome


def _feed(d: Any, data: bytes | memoryview, write: Callable[[bytes], object]) -> int:
    """One block of input through the decompressor, its output written in
    bounded pieces. A full piece means the inflater may hold more output
    even when it has taken all the input, so it is asked again until a
    piece comes back short."""
    try:
        out = d.decompress(data, OUT_BLOCK)
        size = 0
        while True:
            size += len(out)
            if out:
                write(out)
            if d.eof:
                return size
            if d.unconsumed_tail:
                out = d.decompress(d.unconsumed_tail, OUT_BLOCK)
            elif len(out) == OUT_BLOCK:
                out = d.decompress(b"", OUT_BLOCK)
            else:
                return size
    except zlib_module.error:  # type: ignore[misc]
        raise Corrupt("invalid compressed data--format violated") from None


class _Input:
    """The stream's bytes, a block at a time, with what was looked at but not
    used put back."""

    def __init__(self, read: Callable[[int], bytes]) -> None:
        self._read = read
        self._held: bytes | memoryview = b""

    def take(self) -> bytes | memoryview:
        """The next bytes (b"" at the end)."""
        if self._held:
            held, self._held = self._held, b""
            return held
        return self._read(BLOCK)

    def put_back(self, data: bytes | memoryview) -> None:
        self._held = bytes(data) + bytes(self._held) if self._held else data

    def byte(self) -> int | None:
        data = self.take()
        if not data:
            return None
        self.put_back(data[1:])
        return data[0]


def _after_member(source: _Input, outcome: Outcome, copy_to: Callable[[bytes], object] | None) -> bool:
    """What follows a member, judged as gzip judges it: True when another
    member starts. A lone byte other than zero is a cut header; zeros to the
    end are padding; other bytes are garbage; but all that is not a member
    goes to copy_to when given."""
    first = source.byte()
    if first is None:
        return False
    if copy_to is not None:
        second = source.byte()
        if second is not None and bytes((first, second)) == MAGIC:
            source.put_back(MAGIC)
            return True
        tail = bytes((first,) if second is None else (first, second))
        while tail:
            copy_to(tail)
            outcome.size += len(tail)
            tail = bytes(source.take())
        return False
    second = source.byte()
    if second is None:
        if first:
            raise Corrupt("unexpected end of file")
        outcome.trailing_zeros = True
        return False
    if bytes((first, second)) == MAGIC:
        source.put_back(MAGIC)
        return True
    if first == 0 and second == 0:
        while data := source.take():
            if bytes(data).strip(b"\0"):
                outcome.trailing_garbage = True
                return False
        outcome.trailing_zeros = True
        return False
    outcome.trailing_garbage = True
    return False


def _read_header(source: _Input) -> Header:
    parser = HeaderParser()
    while True:
        data = source.take()
        if not data:
            raise Corrupt("unexpected end of file")
        try:
            parsed = parser.feed(data)
        except NotGzip as error:
            raise Corrupt(str(error)) from error
        if parsed is not None:
            header, rest = parsed
            source.put_back(rest)
            return header


def _inflate_members(
    source: _Input, write: Callable[[bytes], object], on_header: Callable[[Header | None], object] | None,
    copy_tail: bool, on_extra: Callable[[int], object] | None,
) -> Outcome:
    outcome = Outcome()
    while True:
        header = _read_header(source)
        if on_extra is not None and header.extra is not None:
            on_extra(len(header.extra))
        if outcome.header is None:
            outcome.header = header
            if on_header is not None:
                on_header(header)
        # The body, then its trailer.
        d = zlib_module.decompressobj(-15)
        crc, size = 0, 0

        def checked(out: bytes) -> None:
            nonlocal crc, size
            crc = zlib_module.crc32(out, crc)
            size += len(out)
            write(out)

        while not d.eof:
            data = source.take()
            if not data:
                raise Corrupt("unexpected end of file")
            _feed(d, data, checked)
        pending = d.unused_data
        while len(pending) < TRAILER_SIZE:
            more = source.take()
            if not more:
                raise Corrupt("unexpected end of file")
            pending += bytes(more)
        stored_crc, stored_size = struct.unpack_from("<II", pending)
        if stored_crc != crc & 0xFFFFFFFF:
            error = Corrupt("invalid compressed data--crc error")
            error.length_too = stored_size != size & 0xFFFFFFFF  # gzip reports both
            raise error
        if stored_size != size & 0xFFFFFFFF:
            raise Corrupt("invalid compressed data--length error")
        outcome.size += size
        outcome.members += 1
        # The true length: ISIZE holds it only modulo 2^32.
        outcome.last_crc, outcome.last_size = stored_crc, size
        source.put_back(pending[TRAILER_SIZE:])
        if not _after_member(source, outcome, write if copy_tail else None):
            return outcome
