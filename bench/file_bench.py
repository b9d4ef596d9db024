"""The whole corpus written through file objects, in one process: VekzipFile
on one and two threads next to gzip.open, ISA-L's igzip and threaded igzip,
and zlib-ng's threaded gzip writer; and vekzip.compress for reference.

    python bench/file_bench.py [--runs N] [PATH ...]

MB/s of input, best of N, the writers taking turns; each file is written
in 1 MiB writes to an in-memory file.
"""

from __future__ import annotations

import gzip
import io
import sys
from typing import Callable

import vekzip

from bench import best_rates, collect, threaded_parser

WRITE = 1 << 20


def write_in_pieces(f: io.BufferedIOBase, data: bytes) -> None:
    """data written through f in WRITE-sized pieces."""
    view = memoryview(data)  # slicing bytes would time a copy that is not the writer's
    for at in range(0, len(data), WRITE):
        f.write(view[at : at + WRITE])


def through(opener: Callable[[io.BytesIO], io.BufferedIOBase]) -> Callable[[bytes], bytes]:
    def run(data: bytes) -> bytes:
        sink = io.BytesIO()
        with opener(sink) as f:
            write_in_pieces(f, data)
        return sink.getvalue()

    return run


def writers(threads: int) -> dict[str, Callable[[bytes], object]]:
    found: dict[str, Callable[[bytes], object]] = {
        "vekzip.compress": lambda d: vekzip.compress(d),
        "VekzipFile threads=1": through(lambda s: vekzip.open(s, "wb")),
        f"VekzipFile threads={threads}": through(lambda s: vekzip.open(s, "wb", threads=threads)),
        "gzip.open L1": through(lambda s: gzip.open(s, "wb", compresslevel=1)),
    }
    try:
        from isal import igzip, igzip_threaded

        found["isal igzip.open L0"] = through(lambda s: igzip.open(s, "wb", compresslevel=0))
        found[f"isal igzip_threaded L0, {threads} threads"] = through(
            lambda s: igzip_threaded.open(s, "wb", compresslevel=0, threads=threads)
        )
    except ImportError:
        pass
    try:
        from zlib_ng import gzip_ng_threaded

        found[f"zlib-ng gzip_ng_threaded L1, {threads} threads"] = through(
            lambda s: gzip_ng_threaded.open(s, "wb", compresslevel=1, threads=threads)
        )
    except ImportError:
        pass
    return found


def main(argv: list[str] | None = None) -> int:
    args = threaded_parser(__doc__, 5).parse_args(argv)
    files = [p.read_bytes() for p in collect(args.paths)]
    print(f"{len(files)} files, {sum(map(len, files)):,} bytes, {WRITE >> 20} MiB writes, best of {args.runs}\n")
    print("| writer | MB/s |\n|---|---:|")
    for name, rate in best_rates(writers(args.threads), files, args.runs).items():
        print(f"| {name} | {rate:.1f} |", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
