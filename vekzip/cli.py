"""vekzip: compress files with vek, the way gzip does.

vek matches only within one compress call, so files are read and compressed
in chunks of --chunk bytes: a larger chunk gives a slightly smaller output
and costs that much memory per thread. With -T above 1 the chunks are
compressed on several threads at once and joined into one stream, so the
output depends only on the input and --chunk, never on -T.
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
    from typing import BinaryIO, Iterator, NoReturn, Sequence

# The output's suffix for each of vekzip's formats.
SUFFIXES = {"gzip": ".gz", "zlib": ".zz", "raw": ".deflate"}
DEFAULT_CHUNK = 4 << 20
SIZE_SUFFIXES = {"": 1, "K": 1 << 10, "M": 1 << 20, "G": 1 << 30}


class Failure(Exception):
    """A problem with one file: reported, and the next file is tried. An
    error makes the exit status 1."""

    status = 1


class Skipped(Failure):
    """A file left alone, as gzip warns of it: exit status 2 unless an
    error also happened."""

    status = 2


def output_exists(target: str) -> Failure:
    return Failure(f"{target} already exists; use -f to overwrite")


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
    if count < 1:
        raise argparse.ArgumentTypeError(f"at least one thread is needed: {text!r}")
    return count


def build_parser() -> Parser:
    parser = Parser(
        prog="vekzip",
        description="Compress FILEs (or standard input) with vek into gzip, zlib or raw DEFLATE.",
        epilog="With no FILE, or when FILE is -, read standard input and write standard output.",
    )
    parser.add_argument("files", nargs="*", metavar="FILE")
    parser.add_argument("-c", "--stdout", action="store_true", help="write to standard output, keep the input files")
    parser.add_argument("-k", "--keep", action="store_true", help="keep (do not delete) the input files")
    parser.add_argument("-f", "--force", action="store_true", help="overwrite existing outputs; write to a terminal")
    parser.add_argument("-0", dest="level", action="store_const", const=0, help="store only")
    parser.add_argument("-1", dest="level", action="store_const", const=1, help="compress (the default)")
    parser.add_argument("--format", choices=SUFFIXES, default="gzip", help="container (default gzip)")
    parser.add_argument(
        "--chunk", type=chunk_size, default=DEFAULT_CHUNK, metavar="SIZE",
        help="bytes per compress call, with K, M or G (default 4M)",
    )
    parser.add_argument(
        "-T", "--threads", type=thread_count, default=len(os.sched_getaffinity(0)), metavar="N",
        help="chunks compressed at once (default: the CPUs this process may use)",
    )
    parser.add_argument("-q", "--quiet", action="store_true", help="no progress bar")
    parser.add_argument("-v", "--verbose", action="store_true", help="print size, ratio and speed per file")
    parser.set_defaults(level=1)
    return parser


def read_chunks(source: BinaryIO, name: str, chunk: int) -> Iterator[bytes]:
    """The input in chunks; an empty input is one empty chunk, so that even
    it becomes a complete stream."""

    def read() -> bytes:
        try:
            return source.read(chunk)
        except OSError as error:
            raise Failure(f"{name}: {error.strerror}") from None

    data = read()
    yield data
    while len(data) == chunk:
        data = read()
        if data:
            yield data


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


def compress(
    source: BinaryIO, name: str, sink: BinaryIO, sink_name: str, total: int | None, args: argparse.Namespace
) -> tuple[int, int]:
    """Compresses all of source into sink through a VekzipFile; returns the
    bytes read and written."""
    # A single chunk needs no worker threads.
    threads = 1 if total is not None and total <= args.chunk else args.threads
    writer = vekzip.VekzipFile(
        None, "wb", args.level, sink, format=args.format, threads=threads, chunk_size=args.chunk
    )
    progress = Progress(name, total, args)
    consumed = 0
    try:
        try:
            for data in read_chunks(source, name, args.chunk):
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


def report(name: str, consumed: int, produced: int, seconds: float, outcome: str = "") -> None:
    percent = 100 * produced / consumed if consumed else 100.0
    speed = consumed / seconds / 1e6 if seconds > 0 else float("inf")
    print(
        f"{name}: {consumed:,} -> {produced:,} bytes ({percent:.2f}%), {speed:.1f} MB/s{outcome}",
        file=sys.stderr,
    )


def stdout_sink(args: argparse.Namespace) -> BinaryIO:
    if sys.stdout is None:  # started with descriptor 1 closed
        raise Failure("stdout: Bad file descriptor")
    if sys.stdout.isatty() and not args.force:
        raise Failure("compressed data not written to a terminal. Use -f to force compression.")
    return sys.stdout.buffer


def compress_to_stdout(source: BinaryIO, name: str, total: int | None, args: argparse.Namespace) -> tuple[int, int]:
    sink = stdout_sink(args)
    counts = compress(source, name, sink, "stdout", total, args)
    sink.flush()
    return counts


def compress_standard_input(args: argparse.Namespace) -> None:
    if sys.stdin is None:  # started with descriptor 0 closed
        raise Failure("standard input: Bad file descriptor")
    start = time.perf_counter()
    consumed, produced = compress_to_stdout(sys.stdin.buffer, "stdin", None, args)
    if args.verbose:
        report("stdin", consumed, produced, time.perf_counter() - start)


def open_input(path: str, args: argparse.Namespace) -> tuple[BinaryIO, os.stat_result]:
    try:
        link = os.lstat(path)
        info = os.stat(path)
    except OSError as error:
        raise Failure(f"{path}: {error.strerror}") from None
    if stat.S_ISDIR(info.st_mode):
        raise Skipped(f"{path} is a directory -- ignored")
    # As gzip does: a device or pipe has no end to wait for and is no file
    # to replace, so only -c reads one. Unless forced, a file that would be
    # replaced must be the file itself, with no other name that removing it
    # would leave behind.
    if not args.stdout and not stat.S_ISREG(info.st_mode):
        raise Skipped(f"{path} is not a directory or a regular file - ignored")
    if not args.stdout and not args.force:
        if stat.S_ISLNK(link.st_mode):
            raise Failure(f"{path} is a symbolic link -- ignored")
        if info.st_nlink > 1:
            others = info.st_nlink - 1
            raise Failure(f"{path} has {others} other link{'s' if others > 1 else ''} -- ignored")
    try:
        return open(path, "rb"), info
    except OSError as error:
        raise Failure(f"{path}: {error.strerror}") from None


def compress_path(path: str, args: argparse.Namespace) -> None:
    suffix = SUFFIXES[args.format]
    if not args.stdout and path.endswith(suffix) and not args.force:
        raise Failure(f"{path} already has {suffix} suffix -- unchanged")
    source, info = open_input(path, args)
    with source:
        total = info.st_size if stat.S_ISREG(info.st_mode) else None
        start = time.perf_counter()
        if args.stdout:
            consumed, produced = compress_to_stdout(source, path, total, args)
            outcome = ""
        else:
            target = path + suffix
            consumed, produced = write_beside(source, path, target, total, info, args)
            outcome = f" -- wrote {target}" if args.keep else f" -- replaced with {target}"
            if not args.keep:
                os.unlink(path)
    if args.verbose:
        report(path, consumed, produced, time.perf_counter() - start, outcome)


def write_beside(
    source: BinaryIO, path: str, target: str, total: int | None, info: os.stat_result, args: argparse.Namespace
) -> tuple[int, int]:
    """Writes the output to a temporary file in the target's folder and
    renames it into place only once it is complete, so that no failure or
    interruption leaves a partial output under the target's name."""
    if os.path.lexists(target) and not args.force:
        raise output_exists(target)
    folder = os.path.dirname(target) or "."
    import tempfile

    try:
        # A short hidden name: it must fit wherever the target's name fits.
        descriptor, temporary = tempfile.mkstemp(dir=folder, prefix=".")
    except OSError as error:
        raise Failure(f"{target}: {error.strerror}") from None
    try:
        try:
            with os.fdopen(descriptor, "wb") as sink:
                counts = compress(source, path, sink, target, total, args)
        except OSError as error:  # the last write, at close
            raise Failure(f"{target}: {error.strerror}") from None
        os.chmod(temporary, stat.S_IMODE(info.st_mode))
        os.utime(temporary, ns=(info.st_atime_ns, info.st_mtime_ns))
        try:
            place(temporary, target, args.force)
        except OSError as error:
            raise Failure(f"{target}: {error.strerror}") from None
        return counts
    except BaseException:
        if os.path.lexists(temporary):
            os.unlink(temporary)
        raise


