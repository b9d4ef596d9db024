"""Every speed goal of vek and vekzip next to ISA-L, in one run.

    python bench/goals.py [--runs N] [--threads T] [--skip-tool]

On the Silesia files joined into one tar (a user's large file), MB/s of
input, best of N, the writers taking turns, 1 MiB writes into a new file:
vek.compressobj and ISA-L's zlib in 1 MiB calls, vekzip.compress on 1 and
T threads, VekzipFile on 1 and T threads, ISA-L's threaded writer. Then
the command line (vekzip -T -c F > G against a Python copy of F through
ISA-L's threaded writer, with each one's peak RSS), one core per Silesia file (vek level 1 raw against ISA-L
level 0 raw), and one-shot messages. Each goal is printed with its ratio.
"""

from __future__ import annotations

import argparse
import atexit
import io
import os
import pathlib
import shutil
import subprocess
import sys
import tarfile
import tempfile
import time
import zlib
from typing import Callable

import vekzip

from bench import CORPUS, best_rates, measure_messages
from file_bench import write_in_pieces

try:
    import vek  # Python 3.10 only
except ImportError:
    vek = None
try:
    from isal import igzip_threaded, isal_zlib
except ImportError:
    sys.exit("goals: ISA-L's bindings are missing (pip install isal)")



def silesia_tar() -> bytes:
    sink = io.BytesIO()
    with tarfile.open(fileobj=sink, mode="w", format=tarfile.PAX_FORMAT) as tar:
        for path in sorted((CORPUS / "silesia").iterdir()):
            tar.add(path, arcname=path.name)
    return sink.getvalue()


def calls(make: Callable[[], object]) -> Callable[[bytes], object]:
    """1 MiB calls on bytes objects cut beforehand (vek takes bytes only, and
    the cutting is not the compressor's time)."""
    cut: dict[int, list[bytes]] = {}

    def run(data: bytes) -> object:
        if id(data) not in cut:
            cut[id(data)] = [data[at : at + (1 << 20)] for at in range(0, len(data), 1 << 20)]
        c = make()
        parts = [c.compress(piece) for piece in cut[id(data)]]  # type: ignore[attr-defined]
        parts.append(c.flush())  # type: ignore[attr-defined]
        return parts

    return run


def new_file(folder: pathlib.Path) -> pathlib.Path:
    """A path with no file, the last one removed: truncating a file the
    last run wrote waits for its writeback, which would be timed."""
    path = folder / "out.gz"
    path.unlink(missing_ok=True)
    return path


def through(opener: Callable[[io.BufferedWriter], io.BufferedIOBase]) -> Callable[[bytes], None]:
    """1 MiB writes of one buffer through a writer into a new real file."""
    folder = pathlib.Path(tempfile.mkdtemp(prefix="vek-goals-"))
    atexit.register(shutil.rmtree, folder, ignore_errors=True)

    def run(data: bytes) -> None:
        with open(new_file(folder), "xb") as sink, opener(sink) as f:
            write_in_pieces(f, data)

    return run


def writers(threads: int) -> dict[str, Callable[[bytes], object]]:
    found: dict[str, Callable[[bytes], object]] = {}
    if vek is not None:
        found["vek.compressobj, 1 MiB calls"] = calls(lambda: vek.compressobj(1, vek.VEK_FMT_GZIP))
    found["isal_zlib L0, 1 MiB calls"] = calls(lambda: isal_zlib.compressobj(0, wbits=31))
    found["vekzip.compress threads=1"] = lambda d: vekzip.compress(d, threads=1)
    found[f"vekzip.compress threads={threads}"] = lambda d: vekzip.compress(d, threads=threads)
    found[f"vekzip.compress threads={threads}, 1 MiB chunks"] = lambda d: vekzip.compress(
        d, threads=threads, chunk_size=1 << 20
    )
    found["VekzipFile threads=1"] = through(lambda s: vekzip.open(s, "wb"))
    found[f"VekzipFile threads={threads}"] = through(lambda s: vekzip.open(s, "wb", threads=threads))
    found["igzip_threaded L0 threads=1"] = through(lambda s: igzip_threaded.open(s, "wb", compresslevel=0, threads=1))
    found[f"igzip_threaded L0 threads={threads}"] = through(
        lambda s: igzip_threaded.open(s, "wb", compresslevel=0, threads=threads)
    )
    return found


def goal(label: str, ratio: float, target: float) -> None:
    print(f"- {label}: {ratio:.2f} (goal {target:.2f}: {'met' if ratio >= target else 'not met'})", flush=True)


ISAL_COPY = """
import shutil, sys
from isal import igzip_threaded
with open(sys.argv[1], "rb") as src, igzip_threaded.open(sys.argv[2], "wb", compresslevel=0, threads={threads}) as dst:
    shutil.copyfileobj(src, dst, 1 << 20)
"""


# The command's peak RSS in KiB, run from a small process: a child forked
# from this one would start at this one's, which holds the corpus.
PEAK = """
import resource, subprocess, sys
subprocess.run(sys.argv[2:], check=True)
open(sys.argv[1], "w").write(str(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss))
"""


