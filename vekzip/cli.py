"""vekzip: compress and decompress files with vek, the way gzip does.

The options, messages and exit statuses are gzip's (0 success, 1 error, 2
warning), as are the files it writes beside their inputs: the output takes
the input's mode, owner, group and times, goes to a hidden file first and
gets its name only when complete, and the input is removed only then.

vek matches only within one compress call, so files are compressed in
chunks of --chunk bytes (a larger chunk gives a slightly smaller output); with
-T above 1 the chunks are compressed on several threads at once and joined
into one stream, so the output depends only on the input and --chunk, never
on -T. Reading (-d, -t) goes through the fastest inflater installed (see
vekzip.inflate).
"""

from __future__ import annotations

import argparse
import os
import stat
import sys
import time

TYPE_CHECKING = False  # typing itself costs a command-line start about 10 ms

import vekzip

if TYPE_CHECKING:
    from typing import BinaryIO, Callable, Iterator, NoReturn, Sequence

# The output's suffix for each of vekzip's formats.
SUFFIXES = {"gzip": ".gz", "zlib": ".zz", "raw": ".deflate"}
# What else gzip takes off when decompressing, and what it puts back.
GZIP_SUFFIXES = {".gz": "", "-gz": "", ".z": "", "-z": "", "_z": "", ".tgz": ".tar", ".taz": ".tar"}
SIZE_SUFFIXES = {"": 1, "K": 1 << 10, "M": 1 << 20, "G": 1 << 30}
OK, ERROR, WARNING = 0, 1, 2


class Failure(Exception):
    """A problem with one file: reported, and the next file is tried. An
    error makes the exit status 1."""

    status = ERROR


class Skipped(Failure):
    """A file left alone, as gzip warns of it: exit status 2 unless an
    error also happened."""

    status = WARNING


class Loud(Skipped):
    """A warning that -q does not silence, as gzip prints it in any case."""


class Quiet(Skipped):
    """Left alone with exit status 0, as gzip leaves a file that already
    has the suffix."""

    status = OK


class Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        # gzip exits 1 on a bad command line too; argparse's own code is 2.
        self.print_usage(sys.stderr)
        self.exit(1, f"{self.prog}: {message}\n")


def chunk_size(text: str) -> int:
    number, suffix = text.upper().rstrip("IB"), ""
    if number and number[-1] in SIZE_SUFFIXES:
        number, suffix = number[:-1], number[-1]
    try:
        size = int(number) * SIZE_SUFFIXES[suffix]
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a size: {text!r} (try 4M or 65536)") from None
    if size < 1:
        raise argparse.ArgumentTypeError(f"the chunk must hold at least one byte: {text!r}")
    return size


def thread_count(text: str) -> int:
    try:
        count = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of threads: {text!r}") from None
    if not 1 <= count <= vekzip.MAX_THREADS:
        raise argparse.ArgumentTypeError(f"threads must be 1 to {vekzip.MAX_THREADS}: {text!r}")
    return count


def suffix(text: str) -> str:
    if not text or "/" in text:
        raise argparse.ArgumentTypeError(f"invalid suffix {text!r}")
    return text


