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

from .gzip_header import TRAILER_SIZE, Header, NotGzip, parse_header

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


class Outcome:
    """What a whole stream held: the first member's header (gzip), the bytes
    it gave, and whether bytes other than zeros followed its end."""

    def __init__(self) -> None:
        self.header: Header | None = None
        self.size = 0
        self.trailing_garbage = False
        self.members = 0
        self.last_crc = 0  # the last member's trailer, as gzip -l reports it
        self.last_size = 0


def open_gzip(file: Any, mode: str, encoding: str | None, errors: str | None, newline: str | None) -> Any:
    """gzip.open, through ISA-L when it is installed."""
    return gzip_module.open(file, mode, encoding=encoding, errors=errors, newline=newline)


def inflate(read: Callable[[int], bytes], write: Callable[[bytes], object], fmt: str = "gzip") -> Outcome:
    """Decompresses all that read() gives (a stream in the format) into
    write(). Raises Corrupt with GNU gzip's words."""
    if fmt == "gzip":
        return _inflate_members(read, write)
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


def _feed(d: Any, data: bytes, write: Callable[[bytes], object]) -> int:
    """One block of input through the decompressor, output in bounded pieces."""
    try:
        out = d.decompress(data, OUT_BLOCK)
        size = len(out)
        if out:
            write(out)
        while d.unconsumed_tail and not d.eof:
            out = d.decompress(d.unconsumed_tail, OUT_BLOCK)
            size += len(out)
            if out:
                write(out)
        return size
    except zlib_module.error:  # type: ignore[misc]
        raise Corrupt("invalid compressed data--format violated") from None


def _inflate_members(read: Callable[[int], bytes], write: Callable[[bytes], object]) -> Outcome:
    outcome = Outcome()
    pending = read(BLOCK)
    if not pending:
        raise Corrupt("unexpected end of file")
    first = True
    while True:
        # The member's header, from as many blocks as it takes.
        while True:
            try:
                header = parse_header(pending)
            except NotGzip as error:
                if first:
                    raise Corrupt(str(error)) from None
                # After a complete member: zeros are padding, anything else garbage.
                outcome.trailing_garbage = pending.strip(b"\0") != b"" or _garbage_follows(read)
                return outcome
            if header is not None:
                break
            more = read(BLOCK)
            if not more:
                if first:
                    raise Corrupt("unexpected end of file")
                outcome.trailing_garbage = pending.strip(b"\0") != b""
                return outcome
            pending += more
        if first:
            outcome.header = header
        first = False
        # The body, then its trailer.
        d = zlib_module.decompressobj(-15)
        crc, size = 0, 0

        def checked(out: bytes) -> None:
            nonlocal crc, size
            crc = zlib_module.crc32(out, crc)
            size += len(out)
            write(out)

        data = pending[header.length :]
        while not d.eof:
            if not data:
                data = read(BLOCK)
                if not data:
                    raise Corrupt("unexpected end of file")
            _feed(d, data, checked)
            data = b""
        pending = d.unused_data
        while len(pending) < TRAILER_SIZE:
            more = read(BLOCK)
            if not more:
                raise Corrupt("unexpected end of file")
            pending += more
        stored_crc, stored_size = struct.unpack_from("<II", pending)
        if stored_crc != crc & 0xFFFFFFFF:
            raise Corrupt("invalid compressed data--crc error")
        if stored_size != size & 0xFFFFFFFF:
            raise Corrupt("invalid compressed data--length error")
        outcome.size += size
        outcome.members += 1
        outcome.last_crc, outcome.last_size = stored_crc, stored_size
        pending = pending[TRAILER_SIZE:]
        if not pending:
            pending = read(BLOCK)
            if not pending:
                return outcome


def _garbage_follows(read: Callable[[int], bytes]) -> bool:
    while True:
        more = read(BLOCK)
        if not more:
            return False
        if more.strip(b"\0"):
            return True