def tool(data: bytes, threads: int, runs: int) -> None:
    """Whole commands, start-up included, each into a new file, taking turns."""
    with tempfile.TemporaryDirectory() as name:
        folder = pathlib.Path(name)
        source = folder / "silesia.tar"
        source.write_bytes(data)
        os.sync()  # its writeback would otherwise run beside the first commands
        vekzip_bin = pathlib.Path(sys.executable).parent / "vekzip"
        commands = {  # the command, and whether its output is its standard output
            f"vekzip -T{threads} -c F > G": ([str(vekzip_bin), f"-T{threads}", "-c", str(source)], True),
            f"igzip_threaded copy, {threads} threads": (
                [sys.executable, "-c", ISAL_COPY.format(threads=threads), str(source), str(folder / "out.gz")], False
            ),
        }
        best = dict.fromkeys(commands, float("inf"))
        peak = dict.fromkeys(commands, 0)
        for turn in range(runs + 2):
            for label, (command, to_stdout) in commands.items():
                measured = turn == runs + 1  # the last turn for the peak RSS alone, through PEAK
                if measured:
                    command = [sys.executable, "-c", PEAK, str(folder / "peak"), *command]
                target = new_file(folder)
                start = time.perf_counter()
                with open(target, "xb") if to_stdout else open(os.devnull, "wb") as sink:
                    subprocess.run(command, stdout=sink, check=True)
                if measured:
                    peak[label] = int((folder / "peak").read_text())
                elif turn > 0:
                    best[label] = min(best[label], time.perf_counter() - start)
        print(f"\nthe command line, best of {runs}\n")
        print("| command | s | MB/s | peak RSS (MiB) |\n|---|---:|---:|---:|")
        for label, seconds in best.items():
            print(f"| {label} | {seconds:.3f} | {len(data) / seconds / 1e6:.1f} | {peak[label] / 1024:.1f} |")
        ours, theirs = list(commands)
        ratio = best[ours] / best[theirs]
        print(f"- {ours} time / {theirs} time: {ratio:.2f} (goal 1.00 at most: {'met' if ratio <= 1 else 'not met'})")
        print(f"- {ours} peak RSS: {peak[ours] / 1024:.1f} MiB (goal 64 at most: "
              f"{'met' if peak[ours] <= 64 * 1024 else 'not met'})", flush=True)


def one_core(runs: int) -> None:
    """Per Silesia file, one call each, raw DEFLATE: vek level 1 against
    ISA-L level 0, taking turns."""
    if vek is not None:
        def ours(d: bytes) -> object:
            c = vek.compressobj(1, vek.VEK_FMT_DEFLATE)
            return c.compress(d), c.flush()
    else:
        def ours(d: bytes) -> object:
            return vekzip.compress(d, format="raw", chunk_size=len(d) or 1)

    def isal(d: bytes) -> object:
        return isal_zlib.compress(d, 0, wbits=-15)

    print(f"\none core, per Silesia file, best of {runs} (MB/s)\n")
    print("| file | vek L1 | isal L0 | vek / isal |\n|---|---:|---:|---:|")
    worst, total_ours, total_isal, total = float("inf"), 0.0, 0.0, 0
    ratios: dict[str, float] = {}
    for path in sorted((CORPUS / "silesia").iterdir()):
        data = path.read_bytes()
        rates = best_rates({"vek": ours, "isal": isal}, [data], runs)
        ratios[path.name] = rates["vek"] / rates["isal"]
        worst = min(worst, ratios[path.name])
        total += len(data)
        total_ours += len(data) / rates["vek"]
        total_isal += len(data) / rates["isal"]
        print(f"| {path.name} | {rates['vek']:.1f} | {rates['isal']:.1f} | {rates['vek'] / rates['isal']:.2f} |", flush=True)
    print(f"| all | {total / total_ours:.1f} | {total / total_isal:.1f} | {total_isal / total_ours:.2f} |")
    for name in ("osdb", "mr", "ooffice"):  # the files with the longest literal runs
        if name in ratios:
            goal(f"{name}, vek / isal L0", ratios[name], 0.95)
    goal("all files, vek / isal L0", total_isal / total_ours, 1.0)
    goal("worst file, vek / isal L0", worst, 0.9)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--skip-tool", action="store_true")
    args = parser.parse_args(argv)
    t = args.threads
    data = silesia_tar()
    print(f"Silesia as one tar: {len(data):,} bytes; {os.cpu_count()} CPUs; Python {sys.version.split()[0]}")
    print(f"best of {args.runs}, taking turns, 1 MiB writes into a new file (MB/s)\n")
    print("| writer | MB/s |\n|---|---:|")
    rates = best_rates(writers(t), [data], args.runs)
    for name, rate in rates.items():
        print(f"| {name} | {rate:.1f} |", flush=True)
    print()
    goal(f"vekzip.compress threads={t} / threads=1", rates[f"vekzip.compress threads={t}"] / rates["vekzip.compress threads=1"], 1.85)
    goal(f"VekzipFile threads={t} / igzip_threaded threads={t}", rates[f"VekzipFile threads={t}"] / rates[f"igzip_threaded L0 threads={t}"], 1.0)
    goal("VekzipFile threads=1 / vekzip.compress threads=1", rates["VekzipFile threads=1"] / rates["vekzip.compress threads=1"], 0.95)
    goal(f"VekzipFile threads={t} / vekzip.compress threads={t}", rates[f"VekzipFile threads={t}"] / rates[f"vekzip.compress threads={t}"], 0.95)
    if not args.skip_tool:
        tool(data, t, args.runs)
    one_core(max(args.runs, 7))
    if vek is not None:
        results = measure_messages(max(args.runs, 7))
        print("\none-shot messages, vek L1 raw / isal L0\n")
        for size, message_rates in results:
            ratio = message_rates["vek L1 raw"] / message_rates["isal L0"]
            goal(f"{size} B", ratio, 1.0 if size >= 4096 else 0.0)
    return 0


if __name__ == "__main__":
    sys.exit(main())