def build_parser() -> Parser:
    parser = Parser(
        prog="vekzip",
        description="Compress or decompress FILEs (or standard input) with vek: gzip, zlib or raw DEFLATE.",
        epilog="With no FILE, or when FILE is -, read standard input and write standard output. "
        "Exit status: 0 success, 1 error, 2 warning.",
    )
    parser.add_argument("files", nargs="*", metavar="FILE")
    add = parser.add_argument
    add("-c", "--stdout", "--to-stdout", action="store_true", help="write on standard output, keep the input files")
    add("-d", "--decompress", "--uncompress", action="store_true", help="decompress")
    add("-f", "--force", action="store_true", help="force overwrite of outputs and compression of links")
    add("-k", "--keep", action="store_true", help="keep (do not delete) the input files")
    add("-l", "--list", action="store_true", help="list compressed file contents")
    add("-n", "--no-name", dest="name", action="store_false",
        help="do not save or restore the original name and time stamp (the default)")
    add("-N", "--name", dest="name", action="store_true", help="save or restore the original name and time stamp")
    add("-q", "--quiet", action="store_true", help="suppress all warnings")
    add("-r", "--recursive", action="store_true", help="operate recursively on directories")
    add("-S", "--suffix", type=suffix, metavar="SUF", help="use suffix SUF on compressed files")
    add("-t", "--test", action="store_true", help="test compressed file integrity")
    add("-v", "--verbose", action="store_true", help="print size, ratio and speed per file")
    add("-V", "--version", action=Version, nargs=0, help="show the version and the inflater, and exit")
    for level in range(10):
        add(f"-{level}", dest="level", action="store_const", const=level,
            help="store only" if level == 0 else "compress (vek has one setting; -1 to -9 are the same)"
            if level == 1 else argparse.SUPPRESS)
    add("--fast", dest="level", action="store_const", const=1, help="compress (as -1)")
    add("--best", dest="level", action="store_const", const=9, help="compress (as -9: vek's only setting)")
    add("--format", choices=SUFFIXES, default="gzip", help="container (default gzip)")
    add("--chunk", type=chunk_size, default=None, metavar="SIZE",
        help="bytes per compress call, with K, M or G (default 4M, with --index 1M)")
    add("--index", action="store_true",
        help="write a splittable gzip file: chunks that inflate apart and their index at the end")
    add("-T", "--threads", type=thread_count, default=len(os.sched_getaffinity(0)), metavar="N",
        help="chunks compressed at once (default: the CPUs this process may use)")
    parser.set_defaults(level=1, name=False)
    return parser


class Version(argparse.Action):
    """-V: looked up only when asked for (the package metadata costs a
    start-up about 25 ms)."""

    def __call__(self, parser: argparse.ArgumentParser, *args: object) -> None:
        parser.exit(0, f"vekzip {_version()} (inflater: {_inflater_name()})\n")


def _version() -> str:
    try:
        from importlib.metadata import version

        return version("vek")
    except Exception:  # not installed as a distribution
        return "unknown"


def _inflater_name() -> str:
    from .inflate import INFLATER

    return INFLATER


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


class Progress:
    """A bytes-read bar on a terminal, for work of more than one chunk."""

    def __init__(self, name: str, total: int | None, args: argparse.Namespace) -> None:
        self.bar = None
        if args.quiet or not sys.stderr.isatty() or (total is not None and total <= args.chunk):
            return
        from tqdm import tqdm

        self.bar = tqdm(total=total, desc=name, unit="B", unit_scale=True, unit_divisor=1024, leave=False, file=sys.stderr)

    def advance(self, size: int) -> None:
        if self.bar is not None:
            self.bar.update(size)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


class Counted:
    """A binary file's read() that counts and reports what it gave."""

    def __init__(self, source: BinaryIO, name: str, progress: Progress) -> None:
        self.source, self.name, self.progress, self.count = source, name, progress, 0

    def read(self, n: int) -> bytes:
        try:
            data = self.source.read(n)
        except OSError as error:
            raise Failure(f"{self.name}: {error.strerror}") from None
        self.count += len(data)
        self.progress.advance(len(data))
        return data


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


