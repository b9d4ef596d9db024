"""The sequential gzip reader behind GzipFile: ISA-L's when installed (the
inflater vekzip reads with everywhere, about twice zlib's speed), else
CPython's own gzip._GzipReader. Either is the raw stream under gzip's
io.BufferedReader: every member in turn, each checked, zeros after the last
skipped, BadGzipFile or EOFError as gzip raises them."""

from __future__ import annotations

import gzip

from .inflate import INFLATER

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

READ_BUFFER_SIZE = 128 << 10
BadGzipFile = gzip.BadGzipFile


def sequential_reader(fileobj: Any) -> Any:
    """The raw reader of the gzip members from fileobj's position on."""
    if INFLATER == "ISA-L":
        from isal.isal_zlib import _GzipReader

        return _GzipReader(fileobj, READ_BUFFER_SIZE)
    return gzip._GzipReader(fileobj)  # type: ignore[attr-defined]


def decompress(data: Any) -> bytes:
    """gzip.decompress: all the members, through the same reader."""
    from .inflate import gzip_module

    return gzip_module.decompress(data)  # type: ignore[no-any-return]
