"""The gzip member header (RFC 1952): made with a name and a time for the
tool's -N, and read back for -d -N, -l and the reader. vek's own header is
the fixed 10 bytes with neither, so that output is reproducible."""

from __future__ import annotations

import struct
import zlib

MAGIC = b"\x1f\x8b"
DEFLATE = 8
FTEXT, FHCRC, FEXTRA, FNAME, FCOMMENT = 1, 2, 4, 8, 16
# XFL 4 (fastest compression) and OS 3 (Unix), as vek's fixed header has them.
XFL_FASTEST, OS_UNIX = 4, 3
TRAILER_SIZE = 8


def make_header(name: bytes | None = None, mtime: int = 0, extra: bytes | None = None) -> bytes:
    """A member header with the given FNAME (bytes, no NUL) and MTIME, and
    an optional extra field (the whole XLEN payload)."""
    flags = (FNAME if name else 0) | (FEXTRA if extra is not None else 0)
    header = MAGIC + struct.pack("<BBIBB", DEFLATE, flags, mtime & 0xFFFFFFFF, XFL_FASTEST, OS_UNIX)
    if extra is not None:
        header += struct.pack("<H", len(extra)) + extra
    if name:
        header += name.replace(b"\0", b"") + b"\0"
    return header


def name_field(name: str) -> bytes:
    """A file name as gzip stores it: its last component, in Latin-1 where
    it can be (else the file system's bytes)."""
    base = name.replace("\\", "/").rsplit("/", 1)[-1]
    try:
        return base.encode("latin-1")
    except UnicodeEncodeError:
        import os

        return os.fsencode(base)


class Header:
    """What a member header says: its length, flags, time, name, extra field.
    `name_too_long` is set when the name held more than NAME_LIMIT bytes
    (only that many are kept)."""

    __slots__ = ("length", "flags", "mtime", "name", "extra", "method", "name_too_long")

    def __init__(self, length: int, flags: int, mtime: int, name: bytes | None, extra: bytes | None, method: int,
                 name_too_long: bool = False):
        self.length, self.flags, self.mtime, self.name, self.extra, self.method = (
            length, flags, mtime, name, extra, method
        )
        self.name_too_long = name_too_long


class NotGzip(ValueError):
    """The bytes do not start a gzip member."""


# gzip keeps a stored name of up to 1024 bytes; a longer one is corrupt input
# to it. More is never kept, whatever the header holds.
NAME_LIMIT = 1024
# The parts of a header in their order; FIXED and DONE are the parser's own.
FIXED, DONE = 0, -1
PARTS = (FIXED, FEXTRA, FNAME, FCOMMENT, FHCRC)


class BadHeaderCrc(NotGzip):
    """The header's own CRC (FHCRC) does not match it."""

    def __init__(self, stored: int, computed: int) -> None:
        super().__init__("invalid compressed data--crc error")
        self.stored, self.computed = stored, computed


class HeaderParser:
    """A member header read from successive pieces of input, each byte
    looked at once: time linear and memory bounded (the name's first
    NAME_LIMIT bytes, the extra field) whatever the header declares."""

    def __init__(self) -> None:
        self._fixed = bytearray()  # the ten fixed bytes, then XLEN and the extra field
        self._crc = 0
        self._length = 0
        self._phase = FIXED
        self._flags = 0
        self._name = bytearray()
        self._name_too_long = False
        self._extra: bytes | None = None
        self._hcrc = bytearray()

    def feed(self, data: bytes | memoryview) -> tuple[Header, memoryview] | None:
        """The header and the bytes after it once it is complete, else None
        (all of `data` taken); NotGzip when the bytes are no gzip header."""
        view = memoryview(data)
        while view:
            used, done = self._step(view)
            self._length += used
            view = view[used:]
            if done:
                return self._header(), view
        return None

    def _consume(self, piece: memoryview) -> None:
        self._crc = zlib.crc32(piece, self._crc)

    def _step(self, view: memoryview) -> tuple[int, bool]:
        """Takes what the current part of the header needs from `view`:
        the bytes used and whether the header is complete."""
        if self._phase == FIXED:
            used = min(10 - len(self._fixed), len(view))
            self._fixed += view[:used]
            self._consume(view[:used])
            if len(self._fixed) >= 2 and bytes(self._fixed[:2]) != MAGIC or self._fixed[:1] not in (b"", MAGIC[:1]):
                raise NotGzip("not in gzip format")
            if len(self._fixed) == 10:
                method, flags = self._fixed[2], self._fixed[3]
                if method != DEFLATE:
                    raise NotGzip(f"unknown method {method} -- not supported")
                if flags & 0xE0:
                    raise NotGzip("has flags 0x%x -- not supported" % flags)
                self._flags = flags
                return used, self._advance(FIXED)
            return used, False
        if self._phase == FEXTRA:
            need = 12 if len(self._fixed) < 12 else 12 + struct.unpack_from("<H", self._fixed, 10)[0]
            used = min(need - len(self._fixed), len(view))
            self._fixed += view[:used]
            self._consume(view[:used])
            if len(self._fixed) >= 12 and len(self._fixed) == 12 + struct.unpack_from("<H", self._fixed, 10)[0]:
                self._extra = bytes(self._fixed[12:])
                return used, self._advance(FEXTRA)
            return used, False
        if self._phase in (FNAME, FCOMMENT):
            end = _find_nul(view)
            used = len(view) if end < 0 else end + 1
            self._consume(view[:used])
            if self._phase == FNAME:
                room = NAME_LIMIT - len(self._name)
                taken = used if end < 0 else end
                self._name += view[: min(room, taken)]
                self._name_too_long |= taken > room
            return used, False if end < 0 else self._advance(self._phase)
        # FHCRC
        used = min(2 - len(self._hcrc), len(view))
        self._hcrc += view[:used]
        if len(self._hcrc) == 2:
            if self._crc & 0xFFFF != struct.unpack("<H", self._hcrc)[0]:
                raise BadHeaderCrc(struct.unpack("<H", self._hcrc)[0], self._crc & 0xFFFF)
            self._phase = DONE
            return used, True
        return used, False

    def _advance(self, after: int) -> bool:
        """Moves to the next part the flags call for; True when there is none."""
        later = PARTS[PARTS.index(after) + 1 :]
        self._phase = next((part for part in later if self._flags & part), DONE)
        return self._phase == DONE

    def _header(self) -> Header:
        mtime = struct.unpack_from("<I", self._fixed, 4)[0]
        name = bytes(self._name) if self._flags & FNAME else None
        return Header(self._length, self._flags, mtime, name, self._extra, DEFLATE, self._name_too_long)


def _find_nul(view: memoryview) -> int:
    """The first NUL in a large view, searched a megabyte at a time."""
    for at in range(0, len(view), 1 << 20):
        end = bytes(view[at : at + (1 << 20)]).find(b"\0")
        if end >= 0:
            return at + end
    return -1


def parse_header(data: bytes | memoryview) -> Header | None:
    """The header at the start of `data`; None when more bytes are needed;
    NotGzip when they are not a gzip header."""
    parsed = HeaderParser().feed(data)
    return None if parsed is None else parsed[0]