def decompress(
    source: BinaryIO, name: str, sink: BinaryIO | None, sink_name: str, total: int | None, args: argparse.Namespace
) -> tuple[int, int, object]:
    """Decompresses (or, without a sink, tests) all of source; returns the
    bytes read and written and what the stream said (its header). A
    trailing-garbage warning is raised only after the output is complete.
    An indexed file is inflated on -T threads, chunk by chunk."""
    from .inflate import Corrupt, Outcome, inflate, zlib_module

    progress = Progress(name, total, args)
    counted = Counted(source, name, progress)

    def write_out(data: bytes) -> None:
        try:
            sink.write(data)  # type: ignore[union-attr]
        except BrokenPipeError:
            raise
        except OSError as error:
            raise Failure(f"{sink_name}: {error.strerror}") from None

    write: Callable[[bytes], None] = write_out
    already = 0  # bytes the indexed reader gave before it failed
    if args.format == "gzip" and total is not None:
        from .reader import open_indexed

        outcome = Outcome()
        try:
            reader = open_indexed(source, args.threads)
            if reader is not None and not reader.chunks:
                reader.close()  # nothing indexed: the stream says what it is
                reader = None
                source.seek(0)
            if reader is not None:
                uncompressed = max(1, reader.chunks[-1].start + reader.chunks[-1].size)
                with reader:
                    while data := reader.read(4 << 20):
                        outcome.size += len(data)
                        progress.advance(len(data) * total // uncompressed)
                        if sink is not None:
                            write(data)
                progress.close()
                return total, outcome.size, outcome
        except BrokenPipeError:
            raise
        except (OSError, ValueError, OverflowError, IndexError, MemoryError, zlib_module.error):  # type: ignore[misc]
            # An index that does not hold: what was given so far is the
            # stream's start, and reading in sequence gives the rest.
            already = outcome.size
            source.seek(0)
        write = _skipping(write, already)

    try:
        outcome = inflate(counted.read, write if sink is not None else _discard, args.format)
    except Corrupt as error:
        raise Failure(f"{name}: {error}") from None
    finally:
        progress.close()
    return counted.count, outcome.size, outcome


def compress_to_stdout(
    source: BinaryIO, name: str, total: int | None, args: argparse.Namespace,
    header: tuple[bytes | None, int | None] = (None, None),
) -> tuple[int, int]:
    sink = stdout_sink(args)
    counts = compress(source, name, sink, "stdout", total, args, header)
    sink.flush()
    return counts


def _discard(data: bytes) -> None:
    pass


def _skipping(write: Callable[[bytes], None], count: int) -> Callable[[bytes], None]:
    """write() without the first `count` bytes."""
    if not count:
        return write
    left = count

    def skipping(data: bytes) -> None:
        nonlocal left
        if left:
            cut = min(left, len(data))
            left -= cut
            data = data[cut:]
        if data:
            write(data)

    return skipping


def report(name: str, consumed: int, produced: int, seconds: float, outcome: str = "") -> None:
    percent = 100 * produced / consumed if consumed else 100.0
    speed = consumed / seconds / 1e6 if seconds > 0 else float("inf")
    print(
        f"{name}: {consumed:,} -> {produced:,} bytes ({percent:.2f}%), {speed:.1f} MB/s{outcome}",
        file=sys.stderr,
    )


class Tool:
    """One run over the files given: the worst status so far, the totals of
    --list."""

    def __init__(self, args: argparse.Namespace) -> None:
        self.args = args
        self.status = OK
        self.suffix = args.suffix or SUFFIXES[args.format]
        self.listed: list[tuple[int, int, int]] = []  # compressed, uncompressed, header bytes

    def note(self, failure: Failure) -> None:
        # -q silences warnings, never errors; an error outranks a warning.
        if failure.status == ERROR or isinstance(failure, Loud) or not self.args.quiet:
            print(f"vekzip: {failure}", file=sys.stderr)
        if failure.status == ERROR:
            self.status = ERROR
        elif failure.status == WARNING and self.status == OK:
            self.status = WARNING

    def run(self, names: Sequence[str]) -> int:
        if self.args.list:
            self.print_list_heading()
        for name in names or ["-"]:
            self.guarded(name, top=True)
        if self.args.list and len(self.listed) > 1:
            self.print_list_totals()
        return self.status

    def guarded(self, name: str, top: bool) -> None:
        """Treats a name and, with -r, everything under it: folders are
        walked with a list of names still to do, not by recursion, so that
        no depth is too deep."""
        waiting = [(name, top)]
        while waiting:
            name, top = waiting.pop()
            found = self.guarded_one(name, top)
            waiting.extend((entry, False) for entry in reversed(found))

    def guarded_one(self, name: str, top: bool) -> list[str]:
        """Treats one name; returns a folder's entries, for -r."""
        try:
            if name == "-":
                self.standard_streams()
            else:
                return self.treat(name, top)
        except Failure as failure:
            self.note(failure)
        except MemoryError:
            self.note(Failure(f"{name}: out of memory (try a smaller --chunk or fewer threads)"))
        except RuntimeError as error:  # the worker threads could not start
            self.note(Failure(f"{name}: {error}"))
        except BrokenPipeError:
            raise
        except OSError as error:
            self.note(Failure(f"{error.filename or name}: {error.strerror}"))
        return []

    # Standard input to standard output.
    def standard_streams(self) -> None:
        args = self.args
        if sys.stdin is None:  # started with descriptor 0 closed
            raise Failure("standard input: Bad file descriptor")
        source = sys.stdin.buffer
        if args.list:
            self.list_stream(source, "stdout" if not args.name else "-", None)
            return
        start = time.perf_counter()
        if args.decompress or args.test:
            if not args.test and not args.force and sys.stdin.isatty():
                raise Failure("compressed data not read from a terminal. Use -f to force decompression.")
            self.inflate_in_place(source, "stdin", None)
            return
        consumed, produced = compress_to_stdout(source, "stdin", None, args)
        if args.verbose:
            report("stdin", consumed, produced, time.perf_counter() - start)

    def inflate_in_place(self, source: BinaryIO, name: str, total: int | None) -> None:
        """-t (nothing written) or -dc (to standard output), warnings and all."""
        args = self.args
        sink = None if args.test else stdout_sink(args, decompressing=True)
        if sink is not None and args.force and args.format == "gzip" and not starts_gzip(source):
            # As zcat -f: what is not gzip is copied as it is.
            shutil_copy(source, sink)
            sink.flush()
            return
        _, _, outcome = decompress(source, name, sink, "stdout", total, args)
        if sink is not None:
            sink.flush()
        self.warn_garbage(name, outcome)
        if args.test and args.verbose:
            print(f"{name}:\t OK", file=sys.stderr)

    def warn_garbage(self, name: str, outcome: object) -> None:
        if getattr(outcome, "trailing_garbage", False):
            self.note(Skipped(f"{name}: decompression OK, trailing garbage ignored"))

    # A name on the command line or met in a directory.
    def treat(self, path: str, top: bool) -> list[str]:
        args = self.args
        try:
            link = os.lstat(path)
        except OSError as error:
            raise Failure(f"{path}: {error.strerror}") from None
        if stat.S_ISDIR(link.st_mode):
            if args.recursive:
                return self.folder_entries(path)
            raise Skipped(f"{path} is a directory -- ignored")
        info = link
        if stat.S_ISLNK(link.st_mode):
            # gzip opens without following links unless -f or -c.
            if not (args.force or args.stdout or args.list or args.test):
                raise Failure(f"{path}: Too many levels of symbolic links")
            try:
                info = os.stat(path)
            except OSError as error:
                raise Failure(f"{path}: {error.strerror}") from None
            if stat.S_ISDIR(info.st_mode):
                raise Skipped(f"{path} is a directory -- ignored")
        writes_beside = not (args.stdout or args.test or args.list)
        # A device or pipe has no end to wait for and is no file to replace:
        # only -c, -t and -l read one.
        if writes_beside and not stat.S_ISREG(info.st_mode):
            raise Skipped(f"{path} is not a directory or a regular file - ignored")
        if writes_beside and not args.force and info.st_nlink > 1:
            others = info.st_nlink - 1
            raise Skipped(f"{path} has {others} other link{'s' if others > 1 else ''} -- file ignored")
        if writes_beside:
            refuse_special_bits(path, info.st_mode)
        if args.list:
            self.list_file(path, info)
        elif args.decompress or args.test:
            self.decompress_file(path, info, top)
        else:
            self.compress_file(path, info, top)
        return []

    def folder_entries(self, folder: str) -> list[str]:
        try:
            entries = sorted(os.listdir(folder))
        except OSError as error:
            raise Failure(f"{folder}: {error.strerror}") from None
        return [os.path.join(folder, entry) for entry in entries]

    # Compressing.
    def compress_file(self, path: str, info: os.stat_result, top: bool) -> None:
        args = self.args
        carried = self.compressed_suffix(path)
        if not args.stdout and not args.force and carried:
            if args.verbose or (top and not args.quiet):
                raise Quiet(f"{path} already has {carried} suffix -- unchanged")
            return
        header: tuple[bytes | None, int | None] = (None, None)
        if args.name and args.format == "gzip":
            mtime = int(info.st_mtime)
            if not 0 <= mtime < 1 << 32:
                # As gzip: a time the header cannot hold is stored as none.
                self.note(Skipped(f"{path}: warning: file timestamp out of range for gzip format"))
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
                target = path + self.suffix

                def work(sink: BinaryIO) -> tuple[int, int]:
                    return compress(source, path, sink, target, total, args, header)

                consumed, produced = write_beside(work, target, info, args.force)
                outcome = f" -- wrote {target}" if args.keep else f" -- replaced with {target}"
                if not args.keep:
                    remove_input(path)
        if args.verbose:
            report(path, consumed, produced, time.perf_counter() - start, outcome)

    # Decompressing and testing.
    def decompress_file(self, path: str, info: os.stat_result, top: bool) -> None:
        args = self.args
        target = None
        if not args.stdout and not args.test:
            target = self.uncompressed_name(path, top)
            if target is None:
                return
        source = open_input(path)
        with source:
            total = info.st_size if stat.S_ISREG(info.st_mode) else None
            if args.test or args.stdout:
                self.inflate_in_place(source, path, total)
                return
            assert target is not None
            if args.name:
                target, mtime = self.restored_name(path, source, target)
            else:
                mtime = None
            start = time.perf_counter()
            outcome_box: list[object] = []

            def work(sink: BinaryIO) -> tuple[int, int]:
                consumed, produced, outcome = decompress(source, path, sink, target, total, args)  # type: ignore[arg-type]
                outcome_box.append(outcome)
                return consumed, produced

            consumed, produced = write_beside(work, target, info, args.force, mtime)
            if not args.keep:
                remove_input(path)
        self.warn_garbage(path, outcome_box[0])
        if args.verbose:
            report(path, produced, consumed, time.perf_counter() - start,
                   f" -- {'wrote' if args.keep else 'replaced with'} {target}")

    def compressed_suffix(self, path: str) -> str:
        """The suffix of a compressed file that the name ends with, as it is
        written there (gzip's own, in any case, and -S's), or ""."""
        base = os.path.basename(path)
        known = [self.suffix, *(GZIP_SUFFIXES if self.args.format == "gzip" else ())]
        for suffix in known:
            if len(base) > len(suffix) and base.lower().endswith(suffix.lower()):
                return base[-len(suffix) :]
        return ""

    def uncompressed_name(self, path: str, top: bool) -> str | None:
        """The output's name: the suffix taken off (gzip's others too for
        gzip files); None, with gzip's warning, when there is none."""
        folder, base = os.path.split(path)
        for known, replacement in ((self.suffix, ""), *(GZIP_SUFFIXES.items() if self.args.format == "gzip" else ())):
            if len(base) > len(known) and base.lower().endswith(known.lower()):
                return os.path.join(folder, base[: -len(known)] + replacement)
        if top or self.args.verbose:
            raise Skipped(f"{path}: unknown suffix -- ignored")
        return None

    def restored_name(self, path: str, source: BinaryIO, target: str) -> tuple[str, int | None]:
        """With -N: the name and time stored in the header, when there are,
        the header read to its end however long it is. A name longer than
        the folder takes is cut, as gzip cuts it."""
        from .gzip_header import HeaderParser, NotGzip

        if self.args.format != "gzip":
            return target, None
        parser = HeaderParser()
        try:
            while True:
                block = source.read(1 << 16)
                parsed = parser.feed(block) if block else None
                if parsed is not None or not block:
                    break
        except NotGzip:
            parsed = None  # inflating says what is wrong
        source.seek(0)
        if parsed is None:
            return target, None
        header = parsed[0]
        if header.name_too_long:
            raise Failure(f"{path}: corrupted input -- file name too large")
        name = target
        if header.name:
            stored = header.name.rsplit(b"/", 1)[-1]
            if stored not in (b"", b".", b".."):
                folder = os.path.dirname(path)
                stored = self.fitting(folder, stored)
                name = os.path.join(folder, os.fsdecode(stored))
        return name, header.mtime or None

    def fitting(self, folder: str, name: bytes) -> bytes:
        try:
            limit = os.pathconf(folder or ".", "PC_NAME_MAX")
        except (OSError, ValueError):
            return name
        if len(name) <= limit:
            return name
        name = name[:limit]
        self.note(Skipped(f"{os.path.join(folder, os.fsdecode(name))}: warning, name truncated"))
        return name

    # Listing.
    def print_list_heading(self) -> None:
        if self.args.verbose:
            print("method  crc     date  time  ", end="")
        print(f"{'compressed':>19} {'uncompressed':>19}  ratio uncompressed_name")

    def list_file(self, path: str, info: os.stat_result) -> None:
        if self.args.format != "gzip":
            raise Failure(f"{path}: --list reads gzip files only")
        with open_input(path) as source:
            target = self.uncompressed_name(path, top=True) or path
            self.list_stream(source, target, info)

    def list_stream(self, source: BinaryIO, target: str, info: os.stat_result | None) -> None:
        """gzip -l's line. As gzip 1.12 does, the whole file is read: the
        uncompressed length and CRC are the last member's, and the header
        and trailer are left out of the ratio only for a single member."""
        from .inflate import Corrupt, inflate

        counted = Counted(source, target, Progress(target, None, self.args))
        try:
            outcome = inflate(counted.read, _discard, "gzip")
        except Corrupt as error:
            raise Failure(f"{target}: {error}") from None
        header = outcome.header
        assert header is not None
        length, size = counted.count, outcome.last_size
        overhead = header.length + 8 if outcome.members == 1 else 0
        name = target
        if self.args.name and header.name:
            name = os.path.join(os.path.dirname(target), os.fsdecode(header.name))
        if self.args.verbose:
            when = header.mtime if self.args.name and header.mtime else (info.st_mtime if info else time.time())
            print(f"defla {outcome.last_crc:08x} {time.strftime('%b %e %H:%M', time.localtime(when))} ", end="")
        print(f"{length:19d} {size:19d} {ratio(size - (length - overhead), size)} {name}")
        self.listed.append((length, size, overhead))

    def print_list_totals(self) -> None:
        compressed = sum(c for c, _, _ in self.listed)
        uncompressed = sum(u for _, u, _ in self.listed)
        overhead = self.listed[-1][2]  # as gzip counts it: the last file's header only
        if self.args.verbose:
            print(" " * 28, end="")
        print(f"{compressed:19d} {uncompressed:19d} {ratio(uncompressed - (compressed - overhead), uncompressed)} (totals)")


def ratio(saved: int, whole: int) -> str:
    return f"{100.0 * saved / whole if whole else 0.0:5.1f}%"


def starts_gzip(source: BinaryIO) -> bool:
    """Whether the stream starts with gzip's magic bytes (looked at, not
    taken)."""
    from .gzip_header import MAGIC

    head = source.peek(2)[:2]  # type: ignore[attr-defined]
    if len(head) == 1:
        head += source.peek(2)[1:2]  # type: ignore[attr-defined]
    return bytes(head[:2]) == MAGIC


def shutil_copy(source: BinaryIO, sink: BinaryIO) -> None:
    import shutil

    try:
        shutil.copyfileobj(source, sink, 1 << 20)
    except BrokenPipeError:
        raise
    except OSError as error:
        raise Failure(f"stdout: {error.strerror}") from None


def refuse_special_bits(path: str, mode: int) -> None:
    """gzip leaves set-user-ID, set-group-ID and sticky files alone, even
    with -f: their output could not keep the bits safely."""
    if mode & stat.S_ISUID:
        raise Skipped(f"{path} is set-user-ID on execution - ignored")
    if mode & stat.S_ISGID:
        raise Skipped(f"{path} is set-group-ID on execution - ignored")
    if mode & stat.S_ISVTX:
        raise Skipped(f"{path} has the sticky bit set - file ignored")


def stdout_sink(args: argparse.Namespace, decompressing: bool = False) -> BinaryIO:
    if sys.stdout is None:  # started with descriptor 1 closed
        raise Failure("stdout: Bad file descriptor")
    if not decompressing and sys.stdout.isatty() and not args.force:
        raise Failure("compressed data not written to a terminal. Use -f to force compression.")
    return sys.stdout.buffer


def open_input(path: str) -> BinaryIO:
    try:
        return open(path, "rb")
    except OSError as error:
        raise Failure(f"{path}: {error.strerror}") from None


def remove_input(path: str) -> None:
    try:
        os.unlink(path)
    except OSError as error:
        raise Failure(f"{path}: {error.strerror}") from None


def write_beside(
    work: Callable[[BinaryIO], tuple[int, int]], target: str, info: os.stat_result, overwrite: bool,
    mtime: int | None = None,
) -> tuple[int, int]:
    """Runs `work` on a temporary file in the target's folder and renames it
    into place only once it is complete, so that no failure or
    interruption leaves a partial output under the target's name. The
    output takes the input's mode, owner, group and times (mtime instead of
    the modification time when given)."""
    if os.path.lexists(target) and not overwrite:
        raise Loud(f"{target} already exists;\tnot overwritten")
    folder = os.path.dirname(target) or "."
    descriptor, temporary = create_temporary(folder, target)
    try:
        try:
            with os.fdopen(descriptor, "wb", closefd=False) as sink:
                counts = work(sink)
            descriptor_info = os.fstat(descriptor)
            # On the descriptor, never by name: the folder's owner may have
            # put a link where the temporary file was.
            copy_metadata(descriptor, info, mtime)
        except OSError as error:  # the last write, at close
            raise Failure(f"{target}: {error.strerror}") from None
        finally:
            os.close(descriptor)
        ensure_ours(temporary, descriptor_info)
        try:
            place(temporary, target, overwrite)
        except OSError as error:
            raise Failure(f"{target}: {error.strerror}") from None
        return counts
    except BaseException:
        remove_temporary(temporary)
        raise


def ensure_ours(temporary: str, ours: os.stat_result) -> None:
    """Refuses to put in place a name that no longer holds the file written."""
    try:
        now = os.lstat(temporary)
    except OSError as error:
        raise Failure(f"{temporary}: {error.strerror}") from None
    if (now.st_dev, now.st_ino) != (ours.st_dev, ours.st_ino):
        raise Failure(f"{temporary}: replaced while being written -- not used")


def remove_temporary(temporary: str) -> None:
    """Removes the temporary name (a link put there is removed, never followed)."""
    try:
        os.unlink(temporary)
    except OSError:
        pass


def create_temporary(folder: str, target: str) -> tuple[int, str]:
    """A new hidden file in the folder, made by this call (exclusive
    creation, never through a link), readable by its creator only until
    its metadata is set. Its name is at most as long as the target's."""
    import secrets

    base_length = len(os.path.basename(target))
    for _ in range(100):
        name = "." + secrets.token_hex(4)[: max(1, min(8, base_length - 1))]
        temporary = os.path.join(folder, name)
        try:
            descriptor = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC, 0o600)
        except FileExistsError:
            continue
        except OSError as error:
            raise Failure(f"{target}: {error.strerror}") from None
        return descriptor, temporary
    raise Failure(f"{target}: File exists")


