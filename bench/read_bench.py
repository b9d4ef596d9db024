"""Reading back what vekzip writes: vekzip.open (ISA-L's reader when the
'read' extra is installed) against gzip.open and the other readers a user
might pick, and the command line's -d against GNU gzip -d.

    python bench/read_bench.py [--runs N] [PATH ...]

MB/s of uncompressed output, best of N, the readers taking turns, each
file read in 1 MiB reads from memory; then whole commands on the largest
file, file to file; then the Silesia files joined into one tar written with
index=True, read from a file on one thread and two, against the sequential
readers, and 1 KiB reads at random offsets.
"""

from __future__ import annotations

import gzip
import io
import pathlib
import random
import statistics
import shutil
import subprocess
import sys
import tempfile
import time
from typing import Callable

import vekzip
from vekzip import inflate

from bench import best_rates, collect, threaded_parser


def reading(opener: Callable[[io.BytesIO], io.BufferedIOBase]) -> Callable[[bytes], object]:
    def run(compressed: bytes) -> object:
        with opener(io.BytesIO(compressed)) as f:
            while f.read(1 << 20):
                pass
        return None

    return run


def readers() -> dict[str, Callable[[bytes], object]]:
    found = {
        f"vekzip.open ({inflate.INFLATER})": reading(lambda b: vekzip.open(b, "rb")),
        "gzip.open": reading(lambda b: gzip.open(b, "rb")),
    }
    try:
        from zlib_ng import gzip_ng

        found["zlib-ng gzip_ng.open"] = reading(lambda b: gzip_ng.open(b, "rb"))
    except ImportError:
        pass
    return found


def commands(path: pathlib.Path, runs: int) -> None:
    vek_bin = pathlib.Path(sys.executable).parent / "vekzip"
    size = path.stat().st_size
    with tempfile.TemporaryDirectory() as folder:
        packed = pathlib.Path(folder) / f"{path.name}.gz"
        packed.write_bytes(vekzip.compress(path.read_bytes()))
        best = {"vekzip -d": float("inf"), "gzip -d": float("inf")}
        for _ in range(runs + 1):
            for name in best:
                program = [str(vek_bin)] if name.startswith("vekzip") else ["gzip"]
                start = time.perf_counter()
                subprocess.run([*program, "-dc", str(packed)], stdout=subprocess.DEVNULL, check=True)
                best[name] = min(best[name], time.perf_counter() - start)
    print(f"\n{path.name}: whole commands, -dc to /dev/null, best of {runs}\n")
    print("| command | s | MB/s |\n|---|---:|---:|")
    for name, seconds in best.items():
        print(f"| {name} | {seconds:.3f} | {size / seconds / 1e6:.1f} |")


def indexed(runs: int) -> None:
    from goals import silesia_tar

    data = silesia_tar()
    with tempfile.TemporaryDirectory() as folder:
        path = pathlib.Path(folder) / "silesia.tar.gz"
        path.write_bytes(vekzip.compress(data, index=True, threads=2))
        plain = vekzip.compress(data, chunk_size=1 << 20)  # the same chunks without the index

        def whole(opener: Callable[[], io.BufferedIOBase]) -> Callable[[bytes], object]:
            def run(_: bytes) -> None:
                with opener() as f:
                    while f.read(1 << 20):
                        pass

            return run

        contenders = {
            "vekzip.open, indexed, threads=1": whole(lambda: vekzip.open(path, "rb", threads=1)),
            "vekzip.open, indexed, threads=2": whole(lambda: vekzip.open(path, "rb", threads=2)),
            f"sequential ({inflate.INFLATER}'s gzip reader)": whole(lambda: inflate.gzip_module.open(path, "rb")),
            "gzip.open": whole(lambda: gzip.open(path, "rb")),
        }
        rates = best_rates(contenders, [data], runs)
        print(f"\nSilesia as one tar, indexed (1 MiB chunks, {path.stat().st_size - len(plain):,} bytes of "
              f"markers and index on {len(plain):,}), read from a file, best of {runs}\n")
        print("| reader | MB/s |\n|---|---:|")
        for name, rate in rates.items():
            print(f"| {name} | {rate:.1f} |")
        one, two = rates["vekzip.open, indexed, threads=1"], rates["vekzip.open, indexed, threads=2"]
        fastest_sequential = max(v for k, v in rates.items() if "indexed" not in k)
        print(f"\n- two threads / one: {two / one:.2f} (goal 1.80)")
        print(f"- two threads / fastest sequential reader: {two / fastest_sequential:.2f} (goal 1.00)")
        rng = random.Random(1)
        for threads in (1, 2):
            times = []
            with vekzip.open(path, "rb", threads=threads) as f:
                for _ in range(50):
                    at = rng.randrange(len(data) - 1024)
                    start = time.perf_counter()
                    f.seek(at)
                    f.read(1024)
                    times.append(time.perf_counter() - start)
            whole_seconds = len(data) / 1e6 / rates[f"vekzip.open, indexed, threads={threads}"]
            median = statistics.median(times)
            print(f"- threads={threads}: 1 KiB at a random offset {median * 1e3:.2f} ms (median of 50), "
                  f"{100 * median / whole_seconds:.1f}% of reading it whole (goal 5%)")


def main(argv: list[str] | None = None) -> int:
    args = threaded_parser(__doc__, 5).parse_args(argv)
    paths = collect(args.paths)
    originals = [p.read_bytes() for p in paths]
    packed = [vekzip.compress(d) for d in originals]
    total = sum(map(len, originals))
    print(f"{len(paths)} files, {total:,} bytes, read back in 1 MiB reads, best of {args.runs}\n")
    print("| reader | MB/s | x gzip.open |\n|---|---:|---:|")
    # best_rates counts the input's size; scale to the output's.
    rates = best_rates(readers(), packed, args.runs)
    scale = total / sum(map(len, packed))
    for name, rate in rates.items():
        print(f"| {name} | {rate * scale:.1f} | {rate / rates['gzip.open']:.2f} |", flush=True)
    if shutil.which("gzip"):
        commands(max(paths, key=lambda p: p.stat().st_size), args.runs)
    indexed(args.runs)
    return 0


if __name__ == "__main__":
    sys.exit(main())
