"""vekzip next to gzip -1 and pigz -1 on one file (default: the largest file
of the shared corpus), timed as a user runs them: whole commands, output to
a file, best of several runs. Every output is read back by gzip -d."""

import argparse
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests"))
from corpus import corpus_files  # noqa: E402

VEKZIP = str(pathlib.Path(sys.executable).parent / "vekzip")


def commands(path: str) -> list[tuple[str, list[str]]]:
    found = [
        ("gzip -1", ["gzip", "-1", "-c", path]),
        ("pigz -1 -p1", ["pigz", "-1", "-c", "-p", "1", path]),
        ("pigz -1 (all cores)", ["pigz", "-1", "-c", path]),
        ("vekzip -T1", [VEKZIP, "-c", "-T1", path]),
        ("vekzip -T2", [VEKZIP, "-c", "-T2", path]),
        ("vekzip -0 -T1", [VEKZIP, "-c", "-0", "-T1", path]),
    ]
    return [(name, argv) for name, argv in found if shutil.which(argv[0])]


def best_time(argv: list[str], out_path: str, runs: int) -> float:
    best = float("inf")
    for _ in range(runs):
        with open(out_path, "wb") as out:
            start = time.perf_counter()
            subprocess.run(argv, stdout=out, check=True)
            best = min(best, time.perf_counter() - start)
    return best


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    default = max(corpus_files(), key=lambda p: p.stat().st_size, default=None)
    parser.add_argument("file", nargs="?", default=default, type=pathlib.Path)
    parser.add_argument("--runs", type=int, default=7)
    args = parser.parse_args()
    if args.file is None:
        parser.error("no FILE given and no shared corpus beside the checkout")
    data = args.file.read_bytes()  # also warms the page cache
    print(f"{args.file.name}: {len(data):,} bytes, {os.cpu_count()} CPUs, best of {args.runs}")
    print(f"| {'command':<20} | {'s':>6} | {'MB/s':>7} | {'size %':>7} | {'x gzip -1':>9} |")
    print(f"|{'-' * 22}|{'-' * 8}|{'-' * 9}|{'-' * 9}|{'-' * 11}|")
    baseline = None
    with tempfile.TemporaryDirectory() as folder:
        out_path = os.path.join(folder, "out")
        for name, argv in commands(str(args.file)):
            seconds = best_time(argv, out_path, args.runs)
            back = subprocess.run(["gzip", "-dc", out_path], capture_output=True, check=True).stdout
            assert back == data, f"{name}: gzip -d did not give the input back"
            if name == "gzip -1":
                baseline = seconds
            size = 100 * os.path.getsize(out_path) / len(data)
            speedup = f"{baseline / seconds:9.2f}" if baseline else f"{'':9}"
            print(f"| {name:<20} | {seconds:6.3f} | {len(data) / seconds / 1e6:7.1f} | {size:7.2f} | {speedup} |")


if __name__ == "__main__":
    main()
