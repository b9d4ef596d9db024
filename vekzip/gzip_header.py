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
    """What a member header says: its length, flags, time, name, extra field."""

    __slots__ = ("length", "flags", "mtime", "name", "extra", "method")

    def __init__(self, length: int, flags: int, mtime: int, name: bytes | None, extra: bytes | None, method: int):
        self.length, self.flags, self.mtime, self.name, self.extra, self.method = (
            length, flags, mtime, name, extra, method
        )


class NotGzip(ValueError):
    """The bytes do not start a gzip member."""


def parse_header(data: bytes | memoryview) -> Header | None:
    """The header at the start of `data`; None when more bytes are needed;
    NotGzip when they are not a gzip header."""
    view = memoryview(data)
    if len(view) < 10:
        if len(view) >= 2 and bytes(view[:2]) != MAGIC or len(view) == 1 and view[0] != MAGIC[0]:
            raise NotGzip("not in gzip format")
        return None
    if bytes(view[:2]) != MAGIC:
        raise NotGzip("not in gzip format")
    method, flags, mtime = view[2], view[3], struct.unpack_from("<I", view, 4)[0]
    if method != DEFLATE:
        raise NotGzip(f"unknown method {method} -- not supported")
    if flags & 0xE0:
        raise NotGzip("has flags 0x%x -- not supported" % flags)
    at = 10
    extra = name = None
    if flags & FEXTRA:
        if len(view) < at + 2:
            return None
        (xlen,) = struct.unpack_from("<H", view, at)
        if len(view) < at + 2 + xlen:
            return None
        extra = bytes(view[at + 2 : at + 2 + xlen])
        at += 2 + xlen
    for flag in (FNAME, FCOMMENT):
        if flags & flag:
            end = bytes(view[at:]).find(b"\0")
            if end < 0:
                return None
            if flag == FNAME:
                name = bytes(view[at : at + end])
            at += end + 1
    if flags & FHCRC:
        if len(view) < at + 2:
            return None
        (stored,) = struct.unpack_from("<H", view, at)
        if zlib.crc32(view[:at]) & 0xFFFF != stored:
            raise NotGzip("invalid compressed data--crc error")
        at += 2
    return Header(at, flags, mtime, name, extra, method)
