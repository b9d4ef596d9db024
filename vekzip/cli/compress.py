"""Compressing: a stream into a writer in chunks, and one file so."""

from __future__ import annotations

import argparse
import os
import stat
import time

TYPE_CHECKING = False

import vekzip

from .failures import Failure, Quiet, Skipped
from .files import open_input, remove_input, stdout_sink, write_beside
from .names import compressed_suffix
from .progress import Progress, report

if TYPE_CHECKING:
    from typing import BinaryIO, Iterator

    from .driver import Tool


def read_chunks(source: BinaryIO, name: str, chunk: int, total: int | None) -> Iterator[memoryview]:
    """The input in chunks, read into one reused area: each chunk is valid
    until the next is read (the writer copies what it keeps), and no chunk
    costs fresh pages. An empty input is one empty chunk, so that even it
    becomes a complete stream."""
    area = bytearray(max(1 << 16, min(chunk, 1 << 24, total + 1 if total is not None else chunk)))
    view = memoryview(area)
    while True:
        try:
            got = source.readinto(view)  # type: ignore[attr-defined]
        except OSError as error:
            raise Failure(f"{name}: {error.strerror}") from None
        yield view[: got or 0]
        if not got:
            return


def compress(
    source: BinaryIO, name: str, sink: BinaryIO, sink_name: str, total: int | None, args: argparse.Namespace,
    header: tuple[bytes | None, int | None] = (None, None),
) -> tuple[int, int]:
    """Compresses all of source into sink through a VekzipFile; returns the
    bytes read and written."""
    # A single chunk needs no worker threads.
    threads = 1 if total is not None and total <= args.chunk else args.threads
    fname, mtime = header
    writer = vekzip.VekzipFile(
        None, "wb", args.level, sink, format=args.format, threads=threads, chunk_size=args.chunk,
        fname=fname, mtime=mtime, index=args.index,
    )
    progress = Progress(name, total, args)
    consumed = 0
    try:
        try:
            for data in read_chunks(source, name, args.chunk, total):
                writer.write(data)
                consumed += len(data)
                progress.advance(len(data))
            writer.close()
        except BaseException:
            writer._abandon()  # whatever failed, no trailer goes after it
            raise
    except BrokenPipeError:
        raise
    except OSError as error:
        raise Failure(f"{sink_name}: {error.strerror}") from None
    finally:
        progress.close()
    return consumed, writer.compressed_size


def compress_to_stdout(
    source: BinaryIO, name: str, total: int | None, args: argparse.Namespace,
    header: tuple[bytes | None, int | None] = (None, None),
) -> tuple[int, int]:
    sink = stdout_sink(args)
    counts = compress(source, name, sink, "stdout", total, args, header)
    sink.flush()
    return counts


def compress_file(tool: Tool, path: str, info: os.stat_result, top: bool) -> None:
    args = tool.args
    carried = compressed_suffix(path, tool.suffix, args.format)
    if not args.stdout and not args.force and carried:
        if args.verbose or (top and not args.quiet):
            raise Quiet(f"{path} already has {carried} suffix -- unchanged")
        return
    header: tuple[bytes | None, int | None] = (None, None)
    if args.name and args.format == "gzip":
        mtime = int(info.st_mtime)
        if not 0 <= mtime < 1 << 32:
            # As gzip: a time the header cannot hold is stored as none.
            tool.note(Skipped(f"{path}: warning: file timestamp out of range for gzip format"))
            mtime = 0
        header = (os.fsencode(os.path.basename(path)), mtime)
    source = open_input(path)
    with source:
        total = info.st_size if stat.S_ISREG(info.st_mode) else None
        start = time.perf_counter()
        if args.stdout:
            consumed, produced = compress_to_stdout(source, path, total, args, header)
            outcome = ""
        else:
            target = path + tool.suffix

            def work(sink: BinaryIO) -> tuple[int, int]:
                return compress(source, path, sink, target, total, args, header)

            consumed, produced = write_beside(work, target, info, args.force)
            outcome = f" -- wrote {target}" if args.keep else f" -- replaced with {target}"
            if not args.keep:
                remove_input(path)
    if args.verbose:
        report(path, consumed, produced, time.perf_counter() - start, outcome)
