"""-l: gzip's table of compressed and uncompressed sizes."""

from __future__ import annotations

import errno
import os
import stat
import sys
import time

TYPE_CHECKING = False

from .failures import Failure, Quiet, Skipped
from .files import drop_stdout, open_input
from .names import stored_name, uncompressed_name
from .progress import Counted, Progress, ratio

if TYPE_CHECKING:
    from typing import Any, BinaryIO

    from .driver import Tool


def list_file(tool: Tool, path: str, info: os.stat_result) -> None:
    if tool.args.format != "gzip":
        raise Failure(f"{path}: --list reads gzip files only")
    tool.last_overhead = 0  # as gzip's: a file that fails counts none
    target = uncompressed_name(tool, path)
    if target is None:
        return
    source, info = open_input(path, info, tool.args)
    with source:
        list_stream(tool, source, path, target, info)


def list_stream(tool: Tool, source: BinaryIO, path: str, target: str, info: os.stat_result) -> None:
    """gzip -l's line. As gzip 1.12 does, the whole file is read: the
    uncompressed length and CRC are the last member's, and the header
    and trailer are left out of the ratio only for a single member. The
    heading comes before the first line (none with -q)."""
    from ..inflate import Corrupt, inflate
    from . import foreign
    from .decompress import corrupt, discard, extra_ignored, peek

    args = tool.args
    counted = Counted(source, path, Progress(path, None, args))
    kind = foreign.kind_of(peek(source, 4))
    try:
        if kind is not None:
            outcome: Any = foreign.decode(kind, counted.read, discard, path, True)
            if outcome.warning is not None:  # a zip's other entries: listed all the same, as gzip
                tool.note(outcome.warning)
        else:
            outcome = inflate(counted.read, discard, "gzip", on_extra=extra_ignored(path) if args.verbose else None)
    except Corrupt as error:
        raise corrupt(path, error, testing=True) from None
    # As gzip, a file with more after its end is warned of, not listed.
    if outcome.trailing_garbage:
        raise Skipped(f"{path}: decompression OK, trailing garbage ignored", inside=True)
    if outcome.trailing_zeros:  # and without -v, neither listed nor warned of
        raise Skipped(f"{path}: decompression OK, trailing zero bytes ignored", inside=True) if args.verbose else Quiet("")
    header = outcome.header
    length, size = counted.count, outcome.last_size
    overhead = header.length + 8 if header is not None and outcome.members == 1 else 0
    name = target
    if args.name and header is not None and header.name is not None:
        name = stored_name(path, header)
    if not tool.listed:
        if args.verbose:
            show(tool, "method  crc     date  time  ", end="")
        if not args.quiet:
            show(tool, f"{'compressed':>19} {'uncompressed':>19}  ratio uncompressed_name")
    if args.verbose:
        # The stored time with -N, else the file's (none for a pipe), as gzip shows it.
        when = header.mtime if args.name and header and header.mtime else 0
        when = when or (info.st_mtime if stat.S_ISREG(info.st_mode) else 0)
        method = foreign.METHOD_NAMES[outcome.kind] if kind is not None else "defla"
        # gzip shows an unknown CRC as its 64-bit all ones.
        crc = f"{outcome.last_crc:08x}" if outcome.last_crc >= 0 else "f" * 16
        show(tool, f"{method} {crc} {time.strftime('%b %e %H:%M', time.localtime(when))} ", end="")
    show(tool, f"{length:19d} {size:19d} {ratio(size - (length - overhead), size)} {name}")
    tool.listed_name = target
    tool.listed.append((length, size))
    tool.last_overhead = overhead


def print_totals(tool: Tool) -> None:
    compressed = sum(c for c, _ in tool.listed)
    uncompressed = sum(u for _, u in tool.listed)
    if compressed <= 0 or uncompressed <= 0:
        return
    if tool.args.verbose:
        show(tool, " " * 28, end="")
    # As gzip counts it: the header of the last file tried only.
    saved = uncompressed - (compressed - tool.last_overhead)
    show(tool, f"{compressed:19d} {uncompressed:19d} {ratio(saved, uncompressed)} (totals)")


def show(tool: Tool, text: str, end: str = "\n") -> None:
    """Part of the listing, to standard output. One that cannot be written
    is said once, at the end of the run, as gzip finds it when it closes
    standard output."""
    if tool.listing_error is not None:
        return
    try:
        if sys.stdout is None:  # descriptor 1 closed at the start
            raise OSError(errno.EBADF, os.strerror(errno.EBADF))
        sys.stdout.write(text + end)
    except OSError as error:
        tool.listing_error = error


def finish(tool: Tool) -> None:
    """The listing written out, or gzip's message naming the last file's
    output."""
    try:
        if tool.listing_error is None and sys.stdout is not None:
            sys.stdout.flush()
    except OSError as error:
        tool.listing_error = error
    if tool.listing_error is not None:
        drop_stdout()
        tool.note(Failure(f"{tool.listed_name}: {tool.listing_error.strerror}", inside=True))