def place(temporary: str, target: str, overwrite: bool) -> None:
    if overwrite:
        os.replace(temporary, target)
        return
    # A hard link never replaces a file that appeared while we worked.
    try:
        os.link(temporary, target)
    except FileExistsError:
        raise output_exists(target) from None
    except OSError:  # a file system without hard links
        if os.path.lexists(target):
            raise output_exists(target) from None
        os.replace(temporary, target)
        return
    os.unlink(temporary)


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    status = 0
    for path in args.files or ["-"]:
        try:
            if path == "-":
                compress_standard_input(args)
            else:
                compress_path(path, args)
            continue
        except Failure as failure:
            print(f"vekzip: {failure}", file=sys.stderr)
            problem = failure.status
        except MemoryError:
            print(f"vekzip: {path}: out of memory (try a smaller --chunk or fewer threads)", file=sys.stderr)
            problem = 1
        except RuntimeError as error:  # the worker threads could not start
            print(f"vekzip: {path}: {error}", file=sys.stderr)
            problem = 1
        except BrokenPipeError:
            # The reader went away; say nothing more on a closed pipe.
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
            return 1
        except OSError as error:
            print(f"vekzip: {error.filename or path}: {error.strerror}", file=sys.stderr)
            problem = 1
        except KeyboardInterrupt:
            return 130
        # An error outranks a warning, as in gzip.
        status = 1 if 1 in (status, problem) else 2
    return status


if __name__ == "__main__":
    sys.exit(main())
