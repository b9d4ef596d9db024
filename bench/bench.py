"""vek next to the compressors a Python user would pick instead, in one
process, on the same data: whole files in one call, and streams in chunks.

    python bench/bench.py [--runs N] [--plot FILE] [PATH ...]

PATH: files or folders (default: the shared corpus). Prints a table of
throughput (MB/s of input, median of N runs after a warm-up) and compressed
size in percent, and writes a PNG of throughput against ratio.
"""

from __future__ import annotations

import argparse
import pathlib
import platform
import statistics
import sys
import time
import zlib
from typing import Callable

import vek

CORPUS = pathlib.Path(__file__).resolve().parents[1].parent / "shared" / "corpus"
Compress = Callable[[bytes], bytes]


class Pieces(list):
    """A stream as the pieces its calls returned, as a caller writing them
    to a file has it: joining them would time a copy that is not vek's."""

    def __len__(self) -> int:
        return sum(map(len, self))


def vek_whole(level: int, fmt: int) -> Compress:
    def run(data: bytes) -> Pieces:
        c = vek.compressobj(level, fmt)
        return Pieces((c.compress(data), c.flush()))

    return run


class Streaming:
    """Compresses a stream of calls of `chunk` bytes through one object. The
    input is cut beforehand, so that slicing is not timed."""

    def __init__(self, make, chunk: int):
        self.make, self.chunk = make, chunk

    def prepare(self, data: bytes) -> list[bytes]:
        return [data[at : at + self.chunk] for at in range(0, len(data), self.chunk)]

    def __call__(self, chunks: list[bytes]) -> Pieces:
        c = self.make()
        parts = Pieces(c.compress(piece) for piece in chunks)
        parts.append(c.flush())
        return parts


def peers() -> dict[str, Compress]:
    found: dict[str, Compress] = {
        "zlib L0": lambda d: zlib.compress(d, 0),
        "zlib L1": lambda d: zlib.compress(d, 1),
    }
    try:
        from zlib_ng import zlib_ng

        found["zlib-ng L1"] = lambda d: zlib_ng.compress(d, 1)
    except ImportError:
        pass
    try:
        from isal import isal_zlib

        found["isal L0"] = lambda d: isal_zlib.compress(d, 0)
        found["isal L1"] = lambda d: isal_zlib.compress(d, 1)
    except ImportError:
        pass
    try:
        import deflate

        found["libdeflate L1"] = lambda d: deflate.zlib_compress(d, 1)
    except ImportError:
        pass
    return found


def whole_file_compressors() -> dict[str, Compress]:
    names = {vek.VEK_FMT_DEFLATE: "raw", vek.VEK_FMT_ZLIB: "zlib", vek.VEK_FMT_GZIP: "gzip"}
    ours = {f"vek L{level} {names[fmt]}": vek_whole(level, fmt) for level in (1, 0) for fmt in names}
    return {**ours, **peers()}


def streaming_compressors() -> dict[str, Compress]:
    found: dict[str, Compress] = {}
    for chunk, label in ((1 << 10, "1 KiB"), (4 << 10, "4 KiB"), (64 << 10, "64 KiB"), (1 << 20, "1 MiB")):
        found[f"vek L1 raw, {label} calls"] = Streaming(lambda: vek.compressobj(1, 2), chunk)
        if chunk >= 64 << 10:
            found[f"zlib L1, {label} calls"] = Streaming(lambda: zlib.compressobj(1), chunk)
            try:
                from isal import isal_zlib

                found[f"isal L0, {label} calls"] = Streaming(lambda: isal_zlib.compressobj(0), chunk)
            except ImportError:
                pass
    return found


MESSAGE_SIZES = (256, 1 << 10, 4 << 10, 16 << 10)
MESSAGE_SOURCE = CORPUS / "small" / "html"


def message_compressors() -> dict[str, Callable[[bytes], object]]:
    """One-shot messages: a new object (or a one-shot call) per message."""

    def vek_message(data: bytes):
        c = vek.compressobj(1, 2)
        return c.compress(data), c.flush()

    found: dict[str, Callable[[bytes], object]] = {"vek L1 raw": vek_message}
    for name, compress in peers().items():
        if name.endswith("L1") or name == "isal L0":
            found[name] = compress
    return found


def measure_messages(runs: int) -> list[tuple[int, dict[str, float]]]:
    """MB/s per message size and compressor, best of `runs` passes over the
    messages cut from the source, the compressors taking turns in each pass."""
    data = MESSAGE_SOURCE.read_bytes()
    compressors = message_compressors()
    results = []
    for size in MESSAGE_SIZES:
        messages = [data[at : at + size] for at in range(0, len(data) - size + 1, size)]
        results.append((size, best_rates(compressors, messages, runs)))
    return results