def copy_metadata(descriptor: int, info: os.stat_result, mtime: int | None) -> None:
    """Owner and group where permitted (before the mode: a change of owner
    clears set-id bits), permission bits, then access and modification times."""
    try:
        os.fchown(descriptor, info.st_uid, info.st_gid)
    except OSError:
        try:  # an unprivileged user may still give the file one of their groups
            os.fchown(descriptor, -1, info.st_gid)
        except OSError:
            pass
    os.fchmod(descriptor, stat.S_IMODE(info.st_mode) & 0o777)
    modified = info.st_mtime_ns if mtime is None else mtime * 1_000_000_000
    os.utime(descriptor, ns=(info.st_atime_ns, modified))


def place(temporary: str, target: str, overwrite: bool) -> None:
    if overwrite:
        os.replace(temporary, target)
        return
    # A hard link never replaces a file that appeared while we worked.
    try:
        os.link(temporary, target)
    except FileExistsError:
        raise Loud(f"{target} already exists;\tnot overwritten") from None
    except OSError:  # a file system without hard links
        if os.path.lexists(target):
            raise Loud(f"{target} already exists;\tnot overwritten") from None
        os.replace(temporary, target)
        return
    os.unlink(temporary)


class Signalled(BaseException):
    """A signal that ends the run: the work in progress is undone (its
    temporary file removed) as the exception passes, then the process dies
    by the same signal, as gzip does."""

    def __init__(self, number: int) -> None:
        super().__init__(number)
        self.number = number


def _raise_signalled(number: int, frame: object) -> None:
    raise Signalled(number)


def catch_signals() -> None:
    import signal

    for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        # One ignored when we start (nohup, a background job) stays ignored.
        if signal.getsignal(number) not in (signal.SIG_IGN, None):
            signal.signal(number, _raise_signalled)


def die_by(number: int) -> NoReturn:
    import signal

    signal.signal(number, signal.SIG_DFL)
    os.kill(os.getpid(), number)
    raise SystemExit(128 + number)  # if the signal is blocked


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    if args.index and args.format != "gzip":
        build_parser().error("--index makes a splittable gzip file; zlib and raw streams have no index")
    args.chunk = vekzip.chunk_bytes(args.chunk, args.index)
    if args.decompress and args.list:
        args.decompress = False
    catch_signals()
    try:
        return Tool(args).run(args.files)
    except BrokenPipeError:
        # The reader went away; say nothing more on a closed pipe.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return ERROR
    except Signalled as signalled:
        sys.stderr.flush()
        die_by(signalled.number)
    except KeyboardInterrupt:
        return 130


if __name__ == "__main__":
    sys.exit(main())
