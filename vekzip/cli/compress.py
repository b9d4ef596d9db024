"""Compressing: a stream into a writer in chunks, and one file so."""

from __future__ import annotations

import io
import os
import stat
import sys
import time

TYPE_CHECKING = False

import vekzip

from .failures import Failure, Quiet, Skipped
from .files import open_input, remove_input, stdout_sink, write_beside
from .names import compressed_suffix, shortened_output
from .progress import Progress, Verbose, ratio, report

if TYPE_CHECKING:
    from typing import BinaryIO, Iterator

    from .options import Options

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


def feed(writer: vekzip.VekzipFile, source: BinaryIO, name: str, chunk: int, total: int | None,
         progress: Progress) -> int:
    """All of source written to the writer; returns the bytes read. A file
    of io's own is read straight into the engine's chunk area once what its
    buffer holds is given out; anything else through read_chunks."""
    if not writer._reads_descriptors() or type(source) not in (io.BufferedReader, io.FileIO):
        return feed_chunks(writer, source, name, chunk, total, progress)
    held = b""
    try:
        fd = source.fileno()
        if type(source) is io.BufferedReader:
            held = source.read1(len(source.peek()))  # what it holds, else one read: then it holds nothing
    except OSError as error:
        raise Failure(f"{name}: {error.strerror}") from None
    writer.write(held)
    consumed = len(held)
    progress.advance(consumed)
    while True:
        got, read_error = writer._write_from(fd, chunk)
        consumed += got
        progress.advance(got)
        if read_error:
            raise Failure(f"{name}: {os.strerror(read_error)}")
        if not got:
            return consumed


def feed_chunks(writer: vekzip.VekzipFile, source: BinaryIO, name: str, chunk: int, total: int | None,
                progress: Progress) -> int:
    consumed = 0
    for data in read_chunks(source, name, chunk, total):
        writer.write(data)
        consumed += len(data)
        progress.advance(len(data))
    return consumed


def compress(
    source: BinaryIO, name: str, sink: BinaryIO, sink_name: str, total: int | None, args: Options,
    header: tuple[bytes | None, int | None] = (None, None),
) -> tuple[int, int]:
    """Compresses all of source into sink through a VekzipFile; returns the
    bytes read and written."""
    # A single chunk needs no worker threads.
    threads = 1 if total is not None and total <= args.chunk else args.threads
    fname, mtime = header
    # Made before the writer: a writer left to the collector would be
    # closed, and its trailer end a complete-looking stream.
    progress = Progress(name, total, args)
    writer = vekzip.VekzipFile(
        None, "wb", args.level, sink, format=args.format, threads=threads, chunk_size=args.chunk,
        fname=fname, mtime=mtime, index=args.index,
    )
    try:
        try:
            consumed = feed(writer, source, name, args.chunk, total, progress)
            writer.close()
        except BaseException:
            writer._abandon()  # whatever failed, no trailer goes after it
            raise
    except BrokenPipeError:
        raise
    except OSError as error:  # as gzip, a write error ends the run
        raise Failure(f"{sink_name}: {error.strerror}", inside=True, fatal=True) from None
    finally:
        progress.close()
    return consumed, writer.compressed_size


def compress_to_stdout(
    source: BinaryIO, name: str, total: int | None, args: Options,
    header: tuple[bytes | None, int | None] = (None, None),
) -> tuple[int, int, int]:
    """Compresses all of source to standard output; returns the bytes read
    and written and how many of those are header and trailer."""
    sink = stdout_sink()
    consumed, produced = compress(source, name, sink, "stdout", total, args, header)
    sink.flush()
    return consumed, produced, framing(args.format, header[0])


def framing(format: str, name: bytes | None) -> int:
    """The bytes of header and trailer around the compressed data."""
    if format == "gzip":
        return 10 + (len(name) + 1 if name is not None else 0) + 8
    return 6 if format == "zlib" else 0


def share_saved(consumed: int, produced: int, header_bytes: int) -> str:
    """-v's ratio when compressing, as gzip counts it: the share of the
    input saved, header and trailer aside."""
    return ratio(consumed - (produced - header_bytes), consumed)


def compress_file(tool: Tool, path: str, info: os.stat_result, top: bool) -> None:
    args = tool.args
    carried = compressed_suffix(path, tool.suffix, args.format)
    if not args.stdout and not args.force and carried:
        if args.verbose or (not args.recursive and not args.quiet):
            raise Quiet(f"{path} already has {carried} suffix -- unchanged")
        return
    source, info = open_input(path, info, args)  # from here on, what the open file says
    header: tuple[bytes | None, int | None] = (None, None)
    if args.format == "gzip" and (args.name or args.time):
        mtime = int(info.st_mtime) if args.time else 0
        if not 0 <= mtime < 1 << 32:
            # As gzip: a time the header cannot hold is stored as none.
            tool.note(Skipped(f"{path}: warning: file timestamp out of range for gzip format"))
            mtime = 0
        header = (os.fsencode(os.path.basename(path)) if args.name else None, mtime)
    line = Verbose(path, args.verbose)
    with source:
        total = info.st_size if stat.S_ISREG(info.st_mode) else None
        start = time.perf_counter()
        if args.stdout:
            line.begin()
            consumed, produced, _ = compress_to_stdout(source, path, total, args, header)
            target = "stdout"
        else:
            target = shortened_output(path, tool.suffix)
            if target != path + tool.suffix:
                # As gzip: the name that did not fit is kept in the header.
                if args.format == "gzip":
                    header = (os.fsencode(os.path.basename(path)), header[1] or 0)
                if not (args.verbose or args.quiet):
                    print(f"vekzip: {path} compressed to {target}", file=sys.stderr)

            def work(sink: BinaryIO) -> tuple[int, int]:
                line.begin()
                return compress(source, path, sink, target, total, args, header)

            consumed, produced = write_beside(work, target, info, args)
            if not args.keep:
                remove_input(path)
    if total is not None and consumed != total:  # a /proc file, or one written to meanwhile
        print(f"vekzip: {path}: file size changed while zipping", file=sys.stderr)
    done = f" -- {'created' if args.keep else 'replaced with'} {target}"
    line.end(share_saved(consumed, produced, framing(args.format, header[0])) + done)
    if args.throughput:
        report(path, consumed, produced, time.perf_counter() - start, done)