def best_rates(compressors: dict[str, Callable[[bytes], object]], inputs: list[bytes], runs: int) -> dict[str, float]:
    """MB/s of each compressor over all inputs, best of `runs` passes after a
    warm-up, the compressors taking turns in each pass so that the machine's
    drift touches them alike."""
    total = sum(map(len, inputs))
    best = dict.fromkeys(compressors, float("inf"))
    for _ in range(runs + 1):
        for name, compress in compressors.items():
            start = time.perf_counter()
            for data in inputs:
                compress(data)
            best[name] = min(best[name], time.perf_counter() - start)
    return {name: total / seconds / 1e6 for name, seconds in best.items()}


def print_messages(results: list[tuple[int, dict[str, float]]]) -> None:
    names = list(results[0][1])
    print(f"\nmessages cut from {MESSAGE_SOURCE.name}, MB/s, best of the runs; last column: vek / isal L0\n")
    print("| size | " + " | ".join(names) + " | vek / isal L0 |")
    print("|---:|" + "---:|" * (len(names) + 1))
    for size, rates in results:
        ratio = rates["vek L1 raw"] / rates["isal L0"] if "isal L0" in rates else float("nan")
        label = f"{size // 1024} KiB" if size >= 1024 else f"{size} B"
        print(f"| {label} | " + " | ".join(f"{rates[n]:.1f}" for n in names) + f" | {ratio:.2f} |", flush=True)


def measure(compress: Compress, files: list[bytes], runs: int) -> tuple[float, float]:
    """Aggregate MB/s (median run) and compressed size in percent."""
    total = sum(map(len, files))
    prepare = getattr(compress, "prepare", lambda data: data)
    inputs = [prepare(d) for d in files]
    out = sum(len(compress(d)) for d in inputs)  # warm-up
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        for d in inputs:
            compress(d)
        times.append(time.perf_counter() - start)
    return total / statistics.median(times) / 1e6, 100 * out / total


def threaded_parser(doc: str, runs: int) -> argparse.ArgumentParser:
    """The options of the benchmarks that compare thread counts."""
    parser = argparse.ArgumentParser(description=doc.splitlines()[0])
    parser.add_argument("paths", nargs="*")
    parser.add_argument("--runs", type=int, default=runs)
    parser.add_argument("--threads", type=int, default=2)
    return parser


def collect(paths: list[str]) -> list[pathlib.Path]:
    roots = [pathlib.Path(p) for p in paths] or [CORPUS]
    files = []
    for root in roots:
        if root.is_dir():
            files += sorted(p for p in root.rglob("*") if p.is_file() and p.name != "README.md")
        elif root.is_file():
            files.append(root)
        else:
            sys.exit(f"bench: {root}: no such file or folder")
    if not files:
        sys.exit("bench: nothing to compress")
    return files


def plot(rows: list[tuple[str, float, float]], path: pathlib.Path, title: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(9, 6))
    for name, rate, ratio in rows:
        ours = name.startswith("vek")
        ax.scatter(ratio, rate, color="tab:red" if ours else "tab:blue", s=40)
        ax.annotate(name, (ratio, rate), fontsize=7, xytext=(4, 3), textcoords="offset points")
    ax.set_xlabel("compressed size, % of input (lower is better)")
    ax.set_ylabel("throughput, MB/s of input (higher is better)")
    ax.set_yscale("log")
    ax.set_title(title, fontsize=9)
    ax.grid(True, which="both", alpha=0.3)
    fig.tight_layout()
    fig.savefig(path, dpi=110)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("paths", nargs="*")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--plot", type=pathlib.Path, default=pathlib.Path("bench/results/throughput.png"))
    parser.add_argument("--no-streaming", action="store_true")
    parser.add_argument("--no-messages", action="store_true")
    args = parser.parse_args(argv)

    paths = collect(args.paths)
    files = [p.read_bytes() for p in paths]
    total = sum(map(len, files))
    where = f"{platform.node() or 'this machine'}, {platform.processor() or platform.machine()}"
    title = f"{len(files)} files, {total / 1e6:.1f} MB; Python {platform.python_version()}; {where}; {time.strftime('%Y-%m-%d')}"
    print(title)
    print(f"median of {args.runs} runs after a warm-up\n")
    print(f"| {'compressor':<28} | {'MB/s':>8} | {'size %':>7} |")
    print(f"|{'-' * 30}|{'-' * 10}|{'-' * 9}|")
    rows = []
    groups = [whole_file_compressors()] + ([] if args.no_streaming else [streaming_compressors()])
    for group in groups:
        for name, compress in group.items():
            rate, ratio = measure(compress, files, args.runs)
            rows.append((name, rate, ratio))
            print(f"| {name:<28} | {rate:>8.1f} | {ratio:>7.2f} |", flush=True)
    if not args.no_messages and MESSAGE_SOURCE.is_file():
        print_messages(measure_messages(args.runs))
    args.plot.parent.mkdir(parents=True, exist_ok=True)
    plot(rows[: len(groups[0])], args.plot, title)
    print(f"\nplot: {args.plot}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
