"""vekzip.compress on one thread and on several, next to the threaded peers,
in one process: MB/s of input, best of N, the compressors taking turns.

    python bench/thread_bench.py [--runs N] [--threads T] [FILE ...]

Default: the largest corpus file, then the whole corpus (each file one
call). The last column is the speed-up over vekzip on one thread.
"""

from __future__ import annotations

import io
import pathlib
import sys
from typing import Callable

import vekzip

from bench import CORPUS, best_rates, collect, threaded_parser


def compressors(threads: int) -> dict[str, Callable[[bytes], object]]:
    found: dict[str, Callable[[bytes], object]] = {
        "vekzip threads=1": lambda d: vekzip.compress(d, threads=1),
        f"vekzip threads={threads}": lambda d: vekzip.compress(d, threads=threads),
    }
    try:
        from isal import igzip_threaded

        def isal_threaded(data: bytes) -> bytes:
            sink = io.BytesIO()
            with igzip_threaded.open(sink, "wb", compresslevel=0, threads=threads) as f:
                f.write(data)
            return sink.getvalue()

        found[f"isal igzip_threaded L0, {threads} threads"] = isal_threaded
    except ImportError:
        pass
    return found


def main(argv: list[str] | None = None) -> int:
    args = threaded_parser(__doc__, 7).parse_args(argv)
    corpus = collect([str(CORPUS)])
    groups = [[pathlib.Path(p)] for p in args.paths] or [[max(corpus, key=lambda p: p.stat().st_size)], corpus]
    for paths in groups:
        files = [pathlib.Path(p).read_bytes() for p in paths]
        label = paths[0].name if len(paths) == 1 else f"{len(paths)} files"
        print(f"\n{label}: {sum(map(len, files)):,} bytes, best of {args.runs}\n")
        print("| compressor | MB/s | x vekzip threads=1 |\n|---|---:|---:|")
        rates = best_rates(compressors(args.threads), files, args.runs)
        one = rates["vekzip threads=1"]
        for name, rate in rates.items():
            print(f"| {name} | {rate:.1f} | {rate / one:.2f} |", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
