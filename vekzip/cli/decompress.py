"""Decompressing and testing: a stream through the inflater (an indexed
file on several threads), and one file so."""

from __future__ import annotations

import os
import stat
import sys
import time

TYPE_CHECKING = False

from . import foreign
from .failures import Failure, Skipped
from .files import open_input, remove_input, stdout_sink, write_beside
from .names import restored_name, uncompressed_name
from .progress import Counted, Progress, Verbose, ratio, report

if TYPE_CHECKING:
    from typing import BinaryIO, Callable

    from .options import Options

    from ..gzip_header import Header
    from .driver import Tool


def decompress(
    source: BinaryIO, name: str, sink: BinaryIO | None, sink_name: str, total: int | None, args: Options,
    on_header: Callable[[object], object] | None = None,
) -> tuple[int, int, object]:
    """Decompresses (or, without a sink, tests) all of source; returns the
    bytes read and written and what the stream said (its header). A
    trailing-garbage warning is raised only after the output is complete.
    An indexed file is inflated on -T threads, chunk by chunk."""
    from ..inflate import Corrupt, Outcome, inflate, zlib_module

    progress = Progress(name, total, args)
    counted = Counted(source, name, progress)

    def write_out(data: bytes) -> None:
        try:
            sink.write(data)  # type: ignore[union-attr]
        except BrokenPipeError:
            raise
        except OSError as error:
            raise Failure(f"{sink_name}: {error.strerror}", inside=True, fatal=True) from None

    write: Callable[[bytes], None] = write_out
    kind = foreign.kind_of(peek(source, 4)) if args.format == "gzip" else None
    if kind is not None:
        try:
            decoded = foreign.decode(kind, counted.read, write if sink is not None else discard, name,
                                     sink is None or sink_name == "stdout", on_header)
        finally:
            progress.close()
        return counted.count, decoded.size, decoded
    already = 0  # bytes the indexed reader gave before it failed
    if args.format == "gzip" and total is not None:
        from ..reader import open_indexed

        outcome = Outcome()
        try:
            reader = open_indexed(source, args.threads)
            if reader is not None and not reader.chunks:
                reader.close()  # nothing indexed: the stream says what it is
                reader = None
                source.seek(0)
            if reader is not None:
                if on_header is not None:
                    on_header(first_header(source))
                uncompressed = max(1, reader.chunks[-1].start + reader.chunks[-1].size)
                with reader:
                    while data := reader.read(4 << 20):
                        outcome.size += len(data)
                        progress.advance(len(data) * total // uncompressed)
                        if sink is not None:
                            write(data)
                progress.close()
                outcome.header = first_header(source)
                return total, outcome.size, outcome
        except BrokenPipeError:
            raise
        except (OSError, ValueError, OverflowError, IndexError, MemoryError, zlib_module.error):  # type: ignore[misc]
            # An index that does not hold: what was given so far is the
            # stream's start, and reading in sequence gives the rest.
            already = outcome.size
            source.seek(0)
        write = skipping(write, already)

    try:
        outcome = inflate(counted.read, write if sink is not None else discard, args.format, on_header,
                          copy_tail=args.force and (sink is None or sink_name == "stdout"),
                          on_extra=extra_ignored(name) if args.verbose else None)
    except Corrupt as error:
        raise corrupt(name, error, args.test) from None
    finally:
        progress.close()
    return counted.count, outcome.size, outcome


def extra_ignored(name: str) -> Callable[[int], None]:
    """-v's word, as gzip's, on each member's extra field."""
    def say(length: int) -> None:
        print(f"vekzip: {name}: extra field of {length} bytes ignored", file=sys.stderr)

    return say


def first_header(source: BinaryIO) -> Header | None:
    """The header an indexed file starts with, read where it lies."""
    from ..gzip_header import parse_header

    return parse_header(os.pread(source.fileno(), 1 << 16, 0))


def discard(data: bytes) -> None:
    pass


def skipping(write: Callable[[bytes], None], count: int) -> Callable[[bytes], None]:
    """write() without the first `count` bytes."""
    if not count:
        return write
    left = count

    def skipping_write(data: bytes) -> None:
        nonlocal left
        if left:
            cut = min(left, len(data))
            left -= cut
            data = data[cut:]
        if data:
            write(data)

    return skipping_write


def inflate_in_place(tool: Tool, source: BinaryIO, name: str, total: int | None, shown: bool = True) -> None:
    """-t (nothing written) or -dc (to standard output), warnings and all;
    `shown` is false for standard input, which -v names in no line."""
    args = tool.args
    sink = None if args.test else stdout_sink()
    line = Verbose(name, args.verbose and shown)
    if args.force and args.format == "gzip" and not starts_gzip(source):
        # As zcat -f: what is not gzip is copied as it is (-tf reads it through).
        if sink is None:
            line.begin()
            while source.read(1 << 20):
                pass
            if args.verbose:
                print(" OK", file=sys.stderr)
            return
        copy_through(source, sink)
        sink.flush()
        return
    consumed, produced, outcome = decompress(source, name, sink, "stdout", total, args, line.begin)
    if sink is not None:
        sink.flush()
    warn_garbage(tool, name, outcome)
    if getattr(outcome, "warning", None) is not None:
        tool.note(outcome.warning)  # type: ignore[attr-defined]
    if args.test:
        if args.verbose:
            print(" OK", file=sys.stderr)
    else:
        line.end(f"{share_saved(consumed, produced, outcome)} -- {'created' if args.keep else 'replaced with'} stdout")


def warn_garbage(tool: Tool, name: str, outcome: object) -> None:
    if getattr(outcome, "trailing_garbage", False):
        tool.note(Skipped(f"{name}: decompression OK, trailing garbage ignored", inside=True))
    elif getattr(outcome, "trailing_zeros", False) and tool.args.verbose:
        tool.note(Skipped(f"{name}: decompression OK, trailing zero bytes ignored", inside=True))


def share_saved(consumed: int, produced: int, outcome: object) -> str:
    """-v's ratio when decompressing, as gzip counts it: of one member,
    its header and trailer are not compressed data; of several, the last
    member's output is set against the whole input."""
    header = getattr(outcome, "header", None)
    members = getattr(outcome, "members", 1)
    if members > 1:
        produced = getattr(outcome, "last_size", produced)
    overhead = header.length + 8 if header is not None and members <= 1 else 0
    return ratio(produced - (consumed - overhead), produced)


def decompress_file(tool: Tool, path: str, info: os.stat_result, top: bool) -> None:
    args = tool.args
    target = None
    if not args.stdout or args.test:
        target = uncompressed_name(tool, path)
        if target is None:
            return
    source, info = open_input(path, info, args)  # from here on, what the open file says
    with source:
        total = info.st_size if stat.S_ISREG(info.st_mode) else None
        if args.test or args.stdout:
            inflate_in_place(tool, source, path, total)
            return
        assert target is not None
        refuse_header(source, path, args)  # as gzip, before the output is made
        if args.name:
            target, mtime = restored_name(tool, path, source, target)
        else:
            mtime = None
        start = time.perf_counter()
        outcome_box: list[object] = []
        line = Verbose(path, args.verbose)

        def work(sink: BinaryIO) -> tuple[int, int]:
            consumed, produced, outcome = decompress(
                source, path, sink, target, total, args, line.begin)  # type: ignore[arg-type]
            outcome_box.append(outcome)
            return consumed, produced

        consumed, produced = write_beside(work, target, info, args, mtime)
        if not args.keep:
            remove_input(path)
    warn_garbage(tool, path, outcome_box[0])
    done = f" -- {'created' if args.keep else 'replaced with'} {target}"
    line.end(share_saved(consumed, produced, outcome_box[0]) + done)
    if args.throughput:
        report(path, produced, consumed, time.perf_counter() - start, done)


def refuse_header(source: BinaryIO, path: str, args: Options) -> None:
    """A gzip header that is refused, read to its end (however long) and
    refused as inflating would, so that no output is begun for it; the file
    is left at its start."""
    from ..gzip_header import HeaderParser, NotGzip
    from ..inflate import Corrupt

    if args.format != "gzip" or foreign.kind_of(peek(source, 4)) is not None:
        return
    parser = HeaderParser()
    try:
        while True:
            block = source.read(1 << 16)
            if not block:
                raise Corrupt("unexpected end of file")
            if parser.feed(block) is not None:
                return
    except NotGzip as error:
        refused = Corrupt(str(error))
        refused.__cause__ = error
        raise corrupt(path, refused, args.test) from None
    except Corrupt as error:
        raise corrupt(path, error, args.test) from None
    finally:
        source.seek(0)


def corrupt(name: str, error: Exception, testing: bool) -> Failure:
    """gzip's message, line break and consequence for a stream refused:
    a stream cut short or garbled ends the run, and so does a wrong check
    value but when only testing."""
    from ..gzip_header import BadHeaderCrc, NotGzip

    cause, text = error.__cause__, str(error)
    if isinstance(cause, BadHeaderCrc):
        return Failure(f"{name}: header checksum 0x{cause.stored:04x} != computed checksum 0x{cause.computed:04x}")
    if isinstance(cause, NotGzip) and text.startswith("has flags"):
        flags = int(text.split()[2], 16)
        if flags & 0x20:
            return Failure(f"{name} is encrypted -- not supported")
        return Failure(f"{name} {text}")
    if isinstance(cause, NotGzip):
        return Failure(f"{name}: {text}", inside=text == "not in gzip format")
    fatal = not testing or text in ("unexpected end of file", "invalid compressed data--format violated")
    if getattr(error, "length_too", False):  # as gzip, both are said
        text += f"\n\nvekzip: {name}: invalid compressed data--length error"
    return Failure(f"{name}: {text}", inside=True, fatal=fatal)


def starts_gzip(source: BinaryIO) -> bool:
    """Whether the stream starts as gzip or what else -d reads (looked
    at, not taken)."""
    from ..gzip_header import MAGIC

    head = peek(source, 4)
    return head[:2] == MAGIC or foreign.kind_of(head) is not None


def peek(source: BinaryIO, count: int) -> bytes:
    """The first bytes of a stream, left in it."""
    head = bytes(source.peek(count)[:count])  # type: ignore[attr-defined]
    if 0 < len(head) < count:  # a pipe may hold less yet
        head = bytes(source.peek(count)[:count])  # type: ignore[attr-defined]
    return head


def copy_through(source: BinaryIO, sink: BinaryIO) -> None:
    import shutil

    try:
        shutil.copyfileobj(source, sink, 1 << 20)
    except BrokenPipeError:
        raise
    except OSError as error:
        raise Failure(f"stdout: {error.strerror}") from None
