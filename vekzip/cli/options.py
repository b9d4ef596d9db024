"""The command line: gzip's options and vek's own."""

from __future__ import annotations

import argparse
import os
import sys

TYPE_CHECKING = False  # typing itself costs a command-line start about 10 ms

import vekzip

if TYPE_CHECKING:
    from typing import NoReturn

# The output's suffix for each of vekzip's formats.
SUFFIXES = {"gzip": ".gz", "zlib": ".zz", "raw": ".deflate"}
SIZE_SUFFIXES = {"": 1, "K": 1 << 10, "M": 1 << 20, "G": 1 << 30}


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
    from ..inflate import INFLATER

    return INFLATER


def parse(argv: list[str] | None) -> argparse.Namespace:
    """The options, checked against each other and settled."""
    args = build_parser().parse_args(argv)
    if args.index and args.format != "gzip":
        build_parser().error("--index makes a splittable gzip file; zlib and raw streams have no index")
    args.chunk = vekzip.chunk_bytes(args.chunk, args.index)
    if args.decompress and args.list:
        args.decompress = False
    return args
